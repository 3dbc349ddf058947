// Data-movement, softmax, resize and detection operators of the CPU engine beside naive index
// loops on the same data in the same run, at sizes from detection, segmentation and ViT
// models. One line per case: our median, the naive median, their ratio; the thread count of
// the process pool is printed first (the naive loops are single-threaded).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_timing.h"
#include "cpu/op_table.h"
#include "cpu/ops/detection.h"
#include "platform/thread_pool.h"
#include "tests/cpu/cpu_records.h"

namespace {

using namespace vexa::cpu;
using vexa::OpKind;

constexpr int kRepeats = 11;

using vexa::bench::median_ms;

std::vector<float> fill(uint64_t n, uint32_t seed) {
  std::vector<float> v(n);
  uint32_t s = seed;
  for (float& f : v) {
    s = s * 1664525u + 1013904223u;
    f = static_cast<float>((s >> 8) & 0xFFFF) / 32768.0f - 1.0f;
  }
  return v;
}

// One node over values with their own storage, checked and run through the op table.
struct Bench {
  std::vector<CpuValue> values;
  std::vector<std::vector<float>> storage;
  std::vector<float*> data;
  CpuNode node{};
  std::vector<float> workspace;

  uint64_t add(const std::vector<uint64_t>& dims, uint32_t seed) {
    const CpuValue v = test_records::f32_value_record(kValueIntermediate, dims);
    const uint64_t n = v.element_count();
    values.push_back(v);
    storage.push_back(fill(n, seed));
    return values.size() - 1;
  }
  void set(OpKind kind, const std::vector<uint64_t>& in, const std::vector<uint64_t>& out,
           const std::vector<std::pair<uint32_t, uint64_t>>& attrs) {
    node.w[kNodeWordKind] = static_cast<uint64_t>(kind);
    node.w[kNodeWordInputCount] = in.size();
    for (size_t i = 0; i < in.size(); ++i) node.w[kNodeWordFirstInput + i] = in[i];
    node.w[kNodeWordOutputCount] = out.size();
    for (size_t i = 0; i < out.size(); ++i) node.w[kNodeWordFirstOutput + i] = out[i];
    for (const auto& [word, value] : attrs) node.w[word] = value;
  }
  // False when the node is refused.
  bool prepare() {
    data.clear();
    for (auto& s : storage) data.push_back(s.data());
    const OpEntry* e = cpu_op_entry(node.kind());
    char message[256] = {};
    OpCheck check{node, values.data(), values.size(), message, sizeof message};
    if (e == nullptr || !e->check(check)) {
      std::printf("refused: %s\n", message);
      return false;
    }
    workspace.assign((e->workspace ? e->workspace(check) : 0) / 4 + 16, 0.0f);
    return true;
  }
  void run() {
    OpContext ctx{node, values.data(), data.data(), values.size(), workspace.data(),
                  workspace.size() * 4};
    cpu_op_entry(node.kind())->run(ctx);
  }
};

void report(const char* name, double ours, double naive) {
  std::printf("%-44s ours %9.3f ms  naive %9.3f ms  ratio %6.2f\n", name, ours, naive, naive / ours);
}

void transpose_case(const char* name, std::vector<uint64_t> in, std::vector<uint32_t> perm) {
  Bench b;
  std::vector<uint64_t> out(in.size());
  for (size_t k = 0; k < in.size(); ++k) out[k] = in[perm[k]];
  const uint64_t x = b.add(in, 1), y = b.add(out, 2);
  std::vector<std::pair<uint32_t, uint64_t>> attrs{{15, perm.size()}};
  for (size_t k = 0; k < perm.size(); ++k) attrs.push_back({static_cast<uint32_t>(19 + k), perm[k]});
  b.set(OpKind::kTranspose, {x}, {y}, attrs);
  if (!b.prepare()) return;
  const double ours = median_ms(kRepeats, [&] { b.run(); });
  std::vector<uint64_t> in_strides(in.size(), 1);
  for (int i = static_cast<int>(in.size()) - 2; i >= 0; --i) in_strides[i] = in_strides[i + 1] * in[i + 1];
  const float* src = b.storage[x].data();
  std::vector<float> dst(b.storage[y].size());
  const double naive = median_ms(kRepeats, [&] {
    for (uint64_t f = 0; f < dst.size(); ++f) {
      uint64_t rest = f, at = 0;
      for (int k = static_cast<int>(out.size()) - 1; k >= 0; --k) {
        at += (rest % out[k]) * in_strides[perm[k]];
        rest /= out[k];
      }
      dst[f] = src[at];
    }
  });
  report(name, ours, naive);
}

void softmax_case(const char* name, std::vector<uint64_t> dims, int64_t axis) {
  Bench b;
  const uint64_t x = b.add(dims, 3), y = b.add(dims, 4);
  b.set(OpKind::kSoftmax, {x}, {y}, {{26, static_cast<uint64_t>(axis)}});
  if (!b.prepare()) return;
  const double ours = median_ms(kRepeats, [&] { b.run(); });
  const uint32_t a = static_cast<uint32_t>(axis < 0 ? axis + static_cast<int64_t>(dims.size()) : axis);
  uint64_t outer = 1, inner = 1;
  for (uint32_t i = 0; i < a; ++i) outer *= dims[i];
  for (uint32_t i = a + 1; i < dims.size(); ++i) inner *= dims[i];
  const uint64_t d = dims[a];
  const float* src = b.storage[x].data();
  std::vector<float> dst(b.storage[y].size());
  const double naive = median_ms(kRepeats, [&] {
    for (uint64_t o = 0; o < outer; ++o) {
      for (uint64_t p = 0; p < inner; ++p) {
        float m = -3.4e38f, s = 0.0f;
        for (uint64_t j = 0; j < d; ++j) m = std::max(m, src[(o * d + j) * inner + p]);
        for (uint64_t j = 0; j < d; ++j) s += std::exp(src[(o * d + j) * inner + p] - m);
        for (uint64_t j = 0; j < d; ++j) {
          dst[(o * d + j) * inner + p] = std::exp(src[(o * d + j) * inner + p] - m) / s;
        }
      }
    }
  });
  report(name, ours, naive);
}

void resize_case(const char* name, uint64_t c, uint64_t h, uint64_t w, uint64_t scale, bool linear) {
  Bench b;
  const uint64_t x = b.add({1, c, h, w}, 5), y = b.add({1, c, h * scale, w * scale}, 6);
  b.set(OpKind::kResize, {x}, {y}, {{17, scale}, {18, scale}, {27, linear ? 1u : 0u}});
  if (!b.prepare()) return;
  const double ours = median_ms(kRepeats, [&] { b.run(); });
  const float* src = b.storage[x].data();
  std::vector<float> dst(b.storage[y].size());
  const uint64_t oh = h * scale, ow = w * scale;
  const double naive = median_ms(kRepeats, [&] {
    for (uint64_t p = 0; p < c; ++p) {
      for (uint64_t i = 0; i < oh; ++i) {
        for (uint64_t j = 0; j < ow; ++j) {
          if (!linear) {
            dst[(p * oh + i) * ow + j] = src[(p * h + i / scale) * w + j / scale];
            continue;
          }
          const float sy = std::clamp((i + 0.5f) / scale - 0.5f, 0.0f, float(h - 1));
          const float sx = std::clamp((j + 0.5f) / scale - 0.5f, 0.0f, float(w - 1));
          const uint64_t y0 = uint64_t(sy), x0 = uint64_t(sx);
          const uint64_t y1 = std::min(y0 + 1, h - 1), x1 = std::min(x0 + 1, w - 1);
          const float fy = sy - y0, fx = sx - x0;
          const float* pl = src + p * h * w;
          dst[(p * oh + i) * ow + j] = (1 - fy) * ((1 - fx) * pl[y0 * w + x0] + fx * pl[y0 * w + x1]) +
                                       fy * ((1 - fx) * pl[y1 * w + x0] + fx * pl[y1 * w + x1]);
        }
      }
    }
  });
  report(name, ours, naive);
}

void topk_case(const char* name, uint64_t n, uint64_t k) {
  Bench b;
  const uint64_t x = b.add({1, n}, 7), v = b.add({1, k}, 8), i = b.add({1, k}, 9);
  b.set(OpKind::kTopK, {x}, {v, i}, {{26, 1}});
  if (!b.prepare()) return;
  const double ours = median_ms(kRepeats, [&] { b.run(); });
  const float* src = b.storage[x].data();
  std::vector<uint64_t> order(n);
  const double naive = median_ms(kRepeats, [&] {
    for (uint64_t j = 0; j < n; ++j) order[j] = j;
    std::stable_sort(order.begin(), order.end(), [&](uint64_t a, uint64_t c) { return src[a] > src[c]; });
  });
  report(name, ours, naive);
}

void yolo_case(const char* name, uint64_t classes, uint64_t anchors) {
  const uint64_t channels = 4 + classes;
  std::vector<float> data = fill(channels * anchors, 11);
  for (uint64_t i = 0; i < 4 * anchors; ++i) data[i] = std::fabs(data[i]) * 640.0f;
  for (uint64_t i = 4 * anchors; i < data.size(); ++i) data[i] = data[i] * data[i] * data[i] * data[i];
  const YoloNmsParams p{0, 300, 0.25f, 0.45f, 1.0f, 1.0f, 7680.0f, 1};
  std::vector<float> out(300 * 6);
  const double ours = median_ms(kRepeats, [&] { yolo_nms(data.data(), channels, anchors, p, out.data()); });
  std::printf("%-44s ours %9.3f ms\n", name, ours);
}

}  // namespace

int main() {
  std::printf("threads %u\n", vexa::thread_pool_size());
  transpose_case("Transpose [1,64,160,160] (0,2,3,1)", {1, 64, 160, 160}, {0, 2, 3, 1});
  transpose_case("Transpose [1,197,12,64] (0,2,1,3)", {1, 197, 12, 64}, {0, 2, 1, 3});
  transpose_case("Transpose [1,12,197,64] (0,1,3,2)", {1, 12, 197, 64}, {0, 1, 3, 2});
  softmax_case("Softmax [12,197,197] axis -1", {12, 197, 197}, -1);
  softmax_case("Softmax [1,80,8400] axis 1 (vector path)", {1, 80, 8400}, 1);
  softmax_case("Softmax [1,19,256,256] axis 1", {1, 19, 256, 256}, 1);
  resize_case("Resize nearest 2x [1,128,80,80]", 128, 80, 80, 2, false);
  resize_case("Resize linear 2x [1,64,128,128]", 64, 128, 128, 2, true);
  topk_case("TopK k=100 of 8400", 8400, 100);
  yolo_case("yolo_nms 80 classes x 8400 anchors", 80, 8400);
  return 0;
}
