// Helpers of the graph executor tests: generated containers loaded into a GPU context, host
// arrays uploaded as tensors and read back, a small hand-built graph whose metadata image the
// tests patch, single nodes run on it, and matching a DomainError's domain and message.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/container_writer.h"
#include "core/domain_error.h"
#include "gpu/gpu_context.h"
#include "gpu/vx_graph.h"
#include "platform/half.h"
#include "tests/support/tiny_vlm.h"
#include "tests/support/vlm_model.h"

namespace vx_test {

using vexa::VXGraph;
using vexa::VXTensor;
using vexa::VXTensorMap;
using vexa::VXTensorPtr;

inline constexpr uint64_t kHeaderWeightsOffset = 48;
inline constexpr uint64_t kSlotAlignment = 16384;

inline uint64_t word_at(const std::vector<uint8_t>& b, uint64_t offset) {
  uint64_t v = 0;
  std::memcpy(&v, b.data() + offset, 8);
  return v;
}
inline void put_word(std::vector<uint8_t>* b, uint64_t offset, uint64_t v) {
  std::memcpy(b->data() + offset, &v, 8);
}

// A container's weights (everything after its metadata image) in a fresh GPU context, and the
// metadata image itself.
struct LoadedModel {
  std::vector<uint8_t> metadata;
  vexa::GpuContext* context = nullptr;

  LoadedModel() = default;
  LoadedModel(const LoadedModel&) = delete;
  LoadedModel& operator=(const LoadedModel&) = delete;
  ~LoadedModel() { vexa::gpu_context_free(context); }

  void load(const std::vector<uint8_t>& container) {
    const uint64_t w = word_at(container, kHeaderWeightsOffset);
    ASSERT_LE(w, container.size());
    metadata.assign(container.begin(), container.begin() + static_cast<std::ptrdiff_t>(w));
    const uint64_t data = container.size() - w;
    const uint64_t size = std::max<uint64_t>(1, (data + kSlotAlignment - 1) / kSlotAlignment) * kSlotAlignment;
    uint32_t code = 0;
    context = vexa::gpu_context_create(size, &code);
    ASSERT_NE(context, nullptr) << code;
    std::memcpy(vexa::gpu_context_weights_contents(context), container.data() + w, data);
  }

