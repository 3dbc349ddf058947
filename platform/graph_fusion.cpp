// Steps of a schedule, with the chains the CPU engine runs as one kernel fused:
//   - a convolution, + a per-channel bias, a batch normalisation (per-channel multiply and add
//     by constants, folded into constant weights), + a residual of the output's shape, then
//     ReLU (optionally followed by a batch normalisation), a leaky ReLU, x * sigmoid(x), a clamp
//     to constant bounds or a program of scalar element-wise steps such as a written-out
//     hard-swish (each part optional, in that order; a transposed convolution takes the bias and
//     ReLU only);
//   - layer normalisation over the last dim written out as mean, subtract, square, mean, add
//     epsilon, square root, reciprocal (or 1 / x), multiply (or one divide), multiply by scale
//     [, add bias];
//   - GELU written out as x * 0.5 * (1 + erf(x * 0.70710677)), or with x / c (c close to the
//     square root of 2) in place of the product;
//   - a hard sigmoid written out as clamp(x * a + b, 0, 1), and a hard swish (x times the hard
//     sigmoid of a = 1/6, b = 1/2);
//   - x * s + y with a one-element constant s;
//   - a product by the transpose of a fed weight [N, K] (cast to f32 or not), which the step
//     reads in its stored rows.
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
constexpr float kOneSixth = 0.16666667f;
constexpr float kSqrt2 = 1.41421356f;
constexpr float kGeluDivisorTolerance = 1e-4f;

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

  // The constant node holding t's values, looking through reshapes; null when t is computed.
  const GraphOpNode* constant_node(uint32_t t) const {
    const GraphOpNode* n = &node_of(t);
    while (n->kind == GraphOpKind::kReshape || n->kind == GraphOpKind::kIdentity) {
      n = &node_of(n->inputs[0]);
    }
    return n->kind == GraphOpKind::kConstant && n->attrs.values != nullptr ? n : nullptr;
  }
  // Values fixed at compile time.
  bool constant(uint32_t t) const { return constant_node(t) != nullptr; }
  // The value of a one-element constant.
  bool scalar_constant(uint32_t t, float* value) const {
    const GraphOpNode* n = constant_node(t);
    if (n == nullptr || n->attrs.values->size() != 1) return false;
    *value = (*n->attrs.values)[0];
    return true;
  }

  bool is_f32(uint32_t t) const { return info(t).type == DeviceDataType::kFloat32; }

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

// ---- hard sigmoid and hard swish ----

// x * a + b clamped to [0, 1] (a hard sigmoid), times x when a and b are 1/6 and 1/2 (a hard
// swish), starting at the product: one step of the CPU engine's kernel, which rounds the
// product and sum once.
struct HardSigmoid {
  std::vector<uint32_t> nodes;  // in chain order
  uint32_t x = 0, out = 0;
  float a = 0.0f, b = 0.0f;
  bool swish = false;
};

