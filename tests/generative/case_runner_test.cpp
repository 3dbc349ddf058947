// The case runner on the tiny model: greedy decoding against the numpy goldens, the finish
// reasons, key/value reuse across requests, cancellation and masks, trace files, file cases,
// and every refusal of a malformed case.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

#include "core/domain_error.h"
#include "core/atomics.h"
#include "generative/processor.h"
#include "generative/tensor_dump.h"
#include "platform/half.h"
#include "tests/generative/tiny_session.h"

namespace {

using namespace vexa;
using namespace vexa::testing;
using nlohmann::json;

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<float> read_f16_file(const std::string& path) {
  const std::vector<uint8_t> bytes = read_file(path);
  std::vector<float> out(bytes.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    uint16_t h;
    std::memcpy(&h, bytes.data() + 2 * i, 2);
    out[i] = f16_widen(h);
  }
  return out;
}

// The message of the DomainError a case raises, or "" when it runs.
std::string refusal(VXGraph& graph, const GenerationCase& c, const std::string* out = nullptr) {
  try {
    vlm_run_case(graph, c, nullptr, out, true);
  } catch (const DomainError& e) {
    return e.reason();
  }
  return "";
}

struct CaseRunner : ::testing::Test {
  HandlePtr handle = open_tiny();
  HostInputs host = golden_inputs(Activation::fp16);
  VXGraph& graph() { return *handle->session->graph; }
  const VXProcessor& processor() { return *handle->session->processor; }
  const std::vector<int64_t>& golden_tokens() {
    return tiny_goldens().goldens.run(VlmWeights::fp16, Activation::fp16)->tokens;
  }
  StreamInvocation invocation() {
    StreamInvocation inv{};
    inv.handle = handle.get();
    return inv;
  }
};

}  // namespace

TEST(CaseRunnerGoldens, GreedyTokensMatchTheReferenceAtBothPrecisions) {
  for (VlmWeights weights : {VlmWeights::fp16, VlmWeights::mixed_q8}) {
    for (Activation act : {Activation::fp16, Activation::fp32}) {
      HandlePtr h = open_tiny(weights, act == Activation::fp16 ? 1 : 0);
      ASSERT_NE(h, nullptr);
      const TinyVlmRun* golden = tiny_goldens().goldens.run(weights, act);
      ASSERT_NE(golden, nullptr);
      // Both the causal mask and the explicit n x n one.
      for (bool explicit_mask : {false, true}) {
        const HostInputs host = golden_inputs(act, explicit_mask);
        GenerationCase c = case_from_host(host, golden->tokens.size());
        const json r = vlm_run_case(*h->session->graph, c, nullptr, nullptr, true);
        EXPECT_EQ(ids_of(r), golden->tokens) << "mask " << explicit_mask;
        EXPECT_EQ(r.at("finish_reason"), "length");
        EXPECT_EQ(r.at("answer"), "");  // no processor, no text
        EXPECT_EQ(r.at("prompt_tokens"), tiny_goldens().prompt.input_ids.size());
      }
    }
  }
}

