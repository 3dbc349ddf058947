// Wire-level edge cases built byte by byte: repeated graph fields, opset list capacity, empty
// strings, truncated varints, the refusal report's cap, the node-count limit and what a graph
// cut leaves of the nodes after it.
#include <gtest/gtest.h>

#include <string>

#include "convert_test_util.h"
#include "core/container_access.h"
#include "onnx_proto_builder.h"

namespace vexa::tools::testing {
namespace {

ConvertResult convert_model(const TempDir& tmp, const std::string& model, bool describe = true) {
  write_bytes(tmp.file("in.onnx"), std::vector<uint8_t>(model.begin(), model.end()));
  InputBindings b;
  onnx_bindings_init(b);
  b.describe_only = describe ? 1 : 0;
  return onnx_convert_file_bound(tmp.file("in.onnx"), tmp.file("out.vexa"), &b);
}

std::string unary_graph(const std::string& op, uint64_t width) {
  return pb_bytes(1, pb_node(op, {"x"}, {"y"}, "n")) + pb_bytes(11, pb_value_info("x", {1, width})) +
         pb_bytes(12, pb_value_info("y", {1, width}));
}

TEST(ConverterProto, SecondGraphFieldWins) {
  TempDir tmp;
  const std::string model = pb_int(1, 7) + pb_bytes(7, unary_graph("Relu", 4)) +
                            pb_bytes(7, unary_graph("Sigmoid", 6)) + pb_bytes(8, pb_int(2, 13));
  const ConvertResult r = convert_model(tmp, model);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "input  x [1, 6] f32\noutput y [1, 6] f32\nopset 13, ir_version 7, 1 nodes\n");
}

TEST(ConverterProto, OnlyTheFirstEightOpsetImportsAreSeen) {
  TempDir tmp;
  std::string opsets;
  for (int i = 0; i < 8; ++i) opsets += pb_bytes(8, pb_bytes(1, "custom" + std::to_string(i)) + pb_int(2, 1));
  const std::string model = pb_int(1, 7) + opsets + pb_bytes(8, pb_int(2, 13)) +
                            pb_bytes(7, unary_graph("Relu", 4));
  const ConvertResult r = convert_model(tmp, model);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "the model imports no default-domain (ai.onnx) opset");
  // Named "ai.onnx" it is the default domain.
  const std::string named = pb_int(1, 7) + pb_bytes(8, pb_bytes(1, "ai.onnx") + pb_int(2, 12)) +
                            pb_bytes(7, unary_graph("Relu", 4));
  EXPECT_TRUE(convert_model(tmp, named).ok);
}

TEST(ConverterProto, EmptyStringsAddNoMetadata) {
  TempDir tmp;
  const std::string extra = pb_bytes(2, "") + pb_bytes(3, "1.0") +
                            pb_bytes(14, pb_bytes(1, "") + pb_bytes(2, "dropped")) +
                            pb_bytes(14, pb_bytes(1, "task") + pb_bytes(2, "classify"));
  const ConvertResult r = convert_model(tmp, pb_model(unary_graph("Relu", 4), 13, extra), false);
  ASSERT_TRUE(r.ok) << r.text;
  OpenResult opened = container_open_path(tmp.file("out.vexa").c_str(), tmp.file("out.vexa").size());
  ASSERT_TRUE(opened.ok());
  const OpenContainer* c = &opened.container;
  MetaEntry e;
  EXPECT_FALSE(meta_find(c, "onnx.producer_name", &e));
  EXPECT_EQ(meta_get_str(c, "onnx.producer_version", ""), "1.0");
  EXPECT_EQ(meta_get_str(c, "task", ""), "classify");
  EXPECT_EQ(meta_live_count(c), 4u);  // producer_version, task, onnx.opset, onnx.ir_version
  container_close(&opened.container);
}

TEST(ConverterProto, TruncatedVarintAtTheEndEndsTheWalk) {
  TempDir tmp;
  const std::string model = pb_model(unary_graph("Relu", 4)) + std::string("\x08\xff", 2);
  const ConvertResult r = convert_model(tmp, model);
  EXPECT_TRUE(r.ok) << r.text;
}

