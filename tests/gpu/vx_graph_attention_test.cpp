// Attention nodes through VXGraph::operation: checks, the key/value cache appended in place or
// grown by copy with its counters, the context limit, the kernel chosen for each shape, and the
// output against attention computed in double here.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tests/gpu/vx_graph_test_util.h"

namespace {

using namespace vx_test;
using vexa::VXNode;
using vexa::VXTensorList;

struct Shape {
  uint64_t b = 1, hq = 2, hkv = 2, d = 16, s = 4, p = 0;
  bool cached = true;
  bool mask = false;          // explicit [B, 1, S, T] mask, else causal
  uint64_t past_stride = 0;   // cache_stride of the past tensors (0: a plain tensor)
};

std::vector<float> random_values(uint64_t n, std::mt19937* rng) {
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = vexa::f16_round_trip(d(*rng));
  return v;
}

struct Attention : NodeRunner {
  explicit Attention(uint64_t activation = vexa::kVXActivationF32) : NodeRunner(activation) {}

  // A past cache [B, Hkv, P, D] holding `values`, in a buffer of `stride` positions per head when
  // stride > 0.
  VXTensorPtr past(const Shape& sh, const std::vector<float>& values) {
    if (sh.past_stride == 0) return upload_act(*g, {sh.b, sh.hkv, sh.p, sh.d}, values);
    std::vector<float> wide(sh.b * sh.hkv * sh.past_stride * sh.d, 0.0f);
    for (uint64_t h = 0; h < sh.b * sh.hkv; ++h) {
      for (uint64_t t = 0; t < sh.p; ++t) {
        for (uint64_t c = 0; c < sh.d; ++c) {
          wide[(h * sh.past_stride + t) * sh.d + c] = values[(h * sh.p + t) * sh.d + c];
        }
      }
    }
    VXTensorPtr t = upload_act(*g, {sh.b, sh.hkv, sh.past_stride, sh.d}, wide);
    t->shape = {sh.b, sh.hkv, sh.p, sh.d};
    t->count = sh.b * sh.hkv * sh.p * sh.d;
    t->cache_stride = sh.past_stride;
    return t;
  }
};

struct Inputs {
  std::vector<float> q, k, v, mask, past_k, past_v;
  VXTensorList tensors;
  VXNode node;
};

Inputs make_inputs(Attention& a, const Shape& sh, uint32_t seed) {
  std::mt19937 rng(seed);
  Inputs in;
  const uint64_t t = sh.p + sh.s;
  in.q = random_values(sh.b * sh.s * sh.hq * sh.d, &rng);
  in.k = random_values(sh.b * sh.s * sh.hkv * sh.d, &rng);
  in.v = random_values(sh.b * sh.s * sh.hkv * sh.d, &rng);
  in.past_k = random_values(sh.b * sh.hkv * sh.p * sh.d, &rng);
  in.past_v = random_values(sh.b * sh.hkv * sh.p * sh.d, &rng);
  if (sh.mask) {
    in.mask = random_values(sh.b * sh.s * t, &rng);
    for (float& m : in.mask) m = m < -0.6f ? -30000.0f : m;  // some positions all but masked
  }
  in.tensors = {upload_act(*a.g, {sh.b, sh.s, sh.hq * sh.d}, in.q),
                upload_act(*a.g, {sh.b, sh.s, sh.hkv * sh.d}, in.k),
                upload_act(*a.g, {sh.b, sh.s, sh.hkv * sh.d}, in.v),
                sh.mask ? upload_act(*a.g, {sh.b, 1, sh.s, t}, in.mask) : upload_act(*a.g, {1, 1, 0, 0}, {})};
  if (sh.cached) {
    in.tensors.push_back(a.past(sh, in.past_k));
    in.tensors.push_back(a.past(sh, in.past_v));
  }
  in.node = {vexa::kVXOpAttention, 0, {}, {}, {sh.hq, sh.hkv, sh.d, sh.cached ? 1u : 0u}};
  return in;
}

// Attention in double over the past and new keys; causal rows r see positions up to P + r.
std::vector<float> reference(const Shape& sh, const Inputs& in) {
  const uint64_t t = sh.p + sh.s, group = sh.hq / sh.hkv;
  std::vector<float> out(sh.b * sh.s * sh.hq * sh.d);
  auto key = [&](const std::vector<float>& past, const std::vector<float>& fresh, uint64_t b,
                 uint64_t h, uint64_t j, uint64_t c) {
    return j < sh.p ? past[((b * sh.hkv + h) * sh.p + j) * sh.d + c]
                    : fresh[((b * sh.s + j - sh.p) * sh.hkv + h) * sh.d + c];
  };
  for (uint64_t b = 0; b < sh.b; ++b) {
    for (uint64_t r = 0; r < sh.s; ++r) {
      for (uint64_t h = 0; h < sh.hq; ++h) {
        std::vector<double> score(t);
        double mx = -1e300;
        for (uint64_t j = 0; j < t; ++j) {
          double dot = 0;
          for (uint64_t c = 0; c < sh.d; ++c) {
            dot += double(in.q[((b * sh.s + r) * sh.hq + h) * sh.d + c]) *
                   key(in.past_k, in.k, b, h / group, j, c);
          }
          dot /= std::sqrt(double(sh.d));
          if (sh.mask) {
            dot += in.mask[(b * sh.s + r) * t + j];
          } else if (j > sh.p + r) {
            dot = -1e300;
          }
          score[j] = dot;
          mx = std::max(mx, dot);
        }
        double sum = 0;
        for (double& s : score) sum += (s = s <= -1e299 ? 0.0 : std::exp(s - mx));
        for (uint64_t c = 0; c < sh.d; ++c) {
          double acc = 0;
          for (uint64_t j = 0; j < t; ++j) acc += score[j] / sum * key(in.past_v, in.v, b, h / group, j, c);
          out[((b * sh.s + r) * sh.hq + h) * sh.d + c] = static_cast<float>(acc);
        }
      }
    }
  }
  return out;
}

// Runs one attention node and compares it with the reference; returns its outputs.
VXTensorList check(Attention& a, const Shape& sh, uint32_t seed, const char* kernel) {
  Inputs in = make_inputs(a, sh, seed);
  VXTensorList out = a.run(in.node, in.tensors);
  EXPECT_EQ(out.size(), sh.cached ? 3u : 1u);
  EXPECT_NE(std::find(a.log.begin(), a.log.end(), kernel), a.log.end()) << kernel;
  const std::vector<float> got = read_floats(*out[0]);
  const std::vector<float> ref = reference(sh, in);
  // FP16 rounds scores and probabilities to half before the value sums.
  const double tol = a.fp32 ? 2e-5 : 6e-3;
  for (size_t i = 0; i < ref.size(); ++i) {
    EXPECT_NEAR(got[i], ref[i], tol) << kernel << " at " << i;
    if (std::fabs(got[i] - ref[i]) > tol) break;
  }
  if (sh.cached) {
    // The grown caches hold the past then the new keys and values, head-major.
    const std::vector<float> keys = read_floats(*out[1]);
    const std::vector<float> values = read_floats(*out[2]);
    const uint64_t t = sh.p + sh.s;
    EXPECT_EQ(out[1]->shape, (std::vector<uint64_t>{sh.b, sh.hkv, t, sh.d}));
    for (uint64_t h = 0; h < sh.b * sh.hkv; ++h) {
      for (uint64_t j = 0; j < t; ++j) {
        const uint64_t b = h / sh.hkv, kh = h % sh.hkv;
        const uint64_t src_past = (h * sh.p + j) * sh.d;
        const uint64_t src_new = ((b * sh.s + j - (j < sh.p ? 0 : sh.p)) * sh.hkv + kh) * sh.d;
        const float want_k = j < sh.p ? in.past_k[src_past] : in.k[src_new];
        const float want_v = j < sh.p ? in.past_v[src_past] : in.v[src_new];
        EXPECT_EQ(keys[(h * t + j) * sh.d], a.fp32 ? want_k : vexa::f16_round_trip(want_k));
        EXPECT_EQ(values[(h * t + j) * sh.d], a.fp32 ? want_v : vexa::f16_round_trip(want_v));
      }
    }
  }
  return out;
}

TEST(VXGraphAttention, EveryKernelPathAgainstTheReference) {
  for (uint64_t activation : {vexa::kVXActivationF16, vexa::kVXActivationF32}) {
    Attention a(activation);
    Shape single;  // S 4, T 4, D 16: one pass per (batch, position, head)
    check(a, single, 1, "attention");
    Shape masked = single;
    masked.mask = true;
    masked.b = 2;
    check(a, masked, 2, "attention");
    Shape decode;  // one position, D 64, a past of 10
    decode.d = 64;
    decode.s = 1;
    decode.p = 10;
    decode.hq = 4;
    check(a, decode, 3, "attention_decode64");
    decode.mask = true;
    check(a, decode, 4, "attention_decode64");
    Shape tiled;  // 40 positions: tiles
    tiled.s = 40;
    tiled.p = 3;
    tiled.hq = 6;
    tiled.hkv = 2;
    check(a, tiled, 5, "attention_scores");
    tiled.mask = true;
    check(a, tiled, 6, "attention_values");
    Shape vision;  // no cache, explicit mask
    vision.cached = false;
    vision.mask = true;
    vision.s = 33;
    vision.b = 2;
    check(a, vision, 7, "attention_softmax");
  }
}

TEST(VXGraphAttention, GroupedHeadsAndCausalRowsAfterAPast) {
  Attention a;
  Shape nine;  // three query heads per key/value head
  nine.hq = 9;
  nine.hkv = 3;
  nine.s = 2;
  nine.p = 5;
  check(a, nine, 8, "attention");
  // Row r of 4 new tokens after 10 cached ones sees positions 0..10 + r: the reference masks
  // the rest, and the empty mask must agree with it.
  Shape causal;
  causal.s = 4;
  causal.p = 10;
  check(a, causal, 9, "attention");
}

TEST(VXGraphAttention, AttributeAndShapeRefusals) {
  Attention a;
  Shape sh;
  sh.p = 3;
  Inputs in = make_inputs(a, sh, 10);
  auto call = [&](VXNode node, VXTensorList t) {
    return [&, node, t] { a.g->operation(node, t, a.g->queue()->command_buffer()); };
  };
  auto with = [&](uint64_t i, VXTensorPtr t) {
    VXTensorList l = in.tensors;
    l[i] = std::move(t);
    return l;
  };
  const char* kAttrs = "Attention attributes";
  EXPECT_TRUE(raises(call({10, 0, {}, {}, {2, 2, 300, 1}}, in.tensors), kAttrs));
  EXPECT_TRUE(raises(call({10, 0, {}, {}, {2, 2, 0, 1}}, in.tensors), kAttrs));
  EXPECT_TRUE(raises(call({10, 0, {}, {}, {3, 2, 16, 1}}, in.tensors), kAttrs));
  EXPECT_TRUE(raises(call({10, 0, {}, {}, {0, 2, 16, 1}}, in.tensors), kAttrs));
  EXPECT_TRUE(raises(call({10, 0, {}, {}, {2, 0, 16, 1}}, in.tensors), kAttrs));
  EXPECT_TRUE(raises(call({10, 0, {}, {}, {2, 2, 16, 2}}, in.tensors), kAttrs));
  EXPECT_TRUE(raises(call(in.node, with(0, upload_act(*a.g, {4, 32}, std::vector<float>(128)))), kAttrs));

  const char* kShape = "Attention shape/mask; maximum context 8192";
  EXPECT_TRUE(raises(call({10, 0, {}, {}, {4, 2, 8, 1}}, in.tensors), kShape));  // q width 32 != 4 x 8
  EXPECT_TRUE(raises(call({10, 0, {}, {}, {uint64_t{1} << 62, 2, 16, 1}}, in.tensors), kShape));
  EXPECT_TRUE(raises(call({10, 0, {}, {}, {uint64_t{1} << 62, uint64_t{1} << 61, 16, 1}}, in.tensors), kShape));
  EXPECT_TRUE(raises(call(in.node, with(1, upload_act(*a.g, {1, 3, 32}, std::vector<float>(96)))), kShape));
  EXPECT_TRUE(raises(call(in.node, with(2, upload_act(*a.g, {1, 4, 16}, std::vector<float>(64)))), kShape));
  EXPECT_TRUE(raises(call(in.node, with(3, upload_act(*a.g, {1, 1, 4, 4}, std::vector<float>(16)))), kShape));
  EXPECT_TRUE(raises(call(in.node, with(3, upload_act(*a.g, {1, 4, 7}, std::vector<float>(28)))), kShape));
  EXPECT_TRUE(raises(call(in.node, with(3, upload_i64(*a.g, {1, 1, 0, 0}, {}))), kShape));
  EXPECT_TRUE(raises(call(in.node, with(1, upload_f16(*a.g, {1, 4, 32}, std::vector<float>(128)))), kShape));

  const char* kCache = "KV cache shape";
  EXPECT_TRUE(raises(call(in.node, with(4, upload_act(*a.g, {1, 2, 3, 8}, std::vector<float>(48)))), kCache));
  EXPECT_TRUE(raises(call(in.node, with(5, upload_act(*a.g, {1, 2, 2, 16}, std::vector<float>(64)))), kCache));
  EXPECT_TRUE(raises(call(in.node, with(4, upload_act(*a.g, {1, 1, 3, 16}, std::vector<float>(48)))), kCache));
  EXPECT_TRUE(raises(call(in.node, with(4, upload_act(*a.g, {2, 3, 16}, std::vector<float>(96)))), kCache));
  EXPECT_TRUE(raises(call(in.node, with(5, upload_f16(*a.g, {1, 2, 3, 16}, std::vector<float>(96)))), kCache));
  // A past of another rank still has its third dimension as P: a wrong mask is reported first.
  VXTensorList rank3 = with(4, upload_act(*a.g, {1, 2, 3}, std::vector<float>(6)));
  EXPECT_TRUE(raises(call(in.node, rank3), kCache));
  rank3[3] = upload_act(*a.g, {1, 1, 4, 4}, std::vector<float>(16));
  EXPECT_TRUE(raises(call(in.node, rank3), kShape));
  VXTensorList rank5 = with(4, upload_act(*a.g, {1, 2, 3, 16, 1}, std::vector<float>(96)));
  EXPECT_TRUE(raises(call(in.node, rank5), kCache));
  rank5[3] = upload_act(*a.g, {1, 1, 4, 4}, std::vector<float>(16));
  EXPECT_TRUE(raises(call(in.node, rank5), kShape));
  EXPECT_TRUE(raises(call(in.node, with(4, upload_act(*a.g, {2, 3}, std::vector<float>(6)))), kCache));
  // Cache views that claim more than their buffer holds, or a stride below their length.
  VXTensorPtr wide = std::make_shared<VXTensor>(*in.tensors[4]);
  wide->cache_stride = 1 << 20;
  EXPECT_TRUE(raises(call(in.node, with(4, wide)), kCache));
  wide->cache_stride = 2;
  EXPECT_TRUE(raises(call(in.node, with(4, wide)), kCache));
  wide->cache_stride = ~uint64_t{0};
  EXPECT_TRUE(raises(call(in.node, with(4, wide)), kCache));
}

TEST(VXGraphAttention, LargestContextAcceptedOnePastRefused) {
  Attention a;
  Shape sh;
  sh.hq = sh.hkv = 1;
  sh.d = 4;
  sh.s = 1;
  sh.p = 8191;
  // 8192 positions: past the single-pass limit, so the tiled kernels run.
  check(a, sh, 11, "attention_scores");
  sh.p = 8192;
  Inputs in = make_inputs(a, sh, 12);
  EXPECT_TRUE(raises([&] { a.g->operation(in.node, in.tensors, a.g->queue()->command_buffer()); },
                     "Attention shape/mask; maximum context 8192"));
  // A prompt longer than the limit, with no past at all.
  Shape prompt = sh;
  prompt.p = 0;
  prompt.s = 8193;
  Inputs long_prompt = make_inputs(a, prompt, 13);
  EXPECT_TRUE(raises([&] { a.g->operation(long_prompt.node, long_prompt.tensors, a.g->queue()->command_buffer()); },
                     "Attention shape/mask; maximum context 8192"));
}

TEST(VXGraphAttention, DecodeAppendsInPlaceWhenTheCacheHasRoom) {
  Attention a(vexa::kVXActivationF16);
  Shape sh;
  sh.d = 64;
  sh.s = 1;
  sh.p = 100;
  sh.hq = 4;
  sh.past_stride = 4096;
  Inputs in = make_inputs(a, sh, 14);
  const uint64_t buffers = a.g->cache_buffer_count();
  VXTensorList out = a.run(in.node, in.tensors);
  EXPECT_EQ(a.log, (std::vector<std::string>{"cache_append", "cache_append", "attention_decode64"}));
  EXPECT_EQ(a.g->cache_written_elements(), 2u * 2 * 64);  // keys and values, B Hkv 64 each
  EXPECT_EQ(a.g->cache_copied_elements(), 0u);
  EXPECT_EQ(a.g->cache_buffer_count(), buffers);
  EXPECT_EQ(out[1]->buffer, in.tensors[4]->buffer);
  EXPECT_EQ(out[1]->cache_stride, 4096u);
  EXPECT_EQ(out[1]->shape, (std::vector<uint64_t>{1, 2, 101, 64}));
  EXPECT_EQ(out[2]->buffer, in.tensors[5]->buffer);
  check(a, sh, 15, "attention_decode64");
  // Caches never go back to the pool.
  const uint64_t pooled = a.g->free_buffer_count();
  a.g->recycle(out[1]);
  EXPECT_EQ(a.g->free_buffer_count(), pooled);
}

TEST(VXGraphAttention, FullCacheGrowsByCopyToTheCapacity) {
  Attention a(vexa::kVXActivationF16);
  Shape sh;
  sh.d = 64;
  sh.s = 1;
  sh.p = 100;
  sh.hq = 4;
  sh.past_stride = 100;  // exactly full
  a.g->set_cache_capacity(256);
  Inputs in = make_inputs(a, sh, 16);
  VXTensorList out = a.run(in.node, in.tensors);
  EXPECT_EQ(a.g->cache_copied_elements(), 2u * 2 * 64 * 100);
  EXPECT_EQ(a.g->cache_written_elements(), 2u * 2 * 64);
  EXPECT_EQ(a.g->cache_buffer_count(), 2u);
  EXPECT_EQ(a.g->cache_reserved_bytes(), out[1]->buffer->length() + out[2]->buffer->length());
  EXPECT_GE(out[1]->buffer->length(), 2u * 256 * 64 * 2);
  EXPECT_NE(out[1]->buffer, in.tensors[4]->buffer);
  EXPECT_EQ(out[1]->cache_stride, 256u);
  EXPECT_EQ(out[1]->shape, (std::vector<uint64_t>{1, 2, 101, 64}));
  // A plain past tensor (no stride of its own) is read with stride P; without a capacity the
  // new cache holds exactly T positions.
  a.g->set_cache_capacity(0);
  sh.past_stride = 0;
  VXTensorList plain = check(a, sh, 17, "attention_decode64");
  EXPECT_EQ(plain[1]->cache_stride, 101u);
}

// Decoding into a cache made with the graph's capacity: every step appends in place, the last
// one filling the buffer's final position (the cache's stride equals the capacity and the new
// total), and the step after that grows by copy. After each step the buffers are read with the
// stride they were made with and compared with every key and value appended so far, kept here.
TEST(VXGraphAttention, DecodeFillsACacheOfTheCapacityInPlaceToItsLastPosition) {
  constexpr uint64_t kCapacity = 7;
  for (uint64_t activation : {vexa::kVXActivationF16, vexa::kVXActivationF32}) {
    Attention a(activation);
    a.g->set_cache_capacity(kCapacity);
    Shape sh;
    sh.b = 2;
    sh.hq = 4;
    sh.hkv = 2;
    sh.d = 16;
    // Keys and values so far, [B, Hkv, T, D] without gaps.
    std::vector<float> kept_k, kept_v;
    VXTensorPtr cache_k, cache_v;
    // The cache buffer read as [B, Hkv, stride, D], its first `total` positions.
    auto read_positions = [&](const VXTensorPtr& cache, uint64_t stride, uint64_t total) {
      VXTensor whole = *cache;
      whole.shape = {sh.b, sh.hkv, stride, sh.d};
      whole.count = sh.b * sh.hkv * stride * sh.d;
      whole.cache_stride = 0;
      whole.offset = 0;
      const std::vector<float> raw = read_floats(whole);
      std::vector<float> out;
      for (uint64_t h = 0; h < sh.b * sh.hkv; ++h) {
        out.insert(out.end(), raw.begin() + h * stride * sh.d, raw.begin() + (h * stride + total) * sh.d);
      }
      return out;
    };
    struct Step {
      uint64_t seq;
      bool in_place;
      uint64_t stride;  // of the cache the step returns
    };
    // Prefill into a new buffer of the capacity, two appends in place, the one that fills the
    // last position in place, and one past the capacity by copy to exactly the new total.
    const Step steps[] = {{3, false, kCapacity}, {2, true, kCapacity}, {1, true, kCapacity},
                          {1, true, kCapacity}, {1, false, kCapacity + 1}};
    uint32_t seed = 50;
    for (const Step& step : steps) {
      sh.p = kept_k.size() / (sh.b * sh.hkv * sh.d);
      sh.s = step.seq;
      const uint64_t total = sh.p + sh.s;
      SCOPED_TRACE(::testing::Message() << (a.fp32 ? "fp32" : "fp16") << " past " << sh.p
                                        << " new " << sh.s);
      Inputs in = make_inputs(a, sh, seed++);
      if (cache_k != nullptr) {
        in.tensors[4] = cache_k;
        in.tensors[5] = cache_v;
      }
      in.past_k = kept_k;
      in.past_v = kept_v;
      const uint64_t buffers = a.g->cache_buffer_count();
      const uint64_t copied = a.g->cache_copied_elements();
      VXTensorList out = a.run(in.node, in.tensors);
      ASSERT_EQ(out.size(), 3u);
      EXPECT_EQ(out[1]->shape, (std::vector<uint64_t>{sh.b, sh.hkv, total, sh.d}));
      EXPECT_EQ(out[1]->cache_stride, step.stride);
      EXPECT_EQ(out[2]->cache_stride, step.stride);
      if (step.in_place) {
        EXPECT_EQ(out[1]->buffer, cache_k->buffer);
        EXPECT_EQ(out[2]->buffer, cache_v->buffer);
        EXPECT_EQ(a.g->cache_buffer_count(), buffers);
        EXPECT_EQ(a.g->cache_copied_elements(), copied);
      } else {
        EXPECT_EQ(a.g->cache_buffer_count(), buffers + 2);
        EXPECT_EQ(a.g->cache_copied_elements(), copied + 2 * sh.b * sh.hkv * sh.p * sh.d);
      }

      const std::vector<float> got = read_floats(*out[0]);
      const std::vector<float> ref = reference(sh, in);
      const double tol = a.fp32 ? 2e-5 : 6e-3;
      for (size_t i = 0; i < ref.size(); ++i) ASSERT_NEAR(got[i], ref[i], tol) << i;

      // Append the new positions to the kept keys and values ([B, S, Hkv, D] in the inputs).
      std::vector<float> next_k, next_v;
      for (uint64_t b = 0; b < sh.b; ++b) {
        for (uint64_t h = 0; h < sh.hkv; ++h) {
          const uint64_t head = b * sh.hkv + h;
          for (uint64_t t = 0; t < total; ++t) {
            for (uint64_t c = 0; c < sh.d; ++c) {
              const bool past = t < sh.p;
              const uint64_t at = past ? (head * sh.p + t) * sh.d + c
                                       : ((b * sh.s + t - sh.p) * sh.hkv + h) * sh.d + c;
              next_k.push_back(past ? kept_k[at] : in.k[at]);
              next_v.push_back(past ? kept_v[at] : in.v[at]);
            }
          }
        }
      }
      kept_k = std::move(next_k);
      kept_v = std::move(next_v);
      ASSERT_EQ(read_positions(out[1], step.stride, total), kept_k);
      ASSERT_EQ(read_positions(out[2], step.stride, total), kept_v);
      cache_k = out[1];
      cache_v = out[2];
    }
  }
}

TEST(VXGraphAttention, CachedViewOfAnEarlierPrefixIsAppendedFromItsEnd) {
  Attention a;
  Shape sh;
  sh.s = 6;
  a.g->set_cache_capacity(64);
  Inputs first = make_inputs(a, sh, 18);
  VXTensorList out = a.run(first.node, first.tensors);
  ASSERT_EQ(out[1]->cache_stride, 64u);
  // Reuse the first 4 positions: a view over the same buffers with the same stride.
  auto view = [](const VXTensorPtr& cache) {
    auto v = std::make_shared<VXTensor>(*cache);
    v->shape[2] = 4;
    v->count = v->shape[0] * v->shape[1] * 4 * v->shape[3];
    return v;
  };
  Shape next;
  next.s = 3;
  next.p = 4;
  Inputs second = make_inputs(a, next, 19);
  second.tensors[4] = view(out[1]);
  second.tensors[5] = view(out[2]);
  second.past_k = read_floats(*second.tensors[4]);
  second.past_v = read_floats(*second.tensors[5]);
  const uint64_t copied = a.g->cache_copied_elements();
  VXTensorList grown = a.run(second.node, second.tensors);
  EXPECT_EQ(grown[1]->buffer, out[1]->buffer);
  EXPECT_EQ(a.g->cache_copied_elements(), copied);
  const std::vector<float> got = read_floats(*grown[0]);
  const std::vector<float> ref = reference(next, second);
  for (size_t i = 0; i < ref.size(); ++i) ASSERT_NEAR(got[i], ref[i], 2e-5) << i;
}

TEST(VXGraphAttention, PastKeysAndValuesOfDifferentStridesGiveOneLayout) {
  // The kernels read both caches with one stride: a pair whose keys could take the new positions
  // in place but whose values could not (or whose strides differ) is copied whole, both to the
  // same stride, instead of reading the values with the keys' stride.
  for (uint64_t values_stride : {uint64_t{0}, uint64_t{16}}) {
    Attention a;
    Shape sh;
    sh.s = 2;
    sh.p = 3;
    sh.past_stride = 8;
    Inputs in = make_inputs(a, sh, 30);
    Shape other = sh;
    other.past_stride = values_stride;
    in.tensors[5] = a.past(other, in.past_v);
    VXTensorList out = a.run(in.node, in.tensors);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1]->cache_stride, out[2]->cache_stride);
    EXPECT_EQ(a.g->cache_copied_elements(), 2u * 2 * 16 * 3);
    const std::vector<float> got = read_floats(*out[0]);
    const std::vector<float> ref = reference(sh, in);
    for (size_t i = 0; i < ref.size(); ++i) ASSERT_NEAR(got[i], ref[i], 2e-5) << i;
    const std::vector<float> values = read_floats(*out[2]);
    for (uint64_t h = 0; h < sh.hkv; ++h) {
      for (uint64_t j = 0; j < sh.p; ++j) {
        for (uint64_t c = 0; c < sh.d; ++c) {
          ASSERT_EQ(values[(h * 5 + j) * sh.d + c], in.past_v[(h * sh.p + j) * sh.d + c]);
        }
      }
    }
  }
}

