// Graph-library graphs built from fuzz bytes, op by op with drawn operands and parameters, then
// compiled and run with drawn feeds: every step must fail with a message or succeed, never
// crash or touch memory outside its buffers.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "gpu/graph_ops.h"
#include "platform/graph.h"
#include "platform/graph_executable.h"
#include "platform/software_device.h"

namespace {

using namespace vexa;

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool more() const { return pos_ < size_; }
  // Mostly small values; 255 reads a wild one (negative, huge) instead.
  int64_t small(int64_t modulo) {
    const uint8_t b = u8();
    if (b != 255) return b % modulo;
    int64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | u8();
    return v;
  }
  // Wraps instead of overflowing when the value is wild.
  int64_t signed_small(int64_t modulo) {
    return static_cast<int64_t>(static_cast<uint64_t>(small(2 * modulo)) - static_cast<uint64_t>(modulo));
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

constexpr DeviceDataType kTypes[] = {DeviceDataType::kFloat32, DeviceDataType::kFloat32,
                                     DeviceDataType::kFloat16, DeviceDataType::kInt32,
                                     DeviceDataType::kInt64,   DeviceDataType::kBool,
                                     static_cast<DeviceDataType>(3)};
// Graphs whose tensors stay below this many elements are compiled and run.
constexpr uint64_t kRunElements = 1 << 14;

GraphShape draw_shape(ByteReader& in) {
  // Ranks up to 9 (one past the limit); dims may be wild.
  const uint8_t rank = in.u8();
  GraphShape s(rank == 255 ? 9 : rank % 6);
  for (int64_t& d : s) d = in.small(5);
  return s;
}

DeviceDataType draw_type(ByteReader& in) { return kTypes[in.u8() % (sizeof kTypes / sizeof kTypes[0])]; }

struct Pool {
  std::vector<GraphTensor> tensors;
  GraphTensor pick(ByteReader& in, Graph& other) {
    const uint8_t b = in.u8();
    if (b == 254) return GraphTensor{};                       // a failed operation's result
    if (b == 253) return other.placeholder({2}, DeviceDataType::kFloat32);  // another graph's
    if (tensors.empty()) return GraphTensor{};
    return tensors[b % tensors.size()];
  }
};

std::vector<int64_t> draw_axes(ByteReader& in) {
  std::vector<int64_t> axes(in.u8() % 4);
  for (int64_t& a : axes) a = in.signed_small(6);
  return axes;
}

GraphConv2dDescriptor draw_conv(ByteReader& in) {
  GraphConv2dDescriptor d;
  d.stride_x = in.small(4);
  d.stride_y = in.small(4);
  d.dilation_x = in.small(3);
  d.dilation_y = in.small(3);
  d.groups = in.small(4);
  d.pad_left = in.small(3);
  d.pad_right = in.small(3);
  d.pad_top = in.small(3);
  d.pad_bottom = in.small(3);
  if (in.u8() == 7) d.data_layout = kGraphLayoutNHWC;
  return d;
}

GraphPool2dDescriptor draw_pool(ByteReader& in) {
  GraphPool2dDescriptor d;
  d.kernel_width = in.small(4);
  d.kernel_height = in.small(4);
  d.stride_x = in.small(4);
  d.stride_y = in.small(4);
  d.pad_left = in.small(3);
  d.pad_right = in.small(3);
  d.pad_top = in.small(3);
  d.pad_bottom = in.small(3);
  d.include_zero_pad_to_average = in.u8() & 1;
  return d;
}

GraphTensor apply(Graph& g, Graph& other, Pool& pool, ByteReader& in) {
  const uint8_t op = in.u8() % 48;
  auto t = [&] { return pool.pick(in, other); };
  switch (op) {
    case 0: return g.placeholder(draw_shape(in), draw_type(in));
    case 1: {
      const GraphShape s = draw_shape(in);
      const DeviceDataType type = draw_type(in);
      std::vector<uint8_t> bytes(in.u8());
      for (uint8_t& b : bytes) b = in.u8();
      return g.constant_data(bytes.data(), bytes.size(), s, type);
    }
    case 2: {
      // Filled constants allocate their elements: only small ones (the refusals stay covered).
      const double value = static_cast<double>(in.signed_small(4)) * 0.5;
      const GraphShape s = draw_shape(in);
      bool empty = false, big = false;
      uint64_t n = 1;
      for (int64_t d : s) {
        empty = empty || d == 0;
        if (d <= 0) continue;  // a negative dim is refused without allocating
        big = big || static_cast<uint64_t>(d) > kRunElements || n * static_cast<uint64_t>(d) > kRunElements;
        if (!big) n *= static_cast<uint64_t>(d);
      }
      if (big && !empty) return GraphTensor{};
      return g.constant_fill(value, s, draw_type(in));
    }
    case 3: return g.add(t(), t());
    case 4: return g.subtract(t(), t());
    case 5: return g.multiply(t(), t());
    case 6: return g.divide(t(), t());
    case 7: return g.maximum(t(), t());
    case 8: return g.modulo(t(), t());
    case 9: return g.less_equal(t(), t());
    case 10: return g.not_equal(t(), t());
    case 11: return g.logical_or(t(), t());
    case 12: return g.relu(t());
    case 13: return g.erf(t());
    case 14: return g.exp(t());
    case 15: return g.sqrt(t());
    case 16: return g.round(t());
    case 17: return g.truncate(t());
    case 18: return g.logical_not(t());
    case 19: return g.leaky_relu(t(), 0.25f);
    case 20: { GraphTensor a = t(), b = t(); return g.clamp(a, b, t()); }
    case 21: { GraphTensor a = t(), b = t(); return g.select(a, b, t()); }
    case 22: return g.cast(t(), draw_type(in));
    case 23: { GraphTensor a = t(); return g.reshape(a, draw_shape(in)); }
    case 24: { GraphTensor a = t(); return g.transpose(a, in.signed_small(5), in.signed_small(5)); }
    case 25: { GraphTensor a = t(); return g.permute(a, draw_axes(in)); }
    case 26: { GraphTensor a = t(); return g.slice(a, in.signed_small(5), in.signed_small(5), in.small(5)); }
    case 27: {
      std::vector<GraphTensor> list(in.u8() % 11);
      for (GraphTensor& x : list) x = t();
      return g.concat(list, in.signed_small(5));
    }
    case 28: { GraphTensor a = t(); return g.broadcast(a, draw_shape(in)); }
    case 29: { GraphTensor a = t(), b = t(); return g.gather(a, b, in.signed_small(5), in.small(2)); }
    case 30: { GraphTensor a = t(), b = t(); return g.gather_along_axis(a, b, in.signed_small(5)); }
    case 31: {
      GraphTensor a = t(), b = t(), c = t();
      return g.scatter_nd(a, b, c, in.small(2), static_cast<GraphScatterMode>(in.small(8)));
    }
    case 32: {
      GraphTensor a = t();
      return g.resize(a, in.small(9), in.small(9), static_cast<GraphResizeMode>(in.small(3)),
                      in.u8() & 1, in.u8() & 1, static_cast<uint32_t>(in.small(2)));
    }
    case 33: { GraphTensor a = t(); return g.reduce_sum(a, draw_axes(in)); }
    case 34: { GraphTensor a = t(); return g.mean(a, draw_axes(in)); }
    case 35: { GraphTensor a = t(); return g.reduce_max(a, draw_axes(in)); }
    case 36: { GraphTensor a = t(); return g.reduce_product(a, draw_axes(in)); }
    case 37: { GraphTensor a = t(); return g.arg_max(a, in.signed_small(5)); }
    case 38: { GraphTensor a = t(); return g.softmax(a, in.signed_small(5)); }
    case 39: { GraphTensor a = t(); return g.top_k(a, in.small(6)).second; }
    case 40: return g.matmul(t(), t());
    case 41: { GraphTensor a = t(), b = t(); return g.conv2d(a, b, draw_conv(in)); }
    case 42: {
      GraphTensor a = t(), b = t();
      const GraphShape s = draw_shape(in);
      return g.conv_transpose2d(a, b, s, draw_conv(in));
    }
    case 43: { GraphTensor a = t(); return g.max_pool2d(a, draw_pool(in)); }
    case 44: { GraphTensor a = t(); return g.avg_pool2d(a, draw_pool(in)); }
    case 45: {
      GraphTensor q = t(), k = t(), v = t();
      GraphTensor m = in.u8() & 1 ? t() : GraphTensor{};
      return g.scaled_dot_product_attention(q, k, v, m, 0.5f);
    }
    case 46: return g.identity(t());
    default: return g.minimum(t(), t());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  graph_ops_install();
  ByteReader in(data, size);
  Graph g, other;
  Pool pool;
  // A few placeholders to start from.
  const int starts = 1 + in.u8() % 3;
  for (int i = 0; i < starts; ++i) {
    GraphTensor p = g.placeholder(draw_shape(in), draw_type(in));
    if (p.valid()) pool.tensors.push_back(p);
  }
  const int ops = in.u8() % 24;
  for (int i = 0; i < ops && in.more(); ++i) {
    GraphTensor r = apply(g, other, pool, in);
    if (r.valid()) pool.tensors.push_back(r);
    g.clear_error();
  }
  if (pool.tensors.empty()) return 0;
  for (uint32_t i = 0; i < g.tensor_count(); ++i) {
    if (g.info(i).elements > kRunElements) return 0;
  }

  // Targets, feeds (mostly right, sometimes of another shape, type or size) and a run.
  std::vector<GraphTensor> targets;
  const int target_count = 1 + in.u8() % 3;
  for (int i = 0; i < target_count; ++i) targets.push_back(pool.pick(in, other));
  GraphShapedTypeMap types;
  std::vector<GraphTensor> placeholders;
  for (uint32_t i = 0; i < g.tensor_count(); ++i) {
    if (g.nodes()[g.info(i).node].kind != GraphOpKind::kPlaceholder) continue;
    if (in.u8() == 9) continue;  // left unfed
    const GraphTensor p{g.serial(), i};
    types[p] = GraphShapedType{g.shape(p), g.type(p)};
    placeholders.push_back(p);
  }
  GraphCompilationDescriptor cd;
  cd.fuse = in.u8() & 1;
  const bool ne = in.u8() == 3;
  if (ne) {
    cd.preferred_device = kGraphDeviceNeuralEngine;
    cd.allowed_devices = kGraphDeviceMaskGpu | kGraphDeviceMaskNeuralEngine;
    graph_set_neural_engine_present_for_testing(true);
  }
  std::string error;
  auto device = device_system_default();
  auto exe = g.compile(GraphDevice(device), types, targets, cd, &error);
  graph_set_neural_engine_present_for_testing(false);
  if (exe == nullptr) return 0;

  std::vector<GraphTensorData> inputs, results;
  for (GraphTensor p : exe->feed_tensors()) {
    GraphShape shape = g.shape(p);
    DeviceDataType type = in.u8() == 5 ? DeviceDataType::kFloat16 : g.type(p);
    if (in.u8() == 6 && !shape.empty()) shape[0] += 1;
    uint64_t n = 1;
    for (int64_t d : shape) n *= static_cast<uint64_t>(d);
    const uint64_t bytes = n * device_data_type_bytes(type) + (in.u8() == 8 ? 0 : 16);
    auto buffer = device->new_buffer(bytes == 0 ? 16 : bytes, StorageMode::kShared);
    if (buffer == nullptr) return 0;
    auto* p8 = static_cast<uint8_t*>(buffer->contents());
    for (uint64_t i = 0; i < buffer->length(); ++i) p8[i] = in.u8();
    inputs.push_back(GraphTensorData(NdArray(buffer, in.u8() == 4 ? 16 : 0, NdArrayDescriptor{type, shape})));
  }
  for (GraphTensor t : exe->target_tensors()) {
    uint64_t n = 1;
    for (int64_t d : g.shape(t)) n *= static_cast<uint64_t>(d);
    const DeviceDataType type = in.u8() == 2 ? DeviceDataType::kInt32 : g.type(t);
    auto buffer = device->new_buffer(n * device_data_type_bytes(type) + 16, StorageMode::kShared);
    if (buffer == nullptr) return 0;
    results.push_back(GraphTensorData(buffer, g.shape(t), type));
  }
  auto queue = device->new_command_queue();
  exe->run(*queue, inputs, results, GraphExecutionDescriptor{}, &error);
  return 0;
}
