// The streaming inner loops: the portable form against loops written here from the stated
// order of operations, and every vector form the CPU has against the portable one, bit for bit,
// at ragged sizes, with NaN right after every input so that reading past a row shows.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "gpu/kernels/bandwidth_kernels.h"
#include "gpu/kernels/kernel_common.h"
#include "gpu/kernel_test_util.h"

namespace {

using namespace kernel_test;
using vexa::BandwidthKernels;
using vexa::IsaLevel;

constexpr uint16_t kHalfNan = 0x7e00;

std::vector<const BandwidthKernels*> vector_forms() {
  std::vector<const BandwidthKernels*> forms;
  for (IsaLevel l : {IsaLevel::kAvx2, IsaLevel::kAvx512}) {
    if (const BandwidthKernels* k = vexa::bandwidth_kernels_at(l)) forms.push_back(k);
  }
  return forms;
}

void expect_bits(const std::vector<float>& a, const std::vector<float>& b, const char* what,
                 uint64_t size) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(std::bit_cast<uint32_t>(a[i]), std::bit_cast<uint32_t>(b[i]))
        << what << " size " << size << " at " << i << ": " << a[i] << " vs " << b[i];
  }
}

// x of `cols` floats followed by NaNs.
std::vector<float> guarded_x(std::mt19937& rng, uint64_t cols) {
  std::vector<float> x = uniform(rng, cols, -2.0f, 2.0f, true);
  x.resize(cols + 64, NAN);
  return x;
}

const uint64_t kCols[] = {1, 7, 31, 32, 33, 63, 64, 65, 100, 127, 129, 1000, 4097};

}  // namespace

TEST(BandwidthKernels, MatrixVectorRows) {
  std::mt19937 rng(21);
  const BandwidthKernels& portable = vexa::bandwidth_kernels_portable();
  for (uint64_t cols : kCols) {
    for (uint64_t rows : {1ull, 3ull, 4ull, 5ull, 9ull}) {
      const std::vector<float> x = guarded_x(rng, cols);
      // f16 rows with row stride cols + 3; the three halves between rows and the tail are NaN.
      const uint64_t ld = cols + 3;
      std::vector<uint16_t> w(rows * ld + 64, kHalfNan);
      for (uint64_t r = 0; r < rows; ++r)
        for (uint64_t c = 0; c < cols; ++c) w[r * ld + c] = vexa::f16_round_even(uniform(rng, 1, -1, 1, false)[0]);
      std::vector<float> want(rows), got(rows);
      for (uint64_t r = 0; r < rows; ++r) {
        std::vector<float> lanes(32, 0.0f);
        for (uint64_t k = 0; k < cols; ++k) lanes[k % 32] += x[k] * vexa::f16_widen(w[r * ld + k]);
        want[r] = fold32(lanes);
      }
      portable.dot_f16_rows(x.data(), w.data(), ld, cols, rows, got.data());
      expect_bits(got, want, "portable f16", cols);
      for (const BandwidthKernels* form : vector_forms()) {
        std::vector<float> v(rows);
        form->dot_f16_rows(x.data(), w.data(), ld, cols, rows, v.data());
        expect_bits(v, want, "vector f16", cols);
      }

      // q8 rows with junk past the last column and one spare block of junk after the rows.
      Q8Matrix q = random_q8(rng, rows, cols);
      q.bytes.resize(q.bytes.size() + 68, 0xff);
      for (uint64_t r = 0; r < rows; ++r) {
        std::vector<float> lanes(32, 0.0f);
        for (uint64_t k = 0; k < cols; ++k) lanes[k % 32] = std::fma(x[k], q.value(r, k), lanes[k % 32]);
        want[r] = fold32(lanes);
      }
      portable.dot_q8_rows(x.data(), q.bytes.data(), q.row_bytes, cols, rows, got.data());
      expect_bits(got, want, "portable q8", cols);
      for (const BandwidthKernels* form : vector_forms()) {
        std::vector<float> v(rows);
        form->dot_q8_rows(x.data(), q.bytes.data(), q.row_bytes, cols, rows, v.data());
        expect_bits(v, want, "vector q8", cols);
      }
    }
  }
}

