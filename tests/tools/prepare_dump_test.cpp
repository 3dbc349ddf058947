// The prepare dumps of both front ends: written files read back and compared with the prepared
// tensors and their manifest, refusals with their messages, and writes that fail part way
// leaving no partial file and no damaged earlier one. The two programs are run once each.
#include "tools/prepare_dump.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/container.h"
#include "generative/processor.h"
#include "tests/support/vlm_model.h"
#include "tests/testdata.h"
#include "tests/tools/container_tool_util.h"
#include "tests/tools/convert_test_util.h"
#include "tools/cli_options.h"
#include "tools/cli_prepare.h"
#include "tools/model_file.h"
#include "tools/sibling_args.h"

namespace vexa::tools {
namespace {

using nlohmann::json;
using testing::read_bytes;

// Third-party test data: the tests that read it start with VEXA_REQUIRE_TESTDATA(kImageData).
const char* const kImageData = "images/jpeg-testimages/testorig.jpg";
const std::string kImage = vexa::test::testdata_path(kImageData);

std::set<std::string> listing(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.insert(n);
    }
    closedir(d);
  }
  return names;
}

json read_manifest(const std::string& dir) {
  const std::vector<uint8_t> bytes = read_bytes(dir + "/inputs.json");
  return json::parse(std::string(bytes.begin(), bytes.end()));
}

class PrepareDump : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    model_dir_ = new testing::TempDir();
    model_path_ = model_dir_->file("tiny.vexa");
    vexa::testing::VlmModelInfo info;
    std::string error;
    ASSERT_TRUE(vexa::testing::write_vlm_model_file(
        vexa::testing::tiny_vlm_desc(vexa::testing::VlmWeights::fp16), model_path_, &info, &error))
        << error;
  }
  static void TearDownTestSuite() { delete model_dir_; }
  void TearDown() override { file_replace_fail_at_for_testing(FileReplaceStep::kNone); }

  // The files of a dump hold exactly the prepared tensors, and the manifest lists them.
  static void expect_round_trip(const std::string& dir, const PreparedInputs& want,
                                const json& manifest) {
    std::set<std::string> files{"inputs.json"};
    for (const auto& [name, t] : want.tensors) {
      files.insert(name + ".bin");
      EXPECT_TRUE(read_bytes(dir + "/" + name + ".bin") == t.data) << name;
      const json& entry = manifest.at("inputs").at(name);
      EXPECT_EQ(entry, (json{{"file", name + ".bin"}, {"shape", t.shape}, {"dtype", t.dtype}})) << name;
    }
    EXPECT_EQ(listing(dir), files);
    EXPECT_EQ(manifest.at("inputs").size(), want.tensors.size());
    EXPECT_EQ(manifest.at("prompt_token_ids").get<std::vector<int64_t>>(), want.prompt_token_ids);
    EXPECT_EQ(manifest.at("rendered_prompt"), want.rendered_prompt);
    EXPECT_EQ(manifest.at("image_views"), want.image_views);
    EXPECT_EQ(manifest.at("image_rows"), want.image_rows);
    EXPECT_EQ(manifest.at("image_cols"), want.image_cols);
    EXPECT_EQ(manifest.at("image_orientations").get<std::vector<uint32_t>>(), want.image_orientations);
    std::set<std::string> stages;
    for (const auto& [k, v] : manifest.at("stages_ms").items()) stages.insert(k);
    EXPECT_EQ(stages, (std::set<std::string>{"image_decode_resize_ms", "prompt_tokenize_ms",
                                             "tensor_prepare_ms"}));
  }

  static testing::TempDir* model_dir_;
  static std::string model_path_;
  testing::TempDir out_;
};
testing::TempDir* PrepareDump::model_dir_ = nullptr;
std::string PrepareDump::model_path_;

std::vector<std::string> vlm_args(std::initializer_list<std::string> options) {
  std::vector<std::string> a{"vexa-vlm", "prepare"};
  a.insert(a.end(), options);
  return a;
}

TEST_F(PrepareDump, GenerativeCommandLineDumpRoundTrips) {
  VEXA_REQUIRE_TESTDATA(kImageData);
  const std::string dir = out_.file("nested/dump");  // parents are made
  const json options = cli_parse_options(vlm_args(
      {"--model", model_path_, "--prompt", "What is this?", "--image", kImage, "--image-detail",
       "tiled", "--image-longest-edge", "1024", "--activation", "fp16", "--output", dir,
       "--decode-ids", "52,82,263"}));
  OpenedModel model;
  std::string error;
  ASSERT_TRUE(model.open(model_path_, &error)) << error;
  const OpenContainer& c = model.container();
  ASSERT_TRUE(cli_prepare_dump(c.image, c.image_size, c.fd, options));

  const VXProcessor processor(c.image, c.image_size, c.fd);
  const PreparedInputs want = processor.prepare(RequestDocument(options));
  const json manifest = read_manifest(dir);
  expect_round_trip(dir, want, manifest);
  EXPECT_EQ(manifest.at("decoded"), processor.decode(std::vector<int64_t>{52, 82, 263}));
  EXPECT_EQ(manifest.at("inputs").at("pixel_values").at("dtype"), 1);
  EXPECT_GT(want.image_views, 1u);

  // Dumping again over the same folder replaces every file.
  ASSERT_TRUE(cli_prepare_dump(c.image, c.image_size, c.fd, options));
  expect_round_trip(dir, want, read_manifest(dir));
}

