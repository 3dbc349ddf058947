// Exported architectures (ResNet-18, MobileNetV2, a YOLO-style detector, a small ViT) at opsets
// 11, 13 and 17: converted, run on the CPU engine and compared with ONNX Runtime's outputs on
// the same input (tests/fixtures/onnx/make_goldens.js).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "convert_test_util.h"
#include "vexa/vexa.h"

namespace vexa::tools::testing {

// Relative tolerance against the reference runtime. Outputs far below the largest one come from
// sums that cancel, where f32 rounding of the terms dominates; they are judged relative to 1% of
// the largest output instead.
constexpr double kRelativeTolerance = 1e-4;
constexpr double kPeakFloor = 1e-2;

namespace {

// Every element within the tolerance above; stops at the first that is not.
::testing::AssertionResult near_reference(const std::vector<float>& got,
                                          const std::vector<float>& golden) {
  if (got.size() != golden.size()) {
    return ::testing::AssertionFailure() << "size " << got.size() << " vs " << golden.size();
  }
  double peak = 0.0;
  for (float g : golden) peak = std::max(peak, std::fabs(static_cast<double>(g)));
  for (size_t i = 0; i < golden.size(); ++i) {
    const double want = golden[i];
    const double tol = kRelativeTolerance * std::max(std::fabs(want), kPeakFloor * peak);
    const double err = std::fabs(static_cast<double>(got[i]) - want);
    if (!(err <= tol)) {
      return ::testing::AssertionFailure() << "element " << i << ": got " << got[i] << ", want "
                                           << want << " (tolerance " << tol << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

struct ModelCase {
  const char* stem;
  const char* input;
};

// Converts with a (empty) bindings record or with the option word alone, runs the model on its
// committed input and compares with ONNX Runtime's output.
void check_against_reference(const ModelCase& c, bool bound) {
  const std::string dir = fixtures_dir() + "/models/";
  TempDir tmp;
  const std::string out = tmp.file("model.vexa");
  InputBindings bindings;
  onnx_bindings_init(bindings);
  ConvertResult r = bound ? onnx_convert_file_bound(dir + c.stem + ".onnx", out, &bindings)
                          : onnx_convert_file(dir + c.stem + ".onnx", out, 0);
  ASSERT_TRUE(r.ok) << r.text;
  RunnableModel m;
  bool unsupported = false;
  const std::string why = m.open(out, &unsupported);
  if (unsupported) GTEST_SKIP() << why;
  ASSERT_EQ(why, "");
  const std::vector<float> input = read_floats(dir + c.input + ".input.bin");
  const std::vector<float> golden = read_floats(dir + c.stem + ".golden.bin");
  ASSERT_FALSE(golden.empty());
  std::vector<float> got;
  ASSERT_TRUE(m.run(input, &got, golden.size()));
  ASSERT_TRUE(near_reference(got, golden));
}

class ConvertedModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(ConvertedModel, MatchesReferenceRuntime) {
  {
    SCOPED_TRACE("with bindings");
    check_against_reference(GetParam(), true);
  }
  SCOPED_TRACE("without bindings");
  check_against_reference(GetParam(), false);
}

const ModelCase kModels[] = {
    {"resnet18_w4_op11", "resnet18_w4"},   {"resnet18_w4_op13", "resnet18_w4"},
    {"resnet18_w4_op17", "resnet18_w4"},   {"mobilenetv2_s25_op11", "mobilenetv2_s25"},
    {"mobilenetv2_s25_op13", "mobilenetv2_s25"}, {"mobilenetv2_s25_op17", "mobilenetv2_s25"},
    {"tinyyolo_op11", "tinyyolo"},         {"tinyyolo_op13", "tinyyolo"},
    {"tinyyolo_op17", "tinyyolo"},         {"tinyvit_op11", "tinyvit"},
    {"tinyvit_op13", "tinyvit"},           {"tinyvit_op17", "tinyvit"},
};

INSTANTIATE_TEST_SUITE_P(Architectures, ConvertedModel, ::testing::ValuesIn(kModels),
                         [](const ::testing::TestParamInfo<ModelCase>& info) {
                           return std::string(info.param.stem);
                         });

// The same converted models opened and run the way an application does: a session on the
// default (AUTO) backend, a raw f32 input bound by index, the output copied out of the handle.
class ConvertedModelThroughApi : public ::testing::TestWithParam<ModelCase> {};

TEST_P(ConvertedModelThroughApi, MatchesReferenceRuntime) {
  const ModelCase& c = GetParam();
  const std::string dir = fixtures_dir() + "/models/";
  TempDir tmp;
  const std::string out = tmp.file("model.vexa");
  InputBindings bindings;
  onnx_bindings_init(bindings);
  const ConvertResult r = onnx_convert_file_bound(dir + c.stem + ".onnx", out, &bindings);
  ASSERT_TRUE(r.ok) << r.text;
  const std::vector<float> input = read_floats(dir + c.input + ".input.bin");
  const std::vector<float> golden = read_floats(dir + c.stem + ".golden.bin");
  ASSERT_FALSE(golden.empty());

  vexa_config* config = vexa_config_new();
  vexa_session* session = vexa_session_new(config);
  vexa_input* in = vexa_input_new();
  vexa_output* result = vexa_output_new();
  ASSERT_EQ(vexa_session_open(session, out.c_str(), out.size()), 1)
      << vexa_session_error_message_ptr(session);
  ASSERT_EQ(vexa_input_set_f32(in, 0, input.data(), input.size(), 1), 1);
  ASSERT_EQ(vexa_session_run(session, in, result), 1) << vexa_session_error_message_ptr(session);
  // AUTO runs these graphs on the GPU backend.
  EXPECT_EQ(vexa_output_backend_used(result), VEXA_BACKEND_GPU);
  std::vector<float> got(vexa_output_f32_len(result, 0));
  ASSERT_EQ(got.size(), golden.size());
  ASSERT_EQ(vexa_output_copy_f32(result, 0, got.data(), got.size()), got.size());
  EXPECT_TRUE(near_reference(got, golden));
  vexa_output_free(result);
  vexa_input_free(in);
  vexa_session_free(session);
  vexa_config_free(config);
}

INSTANTIATE_TEST_SUITE_P(Architectures, ConvertedModelThroughApi, ::testing::ValuesIn(kModels),
                         [](const ::testing::TestParamInfo<ModelCase>& info) {
                           return std::string(info.param.stem);
                         });

}  // namespace
}  // namespace vexa::tools::testing

namespace vexa::tools::testing {
namespace {

// ResNet-18 at full width (about 45 MB of weights, never committed): exported by PyTorch at test
// time when Debian's python3-torch is installed, and compared with PyTorch's own output.
TEST(ConvertedFullModel, ResNet18MatchesPyTorch) {
  const char* kPython = "/usr/bin/python3";
  if (access(kPython, X_OK) != 0 ||
      std::system("/usr/bin/python3 -c 'import torch' > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "python3-torch is not installed";
  }
  TempDir tmp;
  const std::string cmd = std::string(kPython) + " " + fixtures_dir() + "/gen_torch_models.py " +
                          tmp.path() + " --full > /dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  InputBindings bindings;
  onnx_bindings_init(bindings);
  ConvertResult r = onnx_convert_file_bound(tmp.file("resnet18_full_op13.onnx"),
                                            tmp.file("r.vexa"), &bindings);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "input  x [1, 3, 224, 224] f32\noutput y [1, 1000] f32\n"
                    "opset 13, ir_version 7, 49 nodes\n");
  RunnableModel m;
  bool unsupported = false;
  ASSERT_EQ(m.open(tmp.file("r.vexa"), &unsupported), "");
  const std::vector<float> input = read_floats(tmp.file("resnet18_full.input.bin"));
  const std::vector<float> golden = read_floats(tmp.file("resnet18_full.torch.bin"));
  ASSERT_EQ(golden.size(), 1000u);
  std::vector<float> got;
  ASSERT_TRUE(m.run(input, &got, golden.size()));
  ASSERT_TRUE(near_reference(got, golden));
}

}  // namespace
}  // namespace vexa::tools::testing
