#include "cpu/fusion.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "cpu/ops/activation.h"
#include "cpu/ops/conv.h"
#include "cpu/ops/norm.h"
#include "platform/gemm.h"

namespace vexa::cpu {

namespace {

constexpr uint64_t kFoldAlignBytes = 64;
constexpr uint32_t kWordActivation = 29;
constexpr uint32_t kWordSlope = 30;
constexpr uint32_t kWordLeakySlope = 29;
constexpr uint32_t kWordScaledAdd = 29;
constexpr uint32_t kWordAddScale = 30;
constexpr uint32_t kWordAxis = 26;
constexpr uint32_t kWordGemmTransB = 28;
constexpr uint64_t kConvTablePlanes = 3;
constexpr uint32_t kWordClipLower = 29;
constexpr uint32_t kWordClipUpper = 30;
constexpr uint32_t kClipUpperShift = 32;  // a fused Clip's upper bound in word [30]'s high half

constexpr uint64_t kind_of(OpKind k) { return static_cast<uint64_t>(k); }

uint64_t round_up(uint64_t n) { return (n + kFoldAlignBytes - 1) & ~(kFoldAlignBytes - 1); }

bool valid_id(const CpuState& s, uint64_t id) { return id < s.value_count; }

void count_consumers(const CpuState& s, ArenaPlanner& p) {
  std::memset(p.consumers, 0, sizeof(uint32_t) * s.value_count);
  for (uint64_t n = 0; n < s.node_count; ++n) {
    const CpuNode& node = s.nodes[n];
    for (uint32_t k = 0; k < node.input_count() && k < kMaxNodeInputs; ++k) {
      const uint64_t id = node.input(k);
      if (valid_id(s, id)) ++p.consumers[id];
    }
  }
}

// A value only this one slot reads and nobody outside the graph sees.
bool private_intermediate(const CpuState& s, const ArenaPlanner& p, uint64_t id) {
  return valid_id(s, id) && s.values[id].kind() == kValueIntermediate && p.consumers[id] == 1;
}

bool is_conv_without_epilogue(const CpuNode& n) {
  return n.kind() == kind_of(OpKind::kConv) && n.attr(kWordActivation) == kConvActNone &&
         n.input_count() >= 2 && n.output_count() >= 1;
}

bool conv_has_bias(const CpuState& s, const CpuNode& conv) {
  return conv.input_count() >= 3 && valid_id(s, conv.input(2));
}

// The BatchNormalization's per-channel vectors, checked to cover the Conv's output channels.
bool bn_vectors_fit(const CpuState& s, const CpuNode& conv, const CpuNode& bn, uint64_t* m) {
  if (bn.input_count() < 3 || !valid_id(s, bn.input(1)) || !valid_id(s, bn.input(2)))
    return false;
  const CpuValue& scale = s.values[bn.input(1)];
  const CpuValue& shift = s.values[bn.input(2)];
  const CpuValue& conv_out = s.values[conv.output(0)];
  *m = scale.element_count();
  // One scale per output channel; anything else is not a per-channel fold.
  return *m != 0 && conv_out.rank() == 4 && conv_out.dim(1) == *m &&
         shift.element_count() >= *m && scale.kind() == kValueWeight &&
         shift.kind() == kValueWeight && s.data[bn.input(1)] != nullptr &&
         s.data[bn.input(2)] != nullptr;
}

enum class BnPattern { kNone, kConvBn, kConvReluBn };

BnPattern match_bn(const CpuState& s, const ArenaPlanner& p, uint64_t i, uint64_t* m) {
  const CpuNode& bn = s.nodes[i];
  if (bn.kind() != kind_of(OpKind::kBatchNormalization) || i < 1 || bn.input_count() < 1 ||
      bn.output_count() < 1)
    return BnPattern::kNone;
  const CpuNode& prev = s.nodes[i - 1];
  if (is_conv_without_epilogue(prev) && prev.output(0) == bn.input(0) &&
      private_intermediate(s, p, bn.input(0))) {
    const uint64_t w = prev.input(1);
    if (!valid_id(s, w) || s.values[w].kind() != kValueWeight || p.consumers[w] != 1 ||
        s.data[w] == nullptr)
      return BnPattern::kNone;
    // A bias that another node also reads must keep its values: such a pair stays unfolded.
    if (conv_has_bias(s, prev) &&
        (p.consumers[prev.input(2)] != 1 || s.values[prev.input(2)].kind() != kValueWeight))
      return BnPattern::kNone;
    if (!bn_vectors_fit(s, prev, bn, m)) return BnPattern::kNone;
    const uint64_t wc = s.values[w].element_count();
    if (*m > wc || wc % *m != 0) return BnPattern::kNone;
    if (conv_has_bias(s, prev) && s.values[prev.input(2)].element_count() < *m)
      return BnPattern::kNone;
    return BnPattern::kConvBn;
  }
  if (i >= 2 && prev.kind() == kind_of(OpKind::kRelu) && prev.input_count() >= 1 &&
      prev.output_count() >= 1 && prev.output(0) == bn.input(0) &&
      private_intermediate(s, p, bn.input(0))) {
    const CpuNode& conv = s.nodes[i - 2];
    // The bias goes into the table now: one computed at run time has no values yet.
    if (!is_conv_without_epilogue(conv) || conv.output(0) != prev.input(0) ||
        !private_intermediate(s, p, prev.input(0)) ||
        (conv_has_bias(s, conv) && (s.values[conv.input(2)].kind() != kValueWeight ||
                                    s.data[conv.input(2)] == nullptr)))
      return BnPattern::kNone;
    if (!valid_id(s, bn.input(1)) || p.consumers[bn.input(1)] != 1) return BnPattern::kNone;
    if (!bn_vectors_fit(s, conv, bn, m)) return BnPattern::kNone;
    if (conv_has_bias(s, conv) && s.values[conv.input(2)].element_count() < *m)
      return BnPattern::kNone;
    return BnPattern::kConvReluBn;
  }
  return BnPattern::kNone;
}

void drop_storage(CpuState& s, uint64_t id) {
  if (valid_id(s, id)) s.values[id].w[kValueWordByteSize] = 0;
}

uint64_t batchnorm_fold_bytes(const CpuState& s, const ArenaPlanner& p) {
  if (s.node_count < 2) return 0;
  uint64_t total = 0;
  for (uint64_t i = 1; i < s.node_count; ++i) {
    uint64_t m = 0;
    switch (match_bn(s, p, i, &m)) {
      case BnPattern::kConvBn:
        total += round_up(kF32Bytes * s.values[s.nodes[i - 1].input(1)].element_count()) +
                 round_up(kF32Bytes * m);
        break;
      case BnPattern::kConvReluBn:
        total += round_up(kConvTablePlanes * kF32Bytes * m);
        break;
      case BnPattern::kNone:
        break;
    }
  }
  return total;
}

// Bump allocator over the state's folded-weight buffer.
struct FoldBuffer {
  uint8_t* cursor = nullptr;
  uint8_t* end = nullptr;
  float* take(uint64_t bytes) {
    const uint64_t size = round_up(bytes);
    if (cursor == nullptr || static_cast<uint64_t>(end - cursor) < size) return nullptr;
    float* slot = reinterpret_cast<float*>(cursor);
    cursor += size;
    return slot;
  }
};

void fold_batchnorm(CpuState& s, ArenaPlanner& p, FoldBuffer& buffer) {
  if (s.node_count < 2) return;
  count_consumers(s, p);
  auto take = [&](uint64_t bytes) { return buffer.take(bytes); };

  bool removed = false;
  for (uint64_t i = 1; i < s.node_count; ++i) {
    uint64_t m = 0;
    const BnPattern pattern = match_bn(s, p, i, &m);
    if (pattern == BnPattern::kNone) continue;
    CpuNode& bn = s.nodes[i];
    const float* scale = s.data[bn.input(1)];
    const float* shift = s.data[bn.input(2)];
    if (pattern == BnPattern::kConvBn) {
      CpuNode& conv = s.nodes[i - 1];
      const uint64_t wid = conv.input(1);
      const uint64_t wc = s.values[wid].element_count();
      float* weights = take(kF32Bytes * wc);
      float* bias = take(kF32Bytes * m);
      if (weights == nullptr || bias == nullptr) continue;
      const uint64_t per_channel = wc / m;
      const float* w = s.data[wid];
      for (uint64_t c = 0; c < m; ++c)
        for (uint64_t j = 0; j < per_channel; ++j)
          weights[c * per_channel + j] = w[c * per_channel + j] * scale[c];
      s.data[wid] = weights;
      if (conv_has_bias(s, conv)) {
        const uint64_t bid = conv.input(2);
        const float* b = s.data[bid];
        for (uint64_t c = 0; c < m; ++c) bias[c] = std::fma(b[c], scale[c], shift[c]);
        s.data[bid] = bias;
      } else {
        conv.w[kNodeWordFirstInput + 2] = bn.input(2);
        conv.w[kNodeWordInputCount] = 3;
      }
      const uint64_t old_out = conv.output(0);
      conv.w[kNodeWordFirstOutput] = bn.output(0);
      drop_storage(s, old_out);
    } else {
      CpuNode& relu = s.nodes[i - 1];
      CpuNode& conv = s.nodes[i - 2];
      float* table = take(kConvTablePlanes * kF32Bytes * m);
      if (table == nullptr) continue;
      const bool has_bias = conv_has_bias(s, conv);
      const float* b = has_bias ? s.data[conv.input(2)] : nullptr;
      for (uint64_t c = 0; c < m; ++c) {
        table[c] = b != nullptr ? b[c] : 0.0f;
        table[m + c] = scale[c];
        table[2 * m + c] = shift[c];
      }
      // The scale value now holds the whole bias / scale / shift table.
      const uint64_t sid = bn.input(1);
      CpuValue& sv = s.values[sid];
      s.data[sid] = table;
      sv.w[kValueWordRank] = 1;
      sv.w[kValueWordFirstDim] = kConvTablePlanes * m;
      for (uint32_t d = 1; d < kMaxRank; ++d) sv.w[kValueWordFirstDim + d] = 0;
      sv.w[kValueWordElementCount] = kConvTablePlanes * m;
      sv.w[kValueWordByteSize] = kConvTablePlanes * m * kF32Bytes;
      conv.w[kNodeWordFirstInput + 2] = sid;
      conv.w[kNodeWordInputCount] = 3;
      conv.w[kWordActivation] = kConvActReluAffine;
      drop_storage(s, conv.output(0));
      drop_storage(s, relu.output(0));
      conv.w[kNodeWordFirstOutput] = bn.output(0);
      relu.w[kNodeWordKind] = 0;
    }
    bn.w[kNodeWordKind] = 0;
    removed = true;
  }
  if (removed) cpu_compact_nodes(s);
}

void fuse_activations(CpuState& s, ArenaPlanner& p) {
  count_consumers(s, p);
  bool fused = false;
  for (uint64_t i = 0; i + 1 < s.node_count; ++i) {
    CpuNode& conv = s.nodes[i];
    CpuNode& act = s.nodes[i + 1];
    const uint64_t ck = conv.kind(), ak = act.kind();
    const bool leaky = ak == kind_of(OpKind::kLeakyRelu) && ck == kind_of(OpKind::kConv);
    const bool relu = ak == kind_of(OpKind::kRelu) &&
                      (ck == kind_of(OpKind::kConv) || ck == kind_of(OpKind::kConvTranspose));
    if (!leaky && !relu) continue;
    if (conv.attr(kWordActivation) != kConvActNone || conv.output_count() < 1 ||
        act.input_count() < 1 || act.output_count() < 1)
      continue;
    const uint64_t mid = conv.output(0);
    if (act.input(0) != mid || !private_intermediate(s, p, mid)) continue;
    if (leaky) {
      conv.w[kWordActivation] = kConvActLeakyRelu;
      conv.w[kWordSlope] = act.w[kWordLeakySlope];
    } else {
      conv.w[kWordActivation] = kConvActRelu;
    }
    conv.w[kNodeWordFirstOutput] = act.output(0);
    drop_storage(s, mid);
    act.w[kNodeWordKind] = 0;
    fused = true;
  }
  if (fused) cpu_compact_nodes(s);
}

// Conv -> Clip and Conv -> Sigmoid -> Mul (SiLU, the Conv's output read by both) become the
// Conv's epilogue. The epilogue calls the same routines the nodes would, so results keep
// their bits; the intermediate planes are never written out.
void fuse_conv_tails(CpuState& s, ArenaPlanner& p) {
  count_consumers(s, p);
  bool fused = false;
  for (uint64_t i = 0; i + 1 < s.node_count; ++i) {
    CpuNode& conv = s.nodes[i];
    if (!is_conv_without_epilogue(conv)) continue;
    const uint64_t t = conv.output(0);
    if (!valid_id(s, t) || s.values[t].kind() != kValueIntermediate) continue;
    CpuNode& next = s.nodes[i + 1];
    if (next.kind() == kind_of(OpKind::kClip) && next.input_count() == 1 &&
        next.output_count() >= 1 && next.input(0) == t && private_intermediate(s, p, t)) {
      const uint64_t lo = static_cast<uint32_t>(next.w[kWordClipLower]);
      const uint64_t hi = static_cast<uint32_t>(next.w[kWordClipUpper]);
      conv.w[kWordActivation] = kConvActClip;
      conv.w[kWordSlope] = lo | (hi << kClipUpperShift);
      conv.w[kNodeWordFirstOutput] = next.output(0);
      drop_storage(s, t);
      next.w[kNodeWordKind] = 0;
      fused = true;
      continue;
    }
    if (i + 2 >= s.node_count || next.kind() != kind_of(OpKind::kSigmoid) ||
        next.input_count() != 1 || next.output_count() < 1 || next.input(0) != t ||
        p.consumers[t] != 2)
      continue;
    CpuNode& mul = s.nodes[i + 2];
    const uint64_t gate = next.output(0);
    if (mul.kind() != kind_of(OpKind::kMul) || mul.input_count() != 2 ||
        mul.output_count() < 1 || !private_intermediate(s, p, gate) ||
        !((mul.input(0) == t && mul.input(1) == gate) ||
          (mul.input(0) == gate && mul.input(1) == t)))
      continue;
    conv.w[kWordActivation] = kConvActSilu;
    conv.w[kNodeWordFirstOutput] = mul.output(0);
    drop_storage(s, t);
    drop_storage(s, gate);
    next.w[kNodeWordKind] = 0;
    mul.w[kNodeWordKind] = 0;
    fused = true;
  }
  if (fused) cpu_compact_nodes(s);
}

// The operand of a two-input node that is not `t`, when one of them is `t`.
bool other_operand(const CpuNode& n, uint64_t t, uint64_t* other) {
  if (n.input(0) == t) {
    *other = n.input(1);
  } else if (n.input(1) == t) {
    *other = n.input(0);
  } else {
    return false;
  }
  return true;
}

bool same_shape(const CpuValue& a, const CpuValue& b) {
  return a.rank() == b.rank() && a.element_count() == b.element_count() &&
         std::equal(a.dims(), a.dims() + a.rank(), b.dims());
}

// Conv -> Add(conv output, r) [-> Relu] with r of the output's shape, the Add right after
// the Conv: r becomes the Conv's fourth input, added in its epilogue after the bias and before
// the ReLU, so neither the sum nor the ReLU is written out as a plane of its own. Only a Conv
// with no activation yet qualifies: the Add came after any bias and before any activation.
void fuse_residual_adds(CpuState& s, ArenaPlanner& p) {
  count_consumers(s, p);
  bool fused = false;
  for (uint64_t i = 0; i + 1 < s.node_count; ++i) {
    CpuNode& conv = s.nodes[i];
    CpuNode& add = s.nodes[i + 1];
    if (!is_conv_without_epilogue(conv) || conv.input_count() > kConvResidualInput ||
        add.kind() != kind_of(OpKind::kAdd) || add.input_count() != 2 ||
        add.output_count() < 1 || add.attr(kWordScaledAdd) != 0)
      continue;
    const uint64_t t = conv.output(0);
    if (!private_intermediate(s, p, t)) continue;
    uint64_t r;
    if (!other_operand(add, t, &r)) continue;
    const uint64_t out = add.output(0);
    if (r == t || !valid_id(s, r) || !valid_id(s, out) ||
        s.values[r].dtype() != s.values[t].dtype() || !same_shape(s.values[r], s.values[t]) ||
        !same_shape(s.values[out], s.values[t]))
      continue;
    if (conv.input_count() < kConvResidualInput) {
      conv.w[kNodeWordFirstInput + 2] = kAbsentValue;  // no bias
    }
    conv.w[kNodeWordInputCount] = kConvResidualInput + 1;
    conv.w[kNodeWordFirstInput + kConvResidualInput] = r;
    conv.w[kNodeWordFirstOutput] = out;
    drop_storage(s, t);
    add.w[kNodeWordKind] = 0;
    fused = true;
    // A Relu reading only the sum joins the epilogue too.
    if (i + 2 < s.node_count) {
      CpuNode& relu = s.nodes[i + 2];
      if (relu.kind() == kind_of(OpKind::kRelu) && relu.input_count() == 1 &&
          relu.output_count() >= 1 && relu.input(0) == out && private_intermediate(s, p, out)) {
        conv.w[kWordActivation] = kConvActRelu;
        conv.w[kNodeWordFirstOutput] = relu.output(0);
        drop_storage(s, out);
        relu.w[kNodeWordKind] = 0;
      }
    }
    i += 1;
  }
  if (fused) cpu_compact_nodes(s);
}

bool one_element_weight(const CpuState& s, uint64_t id) {
  return valid_id(s, id) && s.values[id].kind() == kValueWeight &&
         s.values[id].element_count() == 1 && s.data[id] != nullptr;
}

// A chain of scalar element-wise nodes after a Conv (a learnable affine, a hard-swish made
// of Add, Clip, Mul and Div, another affine...) as one program run in the Conv's epilogue.
struct TailChain {
  uint64_t last = 0;      // index of the chain's last node
  int32_t steps = 0;
  float program[kConvTailProgramFloats] = {};
  uint64_t carrier = 0;   // a one-element weight read only by the chain: it will hold the table
  bool have_carrier = false;
};

// The scalar operand of a two-input node whose other operand is `cur`, or false.
bool scalar_other(const CpuState& s, const CpuNode& n, uint64_t cur, float* value, uint64_t* id,
                  bool* cur_first) {
  if (n.input_count() != 2) return false;
  const uint64_t a = n.input(0), b = n.input(1);
  if (a == cur && b != cur && one_element_weight(s, b)) {
    *id = b, *cur_first = true;
  } else if (b == cur && a != cur && one_element_weight(s, a)) {
    *id = a, *cur_first = false;
  } else {
    return false;
  }
  *value = *s.data[*id];
  return true;
}

bool match_tail_chain(const CpuState& s, const ArenaPlanner& p, uint64_t i, TailChain* chain) {
  const CpuNode& conv = s.nodes[i];
  // The bias is copied into the table now: it must be a weight, not a value computed at run
  // time.
  if (!is_conv_without_epilogue(conv) || !conv_has_bias(s, conv) ||
      s.values[conv.input(2)].kind() != kValueWeight || s.data[conv.input(2)] == nullptr)
    return false;
  uint64_t cur = conv.output(0);
  uint64_t saved = 0;
  bool have_saved = false;
  TailChain work;
  bool found = false;
  for (uint64_t j = i + 1; j < s.node_count && work.steps + 2 <= kConvTailMaxSteps; ++j) {
    const CpuNode& n = s.nodes[j];
    if (!valid_id(s, cur) || s.values[cur].kind() != kValueIntermediate || n.output_count() < 1 ||
        !valid_id(s, n.output(0)) || s.values[n.output(0)].element_count() != s.values[cur].element_count())
      break;
    float* step = work.program + 1 + work.steps * kConvTailStepFloats;
    const uint64_t kind = n.kind();
    float value = 0.0f;
    uint64_t weight = 0;
    bool cur_first = false;
    bool mul_saved = false;
    if (kind == kind_of(OpKind::kMul) && have_saved && n.input_count() == 2 &&
        ((n.input(0) == cur && n.input(1) == saved) || (n.input(0) == saved && n.input(1) == cur))) {
      if (p.consumers[cur] != 1) break;
      mul_saved = true;
    } else {
      // Any other step reads cur once more: a second reader is the saved value's Mul.
      if (p.consumers[cur] == 2 && !have_saved) {
        step[0] = kTailSave;
        ++work.steps;
        step += kConvTailStepFloats;
        saved = cur;
        have_saved = true;
      } else if (p.consumers[cur] != 1) {
        break;
      }
    }
    if (mul_saved) {
      step[0] = kTailMulSaved;
      have_saved = false;
    } else if ((kind == kind_of(OpKind::kMul) || kind == kind_of(OpKind::kAdd)) &&
               scalar_other(s, n, cur, &value, &weight, &cur_first) &&
               (kind != kind_of(OpKind::kAdd) || n.attr(kWordScaledAdd) == 0)) {
      step[0] = kind == kind_of(OpKind::kMul) ? kTailMul : kTailAdd;
      step[1] = value;
    } else if ((kind == kind_of(OpKind::kDiv) || kind == kind_of(OpKind::kSub)) &&
               scalar_other(s, n, cur, &value, &weight, &cur_first) && cur_first) {
      // v - a is v + (-a) exactly.
      step[0] = kind == kind_of(OpKind::kDiv) ? kTailDiv : kTailAdd;
      step[1] = kind == kind_of(OpKind::kDiv) ? value : -value;
    } else if (kind == kind_of(OpKind::kClip) && n.input_count() == 1 && n.input(0) == cur) {
      step[0] = kTailClip;
      step[1] = word_f32(n.w[kWordClipLower]);
      step[2] = word_f32(n.w[kWordClipUpper]);
    } else {
      break;
    }
    ++work.steps;
    if (weight != 0 && !work.have_carrier && p.consumers[weight] == 1) {
      work.carrier = weight;
      work.have_carrier = true;
    }
    cur = n.output(0);
    if (!have_saved && work.have_carrier) {
      *chain = work;
      chain->last = j;
      found = true;
    }
  }
  if (!found) return false;
  chain->program[0] = static_cast<float>(chain->steps);
  return true;
}

// Room for the tables of every chain that may be fused: a Conv, or a BatchNormalization that
// will fold into one, followed by a scalar Mul, Add, Sub or Div.
uint64_t tail_chain_bytes(const CpuState& s) {
  uint64_t total = 0;
  for (uint64_t i = 0; i + 1 < s.node_count; ++i) {
    const CpuNode& n = s.nodes[i];
    const CpuNode& next = s.nodes[i + 1];
    const uint64_t kind = n.kind(), next_kind = next.kind();
    if ((kind != kind_of(OpKind::kConv) && kind != kind_of(OpKind::kBatchNormalization)) ||
        n.output_count() < 1 || !valid_id(s, n.output(0)) || next.input_count() != 2)
      continue;
    if (next_kind != kind_of(OpKind::kMul) && next_kind != kind_of(OpKind::kAdd) &&
        next_kind != kind_of(OpKind::kSub) && next_kind != kind_of(OpKind::kDiv))
      continue;
    if (!one_element_weight(s, next.input(0)) && !one_element_weight(s, next.input(1))) continue;
    const CpuValue& y = s.values[n.output(0)];
    if (y.rank() != 4) continue;
    total += round_up(kF32Bytes * (y.dim(1) + kConvTailProgramFloats));
  }
  return total;
}

void fuse_tail_chains(CpuState& s, ArenaPlanner& p, FoldBuffer& buffer) {
  count_consumers(s, p);
  bool fused = false;
  for (uint64_t i = 0; i + 1 < s.node_count; ++i) {
    TailChain chain;
    if (!match_tail_chain(s, p, i, &chain)) continue;
    CpuNode& conv = s.nodes[i];
    const CpuValue& bias_value = s.values[conv.input(2)];
    const uint64_t c_out = s.values[conv.output(0)].dim(1);
    if (bias_value.element_count() < c_out) continue;
    float* table = buffer.take(kF32Bytes * (c_out + kConvTailProgramFloats));
    if (table == nullptr) continue;
    std::memcpy(table, s.data[conv.input(2)], kF32Bytes * c_out);
    std::memcpy(table + c_out, chain.program, sizeof chain.program);
    // The carrier weight now holds the bias and the program.
    CpuValue& tv = s.values[chain.carrier];
    s.data[chain.carrier] = table;
    tv.w[kValueWordRank] = 1;
    tv.w[kValueWordFirstDim] = c_out + kConvTailProgramFloats;
    for (uint32_t d = 1; d < kMaxRank; ++d) tv.w[kValueWordFirstDim + d] = 0;
    tv.w[kValueWordElementCount] = c_out + kConvTailProgramFloats;
    tv.w[kValueWordByteSize] = (c_out + kConvTailProgramFloats) * kF32Bytes;
    conv.w[kNodeWordFirstInput + 2] = chain.carrier;
    conv.w[kWordActivation] = kConvActProgram;
    for (uint64_t j = i; j < chain.last; ++j) drop_storage(s, s.nodes[j].output(0));
    conv.w[kNodeWordFirstOutput] = s.nodes[chain.last].output(0);
    for (uint64_t j = i + 1; j <= chain.last; ++j) s.nodes[j].w[kNodeWordKind] = 0;
    i = chain.last;
    fused = true;
  }
  if (fused) cpu_compact_nodes(s);
}

void fuse_scaled_adds(CpuState& s, ArenaPlanner& p) {
  count_consumers(s, p);
  bool fused = false;
  for (uint64_t i = 0; i + 1 < s.node_count; ++i) {
    CpuNode& mul = s.nodes[i];
    const CpuNode& add = s.nodes[i + 1];
    if (mul.kind() != kind_of(OpKind::kMul) || add.kind() != kind_of(OpKind::kAdd) ||
        mul.input_count() != 2 || add.input_count() != 2 || mul.output_count() < 1 ||
        add.output_count() < 1 || add.attr(kWordScaledAdd) != 0)
      continue;
    const uint64_t t = mul.output(0);
    if (!private_intermediate(s, p, t)) continue;
    const uint64_t t_count = s.values[t].element_count();
    uint64_t scalar = 0, x = 0;
    if (one_element_weight(s, mul.input(1)) && valid_id(s, mul.input(0)) &&
        s.values[mul.input(0)].element_count() == t_count) {
      scalar = mul.input(1);
      x = mul.input(0);
    } else if (one_element_weight(s, mul.input(0)) && valid_id(s, mul.input(1)) &&
               s.values[mul.input(1)].element_count() == t_count) {
      scalar = mul.input(0);
      x = mul.input(1);
    } else {
      continue;
    }
    uint64_t y;
    if (!other_operand(add, t, &y)) continue;
    if (!valid_id(s, y) || s.values[y].element_count() != t_count) continue;
    const float scale = *s.data[scalar];
    CpuNode fused_node = add;
    fused_node.w[kNodeWordFirstInput] = x;
    fused_node.w[kNodeWordFirstInput + 1] = y;
    fused_node.w[kWordScaledAdd] = 1;
    fused_node.w[kWordAddScale] = f32_word(scale);
    mul = fused_node;
    drop_storage(s, t);
    s.nodes[i + 1].w[kNodeWordKind] = 0;
    fused = true;
  }
  if (fused) cpu_compact_nodes(s);
}

bool channel_axis(int64_t axis) { return axis == 1 || axis == -3; }

void absorb_concats(CpuState& s, ArenaPlanner& p) {
  for (uint64_t v = 0; v < s.value_count; ++v) p.producer[v] = -1;
  for (uint64_t n = 0; n < s.node_count; ++n) {
    const CpuNode& node = s.nodes[n];
    if (node.output_count() == 1 && valid_id(s, node.output(0)))
      p.producer[node.output(0)] = static_cast<int32_t>(n);
  }
  for (uint64_t n = 0; n < s.node_count; ++n) {
    CpuNode& outer = s.nodes[n];
    if (outer.kind() != kind_of(OpKind::kConcat) || outer.input_count() < 2 ||
        outer.input_count() > kMaxNodeInputs || outer.output_count() < 1 ||
        !channel_axis(outer.attr(kWordAxis)))
      continue;
    const uint64_t out = outer.output(0);
    if (!valid_id(s, out) || s.values[out].rank() != 4 || s.values[out].dim(0) != 1) continue;
    const uint64_t first = outer.input(0);
    if (!valid_id(s, first) || p.producer[first] < 0) continue;
    const uint64_t inner_index = static_cast<uint64_t>(p.producer[first]);
    // Only an inner Concat that runs before this one can be read through.
    if (inner_index >= n) continue;
    const CpuNode& inner = s.nodes[inner_index];
    if (inner.kind() != kind_of(OpKind::kConcat) || !channel_axis(inner.attr(kWordAxis)) ||
        inner.input_count() < 1)
      continue;
    const uint64_t total = outer.input_count() + inner.input_count() - 1;
    if (total > kMaxNodeInputs) continue;
    uint64_t inputs[kMaxNodeInputs];
    uint64_t k = 0;
    for (uint32_t j = 0; j < inner.input_count(); ++j) inputs[k++] = inner.input(j);
    for (uint32_t j = 1; j < outer.input_count(); ++j) inputs[k++] = outer.input(j);
    for (uint32_t j = 0; j < kMaxNodeInputs; ++j)
      outer.w[kNodeWordFirstInput + j] = j < total ? inputs[j] : 0;
    outer.w[kNodeWordInputCount] = total;
  }
}

// A Gemm whose B is a transposed f32 weight that only this node reads, with more than one
// output row (a single row takes the matrix-vector path, which reads either layout well).
// The GEMM library is fastest with an untransposed B, so such weights are stored transposed
// once at build.
bool packable_gemm(const CpuState& s, const ArenaPlanner& p, const CpuNode& n) {
  if (n.kind() != kind_of(OpKind::kGemm) || n.input_count() < 2 || n.output_count() < 1 ||
      n.attr(kWordGemmTransB) == 0)
    return false;
  const uint64_t b = n.input(1), y = n.output(0);
  if (!valid_id(s, b) || !valid_id(s, y) || p.consumers[b] != 1) return false;
  const CpuValue& bv = s.values[b];
  return bv.kind() == kValueWeight && bv.rank() == 2 && s.data[b] != nullptr &&
         bv.element_count() == bv.dim(0) * bv.dim(1) && bv.element_count() != 0 &&
         s.values[y].rank() == 2 && s.values[y].dim(0) > 1;
}

uint64_t gemm_pack_bytes(const CpuState& s, const ArenaPlanner& p) {
  uint64_t total = 0;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    if (packable_gemm(s, p, s.nodes[i]))
      total += round_up(kF32Bytes * s.values[s.nodes[i].input(1)].element_count());
  }
  return total;
}

void prepack_gemm_weights(CpuState& s, ArenaPlanner& p, FoldBuffer& buffer) {
  count_consumers(s, p);
  for (uint64_t i = 0; i < s.node_count; ++i) {
    CpuNode& n = s.nodes[i];
    if (!packable_gemm(s, p, n)) continue;
    const uint64_t b = n.input(1);
    CpuValue& bv = s.values[b];
    const uint64_t rows = bv.dim(0), cols = bv.dim(1);  // N x K as stored
    float* packed = buffer.take(kF32Bytes * bv.element_count());
    if (packed == nullptr) return;
    gemm_pack_transposed(s.data[b], static_cast<int64_t>(rows), static_cast<int64_t>(cols),
                         static_cast<int64_t>(cols), packed);
    s.data[b] = packed;
    bv.w[kValueWordFirstDim] = cols;
    bv.w[kValueWordFirstDim + 1] = rows;
    n.w[kWordGemmTransB] = 0;
  }
}

// ---- Normalisation and GELU written out node by node ----

constexpr uint32_t kWordReduceAxis = 26;
constexpr uint32_t kWordNormEpsilon = 29;
constexpr float kGeluHalf = 0.5f;
constexpr float kGeluOne = 1.0f;
constexpr float kSqrt2 = 1.41421356f;
constexpr float kGeluDivisorTolerance = 1e-4f;
constexpr uint64_t kSquareReaders = 3;  // Mul(d, d) reads d twice, the Div once more

void map_producers(const CpuState& s, ArenaPlanner& p) {
  for (uint64_t v = 0; v < s.value_count; ++v) p.producer[v] = -1;
  for (uint64_t n = 0; n < s.node_count; ++n) {
    const CpuNode& node = s.nodes[n];
    if (node.kind() != 0 && node.output_count() == 1 && valid_id(s, node.output(0)))
      p.producer[node.output(0)] = static_cast<int32_t>(n);
  }
}

// The node of `kind` with `want_inputs` inputs that alone writes `id`, an intermediate read
// by exactly `readers` slots; null otherwise.
CpuNode* produced_by(CpuState& s, const ArenaPlanner& p, uint64_t id, OpKind kind,
                     uint32_t want_inputs, uint32_t readers) {
  if (!valid_id(s, id) || s.values[id].kind() != kValueIntermediate ||
      p.consumers[id] != readers || p.producer[id] < 0)
    return nullptr;
  CpuNode& n = s.nodes[p.producer[id]];
  if (n.kind() != kind_of(kind) || n.input_count() != want_inputs) return nullptr;
  for (uint32_t k = 0; k < want_inputs; ++k)
    if (!valid_id(s, n.input(k))) return nullptr;
  return &n;
}

bool weight_equals(const CpuState& s, uint64_t id, float value) {
  return one_element_weight(s, id) && *s.data[id] == value;
}

// A reduction over the last axis of `x` that keeps the axis as 1.
bool last_axis_mean(const CpuState& s, const CpuNode& mean, uint64_t x) {
  const CpuValue& xv = s.values[x];
  const CpuValue& mv = s.values[mean.output(0)];
  const int64_t axis = mean.attr(kWordReduceAxis);
  const int64_t rank = static_cast<int64_t>(xv.rank());
  if (rank < 1 || (axis != -1 && axis != rank - 1)) return false;
  const uint64_t d = xv.dim(static_cast<uint32_t>(rank - 1));
  return d != 0 && mv.rank() == xv.rank() && mv.dim(static_cast<uint32_t>(rank - 1)) == 1 &&
         mv.element_count() * d == xv.element_count();
}

// A per-feature vector for the last axis: d values, laid out along that axis.
bool feature_weight(const CpuState& s, uint64_t id, uint64_t d) {
  if (!valid_id(s, id) || s.values[id].kind() != kValueWeight || s.data[id] == nullptr)
    return false;
  const CpuValue& v = s.values[id];
  return v.rank() >= 1 && v.element_count() == d && v.dim(static_cast<uint32_t>(v.rank() - 1)) == d;
}

void clear_attrs(CpuNode& n) {
  for (uint32_t w = kNodeWordFirstAttr; w <= kNodeWordLastAttr; ++w) n.w[w] = 0;
}

// Add(Mul(Div(Sub(x, ReduceMean(x)), Sqrt(Add(ReduceMean(Mul(t, t)), eps))), scale), bias)
// at node i becomes one LayerNormalization that rounds every step the same way.
bool fuse_one_layernorm(CpuState& s, ArenaPlanner& p, uint64_t i) {
  CpuNode& add = s.nodes[i];
  if (add.kind() != kind_of(OpKind::kAdd) || add.input_count() != 2 || add.output_count() != 1 ||
      add.attr(kWordScaledAdd) != 0)
    return false;
  for (uint32_t side = 0; side < 2; ++side) {
    const uint64_t g = add.input(side), bias = add.input(1 - side);
    CpuNode* mul = produced_by(s, p, g, OpKind::kMul, 2, 1);
    if (mul == nullptr) continue;
    for (uint32_t mside = 0; mside < 2; ++mside) {
      const uint64_t normed = mul->input(mside), scale = mul->input(1 - mside);
      CpuNode* div = produced_by(s, p, normed, OpKind::kDiv, 2, 1);
      if (div == nullptr) continue;
      const uint64_t centred = div->input(0), root = div->input(1);
      CpuNode* sqrt = produced_by(s, p, root, OpKind::kSqrt, 1, 1);
      CpuNode* sub = produced_by(s, p, centred, OpKind::kSub, 2, kSquareReaders);
      if (sqrt == nullptr || sub == nullptr) continue;
      CpuNode* add_eps = produced_by(s, p, sqrt->input(0), OpKind::kAdd, 2, 1);
      if (add_eps == nullptr || add_eps->attr(kWordScaledAdd) != 0) continue;
      uint64_t var = 0, eps = 0;
      if (one_element_weight(s, add_eps->input(1))) {
        var = add_eps->input(0), eps = add_eps->input(1);
      } else if (one_element_weight(s, add_eps->input(0))) {
        var = add_eps->input(1), eps = add_eps->input(0);
      } else {
        continue;
      }
      CpuNode* var_mean = produced_by(s, p, var, OpKind::kReduceMean, 1, 1);
      if (var_mean == nullptr) continue;
      CpuNode* square = produced_by(s, p, var_mean->input(0), OpKind::kMul, 2, 1);
      if (square == nullptr || square->input(0) != centred || square->input(1) != centred)
        continue;
      const uint64_t x = sub->input(0);
      CpuNode* mean = produced_by(s, p, sub->input(1), OpKind::kReduceMean, 1, 1);
      if (mean == nullptr || mean->input(0) != x) continue;
      const uint64_t count = s.values[x].element_count();
      if (!last_axis_mean(s, *mean, x) || !last_axis_mean(s, *var_mean, centred)) continue;
      const uint64_t d = s.values[x].dim(static_cast<uint32_t>(s.values[x].rank() - 1));
      if (s.values[centred].element_count() != count || s.values[normed].element_count() != count ||
          s.values[g].element_count() != count || s.values[add.output(0)].element_count() != count ||
          s.values[var_mean->input(0)].element_count() != count ||
          s.values[root].element_count() * d != count)
        continue;
      if (!feature_weight(s, scale, d) || !feature_weight(s, bias, d)) continue;
      const float epsilon = *s.data[eps];
      const uint64_t gone[] = {sub->input(1), centred, var_mean->input(0), var, sqrt->input(0),
                               root, normed, g};
      for (CpuNode* n : {mean, sub, square, var_mean, add_eps, sqrt, div, mul})
        n->w[kNodeWordKind] = 0;
      for (uint64_t id : gone) drop_storage(s, id);
      const uint64_t y = add.output(0);
      clear_attrs(add);
      add.w[kNodeWordKind] = kind_of(OpKind::kLayerNormalization);
      add.w[kNodeWordInputCount] = 3;
      add.w[kNodeWordFirstInput] = x;
      add.w[kNodeWordFirstInput + 1] = scale;
      add.w[kNodeWordFirstInput + 2] = bias;
      add.w[kNodeWordOutputCount] = 1;
      add.w[kNodeWordFirstOutput] = y;
      add.w[kWordReduceAxis] = static_cast<uint64_t>(int64_t{-1});
      add.w[kWordNormEpsilon] = f32_word(epsilon);
      add.w[kLayerNormWordStepwise] = 1;
      return true;
    }
  }
  return false;
}

// Mul(Mul(x, Add(Erf(Div(x, c)), 1)), 0.5) with c close to sqrt(2) at node i becomes one GELU
// that rounds every step the same way.
bool fuse_one_gelu(CpuState& s, ArenaPlanner& p, uint64_t i) {
  CpuNode& half = s.nodes[i];
  if (half.kind() != kind_of(OpKind::kMul) || half.input_count() != 2 || half.output_count() != 1)
    return false;
  for (uint32_t side = 0; side < 2; ++side) {
    if (!weight_equals(s, half.input(1 - side), kGeluHalf)) continue;
    const uint64_t m = half.input(side);
    CpuNode* mul = produced_by(s, p, m, OpKind::kMul, 2, 1);
    if (mul == nullptr) continue;
    for (uint32_t mside = 0; mside < 2; ++mside) {
      const uint64_t x = mul->input(mside), a = mul->input(1 - mside);
      CpuNode* add_one = produced_by(s, p, a, OpKind::kAdd, 2, 1);
      if (add_one == nullptr || add_one->attr(kWordScaledAdd) != 0) continue;
      uint64_t e = 0;
      if (weight_equals(s, add_one->input(1), kGeluOne)) {
        e = add_one->input(0);
      } else if (weight_equals(s, add_one->input(0), kGeluOne)) {
        e = add_one->input(1);
      } else {
        continue;
      }
      CpuNode* erf = produced_by(s, p, e, OpKind::kErf, 1, 1);
      if (erf == nullptr) continue;
      const uint64_t t = erf->input(0);
      CpuNode* div = produced_by(s, p, t, OpKind::kDiv, 2, 1);
      if (div == nullptr || div->input(0) != x || !one_element_weight(s, div->input(1))) continue;
      const float divisor = *s.data[div->input(1)];
      if (!(std::fabs(divisor - kSqrt2) <= kGeluDivisorTolerance)) continue;
      const uint64_t count = s.values[x].element_count();
      if (s.values[t].element_count() != count || s.values[e].element_count() != count ||
          s.values[a].element_count() != count || s.values[m].element_count() != count ||
          s.values[half.output(0)].element_count() != count)
        continue;
      for (CpuNode* n : {div, erf, add_one, mul}) n->w[kNodeWordKind] = 0;
      for (uint64_t id : {t, e, a, m}) drop_storage(s, id);
      const uint64_t y = half.output(0);
      clear_attrs(half);
      half.w[kNodeWordKind] = kind_of(OpKind::kGelu);
      half.w[kNodeWordInputCount] = 1;
      half.w[kNodeWordFirstInput] = x;
      half.w[kNodeWordFirstInput + 1] = 0;
      half.w[kNodeWordOutputCount] = 1;
      half.w[kNodeWordFirstOutput] = y;
      half.w[kGeluWordStepwise] = 1;
      half.w[kGeluWordDivisor] = f32_word(divisor);
      return true;
    }
  }
  return false;
}

void fuse_norm_and_gelu(CpuState& s, ArenaPlanner& p) {
  count_consumers(s, p);
  map_producers(s, p);
  bool fused = false;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    // Only nodes before i are removed, so producer indices stay valid and consumer counts of
    // the remaining values do not change (the removed values were read only inside).
    if (fuse_one_layernorm(s, p, i) || fuse_one_gelu(s, p, i)) fused = true;
  }
  if (fused) cpu_compact_nodes(s);
}

}  // namespace

