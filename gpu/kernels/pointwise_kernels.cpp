// Element-wise arithmetic on activations, in f32, one rounding to A at the store.
#include <algorithm>
#include <cmath>

#include "gpu/kernels/graph_kernels.h"

namespace vexa {

namespace {

constexpr uint32_t kOpAdd = 3;
constexpr uint32_t kOpGelu = 7;
constexpr uint32_t kOpSilu = 8;
constexpr uint32_t kOpMultiply = 9;
constexpr uint64_t kPointwiseElementsPerTask = 16384;

// GELU, tanh form: (0.5 a) (1 + tanh(0.7978845608028654 (a + 0.044715 a^3))), each operation
// rounded in f32 in the order written, a^3 as (a a) a.
inline float gelu(float a) {
  const float cube = (a * a) * a;
  const float inner = 0.7978845608028654f * (a + 0.044715f * cube);
  return (0.5f * a) * (1.0f + std::tanh(inner));
}

// SiLU: a / (1 + exp(-a)).
inline float silu(float a) { return a / (1.0f + std::exp(-a)); }

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
  kernel_parallel_for(n, kPointwiseElementsPerTask, [&](uint64_t begin, uint64_t end) {
    for (uint64_t i = begin; i < end; ++i) {
      const float a = A::load(x[i]);
      float r;
      switch (op) {
        case kOpAdd: r = a + A::load(b[i % b_count]); break;
        case kOpMultiply: r = a * A::load(b[i % b_count]); break;
        case kOpGelu: r = gelu(a); break;
        case kOpSilu: r = silu(a); break;
        default: r = a; break;
      }
      y[i] = A::store(r);
    }
  });
}

VEXA_INSTANTIATE_KERNEL(pointwise_kernel);

}  // namespace vexa