// Every byte value times scales of every kind, each weight read on its own through a one-hot x:
// the vector forms' q8 values must be the half rounding of byte x scale, ties to even included
// (short scale mantissas make many products fall exactly between two halves).
TEST(BandwidthKernels, Q8ValuesForEveryByteAndScale) {
  std::mt19937 rng(31);
  std::vector<float> scales = {0x1p-14f, 0x1.fffffep-15f, 510.99997f, 511.0f, 1.0f, 3.0f, 1e-30f,
                               0.0f, -0.0f, -0.02f, INFINITY, NAN, 6e-5f, 100.0f};
  for (int i = 0; i < 200; ++i) {
    const int e = static_cast<int>(rng() % 24) - 24;
    const float m = static_cast<float>(rng() % 8192 + 1);  // up to 13 significant bits
    scales.push_back(std::ldexp(m, e) * ((rng() & 1) ? -1.0f : 1.0f));
  }
  for (int i = 0; i < 60; ++i) {
    scales.push_back(std::ldexp(1.0f + static_cast<float>(rng() & 0x7fffff) * 0x1p-23f,
                                static_cast<int>(rng() % 23) - 14));
  }
  const uint64_t cols = 256, rows = scales.size();
  Q8Matrix q;
  q.rows = rows;
  q.cols = cols;
  q.row_bytes = 4 * 68;
  q.bytes.resize(rows * q.row_bytes);
  for (uint64_t r = 0; r < rows; ++r)
    for (uint64_t b = 0; b < 4; ++b) {
      uint8_t* block = q.bytes.data() + r * q.row_bytes + b * 68;
      for (int i = 0; i < 64; ++i) block[i] = static_cast<uint8_t>(b * 64 + i);  // every byte once
      std::memcpy(block + 64, &scales[r], 4);
    }
  const BandwidthKernels& portable = vexa::bandwidth_kernels_portable();
  std::vector<float> x(cols, 0.0f), got(rows), want(rows);
  for (uint64_t k = 0; k < cols; ++k) {
    x[k] = 1.0f;
    portable.dot_q8_rows(x.data(), q.bytes.data(), q.row_bytes, cols, rows, want.data());
    for (uint64_t r = 0; r < rows; ++r) {
      // With finite halves everywhere the one-hot sum is the weight itself.
      if (std::fabs(scales[r]) < 100.0f) {
        ASSERT_EQ(want[r], 0.0f + q.value(r, k)) << r << " " << k;
      }
    }
    for (const BandwidthKernels* form : vector_forms()) {
      form->dot_q8_rows(x.data(), q.bytes.data(), q.row_bytes, cols, rows, got.data());
      for (uint64_t r = 0; r < rows; ++r) {
        ASSERT_TRUE(std::bit_cast<uint32_t>(got[r]) == std::bit_cast<uint32_t>(want[r]) ||
                    (std::isnan(got[r]) && std::isnan(want[r])))
            << "scale " << scales[r] << " byte " << k << ": " << got[r] << " vs " << want[r];
      }
    }
    x[k] = 0.0f;
  }
}

// The fast q8 path is taken only for scales with 2^-14 <= |s| < 511: the range test on the
// scale's bits must agree with that float test at its edges, for both signs, NaNs and infinities.
TEST(BandwidthKernels, Q8SplitScaleRange) {
  std::vector<uint32_t> bits = {0x00000000u, 0x00000001u, 0x007fffffu, 0x00800000u, 0x387fffffu,
                                0x38800000u, 0x38800001u, 0x3f800000u, 0x43ff7fffu, 0x43ff8000u,
                                0x43ff8001u, 0x7f7fffffu, 0x7f800000u, 0x7f800001u, 0x7fc00000u,
                                0x7fffffffu};
  const size_t positive = bits.size();
  for (size_t i = 0; i < positive; ++i) bits.push_back(bits[i] | 0x80000000u);
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) bits.push_back(static_cast<uint32_t>(rng()));
  for (const uint32_t b : bits) {
    uint8_t block[68] = {};
    std::memcpy(block + 64, &b, 4);
    const float a = std::fabs(std::bit_cast<float>(b));
    const bool want = a >= 0x1p-14f && a < 511.0f;
    EXPECT_EQ(vexa::q8_scale_splits(block), want) << std::hex << b;
  }
}

