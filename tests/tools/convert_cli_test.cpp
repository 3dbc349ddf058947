// The vexa-convert program: converts from the command line, prints the summary, reports failures
// as "vexa: <message>" with a non-zero status and leaves an existing output file alone.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "convert_test_util.h"

namespace vexa::tools::testing {
namespace {

// The program sits in the build folder, one level above the test programs.
const char* kProgram = "../vexa-convert";

struct ProgramRun {
  int status;
  std::string out;
};

ProgramRun run(const std::string& args) {
  ProgramRun r{-1, ""};
  const std::string cmd = std::string(kProgram) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  std::array<char, 4096> buf;
  size_t n = 0;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

class ConvertProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kProgram, X_OK) != 0) GTEST_SKIP() << "vexa-convert is not built beside the tests";
  }
  TempDir tmp_;
};

TEST_F(ConvertProgram, ConvertsAndPrintsTheSummary) {
  const std::string model = fixtures_dir() + "/wire/dyn_relu.onnx";
  const std::string out = tmp_.file("m.vexa");
  ProgramRun r = run("--input x=1x3x4x4 " + model + " " + out);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "input  x [1, 3, 4, 4] f32\noutput y [1, 3, 4, 4] f32\n"
                   "opset 13, ir_version 7, 1 nodes\nwrote " + out + "\n");
  EXPECT_FALSE(read_bytes(out).empty());
  r = run("--describe --dim h=2 --dim=w=3 " + model);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "input  x [1, 3, 2, 3] f32\noutput y [1, 3, 2, 3] f32\n"
                   "opset 13, ir_version 7, 1 nodes\n"
                   "note: dynamic batch (dim 0) bound to 1 for x; bind it with --dim or --input "
                   "to change\n");
}

TEST_F(ConvertProgram, FailuresLeaveTheOutputAlone) {
  const std::string out = tmp_.file("m.vexa");
  write_bytes(out, {'k', 'e', 'e', 'p'});
  ProgramRun r = run(fixtures_dir() + "/wire/dyn_relu.onnx " + out);
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out.rfind("vexa: 2 input binding problem(s):\n", 0), 0u) << r.out;
  r = run("--input x=1x3:f16 " + fixtures_dir() + "/wire/dyn_relu.onnx " + out);
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "vexa: --input x=1x3:f16: type must be :f32 or :i64\n");
  r = run(fixtures_dir() + "/wire/opset10.onnx " + out);
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "vexa: the model uses ONNX opset 10; this converter was written for opsets 11 "
                   "to 20\n");
  EXPECT_EQ(read_bytes(out), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  r = run("--bogus");
  EXPECT_NE(r.status, 0);
}

}  // namespace
}  // namespace vexa::tools::testing
