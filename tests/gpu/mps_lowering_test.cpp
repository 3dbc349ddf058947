// Every operator the graph-model engine lowers, on small graphs, against the CPU engine running
// the same container on the same inputs (f32 within 1e-5 of each output's peak).
#include <functional>

#include "gpu/mps_lowering.h"
#include "tests/gpu/mps_test_util.h"

namespace vexa::mps_test {
namespace {

using Dims = std::vector<uint64_t>;
using Build = std::function<void(GraphModel&, Inputs&)>;

uint64_t count(const Dims& d) {
  uint64_t n = 1;
  for (uint64_t x : d) n *= x;
  return n;
}

// An input of random values in [-scale, scale) + offset.
uint64_t input(GraphModel& m, Inputs& in, const Dims& dims, uint32_t seed, float scale = 1.0f,
               float offset = 0.0f) {
  const uint64_t id = m.value(cpu::kValueGraphInput, dims);
  Floats v = values(count(dims), seed);
  for (float& x : v) x = x * scale + offset;
  in[id] = v;
  return id;
}

uint64_t weight(GraphModel& m, const Dims& dims, uint32_t seed, float scale = 1.0f,
                float offset = 0.0f) {
  Floats v = values(count(dims), seed);
  for (float& x : v) x = x * scale + offset;
  return m.weight(dims, v);
}

uint64_t out(GraphModel& m, const Dims& dims) { return m.value(cpu::kValueGraphOutput, dims); }
uint64_t inter(GraphModel& m, const Dims& dims) { return m.value(cpu::kValueIntermediate, dims); }

uint64_t node(GraphModel& m, OpKind kind, const std::vector<uint64_t>& ins,
              const std::vector<uint64_t>& outs, const std::vector<Attr>& attrs = {}) {
  GraphNode n{};
  n.op_kind = static_cast<uint64_t>(kind);
  n.input_count = ins.size();
  n.output_count = outs.size();
  for (size_t k = 0; k < ins.size(); ++k) n.inputs[k] = ins[k];
  for (size_t k = 0; k < outs.size(); ++k) n.outputs[k] = outs[k];
  for (const Attr& a : attrs) n.words()[a.word] = a.value;
  return m.writer().add_node(n);
}

// Builds the model, runs it on both engines and compares every output.
void compare(const Build& build, double tol = kF32Tolerance) {
  GraphModel m;
  Inputs in;
  build(m, in);
  std::string error;
  ASSERT_TRUE(m.open(&error)) << error;
  const std::vector<Floats> want = run_cpu(m, in);
  ASSERT_FALSE(want.empty());
  GpuWeights w(m);
  Engine e(m, w);
  ASSERT_TRUE(e.ok()) << e.message();
  const std::vector<Floats> got = run_engine(e, in);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    expect_close(got[i], want[i], tol, "output " + std::to_string(i));
  }
}

// One node over one random input of `dims` (values x scale), output of `out_dims`.
void compare_one(OpKind kind, const Dims& dims, const Dims& out_dims, std::vector<Attr> attrs,
                 float scale = 1.0f, float offset = 0.0f) {
  SCOPED_TRACE(std::string(op_kind_name(static_cast<uint64_t>(kind))));
  compare([&](GraphModel& m, Inputs& in) {
    const uint64_t x = input(m, in, dims, 7, scale, offset);
    node(m, kind, {x}, {out(m, out_dims)}, attrs);
  });
}

// ---- element-wise ----

TEST(MpsLowering, BroadcastingBinaries) {
  for (OpKind kind : {OpKind::kAdd, OpKind::kSub, OpKind::kMul, OpKind::kDiv, OpKind::kMax,
                      OpKind::kMin, OpKind::kMod}) {
    SCOPED_TRACE(std::string(op_kind_name(static_cast<uint64_t>(kind))));
    compare([&](GraphModel& m, Inputs& in) {
      const uint64_t a = input(m, in, {2, 3, 4, 5}, 1, 4.0f);
      const uint64_t b = weight(m, {1, 3, 1, 1}, 2, 1.0f, 2.5f);  // away from zero
      const uint64_t c = input(m, in, {5}, 3, 1.0f, 3.0f);
      const uint64_t t = inter(m, {2, 3, 4, 5});
      node(m, kind, {a, b}, {t});
      node(m, kind, {t, c}, {out(m, {2, 3, 4, 5})});
    });
  }
  // The output may carry leading ones the broadcast does not.
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t a = input(m, in, {3, 4}, 4);
    const uint64_t b = input(m, in, {4}, 5);
    node(m, OpKind::kAdd, {a, b}, {out(m, {1, 3, 4})});
  });
  // A recorded scale: in0 x scale + in1.
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t a = input(m, in, {2, 8}, 4);
    const uint64_t b = input(m, in, {2, 8}, 5);
    node(m, OpKind::kAdd, {a, b}, {out(m, {2, 8})}, {attr(14, 1), attr_f32(15, 0.375f)});
  });
}

