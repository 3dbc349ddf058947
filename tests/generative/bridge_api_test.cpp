// The value-returning entries: NUL bytes in texts are refused before anything runs, outcomes
// carry the answer or the error, and the lifecycle wrappers report the session layer's codes.
#include <gtest/gtest.h>

#include <fstream>

#include "generative/bridge_api.h"
#include "tests/generative/tiny_session.h"

namespace {

using namespace vexa;
using namespace vexa::testing;

}  // namespace

TEST(BridgeApi, TextsWithNulAreRefusedAndOutcomesCarryTheAnswer) {
  const std::string nul_path("m\0.vexa", 7);
  const VlmOpenOutcome bad = vlm_api_open(nul_path.data(), nul_path.size());
  EXPECT_TRUE(bad.failed);
  EXPECT_EQ(bad.code, 1u);
  EXPECT_EQ(bad.message, "Model path contains NUL");
  EXPECT_EQ(bad.handle, nullptr);
  const VlmOpenOutcome missing = vlm_api_open("/nonexistent.vexa", 17);
  EXPECT_TRUE(missing.failed);
  EXPECT_EQ(missing.code, 2u);

  ScratchDir dir;
  const std::vector<uint8_t>& bytes = tiny_model_container(VlmWeights::fp16);
  std::ofstream(dir.file("m.vexa"), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  const std::string path = dir.file("m.vexa");
  VlmOpenOutcome opened = vlm_api_open(path.data(), path.size());
  ASSERT_FALSE(opened.failed) << opened.message;
  HandlePtr handle(opened.handle);

  const std::string prompt = "Hello";
  const VlmGeneration g = vlm_api_generate(handle.get(), prompt.data(), prompt.size(), 3);
  ASSERT_FALSE(g.failed) << g.message;
  EXPECT_EQ(g.generated_tokens, 3u);
  EXPECT_EQ(g.finish_reason, kFinishLength);
  EXPECT_GT(g.prompt_tokens, 0u);
  const std::string nul_prompt("Hel\0lo", 6);
  const VlmGeneration refused = vlm_api_generate(handle.get(), nul_prompt.data(), nul_prompt.size(), 3);
  EXPECT_TRUE(refused.failed);
  EXPECT_EQ(refused.message, "Prompt contains NUL");
  EXPECT_EQ(vlm_api_generate_image_path(handle.get(), nul_path.data(), nul_path.size(), "x", 1, 2,
                                        0, 512).message,
            "Image path contains NUL");
  EXPECT_EQ(vlm_api_generate_encoded(handle.get(), bytes.data(), 4, nul_prompt.data(),
                                     nul_prompt.size(), 2, 0, 512).message,
            "Prompt contains NUL");
  const VlmGeneration zero = vlm_api_generate(handle.get(), prompt.data(), prompt.size(), 0);
  EXPECT_TRUE(zero.failed);
  EXPECT_EQ(zero.message, "Invalid generation parameters");
  const std::vector<uint8_t> rgb = tiny_vlm_view_rgb();
  const PixelView view{rgb.data(), rgb.size(), 512, 512, 512 * 3, 1};
  const VlmGeneration pixels =
      vlm_api_generate_pixels(handle.get(), &view, "Describe this picture.", 22, 2, 0, 512, 1);
  ASSERT_FALSE(pixels.failed) << pixels.message;
  EXPECT_EQ(pixels.prompt_tokens, tiny_goldens().prompt.input_ids.size());

  EXPECT_FALSE(vlm_api_cancel(handle.get()).failed);
  EXPECT_EQ(handle->cancel, 1u);
  EXPECT_FALSE(vlm_api_reset(handle.get()).failed);
  EXPECT_EQ(handle->cancel, 0u);
  EXPECT_FALSE(vlm_api_unload(handle.get()).failed);
  EXPECT_EQ(vlm_api_generate(handle.get(), prompt.data(), prompt.size(), 1).message,
            "Session is unloaded; reload before generation");
  EXPECT_FALSE(vlm_api_reload(handle.get()).failed);
  const VlmStatus null_reset = vlm_api_reset(nullptr);
  EXPECT_TRUE(null_reset.failed);
  EXPECT_EQ(null_reset.message, "Session is required");
  EXPECT_EQ(vlm_ok_status(7).flag, 7u);
}
