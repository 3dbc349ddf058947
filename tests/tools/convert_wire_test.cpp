// Hand-built ONNX files (tests/fixtures/onnx/gen_wire_models.py): element types and payload
// encodings, external data, dynamic inputs and bindings, opset limits, node limits, folding
// semantics and refusals, each checked against hand-computed values or exact messages.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "convert_test_util.h"

namespace vexa::tools::testing {
namespace {

std::string wire(const std::string& name) { return fixtures_dir() + "/wire/" + name; }

struct Converted {
  ConvertResult result;
  std::vector<float> output;
  std::string run_error;
};

// Converts with the given options, then runs the model on `input` when the conversion worked.
Converted convert_and_run(const std::string& model, const std::vector<float>& input,
                          uint64_t output_count, InputBindings* bindings = nullptr) {
  TempDir tmp;
  InputBindings empty;
  onnx_bindings_init(empty);
  Converted c;
  c.result = onnx_convert_file_bound(wire(model), tmp.file("m.vexa"), bindings ? bindings : &empty);
  if (!c.result.ok) return c;
  RunnableModel m;
  bool unsupported = false;
  c.run_error = m.open(tmp.file("m.vexa"), &unsupported);
  if (c.run_error.empty() && !m.run(input, &c.output, output_count)) c.run_error = "run failed";
  return c;
}

struct TypeCase {
  const char* model;
  std::vector<float> expected;  // y = 0 + c
};

class ElementTypes : public ::testing::TestWithParam<TypeCase> {};

TEST_P(ElementTypes, WidenedExactly) {
  const TypeCase& t = GetParam();
  Converted c = convert_and_run(t.model, {0, 0, 0, 0}, 4);
  ASSERT_TRUE(c.result.ok) << c.result.text;
  ASSERT_EQ(c.run_error, "");
  EXPECT_EQ(c.output, t.expected);
}

const std::vector<float> kFloats = {-2.5f, 0.0f, 1.25f, 3.0f};
const std::vector<float> kInts = {-5.0f, 0.0f, 7.0f, 100000.0f};
INSTANTIATE_TEST_SUITE_P(
    Converter, ElementTypes,
    ::testing::Values(TypeCase{"type_float_raw.onnx", kFloats},
                      TypeCase{"type_float_typed.onnx", kFloats},
                      TypeCase{"type_float16_raw.onnx", kFloats},
                      TypeCase{"type_float16_typed.onnx", kFloats},
                      TypeCase{"type_int8_raw.onnx", {-128, -1, 0, 127}},
                      TypeCase{"type_int8_typed.onnx", {-128, -1, 0, 127}},
                      TypeCase{"type_uint8_raw.onnx", {0, 1, 128, 255}},
                      TypeCase{"type_uint8_typed.onnx", {0, 1, 128, 255}},
                      TypeCase{"type_bool_raw.onnx", {1, 0, 1, 1}},
                      TypeCase{"type_bool_typed.onnx", {1, 0, 1, 1}},
                      TypeCase{"type_int32_raw.onnx", kInts},
                      TypeCase{"type_int32_typed.onnx", kInts},
                      TypeCase{"type_int64_raw.onnx", kInts},
                      TypeCase{"type_int64_typed.onnx", kInts},
                      TypeCase{"ext_ok.onnx", {-1.0f, 0.5f, 2.0f, 4.0f}},
                      TypeCase{"ext_whole_file_offset.onnx", {2.0f, 4.0f, 8.0f, 9.0f}},
                      TypeCase{"ext_default.onnx", {9.0f, -1.0f, 0.5f, 2.0f}}),
    [](const ::testing::TestParamInfo<TypeCase>& info) {
      std::string name = info.param.model;
      return name.substr(0, name.size() - 5);
    });

struct RefusalCase {
  const char* model;
  const char* message;
};

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, GiveTheMessageAndWriteNothing) {
  TempDir tmp;
  InputBindings b;
  onnx_bindings_init(b);
  const ConvertResult r = onnx_convert_file_bound(wire(GetParam().model), tmp.file("m.vexa"), &b);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, GetParam().message);
  EXPECT_TRUE(read_bytes(tmp.file("m.vexa")).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Converter, Refusals,
    ::testing::Values(
        RefusalCase{"type_double_raw.onnx",
                    "tensor 'c': element type float64 cannot be converted (float32, float16, "
                    "int8, uint8, bool, int32 and int64 can)"},
        RefusalCase{"type_uint16_raw.onnx",
                    "tensor 'c': element type uint16 cannot be converted (float32, float16, "
                    "int8, uint8, bool, int32 and int64 can)"},
        RefusalCase{"type_short_payload.onnx", "tensor 'c': 12 bytes of data for 4 float32 elements"},
        RefusalCase{"type_rank7.onnx", "tensor 'c': rank above 6 is not supported"},
        RefusalCase{"ext_parent.onnx",
                    "tensor 'c': external data location \"../ext_weights.bin\" must be a "
                    "relative path inside the model's folder"},
        RefusalCase{"ext_absolute.onnx",
                    "tensor 'c': external data location \"/etc/passwd\" must be a relative path "
                    "inside the model's folder"},
        RefusalCase{"opset10.onnx",
                    "the model uses ONNX opset 10; this converter was written for opsets 11 to 20"},
        RefusalCase{"opset21.onnx",
                    "the model uses ONNX opset 21; this converter was written for opsets 11 to 20"},
        RefusalCase{"nine_inputs.onnx",
                    "1 unsupported node(s):\n  'cat9' Concat (ai.onnx opset 13): more than 8 inputs\n"},
        RefusalCase{"five_outputs.onnx",
                    "1 unsupported node(s):\n  'split5' Split (ai.onnx opset 13): more than 4 outputs\n"},
        RefusalCase{"lowercase_relu.onnx",
                    "1 unsupported node(s):\n  'lower' relu (ai.onnx opset 13): no Vexa lowering "
                    "for this operator\n"},
        RefusalCase{"fold_div_zero.onnx",
                    "constant folding refused at Div 'div0': integer division of -7 by 0 is undefined"},
        RefusalCase{"fold_mod_min.onnx",
                    "constant folding refused at Mod 'mod_min': integer remainder of "
                    "-9223372036854775808 by -1 is undefined"},
        RefusalCase{"fold_bad_perm.onnx", "unsupported Transpose 'bad_perm': invalid permutation"},
        RefusalCase{"transpose_bad_perm.onnx", "unsupported Transpose 'tp': invalid permutation"},
        RefusalCase{"expand_bad.onnx",
                    "unsupported Expand 'ex': the input does not broadcast to the requested shape"},
        RefusalCase{"resize_fractional.onnx",
                    "unsupported Resize 'rs': only whole-number upscaling factors are supported"},
        RefusalCase{"resize_runtime_scales.onnx",
                    "unsupported Resize 'rs': the output size must be given by constant scales or "
                    "sizes"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) {
      std::string name = info.param.model;
      return name.substr(0, name.size() - 5);
    });

TEST(ConverterExternalData, MissingOrShortDataNamesTheTensorAndFile) {
  TempDir tmp;
  ConvertResult r = onnx_convert_file(wire("ext_missing.onnx"), tmp.file("m.vexa"), 0);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.text.find("tensor 'c': external data file"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("no_such_file.bin\" cannot be read"), std::string::npos) << r.text;
  r = onnx_convert_file(wire("ext_past_end.onnx"), tmp.file("m.vexa"), 0);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.text.find("tensor 'c': external data [24, +16) runs past the end"), std::string::npos)
      << r.text;
  r = onnx_convert_file(wire("ext_huge_offset.onnx"), tmp.file("m.vexa"), 0);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.text.find("offset 18446744073709551615 lies beyond the end"), std::string::npos)
      << r.text;
}