TEST_F(PrepareDump, GenerativeCommandLineRefusals) {
  OpenedModel model;
  std::string error;
  ASSERT_TRUE(model.open(model_path_, &error)) << error;
  const OpenContainer& c = model.container();
  auto run = [&](const json& options) {
    ::testing::internal::CaptureStderr();
    const bool ok = cli_prepare_dump(c.image, c.image_size, c.fd, options);
    const std::string printed = ::testing::internal::GetCapturedStderr();
    return (ok ? "ok " : "failed ") + printed;
  };
  EXPECT_EQ(run(cli_parse_options(vlm_args({"--prompt", "x"}))),
            "failed vexa prepare: prepare requires --output DIRECTORY\n");
  EXPECT_EQ(run(cli_parse_options(vlm_args({"--prompt", "x", "--context-length", "64",
                                            "--max-new-tokens", "64", "--output", out_.file("a")}))),
            "failed vexa prepare: Prompt plus output exceeds context budget\n");
  EXPECT_FALSE(listing(out_.path()).count("a"));  // nothing made before preparation succeeds
  EXPECT_EQ(run(cli_parse_options(vlm_args({"--prompt", "x", "--output", out_.file("b"), "--decode-ids", "5,x"}))),
            "failed vexa prepare: Decode ID\n");
  EXPECT_TRUE(listing(out_.file("b")).count("input_ids.bin"));  // files before the failure stay
  EXPECT_FALSE(listing(out_.file("b")).count("inputs.json"));
  EXPECT_EQ(run(cli_parse_options(vlm_args({"--prompt", "x", "--output", out_.file("c"), "--decode-ids", "5,99999"}))),
            "failed vexa prepare: Decode ID\n");
  const std::string blocker = out_.file("file");
  testing::write_bytes(blocker, {1});
  EXPECT_EQ(run(cli_parse_options(vlm_args({"--prompt", "x", "--output", blocker + "/d"}))),
            "failed vexa prepare: Create input dump directory\n");
  EXPECT_EQ(run(cli_parse_options(vlm_args({"--prompt", "x", "--image", "/nonexistent.jpg", "--output", out_.file("e")}))),
            "failed vexa prepare: Cannot read image\n");
  std::vector<uint8_t> empty(512, 0);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(cli_prepare_dump(empty.data(), empty.size(), c.fd, cli_parse_options(vlm_args({"--prompt", "x", "--output", out_.file("f")}))));
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("vexa prepare: Aux"), std::string::npos);
}

TEST_F(PrepareDump, FailedWritesLeaveNoPartialFiles) {
  OpenedModel model;
  std::string error;
  ASSERT_TRUE(model.open(model_path_, &error)) << error;
  const OpenContainer& c = model.container();
  const std::string dir = out_.file("dump");
  const json options = cli_parse_options(vlm_args({"--prompt", "Hello", "--output", dir}));
  ASSERT_TRUE(cli_prepare_dump(c.image, c.image_size, c.fd, options));
  std::map<std::string, std::vector<uint8_t>> before;
  for (const std::string& name : listing(dir)) before[name] = read_bytes(dir + "/" + name);

  const json longer = cli_parse_options(vlm_args({"--prompt", "Hello there, a longer prompt", "--output", dir}));
  for (const FileReplaceStep step : {FileReplaceStep::kOpen, FileReplaceStep::kWrite,
                                     FileReplaceStep::kSync, FileReplaceStep::kRename}) {
    file_replace_fail_at_for_testing(step);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(cli_prepare_dump(c.image, c.image_size, c.fd, longer));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "vexa prepare: Write input dump\n");
    file_replace_fail_at_for_testing(FileReplaceStep::kNone);
    // No temporary file is left and every earlier file is as it was.
    std::map<std::string, std::vector<uint8_t>> after;
    for (const std::string& name : listing(dir)) after[name] = read_bytes(dir + "/" + name);
    EXPECT_TRUE(after == before) << static_cast<int>(step);
  }

  // The sibling dump: the failing file is named, nothing partial stays.
  vexa::ProcessorOptions o;
  o.prompt = "Hello";
  const VXProcessor processor(c.image, c.image_size, c.fd);
  const PreparedInputs prepared = prepare_request(processor.processor(), o);
  auto dump_error = [&](const std::string& dir) {
    try {
      write_prepare_dump(prepared, dir);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("(written)");
  };
  // Name order: the empty "image_token_positions" first (an empty write cannot fail), then
  // "input_ids", the first file with bytes.
  const std::string opened = out_.file("open");
  file_replace_fail_at_for_testing(FileReplaceStep::kOpen);
  EXPECT_EQ(dump_error(opened), "Cannot write " + opened + "/image_token_positions.bin");
  EXPECT_TRUE(listing(opened).empty());
  const std::string sibling = out_.file("sibling");
  file_replace_fail_at_for_testing(FileReplaceStep::kWrite);
  EXPECT_EQ(dump_error(sibling), "Write failed " + sibling + "/input_ids.bin");
  EXPECT_EQ(listing(sibling), std::set<std::string>{"image_token_positions.bin"});
  file_replace_fail_at_for_testing(FileReplaceStep::kRename);
  EXPECT_EQ(dump_error(sibling), "Write failed " + sibling + "/image_token_positions.bin");
  EXPECT_EQ(listing(sibling), std::set<std::string>{"image_token_positions.bin"});
  file_replace_fail_at_for_testing(FileReplaceStep::kNone);
  // A tensor file that may not be replaced (here: a folder in its place) is named too, and the
  // files written before it stay.
  ASSERT_EQ(mkdir((sibling + "/past_key.0.bin").c_str(), 0755), 0);
  EXPECT_EQ(dump_error(sibling), "Cannot write " + sibling + "/past_key.0.bin");
  EXPECT_EQ(listing(sibling), (std::set<std::string>{"image_token_positions.bin", "input_ids.bin",
                                                     "past_key.0.bin"}));
}