TEST_F(CaseRunner, ResultDocumentCarriesEveryKeyAndTheCacheCounters) {
  const uint64_t steps = 5;
  GenerationCase c = case_from_host(host, steps);
  c.name = "golden";
  const json r = vlm_run_case(graph(), c, nullptr, nullptr, true);
  for (const char* key : {"answer", "finish_reason", "token_log_probabilities", "name",
                          "prompt_tokens", "generated_token_ids", "runs", "kv_cache",
                          "input_prepare_ms", "input_tensor_ms", "input_tensor_stages_ms",
                          "case_wall_ms"}) {
    EXPECT_TRUE(r.contains(key)) << key;
  }
  EXPECT_EQ(r.size(), 12u);
  EXPECT_EQ(r.at("name"), "golden");
  EXPECT_EQ(r.at("token_log_probabilities").size(), steps);
  for (const json& lp : r.at("token_log_probabilities")) EXPECT_LE(lp.get<double>(), 0.0);
  ASSERT_EQ(r.at("runs").size(), steps);
  for (uint64_t s = 0; s < steps; ++s) {
    const json& run = r.at("runs")[s];
    EXPECT_EQ(run.size(), 10u);
    EXPECT_EQ(run.at("step"), s);
    EXPECT_EQ(run.at("token"), golden_tokens()[s]);
    EXPECT_TRUE(run.at("outputs").empty());
    EXPECT_GE(run.at("wall_ms").get<double>(), 0.0);
  }
  EXPECT_EQ(r.at("runs").back().at("decode_state_prepare_ms"), 0.0);
  EXPECT_EQ(r.at("input_tensor_ms").size(), host.size());
  EXPECT_EQ(r.at("input_tensor_stages_ms").at("input_ids").size(), 4u);

  const VlmModelDesc desc = tiny_vlm_desc(VlmWeights::fp16);
  const uint64_t n = tiny_goldens().prompt.input_ids.size();
  const uint64_t kv = desc.text.kv_heads * desc.text.head_dim;
  const json& cache = r.at("kv_cache");
  EXPECT_EQ(cache.size(), 7u);
  EXPECT_EQ(cache.at("policy"), "preallocated");
  EXPECT_EQ(cache.at("reused_prompt_tokens"), 0);
  EXPECT_EQ(cache.at("capacity_tokens"), n + steps);
  // One buffer per cache for the whole request; decode steps append in place.
  EXPECT_EQ(cache.at("buffers"), 2 * desc.text.layers);
  EXPECT_EQ(cache.at("appended_elements"), 2 * desc.text.layers * kv * (n + steps - 1));
  EXPECT_EQ(cache.at("copied_history_elements"), 0);
}

TEST_F(CaseRunner, FinishReasonsFromEosForcedTokensStopsAndCallbacks) {
  const std::vector<int64_t>& golden = golden_tokens();
  {
    GenerationCase c = case_from_host(host, 10);
    c.eos_token_ids = {golden[3]};
    const json r = vlm_run_case(graph(), c, nullptr, nullptr, true);
    EXPECT_EQ(r.at("finish_reason"), "eos");
    EXPECT_EQ(ids_of(r), std::vector<int64_t>(golden.begin(), golden.begin() + 4));
  }
  {
    // Forced tokens replace the sampled ones and switch the end-of-sequence test off.
    GenerationCase c = case_from_host(host, 3);
    c.forced_tokens = {7, golden[3], 9};
    c.eos_token_ids = {golden[3]};
    const json r = vlm_run_case(graph(), c, nullptr, nullptr, true);
    EXPECT_EQ(r.at("finish_reason"), "length");
    EXPECT_EQ(ids_of(r), (std::vector<int64_t>{7, golden[3], 9}));
    c.forced_tokens = {100000};
    EXPECT_EQ(refusal(graph(), c), "Forced token out of range");
  }
  {
    // With the processor the answer is the tokens' text, cut before a stop string.
    GenerationCase c = case_from_host(host, 12);
    c.processor = &processor();
    const json full = vlm_run_case(graph(), c, nullptr, nullptr, true);
    const std::string text = full.at("answer");
    EXPECT_EQ(text, processor().decode(std::span<const int64_t>(golden.data(), 12)));
    ASSERT_GE(text.size(), 8u);
    c.stop = {text.substr(4, 3)};
    const json stopped = vlm_run_case(graph(), c, nullptr, nullptr, true);
    EXPECT_EQ(stopped.at("finish_reason"), "stop_sequence");
    EXPECT_EQ(stopped.at("answer"), text.substr(0, text.find(c.stop[0])));
    EXPECT_LT(ids_of(stopped).size(), 12u);
  }
}

