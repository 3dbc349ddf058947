// Whole runs of a hand-checkable graph: input binding, logits trimming, captures, q8 weight
// expansion, cancellation at group boundaries, kernel failures surfacing as errors, profiling,
// and the configuration flags with their report texts.
#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/atomics.h"
#include "platform/thread_pool.h"
#include "tests/gpu/vx_graph_test_util.h"

namespace {

using namespace vx_test;

struct Mini {
  MiniGraph graph;
  LoadedModel model;
  std::unique_ptr<VXGraph> g;
  std::vector<std::string> log;

  explicit Mini(uint64_t activation = vexa::kVXActivationF16, bool q8 = false,
                const std::function<void(MiniGraph*)>& edit = {}) {
    graph.q8_head = q8;
    if (edit) edit(&graph);
    model.load(graph.write());
    g = model.graph(activation);
    g->set_dispatch_log(&log);
  }
  VXTensorMap ids(const std::vector<int64_t>& v) {
    return {{"input_ids", upload_i64(*g, {1, v.size()}, v)}};
  }
};

void expect_logits(const VXTensor& t, const MiniGraph& m, const std::vector<int64_t>& ids) {
  const std::vector<float> got = read_floats(t);
  ASSERT_EQ(got.size(), ids.size() * MiniGraph::kVocab);
  for (size_t r = 0; r < ids.size(); ++r) {
    const std::vector<float> ref = m.logits_of(ids[r]);
    for (uint64_t n = 0; n < MiniGraph::kVocab; ++n) EXPECT_EQ(got[r * 8 + n], ref[n]) << r << " " << n;
  }
}

TEST(VXGraphRun, InputsMustBePresentTypedAndWhole) {
  Mini m;
  EXPECT_TRUE(raises([&] { m.g->run({}, nullptr); }, "Missing/invalid input input_ids"));
  EXPECT_TRUE(raises([&] { m.g->run({{"input_ids", nullptr}}, nullptr); }, "Missing/invalid input input_ids"));
  EXPECT_TRUE(raises([&] { m.g->run({{"input_ids", upload_act(*m.g, {1, 2}, {1, 2})}}, nullptr); },
                     "Missing/invalid input input_ids"));
  EXPECT_TRUE(raises([&] { m.g->run({{"input_ids", m.g->weights()[0]}}, nullptr); },
                     "Missing/invalid input input_ids"));
  VXTensorMap forged = m.ids({1, 2});
  forged["input_ids"]->count = 3;  // not its shape's count
  EXPECT_TRUE(raises([&] { m.g->run(forged, nullptr); }, "Missing/invalid input input_ids"));
  forged = m.ids({1, 2});
  forged["input_ids"]->offset = 250;  // bytes past the buffer
  EXPECT_TRUE(raises([&] { m.g->run(forged, nullptr); }, "Missing/invalid input input_ids"));
  forged = m.ids({1, 2});
  forged["input_ids"]->shape = {1, uint64_t{1} << 40};
  EXPECT_TRUE(raises([&] { m.g->run(forged, nullptr); }, "Missing/invalid input input_ids"));
  EXPECT_TRUE(m.log.empty());
  // Extra inputs are ignored.
  VXTensorMap extra = m.ids({5});
  extra["unused"] = upload_act(*m.g, {1}, {0});
  expect_logits(*m.g->run(extra, nullptr).logits, m.graph, {5});
}

TEST(VXGraphRun, PrefillLogitsAreTrimmedToTheLastPositionUnlessCaptured) {
  Mini m;
  vexa::VXRunResult r = m.g->run(m.ids({1, 6, 2}), nullptr);
  EXPECT_EQ(r.logits->shape, (std::vector<uint64_t>{1, 1, 8}));
  expect_logits(*r.logits, m.graph, {2});
  EXPECT_TRUE(r.captures.empty());
  EXPECT_TRUE(r.cache.empty());
  EXPECT_EQ(m.log, (std::vector<std::string>{"embedding", "matvec"}));

  for (const char* name : {"logits", "lm_head"}) {
    const std::set<std::string> captures{name};
    r = m.g->run(m.ids({1, 6, 2}), &captures);
    EXPECT_EQ(r.logits->shape, (std::vector<uint64_t>{1, 3, 8})) << name;
    expect_logits(*r.logits, m.graph, {1, 6, 2});
    ASSERT_EQ(r.captures.count(name), 1u);
    EXPECT_EQ(r.captures.at(name), r.logits);
  }
  // One token has nothing to trim.
  r = m.g->run(m.ids({4}), nullptr);
  EXPECT_EQ(r.logits->shape, (std::vector<uint64_t>{1, 1, 8}));
  expect_logits(*r.logits, m.graph, {4});
}

TEST(VXGraphRun, CapturedValuesAndGroupsSurviveLaterNodes) {
  // emb -> x -> head -> h; logits = h + h: once "x" is released its buffer is the next one
  // handed out, so a capture that was recycled by mistake would be overwritten.
  auto edit = [](MiniGraph* g) {
    g->values[4] = {"h", 1, 0, 0};
    g->values.push_back({"logits", 1, vexa::kVXValueLogits, 0});
    g->nodes.push_back({vexa::kVXOpAdd, 1, {4, 4}, {5}, {}});
  };
  Mini m(vexa::kVXActivationF32, false, edit);
  const std::set<std::string> captures{"x", "text.0", "nothing"};
  vexa::VXRunResult r = m.g->run(m.ids({3, 7}), &captures);
  ASSERT_EQ(r.captures.size(), 2u);
  EXPECT_EQ(r.captures.at("x"), r.captures.at("text.0"));  // the group's last node's output
  const std::vector<float> x = read_floats(*r.captures.at("x"));
  for (uint64_t c = 0; c < 4; ++c) {
    EXPECT_EQ(x[c], m.graph.emb[3 * 4 + c]);
    EXPECT_EQ(x[4 + c], m.graph.emb[7 * 4 + c]);
  }
  const std::vector<float> logits = read_floats(*r.logits);
  const std::vector<float> ref = m.graph.logits_of(7);
  for (uint64_t n = 0; n < 8; ++n) EXPECT_EQ(logits[8 + n], 2 * ref[n]);
  // Without the capture the add's output takes the released buffer of "x": a fresh graph then
  // allocates one activation buffer fewer.
  auto fresh_allocations = [&](const std::set<std::string>* names) {
    Mini fresh(vexa::kVXActivationF32, false, edit);
    VXTensorMap in = fresh.ids({3, 7});
    const uint64_t before = fresh.g->device()->current_allocated_size();
    const vexa::VXRunResult kept = fresh.g->run(in, names);
    return fresh.g->device()->current_allocated_size() - before;
  };
  const std::set<std::string> just_x{"x"};
  EXPECT_EQ(fresh_allocations(&just_x), fresh_allocations(nullptr) + 256);
}

TEST(VXGraphRun, QuantizedWeightsAreReadWhereTheyAreStored) {
  Mini m(vexa::kVXActivationF16, /*q8=*/true);
  // The trimmed prefill row reads the q8 head directly.
  vexa::VXRunResult r = m.g->run(m.ids({1, 6, 2}), nullptr);
  EXPECT_EQ(m.log, (std::vector<std::string>{"embedding", "matvec_q8"}));
  expect_logits(*r.logits, m.graph, {2});
  EXPECT_EQ(m.g->fused_int8_matvec_calls(), 1u);
  EXPECT_EQ(m.g->dequantized_weight_bytes(), 0u);
  // All rows wanted: the tiled product reads the q8 head in place too, with no FP16 scratch.
  const std::set<std::string> captures{"logits"};
  m.log.clear();
  r = m.g->run(m.ids({1, 6, 2}), &captures);
  EXPECT_EQ(m.log, (std::vector<std::string>{"embedding", "matmul"}));
  expect_logits(*r.logits, m.graph, {1, 6, 2});
  EXPECT_EQ(m.g->dequantized_weight_bytes(), 0u);
  EXPECT_EQ(m.g->peak_dequantized_weight_bytes(), 0u);
  EXPECT_EQ(m.g->widened_weight_bytes(), 0u);
  const nlohmann::json w = m.g->weight_execution();
  EXPECT_EQ(w["cumulative_dequantized_weight_bytes"], 0u);
  EXPECT_EQ(w["fused_int8_matvec_calls"], 1u);
  EXPECT_EQ(w["quantized_tensors"], 1u);
  EXPECT_EQ(w["policy"],
            "Resident INT8 blocks; per-operation FP16 weight scratch; fused INT8 embedding/matvec "
            "(FP16 reconstruction)");
  // The q8 table as an embedding is read directly.
  Mini e(vexa::kVXActivationF16, true, [](MiniGraph* g) { g->nodes[0].inputs = {0, 2}; });
  e.g->run(e.ids({1, 2}), nullptr);
  EXPECT_EQ(e.g->fused_int8_embedding_calls(), 1u);
}

TEST(VXGraphRun, SiblingProductsOfOneRowShareOneDispatch) {
  // x -> a = x head^T and b = x w^T, logits = a + b. With w = head one row encodes one product
  // for both (as q/k/v do); the values, captures and profile records are those of two.
  auto edit = [](uint64_t second_weight) {
    return [second_weight](MiniGraph* g) {
      g->values[4] = {"a", 1, 0, 0};
      g->values.push_back({"b", 1, 0, 0});
      g->values.push_back({"logits", 1, vexa::kVXValueLogits, 0});
      g->nodes.push_back({vexa::kVXOpLinear, 1, {3, second_weight}, {5}, {}});
      g->nodes.push_back({vexa::kVXOpAdd, 1, {4, 5}, {6}, {}});
    };
  };
  for (bool q8 : {false, true}) {
    SCOPED_TRACE(q8 ? "q8" : "fp16");
    Mini m(vexa::kVXActivationF32, q8, edit(2));
    const std::set<std::string> captures{"a"};
    vexa::VXRunResult r = m.g->run(m.ids({3}), &captures);
    EXPECT_EQ(m.log, (std::vector<std::string>{"embedding", q8 ? "matvec_q8" : "matvec", "pointwise"}));
    EXPECT_EQ(m.g->fused_int8_matvec_calls(), q8 ? 2u : 0u);
    const std::vector<float> ref = m.graph.logits_of(3);
    const std::vector<float> logits = read_floats(*r.logits);
    ASSERT_EQ(r.captures.count("a"), 1u);
    const std::vector<float> a = read_floats(*r.captures.at("a"));
    for (uint64_t n = 0; n < 8; ++n) {
      EXPECT_EQ(logits[n], 2 * ref[n]) << n;
      EXPECT_EQ(a[n], ref[n]) << n;
    }
    m.g->set_profile(true);
    m.g->run(m.ids({3}), nullptr);
    EXPECT_EQ(m.g->last_profile().size(), 4u);
    m.g->set_profile(false);
    // Two rows go to the tiled products, one each.
    m.log.clear();
    r = m.g->run(m.ids({3, 6}), nullptr);
    EXPECT_EQ(std::count(m.log.begin(), m.log.end(), "matmul"), 2);
    const std::vector<float> two = read_floats(*r.logits);
    const std::vector<float> ref6 = m.graph.logits_of(6);
    for (uint64_t n = 0; n < 8; ++n) EXPECT_EQ(two[8 + n], 2 * ref6[n]) << n;
  }
  // A q8 head beside an FP16 table: different weight kinds are separate dispatches.
  Mini mixed(vexa::kVXActivationF32, true, edit(1));
  const vexa::VXRunResult r = mixed.g->run(mixed.ids({5}), nullptr);
  EXPECT_EQ(mixed.log, (std::vector<std::string>{"embedding", "matvec_q8", "matvec", "pointwise"}));
  const std::vector<float> got = read_floats(*r.logits);
  for (uint64_t n = 0; n < 8; ++n) {
    float want = mixed.graph.logits_of(5)[n];
    for (uint64_t c = 0; c < 4; ++c) want += mixed.graph.emb[5 * 4 + c] * mixed.graph.emb[n * 4 + c];
    EXPECT_EQ(got[n], want) << n;
  }
}

TEST(VXGraphRun, CancellationStopsBeforeTheFirstNodeOrAtAGroupBoundary) {
  Mini m;
  uint32_t cancel = 1;
  m.g->set_cancel_flag(&cancel);
  EXPECT_TRUE(raises([&] { m.g->run(m.ids({1}), nullptr); }, "Generation cancelled", "VexaCancelled"));
  EXPECT_TRUE(m.log.empty());

  // Set while the first group runs on the device: the prefill stops at the boundary, after the
  // first group's command buffer completed, before the second group is encoded.
  cancel = 0;
  bool first_group_ran = false;
  m.g->set_encode_hook([&](const std::shared_ptr<vexa::CommandBuffer>& cb, uint64_t node) {
    if (node != 0) return;
    cb->encode_host_work([&](std::string*) {
      first_group_ran = true;
      vexa::atomic_store_u32(&cancel, 1, vexa::kOrderRelease);
      return true;
    });
  });
  EXPECT_TRUE(raises([&] { m.g->run(m.ids({1, 2}), nullptr); }, "Generation cancelled", "VexaCancelled"));
  EXPECT_TRUE(first_group_ran);
  EXPECT_EQ(m.log, (std::vector<std::string>{"embedding"}));

  // A decode step looks at the flag before its first node only.
  cancel = 0;
  m.log.clear();
  vexa::VXRunResult r = m.g->run(m.ids({2}), nullptr);
  EXPECT_EQ(cancel, 1u);
  expect_logits(*r.logits, m.graph, {2});
  EXPECT_EQ(m.log, (std::vector<std::string>{"embedding", "matvec"}));

  // Without a flag there are no group commits: the whole prefill runs.
  m.g->set_cancel_flag(nullptr);
  expect_logits(*m.g->run(m.ids({1, 2}), nullptr).logits, m.graph, {2});
}

// A decode step is encoded while idle workers prefetch weights: the logits stay exact on any
// thread count, and an error raised while encoding reaches the caller with the workers released
// (the next step runs).
TEST(VXGraphRun, DecodeStepsOnEveryThreadCountAndEncodingErrors) {
  for (bool q8 : {false, true}) {
    Mini m(vexa::kVXActivationF16, q8);
    for (unsigned cap : {1u, 2u, 8u}) {
      SCOPED_TRACE(testing::Message() << "q8 " << q8 << " threads " << cap);
      vexa::ThreadCapScope scope(cap);
      for (int64_t id : {3, 0, 6}) expect_logits(*m.g->run(m.ids({id}), nullptr).logits, m.graph, {id});
      m.g->set_encode_hook([](const std::shared_ptr<vexa::CommandBuffer>&, uint64_t node) {
        if (node == 1) vexa::raise_inference("encoding stopped");
      });
      EXPECT_TRUE(raises([&] { m.g->run(m.ids({2}), nullptr); }, "encoding stopped", "VexaInference"));
      m.g->set_encode_hook({});
      expect_logits(*m.g->run(m.ids({5}), nullptr).logits, m.graph, {5});
    }
  }
}

TEST(VXGraphRun, KernelFailuresAreErrorsNeverResults) {
  // A weight at an odd offset: every kernel that reads it as halves refuses the dispatch.
  auto misalign = [](uint64_t tensor) {
    const std::vector<uint8_t> container = MiniGraph().write();
    auto m = std::make_unique<LoadedModel>();
    m->load(container);
    const uint64_t section = word_at(m->metadata, 112);
    const uint64_t record = section + 32 + word_at(m->metadata, section + 8) * tensor;
    put_word(&m->metadata, record + 112, word_at(m->metadata, record + 112) + 1);
    return m;
  };
  {
    auto model = misalign(1);
    auto g = model->graph(1);
    VXTensorMap in{{"input_ids", upload_i64(*g, {1, 2}, {1, 2})}};
    try {
      g->run(in, nullptr);
      ADD_FAILURE() << "a failed command buffer was reported as a result";
    } catch (const vexa::DomainError& e) {
      EXPECT_EQ(e.domain(), "VexaInference");
      EXPECT_EQ(std::string(e.what()).rfind("Metal execution: ", 0), 0u) << e.what();
    }
  }
  {
    // With a cancel flag the first group commits on its own and fails there.
    auto model = misalign(0);
    auto g = model->graph(1);
    uint32_t cancel = 0;
    g->set_cancel_flag(&cancel);
    VXTensorMap in{{"input_ids", upload_i64(*g, {1, 2}, {1, 2})}};
    EXPECT_TRUE(raises([&] { g->run(in, nullptr); }, "Metal execution failed"));
    g->set_profile(true);
    EXPECT_TRUE(raises([&] { g->run(in, nullptr); }, "Profile command failed"));
  }
}

TEST(VXGraphRun, ProfilesEveryNode) {
  Mini m;
  m.g->set_profile(true);
  vexa::VXRunResult r = m.g->run(m.ids({1, 6, 2}), nullptr);
  expect_logits(*r.logits, m.graph, {2});
  const auto& p = m.g->last_profile();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].node, 0u);
  EXPECT_EQ(p[0].op, 1u);
  EXPECT_EQ(p[0].group, "text.0");
  EXPECT_EQ(p[0].input_shape, (std::vector<uint64_t>{1, 3}));
  EXPECT_EQ(p[1].op, 4u);
  EXPECT_EQ(p[1].group, "lm_head");
  EXPECT_EQ(p[1].input_shape, (std::vector<uint64_t>{1, 1, 4}));  // the trimmed row
  EXPECT_GE(p[0].gpu_ms, 0.0);
  EXPECT_DOUBLE_EQ(m.g->last_gpu_ms(), p[0].gpu_ms + p[1].gpu_ms);
  EXPECT_GE(m.g->last_encode_ms(), 0.0);
  const nlohmann::json j = vexa::profile_records_json(p);
  ASSERT_EQ(j.size(), 2u);
  EXPECT_EQ(j[1]["group"], "lm_head");
  EXPECT_EQ(j[1]["input_shape"], nlohmann::json::array({1, 1, 4}));
  EXPECT_EQ(j[0].size(), 5u);
  m.g->set_profile(false);
  m.g->run(m.ids({1}), nullptr);
  EXPECT_TRUE(m.g->last_profile().empty());
}

