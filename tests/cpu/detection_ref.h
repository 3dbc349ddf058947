// Naive YOLO-style suppression in double precision, shared by the operator and graph tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "cpu/ops/detection.h"

namespace vexa::cpu::optest {

inline double iou_ref(const double* a, const double* b, bool centre) {
  auto ext = [&](const double* v, double* x, double* y) {
    if (centre) {
      x[0] = v[0] - v[2] / 2; x[1] = v[0] + v[2] / 2;
      y[0] = v[1] - v[3] / 2; y[1] = v[1] + v[3] / 2;
    } else {
      x[0] = std::min(v[0], v[2]); x[1] = std::max(v[0], v[2]);
      y[0] = std::min(v[1], v[3]); y[1] = std::max(v[1], v[3]);
    }
  };
  double ax[2], ay[2], bx[2], by[2];
  ext(a, ax, ay);
  ext(b, bx, by);
  const double ox = std::min(ax[1], bx[1]) - std::max(ax[0], bx[0]);
  const double oy = std::min(ay[1], by[1]) - std::max(ay[0], by[0]);
  if (ox <= 0 || oy <= 0) return 0;
  const double inter = ox * oy;
  return inter / ((ax[1] - ax[0]) * (ay[1] - ay[0]) + (bx[1] - bx[0]) * (by[1] - by[0]) - inter);
}

inline std::vector<float> yolo_ref(const std::vector<float>& data, uint64_t channels, uint64_t count,
                            const YoloNmsParams& p) {
  const uint64_t extra = static_cast<uint64_t>(p.extra), classes = channels - extra - 4;
  struct Cand {
    uint64_t i;
    float score;
    uint64_t cls;
    double box[4];
  };
  std::vector<Cand> cands;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t best = 0;
    for (uint64_t c = 1; c < classes; ++c) {
      if (data[(4 + c) * count + i] > data[(4 + best) * count + i]) best = c;
    }
    const float s = data[(4 + best) * count + i];
    if (!(s > p.score_threshold)) continue;
    Cand cand{i, s, best, {}};
    for (int k = 0; k < 4; ++k) {
      cand.box[k] = data[k * count + i] / p.coord_divisor * p.coord_scale + best * p.class_offset;
    }
    cands.push_back(cand);
  }
  std::stable_sort(cands.begin(), cands.end(), [](const Cand& a, const Cand& b) { return a.score > b.score; });
  std::vector<Cand> kept;
  for (const Cand& c : cands) {
    if (kept.size() >= p.max_out) break;
    bool drop = false;
    for (const Cand& k : kept) drop = drop || iou_ref(k.box, c.box, p.centre_format == 1) > p.iou_threshold;
    if (!drop) kept.push_back(c);
  }
  std::vector<float> out(p.max_out * (extra + 6), 0.0f);
  for (size_t r = 0; r < kept.size(); ++r) {
    float* row = &out[r * (extra + 6)];
    for (int k = 0; k < 4; ++k) row[k] = data[k * count + kept[r].i];
    row[4] = kept[r].score;
    row[5] = static_cast<float>(kept[r].cls);
    for (uint64_t e = 0; e < extra; ++e) row[6 + e] = data[(channels - extra + e) * count + kept[r].i];
  }
  return out;
}

}  // namespace vexa::cpu::optest