  std::unique_ptr<VXGraph> graph(uint64_t activation) const {
    return VXGraph::init_with_context(context, metadata.data(), metadata.size(), activation);
  }
};

// The tiny model of the goldens, written once per weight variant.
inline const std::vector<uint8_t>& tiny_model_bytes(vexa::testing::VlmWeights weights) {
  static std::map<vexa::testing::VlmWeights, std::vector<uint8_t>> cache;
  auto it = cache.find(weights);
  if (it == cache.end()) {
    std::vector<uint8_t> bytes;
    vexa::testing::VlmModelInfo info;
    std::string error;
    if (!vexa::testing::write_vlm_model(vexa::testing::tiny_vlm_desc(weights), &bytes, &info,
                                        &error)) {
      ADD_FAILURE() << error;
    }
    it = cache.emplace(weights, std::move(bytes)).first;
  }
  return it->second;
}

inline VXTensorPtr upload(VXGraph& g, const std::vector<uint64_t>& shape, uint64_t dtype,
                          const void* bytes) {
  VXTensorPtr t = g.tensor(shape, dtype);
  const uint64_t n = t->count * vexa::vx_element_bytes(dtype);
  if (n != 0) std::memcpy(static_cast<uint8_t*>(t->buffer->contents()) + t->offset, bytes, n);
  return t;
}

inline VXTensorPtr upload(VXGraph& g, const vexa::testing::HostTensor& h) {
  return upload(g, h.shape, h.dtype, h.bytes.data());
}

inline VXTensorMap upload_all(VXGraph& g, const vexa::testing::HostInputs& inputs) {
  VXTensorMap m;
  for (const auto& [name, t] : inputs) m[name] = upload(g, t);
  return m;
}

// Activation values (rounded to the precision for FP16) as a tensor.
inline VXTensorPtr upload_act(VXGraph& g, const std::vector<uint64_t>& shape,
                              const std::vector<float>& v) {
  if (g.activation() == vexa::kVXActivationF32) return upload(g, shape, vexa::kVXDtypeF32, v.data());
  std::vector<uint16_t> h(v.size());
  for (size_t i = 0; i < v.size(); ++i) h[i] = vexa::f16_round_even(v[i]);
  return upload(g, shape, vexa::kVXDtypeF16, h.data());
}

inline VXTensorPtr upload_i64(VXGraph& g, const std::vector<uint64_t>& shape,
                              const std::vector<int64_t>& v) {
  return upload(g, shape, vexa::kVXDtypeI64, v.data());
}

inline VXTensorPtr upload_f16(VXGraph& g, const std::vector<uint64_t>& shape,
                              const std::vector<float>& v) {
  std::vector<uint16_t> h(v.size());
  for (size_t i = 0; i < v.size(); ++i) h[i] = vexa::f16_round_even(v[i]);
  return upload(g, shape, vexa::kVXDtypeF16, h.data());
}

// The elements of an FP16 or FP32 tensor as floats (a cache view is read position by position
// with its stride).
inline std::vector<float> read_floats(const VXTensor& t) {
  std::vector<float> out(t.count);
  const uint8_t* base = static_cast<const uint8_t*>(t.buffer->contents()) + t.offset;
  uint64_t rows = t.count, row = 1, stride = 1;
  if (t.cache_stride != 0) {
    row = t.shape[3];
    rows = t.count / row;
    stride = t.cache_stride * row;
  }
  const uint64_t positions = t.cache_stride != 0 ? t.shape[2] : 1;
  for (uint64_t r = 0; r < rows; ++r) {
    const uint64_t head = r / positions, pos = r % positions;
    for (uint64_t c = 0; c < row; ++c) {
      const uint64_t src = t.cache_stride != 0 ? head * stride + pos * row + c : r * row + c;
      if (t.dtype == vexa::kVXDtypeF32) {
        std::memcpy(&out[r * row + c], base + 4 * src, 4);
      } else {
        uint16_t h;
        std::memcpy(&h, base + 2 * src, 2);
        out[r * row + c] = vexa::f16_widen(h);
      }
    }
  }
  return out;
}

// Runs `fn` and checks that it raises a DomainError of `domain` with exactly `message`.
template <typename Fn>
::testing::AssertionResult raises(Fn&& fn, const std::string& message,
                                  const std::string& domain = "VexaInference") {
  try {
    fn();
  } catch (const vexa::DomainError& e) {
    if (e.domain() == domain && message == e.what()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "raised " << e.domain() << " \"" << e.what() << "\", expected " << domain << " \""
           << message << "\"";
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << "raised a non-domain error: " << e.what();
  }
  return ::testing::AssertionFailure() << "nothing raised, expected \"" << message << "\"";
}

}  // namespace vx_test

namespace vx_test {

// A two-group graph small enough to check by hand: "input_ids" -> embedding of "emb" [8, 4]
// (group "text.0") -> "x" -> linear by "head" [8, 4] (group "lm_head") -> "logits".
// Tests edit the values and nodes before writing, or patch the written metadata image.
struct MiniGraph {
  std::vector<vexa::ContainerWriter::ExecValue> values;
  std::vector<vexa::ContainerWriter::ExecNode> nodes;
  std::vector<float> emb, head;  // exact in FP16
  bool q8_head = false;          // "head" as a q8 tensor (and value dtype 4)

  static constexpr uint64_t kVocab = 8, kDim = 4;

  MiniGraph() {
    values = {{"input_ids", vexa::kVXDtypeI64, vexa::kVXValueInput, 0},
              {"emb", 1, vexa::kVXValueWeight, 0},
              {"head", 1, vexa::kVXValueWeight, 1},
              {"x", 1, 0, 0},
              {"logits", 1, vexa::kVXValueLogits, 0}};
    nodes = {{vexa::kVXOpEmbedding, 0, {0, 1}, {3}, {}}, {vexa::kVXOpLinear, 1, {3, 2}, {4}, {}}};
    for (uint64_t r = 0; r < kVocab; ++r) {
      for (uint64_t c = 0; c < kDim; ++c) {
        emb.push_back(static_cast<float>(r) * 0.5f - static_cast<float>(c) * 0.25f);
        head.push_back(static_cast<float>((r + 3 * c) % 5) * 0.25f - 0.5f);
      }
    }
  }

