// Steps of a schedule, with the chains the CPU engine runs as one kernel fused:
//   - a convolution, + a per-channel bias, a batch normalisation (per-channel multiply and add
//     by constants, folded into constant weights), + a residual of the output's shape, then
//     ReLU (optionally followed by a batch normalisation), a clamp to constant bounds, a leaky
//     ReLU, SiLU, or a chain of scalar steps such as hard-swish (each part optional, in that
//     order; a transposed convolution takes the bias and ReLU only);
//   - layer normalisation over the last dim written out as mean, subtract, square, mean, add
//     epsilon, square root, reciprocal (or 1 / x), multiply, multiply by scale [, add bias];
//   - GELU written out as x * 0.5 * (1 + erf(x * 0.70710677));
//   - x * s + y with a one-element constant s.
// Every value inside a chain must be read by the chain alone and not be a result. A fused step
// computes in f32 with one rounding per kernel step, as the CPU engine's fused kernels do, so
// its results may differ from the op-by-op ones in the last bits.
#include <cmath>

#include "platform/graph_plan.h"

namespace vexa {

namespace {

constexpr float kGeluHalf = 0.5f;
constexpr float kGeluOne = 1.0f;
constexpr float kInvSqrt2 = 0.70710677f;
constexpr float kGeluScaleTolerance = 1e-6f;

class Matcher {
 public:
  explicit Matcher(const GraphScheduleView& v) : v_(v), g_(*v.graph) {}

  const GraphOpNode& node_of(uint32_t tensor) const { return g_.nodes()[g_.info(tensor).node]; }
  const GraphTensorInfo& info(uint32_t tensor) const { return g_.info(tensor); }

  // A value only the chain reads (one input slot, not a result).
  bool private_value(uint32_t t) const {
    return t < v_.readers.size() && v_.readers[t] == 1 && !v_.target[t];
  }
  // The node reading a private value.
  const GraphOpNode* next(uint32_t t) const {
    if (!private_value(t) || v_.only_reader[t] < 0) return nullptr;
    return &g_.nodes()[static_cast<size_t>(v_.only_reader[t])];
  }
  uint32_t next_index(uint32_t t) const { return static_cast<uint32_t>(v_.only_reader[t]); }

  // The value of a one-element constant, looking through reshapes.
  bool scalar_constant(uint32_t t, float* value) const {
    const GraphOpNode* n = &node_of(t);
    while (n->kind == GraphOpKind::kReshape || n->kind == GraphOpKind::kIdentity) {
      n = &node_of(n->inputs[0]);
    }
    if (n->kind != GraphOpKind::kConstant || n->attrs.values == nullptr ||
        n->attrs.values->size() != 1)
      return false;
    *value = (*n->attrs.values)[0];
    return true;
  }

  bool is_f32(uint32_t t) const { return info(t).type == DeviceDataType::kFloat32; }

  // Values fixed at compile time: a constant, or a reshape of one.
  bool constant(uint32_t t) const {
    const GraphOpNode* n = &node_of(t);
    while (n->kind == GraphOpKind::kReshape || n->kind == GraphOpKind::kIdentity) {
      n = &node_of(n->inputs[0]);
    }
    return n->kind == GraphOpKind::kConstant && n->attrs.values != nullptr;
  }

  // x * sigmoid(x) on `x`, read by exactly the sigmoid and the multiply.
  bool silu(uint32_t x, const std::vector<uint8_t>& covered, std::vector<uint32_t>* nodes,
            uint32_t* out) const {
    if (x >= v_.readers.size() || v_.readers[x] != 2 || v_.target[x]) return false;
    const std::vector<uint32_t>& r = v_.reader_nodes[x];
    for (int first = 0; first < 2; ++first) {
      const uint32_t si = r[first], mi = r[1 - first];
      const GraphOpNode& sig = g_.nodes()[si];
      const GraphOpNode& mul = g_.nodes()[mi];
      uint32_t o = 0;
      if (sig.kind != GraphOpKind::kSigmoid || mul.kind != GraphOpKind::kMultiply ||
          covered[si] || covered[mi] || !private_value(sig.outputs[0]) ||
          !other(mul, x, &o) || o != sig.outputs[0])
        continue;
      *nodes = {si, mi};
      *out = mul.outputs[0];
      return true;
    }
    return false;
  }