TEST_F(CaseRunner, CancelFlagAndMaskCallbackEndTheRequest) {
  StreamInvocation inv = invocation();
  {
    GenerationCase c = case_from_host(host, 6);
    c.invocation = &inv;
    atomic_store_u32(&handle->cancel, 1, kOrderSeqCst);
    const json r = vlm_run_case(graph(), c, nullptr, nullptr, true);
    atomic_store_u32(&handle->cancel, 0, kOrderSeqCst);
    EXPECT_EQ(r.at("finish_reason"), "cancelled");
    EXPECT_TRUE(ids_of(r).empty());
    EXPECT_TRUE(graph().cached_tokens().empty());
    EXPECT_TRUE(graph().cached_kv().empty());
  }
  struct MaskLog {
    std::vector<uint64_t> counts;
    int64_t only = -1;
    uint64_t stop_at = UINT64_MAX;
  } log;
  inv.mask_user_data = &log;
  inv.mask_callback = [](void* user, const int64_t*, uint64_t count, uint8_t* mask,
                         uint64_t vocab) {
    auto* l = static_cast<MaskLog*>(user);
    l->counts.push_back(count);
    if (count == l->stop_at) return 1;
    if (l->only >= 0 && static_cast<uint64_t>(l->only) < vocab) mask[l->only] = 1;
    return 0;
  };
  {
    // A zeroed mask with one id allowed forces that id at every step.
    log.only = 42;
    GenerationCase c = case_from_host(host, 3);
    c.invocation = &inv;
    const json r = vlm_run_case(graph(), c, nullptr, nullptr, true);
    EXPECT_EQ(ids_of(r), (std::vector<int64_t>{42, 42, 42}));
    EXPECT_EQ(log.counts, (std::vector<uint64_t>{0, 1, 2}));
    EXPECT_EQ(r.at("token_log_probabilities")[0], 0.0);
  }
  {
    // A callback that leaves the mask empty refuses the request; one that stops at step 0 ends
    // it with nothing generated.
    log.only = -1;
    GenerationCase c = case_from_host(host, 3);
    c.invocation = &inv;
    EXPECT_EQ(refusal(graph(), c), "Token mask excludes entire vocabulary");
    log.stop_at = 0;
    const json r = vlm_run_case(graph(), c, nullptr, nullptr, true);
    EXPECT_EQ(r.at("finish_reason"), "cancelled");
    EXPECT_TRUE(ids_of(r).empty());
    EXPECT_EQ(r.at("answer"), "");
  }
}

TEST_F(CaseRunner, StreamCallbackSeesTheAnswerAndMayStopIt) {
  struct Sink {
    std::string text;
    std::vector<int64_t> tags;
    uint64_t stop_after = UINT64_MAX;
  } sink;
  StreamInvocation inv = invocation();
  inv.user_data = &sink;
  inv.callback = [](void* user, const char* text, uint64_t length, int64_t tag) {
    auto* s = static_cast<Sink*>(user);
    s->text.append(text, length);
    s->tags.push_back(tag);
    return s->tags.size() >= s->stop_after ? 1 : 0;
  };
  GenerationCase c = case_from_host(host, 8);
  c.processor = &processor();
  c.invocation = &inv;
  const json r = vlm_run_case(graph(), c, nullptr, nullptr, true);
  EXPECT_EQ(sink.text, r.at("answer").get<std::string>());
  EXPECT_FALSE(sink.tags.empty());

  sink = Sink{};
  sink.stop_after = 2;
  const json stopped = vlm_run_case(graph(), c, nullptr, nullptr, true);
  EXPECT_EQ(stopped.at("finish_reason"), "cancelled");
  EXPECT_EQ(sink.text, stopped.at("answer").get<std::string>());
  // A request that ends cancelled leaves nothing to reuse.
  EXPECT_TRUE(graph().cached_tokens().empty());
}

