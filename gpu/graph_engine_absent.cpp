// The graph engine of builds without a GPU device (see graph_engine.h).
#include "gpu/graph_engine.h"

namespace vexa {

MpsCreateResult mps_state_create(const OpenContainer*, void*, GpuContext*, uint32_t, bool) {
  return expected_error<MpsState*>("GPU graph engine is not available in this build");
}

void mps_state_destroy(MpsState**) {}
bool mps_input_ready(MpsState**) { return false; }
bool mps_wrap_output_buffers(MpsState** engine) { return engine != nullptr && *engine != nullptr; }
bool mps_set_ne(MpsState**, bool) { return false; }
uint32_t mps_active_backend(MpsState**) { return 0; }
bool mps_supported() { return false; }
bool mps_supports_op(uint64_t, uint32_t) { return false; }
bool mps_run_entry(MpsState**, const float*, float*) { return false; }
bool mps_run(MpsState**, const float*, float*) { return false; }
bool mps_run_batched(MpsState**, uint64_t, const float*, float*) { return false; }
bool mps_set_input(MpsState**, uint64_t, const void*, uint64_t) { return false; }
const float* mps_output_pointer(MpsState**, uint64_t) { return nullptr; }

}  // namespace vexa
