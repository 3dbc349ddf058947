// The generative command-line programs run as their own processes: vexa-vlm generate answers as
// the C API does for the same request, streams, writes its report and fails with one line and
// status 1; a graph model is named as no generative model; vexa-chat refuses a JSON schema
// path that is no regular file with one line. Every run has a time limit.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/core/container_fixture.h"
#include "tests/support/vlm_model.h"
#include "tests/tools/container_tool_util.h"
#include "tests/tools/convert_test_util.h"
#include "vexa/vexa.h"

namespace vexa::tools {
namespace {

struct ProgramRun {
  int status;       // -1 when the program did not exit (a signal, or the time limit)
  std::string out;  // standard output and standard error together
};

ProgramRun run(const std::string& program, const std::string& args) {
  ProgramRun r{-1, ""};
  r.out = vexa::tools::testing::run_program(program, args, &r.status);
  return r;
}

bool built(const std::string& program) { return vexa::tools::testing::program_built(program); }

std::string shell_quoted(const std::string& path) { return "'" + path + "'"; }

// The answer of the C API for a prompt, at most `max_tokens` tokens, temperature 0.
std::string api_answer(const std::string& model, const std::string& prompt, uint32_t max_tokens) {
  vexa_config* config = vexa_config_new();
  vexa_session* session = vexa_session_new(config);
  vexa_input* in = vexa_input_new();
  vexa_output* out = vexa_output_new();
  vexa_input_set_prompt(in, prompt.data(), prompt.size());
  vexa_input_set_max_tokens(in, max_tokens);
  vexa_input_set_temperature(in, 0.0f);
  std::string answer;
  if (vexa_session_open(session, model.c_str(), model.size()) == 1 &&
      vexa_session_run(session, in, out) == 1) {
    answer.assign(vexa_output_text_ptr(out), vexa_output_text_len(out));
  } else {
    ADD_FAILURE() << model << ": " << vexa_session_error_message_ptr(session);
  }
  vexa_output_free(out);
  vexa_input_free(in);
  vexa_session_free(session);
  vexa_config_free(config);
  return answer;
}

class VlmProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testing::TempDir();
    model_ = dir_->file("tiny.vexa");
    vexa::testing::VlmModelInfo info;
    std::string error;
    ASSERT_TRUE(vexa::testing::write_vlm_model_file(
        vexa::testing::tiny_vlm_desc(vexa::testing::VlmWeights::fp16), model_, &info, &error))
        << error;
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override {
    if (!built("vexa-vlm") || !built("vexa-chat")) GTEST_SKIP() << "front-end programs not built";
  }

  static testing::TempDir* dir_;
  static std::string model_;
  testing::TempDir out_;
};
testing::TempDir* VlmProgram::dir_ = nullptr;
std::string VlmProgram::model_;

TEST_F(VlmProgram, GenerateAnswersAsTheCApiDoes) {
  const std::string answer = api_answer(model_, "Hi", 8);
  ASSERT_FALSE(answer.empty());
  const std::string request =
      "generate --model " + shell_quoted(model_) + " --prompt Hi --max-new-tokens 8 --temperature 0";
  ProgramRun r = run("vexa-vlm", request);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, answer + "\n");

  // Streamed: the same text as it comes, then the line break; the report holds the answer.
  const std::string report = out_.file("deep/report.json");
  r = run("vexa-vlm", request + " --stream --report " + shell_quoted(report));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, answer + "\n");
  const std::vector<uint8_t> bytes = testing::read_bytes(report);
  const nlohmann::json parsed = nlohmann::json::parse(std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(parsed.at("answer"), answer);
  EXPECT_EQ(parsed.at("prompt"), "Hi");
}

TEST_F(VlmProgram, FailuresAreOneLineAndStatusOne) {
  ProgramRun r = run("vexa-vlm", "generate --model " + shell_quoted(out_.file("none.vexa")) + " --prompt Hi");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "vexa: [2] I/O failed\n");
  // The option parser's refusal comes before the model is opened.
  r = run("vexa-vlm", "generate --model " + shell_quoted(model_) + " --prompt Hi --max-new-tokens 0");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "vexa: --max-new-tokens must be 1..8192\n");
  r = run("vexa-vlm", "");
  EXPECT_EQ(r.status, 2);
}

TEST_F(VlmProgram, GraphModelIsNamedAsNoGenerativeModel) {
  const std::string graph = out_.file("graph.vexa");
  testing::write_bytes(graph, vexa::testing::make_sample().bytes);
  for (const char* program : {"vexa-vlm generate", "vexa-chat"}) {
    const ProgramRun r = run(program, "--model " + shell_quoted(graph) + " --prompt Hi");
    EXPECT_EQ(r.status, 1) << program;
    EXPECT_EQ(r.out, "vexa: [3] Model is not a generative model\n") << program;
  }
}

TEST_F(VlmProgram, ChatRefusesASchemaPathThatIsNoRegularFile) {
  const std::string request = "--model " + shell_quoted(model_) + " --prompt Hi --json-schema ";
  for (const std::string& path : {out_.path(), std::string("/dev/zero")}) {
    const ProgramRun r = run("vexa-chat", request + shell_quoted(path));
    EXPECT_EQ(r.status, 1) << path;
    EXPECT_EQ(r.out, "vexa: cannot read JSON schema '" + path + "'\n");
  }
  const std::string fifo = out_.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const ProgramRun r = run("vexa-chat", request + shell_quoted(fifo));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "vexa: cannot read JSON schema '" + fifo + "'\n");
}

}  // namespace
}  // namespace vexa::tools
