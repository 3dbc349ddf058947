// Embedding lookups, q8 expansion and half widening against plain loops, bit for bit, at both
// activation precisions; ids out of range fail the command buffer and write nothing.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "gpu/kernel_test_util.h"

namespace {

using namespace kernel_test;

constexpr uint16_t kSentinelHalf = 0x5555;

// A half table with special values among random ones.
std::vector<uint16_t> half_table(std::mt19937& rng, uint64_t n) {
  std::vector<uint16_t> t(n);
  for (auto& h : t) h = static_cast<uint16_t>(rng() & 0xffff);
  const uint16_t specials[] = {0x0000, 0x8000, 0x0001, 0x03ff, 0x7bff, 0x7c00, 0xfc00, 0x7e01};
  for (size_t i = 0; i < std::size(specials) && i < n; ++i) t[i * 7 % n] = specials[i];
  return t;
}

// The y bytes as A values, with room for a sentinel after n elements.
Buf sentinel_output(uint64_t n, bool fp32) {
  std::vector<float> v(n + 8, 12.5f);
  return act_buffer(v, fp32);
}

}  // namespace

TEST(LookupKernels, EmbeddingRowsAndRaggedCounts) {
  std::mt19937 rng(1);
  const uint64_t vocab = 37, dim = 70;
  const std::vector<uint16_t> table = half_table(rng, vocab * dim);
  const std::vector<int64_t> ids = {0, 36, 5, 5, 17};
  for (bool fp32 : {false, true}) {
    for (uint64_t count : {ids.size() * dim, ids.size() * dim - 3, dim, uint64_t{1}}) {
      SCOPED_TRACE(testing::Message() << "fp32 " << fp32 << " count " << count);
      Buf w = make_buffer(table), idb = make_buffer(ids), y = sentinel_output(count, fp32);
      ASSERT_TRUE(run_kernel("embedding", fp32, {{0, &idb}, {1, &w}, {2, &y}},
                             params({{0, static_cast<uint32_t>(count)}, {1, dim}}), threads(count))
                      .ok);
      std::vector<float> want(count + 8, 12.5f);
      for (uint64_t i = 0; i < count; ++i) want[i] = vexa::f16_widen(table[ids[i / dim] * dim + i % dim]);
      expect_same(read_act(y, count + 8, fp32), want, "embedding");
      if (!fp32) {  // halves are copied, NaN payloads and all
        const auto bits = y.read<uint16_t>(count);
        for (uint64_t i = 0; i < count; ++i) ASSERT_EQ(bits[i], table[ids[i / dim] * dim + i % dim]);
      }
    }
  }
}

TEST(LookupKernels, EmbeddingIdsOutOfRangeFail) {
  std::mt19937 rng(2);
  const uint64_t vocab = 10, dim = 8;
  const std::vector<uint16_t> table = half_table(rng, vocab * dim);
  const Q8Matrix q = random_q8(rng, vocab, dim);
  for (bool fp32 : {false, true}) {
    for (int64_t bad : {int64_t{10}, int64_t{-1}, INT64_MIN, int64_t{1} << 40}) {
      SCOPED_TRACE(bad);
      const std::vector<int64_t> ids = {1, 2, bad, 3};
      Buf idb = make_buffer(ids), w = make_buffer(table), wq = make_buffer(q.bytes);
      Buf y = sentinel_output(32, fp32);
      const uint32_t count = 32;
      RunResult r = run_kernel("embedding", fp32, {{0, &idb}, {1, &w}, {2, &y}},
                               params({{0, count}, {1, dim}}), threads(count));
      EXPECT_FALSE(r.ok);
      EXPECT_NE(r.error.find("embedding: id"), std::string::npos) << r.error;
      r = run_kernel("embedding_q8", fp32, {{0, &idb}, {1, &wq}, {2, &y}},
                     params({{0, count}, {1, dim}, {2, static_cast<uint32_t>(q.row_bytes)}}),
                     threads(count));
      EXPECT_FALSE(r.ok);
      EXPECT_NE(r.error.find("outside 10 rows"), std::string::npos) << r.error;
      // Nothing was written before the check.
      for (float v : read_act(y, 40, fp32)) ASSERT_EQ(v, 12.5f);
    }
  }
  // The rows a weight binding holds bound the ids: a table bound at an offset has fewer rows.
  const std::vector<int64_t> ids = {7};
  Buf idb = make_buffer(ids), w = make_buffer(table.data(), table.size() * 2, 0);
  Buf shifted = make_buffer(table);
  shifted.offset = 4 * dim * 2;  // 6 rows left
  Buf y = sentinel_output(dim, false);
  EXPECT_TRUE(run_kernel("embedding", false, {{0, &idb}, {1, &w}, {2, &y}}, params({{0, dim}, {1, dim}}),
                         threads(dim)).ok);
  EXPECT_FALSE(run_kernel("embedding", false, {{0, &idb}, {1, &shifted}, {2, &y}},
                          params({{0, dim}, {1, dim}}), threads(dim)).ok);
}

