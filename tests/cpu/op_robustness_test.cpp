// Random nodes of the data-movement, reduction, resize and detection operators: whatever the
// shapes, attribute words and tensor values (NaN, huge, negative), a node is either refused
// at build or runs inside its buffers. Buffers are sized exactly, so the sanitizer build
// catches any stray read or write; the shared zero block of storage-less values stays zero.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

#include "op_harness.h"

namespace vexa::cpu::optest {
namespace {

const OpKind kKinds[] = {
    OpKind::kFlatten,   OpKind::kTranspose,  OpKind::kConcat,     OpKind::kIdentity,
    OpKind::kSplit,     OpKind::kGather,     OpKind::kSlice,      OpKind::kExpand,
    OpKind::kDepthToSpace, OpKind::kPad,     OpKind::kGatherND,   OpKind::kScatterND,
    OpKind::kSpaceToDepth, OpKind::kSoftmax, OpKind::kArgMax,     OpKind::kReduceMean,
    OpKind::kReduceSum, OpKind::kReduceMax,  OpKind::kReduceMin,  OpKind::kReduceProd,
    OpKind::kCumSum,    OpKind::kTopK,       OpKind::kResize,     OpKind::kGridSample,
    OpKind::kDeformUnfold, OpKind::kNonMaxSuppression, OpKind::kYoloNms, OpKind::kDetrTopK,
};

class Fuzzer {
 public:
  explicit Fuzzer(uint32_t seed) : rng_(seed) {}

  uint64_t pick(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }

  Dims shape(const Dims* like) {
    if (like != nullptr && pick(2) == 0) {
      Dims d = *like;
      if (!d.empty() && pick(2) == 0) d[pick(d.size())] = pick(5);
      if (pick(4) == 0 && d.size() < 4) d.insert(d.begin() + pick(d.size() + 1), 1 + pick(3));
      return d;
    }
    Dims d(pick(5));
    for (uint64_t& v : d) v = pick(5);
    return d;
  }

  float value() {
    switch (pick(10)) {
      case 0: return std::numeric_limits<float>::quiet_NaN();
      case 1: return pick(2) ? 3e38f : -3e38f;
      case 2: return std::numeric_limits<float>::infinity();
      case 3: return static_cast<float>(static_cast<int64_t>(pick(12)) - 6);
      default: return std::uniform_real_distribution<float>(-8.0f, 8.0f)(rng_);
    }
  }

  uint64_t word() {
    switch (pick(6)) {
      case 0: return ~uint64_t{0};
      case 1: return f32_word(value());
      case 2: return uint64_t{1} << (20 + pick(44));
      default: return static_cast<uint64_t>(static_cast<int64_t>(pick(10)) - 4);
    }
  }