bool match_hard_sigmoid(const Matcher& m, uint32_t mul_index, const std::vector<uint8_t>& covered,
                        HardSigmoid* h) {
  const GraphOpNode& mul = m.g_.nodes()[mul_index];
  if (mul.kind != GraphOpKind::kMultiply || mul.inputs.size() != 2) return false;
  uint32_t x = 0;
  float a = 0.0f, b = 0.0f, lo = 0.0f, hi = 0.0f;
  if (m.scalar_constant(mul.inputs[1], &a)) {
    x = mul.inputs[0];
  } else if (m.scalar_constant(mul.inputs[0], &a)) {
    x = mul.inputs[1];
  } else {
    return false;
  }
  const GraphShape& shape = m.info(x).shape;
  const uint32_t t = mul.outputs[0];
  if (!m.is_f32(x) || m.info(t).shape != shape) return false;
  const GraphOpNode* add = m.next(t);
  uint32_t o = 0;
  if (add == nullptr || add->kind != GraphOpKind::kAdd || !Matcher::other(*add, t, &o) ||
      !m.scalar_constant(o, &b) || m.info(add->outputs[0]).shape != shape)
    return false;
  const uint32_t add_index = m.next_index(t);
  const uint32_t u = add->outputs[0];
  const GraphOpNode* clamp = m.next(u);
  if (clamp == nullptr || clamp->kind != GraphOpKind::kClamp || clamp->inputs[0] != u ||
      !m.scalar_constant(clamp->inputs[1], &lo) || !m.scalar_constant(clamp->inputs[2], &hi) ||
      lo != 0.0f || hi != 1.0f || m.info(clamp->outputs[0]).shape != shape)
    return false;
  std::vector<uint32_t> chain = {mul_index, add_index, m.next_index(u)};
  uint32_t out = clamp->outputs[0];
  bool swish = false;
  const GraphOpNode* fin = m.next(out);
  if (a == kOneSixth && b == kGeluHalf && fin != nullptr && fin->kind == GraphOpKind::kMultiply &&
      Matcher::other(*fin, out, &o) && o == x && m.info(fin->outputs[0]).shape == shape) {
    chain.push_back(m.next_index(out));
    out = fin->outputs[0];
    swish = true;
  }
  for (uint32_t i : chain) {
    if (covered[i]) return false;
  }
  h->nodes = std::move(chain);
  h->x = x;
  h->out = out;
  h->a = a;
  h->b = b;
  h->swish = swish;
  return true;
}

bool fuse_hard_sigmoid(const Matcher& m, uint32_t mul_index, std::vector<uint8_t>* covered,
                       GraphPlannedStep* step, uint32_t* position) {
  HardSigmoid h;
  if (!match_hard_sigmoid(m, mul_index, *covered, &h)) return false;
  for (uint32_t i : h.nodes) (*covered)[i] = 1;
  step->kind = h.swish ? GraphOpKind::kFusedHardSwish : GraphOpKind::kFusedHardSigmoid;
  step->inputs = {h.x};
  step->outputs = {h.out};
  step->own_attrs = std::make_shared<GraphNodeAttrs>();
  step->own_attrs->alpha = h.a;
  step->own_attrs->beta = h.b;
  step->attrs = step->own_attrs.get();
  step->fused_nodes = static_cast<uint32_t>(h.nodes.size());
  *position = h.nodes.back();
  return true;
}

// ---- element-wise programs after a convolution ----

// The program step node `n` makes of the chain value `cur`: a scalar-constant add, subtract,
// multiply or divide (cur first for the last two), or a clamp to scalar constants. The result
// keeps cur's shape.
bool scalar_step(const Matcher& m, const GraphOpNode& n, uint32_t cur, GraphProgramStep* step) {
  if (n.outputs.size() != 1 || m.info(n.outputs[0]).shape != m.info(cur).shape ||
      !m.is_f32(n.outputs[0]))
    return false;
  float a = 0.0f, b = 0.0f;
  uint32_t o = 0;
  switch (n.kind) {
    case GraphOpKind::kAdd:
    case GraphOpKind::kMultiply:
      if (!Matcher::other(n, cur, &o) || !m.scalar_constant(o, &a)) return false;
      *step = {n.kind == GraphOpKind::kAdd ? GraphProgramOp::kAdd : GraphProgramOp::kMul, a, 0.0f};
      return true;
    case GraphOpKind::kSubtract:
      // v - a is v + (-a) exactly.
      if (n.inputs[0] != cur || n.inputs[1] == cur || !m.scalar_constant(n.inputs[1], &a)) return false;
      *step = {GraphProgramOp::kAdd, -a, 0.0f};
      return true;
    case GraphOpKind::kDivide:
      if (n.inputs[0] != cur || n.inputs[1] == cur || !m.scalar_constant(n.inputs[1], &a)) return false;
      *step = {GraphProgramOp::kDiv, a, 0.0f};
      return true;
    case GraphOpKind::kClamp:
      if (n.inputs[0] != cur || !m.scalar_constant(n.inputs[1], &a) ||
          !m.scalar_constant(n.inputs[2], &b))
        return false;
      *step = {GraphProgramOp::kClamp, a, b};
      return true;
    default:
      return false;
  }
}

