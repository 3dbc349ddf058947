// Graph operations and linear layers, one node at a time through VXGraph::operation: the checks
// each op makes before it encodes anything, the kernels it chooses, and its results against
// naive loops written here.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <nlohmann/json.hpp>
#include <random>
#include <tuple>

#include "tests/gpu/vx_graph_test_util.h"

namespace {

using namespace vx_test;
using vexa::VXNode;
using vexa::VXTensorList;

uint64_t real(double v) { return std::bit_cast<uint64_t>(v); }

struct Ops : NodeRunner {
  explicit Ops(uint64_t activation = vexa::kVXActivationF16, bool q8_head = false)
      : NodeRunner(activation, mini(q8_head)) {}
  static MiniGraph mini(bool q8_head) {
    MiniGraph m;
    m.q8_head = q8_head;
    return m;
  }

  VXTensorPtr linear(const VXTensorPtr& x, const VXTensorPtr& w, const VXTensorPtr& b = nullptr) {
    return committed([&](auto& cb) { return g->linear(x, w, b, cb); });
  }
  std::function<void()> call(const VXNode& node, const VXTensorList& in) {
    return [this, node, in] {
      log.clear();
      g->operation(node, in, g->queue()->command_buffer());
    };
  }
  VXTensorPtr act(const std::vector<uint64_t>& shape, const std::vector<float>& v) {
    return upload_act(*g, shape, v);
  }
  float round(float v) const { return fp32 ? v : vexa::f16_round_trip(v); }
};

std::vector<float> random_values(uint64_t n, uint32_t seed, float scale = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-scale, scale);
  std::vector<float> v(n);
  for (float& x : v) x = vexa::f16_round_trip(d(rng));
  return v;
}

// A q8 weight [rows, cols] from bytes and one scale per block (not a weight view: the executor
// accepts any tensor of dtype 4 with its row bytes).
struct Q8 {
  VXTensorPtr tensor;
  std::vector<float> values;  // reconstructed, as FP16
};
Q8 q8_weight(VXGraph& g, const std::vector<uint64_t>& shape, uint32_t seed) {
  const uint64_t cols = shape.back();
  uint64_t count = 1;
  for (uint64_t d : shape) count *= d;
  const uint64_t rows = count / cols, blocks = (cols + 63) / 64, row_bytes = blocks * 68;
  std::mt19937 rng(seed);
  Q8 q;
  q.tensor = std::make_shared<VXTensor>();
  q.tensor->buffer = g.device()->new_buffer(std::max<uint64_t>(rows * row_bytes, 1), vexa::StorageMode::kShared);
  q.tensor->shape = shape;
  q.tensor->count = count;
  q.tensor->dtype = vexa::kVXDtypeQ8;
  q.tensor->row_bytes = row_bytes;
  auto* bytes = static_cast<uint8_t*>(q.tensor->buffer->contents());
  q.values.assign(count, 0.0f);
  for (uint64_t r = 0; r < rows; ++r) {
    for (uint64_t b = 0; b < blocks; ++b) {
      uint8_t* block = bytes + r * row_bytes + b * 68;
      const float scale = 0.01f * static_cast<float>(1 + (r + b) % 5);
      std::memcpy(block + 64, &scale, 4);
      for (uint64_t c = b * 64; c < std::min(cols, b * 64 + 64); ++c) {
        const int8_t v = static_cast<int8_t>(static_cast<int>(rng() % 255) - 127);
        block[c - b * 64] = static_cast<uint8_t>(v);
        q.values[r * cols + c] = vexa::f16_round_trip(scale * static_cast<float>(v));
      }
    }
  }
  return q;
}

// y = x w^T (+ b), summed in double and rounded once to the activation.
std::vector<float> linear_ref(const std::vector<float>& x, const std::vector<float>& w,
                              const std::vector<float>& b, uint64_t m, uint64_t n, uint64_t k) {
  std::vector<float> y(m * n);
  for (uint64_t i = 0; i < m; ++i) {
    for (uint64_t j = 0; j < n; ++j) {
      double s = b.empty() ? 0.0 : b[j];
      for (uint64_t t = 0; t < k; ++t) s += static_cast<double>(x[i * k + t]) * w[j * k + t];
      y[i * n + j] = static_cast<float>(s);
    }
  }
  return y;
}

void expect_close(const std::vector<float>& got, const std::vector<float>& ref, bool fp32,
                  const char* what) {
  ASSERT_EQ(got.size(), ref.size()) << what;
  // Two units in the last place of the activation, for f32 sums in another order.
  const float rel = fp32 ? 1e-5f : 2.0f / 1024.0f;
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_NEAR(got[i], ref[i], rel * std::max(1.0f, std::fabs(ref[i]))) << what << " at " << i;
  }
}