TEST(MpsLowering, UnaryFunctions) {
  for (OpKind kind : {OpKind::kRelu, OpKind::kSigmoid, OpKind::kErf, OpKind::kExp, OpKind::kTanh,
                      OpKind::kCos, OpKind::kSin, OpKind::kAbs, OpKind::kNeg, OpKind::kFloor,
                      OpKind::kCeil, OpKind::kRound}) {
    compare_one(kind, {3, 7, 5}, {3, 7, 5}, {}, 4.0f);
  }
  for (OpKind kind : {OpKind::kSqrt, OpKind::kLog, OpKind::kReciprocal}) {
    compare_one(kind, {3, 7, 5}, {3, 7, 5}, {}, 2.0f, 2.5f);
  }
  // Round takes halves to the even neighbour.
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = m.input({6});
    in[x] = {0.5f, 1.5f, 2.5f, -0.5f, -1.5f, -2.5f};
    node(m, OpKind::kRound, {x}, {out(m, {6})});
  });
}

TEST(MpsLowering, Activations) {
  compare_one(OpKind::kHardSigmoid, {2, 4, 6}, {2, 4, 6}, {attr_f32(14, 0.2f), attr_f32(15, 0.5f)}, 6.0f);
  compare_one(OpKind::kHardSwish, {2, 4, 6}, {2, 4, 6}, {}, 6.0f);
  compare_one(OpKind::kLeakyRelu, {2, 4, 6}, {2, 4, 6}, {attr_f32(14, 0.1f)}, 6.0f);
  compare_one(OpKind::kClip, {2, 4, 6}, {2, 4, 6}, {attr_f32(14, -1.5f), attr_f32(15, 2.25f)}, 6.0f);
  compare_one(OpKind::kGelu, {2, 4, 6}, {2, 4, 6}, {}, 4.0f);
}

TEST(MpsLowering, PReluSlopesPerChannelAndScalar) {
  // [C], [C, 1, 1], one value, and one value per (N, C) plane.
  for (const Dims& slope : {Dims{3}, Dims{3, 1, 1}, Dims{1}, Dims{2, 3, 1, 1}}) {
    compare([&](GraphModel& m, Inputs& in) {
      const uint64_t x = input(m, in, {2, 3, 4, 5}, 1, 3.0f);
      node(m, OpKind::kPRelu, {x, weight(m, slope, 2)}, {out(m, {2, 3, 4, 5})});
    });
  }
  compare([](GraphModel& m, Inputs& in) {  // rank 3: one slope per dim-1 channel
    const uint64_t x = input(m, in, {2, 4, 5}, 1, 3.0f);
    node(m, OpKind::kPRelu, {x, weight(m, {4}, 2)}, {out(m, {2, 4, 5})});
  });
}