void cpu_compact_nodes(CpuState& s) {
  uint64_t kept = 0;
  for (uint64_t n = 0; n < s.node_count; ++n) {
    if (s.nodes[n].kind() == 0) continue;
    if (kept != n) s.nodes[kept] = s.nodes[n];
    ++kept;
  }
  s.node_count = kept;
}

void cpu_fuse_graph(CpuState& state, ArenaPlanner& planner) {
  // One buffer holds the folded weights and the pre-packed Gemm weights; without it neither
  // happens and the other passes still run.
  count_consumers(state, planner);
  const uint64_t total = batchnorm_fold_bytes(state, planner) + gemm_pack_bytes(state, planner) +
                         tail_chain_bytes(state);
  FoldBuffer buffer;
  if (total != 0) {
    if (void* memory = std::aligned_alloc(kFoldAlignBytes, total)) {
      std::free(state.fused_weights);
      state.fused_weights = static_cast<float*>(memory);
      state.fused_weights_size = total;
      buffer.cursor = static_cast<uint8_t*>(memory);
      buffer.end = buffer.cursor + total;
    }
  }
  fold_batchnorm(state, planner, buffer);
  fuse_activations(state, planner);
  fuse_conv_tails(state, planner);
  fuse_tail_chains(state, planner, buffer);
  fuse_residual_adds(state, planner);
  fuse_scaled_adds(state, planner);
  absorb_concats(state, planner);
  prepack_gemm_weights(state, planner, buffer);
  fuse_norm_and_gelu(state, planner);
}

}  // namespace vexa::cpu
