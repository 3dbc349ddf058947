// One decode step of the generative graph executor on the text model sized like SmolVLM-256M's
// language part (test support's bench_text_desc: hidden 576, 30 layers, 9 query / 3 key/value
// heads of 64, MLP 1536, vocabulary 49,280), FP16 weights and activations: the model is written
// to a temporary file, loaded into a weight slot, prefilled once, and then the same next-token
// step is run again and again over the prefill's caches.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/container.h"
#include "gpu/vx_graph.h"
#include "gpu/weight_slot.h"
#include "tests/support/vlm_model.h"

namespace bench {

class TextModelDecodeStep {
 public:
  // `prompt_tokens` ids prefilled before the timed step.
  explicit TextModelDecodeStep(uint64_t prompt_tokens) {
    desc_ = vexa::testing::bench_text_desc(vexa::testing::VlmWeights::fp16);
    vexa::testing::TempModelFile file;
    std::string error;
    if (!file.write(desc_, &error)) die(error);
    vocab_ = file.info().vocab;
    vexa::OpenResult r = vexa::container_open_path(file.path().c_str(), file.path().size());
    if (!r.ok()) die("cannot open the written model");
    container_ = r.container;
    const uint64_t size = (container_.weights_data_size + 16383) / 16384 * 16384;
    vexa::WeightSlotResult s = vexa::weight_slot_alloc(size, true);
    if (!s.ok()) die("weight slot");
    slot_ = s.slot;
    if (vexa::weights_load(&container_, &slot_, 8, false).failed) die("weights load");
    graph_ = vexa::VXGraph::init_with_context(slot_.context, container_.image,
                                              container_.image_size, vexa::kVXActivationF16);
    graph_->set_cache_capacity(prompt_tokens + 1);

    std::vector<int64_t> ids(prompt_tokens), positions(prompt_tokens);
    for (uint64_t i = 0; i < prompt_tokens; ++i) {
      ids[i] = static_cast<int64_t>((i * 7919) % vocab_);
      positions[i] = static_cast<int64_t>(i);
    }
    vexa::VXGraph& g = *graph_;
    inputs_ = {{"input_ids", ids_tensor(ids)},
               {"position_ids", ids_tensor(positions)},
               {"text_attention_mask", g.tensor({1, 1, 0, 0}, g.activation())}};
    const vexa::testing::VlmTextShape& t = desc_.text;
    for (uint64_t i = 0; i < t.layers; ++i) {
      for (const char* kind : {"past_key.", "past_value."}) {
        inputs_[kind + std::to_string(i)] = g.tensor({1, t.kv_heads, 0, t.head_dim}, g.activation());
      }
    }
    const vexa::VXRunResult start = g.run(inputs_, nullptr);
    for (const auto& [name, cache] : start.cache) inputs_[name] = cache;
    g.recycle(start.logits);
    inputs_["input_ids"] = ids_tensor({1});
    inputs_["position_ids"] = ids_tensor({static_cast<int64_t>(prompt_tokens)});
  }

  ~TextModelDecodeStep() {
    graph_.reset();
    vexa::weight_slot_release(&slot_);
    vexa::buffer_release(&slot_);
    vexa::container_close(&container_);
  }
  TextModelDecodeStep(const TextModelDecodeStep&) = delete;
  TextModelDecodeStep& operator=(const TextModelDecodeStep&) = delete;

  // The step writes the same cache position every time, so repeats cost alike.
  void run() {
    const vexa::VXRunResult r = graph_->run(inputs_, nullptr);
    graph_->recycle(r.logits);
  }
  uint64_t vocab() const { return vocab_; }

 private:
  [[noreturn]] static void die(const std::string& what) {
    std::fprintf(stderr, "decode step: %s\n", what.c_str());
    std::exit(1);
  }
  vexa::VXTensorPtr ids_tensor(const std::vector<int64_t>& ids) {
    vexa::VXTensorPtr t = graph_->tensor({1, ids.size()}, vexa::kVXDtypeI64);
    std::memcpy(t->buffer->contents(), ids.data(), ids.size() * 8);
    return t;
  }

  vexa::testing::VlmModelDesc desc_;
  uint64_t vocab_ = 0;
  vexa::OpenContainer container_{};
  vexa::WeightSlot slot_{};
  std::unique_ptr<vexa::VXGraph> graph_;
  vexa::VXTensorMap inputs_;
};

}  // namespace bench
