// Matrix multiplication objects: transposes, alpha and beta, padded rows, batches with a matrix
// stride, float16 panels widened once and the result rounded once, and refusals of views that
// do not fit.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/gemm.h"
#include "platform/half.h"
#include "platform/matrix.h"
#include "platform/software_device.h"

namespace vexa {
namespace {

using Floats = std::vector<float>;

Floats ramp(uint64_t n, uint32_t seed) {
  Floats v(n);
  uint32_t s = seed * 747796405u + 1u;
  for (auto& x : v) {
    s = s * 1664525u + 1013904223u;
    x = static_cast<float>((s >> 8) & 0xFFFF) / 32768.0f - 1.0f;
  }
  return v;
}

// Rows of `cols` values laid out with `row_bytes`, `matrices` of them `matrix_bytes` apart, at
// `offset` in a fresh buffer.
std::shared_ptr<DeviceBuffer> store(const std::vector<Floats>& mats, uint64_t rows, uint64_t cols,
                                    uint64_t row_bytes, uint64_t matrix_bytes, uint64_t offset,
                                    DeviceDataType type) {
  auto b = device_system_default()->new_buffer(offset + matrix_bytes * mats.size() + 64,
                                               StorageMode::kShared);
  for (size_t m = 0; m < mats.size(); ++m)
    for (uint64_t r = 0; r < rows; ++r) {
      device_values_from_f32(type, mats[m].data() + r * cols,
                             b->device_bytes() + offset + m * matrix_bytes + r * row_bytes, cols);
    }
  return b;
}

Floats load(const std::shared_ptr<DeviceBuffer>& b, uint64_t rows, uint64_t cols,
            uint64_t row_bytes, uint64_t at, DeviceDataType type) {
  Floats v(rows * cols);
  for (uint64_t r = 0; r < rows; ++r)
    device_values_to_f32(type, b->device_bytes() + at + r * row_bytes, v.data() + r * cols, cols);
  return v;
}

// alpha * op(A) op(B) + beta * C in double, from the values as stored.
Floats reference(const Floats& a, const Floats& b, const Floats& c, bool tl, bool tr, uint64_t m,
                 uint64_t n, uint64_t k, double alpha, double beta) {
  Floats y(m * n);
  for (uint64_t i = 0; i < m; ++i)
    for (uint64_t j = 0; j < n; ++j) {
      double acc = 0;
      for (uint64_t q = 0; q < k; ++q)
        acc += double{tl ? a[q * m + i] : a[i * k + q]} * (tr ? b[j * k + q] : b[q * n + j]);
      y[i * n + j] = static_cast<float>(alpha * acc + beta * c[i * n + j]);
    }
  return y;
}

Floats as_stored(Floats v, DeviceDataType type) {
  if (type == DeviceDataType::kFloat16)
    for (float& x : v) x = f16_round_trip(x);
  return v;
}

TEST(MatrixMultiplication, TransposesAlphaBetaAndPaddedRows) {
  auto queue = device_system_default()->new_command_queue();
  const uint64_t m = 9, n = 70, k = 33;
  for (DeviceDataType type : {DeviceDataType::kFloat32, DeviceDataType::kFloat16}) {
    const uint64_t e = device_data_type_bytes(type);
    for (int t = 0; t < 4; ++t) {
      const bool tl = (t & 1) != 0, tr = (t & 2) != 0;
      const uint64_t ar = tl ? k : m, ac = tl ? m : k, br = tr ? n : k, bc = tr ? k : n;
      const Floats a = as_stored(ramp(ar * ac, 1 + t), type);
      const Floats b = as_stored(ramp(br * bc, 5 + t), type);
      const Floats c = as_stored(ramp(m * n, 9 + t), type);
      // Rows padded past their columns, views at odd offsets (unaligned for f32 loads).
      const uint64_t arb = (ac + 3) * e, brb = (bc + 1) * e, crb = (n + 5) * e;
      auto ab = store({a}, ar, ac, arb, ar * arb, 6, type);
      auto bb = store({b}, br, bc, brb, br * brb, 0, type);
      auto cb_buf = store({c}, m, n, crb, m * crb, 2, type);
      MatrixMultiplication mm(tl, tr, m, n, k, 0.5, 2.0);
      auto cmd = queue->command_buffer();
      std::string error;
      ASSERT_TRUE(mm.encode(*cmd, Matrix(ab, 6, MatrixDescriptor::make(ar, ac, arb, type)),
                            Matrix(bb, 0, MatrixDescriptor::make(br, bc, brb, type)),
                            Matrix(cb_buf, 2, MatrixDescriptor::make(m, n, crb, type)), &error));
      cmd->commit();
      ASSERT_EQ(cmd->status(), CommandBufferStatus::kCompleted) << cmd->error_message();
      const Floats got = load(cb_buf, m, n, crb, 2, type);
      const Floats want = reference(a, b, c, tl, tr, m, n, k, 0.5, 2.0);
      for (size_t i = 0; i < got.size(); ++i) {
        const double tol = type == DeviceDataType::kFloat16 ? 1e-3 * (8 + std::fabs(want[i])) : 1e-5;
        ASSERT_NEAR(got[i], want[i], tol) << "t=" << t << " element " << i;
      }
      if (type == DeviceDataType::kFloat16) {
        // Widened once, multiplied in f32, rounded once: the platform GEMM's sums rounded.
        Floats y = c;
        ASSERT_TRUE(gemm_f32(tl, tr, m, n, k, 0.5f, a.data(), ac, b.data(), bc, 2.0f, y.data(), n));
        EXPECT_EQ(got, as_stored(y, type)) << "t=" << t;
      }
    }
  }
}

TEST(MatrixMultiplication, BatchesWithAMatrixStride) {
  // Attention scores: per head, S x D times the cache's T x D (transposed) with a stride of
  // `capacity` positions per head, into S x T.
  auto queue = device_system_default()->new_command_queue();
  const uint64_t heads = 5, s = 4, d = 8, t = 6, capacity = 10;
  for (DeviceDataType type : {DeviceDataType::kFloat32, DeviceDataType::kFloat16}) {
    const uint64_t e = device_data_type_bytes(type);
    std::vector<Floats> q, kc, c;
    for (uint64_t h = 0; h < heads; ++h) {
      q.push_back(as_stored(ramp(s * d, 20 + h), type));
      Floats keys = as_stored(ramp(capacity * d, 40 + h), type);
      kc.push_back(keys);
      c.push_back(Floats(s * t, 0.0f));
    }
    auto qb = store(q, s, d, d * e, s * d * e, 0, type);
    auto kb = store(kc, capacity, d, d * e, capacity * d * e, 0, type);
    auto cb_buf = store(c, s, t, t * e, s * t * e, 0, type);
    MatrixMultiplication mm(false, true, s, t, d, 1.0, 0.0);
    mm.set_batch(1, 3);
    std::string error;
    ASSERT_TRUE(mm.multiply(Matrix(qb, 0, MatrixDescriptor::batched(s, d, heads, d * e, s * d * e, type)),
                            Matrix(kb, 0, MatrixDescriptor::batched(t, d, heads, d * e, capacity * d * e, type)),
                            Matrix(cb_buf, 0, MatrixDescriptor::batched(s, t, heads, t * e, s * t * e, type)),
                            &error))
        << error;
    for (uint64_t h = 0; h < heads; ++h) {
      const Floats got = load(cb_buf, s, t, t * e, h * s * t * e, type);
      if (h < 1 || h > 3) {
        EXPECT_EQ(got, Floats(s * t, 0.0f)) << "head " << h << " is outside the batch range";
        continue;
      }
      const Floats want = reference(q[h], kc[h], c[h], false, true, s, t, d, 1.0, 0.0);
      for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 5e-3) << h;
    }
  }
}

TEST(MatrixMultiplication, ViewsThatDoNotFitAreRefused) {
  auto buf = device_system_default()->new_buffer(4096, StorageMode::kShared);
  const DeviceDataType f = DeviceDataType::kFloat32;
  auto mat = [&](uint64_t rows, uint64_t cols, uint64_t offset = 0, DeviceDataType t = DeviceDataType::kFloat32,
                 uint64_t row_bytes = 0) {
    return Matrix(buf, offset, MatrixDescriptor::make(rows, cols, row_bytes ? row_bytes : cols * 4, t));
  };
  MatrixMultiplication mm(false, false, 8, 8, 8, 1.0, 0.0);
  std::string error;
  struct Case {
    Matrix a, b, c;
    const char* message;
  };
  const std::vector<Case> cases = {
      {mat(4, 8), mat(8, 8), mat(8, 8), "left matrix of 4 x 8 is smaller"},
      {mat(8, 8), mat(8, 8), mat(8, 8, 4000), "result matrix reaches past the end"},
      {mat(8, 8), mat(8, 8, 0, DeviceDataType::kInt32), mat(8, 8), "float32 or float16"},
      {mat(8, 8), mat(8, 8, 0, f, 16), mat(8, 8), "rows are shorter than its columns"},
      {mat(8, 8), mat(8, 8, UINT64_MAX - 8), mat(8, 8), "past the end"},
      {Matrix(nullptr, 0, MatrixDescriptor::make(8, 8, 32, f)), mat(8, 8), mat(8, 8), "no buffer"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(mm.multiply(c.a, c.b, c.c, &error)) << c.message;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
  MatrixMultiplication batch(false, false, 2, 2, 2, 1.0, 0.0);
  batch.set_batch(0, 4);
  const Matrix three(buf, 0, MatrixDescriptor::batched(2, 2, 3, 8, 16, f));
  const Matrix four(buf, 0, MatrixDescriptor::batched(2, 2, 4, 8, 16, f));
  EXPECT_FALSE(batch.multiply(three, four, four, &error));
  EXPECT_NE(error.find("holds 3 matrices"), std::string::npos) << error;
  const Matrix overlapping(buf, 0, MatrixDescriptor::batched(2, 2, 4, 8, 8, f));
  EXPECT_FALSE(batch.multiply(overlapping, four, four, &error));
  EXPECT_NE(error.find("stride is shorter"), std::string::npos) << error;
  // Encoded, the refusal fails the command buffer.
  auto cmd = device_system_default()->new_command_queue()->command_buffer();
  ASSERT_TRUE(mm.encode(*cmd, mat(4, 8), mat(8, 8), mat(8, 8), &error));
  cmd->commit();
  EXPECT_EQ(cmd->status(), CommandBufferStatus::kError);
  EXPECT_NE(cmd->error_message().find("left matrix"), std::string::npos);
}

}  // namespace
}  // namespace vexa