TEST(LookupKernels, Q8EmbeddingAndExpansion) {
  std::mt19937 rng(3);
  for (uint64_t dim : {uint64_t{64}, uint64_t{70}, uint64_t{5}, uint64_t{200}}) {
    const uint64_t vocab = 9;
    const Q8Matrix q = random_q8(rng, vocab, dim);
    const std::vector<int64_t> ids = {8, 0, 3, 3};
    const uint64_t count = ids.size() * dim - (dim > 5 ? 2 : 0);
    for (bool fp32 : {false, true}) {
      SCOPED_TRACE(testing::Message() << "dim " << dim << " fp32 " << fp32);
      Buf idb = make_buffer(ids), wq = make_buffer(q.bytes), y = sentinel_output(count, fp32);
      ASSERT_TRUE(run_kernel("embedding_q8", fp32, {{0, &idb}, {1, &wq}, {2, &y}},
                             params({{0, static_cast<uint32_t>(count)}, {1, static_cast<uint32_t>(dim)},
                                     {2, static_cast<uint32_t>(q.row_bytes)}}),
                             threads(count))
                      .ok);
      std::vector<float> want(count + 8, 12.5f);
      for (uint64_t i = 0; i < count; ++i) want[i] = q.value(ids[i / dim], i % dim);
      expect_same(read_act(y, count + 8, fp32), want, "embedding_q8");

      // dequant_q8 writes halves whatever the activation precision.
      const uint64_t n = vocab * dim - 1;
      std::vector<uint16_t> sentinel(n + 4, kSentinelHalf);
      Buf out = make_buffer(sentinel), unused = make_buffer(ids);
      ASSERT_TRUE(run_kernel("dequant_q8", fp32, {{0, &wq}, {1, &unused}, {2, &out}},
                             params({{0, static_cast<uint32_t>(n)}, {1, static_cast<uint32_t>(dim)},
                                     {2, static_cast<uint32_t>(q.row_bytes)}}),
                             threads(n))
                      .ok);
      const auto got = out.read<uint16_t>(n + 4);
      for (uint64_t i = 0; i < n; ++i) {
        ASSERT_EQ(got[i], vexa::f16_round_even(q.value(i / dim, i % dim))) << i;
      }
      for (uint64_t i = n; i < n + 4; ++i) EXPECT_EQ(got[i], kSentinelHalf);
    }
  }
  {  // Expansion of a weight in many row tasks, the last one short.
    const uint64_t rows = 50, dim = 200, n = rows * dim;
    const Q8Matrix big = random_q8(rng, rows, dim);
    Buf wq = make_buffer(big.bytes), out = make_buffer(std::vector<uint16_t>(n, kSentinelHalf));
    Buf unused = zeros(8);
    ASSERT_TRUE(run_kernel("dequant_q8", false, {{0, &wq}, {1, &unused}, {2, &out}},
                           params({{0, static_cast<uint32_t>(n)}, {1, static_cast<uint32_t>(dim)},
                                   {2, static_cast<uint32_t>(big.row_bytes)}}),
                           threads(n))
                    .ok);
    const auto got = out.read<uint16_t>(n);
    for (uint64_t i = 0; i < n; ++i) {
      ASSERT_EQ(got[i], vexa::f16_round_even(big.value(i / dim, i % dim))) << i;
    }
  }
  // Row bytes too small for the columns: refused, not read past.
  const Q8Matrix q = random_q8(rng, 2, 70);
  Buf wq = make_buffer(q.bytes), out = zeros(1000), unused = zeros(8);
  const RunResult r = run_kernel("dequant_q8", false, {{0, &wq}, {1, &unused}, {2, &out}},
                                 params({{0, 140}, {1, 70}, {2, 68}}), threads(140));
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("too small"), std::string::npos) << r.error;
  // A weight binding with fewer rows than the count asks for.
  const RunResult r2 = run_kernel("dequant_q8", false, {{0, &wq}, {1, &unused}, {2, &out}},
                                  params({{0, 210}, {1, 70}, {2, 136}}), threads(210));
  EXPECT_FALSE(r2.ok);
}

TEST(LookupKernels, WeightsFloatWidensEveryHalf) {
  std::vector<uint16_t> all(65536);
  for (uint32_t i = 0; i < 65536; ++i) all[i] = static_cast<uint16_t>(i);
  for (bool fp32 : {false, true}) {
    Buf x = make_buffer(all), unused = zeros(4);
    std::vector<float> sentinel(65536 + 4, 3.0f);
    Buf y = make_buffer(sentinel);
    const uint32_t n = 65535;
    ASSERT_TRUE(run_kernel("weights_float", fp32, {{0, &x}, {1, &unused}, {2, &y}}, params({{0, n}}),
                           threads(n))
                    .ok);
    std::vector<float> want(sentinel);
    for (uint32_t i = 0; i < n; ++i) want[i] = vexa::f16_widen(all[i]);
    expect_same(y.read<float>(want.size()), want, "weights_float");
  }
}