TEST(VXGraphOps, CommonChecksComeFirst) {
  Ops ops;
  VXTensorPtr x = ops.act({1, 4}, {1, 2, 3, 4});
  VXTensorPtr ids = upload_i64(*ops.g, {1}, {0});
  EXPECT_TRUE(raises(ops.call({5, 0, {}, {}, {}}, {x, x, x}), "Operation attribute count"));
  EXPECT_TRUE(raises(ops.call({3, 0, {}, {}, {7}}, {x, x}), "Operation attribute count"));
  EXPECT_TRUE(raises(ops.call({7, 0, {}, {}, {}}, {x, x}), "Operation input count"));
  EXPECT_TRUE(raises(ops.call({4, 0, {}, {}, {}}, {x}), "Operation input count"));
  EXPECT_TRUE(raises(ops.call({4, 0, {}, {}, {}}, {x, x, x, x}), "Operation input count"));
  EXPECT_TRUE(raises(ops.call({10, 0, {}, {}, {2, 2, 2, 1}}, {x, x, x, x}), "Operation input count"));
  EXPECT_TRUE(raises(ops.call({10, 0, {}, {}, {2, 2, 2, 0}}, {x, x, x, x, x, x}), "Operation input count"));
  EXPECT_TRUE(raises(ops.call({3, 0, {}, {}, {}}, {x, nullptr}), "Operation input count"));
  EXPECT_TRUE(raises(ops.call({14, 0, {}, {}, {}}, {x, x}), "Operation input count"));
  EXPECT_TRUE(raises(ops.call({1, 0, {}, {}, {}}, {x, ops.g->weights()[0]}), "Operation input dtype"));
  EXPECT_TRUE(raises(ops.call({3, 0, {}, {}, {}}, {ids, x}), "Operation input dtype"));
  // FP32 tensors in an FP16 graph.
  VXTensorPtr f32 = upload(*ops.g, {4}, vexa::kVXDtypeF32, std::vector<float>(4).data());
  EXPECT_TRUE(raises(ops.call({8, 0, {}, {}, {}}, {f32}), "Operation input dtype"));
  EXPECT_TRUE(ops.log.empty());
}

TEST(VXGraphOps, EmbeddingLooksUpRowsAndRefusesIdsOutsideTheTable) {
  for (bool q8 : {false, true}) {
    Ops ops(vexa::kVXActivationF32, q8);
    const MiniGraph mini;
    const VXTensorPtr& table = ops.g->weights()[q8 ? 1 : 0];
    const std::vector<float>& ref = q8 ? mini.head : mini.emb;
    VXTensorPtr ids = upload_i64(*ops.g, {2, 2}, {7, 0, 3, 3});
    VXTensorList y = ops.run({1, 0, {}, {}, {}}, {ids, table});
    ASSERT_EQ(y.size(), 1u);
    EXPECT_EQ(y[0]->shape, (std::vector<uint64_t>{2, 2, 4}));
    const std::vector<float> got = read_floats(*y[0]);
    const int64_t order[4] = {7, 0, 3, 3};
    for (int i = 0; i < 4; ++i) {
      for (int c = 0; c < 4; ++c) EXPECT_EQ(got[i * 4 + c], ref[order[i] * 4 + c]) << q8;
    }
    EXPECT_EQ(ops.log, (std::vector<std::string>{q8 ? "embedding_q8" : "embedding"}));
    EXPECT_EQ(ops.g->fused_int8_embedding_calls(), q8 ? 1u : 0u);

    for (int64_t bad : {int64_t{8}, int64_t{-1}, INT64_MIN}) {
      VXTensorPtr out = upload_i64(*ops.g, {3}, {1, bad, 2});
      EXPECT_TRUE(raises(ops.call({1, 0, {}, {}, {}}, {out, table}), "Embedding ID out of bounds"));
      EXPECT_TRUE(ops.log.empty());
    }
  }
  Ops ops;
  VXTensorPtr ids = upload_i64(*ops.g, {1}, {0});
  VXTensorPtr flat = std::make_shared<VXTensor>(*ops.g->weights()[0]);
  flat->shape = {32};
  EXPECT_TRUE(raises(ops.call({1, 0, {}, {}, {}}, {ids, flat}), "Embedding weight"));
  // Ids whose bytes the buffer does not hold are never read.
  VXTensorPtr forged = std::make_shared<VXTensor>(*ids);
  forged->shape = {64};
  forged->count = 64;
  EXPECT_TRUE(raises(ops.call({1, 0, {}, {}, {}}, {forged, ops.g->weights()[0]}), "Embedding ID out of bounds"));
  forged->count = 1;
  forged->offset = 256;
  EXPECT_TRUE(raises(ops.call({1, 0, {}, {}, {}}, {forged, ops.g->weights()[0]}), "Embedding ID out of bounds"));
  // No ids: an empty output and no dispatch.
  VXTensorPtr none = upload_i64(*ops.g, {0, 1024}, {});
  VXTensorList y = ops.run({1, 0, {}, {}, {}}, {none, ops.g->weights()[0]});
  EXPECT_EQ(y[0]->shape, (std::vector<uint64_t>{0, 1024, 4}));
  EXPECT_TRUE(ops.log.empty());
}

