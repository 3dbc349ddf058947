// Attention kernels against references written from their rounding points: score scaling and
// masking and the softmax bit for bit, the single-pass kernels bit for bit (their reduction
// orders are part of the contract), the tiled ones within one unit of an f64 reference.
// Causal windows after cached positions, grouped key/value heads, and strided caches.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "gpu/kernel_test_util.h"

namespace {

using namespace kernel_test;

struct Shape {
  uint64_t batch, hq, hkv, dim, seq, keys, stride;
};

struct Inputs {
  std::vector<float> q, k, v, mask;
};

Inputs make_inputs(std::mt19937& rng, const Shape& s, bool fp32) {
  Inputs in;
  in.q = uniform(rng, s.batch * s.seq * s.hq * s.dim, -1, 1, fp32);
  in.k = uniform(rng, s.batch * s.hkv * s.stride * s.dim, -1, 1, fp32);
  in.v = uniform(rng, s.batch * s.hkv * s.stride * s.dim, -2, 2, fp32);
  in.mask = uniform(rng, s.batch * s.seq * s.keys, -4, 0, fp32);
  for (size_t i = 0; i < in.mask.size(); i += 5) in.mask[i] = masked_score(fp32);
  return in;
}

// Scores of query row r of (b, h): A(A(dot) scale), masked.
std::vector<float> reference_scores(const Shape& s, const Inputs& in, bool fp32, bool causal,
                                    uint64_t b, uint64_t h, uint64_t r, float scale,
                                    bool dots_folded) {
  const uint64_t hk = h / (s.hq / s.hkv);
  std::vector<float> out(s.keys);
  for (uint64_t j = 0; j < s.keys; ++j) {
    const float* q = &in.q[((b * s.seq + r) * s.hq + h) * s.dim];
    const float* k = &in.k[((b * s.hkv + hk) * s.stride + j) * s.dim];
    float dot = 0.0f;
    if (dots_folded) {  // the 64-wide decode kernel's lane fold
      std::vector<float> lanes(32);
      for (int l = 0; l < 32; ++l) lanes[l] = q[l] * k[l] + q[l + 32] * k[l + 32];
      dot = fold32(lanes);
    } else {
      for (uint64_t c = 0; c < s.dim; ++c) dot += q[c] * k[c];
    }
    const float sc = round_a(round_a(dot, fp32) * scale, fp32);
    if (causal) {
      const bool masked = static_cast<int64_t>(j) > static_cast<int64_t>(s.keys) - static_cast<int64_t>(s.seq) +
                                                        static_cast<int64_t>(r);
      out[j] = masked ? masked_score(fp32) : sc;
    } else {
      out[j] = round_a(sc + in.mask[(b * s.seq + r) * s.keys + j], fp32);
    }
  }
  return out;
}

struct Bufs {
  Buf q, k, v, mask, out;
};

Bufs upload(const Shape& s, const Inputs& in, bool fp32) {
  return {act_buffer(in.q, fp32), act_buffer(in.k, fp32), act_buffer(in.v, fp32),
          act_buffer(in.mask, fp32),
          act_buffer(std::vector<float>(s.batch * s.seq * s.hq * s.dim, 12.5f), fp32)};
}

KernelParams attention_params(const Shape& s, bool causal) {
  return params({{0, static_cast<uint32_t>(s.hq)}, {1, static_cast<uint32_t>(s.hkv)},
                 {2, static_cast<uint32_t>(s.dim)}, {3, static_cast<uint32_t>(s.seq)},
                 {4, static_cast<uint32_t>(s.keys)}, {5, static_cast<uint32_t>(s.batch)},
                 {7, static_cast<uint32_t>(s.stride)}, {14, causal ? 1u : 0u}});
}

}  // namespace

