// Helpers shared by the weight slot and GPU context tests: containers in memory files, slots,
// the fault switch, and a naive half decoder.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/atomics.h"
#include "core/container.h"
#include "core/container_writer.h"
#include "gpu/weight_slot.h"

namespace slot_test {

using vexa::PackStatus;


// Restores VEXA_TEST_FAULTS when the test ends.
class FaultEnv {
 public:
  explicit FaultEnv(const char* value) {
    const char* old = std::getenv("VEXA_TEST_FAULTS");
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      setenv("VEXA_TEST_FAULTS", value, 1);
    } else {
      unsetenv("VEXA_TEST_FAULTS");
    }
  }
  ~FaultEnv() {
    if (had_) {
      setenv("VEXA_TEST_FAULTS", old_.c_str(), 1);
    } else {
      unsetenv("VEXA_TEST_FAULTS");
    }
  }

 private:
  bool had_ = false;
  std::string old_;
};

// A container in a memfd, opened; the memfd stays open so tests can damage the file.
struct OpenedFile {
  int fd = -1;
  std::vector<uint8_t> bytes;
  vexa::OpenContainer c{};
  bool ok = false;

  OpenedFile(vexa::ContainerWriter& w, uint32_t flags) {
    std::string error;
    if (!w.write_to_memory(&bytes, &error)) {
      ADD_FAILURE() << error;
      return;
    }
    fd = memfd_create("vexa-slot-test", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      ADD_FAILURE() << "memfd";
      return;
    }
    vexa::OpenResult r = vexa::container_open_fd(fd, 0, bytes.size(), flags);
    if (!r.ok()) {
      ADD_FAILURE() << "open status " << r.status;
      return;
    }
    c = r.container;
    ok = true;
  }
  ~OpenedFile() {
    if (ok) vexa::container_close(&c);
    if (fd >= 0) ::close(fd);
  }
};

struct Slot {
  vexa::WeightSlot slot{};
  explicit Slot(uint64_t size, bool gpu = false) {
    vexa::WeightSlotResult r = vexa::weight_slot_alloc(size, gpu);
    EXPECT_TRUE(r.ok());
    slot = r.slot;
  }
  ~Slot() { vexa::buffer_release(&slot); }
  uint32_t busy() const { return vexa::atomic_load_u32(&slot.busy, vexa::kOrderAcquire); }
};

inline uint64_t slot_bytes(uint64_t data) {
  const uint64_t page = vexa::kWeightSlotAlignmentBytes;
  return data == 0 ? page : (data + page - 1) / page * page;
}

// Five f32 tensors in three load groups, with values that identify their position.
inline void add_f32_groups(vexa::ContainerWriter& w) {
  float next = 1.0f;
  const uint64_t sizes[5] = {3, 100, 4097, 1, 17};
  for (int t = 0; t < 5; ++t) {
    if (t == 2 || t == 4) w.begin_group();
    std::vector<float> v(sizes[t]);
    for (float& x : v) x = next++;
    const uint64_t dims[1] = {sizes[t]};
    w.add_tensor_f32("t" + std::to_string(t), dims, v.data());
  }
}

inline float naive_half(uint16_t h) {
  const int sign = h >> 15;
  const int exponent = (h >> 10) & 0x1F;
  const int mantissa = h & 0x3FF;
  float v;
  if (exponent == 0) {
    v = std::ldexp(static_cast<float>(mantissa), -24);
  } else if (exponent == 31) {
    v = mantissa == 0 ? INFINITY : NAN;
  } else {
    v = std::ldexp(static_cast<float>(mantissa + 1024), exponent - 25);
  }
  return sign ? -v : v;
}

}  // namespace slot_test
