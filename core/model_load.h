// Model loading: the container opener wrapped with the checks and fixed texts that sessions
// report, under one process-wide recursive lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string_view>

#include "core/container.h"
#include "core/expected.h"
#include "core/types.h"

namespace vexa {

// tag 0: value is an opened container (f32 plan applied to graph models), owned by the caller
// (container_close). tag 1: error holds the text, which the caller frees
// (expected_message_free).
using ModelLoadResult = Expected<OpenContainer>;

ModelLoadResult model_load_fd(int fd, uint64_t base_offset, uint64_t length);
ModelLoadResult model_load_path(const char* path, uint64_t path_length);
// Exact comparison of a loader text with the table of I/O, memory and integrity texts; any
// other text is an invalid model.
ErrorCode model_error_code(const char* text, uint64_t length);

// The lock model loads run under; held by model_load_fd for its whole duration.
std::recursive_mutex& model_load_lock();

}  // namespace vexa