TEST(VXGraphOps, ElementwiseOpsAndTheirBroadcast) {
  for (uint64_t activation : {vexa::kVXActivationF16, vexa::kVXActivationF32}) {
    Ops ops(activation);
    const std::vector<float> xv = random_values(5 * 64, 1, 3.0f), bv = random_values(64, 2);
    VXTensorPtr x = ops.act({1, 5, 64}, xv), b = ops.act({64}, bv);
    const std::vector<float> sum = read_floats(*ops.run({3, 0, {}, {}, {}}, {x, b})[0]);
    const std::vector<float> prod = read_floats(*ops.run({9, 0, {}, {}, {}}, {x, x})[0]);
    const std::vector<float> gelu = read_floats(*ops.run({7, 0, {}, {}, {}}, {x})[0]);
    const std::vector<float> silu = read_floats(*ops.run({8, 0, {}, {}, {}}, {x})[0]);
    for (size_t i = 0; i < xv.size(); ++i) {
      const double a = xv[i];
      EXPECT_EQ(sum[i], ops.round(xv[i] + bv[i % 64]));
      EXPECT_EQ(prod[i], ops.round(xv[i] * xv[i]));
      const double g = 0.5 * a * (1 + std::tanh(0.7978845608028654 * (a + 0.044715 * a * a * a)));
      EXPECT_NEAR(gelu[i], g, ops.fp32 ? 1e-5 : 2e-3 * std::max(1.0, std::fabs(g)));
      const double s = a / (1 + std::exp(-a));
      EXPECT_NEAR(silu[i], s, ops.fp32 ? 1e-5 : 2e-3 * std::max(1.0, std::fabs(s)));
    }
    VXTensorPtr narrow = ops.act({32}, random_values(32, 3));
    EXPECT_TRUE(raises(ops.call({3, 0, {}, {}, {}}, {x, narrow}), "Unsupported elementwise broadcast"));
    VXTensorPtr ids = upload_i64(*ops.g, {64}, std::vector<int64_t>(64));
    EXPECT_TRUE(raises(ops.call({9, 0, {}, {}, {}}, {x, ids}), "Unsupported elementwise broadcast"));
    // Two empty operands (a vision branch during decoding) make an empty result.
    VXTensorPtr e = ops.act({0, 1024, 32}, {});
    EXPECT_EQ(ops.run({3, 0, {}, {}, {}}, {e, e})[0]->count, 0u);
    EXPECT_TRUE(ops.log.empty());
  }
}