TEST(ConverterOpsets, ElevenAndTwentyConvert) {
  for (const char* model : {"opset11.onnx", "opset20.onnx"}) {
    Converted c = convert_and_run(model, {-1, 2, -3, 4}, 4);
    ASSERT_TRUE(c.result.ok) << model << ": " << c.result.text;
    EXPECT_EQ(c.output, (std::vector<float>{0, 2, 0, 4}));
  }
}

TEST(ConverterSummary, ListsInputsOutputsOpsetAndNodes) {
  TempDir tmp;
  InputBindings b;
  onnx_bindings_init(b);
  const ConvertResult r = onnx_convert_file_bound(wire("reducemean_keepdims0.onnx"), tmp.file("m.vexa"), &b);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "input  x [2, 3, 4] f32\noutput y [2, 4] f32\nopset 13, ir_version 7, 1 nodes\n");
}

// Softmax without an axis: opset 11 normalises each [3, 4] block (flattened from axis 1),
// opset 13 each row of the last axis.
TEST(ConverterSoftmax, DefaultAxisFollowsTheOpset) {
  std::vector<float> x(24);
  for (size_t i = 0; i < x.size(); ++i) x[i] = 0.25f * static_cast<float>(i % 7) - 0.5f;
  auto reference = [&](size_t group) {
    std::vector<float> y(x.size());
    for (size_t g = 0; g < x.size(); g += group) {
      double sum = 0;
      for (size_t i = g; i < g + group; ++i) sum += std::exp(static_cast<double>(x[i]));
      for (size_t i = g; i < g + group; ++i) y[i] = static_cast<float>(std::exp(static_cast<double>(x[i])) / sum);
    }
    return y;
  };
  const struct {
    const char* model;
    size_t group;
  } cases[] = {{"softmax_default_op11.onnx", 12}, {"softmax_default_op13.onnx", 4}};
  for (const auto& c : cases) {
    Converted r = convert_and_run(c.model, x, 24);
    ASSERT_TRUE(r.result.ok) << r.result.text;
    if (!r.run_error.empty()) GTEST_SKIP() << r.run_error;
    const std::vector<float> want = reference(c.group);
    for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(r.output[i], want[i], 1e-6) << c.model << " " << i;
  }
}