TEST(AttentionKernels, ScaleMaskAndSoftmax) {
  std::mt19937 rng(40);
  for (bool fp32 : {false, true}) {
    for (bool causal : {false, true}) {
      for (uint64_t dim : {uint64_t{64}, uint64_t{48}}) {
        SCOPED_TRACE(testing::Message() << "fp32 " << fp32 << " causal " << causal << " D " << dim);
        const Shape s{2, 3, 3, dim, 4, 6, 6};
        const uint64_t count = s.batch * s.hq * s.seq * s.keys;
        const std::vector<float> scores = uniform(rng, count, -30, 30, fp32);
        const std::vector<float> mask = uniform(rng, s.batch * s.seq * s.keys, -5, 0, fp32);
        Buf xb = act_buffer(scores, fp32), mb = act_buffer(mask, fp32);
        ASSERT_TRUE(run_kernel("attention_scale_mask", fp32, {{0, &xb}, {1, &mb}, {2, &xb}},
                               attention_params(s, causal), threads(count)).ok);
        const float scale = 1.0f / std::sqrt(static_cast<float>(dim));
        std::vector<float> want(count);
        for (uint64_t i = 0; i < count; ++i) {
          const uint64_t c = i % s.keys, r = (i / s.keys) % s.seq, b = i / (s.keys * s.seq * s.hq);
          const float sc = round_a(scores[i] * scale, fp32);
          if (causal) {
            // Query row r of S after T - S cached positions sees columns 0 .. T - S + r.
            want[i] = c > s.keys - s.seq + r ? masked_score(fp32) : sc;
          } else {
            want[i] = round_a(sc + mask[(b * s.seq + r) * s.keys + c], fp32);
          }
        }
        expect_same(read_act(xb, count, fp32), want, "attention_scale_mask");
      }
    }
    // Rows that end in runs of one value (masked scores where causal masking puts them, or
    // elsewhere, or ordinary values) and rows with none, under causal and plain parameters:
    // every row as the reference.
    for (uint64_t keys : {uint64_t{1}, uint64_t{5}, uint64_t{130}, uint64_t{300}})
    for (bool causal : {false, true}) {
      const uint64_t rows = 7;
      std::vector<float> scores = uniform(rng, rows * keys, -20, 20, fp32);
      scores[0] = masked_score(fp32);
      auto run_from = [&](uint64_t r, uint64_t c0, float v) {
        for (uint64_t c = c0; c < keys; ++c) scores[r * keys + c] = v;
      };
      for (uint64_t r = 0; r < 3; ++r) {
        run_from(r, std::min(keys, keys - rows + r + 1), masked_score(fp32));
      }
      run_from(3, keys / 2, 2.5f);
      run_from(5, 0, -7.0f);
      run_from(6, keys / 3, masked_score(fp32));  // longer than the causal run
      if (keys > 2) scores[6 * keys + keys - 2] = -0.0f, scores[6 * keys + keys - 1] = 0.0f;
      Buf xb = act_buffer(scores, fp32);
      ASSERT_TRUE(run_kernel("attention_softmax", fp32, {{0, &xb}},
                             params({{3, static_cast<uint32_t>(rows)},
                                     {4, static_cast<uint32_t>(keys)},
                                     {14, causal ? 1u : 0u}}),
                             groups(rows)).ok);
      std::vector<float> want(rows * keys);
      for (uint64_t r = 0; r < rows; ++r) {
        float m = -INFINITY;
        for (uint64_t c = 0; c < keys; ++c) m = std::max(m, scores[r * keys + c]);
        std::vector<float> e(keys);
        for (uint64_t c = 0; c < keys; ++c) e[c] = exp_ref(scores[r * keys + c] - m);
        const float sum = group_sum128(e);
        for (uint64_t c = 0; c < keys; ++c) want[r * keys + c] = round_a(e[c] / sum, fp32);
      }
      expect_same(read_act(xb, rows * keys, fp32), want, "attention_softmax");
    }
  }
}