TEST(BandwidthKernels, ConversionsAndQ8Rows) {
  std::mt19937 rng(5);
  const BandwidthKernels& portable = vexa::bandwidth_kernels_portable();
  // Every half, NaNs and infinities included, through each widening form.
  std::vector<uint16_t> all(65536);
  for (uint32_t i = 0; i < 65536; ++i) all[i] = static_cast<uint16_t>(i);
  for (uint64_t n : {uint64_t{65536}, uint64_t{65535}, uint64_t{13}, uint64_t{0}}) {
    std::vector<float> want(n), got(n);
    for (uint64_t i = 0; i < n; ++i) want[i] = vexa::f16_widen(all[i]);
    portable.widen_f16(all.data(), got.data(), n);
    expect_bits(got, want, "portable widen", n);
    for (const BandwidthKernels* form : vector_forms()) {
      std::vector<float> v(n + 1, 7.0f);
      form->widen_f16(all.data(), v.data(), n);
      EXPECT_EQ(v[n], 7.0f) << "wrote past the end";
      v.resize(n);
      expect_bits(v, want, "vector widen", n);
    }
  }
  for (uint64_t cols : kCols) {
    Q8Matrix q = random_q8(rng, 1, cols);
    std::vector<float> want(cols);
    std::vector<uint16_t> want_h(cols);
    for (uint64_t c = 0; c < cols; ++c) {
      want[c] = q.value(0, c);
      want_h[c] = vexa::f16_round_even(want[c]);
    }
    for (const BandwidthKernels* form : [&] {
           auto f = vector_forms();
           f.push_back(&portable);
           return f;
         }()) {
      std::vector<float> f(cols + 1, 7.0f);
      std::vector<uint16_t> h(cols + 1, 0x1234);
      form->q8_row_to_f32(q.bytes.data(), cols, f.data());
      form->q8_row_to_f16(q.bytes.data(), cols, h.data());
      EXPECT_EQ(f[cols], 7.0f);
      EXPECT_EQ(h[cols], 0x1234);
      f.resize(cols);
      h.resize(cols);
      expect_bits(f, want, "q8 to f32", cols);
      EXPECT_EQ(h, want_h) << cols;
    }
  }
}

// Narrowing: every half's neighbourhood (the half, the ties either side, one float off each
// tie), NaNs with payloads, overflow and values below the smallest subnormal, at ragged lengths
// with a guard after the end.
TEST(BandwidthKernels, NarrowToHalvesAndWidenTransposed) {
  std::vector<float> src;
  for (uint32_t h = 0; h < 0x7c00; ++h) {
    const float v = vexa::f16_widen(static_cast<uint16_t>(h));
    const float next = vexa::f16_widen(static_cast<uint16_t>(h + 1));
    const float tie = v + (next - v) / 2;
    for (float f : {v, tie, std::nextafter(tie, 0.0f), std::nextafter(tie, INFINITY)}) {
      src.push_back(f);
      src.push_back(-f);
    }
  }
  for (uint32_t bits : {0x7f800001u, 0x7fc00000u, 0xffa5a5a5u, 0x7f800000u, 0x477ff000u,
                        0x477fefffu, 0x33000000u, 0x33000001u, 0x00000001u}) {
    src.push_back(std::bit_cast<float>(bits));
  }
  std::vector<const BandwidthKernels*> forms = vector_forms();
  forms.push_back(&vexa::bandwidth_kernels_portable());
  for (uint64_t n : {uint64_t{src.size()}, uint64_t{src.size() - 5}, uint64_t{15}, uint64_t{1},
                     uint64_t{0}}) {
    std::vector<uint16_t> want(n);
    for (uint64_t i = 0; i < n; ++i) want[i] = vexa::f16_round_even(src[i]);
    for (const BandwidthKernels* form : forms) {
      std::vector<uint16_t> got(n + 1, 0x1234);
      form->narrow_f32(src.data(), got.data(), n);
      EXPECT_EQ(got[n], 0x1234) << "wrote past the end";
      got.resize(n);
      ASSERT_EQ(got, want) << n;
    }
  }

  // Transposed widening over ragged tiles; the destination's row stride leaves a guard column,
  // and the source holds NaN past every row.
  std::mt19937 rng(41);
  for (uint64_t rows : {1ull, 7ull, 16ull, 17ull, 40ull}) {
    for (uint64_t cols : {1ull, 8ull, 15ull, 16ull, 33ull, 100ull}) {
      const uint64_t ld = cols + 5, ld_dst = rows + 3;
      std::vector<uint16_t> w(rows * ld, kHalfNan);
      for (uint64_t r = 0; r < rows; ++r)
        for (uint64_t c = 0; c < cols; ++c) w[r * ld + c] = static_cast<uint16_t>(rng() & 0xfbff);
      std::vector<float> want(cols * ld_dst, 7.0f);
      for (uint64_t r = 0; r < rows; ++r)
        for (uint64_t c = 0; c < cols; ++c) want[c * ld_dst + r] = vexa::f16_widen(w[r * ld + c]);
      for (const BandwidthKernels* form : forms) {
        std::vector<float> got(cols * ld_dst, 7.0f);
        form->widen_f16_transposed(w.data(), ld, rows, cols, got.data(), ld_dst, false);
        expect_bits(got, want, "widen transposed", rows * 1000 + cols);
      }
    }
  }
}