struct FoldCase {
  const char* model;
  std::vector<float> expected;  // the folded constant (+ 0 from the input)
};

class Folding : public ::testing::TestWithParam<FoldCase> {};

TEST_P(Folding, MatchesOnnxSemantics) {
  const FoldCase& f = GetParam();
  Converted c = convert_and_run(f.model, {0.0f}, f.expected.size());
  ASSERT_TRUE(c.result.ok) << c.result.text;
  if (!c.run_error.empty()) GTEST_SKIP() << c.run_error;
  ASSERT_EQ(c.output.size(), f.expected.size());
  for (size_t i = 0; i < f.expected.size(); ++i) {
    if (std::isnan(f.expected[i])) {
      EXPECT_TRUE(std::isnan(c.output[i])) << i;
    } else {
      EXPECT_EQ(c.output[i], f.expected[i]) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Converter, Folding,
    ::testing::Values(
        // fmod = 0: the remainder has the divisor's sign.
        FoldCase{"fold_mod.onnx", {2, 1, -1, -2}},
        FoldCase{"fold_div.onnx", {-2, 2, 2, -2}},
        // max(ceil((limit - start) / delta), 0) elements.
        FoldCase{"fold_range.onnx", {1, 5, 9}},
        FoldCase{"fold_range_down.onnx", {10, 6, 2}},
        // A graph output known at convert time is copied out of a stored constant.
        FoldCase{"fold_output.onnx", {1, 5, 9}},
        // A negative base with a fractional exponent is NaN, as powf gives.
        FoldCase{"fold_pow_negative.onnx", {-8.0f, NAN}},
        FoldCase{"fold_pow_int.onnx", {1594323.0f, -8.0f, 4611686018427387904.0f}},
        FoldCase{"fold_expand.onnx", {1, 1, 1, 2, 2, 2}},
        FoldCase{"fold_reducesum.onnx", {3, 12}},
        // (q - zero point) x scale per column (axis 1).
        FoldCase{"fold_dequant_axis.onnx", {0, 0, 10, 40, -64, 234}}),
    [](const ::testing::TestParamInfo<FoldCase>& info) {
      std::string name = info.param.model;
      return name.substr(0, name.size() - 5);
    });

TEST(ConverterShapes, ReduceMeanWithoutKeepdimsDropsTheAxis) {
  std::vector<float> x(24);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i * i % 11);
  Converted c = convert_and_run("reducemean_keepdims0.onnx", x, 8);
  ASSERT_TRUE(c.result.ok) << c.result.text;
  if (!c.run_error.empty()) GTEST_SKIP() << c.run_error;
  for (size_t b = 0; b < 2; ++b) {
    for (size_t j = 0; j < 4; ++j) {
      const float want = (x[b * 12 + j] + x[b * 12 + 4 + j] + x[b * 12 + 8 + j]) / 3.0f;
      EXPECT_NEAR(c.output[b * 4 + j], want, 1e-5) << b << "," << j;
    }
  }
}

TEST(ConverterShapes, OneDimensionalConvolutionRunsAsTwoDimensional) {
  std::vector<float> x(10);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i) * 0.5f - 2.0f;
  Converted c = convert_and_run("conv1d.onnx", x, 15);
  ASSERT_TRUE(c.result.ok) << c.result.text;
  ASSERT_EQ(c.run_error, "");
  // w[o][i][k] = (o*6 + i*3 + k - 8) / 8, pads 1 on both sides.
  for (int o = 0; o < 3; ++o) {
    for (int t = 0; t < 5; ++t) {
      double acc = 0;
      for (int i = 0; i < 2; ++i) {
        for (int kk = 0; kk < 3; ++kk) {
          const int p = t + kk - 1;
          if (p < 0 || p >= 5) continue;
          acc += (o * 6 + i * 3 + kk - 8) / 8.0 * x[i * 5 + p];
        }
      }
      EXPECT_NEAR(c.output[o * 5 + t], acc, 1e-5) << o << "," << t;
    }
  }
}

}  // namespace
}  // namespace vexa::tools::testing