TEST(AttentionKernels, SinglePassAndDecode) {
  std::mt19937 rng(42);
  for (bool fp32 : {false, true}) {
    for (bool causal : {false, true}) {
      // Grouped heads (two query heads per key head), three new positions after four cached,
      // a cache stride beyond the positions.
      const Shape shapes[] = {{2, 4, 2, 40, 3, 7, 9}, {1, 2, 2, 64, 1, 300, 310}, {1, 3, 1, 16, 5, 5, 5}};
      for (const Shape& s : shapes) {
        SCOPED_TRACE(testing::Message() << "fp32 " << fp32 << " causal " << causal << " D " << s.dim
                                        << " S " << s.seq << " T " << s.keys);
        const Inputs in = make_inputs(rng, s, fp32);
        Bufs b = upload(s, in, fp32);
        const uint64_t groups_count = s.batch * s.seq * s.hq;
        ASSERT_TRUE(run_kernel("attention", fp32, {{0, &b.q}, {1, &b.k}, {2, &b.out}, {4, &b.v}, {5, &b.mask}},
                               attention_params(s, causal), groups(groups_count)).ok);
        std::vector<float> want(groups_count * s.dim);
        const float scale = 1.0f / std::sqrt(static_cast<float>(s.dim));
        for (uint64_t g = 0; g < groups_count; ++g) {
          const uint64_t h = g % s.hq, r = (g / s.hq) % s.seq, bb = g / (s.hq * s.seq);
          std::vector<float> p = reference_scores(s, in, fp32, causal, bb, h, r, scale, false);
          float m = -INFINITY;
          for (float x : p) m = std::max(m, x);
          for (float& x : p) x = exp_ref(x - m);
          const float sum = group_sum128(p);
          for (float& x : p) x = round_a(x / sum, fp32);
          const uint64_t hk = h / (s.hq / s.hkv);
          for (uint64_t c = 0; c < s.dim; ++c) {
            float acc = 0.0f;
            for (uint64_t j = 0; j < s.keys; ++j) acc += p[j] * in.v[((bb * s.hkv + hk) * s.stride + j) * s.dim + c];
            want[g * s.dim + c] = round_a(acc, fp32);
          }
        }
        expect_same(read_act(b.out, want.size(), fp32), want, "attention");

        if (s.dim != 64 || s.seq != 1) continue;
        // The decode kernel: one group per (batch, head); no causal term.
        Bufs d = upload(s, in, fp32);
        ASSERT_TRUE(run_kernel("attention_decode64", fp32,
                               {{0, &d.q}, {1, &d.k}, {2, &d.out}, {4, &d.v}, {5, &d.mask}},
                               attention_params(s, causal), groups(s.batch * s.hq)).ok);
        for (uint64_t g = 0; g < s.batch * s.hq; ++g) {
          const uint64_t h = g % s.hq, bb = g / s.hq, hk = h / (s.hq / s.hkv);
          // Causal with one query sees every key: the scores are unmasked.
          std::vector<float> p = reference_scores(s, in, fp32, causal, bb, h, 0, 0.125f, true);
          float m = -INFINITY;
          for (float x : p) m = std::max(m, x);
          float sums[4] = {0, 0, 0, 0};
          for (uint64_t j = 0; j < s.keys; ++j) {
            p[j] = exp_ref(p[j] - m);
            sums[j % 4] += p[j];
          }
          const float sum = (sums[0] + sums[1]) + (sums[2] + sums[3]);
          for (float& x : p) x = round_a(x / sum, fp32);
          for (uint64_t c = 0; c < 64; ++c) {
            float part[4] = {0, 0, 0, 0};
            for (uint64_t j = 0; j < s.keys; ++j) {
              part[j % 4] += p[j] * in.v[((bb * s.hkv + hk) * s.stride + j) * 64 + c];
            }
            want[g * 64 + c] = round_a((part[0] + part[1]) + (part[2] + part[3]), fp32);
          }
        }
        expect_same(read_act(d.out, want.size(), fp32), want, "attention_decode64");
      }
    }
  }
}

