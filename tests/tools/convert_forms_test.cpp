// Operator forms whose ONNX result the engines would not reproduce are refused with a reason
// that names the form; the forms next to them still convert. Max/Min of three inputs and
// integer Mod convert into chains of engine nodes (their values are checked by ONNX's own
// node tests in the conformance run).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "convert_test_util.h"
#include "core/container.h"
#include "core/container_access.h"
#include "cpu/cpu_state.h"
#include "cpu/interpreter.h"
#include "onnx_proto_builder.h"

namespace vexa::tools::testing {
namespace {

constexpr uint64_t kAttrTypeInt = 2, kAttrTypeString = 3, kAttrTypeInts = 7;
constexpr uint64_t kUint8 = 2, kBfloat16 = 16;

std::string attr_i(const std::string& name, uint64_t v) {
  return pb_bytes(5, pb_bytes(1, name) + pb_int(3, v) + pb_int(20, kAttrTypeInt));
}
std::string attr_s(const std::string& name, const std::string& v) {
  return pb_bytes(5, pb_bytes(1, name) + pb_bytes(4, v) + pb_int(20, kAttrTypeString));
}
std::string attr_ints(const std::string& name, const std::vector<uint64_t>& v) {
  std::string a = pb_bytes(1, name);
  for (uint64_t x : v) a += pb_int(8, x);
  return pb_bytes(5, a + pb_int(20, kAttrTypeInts));
}

struct Io {
  std::string name;
  std::vector<uint64_t> dims;
  uint64_t type = 1;
};

std::string graph(const std::string& nodes, const std::vector<Io>& inputs,
                  const std::vector<Io>& outputs) {
  std::string g = nodes;
  for (const Io& i : inputs) g += pb_bytes(11, pb_value_info(i.name, i.dims, i.type));
  for (const Io& o : outputs) g += pb_bytes(12, pb_value_info(o.name, o.dims, o.type));
  return g;
}

std::string node(const std::string& op, const std::vector<std::string>& in,
                 const std::vector<std::string>& out, const std::string& attributes = "") {
  return pb_bytes(1, pb_node(op, in, out, "n", attributes));
}

// The plain entry point (no bindings) unless `describe`: then bound, reporting the node count.
ConvertResult convert_model(const TempDir& tmp, const std::string& g, bool describe = false) {
  const std::string model = pb_model(g, 13);
  write_bytes(tmp.file("in.onnx"), std::vector<uint8_t>(model.begin(), model.end()));
  if (!describe) return onnx_convert_file(tmp.file("in.onnx"), tmp.file("out.vexa"), 0);
  InputBindings b;
  onnx_bindings_init(b);
  b.describe_only = 1;
  return onnx_convert_file_bound(tmp.file("in.onnx"), tmp.file("out.vexa"), &b);
}

const Io kImage{"x", {1, 3, 4, 4}};
const Io kImageOut{"y", {1, 3, 4, 4}};

struct FormCase {
  const char* what;
  std::string graph;
  const char* refusal;  // nullptr: converts
};

TEST(ConverterForms, RefusedFormsNameTheirReasonAndNeighboursConvert) {
  const Io w{"w", {3, 2, 3, 3}};
  const Io grid{"g", {1, 2, 2, 2}};
  const Io pooled{"y", {1, 3, 2, 2}};
  const std::vector<FormCase> cases = {
      // Unpadded 6 x 6: 8 x 8 is two rows and columns of padding, 7 x 7 one past the edge.
      {"transposed conv output_shape shrinking evenly",
       graph(node("ConvTranspose", {"x", "w"}, {"y"}, attr_ints("output_shape", {4, 4})),
             {kImage, w}, {{"y", {1, 2, 4, 4}}}),
       nullptr},
      {"transposed conv output_shape one past the edge",
       graph(node("ConvTranspose", {"x", "w"}, {"y"}, attr_ints("output_shape", {7, 7})),
             {kImage, w}, {{"y", {1, 2, 7, 7}}}),
       nullptr},
      {"transposed conv output_shape with an odd padding total",
       graph(node("ConvTranspose", {"x", "w"}, {"y"}, attr_ints("output_shape", {5, 6})),
             {kImage, w}, {{"y", {1, 2, 5, 6}}}),
       "output_shape 5 against an unpadded size of 6 is not supported"},
      {"transposed conv output_shape two past the edge",
       graph(node("ConvTranspose", {"x", "w"}, {"y"}, attr_ints("output_shape", {6, 8})),
             {kImage, w}, {{"y", {1, 2, 6, 8}}}),
       "output_shape 8 against an unpadded size of 6"},
      {"transposed conv output_padding",
       graph(node("ConvTranspose", {"x", "w"}, {"y"},
                  attr_ints("strides", {2, 2}) + attr_ints("output_padding", {1, 1})),
             {kImage, w}, {{"y", {1, 2, 10, 10}}}),
       nullptr},
      {"transposed conv output_padding as large as the stride",
       graph(node("ConvTranspose", {"x", "w"}, {"y"},
                  attr_ints("strides", {2, 2}) + attr_ints("output_padding", {2, 0})),
             {kImage, w}, {{"y", {1, 2, 11, 9}}}),
       "output_padding must be smaller than the stride"},
      {"grid sample nearest",
       graph(node("GridSample", {"x", "g"}, {"y"}, attr_s("mode", "nearest")), {kImage, grid},
             {pooled}),
       "mode nearest is not supported"},
      {"grid sample border",
       graph(node("GridSample", {"x", "g"}, {"y"}, attr_s("padding_mode", "border")),
             {kImage, grid}, {pooled}),
       "padding_mode border is not supported"},
      {"grid sample align_corners",
       graph(node("GridSample", {"x", "g"}, {"y"}, attr_i("align_corners", 1)), {kImage, grid},
             {pooled}),
       "align_corners=1 is not supported"},
      {"grid sample bilinear", graph(node("GridSample", {"x", "g"}, {"y"}), {kImage, grid}, {pooled}),
       nullptr},
      {"scatter adding",
       graph(node("ScatterElements", {"x", "i", "u"}, {"y"}, attr_s("reduction", "add")),
             {kImage, {"i", {1, 3, 4, 4}, 7}, {"u", {1, 3, 4, 4}}}, {kImageOut}),
       nullptr},
      {"scatter with an unknown reduction",
       graph(node("ScatterND", {"x", "i", "u"}, {"y"}, attr_s("reduction", "mean")),
             {kImage, {"i", {1, 1}, 7}, {"u", {1, 3, 4, 4}}}, {kImageOut}),
       "reduction mean is not supported"},
      {"gather with batch dims",
       graph(node("GatherND", {"x", "i"}, {"y"}, attr_i("batch_dims", 1)),
             {kImage, {"i", {1, 2, 1}, 7}}, {{"y", {1, 2, 4, 4}}}),
       nullptr},
      {"cast to bfloat16",
       graph(node("Cast", {"x"}, {"y"}, attr_i("to", kBfloat16)), {kImage}, {kImageOut}),
       "a cast to bfloat16 is not supported"},
      {"cast to an 8-bit float",
       graph(node("Cast", {"x"}, {"y"}, attr_i("to", 17)), {kImage}, {kImageOut}),
       "a cast to element type 17 is not supported"},
      {"cast to complex",
       graph(node("Cast", {"x"}, {"y"}, attr_i("to", 14)), {kImage}, {kImageOut}),
       "a cast to element type 14 is not supported"},
      {"cast without a target",
       graph(node("Cast", {"x"}, {"y"}), {kImage}, {kImageOut}),
       "a cast to element type 0 is not supported"},
      {"cast to a 4-bit integer",
       graph(node("Cast", {"x"}, {"y"}, attr_i("to", 22)), {kImage}, {kImageOut}),
       "a cast to element type 22 is not supported"},
      {"cast to int32", graph(node("Cast", {"x"}, {"y"}, attr_i("to", 6)), {kImage}, {kImageOut}),
       nullptr},
      {"cast to float16", graph(node("Cast", {"x"}, {"y"}, attr_i("to", 10)), {kImage}, {kImageOut}),
       nullptr},
      {"dropout mask as an output",
       graph(node("Dropout", {"x"}, {"y", "m"}), {kImage}, {kImageOut, {"m", {1, 3, 4, 4}, 9}}),
       "Dropout's mask output is not produced"},
      {"dropout with a run-time training flag",
       graph(node("Dropout", {"x", "r", "t"}, {"y"}), {kImage, {"r", {}}, {"t", {}, 9}},
             {kImageOut}),
       "training_mode must be known at convert time"},
      {"dropout in inference", graph(node("Dropout", {"x"}, {"y"}), {kImage}, {kImageOut}), nullptr},
      {"prelu slope along the last axis",
       graph(node("PRelu", {"x", "s"}, {"y"}), {kImage, {"s", {4}}}, {kImageOut}),
       "a slope that varies along axes other than the channel axis"},
      {"prelu slope per channel",
       graph(node("PRelu", {"x", "s"}, {"y"}), {kImage, {"s", {3, 1, 1}}}, {kImageOut}), nullptr},
      {"average pool leaving padding out",
       graph(node("AveragePool", {"x"}, {"y"},
                  attr_ints("kernel_shape", {3, 3}) + attr_ints("pads", {1, 1, 1, 1})),
             {kImage}, {kImageOut}),
       nullptr},
      {"average pool counting padding",
       graph(node("AveragePool", {"x"}, {"y"},
                  attr_ints("kernel_shape", {3, 3}) + attr_ints("pads", {1, 1, 1, 1}) +
                      attr_i("count_include_pad", 1)),
             {kImage}, {kImageOut}),
       nullptr},
      {"average pool ceil window past the input",
       graph(node("AveragePool", {"x"}, {"y"},
                  attr_ints("kernel_shape", {3, 3}) + attr_ints("strides", {2, 2}) +
                      attr_i("ceil_mode", 1)),
             {kImage}, {pooled}),
       nullptr},
      {"average pool ceil window past the input, counting padding",
       graph(node("AveragePool", {"x"}, {"y"},
                  attr_ints("kernel_shape", {3, 3}) + attr_ints("strides", {2, 2}) +
                      attr_i("ceil_mode", 1) + attr_i("count_include_pad", 1)),
             {kImage}, {pooled}),
       "ceil_mode window"},
      {"batch norm with run-time statistics",
       graph(node("BatchNormalization", {"x", "s", "b", "m", "v"}, {"y"}),
             {kImage, {"s", {3}}, {"b", {3}}, {"m", {3}}, {"v", {3}}}, {kImageOut}),
       "scale, bias, mean and variance must be known at convert time"},
      {"integer division",
       graph(node("Div", {"a", "b"}, {"y"}), {{"a", {4}, kUint8}, {"b", {4}, kUint8}},
             {{"y", {4}, kUint8}}),
       "Div of integer input 'a' is not supported"},
      {"float division", graph(node("Div", {"a", "b"}, {"y"}), {{"a", {4}}, {"b", {4}}}, {{"y", {4}}}),
       nullptr},
      {"rank 7 input",
       graph(node("Relu", {"x"}, {"y"}), {{"x", {1, 1, 1, 1, 1, 1, 2}}}, {{"y", {1, 1, 1, 1, 1, 1, 2}}}),
       "rank above 6 is not supported"},
      {"bfloat16 input",
       graph(node("Relu", {"x"}, {"y"}), {{"x", {4}, kBfloat16}}, {{"y", {4}}}),
       "holds bfloat16 elements"},
      {"constant-only graph",
       graph(node("Constant", {}, {"y"},
                  pb_bytes(5, pb_bytes(1, "value_int") + pb_int(3, 4) + pb_int(20, kAttrTypeInt))),
             {}, {{"y", {}, 7}}),
       "the graph has no operator to run"},
  };
  for (const FormCase& c : cases) {
    TempDir tmp;
    const ConvertResult r = convert_model(tmp, c.graph);
    if (c.refusal == nullptr) {
      EXPECT_TRUE(r.ok) << c.what << ": " << r.text;
    } else {
      EXPECT_FALSE(r.ok) << c.what;
      EXPECT_NE(r.text.find(c.refusal), std::string::npos) << c.what << ": " << r.text;
    }
  }
}

TEST(ConverterForms, NonTensorInputIsRefused) {
  // An optional-typed input: TypeProto field 9 instead of a tensor type.
  const std::string optional_in =
      pb_bytes(1, "x") + pb_bytes(2, pb_bytes(9, pb_bytes(1, pb_bytes(1, pb_int(1, 1)))));
  const std::string g = node("Relu", {"x"}, {"y"}) + pb_bytes(11, optional_in) +
                        pb_bytes(12, pb_value_info("y", {4}));
  TempDir tmp;
  const ConvertResult r = convert_model(tmp, g);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.text.find("'x' is not a tensor"), std::string::npos) << r.text;
}

// Chains: the node count of the converted graph shows the lowering.
TEST(ConverterForms, MaxOfThreeAndIntegerModBecomeChains) {
  const Io a{"a", {4}}, b{"b", {4}}, c{"c", {4}}, y{"y", {4}};
  const struct {
    const char* what;
    std::string graph;
    const char* nodes;
  } cases[] = {
      {"max of three", graph(node("Max", {"a", "b", "c"}, {"y"}), {a, b, c}, {y}), ", 2 nodes"},
      {"min of four", graph(node("Min", {"a", "b", "c", "a"}, {"y"}), {a, b, c}, {y}), ", 3 nodes"},
      {"max of two", graph(node("Max", {"a", "b"}, {"y"}), {a, b}, {y}), ", 1 nodes"},
      {"integer mod", graph(node("Mod", {"a", "b"}, {"y"}), {a, b}, {y}), ", 3 nodes"},
      {"c remainder", graph(node("Mod", {"a", "b"}, {"y"}, attr_i("fmod", 1)), {a, b}, {y}),
       ", 1 nodes"},
  };
  for (const auto& t : cases) {
    TempDir tmp;
    const ConvertResult r = convert_model(tmp, t.graph, true);
    ASSERT_TRUE(r.ok) << t.what << ": " << r.text;
    EXPECT_NE(r.text.find(t.nodes), std::string::npos) << t.what << ": " << r.text;
  }
}

// A float TensorProto initializer.
std::string pb_initializer(const std::string& name, const std::vector<uint64_t>& dims,
                           const std::vector<float>& values) {
  std::string t;
  for (uint64_t d : dims) t += pb_int(1, d);
  t += pb_int(2, 1);
  std::string raw(values.size() * sizeof(float), '\0');
  std::memcpy(raw.data(), values.data(), raw.size());
  return pb_bytes(5, t + pb_bytes(8, name) + pb_bytes(9, raw));
}

// Converts without bindings and runs the one-input model on the CPU engine.
std::vector<float> convert_and_run(const std::string& g, const std::vector<float>& input) {
  TempDir tmp;
  const std::string model = pb_model(g, 13);
  write_bytes(tmp.file("in.onnx"), std::vector<uint8_t>(model.begin(), model.end()));
  const std::string out = tmp.file("out.vexa");
  const ConvertResult r = onnx_convert_file(tmp.file("in.onnx"), out, 0);
  EXPECT_TRUE(r.ok) << r.text;
  if (!r.ok) return {};
  OpenResult o = container_open_path(out.c_str(), out.size());
  EXPECT_TRUE(o.ok());
  if (!o.ok()) return {};
  OpenContainer container = o.container;
  std::vector<uint8_t> weights(std::max<uint64_t>(container.weights_data_size, 64));
  std::vector<float> y;
  if (read_fully_at(container.fd, weights.data(), container.weights_data_size,
                    container.base_offset + container.weights_offset)) {
    cpu::CpuCreateResult c = cpu::cpu_state_create_default(&container, weights.data());
    EXPECT_EQ(c.tag, 0u);
    if (c.tag == 0) {
      cpu::CpuState* state = c.state;
      EXPECT_TRUE(cpu::cpu_set_input(&state, state->input_value, input.data(),
                                     input.size() * sizeof(float)));
      EXPECT_TRUE(cpu::cpu_run(&state, nullptr, nullptr));
      const uint64_t n = state->values[state->outputs[0]].element_count();
      const float* data = cpu::cpu_output_data(&state, 0);
      y.assign(data, data + n);
      cpu::cpu_state_destroy(&state);
    } else {
      cpu::cpu_create_result_release(&c);
    }
  }
  container_close(&container);
  return y;
}

// One-channel transposed convolution written as ONNX defines it: input (ih, iw) with weight tap
// (kh, kw) lands on output (ih * s - top + kh, iw * s - left + kw).
std::vector<float> naive_transposed(const std::vector<float>& x, int h, int w,
                                    const std::vector<float>& k, int kk, int s, int top, int left,
                                    int oh, int ow) {
  std::vector<float> y(static_cast<size_t>(oh) * ow, 0.0f);
  for (int ih = 0; ih < h; ++ih)
    for (int iw = 0; iw < w; ++iw)
      for (int a = 0; a < kk; ++a)
        for (int b = 0; b < kk; ++b) {
          const int r = ih * s - top + a, c = iw * s - left + b;
          if (r >= 0 && r < oh && c >= 0 && c < ow) y[r * ow + c] += x[ih * w + iw] * k[a * kk + b];
        }
  return y;
}

TEST(ConverterForms, TransposedConvOutputShapeAndPaddingMatchTheDefinition) {
  const std::vector<float> x = {1, -2, 3, 0.5f, 4, -1, 2, 2, -3};
  const std::vector<float> k = {0.5f, 1, -1, 2, 0.25f, 3, -2, 1, 1.5f};
  const std::string weight = pb_initializer("w", {1, 1, 3, 3}, k);
  const struct {
    const char* what;
    std::string attributes;
    int top, left, oh, ow;
  } cases[] = {
      // Stride 2 over 3 x 3 is unpadded 7 x 7.
      {"output_shape 5 x 5: one row and column of padding each side",
       attr_ints("strides", {2, 2}) + attr_ints("output_shape", {5, 5}), 1, 1, 5, 5},
      {"output_shape 8 x 7: one row past the bottom edge",
       attr_ints("strides", {2, 2}) + attr_ints("output_shape", {8, 7}), 0, 0, 8, 7},
      {"output_padding 1 x 0",
       attr_ints("strides", {2, 2}) + attr_ints("output_padding", {1, 0}), 0, 0, 8, 7},
      {"output_padding with pads",
       attr_ints("strides", {2, 2}) + attr_ints("pads", {1, 0, 0, 1}) +
           attr_ints("output_padding", {1, 1}),
       1, 0, 7, 7},
  };
  for (const auto& c : cases) {
    const std::string g =
        node("ConvTranspose", {"x", "w"}, {"y"}, c.attributes) + weight +
        pb_bytes(11, pb_value_info("x", {1, 1, 3, 3})) +
        pb_bytes(12, pb_value_info("y", {1, 1, static_cast<uint64_t>(c.oh),
                                         static_cast<uint64_t>(c.ow)}));
    const std::vector<float> y = convert_and_run(g, x);
    EXPECT_EQ(y, naive_transposed(x, 3, 3, k, 3, 2, c.top, c.left, c.oh, c.ow)) << c.what;
  }
}

}  // namespace
}  // namespace vexa::tools::testing
