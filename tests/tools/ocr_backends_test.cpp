// The PP-OCRv4 text detector (the README's main job) converted and run through the C API on
// the CPU engine, the GPU backend and AUTO: the probability maps agree. The model is fetched
// by scripts/fetch_ocr_model.sh into models/; without it the test is skipped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "convert_test_util.h"
#include "tools/convert_bindings.h"
#include "tools/convert_driver.h"
#include "vexa/vexa.h"

namespace vexa::tools::testing {
namespace {

constexpr uint64_t kSide = 640;

std::string ocr_model_path() {
  return std::string(VEXA_FIXTURES_DIR) + "/../../models/ch_PP-OCRv4_det_infer.onnx";
}

struct MapRun {
  std::vector<float> map;
  uint32_t backend = 0;
  std::string error;
};

// The project's text page through the detector, preprocessed as PaddleOCR models expect
// (stretched, BGR, ImageNet mean and deviation on 0..1 pixels).
MapRun run_map(const std::string& model, uint32_t backend, const std::string& image) {
  MapRun r;
  vexa_config* config = vexa_config_new();
  vexa_config_set_backend(config, backend);
  vexa_session* session = vexa_session_new(config);
  vexa_frame* frame = vexa_frame_new();
  vexa_input* in = vexa_input_new();
  vexa_output* out = vexa_output_new();
  vexa_session_set_resize_mode(session, 0);
  vexa_session_set_color_bgr(session, 1);
  vexa_session_set_normalization(session, 1.0f / 255.0f, 0.485f, 0.456f, 0.406f, 0.229f, 0.224f,
                                 0.225f);
  if (vexa_frame_load_file(frame, image.data(), image.size()) != 1) {
    r.error = "cannot load " + image;
  } else if (vexa_session_open(session, model.data(), model.size()) == 1 &&
             (vexa_input_set_frame(in, frame), vexa_session_run(session, in, out) == 1)) {
    r.map.resize(vexa_output_f32_len(out, 0));
    vexa_output_copy_f32(out, 0, r.map.data(), r.map.size());
    r.backend = vexa_output_backend_used(out);
  } else {
    r.error = std::string(vexa_session_error_message_ptr(session),
                          vexa_session_error_message_len(session));
  }
  vexa_output_free(out);
  vexa_input_free(in);
  vexa_frame_free(frame);
  vexa_session_free(session);
  vexa_config_free(config);
  return r;
}

TEST(OcrBackends, TextDetectorAgreesOnEveryBackend) {
  const std::string onnx = ocr_model_path();
  if (access(onnx.c_str(), R_OK) != 0) {
    GTEST_SKIP() << "PP-OCRv4 detector not fetched (bash scripts/fetch_ocr_model.sh): " << onnx;
  }
  TempDir tmp;
  const std::string model = tmp.file("ocr.vexa");
  InputBindings bindings;
  onnx_bindings_init(bindings);
  ASSERT_TRUE(onnx_parse_input_option(bindings, "x=1x3x640x640").error.empty());
  const ConvertResult c = onnx_convert_file_bound(onnx, model, &bindings);
  ASSERT_TRUE(c.ok) << c.text;

  const std::string image = std::string(VEXA_FIXTURES_DIR) + "/../../examples/data/text.png";
  const MapRun cpu = run_map(model, VEXA_BACKEND_CPU, image);
  ASSERT_TRUE(cpu.error.empty()) << cpu.error;
  ASSERT_EQ(cpu.map.size(), kSide * kSide);
  float peak = 0.0f;
  for (float v : cpu.map) peak = std::max(peak, std::fabs(v));
  ASSERT_GT(peak, 0.5f);  // text was found
  for (uint32_t backend : {VEXA_BACKEND_GPU, VEXA_BACKEND_AUTO}) {
    SCOPED_TRACE(backend == VEXA_BACKEND_GPU ? "GPU" : "AUTO");
    const MapRun gpu = run_map(model, backend, image);
    ASSERT_TRUE(gpu.error.empty()) << gpu.error;
    EXPECT_EQ(gpu.backend, VEXA_BACKEND_GPU);
    ASSERT_EQ(gpu.map.size(), cpu.map.size());
    for (size_t i = 0; i < cpu.map.size(); ++i) {
      ASSERT_NEAR(gpu.map[i], cpu.map[i], 1e-5 * peak) << "pixel " << i;
    }
  }
}

}  // namespace
}  // namespace vexa::tools::testing
