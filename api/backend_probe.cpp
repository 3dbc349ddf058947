// Device probes behind vexa_probe_backend: a GPU-resident weight slot that can be allocated and
// released, and the device's Neural Engine.
#include "api/config.h"
#include "gpu/weight_slot.h"

namespace vexa {

bool probe_gpu_weight_slot(uint64_t bytes) {
  WeightSlotResult r = weight_slot_alloc(bytes, true);
  if (!r.ok()) return false;
  buffer_release(&r.slot);
  return true;
}

bool probe_has_neural_engine() { return gpu_has_ane(); }

}  // namespace vexa
