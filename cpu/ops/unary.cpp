// One-operand element-wise operators, PRelu, Where and Cast. Every map reads its input for
// the output's element count, which the build-time check makes equal to the input's.
#include <cmath>

#include "cpu/op_table.h"
#include "cpu/ops/parallel_for.h"
#include "cpu/quant_study.h"
#include "platform/vector_math.h"

namespace vexa::cpu {

namespace {

constexpr uint32_t kAlphaWord = 29;   // HardSigmoid alpha, LeakyRelu slope, Clip lower, Elu/Selu alpha
constexpr uint32_t kBetaWord = 30;    // HardSigmoid beta, Clip upper, Selu gamma
constexpr uint32_t kCastTargetWord = 15;
constexpr int64_t kCastToBool = 9;

constexpr float kEluDefaultAlpha = 1.0f;
constexpr uint32_t kSeluDefaultAlphaBits = 0x3FD62D7D;  // 1.6732632
constexpr uint32_t kSeluDefaultGammaBits = 0x3F867D5F;  // 1.0507010
constexpr uint32_t kOneSixthBits = 0x3E2AAAAB;           // 0.16666667
// Element count from which a one-operand map is split over the pool, in fixed pieces.
constexpr uint64_t kParallelUnaryMinElements = 32768;
constexpr uint64_t kParallelUnaryPieces = 16;

inline float clamp01(float v) {
  if (v < 0.0f) return 0.0f;
  if (v > 1.0f) return 1.0f;
  return v;
}

template <class Fn>
void map(const float* in, float* out, uint64_t n, Fn fn) {
  for (uint64_t i = 0; i < n; ++i) out[i] = fn(in[i]);
}

// The element function of `node` over n values; false for a kind without one.
bool unary_range(const CpuNode& node, const float* x, float* y, uint64_t n) {
  switch (static_cast<OpKind>(node.kind())) {
    case OpKind::kRelu:
      // Threshold at 0: NaN fails x >= 0 and becomes 0.
      vec_zero_below(x, 0.0f, y, n);
      break;
    case OpKind::kSigmoid: vec_sigmoid(x, y, n); break;
    case OpKind::kHardSigmoid: {
      const float alpha = node.attr_f32(kAlphaWord);
      const float beta = node.attr_f32(kBetaWord);
      map(x, y, n, [=](float v) { return clamp01(std::fma(v, alpha, beta)); });
      break;
    }
    case OpKind::kHardSwish: {
      const float sixth = word_f32(kOneSixthBits);
      map(x, y, n, [=](float v) { return v * clamp01(std::fma(v, sixth, 0.5f)); });
      break;
    }
    case OpKind::kLeakyRelu: {
      const float slope = node.attr_f32(kAlphaWord);
      map(x, y, n, [=](float v) { return v < 0.0f ? v * slope : v; });
      break;
    }
    case OpKind::kClip: {
      const float lo = node.attr_f32(kAlphaWord);
      const float hi = node.attr_f32(kBetaWord);
      vec_clip(x, lo, hi, y, n);
      break;
    }
    case OpKind::kSqrt: map(x, y, n, [](float v) { return std::sqrt(v); }); break;
    case OpKind::kExp: map(x, y, n, [](float v) { return std::exp(v); }); break;
    case OpKind::kTanh: map(x, y, n, [](float v) { return std::tanh(v); }); break;
    case OpKind::kCos: map(x, y, n, [](float v) { return std::cos(v); }); break;
    case OpKind::kSin: map(x, y, n, [](float v) { return std::sin(v); }); break;
    case OpKind::kLog: map(x, y, n, [](float v) { return std::log(v); }); break;
    case OpKind::kAbs: map(x, y, n, [](float v) { return std::fabs(v); }); break;
    case OpKind::kNeg: vec_neg(x, y, n); break;
    case OpKind::kFloor: map(x, y, n, [](float v) { return std::floor(v); }); break;
    case OpKind::kCeil: map(x, y, n, [](float v) { return std::ceil(v); }); break;
    // Halves go to the even neighbour, as the default rounding mode does.
    case OpKind::kRound: map(x, y, n, [](float v) { return std::nearbyint(v); }); break;
    case OpKind::kReciprocal: vec_scalar_div(1.0f, x, y, n); break;
    case OpKind::kElu: {
      const float alpha = node.w[kAlphaWord] == 0 ? kEluDefaultAlpha : node.attr_f32(kAlphaWord);
      map(x, y, n, [=](float v) { return v >= 0.0f ? v : alpha * (std::exp(v) - 1.0f); });
      break;
    }
    case OpKind::kSelu: {
      const float alpha = node.w[kAlphaWord] == 0 ? word_f32(kSeluDefaultAlphaBits)
                                                  : node.attr_f32(kAlphaWord);
      const float gamma = node.w[kBetaWord] == 0 ? word_f32(kSeluDefaultGammaBits)
                                                 : node.attr_f32(kBetaWord);
      const float alpha_gamma = alpha * gamma;
      map(x, y, n,
          [=](float v) { return v > 0.0f ? gamma * v : alpha_gamma * (std::exp(v) - 1.0f); });
      break;
    }
    case OpKind::kNot: map(x, y, n, [](float v) { return v == 0.0f ? 1.0f : 0.0f; }); break;
    case OpKind::kCast:
      if (node.attr(kCastTargetWord) == kCastToBool) {
        map(x, y, n, [](float v) { return v != 0.0f ? 1.0f : 0.0f; });
      } else {
        // Adding +0.0 turns a -0.0 from truncation into +0.0 and leaves every other value.
        map(x, y, n, [](float v) { return std::trunc(v) + 0.0f; });
      }
      break;
    default: return false;
  }
  return true;
}

bool run_unary(const OpContext& ctx) {
  const float* x = ctx.in(0);
  float* y = ctx.out(0);
  const uint64_t n = ctx.out_value(0).element_count();
  const CpuNode& node = ctx.node;
  if (node.kind() == static_cast<uint64_t>(OpKind::kSigmoid) && cpu_i8_sigmoid(x, y, n))
    return true;
  if (n < kParallelUnaryMinElements) return unary_range(node, x, y, n);
  if (!unary_range(node, x, y, 0)) return false;
  // Fixed pieces: each element is mapped on its own, so bytes do not depend on the threads.
  const uint64_t chunk = (n + kParallelUnaryPieces - 1) / kParallelUnaryPieces;
  cpu_parallel_for(static_cast<int64_t>(kParallelUnaryPieces), true, [&](int64_t piece) {
    const uint64_t begin = static_cast<uint64_t>(piece) * chunk;
    if (begin < n) unary_range(node, x + begin, y + begin, begin + chunk < n ? chunk : n - begin);
  });
  return true;
}

bool check_unary(const OpCheck& check) {
  if (!check.inputs_between(1, kMaxNodeInputs) || !check.outputs_between(1, 1) ||
      !check.inputs_present(1)) {
    return false;
  }
  if (check.in_value(0).element_count() != check.out_value(0).element_count()) {
    return check.fail("input and output element counts differ");
  }
  return true;
}

// PRelu: the slope index advances by one per (dim0 x dim1) plane and wraps at the slope count.
bool run_prelu(const OpContext& ctx) {
  const CpuValue& vx = ctx.in_value(0);
  const float* x = ctx.in(0);
  const float* slope = ctx.in(1);
  float* y = ctx.out(0);
  const uint64_t m = ctx.in_value(1).element_count();
  // A scalar is one plane of one element: its dims[0] is not a dimension.
  const uint64_t planes = vx.rank() == 0   ? 1
                          : vx.rank() == 1 ? vx.dim(0)
                                           : vx.dim(0) * vx.dim(1);
  if (planes == 0) return true;
  const uint64_t plane = ctx.out_value(0).element_count() / planes;
  uint64_t s = 0;
  for (uint64_t p = 0; p < planes; ++p) {
    const float k = slope[s];
    const float* xp = x + p * plane;
    float* yp = y + p * plane;
    for (uint64_t i = 0; i < plane; ++i) yp[i] = xp[i] < 0.0f ? xp[i] * k : xp[i];
    if (++s == m) s = 0;
  }
  return true;
}

bool check_prelu(const OpCheck& check) {
  if (!check.inputs_between(2, 2) || !check.outputs_between(1, 1) || !check.inputs_present(2)) {
    return false;
  }
  if (check.in_value(1).element_count() == 0) return check.fail("slope tensor is empty");
  if (check.in_value(0).element_count() != check.out_value(0).element_count()) {
    return check.fail("input and output element counts differ");
  }
  return true;
}

// Element strides of an operand read against the output shape: right-aligned, 0 on axes
// where the operand has size 1 (or is missing), and 0 everywhere for fewer than two elements.
void broadcast_strides(const CpuValue& v, const CpuValue& out, uint64_t* strides) {
  const uint64_t out_rank = out.rank();
  const uint64_t in_rank = v.rank();
  uint64_t stride = 1;
  for (uint64_t k = 0; k < out_rank; ++k) {
    const uint64_t ax = out_rank - 1 - k;
    strides[ax] = 0;
    if (k < in_rank && v.element_count() >= 2) {
      const uint64_t d = v.dim(static_cast<uint32_t>(in_rank - 1 - k));
      if (d != 1) strides[ax] = stride;
      stride *= d;
    }
  }
}

bool run_where(const OpContext& ctx) {
  const CpuValue& vo = ctx.out_value(0);
  const CpuValue& vc = ctx.in_value(0);
  const CpuValue& vx = ctx.in_value(1);
  const CpuValue& vy = ctx.in_value(2);
  const float* c = ctx.in(0);
  const float* x = ctx.in(1);
  const float* yv = ctx.in(2);
  float* out = ctx.out(0);
  const uint64_t n = vo.element_count();
  if (vc.element_count() == n && vx.element_count() == n && vy.element_count() == n) {
    for (uint64_t i = 0; i < n; ++i) out[i] = c[i] != 0.0f ? x[i] : yv[i];
    return true;
  }
  if (n == 0) return true;
  // Walk the output in order; the last axis is a strided run of each operand, the outer axes
  // advance like an odometer.
  const uint32_t rank = static_cast<uint32_t>(vo.rank());
  uint64_t sc[kMaxRank] = {}, sx[kMaxRank] = {}, sy[kMaxRank] = {};
  broadcast_strides(vc, vo, sc);
  broadcast_strides(vx, vo, sx);
  broadcast_strides(vy, vo, sy);
  const uint64_t inner = rank > 0 ? vo.dim(rank - 1) : 1;
  const uint64_t ic = rank > 0 ? sc[rank - 1] : 0;
  const uint64_t ix = rank > 0 ? sx[rank - 1] : 0;
  const uint64_t iy = rank > 0 ? sy[rank - 1] : 0;
  uint64_t coord[kMaxRank] = {};
  uint64_t oc = 0, ox = 0, oy = 0;
  for (uint64_t base = 0; base < n; base += inner) {
    for (uint64_t j = 0; j < inner; ++j) {
      out[base + j] = c[oc + j * ic] != 0.0f ? x[ox + j * ix] : yv[oy + j * iy];
    }
    for (int ax = static_cast<int>(rank) - 2; ax >= 0; --ax) {
      if (++coord[ax] < vo.dim(static_cast<uint32_t>(ax))) {
        oc += sc[ax];
        ox += sx[ax];
        oy += sy[ax];
        break;
      }
      oc -= sc[ax] * (coord[ax] - 1);
      ox -= sx[ax] * (coord[ax] - 1);
      oy -= sy[ax] * (coord[ax] - 1);
      coord[ax] = 0;
    }
  }
  return true;
}

// Whether v broadcasts to the output shape (right-aligned; a dim of 1 repeats).
bool broadcasts_to(const CpuValue& v, const CpuValue& out) {
  if (v.element_count() == 1) return true;
  const uint64_t r = v.rank();
  const uint64_t ro = out.rank();
  for (uint64_t k = 0; k < r; ++k) {
    const uint64_t d = v.dim(static_cast<uint32_t>(r - 1 - k));
    if (k >= ro) {
      if (d != 1) return false;
      continue;
    }
    const uint64_t od = out.dim(static_cast<uint32_t>(ro - 1 - k));
    if (d != 1 && d != od) return false;
  }
  return true;
}

bool check_where(const OpCheck& check) {
  if (!check.inputs_between(3, 3) || !check.outputs_between(1, 1) || !check.inputs_present(3)) {
    return false;
  }
  const CpuValue& vo = check.out_value(0);
  for (uint32_t k = 0; k < 3; ++k) {
    const CpuValue& v = check.in_value(k);
    if (v.element_count() == 0 && vo.element_count() != 0) {
      return check.fail("input %u is empty", k);
    }
    if (!broadcasts_to(v, vo)) return check.fail("input %u does not broadcast to the output", k);
  }
  return true;
}

}  // namespace

void register_unary_ops(OpRegistry& registry) {
  for (OpKind kind :
       {OpKind::kRelu, OpKind::kSigmoid, OpKind::kHardSigmoid, OpKind::kHardSwish,
        OpKind::kLeakyRelu, OpKind::kClip, OpKind::kSqrt, OpKind::kExp, OpKind::kTanh,
        OpKind::kCos, OpKind::kSin, OpKind::kLog, OpKind::kAbs, OpKind::kNeg, OpKind::kFloor,
        OpKind::kCeil, OpKind::kRound, OpKind::kReciprocal, OpKind::kElu, OpKind::kSelu,
        OpKind::kNot, OpKind::kCast}) {
    registry.add(static_cast<uint64_t>(kind), check_unary, run_unary);
  }
  registry.add(static_cast<uint64_t>(OpKind::kPRelu), check_prelu, run_prelu);
  registry.add(static_cast<uint64_t>(OpKind::kWhere), check_where, run_where);
}

}  // namespace vexa::cpu
