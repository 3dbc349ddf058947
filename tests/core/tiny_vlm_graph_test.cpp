// Generated generative models, read back as the executor will read them: the container opens
// and verifies, and the graph section passes a structural check written here from the
// executor's rules (bounds, flags, weight bindings, topological order, per-op attribute and
// input counts) followed by a shape walk of a prefill and a decode step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/container.h"
#include "tests/core/container_fixture.h"
#include "tests/support/vlm_model.h"

namespace vexa::testing {
namespace {

// Bounded little-endian reads of a written container; a read outside it marks the reader bad.
struct Bytes {
  const std::vector<uint8_t>& b;
  bool bad = false;
  uint64_t u64(uint64_t offset) {
    if (offset > b.size() || b.size() - offset < 8) {
      bad = true;
      return 0;
    }
    uint64_t v;
    std::memcpy(&v, b.data() + offset, 8);
    return v;
  }
  std::string cstring(uint64_t offset, uint64_t begin, uint64_t end) {
    if (offset < begin || offset >= end || end > b.size()) {
      bad = true;
      return {};
    }
    const auto* p = reinterpret_cast<const char*>(b.data());
    const void* nul = std::memchr(p + offset, 0, end - offset);
    if (nul == nullptr) {
      bad = true;
      return {};
    }
    return std::string(p + offset, static_cast<const char*>(nul));
  }
};

struct Graph {
  struct Tensor {
    uint64_t dtype;
    std::vector<uint64_t> dims;
    uint64_t group = 0;
    uint64_t bytes = 0;
  };
  struct Value {
    std::string name;
    uint64_t dtype, flags, weight;
  };
  struct Node {
    uint64_t op, group;
    std::vector<uint64_t> in, out, attrs;
  };
  std::vector<Tensor> tensors;
  std::vector<std::string> groups;
  std::vector<Value> values;
  std::vector<Node> nodes;
};

// The graph section and the tables it refers to, under the executor's initialisation rules.
::testing::AssertionResult read_graph(const std::vector<uint8_t>& image, Graph* g) {
  Bytes r{image};
  auto fail = [](const std::string& what) { return ::testing::AssertionFailure() << what; };
  const uint64_t area_begin = r.u64(80) + 32;
  const uint64_t area_end = r.u64(80) + r.u64(88);
  const uint64_t pool = r.u64(64) + 32;
  const uint64_t pool_end = r.u64(64) + r.u64(72);

  const uint64_t tensors = r.u64(112);
  for (uint64_t j = 0, n = r.u64(tensors + 16); j < n && !r.bad; ++j) {
    const uint64_t at = tensors + 32 + r.u64(tensors + 8) * j;
    Graph::Tensor t{r.u64(at + 8), {}};
    const uint64_t rank = r.u64(at + 32);
    if ((t.dtype != 1 && t.dtype != 4) || rank > 6) return fail("tensor dtype or rank");
    for (uint64_t k = 0; k < rank; ++k) t.dims.push_back(r.u64(at + 40 + 8 * k));
    const uint64_t cols = rank == 0 ? 1 : t.dims.back();
    const uint64_t row_bytes = t.dtype == 4 ? (cols + 63) / 64 * 68 : cols * 2;
    uint64_t rows = 1;
    for (uint64_t k = 0; k + 1 < rank; ++k) rows *= t.dims[k];
    if (r.u64(at + 136) != row_bytes || r.u64(at + 96) != rows * row_bytes) {
      return fail("tensor " + r.cstring(pool + r.u64(at), pool, pool_end) + " row layout");
    }
    t.group = r.u64(at + 24);
    t.bytes = rows * row_bytes;
    g->tensors.push_back(t);
  }
  const uint64_t groups = r.u64(128);
  for (uint64_t j = 0, n = r.u64(groups + 16); j < n && !r.bad; ++j) {
    g->groups.push_back(
        r.cstring(r.u64(groups + 32 + r.u64(groups + 8) * j), area_begin, area_end));
  }

  const uint64_t s = r.u64(160);
  const uint64_t end = s + r.u64(168);
  const uint64_t node_count = r.u64(s + 32), node_stride = r.u64(s + 40),
                 node_table = r.u64(s + 48);
  const uint64_t value_count = r.u64(s + 56), value_stride = r.u64(s + 64);
  const uint64_t value_table = r.u64(s + 72), ids = r.u64(s + 80), attrs = r.u64(s + 88);
  const uint64_t node_end = node_table + node_count * node_stride;
  const uint64_t value_end = value_table + value_count * value_stride;
  if (end > image.size() || node_count < 1 || node_count > 4096 || node_stride < 64 ||
      node_table < s + 96 || node_end > end || value_count < 1 || value_count > 8192 ||
      value_stride < 96 || value_table < node_end || value_end > end || ids < value_end ||
      attrs < ids || attrs > end) {
    return fail("graph bounds");
  }
  for (uint64_t j = 0; j < value_count && !r.bad; ++j) {
    const uint64_t at = value_table + j * value_stride;
    g->values.push_back({r.cstring(r.u64(at), area_begin, area_end), r.u64(at + 8), r.u64(at + 72),
                         r.u64(at + 80)});
  }
  for (uint64_t j = 0; j < node_count && !r.bad; ++j) {
    const uint64_t at = node_table + j * node_stride;
    Graph::Node n{r.u64(at), r.u64(at + 8), {}, {}, {}};
    const uint64_t in = r.u64(at + 16), out = r.u64(at + 24), list = r.u64(at + 32);
    const uint64_t attr = r.u64(at + 40), attr_bytes = r.u64(at + 48);
    if (n.op < 1 || n.op > 13 || n.group >= g->groups.size() || in < 1 || in > 6 || out < 1 ||
        out > 3 || list < ids || list + 8 * (in + out) > attrs || attr < attrs || attr_bytes > 32 ||
        attr_bytes % 8 != 0 || attr + attr_bytes > end) {
      return fail("invalid operation record " + std::to_string(j));
    }
    for (uint64_t k = 0; k < in; ++k) n.in.push_back(r.u64(list + 8 * k));
    for (uint64_t k = 0; k < out; ++k) n.out.push_back(r.u64(list + 8 * (in + k)));
    for (uint64_t k = 0; k < attr_bytes / 8; ++k) n.attrs.push_back(r.u64(attr + 8 * k));
    g->nodes.push_back(std::move(n));
  }
  if (r.bad) return fail("a read left the metadata, or a string its area");
  return ::testing::AssertionSuccess();
}

// Graph inputs exactly as the generation loop feeds them, with their dtypes.
std::map<std::string, uint64_t> loop_inputs(const VlmModelDesc& desc) {
  std::map<std::string, uint64_t> in = {
      {"input_ids", 3}, {"position_ids", 3}, {"text_attention_mask", 1}};
  if (desc.vision.present) {
    in.insert({{"pixel_values", 1},
               {"patch_position_ids", 3},
               {"vision_attention_mask", 1},
               {"image_token_positions", 3}});
  }
  for (uint64_t i = 0; i < desc.text.layers; ++i) {
    in["past_key." + std::to_string(i)] = 1;
    in["past_value." + std::to_string(i)] = 1;
  }
  return in;
}

// Value flags, bindings, definitions and uses; per-op attribute, input and output counts.
::testing::AssertionResult check_structure(const Graph& g, const VlmModelDesc& desc) {
  auto fail = [](const std::string& what) { return ::testing::AssertionFailure() << what; };
  std::map<std::string, uint64_t> inputs;
  std::vector<bool> defined(g.values.size());
  std::vector<int> reads(g.values.size());
  uint64_t logits = 0, logits_flags = 0;
  for (uint64_t i = 0; i < g.values.size(); ++i) {
    const Graph::Value& v = g.values[i];
    const bool input = v.flags & 1, weight = v.flags & 4;
    if (v.flags > 7 || !(v.dtype == 1 || v.dtype == 3 || (v.dtype == 4 && weight))) {
      return fail("value " + v.name + " flags/dtype");
    }
    if (weight && (input || v.weight >= g.tensors.size() || g.tensors[v.weight].dtype != v.dtype)) {
      return fail("value " + v.name + " weight binding");
    }
    if (input && !inputs.emplace(v.name, v.dtype).second) return fail("duplicate input " + v.name);
    if (v.flags & 2) {
      logits = i;
      ++logits_flags;
    }
    defined[i] = input || weight;
  }
  if (inputs != loop_inputs(desc)) return fail("graph inputs differ from what the loop feeds");
  if (logits_flags != 1) return fail("expected exactly one logits value");

  int64_t last_group = -1;
  for (const Graph::Node& n : g.nodes) {
    static const std::map<uint64_t, uint64_t> kAttrs = {{2, 1},  {5, 1},  {6, 1},
                                                        {10, 4}, {11, 3}, {12, 3}};
    static const std::map<uint64_t, std::set<size_t>> kInputs = {
        {1, {2}}, {2, {3}}, {3, {2}}, {4, {2, 3}}, {5, {3}},  {6, {2}},
        {7, {1}}, {8, {1}}, {9, {2}}, {11, {2}},   {12, {1}}, {13, {3}}};
    const std::string op = "op " + std::to_string(n.op);
    const uint64_t attrs = kAttrs.count(n.op) ? kAttrs.at(n.op) : 0;
    if (n.attrs.size() != attrs) return fail(op + ": attribute count");
    const bool cached = n.op == 10 && n.attrs[3] != 0;
    const std::set<size_t> want_in =
        n.op == 10 ? std::set<size_t>{cached ? 6u : 4u} : kInputs.at(n.op);
    if (!want_in.count(n.in.size())) return fail(op + ": input count");
    if (n.out.size() != (cached ? 3u : 1u)) return fail(op + ": output count");
    if (static_cast<int64_t>(n.group) < last_group) return fail(op + ": groups out of order");
    last_group = static_cast<int64_t>(n.group);
    for (uint64_t id : n.in) {
      if (id >= g.values.size()) return fail(op + ": value index");
      if (!defined[id]) return fail(op + ": reads " + g.values[id].name + " before it is defined");
      ++reads[id];
    }
    for (uint64_t id : n.out) {
      if (id >= g.values.size()) return fail(op + ": value index");
      if (defined[id]) return fail(op + ": defines " + g.values[id].name + " twice");
      defined[id] = true;
    }
    if (g.values[n.in[0]].dtype != (n.op == 1 ? 3u : 1u)) return fail(op + ": first input dtype");
  }
  if (!defined[logits]) return fail("nothing defines the logits");
  for (uint64_t i = 0; i < g.values.size(); ++i) {
    const Graph::Value& v = g.values[i];
    const bool cache_output = v.name.rfind("present_", 0) == 0;
    if (i != logits && !cache_output && reads[i] == 0) return fail(v.name + " is never read");
    if ((i == logits || cache_output) && reads[i] != 0) {
      return fail(v.name + " should be an output");
    }
  }
  return ::testing::AssertionSuccess();
}

using Shape = std::vector<uint64_t>;
uint64_t count(const Shape& s) {
  uint64_t c = 1;
  for (uint64_t d : s) c *= d;
  return c;
}

// Shapes of one run, node by node, checked against each op's contract. `n` new tokens after
// `past` cached ones; `views` images (0 in a decode step).
::testing::AssertionResult walk_shapes(const Graph& g, const VlmModelDesc& desc, uint64_t n,
                                       uint64_t past, uint64_t views, Shape* logits) {
  auto fail = [](const std::string& what) { return ::testing::AssertionFailure() << what; };
  const VlmTextShape& t = desc.text;
  std::map<std::string, Shape> in = {{"input_ids", {1, n}},
                                     {"position_ids", {1, n}},
                                     {"text_attention_mask", {1, 1, n, past + n}},
                                     {"pixel_values", {views, 3, 512, 512}},
                                     {"patch_position_ids", {views, 1024}},
                                     {"vision_attention_mask", {views, 1, 1024, 1024}},
                                     {"image_token_positions", {views * 64}}};
  std::vector<Shape> shape(g.values.size());
  for (uint64_t i = 0; i < g.values.size(); ++i) {
    const Graph::Value& v = g.values[i];
    if (v.flags & 4) shape[i] = g.tensors[v.weight].dims;
    if (v.flags & 1) {
      shape[i] =
          v.name.rfind("past_", 0) == 0 ? Shape{1, t.kv_heads, past, t.head_dim} : in.at(v.name);
    }
  }
  for (const Graph::Node& node : g.nodes) {
    std::vector<Shape> x;
    for (uint64_t id : node.in) x.push_back(shape[id]);
    const std::string op = "op " + std::to_string(node.op) + " -> " + g.values[node.out[0]].name;
    Shape y = x[0];
    switch (node.op) {
      case 1:
        if (x[1].size() != 2) return fail(op + ": embedding table rank");
        y.push_back(x[1][1]);
        break;
      case 2: {
        const uint64_t p = node.attrs[0];
        if (x[0].size() != 4 || x[0][2] != x[0][3] || p == 0 || x[0][2] % p != 0 ||
            x[1] != Shape{x[1][0], x[0][1], p, p} || count(x[2]) != x[1][0]) {
          return fail(op + ": patch geometry");
        }
        y = {x[0][0], (x[0][2] / p) * (x[0][2] / p), x[1][0]};
        break;
      }
      case 3:
      case 9:
        if (count(x[1]) != count(x[0]) && count(x[1]) != x[0].back()) {
          return fail(op + ": broadcast");
        }
        break;
      case 4: {
        const uint64_t k = x[0].back(), out = x[1][0];
        if (x[1] != Shape{out, k} || k % 2 != 0 || out % 2 != 0 ||
            (x.size() == 3 && count(x[2]) != out)) {
          return fail(op + ": linear shapes");
        }
        y.back() = out;
        break;
      }
      case 5:
      case 6:
        for (size_t k = 1; k < x.size(); ++k) {
          if (count(x[k]) != x[0].back() || g.values[node.in[k]].dtype != 1) {
            return fail(op + ": norm");
          }
        }
        break;
      case 10: {
        const uint64_t hq = node.attrs[0], hkv = node.attrs[1], d = node.attrs[2];
        const uint64_t b = x[0][0], s = x[0][1];
        const uint64_t p = node.attrs[3] ? x[4][2] : 0;
        if (x[0].size() != 3 || hq % hkv != 0 || d < 1 || d > 256 || x[0][2] != hq * d ||
            x[1] != Shape{b, s, hkv * d} || x[2] != x[1] ||
            (count(x[3]) != 0 && x[3] != Shape{b, 1, s, p + s})) {
          return fail(op + ": attention shape/mask");
        }
        if (node.attrs[3]) {
          if (x[4] != Shape{b, hkv, p, d} || x[5] != x[4]) return fail(op + ": cache shape");
          shape[node.out[1]] = shape[node.out[2]] = {b, hkv, p + s, d};
        }
        break;
      }
      case 11: {
        const uint64_t d = node.attrs[0], heads = node.attrs[2];
        if (d == 0 || d % 2 != 0 || x[0].back() != heads * d ||
            count(x[1]) != count(x[0]) / x[0].back()) {
          return fail(op + ": rotary shape");
        }
        break;
      }
      case 12: {
        const uint64_t f = node.attrs[0], h = node.attrs[1], w = node.attrs[2];
        if (x[0].size() != 3 || f == 0 || h % f != 0 || w % f != 0 || x[0][1] != h * w) {
          return fail(op + ": shuffle geometry");
        }
        y = {x[0][0], h * w / (f * f), x[0][2] * f * f};
        break;
      }
      case 13:
        if (x[0].size() != 3 || x[0][0] != 1 || x[1].back() != x[0][2] ||
            count(x[1]) / x[1].back() != count(x[2])) {
          return fail(op + ": scatter shape");
        }
        break;
      default:
        break;
    }
    shape[node.out[0]] = y;
  }
  for (uint64_t i = 0; i < g.values.size(); ++i) {
    if (g.values[i].flags & 2) *logits = shape[i];
  }
  return ::testing::AssertionSuccess();
}

struct Written {
  std::vector<uint8_t> bytes;
  VlmModelInfo info;
};

Written write(const VlmModelDesc& desc) {
  Written w;
  std::string error;
  EXPECT_TRUE(write_vlm_model(desc, &w.bytes, &w.info, &error)) << error;
  return w;
}

VlmModelDesc text_only_desc() {
  // SmolVLM-256M's head arrangement (9 query / 3 KV heads of 64) at a test-sized depth.
  VlmModelDesc desc;
  desc.text.hidden = 576;
  desc.text.heads = 9;
  desc.text.kv_heads = 3;
  desc.text.head_dim = 64;
  desc.text.layers = 3;
  desc.text.mlp = 256;
  desc.vision.present = false;
  desc.weights = VlmWeights::mixed_q8;
  desc.merges = 300;
  return desc;
}

TEST(GeneratedModel, OpensVerifiesAndKeepsTheChosenWeightTypes) {
  for (VlmWeights weights : {VlmWeights::fp16, VlmWeights::mixed_q8}) {
    SCOPED_TRACE(weights == VlmWeights::fp16 ? "fp16" : "mixed");
    const VlmModelDesc desc = tiny_vlm_desc(weights);
    const Written w = write(desc);
    const int fd = memory_file(w.bytes);
    OpenResult r = container_open_fd(fd, 0, w.bytes.size(), kOpenFlagPlanF32);
    close(fd);
    ASSERT_TRUE(r.ok()) << r.status;
    OpenContainer& c = r.container;
    EXPECT_EQ(c.plan, nullptr) << "a generative container is never expanded to f32";
    std::vector<uint8_t> memory;
    ASSERT_TRUE(load_weights(c, &memory));
    EXPECT_TRUE(container_verify_tensors(&c, memory.data()));

    Graph g;
    ASSERT_TRUE(read_graph(std::vector<uint8_t>(c.image, c.image + c.image_size), &g));
    EXPECT_EQ(g.tensors.size(), w.info.tensor_count);
    uint64_t q8 = 0;
    for (const Graph::Tensor& t : g.tensors) {
      q8 += t.dtype == 4;
      // Norm weights, biases and the rank-4 patch kernel stay FP16 in every variant.
      const uint64_t want = t.dims.size() == 2 && weights == VlmWeights::mixed_q8 ? 4 : 1;
      EXPECT_EQ(t.dtype, want);
    }
    EXPECT_EQ(q8 == 0, weights == VlmWeights::fp16);

    // A decode step reads every text and lm_head weight but only one row of the embedding
    // table (the first tensor of "text.0"); that is the bandwidth figure benchmarks use.
    uint64_t decode_bytes = 0;
    for (uint64_t i = 0; i < g.tensors.size(); ++i) {
      const Graph::Tensor& t = g.tensors[i];
      if (g.groups[t.group] == "vision") continue;
      const bool embedding = i > 0 && g.groups[g.tensors[i - 1].group] == "vision";
      decode_bytes += embedding ? t.bytes / t.dims[0] : t.bytes;
    }
    EXPECT_EQ(w.info.decode_weight_bytes, decode_bytes);
    container_close(&c);
  }
}

TEST(GeneratedModel, GraphSectionFollowsTheExecutorRulesAndShapes) {
  for (const VlmModelDesc& desc :
       {tiny_vlm_desc(VlmWeights::fp16), tiny_vlm_desc(VlmWeights::mixed_q8), text_only_desc()}) {
    SCOPED_TRACE(desc.vision.present ? "tiny" : "text only");
    const Written w = write(desc);
    Graph g;
    ASSERT_TRUE(read_graph(w.bytes, &g));
    EXPECT_EQ(g.nodes.size(), w.info.node_count);
    EXPECT_EQ(g.values.size(), w.info.value_count);
    ASSERT_TRUE(check_structure(g, desc));

    std::vector<std::string> groups;
    if (desc.vision.present) groups.push_back("vision");
    for (uint64_t i = 0; i < desc.text.layers; ++i) groups.push_back("text." + std::to_string(i));
    groups.push_back("lm_head");
    EXPECT_EQ(g.groups, groups);

    Shape logits;
    ASSERT_TRUE(walk_shapes(g, desc, 80, 0, desc.vision.present ? 1 : 0, &logits)) << "prefill";
    EXPECT_EQ(logits, (Shape{1, 80, w.info.vocab}));
    ASSERT_TRUE(walk_shapes(g, desc, 1, 85, 0, &logits)) << "decode step";
    EXPECT_EQ(logits, (Shape{1, 1, w.info.vocab}));
  }
}

TEST(GeneratedModel, VisionRowsLandOnImageTokensThroughOneScatter) {
  const VlmModelDesc desc = tiny_vlm_desc(VlmWeights::fp16);
  const Written w = write(desc);
  Graph g;
  ASSERT_TRUE(read_graph(w.bytes, &g));
  // 32 x 32 patches shuffled by 4 give 64 rows of the text width per view, and they reach the
  // text stream only through the scatter, which opens the first text group.
  Shape logits;
  ASSERT_TRUE(walk_shapes(g, desc, 140, 0, 2, &logits));
  int scatters = 0;
  for (const Graph::Node& n : g.nodes) {
    if (n.op != 13) continue;
    ++scatters;
    EXPECT_EQ(g.groups[n.group], "text.0");
    EXPECT_EQ(g.values[n.in[1]].name, "vision.image_rows");
    EXPECT_EQ(g.values[n.in[2]].name, "image_token_positions");
  }
  EXPECT_EQ(scatters, 1);
  const auto& shuffle = *std::find_if(g.nodes.begin(), g.nodes.end(),
                                      [](const Graph::Node& n) { return n.op == 12; });
  EXPECT_EQ(shuffle.attrs, (std::vector<uint64_t>{4, 32, 32}));
}

TEST(GeneratedModel, TemporaryFileOpensAndIsRemovedAfterwards) {
  std::string path;
  {
    TempModelFile file;
    std::string error;
    ASSERT_TRUE(file.write(text_only_desc(), &error)) << error;
    path = file.path();
    OpenResult r = container_open_path(path.c_str(), path.size());
    ASSERT_TRUE(r.ok()) << r.status;
    EXPECT_EQ(container_tensor_count(&r.container), file.info().tensor_count);
    container_close(&r.container);
    EXPECT_FALSE(file.write(text_only_desc(), &error)) << "one model per file";
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0) << path;
}

TEST(GeneratedModel, RefusesImpossibleShapesWithAMessage) {
  struct Case {
    const char* what;
    void (*edit)(VlmModelDesc*);
  };
  const Case cases[] = {
      {"heads", [](VlmModelDesc* s) { s->text.kv_heads = 3; }},
      {"head dim", [](VlmModelDesc* s) { s->text.head_dim = 15; }},
      {"epsilon", [](VlmModelDesc* s) { s->text.norm_eps = 0; }},
      {"vision heads", [](VlmModelDesc* s) { s->vision.heads = 3; }},
      {"vocabulary", [](VlmModelDesc* s) { s->text.vocab = 1200; }},
      {"merges", [](VlmModelDesc* s) { s->merges = 60000; }},
  };
  for (const Case& c : cases) {
    VlmModelDesc desc = tiny_vlm_desc(VlmWeights::fp16);
    c.edit(&desc);
    std::vector<uint8_t> out;
    VlmModelInfo info;
    std::string error;
    EXPECT_FALSE(write_vlm_model(desc, &out, &info, &error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
    EXPECT_TRUE(out.empty()) << c.what;
  }
}

}  // namespace
}  // namespace vexa::testing
