// Generative requests through the C API on the tiny test model, with the real engine: greedy
// answers against the numpy reference's tokens, seeded sampling, prefix reuse, streaming,
// finish reasons, cancellation from another thread, a second request while one runs, every
// allocation failing in turn, and malformed requests and models.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "api/api_alloc.h"
#include "api/api_test_util.h"
#include "api/session_test_util.h"
#include "tests/support/tiny_vlm.h"
#include "tests/support/vlm_model.h"

using namespace vexa_test;
using vexa::testing::VlmWeights;

namespace {

constexpr char kGoldenText[] = "Describe this picture.";

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> tiny_bytes(const vexa::testing::VlmModelDesc& desc) {
  std::vector<uint8_t> bytes;
  vexa::testing::VlmModelInfo info;
  std::string error;
  if (!vexa::testing::write_vlm_model(desc, &bytes, &info, &error)) ADD_FAILURE() << error;
  return bytes;
}

// The tiny model with its end-of-sequence ids replaced (to make a golden token end the answer).
std::vector<uint8_t> tiny_bytes_with_eos(std::vector<int64_t> eos) {
  vexa::testing::VlmModelDesc desc = vexa::testing::tiny_vlm_desc(VlmWeights::fp16);
  std::vector<vexa::testing::AuxBlob> assets;
  vexa::testing::VlmModelInfo info;
  std::string error;
  EXPECT_TRUE(vexa::testing::make_vlm_assets(desc, &assets, &info, &error)) << error;
  for (auto& a : assets) {
    if (a.name != "generation_config.json") continue;
    nlohmann::json g = nlohmann::json::parse(a.blob);
    g["eos_token_id"] = eos;
    a.blob = g.dump();
  }
  desc.assets = assets;
  return tiny_bytes(desc);
}

struct Golden {
  vexa::testing::TinyVlmPrompt prompt;
  vexa::testing::TinyVlmGoldens goldens;
  std::vector<std::string> token_text;  // each id's bytes, from tokenizer.json's vocabulary
};

// The reference's tokens and an independent decoder: tokenizer.json's vocabulary read here,
// each symbol mapped back to its byte through GPT-2's byte alphabet.
const Golden& golden() {
  static const Golden g = [] {
    Golden out;
    std::string error;
    EXPECT_TRUE(vexa::testing::load_tiny_vlm_prompt(&out.prompt, &error) &&
                vexa::testing::load_tiny_vlm_goldens(&out.goldens, &error))
        << error;
    vexa::testing::VlmModelInfo info;
    std::vector<vexa::testing::AuxBlob> assets;
    EXPECT_TRUE(vexa::testing::make_vlm_assets(vexa::testing::tiny_vlm_desc(VlmWeights::fp16),
                                               &assets, &info, &error));
    std::map<std::string, uint8_t> byte_of;
    for (int b = 0; b < 256; ++b) byte_of[vexa::testing::byte_symbol(static_cast<uint8_t>(b))] = static_cast<uint8_t>(b);
    const nlohmann::json tok = nlohmann::json::parse(info.tokenizer.json);
    for (const auto& [symbol, id] : tok.at("model").at("vocab").items()) {
      const auto i = id.get<size_t>();
      if (out.token_text.size() <= i) out.token_text.resize(i + 1);
      std::string bytes;
      for (size_t p = 0; p < symbol.size();) {
        const size_t len = (static_cast<uint8_t>(symbol[p]) < 0x80) ? 1 : 2;
        bytes.push_back(static_cast<char>(byte_of.at(symbol.substr(p, len))));
        p += len;
      }
      out.token_text[i] = bytes;
    }
    return out;
  }();
  return g;
}

std::string reference_text(vexa::testing::Activation act, size_t n) {
  const auto& tokens = golden().goldens.run(VlmWeights::fp16, act)->tokens;
  std::string text;
  for (size_t i = 0; i < n; ++i) text += golden().token_text.at(static_cast<size_t>(tokens[i]));
  return text;
}

std::string text_of(const vexa_output* o) {
  return std::string(vexa_output_text_ptr(o), vexa_output_text_len(o));
}

struct TinyModel {
  TempDir dir;
  std::string path = dir.file("tiny.vexa");
  TinyModel() { write_file(path, tiny_bytes(vexa::testing::tiny_vlm_desc(VlmWeights::fp16))); }
};

const std::string& tiny_path() {
  static TinyModel model;
  return model.path;
}

struct EngineSession : ::testing::Test {
  SessionPtr s = new_session();
  FramePtr frame = new_frame();
  std::vector<uint8_t> rgb = vexa::testing::tiny_vlm_view_rgb();

