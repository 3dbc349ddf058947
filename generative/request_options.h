// From a request dictionary to the options of one request preparation. Image bytes leave the
// messages: each image item with "data" or "pixels" becomes an ImageInput that borrows the
// bytes, and the item refers to it by "image_index".
#pragma once

#include "generative/model_config.h"
#include "generative/request_document.h"

namespace vexa {

// Keys read (a missing or null key reads as empty, 0 or false): "prompt", "image",
// "image_detail" ("single"), "image_longest_edge" (0 gives 512), "max_new_tokens",
// "context_length" (0 gives 2048), "activation" ("fp16" gives F16 activations, anything else
// F32), "count_only", "causal_mask", "image_crop", "messages", and when there are no messages
// "image_data" / "image_pixels". A count that is not a whole number in 0..2^32-1 reads as
// 2^32-1, which every range check refuses, instead of wrapping into range.
//
// Throws DomainError("VexaFrontend") "Invalid request" (not an object), "Invalid messages",
// "Invalid message", "Invalid content", "Invalid image data"; a wrongly typed value throws
// the JSON library's type error. The options' images point into `request` and the ranges it
// lends, so they are valid only as long as those are.
ProcessorOptions processor_options_from_request(const RequestDocument& request);

}  // namespace vexa