// The longest chain of scalar steps from `cur` (a hard-swish written out as add, clamp, divide
// and a multiply by the value it started from, an affine, ...) that ends with no value kept for
// later. Every value inside is read by the chain alone and is not a result; the value a kSave
// keeps is read by the next step and by the chain's kMulSaved. A hard sigmoid stops the chain:
// it runs as the CPU engine's kernel, which rounds its product and sum once.
bool match_program(const Matcher& m, uint32_t cur, const std::vector<uint8_t>& covered,
                   std::vector<GraphProgramStep>* steps, std::vector<uint32_t>* nodes,
                   uint32_t* end) {
  std::vector<GraphProgramStep> work;
  std::vector<uint32_t> taken;
  uint32_t saved = kGraphAbsent;
  uint32_t saved_mul = 0;
  bool found = false;
  HardSigmoid hard;
  while (work.size() + 2 <= kGraphProgramMaxSteps && !m.v_.target[cur]) {
    const uint32_t readers = m.v_.readers[cur];
    GraphProgramStep step;
    uint32_t node = 0;
    if (saved != kGraphAbsent) {
      if (readers != 1 || m.v_.only_reader[cur] < 0) break;
      node = static_cast<uint32_t>(m.v_.only_reader[cur]);
      const GraphOpNode& n = m.g_.nodes()[node];
      if (node == saved_mul) {
        if (!(n.inputs[0] == cur && n.inputs[1] == saved) &&
            !(n.inputs[1] == cur && n.inputs[0] == saved))
          break;
        step = {GraphProgramOp::kMulSaved, 0.0f, 0.0f};
        saved = kGraphAbsent;
      } else if (!scalar_step(m, n, cur, &step)) {
        break;
      }
    } else if (readers == 1 && m.v_.only_reader[cur] >= 0) {
      node = static_cast<uint32_t>(m.v_.only_reader[cur]);
      if (!scalar_step(m, m.g_.nodes()[node], cur, &step)) break;
    } else if (readers == 2) {
      // One reader continues the chain, the other multiplies its end by cur.
      const std::vector<uint32_t>& r = m.v_.reader_nodes[cur];
      bool ok = false;
      for (int k = 0; k < 2 && !ok; ++k) {
        const GraphOpNode& mul = m.g_.nodes()[r[k]];
        uint32_t other = 0;
        float unused = 0.0f;
        if (mul.kind != GraphOpKind::kMultiply || !Matcher::other(mul, cur, &other) ||
            m.scalar_constant(other, &unused) || covered[r[k]])
          continue;
        if (scalar_step(m, m.g_.nodes()[r[1 - k]], cur, &step)) {
          saved_mul = r[k];
          node = r[1 - k];
          ok = true;
        }
      }
      if (!ok) break;
      work.push_back({GraphProgramOp::kSave, 0.0f, 0.0f});
      saved = cur;
    } else {
      break;
    }
    if (covered[node] || match_hard_sigmoid(m, node, covered, &hard)) break;
    work.push_back(step);
    taken.push_back(node);
    cur = m.g_.nodes()[node].outputs[0];
    if (saved == kGraphAbsent) {
      *steps = work;
      *nodes = taken;
      *end = cur;
      found = true;
    }
  }
  return found;
}