TEST_F(PrepareDump, SiblingDumpRoundTrips) {
  VEXA_REQUIRE_TESTDATA(kImageData);
  const std::string messages = out_.file("m.json");
  const std::string text = json::array({{{"role", "system"}, {"content", json::array({{{"type", "text"}, {"text", "Be brief."}}})}},
                                        {{"role", "user"},
                                         {"content", json::array({{{"type", "image"}, {"path", kImage}},
                                                                  {{"type", "text"}, {"text", "And this?"}}})}}})
                               .dump();
  testing::write_bytes(messages, std::vector<uint8_t>(text.begin(), text.end()));
  const std::string dir = out_.file("dump");
  const std::vector<std::string> args{"vexa-vulkan", "prepare", "--model", model_path_, "--messages",
                                      messages, "--output", dir, "--max-new-tokens", "32"};
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  const vexa::ProcessorOptions o = tool_parse_args(static_cast<int>(argv.size()), argv.data());
  OpenedModel model;
  std::string error;
  ASSERT_TRUE(model.open(model_path_, &error)) << error;
  const OpenContainer& c = model.container();
  const VXProcessor processor(c.image, c.image_size, c.fd);
  const PreparedInputs prepared = prepare_request(processor.processor(), o);
  write_prepare_dump(prepared, dir);
  expect_round_trip(dir, prepared, read_manifest(dir));
  EXPECT_EQ(prepared.tensors.at("pixel_values").dtype, 1u);  // the sibling's default is FP16
  // Sorted keys, two-space indent, a final line break.
  const std::vector<uint8_t> raw = read_bytes(dir + "/inputs.json");
  const std::string manifest(raw.begin(), raw.end());
  EXPECT_EQ(manifest, manifest_text(read_manifest(dir)));
  EXPECT_EQ(manifest.rfind("{\n  \"image_cols\": 0,\n", 0), 0u);
  EXPECT_EQ(manifest.back(), '\n');
}

TEST_F(PrepareDump, ProgramsRunFromTheCommandLine) {
  if (!testing::program_built("vexa-vlm") || !testing::program_built("vexa-vulkan")) {
    GTEST_SKIP() << "front-end programs not built";
  }
  int status = 0;
  const std::string a = out_.file("a"), b = out_.file("b");
  EXPECT_EQ(testing::run_program("vexa-vlm", "prepare --model '" + model_path_ + "' --prompt Hi --output '" + a + "'", &status), "");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(testing::run_program("vexa-vulkan", "prepare --model '" + model_path_ + "' --prompt Hi --output '" + b + "'", &status), "");
  EXPECT_EQ(status, 0);
  // Both front ends prepare the same request alike, apart from the activation default.
  EXPECT_EQ(read_manifest(a).at("prompt_token_ids"), read_manifest(b).at("prompt_token_ids"));
  EXPECT_TRUE(read_bytes(a + "/input_ids.bin") == read_bytes(b + "/input_ids.bin"));
  EXPECT_EQ(testing::run_program("vexa-vlm", "prepare --prompt Hi --prompt again", &status),
            "vexa: Duplicate CLI option\n");
  EXPECT_EQ(status, 1);
  EXPECT_EQ(testing::run_program("vexa-vulkan", "run", &status), "vexa-vulkan: Unknown command\n");
  EXPECT_EQ(status, 1);
}

}  // namespace
}  // namespace vexa::tools