TEST_F(CaseRunner, PrefixReuseSkipsTheSharedPromptAndKeepsTheLogits) {
  ScratchDir dir;
  StreamInvocation inv = invocation();
  const uint64_t n = tiny_goldens().prompt.input_ids.size();
  const std::vector<int64_t>& golden = golden_tokens();

  GenerationCase first = case_from_host(host, 4);
  first.invocation = &inv;
  first.trace = true;
  const std::string full_dir = dir.file("full");
  const json a = vlm_run_case(graph(), first, nullptr, &full_dir, true);
  EXPECT_EQ(a.at("kv_cache").at("reused_prompt_tokens"), 0);
  // The cache now holds the prompt and every generated token but the last.
  std::vector<int64_t> held = tiny_goldens().prompt.input_ids;
  held.insert(held.end(), golden.begin(), golden.begin() + 3);
  EXPECT_EQ(graph().cached_tokens(), held);

  // The same prompt again: everything but the last prompt token comes from the cache.
  const std::string again_dir = dir.file("again");
  const json b = vlm_run_case(graph(), first, nullptr, &again_dir, true);
  EXPECT_EQ(b.at("kv_cache").at("reused_prompt_tokens"), n - 1);
  EXPECT_EQ(ids_of(b), ids_of(a));
  const std::vector<float> full = read_f16_file(full_dir + "/step0/logits_last.bin");
  const std::vector<float> reused = read_f16_file(again_dir + "/step0/logits_last.bin");
  ASSERT_EQ(full.size(), reused.size());
  ASSERT_FALSE(full.empty());
  for (size_t i = 0; i < full.size(); ++i) {
    ASSERT_NEAR(full[i], reused[i], kTinyVlmLogitToleranceFp16) << i;
  }

  // A prompt that extends the cached tokens continues where the first request was: its first
  // token is the first request's fourth.
  HostInputs longer = host;
  std::vector<int64_t> ids = tiny_goldens().prompt.input_ids;
  ids.insert(ids.end(), golden.begin(), golden.begin() + 3);
  std::vector<int64_t> positions(ids.size());
  for (size_t i = 0; i < positions.size(); ++i) positions[i] = static_cast<int64_t>(i);
  auto put_i64 = [](HostInputs& inputs, const char* name, const std::vector<int64_t>& v) {
    HostTensor& t = inputs[name];
    t.shape = {1, v.size()};
    t.bytes.resize(v.size() * 8);
    std::memcpy(t.bytes.data(), v.data(), t.bytes.size());
  };
  put_i64(longer, "input_ids", ids);
  put_i64(longer, "position_ids", positions);
  first.trace = false;
  vlm_run_case(graph(), first, nullptr, nullptr, true);  // cache: prompt + 3 tokens
  GenerationCase extended = case_from_host(longer, 1);
  extended.invocation = &inv;
  const json e = vlm_run_case(graph(), extended, nullptr, nullptr, true);
  EXPECT_EQ(e.at("kv_cache").at("reused_prompt_tokens"), n + 2);
  EXPECT_EQ(ids_of(e), std::vector<int64_t>{golden[3]});

  // One changed pixel byte means another image: a full prefill.
  vlm_run_case(graph(), first, nullptr, nullptr, true);
  HostInputs other = host;
  other["pixel_values"].bytes[1000] ^= 1;
  GenerationCase changed = case_from_host(other, 2);
  changed.invocation = &inv;
  EXPECT_EQ(vlm_run_case(graph(), changed, nullptr, nullptr, true)
                .at("kv_cache").at("reused_prompt_tokens"), 0);

  // A shared prefix that ends before an image token reuses nothing.
  vlm_run_case(graph(), first, nullptr, nullptr, true);
  HostInputs early = host;
  std::vector<int64_t> early_ids = tiny_goldens().prompt.input_ids;
  early_ids[20] = 5;  // inside the image tokens
  put_i64(early, "input_ids", early_ids);
  GenerationCase diverging = case_from_host(early, 2);
  diverging.invocation = &inv;
  EXPECT_EQ(vlm_run_case(graph(), diverging, nullptr, nullptr, true)
                .at("kv_cache").at("reused_prompt_tokens"), 0);

  // Cases without an invocation never reuse and never store.
  vlm_run_case(graph(), first, nullptr, nullptr, true);
  GenerationCase file_like = case_from_host(host, 2);
  EXPECT_EQ(vlm_run_case(graph(), file_like, nullptr, nullptr, true)
                .at("kv_cache").at("reused_prompt_tokens"), 0);
  EXPECT_TRUE(graph().cached_tokens().empty());
}

