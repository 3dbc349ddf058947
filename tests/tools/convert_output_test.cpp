// Where the converter may write: never over a device, a FIFO or a folder, never over the model
// or its external data, and a failed write leaves an existing container byte-identical.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "container_tool_util.h"
#include "core/file_replace.h"
#include "tests/core/fifo_guard.h"

namespace vexa::tools::testing {
namespace {

bool same_bytes_hash(const std::string& path, const std::vector<uint8_t>& before) {
  return same_digest(file_hash(path), digest128(before.data(), before.size()));
}

class ConvertOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    // Copies of the fixtures: a converter that wrongly wrote over its input must not be able to
    // damage the committed files.
    for (const char* name : {"dyn_relu.onnx", "ext_ok.onnx", "ext_weights.bin", "ext_default.onnx",
                             "ext_default.onnx.data"}) {
      write_bytes(tmp_.file(name), read_bytes(fixtures_dir() + "/wire/" + name));
    }
  }
  void TearDown() override { file_replace_fail_at_for_testing(FileReplaceStep::kNone); }
  TempDir tmp_;
};

TEST_F(ConvertOutput, RefusesOutputsThatAreNotRegularFilesOrAreAnInput) {
  vexa::testing::TempFifo fifo;
  ASSERT_TRUE(fifo.ok());
  const std::string relu = tmp_.file("dyn_relu.onnx");
  const std::string ext = tmp_.file("ext_ok.onnx");
  const std::string ext_default = tmp_.file("ext_default.onnx");
  struct Case {
    std::string model;
    std::string out;
    std::string message;
  };
  const Case cases[] = {
      {relu, "/dev/full", "output '/dev/full' exists and is not a regular file"},
      {relu, fifo.path(), "output '" + fifo.path() + "' exists and is not a regular file"},
      {relu, tmp_.path(), "output '" + tmp_.path() + "' exists and is not a regular file"},
      {relu, relu, "output '" + relu + "' is the same file as input '" + relu + "'"},
      {relu, tmp_.path() + "/./dyn_relu.onnx",
       "output '" + tmp_.path() + "/./dyn_relu.onnx' is the same file as input '" + relu + "'"},
      // External data read through a location, and the ".data" file beside the model.
      {ext, tmp_.file("ext_weights.bin"),
       "output '" + tmp_.file("ext_weights.bin") + "' is the same file as input '" +
           tmp_.file("ext_weights.bin") + "'"},
      {ext_default, tmp_.file("ext_default.onnx.data"),
       "output '" + tmp_.file("ext_default.onnx.data") + "' is the same file as input '" +
           tmp_.file("ext_default.onnx.data") + "'"},
  };
  for (const Case& c : cases) {
    // Only regular files are hashed: reading /dev/full never ends.
    const bool regular = std::filesystem::is_regular_file(c.out);
    const std::vector<uint8_t> before = regular ? read_bytes(c.out) : std::vector<uint8_t>{};
    InputBindings bindings;
    onnx_bindings_init(bindings);
    ASSERT_TRUE(onnx_parse_input_option(bindings, "x=1x3x4x4").error.empty());
    // The external-data models have no open dimension to bind.
    const bool bound = c.model == relu;
    ConvertResult r;
    EXPECT_TRUE(vexa::testing::returns_without_writer(
        fifo.path(),
        [&] {
          r = bound ? onnx_convert_file_bound(c.model, c.out, &bindings)
                    : onnx_convert_file(c.model, c.out, 0);
        },
        std::chrono::milliseconds(5000)));
    EXPECT_FALSE(r.ok) << c.out;
    EXPECT_EQ(r.text, c.message);
    if (regular) {
      EXPECT_TRUE(same_bytes_hash(c.out, before)) << c.out;
    }
  }
  struct stat st {};
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  ASSERT_EQ(lstat(fifo.path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  // Describing writes nothing, so the output path is not judged.
  InputBindings describe;
  onnx_bindings_init(describe);
  describe.describe_only = 1;
  ASSERT_TRUE(onnx_parse_input_option(describe, "x=1x3x4x4").error.empty());
  const ConvertResult described = onnx_convert_file_bound(relu, "/dev/full", &describe);
  EXPECT_TRUE(described.ok) << described.text;
}

TEST_F(ConvertOutput, EveryFailedWriteStepKeepsTheOldContainer) {
  const std::string model = tmp_.file("ext_ok.onnx");
  const std::string out = tmp_.file("m.vexa");
  ConvertResult r = onnx_convert_file(model, out, 0);
  ASSERT_TRUE(r.ok) << r.text;
  const std::vector<uint8_t> before = read_bytes(out);
  for (const FileReplaceStep step : {FileReplaceStep::kOpen, FileReplaceStep::kWrite,
                                     FileReplaceStep::kSync, FileReplaceStep::kRename}) {
    file_replace_fail_at_for_testing(step);
    r = onnx_convert_file(tmp_.file("dyn_relu.onnx"), out, (uint64_t{1} << 32) | 4);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text.rfind("failed to create output .vexa file: ", 0), 0u) << r.text;
    EXPECT_TRUE(same_bytes_hash(out, before));
  }
  file_replace_fail_at_for_testing(FileReplaceStep::kNone);
  // Nothing but the fixtures and the container is in the folder: no temporary survived.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp_.path()), {}), 6);
  r = onnx_convert_file(tmp_.file("dyn_relu.onnx"), out, (uint64_t{1} << 32) | 4);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_NE(read_bytes(out), before);
}

TEST_F(ConvertOutput, ProgramRefusesADeviceAndItsOwnInput) {
  if (!program_built("vexa-convert")) GTEST_SKIP() << "vexa-convert is not built beside the tests";
  const std::string model = tmp_.file("dyn_relu.onnx");
  const std::vector<uint8_t> before = read_bytes(model);
  int status = 0;
  std::string out = run_program("vexa-convert", "--input x=1x3x4x4 " + model + " /dev/full", &status);
  EXPECT_NE(status, 0);
  EXPECT_EQ(out, "vexa: output '/dev/full' exists and is not a regular file\n");
  out = run_program("vexa-convert", "--input x=1x3x4x4 " + model + " " + model, &status);
  EXPECT_NE(status, 0);
  EXPECT_EQ(out, "vexa: output '" + model + "' is the same file as input '" + model + "'\n");
  EXPECT_TRUE(same_bytes_hash(model, before));
  struct stat st {};
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

}  // namespace
}  // namespace vexa::tools::testing
