#include "gpu/kernels/kernel_common.h"

#include "gpu/kernels/bandwidth_kernels.h"

#include <algorithm>
#include <cstdint>
#include <new>

namespace vexa {

namespace {

struct ThreadScratch {
  ScratchPanel panel[kScratchSlots];
  uint64_t capacity[kScratchSlots] = {};
  bool busy[kScratchSlots] = {};
};

thread_local ThreadScratch t_scratch;

}  // namespace

void ScratchDelete::operator()(float* p) const {
  ::operator delete[](p, std::align_val_t{kScratchAlignment});
}

ScratchPanel new_scratch_panel(uint64_t count) {
  const uint64_t n = std::max<uint64_t>(count, 1);
  if (n > SIZE_MAX / sizeof(float)) throw std::bad_alloc();
  void* p = ::operator new[](n * sizeof(float), std::align_val_t{kScratchAlignment});
  return ScratchPanel(static_cast<float*>(p));
}

ScratchFloats::ScratchFloats(unsigned slot, uint64_t count) {
  const uint64_t wanted = count == 0 ? 1 : count;
  if (slot < kScratchSlots && !t_scratch.busy[slot] &&
      wanted <= kKeptScratchBytes / sizeof(float)) {
    if (t_scratch.capacity[slot] < wanted) {
      // Grown in steps of a quarter so that a run of slowly growing requests reallocates rarely.
      const uint64_t grown = std::max(wanted, t_scratch.capacity[slot] + t_scratch.capacity[slot] / 4);
      const uint64_t capacity = std::min(grown, kKeptScratchBytes / sizeof(float));
      t_scratch.panel[slot].reset();
      t_scratch.capacity[slot] = 0;
      t_scratch.panel[slot] = new_scratch_panel(capacity);
      t_scratch.capacity[slot] = capacity;
    }
    t_scratch.busy[slot] = true;
    borrowed_ = static_cast<int>(slot);
    data_ = t_scratch.panel[slot].get();
    return;
  }
  owned_ = new_scratch_panel(wanted);
  data_ = owned_.get();
}

ScratchFloats::~ScratchFloats() {
  if (borrowed_ >= 0) t_scratch.busy[borrowed_] = false;
}

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

bool q8_row_bytes_ok(KernelDispatch& d, uint64_t row_bytes, uint64_t cols) {
  if (row_bytes == 0 || row_bytes / kQ8BlockBytes < ceil_div_u64(cols, kQ8BlockValues)) {
    d.fail("q8 row bytes " + std::to_string(row_bytes) + " too small for " +
           std::to_string(cols) + " columns");
    return false;
  }
  return true;
}

float group_sum128(const float* v, uint64_t n) {
  return bandwidth_kernels().group_sum128(v, n, false);
}

float group_sum_squares128(const float* v, uint64_t n) {
  return bandwidth_kernels().group_sum128(v, n, true);
}

}  // namespace vexa
