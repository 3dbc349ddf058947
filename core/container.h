// Opening a .vexa container: every header field, section, record and weight bound is checked
// before anything trusts it. The result holds the metadata region in memory and a private
// duplicate of the descriptor through which the weights are read.
#pragma once

#include <cstdint>

#include "core/container_format.h"

namespace vexa {

struct OpenContainer {
  uint8_t* image;              // metadata region [0, W), owned
  uint64_t image_size;         // W
  int32_t fd;                  // private close-on-exec duplicate, owned; -1 when none
  uint64_t weights_data_size;  // bytes of weight memory needed (f32 total after the plan)
  uint64_t weights_offset;     // W
  uint64_t base_offset;        // container start inside the descriptor's file
  F32Plan* plan;               // owned; null when there is no plan
  uint64_t plan_count;
};

// tag 0: container holds the opened model; tag 1: status holds the PackStatus.
struct OpenResult {
  uint32_t tag;
  OpenContainer container;
  uint64_t status;

  bool ok() const { return tag == 0; }
};

inline constexpr uint32_t kOpenFlagPlanF32 = 1;  // build the f32 expansion plan

// The caller keeps its descriptor and may close it as soon as this returns.
OpenResult container_open_fd(int fd, uint64_t base_offset, uint64_t length, uint32_t flags);
// Opens read-only and calls container_open_fd(fd, 0, size, kOpenFlagPlanF32).
OpenResult container_open_path(const char* path, uint64_t path_length);
// Frees the image and the plan and closes the descriptor; null does nothing.
void container_close(OpenContainer* container);

bool container_check_header(const uint8_t* header, uint64_t length);
bool container_check_tables(OpenContainer* container);
bool container_check_dtype(const OpenContainer* container, uint64_t dtype);
bool container_plan_f32_weights(OpenContainer* container);

// Compares every stored tensor with its digest. Without a plan `weight_memory` is the loaded
// weights laid out as in the file; with a plan the stored bytes are read from the descriptor and
// `weight_memory` is not used.
bool container_verify_tensors(const OpenContainer* container, const void* weight_memory);

// Low-level accessors; offsets are image offsets. The section accessors return 0 for i >= 11.
uint64_t container_read_u64(const uint8_t* image, uint64_t offset);
bool container_range_ok(uint64_t offset, uint64_t length, uint64_t size);
int64_t container_file_size(int fd);
uint64_t container_section_offset(const OpenContainer* container, uint64_t i);
uint64_t container_section_size(const OpenContainer* container, uint64_t i);
uint64_t container_section_stride(const OpenContainer* container, uint64_t i);
uint64_t container_section_count(const OpenContainer* container, uint64_t i);
uint64_t container_entry_offset(const OpenContainer* container, uint64_t i, uint64_t j);
// Positioned reads until n bytes are in; EINTR is retried; n = 0 succeeds without reading.
bool read_fully_at(int fd, void* buffer, uint64_t n, uint64_t offset);

// Typed copies of validated records (j must be below the section's count).
TensorRecord container_tensor_record(const OpenContainer* container, uint64_t j);
uint64_t container_tensor_count(const OpenContainer* container);

}  // namespace vexa
