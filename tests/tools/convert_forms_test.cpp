// Operator forms whose ONNX result the engines would not reproduce are refused with a reason
// that names the form; the forms next to them still convert. Max/Min of three inputs and
// integer Mod convert into chains of engine nodes (their values are checked by ONNX's own
// node tests in the conformance run).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert_test_util.h"
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
      {"transposed conv output_shape",
       graph(node("ConvTranspose", {"x", "w"}, {"y"}, attr_ints("output_shape", {10, 8})),
             {kImage, w}, {{"y", {1, 2, 10, 8}}}),
       "output_shape is not supported"},
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
       "batch_dims is not supported"},
      {"cast to bfloat16",
       graph(node("Cast", {"x"}, {"y"}, attr_i("to", kBfloat16)), {kImage}, {kImageOut}),
       "a cast to bfloat16 is not supported"},
      {"dropout mask as an output",
       graph(node("Dropout", {"x"}, {"y", "m"}), {kImage}, {kImageOut, {"m", {1, 3, 4, 4}, 9}}),
       "its mask output is not produced"},
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

}  // namespace
}  // namespace vexa::tools::testing
