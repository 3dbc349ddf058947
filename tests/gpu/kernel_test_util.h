// Running graph kernels on the software device from tests, and the reference-side helpers:
// activation buffers at either precision, rounding as the kernels' contract rounds, the fixed
// reduction orders written out, and the tolerance for products.
//
// Tolerance: lookups, layouts, element-wise ops, cache appends, rope and norm must match their
// references bit for bit. Products and attention must lie within one unit in the last place of
// the activation type of a reference accumulated in f64, widened by the f32 accumulation error
// bound (terms x 2^-24 x sum |term|), which is 0 when every partial sum is exact.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "gpu/kernels/kernel_common.h"
#include "gpu/kernels/kernel_library.h"
#include "platform/half.h"
#include "platform/software_device.h"
#include "platform/vector_math.h"

namespace kernel_test {

using vexa::KernelParams;
using vexa::Size3;

// A device buffer made from host bytes; read back after a run.
struct Buf {
  std::shared_ptr<vexa::DeviceBuffer> buffer;
  uint64_t offset = 0;

  template <typename T>
  std::vector<T> read(uint64_t n) const {
    std::vector<T> v(n);
    std::memcpy(v.data(), buffer->device_bytes() + offset, n * sizeof(T));
    return v;
  }
};

inline Buf make_buffer(const void* bytes, uint64_t n, uint64_t offset = 0) {
  auto device = vexa::device_system_default();
  Buf b;
  b.buffer = device->new_buffer(std::max<uint64_t>(n + offset, 1), vexa::StorageMode::kShared);
  b.offset = offset;
  if (n != 0) std::memcpy(b.buffer->device_bytes() + offset, bytes, n);
  return b;
}

template <typename T>
Buf make_buffer(const std::vector<T>& v, uint64_t offset = 0) {
  return make_buffer(v.data(), v.size() * sizeof(T), offset);
}

inline Buf zeros(uint64_t bytes) {
  std::vector<uint8_t> z(bytes);
  return make_buffer(z);
}

// Activation values (already representable at the precision) as buffer bytes.
inline Buf act_buffer(const std::vector<float>& v, bool fp32) {
  if (fp32) return make_buffer(v);
  std::vector<uint16_t> h(v.size());
  for (size_t i = 0; i < v.size(); ++i) h[i] = vexa::f16_round_even(v[i]);
  return make_buffer(h);
}

inline std::vector<float> read_act(const Buf& b, uint64_t n, bool fp32) {
  if (fp32) return b.read<float>(n);
  std::vector<uint16_t> h = b.read<uint16_t>(n);
  std::vector<float> v(n);
  for (uint64_t i = 0; i < n; ++i) v[i] = vexa::f16_widen(h[i]);
  return v;
}

inline float round_a(float x, bool fp32) { return fp32 ? x : vexa::f16_round_trip(x); }
inline float masked_score(bool fp32) { return fp32 ? -3.402823466e+38f : -65504.0f; }

inline KernelParams params(std::initializer_list<std::pair<int, uint32_t>> u,
                           std::initializer_list<std::pair<int, float>> f = {}) {
  KernelParams p{};
  for (auto [i, v] : u) p.u[i] = v;
  for (auto [i, v] : f) p.f[i] = v;
  return p;
}

struct Binding {
  uint32_t index;
  const Buf* buf;
};

struct Dispatch {
  Size3 size;
  Size3 per_group{128, 1, 1};
  bool groups = false;  // size counts thread groups, not threads
};

inline Dispatch threads(uint64_t n) { return Dispatch{{n, 1, 1}, {128, 1, 1}, false}; }
inline Dispatch groups(uint64_t x, uint64_t y = 1, uint64_t z = 1, uint64_t per = 128) {
  return Dispatch{{x, y, z}, {per, 1, 1}, true};
}

struct RunResult {
  bool ok;
  std::string error;
};

// Runs one kernel of the graph program, compiled for float (fp32) or half activations.
inline RunResult run_kernel(const char* name, bool fp32, std::initializer_list<Binding> bindings,
                            const KernelParams& p, Dispatch dispatch) {
  auto device = vexa::device_system_default();
  std::string error;
  auto library = device->new_library(vexa::graph_kernel_source(), {{{"VEXA_FLOAT", fp32 ? 1 : 0}}},
                                     &error);
  auto pipeline = device->new_compute_pipeline(library->new_function(name, &error), &error);
  if (pipeline == nullptr) return {false, error};
  auto queue = device->new_command_queue();
  auto cb = queue->command_buffer();
  auto enc = cb->compute_encoder();
  enc->set_pipeline(pipeline);
  for (const Binding& b : bindings) enc->set_buffer(b.buf->buffer, b.buf->offset, b.index);
  enc->set_bytes(&p, sizeof p, vexa::kParamsIndex);
  if (dispatch.groups) {
    enc->dispatch_threadgroups(dispatch.size, dispatch.per_group);
  } else {
    enc->dispatch_threads(dispatch.size, dispatch.per_group);
  }
  enc->end_encoding();
  cb->commit();
  cb->wait_until_completed();
  return {cb->status() == vexa::CommandBufferStatus::kCompleted, cb->error_message()};
}

// Values that halves and floats both hold exactly: k / 2^shift for |k| <= range.
inline std::vector<float> dyadic(std::mt19937& rng, uint64_t n, int range, int shift) {
  std::uniform_int_distribution<int> dist(-range, range);
  std::vector<float> v(n);
  for (auto& x : v) x = std::ldexp(static_cast<float>(dist(rng)), -shift);
  return v;
}

// Uniform values rounded to the activation precision.
inline std::vector<float> uniform(std::mt19937& rng, uint64_t n, float lo, float hi, bool fp32) {
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> v(n);
  for (auto& x : v) x = round_a(dist(rng), fp32);
  return v;
}

inline std::vector<uint16_t> to_halves(const std::vector<float>& v) {
  std::vector<uint16_t> h(v.size());
  for (size_t i = 0; i < v.size(); ++i) h[i] = vexa::f16_round_even(v[i]);
  return h;
}

// Distance in units in the last place of the precision (same-sign ordering of the bits).
inline int64_t ulp_distance(float a, float b, bool fp32) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0 : INT64_MAX;
  auto ordered = [&](float x) -> int64_t {
    if (fp32) {
      const int32_t i = std::bit_cast<int32_t>(x);
      return i < 0 ? -static_cast<int64_t>(i & 0x7fffffff) : i;
    }
    const uint16_t h = vexa::f16_round_even(x);
    return (h & 0x8000) ? -static_cast<int64_t>(h & 0x7fff) : static_cast<int64_t>(h);
  };
  const int64_t d = ordered(a) - ordered(b);
  return d < 0 ? -d : d;
}

