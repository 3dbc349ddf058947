#include "cpu/ops/conv_direct.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "cpu/ops/parallel_for.h"
#include "cpu/ops/simd_switch.h"
#include "platform/thread_pool.h"

namespace vexa::cpu {

namespace {

// Tasks per participating thread, so threads finish close together. No output's arithmetic
// depends on which task computes it, so the cut may follow the thread count.
constexpr int64_t kDirectTasksPerThread = 4;
// Floats of a task's padded rows plus one block's weights that stay in the second-level
// cache while the block's tiles sweep the rows. Each row range streams every block's weights
// in again, so deep windows (megabytes of weights) want as few ranges as this allows.
constexpr int64_t kDirectCacheFloats = 196608;
// Least room for rows when one block's weights nearly fill the budget.
constexpr int64_t kDirectMinRowsFloats = 16384;
// Least outputs in a task's run of rows: shorter runs end in short tiles, which reuse each
// weight load over fewer outputs.
constexpr int64_t kDirectMinRunOutputs = 24;
constexpr int64_t kDirectMinDepth = 16;
// Shallow windows on rows at least this wide take the row kernel (see conv_direct.h). Measured:
// MobileNetV2's 3-channel stem 0.55-0.61 -> 0.43-0.51 ms at one thread; at 144 multiply-adds
// per output (YOLO's 16-channel 3x3 layers) the two kernels run alike.
constexpr int64_t kDirectRowMaxDepth = 64;
constexpr int64_t kDirectRowMinWidth = 16;
constexpr int64_t kDirectMinOutputChannels = 8;
constexpr int64_t kLaneFloats = 8;

int64_t round_up_to(int64_t n, int64_t m) { return (n + m - 1) / m * m; }

bool direct_simd_available() { return cpu_direct_tile_avx2() != nullptr; }
SimdSwitch g_simd(direct_simd_available);

DirectTileFn select_tile() {
  return g_simd.enabled() ? cpu_direct_tile_avx2() : cpu_direct_tile_portable;
}

// The row kernel, or null where the tile kernel serves the shape. Both give the same bits.
DirectRowFn select_row(const ConvGeometry& g) {
  if (!g_simd.enabled() || int64_t{g.c_in} * g.kh * g.kw > kDirectRowMaxDepth ||
      g.ow < kDirectRowMinWidth)
    return nullptr;
  return cpu_direct_row_avx2();
}

// Columns of a zero-padded input row: exactly those the outputs read, input column q - pl
// at padded column q.
int64_t padded_cols(const ConvGeometry& g) { return int64_t{g.ow - 1} * g.sw + g.kw; }

// Copies padded rows [r0, r1) of one channel (input row r - pt at padded row r, zeros outside
// the input) to dst, each row split into `phases` runs of `phase` floats: padded column q
// (input column q - pl) at (q % phases) * phase + q / phases, zeros past the padded row. One
// phase is the plain row the tile kernel reads; the row kernel reads a phase per stride step.
void pad_rows(const ConvGeometry& g, const float* xc, int64_t r0, int64_t r1, int64_t phases,
              int64_t phase, float* dst) {
  const int64_t width = phases * phase;
  for (int64_t r = r0; r < r1; ++r, dst += width) {
    const int64_t ih = r - g.pt;
    if (ih < 0 || ih >= g.h) {
      std::fill(dst, dst + width, 0.0f);
      continue;
    }
    const float* src = xc + ih * g.w;
    for (int64_t ph = 0; ph < phases; ++ph) {
      // Entry i of phase ph is input column i * phases + ph - pl, inside the input for i in
      // [lo, hi).
      float* d = dst + ph * phase;
      const int64_t first = ph - g.pl;
      const int64_t lo =
          std::clamp<int64_t>(first >= 0 ? 0 : (-first + phases - 1) / phases, 0, phase);
      const int64_t hi = std::clamp<int64_t>((g.w - first + phases - 1) / phases, lo, phase);
      std::fill(d, d + lo, 0.0f);
      if (hi > lo) {
        const float* from = src + first + lo * phases;
        if (phases == 1) {
          std::copy(from, from + (hi - lo), d + lo);
        } else {
          for (int64_t i = lo; i < hi; ++i, from += phases) d[i] = *from;
        }
      }
      std::fill(d + hi, d + phase, 0.0f);
    }
  }
}

// This thread's copy of the padded input rows its current task reads. Each thread keeps its
// own: a buffer shared by all tasks would be written by every core and read by every core
// on each call, and on this machine taking cache lines back from seven other cores cost
// four times what the copy itself does.
float* thread_rows(uint64_t floats) {
  thread_local std::vector<float> rows;
  if (rows.size() < floats) rows.resize(floats);
  return rows.data();
}

// Outputs of tile t when a run of n outputs is cut into `tiles` near-equal tiles of at most
// kDirectMaxTile: the first n % tiles tiles are one longer.
void tile_span(int64_t n, int64_t tiles, int64_t t, int64_t* begin, int64_t* len) {
  const int64_t base = n / tiles, extra = n % tiles;
  *begin = t * base + std::min(t, extra);
  *len = base + (t < extra ? 1 : 0);
}

}  // namespace

void cpu_direct_tile_portable(const DirectTile& t, int64_t pixels, float* out) {
  for (int64_t j = 0; j < pixels; ++j) {
    float acc[kDirectBlockChannels] = {};
    const float* w = t.w;
    for (int64_t c = 0; c < t.c_in; ++c) {
      for (int64_t kh = 0; kh < t.kh_count; ++kh) {
        const int64_t start = t.offsets != nullptr ? t.offsets[j] : j * t.stride;
        const float* xr = t.x + c * t.channel_stride + kh * t.row_stride + start;
        for (int64_t kw = 0; kw < t.kw_count; ++kw, w += kDirectBlockChannels) {
          for (int64_t l = 0; l < kDirectBlockChannels; ++l)
            acc[l] = std::fma(xr[kw], w[l], acc[l]);
        }
      }
    }
    if (t.y != nullptr) {
      for (int64_t l = 0; l < kDirectBlockChannels; ++l) {
        float v = acc[l];
        if (t.bias != nullptr) v += t.bias[l];
        if (t.residual != nullptr) v += t.residual[l * t.y_stride + j];
        t.y[l * t.y_stride + j] = direct_activation(v, t.activation, t.lo, t.hi);
      }
    } else {
      std::copy(acc, acc + kDirectBlockChannels, out + j * kDirectBlockChannels);
    }
  }
}

void cpu_direct_row_portable(const DirectRow& r) {
  for (int64_t i = 0; i < r.channels; ++i) {
    for (int64_t p = 0; p < r.pixels; ++p) {
      float acc = 0.0f;
      const float* w = r.w + i;
      for (int64_t c = 0; c < r.c_in; ++c) {
        for (int64_t kh = 0; kh < r.kh_count; ++kh) {
          const float* row = r.x + c * r.channel_stride + kh * r.row_stride + p;
          for (int64_t kw = 0; kw < r.kw_count; ++kw, w += kDirectBlockChannels) {
            acc = std::fma(row[(kw % r.stride) * r.phase_stride + kw / r.stride], *w, acc);
          }
        }
      }
      r.y[i * r.y_stride + p] = acc;
    }
  }
}

void cpu_conv_direct_force_portable(bool on) { g_simd.force_portable(on); }

bool cpu_conv_direct_eligible(const ConvGeometry& g) {
  return std::max(1, g.group) == 1 && g.dh == 1 && g.dw == 1 && g.sh >= 1 && g.sw >= 1 &&
         int64_t{g.kh} * g.kw >= 2 && g.c_in >= 1 && g.c_out >= kDirectMinOutputChannels &&
         int64_t{g.c_in} * g.kh * g.kw >= kDirectMinDepth && g.oh >= 1 && g.ow >= 1 &&
         g.h >= 1 && g.w >= 1 && g.pt >= 0 && g.pl >= 0 && g.batch >= 1;
}

uint64_t cpu_conv_direct_weight_floats(const ConvGeometry& g) {
  const uint64_t blocks = (static_cast<uint64_t>(g.c_out) + kDirectBlockChannels - 1) /
                          kDirectBlockChannels;
  return blocks * kDirectBlockChannels * static_cast<uint64_t>(g.c_in) * g.kh * g.kw;
}

void cpu_conv_direct_pack(const ConvGeometry& g, const float* weights, float* packed) {
  const int64_t taps = int64_t{g.c_in} * g.kh * g.kw;
  const int64_t blocks = (g.c_out + kDirectBlockChannels - 1) / kDirectBlockChannels;
  for (int64_t b = 0; b < blocks; ++b) {
    float* dst = packed + b * taps * kDirectBlockChannels;
    for (int64_t t = 0; t < taps; ++t) {
      for (int64_t l = 0; l < kDirectBlockChannels; ++l) {
        const int64_t co = b * kDirectBlockChannels + l;
        dst[t * kDirectBlockChannels + l] = co < g.c_out ? weights[co * taps + t] : 0.0f;
      }
    }
  }
}

bool cpu_conv2d_direct(const ConvGeometry& g, const float* x, const float* packed_weights,
                       float* y, const ConvEpilogue& batch_epilogue) {
  if (!cpu_conv_direct_eligible(g)) return false;
  const DirectRowFn row_fn = select_row(g);
  // Floats per padded row: the tile kernel reads rows as they are; the row kernel reads them
  // split into stride phases, each long enough for whole vectors past the last output.
  const int64_t phase = round_up_to(g.ow, kLaneFloats) + (g.kw - 1) / g.sw;
  const int64_t wp = row_fn != nullptr ? g.sw * phase : padded_cols(g);
  const int64_t plane_in = int64_t{g.h} * g.w, plane = int64_t{g.oh} * g.ow;
  const int64_t taps = int64_t{g.c_in} * g.kh * g.kw;
  const int64_t blocks = (g.c_out + kDirectBlockChannels - 1) / kDirectBlockChannels;
  // Tasks are (row range, group of output-channel blocks). Each copies the padded rows it
  // reads once for all its blocks, so rows are cut before blocks are grouped.
  const int64_t threads = static_cast<int64_t>(vexa::parallel_thread_budget());
  const int64_t want = threads > 1 ? threads * kDirectTasksPerThread : 1;
  const int64_t padded_row = int64_t{g.c_in} * wp;
  const int64_t rows_room =
      std::max(kDirectMinRowsFloats, kDirectCacheFloats - taps * kDirectBlockChannels);
  const int64_t cache_rows = std::max<int64_t>(1, (rows_room / padded_row - g.kh) / g.sh + 1);
  // The cache bound is a floor on the ranges; the wanted count only up to the least run.
  const int64_t min_rows = (kDirectMinRunOutputs + g.ow - 1) / g.ow;
  const int64_t most_ranges = std::max<int64_t>(1, g.oh / min_rows);
  const int64_t cache_ranges = (g.oh + cache_rows - 1) / cache_rows;
  int64_t ranges = std::min<int64_t>(g.oh, std::max(cache_ranges, std::min(want, most_ranges)));
  const int64_t range_rows = (g.oh + ranges - 1) / ranges;
  ranges = (g.oh + range_rows - 1) / range_rows;
  int64_t groups = std::clamp<int64_t>((want + ranges - 1) / ranges, 1, blocks);
  const int64_t group_blocks = (blocks + groups - 1) / groups;
  groups = (blocks + group_blocks - 1) / group_blocks;
  const DirectTileFn tile_fn = select_tile();

  for (int64_t item = 0; item < g.batch; ++item) {
    const float* xi = x + item * g.c_in * plane_in;
    float* yi = y + item * g.c_out * plane;
    ConvEpilogue epilogue = batch_epilogue;
    if (epilogue.residual != nullptr) epilogue.residual += item * g.c_out * plane;
    epilogue.output_base = yi;
    // Small planes leave one range read whole by every task: there a single copy made by all
    // threads together costs less than each task making its own.
    const int64_t all_rows = (g.oh - 1) * g.sh + g.kh;
    float* shared = nullptr;
    // The row kernel reads its rows in stride phases, the tile kernel as they are.
    const int64_t phases = row_fn != nullptr ? g.sw : 1;
    const auto copy_rows = [&](int64_t c, int64_t r0, int64_t r1, float* dst) {
      pad_rows(g, xi + c * plane_in, r0, r1, phases, wp / phases, dst);
    };
    if (ranges == 1 && groups > 1) {
      shared = thread_rows(static_cast<uint64_t>(g.c_in) * all_rows * wp);
      cpu_parallel_for(g.c_in, true,
                       [&](int64_t c) { copy_rows(c, 0, all_rows, shared + c * all_rows * wp); });
    }
    cpu_parallel_for(ranges * groups, true, [&](int64_t task) {
      const int64_t range = task / groups, group = task % groups;
      const int64_t oh0 = range * range_rows;
      const int64_t oh1 = std::min<int64_t>(g.oh, oh0 + range_rows);
      // The padded rows this task's outputs read, [r0, r1), every input channel.
      const int64_t r0 = shared != nullptr ? 0 : oh0 * g.sh;
      const int64_t r1 = shared != nullptr ? all_rows : (oh1 - 1) * g.sh + g.kh;
      float* rows = shared;
      if (rows == nullptr) {
        rows = thread_rows(static_cast<uint64_t>(g.c_in) * (r1 - r0) * wp);
        for (int64_t c = 0; c < g.c_in; ++c) copy_rows(c, r0, r1, rows + c * (r1 - r0) * wp);
      }
      const int64_t q0 = oh0 * g.ow, count = (oh1 - oh0) * g.ow;
      const int64_t b_end = std::min(blocks, (group + 1) * group_blocks);
      if (row_fn != nullptr) {
        DirectRow r;
        r.c_in = g.c_in;
        r.kh_count = g.kh;
        r.kw_count = g.kw;
        r.channel_stride = (r1 - r0) * wp;
        r.row_stride = wp;
        r.phase_stride = phase;
        r.stride = g.sw;
        r.y_stride = plane;
        for (int64_t b = group * group_blocks; b < b_end; ++b) {
          const int64_t co0 = b * kDirectBlockChannels;
          const int64_t lanes = std::min<int64_t>(kDirectBlockChannels, g.c_out - co0);
          for (int64_t oh = oh0; oh < oh1; ++oh) {
            const float* row = rows + (oh * g.sh - r0) * wp;
            for (int64_t ow = 0; ow < g.ow; ow += kDirectRowPixels) {
              r.x = row + ow;
              r.pixels = std::min<int64_t>(kDirectRowPixels, g.ow - ow);
              for (int64_t l = 0; l < lanes; l += kDirectRowChannels) {
                r.w = packed_weights + b * taps * kDirectBlockChannels + l;
                r.y = yi + (co0 + l) * plane + oh * g.ow + ow;
                r.channels = std::min<int64_t>(kDirectRowChannels, lanes - l);
                row_fn(r);
              }
            }
          }
          for (int64_t l = 0; l < lanes; ++l) {
            cpu_conv_epilogue_run(yi + (co0 + l) * plane + q0, count, co0 + l, g.c_out, epilogue);
          }
        }
        return;
      }
      DirectTile t;
      t.x = rows;
      t.c_in = g.c_in;
      t.kh_count = g.kh;
      t.kw_count = g.kw;
      t.channel_stride = (r1 - r0) * wp;
      t.row_stride = wp;
      t.stride = g.sw;
      t.y_stride = plane;
      // Full blocks take the epilogue as the kernel stores them when it is a simple one.
      int32_t store_mode = kDirectNone;
      float store_lo = 0.0f, store_hi = 0.0f;
      const bool store_epilogue =
          cpu_conv_store_epilogue(epilogue, &store_mode, &store_lo, &store_hi);
      t.activation = store_mode;
      t.lo = store_lo;
      t.hi = store_hi;
      alignas(64) float out[kDirectMaxTile * kDirectBlockChannels];
      int64_t offsets[kDirectMaxTile];
      t.offsets = offsets;
      // Six outputs at a time over the task's rows read as one run (pixel q = oh x OW + ow),
      // so a tile may end one row and start the next; the run ends in near-equal tiles.
      const int64_t tiles = (count + kDirectMaxTile - 1) / kDirectMaxTile;
      for (int64_t b = group * group_blocks; b < b_end; ++b) {
        const int64_t co0 = b * kDirectBlockChannels;
        const int64_t lanes = std::min<int64_t>(kDirectBlockChannels, g.c_out - co0);
        t.w = packed_weights + b * taps * kDirectBlockChannels;
        const bool full = lanes == kDirectBlockChannels;
        const bool fused = full && store_epilogue;
        t.bias = fused && epilogue.table != nullptr ? epilogue.table + co0 : nullptr;
        for (int64_t k = 0; k < tiles; ++k) {
          int64_t begin, len;
          tile_span(count, tiles, k, &begin, &len);
          int64_t oh = (q0 + begin) / g.ow, ow = q0 + begin - oh * g.ow;
          for (int64_t j = 0; j < len; ++j) {
            offsets[j] = (oh * g.sh - r0) * wp + ow * g.sw;
            if (++ow == g.ow) ow = 0, ++oh;
          }
          float* dst = yi + co0 * plane + q0 + begin;
          // A full block goes straight to its planes; the last, partial one through `out`,
          // so nothing is written past the last channel.
          t.y = full ? dst : nullptr;
          t.residual = fused && epilogue.residual != nullptr
                           ? epilogue.residual + (dst - epilogue.output_base)
                           : nullptr;
          tile_fn(t, len, out);
          if (t.y == nullptr) {
            for (int64_t l = 0; l < lanes; ++l, dst += plane) {
              for (int64_t j = 0; j < len; ++j) dst[j] = out[j * kDirectBlockChannels + l];
            }
          }
        }
        if (fused) continue;
        // This block's outputs are still in cache.
        for (int64_t l = 0; l < lanes; ++l) {
          cpu_conv_epilogue_run(yi + (co0 + l) * plane + q0, count, co0 + l, g.c_out, epilogue);
        }
      }
    });
  }
  return true;
}

}  // namespace vexa::cpu