TEST(VXGraphAttention, LongContextsOfOneQueryUseTheTiledKernels) {
  Attention a(vexa::kVXActivationF16);
  Shape sh;
  sh.s = 1;
  sh.p = 2999;
  sh.d = 64;
  check(a, sh, 20, "attention_scores");
  EXPECT_EQ(a.log, (std::vector<std::string>{"cache_append", "cache_append", "attention_scores",
                                             "attention_softmax", "attention_values"}));
}

TEST(VXGraphAttention, EmptyBatchPassesAndEncodesNothing) {
  Attention a;
  Shape sh;
  sh.b = 0;
  sh.s = 1024;
  sh.cached = false;
  sh.mask = true;
  Inputs in = make_inputs(a, sh, 21);
  VXTensorList out = a.run(in.node, in.tensors);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]->shape, (std::vector<uint64_t>{0, 1024, 32}));
  EXPECT_TRUE(a.log.empty());
}

}  // namespace

namespace {

// The library paths: the device's matrix objects (batched products with the kernels' scaling,
// masking and soft-max between them) and the graph library's scaled dot-product attention.
TEST(VXGraphAttentionLibrary, MatrixPathForWholeHeads) {
  for (uint64_t activation : {vexa::kVXActivationF16, vexa::kVXActivationF32}) {
    Attention a(activation);
    a.g->set_mps_attention(true);
    Shape sh;  // 40 queries of 32 channels after 5 cached positions in a wider cache
    sh.s = 40;
    sh.d = 32;
    sh.p = 5;
    sh.past_stride = 64;
    check(a, sh, 30, "attention_scale_mask");
    EXPECT_EQ(a.log, (std::vector<std::string>{"cache_append", "cache_append", "attention_layout",
                                               "attention_scale_mask", "attention_softmax",
                                               "attention_layout"}));
    EXPECT_EQ(a.g->matrix_cache_size(), 2u);  // the score and value products
    sh.mask = true;
    sh.b = 2;
    sh.past_stride = 0;
    check(a, sh, 31, "attention_softmax");
    EXPECT_EQ(a.g->matrix_cache_size(), 4u);
    // Grouped heads, short queries or narrow heads keep to the kernels.
    Shape grouped = sh;
    grouped.hq = 4;
    check(a, grouped, 32, "attention_scores");
    Shape narrow = sh;
    narrow.d = 16;
    check(a, narrow, 33, "attention_scores");
    Shape short_q = sh;
    short_q.s = 31;
    check(a, short_q, 34, "attention");
    EXPECT_EQ(a.g->matrix_cache_size(), 4u);
  }
}

TEST(VXGraphAttentionLibrary, GraphPathForMaskedAttention) {
  for (uint64_t activation : {vexa::kVXActivationF16, vexa::kVXActivationF32}) {
    Attention a(activation);
    a.g->set_graph_attention(true);
    Shape vision;  // no cache, explicit mask: the vision encoder's case
    vision.cached = false;
    vision.mask = true;
    vision.s = 48;
    vision.d = 32;
    vision.b = 2;
    check(a, vision, 35, "cache_append");
    EXPECT_EQ(a.log, (std::vector<std::string>{"cache_append", "cache_append"}));
    EXPECT_EQ(a.g->graph_cache_size(), 1u);
    check(a, vision, 36, "cache_append");  // the same shape reuses the built graph
    EXPECT_EQ(a.g->graph_cache_size(), 1u);

    // With a cache (positions sliced out of a wider buffer) only FP32 activations use the graph;
    // FP16 falls back to the kernels (no matrix flag set).
    Shape cached = vision;
    cached.cached = true;
    cached.p = 7;
    cached.past_stride = 100;
    a.g->set_cache_capacity(128);
    check(a, cached, 37, activation == vexa::kVXActivationF32 ? "cache_append" : "attention_scores");
    EXPECT_EQ(a.g->graph_cache_size(), activation == vexa::kVXActivationF32 ? 2u : 1u);

    // An empty (causal) mask is never the graph's: the matrix path when allowed, else kernels.
    Shape causal = vision;
    causal.mask = false;
    check(a, causal, 38, "attention_scores");
    a.g->set_mps_attention(true);
    check(a, causal, 39, "attention_scale_mask");
  }
}

TEST(VXGraphAttentionLibrary, GraphPathNeedsZeroOffsets) {
  Attention a;
  a.g->set_graph_attention(true);
  Shape sh;
  sh.cached = false;
  sh.mask = true;
  sh.s = 32;
  sh.d = 32;
  Inputs in = make_inputs(a, sh, 40);
  auto shifted = std::make_shared<VXTensor>(*in.tensors[0]);
  auto wide = a.g->tensor({in.tensors[0]->count + 64}, in.tensors[0]->dtype);
  shifted->buffer = wide->buffer;
  shifted->offset = 256;
  in.tensors[0] = shifted;
  EXPECT_TRUE(raises([&] { a.g->operation(in.node, in.tensors, a.g->queue()->command_buffer()); },
                     "Graph attention requires zero-offset activations"));
  EXPECT_TRUE(a.log.empty());  // refused before the cache appends are encoded
}

}  // namespace