TEST(VXGraphOps, NormalisationChecksAndRows) {
  for (uint64_t activation : {vexa::kVXActivationF16, vexa::kVXActivationF32}) {
    Ops ops(activation);
    const uint64_t d = 40;
    const std::vector<float> xv = random_values(3 * d, 4, 2.0f), wv = random_values(d, 5),
                             bv = random_values(d, 6);
    VXTensorPtr x = ops.act({3, d}, xv), w = upload_f16(*ops.g, {d}, wv), b = upload_f16(*ops.g, {d}, bv);
    const double eps = 1e-5;
    const std::vector<float> layer = read_floats(*ops.run({5, 0, {}, {}, {real(eps)}}, {x, w, b})[0]);
    const std::vector<float> rms = read_floats(*ops.run({6, 0, {}, {}, {real(eps)}}, {x, w})[0]);
    EXPECT_EQ(ops.log, (std::vector<std::string>{"norm"}));
    for (uint64_t r = 0; r < 3; ++r) {
      double mean = 0, sq = 0, var = 0;
      for (uint64_t c = 0; c < d; ++c) mean += xv[r * d + c], sq += double(xv[r * d + c]) * xv[r * d + c];
      mean /= d;
      for (uint64_t c = 0; c < d; ++c) var += (xv[r * d + c] - mean) * (xv[r * d + c] - mean);
      var /= d;
      for (uint64_t c = 0; c < d; ++c) {
        const double l = (xv[r * d + c] - mean) / std::sqrt(var + eps) * wv[c] + bv[c];
        const double s = xv[r * d + c] / std::sqrt(sq / d + eps) * wv[c];
        EXPECT_NEAR(layer[r * d + c], l, ops.fp32 ? 1e-5 : 4e-3 * std::max(1.0, std::fabs(l)));
        EXPECT_NEAR(rms[r * d + c], s, ops.fp32 ? 1e-5 : 4e-3 * std::max(1.0, std::fabs(s)));
      }
    }
    VXTensorPtr short_w = upload_f16(*ops.g, {d - 1}, random_values(d - 1, 7));
    EXPECT_TRUE(raises(ops.call({6, 0, {}, {}, {real(eps)}}, {x, short_w}), "Norm shape"));
    EXPECT_TRUE(raises(ops.call({5, 0, {}, {}, {real(eps)}}, {x, w, short_w}), "Norm shape"));
    EXPECT_TRUE(raises(ops.call({5, 0, {}, {}, {real(eps)}}, {x, w, x}), "Norm shape"));  // activation bias
    EXPECT_TRUE(raises(ops.call({5, 0, {}, {}, {real(0.0)}}, {x, w, b}), "Norm epsilon"));
    EXPECT_TRUE(raises(ops.call({6, 0, {}, {}, {real(-1e-6)}}, {x, w}), "Norm epsilon"));
    EXPECT_TRUE(raises(ops.call({6, 0, {}, {}, {real(1e-50)}}, {x, w}), "Norm epsilon"));  // 0 as a float
    EXPECT_TRUE(raises(ops.call({5, 0, {}, {}, {0x7ff8000000000001}}, {x, w, b}), "Invalid real attribute"));
    VXTensorPtr zero_width = ops.act({3, 0}, {});
    EXPECT_TRUE(raises(ops.call({6, 0, {}, {}, {real(eps)}}, {zero_width, w}), "Norm shape"));
    // q8 norm weights pass only with an empty input (nothing is computed then).
    Q8 q = q8_weight(*ops.g, {d}, 8);
    EXPECT_TRUE(raises(ops.call({6, 0, {}, {}, {real(eps)}}, {x, q.tensor}), "Norm shape"));
    VXTensorPtr empty = ops.act({0, 7, d}, {});
    EXPECT_EQ(ops.run({5, 0, {}, {}, {real(eps)}}, {empty, q.tensor, q.tensor})[0]->count, 0u);
    EXPECT_TRUE(ops.log.empty());
  }
}

TEST(VXGraphOps, RotaryEmbeddingChecksAndAngles) {
  Ops ops(vexa::kVXActivationF32);
  const uint64_t d = 8, heads = 2, rows = 3;
  const std::vector<float> xv = random_values(rows * heads * d, 9);
  VXTensorPtr x = ops.act({1, rows, heads * d}, xv);
  VXTensorPtr pos = upload_i64(*ops.g, {1, rows}, {0, 5, 17});
  const double theta = 10000.0;
  const std::vector<float> y = read_floats(*ops.run({11, 0, {}, {}, {d, real(theta), heads}}, {x, pos})[0]);
  const int64_t p[3] = {0, 5, 17};
  for (uint64_t r = 0; r < rows; ++r) {
    for (uint64_t h = 0; h < heads; ++h) {
      for (uint64_t c = 0; c < d; ++c) {
        const uint64_t base = (r * heads + h) * d;
        const double angle = p[r] * std::pow(theta, -2.0 * (c % (d / 2)) / d);
        const double other = c < d / 2 ? -xv[base + c + d / 2] : xv[base + c - d / 2];
        const double ref = xv[base + c] * std::cos(angle) + other * std::sin(angle);
        EXPECT_NEAR(y[base + c], ref, 1e-5) << r << " " << h << " " << c;
      }
    }
  }
  const char* kShape = "RoPE shape";
  EXPECT_TRUE(raises(ops.call({11, 0, {}, {}, {7, real(theta), heads}}, {x, pos}), kShape));
  EXPECT_TRUE(raises(ops.call({11, 0, {}, {}, {0, real(theta), heads}}, {x, pos}), kShape));
  EXPECT_TRUE(raises(ops.call({11, 0, {}, {}, {d, real(theta), 0}}, {x, pos}), kShape));
  EXPECT_TRUE(raises(ops.call({11, 0, {}, {}, {d, real(theta), 3}}, {x, pos}), kShape));
  EXPECT_TRUE(raises(ops.call({11, 0, {}, {}, {uint64_t{1} << 62, real(theta), 4}}, {x, pos}), kShape));
  VXTensorPtr short_pos = upload_i64(*ops.g, {2}, {0, 1});
  EXPECT_TRUE(raises(ops.call({11, 0, {}, {}, {d, real(theta), heads}}, {x, short_pos}), kShape));
  EXPECT_TRUE(raises(ops.call({11, 0, {}, {}, {d, real(theta), heads}}, {x, x}), kShape));
  EXPECT_TRUE(raises(ops.call({11, 0, {}, {}, {d, real(0.0), heads}}, {x, pos}), "RoPE theta"));
  EXPECT_TRUE(raises(ops.call({11, 0, {}, {}, {d, real(INFINITY), heads}}, {x, pos}), "Invalid real attribute"));
}