TEST(VXGraphRun, NodeDeclaringMoreOutputsThanItMakes) {
  Mini m(vexa::kVXActivationF16, false, [](MiniGraph* g) {
    g->values.push_back({"extra", 1, 0, 0});
    g->nodes[1].outputs = {4, 5};
  });
  EXPECT_TRUE(raises([&] { m.g->run(m.ids({1}), nullptr); }, "Output count mismatch"));
}

TEST(VXGraphConfigure, DefaultsOverridesAndReportTexts) {
  struct Case {
    uint64_t activation;
    nlohmann::json options;
    bool prefill, attention, graph, linear;
    const char* name;
  };
  const Case cases[] = {
      {1, nlohmann::json::object(), false, false, false, false, "Metal custom kernels"},
      {1, {{"backend", "auto"}}, false, false, false, false, "Metal custom kernels"},
      {2, nlohmann::json::object(), true, true, true, true,
       "Metal kernels + FP32 MPSGraph prefill matrices/vision attention"},
      {1, {{"backend", "mpsgraph"}}, true, true, true, true,
       "Metal kernels + FP16 MPSGraph prefill matrices/vision attention"},
      {1, {{"backend", "mps"}}, true, true, false, false,
       "Metal kernels + MPS GEMM + batched MPS vision attention"},
      {2, {{"backend", "metal"}}, false, false, false, false, "Metal custom kernels"},
      {1, {{"graph_attention", true}}, false, false, true, true,
       "Metal kernels + FP16 MPSGraph prefill matrices/vision attention"},
      {2, {{"graph_attention", true}, {"graph_linear", false}}, false, false, true, false,
       "Metal kernels + MPS GEMM + FP32 MPSGraph vision attention"},
      {2, {{"backend", "mpsgraph"}, {"mps_prefill", true}}, true, false, false, false,
       "Metal kernels + MPS prefill GEMM"},
      {1, {{"backend", "metal"}, {"mps_attention", 1}}, false, true, false, false,
       "Metal kernels + MPS GEMM + batched MPS vision attention"},
      {1, {{"graph_linear", "YES"}}, false, false, false, true,
       "Metal kernels + FP16 MPSGraph prefill matrices"},
      {2, {{"graph_linear", " +0"}, {"mps_prefill", "no"}}, false, false, false, false,
       "Metal custom kernels"},
      {2, {{"backend", "mps"}, {"mps_prefill", "1"}, {"prompt", "ignored"}}, true, false, false, false,
       "Metal kernels + MPS prefill GEMM"},
      {2, nullptr, true, true, true, true,
       "Metal kernels + FP32 MPSGraph prefill matrices/vision attention"},
  };
  for (const Case& c : cases) {
    Mini m(c.activation);
    m.g->configure(c.options);
    EXPECT_EQ(m.g->mps_prefill(), c.prefill) << c.options;
    EXPECT_EQ(m.g->mps_attention(), c.attention) << c.options;
    EXPECT_EQ(m.g->graph_attention(), c.graph) << c.options;
    EXPECT_EQ(m.g->graph_linear(), c.linear) << c.options;
    EXPECT_EQ(m.g->backend_name(), c.name) << c.options;
  }
  Mini m;
  EXPECT_TRUE(raises([&] { m.g->configure({{"backend", "cuda"}}); }, "Unknown backend policy"));
  EXPECT_TRUE(raises([&] { m.g->configure({{"backend", 2}}); }, "Unknown backend policy"));
  EXPECT_TRUE(raises([&] { m.g->configure({{"mps_prefill", nullptr}}); }, "Invalid configuration flag mps_prefill"));
  EXPECT_TRUE(raises([&] { m.g->configure({{"graph_linear", {1, 2}}}); }, "Invalid configuration flag graph_linear"));
}