namespace vexa::tools::testing {
namespace {

// A [1, 1, 2, 2] input scaled by 2 x 3; expected values are ONNX Runtime's outputs.
struct ResizeCase {
  const char* model;
  std::vector<float> expected;
};

TEST(ConverterResize, WholeFactorsInTheModesTheEnginesHonour) {
  const ResizeCase cases[] = {
      {"resize_nearest_halfpixel.onnx",
       {1, 1, 1, 2, 2, 2, 1, 1, 1, 2, 2, 2, 3, 3, 3, 5, 5, 5, 3, 3, 3, 5, 5, 5}},
      {"resize_nearest_asymmetric.onnx",
       {1, 1, 1, 2, 2, 2, 1, 1, 1, 2, 2, 2, 3, 3, 3, 5, 5, 5, 3, 3, 3, 5, 5, 5}},
      {"resize_linear_halfpixel.onnx",
       {1, 1, 1.333333f, 1.666667f, 2, 2, 1.5f, 1.5f, 1.916667f, 2.333333f, 2.75f, 2.75f,
        2.5f, 2.5f, 3.083333f, 3.666667f, 4.25f, 4.25f, 3, 3, 3.666667f, 4.333333f, 5, 5}},
      {"resize_linear_align.onnx",
       {1, 1.2f, 1.4f, 1.6f, 1.8f, 2, 1.666667f, 1.933333f, 2.2f, 2.466667f, 2.733333f, 3,
        2.333333f, 2.666667f, 3, 3.333333f, 3.666667f, 4, 3, 3.4f, 3.8f, 4.2f, 4.6f, 5}},
  };
  for (const ResizeCase& c : cases) {
    Converted r = convert_and_run(c.model, {1, 2, 3, 5}, 24);
    ASSERT_TRUE(r.result.ok) << c.model << ": " << r.result.text;
    if (!r.run_error.empty()) GTEST_SKIP() << r.run_error;
    for (size_t i = 0; i < 24; ++i) EXPECT_NEAR(r.output[i], c.expected[i], 2e-6) << c.model << " " << i;
  }
  const RefusalCase refused[] = {
      {"resize_nearest_asymmetric_ceil.onnx",
       "unsupported Resize 'rs': mode nearest with coordinate_transformation_mode asymmetric and "
       "nearest_mode ceil is not supported"},
      {"resize_linear_asymmetric.onnx",
       "unsupported Resize 'rs': mode linear with coordinate_transformation_mode asymmetric is "
       "not supported"},
      {"resize_cubic.onnx",
       "unsupported Resize 'rs': mode cubic with coordinate_transformation_mode half_pixel is not "
       "supported"},
  };
  for (const RefusalCase& c : refused) {
    TempDir tmp;
    const ConvertResult r = onnx_convert_file(wire(c.model), tmp.file("m.vexa"), 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, c.message);
  }
}

}  // namespace
}  // namespace vexa::tools::testing