TEST(VXGraphOps, ShuffleMovesTokensIntoChannels) {
  Ops ops;
  // A 4 x 4 grid of 2 channels, factor 2: 4 output tokens of 8 channels.
  std::vector<float> xv(2 * 16 * 2);
  for (size_t i = 0; i < xv.size(); ++i) xv[i] = static_cast<float>(i);
  VXTensorPtr x = ops.act({2, 16, 2}, xv);
  VXTensorPtr y = ops.run({12, 0, {}, {}, {2, 4, 4}}, {x})[0];
  ASSERT_EQ(y->shape, (std::vector<uint64_t>{2, 4, 8}));
  const std::vector<float> got = read_floats(*y);
  for (uint64_t b = 0; b < 2; ++b) {
    for (uint64_t ro = 0; ro < 2; ++ro) {
      for (uint64_t co = 0; co < 2; ++co) {
        for (uint64_t lane = 0; lane < 8; ++lane) {
          const uint64_t dy = lane / 4, dx = (lane / 2) % 2, c = lane % 2;
          const float ref = xv[((b * 4 + ro * 2 + dy) * 4 + co * 2 + dx) * 2 + c];
          EXPECT_EQ(got[((b * 2 + ro) * 2 + co) * 8 + lane], ref);
        }
      }
    }
  }
  const char* kGeometry = "Shuffle geometry";
  EXPECT_TRUE(raises(ops.call({12, 0, {}, {}, {0, 4, 4}}, {x}), kGeometry));
  EXPECT_TRUE(raises(ops.call({12, 0, {}, {}, {3, 4, 4}}, {x}), kGeometry));
  EXPECT_TRUE(raises(ops.call({12, 0, {}, {}, {2, 2, 4}}, {x}), kGeometry));  // 16 tokens, 2 x 4
  EXPECT_TRUE(raises(ops.call({12, 0, {}, {}, {2, 4, 6}}, {x}), kGeometry));
  EXPECT_TRUE(raises(ops.call({12, 0, {}, {}, {2, uint64_t{1} << 33, uint64_t{1} << 33}}, {x}), kGeometry));
  EXPECT_TRUE(raises(ops.call({12, 0, {}, {}, {2, 4, 4}}, {ops.act({32, 2}, xv)}), kGeometry));
}

TEST(VXGraphOps, ScatterPlacesImageRowsAtCheckedPositions) {
  Ops ops;
  std::vector<float> xv(5 * 4), rv(2 * 4);
  for (size_t i = 0; i < xv.size(); ++i) xv[i] = static_cast<float>(i);
  for (size_t i = 0; i < rv.size(); ++i) rv[i] = -1.0f - static_cast<float>(i);
  VXTensorPtr x = ops.act({1, 5, 4}, xv);
  VXTensorPtr rows = ops.act({1, 2, 4}, rv);  // any shape with the last dimension D
  VXTensorPtr pos = upload_i64(*ops.g, {2}, {4, 1});
  const std::vector<float> y = read_floats(*ops.run({13, 0, {}, {}, {}}, {x, rows, pos})[0]);
  for (uint64_t r = 0; r < 5; ++r) {
    for (uint64_t c = 0; c < 4; ++c) {
      const float ref = r == 4 ? rv[c] : r == 1 ? rv[4 + c] : xv[r * 4 + c];
      EXPECT_EQ(y[r * 4 + c], ref) << r << " " << c;
    }
  }
  const char* kPosition = "Scatter position invalid";
  for (const std::vector<int64_t>& bad : {std::vector<int64_t>{3, 3}, {-1, 0}, {0, 5}, {INT64_MAX, 0}}) {
    EXPECT_TRUE(raises(ops.call({13, 0, {}, {}, {}}, {x, rows, upload_i64(*ops.g, {2}, bad)}), kPosition));
  }
  const char* kShape = "Scatter shape";
  EXPECT_TRUE(raises(ops.call({13, 0, {}, {}, {}}, {x, rows, upload_i64(*ops.g, {3}, {0, 1, 2})}), kShape));
  EXPECT_TRUE(raises(ops.call({13, 0, {}, {}, {}}, {ops.act({2, 5, 4}, std::vector<float>(40)), rows, pos}), kShape));
  EXPECT_TRUE(raises(ops.call({13, 0, {}, {}, {}}, {x, ops.act({4, 2}, rv), pos}), kShape));
  EXPECT_TRUE(raises(ops.call({13, 0, {}, {}, {}}, {x, rows, ops.act({2}, {0, 1})}), kShape));
  EXPECT_TRUE(raises(ops.call({13, 0, {}, {}, {}}, {x, upload_i64(*ops.g, {2, 4}, std::vector<int64_t>(8)), pos}), kShape));
  // Positions whose bytes lie past their buffer are never read.
  VXTensorPtr forged = std::make_shared<VXTensor>(*pos);
  forged->offset = pos->buffer->length() - 8;
  EXPECT_TRUE(raises(ops.call({13, 0, {}, {}, {}}, {x, rows, forged}), kPosition));
  // No image rows (a text-only request): x copied unchanged.
  const std::vector<float> same =
      read_floats(*ops.run({13, 0, {}, {}, {}}, {x, ops.act({0, 64, 4}, {}), upload_i64(*ops.g, {0}, {})})[0]);
  EXPECT_EQ(same, xv);
}

