#include "cpu/ops/conv_direct.h"

#include <algorithm>
#include <cmath>

#include "cpu/ops/parallel_for.h"
#include "cpu/ops/simd_switch.h"
#include "cpu/quant_study.h"

namespace vexa::cpu {

namespace {

// Tasks a convolution is cut into (output-channel blocks times row ranges): enough that 8
// threads finish close together. The cut depends on the shape only.
constexpr int64_t kDirectTargetTasks = 32;
// Least arithmetic per output (input channels x taps) for the direct path to pay: below it
// the per-tile overhead (stores, tails) outweighs the multiply-adds.
constexpr int64_t kDirectMinDepth = 16;
constexpr int64_t kDirectMinOutputChannels = 8;
constexpr int64_t kPadMinChannels = 8;
constexpr int64_t kPadMinWork = 32768;

bool direct_simd_available() { return cpu_direct_tile_avx2() != nullptr; }
SimdSwitch g_simd(direct_simd_available);

DirectTileFn select_tile() {
  return g_simd.enabled() ? cpu_direct_tile_avx2() : cpu_direct_tile_portable;
}

// Rows and columns of the zero-padded input: exactly the window the outputs read, input row
// r - pt at padded row r and column c - pl at padded column c.
int64_t padded_rows(const ConvGeometry& g) { return int64_t{g.oh - 1} * g.sh + g.kh; }
int64_t padded_cols(const ConvGeometry& g) { return int64_t{g.ow - 1} * g.sw + g.kw; }

// Copies channel c of the input into its padded plane, zeros outside the input.
void pad_channel(const ConvGeometry& g, const float* xc, float* dst, int64_t hp, int64_t wp) {
  for (int64_t r = 0; r < hp; ++r) {
    float* row = dst + r * wp;
    const int64_t ih = r - g.pt;
    if (ih < 0 || ih >= g.h) {
      std::fill(row, row + wp, 0.0f);
      continue;
    }
    // Padded columns [lo, hi) hold input columns [lo - pl, hi - pl).
    const int64_t lo = std::clamp<int64_t>(g.pl, 0, wp);
    const int64_t hi = std::clamp<int64_t>(int64_t{g.pl} + g.w, lo, wp);
    std::fill(row, row + lo, 0.0f);
    std::copy(xc + ih * g.w + (lo - g.pl), xc + ih * g.w + (hi - g.pl), row + lo);
    std::fill(row + hi, row + wp, 0.0f);
  }
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
          for (int64_t l = 0; l < kDirectBlockChannels; ++l) acc[l] = std::fma(xr[kw], w[l], acc[l]);
        }
      }
    }
    std::copy(acc, acc + kDirectBlockChannels, out + j * kDirectBlockChannels);
  }
}

void cpu_conv_direct_force_portable(bool on) { g_simd.force_portable(on); }