namespace vexa::tools::testing {
namespace {

// Dynamically quantised products run in f32 on the unquantised input: the weights minus their
// zero points, scaled by the weight scale (the input's scale is 1).
TEST(ConverterIntegerProducts, ConvIntegerRunsWithAdjustedWeights) {
  std::vector<float> x(32);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(static_cast<int>(i * 5 % 9) - 4) * 0.5f;
  Converted c = convert_and_run("conv_integer.onnx", x, 48);
  ASSERT_TRUE(c.result.ok) << c.result.text;
  ASSERT_EQ(c.run_error, "");
  EXPECT_EQ(onnx_int8_note(),
            "int8 weights (MatMulInteger/ConvInteger) are stored as FP32: 0 MB of int8 became 0 MB, "
            "and run in FP32");
  const int zero[3] = {1, -2, 3};
  for (int o = 0; o < 3; ++o) {
    for (int h = 0; h < 4; ++h) {
      for (int w = 0; w < 4; ++w) {
        double acc = 0;
        for (int i = 0; i < 2; ++i) {
          for (int kh = 0; kh < 3; ++kh) {
            for (int kw = 0; kw < 3; ++kw) {
              const int y = h + kh - 1, z = w + kw - 1;
              if (y < 0 || y >= 4 || z < 0 || z >= 4) continue;
              const int index = ((o * 2 + i) * 3 + kh) * 3 + kw;
              const int weight = (index * 7) % 23 - 11 - zero[o];
              acc += weight * static_cast<double>(x[(i * 4 + y) * 4 + z]);
            }
          }
        }
        EXPECT_NEAR(c.output[(o * 4 + h) * 4 + w], acc * 0.05, 1e-5) << o << "," << h << "," << w;
      }
    }
  }
}

TEST(ConverterIntegerProducts, MatMulIntegerRunsWithAdjustedWeights) {
  std::vector<float> x(12);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i % 5) - 1.5f;
  Converted c = convert_and_run("matmul_integer.onnx", x, 15);
  ASSERT_TRUE(c.result.ok) << c.result.text;
  ASSERT_EQ(c.run_error, "");
  const int zero[5] = {0, 1, -1, 2, -2};
  for (int r = 0; r < 3; ++r) {
    for (int col = 0; col < 5; ++col) {
      double acc = 0;
      for (int k = 0; k < 4; ++k) {
        const int b = ((k * 5 + col) * 5) % 17 - 8 - zero[col];
        acc += b * static_cast<double>(x[r * 4 + k]);
      }
      EXPECT_NEAR(c.output[r * 5 + col], acc * 0.05, 1e-5) << r << "," << col;
    }
  }
}

}  // namespace
}  // namespace vexa::tools::testing

namespace vexa::tools::testing {
namespace {

// Constants given as value_ints and value_float instead of a tensor.
TEST(ConverterConstants, NumberAttributes) {
  Converted c = convert_and_run("constant_value_forms.onnx", {0, 1, 2, 3, 4, 5}, 6);
  ASSERT_TRUE(c.result.ok) << c.result.text;
  EXPECT_EQ(c.result.text, "input  x [1, 6] f32\noutput y [2, 3] f32\nopset 13, ir_version 7, 2 nodes\n");
  ASSERT_EQ(c.run_error, "");
  EXPECT_EQ(c.output, (std::vector<float>{2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f}));
}

}  // namespace
}  // namespace vexa::tools::testing

namespace vexa::tools::testing {
namespace {

// Windows over a [1, 1, 5, 5] input x[i] = (7i mod 11) - 5; expected values are ONNX Runtime's.
TEST(ConverterWindows, CeilModePoolingAndAutomaticPadding) {
  std::vector<float> x(25);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(static_cast<int>(i * 7 % 11) - 5);
  const std::vector<float> conv = {-2.5f, -5, 2.75f, 2, -0.5f, 3.25f, 1.75f, -3.25f, 0.5f,
                                   0.5f, 0, 1.5f, -2.5f, 3, -1.25f, 0.5f, -3.75f, 1.5f};
  const ResizeCase cases[] = {
      {"maxpool_ceil_k2s2.onnx", {4, 5, 3, 1, 4, 5, 3, 2, -2}},
      {"maxpool_ceil_k3s2p1.onnx", {4, 5, 5, 4, 4, 5, 3, 4, 2}},
      // The last window would start in the trailing padding: three outputs, not four.
      {"maxpool_ceil_k2s2p1.onnx", {-5, 2, 5, -1, 4, 5, 3, 4, 2}},
      {"conv_same_upper.onnx", conv},
      {"conv_same_lower.onnx", conv},
  };
  for (const ResizeCase& c : cases) {
    Converted r = convert_and_run(c.model, x, c.expected.size());
    ASSERT_TRUE(r.result.ok) << c.model << ": " << r.result.text;
    ASSERT_EQ(r.run_error, "") << c.model;
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_NEAR(r.output[i], c.expected[i], 1e-6) << c.model << " " << i;
    }
  }
}

}  // namespace
}  // namespace vexa::tools::testing