 private:
  std::mt19937 rng_;
};

// Shapes, and the attribute words they depend on, that meet the shape contract of an operator
// whose contract random shapes almost never meet; values and the other words stay random.
struct Fitted {
  std::vector<Dims> in, out;
  Attrs attrs;
};

bool fit_shapes(OpKind kind, Fuzzer& f, Fitted& fit) {
  const uint64_t n = 1 + f.pick(2), c = 1 + f.pick(3), h = 1 + f.pick(4), w = 1 + f.pick(4);
  switch (kind) {
    case OpKind::kDepthToSpace:
    case OpKind::kSpaceToDepth: {
      const uint64_t word = f.pick(4);  // 0 stands for 2
      const uint64_t b = word == 0 ? 2 : word;
      fit.attrs = {{15, word}};
      if (kind == OpKind::kDepthToSpace) {
        fit.attrs.push_back({27, f.pick(2)});
        fit.in = {{n, c * b * b, h, w}};
        fit.out = {{n, c, h * b, w * b}};
      } else {
        fit.in = {{n, c, h * b, w * b}};
        fit.out = {{n, c * b * b, h, w}};
      }
      return true;
    }
    case OpKind::kGridSample: {
      const uint64_t oh = 1 + f.pick(3), ow = 1 + f.pick(3);
      fit.in = {{n, c, h, w}, {n, oh, ow, 2}};
      fit.out = {{n, c, oh, ow}};
      return true;
    }
    case OpKind::kDeformUnfold: {
      const uint64_t k = 1 + f.pick(3);
      fit.attrs = {{15, k}};
      fit.in = {{1, c, h, w}, {1, 2 * k * k, h, w}, {1, k * k, h, w}};
      fit.out = {{1, c, h * k, w * k}};
      return true;
    }
    case OpKind::kNonMaxSuppression: {
      const uint64_t boxes = f.pick(5);
      fit.in = {{n, boxes, 4}, {n, c, boxes}};
      for (uint64_t k = f.pick(4); k > 0; --k) fit.in.push_back({1});
      fit.out = {{f.pick(6), 3}};
      return true;
    }
    case OpKind::kYoloNms: {
      const uint64_t extra = f.pick(3), rows = f.pick(5);
      fit.attrs = {{16, extra}, {15, rows}};
      fit.in = {{1, extra + 5 + f.pick(3), f.pick(6)}};
      fit.out = {{rows, extra + 6}};
      return true;
    }
    case OpKind::kDetrTopK: {
      constexpr uint64_t kSlots = 300;
      fit.in = {{1, h, w}, {1, h, c}};
      fit.out = {{1, kSlots, c}};
      return true;
    }
    default:
      return false;
  }
}

TEST(CpuOpRobustness, RandomNodesAreRefusedOrStayInBounds) {
  Fuzzer f(20261206);
  uint64_t accepted = 0;
  uint64_t accepted_by_kind[128] = {};
  constexpr int kIterations = 60000;
  for (int it = 0; it < kIterations; ++it) {
    const OpKind kind = kKinds[f.pick(std::size(kKinds))];
    Fitted fit;
    const bool fitted = f.pick(2) == 0 && fit_shapes(kind, f, fit);
    OpGraph g;
    const uint64_t n_in = fitted ? fit.in.size() : 1 + f.pick(4);
    std::vector<uint64_t> inputs;
    Dims first;
    for (uint64_t k = 0; k < n_in; ++k) {
      const Dims d = fitted ? fit.in[k] : f.shape(k == 0 ? nullptr : &first);
      if (k == 0) first = d;
      std::vector<float> data(count_of(d));
      for (float& v : data) v = f.value();
      inputs.push_back(f.pick(3) == 0 ? g.weight(d, data) : g.in(d, data));
    }
    const uint64_t n_out = fitted ? fit.out.size() : 1 + f.pick(2);
    std::vector<uint64_t> outputs;
    for (uint64_t k = 0; k < n_out; ++k) outputs.push_back(g.out(fitted ? fit.out[k] : f.shape(&first)));
    Attrs attrs;
    for (uint32_t w = 15; w <= 30; ++w) {
      if (f.pick(3) == 0) attrs.push_back({w, f.word()});
    }
    // The words the fitted shapes depend on usually keep their fitted values.
    if (fitted && f.pick(4) != 0) attrs.insert(attrs.end(), fit.attrs.begin(), fit.attrs.end());
    CpuNode& node = g.node(kind, inputs, outputs, attrs);
    if (f.pick(8) == 0) node.w[kNodeWordFirstInput + f.pick(n_in)] = kAbsentValue;
    if (!g.check()) continue;
    ++accepted;
    ++accepted_by_kind[static_cast<uint64_t>(kind)];
    static_cast<void>(g.run());
    ASSERT_TRUE(g.zero_block_intact()) << "kind " << static_cast<int>(kind) << " iteration " << it;
  }
  EXPECT_GT(accepted, 1000u);
  // Every operator had shapes it accepted, so every run path was exercised.
  for (OpKind kind : kKinds) {
    EXPECT_GT(accepted_by_kind[static_cast<uint64_t>(kind)], 0u) << op_kind_name(static_cast<uint64_t>(kind));
  }
}

}  // namespace
}  // namespace vexa::cpu::optest
