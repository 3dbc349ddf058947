#include "gpu/kernels/kernel_common.h"

namespace vexa {

namespace {

template <typename Value>
float group_sum(const float* v, uint64_t n, Value value) {
  float lanes[kRowGroupThreads] = {};
  uint64_t i = 0;
  for (; i + kRowGroupThreads <= n; i += kRowGroupThreads) {
    for (uint64_t t = 0; t < kRowGroupThreads; ++t) lanes[t] += value(v[i + t]);
  }
  for (uint64_t t = 0; i + t < n; ++t) lanes[t] += value(v[i + t]);
  float groups[kRowGroupThreads / kSimdLanes];
  for (uint64_t g = 0; g < kRowGroupThreads / kSimdLanes; ++g) {
    groups[g] = fold_lanes32(lanes + g * kSimdLanes);
  }
  return (groups[0] + groups[1]) + (groups[2] + groups[3]);
}

}  // namespace

bool read_params(KernelDispatch& d, KernelParams* p) {
  const KernelBinding b = d.binding(kParamsIndex);
  if (b.data == nullptr || b.length < sizeof(KernelParams)) {
    d.fail("parameter block missing or short");
    return false;
  }
  std::memcpy(p, b.data, sizeof(KernelParams));
  return true;
}

uint8_t* bound_bytes(KernelDispatch& d, uint32_t index, uint64_t bytes, const char* what) {
  const KernelBinding b = d.binding(index);
  if (b.data == nullptr) {
    d.fail(std::string(what) + " not bound");
    return nullptr;
  }
  if (bytes > b.length) {
    d.fail(std::string(what) + " shorter than the dispatch reads");
    return nullptr;
  }
  return b.data;
}

float group_sum128(const float* v, uint64_t n) {
  return group_sum(v, n, [](float x) { return x; });
}

float group_sum_squares128(const float* v, uint64_t n) {
  return group_sum(v, n, [](float x) { return x * x; });
}

}  // namespace vexa