TEST(MpsLowering, ComparisonsSelectionAndCasts) {
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t a = m.input({8});
    in[a] = {1, 2, 3, 4, -1, 0, 0, 7};
    const uint64_t b = m.weight({8}, {1, 0, 3, 5, -1, 0, 1, 6});
    node(m, OpKind::kEqual, {a, b}, {out(m, {8})});
    node(m, OpKind::kNot, {a}, {out(m, {8})});
  });
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t c = m.input({2, 4});
    in[c] = {0, 1, 0, 2, -1, 0, 0, 3};
    const uint64_t x = input(m, in, {2, 4}, 1);
    const uint64_t y = weight(m, {4}, 2);
    node(m, OpKind::kWhere, {c, x, y}, {out(m, {2, 4})});
  });
  // To bool, and truncation toward zero with -0.7 giving +0.
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = m.input({6});
    in[x] = {-0.7f, 0.7f, -2.5f, 3.9f, 0.0f, -0.0f};
    node(m, OpKind::kCast, {x}, {out(m, {6})}, {attr(0, 9)});
    node(m, OpKind::kCast, {x}, {out(m, {6})}, {attr(0, 7)});
  });
  GraphModel m;
  const uint64_t x = m.input({2});
  node(m, OpKind::kCast, {x}, {out(m, {2})}, {attr(0, 7)});
  ASSERT_TRUE(m.open());
  GpuWeights w(m);
  Engine e(m, w);
  ASSERT_TRUE(e.ok()) << e.message();
  const std::vector<Floats> got = run_engine(e, {{x, {-0.7f, -0.2f}}});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 0.0f);
  EXPECT_FALSE(std::signbit(got[0][0]));
  EXPECT_FALSE(std::signbit(got[0][1]));
}

// ---- normalisation and reductions ----

TEST(MpsLowering, Normalisations) {
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = input(m, in, {2, 5, 16}, 1, 3.0f, 0.5f);
    node(m, OpKind::kLayerNormalization, {x, weight(m, {16}, 2), weight(m, {16}, 3)},
         {out(m, {2, 5, 16})}, {attr_f32(14, 1e-5f)});
    node(m, OpKind::kLayerNormalization, {x, weight(m, {16}, 4)}, {out(m, {2, 5, 16})},
         {attr_f32(14, 1e-3f)});
  });
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = input(m, in, {2, 3, 4, 5}, 1, 2.0f, 0.5f);
    node(m, OpKind::kInstanceNormalization, {x, weight(m, {3}, 2), weight(m, {3}, 3)},
         {out(m, {2, 3, 4, 5})}, {attr_f32(14, 1e-5f)});
    const uint64_t r3 = input(m, in, {2, 3, 10}, 4);
    node(m, OpKind::kInstanceNormalization, {r3, weight(m, {3}, 5), weight(m, {3}, 6)},
         {out(m, {2, 3, 10})}, {attr_f32(14, 1e-5f)});
  });
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = input(m, in, {2, 3, 4, 5}, 1);
    node(m, OpKind::kBatchNormalization, {x, weight(m, {3}, 2), weight(m, {3}, 3)},
         {out(m, {2, 3, 4, 5})});
    const uint64_t r2 = input(m, in, {4, 6}, 4);
    node(m, OpKind::kBatchNormalization, {r2, weight(m, {6}, 5), weight(m, {6}, 6)},
         {out(m, {4, 6})});
  });
}

TEST(MpsLowering, ReductionsSoftMaxAndArgMax) {
  for (OpKind kind : {OpKind::kReduceMean, OpKind::kReduceSum, OpKind::kReduceMax,
                      OpKind::kReduceMin, OpKind::kReduceProd}) {
    SCOPED_TRACE(std::string(op_kind_name(static_cast<uint64_t>(kind))));
    compare([&](GraphModel& m, Inputs& in) {
      const uint64_t x = input(m, in, {2, 3, 4}, 1, 1.0f, 1.0f);
      node(m, kind, {x}, {out(m, {2, 1, 4})}, {attr(11, 1)});
      node(m, kind, {x}, {out(m, {2, 3})}, {attr_i(11, -1)});  // the axis dropped
    });
  }
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = input(m, in, {2, 3, 4, 5}, 1, 3.0f);
    node(m, OpKind::kGlobalAveragePool, {x}, {out(m, {2, 3, 1, 1})});
    const uint64_t r3 = input(m, in, {2, 3, 7}, 2);
    node(m, OpKind::kGlobalAveragePool, {r3}, {out(m, {2, 3, 1})});
  });
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = input(m, in, {2, 3, 5}, 1, 5.0f);
    node(m, OpKind::kSoftmax, {x}, {out(m, {2, 3, 5})}, {attr(11, 1)});
    node(m, OpKind::kSoftmax, {x}, {out(m, {2, 3, 5})}, {attr_i(11, -1)});
  });
  // Ties: the first index, or the last with the flag.
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = m.input({2, 4});
    in[x] = {1, 3, 3, 0, 5, 5, 2, 5};
    node(m, OpKind::kArgMax, {x}, {out(m, {2, 1})}, {attr(11, 1)});
    node(m, OpKind::kArgMax, {x}, {out(m, {2})}, {attr(11, 1), attr(13, 1)});
    node(m, OpKind::kArgMax, {x}, {out(m, {1, 4})}, {attr(11, 0)});
  });
}