  void SetUp() override {
    vexa_session_set_activation_fp16(s.get(), 1);
    ASSERT_EQ(open_path(s.get(), tiny_path()), 1) << session_message(s.get());
    ASSERT_EQ(vexa_frame_set_pixels(frame.get(), rgb.data(), rgb.size(), 512, 512, 512 * 3, 1, 1, 0), 1);
  }
  // The goldens' request: the image and its text, greedy.
  InputPtr golden_input(uint32_t max_tokens) {
    InputPtr in = new_input();
    vexa_input_set_prompt(in.get(), kGoldenText, sizeof kGoldenText - 1);
    vexa_input_set_frame(in.get(), frame.get());
    vexa_input_set_max_tokens(in.get(), max_tokens);
    vexa_input_set_temperature(in.get(), 0.0f);
    return in;
  }
  std::string run_text(const vexa_input* in, vexa_output* out) {
    EXPECT_EQ(vexa_session_run(s.get(), in, out), 1) << session_message(s.get());
    return text_of(out);
  }
};

}  // namespace

TEST_F(EngineSession, GreedyAnswerIsTheReferenceAndPrefixReuseKeepsIt) {
  InputPtr in = golden_input(17);
  OutputPtr out = new_output();
  EXPECT_EQ(run_text(in.get(), out.get()), reference_text(vexa::testing::Activation::fp16, 17));
  EXPECT_EQ(vexa_output_finish_reason(out.get()), 3u);
  EXPECT_EQ(vexa_output_prompt_tokens(out.get()), golden().prompt.input_ids.size());
  EXPECT_EQ(vexa_output_generated_tokens(out.get()), 17u);
  EXPECT_EQ(vexa_output_cached_prompt_tokens(out.get()), 0u);
  EXPECT_EQ(vexa_output_backend_used(out.get()), VEXA_BACKEND_GPU);
  EXPECT_GT(vexa_output_latency_ms(out.get()), 0.0);

  // Again: every prompt token but the last comes from the cache; the answer is the same.
  OutputPtr again = new_output();
  EXPECT_EQ(run_text(in.get(), again.get()), text_of(out.get()));
  EXPECT_EQ(vexa_output_cached_prompt_tokens(again.get()), golden().prompt.input_ids.size() - 1);
  ASSERT_EQ(vexa_session_reset(s.get()), 1);
  OutputPtr fresh = new_output();
  EXPECT_EQ(run_text(in.get(), fresh.get()), text_of(out.get()));
  EXPECT_EQ(vexa_output_cached_prompt_tokens(fresh.get()), 0u);

  // FP32 activations follow their own reference.
  SessionPtr fp32 = new_session();
  ASSERT_EQ(open_path(fp32.get(), tiny_path()), 1);
  OutputPtr out32 = new_output();
  ASSERT_EQ(vexa_session_run(fp32.get(), in.get(), out32.get()), 1) << session_message(fp32.get());
  EXPECT_EQ(text_of(out32.get()), reference_text(vexa::testing::Activation::fp32, 17));
}

