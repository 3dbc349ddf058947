// Multi-head attention with grouped key/value heads and an optional key/value cache.
//
// Caches are [B, Hkv, T, D] views of buffers that hold `cache_stride` positions per head. A past
// cache with room for the new positions is appended to in place; otherwise a new buffer of
// max(T, cache capacity) positions is taken and the past copied in front of the new positions.
// Decode steps therefore append one position in place and allocate nothing once the cache has
// its capacity.
#include <algorithm>

#include "core/checked_math.h"
#include "gpu/vx_graph.h"

namespace vexa {

namespace {

constexpr uint64_t kMaxHeadDim = 256;
constexpr uint64_t kAttentionTile = 32;
constexpr uint64_t kAttentionGroupThreads = 128;
// Single-pass kernels keep every score of a query in group memory: at most this many keys, and
// they are worth it only for short queries.
constexpr uint64_t kSinglePassKeys = 2048;
constexpr uint64_t kSinglePassMaxQueries = 31;
constexpr uint64_t kDecodeHeadDim = 64;
// The library paths need whole matrices worth multiplying: queries and heads of at least this.
constexpr uint64_t kLibraryMinQueries = 32;
constexpr uint64_t kLibraryMinHeadDim = 32;

uint32_t u32(uint64_t v) { return static_cast<uint32_t>(v); }
uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

bool shape_is(const VXTensor& t, std::initializer_list<uint64_t> dims) {
  return t.shape.size() == dims.size() && std::equal(dims.begin(), dims.end(), t.shape.begin());
}

// Elements a cache view spans in its buffer: [B, Hkv, stride, D] with its own stride, else its
// count. Saturates, so a range check on it fails.
uint64_t cache_span_elements(const VXTensor& t) {
  if (t.cache_stride == 0 || t.shape.size() != 4) return t.count;
  uint64_t n = 0;
  if (!checked_mul_u64(t.shape[0], t.shape[1], &n) || !checked_mul_u64(n, t.cache_stride, &n) ||
      !checked_mul_u64(n, t.shape[3], &n)) {
    return UINT64_MAX;
  }
  return n;
}

}  // namespace

VXTensorList VXGraph::attention(const VXNode& node, const VXTensorList& in,
                                const std::shared_ptr<CommandBuffer>& command) {
  const VXTensorPtr& q = in[0];
  const VXTensorPtr& k = in[1];
  const VXTensorPtr& v = in[2];
  const VXTensorPtr& mask = in[3];
  const uint64_t hq = node.attrs[0], hkv = node.attrs[1], dim = node.attrs[2];
  const uint64_t cached = node.attrs[3];
  require_inference(q->shape.size() == 3 && hq != 0 && hkv != 0 && dim >= 1 &&
                        dim <= kMaxHeadDim && cached <= 1 && hq % hkv == 0,
                    "Attention attributes");
  const VXTensorPtr past_k = cached ? in[4] : nullptr;
  const VXTensorPtr past_v = cached ? in[5] : nullptr;
  const uint64_t batch = q->shape[0], seq = q->shape[1];
  // The past length is the third dimension of the past keys; without one there is no cache to
  // speak of. Any other rank than [B, Hkv, P, D] is refused with the cache checks, after the
  // shapes of the new positions.
  if (cached) require_inference(past_k->shape.size() >= 3, "KV cache shape");
  const uint64_t past = cached ? past_k->shape[2] : 0;
  const uint64_t total = past + seq;  // both at most 2^30
  uint64_t q_width = 0, kv_width = 0;
  const bool shapes_ok =
      total <= kVXMaxContext && checked_mul_u64(hq, dim, &q_width) && q->shape[2] == q_width &&
      checked_mul_u64(hkv, dim, &kv_width) && shape_is(*k, {batch, seq, kv_width}) &&
      v->shape == k->shape && k->dtype == activation_ && v->dtype == activation_ &&
      mask->dtype == activation_ && (mask->count == 0 || shape_is(*mask, {batch, 1, seq, total}));
  require_inference(shapes_ok, "Attention shape/mask; maximum context 8192");
  if (cached) {
    for (const VXTensorPtr& t : {past_k, past_v}) {
      require_inference(shape_is(*t, {batch, hkv, past, dim}) && t->dtype == activation_ &&
                            (t->cache_stride == 0 ||
                             (t->cache_stride >= past && t->cache_stride <= kVXMaxElements)),
                        "KV cache shape");
      // A caller's cache view must lie inside its buffer; the appends and kernels read it there.
      const uint64_t span = cache_span_elements(*t);
      require_inference(span == 0 || (t->buffer != nullptr && span <= kVXMaxElements &&
                                      range_within(t->offset, span * vx_element_bytes(t->dtype),
                                                   t->buffer->length())),
                        "KV cache shape");
    }
  }

  // The path is chosen before anything is encoded, so its own requirement is checked with the
  // others. The library paths multiply each query head by its own key head.
  const bool causal = mask->count == 0;
  const bool library =
      batch > 0 && seq >= kLibraryMinQueries && dim >= kLibraryMinHeadDim && hq == hkv;
  const bool use_graph =
      library && graph_attention_ && !causal && (!cached || activation_ == kVXActivationF32);
  const bool use_matrix = library && !use_graph && mps_attention_;
  // Caches are made at offset 0; the graph reads the query and mask from their buffers' start.
  if (use_graph) {
    require_inference(q->offset == 0 && mask->offset == 0,
                      "Graph attention requires zero-offset activations");
  }

  // A cache at offset 0 with room for the new positions takes them in place (an offset view
  // could not: the result addresses the buffer from its start). The kernels read keys and
  // values with one stride, so both take them in place or neither does.
  const bool in_place = cached && past_k->cache_stride >= total && past_k->offset == 0 &&
                        past_v->cache_stride == past_k->cache_stride && past_v->offset == 0;
  VXTensorPtr keys =
      cache_append(k, past_k, cached != 0, in_place, batch, hkv, seq, past, dim, command);
  VXTensorPtr values =
      cache_append(v, past_v, cached != 0, in_place, batch, hkv, seq, past, dim, command);
  VXTensorPtr out = tensor(q->shape, activation_);
  VXParams p{};
  p.u[0] = u32(hq);
  p.u[1] = u32(hkv);
  p.u[2] = u32(dim);
  p.u[3] = u32(seq);
  p.u[4] = u32(total);
  p.u[7] = u32(keys->cache_stride != 0 ? keys->cache_stride : total);
  p.u[14] = causal ? 1 : 0;
  const uint64_t heads = batch * hq;

  const AttentionDims dims{batch, hq, hkv, dim, seq, total, p.u[7]};
  if (use_graph) {
    attention_graph(q, keys, values, mask, out, dims, command);
  } else if (use_matrix) {
    attention_matrix(q, keys, values, mask, out, dims, p, command);
  } else if (batch > 0 && (seq > kSinglePassMaxQueries || total > kSinglePassKeys)) {
    VXTensorPtr scores = tensor({batch, hq, seq, total}, activation_);
    // The scores kernel reads a mask at index 4 only when there is one.
    kernel_grid("attention_scores", {q.get(), keys.get(), scores.get(), causal ? nullptr : mask.get()},
                p, Size3{ceil_div(total, kAttentionTile), ceil_div(seq, kAttentionTile), heads},
                kAttentionGroupThreads, command);
    kernel("attention_softmax", {scores.get()}, p, heads * seq, true, command);
    kernel_grid("attention_values", {scores.get(), values.get(), out.get()}, p,
                Size3{ceil_div(dim, kAttentionTile), ceil_div(seq, kAttentionTile), heads},
                kAttentionGroupThreads, command);
    recycle(scores);
  } else {
    const bool decode64 = dim == kDecodeHeadDim && seq == 1;
    kernel(decode64 ? "attention_decode64" : "attention",
           {q.get(), keys.get(), out.get(), values.get(), mask.get()}, p, batch * seq * hq, true,
           command);
  }

  if (!cached) {
    recycle(keys);
    recycle(values);
    return {out};
  }
  return {out, keys, values};
}

VXTensorPtr VXGraph::cache_append(const VXTensorPtr& fresh, const VXTensorPtr& past, bool cached,
                                  bool in_place, uint64_t batch, uint64_t kv_heads, uint64_t seq,
                                  uint64_t past_len, uint64_t dim,
                                  const std::shared_ptr<CommandBuffer>& command) {
  const uint64_t total = past_len + seq;
  VXTensorPtr result;
  uint64_t stride = 0;
  if (in_place) {
    result = std::make_shared<VXTensor>(*past);
    stride = past->cache_stride;
  } else {
    // Without a cache the keys are a temporary of the node: exactly T positions.
    stride = cached ? std::max(total, cache_capacity_) : total;
    result = tensor({batch, kv_heads, stride, dim}, activation_);
    if (cached) {
      ++cache_buffer_count_;
      cache_reserved_bytes_ += result->buffer->length();
    }
  }
  result->shape = {batch, kv_heads, total, dim};
  result->count = shape_element_count(result->shape);
  result->offset = 0;
  result->cache_stride = cached ? stride : 0;

  const uint64_t written = in_place ? seq : total;
  const uint64_t past_stride = past && past->cache_stride != 0 ? past->cache_stride : past_len;
  VXParams p{};
  p.u[0] = u32(batch * kv_heads * dim * written);
  p.u[1] = u32(dim);
  p.u[2] = u32(kv_heads);
  p.u[3] = u32(seq);
  p.u[4] = u32(past_len);
  p.u[5] = u32(stride);
  p.u[6] = in_place ? 1 : 0;
  p.u[7] = u32(past_stride);
  kernel("cache_append", {fresh.get(), past ? past.get() : fresh.get(), result.get()}, p,
         batch * kv_heads * dim * written, false, command);
  if (cached) {
    cache_written_elements_ += batch * kv_heads * dim * seq;
    if (!in_place) cache_copied_elements_ += batch * kv_heads * dim * past_len;
  }
  return result;
}

}  // namespace vexa