TEST(VXGraphOps, PatchEmbeddingUnfoldsThenProjects) {
  Ops ops(vexa::kVXActivationF32);
  // 2 images of 2 channels, 8 x 8, patch 4: 4 patches of 32 values each, 6 outputs.
  const uint64_t b = 2, ch = 2, side = 8, p = 4, o = 6;
  const std::vector<float> px = random_values(b * ch * side * side, 10);
  const std::vector<float> wv = random_values(o * ch * p * p, 11), bias = random_values(o, 12);
  VXTensorPtr y = ops.run({2, 0, {}, {}, {p}},
                          {ops.act({b, ch, side, side}, px), upload_f16(*ops.g, {o, ch, p, p}, wv),
                           upload_f16(*ops.g, {o}, bias)})[0];
  ASSERT_EQ(y->shape, (std::vector<uint64_t>{b, 4, o}));
  EXPECT_EQ(ops.log, (std::vector<std::string>{"unfold", "matmul"}));
  const std::vector<float> got = read_floats(*y);
  for (uint64_t n = 0; n < b; ++n) {
    for (uint64_t patch = 0; patch < 4; ++patch) {
      const uint64_t line = patch / 2, col = patch % 2;
      for (uint64_t oc = 0; oc < o; ++oc) {
        double s = bias[oc];
        for (uint64_t c = 0; c < ch; ++c) {
          for (uint64_t py = 0; py < p; ++py) {
            for (uint64_t qx = 0; qx < p; ++qx) {
              s += double(px[((n * ch + c) * side + line * p + py) * side + col * p + qx]) *
                   wv[((oc * ch + c) * p + py) * p + qx];
            }
          }
        }
        EXPECT_NEAR(got[(n * 4 + patch) * o + oc], s, 1e-5);
      }
    }
  }
  VXTensorPtr pix = ops.act({1, 3, 8, 8}, std::vector<float>(192));
  VXTensorPtr w = upload_f16(*ops.g, {4, 3, 4, 4}, std::vector<float>(192));
  EXPECT_TRUE(raises(ops.call({2, 0, {}, {}, {3}}, {pix, w, w}), "Patch geometry"));
  EXPECT_TRUE(raises(ops.call({2, 0, {}, {}, {0}}, {pix, w, w}), "Patch geometry"));
  EXPECT_TRUE(raises(ops.call({2, 0, {}, {}, {4}}, {ops.act({1, 3, 8, 4}, std::vector<float>(96)), w, w}), "Patch geometry"));
  EXPECT_TRUE(raises(ops.call({2, 0, {}, {}, {4}}, {pix, upload_f16(*ops.g, {4, 2, 4, 4}, std::vector<float>(128)), w}),
                     "Patch weights"));
  EXPECT_TRUE(raises(ops.call({2, 0, {}, {}, {4}}, {pix, upload_f16(*ops.g, {4, 48}, std::vector<float>(192)), w}),
                     "Patch weights"));
  // A projection the linear layer refuses (27 inputs per patch are odd; a bias of the wrong
  // length) is refused before the unfold is encoded.
  VXTensorPtr pix6 = ops.act({1, 3, 6, 6}, std::vector<float>(108));
  VXTensorPtr w3 = upload_f16(*ops.g, {4, 3, 3, 3}, std::vector<float>(108));
  EXPECT_TRUE(raises(ops.call({2, 0, {}, {}, {3}}, {pix6, w3, upload_f16(*ops.g, {4}, std::vector<float>(4))}),
                     "Linear shape/dtype"));
  EXPECT_TRUE(ops.log.empty());
  EXPECT_TRUE(raises(ops.call({2, 0, {}, {}, {4}}, {pix, w, upload_f16(*ops.g, {5}, std::vector<float>(5))}),
                     "Linear bias shape"));
  EXPECT_TRUE(ops.log.empty());
}