// q8 rows widened transposed, over ragged tiles and columns that end inside a block (whose
// unused bytes hold junk): the floats of the halves the blocks reconstruct, the same bits in
// every form, and nothing written outside the block of the destination.
TEST(BandwidthKernels, Q8WidenTransposed) {
  std::mt19937 rng(43);
  std::vector<const BandwidthKernels*> forms = vector_forms();
  forms.push_back(&vexa::bandwidth_kernels_portable());
  for (uint64_t rows : {1ull, 7ull, 8ull, 16ull, 17ull, 40ull}) {
    for (uint64_t cols : {1ull, 8ull, 15ull, 16ull, 33ull, 64ull, 100ull, 130ull}) {
      const Q8Matrix q = random_q8(rng, rows, cols);
      const uint64_t ld_dst = rows + 3;
      std::vector<float> want(cols * ld_dst, 7.0f);
      for (uint64_t r = 0; r < rows; ++r)
        for (uint64_t c = 0; c < cols; ++c) want[c * ld_dst + r] = q.value(r, c);
      for (const BandwidthKernels* form : forms) {
        std::vector<float> got(cols * ld_dst, 7.0f);
        form->q8_to_f32_transposed(q.bytes.data(), q.row_bytes, rows, cols, got.data(), ld_dst);
        expect_bits(got, want, "q8 widen transposed", rows * 1000 + cols);
      }
    }
  }
}

// The form that writes around the caches, into a line-aligned panel whose row stride is a whole
// number of lines, at a task's column offset as the matrix products use it: full tiles take the
// streaming stores, ragged ones the masked stores, and nothing outside the block is written.
TEST(BandwidthKernels, WidenTransposedPastTheCaches) {
  std::mt19937 rng(43);
  for (uint64_t rows : {16ull, 23ull, 48ull}) {
    for (uint64_t cols : {16ull, 40ull, 64ull}) {
      const uint64_t ld = cols + 3, ld_dst = 80, at = 16;
      std::vector<uint16_t> w(rows * ld, kHalfNan);
      for (uint64_t r = 0; r < rows; ++r)
        for (uint64_t c = 0; c < cols; ++c) w[r * ld + c] = static_cast<uint16_t>(rng() & 0xfbff);
      std::vector<float> want(cols * ld_dst, 7.0f);
      for (uint64_t r = 0; r < rows; ++r)
        for (uint64_t c = 0; c < cols; ++c)
          want[c * ld_dst + at + r] = vexa::f16_widen(w[r * ld + c]);
      const vexa::ScratchPanel panel = vexa::new_scratch_panel(cols * ld_dst);
      ASSERT_EQ(reinterpret_cast<uintptr_t>(panel.get()) % vexa::kScratchAlignment, 0u);
      for (const BandwidthKernels* form : vector_forms()) {
        std::fill(panel.get(), panel.get() + cols * ld_dst, 7.0f);
        form->widen_f16_transposed(w.data(), ld, rows, cols, panel.get() + at, ld_dst, true);
        expect_bits(std::vector<float>(panel.get(), panel.get() + cols * ld_dst), want,
                    "widen transposed past the caches", rows * 1000 + cols);
      }
    }
  }
}