TEST(ConverterProto, RefusalReportStopsAtOneHundredLines) {
  TempDir tmp;
  for (const int count : {100, 101}) {
    std::string graph;
    for (int i = 0; i < count; ++i) {
      graph += pb_bytes(1, pb_node("Mystery", {"x"}, {"t" + std::to_string(i)}, "m" + std::to_string(i)));
    }
    graph += pb_bytes(11, pb_value_info("x", {1})) + pb_bytes(12, pb_value_info("t0", {1}));
    const ConvertResult r = convert_model(tmp, pb_model(graph));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text.rfind(std::to_string(count) + " unsupported node(s):\n  'm0' Mystery (ai.onnx opset 13): "
                           "no Vexa lowering for this operator\n", 0), 0u);
    size_t lines = 0;
    for (char ch : r.text) lines += ch == '\n';
    EXPECT_EQ(lines, 101u + (count > 100 ? 1u : 0u)) << count;
    EXPECT_EQ(r.text.size() > 6 && r.text.substr(r.text.size() - 6) == "  ...\n", count > 100);
  }
}

TEST(ConverterProto, NodeCountLimit) {
  TempDir tmp;
  // 16,377 lowered nodes stop the conversion before the next one.
  std::string graph;
  const int kNodes = 16378;
  for (int i = 0; i < kNodes; ++i) {
    graph += pb_bytes(1, pb_node("Relu", {i == 0 ? "x" : "v" + std::to_string(i - 1)},
                                 {"v" + std::to_string(i)}, ""));
  }
  graph += pb_bytes(11, pb_value_info("x", {1})) +
           pb_bytes(12, pb_value_info("v" + std::to_string(kNodes - 1), {1}));
  const ConvertResult r = convert_model(tmp, pb_model(graph));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "the model is larger than the converter's limits (16384 nodes, 32768 values)");
}

TEST(ConverterProto, NothingAfterADetectionHeadCutIsLowered) {
  // A [1, 300, 6] output and a ReduceMax after its Concat cut the graph there. Later nodes emit
  // nothing, not even those whose names would start a model-family rewrite: a backbone-named
  // ScatterND and a Mod would otherwise read the cut-off ReduceMax's value.
  TempDir tmp;
  const std::string concat_axis = pb_bytes(5, pb_bytes(1, "axis") + pb_int(3, 2) + pb_int(20, 2));
  const std::string graph =
      pb_bytes(1, pb_node("Concat", {"a", "b"}, {"c"}, "cat", concat_axis)) +
      pb_bytes(1, pb_node("ReduceMax", {"c"}, {"r"}, "head")) +
      pb_bytes(1, pb_node("ScatterND", {"r", "r", "r"}, {"z"}, "/bb/scatter")) +
      pb_bytes(1, pb_node("Mod", {"z", "r"}, {"m"}, "/bb/mod")) +
      pb_bytes(1, pb_node("Relu", {"m"}, {"t"}, "tail")) +
      pb_bytes(11, pb_value_info("a", {1, 300, 2})) + pb_bytes(11, pb_value_info("b", {1, 300, 4})) +
      pb_bytes(12, pb_value_info("out", {1, 300, 6}));
  const std::string model = pb_model(graph);
  write_bytes(tmp.file("in.onnx"), std::vector<uint8_t>(model.begin(), model.end()));
  const ConvertResult r = onnx_convert(tmp.file("in.onnx"), tmp.file("out.vexa"), 0, nullptr);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "input  a [1, 300, 2] f32\ninput  b [1, 300, 4] f32\noutput out [1, 300, 6] f32\n"
                    "opset 13, ir_version 7, 1 nodes\n");
  EXPECT_EQ(onnx_rewrite_report(),
            "  [1, 300, *] output with ReduceMax: graph cut at the detection head (yolo26x "
            "NMS-free tail dropped)\n");
}

}  // namespace
}  // namespace vexa::tools::testing