// cur * sigmoid(cur): the sigmoid and the product (in either operand order) are the only readers
// of cur, the sigmoid's result is read by the product alone; the two node indices.
bool match_silu(const Matcher& m, uint32_t cur, const std::vector<uint8_t>& covered,
                uint32_t nodes[2]) {
  if (m.v_.target[cur] || m.v_.readers[cur] != 2) return false;
  const std::vector<uint32_t>& r = m.v_.reader_nodes[cur];
  for (int k = 0; k < 2; ++k) {
    const GraphOpNode& sig = m.g_.nodes()[r[k]];
    const GraphOpNode& mul = m.g_.nodes()[r[1 - k]];
    uint32_t other = 0;
    if (sig.kind != GraphOpKind::kSigmoid || mul.kind != GraphOpKind::kMultiply ||
        !Matcher::other(mul, cur, &other) || other != sig.outputs[0] ||
        !m.private_value(sig.outputs[0]) || covered[r[0]] || covered[r[1]] ||
        !m.is_f32(mul.outputs[0]) || m.info(mul.outputs[0]).shape != m.info(cur).shape)
      continue;
    nodes[0] = r[k];
    nodes[1] = r[1 - k];
    return true;
  }
  return false;
}

// ---- convolution chains ----

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
  std::vector<GraphProgramStep> program;
  std::vector<uint32_t> program_nodes;
  uint32_t silu_nodes[2] = {0, 0};
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
  } else if (!transpose && match_silu(m, cur, *covered, silu_nodes)) {
    e.activation = GraphActivation::kSilu;
    chain.push_back(silu_nodes[0]);
    chain.push_back(silu_nodes[1]);
    cur = m.g_.nodes()[silu_nodes[1]].outputs[0];
  } else if (!transpose && match_program(m, cur, *covered, &program, &program_nodes, &cur)) {
    if (program.size() == 1 && program[0].op == GraphProgramOp::kClamp) {
      // A clamp alone is the CPU engine's Clip epilogue.
      e.activation = GraphActivation::kClamp;
      e.lo = program[0].a;
      e.hi = program[0].b;
    } else {
      e.activation = GraphActivation::kProgram;
      e.program = std::move(program);
    }
    chain.insert(chain.end(), program_nodes.begin(), program_nodes.end());
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
  // The SiLU's nodes may come in either order.
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
  if (square == nullptr) return false;
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
  // centred / root, or centred times the reciprocal of root.
  const bool divide_form = inv->kind == GraphOpKind::kDivide && inv->inputs[0] == centred &&
                           inv->inputs[1] == root->outputs[0];
  if (divide_form) {
    scaled = inv;
    scaled_index = inv_index;
  } else {
    float one = 0.0f;
    const bool reciprocal = inv->kind == GraphOpKind::kReciprocal;
    const bool one_over = inv->kind == GraphOpKind::kDivide && inv->inputs[1] == root->outputs[0] &&
                          m.scalar_constant(inv->inputs[0], &one) && one == 1.0f;
    if ((!reciprocal && !one_over) || scaled == nullptr) return false;
    uint32_t other = 0;
    if (!Matcher::other(*scaled, centred, &other) || other != inv->outputs[0] ||
        !m.private_value(inv->outputs[0]))
      return false;
  }
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
  std::vector<uint32_t> nodes = {chain[0], square_index, var_index, add_eps_index, root_index,
                                 scaled_index, by_scale_index, last};
  if (!divide_form) nodes.push_back(inv_index);
  for (uint32_t i : nodes) {
    if ((*covered)[i]) return false;
  }
  for (uint32_t i : nodes) (*covered)[i] = 1;
  step->kind = GraphOpKind::kFusedLayerNorm;
  step->inputs = {x, scale, bias};
  step->outputs = {out};
  step->own_attrs = std::make_shared<GraphNodeAttrs>();
  step->own_attrs->alpha = epsilon;
  step->own_attrs->divide_form = divide_form;
  step->attrs = step->own_attrs.get();
  step->fused_nodes = (bias == kGraphAbsent ? 9 : 10) - (divide_form ? 1 : 0);
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
  float divisor = 0.0f;
  if (!m.private_value(t) || pre.inputs.size() != 2) return false;
  if (pre.kind == GraphOpKind::kMultiply && scalar_is(m, pre.inputs[1], kInvSqrt2, kGeluScaleTolerance)) {
    x = pre.inputs[0];
  } else if (pre.kind == GraphOpKind::kMultiply &&
             scalar_is(m, pre.inputs[0], kInvSqrt2, kGeluScaleTolerance)) {
    x = pre.inputs[1];
  } else if (pre.kind == GraphOpKind::kDivide && scalar_is(m, pre.inputs[1], kSqrt2, kGeluDivisorTolerance)) {
    x = pre.inputs[0];
    m.scalar_constant(pre.inputs[1], &divisor);
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
  if (divisor != 0.0f) {
    step->own_attrs = std::make_shared<GraphNodeAttrs>(erf.attrs);
    step->own_attrs->alpha = divisor;
    step->own_attrs->divide_form = true;
    step->attrs = step->own_attrs.get();
  }
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

// ---- products by a fed weight ----

// matmul(a, transpose(w)) or matmul(a, transpose(cast(w))) of a rank-2 a [M, K] and a fed
// weight w [N, K] (a placeholder of halves or floats, cast only to f32): one step that reads w
// in its stored [N, K] rows, so that neither the cast nor the transpose is made whole. Both are
// exact (a half is an f32 value), so the product sums the same values.
bool fuse_stored_matmul(const Matcher& m, const GraphOpNode& mm, uint32_t mm_index,
                        std::vector<uint8_t>* covered, GraphPlannedStep* step,
                        uint32_t* position) {
  if (mm.inputs.size() != 2 || mm.inputs[0] == mm.inputs[1]) return false;
  const uint32_t a = mm.inputs[0], t = mm.inputs[1];
  const GraphOpNode& perm = m.node_of(t);
  const std::vector<int64_t> swap = {1, 0};
  if (!m.private_value(t) || perm.kind != GraphOpKind::kPermute || perm.attrs.ints != swap ||
      perm.inputs.size() != 1) {
    return false;
  }
  uint32_t w = perm.inputs[0];
  std::vector<uint32_t> chain = {m.info(t).node};
  const GraphOpNode* source = &m.node_of(w);
  if (source->kind == GraphOpKind::kCast) {
    if (!m.private_value(w) || !m.is_f32(w) || source->inputs.size() != 1) return false;
    chain.push_back(m.info(w).node);
    w = source->inputs[0];
    source = &m.node_of(w);
  }
  const DeviceDataType wt = m.info(w).type;
  if (source->kind != GraphOpKind::kPlaceholder ||
      (wt != DeviceDataType::kFloat16 && wt != DeviceDataType::kFloat32)) {
    return false;
  }
  const GraphShape& as = m.info(a).shape;
  const GraphShape& ws = m.info(w).shape;
  if (as.size() != 2 || ws.size() != 2 || as[1] != ws[1] ||
      !device_data_type_is_float(m.info(a).type)) {
    return false;
  }
  for (uint32_t node : chain) (*covered)[node] = 1;
  *position = mm_index;
  step->kind = GraphOpKind::kFusedStoredMatMul;
  step->inputs = {a, w};
  step->outputs = {mm.outputs[0]};
  step->attrs = &mm.attrs;
  step->fused_nodes = static_cast<uint32_t>(chain.size() + 1);
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
      } else if (n.kind == GraphOpKind::kMatMul) {
        fused = fuse_stored_matmul(m, n, i, &covered, &step, &position);
      } else if (n.kind == GraphOpKind::kMultiply) {
        // A hard sigmoid's product and sum round once in its kernel: tried first.
        fused = fuse_hard_sigmoid(m, i, &covered, &step, &position) ||
                fuse_scaled_add(m, n, &covered, &step, &position);
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
