// Graph construction: shape and type inference, the errors a malformed graph gets, the value
// conversions of device data types and the arena planner. Nothing here runs a kernel.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "platform/graph.h"
#include "platform/graph_executable.h"
#include "platform/graph_plan.h"
#include "platform/half.h"
#include "platform/software_device.h"

namespace vexa {
namespace {

using Shape = std::vector<int64_t>;
constexpr DeviceDataType kF32 = DeviceDataType::kFloat32;
constexpr DeviceDataType kF16 = DeviceDataType::kFloat16;
constexpr DeviceDataType kI32 = DeviceDataType::kInt32;

// A failure is one invalid tensor and a message containing `text`.
::testing::AssertionResult fails_with(Graph& g, GraphTensor t, const std::string& text) {
  const std::string message = g.error();
  g.clear_error();
  if (t.valid()) return ::testing::AssertionFailure() << "operation succeeded";
  if (message.find(text) == std::string::npos) {
    return ::testing::AssertionFailure() << "message: " << message;
  }
  return ::testing::AssertionSuccess();
}

TEST(GraphBuild, ShapesAndTypesOfEveryFamily) {
  Graph g;
  GraphTensor x = g.placeholder({2, 3, 8, 8}, kF32, "x");
  GraphTensor w = g.placeholder({6, 3, 3, 3}, kF32, "w");
  GraphConv2dDescriptor d;
  d.stride_x = d.stride_y = 2;
  d.pad_left = d.pad_top = 1;
  d.pad_right = d.pad_bottom = 0;
  EXPECT_EQ(g.shape(g.conv2d(x, w, d)), (Shape{2, 6, 4, 4}));
  d.groups = 3;
  EXPECT_EQ(g.shape(g.conv2d(x, g.placeholder({6, 1, 3, 3}, kF32), d)), (Shape{2, 6, 4, 4}));
  GraphPool2dDescriptor p;
  p.kernel_height = p.kernel_width = 3;
  p.stride_x = p.stride_y = 2;
  p.pad_left = p.pad_top = p.pad_right = p.pad_bottom = 1;
  EXPECT_EQ(g.shape(g.max_pool2d(x, p)), (Shape{2, 3, 4, 4}));
  EXPECT_EQ(g.shape(g.add(x, g.placeholder({3, 1, 8}, kF32))), (Shape{2, 3, 8, 8}));
  EXPECT_EQ(g.type(g.less(x, g.constant_scalar(0, kF32))), DeviceDataType::kBool);
  EXPECT_EQ(g.shape(g.mean(x, {2, -1})), (Shape{2, 3, 1, 1}));
  EXPECT_EQ(g.type(g.arg_max(x, 1)), kI32);
  EXPECT_EQ(g.shape(g.matmul(g.placeholder({5, 1, 4, 7}, kF32), g.placeholder({3, 7, 2}, kF32))),
            (Shape{5, 3, 4, 2}));
  EXPECT_EQ(g.shape(g.reshape(x, {2, -1})), (Shape{2, 192}));
  EXPECT_EQ(g.shape(g.permute(x, {0, 2, 3, 1})), (Shape{2, 8, 8, 3}));
  EXPECT_EQ(g.shape(g.slice(x, -1, -3, 2)), (Shape{2, 3, 8, 2}));
  EXPECT_EQ(g.shape(g.concat({x, x, x}, 1)), (Shape{2, 9, 8, 8}));
  EXPECT_EQ(g.shape(g.broadcast(g.placeholder({3, 1}, kF32), {4, 3, 5})), (Shape{4, 3, 5}));
  EXPECT_EQ(g.shape(g.resize(x, 3, 17, GraphResizeMode::kBilinear, true, false)), (Shape{2, 3, 3, 17}));
  EXPECT_EQ(g.shape(g.gather(x, g.placeholder({4, 5}, kI32), 2)), (Shape{2, 3, 4, 5, 8}));
  EXPECT_EQ(g.shape(g.conv_transpose2d(g.placeholder({1, 6, 4, 4}, kF32), g.placeholder({6, 2, 3, 3}, kF32),
                                       {1, 2, 8, 8}, d)),
            (Shape{}))
      << "6 input channels in 3 groups give 6 outputs, not 2";
  g.clear_error();
  GraphConv2dDescriptor up;
  up.stride_x = up.stride_y = 2;
  up.pad_left = up.pad_top = 1;
  EXPECT_EQ(g.shape(g.conv_transpose2d(g.placeholder({1, 6, 4, 4}, kF32),
                                       g.placeholder({6, 2, 3, 3}, kF32), {1, 2, 8, 8}, up)),
            (Shape{1, 2, 8, 8}));
  GraphTensorPair top = g.top_k(x, 3);
  EXPECT_EQ(g.shape(top.second), (Shape{2, 3, 8, 3}));
  EXPECT_EQ(g.type(top.second), kI32);
  EXPECT_EQ(g.type(g.cast(x, kF16)), kF16);
  EXPECT_TRUE(g.ok()) << g.error();
}

TEST(GraphBuild, MalformedOperationsGiveTheirReason) {
  Graph g;
  GraphTensor x = g.placeholder({2, 3, 8, 8}, kF32);
  GraphTensor h = g.placeholder({2, 3, 8, 8}, kF16);
  GraphTensor i = g.placeholder({4}, kI32);
  GraphConv2dDescriptor d;
  EXPECT_TRUE(fails_with(g, g.add(x, g.placeholder({4, 8}, kF32)), "do not broadcast"));
  EXPECT_TRUE(fails_with(g, g.add(x, h), "operand types float32 and float16 differ"));
  EXPECT_TRUE(fails_with(g, g.conv2d(x, g.placeholder({6, 2, 3, 3}, kF32), d), "do not fit 3 input channels"));
  EXPECT_TRUE(fails_with(g, g.conv2d(g.placeholder({3, 8, 8}, kF32), x, d), "must both be rank 4"));
  EXPECT_TRUE(fails_with(g, g.conv2d(x, g.placeholder({6, 3, 9, 9}, kF32), d), "does not fit the padded input"));
  d.stride_x = 0;
  EXPECT_TRUE(fails_with(g, g.conv2d(x, g.placeholder({6, 3, 3, 3}, kF32), d), "strides"));
  d = GraphConv2dDescriptor{};
  d.data_layout = kGraphLayoutNHWC;
  EXPECT_TRUE(fails_with(g, g.conv2d(x, g.placeholder({6, 3, 3, 3}, kF32), d), "NCHW"));
  GraphPool2dDescriptor p;
  p.dilation_x = 2;
  EXPECT_TRUE(fails_with(g, g.max_pool2d(x, p), "dilated"));
  p = GraphPool2dDescriptor{};
  p.pad_left = 1;
  EXPECT_TRUE(fails_with(g, g.avg_pool2d(x, p), "paddings must be 0 up to one less"));
  EXPECT_TRUE(fails_with(g, g.matmul(x, g.placeholder({7, 8}, kF32)), "do not multiply"));
  EXPECT_TRUE(fails_with(g, g.matmul(i, i), "same float type"));
  EXPECT_TRUE(fails_with(g, g.reshape(x, {5, -1}), "do not fill"));
  EXPECT_TRUE(fails_with(g, g.reshape(x, {2, 3}), "cannot take the shape"));
  EXPECT_TRUE(fails_with(g, g.permute(x, {0, 1, 1, 2}), "does not permute"));
  EXPECT_TRUE(fails_with(g, g.transpose(x, 0, 4), "not both dims"));
  EXPECT_TRUE(fails_with(g, g.slice(x, 2, 5, 4), "leave dim 2"));
  EXPECT_TRUE(fails_with(g, g.slice(x, 4, 0, 1), "not a dim of rank 4"));
  EXPECT_TRUE(fails_with(g, g.concat({x, g.placeholder({2, 4, 8, 7}, kF32)}, 1), "differ off dim 1"));
  EXPECT_TRUE(fails_with(g, g.concat({}, 0), "no tensors"));
  EXPECT_TRUE(fails_with(g, g.broadcast(x, {3, 8, 8}), "does not broadcast"));
  EXPECT_TRUE(fails_with(g, g.gather(x, g.placeholder({2}, kF32), 0), "indices must be int32"));
  EXPECT_TRUE(fails_with(g, g.gather(x, i, 0, 1), "batch dimensions"));
  EXPECT_TRUE(fails_with(g, g.gather_along_axis(x, g.placeholder({2, 3}, kI32), 1), "rank 2"));
  EXPECT_TRUE(fails_with(g, g.scatter_nd(x, x, g.placeholder({2, 5}, kI32), 0, GraphScatterMode::kSet),
                         "do not address"));
  EXPECT_TRUE(fails_with(g, g.scatter_nd(x, x, i, 0, GraphScatterMode::kSet), "need []"));
  EXPECT_TRUE(fails_with(g, g.scatter_nd(x, x, g.placeholder({1, 1}, kI32), 0, GraphScatterMode::kDiv),
                         "mode 3"));
  EXPECT_TRUE(fails_with(g, g.resize(x, 4, 4, GraphResizeMode::kNearest, true, false, kGraphLayoutNHWC),
                         "NCHW"));
  EXPECT_TRUE(fails_with(g, g.resize(g.placeholder({2, 3}, kF32), 4, 4, GraphResizeMode::kNearest, true, false),
                         "rank-4"));
  EXPECT_TRUE(fails_with(g, g.mean(x, {1, -3}), "named twice"));
  EXPECT_TRUE(fails_with(g, g.reduce_sum(x, {}), "no axes"));
  EXPECT_TRUE(fails_with(g, g.reduce_max(g.placeholder({2, 0}, kF32), {1}), "no extreme"));
  EXPECT_TRUE(fails_with(g, g.softmax(i, 0), "int32 tensors are not supported"));
  EXPECT_TRUE(fails_with(g, g.exp(i), "int32 tensors are not supported"));
  EXPECT_TRUE(fails_with(g, g.top_k(x, 9).first, "k = 9"));
  EXPECT_TRUE(fails_with(g, g.logical_and(x, x), "float32 operands are not supported"));
  EXPECT_TRUE(fails_with(g, g.add(g.less(x, x), g.less(x, x)), "bool operands are not supported"));
  EXPECT_TRUE(fails_with(g, g.select(g.less(x, x), x, h), "two choices"));
  EXPECT_TRUE(fails_with(g, g.clamp(x, g.placeholder({7}, kF32), g.placeholder({1}, kF32)),
                         "do not broadcast to"));
  EXPECT_TRUE(fails_with(g, g.cast(x, static_cast<DeviceDataType>(7)), "unknown target"));
  EXPECT_TRUE(fails_with(g, g.scaled_dot_product_attention(x, x, g.placeholder({2, 3, 8, 5, 1}, kF32),
                                                           GraphTensor{}, 1.0f),
                         "do not match"));
  EXPECT_TRUE(g.ok());
}

TEST(GraphBuild, AxesOutsideTheRankNameTheOperationAndTheAxis) {
  Graph g;
  GraphTensor x = g.placeholder({2, 3, 4}, kF32);
  GraphTensor i = g.placeholder({2}, kI32);
  EXPECT_TRUE(fails_with(g, g.mean(x, {0, 3}), "mean: axis 3 is not a dim of rank 3"));
  EXPECT_TRUE(fails_with(g, g.reduce_sum(x, {-4}), "reduce_sum: axis -4 is not a dim of rank 3"));
  EXPECT_TRUE(fails_with(g, g.arg_max(x, 5), "arg_max: axis 5 is not a dim of rank 3"));
  EXPECT_TRUE(fails_with(g, g.softmax(x, -4), "softmax: axis -4 is not a dim of rank 3"));
  EXPECT_TRUE(fails_with(g, g.slice(x, -5, 0, 1), "slice: dim -5 is not a dim of rank 3"));
  EXPECT_TRUE(fails_with(g, g.concat({x, x}, 3), "concat: dim 3 is not a dim of rank 3"));
  EXPECT_TRUE(fails_with(g, g.gather(x, i, 3), "gather: axis 3 is not a dim of rank 3"));
  EXPECT_TRUE(fails_with(g, g.gather_along_axis(x, g.placeholder({2, 3, 4}, kI32), -4),
                         "gather_along_axis: axis -4 is not a dim of rank 3"));
  // The last dim counted from the end is a dim.
  EXPECT_TRUE(g.softmax(x, -3).valid());
  EXPECT_TRUE(g.arg_max(x, -1).valid());
  EXPECT_TRUE(g.ok()) << g.error();
}

TEST(GraphBuild, SourcesCheckTheirShapesTypesAndBytes) {
  Graph g;
  EXPECT_TRUE(fails_with(g, g.placeholder({2, -1}, kF32), "negative dim"));
  EXPECT_TRUE(fails_with(g, g.placeholder({1, 1, 1, 1, 1, 1, 1, 1, 1}, kF32), "rank 9 is above 8"));
  EXPECT_TRUE(fails_with(g, g.placeholder({1 << 20, 1 << 20}, kF32), "2^30"));
  EXPECT_TRUE(fails_with(g, g.placeholder({2}, DeviceDataType::kInvalid), "unknown data type"));
  const float three[3] = {1, 2, 3};
  EXPECT_TRUE(fails_with(g, g.constant_data(three, 12, {4}, kF32), "12 bytes given for 4 elements"));
  EXPECT_TRUE(fails_with(g, g.constant_data(nullptr, 8, {2}, kF32), "8 bytes given"));
  EXPECT_TRUE(fails_with(g, g.constant_fill(1.0, {3, -2}, kF32), "not a tensor shape"));
  // Constants hold their values at their type: halves rounded, integers truncated.
  EXPECT_TRUE(g.constant_data(three, 12, {3}, kF32).valid());
  const uint16_t halves[2] = {f16_round_even(0.1f), f16_round_even(-2.0f)};
  GraphTensor hc = g.constant_data(halves, 4, {2}, kF16);
  const auto& values = *g.nodes()[g.info(hc.index).node].attrs.values;
  EXPECT_EQ(values[0], f16_round_trip(0.1f));
  GraphTensor ic = g.constant_fill(-2.7, {2}, kI32);
  EXPECT_EQ((*g.nodes()[g.info(ic.index).node].attrs.values)[0], -2.0f);
  EXPECT_TRUE(g.ok());
}

TEST(GraphBuild, TheFirstFailureIsKeptAndTensorsStayInTheirGraph) {
  Graph g, other;
  GraphTensor x = g.placeholder({4}, kF32);
  GraphTensor bad = g.add(x, g.placeholder({3}, kF32));
  EXPECT_FALSE(bad.valid());
  const std::string first = g.error();
  EXPECT_FALSE(g.exp(bad).valid());
  EXPECT_FALSE(g.add(x, other.placeholder({4}, kF32)).valid());
  EXPECT_EQ(g.error(), first);
  g.clear_error();
  EXPECT_TRUE(fails_with(g, g.exp(bad), "result of a failed operation"));
  EXPECT_TRUE(fails_with(g, g.relu(other.placeholder({4}, kF32)), "belongs to another graph"));
  EXPECT_TRUE(g.shape(bad).empty());
  EXPECT_EQ(g.type(GraphTensor{other.serial(), 0}), DeviceDataType::kInvalid);
}

TEST(GraphBuild, CompilingWithoutKernelsFails) {
  if (graph_installed_kernels() != nullptr) GTEST_SKIP() << "another test installed kernels";
  Graph g;
  GraphTensor x = g.placeholder({4}, kF32);
  std::string error;
  EXPECT_EQ(g.compile(GraphDevice(device_system_default()), {{x, {{4}, kF32}}}, {g.exp(x)},
                      GraphCompilationDescriptor{}, &error),
            nullptr);
  EXPECT_EQ(error, "graph kernels are not installed");
}

TEST(DeviceDataType, ConversionsRoundTruncateAndSaturate) {
  const float in[7] = {1.5f, -2.7f, 3e9f, -3e9f, NAN, 0.1f, 65520.0f};
  int32_t i32[7];
  ASSERT_TRUE(device_values_from_f32(kI32, in, i32, 7));
  EXPECT_EQ(i32[0], 1);
  EXPECT_EQ(i32[1], -2);
  EXPECT_EQ(i32[2], INT32_MAX);
  EXPECT_EQ(i32[3], INT32_MIN);
  EXPECT_EQ(i32[4], 0);
  uint16_t h[7];
  ASSERT_TRUE(device_values_from_f32(kF16, in, h, 7));
  EXPECT_EQ(h[6], 0x7c00) << "65520 rounds to infinity";
  int64_t i64[2];
  const float big[2] = {1e19f, -5.5f};
  ASSERT_TRUE(device_values_from_f32(DeviceDataType::kInt64, big, i64, 2));
  EXPECT_EQ(i64[0], INT64_MAX);
  EXPECT_EQ(i64[1], -5);
  uint8_t b[3];
  const float flags[3] = {0.0f, -0.0f, NAN};
  ASSERT_TRUE(device_values_from_f32(DeviceDataType::kBool, flags, b, 3));
  EXPECT_EQ(b[0], 0);
  EXPECT_EQ(b[1], 0);
  EXPECT_EQ(b[2], 1);
  float back[7];
  ASSERT_TRUE(device_values_to_f32(kF16, h, back, 7));
  EXPECT_EQ(back[5], f16_round_trip(0.1f));
  EXPECT_FALSE(device_values_to_f32(DeviceDataType::kInvalid, h, back, 1));
  // A view of a buffer is checked against its end without overflowing.
  auto buf = device_system_default()->new_buffer(64, StorageMode::kShared);
  std::string error;
  EXPECT_NE(device_view_bytes(buf, 48, kF32, 4, &error), nullptr);
  EXPECT_EQ(device_view_bytes(buf, 52, kF32, 4, &error), nullptr);
  EXPECT_EQ(device_view_bytes(buf, 0, DeviceDataType::kInt64, UINT64_MAX / 4, &error), nullptr);
  EXPECT_EQ(device_view_bytes(buf, UINT64_MAX, kF32, 1, &error), nullptr);
}

TEST(DeviceDataType, IntegerLimitsAndWideningAtTheEdges) {
  // 2^31 and 2^63 saturate; the largest floats below them convert exactly.
  const float in32[4] = {2147483648.0f, -2147483648.0f, 2147483520.0f, -2147483520.0f};
  int32_t i32[4];
  ASSERT_TRUE(device_values_from_f32(kI32, in32, i32, 4));
  EXPECT_EQ(i32[0], INT32_MAX);
  EXPECT_EQ(i32[1], INT32_MIN);
  EXPECT_EQ(i32[2], 2147483520);
  EXPECT_EQ(i32[3], -2147483520);
  const float in64[4] = {9223372036854775808.0f, -9223372036854775808.0f, 9223371487098961920.0f,
                         -1e30f};
  int64_t i64[4];
  ASSERT_TRUE(device_values_from_f32(DeviceDataType::kInt64, in64, i64, 4));
  EXPECT_EQ(i64[0], INT64_MAX);
  EXPECT_EQ(i64[1], INT64_MIN);
  EXPECT_EQ(i64[2], int64_t{9223371487098961920});
  EXPECT_EQ(i64[3], INT64_MIN);
  EXPECT_EQ(device_value_as(kI32, 3e9f), 2147483648.0f);
  EXPECT_EQ(device_value_as(DeviceDataType::kInt64, -7.9f), -7.0f);

  // Stored integers read back as floats, each from its own (unaligned) place.
  uint8_t packed[1 + 3 * 8] = {};
  const int32_t w32[3] = {-7, 16777217, INT32_MIN};
  std::memcpy(packed + 1, w32, sizeof w32);
  float back[3];
  ASSERT_TRUE(device_values_to_f32(kI32, packed + 1, back, 3));
  EXPECT_EQ(back[0], -7.0f);
  EXPECT_EQ(back[1], 16777216.0f);
  EXPECT_EQ(back[2], -2147483648.0f);
  const int64_t w64[3] = {-5, int64_t{1} << 40, INT64_MAX};
  std::memcpy(packed + 1, w64, sizeof w64);
  ASSERT_TRUE(device_values_to_f32(DeviceDataType::kInt64, packed + 1, back, 3));
  EXPECT_EQ(back[0], -5.0f);
  EXPECT_EQ(back[1], 1099511627776.0f);
  EXPECT_EQ(back[2], 9223372036854775808.0f);
}

// Values alive at the same step never share bytes; the planner reuses what ended before.
TEST(GraphArena, LiveValuesNeverOverlap) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    std::vector<GraphLifetime> v(40);
    for (auto& l : v) {
      l.bytes = 4 * (1 + rng() % 500);
      l.first = static_cast<int64_t>(rng() % 30) - 1;
      l.last = l.first + static_cast<int64_t>(rng() % 6);
    }
    std::vector<uint64_t> offsets;
    const uint64_t total = graph_plan_arena(v, &offsets);
    uint64_t sum = 0;
    for (size_t a = 0; a < v.size(); ++a) {
      sum += v[a].bytes;
      EXPECT_EQ(offsets[a] % 64, 0u);
      EXPECT_LE(offsets[a] + v[a].bytes, total);
      for (size_t b = a + 1; b < v.size(); ++b) {
        const bool together = v[a].first <= v[b].last && v[b].first <= v[a].last;
        const bool apart = offsets[a] + v[a].bytes <= offsets[b] || offsets[b] + v[b].bytes <= offsets[a];
        EXPECT_TRUE(!together || apart) << round << ": " << a << " and " << b;
      }
    }
    EXPECT_LT(total, sum + 64 * v.size());
  }
}

}  // namespace
}  // namespace vexa
