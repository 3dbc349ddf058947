#include "api/config.h"

#include <cstdlib>
#include <string>

#include "api/api_alloc.h"
#include "api/error_map.h"
#include "api/text_util.h"
#include "core/types.h"
#include "vexa/vexa.h"

namespace vexa {

namespace {

Config* as_config(vexa_config* c) { return reinterpret_cast<Config*>(c); }
const Config* as_config(const vexa_config* c) { return reinterpret_cast<const Config*>(c); }

constexpr uint64_t kProbeWeightSlotBytes = 16384;

// Stores the directory; a non-empty one is also exported under `env_name` (when given).
void set_directory(Config* config, char* field, uint64_t* field_len, const char* text,
                   uint64_t len, const char* env_name) {
  if (config == nullptr) return;
  const TextArg t = text_or_empty(text, len);
  *field_len = copy_bounded(t.ptr, t.len, field, kConfigPathCapacity);
  if (env_name != nullptr && *field_len != 0) setenv(env_name, field, 1);
}

}  // namespace

void config_free_and_null(Config** config) {
  if (config == nullptr) return;
  pinned_record_free(*config, sizeof(Config));
  *config = nullptr;
}

int32_t probe_backend_impl(const Config* config, uint32_t backend) {
  if (config != nullptr && config->skel_dir_len != 0) {
    setenv("ADSP_LIBRARY_PATH", config->skel_dir, 1);
  }
  switch (static_cast<Backend>(backend)) {
    case Backend::kAuto:
    case Backend::kCpu: return 1;
    case Backend::kGpu: return probe_gpu_weight_slot(kProbeWeightSlotBytes) ? 1 : 0;
    case Backend::kNpu: return probe_has_neural_engine() ? 1 : 0;
  }
  return 0;
}

}  // namespace vexa

using namespace vexa;

extern "C" {

VEXA_API const char* vexa_version(void) { return kVersionText; }

VEXA_API int32_t vexa_probe_backend(const vexa_config* config, uint32_t backend) {
  return guard_value<int32_t>(0, [&] { return probe_backend_impl(as_config(config), backend); });
}

VEXA_API vexa_config* vexa_config_new(void) {
  auto* config = static_cast<Config*>(pinned_record_new(sizeof(Config)));
  if (config == nullptr) return nullptr;
  config->backend = static_cast<uint32_t>(Backend::kAuto);
  config->threads = kDefaultThreads;
  config->verify_weights = 0;
  return reinterpret_cast<vexa_config*>(config);
}

VEXA_API void vexa_config_free(vexa_config* config) {
  Config* c = as_config(config);
  config_free_and_null(&c);
}

VEXA_API void vexa_config_set_models_dir(vexa_config* config, const char* dir, uint64_t len) {
  Config* c = as_config(config);
  if (c == nullptr) return;
  set_directory(c, c->models_dir, &c->models_dir_len, dir, len, nullptr);
}

VEXA_API void vexa_config_set_cache_dir(vexa_config* config, const char* dir, uint64_t len) {
  Config* c = as_config(config);
  if (c == nullptr) return;
  set_directory(c, c->cache_dir, &c->cache_dir_len, dir, len, "VEXA_QNN_CACHE_DIR");
}

VEXA_API void vexa_config_set_skel_dir(vexa_config* config, const char* dir, uint64_t len) {
  Config* c = as_config(config);
  if (c == nullptr) return;
  set_directory(c, c->skel_dir, &c->skel_dir_len, dir, len, "ADSP_LIBRARY_PATH");
}

VEXA_API void vexa_config_set_backend(vexa_config* config, uint32_t backend) {
  Config* c = as_config(config);
  if (c == nullptr || backend > static_cast<uint32_t>(Backend::kNpu)) return;
  c->backend = backend;
}

VEXA_API void vexa_config_set_threads(vexa_config* config, int32_t threads) {
  Config* c = as_config(config);
  if (c == nullptr) return;
  if (threads < 1) {
    c->threads = kDefaultThreads;
  } else {
    c->threads = static_cast<uint32_t>(threads) < kMaxThreads ? static_cast<uint32_t>(threads)
                                                              : kMaxThreads;
  }
}

VEXA_API void vexa_config_set_verify_weights(vexa_config* config, int32_t flag) {
  Config* c = as_config(config);
  if (c == nullptr) return;
  c->verify_weights = flag != 0 ? 1 : 0;
}

}  // extern "C"