TEST(AttentionKernels, TiledScoresAndValues) {
  std::mt19937 rng(44);
  for (bool fp32 : {false, true}) {
    for (bool causal : {false, true}) {
      const Shape s{2, 4, 2, 48, 40, 70, 80};
      SCOPED_TRACE(testing::Message() << "fp32 " << fp32 << " causal " << causal);
      // Dyadic queries and keys: every dot is exact in f32, so the scores are exactly the
      // reference's whatever the summation order.
      Inputs in = make_inputs(rng, s, fp32);
      in.q = dyadic(rng, in.q.size(), 16, 4);
      in.k = dyadic(rng, in.k.size(), 16, 4);
      Bufs b = upload(s, in, fp32);
      const uint64_t heads = s.batch * s.hq;
      Buf scores = act_buffer(std::vector<float>(heads * s.seq * s.keys, 12.5f), fp32);
      ASSERT_TRUE(run_kernel("attention_scores", fp32, {{0, &b.q}, {1, &b.k}, {2, &scores}, {4, &b.mask}},
                             attention_params(s, causal),
                             groups((s.keys + 31) / 32, (s.seq + 31) / 32, heads)).ok);
      const float scale = 1.0f / std::sqrt(static_cast<float>(s.dim));
      std::vector<float> want_scores;
      for (uint64_t z = 0; z < heads; ++z) {
        for (uint64_t r = 0; r < s.seq; ++r) {
          const std::vector<float> row = reference_scores(s, in, fp32, causal, z / s.hq, z % s.hq, r, scale, false);
          want_scores.insert(want_scores.end(), row.begin(), row.end());
        }
      }
      expect_same(read_act(scores, heads * s.seq * s.keys, fp32), want_scores, "attention_scores");
      ASSERT_TRUE(run_kernel("attention_softmax", fp32, {{0, &scores}}, attention_params(s, causal),
                             groups(heads * s.seq)).ok);
      const std::vector<float> got = read_act(scores, heads * s.seq * s.keys, fp32);

      // Values: out = P V over the same scores.
      ASSERT_TRUE(run_kernel("attention_values", fp32, {{0, &scores}, {1, &b.v}, {2, &b.out}},
                             attention_params(s, causal),
                             groups((s.dim + 31) / 32, (s.seq + 31) / 32, heads)).ok);
      std::vector<Approx> want(s.batch * s.seq * s.hq * s.dim);
      for (uint64_t z = 0; z < heads; ++z) {
        const uint64_t bb = z / s.hq, h = z % s.hq, hk = h / (s.hq / s.hkv);
        for (uint64_t r = 0; r < s.seq; ++r)
          for (uint64_t c = 0; c < s.dim; ++c) {
            double acc = 0, mag = 0;
            for (uint64_t j = 0; j < s.keys; ++j) {
              const double t = static_cast<double>(got[(z * s.seq + r) * s.keys + j]) *
                               in.v[((bb * s.hkv + hk) * s.stride + j) * s.dim + c];
              acc += t;
              mag += std::fabs(t);
            }
            want[((bb * s.seq + r) * s.hq + h) * s.dim + c] = Approx{acc, mag * s.keys * 0x1p-24};
          }
      }
      expect_close(read_act(b.out, want.size(), fp32), want, fp32, "attention_values");
    }
  }
}

TEST(AttentionKernels, RefusedShapes) {
  std::mt19937 rng(46);
  const bool fp32 = false;
  struct Case {
    const char* kernel;
    Shape s;
    const char* message;
  };
  const Case cases[] = {
      {"attention", {1, 2, 2, 16, 1, 2049, 2049}, "2048"},
      {"attention_decode64", {1, 2, 2, 64, 1, 2049, 2049}, "2048"},
      {"attention", {1, 3, 2, 16, 1, 4, 4}, "multiple"},
      {"attention_decode64", {1, 2, 0, 64, 1, 4, 4}, "multiple"},
      {"attention", {1, 2, 2, 16, 1, 8, 4}, "stride"},
      {"attention_scores", {1, 2, 2, 16, 1, 8, 4}, "stride"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kernel);
    Shape big = c.s;
    big.hkv = std::max<uint64_t>(big.hkv, 1);
    big.stride = std::max(big.stride, big.keys);
    const Inputs in = make_inputs(rng, big, fp32);
    Bufs b = upload(big, in, fp32);
    const RunResult r = run_kernel(c.kernel, fp32, {{0, &b.q}, {1, &b.k}, {2, &b.out}, {4, &b.v}, {5, &b.mask}},
                                   attention_params(c.s, true), groups(c.s.batch * c.s.seq * c.s.hq, 1, 1));
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(c.message), std::string::npos) << r.error;
  }
  // A cache binding shorter than batch x heads x stride x D.
  const Shape s{1, 2, 2, 16, 1, 8, 8};
  const Inputs in = make_inputs(rng, s, fp32);
  Bufs b = upload(s, in, fp32);
  Buf short_k = act_buffer(std::vector<float>(in.k.begin(), in.k.end() - 1), fp32);
  const RunResult r = run_kernel("attention", fp32, {{0, &b.q}, {1, &short_k}, {2, &b.out}, {4, &b.v}},
                                 attention_params(s, true), groups(2));
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("key cache"), std::string::npos) << r.error;
}