// Each greedy log-probability is the log-softmax of the step's traced FP16 logits at the chosen
// id, summed here in double in id order; a case that asks for none gets the same tokens.
TEST_F(CaseRunner, GreedyLogProbabilitiesFollowTheLogitsAndMayBeLeftOut) {
  ScratchDir dir;
  const uint64_t steps = 4;
  GenerationCase c = case_from_host(host, steps);
  c.trace = true;
  const std::string out = dir.file("lp");
  const json with = vlm_run_case(graph(), c, nullptr, &out, true);
  const std::vector<int64_t> ids = ids_of(with);
  EXPECT_EQ(ids, std::vector<int64_t>(golden_tokens().begin(), golden_tokens().begin() + steps));
  const json& lps = with.at("token_log_probabilities");
  ASSERT_EQ(lps.size(), steps);
  for (uint64_t s = 0; s < steps; ++s) {
    const std::vector<float> logits =
        read_f16_file(out + "/step" + std::to_string(s) + "/logits_last.bin");
    ASSERT_FALSE(logits.empty());
    const float best = *std::max_element(logits.begin(), logits.end());
    EXPECT_EQ(logits[static_cast<size_t>(ids[s])], best) << "step " << s;
    double sum = 0.0;
    for (float v : logits) sum += std::exp(static_cast<double>(v) - best);
    EXPECT_EQ(lps[s].get<double>(), -std::log(sum)) << "step " << s;
  }

  GenerationCase quiet = case_from_host(host, steps);
  quiet.log_probabilities = false;
  const json without = vlm_run_case(graph(), quiet, nullptr, nullptr, true);
  EXPECT_EQ(ids_of(without), ids);
  EXPECT_TRUE(without.at("token_log_probabilities").empty());
  EXPECT_EQ(without.at("finish_reason"), with.at("finish_reason"));
  EXPECT_EQ(without.at("runs").size(), steps);
}

// Decode steps after a reused prefix with the explicit n x n mask: the mask row, the position
// and the caches move on as after a full prefill, so the tokens stay the goldens.
TEST_F(CaseRunner, ReusedPrefixWithAnExplicitMaskDecodesTheGoldenTokens) {
  const HostInputs masked = golden_inputs(Activation::fp16, true);
  StreamInvocation inv = invocation();
  const uint64_t steps = std::min<uint64_t>(golden_tokens().size(), 6);
  const std::vector<int64_t> want(golden_tokens().begin(), golden_tokens().begin() + steps);
  GenerationCase c = case_from_host(masked, steps);
  c.invocation = &inv;
  const json first = vlm_run_case(graph(), c, nullptr, nullptr, true);
  EXPECT_EQ(ids_of(first), want);
  for (int again = 0; again < 2; ++again) {
    const json reused = vlm_run_case(graph(), c, nullptr, nullptr, true);
    EXPECT_EQ(reused.at("kv_cache").at("reused_prompt_tokens"),
              tiny_goldens().prompt.input_ids.size() - 1);
    EXPECT_EQ(ids_of(reused), want) << "request " << again + 2;
  }
}

