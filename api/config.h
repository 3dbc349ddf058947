// The configuration handle: what a session needs before any model is opened. A session copies
// the whole record when it is created.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa {

inline constexpr uint64_t kConfigPathCapacity = 512;
inline constexpr uint32_t kDefaultThreads = 8;
inline constexpr uint32_t kMaxThreads = 32;

struct Config {
  char models_dir[kConfigPathCapacity];
  uint64_t models_dir_len;
  char cache_dir[kConfigPathCapacity];
  uint64_t cache_dir_len;
  char skel_dir[kConfigPathCapacity];
  uint64_t skel_dir_len;
  uint32_t backend;
  uint32_t threads;
  uint8_t verify_weights;
};
static_assert(offsetof(Config, cache_dir) == 520);
static_assert(offsetof(Config, skel_dir) == 1040);
static_assert(offsetof(Config, backend) == 1560);
static_assert(offsetof(Config, verify_weights) == 1568);
static_assert(sizeof(Config) == 1576);

// Frees the configuration the variable refers to and sets the variable to null.
void config_free_and_null(Config** config);

// 1 when `backend` can run on this device. Sets ADSP_LIBRARY_PATH from a non-empty skel_dir.
int32_t probe_backend_impl(const Config* config, uint32_t backend);

// Device probes (backend_probe.cpp): whether a GPU-resident weight slot of `bytes` can be
// allocated and released, and whether the device has a Neural Engine.
bool probe_gpu_weight_slot(uint64_t bytes);
bool probe_has_neural_engine();

}  // namespace vexa