  // The operand of a two-input node other than `t`; false when neither operand is `t` or both.
  static bool other(const GraphOpNode& n, uint32_t t, uint32_t* o) {
    if (n.inputs.size() != 2) return false;
    if (n.inputs[0] == t && n.inputs[1] != t) {
      *o = n.inputs[1];
      return true;
    }
    if (n.inputs[1] == t && n.inputs[0] != t) {
      *o = n.inputs[0];
      return true;
    }
    return false;
  }

  // One value per channel of an NCHW tensor with `channels` channels: [C, 1, 1] or [1, C, 1, 1].
  bool per_channel(uint32_t t, int64_t channels) const {
    const GraphShape& s = info(t).shape;
    if (!is_f32(t) || s.size() < 3 || s.size() > 4 || static_cast<int64_t>(info(t).elements) != channels)
      return false;
    const size_t c = s.size() - 3;
    for (size_t i = 0; i < s.size(); ++i) {
      if (i != c && s[i] != 1) return false;
    }
    return s[c] == channels;
  }

  // A vector along the last dim of length d: [d] or [1, ..., 1, d].
  bool last_dim_vector(uint32_t t, int64_t d) const {
    const GraphShape& s = info(t).shape;
    return is_f32(t) && !s.empty() && s.back() == d && static_cast<int64_t>(info(t).elements) == d;
  }

