// Element-wise arithmetic on activations, in f32, one rounding to A at the store.
#include <algorithm>
#include <cmath>
#include <memory>

#include "gpu/kernels/graph_kernels.h"
#include "platform/vector_math.h"

namespace vexa {

namespace {

constexpr uint32_t kOpAdd = 3;
constexpr uint32_t kOpGelu = 7;
constexpr uint32_t kOpSilu = 8;
constexpr uint32_t kOpMultiply = 9;
// A 128-token prefill of a 576-wide model has 73,728-element activations: at 16,384 elements
// per task that was 5 tasks for 8 threads; at 4,096 it is 18, and the prefill ran 4-13% faster at
// 8 threads (best and median of 6 runs on a shared 8-core Zen 4). A decode row is one task.
constexpr uint64_t kPointwiseElementsPerTask = 4096;
// Elements converted and computed at a time, in f32 arrays on the stack.
constexpr uint64_t kPointwiseChunk = 512;

// GELU, tanh form: (0.5 a) (1 + tanh(0.7978845608028654 (a + 0.044715 a^3))), each operation
// rounded in f32 in the order written, a^3 as (a a) a.
inline float gelu(float a) {
  const float cube = (a * a) * a;
  const float inner = 0.7978845608028654f * (a + 0.044715f * cube);
  return (0.5f * a) * (1.0f + std::tanh(inner));
}

// SiLU: a / (1 + exp(-a)).
inline float silu(float a) { return a / (1.0f + std::exp(-a)); }

void unary_row(uint32_t op, float* a, uint64_t len) {
  if (op == kOpGelu) {
    for (uint64_t i = 0; i < len; ++i) a[i] = gelu(a[i]);
  } else if (op == kOpSilu) {
    for (uint64_t i = 0; i < len; ++i) a[i] = silu(a[i]);
  }
}

// A unary op on half activations is a function of 16 bits: its result for every half, made once
// by the same chunked computation as the float path (so the bytes are those of the formula), and
// then looked up. The prefill of a 576-wide, 30-layer model spent 2.9 ms at 8 threads in SiLU's
// exp and division, and 0.6 ms looking it up from this 128 KiB table, which stays in each core's
// L2 (per-node profile, runs in turns on a shared 8-core Zen 4 EPYC).
class HalfUnaryTable {
 public:
  explicit HalfUnaryTable(uint32_t op) : values_(new uint16_t[kHalfValues]) {
    float a[kPointwiseChunk];
    uint16_t in[kPointwiseChunk];
    for (uint32_t h0 = 0; h0 < kHalfValues; h0 += kPointwiseChunk) {
      for (uint32_t i = 0; i < kPointwiseChunk; ++i) in[i] = static_cast<uint16_t>(h0 + i);
      load_row<HalfActivation>(in, kPointwiseChunk, a);
      unary_row(op, a, kPointwiseChunk);
      store_row<HalfActivation>(a, kPointwiseChunk, values_.get() + h0);
    }
  }
  void apply(const uint16_t* x, uint64_t n, uint16_t* y) const {
    const uint16_t* t = values_.get();
    for (uint64_t i = 0; i < n; ++i) y[i] = t[x[i]];
  }

 private:
  static constexpr uint32_t kHalfValues = 65536;
  static_assert(kHalfValues % kPointwiseChunk == 0);
  std::unique_ptr<uint16_t[]> values_;
};

// Made on first use (about a millisecond each), then shared by every thread.
const HalfUnaryTable& half_unary_table(uint32_t op) {
  if (op == kOpGelu) {
    static const HalfUnaryTable gelu_table(kOpGelu);
    return gelu_table;
  }
  static const HalfUnaryTable silu_table(kOpSilu);
  return silu_table;
}

}  // namespace

template <typename A>
void pointwise_kernel(KernelDispatch& d) {
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t n = std::min(grid_thread_count(d), static_cast<uint64_t>(p.u[0]));
  if (n == 0) return;
  const uint32_t op = p.u[2];
  const bool binary = op == kOpAdd || op == kOpMultiply;
  const uint64_t b_count = p.u[1];
  if (binary && b_count == 0) return d.fail("second operand empty");
  const auto* x = bound_elements<const typename A::T>(d, 0, n, "x");
  const typename A::T* b = nullptr;
  if (binary) b = bound_elements<const typename A::T>(d, 1, std::min(b_count, n), "b");
  auto* y = bound_elements<typename A::T>(d, 2, n, "y");
  if (x == nullptr || y == nullptr || (binary && b == nullptr)) return;
  if constexpr (!A::kIsFloat) {
    if (op == kOpGelu || op == kOpSilu) {
      const HalfUnaryTable& table = half_unary_table(op);
      kernel_parallel_for(n, kPointwiseElementsPerTask, [&](uint64_t begin, uint64_t end) {
        table.apply(x + begin, end - begin, y + begin);
      });
      return;
    }
  }
  kernel_parallel_for(n, kPointwiseElementsPerTask, [&](uint64_t begin, uint64_t end) {
    float a[kPointwiseChunk], other[kPointwiseChunk];
    for (uint64_t i0 = begin; i0 < end; i0 += kPointwiseChunk) {
      const uint64_t len = std::min(kPointwiseChunk, end - i0);
      load_row<A>(x + i0, len, a);
      if (binary) {
        // b[i mod b_count] in runs that do not wrap.
        for (uint64_t done = 0; done < len;) {
          const uint64_t j = (i0 + done) % b_count;
          const uint64_t run = std::min(len - done, b_count - j);
          load_row<A>(b + j, run, other + done);
          done += run;
        }
      }
      switch (op) {
        case kOpAdd:
          vec_add(a, other, a, len);
          break;
        case kOpMultiply:
          vec_mul(a, other, a, len);
          break;
        case kOpGelu:
        case kOpSilu:
          unary_row(op, a, len);
          break;
        default: break;
      }
      store_row<A>(a, len, y + i0);
    }
  });
}

VEXA_INSTANTIATE_KERNEL(pointwise_kernel);

}  // namespace vexa
