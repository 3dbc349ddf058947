// Element-wise lowerings: the broadcasting binaries, the unary functions, the activations and
// the comparisons and selections, whose bool results come back as the compute type.
#include "gpu/mps_lowering.h"

namespace vexa {

namespace {

// 1/6 as the f32 the CPU engine multiplies by.
constexpr float kOneSixth = 0.16666667f;
constexpr float kHalf = 0.5f;
constexpr float kInvSqrt2 = 0.70710677f;
constexpr uint64_t kCastToBool = 9;

GraphTensor binary(Graph& g, OpKind kind, GraphTensor a, GraphTensor b) {
  switch (kind) {
    case OpKind::kSub: return g.subtract(a, b);
    case OpKind::kDiv: return g.divide(a, b);
    case OpKind::kMul: return g.multiply(a, b);
    case OpKind::kMax: return g.maximum(a, b);
    case OpKind::kMin: return g.minimum(a, b);
    default: return g.modulo(a, b);
  }
}

GraphTensor unary(Graph& g, OpKind kind, GraphTensor x) {
  switch (kind) {
    case OpKind::kRelu: return g.relu(x);
    case OpKind::kSigmoid: return g.sigmoid(x);
    case OpKind::kErf: return g.erf(x);
    case OpKind::kSqrt: return g.sqrt(x);
    case OpKind::kExp: return g.exp(x);
    case OpKind::kTanh: return g.tanh(x);
    case OpKind::kCos: return g.cos(x);
    case OpKind::kSin: return g.sin(x);
    case OpKind::kLog: return g.log(x);
    case OpKind::kAbs: return g.abs(x);
    case OpKind::kNeg: return g.negative(x);
    case OpKind::kFloor: return g.floor(x);
    case OpKind::kCeil: return g.ceil(x);
    case OpKind::kRound: return g.round(x);
    default: return g.reciprocal(x);
  }
}

// The slope of a PRelu shaped so that it meets the input the way the CPU engine applies it:
// one value per (dim 0 x dim 1) plane, wrapping at the slope count.
bool prelu_slope(MpsNode& n, GraphTensor* slope) {
  Graph& g = n.g();
  const GraphShape x = n.in_shape(0);
  const uint64_t m = n.in_value(1).element_count;
  GraphTensor s = n.in(1);
  if (m == 1) {
    *slope = g.reshape(s, {});
    return true;
  }
  GraphShape shape(x.size(), 1);
  if (x.size() <= 1) {
    if (x.empty() || static_cast<uint64_t>(x[0]) != m) {
      return n.fail("PRelu slope of " + std::to_string(m) + " values does not fit its input");
    }
    shape[0] = x[0];
  } else if (static_cast<uint64_t>(x[1]) == m) {
    shape[1] = x[1];
  } else if (static_cast<uint64_t>(x[0] * x[1]) == m) {
    shape[0] = x[0];
    shape[1] = x[1];
  } else {
    return n.fail("PRelu slope of " + std::to_string(m) + " values does not fit its input");
  }
  *slope = g.reshape(s, shape);
  return true;
}

}  // namespace

bool mps_lower_math(MpsNode& n) {
  Graph& g = n.g();
  const OpKind kind = static_cast<OpKind>(n.kind());
  switch (kind) {
    case OpKind::kAdd:
      // A recorded scale makes it in0 x scale + in1.
      if (n.attr(kMpsAttrAlpha) != 0) {
        n.set_out(0, g.add(g.multiply(n.in(0), n.scalar(n.attr_f32(kMpsAttrBeta))), n.in(1)));
        return true;
      }
      n.set_out(0, g.add(n.in(0), n.in(1)));
      return true;
    case OpKind::kSub: case OpKind::kDiv: case OpKind::kMul:
    case OpKind::kMax: case OpKind::kMin: case OpKind::kMod:
      n.set_out(0, binary(g, kind, n.in(0), n.in(1)));
      return true;
    case OpKind::kRelu: case OpKind::kSigmoid: case OpKind::kErf: case OpKind::kSqrt:
    case OpKind::kExp: case OpKind::kTanh: case OpKind::kCos: case OpKind::kSin:
    case OpKind::kLog: case OpKind::kAbs: case OpKind::kNeg: case OpKind::kFloor:
    case OpKind::kCeil: case OpKind::kRound: case OpKind::kReciprocal:
      n.set_out(0, unary(g, kind, n.in(0)));
      return true;
    case OpKind::kHardSigmoid: {
      const GraphTensor t = g.add(g.multiply(n.in(0), n.scalar(n.attr_f32(kMpsAttrAlpha))),
                                  n.scalar(n.attr_f32(kMpsAttrBeta)));
      n.set_out(0, g.clamp(t, n.zero(), n.one()));
      return true;
    }
    case OpKind::kHardSwish: {
      const GraphTensor x = n.in(0);
      const GraphTensor t = g.add(g.multiply(x, n.scalar(kOneSixth)), n.scalar(kHalf));
      n.set_out(0, g.multiply(x, g.clamp(t, n.zero(), n.one())));
      return true;
    }
    case OpKind::kPRelu: {
      GraphTensor slope;
      if (!prelu_slope(n, &slope)) return false;
      const GraphTensor x = n.in(0);
      const GraphTensor r = g.relu(x);
      n.set_out(0, g.add(r, g.multiply(g.subtract(x, r), slope)));
      return true;
    }
    case OpKind::kLeakyRelu:
      n.set_out(0, g.leaky_relu(n.in(0), n.attr_f32(kMpsAttrAlpha)));
      return true;
    case OpKind::kClip:
      n.set_out(0, g.clamp(n.in(0), n.scalar(n.attr_f32(kMpsAttrAlpha)),
                           n.scalar(n.attr_f32(kMpsAttrBeta))));
      return true;
    case OpKind::kGelu: {
      const GraphTensor x = n.in(0);
      const GraphTensor e = g.erf(g.multiply(x, n.scalar(kInvSqrt2)));
      n.set_out(0, g.multiply(g.multiply(x, n.scalar(kHalf)), g.add(n.one(), e)));
      return true;
    }
    case OpKind::kEqual:
      n.set_out(0, n.as_compute(g.equal(n.in(0), n.in(1))));
      return true;
    case OpKind::kWhere:
      n.set_out(0, g.select(g.not_equal(n.in(0), n.zero()), n.in(1), n.in(2)));
      return true;
    case OpKind::kNot:
      n.set_out(0, n.as_compute(g.equal(n.in(0), n.zero())));
      return true;
    case OpKind::kCast: {
      const GraphTensor x = n.in(0);
      if (static_cast<uint64_t>(n.attr(0)) == kCastToBool) {
        n.set_out(0, n.as_compute(g.not_equal(x, n.zero())));
        return true;
      }
      // Truncation toward zero with a negative zero made positive.
      const GraphTensor t = g.truncate(x);
      n.set_out(0, g.select(g.equal(t, n.zero()), n.zero(), t));
      return true;
    }
    default:
      return n.fail(kMpsUnsupportedOp);
  }
}

}  // namespace vexa
