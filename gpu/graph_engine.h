// The graph-model engine for the GPU and the Neural Engine, as the session drives it. This
// build has no such engine yet: creation fails, every query answers "no", and nothing runs, so
// AUTO sessions end on the CPU engine and explicit GPU or NPU requests fail with the engine's
// message.
#pragma once

#include <cstdint>

#include "core/container.h"
#include "core/expected.h"
#include "gpu/weight_slot.h"

namespace vexa {

struct MpsState;

// tag 0: value is the engine; tag 1: an owned message.
using MpsCreateResult = Expected<MpsState*>;

MpsCreateResult mps_state_create(const OpenContainer* container, void* weights,
                                 GpuContext* context, uint32_t batch, bool ne_capable);
void mps_state_destroy(MpsState** engine);
bool mps_input_ready(MpsState** engine);
bool mps_wrap_output_buffers(MpsState** engine);
bool mps_set_ne(MpsState** engine, bool on);
// 3 Neural Engine, 2 GPU, 0 for no engine.
uint32_t mps_active_backend(MpsState** engine);
// Whether graphs with several inputs can run on this engine.
bool mps_supported();
// Whether an operator kind runs on backend 2 (GPU) or 3 (Neural Engine).
bool mps_supports_op(uint64_t kind, uint32_t backend);
bool mps_run_entry(MpsState** engine, const float* input, float* output);
bool mps_run(MpsState** engine, const float* input, float* output);
bool mps_run_batched(MpsState** engine, uint64_t n, const float* input, float* output);
bool mps_set_input(MpsState** engine, uint64_t value_id, const void* data, uint64_t bytes);
const float* mps_output_pointer(MpsState** engine, uint64_t i);

}  // namespace vexa