TEST(VXGraphOps, PatchEmbeddingOfAFullViewAndOfNone) {
  Ops ops;
  // 512 x 512 with patch 16: 1024 rows of 3 x 256 values before the projection.
  VXTensorPtr pix = ops.act({1, 3, 512, 512}, std::vector<float>(3 * 512 * 512, 0.5f));
  VXTensorPtr w = upload_f16(*ops.g, {8, 3, 16, 16}, std::vector<float>(8 * 768, 0.25f));
  VXTensorPtr y = ops.run({2, 0, {}, {}, {16}}, {pix, w, upload_f16(*ops.g, {8}, std::vector<float>(8, 1.0f))})[0];
  EXPECT_EQ(y->shape, (std::vector<uint64_t>{1, 1024, 8}));
  EXPECT_EQ(ops.log, (std::vector<std::string>{"unfold", "matmul_rows64"}));
  EXPECT_EQ(read_floats(*y)[1023 * 8 + 7], 97.0f);  // 768 x 0.125 + 1
  // A decode step's empty vision input: every check passes, nothing is encoded.
  Q8 q = q8_weight(*ops.g, {8, 3, 16, 16}, 13);
  VXTensorPtr none = ops.run({2, 0, {}, {}, {16}}, {ops.act({0, 3, 512, 512}, {}), q.tensor, q8_weight(*ops.g, {8}, 14).tensor})[0];
  EXPECT_EQ(none->shape, (std::vector<uint64_t>{0, 1024, 8}));
  EXPECT_TRUE(ops.log.empty());
}

TEST(VXGraphLinear, PathsByRowsAndActivation) {
  struct Case {
    uint64_t activation, m, n, k;
    const char* kernel;
    bool bias;
  };
  const Case cases[] = {
      {1, 7, 1536, 576, "matmul", false},   // 7 rows: 32-row tiles
      {1, 64, 64, 32, "matmul_rows64", true},
      {2, 64, 64, 32, "matmul_direct64", false},
      {2, 128, 64, 64, "matmul_direct64", true},  // bias added afterwards
      {2, 65, 64, 32, "matmul_rows64", true},
      {2, 31, 96, 96, "matmul", true},
      {1, 1, 70, 130, "matvec", true},
      {2, 1, 64, 64, "matvec", false},
  };
  for (const Case& c : cases) {
    Ops ops(c.activation);
    const std::vector<float> xv = random_values(c.m * c.k, 15), wv = random_values(c.n * c.k, 16, 0.2f);
    const std::vector<float> bv = c.bias ? random_values(c.n, 17) : std::vector<float>{};
    VXTensorPtr y = ops.linear(ops.act({1, c.m, c.k}, xv), upload_f16(*ops.g, {c.n, c.k}, wv),
                               c.bias ? upload_f16(*ops.g, {c.n}, bv) : nullptr);
    EXPECT_EQ(y->shape, (std::vector<uint64_t>{1, c.m, c.n}));
    std::vector<std::string> expected{c.kernel};
    if (std::string(c.kernel) == "matmul_direct64" && c.bias) expected.push_back("linear_bias");
    EXPECT_EQ(ops.log, expected) << c.m << " " << c.n << " " << c.k;
    std::vector<float> xr = xv;
    for (float& v : xr) v = ops.round(v);
    expect_close(read_floats(*y), linear_ref(xr, wv, bv, c.m, c.n, c.k), ops.fp32, c.kernel);
  }
}

TEST(VXGraphLinear, QuantizedSingleRowsAndRefusals) {
  for (uint64_t activation : {vexa::kVXActivationF16, vexa::kVXActivationF32}) {
    Ops ops(activation);
    // 100 columns: one full block and one partly used.
    Q8 q = q8_weight(*ops.g, {12, 100}, 18);
    const std::vector<float> xv = random_values(100, 19), bv = random_values(12, 20);
    VXTensorPtr y = ops.linear(ops.act({1, 100}, xv), q.tensor, upload_f16(*ops.g, {12}, bv));
    EXPECT_EQ(ops.log, (std::vector<std::string>{"matvec_q8"}));
    EXPECT_EQ(ops.g->fused_int8_matvec_calls(), 1u);
    expect_close(read_floats(*y), linear_ref(xv, q.values, bv, 1, 12, 100), ops.fp32, "matvec_q8");

    const char* kShape = "Linear shape/dtype";
    EXPECT_TRUE(raises([&] { ops.linear(ops.act({2, 100}, random_values(200, 21)), q.tensor); }, kShape));
    Q8 q3 = q8_weight(*ops.g, {12, 1, 100}, 22);
    EXPECT_TRUE(raises([&] { ops.linear(ops.act({1, 100}, xv), q3.tensor); }, kShape));
    VXTensorPtr w = upload_f16(*ops.g, {12, 100}, q.values);
    EXPECT_TRUE(raises([&] { ops.linear(ops.act({1, 99}, random_values(99, 23)), upload_f16(*ops.g, {12, 99}, random_values(12 * 99, 24))); }, kShape));
    EXPECT_TRUE(raises([&] { ops.linear(ops.act({1, 100}, xv), upload_f16(*ops.g, {13, 100}, random_values(1300, 25))); }, kShape));
    EXPECT_TRUE(raises([&] { ops.linear(ops.act({1, 100}, xv), upload_f16(*ops.g, {12, 50}, random_values(600, 26))); }, kShape));
    EXPECT_TRUE(raises([&] { ops.linear(upload_i64(*ops.g, {1, 100}, std::vector<int64_t>(100)), w); }, kShape));
    EXPECT_TRUE(raises([&] { ops.linear(ops.act({1, 0}, {}), upload_f16(*ops.g, {12, 0}, {})); }, kShape));
    EXPECT_TRUE(raises([&] { ops.linear(ops.act({}, {1}), w); }, "Scalar not supported here"));
    EXPECT_TRUE(raises([&] { ops.linear(ops.act({1, 100}, xv), upload_f16(*ops.g, {}, {1})); }, "Rank mismatch"));
    const char* kBias = "Linear bias shape";
    EXPECT_TRUE(raises([&] { ops.linear(ops.act({1, 100}, xv), w, upload_f16(*ops.g, {11}, random_values(11, 27))); }, kBias));
    if (ops.fp32) {
      EXPECT_TRUE(raises([&] { ops.linear(ops.act({1, 100}, xv), w, ops.act({12}, bv)); }, kBias));
    }
    EXPECT_TRUE(raises([&] { ops.linear(ops.act({1, 100}, xv), w, q8_weight(*ops.g, {12}, 28).tensor); }, kBias));
    // An empty x passes with q8 weights of any rank and a q8 bias, and encodes nothing.
    VXTensorPtr none = ops.linear(ops.act({0, 64, 100}, {}), q3.tensor, q8_weight(*ops.g, {12}, 29).tensor);
    EXPECT_EQ(none->shape, (std::vector<uint64_t>{0, 64, 12}));
    EXPECT_TRUE(ops.log.empty());
  }
}

}  // namespace

