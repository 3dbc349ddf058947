// One run of the whole graph: bind the inputs, encode every node in order, release each
// activation after its last reader is encoded, wait, and hand back the logits, the captures and
// the grown key/value caches.
#include <algorithm>
#include <atomic>
#include <functional>

#include "core/atomics.h"
#include "core/checked_math.h"
#include "core/clock.h"
#include "core/domain_error.h"
#include "gpu/vx_graph.h"
#include "platform/thread_pool.h"

namespace vexa {

namespace {

constexpr double kMsPerSecond = 1000.0;
constexpr uint64_t kNoNode = UINT64_MAX;

double gpu_ms(const CommandBuffer& cb) {
  return (cb.gpu_end_time() - cb.gpu_start_time()) * kMsPerSecond;
}

// A caller's tensor is what it claims: its count matches its shape and its bytes lie inside its
// buffer (kernels and host reads rely on both).
bool tensor_consistent(const VXTensor& t) {
  if (t.shape.size() > kVXMaxRank) return false;
  uint64_t count = 1;
  for (uint64_t d : t.shape) {
    if (d > kVXMaxElements || !checked_mul_u64(count, d, &count) || count > kVXMaxElements) {
      return false;
    }
  }
  if (count != t.count) return false;
  if (count == 0) return true;
  return t.buffer != nullptr &&
         range_within(t.offset, count * vx_element_bytes(t.dtype), t.buffer->length());
}

void stop_if_cancelled(const uint32_t* flag) {
  if (atomic_load_u32(flag, kOrderAcquire) != 0) {
    throw DomainError(kCancelledDomain, "Generation cancelled");
  }
}

// While the caller encodes a decode step (0.3-0.5 ms, serial) memory has nothing to do: idle
// workers pull the weights of the step's first products toward the caches, so those products read
// them from the shared L3 instead of memory. Decode at 8 threads on a shared 8-core Zen 4 (32 MiB
// L3), 11 alternating runs each: tenth-percentile step 5.35 -> 5.19 ms with FP16 weights, 3.97 ->
// 3.78 ms with q8 (the medians moved alike but within the host's noise); 28 MiB did no better.
constexpr uint64_t kWarmBytes = 16ull << 20;
constexpr uint64_t kWarmChunkBytes = 64ull << 10;

uint64_t chunks_of(uint64_t bytes) { return bytes / kWarmChunkBytes + (bytes % kWarmChunkBytes != 0); }

struct WarmRange {
  const char* data;
  uint64_t bytes;
  uint64_t first_chunk;  // chunks of all earlier ranges
};

// The stored bytes of the linear layers' weights in node order, up to kWarmBytes; weights the host
// cannot see (private buffers) are skipped.
std::vector<WarmRange> warm_ranges(const std::vector<VXNode>& nodes, const std::vector<VXValue>& rows,
                                   const std::vector<VXTensorPtr>& weights) {
  std::vector<WarmRange> ranges;
  uint64_t total = 0, chunks = 0;
  for (const VXNode& node : nodes) {
    if (total >= kWarmBytes) break;
    if (node.op != kVXOpLinear || node.inputs.size() < 2) continue;
    const VXValue& v = rows[node.inputs[1]];
    if ((v.flags & kVXValueWeight) == 0) continue;
    const VXTensor& w = *weights[v.tensor];
    const char* base = static_cast<const char*>(w.buffer->contents());
    if (base == nullptr) continue;
    const uint64_t last = w.shape.empty() ? 1 : std::max<uint64_t>(1, w.shape.back());
    // Views were checked against their buffer at load, so these products stay inside it.
    const uint64_t bytes = w.dtype == kVXDtypeQ8 ? (w.count / last) * w.row_bytes : w.count * 2;
    if (bytes == 0) continue;
    ranges.push_back({base + w.offset, bytes, chunks});
    chunks += chunks_of(bytes);
    total += bytes;
  }
  return ranges;
}

// Runs encode on the calling thread; the other members of the team prefetch `ranges` a chunk at
// a time until encode returns (or throws) or the ranges are done. Prefetching changes no result.
void encode_while_warming(const std::vector<WarmRange>& ranges, unsigned members,
                          const std::function<void()>& encode) {
  const uint64_t chunks = ranges.empty() ? 0 : ranges.back().first_chunk + chunks_of(ranges.back().bytes);
  std::atomic<bool> encoded{false};
  std::atomic<uint64_t> next{0};
  parallel_team(members, [&](size_t member) {
    if (member == 0) {
      struct Done {
        std::atomic<bool>* flag;
        ~Done() { flag->store(true, std::memory_order_release); }
      } done{&encoded};
      encode();
      return;
    }
    while (!encoded.load(std::memory_order_acquire)) {
      const uint64_t c = next.fetch_add(1, std::memory_order_relaxed);
      if (c >= chunks) return;
      auto it = std::upper_bound(ranges.begin(), ranges.end(), c,
                                 [](uint64_t chunk, const WarmRange& r) { return chunk < r.first_chunk; });
      const WarmRange& r = *(it - 1);
      const uint64_t from = (c - r.first_chunk) * kWarmChunkBytes;
      const uint64_t to = std::min(r.bytes, from + kWarmChunkBytes);
      for (uint64_t o = from; o < to; o += 64) __builtin_prefetch(r.data + o, 0, 3);
    }
  });
}

}  // namespace

VXTensorPtr VXGraph::dequantize(const VXTensorPtr& weight,
                                const std::shared_ptr<CommandBuffer>& command) {
  VXTensorPtr y = tensor(weight->shape, kVXDtypeF16);
  VXParams p{};
  p.u[0] = static_cast<uint32_t>(weight->count);
  p.u[1] = static_cast<uint32_t>(weight->shape.empty() ? 1 : weight->shape.back());
  p.u[2] = static_cast<uint32_t>(weight->row_bytes);
  kernel("dequant_q8", {weight.get(), weight.get(), y.get()}, p, weight->count, false, command);
  dequantized_weight_bytes_ += weight->count * 2;
  widened_weight_bytes_ += weight->count * 2;
  return y;
}

VXRunResult VXGraph::run(const VXTensorMap& inputs, const std::set<std::string>* captures) {
  const double start = monotonic_seconds();
  auto captured = [&](const std::string& name) {
    return captures != nullptr && captures->count(name) != 0;
  };
  std::vector<uint64_t> remaining = uses_;
  std::vector<uint64_t> last_of_group(groups_.size(), kNoNode);
  for (uint64_t j = 0; j < nodes_.size(); ++j) last_of_group[nodes_[j].group] = j;

  const uint64_t values = rows_.size();
  std::vector<VXTensorPtr> bound(values);
  std::vector<bool> released(values, false);
  std::vector<bool> kept(values, false);
  for (uint64_t i = 0; i < values; ++i) {
    const VXValue& v = rows_[i];
    if ((v.flags & kVXValueWeight) != 0) {
      bound[i] = weights_[v.tensor];
    } else if ((v.flags & kVXValueInput) != 0) {
      auto it = inputs.find(v.name);
      const uint64_t want = v.dtype == kVXDtypeF16 ? activation_ : kVXDtypeI64;
      const bool ok = it != inputs.end() && it->second != nullptr && it->second->dtype == want &&
                      !it->second->weight && tensor_consistent(*it->second);
      if (!ok) raise_inference("Missing/invalid input " + v.name);
      bound[i] = it->second;
    }
  }
  auto ids = inputs.find("input_ids");
  const bool prefill = ids != inputs.end() && ids->second != nullptr && ids->second->count >= 2;
  const bool has_q8 = quantized_weights_ > 0;

  // Library work (matrix objects, graphs) encodes into the same command buffers as the kernels,
  // so no wrapping is needed when those paths are on.
  std::shared_ptr<CommandBuffer> cb = new_command_buffer();
  double accumulated_ms = 0.0;
  std::vector<VXProfileRecord> profile;
  VXRunResult result;

  // After a node's kernels are encoded: the profile record, the outputs bound and captured, the
  // inputs released after their last reader.
  auto finish_node = [&](uint64_t j, const VXTensorList& in, const VXTensorList& out) {
    const VXNode& node = nodes_[j];
    require_inference(out.size() == node.outputs.size(), "Output count mismatch");
    if (encode_hook_) encode_hook_(cb, j);

    if (profile_) {
      cb->commit();
      cb->wait_until_completed();
      require_inference(cb->status() == CommandBufferStatus::kCompleted,
                        "Profile command failed");
      VXProfileRecord r;
      r.node = j;
      r.op = node.op;
      r.group = groups_[node.group];
      r.input_shape = in[0]->shape;
      r.gpu_ms = gpu_ms(*cb);
      accumulated_ms += r.gpu_ms;
      profile.push_back(std::move(r));
      cb = new_command_buffer();
    }

    for (uint64_t o = 0; o < out.size(); ++o) {
      const uint64_t id = node.outputs[o];
      bound[id] = out[o];
      if (captured(rows_[id].name)) {
        result.captures[rows_[id].name] = out[o];
        kept[id] = true;
      }
    }
    if (last_of_group[node.group] == j && captured(groups_[node.group])) {
      result.captures[groups_[node.group]] = out[0];
      kept[node.outputs[0]] = true;
    }
    if (node.op == kVXOpAttention && out.size() == 3) {
      result.cache[rows_[node.inputs[4]].name] = out[1];
      result.cache[rows_[node.inputs[5]].name] = out[2];
    }

    for (uint64_t id : node.inputs) {
      if (--remaining[id] != 0 || rows_[id].flags != 0 || kept[id]) continue;
      recycle(bound[id]);
      bound[id] = nullptr;
      released[id] = true;
    }
  };

  auto encode_nodes = [&]() {
  uint64_t step = 1;
  for (uint64_t j = 0; j < nodes_.size(); j += step) {
    const VXNode& node = nodes_[j];
    step = 1;
    if (cancel_flag_ != nullptr) {
      if (j == 0) {
        stop_if_cancelled(cancel_flag_);
      } else if (prefill && node.group != nodes_[j - 1].group) {
        // Commit what the earlier groups encoded, so a cancel takes effect at the boundary.
        cb->commit();
        cb->wait_until_completed();
        require_inference(cb->status() == CommandBufferStatus::kCompleted,
                          "Metal execution failed");
        if (!profile_) accumulated_ms += gpu_ms(*cb);
        cb = new_command_buffer();
        stop_if_cancelled(cancel_flag_);
      }
    }

    // Single-row products of one input (q/k/v, gate/up) share one dispatch: one hand-out of the
    // weights to the threads and one wait for the last of them, instead of one per product.
    const uint64_t siblings = sibling_linears(j, bound);
    if (siblings > 1) {
      VXTensorList weights, biases;
      for (uint64_t i = j; i < j + siblings; ++i) {
        const VXNode& n = nodes_[i];
        weights.push_back(bound[n.inputs[1]]);
        biases.push_back(n.inputs.size() > 2 ? bound[n.inputs[2]] : nullptr);
      }
      const VXTensorPtr x = bound[node.inputs[0]];
      const VXTensorList outs = linear_siblings(x, weights, biases, cb);
      for (uint64_t i = 0; i < siblings; ++i) {
        const VXNode& n = nodes_[j + i];
        VXTensorList in = {x, weights[i]};
        if (n.inputs.size() > 2) in.push_back(biases[i]);
        finish_node(j + i, in, {outs[i]});
      }
      step = siblings;
      continue;
    }

    VXTensorList in;
    in.reserve(node.inputs.size());
    for (uint64_t id : node.inputs) {
      require_inference(!released[id] && bound[id] != nullptr, "Released graph value");
      in.push_back(bound[id]);
    }

    // Prefill needs the logits of the last position only, when nobody else wants the rest.
    const VXTensorPtr& x = in[0];
    if (node.op == kVXOpLinear && node.outputs.size() == 1 && node.outputs[0] == logits_id_ &&
        uses_[logits_id_] == 0 && !captured(groups_[node.group]) &&
        !captured(rows_[logits_id_].name) && x->shape.size() == 3 && x->shape[0] == 1 &&
        x->shape[1] >= 2 && vx_element_bytes(x->dtype) != 0) {
      auto last = std::make_shared<VXTensor>(*x);
      const uint64_t width = x->shape[2];
      last->shape = {1, 1, width};
      last->count = width;
      last->offset = x->offset + (x->count - width) * vx_element_bytes(x->dtype);
      in[0] = std::move(last);
    }

    // q8 weights become FP16 scratch for every op but the lookups and the linear nodes, which
    // read the blocks directly (linear_node expands them itself where a library multiplies).
    VXTensorList scratch;
    if (has_q8 && in[0]->count > 0 && in.size() >= 2) {
      uint64_t scratch_bytes = 0;
      for (uint64_t i = 1; i < in.size(); ++i) {
        const VXTensorPtr& w = in[i];
        if (w->dtype != kVXDtypeQ8) continue;
        if (i == 1) {
          if (node.op == kVXOpEmbedding) continue;
          if (node.op == kVXOpLinear && w->shape.size() == 2) continue;
        }
        VXTensorPtr expanded = dequantize(w, cb);
        scratch_bytes += expanded->buffer->length();
        in[i] = expanded;
        scratch.push_back(std::move(expanded));
      }
      peak_dequantized_weight_bytes_ = std::max(peak_dequantized_weight_bytes_, scratch_bytes);
    }

    VXTensorList out = operation(node, in, cb);
    for (const VXTensorPtr& t : scratch) recycle(t);
    finish_node(j, in, out);
  }
  };

  // Only a step that commits nothing before its end: work committed inside the team would run on
  // the caller alone.
  const unsigned members = parallel_thread_budget();
  if (prefill || profile_ || members < 2) {
    encode_nodes();
  } else {
    encode_while_warming(warm_ranges(nodes_, rows_, weights_), members, encode_nodes);
  }

  last_encode_ms_ = (monotonic_seconds() - start) * kMsPerSecond;
  cb->commit();
  cb->wait_until_completed();
  if (cb->status() != CommandBufferStatus::kCompleted) {
    raise_inference("Metal execution: " + cb->error_message());
  }
  last_gpu_ms_ = gpu_ms(*cb);
  if (profile_) {
    last_gpu_ms_ = accumulated_ms;
  } else if (cancel_flag_ != nullptr) {
    last_gpu_ms_ += accumulated_ms;
  }
  last_profile_ = std::move(profile);
  result.logits = bound[logits_id_];
  return result;
}

}  // namespace vexa