// ---- products and windows ----

std::vector<Attr> conv_attrs(int64_t kh, int64_t kw, int64_t sh, int64_t sw, int64_t pt,
                             int64_t pl, int64_t pb, int64_t pr, int64_t dh, int64_t dw,
                             int64_t group) {
  return {attr_i(0, kh), attr_i(1, kw), attr_i(2, sh), attr_i(3, sw), attr_i(4, pt),
          attr_i(5, pl), attr_i(6, pb), attr_i(7, pr), attr_i(8, dh), attr_i(9, dw),
          attr_i(10, group)};
}

TEST(MpsLowering, Convolutions) {
  // Strided with uneven pads, dilated, grouped, depthwise, and one without bias.
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = input(m, in, {1, 4, 9, 11}, 1);
    node(m, OpKind::kConv, {x, weight(m, {6, 4, 3, 3}, 2), weight(m, {6}, 3)},
         {out(m, {1, 6, 5, 6})}, conv_attrs(3, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1));
    node(m, OpKind::kConv, {x, weight(m, {6, 4, 3, 3}, 4), weight(m, {6}, 5)},
         {out(m, {1, 6, 5, 7})}, conv_attrs(3, 3, 1, 1, 0, 0, 0, 0, 2, 2, 1));
    node(m, OpKind::kConv, {x, weight(m, {8, 2, 3, 1}, 6), weight(m, {8}, 7)},
         {out(m, {1, 8, 9, 11})}, conv_attrs(3, 1, 1, 1, 1, 0, 1, 0, 1, 1, 2));
    node(m, OpKind::kConv, {x, weight(m, {4, 1, 3, 3}, 8)}, {out(m, {1, 4, 9, 11})},
         conv_attrs(3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 4));
  });
  // Followed by the chains the graph library fuses: ReLU, a clamp, a hard-swish written out,
  // and a residual add.
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = input(m, in, {1, 8, 10, 10}, 1, 2.0f);
    const Dims d = {1, 8, 10, 10};
    const uint64_t c = inter(m, d);
    node(m, OpKind::kConv, {x, weight(m, {8, 8, 3, 3}, 2, 0.5f), weight(m, {8}, 3)}, {c},
         conv_attrs(3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1));
    const uint64_t a = inter(m, d), b = inter(m, d), q = inter(m, d);
    node(m, OpKind::kAdd, {c, m.weight({1}, {3.0f})}, {a});
    node(m, OpKind::kClip, {a}, {b}, {attr_f32(14, 0.0f), attr_f32(15, 6.0f)});
    node(m, OpKind::kDiv, {b, m.weight({1}, {6.0f})}, {q});
    const uint64_t hs = inter(m, d);
    node(m, OpKind::kMul, {c, q}, {hs});
    const uint64_t c2 = inter(m, d), r = inter(m, d);
    node(m, OpKind::kConv, {hs, weight(m, {8, 8, 1, 1}, 4), weight(m, {8}, 5)}, {c2},
         conv_attrs(1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1));
    node(m, OpKind::kAdd, {c2, x}, {r});
    node(m, OpKind::kRelu, {r}, {out(m, d)});
  });
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = input(m, in, {1, 4, 5, 6}, 1);
    node(m, OpKind::kConvTranspose, {x, weight(m, {4, 3, 4, 4}, 2), weight(m, {3}, 3)},
         {out(m, {1, 3, 10, 12})}, conv_attrs(4, 4, 2, 2, 1, 1, 1, 1, 1, 1, 1));
  });
}