// What the graph keeps for the next request: the tokens whose keys and values the last run
// stored, whichever way the request ended, and nothing after a failure.
TEST_F(CaseRunner, TheReuseCacheHoldsTheLastRunsTokensAndNothingAfterAFailure) {
  StreamInvocation inv = invocation();
  const std::vector<int64_t>& golden = golden_tokens();
  ASSERT_GE(golden.size(), 3u);
  GenerationCase eos = case_from_host(host, 8);
  eos.invocation = &inv;
  eos.eos_token_ids = {golden[2]};
  const json ended = vlm_run_case(graph(), eos, nullptr, nullptr, true);
  EXPECT_EQ(ended.at("finish_reason"), "eos");
  std::vector<int64_t> held = tiny_goldens().prompt.input_ids;
  held.insert(held.end(), golden.begin(), golden.begin() + 2);
  EXPECT_EQ(graph().cached_tokens(), held);
  EXPECT_EQ(graph().cached_kv().size(), 2 * tiny_vlm_desc(VlmWeights::fp16).text.layers);

  GenerationCase forced = case_from_host(host, 4);
  forced.invocation = &inv;
  forced.forced_tokens = {golden[0], 1 << 30};
  EXPECT_EQ(refusal(graph(), forced), "Forced token out of range");
  EXPECT_TRUE(graph().cached_tokens().empty());
  EXPECT_TRUE(graph().cached_kv().empty());
  EXPECT_TRUE(graph().cached_pixels().empty());
}

TEST_F(CaseRunner, MalformedCasesAreRefusedWithTheirMessages) {
  GenerationCase c = case_from_host(host, 4);
  c.max_new_tokens = 0;
  EXPECT_EQ(refusal(graph(), c), "max_new_tokens must be 1..8192");
  c.max_new_tokens = 8193;
  EXPECT_EQ(refusal(graph(), c), "max_new_tokens must be 1..8192");

  const uint64_t n = tiny_goldens().prompt.input_ids.size();
  c.max_new_tokens = 2048 - n + 1;
  EXPECT_EQ(refusal(graph(), c), "Prompt plus output exceeds context budget");
  c.max_new_tokens = 4;
  c.context_length = n + 3;
  EXPECT_EQ(refusal(graph(), c), "Prompt plus output exceeds context budget");
  c.context_length = n + 4;  // exactly fits
  EXPECT_EQ(refusal(graph(), c), "");
  c.context_length = 0;

  GenerationCase missing = c;
  missing.inputs.erase("input_ids");
  EXPECT_EQ(refusal(graph(), missing), "Prompt plus output exceeds context budget");
  GenerationCase short_data = c;
  short_data.inputs["position_ids"].data = short_data.inputs["position_ids"].data.first(8);
  EXPECT_EQ(refusal(graph(), short_data), "Input data length");
  GenerationCase no_data = c;
  no_data.inputs["pixel_values"].has_data = false;
  EXPECT_EQ(refusal(graph(), no_data), "Input data length");

  // An explicit mask must be n x n of the activation type.
  HostInputs masked = golden_inputs(Activation::fp16, true);
  HostTensor& mask = masked["text_attention_mask"];
  mask.shape = {1, 1, n - 1, n};
  mask.bytes.resize(static_cast<size_t>((n - 1) * n * 2));
  EXPECT_EQ(refusal(graph(), case_from_host(masked, 2)), "Initial attention mask");
  HostInputs wide = golden_inputs(Activation::fp32, true);
  EXPECT_EQ(refusal(graph(), case_from_host(wide, 2)), "Initial attention mask");
  HostInputs f16_ids = host;
  f16_ids["input_ids"].dtype = 1;
  f16_ids["input_ids"].bytes.resize(n * 2);
  EXPECT_EQ(refusal(graph(), case_from_host(f16_ids, 2)), "Missing/invalid input input_ids");

  GenerationCase stops = c;
  stops.processor = &processor();
  stops.stop = {"ok", ""};
  EXPECT_EQ(refusal(graph(), stops), "Invalid stop sequence");
  GenerationCase sampling = c;
  sampling.sampling = {{"temperature", -1.0}};
  EXPECT_EQ(refusal(graph(), sampling), "Invalid sampling parameters");
  GenerationCase bad_dtype = c;
  bad_dtype.inputs["position_ids"].dtype = 9;
  EXPECT_NE(refusal(graph(), bad_dtype), "");

  // Tracing needs a folder it can make.
  ScratchDir dir;
  std::ofstream(dir.file("plain")) << "x";
  GenerationCase traced = c;
  traced.trace = true;
  EXPECT_EQ(refusal(graph(), traced), "Trace directory");
  const std::string under_file = dir.file("plain") + "/out";
  EXPECT_EQ(refusal(graph(), c, &under_file), "Output directory");
  // The session stays usable after every refusal.
  EXPECT_EQ(ids_of(vlm_run_case(graph(), case_from_host(host, 2), nullptr, nullptr, true)),
            std::vector<int64_t>(golden_tokens().begin(), golden_tokens().begin() + 2));
}

