// The "--input" and "--dim" option grammars and the check of bindings against a model's inputs.
#include <gtest/gtest.h>

#include <string>

#include "convert_test_util.h"

namespace vexa::tools::testing {
namespace {

std::string wire(const std::string& name) { return fixtures_dir() + "/wire/" + name; }

struct OptionCase {
  const char* text;
  const char* error;  // "" when accepted
};

TEST(ConverterOptions, InputGrammar) {
  const OptionCase cases[] = {
      {"x=1x3x224x224", ""},
      {"x=1x3x224x224:i64", ""},
      {"x=7:f32", ""},
      {"x=1x3x0", "--input x=1x3x0: dims must be positive integers joined by 'x', at most 6"},
      {"x=1x2x3x4x5x6x7",
       "--input x=1x2x3x4x5x6x7: dims must be positive integers joined by 'x', at most 6"},
      {"x=1xx3", "--input x=1xx3: dims must be positive integers joined by 'x', at most 6"},
      {"x=1x3a", "--input x=1x3a: dims must be positive integers joined by 'x', at most 6"},
      {"x=99999999999999999999999", "--input x=99999999999999999999999: dims must be positive "
                                    "integers joined by 'x', at most 6"},
      {"x=1x3:f16", "--input x=1x3:f16: type must be :f32 or :i64"},
      {"x=1x3:f32:i64", "--input x=1x3:f32:i64: type must be :f32 or :i64"},
      {"x1x3", "--input x1x3: expected name=<d0>x<d1>...[:f32|:i64]"},
      {"=1x3", "--input =1x3: expected name=<d0>x<d1>...[:f32|:i64]"},
  };
  for (const OptionCase& c : cases) {
    InputBindings b;
    onnx_bindings_init(b);
    BindingParse r = onnx_parse_input_option(b, c.text);
    EXPECT_EQ(r.error, c.error) << c.text;
    EXPECT_EQ(b.input_count, r.error.empty() ? 1u : 0u) << c.text;
  }
  InputBindings b;
  onnx_bindings_init(b);
  ASSERT_EQ(onnx_parse_input_option(b, "x=1x3:i64").error, "");
  EXPECT_EQ(b.inputs[0].rank, 2u);
  EXPECT_EQ(b.inputs[0].dims[1], 3u);
  EXPECT_EQ(b.inputs[0].dtype, kTypeI64);
  EXPECT_EQ(onnx_parse_input_option(b, "x=2").error, "--input x=2: input given twice");
  for (int i = 1; i < 16; ++i) {
    EXPECT_EQ(onnx_parse_input_option(b, "in" + std::to_string(i) + "=1").error, "");
  }
  EXPECT_EQ(onnx_parse_input_option(b, "extra=1").error, "--input: at most 16 inputs");
  EXPECT_EQ(onnx_parse_input_option(b, std::string(128, 'n') + "=1").error,
            "--input " + std::string(128, 'n') + "=1: expected name=<d0>x<d1>...[:f32|:i64]");
}

TEST(ConverterOptions, DimGrammar) {
  InputBindings b;
  onnx_bindings_init(b);
  EXPECT_EQ(onnx_parse_dim_option(b, "batch=4").error, "");
  EXPECT_EQ(b.dims[0].value, 4u);
  EXPECT_EQ(onnx_parse_dim_option(b, "batch=0").error, "--dim batch=0: expected name=<positive integer>");
  EXPECT_EQ(onnx_parse_dim_option(b, "batch=-1").error, "--dim batch=-1: expected name=<positive integer>");
  EXPECT_EQ(onnx_parse_dim_option(b, "batch").error, "--dim batch: expected name=<positive integer>");
  EXPECT_EQ(onnx_parse_dim_option(b, "batch=2").error, "--dim batch=2: dim given twice");
  for (int i = 1; i < 32; ++i) EXPECT_EQ(onnx_parse_dim_option(b, "d" + std::to_string(i) + "=1").error, "");
  EXPECT_EQ(onnx_parse_dim_option(b, "more=1").error, "--dim: at most 32 dims");
}

struct BindCase {
  std::vector<const char*> inputs;
  std::vector<const char*> dims;
  bool ok;
  const char* text;  // summary on success, message on failure
};

TEST(ConverterBindings, CheckedAgainstTheModelInputs) {
  const BindCase cases[] = {
      {{"x=1x3x4x5"}, {}, true,
       "input  x [1, 3, 4, 5] f32\noutput y [1, 3, 4, 5] f32\nopset 13, ir_version 7, 1 nodes\n"},
      {{}, {"h=4", "w=6", "batch=2"}, true,
       "input  x [2, 3, 4, 6] f32\noutput y [2, 3, 4, 6] f32\nopset 13, ir_version 7, 1 nodes\n"},
      {{}, {"h=4", "w=6"}, true,
       "input  x [1, 3, 4, 6] f32\noutput y [1, 3, 4, 6] f32\nopset 13, ir_version 7, 1 nodes\n"},
      {{}, {"h=4"}, false,
       "1 input binding problem(s):\n  input 'x' dim 3 ('w') is dynamic: bind it with --dim "
       "w=<n> or --input x=<dims>\n"},
      {{"x=1x3x4"}, {}, false,
       "1 input binding problem(s):\n  input 'x': the model has rank 4, --input gives rank 3\n"},
      {{"x=1x2x4x4"}, {"h=5", "zz=3"}, false,
       "3 input binding problem(s):\n  input 'x' dim 1: fixed at 3 in the model, --input gives 2\n"
       "  dim 'h': bound to 5, but --input x gives 4 at dim 2\n"
       "  --dim zz: no input has a dimension of that name\n"},
      {{"y=1x3x4x4"}, {"h=4", "w=4"}, false,
       "1 input binding problem(s):\n  --input y: the model has no input of that name (inputs: x)\n"},
      {{"x=1x3x4x4:i64"}, {}, false,
       "1 input binding problem(s):\n  input 'x': the model declares float32, --input asks for i64\n"},
  };
  for (const BindCase& c : cases) {
    InputBindings b;
    onnx_bindings_init(b);
    for (const char* t : c.inputs) ASSERT_EQ(onnx_parse_input_option(b, t).error, "");
    for (const char* t : c.dims) ASSERT_EQ(onnx_parse_dim_option(b, t).error, "");
    b.describe_only = 1;
    TempDir tmp;
    const ConvertResult r = onnx_convert_file_bound(wire("dyn_relu.onnx"), tmp.file("m.vexa"), &b);
    EXPECT_EQ(r.ok, c.ok) << r.text;
    EXPECT_EQ(r.text, c.text);
    // A description never writes the container.
    EXPECT_TRUE(read_bytes(tmp.file("m.vexa")).empty());
  }
}

TEST(ConverterBindings, OpenBatchBoundToOneIsNoted) {
  TempDir tmp;
  InputBindings b;
  onnx_bindings_init(b);
  ConvertResult r = onnx_convert_file_bound(wire("dyn_i64.onnx"), tmp.file("m.vexa"), &b);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "input  ids [1, 4] i64\noutput y [1, 4] f32\nopset 13, ir_version 7, 1 nodes\n");
  EXPECT_EQ(onnx_batch_note(),
            "dynamic batch (dim 0) bound to 1 for ids; bind it with --dim or --input to change");
  r = onnx_convert_file_bound(wire("dyn_uint8.onnx"), tmp.file("m.vexa"), &b);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "1 input binding problem(s):\n  input 'u': element type uint8 is not supported; "
                    "Vexa inputs are float32 or int64\n");
  EXPECT_EQ(onnx_batch_note(), "");
}

TEST(ConverterBindings, OptionWordFillsOpenDimsWithoutBindings) {
  TempDir tmp;
  // Batch 2, height 480, width 640.
  const uint64_t word = (uint64_t{2} << 32) | (uint64_t{480} << 16) | 640;
  const ConvertResult r = onnx_convert(wire("dyn_relu.onnx"), tmp.file("m.vexa"), word, nullptr);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "input  x [2, 3, 480, 640] f32\noutput y [2, 3, 480, 640] f32\n"
                    "opset 13, ir_version 7, 1 nodes\n");
  EXPECT_EQ(onnx_format_shape(0, nullptr), "[]");
}

}  // namespace
}  // namespace vexa::tools::testing
