// Limits of a conversion: the container's metadata region, the name pool, element counts.
#include <gtest/gtest.h>

#include <string>

#include "convert_test_util.h"
#include "onnx_proto_builder.h"

namespace vexa::tools::testing {
namespace {

ConvertResult convert_text(const TempDir& tmp, const std::string& model) {
  write_bytes(tmp.file("in.onnx"), std::vector<uint8_t>(model.begin(), model.end()));
  return onnx_convert_file(tmp.file("in.onnx"), tmp.file("out.vexa"), 0);
}

std::string relu_graph(const std::string& extra_nodes = "") {
  return pb_bytes(1, pb_node("Relu", {"x"}, {"y"}, "relu")) + extra_nodes +
         pb_bytes(11, pb_value_info("x", {1, 4})) + pb_bytes(12, pb_value_info("y", {1, 4}));
}

TEST(ConverterLimits, MetadataRegionAboveTheReadersLimitIsRefused) {
  TempDir tmp;
  const std::string doc(65u << 20, 'd');
  const ConvertResult r = convert_text(tmp, pb_model(relu_graph(), 13, pb_bytes(6, doc)));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "the container's metadata region would exceed 64 MiB, the reader's limit");
  EXPECT_TRUE(read_bytes(tmp.file("out.vexa")).empty());
  // A modest doc string is kept as metadata.
  const ConvertResult ok = convert_text(tmp, pb_model(relu_graph(), 13, pb_bytes(6, "about")));
  EXPECT_TRUE(ok.ok) << ok.text;
}

TEST(ConverterLimits, FullNamePoolFailsTheConversion) {
  TempDir tmp;
  // A 1-D convolution composes two names from its output's; a 300 KB output name cannot fit.
  const std::string out(300000, 'o');
  std::string weight = pb_int(1, 1) + pb_int(1, 1) + pb_int(1, 1) + pb_int(2, 1) +
                       pb_bytes(8, "w") + pb_bytes(9, std::string(4, '\0'));
  const std::string graph = pb_bytes(1, pb_node("Conv", {"x", "w"}, {out}, "conv")) +
                            pb_bytes(5, weight) + pb_bytes(11, pb_value_info("x", {1, 1, 5})) +
                            pb_bytes(12, pb_value_info(out, {1, 1, 5}));
  const ConvertResult r = convert_text(tmp, pb_model(graph));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "1 unsupported node(s):\n  'conv' Conv (ai.onnx opset 13): the converter's name "
                    "pool is full\n");
}

TEST(ConverterLimits, ElementCountsAboveTheCapAreRefused) {
  TempDir tmp;
  std::string graph = pb_bytes(1, pb_node("Relu", {"x"}, {"y"}, "relu")) +
                      pb_bytes(11, pb_value_info("x", {65536, 65536})) +
                      pb_bytes(12, pb_value_info("y", {65536, 65536}));
  write_bytes(tmp.file("in.onnx"), [&] {
    const std::string m = pb_model(graph);
    return std::vector<uint8_t>(m.begin(), m.end());
  }());
  InputBindings b;
  onnx_bindings_init(b);
  ConvertResult r = onnx_convert_file_bound(tmp.file("in.onnx"), tmp.file("out.vexa"), &b);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "1 input binding problem(s):\n  input 'x': more than 2^30 elements\n");
  // An initializer above the cap.
  std::string big = pb_int(1, 65536) + pb_int(1, 32768) + pb_int(1, 2) + pb_int(2, 1) +
                    pb_bytes(8, "big");
  graph = pb_bytes(1, pb_node("Add", {"x", "big"}, {"y"}, "add")) + pb_bytes(5, big) +
          pb_bytes(11, pb_value_info("x", {1})) + pb_bytes(12, pb_value_info("y", {1}));
  r = convert_text(tmp, pb_model(graph));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "tensor 'big': more than 2^30 elements");
  // A shape computed at convert time above the cap.
  std::string shape = pb_int(1, 2) + pb_int(2, 7) + pb_bytes(8, "shape") +
                      pb_bytes(9, std::string("\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00", 16));
  graph = pb_bytes(1, pb_node("Expand", {"x", "shape"}, {"y"}, "expand")) + pb_bytes(5, shape) +
          pb_bytes(11, pb_value_info("x", {1, 1})) + pb_bytes(12, pb_value_info("y", {1, 1}));
  r = convert_text(tmp, pb_model(graph));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "unsupported Expand 'expand': its output would exceed rank 6 or 2^30 elements");
}

}  // namespace
}  // namespace vexa::tools::testing

namespace vexa::tools::testing {
namespace {

// An empty packed float_data field (found by fuzzing) decodes as no values.
TEST(ConverterLimits, EmptyPackedFieldsDecodeAsNoValues) {
  TempDir tmp;
  const std::string empty = pb_int(1, 0) + pb_int(2, 1) + pb_bytes(4, "") + pb_bytes(8, "e");
  const std::string graph = pb_bytes(1, pb_node("Relu", {"x"}, {"y"}, "relu")) + pb_bytes(5, empty) +
                            pb_bytes(11, pb_value_info("x", {1, 4})) +
                            pb_bytes(12, pb_value_info("y", {1, 4}));
  const ConvertResult r = convert_text(tmp, pb_model(graph));
  EXPECT_TRUE(r.ok) << r.text;
  // The same field for a tensor that needs four values.
  const std::string short_tensor = pb_int(1, 4) + pb_int(2, 1) + pb_bytes(4, "") + pb_bytes(8, "s");
  const std::string graph2 = pb_bytes(1, pb_node("Add", {"x", "s"}, {"y"}, "add")) +
                             pb_bytes(5, short_tensor) + pb_bytes(11, pb_value_info("x", {4})) +
                             pb_bytes(12, pb_value_info("y", {4}));
  const ConvertResult r2 = convert_text(tmp, pb_model(graph2));
  EXPECT_FALSE(r2.ok);
  EXPECT_EQ(r2.text, "tensor 's': 0 values for 4 elements");
}

}  // namespace
}  // namespace vexa::tools::testing