TEST_F(EngineSession, SeededSamplingRepeatsAndStreamingAddsUpToTheAnswer) {
  InputPtr in = golden_input(12);
  vexa_input_set_temperature(in.get(), 0.8f);
  vexa_input_set_top_k(in.get(), 40);
  vexa_input_set_seed(in.get(), 2024);
  OutputPtr out = new_output();
  const std::string first = run_text(in.get(), out.get());
  ASSERT_EQ(vexa_session_reset(s.get()), 1);
  EXPECT_EQ(run_text(in.get(), out.get()), first);
  vexa_input_set_seed(in.get(), 7);
  ASSERT_EQ(vexa_session_reset(s.get()), 1);
  EXPECT_NE(run_text(in.get(), out.get()), first);

  // Streaming the seeded request gives the same text, delta by delta.
  vexa_input_set_seed(in.get(), 2024);
  ASSERT_EQ(vexa_session_reset(s.get()), 1);
  ASSERT_EQ(vexa_session_start(s.get(), in.get(), out.get()), 1) << session_message(s.get());
  std::string joined;
  int deltas = 0;
  int32_t r;
  while ((r = vexa_session_next(s.get(), out.get())) == 1) {
    joined += text_of(out.get());
    ++deltas;
    EXPECT_EQ(std::string(vexa_output_full_text_ptr(out.get()), vexa_output_full_text_len(out.get())),
              joined);
    EXPECT_EQ(vexa_output_finish_reason(out.get()), 0u);
  }
  EXPECT_EQ(r, 0);
  EXPECT_EQ(joined, first);
  EXPECT_GE(deltas, 2);
  EXPECT_EQ(vexa_output_finish_reason(out.get()), 3u);
  EXPECT_EQ(vexa_output_generated_tokens(out.get()), 12u);
  EXPECT_EQ(vexa_session_error_code(s.get()), 0u);
}

TEST_F(EngineSession, StopStringsEndOfSequenceAndLength) {
  const std::string reference = reference_text(vexa::testing::Activation::fp16, 10);
  ASSERT_GE(reference.size(), 6u);
  const std::string stop = reference.substr(3, 3);
  InputPtr in = golden_input(10);
  vexa_input_add_stop(in.get(), stop.data(), stop.size());
  OutputPtr out = new_output();
  EXPECT_EQ(run_text(in.get(), out.get()), reference.substr(0, reference.find(stop)));
  EXPECT_EQ(vexa_output_finish_reason(out.get()), 2u);

  // A model whose end-of-sequence id is the reference's third token stops there; that
  // token's text is part of the answer.
  TempDir dir;
  const auto& tokens = golden().goldens.run(VlmWeights::fp16, vexa::testing::Activation::fp16)->tokens;
  write_file(dir.file("eos.vexa"), tiny_bytes_with_eos({tokens[2]}));
  SessionPtr eos = new_session();
  vexa_session_set_activation_fp16(eos.get(), 1);
  ASSERT_EQ(open_path(eos.get(), dir.file("eos.vexa")), 1) << session_message(eos.get());
  InputPtr plain = golden_input(10);
  ASSERT_EQ(vexa_session_run(eos.get(), plain.get(), out.get()), 1) << session_message(eos.get());
  EXPECT_EQ(vexa_output_finish_reason(out.get()), 1u);
  EXPECT_EQ(vexa_output_generated_tokens(out.get()), 3u);
  EXPECT_EQ(text_of(out.get()), reference_text(vexa::testing::Activation::fp16, 3));
}

