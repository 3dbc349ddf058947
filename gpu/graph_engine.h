// The graph-model engine of the GPU and the Neural Engine, as the session drives it: one MpsState
// per opened model, built once from the container graph on the graph library (platform/graph.h)
// and run through its feeds and results or through compiled executables.
//
//   MpsCreateResult r = mps_state_create(&container, slot.data, slot.context, batch, false);
//   MpsState* engine = r.value;                          // r.ok() checked first
//   if (!mps_uses_slot_weights(&engine)) mps_binding_release(&slot);
//   if (outputs >= 2) mps_prepare_output_buffers(&engine);
//   mps_run(&engine, input, output);                    // output 0; others via mps_output_pointer
//   mps_state_destroy(&engine);
//
// Every operation takes a state handle (the address of the variable holding the state) and
// accepts an empty one. Runs report only success or failure; the session maps a failure to its
// engine error.
#pragma once

#include <cstdint>

#include "core/container.h"
#include "core/expected.h"
#include "gpu/weight_slot.h"

namespace vexa {

struct MpsState;
using MpsHandle = MpsState**;

// tag 0: value is the engine; tag 1: an owned message.
using MpsCreateResult = Expected<MpsState*>;

// Limits of one state.
inline constexpr uint64_t kMpsMaxValues = 32768;
inline constexpr uint64_t kMpsMaxInputs = 8;
inline constexpr uint64_t kMpsMaxOutputs = 64;
inline constexpr uint64_t kMpsMaxFeeds = 8192;

// Builds the engine over the weights already loaded in a GPU slot (data and context of the
// slot). neural_engine true builds for the Neural Engine: no GPU precision setting is consulted
// and the graph computes in f32 until it is compiled for the Neural Engine.
MpsCreateResult mps_state_create(const OpenContainer* container, const void* slot_data,
                                 GpuContext* context, uint64_t batch, bool neural_engine);
// Batch 1, built for the Neural Engine.
MpsCreateResult mps_state_create_default(const OpenContainer* container, const void* slot_data,
                                         GpuContext* context);
// Releases everything the state owns; the variable is not cleared. Nothing for an empty handle.
void mps_state_destroy(MpsHandle handle);

// The graph reads its weights from the slot's buffer at run time, so the slot must stay.
bool mps_uses_slot_weights(MpsHandle handle);
bool mps_uses_private_weights(MpsHandle handle);
uint64_t mps_output_count(MpsHandle handle);
// This backend is part of every build.
bool mps_supported();

// One inference of the state's batch: output 0 to `output`, the other outputs in the state's
// buffers. A final YoloNms node runs on the CPU kernel.
bool mps_run(MpsHandle handle, const float* input, float* output);
// The session's warm-up run: mps_run.
bool mps_run_entry(MpsHandle handle, const float* input, float* output);
// `samples` samples in executions of the state's batch; a last partial execution goes through
// the state's own buffers, so the caller's buffers need to hold `samples` samples only.
bool mps_run_batched(MpsHandle handle, uint64_t samples, const float* input, float* output);
bool mps_run_samples(MpsHandle handle, uint64_t samples, const float* input, float* output);

// Floats mps_run_batched(samples) reads from its input and writes to its output; samples 0
// stands for mps_run (one execution). Callers size their buffers with these.
uint64_t mps_input_floats(MpsHandle handle, uint64_t samples);
uint64_t mps_output_floats(MpsHandle handle, uint64_t samples);

// Copies f32 data into the buffer of the graph input with that value id.
bool mps_set_input(MpsHandle handle, uint64_t value_id, const void* data, uint64_t bytes);
// Result buffers of outputs 1.. (the session calls it for models with two or more outputs).
// False for an empty handle, or when a buffer cannot be made: runs then fail rather than leave
// that output stale.
bool mps_prepare_output_buffers(MpsHandle handle);
// The f32 data of output i after a run; null past the outputs or before its buffer exists.
const float* mps_output_pointer(MpsHandle handle, uint64_t i);
// Bytes of f32 data mps_output_pointer(i) holds; 0 when it holds none.
uint64_t mps_output_byte_size(MpsHandle handle, uint64_t i);

// 0 for an empty handle, 2 GPU, 3 Neural Engine (compiling it now if it was requested).
uint32_t mps_active_backend(MpsHandle handle);
// Turns the Neural Engine target on (compiling it; false when that fails) or off.
bool mps_set_ne(MpsHandle handle, bool on);
// Compiles the Neural Engine executable; false when the graph or the device cannot have one.
bool mps_compile_ne(MpsState* state);

// Whether an operator kind runs on backend 2 (GPU) or 3 (Neural Engine).
bool mps_supports_op(uint64_t kind, uint32_t backend);

// f32 <-> binary16 arrays as the Neural Engine path moves them. To f16 rounds half away from
// zero on the magnitude and keeps NaN a NaN; to f32 is exact.
void convert_f32_to_f16(const float* source, uint16_t* destination, uint64_t n);
void convert_f16_to_f32(const uint16_t* source, float* destination, uint64_t n);

}  // namespace vexa
