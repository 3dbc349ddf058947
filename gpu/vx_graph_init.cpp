// Building a VXGraph: the kernel pipelines, then the graph section of the container's metadata
// image, read once and validated before anything in it is used.
//
// The image is untrusted. Every word is read through a bounds check against its length, every
// sum and product of offsets and counts saturates (so a range check on it fails rather than
// wraps), and table counts are bounded by the image (a record stride below the bytes read of a
// record is refused, so a count cannot outrun the bytes that hold it).
#include <cstring>

#include "core/checked_math.h"
#include "gpu/gpu_context.h"
#include "gpu/kernels/kernel_library.h"
#include "gpu/vx_graph.h"

namespace vexa {

namespace {

// Section-directory words of the container header.
constexpr uint64_t kHeaderStringAreaOffset = 80;
constexpr uint64_t kHeaderStringAreaSize = 88;
constexpr uint64_t kHeaderTensorsOffset = 112;
constexpr uint64_t kHeaderGroupsOffset = 128;
constexpr uint64_t kHeaderGraphOffset = 160;
constexpr uint64_t kHeaderGraphSize = 168;
// Every section starts with a 32-byte header: kind, stride, count, payload bytes.
constexpr uint64_t kSectionHeaderBytes = 32;
constexpr uint64_t kSectionStrideWord = 8;
constexpr uint64_t kSectionCountWord = 16;

// Bytes of a record the executor reads: tensor records up to word 17 (row bytes), group
// records their first word (the name offset).
constexpr uint64_t kTensorRecordReadBytes = 18 * 8;
constexpr uint64_t kGroupRecordReadBytes = 8;

// Graph header words (after the common section header) and its rules.
constexpr uint64_t kGraphHeaderEnd = 96;
constexpr uint64_t kMaxNodes = 4096;
constexpr uint64_t kMaxValues = 8192;
constexpr uint64_t kMinNodeStride = 64;
constexpr uint64_t kMinValueStride = 96;
constexpr uint64_t kMaxNodeInputs = 6;
constexpr uint64_t kMaxNodeOutputs = 3;
constexpr uint64_t kMaxAttributeBytes = 32;
constexpr uint64_t kLastGraphOp = kVXOpScatter;

uint64_t sat_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t sat_mul(uint64_t a, uint64_t b) {
  return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

class Image {
 public:
  Image(const uint8_t* data, uint64_t length) : data_(data), length_(data ? length : 0) {}

  uint64_t length() const { return length_; }
  const uint8_t* data() const { return data_; }
  bool holds(uint64_t offset, uint64_t bytes) const { return range_within(offset, bytes, length_); }
  // The word at `offset`, or `message` when it is not inside the image.
  uint64_t word(uint64_t offset, const char* message) const {
    require_inference(holds(offset, 8), message);
    return at(offset);
  }
  // A word whose whole record was checked already.
  uint64_t at(uint64_t offset) const {
    uint64_t v;
    std::memcpy(&v, data_ + offset, sizeof v);
    return v;
  }

 private:
  const uint8_t* data_;
  uint64_t length_;
};

struct Table {
  uint64_t first = 0;  // offset of record 0
  uint64_t stride = 0;
  uint64_t count = 0;

  uint64_t record(uint64_t j) const { return first + stride * j; }
};

// A section table of records whose first `read_bytes` are read, every one inside the image.
Table read_table(const Image& m, uint64_t header_word) {
  const uint64_t section = m.word(header_word, "Metadata bounds");
  Table t;
  t.stride = m.word(sat_add(section, kSectionStrideWord), "Metadata bounds");
  t.count = m.word(sat_add(section, kSectionCountWord), "Metadata bounds");
  t.first = sat_add(section, kSectionHeaderBytes);
  return t;
}

void check_table(const Image& m, const Table& t, uint64_t read_bytes) {
  if (t.count == 0) return;
  require_inference(t.stride >= read_bytes, "Metadata bounds");
  const uint64_t last = sat_add(t.first, sat_mul(t.stride, t.count - 1));
  require_inference(m.holds(last, read_bytes), "Metadata bounds");
}

struct GraphHeader {
  uint64_t start = 0, end = 0;
  uint64_t nodes = 0, node_stride = 0, node_table = 0;
  uint64_t values = 0, value_stride = 0, value_table = 0;
  uint64_t id_area = 0, attr_area = 0;
};

GraphHeader read_graph_header(const Image& m) {
  GraphHeader h;
  h.start = m.word(kHeaderGraphOffset, "Metadata bounds");
  const uint64_t size = m.word(kHeaderGraphSize, "Metadata bounds");
  require_inference(size <= m.length() && h.start <= m.length() - size, "Graph bounds");
  h.end = h.start + size;
  require_inference(kGraphHeaderEnd <= size, "Graph bounds");
  const uint64_t s = h.start;
  h.nodes = m.at(s + 32);
  h.node_stride = m.at(s + 40);
  h.node_table = m.at(s + 48);
  h.values = m.at(s + 56);
  h.value_stride = m.at(s + 64);
  h.value_table = m.at(s + 72);
  h.id_area = m.at(s + 80);
  h.attr_area = m.at(s + 88);

  const uint64_t node_end = sat_add(h.node_table, sat_mul(h.nodes, h.node_stride));
  const uint64_t value_end = sat_add(h.value_table, sat_mul(h.values, h.value_stride));
  const bool ok = h.nodes >= 1 && h.nodes <= kMaxNodes && h.node_stride >= kMinNodeStride &&
                  h.node_table >= s + kGraphHeaderEnd && node_end <= h.end &&
                  h.values >= 1 && h.values <= kMaxValues && h.value_stride >= kMinValueStride &&
                  h.value_table >= node_end && value_end <= h.end && h.id_area >= value_end &&
                  h.attr_area >= h.id_area && h.attr_area <= h.end;
  require_inference(ok, "Graph bounds");
  return h;
}

std::string& build_fault() {
  static std::string step;
  return step;
}

}  // namespace

void VXGraph::set_build_fault_for_testing(std::string step) { build_fault() = std::move(step); }

std::unique_ptr<VXGraph> VXGraph::init_with_context(const GpuContext* context,
                                                    const uint8_t* metadata, uint64_t length,
                                                    uint64_t activation) {
  std::unique_ptr<VXGraph> g(new VXGraph());
  const std::shared_ptr<DeviceBuffer>& weights = graph_context_weights(context);
  const std::shared_ptr<CommandQueue>& queue = graph_context_queue(context);
  require_inference(weights != nullptr && queue != nullptr, "Metal device unavailable");
  g->device_ = weights->device();
  g->queue_ = queue;
  g->weights_buffer_ = weights;
  g->activation_ = activation;
  g->resident_weight_bytes_ = weights->length();
  require_inference(activation == kVXActivationF16 || activation == kVXActivationF32,
                    "Activation precision must be FP16 or FP32");
  g->build_pipelines();
  g->read_graph(metadata, length);
  g->find_sibling_linears();
  g->peak_metal_allocated_bytes_ = g->device_->current_allocated_size();
  return g;
}

void VXGraph::build_pipelines() {
  CompileOptions options;
  options.fast_math = false;
  options.macros.emplace_back("VEXA_FLOAT", activation_ == kVXActivationF32 ? 1 : 0);
  std::string error;
  // The test hook compiles a source without kernels, or asks for a function the library lacks,
  // so the device's own failures and messages come back.
  const std::string& fault = build_fault();
  static const KernelSource kEmptySource{"vexa_graph", nullptr, 0};
  std::shared_ptr<KernelLibrary> library = device_->new_library(
      fault == "library" ? kEmptySource : graph_kernel_source(), options, &error);
  if (library == nullptr) raise_inference("Metal compilation: " + error);
  for (const char* name : kGraphKernelNames) {
    const std::string function = fault == name ? fault + "_missing" : std::string(name);
    std::shared_ptr<KernelFunction> fn = library->new_function(function, &error);
    std::shared_ptr<ComputePipeline> p =
        fn != nullptr ? device_->new_compute_pipeline(fn, &error) : nullptr;
    if (p == nullptr) raise_inference("Metal pipeline " + std::string(name) + ": " + error);
    pipelines_.emplace(name, std::move(p));
  }
}

void VXGraph::read_graph(const uint8_t* metadata, uint64_t length) {
  const Image m(metadata, length);
  // The header, the two record tables and the graph section, before any record is used.
  const uint64_t area_offset = m.word(kHeaderStringAreaOffset, "Metadata bounds");
  const uint64_t area_size = m.word(kHeaderStringAreaSize, "Metadata bounds");
  const uint64_t area_start = sat_add(area_offset, kSectionHeaderBytes);
  const uint64_t area_end = sat_add(area_offset, area_size);
  const Table tensors = read_table(m, kHeaderTensorsOffset);
  const Table groups = read_table(m, kHeaderGroupsOffset);
  check_table(m, tensors, kTensorRecordReadBytes);
  check_table(m, groups, kGroupRecordReadBytes);
  const GraphHeader h = read_graph_header(m);
  auto cstring = [&](uint64_t offset) {
    return metadata_cstring(m.data(), m.length(), offset, area_start, area_end);
  };

  // Weight views over the resident weights buffer.
  const uint64_t buffer_length = weights_buffer_->length();
  for (uint64_t j = 0; j < tensors.count; ++j) {
    const uint64_t r = tensors.record(j);
    const uint64_t dtype = m.at(r + 8);
    const uint64_t rank = m.at(r + 32);
    require_inference((dtype == kVXDtypeF16 || dtype == kVXDtypeQ8) && rank <= kVXMaxRank,
                      "Inference requires FP16 or block-INT8 weights");
    auto w = std::make_shared<VXTensor>();
    for (uint64_t d = 0; d < rank; ++d) w->shape.push_back(m.at(r + 40 + 8 * d));
    w->count = shape_element_count(w->shape);
    w->buffer = weights_buffer_;
    w->offset = m.at(r + 112);
    w->dtype = dtype;
    w->weight = true;
    const uint64_t cols = rank == 0 ? 1 : w->shape.back();
    require_inference(cols != 0, "Empty weight row");
    const bool q8 = dtype == kVXDtypeQ8;
    // cols and count are at most 2^30, so neither product can wrap.
    w->row_bytes = q8 ? (cols + kVXQ8BlockValues - 1) / kVXQ8BlockValues * kVXQ8BlockBytes
                      : cols * 2;
    const uint64_t data_bytes = q8 ? (w->count / cols) * w->row_bytes : w->count * 2;
    require_inference(w->row_bytes == m.at(r + 136) && w->offset <= buffer_length &&
                          data_bytes <= buffer_length - w->offset && data_bytes == m.at(r + 96),
                      "Weight bounds/row layout");
    if (q8) ++quantized_weights_;
    weights_.push_back(std::move(w));
  }

  for (uint64_t j = 0; j < groups.count; ++j) groups_.push_back(cstring(m.at(groups.record(j))));

  std::vector<bool> defined(h.values, false);
  uses_.assign(h.values, 0);
  for (uint64_t i = 0; i < h.values; ++i) {
    const uint64_t r = h.value_table + h.value_stride * i;
    VXValue v;
    v.name = cstring(m.at(r));
    v.dtype = m.at(r + 8);
    v.flags = m.at(r + 72);
    const bool bound = (v.flags & kVXValueWeight) != 0;
    require_inference(v.flags <= kVXValueFlagsMask &&
                          (v.dtype == kVXDtypeF16 || v.dtype == kVXDtypeI64 ||
                           (v.dtype == kVXDtypeQ8 && bound)),
                      "Unsupported graph value flags/dtype");
    if (bound) {
      v.tensor = m.at(r + 80);
      require_inference((v.flags & kVXValueInput) == 0 && v.tensor < weights_.size(),
                        "Invalid weight/input binding");
      require_inference(weights_[v.tensor]->dtype == v.dtype, "Graph weight dtype mismatch");
    }
    defined[i] = (v.flags & (kVXValueInput | kVXValueWeight)) != 0;
    if ((v.flags & kVXValueInput) != 0) {
      require_inference(input_ids_.emplace(v.name, i).second, "Duplicate input name");
    }
    if ((v.flags & kVXValueLogits) != 0) logits_id_ = i;
    rows_.push_back(std::move(v));
  }

  for (uint64_t j = 0; j < h.nodes; ++j) {
    const uint64_t r = h.node_table + h.node_stride * j;
    VXNode n;
    n.op = m.at(r);
    n.group = m.at(r + 8);
    const uint64_t inputs = m.at(r + 16);
    const uint64_t outputs = m.at(r + 24);
    const uint64_t ids = m.at(r + 32);
    const uint64_t attrs = m.at(r + 40);
    const uint64_t attr_bytes = m.at(r + 48);
    const bool ok = n.op >= 1 && n.op <= kLastGraphOp && n.group < groups_.size() &&
                    inputs >= 1 && inputs <= kMaxNodeInputs && outputs >= 1 &&
                    outputs <= kMaxNodeOutputs && ids >= h.id_area && ids <= h.attr_area &&
                    8 * (inputs + outputs) <= h.attr_area - ids && attrs >= h.attr_area &&
                    attrs <= h.end && attr_bytes <= kMaxAttributeBytes && attr_bytes % 8 == 0 &&
                    attr_bytes <= h.end - attrs;
    require_inference(ok, "Invalid operation record");
    for (uint64_t k = 0; k < inputs + outputs; ++k) {
      const uint64_t id = m.at(ids + 8 * k);
      require_inference(id < h.values, "Graph value index");
      (k < inputs ? n.inputs : n.outputs).push_back(id);
    }
    for (uint64_t id : n.inputs) {
      require_inference(defined[id], "Graph not topological");
      ++uses_[id];
    }
    for (uint64_t id : n.outputs) {
      require_inference(!defined[id], "Value defined twice");
      defined[id] = true;
    }
    for (uint64_t a = 0; a < attr_bytes; a += 8) n.attrs.push_back(m.at(attrs + a));
    nodes_.push_back(std::move(n));
  }
  require_inference(logits_id_ != kNoLogits && defined[logits_id_], "No logits output");
}

}  // namespace vexa