  // Logits of one token, by hand (every product and sum is exact).
  std::vector<float> logits_of(int64_t id) const {
    std::vector<float> out(kVocab, 0.0f);
    for (uint64_t n = 0; n < kVocab; ++n) {
      for (uint64_t k = 0; k < kDim; ++k) out[n] += emb[id * kDim + k] * head[n * kDim + k];
    }
    return out;
  }

  std::vector<uint8_t> write() const {
    vexa::ContainerWriter w;
    w.set_generative();
    const uint64_t dims[2] = {kVocab, kDim};
    std::vector<uint16_t> e(emb.size()), h(head.size());
    for (size_t i = 0; i < emb.size(); ++i) e[i] = vexa::f16_round_even(emb[i]);
    for (size_t i = 0; i < head.size(); ++i) h[i] = vexa::f16_round_even(head[i]);
    w.begin_group("text.0");
    w.add_tensor_f16("emb", dims, e.data());
    w.begin_group("lm_head");
    if (q8_head) {
      // One block per row: the value times 4 as the byte, scale 0.25.
      std::vector<uint8_t> blocks(kVocab * 68, 0);
      for (uint64_t r = 0; r < kVocab; ++r) {
        for (uint64_t c = 0; c < kDim; ++c) {
          blocks[r * 68 + c] = static_cast<uint8_t>(static_cast<int8_t>(head[r * kDim + c] * 4));
        }
        const float scale = 0.25f;
        std::memcpy(&blocks[r * 68 + 64], &scale, 4);
      }
      w.add_tensor_q8("head", dims, blocks.data());
    } else {
      w.add_tensor_f16("head", dims, h.data());
    }
    for (auto v : values) {
      if (q8_head && v.name == "head") v.dtype = vexa::kVXDtypeQ8;
      w.add_exec_value(v);
    }
    for (const auto& n : nodes) w.add_exec_node(n);
    std::vector<uint8_t> out;
    std::string error;
    if (!w.write_to_memory(&out, &error)) ADD_FAILURE() << error;
    return out;
  }
};

// The mini graph (or one given) loaded at one activation type with a dispatch log, for tests
// that put single nodes through the executor.
struct NodeRunner {
  LoadedModel model;
  std::unique_ptr<VXGraph> g;
  std::vector<std::string> log;
  bool fp32;

  explicit NodeRunner(uint64_t activation, const MiniGraph& mini = MiniGraph())
      : fp32(activation == vexa::kVXActivationF32) {
    model.load(mini.write());
    g = model.graph(activation);
    g->set_dispatch_log(&log);
  }

  // What `encode` puts in a command buffer of its own, which must then complete; the log holds
  // that work's dispatches alone.
  template <typename Encode>
  auto committed(Encode&& encode) {
    log.clear();
    auto cb = g->queue()->command_buffer();
    auto out = encode(cb);
    cb->commit();
    EXPECT_EQ(cb->status(), vexa::CommandBufferStatus::kCompleted) << cb->error_message();
    return out;
  }
  vexa::VXTensorList run(const vexa::VXNode& node, const vexa::VXTensorList& in) {
    return committed([&](auto& cb) { return g->operation(node, in, cb); });
  }
};

// Where the graph section's tables lie in a metadata image.
struct GraphLayout {
  uint64_t section, end, node_table, node_stride, value_table, value_stride, id_area, attr_area;

  explicit GraphLayout(const std::vector<uint8_t>& m) {
    section = word_at(m, 160);
    end = section + word_at(m, 168);
    node_stride = word_at(m, section + 40);
    node_table = word_at(m, section + 48);
    value_stride = word_at(m, section + 64);
    value_table = word_at(m, section + 72);
    id_area = word_at(m, section + 80);
    attr_area = word_at(m, section + 88);
  }
  uint64_t node(uint64_t j) const { return node_table + node_stride * j; }
  uint64_t value(uint64_t i) const { return value_table + value_stride * i; }
};

}  // namespace vx_test