bool cpu_conv_direct_eligible(const ConvGeometry& g) {
  return std::max(1, g.group) == 1 && g.dh == 1 && g.dw == 1 && g.sh >= 1 && g.sw >= 1 &&
         int64_t{g.kh} * g.kw >= 2 && g.c_in >= 1 && g.c_out >= kDirectMinOutputChannels &&
         int64_t{g.c_in} * g.kh * g.kw >= kDirectMinDepth && g.oh >= 1 && g.ow >= 1 &&
         g.h >= 1 && g.w >= 1 && g.pt >= 0 && g.pl >= 0 && g.batch >= 1 &&
         !cpu_fakequant_enabled();
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

uint64_t cpu_conv_direct_workspace_floats(const ConvGeometry& g) {
  if (g.oh < 1 || g.ow < 1) return 0;
  return static_cast<uint64_t>(g.c_in) * padded_rows(g) * padded_cols(g);
}

bool cpu_conv2d_direct(const ConvGeometry& g, const float* x, const float* packed_weights,
                       float* y, const ConvEpilogue& batch_epilogue, float* workspace,
                       uint64_t workspace_floats) {
  if (!cpu_conv_direct_eligible(g) || workspace == nullptr ||
      workspace_floats < cpu_conv_direct_workspace_floats(g))
    return false;
  const int64_t hp = padded_rows(g), wp = padded_cols(g);
  const int64_t plane_in = int64_t{g.h} * g.w, plane = int64_t{g.oh} * g.ow;
  const int64_t padded_plane = hp * wp;
  const int64_t taps = int64_t{g.c_in} * g.kh * g.kw;
  const int64_t blocks = (g.c_out + kDirectBlockChannels - 1) / kDirectBlockChannels;
  // Row ranges per block so that blocks x ranges reaches the task target.
  int64_t ranges = std::clamp<int64_t>((kDirectTargetTasks + blocks - 1) / blocks, 1, g.oh);
  const int64_t range_rows = (g.oh + ranges - 1) / ranges;
  ranges = (g.oh + range_rows - 1) / range_rows;
  const DirectTileFn tile_fn = select_tile();

  for (int64_t item = 0; item < g.batch; ++item) {
    const float* xi = x + item * g.c_in * plane_in;
    float* yi = y + item * g.c_out * plane;
    ConvEpilogue epilogue = batch_epilogue;
    if (epilogue.residual != nullptr) epilogue.residual += item * g.c_out * plane;
    epilogue.output_base = yi;
    cpu_parallel_for(g.c_in, g.c_in >= kPadMinChannels && g.c_in * padded_plane >= kPadMinWork,
                     [&](int64_t c) {
                       pad_channel(g, xi + c * plane_in, workspace + c * padded_plane, hp, wp);
                     });
    cpu_parallel_for(blocks * ranges, true, [&](int64_t task) {
      const int64_t b = task / ranges, range = task % ranges;
      const int64_t oh0 = range * range_rows;
      const int64_t oh1 = std::min<int64_t>(g.oh, oh0 + range_rows);
      const int64_t co0 = b * kDirectBlockChannels;
      const int64_t lanes = std::min<int64_t>(kDirectBlockChannels, g.c_out - co0);
      DirectTile t;
      t.w = packed_weights + b * taps * kDirectBlockChannels;
      t.c_in = g.c_in;
      t.kh_count = g.kh;
      t.kw_count = g.kw;
      t.channel_stride = padded_plane;
      t.row_stride = wp;
      t.stride = g.sw;
      alignas(64) float out[kDirectMaxTile * kDirectBlockChannels];
      int64_t offsets[kDirectMaxTile];
      t.x = workspace;
      t.offsets = offsets;
      // Six outputs at a time over the task's rows read as one run (pixel q = oh x OW + ow),
      // so a tile may end one row and start the next; the run ends in near-equal tiles.
      const int64_t q0 = oh0 * g.ow, count = (oh1 - oh0) * g.ow;
      const int64_t tiles = (count + kDirectMaxTile - 1) / kDirectMaxTile;
      for (int64_t k = 0; k < tiles; ++k) {
        int64_t begin, len;
        tile_span(count, tiles, k, &begin, &len);
        int64_t oh = (q0 + begin) / g.ow, ow = q0 + begin - oh * g.ow;
        for (int64_t j = 0; j < len; ++j) {
          offsets[j] = oh * g.sh * wp + ow * g.sw;
          if (++ow == g.ow) ow = 0, ++oh;
        }
        tile_fn(t, len, out);
        float* dst = yi + co0 * plane + q0 + begin;
        for (int64_t l = 0; l < lanes; ++l, dst += plane) {
          for (int64_t j = 0; j < len; ++j) dst[j] = out[j * kDirectBlockChannels + l];
        }
      }
      // This task's outputs are still in cache.
      for (int64_t l = 0; l < lanes; ++l) {
        cpu_conv_epilogue_run(yi + (co0 + l) * plane + oh0 * g.ow, (oh1 - oh0) * g.ow, co0 + l,
                              g.c_out, epilogue);
      }
    });
  }
  return true;
}

}  // namespace vexa::cpu
