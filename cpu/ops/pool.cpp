#include "cpu/ops/pool.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "cpu/ops/conv_depthwise_simd.h"
#include "cpu/ops/conv_simd.h"
#include "cpu/ops/parallel_for.h"
#include "cpu/ops/simd_switch.h"
#include "platform/thread_pool.h"

namespace vexa::cpu {

namespace {

constexpr int64_t kPoolMinPlanes = 8;
constexpr int64_t kPoolMinWork = 4096;
// Outputs a task of the channel-lane kernel covers at least (whole groups of planes).
constexpr int64_t kPoolTaskOutputs = 2048;
constexpr int64_t kGlobalPoolMinWork = 65536;

template <bool kMax>
void pool_plane(const PoolGeometry& g, const float* x, float* y) {
  const int64_t n = int64_t{g.oh} * g.ow;
  if (g.kh < 1 || g.kw < 1) {
    const float fill = kMax ? kMaxPoolEmpty : 0.0f / static_cast<float>(int64_t{g.kh} * g.kw);
    std::fill(y, y + n, fill);
    return;
  }
  const float area = static_cast<float>(int64_t{g.kh} * g.kw);
  for (int64_t oh = 0; oh < g.oh; ++oh) {
    const int64_t r0 = oh * g.sh - g.pt;
    const int64_t rlo = std::max<int64_t>(r0, 0), rhi = std::min<int64_t>(r0 + g.kh, g.h);
    for (int64_t ow = 0; ow < g.ow; ++ow) {
      const int64_t c0 = ow * g.sw - g.pl;
      const int64_t clo = std::max<int64_t>(c0, 0), chi = std::min<int64_t>(c0 + g.kw, g.w);
      float acc = kMax ? kMaxPoolEmpty : 0.0f;
      for (int64_t r = rlo; r < rhi; ++r) {
        const float* row = x + r * g.w;
        for (int64_t c = clo; c < chi; ++c) {
          if constexpr (kMax) {
            if (row[c] > acc) acc = row[c];
          } else {
            acc += row[c];
          }
        }
      }
      const float count = g.exclude_pad ? static_cast<float>((rhi - rlo) * (chi - clo)) : area;
      y[oh * g.ow + ow] = kMax ? acc : acc / count;
    }
  }
}

static_assert(kMaxPoolEmptyValue == kMaxPoolEmpty, "the vector kernel pads with the empty value");

SimdSwitch g_simd(conv_simd_available);

bool simd_enabled() { return g_simd.enabled(); }

// Groups of eight planes by the channel-lane kernel, several groups to a task on small
// planes; the planes done, or 0 when there would be fewer tasks than threads.
int64_t maxpool_channel_groups(int64_t planes, const DepthwiseChannels& d, const float* x,
                               float* y, bool parallel) {
  const int64_t in_plane = d.h * d.w, out_plane = d.oh * d.ow;
  const int64_t groups = planes / kDepthwiseChannelLanes;
  const int64_t per_task =
      std::max<int64_t>(1, kPoolTaskOutputs / (out_plane * kDepthwiseChannelLanes));
  const int64_t tasks = (groups + per_task - 1) / per_task;
  const int64_t threads = parallel ? static_cast<int64_t>(vexa::parallel_thread_budget()) : 1;
  if (groups == 0 || tasks < threads) return 0;
  const auto fn =
      depthwise_direct_avx512_available() ? maxpool_channels_avx512 : maxpool_channels_avx2;
  cpu_parallel_for(tasks, parallel, [&](int64_t task) {
    const int64_t g0 = task * per_task, count = std::min(per_task, groups - g0);
    const int64_t p0 = g0 * kDepthwiseChannelLanes;
    fn(d, count, x + p0 * in_plane, y + p0 * out_plane, depthwise_channel_scratch());
  });
  return groups * kDepthwiseChannelLanes;
}

template <bool kMax>
void pool(const PoolGeometry& g, const float* x, float* y) {
  if (g.planes <= 0 || g.oh <= 0 || g.ow <= 0) return;
  const int64_t in_plane = int64_t{g.h} * g.w;
  const int64_t out_plane = int64_t{g.oh} * g.ow;
  const bool parallel = g.planes >= kPoolMinPlanes && g.planes * out_plane >= kPoolMinWork;
  // Max pooling takes the padded band kernel, whose padding taps never win.
  DepthwisePadded padded;
  const bool fast = kMax && simd_enabled() &&
                    padded_window_layout(g.h, g.w, g.oh, g.ow, g.kh, g.kw, g.sh, g.sw, g.pt,
                                         g.pl, 1, 1, &padded);
  // Whole groups of eight planes take the channel-lane kernel when its tasks cover every
  // thread (as for depthwise windows); the planes after them, and every plane elsewhere, go
  // one at a time. Both give the same bits.
  DepthwiseChannels lanes;
  const int64_t first =
      kMax && simd_enabled() &&
              depthwise_channels_layout(g.h, g.w, g.oh, g.ow, g.kh, g.kw, g.sh, g.sw, g.pt,
                                        g.pl, 1, 1, &lanes)
          ? maxpool_channel_groups(g.planes, lanes, x, y, parallel)
          : 0;
  cpu_parallel_for(g.planes - first, parallel, [&](int64_t q) {
    const int64_t p = first + q;
    if (fast) {
      alignas(64) float scratch[kPaddedBandFloats];
      maxpool_plane_padded_avx2(padded, x + p * in_plane, y + p * out_plane, scratch);
    } else {
      pool_plane<kMax>(g, x + p * in_plane, y + p * out_plane);
    }
  });
}

}  // namespace

void cpu_pool_force_portable(bool on) { g_simd.force_portable(on); }

void cpu_maxpool(const PoolGeometry& g, const float* x, float* y) { pool<true>(g, x, y); }
void cpu_avgpool(const PoolGeometry& g, const float* x, float* y) { pool<false>(g, x, y); }

void cpu_global_avgpool(int64_t planes, int64_t plane_size, const float* x, float* y) {
  const bool parallel = planes >= kPoolMinPlanes && planes * plane_size >= kGlobalPoolMinWork;
  cpu_parallel_for(planes, parallel, [&](int64_t p) {
    const float* src = x + p * plane_size;
    // One running double sum in element order: split sums would cancel large terms in a
    // different order and can change the rounded mean.
    double sum = 0.0;
    for (int64_t i = 0; i < plane_size; ++i) sum += src[i];
    y[p] = static_cast<float>(sum / static_cast<double>(plane_size));
  });
}

}  // namespace vexa::cpu
