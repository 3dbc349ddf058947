// Device probes behind vexa_probe_backend. This machine has no GPU stand-in yet, so the GPU
// weight-slot request fails and there is no Neural Engine; the GPU backend replaces these bodies
// with weight_slot_alloc / buffer_release and gpu_has_ane.
#include "api/config.h"

namespace vexa {

bool probe_gpu_weight_slot(uint64_t bytes) {
  (void)bytes;
  return false;
}

bool probe_has_neural_engine() { return false; }

}  // namespace vexa