TEST(VXGraphConfigure, WeightReports) {
  Mini fp16;
  EXPECT_EQ(fp16.g->weight_dtype(), "fp16");
  const nlohmann::json w = fp16.g->weight_execution();
  EXPECT_EQ(w["policy"], "Resident FP16 weight views");
  EXPECT_EQ(w["resident_weight_buffer_bytes"], fp16.g->resident_weight_bytes());
  EXPECT_EQ(w.size(), 7u);
  for (const char* key : {"quantized_tensors", "peak_live_dequantized_weight_scratch_bytes",
                          "cumulative_dequantized_weight_bytes", "fused_int8_matvec_calls",
                          "fused_int8_embedding_calls"}) {
    EXPECT_TRUE(w[key].is_number_unsigned()) << key;
    EXPECT_EQ(w[key], 0u) << key;
  }
  Mini all_q8(vexa::kVXActivationF16, true, [](MiniGraph* g) { g->nodes[0].inputs = {0, 2}; });
  EXPECT_EQ(all_q8.g->weight_dtype(), "mixed-fp16-int8");
  // Every weight q8: the "emb" table becomes a second reference to the q8 tensor's record.
  LoadedModel lm;
  MiniGraph g;
  g.q8_head = true;
  g.values[1].dtype = vexa::kVXDtypeQ8;
  lm.load(g.write());
  std::vector<uint8_t> image = lm.metadata;
  const uint64_t section = word_at(image, 112);
  const uint64_t stride = word_at(image, section + 8);
  std::copy(image.begin() + section + 32 + stride, image.begin() + section + 32 + 2 * stride,
            image.begin() + section + 32);
  auto q = VXGraph::init_with_context(lm.context, image.data(), image.size(), 1);
  EXPECT_EQ(q->weight_dtype(), "int8");
}

}  // namespace