namespace {

// Several rows through the device's matrix objects or its graph library, when configured and
// large enough; each shape's object is built once.
TEST(VXGraphLinearLibrary, PathsByFlagsAndSize) {
  for (uint64_t activation : {vexa::kVXActivationF16, vexa::kVXActivationF32}) {
    for (const char* backend : {"mps", "mpsgraph"}) {
      Ops ops(activation);
      ops.g->configure({{"backend", backend}});
      const bool graph = std::string(backend) == "mpsgraph";
      const uint64_t m = 40, n = 64, k = 96;
      const std::vector<float> xv = random_values(m * k, 41), wv = random_values(n * k, 42, 0.2f),
                               bv = random_values(n, 43);
      VXTensorPtr w = upload_f16(*ops.g, {n, k}, wv), b = upload_f16(*ops.g, {n}, bv);
      // x as a view at an offset inside a larger buffer, as a trimmed or captured input can be.
      VXTensorPtr x = ops.act({2, m, k}, [&] {
        std::vector<float> v(2 * m * k, 0.0f);
        std::copy(xv.begin(), xv.end(), v.begin() + m * k);
        return v;
      }());
      auto view = std::make_shared<VXTensor>(*x);
      view->shape = {m, k};
      view->count = m * k;
      view->offset = m * k * vexa::vx_element_bytes(x->dtype);
      for (bool bias : {true, false}) {
        VXTensorPtr y = ops.linear(view, w, bias ? b : nullptr);
        std::vector<std::string> kernels;
        if (!graph && ops.fp32) kernels.push_back("weights_float");
        if (!graph && bias) kernels.push_back("linear_bias");
        EXPECT_EQ(ops.log, kernels) << backend << " " << bias;
        // The graph rounds the product before adding the bias: one more rounding than the
        // kernels, within the same tolerance.
        expect_close(read_floats(*y), linear_ref(xv, wv, bias ? bv : std::vector<float>{}, m, n, k),
                     ops.fp32, backend);
      }
      EXPECT_EQ(graph ? ops.g->graph_cache_size() : ops.g->matrix_cache_size(), graph ? 2u : 1u);
      // 31 rows, 62 outputs or 62 inputs: the tiled kernels, whatever the flags.
      for (auto [mm, nn, kk] : {std::tuple<uint64_t, uint64_t, uint64_t>{31, 64, 96}, {40, 62, 96}, {40, 64, 62}}) {
        ops.linear(ops.act({mm, kk}, random_values(mm * kk, 44)), upload_f16(*ops.g, {nn, kk}, random_values(nn * kk, 45)));
        // Fatal on failure: the next line reads the first entry.
        ASSERT_EQ(ops.log.size(), 1u) << backend << " " << mm << " x " << nn << " x " << kk;
        EXPECT_EQ(ops.log[0].rfind("matmul", 0), 0u) << ops.log[0];
      }
      EXPECT_EQ(ops.g->graph_cache_size() + ops.g->matrix_cache_size(), graph ? 2u : 1u);
    }
  }
}

}  // namespace
