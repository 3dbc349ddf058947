// Container reader under arbitrary bytes: opening with and without the f32 plan, every accessor,
// loading the weights and verifying them must never crash, hang or read out of bounds.
#include <cstdint>
#include <vector>

#include <unistd.h>

#include "core/model_load.h"
#include "tests/core/container_fixture.h"
#include "tests/fuzz/resealed.h"

namespace {

// Records of each kind visited, and weight memory above which the harness loads nothing (the
// reader itself never allocates it).
constexpr uint64_t kMaxHarnessRecords = 4096;
constexpr uint64_t kMaxHarnessWeightBytes = uint64_t{256} << 20;

void open_all_ways(const std::vector<uint8_t>& bytes) {
  const uint64_t size = bytes.size();
  const int fd = vexa::testing::memory_file(bytes);
  if (fd < 0) return;
  for (const uint32_t flags : {0u, vexa::kOpenFlagPlanF32}) {
    vexa::OpenResult r = vexa::container_open_fd(fd, 0, size, flags);
    if (r.ok()) {
      vexa::testing::exercise_accessors(r.container, kMaxHarnessRecords, kMaxHarnessWeightBytes);
      vexa::container_close(&r.container);
    }
  }
  vexa::ModelLoadResult m = vexa::model_load_fd(fd, 0, size);
  if (m.ok()) {
    vexa::container_close(&m.value);
  } else {
    vexa::expected_message_free(&m.error);
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  vexa::fuzz::run_as_is_and_resealed(bytes, open_all_ways);
  return 0;
}
