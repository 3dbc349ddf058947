// Shared by the model benchmarks: a converted container opened with its f32 weights read into
// aligned memory, whole files read into memory, and an output set beside a reference output.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/container.h"

namespace vexa {

struct BenchModel {
  OpenContainer container{};
  bool opened = false;  // a zeroed container's descriptor 0 is not its own to close
  uint8_t* weights = nullptr;
  BenchModel() = default;
  BenchModel(const BenchModel&) = delete;
  BenchModel& operator=(const BenchModel&) = delete;
  ~BenchModel() {
    std::free(weights);
    if (opened) container_close(&container);
  }
};

// Opens `path` and reads its weights; false with the reason in *error. Converted containers
// store f32 weights only, so the weights region is used as it lies.
inline bool bench_open_model(const char* path, BenchModel* m, std::string* error) {
  OpenResult opened = container_open_path(path, std::strlen(path));
  if (!opened.ok()) {
    *error = "cannot open container, status " + std::to_string(opened.status);
    return false;
  }
  m->container = opened.container;
  m->opened = true;
  const OpenContainer& c = m->container;
  if (c.plan != nullptr) {
    *error = "container stores non-f32 weights";
    return false;
  }
  const uint64_t bytes = std::max<uint64_t>(c.weights_data_size, 1);
  m->weights = static_cast<uint8_t*>(std::aligned_alloc(
      kWeightAlignmentBytes,
      (bytes + kWeightAlignmentBytes - 1) / kWeightAlignmentBytes * kWeightAlignmentBytes));
  if (m->weights == nullptr ||
      !read_fully_at(c.fd, m->weights, c.weights_data_size, c.base_offset + c.weights_offset)) {
    *error = "cannot read weights";
    return false;
  }
  return true;
}

inline bool bench_read_file(const char* path, std::vector<uint8_t>* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

// Prints how far the n floats at `ours` lie from the reference floats in `ref_bytes`: the
// largest absolute difference, and that over the reference's largest magnitude (a NaN on either
// side counts as an infinite difference).
inline void bench_print_reference_diff(const float* ours, uint64_t n,
                                       const std::vector<uint8_t>& ref_bytes) {
  if (ref_bytes.size() != n * sizeof(float) || ours == nullptr) {
    std::printf("max_abs_diff nan (reference holds %zu floats, output %llu)\n",
                ref_bytes.size() / 4, static_cast<unsigned long long>(n));
    return;
  }
  const auto* ref = reinterpret_cast<const float*>(ref_bytes.data());
  double max_abs = 0, max_ref = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const double d = std::fabs(static_cast<double>(ours[i]) - ref[i]);
    max_abs = std::isnan(d) ? INFINITY : std::max(max_abs, d);
    max_ref = std::max(max_ref, std::fabs(static_cast<double>(ref[i])));
  }
  std::printf("max_abs_diff %.3g max_rel %.3g\n", max_abs, max_ref > 0 ? max_abs / max_ref : max_abs);
}

}  // namespace vexa
