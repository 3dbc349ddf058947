// Building a graph from a generative container's metadata image: what a valid section turns
// into, and every refusal, each reached by a crafted or patched section. Reading must stay
// inside the image whatever the counts and offsets say (the sanitizer builds run these too).
#include <gtest/gtest.h>

#include <functional>

#include "tests/gpu/vx_graph_test_util.h"

namespace {

using namespace vx_test;
using vexa::kVXOpEmbedding;
using vexa::kVXOpLinear;
using vexa::kVXOpSilu;

// Initialises a graph over `metadata` with a context holding `container`'s weights.
std::function<void()> init_from(const std::vector<uint8_t>& container,
                                 const std::vector<uint8_t>& metadata, uint64_t activation = 1) {
  return [container, metadata, activation] {
    LoadedModel m;
    m.load(container);
    VXGraph::init_with_context(m.context, metadata.data(), metadata.size(), activation);
  };
}

// The mini graph's image after `patch`, initialised.
std::function<void()> patched(const std::function<void(std::vector<uint8_t>*, const GraphLayout&)>& patch) {
  const std::vector<uint8_t> container = MiniGraph().write();
  LoadedModel probe;
  probe.load(container);
  std::vector<uint8_t> image = probe.metadata;
  patch(&image, GraphLayout(image));
  return init_from(container, image);
}

std::function<void()> edited(const std::function<void(MiniGraph*)>& edit) {
  MiniGraph g;
  edit(&g);
  const std::vector<uint8_t> container = g.write();
  LoadedModel probe;
  probe.load(container);
  return init_from(container, probe.metadata);
}

uint64_t tensor_record(const std::vector<uint8_t>& m, uint64_t j) {
  const uint64_t section = word_at(m, 112);
  return section + 32 + word_at(m, section + 8) * j;
}

TEST(VXGraphInit, ValidSectionBecomesNodesValuesAndWeightViews) {
  MiniGraph mini;
  mini.q8_head = true;
  LoadedModel m;
  m.load(mini.write());
  auto g = m.graph(vexa::kVXActivationF32);
  ASSERT_EQ(g->nodes().size(), 2u);
  EXPECT_EQ(g->nodes()[0].op, kVXOpEmbedding);
  EXPECT_EQ(g->nodes()[1].inputs, (std::vector<uint64_t>{3, 2}));
  EXPECT_EQ(g->nodes()[1].outputs, (std::vector<uint64_t>{4}));
  EXPECT_EQ(g->nodes()[1].group, 1u);
  EXPECT_EQ(g->groups(), (std::vector<std::string>{"text.0", "lm_head"}));
  ASSERT_EQ(g->rows().size(), 5u);
  EXPECT_EQ(g->rows()[2].name, "head");
  EXPECT_EQ(g->rows()[2].dtype, vexa::kVXDtypeQ8);
  EXPECT_EQ(g->uses(), (std::vector<uint64_t>{1, 1, 1, 1, 0}));
  EXPECT_EQ(g->input_ids(), (std::map<std::string, uint64_t>{{"input_ids", 0}}));
  EXPECT_EQ(g->logits_id(), 4u);
  ASSERT_EQ(g->weights().size(), 2u);
  const VXTensor& head = *g->weights()[1];
  EXPECT_TRUE(head.weight);
  EXPECT_EQ(head.dtype, vexa::kVXDtypeQ8);
  EXPECT_EQ(head.shape, (std::vector<uint64_t>{8, 4}));
  EXPECT_EQ(head.row_bytes, 68u);  // one block for 4 columns
  EXPECT_EQ(head.offset, 16384u);  // the second tensor of the weights region
  EXPECT_EQ(g->weights()[0]->row_bytes, 8u);
  EXPECT_EQ(g->quantized_weights(), 1u);
  EXPECT_EQ(g->weight_dtype(), "mixed-fp16-int8");
  EXPECT_EQ(g->resident_weight_bytes(), g->weights()[0]->buffer->length());
  EXPECT_GT(g->peak_metal_allocated_bytes(), 0u);
  EXPECT_EQ(g->activation(), vexa::kVXActivationF32);
}

TEST(VXGraphInit, ContextAndActivationAreChecked) {
  const std::vector<uint8_t> container = MiniGraph().write();
  LoadedModel m;
  m.load(container);
  EXPECT_TRUE(raises(init_from(container, m.metadata, 0), "Activation precision must be FP16 or FP32"));
  EXPECT_TRUE(raises(init_from(container, m.metadata, 3), "Activation precision must be FP16 or FP32"));
  EXPECT_TRUE(raises([&] { VXGraph::init_with_context(nullptr, m.metadata.data(), m.metadata.size(), 1); },
                     "Metal device unavailable"));
}

TEST(VXGraphInit, KernelBuildFailuresNameTheirStep) {
  const std::vector<uint8_t> container = MiniGraph().write();
  LoadedModel m;
  m.load(container);
  struct Restore {
    ~Restore() { VXGraph::set_build_fault_for_testing(""); }
  } restore;
  VXGraph::set_build_fault_for_testing("library");
  try {
    m.graph(1);
    ADD_FAILURE() << "built without a library";
  } catch (const vexa::DomainError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Metal compilation: ", 0), 0u) << e.what();
    EXPECT_GT(std::string(e.what()).size(), std::string("Metal compilation: ").size());
  }
  VXGraph::set_build_fault_for_testing("attention_values");  // the last pipeline
  try {
    m.graph(2);
    ADD_FAILURE() << "built without a pipeline";
  } catch (const vexa::DomainError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Metal pipeline attention_values: ", 0), 0u) << e.what();
  }
  VXGraph::set_build_fault_for_testing("");
  EXPECT_EQ(m.graph(1)->nodes().size(), 2u);
}

TEST(VXGraphInit, HeaderAndRecordTablesMustLieInsideTheImage) {
  const std::vector<uint8_t> container = MiniGraph().write();
  LoadedModel m;
  m.load(container);
  const std::vector<uint8_t>& image = m.metadata;
  // Too short for the section directory, or nothing at all.
  EXPECT_TRUE(raises(init_from(container, std::vector<uint8_t>(image.begin(), image.begin() + 170)),
                     "Metadata bounds"));
  EXPECT_TRUE(raises([&] { VXGraph::init_with_context(m.context, nullptr, 0, 1); }, "Metadata bounds"));
  // The tensor table's section offset past the image; its stride below a record; its count
  // running past the end; the group table's likewise.
  EXPECT_TRUE(raises(patched([](auto* b, auto&) { put_word(b, 112, b->size() - 8); }), "Metadata bounds"));
  EXPECT_TRUE(raises(patched([](auto* b, auto&) { put_word(b, 112, ~uint64_t{0} - 4); }), "Metadata bounds"));
  EXPECT_TRUE(raises(patched([](auto* b, auto&) { put_word(b, word_at(*b, 112) + 8, 143); }), "Metadata bounds"));
  EXPECT_TRUE(raises(patched([](auto* b, auto&) { put_word(b, word_at(*b, 112) + 16, uint64_t{1} << 60); }),
                     "Metadata bounds"));
  EXPECT_TRUE(raises(patched([](auto* b, auto&) { put_word(b, word_at(*b, 128) + 8, 0); }), "Metadata bounds"));
  EXPECT_TRUE(raises(patched([](auto* b, auto&) { put_word(b, word_at(*b, 128) + 16, ~uint64_t{0}); }),
                     "Metadata bounds"));
}

TEST(VXGraphInit, GraphHeaderRules) {
  struct Case {
    const char* what;
    uint64_t word;  // offset from the section start
    std::function<uint64_t(const GraphLayout&)> value;
  };
  const Case cases[] = {
      {"no nodes", 32, [](auto&) { return 0; }},
      {"4097 nodes", 32, [](auto&) { return 4097; }},
      {"node stride 63", 40, [](auto&) { return 63; }},
      {"node table inside the header", 48, [](auto& l) { return l.section + 95; }},
      {"node table past the end", 48, [](auto& l) { return l.end - 64; }},
      {"node table wrapping", 48, [](auto&) { return ~uint64_t{0} - 8; }},
      {"no values", 56, [](auto&) { return 0; }},
      {"8193 values", 56, [](auto&) { return 8193; }},
      {"value stride 95", 64, [](auto&) { return 95; }},
      {"value table over the nodes", 72, [](auto& l) { return l.value_table - 8; }},
      {"value table past the end", 72, [](auto& l) { return l.end; }},
      {"id area over the values", 80, [](auto& l) { return l.id_area - 8; }},
      {"attribute area before the ids", 88, [](auto& l) { return l.id_area - 8; }},
      {"attribute area past the end", 88, [](auto& l) { return l.end + 8; }},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(raises(patched([&](auto* b, const GraphLayout& l) { put_word(b, l.section + c.word, c.value(l)); }),
                       "Graph bounds"))
        << c.what;
  }
  // The section itself: running past the image, wrapping, or too small for its header.
  EXPECT_TRUE(raises(patched([](auto* b, auto& l) { put_word(b, 168, b->size() - l.section + 1); }), "Graph bounds"));
  EXPECT_TRUE(raises(patched([](auto* b, auto&) { put_word(b, 168, ~uint64_t{0}); }), "Graph bounds"));
  EXPECT_TRUE(raises(patched([](auto* b, auto&) { put_word(b, 168, 95); }), "Graph bounds"));
  EXPECT_TRUE(raises(patched([](auto* b, auto&) { put_word(b, 160, ~uint64_t{0} - 100); }), "Graph bounds"));
}

TEST(VXGraphInit, LargestGraphAcceptedAndOnePastRefused) {
  // 4096 nodes (an embedding, 4094 SiLUs, the head) and 8192 values (the rest unused).
  MiniGraph g;
  g.nodes.pop_back();
  g.values.resize(3);
  uint64_t x = g.values.size();
  g.values.push_back({"x0", 1, 0, 0});
  g.nodes[0].outputs = {x};
  for (uint64_t i = 1; i <= 4094; ++i) {
    g.values.push_back({"x" + std::to_string(i), 1, 0, 0});
    g.nodes.push_back({kVXOpSilu, 0, {x}, {x + 1}, {}});
    ++x;
  }
  g.values.push_back({"logits", 1, vexa::kVXValueLogits, 0});
  g.nodes.push_back({kVXOpLinear, 1, {x, 2}, {x + 1}, {}});
  while (g.values.size() < 8192) g.values.push_back({"unused" + std::to_string(g.values.size()), 1, 0, 0});
  ASSERT_EQ(g.nodes.size(), 4096u);
  const std::vector<uint8_t> container = g.write();
  LoadedModel m;
  m.load(container);
  auto graph = m.graph(1);
  EXPECT_EQ(graph->nodes().size(), 4096u);
  EXPECT_EQ(graph->rows().size(), 8192u);

  const GraphLayout l(m.metadata);
  std::vector<uint8_t> more_nodes = m.metadata, more_values = m.metadata;
  put_word(&more_nodes, l.section + 32, 4097);
  put_word(&more_values, l.section + 56, 8193);
  EXPECT_TRUE(raises(init_from(container, more_nodes), "Graph bounds"));
  EXPECT_TRUE(raises(init_from(container, more_values), "Graph bounds"));
}

TEST(VXGraphInit, WeightRecordRules) {
  auto tensor = [](uint64_t word, std::function<uint64_t(uint64_t)> value) {
    return patched([=](std::vector<uint8_t>* b, const GraphLayout&) {
      const uint64_t r = tensor_record(*b, 1);
      put_word(b, r + 8 * word, value(word_at(*b, r + 8 * word)));
    });
  };
  const char* kDtype = "Inference requires FP16 or block-INT8 weights";
  EXPECT_TRUE(raises(tensor(1, [](uint64_t) { return 2; }), kDtype));  // f32
  EXPECT_TRUE(raises(tensor(1, [](uint64_t) { return 3; }), kDtype));
  EXPECT_TRUE(raises(tensor(4, [](uint64_t) { return 7; }), kDtype));  // rank 7
  EXPECT_TRUE(raises(tensor(6, [](uint64_t) { return 0; }), "Empty weight row"));
  EXPECT_TRUE(raises(tensor(5, [](uint64_t) { return uint64_t{1} << 31; }), "Invalid dimension"));
  EXPECT_TRUE(raises(tensor(5, [](uint64_t) { return ~uint64_t{0}; }), "Invalid dimension"));
  EXPECT_TRUE(raises(tensor(5, [](uint64_t) { return uint64_t{1} << 29; }), "Tensor too large"));
  const char* kLayout = "Weight bounds/row layout";
  EXPECT_TRUE(raises(tensor(17, [](uint64_t v) { return v + 2; }), kLayout));        // row bytes
  EXPECT_TRUE(raises(tensor(12, [](uint64_t v) { return v - 2; }), kLayout));        // size
  EXPECT_TRUE(raises(tensor(14, [](uint64_t) { return uint64_t{1} << 40; }), kLayout));  // offset
  EXPECT_TRUE(raises(tensor(14, [](uint64_t) { return ~uint64_t{0}; }), kLayout));
  // Data that ends past the weights buffer: the last bytes of the buffer, as offset.
  EXPECT_TRUE(raises(patched([](std::vector<uint8_t>* b, const GraphLayout&) {
                       put_word(b, tensor_record(*b, 1) + 112, 2 * 16384 - 32);
                     }),
                     kLayout));
  // A rank-0 weight is one value of one column.
  EXPECT_TRUE(raises(tensor(4, [](uint64_t) { return 0; }), kLayout));
}

TEST(VXGraphInit, NamesMustBeTerminatedUtf8InsideTheStringArea) {
  auto name = [](std::function<uint64_t(const std::vector<uint8_t>&, uint64_t)> offset) {
    return patched([=](std::vector<uint8_t>* b, const GraphLayout& l) {
      put_word(b, l.value(3), offset(*b, word_at(*b, l.value(3))));
    });
  };
  const auto area_start = [](const std::vector<uint8_t>& b) { return word_at(b, 80) + 32; };
  const auto area_end = [](const std::vector<uint8_t>& b) { return word_at(b, 80) + word_at(b, 88); };
  EXPECT_TRUE(raises(name([&](auto& b, uint64_t) { return area_start(b) - 1; }), "String bounds"));
  EXPECT_TRUE(raises(name([&](auto& b, uint64_t) { return area_end(b); }), "String bounds"));
  EXPECT_TRUE(raises(name([](auto&, uint64_t) { return ~uint64_t{0}; }), "String bounds"));
  // The string area's own size running past the image.
  EXPECT_TRUE(raises(patched([](auto* b, auto&) { put_word(b, 88, b->size()); }), "String bounds"));
  // An area that ends inside the last value name, before its NUL.
  EXPECT_TRUE(raises(patched([](std::vector<uint8_t>* b, const GraphLayout& l) {
                       put_word(b, 88, word_at(*b, l.value(4)) + 3 - word_at(*b, 80));
                     }),
                     "Unterminated string"));
  EXPECT_TRUE(raises(patched([](std::vector<uint8_t>* b, const GraphLayout& l) {
                       (*b)[word_at(*b, l.value(3))] = 0xC3;  // "x" -> a lone lead byte
                     }),
                     "Invalid UTF-8"));
  // Group names are read the same way.
  EXPECT_TRUE(raises(patched([](auto* b, auto&) { put_word(b, word_at(*b, 128) + 32, 3); }), "String bounds"));
}

TEST(VXGraphInit, ValueRules) {
  const char* kFlags = "Unsupported graph value flags/dtype";
  EXPECT_TRUE(raises(edited([](MiniGraph* g) { g->values[3].flags = 8; }), kFlags));
  EXPECT_TRUE(raises(edited([](MiniGraph* g) { g->values[3].dtype = 2; }), kFlags));
  EXPECT_TRUE(raises(edited([](MiniGraph* g) { g->values[3].dtype = 4; }), kFlags));  // q8, unbound
  EXPECT_TRUE(raises(edited([](MiniGraph* g) { g->values[3].dtype = 0; }), kFlags));
  const char* kBinding = "Invalid weight/input binding";
  EXPECT_TRUE(raises(edited([](MiniGraph* g) { g->values[1].flags = 5; }), kBinding));
  EXPECT_TRUE(raises(edited([](MiniGraph* g) { g->values[1].weight = 2; }), kBinding));
  EXPECT_TRUE(raises(edited([](MiniGraph* g) { g->values[1].weight = ~uint64_t{0}; }), kBinding));
  EXPECT_TRUE(raises(edited([](MiniGraph* g) { g->values[1].dtype = 4; }), "Graph weight dtype mismatch"));
  EXPECT_TRUE(raises(edited([](MiniGraph* g) {
                       g->q8_head = true;
                       g->values[2].name = "head16";  // keeps dtype 1 over the q8 tensor
                     }),
                     "Graph weight dtype mismatch"));
  EXPECT_TRUE(raises(edited([](MiniGraph* g) { g->values.push_back({"input_ids", 3, 1, 0}); }),
                     "Duplicate input name"));
}

TEST(VXGraphInit, NodeRecordRules) {
  auto node = [](uint64_t word, std::function<uint64_t(const GraphLayout&, uint64_t)> value) {
    return patched([=](std::vector<uint8_t>* b, const GraphLayout& l) {
      const uint64_t at = l.node(1) + 8 * word;
      put_word(b, at, value(l, word_at(*b, at)));
    });
  };
  const char* kRecord = "Invalid operation record";
  EXPECT_TRUE(raises(node(0, [](auto&, uint64_t) { return 0; }), kRecord));
  EXPECT_TRUE(raises(node(0, [](auto&, uint64_t) { return 14; }), kRecord));
  EXPECT_TRUE(raises(node(1, [](auto&, uint64_t) { return 2; }), kRecord));  // group
  EXPECT_TRUE(raises(node(2, [](auto&, uint64_t) { return 0; }), kRecord));
  EXPECT_TRUE(raises(node(2, [](auto&, uint64_t) { return 7; }), kRecord));
  EXPECT_TRUE(raises(node(3, [](auto&, uint64_t) { return 0; }), kRecord));
  EXPECT_TRUE(raises(node(3, [](auto&, uint64_t) { return 4; }), kRecord));
  EXPECT_TRUE(raises(node(4, [](auto& l, uint64_t) { return l.id_area - 8; }), kRecord));
  EXPECT_TRUE(raises(node(4, [](auto& l, uint64_t) { return l.attr_area - 16; }), kRecord));  // 3 ids
  EXPECT_TRUE(raises(node(4, [](auto&, uint64_t) { return ~uint64_t{0}; }), kRecord));
  EXPECT_TRUE(raises(node(5, [](auto& l, uint64_t) { return l.attr_area - 8; }), kRecord));
  EXPECT_TRUE(raises(node(5, [](auto& l, uint64_t) { return l.end + 8; }), kRecord));
  EXPECT_TRUE(raises(node(6, [](auto&, uint64_t) { return 40; }), kRecord));
  EXPECT_TRUE(raises(node(6, [](auto&, uint64_t) { return 12; }), kRecord));
  EXPECT_TRUE(raises(node(6, [](auto&, uint64_t) { return ~uint64_t{0} - 7; }), kRecord));
  // Attribute words that would run past the section end.
  EXPECT_TRUE(raises(patched([](std::vector<uint8_t>* b, const GraphLayout& l) {
                       put_word(b, l.node(1) + 40, l.end - 8);
                       put_word(b, l.node(1) + 48, 16);
                     }),
                     kRecord));
}

TEST(VXGraphInit, ValueIdsAndOrder) {
  EXPECT_TRUE(raises(patched([](std::vector<uint8_t>* b, const GraphLayout& l) {
                       put_word(b, word_at(*b, l.node(1) + 32), 5);
                     }),
                     "Graph value index"));
  EXPECT_TRUE(raises(patched([](std::vector<uint8_t>* b, const GraphLayout& l) {
                       put_word(b, word_at(*b, l.node(1) + 32) + 16, ~uint64_t{0});  // the output
                     }),
                     "Graph value index"));
  // The head reads a value that a later node defines; two nodes write one value.
  EXPECT_TRUE(raises(edited([](MiniGraph* g) { std::swap(g->nodes[0], g->nodes[1]); }), "Graph not topological"));
  EXPECT_TRUE(raises(edited([](MiniGraph* g) { g->nodes[0].inputs = {0, 3}; }), "Graph not topological"));
  EXPECT_TRUE(raises(edited([](MiniGraph* g) { g->nodes[1].outputs = {3}; }), "Value defined twice"));
  EXPECT_TRUE(raises(edited([](MiniGraph* g) { g->nodes[0].outputs = {1}; }), "Value defined twice"));
  EXPECT_TRUE(raises(edited([](MiniGraph* g) { g->values[4].flags = 0; }), "No logits output"));
  EXPECT_TRUE(raises(edited([](MiniGraph* g) {
                       g->values[4].flags = 0;
                       g->values.push_back({"never", 1, vexa::kVXValueLogits, 0});
                     }),
                     "No logits output"));
}

TEST(VXGraphInit, UsesCountEveryRead) {
  MiniGraph mini;
  mini.values.push_back({"sum", 1, 0, 0});
  mini.values[4].flags = 0;
  mini.values.push_back({"final", 1, vexa::kVXValueLogits, 0});
  mini.nodes.push_back({vexa::kVXOpAdd, 1, {4, 4}, {5}, {}});
  mini.nodes.push_back({vexa::kVXOpMultiply, 1, {5, 4}, {6}, {}});
  LoadedModel m;
  m.load(mini.write());
  auto g = m.graph(1);
  // "logits" is read twice by the add and once by the multiply.
  EXPECT_EQ(g->uses()[4], 3u);
  EXPECT_EQ(g->uses()[5], 1u);
  EXPECT_EQ(g->logits_id(), 6u);
  EXPECT_EQ(g->nodes()[2].attrs.size(), 0u);
}

}  // namespace
