// The file and command-line runners: request files of tensor cases with their manifest and
// traces, options dictionaries turned into requests, reports, and what the command line prints.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "core/domain_error.h"
#include "generative/request_runner.h"
#include "generative/tensor_dump.h"
#include "tests/generative/tiny_session.h"
#include "tests/image/image_test_util.h"

namespace {

using namespace vexa;
using namespace vexa::testing;
using nlohmann::json;

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

json read_json(const std::string& path) {
  std::ifstream in(path);
  return json::parse(std::string(std::istreambuf_iterator<char>(in), {}));
}

const std::vector<int64_t>& golden_tokens() {
  return tiny_goldens().goldens.run(VlmWeights::fp16, Activation::fp16)->tokens;
}

// The golden prompt's inputs as .bin files in `dir`, described as a case's "inputs".
json write_case_inputs(const ScratchDir& dir, const HostInputs& host) {
  json inputs = json::object();
  for (const auto& [name, t] : host) {
    const std::string file = vlm_dump_file_name(name);
    std::ofstream(dir.file(file), std::ios::binary)
        .write(reinterpret_cast<const char*>(t.bytes.data()), static_cast<std::streamsize>(t.bytes.size()));
    inputs[name] = {{"shape", t.shape}, {"dtype", t.dtype}, {"file", file}};
  }
  return inputs;
}

struct Runner : ::testing::Test {
  HandlePtr handle = open_tiny();
  ScratchDir dir;
  HostInputs host = golden_inputs(Activation::fp16);
  bool run(const json& request, const std::string& out) {
    write_text(dir.file("request.json"), request.dump());
    const VXSessionState& s = *handle->session;
    return vlm_run_inference_request(s.context, s.metadata.data(), s.metadata.size(),
                                     dir.file("request.json").c_str(), out.c_str());
  }
};

std::string model_file(const ScratchDir& dir) {
  const std::string path = dir.file("tiny.vexa");
  const std::vector<uint8_t>& bytes = tiny_model_container(VlmWeights::fp16);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

}  // namespace

TEST_F(Runner, RequestFileCasesWriteTheManifestAndTraces) {
  const json inputs = write_case_inputs(dir, host);
  json request = {{"schema_version", 1},
                  {"cases",
                   {{{"inputs", inputs}, {"max_new_tokens", 3}, {"temperature", 0}, {"name", "a"},
                     {"trace", true}, {"captures", {"text.1"}}},
                    {{"inputs", inputs}, {"max_new_tokens", 2}, {"forced_tokens", {5, 6}}}}}};
  const std::string out = dir.file("out");
  ASSERT_TRUE(run(request, out));
  const json manifest = read_json(out + "/result.json");
  for (const char* key : {"schema_version", "backend", "weight_dtype", "weight_execution",
                          "activation_dtype", "device", "backend_prepare_ms", "request_read_ms",
                          "max_rss_bytes", "peak_observed_metal_allocated_bytes", "cases"}) {
    EXPECT_TRUE(manifest.contains(key)) << key;
  }
  EXPECT_EQ(manifest.size(), 11u);
  EXPECT_EQ(manifest.at("activation_dtype"), "fp16");
  ASSERT_EQ(manifest.at("cases").size(), 2u);
  const json& first = manifest.at("cases")[0];
  EXPECT_EQ(first.at("name"), "a");
  EXPECT_EQ(first.at("generated_token_ids").get<std::vector<int64_t>>(),
            std::vector<int64_t>(golden_tokens().begin(), golden_tokens().begin() + 3));
  EXPECT_EQ(first.at("kv_cache").at("reused_prompt_tokens"), 0);
  EXPECT_TRUE(std::filesystem::exists(out + "/case0/step0/logits_last.bin"));
  EXPECT_TRUE(std::filesystem::exists(out + "/case0/step0/boundary_text.1.bin"));
  EXPECT_TRUE(std::filesystem::exists(out + "/case0/step2/past_value.1.bin"));
  EXPECT_EQ(manifest.at("cases")[1].at("generated_token_ids"), json({5, 6}));
  EXPECT_EQ(manifest.at("cases")[1].at("name"), "prompt");

  // FP32 activations are asked for by number.
  request["activation_dtype"] = 2;
  request["cases"] = {request["cases"][1]};
  HostInputs wide = golden_inputs(Activation::fp32);
  request["cases"][0]["inputs"] = write_case_inputs(dir, wide);
  ASSERT_TRUE(run(request, dir.file("out32")));
  EXPECT_EQ(read_json(dir.file("out32") + "/result.json").at("activation_dtype"), "fp32");
}

TEST_F(Runner, BadRequestFilesPrintTheirReasonAndWriteNoManifest) {
  const json inputs = write_case_inputs(dir, host);
  struct Case {
    json request;
    const char* message;
  };
  const Case cases[] = {
      {{{"schema_version", 2}, {"cases", json::array()}}, "Request schema"},
      {json::array({1, 2}), "Request schema"},
      {{{"schema_version", 1}, {"cases", json::array()}}, "No inference cases"},
      {{{"schema_version", 1}}, "No inference cases"},
      {{{"schema_version", 1}, {"activation_dtype", 3}, {"cases", {{{"inputs", inputs}}}}},
       "Activation precision must be FP16 or FP32"},
      {{{"schema_version", 1}, {"cases", {{{"inputs", inputs}, {"max_new_tokens", "two"}}}}},
       "Invalid inference case"},
      {{{"schema_version", 1}, {"cases", {{{"inputs", 7}, {"max_new_tokens", 2}}}}},
       "Invalid inference case"},
      {{{"schema_version", 1}, {"cases", {{{"inputs", inputs}, {"max_new_tokens", 2}, {"stop", {""}}}}}},
       "Invalid stop sequence"},
  };
  for (const Case& c : cases) {
    const std::string out = dir.file("bad");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(run(c.request, out)) << c.message;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              std::string("vexa inference: ") + c.message + "\n");
    EXPECT_FALSE(std::filesystem::exists(out + "/result.json"));
  }
  // Nesting deeper than any request needs is refused before anything copies it.
  std::string deep = "{\"schema_version\": 1, \"cases\": [], \"x\": ";
  deep += std::string(600, '[') + std::string(600, ']') + "}";
  write_text(dir.file("deep.json"), deep);
  ::testing::internal::CaptureStderr();
  const VXSessionState& s = *handle->session;
  EXPECT_FALSE(vlm_run_inference_request(s.context, s.metadata.data(), s.metadata.size(),
                                         dir.file("deep.json").c_str(), dir.path().c_str()));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "vexa inference: Request schema\n");

  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(vlm_run_inference_request(s.context, s.metadata.data(), s.metadata.size(),
                                         dir.file("missing.json").c_str(), dir.path().c_str()));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "vexa inference: Cannot read request\n");

  // A failing second case: the first case's folder stays, no manifest is written.
  json broken = inputs;
  broken["input_ids"]["file"] = "nowhere.bin";
  const json request = {{"schema_version", 1},
                        {"cases",
                         {{{"inputs", inputs}, {"max_new_tokens", 1}, {"trace", true}},
                          {{"inputs", broken}, {"max_new_tokens", 1}}}}};
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(run(request, dir.file("partial")));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "vexa inference: Input data length\n");
  EXPECT_TRUE(std::filesystem::exists(dir.file("partial") + "/case0/step0/logits_last.bin"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("partial") + "/result.json"));

  // A shape far larger than its file is refused before anything that size is allocated.
  json huge = inputs;
  huge["pixel_values"]["shape"] = {300, 3, 1024, 1024};
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(run({{"schema_version", 1}, {"cases", {{{"inputs", huge}, {"max_new_tokens", 1}}}}},
                   dir.file("huge")));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "vexa inference: Input data length\n");
}