// A batch normalisation after a convolution, directly or after its ReLU, with and without a
// bias: the graph library folds it as the CPU engine does, so the two agree bit for bit. A
// convolution whose weights another one shares is left unfolded by the CPU engine: close only.
TEST(MpsLowering, ConvolutionAndBatchNormalisationFoldAsTheCpuEngineFoldsThem) {
  ScopedEnv exe("VEXA_MPS_EXE", "");
  struct Case {
    const char* what;
    bool bias, relu_first, shared_weights;
  };
  const Case cases[] = {
      {"bias", true, false, false},
      {"no bias", false, false, false},
      {"after the ReLU", true, true, false},
      {"shared weights", true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    GraphModel m;
    Inputs in;
    const Dims d = {1, 8, 6, 7};
    const uint64_t x = input(m, in, {1, 6, 6, 7}, 1, 2.0f);
    const uint64_t w = weight(m, {8, 6, 3, 3}, 2, 0.5f);
    std::vector<uint64_t> conv_in = {x, w};
    if (c.bias) conv_in.push_back(weight(m, {8}, 3));
    const uint64_t y = inter(m, d), r = inter(m, d);
    node(m, OpKind::kConv, conv_in, {y}, conv_attrs(3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1));
    const uint64_t scale = weight(m, {8}, 4, 0.5f, 1.0f), shift = weight(m, {8}, 5);
    if (c.relu_first) {
      node(m, OpKind::kRelu, {y}, {r});
      node(m, OpKind::kBatchNormalization, {r, scale, shift}, {out(m, d)});
    } else {
      node(m, OpKind::kBatchNormalization, {y, scale, shift}, {r});
      node(m, OpKind::kRelu, {r}, {out(m, d)});
    }
    if (c.shared_weights) {
      node(m, OpKind::kConv, {x, w}, {out(m, d)}, conv_attrs(3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1));
    }
    std::string error;
    ASSERT_TRUE(m.open(&error)) << error;
    const std::vector<Floats> want = run_cpu(m, in);
    GpuWeights gw(m);
    Engine e(m, gw);
    ASSERT_TRUE(e.ok()) << e.message();
    const std::vector<Floats> got = run_engine(e, in);
    ASSERT_EQ(got.size(), want.size());
    if (c.shared_weights) {
      expect_close(got[0], want[0], kF32Tolerance);
    } else {
      EXPECT_EQ(got[0], want[0]);
    }
    // The first step is the convolution with the normalisation in it.
    ASSERT_NE(e.state()->gpu_exe.executable, nullptr);
    const std::vector<GraphStepSummary> steps = e.state()->gpu_exe.executable->steps();
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps[0].kind, GraphOpKind::kConv2d);
    EXPECT_TRUE(steps[0].epilogue_affine);
  }
}

TEST(MpsLowering, Pooling) {
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = input(m, in, {1, 3, 9, 10}, 1, 3.0f);
    node(m, OpKind::kMaxPool, {x}, {out(m, {1, 3, 5, 5})},
         {attr(0, 3), attr(1, 3), attr(2, 2), attr(3, 2), attr(4, 1), attr(5, 1), attr(6, 1), attr(7, 1)});
    // Average over in-bounds taps (flag 1) and with the padding counted (flag 0).
    node(m, OpKind::kAveragePool, {x}, {out(m, {1, 3, 5, 5})},
         {attr(0, 3), attr(1, 3), attr(2, 2), attr(3, 2), attr(4, 1), attr(5, 1), attr(6, 1),
          attr(7, 1), attr(13, 1)});
    node(m, OpKind::kAveragePool, {x}, {out(m, {1, 3, 5, 5})},
         {attr(0, 3), attr(1, 3), attr(2, 2), attr(3, 2), attr(4, 1), attr(5, 1), attr(6, 1),
          attr(7, 1), attr(13, 0)});
  });
}

