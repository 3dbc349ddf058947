// Answers computed from an output's f32 tensors: top-k classes, L2 normalisation, cosine
// similarity and image tensors turned back into frames. A batched tensor counts by its first item.
#pragma once

#include <cstdint>

#include "api/frame.h"
#include "api/output.h"

namespace vexa {

// Values in the first batch item: count / dims[0] when rank > 1 and dims[0] >= 2 divides count
// exactly, else count.
uint64_t output_first_item_count(const OutputTensor& t);

int32_t compute_top_k_impl(Output* output, int32_t tensor, int32_t k, bool softmax);
int32_t normalize_l2_impl(Output* output, int32_t tensor);
float cosine_similarity_impl(const Output* a, int32_t tensor_a, const Output* b, int32_t tensor_b);
int32_t output_to_frame_impl(const Output* output, int32_t tensor, Frame* frame, float scale,
                             float offset);
// Shared byte conversion of output_to_frame: round(fma(x, scale, offset)) clamped to 0..255.
uint8_t tensor_value_to_byte(float x, float scale, float offset);

}  // namespace vexa
