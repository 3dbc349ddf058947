// The tiny vision-language model through the graph executor, prefill plus every decode step of
// the committed numpy goldens, driven as the generation loop drives it: the "cache" result of
// one run is fed back as the past inputs of the next, with a cache capacity set so decode steps
// append in place. Every backend policy, both activation precisions, FP16 and mixed q8 weights.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>

#include "tests/gpu/vx_graph_test_util.h"

namespace {

using namespace vx_test;
using vexa::testing::Activation;
using vexa::testing::VlmWeights;

struct Goldens {
  vexa::testing::TinyVlmPrompt prompt;
  vexa::testing::TinyVlmGoldens goldens;
  bool ok = false;
};

const Goldens& goldens() {
  static Goldens g = [] {
    Goldens out;
    std::string error;
    out.ok = vexa::testing::load_tiny_vlm_prompt(&out.prompt, &error) &&
             vexa::testing::load_tiny_vlm_goldens(&out.goldens, &error);
    if (!out.ok) ADD_FAILURE() << error;
    return out;
  }();
  return g;
}

int64_t argmax(const std::vector<float>& v) {
  return static_cast<int64_t>(std::max_element(v.begin(), v.end()) - v.begin());
}

// Runs prefill and the decode steps; checks every step's logits and greedy token.
void run_goldens(VlmWeights weights, Activation activation, const std::string& backend,
                 bool explicit_mask) {
  const Goldens& g = goldens();
  ASSERT_TRUE(g.ok);
  const vexa::testing::TinyVlmRun* golden = g.goldens.run(weights, activation);
  ASSERT_NE(golden, nullptr);
  LoadedModel model;
  ASSERT_NO_FATAL_FAILURE(model.load(tiny_model_bytes(weights)));
  const uint64_t act = activation == Activation::fp16 ? 1 : 2;
  std::unique_ptr<VXGraph> graph = model.graph(act);
  graph->configure({{"backend", backend}});
  const uint64_t steps = g.prompt.decode_steps;
  const uint64_t prompt_len = g.prompt.input_ids.size();
  graph->set_cache_capacity(prompt_len + steps);
  const double tolerance = activation == Activation::fp16
                               ? vexa::testing::kTinyVlmLogitToleranceFp16
                               : vexa::testing::kTinyVlmLogitToleranceFp32;
  const vexa::testing::VlmModelDesc desc = vexa::testing::tiny_vlm_desc(weights);

  VXTensorMap inputs = upload_all(
      *graph, vexa::testing::tiny_vlm_prefill_inputs(g.prompt, desc, activation, explicit_mask));
  vexa::VXRunResult r = graph->run(inputs, nullptr);
  const uint64_t layers = desc.text.layers;
  ASSERT_EQ(r.cache.size(), 2 * layers);
  // Prefill fills new caches of the full capacity; every decode step then appends in place.
  EXPECT_EQ(graph->cache_buffer_count(), 2 * layers);
  const uint64_t kv = desc.text.kv_heads * desc.text.head_dim;
  EXPECT_EQ(graph->cache_written_elements(), 2 * layers * kv * prompt_len);
  EXPECT_EQ(graph->cache_copied_elements(), 0u);
  uint64_t buffers_after_first_step = 0;

  for (uint64_t s = 0; s <= steps; ++s) {
    ASSERT_NE(r.logits, nullptr);
    // Prefill computes the last position's logits only.
    ASSERT_EQ(r.logits->shape.size(), 3u);
    ASSERT_EQ(r.logits->shape[1], 1u);
    // Activations of the run's precision everywhere, from kernels compiled for it.
    ASSERT_EQ(r.logits->dtype, act);
    for (const auto& [name, cache] : r.cache) ASSERT_EQ(cache->dtype, act) << name;
    const std::vector<float> logits = read_floats(*r.logits);
    const std::string diff = vexa::testing::compare_tiny_vlm_step(
        golden->steps[s], logits.data(), logits.size(), tolerance);
    EXPECT_EQ(diff, "") << "step " << s;
    const int64_t token = argmax(logits);
    ASSERT_EQ(token, golden->tokens[s]) << "step " << s;
    if (s == steps) break;
    graph->recycle(r.logits);
    VXTensorMap next = upload_all(*graph, vexa::testing::tiny_vlm_decode_inputs(
                                              g.prompt, activation, explicit_mask, s + 1, token));
    for (const auto& [name, cache] : r.cache) next[name] = cache;
    for (auto& [name, t] : inputs) {
      if (name.rfind("past_", 0) != 0) graph->recycle(t);
    }
    inputs = next;
    r = graph->run(inputs, nullptr);
    if (s == 0) buffers_after_first_step = graph->device()->current_allocated_size();
  }
  // The prefill's larger linear layers took the library paths the policy names.
  const bool graphs = backend == "mpsgraph" || (backend == "auto" && activation == Activation::fp32);
  EXPECT_EQ(graph->graph_cache_size() > 0, graphs) << backend;
  EXPECT_EQ(graph->matrix_cache_size() > 0, backend == "mps") << backend;
  EXPECT_EQ(graph->cache_buffer_count(), 2 * layers);
  EXPECT_EQ(graph->cache_written_elements(), 2 * layers * kv * (prompt_len + steps));
  EXPECT_EQ(graph->cache_copied_elements(), 0u);
  // Steady decoding allocates nothing new: every buffer comes back from the pool.
  EXPECT_EQ(graph->device()->current_allocated_size(), buffers_after_first_step);
  // The custom kernels and the graph library read every FP16 weight where it is stored; the
  // matrix library multiplies f32 copies, and both libraries take q8 weights through FP16
  // scratch.
  const bool library = graphs || backend == "mps";
  EXPECT_EQ(graph->widened_weight_bytes() > 0,
            backend == "mps" || (library && weights == VlmWeights::mixed_q8))
      << backend;
  if (weights == VlmWeights::mixed_q8) {
    // Decoding reads q8 matrices directly: every linear layer, lm_head included.
    EXPECT_GT(graph->fused_int8_matvec_calls(), 0u);
    EXPECT_GT(graph->fused_int8_embedding_calls(), 0u);
    EXPECT_EQ(graph->dequantized_weight_bytes() > 0, library) << backend;
  } else {
    EXPECT_EQ(graph->fused_int8_matvec_calls(), 0u);
    EXPECT_EQ(graph->dequantized_weight_bytes(), 0u);
  }
}

using Config = std::tuple<VlmWeights, Activation, std::string>;

class TinyVlmGolden : public ::testing::TestWithParam<Config> {};

TEST_P(TinyVlmGolden, PrefillAndDecodeMatchTheReference) {
  const auto& [weights, activation, backend] = GetParam();
  run_goldens(weights, activation, backend, /*explicit_mask=*/false);
}

INSTANTIATE_TEST_SUITE_P(
    Backends, TinyVlmGolden,
    ::testing::Combine(::testing::Values(VlmWeights::fp16, VlmWeights::mixed_q8),
                       ::testing::Values(Activation::fp16, Activation::fp32),
                       ::testing::Values("auto", "metal", "mps", "mpsgraph")),
    [](const ::testing::TestParamInfo<Config>& info) {
      return std::string(std::get<0>(info.param) == VlmWeights::fp16 ? "fp16" : "mixed") +
             (std::get<1>(info.param) == Activation::fp16 ? "_act16_" : "_act32_") +
             std::get<2>(info.param);
    });

// The explicit prompt mask and the per-step mask rows give the same goldens as the empty causal
// mask (the single-pass kernels then read the mask instead of the causal rule).
TEST(TinyVlmGoldenMask, ExplicitMasksMatchTheReference) {
  run_goldens(VlmWeights::mixed_q8, Activation::fp16, "metal", /*explicit_mask=*/true);
  run_goldens(VlmWeights::fp16, Activation::fp32, "metal", /*explicit_mask=*/true);
}

}  // namespace