TEST(MpsLowering, GemmWithTransposesAlphaBetaAndBiases) {
  struct Case {
    bool ta, tb;
    int64_t m, n, k;
    Dims bias;
    float alpha, beta;
  };
  const Case cases[] = {
      {false, true, 3, 5, 7, {5}, 1.0f, 1.0f},        // the convolution form
      {false, true, 2, 3, 4100, {1, 3}, 0.5f, 2.0f},  // folded into 5 x 5 windows
      {false, false, 3, 5, 7, {3, 5}, 1.5f, -1.0f},
      {true, false, 3, 5, 7, {}, 1.0f, 1.0f},
      {true, true, 4, 2, 6, {1}, -0.25f, 3.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("ta " + std::to_string(c.ta) + " tb " + std::to_string(c.tb) + " k " +
                 std::to_string(c.k));
    compare([&](GraphModel& m, Inputs& in) {
      const Dims ad = c.ta ? Dims{static_cast<uint64_t>(c.k), static_cast<uint64_t>(c.m)}
                           : Dims{static_cast<uint64_t>(c.m), static_cast<uint64_t>(c.k)};
      const Dims bd = c.tb ? Dims{static_cast<uint64_t>(c.n), static_cast<uint64_t>(c.k)}
                           : Dims{static_cast<uint64_t>(c.k), static_cast<uint64_t>(c.n)};
      const uint64_t a = input(m, in, ad, 1);
      std::vector<uint64_t> ins = {a, weight(m, bd, 2)};
      if (!c.bias.empty()) ins.push_back(weight(m, c.bias, 3));
      node(m, OpKind::kGemm, ins, {out(m, {static_cast<uint64_t>(c.m), static_cast<uint64_t>(c.n)})},
           {attr(12, c.ta), attr(13, c.tb), attr_f32(14, c.alpha), attr_f32(15, c.beta)});
    });
  }
  EXPECT_EQ(mps_gemm_fold_side(512 * 49), 7);
  EXPECT_EQ(mps_gemm_fold_side(4096), 1);
  EXPECT_EQ(mps_gemm_fold_side(4100), 5);
  EXPECT_EQ(mps_gemm_fold_side(4099), 1);
}

TEST(MpsLowering, MatMulForms) {
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t a = input(m, in, {2, 3, 4}, 1);
    node(m, OpKind::kMatMul, {a, weight(m, {4, 5}, 2)}, {out(m, {2, 3, 5})});
    node(m, OpKind::kMatMul, {a, input(m, in, {2, 4, 6}, 3)}, {out(m, {2, 3, 6})});
    node(m, OpKind::kMatMul, {a, weight(m, {4}, 4)}, {out(m, {2, 3})});
    node(m, OpKind::kMatMul, {weight(m, {3}, 5), a}, {out(m, {2, 4})});
  });
  // Head-interleaved: A [d0, d1, heads, d3], one [d3, N] slice of B per head.
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t a = input(m, in, {2, 3, 4, 5}, 1);
    node(m, OpKind::kMatMul, {a, weight(m, {4, 5, 6}, 2)}, {out(m, {2, 3, 4, 6})}, {attr(12, 1)});
  });
}

// ---- layout ----

TEST(MpsLowering, FlattenIdentityTransposeExpand) {
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = input(m, in, {2, 3, 4, 5}, 1);
    node(m, OpKind::kFlatten, {x}, {out(m, {2, 60})});
    node(m, OpKind::kIdentity, {x}, {out(m, {2, 3, 4, 5})});
    node(m, OpKind::kTranspose, {x}, {out(m, {2, 4, 5, 3})},
         {attr(0, 4), attr(4, 0), attr(5, 2), attr(6, 3), attr(7, 1)});
    node(m, OpKind::kTranspose, {x}, {out(m, {5, 4, 3, 2})});  // no permutation: reversed
    node(m, OpKind::kExpand, {weight(m, {3, 1}, 2)}, {out(m, {2, 3, 4})});
  });
}

TEST(MpsLowering, ConcatAndSplit) {
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t a = input(m, in, {2, 3, 4}, 1);
    const uint64_t b = weight(m, {2, 1, 4}, 2);
    const uint64_t c = input(m, in, {2, 2, 4}, 3);
    node(m, OpKind::kConcat, {a, b, c}, {out(m, {2, 6, 4})}, {attr(11, 1)});
    node(m, OpKind::kSplit, {a}, {out(m, {2, 3, 1}), out(m, {2, 3, 2}), out(m, {2, 3, 1})},
         {attr_i(11, -1)});
  });
}

