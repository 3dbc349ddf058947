// Kernels that move activations without arithmetic: patch unfolding, space-to-depth, the
// token-major / head-major swap, scattering image rows into text rows, and key/value cache
// appends. Each output element is one A value copied bit for bit; runs of contiguous elements
// are copied whole.
#include <algorithm>
#include <cstring>
#include <vector>

#include "gpu/kernels/graph_kernels.h"

namespace vexa {

namespace {

constexpr uint64_t kMoveElementsPerTask = 32768;

uint64_t rows_per_task(uint64_t row_length) {
  return std::max<uint64_t>(1, kMoveElementsPerTask / std::max<uint64_t>(1, row_length));
}

uint64_t element_count(KernelDispatch& d, uint32_t count) {
  return std::min(grid_thread_count(d), static_cast<uint64_t>(count));
}

}  // namespace

// Element i: row = i / k, j = i mod k with k = channels patch^2; channel j / patch^2, patch row
// (j / patch) mod patch, patch column j mod patch; grid column row mod side, grid line
// (row / side) mod side, batch row / side^2.
template <typename A>
void unfold_kernel(KernelDispatch& d) {
  using T = typename A::T;
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t n = element_count(d, p.u[0]);
  if (n == 0) return;
  const uint64_t patch = p.u[1], side = p.u[2], channels = p.u[3];
  if (patch == 0 || side == 0 || channels == 0) return d.fail("empty patch geometry");
  const uint64_t pp = patch * patch;
  const uint64_t k = mul_sat(channels, pp);
  const uint64_t image = side * patch;
  const uint64_t batches = ((n - 1) / k) / (side * side) + 1;
  const T* x =
      bound_elements<const T>(d, 0, mul_sat(mul_sat(batches, channels), mul_sat(image, image)), "x");
  T* y = bound_elements<T>(d, 2, n, "y");
  if (x == nullptr || y == nullptr) return;
  const uint64_t rows = ceil_div_u64(n, k);
  kernel_parallel_for(rows, rows_per_task(k), [&](uint64_t begin, uint64_t end) {
    for (uint64_t row = begin; row < end; ++row) {
      const uint64_t col = row % side, line = (row / side) % side, batch = row / (side * side);
      const uint64_t len = std::min(k, n - row * k);
      T* out = y + row * k;
      // Runs of `patch` elements (one patch row of one channel) are contiguous in x.
      for (uint64_t j = 0; j < len; j += patch) {
        const uint64_t c = j / pp, py = (j / patch) % patch;
        const T* src = x + ((batch * channels + c) * image + line * patch + py) * image + col * patch;
        std::memcpy(out + j, src, std::min(patch, len - j) * sizeof(T));
      }
    }
  });
}

// Space-to-depth over a token grid of h x w with c channels: outc = c f^2; lane = i mod outc,
// row = i / outc; output column row mod (w / f), line (row / (w / f)) mod (h / f), batch
// row / ((h / f)(w / f)); dy = lane / (c f), dx = (lane / c) mod f.
template <typename A>
void shuffle_kernel(KernelDispatch& d) {
  using T = typename A::T;
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t n = element_count(d, p.u[0]);
  if (n == 0) return;
  const uint64_t f = p.u[1], h = p.u[2], w = p.u[3], c = p.u[4];
  if (f == 0 || c == 0 || h / std::max<uint64_t>(f, 1) == 0 || w / std::max<uint64_t>(f, 1) == 0) {
    return d.fail("empty shuffle geometry");
  }
  const uint64_t outc = mul_sat(c, f * f), hf = h / f, wf = w / f;
  const uint64_t batches = ((n - 1) / outc) / (hf * wf) + 1;
  const T* x = bound_elements<const T>(d, 0, mul_sat(mul_sat(batches, h * w), c), "x");
  T* y = bound_elements<T>(d, 2, n, "y");
  if (x == nullptr || y == nullptr) return;
  const uint64_t rows = ceil_div_u64(n, outc);
  kernel_parallel_for(rows, rows_per_task(outc), [&](uint64_t begin, uint64_t end) {
    for (uint64_t row = begin; row < end; ++row) {
      const uint64_t co = row % wf, ro = (row / wf) % hf, batch = row / (hf * wf);
      const uint64_t len = std::min(outc, n - row * outc);
      T* out = y + row * outc;
      // Runs of c lanes (one source token's channels) are contiguous in x.
      for (uint64_t lane = 0; lane < len; lane += c) {
        const uint64_t dy = lane / (c * f), dx = (lane / c) % f;
        const T* src = x + ((batch * h + ro * f + dy) * w + co * f + dx) * c;
        std::memcpy(out + lane, src, std::min(c, len - lane) * sizeof(T));
      }
    }
  });
}

// Element i = (((b heads + head) S + t) D + c) of the head-major tensor [B, heads, S, D] and
// src = ((b S + t) heads + head) D + c of the token-major [B, S, heads, D]: direction 0 gathers
// head-major from token-major, direction 1 scatters back.
template <typename A>
void attention_layout_kernel(KernelDispatch& d) {
  using T = typename A::T;
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t heads = p.u[0], dim = p.u[2], seq = p.u[3], batch = p.u[5];
  const bool back = p.u[6] != 0;
  const uint64_t total = mul_sat(mul_sat(mul_sat(batch, heads), seq), dim);
  const uint64_t n = std::min(grid_thread_count(d), total);
  if (n == 0) return;
  const T* x = bound_elements<const T>(d, 0, back ? n : total, "x");
  T* y = bound_elements<T>(d, 2, back ? total : n, "y");
  if (x == nullptr || y == nullptr) return;
  const uint64_t rows = ceil_div_u64(n, dim);  // rows of D in head-major order
  kernel_parallel_for(rows, rows_per_task(dim), [&](uint64_t begin, uint64_t end) {
    for (uint64_t r = begin; r < end; ++r) {
      const uint64_t t = r % seq, head = (r / seq) % heads, b = r / (seq * heads);
      const uint64_t src = ((b * seq + t) * heads + head) * dim;
      const uint64_t len = std::min(dim, n - r * dim);
      if (back) {
        std::memcpy(y + src, x + r * dim, len * sizeof(T));
      } else {
        std::memcpy(y + r * dim, x + src, len * sizeof(T));
      }
    }
  });
}

// Row r of y takes image row j for the first j with positions[j] = r, else row r of x.
template <typename A>
void scatter_kernel(KernelDispatch& d) {
  using T = typename A::T;
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t n = element_count(d, p.u[0]);
  if (n == 0) return;
  const uint64_t width = p.u[1], listed = p.u[2];
  if (width == 0) return d.fail("row length 0");
  const T* x = bound_elements<const T>(d, 0, n, "x");
  const T* images = bound_elements<const T>(d, 1, mul_sat(listed, width), "image rows");
  T* y = bound_elements<T>(d, 2, n, "y");
  const int64_t* positions =
      listed == 0 ? nullptr : bound_elements<const int64_t>(d, 4, listed, "positions");
  if (x == nullptr || (listed != 0 && (images == nullptr || positions == nullptr)) || y == nullptr) {
    return;
  }
  const uint64_t rows = ceil_div_u64(n, width);
  // A position outside y would drop an image row without a trace.
  std::vector<uint64_t> source(rows, UINT64_MAX);
  for (uint64_t j = listed; j-- > 0;) {
    if (positions[j] < 0 || static_cast<uint64_t>(positions[j]) >= rows) {
      return d.fail("position " + std::to_string(positions[j]) + " outside " +
                    std::to_string(rows) + " rows");
    }
    source[static_cast<uint64_t>(positions[j])] = j;  // the first listing is written last
  }
  kernel_parallel_for(rows, rows_per_task(width), [&](uint64_t begin, uint64_t end) {
    for (uint64_t r = begin; r < end; ++r) {
      const uint64_t len = std::min(width, n - r * width);
      const T* src = source[r] == UINT64_MAX ? x + r * width : images + source[r] * width;
      std::memmove(y + r * width, src, len * sizeof(T));
    }
  });
}

// Writes positions [P, P + S) (in place) or [0, P + S) (copy) of each (batch, head) of the cache
// [B, heads, capacity, D]: position t < P from the past cache [B, heads, past stride, D], the
// others from the new keys [B, S, heads, D].
template <typename A>
void cache_append_kernel(KernelDispatch& d) {
  using T = typename A::T;
  KernelParams p;
  if (!read_params(d, &p)) return;
  const uint64_t n = element_count(d, p.u[0]);
  if (n == 0) return;
  const uint64_t dim = p.u[1], heads = p.u[2], seq = p.u[3], past = p.u[4];
  const uint64_t capacity = p.u[5], past_stride = p.u[7];
  const bool in_place = p.u[6] != 0;
  const uint64_t written = in_place ? seq : seq + past;
  if (dim == 0 || heads == 0 || written == 0) return d.fail("empty cache geometry");
  if (seq + past > capacity) return d.fail("cache capacity below the positions written");
  const bool reads_past = !in_place && past != 0;
  if (reads_past && past_stride < past) return d.fail("past stride below the past positions");
  const uint64_t row_count = ceil_div_u64(n, dim);
  const uint64_t batches = ceil_div_u64(row_count, mul_sat(written, heads));
  const uint64_t batch_heads = mul_sat(batches, heads);
  const T* fresh =
      bound_elements<const T>(d, 0, mul_sat(mul_sat(batch_heads, seq), dim), "new");
  const T* old =
      reads_past ? bound_elements<const T>(d, 1, mul_sat(mul_sat(batch_heads, past_stride), dim),
                                           "past cache")
                 : nullptr;
  T* cache = bound_elements<T>(d, 2, mul_sat(mul_sat(batch_heads, capacity), dim), "cache");
  if (fresh == nullptr || (reads_past && old == nullptr) || cache == nullptr) return;
  kernel_parallel_for(row_count, rows_per_task(dim), [&](uint64_t begin, uint64_t end) {
    for (uint64_t q = begin; q < end; ++q) {
      const uint64_t t = q % written + (in_place ? past : 0);
      const uint64_t h = (q / written) % heads, b = q / (written * heads);
      const uint64_t len = std::min(dim, n - q * dim);
      T* dst = cache + ((b * heads + h) * capacity + t) * dim;
      const T* src = t < past ? old + ((b * heads + h) * past_stride + t) * dim
                              : fresh + ((b * seq + t - past) * heads + h) * dim;
      std::memmove(dst, src, len * sizeof(T));
    }
  });
}

VEXA_INSTANTIATE_KERNEL(unfold_kernel);
VEXA_INSTANTIATE_KERNEL(shuffle_kernel);
VEXA_INSTANTIATE_KERNEL(attention_layout_kernel);
VEXA_INSTANTIATE_KERNEL(scatter_kernel);
VEXA_INSTANTIATE_KERNEL(cache_append_kernel);

}  // namespace vexa
