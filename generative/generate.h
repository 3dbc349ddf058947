// One generation request on an open session: guard the handle, build and check the request
// dictionary, compile the output constraint, prepare the model inputs, run the case, and hand
// back the answer, the token ids and log-probabilities, the counts and the finish reason. The
// session keeps the generation report of its last successful request.
//
// Every entry returns 1 on success and 0 on failure with the error record (when given) filled;
// no exception leaves them. On failure nothing of a partial answer reaches the caller, the
// reuse cache is dropped and the session stays usable.
#pragma once

#include <cstdint>

#include "generative/request_records.h"
#include "generative/vlm_result.h"
#include "generative/vlm_session.h"

namespace vexa {

// `request` null means vlm_request_default(); `callback` receives each piece of released
// answer text and may stop the generation ("cancelled") by returning non-zero.
int vlm_generate(VlmHandle* handle, const VlmPromptMessage* messages, uint64_t message_count,
                 const VlmRequest* request, StopStreamCallback callback, void* user_data,
                 VlmResult* result, VlmError* error);

// vlm_generate for callers that read the answer, the counts and the finish reason but never
// the log-probabilities: the result's log_probs are zeros and the report lists none, which
// spares greedy decoding a pass of exp() over the vocabulary at every token. Everything else,
// the tokens included, is what vlm_generate gives.
int vlm_generate_answer(VlmHandle* handle, const VlmPromptMessage* messages,
                        uint64_t message_count, const VlmRequest* request,
                        StopStreamCallback callback, void* user_data, VlmResult* result,
                        VlmError* error);

// The prompt length in tokens of a request, without running the model.
int vlm_count_tokens(VlmHandle* handle, const VlmPromptMessage* messages, uint64_t message_count,
                     const VlmRequest* request, uint32_t* count_out, VlmError* error);

// One "user" turn holding the prompt; the other settings are the defaults.
int vlm_generate_prompt(VlmHandle* handle, const char* prompt, uint32_t max_new_tokens,
                        VlmResult* result, VlmError* error);
// One "user" turn holding the image file, then the prompt.
int vlm_generate_image_path(VlmHandle* handle, const char* image_path, const char* prompt,
                            uint32_t max_new_tokens, uint32_t tiled, uint32_t image_longest_edge,
                            VlmResult* result, VlmError* error);

}  // namespace vexa