TEST_F(Runner, OptionsBecomeTheRequest) {
  VlmResult result{};
  VlmError error{};
  // "prompt" alone: one user turn with one text item.
  ASSERT_EQ(vlm_generate_from_options(handle.get(), {{"prompt", "Hello"}, {"max_new_tokens", 2}},
                                      nullptr, nullptr, &result, &error), 1)
      << error.message;
  EXPECT_EQ(result.generated_tokens, 2u);
  vlm_result_clear(&result);

  // With an image file: the image item, then the text; the golden view gives the golden tokens.
  const std::vector<uint8_t> rgb = tiny_vlm_view_rgb();
  std::vector<uint8_t> scanlines;
  for (uint32_t y = 0; y < 512; ++y) {
    scanlines.push_back(0);
    scanlines.insert(scanlines.end(), rgb.begin() + y * 1536, rgb.begin() + (y + 1) * 1536);
  }
  const std::vector<uint8_t> png = vexa::test::make_png(512, 512, 8, 2, scanlines);
  std::ofstream(dir.file("view.png"), std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  const json options = {{"prompt", "Describe this picture."}, {"image", dir.file("view.png")},
                        {"max_new_tokens", 4}, {"temperature", 0}};
  ASSERT_EQ(vlm_generate_from_options(handle.get(), options, nullptr, nullptr, &result, &error), 1)
      << error.message;
  EXPECT_EQ(std::vector<int64_t>(result.token_ids, result.token_ids + result.generated_tokens),
            std::vector<int64_t>(golden_tokens().begin(), golden_tokens().begin() + 4));
  vlm_result_clear(&result);

  struct Case {
    json options;
    uint32_t code;
    const char* message;
  };
  const Case cases[] = {
      {{{"prompt", "x"}}, 1, "Invalid generation parameters"},  // no max_new_tokens
      {{{"messages", json::array()}, {"max_new_tokens", 2}}, 1, "Invalid messages"},
      {{{"messages", {{{"role", "user"}}}}, {"max_new_tokens", 2}}, 1, "Invalid message content"},
      {{{"messages", {{{"role", 3}, {"content", json::array()}}}}, {"max_new_tokens", 2}}, 1,
       "Invalid role"},
      {{{"messages", {{{"role", "user"}, {"content", {1}}}}}, {"max_new_tokens", 2}}, 1,
       "Invalid content"},
      {{{"messages", {{{"role", "user"}, {"content", {{{"type", "text"}}}}}}}, {"max_new_tokens", 2}},
       1, "Invalid text"},
      {{{"messages", {{{"role", "user"}, {"content", {{{"type", "image"}, {"url", "x"}}}}}}},
        {"max_new_tokens", 2}},
       1, "Image requires path"},
      {{{"messages", {{{"role", "user"}, {"content", {{{"type", 5}, {"path", "x"}}}}}}},
        {"max_new_tokens", 2}},
       1, "Image requires path"},
      // Options that are not text are refused, not dropped: no silent answer without the image.
      {{{"prompt", 5}, {"max_new_tokens", 2}}, 1, "Invalid text"},
      {{{"prompt", "x"}, {"image", 7}, {"max_new_tokens", 2}}, 1, "Image requires path"},
      {{{"prompt", "x"}, {"max_new_tokens", 2}, {"image_crop", {0, 0, 1}}}, 1,
       "Crop requires four coordinates"},
      {{{"prompt", "x"}, {"max_new_tokens", 2}, {"temperature", "hot"}}, 1,
       "Invalid sampling parameters"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(vlm_generate_from_options(handle.get(), c.options, nullptr, nullptr, &result, &error), 0);
    EXPECT_EQ(error.code, c.code) << c.options.dump();
    EXPECT_STREQ(error.message, c.message) << c.options.dump();
    EXPECT_EQ(result.answer, nullptr);
  }
}

TEST(RunnerCli, ReportsAndPrintedOutput) {
  ScratchDir dir;
  const std::string model = model_file(dir);
  const std::string report = dir.file("deep/er/report.json");
  const json options = {{"model", model}, {"prompt", "Hi"}, {"max_new_tokens", 3},
                        {"temperature", 0}, {"activation", "fp16"}, {"report", report}};
  VlmResult result{};
  VlmError error{};
  ASSERT_EQ(vlm_generate_with_report(options, &result, &error), 1) << error.message;
  const std::string answer(result.answer, result.answer_length);
  vlm_result_clear(&result);
  const json r = read_json(report);
  EXPECT_EQ(r.size(), 28u);
  for (const char* key : {"application_wall_ms", "processor_setup_ms", "backend_prepare_ms",
                          "frontend_loading_overlap", "weight_cache_policy", "loader", "prompt",
                          "image", "answer", "cases", "activation_dtype"}) {
    EXPECT_TRUE(r.contains(key)) << key;
  }
  EXPECT_EQ(r.at("prompt"), "Hi");
  EXPECT_TRUE(r.at("image").is_null());
  EXPECT_EQ(r.at("weight_cache_policy"), "buffered pread");
  EXPECT_EQ(r.at("loader").size(), 4u);
  EXPECT_EQ(r.at("answer"), answer);
  EXPECT_EQ(r.at("activation_dtype"), "fp16");

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(vlm_cli_generate(options), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), answer + "\n");
  json streamed = options;
  streamed["stream"] = true;
  streamed.erase("report");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(vlm_cli_generate(streamed), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), answer + "\n");

  json missing = options;
  missing["model"] = dir.file("none.vexa");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(vlm_cli_generate(missing), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "vexa: [2] I/O failed\n");
  json bad_report = options;
  write_text(dir.file("file"), "x");
  bad_report["report"] = dir.file("file") + "/r.json";
  EXPECT_EQ(vlm_generate_with_report(bad_report, &result, &error), 0);
  EXPECT_STREQ(error.message, "Report directory");
  EXPECT_EQ(result.answer, nullptr);
}