TEST(MpsLowering, SlicesWithStepsStartsAndOddSizes) {
  struct Case {
    int64_t start, count, step;
  };
  // Dim 7: step 2 from 1 (elements 1, 3, 5), step 2 from 0 over the whole axis (0 .. 6, past a
  // whole number of steps), a start beyond the first step, step 3, a reversed slice, a plain
  // one and an empty one.
  const Case cases[] = {{1, 3, 2}, {0, 4, 2}, {3, 2, 2}, {2, 2, 3}, {6, 4, -2}, {2, 5, 1}, {0, 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE("start " + std::to_string(c.start) + " count " + std::to_string(c.count) +
                 " step " + std::to_string(c.step));
    compare([&](GraphModel& m, Inputs& in) {
      const uint64_t x = input(m, in, {2, 7, 3}, 1);
      node(m, OpKind::kSlice, {x}, {out(m, {2, static_cast<uint64_t>(c.count), 3})},
           {attr_i(11, 1), attr_i(4, c.start), attr_i(5, c.count), attr_i(2, c.step)});
    });
  }
  // The documented case, read back directly.
  GraphModel m;
  const uint64_t x = m.input({7});
  node(m, OpKind::kSlice, {x}, {out(m, {3})}, {attr(11, 0), attr(4, 1), attr(5, 3), attr(2, 2)});
  ASSERT_TRUE(m.open());
  GpuWeights w(m);
  Engine e(m, w);
  ASSERT_TRUE(e.ok()) << e.message();
  EXPECT_EQ(run_engine(e, {{x, {10, 11, 12, 13, 14, 15, 16}}})[0], (Floats{11, 13, 15}));
}

TEST(MpsLowering, GatherOnEveryAxis) {
  for (int64_t axis : {0, 1, 2, -1}) {
    SCOPED_TRACE("axis " + std::to_string(axis));
    compare([&](GraphModel& m, Inputs& in) {
      const uint64_t x = input(m, in, {3, 4, 5}, 1);
      const uint64_t idx = m.weight({2, 2}, {0, 2, -1, 1});  // a negative index counts back
      Dims od = {3, 4, 5};
      const size_t a = static_cast<size_t>(axis < 0 ? axis + 3 : axis);
      od.erase(od.begin() + static_cast<int64_t>(a));
      od.insert(od.begin() + static_cast<int64_t>(a), {2, 2});
      node(m, OpKind::kGather, {x, idx}, {out(m, od)}, {attr_i(11, axis)});
    });
  }
}

TEST(MpsLowering, PadAtTheEndOfChannelsAndRows) {
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = input(m, in, {1, 3, 4, 5}, 1);
    const uint64_t pads = m.weight({8}, {0, 0, 0, 0, 0, 2, 3, 0});
    node(m, OpKind::kPad, {x, pads}, {out(m, {1, 5, 7, 5})});
  });
}

TEST(MpsLowering, DepthAndSpaceBlocks) {
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = input(m, in, {2, 8, 3, 4}, 1);
    node(m, OpKind::kDepthToSpace, {x}, {out(m, {2, 2, 6, 8})}, {attr(0, 2), attr(12, 0)});
    node(m, OpKind::kDepthToSpace, {x}, {out(m, {2, 2, 6, 8})}, {attr(0, 2), attr(12, 1)});
    node(m, OpKind::kSpaceToDepth, {input(m, in, {2, 3, 6, 4}, 2)}, {out(m, {2, 12, 3, 2})},
         {attr(0, 2)});
  });
}

TEST(MpsLowering, ResizeModes) {
  struct Case {
    Dims in, out;
    uint64_t linear, corners;
  };
  const Case cases[] = {
      {{1, 2, 4, 5}, {1, 2, 8, 10}, 0, 0},    // nearest, whole multiples
      {{1, 2, 3, 5}, {1, 2, 5, 7}, 0, 1},     // nearest with aligned corners
      {{1, 2, 4, 5}, {1, 2, 8, 15}, 1, 0},    // linear, whole multiples
      {{1, 2, 10, 6}, {1, 2, 15, 9}, 1, 0},   // linear 10 -> 15: the written-out form
      {{1, 2, 4, 5}, {1, 2, 7, 9}, 1, 1},     // linear with aligned corners
      {{1, 2, 1, 1}, {1, 2, 3, 4}, 1, 0},     // one pixel broadcast
      {{1, 2, 4, 5}, {1, 2, 4, 5}, 1, 0},     // same size
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("to " + std::to_string(c.out[2]) + " x " + std::to_string(c.out[3]) +
                 " linear " + std::to_string(c.linear) + " corners " + std::to_string(c.corners));
    compare([&](GraphModel& m, Inputs& in) {
      node(m, OpKind::kResize, {input(m, in, c.in, 1)}, {out(m, c.out)},
           {attr(12, c.linear), attr(13, c.corners)});
    });
  }
}