TEST(BandwidthKernels, DecodeAttentionDotsAndSums) {
  std::mt19937 rng(9);
  const BandwidthKernels& portable = vexa::bandwidth_kernels_portable();
  const std::vector<float> q = uniform(rng, 64, -1, 1, false);
  for (uint64_t keys : {1ull, 2ull, 3ull, 4ull, 5ull, 17ull, 300ull}) {
    const std::vector<float> kf = uniform(rng, keys * 64, -1, 1, false);
    const std::vector<uint16_t> kh = to_halves(kf);
    std::vector<float> want(keys);
    for (uint64_t j = 0; j < keys; ++j) {
      std::vector<float> lanes(32);
      for (int l = 0; l < 32; ++l) lanes[l] = q[l] * kf[j * 64 + l] + q[l + 32] * kf[j * 64 + l + 32];
      want[j] = fold32(lanes);
    }
    const std::vector<float> p = uniform(rng, keys, 0, 1, true);
    std::vector<float> sums(256, 0.5f);  // accumulation starts from what is there
    for (uint64_t j = 0; j < keys; ++j)
      for (int c = 0; c < 64; ++c) sums[(j % 4) * 64 + c] += p[j] * kf[j * 64 + c];
    auto forms = vector_forms();
    forms.push_back(&portable);
    for (const BandwidthKernels* form : forms) {
      std::vector<float> a(keys), b(keys);
      form->dots64_f16(q.data(), kh.data(), keys, a.data());
      form->dots64_f32(q.data(), kf.data(), keys, b.data());
      expect_bits(a, want, "dots f16", keys);
      expect_bits(b, want, "dots f32", keys);
      std::vector<float> s1(256, 0.5f), s2(256, 0.5f);
      form->accumulate64_f16(p.data(), kh.data(), keys, s1.data());
      form->accumulate64_f32(p.data(), kf.data(), keys, s2.data());
      expect_bits(s1, sums, "accumulate f16", keys);
      expect_bits(s2, sums, "accumulate f32", keys);
    }
  }
}

// Group sums against the strided thread sums written out here, every form bit for bit, at
// lengths around the 128 threads and the 16- and 8-lane registers; values read past n are NaN.
// Large and tiny magnitudes mixed make the result depend on the order, and -0 inputs check that
// lanes given nothing stay +0.
TEST(BandwidthKernels, GroupSumsInThreadOrder) {
  std::mt19937 rng(12);
  auto forms = vector_forms();
  forms.push_back(&vexa::bandwidth_kernels_portable());
  for (uint64_t n : {0ull, 1ull, 5ull, 8ull, 15ull, 16ull, 17ull, 100ull, 127ull, 128ull, 129ull,
                     200ull, 576ull, 1000ull, 1537ull}) {
    std::vector<float> v = uniform(rng, n, -3.0f, 3.0f, true);
    for (uint64_t i = 0; i < n; i += 7) v[i] *= 1e7f;
    for (uint64_t i = 3; i < n; i += 11) v[i] = -0.0f;
    std::vector<float> squares(n);
    for (uint64_t i = 0; i < n; ++i) squares[i] = v[i] * v[i];
    const float want = group_sum128(v), want_squares = group_sum128(squares);
    v.resize(n + 128, NAN);
    for (const BandwidthKernels* form : forms) {
      const float got = form->group_sum128(v.data(), n, false);
      const float got_squares = form->group_sum128(v.data(), n, true);
      EXPECT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(want)) << "n " << n;
      EXPECT_EQ(std::bit_cast<uint32_t>(got_squares), std::bit_cast<uint32_t>(want_squares))
          << "squares, n " << n;
    }
  }
  // A lone -0 sums to +0 as the threads' +0 starts make it.
  const float neg_zero[2] = {-0.0f, NAN};
  for (const BandwidthKernels* form : forms) {
    EXPECT_EQ(std::bit_cast<uint32_t>(form->group_sum128(neg_zero, 1, false)), 0u);
  }
}

TEST(BandwidthKernels, RunTimeChoiceAndTestSwitch) {
  const IsaLevel best = vexa::bandwidth_kernels_level();
  if (vexa::bandwidth_avx512_available()) {
    EXPECT_EQ(best, IsaLevel::kAvx512);
  }
  vexa::bandwidth_kernels_force(IsaLevel::kPortable);
  EXPECT_EQ(vexa::bandwidth_kernels_level(), IsaLevel::kPortable);
  EXPECT_EQ(&vexa::bandwidth_kernels(), &vexa::bandwidth_kernels_portable());
  vexa::bandwidth_kernels_force(IsaLevel::kAvx512);
  EXPECT_EQ(vexa::bandwidth_kernels_level(), best);
}
