// Container reader under arbitrary bytes: opening with and without the f32 plan, every accessor,
// loading the weights and verifying them must never crash, hang or read out of bounds.
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <unistd.h>

#include "core/container_access.h"
#include "core/model_load.h"
#include "core/precision.h"
#include "tests/core/container_fixture.h"

namespace {

// Weight memory above this is not allocated by the harness (the reader itself never does).
constexpr uint64_t kMaxHarnessWeightBytes = uint64_t{256} << 20;

void exercise(const vexa::OpenContainer& c) {
  using namespace vexa;
  const uint64_t tensors = container_tensor_count(&c);
  for (uint64_t j = 0; j <= tensors && j < 4096; ++j) (void)container_weight_view(&c, j);
  for (uint64_t i = 0; i <= container_node_count(&c) && i < 4096; ++i) {
    (void)op_kind_name(container_read_node(&c, i).op_kind);
  }
  for (uint64_t i = 0; i <= container_value_count(&c) && i < 4096; ++i) {
    const GraphValue v = container_read_value(&c, i);
    (void)pool_string(&c, v.name_offset, v.name_length);
  }
  for (uint64_t i = 0; i < meta_count(&c) && i < 4096; ++i) {
    const MetaEntry e = meta_entry_at(&c, i);
    (void)pool_string(&c, e.key_offset, e.key_length);
    (void)meta_value_ptr(&c, e);
  }
  (void)meta_live_count(&c);
  for (const char* key : {"task", "labels", "mean", "threshold", "classes", "fp16_safe"}) {
    const uint64_t n = std::strlen(key);
    (void)meta_get_str(&c, key, n, "", 0);
    (void)meta_get_f64(&c, key, n, 0.0);
    (void)meta_get_i64(&c, key, n, 0);
    (void)meta_get_bool(&c, key, n, false);
    uint64_t count = 0;
    const uint8_t* arr = meta_get_f32_array(&c, key, n, &count);
    float sum = 0;
    for (uint64_t i = 0; arr != nullptr && i < count; ++i) sum += meta_f32_at(arr, i);
    (void)sum;
    for (uint64_t i = 0; i < 4; ++i) (void)meta_get_str_list_item(&c, key, n, i);
  }
  (void)resolve_precision(&c, "cpu");
  if (c.weights_data_size <= kMaxHarnessWeightBytes) {
    std::vector<uint8_t> memory;
    if (vexa::testing::load_weights(c, &memory)) (void)container_verify_tensors(&c, memory.data());
  }
}

void open_all_ways(const std::vector<uint8_t>& bytes) {
  const uint64_t size = bytes.size();
  const int fd = vexa::testing::memory_file(bytes);
  if (fd < 0) return;
  for (const uint32_t flags : {0u, vexa::kOpenFlagPlanF32}) {
    vexa::OpenResult r = vexa::container_open_fd(fd, 0, size, flags);
    if (r.ok()) {
      exercise(r.container);
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
  open_all_ways(bytes);
  // Random bytes almost never carry valid digests; a resealed copy lets the mutations reach
  // the section, record and plan checks behind them.
  if (size >= vexa::kContainerHeaderBytes) {
    const uint64_t w = vexa::load_record<uint64_t>(bytes.data() + 48);
    if (w >= vexa::kContainerHeaderBytes && w <= size) {
      vexa::container_seal_plain(bytes.data(), size);
      open_all_ways(bytes);
    }
  }
  return 0;
}