TEST_F(CaseRunner, FileCasesReadTheirInputsAndWriteTraces) {
  ScratchDir dir;
  GenerationCase c;
  c.max_new_tokens = 2;
  c.sampling = {{"temperature", 0.0}};
  c.captures = {"vision", "text.0"};
  c.trace = true;
  for (const auto& [name, t] : host) {
    CaseInput in;
    in.shape = t.shape;
    in.dtype = t.dtype;
    in.file = vlm_dump_file_name(name);
    std::ofstream(dir.file(in.file), std::ios::binary)
        .write(reinterpret_cast<const char*>(t.bytes.data()), static_cast<std::streamsize>(t.bytes.size()));
    c.inputs[name] = in;
  }
  const std::string base = dir.path();
  const std::string out = dir.file("out");
  const json r = vlm_run_case(graph(), c, &base, &out, false);
  EXPECT_EQ(ids_of(r), std::vector<int64_t>(golden_tokens().begin(), golden_tokens().begin() + 2));
  const json& step0 = r.at("runs")[0].at("outputs");
  ASSERT_TRUE(step0.contains("logits_last"));
  EXPECT_EQ(step0.at("logits_last").at("file"), "logits_last.bin");
  const uint64_t v = step0.at("logits_last").at("shape")[2];
  EXPECT_EQ(read_file(out + "/step0/logits_last.bin").size(), v * 2);
  // Captures are cut to their first eight positions, per index of dimension 0.
  ASSERT_TRUE(step0.contains("boundary/text.0"));
  EXPECT_EQ(step0.at("boundary/text.0").at("file"), "boundary_text.0.bin");
  EXPECT_EQ(step0.at("boundary/text.0").at("shape")[1], 8);
  const VlmModelDesc desc = tiny_vlm_desc(VlmWeights::fp16);
  EXPECT_EQ(read_file(out + "/step0/boundary_text.0.bin").size(), 8 * desc.text.hidden * 2);
  ASSERT_TRUE(step0.contains("past_key.0"));
  const uint64_t n = tiny_goldens().prompt.input_ids.size();
  EXPECT_EQ(read_file(out + "/step1/past_key.0.bin").size(),
            desc.text.kv_heads * (n + 1) * desc.text.head_dim * 2);
  EXPECT_TRUE(r.at("runs")[1].at("outputs").contains("logits_last"));
  EXPECT_FALSE(r.at("runs")[1].at("outputs").contains("boundary/text.0"));

  // A non-finite element in a floating-point input file is refused.
  std::vector<uint8_t> pixels = host.at("pixel_values").bytes;
  pixels[2 * 77] = 0x00;
  pixels[2 * 77 + 1] = 0x7C;  // +infinity
  std::ofstream(dir.file("bad.bin"), std::ios::binary)
      .write(reinterpret_cast<const char*>(pixels.data()), static_cast<std::streamsize>(pixels.size()));
  c.inputs["pixel_values"].file = "bad.bin";
  c.trace = false;
  try {
    vlm_run_case(graph(), c, &base, nullptr, false);
    ADD_FAILURE() << "non-finite input accepted";
  } catch (const DomainError& e) {
    EXPECT_STREQ(e.reason(), "Input contains nonfinite values");
  }
  c.inputs["pixel_values"].file = "missing.bin";
  EXPECT_THROW(vlm_run_case(graph(), c, &base, nullptr, false), DomainError);
}