  const GraphScheduleView& v_;
  const Graph& g_;
};

// ---- convolution chains ----

// A chain of scalar steps on `cur`, each read by the chain alone, as the CPU engine's epilogue
// program runs it: multiplies, adds, subtractions and divisions by one-element constants,
// clamps to them, and a value kept for a later multiply (the x * clamp(x / 6 + 0.5, 0, 1) of
// hard-swish). The longest prefix that leaves nothing kept is taken.
bool match_program(const Matcher& m, const std::vector<uint8_t>& covered, uint32_t cur,
                   std::vector<GraphTailStep>* program, std::vector<uint32_t>* nodes,
                   uint32_t* out) {
  std::vector<GraphTailStep> steps;
  std::vector<uint32_t> taken;
  bool saved = false;
  uint32_t kept = 0;
  const GraphShape& shape = m.info(cur).shape;
  size_t best = 0, best_nodes = 0;
  uint32_t best_out = cur;
  while (steps.size() + 2 <= kGraphTailMaxSteps) {
    if (cur >= m.v_.readers.size() || m.v_.target[cur] || !m.is_f32(cur) ||
        m.info(cur).shape != shape)
      break;
    const std::vector<uint32_t>& readers = m.v_.reader_nodes[cur];
    uint32_t next = UINT32_MAX;
    bool mul_saved = false;
    if (saved && readers.size() == 1) {
      const GraphOpNode& n = m.g_.nodes()[readers[0]];
      uint32_t o = 0;
      if (n.kind == GraphOpKind::kMultiply && Matcher::other(n, cur, &o) && o == kept) {
        next = readers[0];
        mul_saved = true;
      }
    }
    if (!mul_saved) {
      if (readers.size() == 2 && !saved) {
        // One reader continues the chain; the other multiplies by a value further down.
        for (uint32_t r : readers) {
          const GraphOpNode& n = m.g_.nodes()[r];
          uint32_t o = 0;
          float v = 0.0f;
          const bool scalar_step = Matcher::other(n, cur, &o) && m.scalar_constant(o, &v);
          if (scalar_step || n.kind == GraphOpKind::kClamp) next = r;
        }
        if (next == UINT32_MAX) break;
        steps.push_back({GraphTailOp::kSave, 0.0f, 0.0f});
        saved = true;
        kept = cur;
      } else if (readers.size() == 1) {
        next = readers[0];
      } else {
        break;
      }
    }
    if (covered[next]) break;
    const GraphOpNode& n = m.g_.nodes()[next];
    GraphTailStep step;
    uint32_t o = 0;
    float v = 0.0f;
    if (mul_saved) {
      step.op = GraphTailOp::kMulSaved;
      saved = false;
    } else if ((n.kind == GraphOpKind::kMultiply || n.kind == GraphOpKind::kAdd) &&
               Matcher::other(n, cur, &o) && m.scalar_constant(o, &v)) {
      step = {n.kind == GraphOpKind::kMultiply ? GraphTailOp::kMul : GraphTailOp::kAdd, v, 0.0f};
    } else if ((n.kind == GraphOpKind::kSubtract || n.kind == GraphOpKind::kDivide) &&
               n.inputs[0] == cur && n.inputs[1] != cur && m.scalar_constant(n.inputs[1], &v)) {
      // v - a is exactly v + (-a).
      step = n.kind == GraphOpKind::kDivide ? GraphTailStep{GraphTailOp::kDiv, v, 0.0f}
                                            : GraphTailStep{GraphTailOp::kAdd, -v, 0.0f};
    } else if (n.kind == GraphOpKind::kClamp && n.inputs[0] == cur &&
               m.scalar_constant(n.inputs[1], &step.a) && m.scalar_constant(n.inputs[2], &step.b)) {
      step.op = GraphTailOp::kClamp;
    } else {
      break;
    }
    steps.push_back(step);
    taken.push_back(next);
    cur = n.outputs[0];
    if (!saved && m.info(cur).shape == shape && m.is_f32(cur)) {
      best = steps.size();
      best_nodes = taken.size();
      best_out = cur;
    }
  }
  if (best == 0) return false;
  program->assign(steps.begin(), steps.begin() + static_cast<ptrdiff_t>(best));
  nodes->assign(taken.begin(), taken.begin() + static_cast<ptrdiff_t>(best_nodes));
  *out = best_out;
  return true;
}

bool fuse_conv(const Matcher& m, const GraphOpNode& conv, std::vector<uint8_t>* covered,
               GraphPlannedStep* step, uint32_t* position) {
  const bool transpose = conv.kind == GraphOpKind::kConvTranspose2d;
  uint32_t cur = conv.outputs[0];
  if (!m.is_f32(cur)) return false;
  const int64_t channels = m.info(cur).shape[1];
  GraphEpilogue e;
  uint32_t bias = kGraphAbsent, residual = kGraphAbsent, scale = kGraphAbsent, shift = kGraphAbsent;
  std::vector<uint32_t> chain;
  auto take = [&](const GraphOpNode* n) {
    chain.push_back(m.next_index(cur));
    cur = n->outputs[0];
  };
  // The next node of the chain, unless another chain took it already.
  auto next_free = [&]() -> const GraphOpNode* {
    const GraphOpNode* n = m.next(cur);
    return n != nullptr && !(*covered)[m.next_index(cur)] ? n : nullptr;
  };
  // A per-channel multiply then a per-channel add, both by constants: a batch normalisation.
  auto affine_pair = [&](uint32_t* s_out, uint32_t* t_out) {
    const GraphOpNode* mul = next_free();
    uint32_t s = 0, t = 0;
    if (mul == nullptr || mul->kind != GraphOpKind::kMultiply || !Matcher::other(*mul, cur, &s) ||
        !m.per_channel(s, channels) || !m.constant(s))
      return false;
    const uint32_t mid = mul->outputs[0];
    const GraphOpNode* add = m.next(mid);
    if (add == nullptr || (*covered)[m.next_index(mid)] || add->kind != GraphOpKind::kAdd ||
        !Matcher::other(*add, mid, &t) || !m.per_channel(t, channels) || !m.constant(t))
      return false;
    take(mul);
    take(add);
    *s_out = s;
    *t_out = t;
    return true;
  };
  const GraphOpNode* n = next_free();
  uint32_t o = 0;
  if (n != nullptr && n->kind == GraphOpKind::kAdd && Matcher::other(*n, cur, &o) &&
      m.per_channel(o, channels)) {
    bias = o;
    e.bias = true;
    take(n);
  }
  // Folding needs the weights and the bias as numbers now.
  const bool foldable = !transpose && m.constant(conv.inputs[1]) && (!e.bias || m.constant(bias));
  if (foldable && affine_pair(&scale, &shift)) e.affine = true;
  n = next_free();
  if (!transpose && n != nullptr && n->kind == GraphOpKind::kAdd && Matcher::other(*n, cur, &o) &&
      m.is_f32(o) && m.info(o).shape == m.info(cur).shape) {
    residual = o;
    e.residual = true;
    take(n);
    n = next_free();
  }
  std::vector<uint32_t> program_nodes;
  uint32_t program_out = 0;
  if (n != nullptr && n->kind == GraphOpKind::kRelu) {
    e.activation = GraphActivation::kRelu;
    take(n);
    if (!e.affine && (!e.bias || m.constant(bias)) && !transpose &&
        affine_pair(&scale, &shift)) {
      e.relu_affine = true;
    }
  } else if (!transpose && n != nullptr && n->kind == GraphOpKind::kLeakyRelu) {
    e.activation = GraphActivation::kLeakyRelu;
    e.alpha = n->attrs.alpha;
    take(n);
  } else if (!transpose && n != nullptr && n->kind == GraphOpKind::kClamp &&
             n->inputs[0] == cur && m.scalar_constant(n->inputs[1], &e.lo) &&
             m.scalar_constant(n->inputs[2], &e.hi)) {
    e.activation = GraphActivation::kClamp;
    take(n);
  } else if (!transpose && m.silu(cur, *covered, &program_nodes, &program_out)) {
    e.activation = GraphActivation::kSilu;
    for (uint32_t i : program_nodes) chain.push_back(i);
    cur = program_out;
  } else if (!transpose && match_program(m, *covered, cur, &e.program, &program_nodes, &program_out)) {
    e.activation = GraphActivation::kProgram;
    for (uint32_t i : program_nodes) chain.push_back(i);
    cur = program_out;
  }
  if (chain.empty()) return false;
  for (uint32_t i : chain) (*covered)[i] = 1;
  step->kind = conv.kind;
  step->inputs = {conv.inputs[0], conv.inputs[1], bias};
  if (!transpose) {
    step->inputs.push_back(residual);
    step->inputs.push_back(scale);
    step->inputs.push_back(shift);
  }
  step->outputs = {cur};
  step->attrs = &conv.attrs;
  step->epilogue = e;
  step->fused_nodes = static_cast<uint32_t>(chain.size() + 1);
  uint32_t last = 0;
  for (uint32_t i : chain) last = i > last ? i : last;
  *position = last;
  return true;
}

// ---- layer normalisation ----

bool is_last_dim_mean(const Matcher& m, const GraphOpNode& n) {
  const size_t rank = m.info(n.inputs[0]).shape.size();
  return n.kind == GraphOpKind::kReduceMean && rank >= 1 && n.attrs.ints.size() == 1 &&
         n.attrs.ints[0] == static_cast<int64_t>(rank - 1);
}

bool fuse_layer_norm(const Matcher& m, const GraphOpNode& mean, std::vector<uint8_t>* covered,
                     GraphPlannedStep* step, uint32_t* position) {
  if (!is_last_dim_mean(m, mean)) return false;
  const uint32_t x = mean.inputs[0];
  if (!m.is_f32(x)) return false;
  const int64_t d = m.info(x).shape.back();
  std::vector<uint32_t> chain;
  // d = x - mean
  const GraphOpNode* sub = m.next(mean.outputs[0]);
  if (sub == nullptr || sub->kind != GraphOpKind::kSubtract || sub->inputs[0] != x ||
      sub->inputs[1] != mean.outputs[0])
    return false;
  chain.push_back(m.next_index(mean.outputs[0]));
  const uint32_t centred = sub->outputs[0];
  if (centred >= m.v_.readers.size() || m.v_.readers[centred] != 3 || m.v_.target[centred])
    return false;
  // The square and the variance.
  const GraphOpNode* square = nullptr;
  const GraphOpNode* scaled = nullptr;
  uint32_t square_index = 0, scaled_index = 0;
  for (uint32_t i : m.v_.nodes) {
    const GraphOpNode& n = m.g_.nodes()[i];
    if (n.kind != GraphOpKind::kMultiply) continue;
    if (n.inputs[0] == centred && n.inputs[1] == centred) {
      square = &n;
      square_index = i;
    } else if (n.inputs[0] == centred || n.inputs[1] == centred) {
      scaled = &n;
      scaled_index = i;
    }
  }
  if (square == nullptr || scaled == nullptr) return false;
  const GraphOpNode* var = m.next(square->outputs[0]);
  if (var == nullptr || !is_last_dim_mean(m, *var)) return false;
  const uint32_t var_index = m.next_index(square->outputs[0]);
  const GraphOpNode* add_eps = m.next(var->outputs[0]);
  uint32_t eps_tensor = 0;
  float epsilon = 0.0f;
  if (add_eps == nullptr || add_eps->kind != GraphOpKind::kAdd ||
      !Matcher::other(*add_eps, var->outputs[0], &eps_tensor) ||
      !m.scalar_constant(eps_tensor, &epsilon))
    return false;
  const uint32_t add_eps_index = m.next_index(var->outputs[0]);
  const GraphOpNode* root = m.next(add_eps->outputs[0]);
  if (root == nullptr || root->kind != GraphOpKind::kSqrt) return false;
  const uint32_t root_index = m.next_index(add_eps->outputs[0]);
  const GraphOpNode* inv = m.next(root->outputs[0]);
  if (inv == nullptr) return false;
  const uint32_t inv_index = m.next_index(root->outputs[0]);
  float one = 0.0f;
  const bool reciprocal = inv->kind == GraphOpKind::kReciprocal;
  const bool one_over = inv->kind == GraphOpKind::kDivide && inv->inputs[1] == root->outputs[0] &&
                        m.scalar_constant(inv->inputs[0], &one) && one == 1.0f;
  if (!reciprocal && !one_over) return false;
  uint32_t other = 0;
  if (!Matcher::other(*scaled, centred, &other) || other != inv->outputs[0] ||
      !m.private_value(inv->outputs[0]))
    return false;
  // Scale, then the optional bias.
  const uint32_t normed = scaled->outputs[0];
  const GraphOpNode* by_scale = m.next(normed);
  uint32_t scale = 0;
  if (by_scale == nullptr || by_scale->kind != GraphOpKind::kMultiply ||
      !Matcher::other(*by_scale, normed, &scale) || !m.last_dim_vector(scale, d))
    return false;
  const uint32_t by_scale_index = m.next_index(normed);
  uint32_t out = by_scale->outputs[0];
  uint32_t bias = kGraphAbsent;
  uint32_t last = by_scale_index;
  const GraphOpNode* add_bias = m.next(out);
  uint32_t b = 0;
  if (add_bias != nullptr && add_bias->kind == GraphOpKind::kAdd &&
      Matcher::other(*add_bias, out, &b) && m.last_dim_vector(b, d)) {
    bias = b;
    last = m.next_index(out);
    out = add_bias->outputs[0];
  }
  if (m.info(out).shape != m.info(x).shape) return false;
  const uint32_t nodes[] = {chain[0], square_index, var_index, add_eps_index, root_index,
                            inv_index, scaled_index, by_scale_index, last};
  for (uint32_t i : nodes) {
    if ((*covered)[i]) return false;
  }
  for (uint32_t i : nodes) (*covered)[i] = 1;
  step->kind = GraphOpKind::kFusedLayerNorm;
  step->inputs = {x, scale, bias};
  step->outputs = {out};
  step->own_attrs = std::make_shared<GraphNodeAttrs>();
  step->own_attrs->alpha = epsilon;
  step->attrs = step->own_attrs.get();
  step->fused_nodes = bias == kGraphAbsent ? 9 : 10;
  *position = last;
  return true;
}

// ---- GELU ----

bool scalar_is(const Matcher& m, uint32_t t, float want, float tolerance) {
  float v = 0.0f;
  return m.scalar_constant(t, &v) && std::fabs(v - want) <= tolerance;
}

bool fuse_gelu(const Matcher& m, const GraphOpNode& erf, uint32_t erf_index,
               std::vector<uint8_t>* covered, GraphPlannedStep* step, uint32_t* position) {
  const uint32_t t = erf.inputs[0];
  const GraphOpNode& pre = m.node_of(t);
  uint32_t x = 0;
  if (pre.kind != GraphOpKind::kMultiply || !m.private_value(t) || pre.inputs.size() != 2)
    return false;
  if (scalar_is(m, pre.inputs[1], kInvSqrt2, kGeluScaleTolerance)) {
    x = pre.inputs[0];
  } else if (scalar_is(m, pre.inputs[0], kInvSqrt2, kGeluScaleTolerance)) {
    x = pre.inputs[1];
  } else {
    return false;
  }
  if (!m.is_f32(x) || m.info(x).shape != m.info(t).shape) return false;
  const uint32_t pre_index = m.info(t).node;
  const GraphOpNode* add = m.next(erf.outputs[0]);
  uint32_t one = 0;
  if (add == nullptr || add->kind != GraphOpKind::kAdd ||
      !Matcher::other(*add, erf.outputs[0], &one) || !scalar_is(m, one, kGeluOne, 0.0f))
    return false;
  const uint32_t add_index = m.next_index(erf.outputs[0]);
  const uint32_t a = add->outputs[0];
  const GraphOpNode* fin = m.next(a);
  uint32_t partner = 0;
  if (fin == nullptr || fin->kind != GraphOpKind::kMultiply || !Matcher::other(*fin, a, &partner))
    return false;
  uint32_t fin_index = m.next_index(a);
  const GraphOpNode& pn = m.node_of(partner);
  std::vector<uint32_t> chain = {pre_index, erf_index, add_index, fin_index};
  uint32_t out = fin->outputs[0];
  if (pn.kind == GraphOpKind::kMultiply && m.private_value(partner) &&
      ((pn.inputs[0] == x && scalar_is(m, pn.inputs[1], kGeluHalf, 0.0f)) ||
       (pn.inputs[1] == x && scalar_is(m, pn.inputs[0], kGeluHalf, 0.0f)))) {
    chain.push_back(m.info(partner).node);  // (x * 0.5) * a
  } else if (partner == x) {
    const GraphOpNode* half = m.next(out);  // (x * a) * 0.5
    uint32_t h = 0;
    if (half == nullptr || half->kind != GraphOpKind::kMultiply ||
        !Matcher::other(*half, out, &h) || !scalar_is(m, h, kGeluHalf, 0.0f))
      return false;
    fin_index = m.next_index(out);
    chain.push_back(fin_index);
    out = half->outputs[0];
  } else {
    return false;
  }
  if (m.info(out).shape != m.info(x).shape) return false;
  uint32_t last = 0;
  for (uint32_t i : chain) {
    if ((*covered)[i]) return false;
    last = i > last ? i : last;
  }
  for (uint32_t i : chain) (*covered)[i] = 1;
  step->kind = GraphOpKind::kFusedGelu;
  step->inputs = {x};
  step->outputs = {out};
  step->attrs = &erf.attrs;
  step->fused_nodes = static_cast<uint32_t>(chain.size());
  *position = last;
  return true;
}

// ---- scaled additions ----

// x * s + y with s a one-element constant and x, y and the result of one element count: one
// pass computing the product and the sum with their two roundings.
bool fuse_scaled_add(const Matcher& m, const GraphOpNode& mul, std::vector<uint8_t>* covered,
                     GraphPlannedStep* step, uint32_t* position) {
  const uint32_t t = mul.outputs[0];
  uint32_t x = 0;
  float scale = 0.0f;
  if (mul.inputs.size() != 2 || !m.is_f32(t)) return false;
  if (m.scalar_constant(mul.inputs[1], &scale) && mul.inputs[0] != mul.inputs[1]) {
    x = mul.inputs[0];
  } else if (m.scalar_constant(mul.inputs[0], &scale)) {
    x = mul.inputs[1];
  } else {
    return false;
  }
  const GraphOpNode* add = m.next(t);
  uint32_t y = 0;
  if (add == nullptr || (*covered)[m.next_index(t)] || add->kind != GraphOpKind::kAdd ||
      !Matcher::other(*add, t, &y))
    return false;
  const uint64_t n = m.info(t).elements;
  if (m.info(x).elements != n || m.info(y).elements != n || m.info(add->outputs[0]).elements != n ||
      !m.is_f32(x) || !m.is_f32(y))
    return false;
  (*covered)[m.next_index(t)] = 1;
  *position = m.next_index(t);
  step->kind = GraphOpKind::kFusedScaledAdd;
  step->inputs = {x, y};
  step->outputs = {add->outputs[0]};
  step->own_attrs = std::make_shared<GraphNodeAttrs>();
  step->own_attrs->alpha = scale;
  step->attrs = step->own_attrs.get();
  step->fused_nodes = 2;
  return true;
}

}  // namespace

bool graph_kind_keeps_values(GraphOpKind kind) {
  switch (kind) {
    case GraphOpKind::kIdentity: case GraphOpKind::kRelu: case GraphOpKind::kAbs:
    case GraphOpKind::kNegative: case GraphOpKind::kFloor: case GraphOpKind::kCeil:
    case GraphOpKind::kRound: case GraphOpKind::kTruncate: case GraphOpKind::kMaximum:
    case GraphOpKind::kMinimum: case GraphOpKind::kEqual: case GraphOpKind::kNotEqual:
    case GraphOpKind::kLess: case GraphOpKind::kLessEqual: case GraphOpKind::kGreater:
    case GraphOpKind::kGreaterEqual: case GraphOpKind::kLogicalAnd: case GraphOpKind::kLogicalOr:
    case GraphOpKind::kLogicalNot: case GraphOpKind::kClamp: case GraphOpKind::kSelect:
    case GraphOpKind::kCast: case GraphOpKind::kReshape: case GraphOpKind::kPermute:
    case GraphOpKind::kSlice: case GraphOpKind::kConcat: case GraphOpKind::kBroadcast:
    case GraphOpKind::kGather: case GraphOpKind::kGatherAlongAxis: case GraphOpKind::kReduceMax:
    case GraphOpKind::kReduceMin: case GraphOpKind::kArgMax: case GraphOpKind::kTopK:
    case GraphOpKind::kMaxPool2d:
      return true;
    default:
      return false;
  }
}

std::vector<GraphPlannedStep> graph_plan_steps(const GraphScheduleView& view, bool fuse) {
  const Graph& g = *view.graph;
  const Matcher m(view);
  const bool fusing = fuse && !view.half_compute;
  std::vector<uint8_t> covered(g.nodes().size(), 0);
  // Fused steps wait at the node where their chain ends.
  std::vector<std::vector<GraphPlannedStep>> at(g.nodes().size());
  if (fusing) {
    for (uint32_t i : view.nodes) {
      if (covered[i]) continue;
      const GraphOpNode& n = g.nodes()[i];
      GraphPlannedStep step;
      uint32_t position = 0;
      bool fused = false;
      if (n.kind == GraphOpKind::kConv2d || n.kind == GraphOpKind::kConvTranspose2d) {
        fused = fuse_conv(m, n, &covered, &step, &position);
      } else if (n.kind == GraphOpKind::kReduceMean) {
        fused = fuse_layer_norm(m, n, &covered, &step, &position);
      } else if (n.kind == GraphOpKind::kErf) {
        fused = fuse_gelu(m, n, i, &covered, &step, &position);
      } else if (n.kind == GraphOpKind::kMultiply) {
        fused = fuse_scaled_add(m, n, &covered, &step, &position);
      }
      if (fused) {
        covered[i] = 1;
        at[position].push_back(std::move(step));
      }
    }
  }
  std::vector<GraphPlannedStep> steps;
  steps.reserve(view.nodes.size());
  for (uint32_t i : view.nodes) {
    for (GraphPlannedStep& s : at[i]) steps.push_back(std::move(s));
    if (covered[i]) continue;
    const GraphOpNode& n = g.nodes()[i];
    if (n.kind == GraphOpKind::kPlaceholder || n.kind == GraphOpKind::kConstant) continue;
    GraphPlannedStep s;
    s.kind = n.kind;
    s.inputs = n.inputs;
    s.outputs = n.outputs;
    s.attrs = &n.attrs;
    steps.push_back(std::move(s));
  }
  return steps;
}

}  // namespace vexa