TEST_F(EngineSession, ConstrainedAnswersParseAndFollowTheSchema) {
  InputPtr in = new_input();
  const std::string prompt = "List one item as JSON.";
  vexa_input_set_prompt(in.get(), prompt.data(), prompt.size());
  vexa_input_set_max_tokens(in.get(), 96);
  vexa_input_set_temperature(in.get(), 0.0f);
  const std::string schema =
      R"({"type":"object","properties":{"label":{"type":"string","maxLength":8},)"
      R"("score":{"type":"number"},"tags":{"type":"array","items":{"type":"boolean"},"maxItems":3}},)"
      R"("required":["label","score","tags"],"additionalProperties":false})";
  vexa_input_set_json_schema(in.get(), schema.data(), schema.size());
  OutputPtr out = new_output();
  const std::string answer = run_text(in.get(), out.get());
  nlohmann::json doc;
  ASSERT_NO_THROW(doc = nlohmann::json::parse(answer)) << answer;
  ASSERT_TRUE(doc.is_object()) << answer;
  EXPECT_EQ(doc.size(), 3u);
  ASSERT_TRUE(doc.at("label").is_string());
  EXPECT_LE(doc.at("label").get<std::string>().size(), 8u);
  EXPECT_TRUE(doc.at("score").is_number());
  ASSERT_TRUE(doc.at("tags").is_array());
  EXPECT_LE(doc.at("tags").size(), 3u);
  for (const auto& t : doc.at("tags")) EXPECT_TRUE(t.is_boolean());

  // Amounts: no leading whitespace, exactly the asked decimals.
  InputPtr amount = new_input();
  vexa_input_set_prompt(amount.get(), prompt.data(), prompt.size());
  vexa_input_set_max_tokens(amount.get(), 24);
  vexa_input_set_amount_decimals(amount.get(), 3);
  const std::string value = run_text(amount.get(), out.get());
  ASSERT_FALSE(value.empty());
  EXPECT_NE(value.front(), ' ');
  const size_t point = value.find('.');
  ASSERT_NE(point, std::string::npos) << value;
  EXPECT_EQ(value.size() - point - 1, 3u) << value;
}

