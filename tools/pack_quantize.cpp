#include "tools/pack_quantize.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/checked_math.h"
#include "core/container.h"
#include "core/container_access.h"
#include "core/container_digest.h"
#include "core/file_replace.h"
#include "core/os.h"
#include "core/types.h"
#include "platform/thread_pool.h"
#include "tools/q8_encode.h"

namespace vexa::tools {

namespace {

// Work is cut into pieces of about this much f32 input, so that one large tensor spreads over
// every core and small ones do not each cost a hand-off. Fixed by the data alone, so the output
// is the same bytes on any core count.
constexpr uint64_t kPieceBytes = uint64_t{1} << 20;
constexpr uint64_t kMinRowElements = kQ8BlockElements;
constexpr uint64_t kMegabyteShift = 20;
constexpr uint64_t kMegabyteRounding = uint64_t{1} << 19;
// Word 28 of a Gemm node: transB.
constexpr uint64_t kGemmTransBWord = 28;

enum Selection : uint8_t { kNotSeen = 0, kCandidate = 1, kExcluded = 2 };

struct Tensor {
  Selection state = kNotSeen;
  uint64_t rows = 0;
  uint64_t cols = 0;
  bool q8 = false;
  uint64_t new_size = 0;
  uint64_t new_padded = 0;
  uint64_t new_relative = 0;
};

struct Closer {
  OpenContainer* c;
  ~Closer() { container_close(c); }
};

// Zero-filled memory for the two large areas, asked to be backed by huge pages: first touches
// dominate their cost, and a 2 MiB page costs one fault where 4 KiB pages cost 512 (the whole
// tool on 256 MB of weights at one thread: 430 ms with small pages, 290 ms with huge ones).
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (data_ != nullptr) munmap(data_, size_);
  }
  bool allocate(uint64_t size) {
    size_ = size == 0 ? 1 : size;
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    (void)madvise(p, size_, MADV_HUGEPAGE);  // advice only
    data_ = static_cast<uint8_t*>(p);
    return true;
  }
  uint8_t* get() const { return data_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

template <typename Record>
Record record_at(const uint8_t* image, uint64_t offset) {
  return load_record<Record>(image + offset);
}

uint64_t padded(uint64_t size) {
  const uint64_t rounded = (size + kWeightAlignmentBytes - 1) / kWeightAlignmentBytes * kWeightAlignmentBytes;
  return size == 0 ? kWeightAlignmentBytes : rounded;
}

// One use of a weight: it keeps or gains candidacy only with the same row length every time.
void join(Tensor& t, bool qualifies, uint64_t cols, uint64_t count) {
  if (t.state == kExcluded) return;
  if (!qualifies || (t.state == kCandidate && t.cols != cols)) {
    t.state = kExcluded;
    return;
  }
  t.state = kCandidate;
  t.cols = cols;
  t.rows = count / cols;
}

// Candidate selection over the graph: input 0 of a Gather and input 1 of a Conv,
// ConvTranspose, MatMul or Gemm may be quantised; any other use keeps the weight f32.
void select_candidates(const OpenContainer* c, std::vector<Tensor>& tensors) {
  const uint64_t node_count = container_node_count(c);
  const uint64_t value_count = container_value_count(c);
  for (uint64_t i = 0; i < node_count; ++i) {
    const GraphNode node = container_read_node(c, i);
    const uint64_t inputs = node.input_count < kGraphNodeMaxInputs ? node.input_count : kGraphNodeMaxInputs;
    const auto op = static_cast<OpKind>(node.op_kind);
    for (uint64_t k = 0; k < inputs; ++k) {
      if (node.inputs[k] >= value_count) continue;
      const GraphValue v = container_read_value(c, node.inputs[k]);
      if (v.kind != static_cast<uint64_t>(ValueKind::kWeight) || v.tensor_index >= tensors.size()) continue;
      Tensor& t = tensors[v.tensor_index];
      const uint64_t count = v.element_count;
      // The stored bytes must be exactly the value's elements, or encoding would read past them.
      const TensorRecord tr = container_tensor_record(c, v.tensor_index);
      const bool f32_data = v.dtype == 2 && count != 0 && count <= UINT64_MAX / 4 && tr.size == 4 * count;
      if (k == 0) {
        if (op == OpKind::kTranspose) continue;
        bool ok = op == OpKind::kGather && f32_data && v.rank == 2 && v.dims[0] != 0;
        const uint64_t cols = ok ? count / v.dims[0] : 0;
        ok = ok && cols >= kMinRowElements && count % cols == 0;
        join(t, ok, cols, count);
      } else if (k == 1) {
        const bool matrix_op = op == OpKind::kConv || op == OpKind::kConvTranspose ||
                               op == OpKind::kMatMul || op == OpKind::kGemm;
        bool ok = matrix_op && f32_data && v.rank >= 2 && v.rank <= kMaxTensorRank;
        uint64_t cols = 0;
        if (ok) {
          const bool trans_b = op == OpKind::kGemm && node.words()[kGemmTransBWord] != 0;
          const bool last_dim = op == OpKind::kMatMul || (op == OpKind::kGemm && !trans_b);
          if (last_dim) cols = v.dims[v.rank - 1];
          else if (v.dims[0] != 0) cols = count / v.dims[0];
        }
        ok = ok && cols >= kMinRowElements && count % cols == 0;
        join(t, ok, cols, count);
      } else {
        t.state = kExcluded;  // biases and the like
      }
    }
  }
}

// Splits each entry i of `bytes` into ranges of kPieceBytes and runs body(i, begin, end) for
// every range across the pool.
template <typename Body>
void for_each_piece(const std::vector<uint64_t>& bytes, Body&& body) {
  struct Piece {
    uint64_t item, begin, end;
  };
  std::vector<Piece> pieces;
  for (uint64_t i = 0; i < bytes.size(); ++i) {
    for (uint64_t b = 0; b < bytes[i]; b += kPieceBytes) {
      pieces.push_back({i, b, bytes[i] - b < kPieceBytes ? bytes[i] : b + kPieceBytes});
    }
  }
  parallel_for(pieces.size(), [&](size_t p) { body(pieces[p].item, pieces[p].begin, pieces[p].end); });
}

std::string report(uint64_t q, uint64_t n, uint64_t before, uint64_t after) {
  char text[160];
  std::snprintf(text, sizeof text, "%llu of %llu weight tensors stored as Q8: %llu MB -> %llu MB",
                static_cast<unsigned long long>(q), static_cast<unsigned long long>(n),
                static_cast<unsigned long long>((before + kMegabyteRounding) >> kMegabyteShift),
                static_cast<unsigned long long>((after + kMegabyteRounding) >> kMegabyteShift));
  return text;
}

ToolResult quantize(std::string_view input_path, std::string_view output_path) {
  if (input_path.empty() || input_path.find('\0') != std::string_view::npos) {
    return tool_failure("invalid input path");
  }
  if (output_path.empty() || output_path.find('\0') != std::string_view::npos) {
    return tool_failure("invalid output path");
  }
  const std::string in(input_path);
  const std::string out(output_path);
  const std::string inputs[] = {in};
  // Refused before the input is read: nothing is made for an output that may not be written.
  if (std::string refusal = file_replace_refusal(out, inputs); !refusal.empty()) {
    return tool_failure(refusal);
  }

  const int fd = os_open_regular_read(in.c_str());
  if (fd < 0) return tool_failure("cannot open input pack");
  const int64_t file_size = container_file_size(fd);
  if (file_size < 0) {
    close(fd);
    return tool_failure("cannot size input pack");
  }
  OpenResult opened = container_open_fd(fd, 0, static_cast<uint64_t>(file_size), 0);
  close(fd);
  if (!opened.ok()) return tool_failure(std::string(pack_status_text(static_cast<uint32_t>(opened.status))));
  OpenContainer* c = &opened.container;
  Closer closer{c};

  const uint64_t n = container_tensor_count(c);
  for (uint64_t j = 0; j < n; ++j) {
    if (container_tensor_record(c, j).dtype != 2) return tool_failure("the pack already holds packed weights");
  }
  // The node and value records are read by their graph-model layout.
  if (container_section_stride(c, kSectionNodes) != sizeof(GraphNode) ||
      container_section_stride(c, kSectionValues) != sizeof(GraphValue)) {
    return tool_failure("the pack holds no graph model to quantise");
  }

  std::vector<Tensor> tensors;
  std::vector<TensorRecord> records;
  std::vector<uint64_t> candidates;  // in storage order, as the tensors lie in the region
  Buffer source;
  const uint64_t m = c->weights_offset;
  const uint64_t source_size = static_cast<uint64_t>(file_size) - m;
  try {
    tensors.resize(static_cast<size_t>(n));
    records.resize(static_cast<size_t>(n));
    candidates.reserve(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    return tool_failure("out of memory");
  }
  if (!source.allocate(source_size)) return tool_failure("out of memory");
  // Candidates depend on the graph alone, so the finiteness of their values is checked as each
  // piece arrives, while it is still in cache.
  for (uint64_t j = 0; j < n; ++j) records[j] = container_tensor_record(c, j);
  select_candidates(c, tensors);
  std::unique_ptr<std::atomic<bool>[]> non_finite(new (std::nothrow) std::atomic<bool>[n == 0 ? 1 : n]());
  if (non_finite == nullptr) return tool_failure("out of memory");
  for (uint64_t j = 0; j < n; ++j) {
    if (tensors[j].state == kCandidate) candidates.push_back(j);
  }
  // Read in pieces across the pool, so that the copies and the first touches of the pages spread
  // over every core (256 MB from the page cache: 150 ms on one thread into small pages, 35-50 ms
  // on 8 into huge pages).
  std::atomic<bool> read_ok{true};
  const uint64_t read_pieces = (source_size + kPieceBytes - 1) / kPieceBytes;
  parallel_for(static_cast<size_t>(read_pieces), [&](size_t p) {
    const uint64_t begin = p * kPieceBytes;
    const uint64_t end = source_size - begin < kPieceBytes ? source_size : begin + kPieceBytes;
    if (!read_fully_at(c->fd, source.get() + begin, end - begin, m + begin)) {
      read_ok.store(false, std::memory_order_relaxed);
      return;
    }
    // The first candidate ending after `begin`, then each one starting before `end`. Tensors
    // start on 16384-byte boundaries and pieces on 1 MiB ones, so every overlap is whole floats.
    auto it = std::partition_point(candidates.begin(), candidates.end(), [&](uint64_t j) {
      return records[j].relative_offset + records[j].size <= begin;
    });
    for (; it != candidates.end() && records[*it].relative_offset < end; ++it) {
      const uint64_t from = std::max(begin, records[*it].relative_offset);
      const uint64_t to = std::min(end, records[*it].relative_offset + records[*it].size);
      if (from < to && !q8_all_finite(reinterpret_cast<const float*>(source.get() + from), (to - from) / 4)) {
        non_finite[*it].store(true, std::memory_order_relaxed);
      }
    }
  });
  if (!read_ok.load()) return tool_failure("cannot read weights");

  // Weights that do not match their digests would be sealed afresh below: refused instead.
  std::atomic<bool> digests_ok{true};
  const uint64_t digest_base = container_entry_offset(c, kSectionDigests, 0);
  parallel_for(static_cast<size_t>(n), [&](size_t j) {
    const TensorRecord& tr = records[j];
    if (!digest_matches(source.get() + tr.relative_offset, tr.padded_size,
                        c->image + digest_base + kDigestBytes * j)) {
      digests_ok.store(false, std::memory_order_relaxed);
    }
  });
  if (!digests_ok.load()) return tool_failure(std::string(pack_status_text(PackStatus::kTensorHashMismatch)));

  // Sizes and the new layout, tensor by tensor.
  uint64_t q = 0;
  uint64_t d = 0;
  for (uint64_t j = 0; j < n; ++j) {
    Tensor& t = tensors[j];
    uint64_t q8_size = 0;
    t.q8 = t.state == kCandidate && !non_finite[j].load(std::memory_order_relaxed) &&
           checked_mul_u64(t.rows, q8_row_bytes(t.cols), &q8_size) && q8_size < records[j].size;
    t.new_size = t.q8 ? q8_size : records[j].size;
    t.new_padded = padded(t.new_size);
    t.new_relative = d;
    d += t.new_padded;  // never more than the input's data size
    q += t.q8 ? 1 : 0;
  }
  // Readers check the Q8 entry of the data-type table only once a tensor uses it.
  if (q > 0 && !container_check_dtype(c, 4)) {
    return tool_failure("the pack's data-type table has no valid Q8 block entry");
  }

  Buffer area;
  std::vector<uint8_t> image;
  try {
    image.assign(c->image, c->image + m);
  } catch (const std::bad_alloc&) {
    return tool_failure("out of memory");
  }
  if (!area.allocate(d)) return tool_failure("out of memory");

  // Encode Q8 tensors by whole rows and copy the others with their padding (their digests
  // cover it), in pieces across the pool.
  std::vector<uint64_t> work_bytes(static_cast<size_t>(n));
  for (uint64_t j = 0; j < n; ++j) {
    const Tensor& t = tensors[j];
    work_bytes[j] = t.q8 ? t.rows * t.cols * 4 : records[j].padded_size;
  }
  for_each_piece(work_bytes, [&](uint64_t j, uint64_t begin, uint64_t end) {
    const Tensor& t = tensors[j];
    const uint8_t* from = source.get() + records[j].relative_offset;
    uint8_t* to = area.get() + t.new_relative;
    if (!t.q8) {
      std::memcpy(to + begin, from + begin, static_cast<size_t>(end - begin));
      return;
    }
    // Piece bounds fall on rows: the first row starting at or after `begin`.
    const uint64_t row_bytes = t.cols * 4;
    const uint64_t first = (begin + row_bytes - 1) / row_bytes;
    const uint64_t last = (end + row_bytes - 1) / row_bytes;
    if (first >= last) return;
    q8_encode_rows(reinterpret_cast<const float*>(from) + first * t.cols, last - first, t.cols,
                   to + first * q8_row_bytes(t.cols));
  });

  // Records, digests and graph values.
  const uint64_t digests = container_entry_offset(c, kSectionDigests, 0);
  parallel_for(static_cast<size_t>(n), [&](size_t j) {
    const Tensor& t = tensors[j];
    if (t.q8) store_digest_at(image.data(), digests + kDigestBytes * j, area.get() + t.new_relative, t.new_padded);
  });
  for (uint64_t j = 0; j < n; ++j) {
    const Tensor& t = tensors[j];
    TensorRecord tr = records[j];
    tr.absolute_offset = m + t.new_relative;
    tr.size = t.new_size;
    tr.padded_size = t.new_padded;
    tr.relative_offset = t.new_relative;
    if (t.q8) {
      tr.dtype = 4;
      tr.rank = 2;
      std::memset(tr.dims, 0, sizeof tr.dims);
      tr.dims[0] = t.rows;
      tr.dims[1] = t.cols;
      tr.row_bytes = q8_row_bytes(t.cols);
    }
    store_record(image.data() + container_entry_offset(c, kSectionTensors, j), tr);
  }
  const uint64_t value_count = container_value_count(c);
  for (uint64_t i = 0; i < value_count; ++i) {
    const uint64_t at = container_entry_offset(c, kSectionValues, i);
    GraphValue v = record_at<GraphValue>(image.data(), at);
    if (v.kind != static_cast<uint64_t>(ValueKind::kWeight) || v.tensor_index >= n) continue;
    const Tensor& t = tensors[v.tensor_index];
    v.data_offset = t.new_relative;
    if (t.q8) {
      v.dtype = 4;
      v.byte_size = t.new_size;
    }
    store_record(image.data() + at, v);
  }
  // Every group covers the same tensors as before, now at their new offsets; with one group
  // (what the converter writes) that is the whole area.
  const uint64_t groups = container_section_count(c, kSectionGroups);
  for (uint64_t g = 0; g < groups; ++g) {
    const uint64_t at = container_entry_offset(c, kSectionGroups, g);
    GroupRecord gr = record_at<GroupRecord>(image.data(), at);
    const Tensor& first = tensors[gr.first_tensor];
    const Tensor& last = tensors[gr.first_tensor + gr.tensor_count - 1];
    gr.relative_offset = first.new_relative;
    gr.absolute_offset = m + first.new_relative;
    gr.size = last.new_relative + last.new_padded - first.new_relative;
    store_record(image.data() + at, gr);
    for (const uint64_t step : {g, groups + g}) {
      const uint64_t step_at = container_entry_offset(c, kSectionLoadSteps, step);
      LoadStep s = record_at<LoadStep>(image.data(), step_at);
      s.absolute_offset = gr.absolute_offset;
      s.size = gr.size;
      s.relative_offset = step == g ? gr.relative_offset : 0;
      store_record(image.data() + step_at, s);
    }
  }
  const uint64_t layout_at = container_entry_offset(c, kSectionLayout, 0);
  LayoutRecord layout = record_at<LayoutRecord>(image.data(), layout_at);
  layout.data_size = d;
  store_record(image.data() + layout_at, layout);

  // The fold of the area in fixed pieces (XOR is order-free, so the result does not depend on
  // the threads), then the header and its two digests.
  const uint64_t pieces = (d + kPieceBytes - 1) / kPieceBytes;
  std::vector<uint32_t> folds(static_cast<size_t>(pieces), 0);
  parallel_for(static_cast<size_t>(pieces), [&](size_t p) {
    const uint64_t begin = p * kPieceBytes;
    folds[p] = xor_fold32(area.get() + begin, d - begin < kPieceBytes ? d - begin : kPieceBytes);
  });
  uint32_t fold = 0;
  for (uint32_t f : folds) fold ^= f;
  ContainerHeader h = record_at<ContainerHeader>(image.data(), 0);
  h.container_length = m + d;
  h.weights_size = d;
  h.weights_fold = fold;
  h.reserved1 = 0;
  store_record(image.data(), h);
  store_digest_at(image.data(), kHeaderBodyDigestOffset, image.data() + kContainerHeaderBytes,
                  m - kContainerHeaderBytes);
  container_header_digest(image.data());

  const FileReplaceResult written = file_replace(out, inputs, [&](FileReplaceSink& sink) {
    return sink.write(image.data(), image.size()) && sink.write(area.get(), d);
  });
  if (!written.ok()) {
    if (written.outcome == FileReplaceOutcome::kRefused) return tool_failure(written.message);
    if (written.failed_step == FileReplaceStep::kOpen) return tool_failure("cannot create output pack");
    return tool_failure("failed writing output pack");
  }
  return ToolResult{true, report(q, n, m + source_size, m + d)};
}

}  // namespace

ToolResult pack_quantize(std::string_view input_path, std::string_view output_path) {
  // The large buffers report their own failures; this catches the small tables and lists.
  try {
    return quantize(input_path, output_path);
  } catch (const std::bad_alloc&) {
    return tool_failure("out of memory");
  }
}

}  // namespace vexa::tools