// A linear resize by a whole multiple uses the library's bilinear resize; any other ratio the
// gathers of the written-out interpolation.
TEST(MpsLowering, LinearResizeFormByRatio) {
  auto gathers = [](uint64_t rows) {
    GraphModel m;
    const uint64_t x = m.input({1, 1, 10, 4});
    node(m, OpKind::kResize, {x}, {out(m, {1, 1, rows, 4})}, {attr(12, 1)});
    EXPECT_TRUE(m.open());
    GpuWeights w(m);
    Engine e(m, w);
    EXPECT_TRUE(e.ok()) << e.message();
    int n = 0;
    if (e.ok()) {
      for (const GraphOpNode& g : e.state()->graph->nodes()) n += g.kind == GraphOpKind::kGather;
    }
    return n;
  };
  EXPECT_GT(gathers(15), 0);
  EXPECT_EQ(gathers(20), 0);
}

TEST(MpsLowering, ScatterTuples) {
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t data = input(m, in, {4, 3, 2}, 1);
    const uint64_t idx = m.weight({2, 1}, {2, 0});
    const uint64_t upd = input(m, in, {2, 3, 2}, 2);
    node(m, OpKind::kScatterND, {data, idx, upd}, {out(m, {4, 3, 2})});
    const uint64_t pairs = m.weight({3, 2}, {1, 2, 3, 0, 0, 1});
    node(m, OpKind::kScatterND, {data, pairs, input(m, in, {3, 2}, 3)}, {out(m, {4, 3, 2})});
  });
}

// ---- model-specific operators ----

TEST(MpsLowering, DeformUnfoldAndGridSample) {
  for (uint64_t k : {3, 5}) {
    SCOPED_TRACE("kernel " + std::to_string(k));
    compare([&](GraphModel& m, Inputs& in) {
      const uint64_t x = input(m, in, {1, 2, 5, 6}, 1);
      const uint64_t off = input(m, in, {1, 2 * k * k, 5, 6}, 2, 3.0f);
      const uint64_t mod = input(m, in, {1, k * k, 5, 6}, 3);
      node(m, OpKind::kDeformUnfold, {x, off, mod}, {out(m, {1, 2, 5 * k, 6 * k})},
           {attr(0, k)});
    });
  }
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t x = input(m, in, {2, 3, 5, 6}, 1);
    const uint64_t grid = input(m, in, {2, 4, 7, 2}, 2, 1.3f);  // some points off the image
    node(m, OpKind::kGridSample, {x, grid}, {out(m, {2, 3, 4, 7})});
  });
}

TEST(MpsLowering, DetrTopKAndMaskBoxes) {
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t logits = input(m, in, {1, 320, 4}, 1, 10.0f);
    const uint64_t rows = input(m, in, {1, 320, 6}, 2);
    node(m, OpKind::kDetrTopK, {logits, rows}, {out(m, {1, 300, 6})});
  });
  compare([](GraphModel& m, Inputs& in) {
    const uint64_t masks = m.input({1, 300, 200, 200});
    Floats v(300 * 200 * 200, -1.0f);
    // Mask k: a box from (k % 50, k % 37) of (k % 9 + 1) x (k % 13 + 1) pixels; mask 7 empty.
    for (uint64_t k = 0; k < 300; ++k) {
      if (k == 7) continue;
      for (uint64_t y = k % 37; y < k % 37 + k % 13 + 1; ++y) {
        for (uint64_t x = k % 50; x < k % 50 + k % 9 + 1; ++x) v[(k * 200 + y) * 200 + x] = 0.5f;
      }
    }
    v[(299 * 200 + 199) * 200 + 199] = 1.0f;  // a pixel at the far corner
    in[masks] = std::move(v);
    node(m, OpKind::kMaskToBoxLogit, {masks}, {out(m, {1, 300, 4})});
  });
}

}  // namespace
}  // namespace vexa::mps_test