// Bit-identical activation values (the same half or float bits).
inline void expect_same(const std::vector<float>& got, const std::vector<float>& want,
                        const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    const bool same = std::bit_cast<uint32_t>(got[i]) == std::bit_cast<uint32_t>(want[i]) ||
                      (std::isnan(got[i]) && std::isnan(want[i]));
    ASSERT_TRUE(same) << what << " at " << i << ": " << got[i] << " vs " << want[i];
  }
}

// A reference value computed in f64 from the terms of one sum, and the slack its f32
// accumulation may lose.
struct Approx {
  double value = 0;
  double slack = 0;
};

// got is within one unit of the precision of A(ref.value), allowing ref.slack first.
inline void expect_close(const std::vector<float>& got, const std::vector<Approx>& want, bool fp32,
                         const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    const double v = want[i].value;
    const double lo = v - want[i].slack, hi = v + want[i].slack;
    const float g = got[i];
    if (g >= lo && g <= hi) continue;
    const float nearest = static_cast<float>(g < lo ? lo : hi);
    ASSERT_LE(ulp_distance(g, round_a(nearest, fp32), fp32), 1)
        << what << " at " << i << ": got " << g << ", reference " << v << " +- " << want[i].slack;
  }
}

// The fold of 32 lane values, upper half onto lower (the SIMD-group reduction).
inline float fold32(std::vector<float> lanes) {
  for (size_t w = 16; w >= 1; w /= 2)
    for (size_t l = 0; l < w; ++l) lanes[l] = lanes[l] + lanes[l + w];
  return lanes[0];
}

// A sum as a 128-thread group takes it: strided thread sums, folds, (g0 + g1) + (g2 + g3).
inline float group_sum128(const std::vector<float>& v) {
  std::vector<float> t(128, 0.0f);
  for (size_t i = 0; i < v.size(); ++i) t[i % 128] += v[i];
  float g[4];
  for (int k = 0; k < 4; ++k) g[k] = fold32(std::vector<float>(t.begin() + 32 * k, t.begin() + 32 * k + 32));
  return (g[0] + g[1]) + (g[2] + g[3]);
}

inline float exp_ref(float x) {
  float out;
  vexa::vec_exp(&x, &out, 1);
  return out;
}

// q8 rows: 64 signed bytes then a little-endian f32 scale per block.
struct Q8Matrix {
  uint64_t rows = 0, cols = 0, row_bytes = 0;
  std::vector<uint8_t> bytes;

  float value(uint64_t r, uint64_t c) const {
    const uint8_t* block = bytes.data() + r * row_bytes + (c / 64) * 68;
    float scale;
    std::memcpy(&scale, block + 64, 4);
    return vexa::f16_round_trip(static_cast<float>(static_cast<int8_t>(block[c % 64])) * scale);
  }
};

// Random q8 rows; bytes past the last column hold junk (the kernels must not read them) unless
// clean is set.
inline Q8Matrix random_q8(std::mt19937& rng, uint64_t rows, uint64_t cols, bool clean = false) {
  Q8Matrix m;
  m.rows = rows;
  m.cols = cols;
  const uint64_t blocks = (cols + 63) / 64;
  m.row_bytes = blocks * 68;
  m.bytes.resize(rows * m.row_bytes);
  std::uniform_int_distribution<int> q(-127, 127);
  std::uniform_real_distribution<float> s(0.001f, 0.05f);
  for (uint64_t r = 0; r < rows; ++r) {
    for (uint64_t b = 0; b < blocks; ++b) {
      uint8_t* block = m.bytes.data() + r * m.row_bytes + b * 68;
      for (uint64_t i = 0; i < 64; ++i) {
        const bool used = b * 64 + i < cols;
        block[i] = static_cast<uint8_t>(used ? q(rng) : (clean ? 0 : 0x80 | (rng() & 0x7f)));
      }
      const float scale = s(rng);
      std::memcpy(block + 64, &scale, 4);
    }
  }
  return m;
}

}  // namespace kernel_test