TEST_F(EngineSession, CancelFromAnotherThreadAndASecondRequestWhileOneRuns) {
  for (bool streaming : {false, true}) {
    InputPtr in = golden_input(1800);
    OutputPtr out = new_output();
    std::atomic<int32_t> result{-2};
    std::thread worker([&] {
      result = streaming ? vexa_session_start(s.get(), in.get(), out.get())
                         : vexa_session_run(s.get(), in.get(), out.get());
    });
    // Wait until the request holds the session (read without taking it): a second request is
    // refused at once.
    InputPtr second = golden_input(2);
    OutputPtr second_out = new_output();
    bool running = false;
    for (int i = 0; i < 200000 && !running && result == -2; ++i) {
      running = __atomic_load_n(&rec(s.get())->busy, __ATOMIC_ACQUIRE) != 0;
      if (!running) std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    EXPECT_TRUE(running) << "the request ended before it could be cancelled: " << result.load();
    EXPECT_EQ(vexa_session_run(s.get(), second.get(), second_out.get()), 0);
    EXPECT_EQ(vexa_session_error_code(s.get()), 9u);
    EXPECT_EQ(session_message(s.get()), "Session is already executing an operation");
    vexa_session_cancel(s.get());
    worker.join();
    if (streaming) {
      // A cancelled start succeeds; the first next reports the cancellation.
      EXPECT_EQ(result, 1);
      EXPECT_EQ(vexa_session_next(s.get(), out.get()), 0);
      EXPECT_EQ(vexa_output_finish_reason(out.get()), 4u);
      EXPECT_EQ(vexa_session_error_code(s.get()), 10u);
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(vexa_session_error_code(s.get()), 10u);
      EXPECT_EQ(session_message(s.get()), "Generation was cancelled");
    }
    // The session goes on; the cancelled request left nothing to reuse.
    ASSERT_EQ(vexa_session_reset(s.get()), 1);
    OutputPtr after = new_output();
    EXPECT_EQ(run_text(second.get(), after.get()), reference_text(vexa::testing::Activation::fp16, 2));
    EXPECT_EQ(vexa_output_cached_prompt_tokens(after.get()), 0u);
  }
}

// One thread reads the stream while another keeps starting new ones on the same session. A start
// frees and refills the chunk store, so each next either hands out a whole delta of the answer or
// is refused while a start holds the session; it never copies a chunk being freed (this suite
// also runs under ThreadSanitizer, which reports such a read).
TEST_F(EngineSession, StreamReadsWhileStartsRunOnAnotherThread) {
  InputPtr in = new_input();
  vexa_input_set_prompt(in.get(), "Hi", 2);
  vexa_input_set_max_tokens(in.get(), 3);
  vexa_input_set_temperature(in.get(), 0.0f);
  // The greedy answer's deltas, read with nothing else running: every stream repeats them.
  std::vector<std::string> deltas;
  {
    OutputPtr out = new_output();
    ASSERT_EQ(vexa_session_start(s.get(), in.get(), out.get()), 1) << session_message(s.get());
    while (vexa_session_next(s.get(), out.get()) == 1) deltas.push_back(text_of(out.get()));
  }
  ASSERT_FALSE(deltas.empty());

  // A dozen starts against a few hundred reads, paced so that each side gets the session often:
  // the writer pauses after each start, the reader waits longer after a refusal.
  constexpr int kStarts = 12;
  constexpr int kMaxReads = 600;
  std::atomic<bool> writing{true};
  int started = 0;
  std::thread writer([&] {
    OutputPtr out = new_output();
    for (int i = 0; i < kStarts; ++i) {
      started += vexa_session_start(s.get(), in.get(), out.get());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    writing = false;
  });
  OutputPtr out = new_output();
  int unexpected = 0;
  for (int i = 0; i < kMaxReads && writing.load(); ++i) {
    const int32_t r = vexa_session_next(s.get(), out.get());
    bool refused = false;
    if (r == 1) {
      const std::string delta = text_of(out.get());
      EXPECT_EQ(std::strlen(vexa_output_text_ptr(out.get())), delta.size());
      if (std::find(deltas.begin(), deltas.end(), delta) == deltas.end()) ++unexpected;
    } else if (r == -1) {
      // 9: a start holds the session. 1: the last stream was read to its end and the next start
      // has not begun. 0: a start that succeeded since then cleared the error.
      const uint32_t code = vexa_session_error_code(s.get());
      EXPECT_TRUE(code == 9 || code == 1 || code == 0) << code;
      refused = code == 9;
    } else {
      EXPECT_EQ(r, 0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(refused ? 1000 : 50));
  }
  writer.join();
  EXPECT_EQ(unexpected, 0);
  EXPECT_GT(started, 0);
  // Whatever the interleaving, the session is free and the last stream reads whole.
  EXPECT_EQ(__atomic_load_n(&rec(s.get())->busy, __ATOMIC_ACQUIRE), 0u);
  ASSERT_EQ(vexa_session_start(s.get(), in.get(), out.get()), 1) << session_message(s.get());
  std::vector<std::string> last;
  while (vexa_session_next(s.get(), out.get()) == 1) last.push_back(text_of(out.get()));
  EXPECT_EQ(last, deltas);
}

TEST_F(EngineSession, EveryAllocationFailingInTurnGivesACleanCode) {
  InputPtr in = new_input();
  vexa_input_set_prompt(in.get(), "Hi", 2);
  vexa_input_set_max_tokens(in.get(), 2);
  vexa_input_set_temperature(in.get(), 0.0f);
  OutputPtr clean = new_output();
  const std::string expected = run_text(in.get(), clean.get());
  int failures = 0;
  for (int64_t n = 1;; ++n) {
    ASSERT_EQ(vexa_session_reset(s.get()), 1);
    OutputPtr out = new_output();
    vexa::api_test_fail_allocation(n);
    const int32_t ok = vexa_session_run(s.get(), in.get(), out.get());
    vexa::api_test_fail_allocation(0);
    if (ok == 1) {
      EXPECT_EQ(text_of(out.get()), expected);
      break;
    }
    ASSERT_LT(n, 200);
    ++failures;
    EXPECT_EQ(vexa_session_error_code(s.get()), 7u) << n << ": " << session_message(s.get());
  }
  EXPECT_GE(failures, 4);

  // Streaming: a failed copy of a delta is an error of that next call, never a crash.
  for (int64_t n = 1; n < 40; ++n) {
    ASSERT_EQ(vexa_session_reset(s.get()), 1);
    OutputPtr out = new_output();
    vexa::api_test_fail_allocation(n);
    const int32_t started = vexa_session_start(s.get(), in.get(), out.get());
    int32_t r = 1;
    while (started == 1 && (r = vexa_session_next(s.get(), out.get())) == 1) {
    }
    vexa::api_test_fail_allocation(0);
    if (started == 0 || r == -1) {
      EXPECT_EQ(vexa_session_error_code(s.get()), 7u) << n;
    }
  }

  // Opening, with each allocation failing in turn.
  for (int64_t n = 1;; ++n) {
    SessionPtr fresh = new_session();
    vexa::api_test_fail_allocation(n);
    const int32_t ok = open_path(fresh.get(), tiny_path());
    vexa::api_test_fail_allocation(0);
    if (ok == 1) break;
    ASSERT_LT(n, 200);
    EXPECT_EQ(vexa_session_error_code(fresh.get()), 7u) << n << ": " << session_message(fresh.get());
  }
}

TEST_F(EngineSession, MalformedRequestsAreRefusedAndTheSessionGoesOn) {
  struct Case {
    const char* what;
    std::function<void(vexa_input*)> edit;
    uint32_t code;
  };
  const std::string bad_utf8 = "caf\xc3";
  const Case cases[] = {
      {"no prompt", [](vexa_input* in) { vexa_input_set_prompt(in, "", 0); }, 1},
      {"invalid UTF-8", [&](vexa_input* in) { vexa_input_set_prompt(in, bad_utf8.data(), bad_utf8.size()); }, 1},
      {"max tokens over the context", [](vexa_input* in) { vexa_input_set_max_tokens(in, 4096); }, 1},
      {"prompt plus output over the context", [](vexa_input* in) { vexa_input_set_max_tokens(in, 2000); }, 6},
      {"top_p 0", [](vexa_input* in) { vexa_input_set_top_p(in, 0.0f); }, 1},
      {"negative temperature", [](vexa_input* in) { vexa_input_set_temperature(in, -1.0f); }, 1},
      {"schema not JSON", [](vexa_input* in) { vexa_input_set_json_schema(in, "{\"type\":", 8); }, 1},
      {"schema with stops", [](vexa_input* in) {
         vexa_input_set_json_schema(in, "{\"type\":\"boolean\"}", 18);
         vexa_input_add_stop(in, "x", 1);
       }, 1},
      {"tile size out of range", [](vexa_input* in) { vexa_input_set_image_tiled(in, 1, 9000); }, 1},
  };
  for (const Case& c : cases) {
    InputPtr in = golden_input(3);
    c.edit(in.get());
    OutputPtr out = new_output();
    EXPECT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 0) << c.what;
    EXPECT_EQ(vexa_session_error_code(s.get()), c.code) << c.what << ": " << session_message(s.get());
    EXPECT_NE(session_message(s.get()), "") << c.what;
  }
  InputPtr ok = golden_input(2);
  OutputPtr out = new_output();
  EXPECT_EQ(run_text(ok.get(), out.get()), reference_text(vexa::testing::Activation::fp16, 2));

  // A session with a small context: the image alone does not fit.
  SessionPtr small = new_session();
  vexa_session_set_context_length(small.get(), 64);
  ASSERT_EQ(open_path(small.get(), tiny_path()), 1);
  EXPECT_EQ(vexa_session_run(small.get(), ok.get(), out.get()), 0);
  EXPECT_EQ(vexa_session_error_code(small.get()), 6u) << session_message(small.get());

  // Unloaded: refused; reloaded: answers again.
  ASSERT_EQ(vexa_session_unload(s.get()), 1);
  EXPECT_EQ(vexa_session_run(s.get(), ok.get(), out.get()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 1u);
  EXPECT_EQ(vexa_session_reset(s.get()), 1);
  ASSERT_EQ(vexa_session_reload(s.get()), 1) << session_message(s.get());
  EXPECT_EQ(run_text(ok.get(), out.get()), reference_text(vexa::testing::Activation::fp16, 2));
}

TEST(EngineOpen, MalformedModelsAndSettings) {
  TempDir dir;
  const std::vector<uint8_t> bytes = tiny_bytes(vexa::testing::tiny_vlm_desc(VlmWeights::fp16));
  std::vector<uint8_t> truncated(bytes.begin(), bytes.end() - 100);
  write_file(dir.file("truncated.vexa"), truncated);
  SessionPtr s = new_session();
  EXPECT_EQ(open_path(s.get(), dir.file("truncated.vexa")), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 3u);

  // Broken processor documents: refused as an invalid model.
  vexa::testing::VlmModelDesc desc = vexa::testing::tiny_vlm_desc(VlmWeights::fp16);
  std::vector<vexa::testing::AuxBlob> assets;
  vexa::testing::VlmModelInfo info;
  std::string error;
  ASSERT_TRUE(vexa::testing::make_vlm_assets(desc, &assets, &info, &error));
  assets[0].blob = "{\"broken\": ";
  desc.assets = assets;
  write_file(dir.file("assets.vexa"), tiny_bytes(desc));
  EXPECT_EQ(open_path(s.get(), dir.file("assets.vexa")), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 3u);
  EXPECT_NE(session_message(s.get()), "");

  // Generative models run on the GPU engine only: NPU is refused.
  write_file(dir.file("good.vexa"), bytes);
  SessionPtr npu = new_session(VEXA_BACKEND_NPU);
  EXPECT_EQ(open_path(npu.get(), dir.file("good.vexa")), 0);
  EXPECT_EQ(vexa_session_error_code(npu.get()), 12u);

  // A configured cache directory does not get in the way of opening (the engine takes a
  // backend policy where the session once passed the folder).
  ConfigPtr config(vexa_config_new());
  const std::string cache = dir.path();
  vexa_config_set_cache_dir(config.get(), cache.data(), cache.size());
  vexa_config_set_verify_weights(config.get(), 1);
  SessionPtr cached(vexa_session_new(config.get()));
  ASSERT_EQ(open_path(cached.get(), dir.file("good.vexa")), 1) << session_message(cached.get());
  EXPECT_EQ(vexa_session_is_generative(cached.get()), 1);
  EXPECT_EQ(vexa_session_active_backend(cached.get()), VEXA_BACKEND_GPU);

  // By descriptor range, after other bytes in the same file.
  std::vector<uint8_t> padded(4096 + bytes.size(), 0x11);
  std::copy(bytes.begin(), bytes.end(), padded.begin() + 4096);
  write_file(dir.file("padded.bin"), padded);
  const int fd = ::open(dir.file("padded.bin").c_str(), O_RDONLY);
  SessionPtr by_fd = new_session();
  ASSERT_EQ(vexa_session_open_fd(by_fd.get(), fd, 4096, bytes.size()), 1) << session_message(by_fd.get());
  ::close(fd);
  InputPtr in = new_input();
  vexa_input_set_prompt(in.get(), "Hi", 2);
  vexa_input_set_max_tokens(in.get(), 2);
  OutputPtr out = new_output();
  EXPECT_EQ(vexa_session_run(by_fd.get(), in.get(), out.get()), 1) << session_message(by_fd.get());
  EXPECT_EQ(vexa_session_unload(by_fd.get()), 1);
  EXPECT_EQ(vexa_session_reload(by_fd.get()), 1) << session_message(by_fd.get());
  EXPECT_EQ(vexa_session_run(by_fd.get(), in.get(), out.get()), 1) << session_message(by_fd.get());
}
