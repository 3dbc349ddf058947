// The case runner: one prompt through the graph executor, from its input tensors to the case
// result. It uploads the inputs, reuses the key/value cache of an earlier request when the new
// prompt starts with the same tokens, runs the prefill and one decode step per token, checks
// the logits, applies the caller's mask and the output constraint, samples, streams the text
// through the stop-sequence filter, decides when to stop, and reports every step.
//
// Every failure raises DomainError (name = error domain, reason = message), mostly
// "VexaInference"; the caller turns it into an error code.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "generative/vlm_result.h"

namespace vexa {

class VXGraph;
class VXProcessor;
class VXConstraint;

// One input tensor: its bytes either lent by the caller (in-memory cases) or read from a file
// (request files; relative paths are taken against the base directory).
struct CaseInput {
  std::vector<uint64_t> shape;
  uint64_t dtype = 0;                // 1 F16, 2 F32, 3 INT64
  std::span<const uint8_t> data;     // in-memory cases
  bool has_data = false;
  std::string file;                  // file cases
};

struct GenerationCase {
  std::map<std::string, CaseInput> inputs;
  uint64_t max_new_tokens = 0;  // 1..8192
  uint64_t context_length = 0;  // 0 means 2048
  std::vector<int64_t> forced_tokens;  // forced at steps 0, 1, ...
  std::vector<std::string> captures;   // captured on the first run
  bool trace = false;                  // write trace files into the output directory
  const VXProcessor* processor = nullptr;  // null: no text stream, answer ""
  std::vector<std::string> stop;
  const StreamInvocation* invocation = nullptr;  // null for file cases
  bool stream = false;  // without an invocation: print released text to standard output
  VXConstraint* constraint = nullptr;
  std::vector<int64_t> eos_token_ids;
  std::string name = "prompt";
  // False for callers that never read the log-probabilities (the C API's chat path): the
  // result's "token_log_probabilities" stays empty and greedy steps skip their sum over the
  // vocabulary. Tokens, text and everything else are the same.
  bool log_probabilities = true;
  // "temperature", "top_p", "min_p", "top_k", "repetition_penalty", "repetition_window",
  // "seed"; absent keys take the sampler's defaults.
  nlohmann::json sampling = nlohmann::json::object();
};

// Runs one case and returns its result document: "answer", "finish_reason",
// "token_log_probabilities", "name", "prompt_tokens", "generated_token_ids", "runs",
// "kv_cache", "input_prepare_ms", "input_tensor_ms", "input_tensor_stages_ms",
// "case_wall_ms". Directories may be null; traces need an output directory.
nlohmann::json vlm_run_case(VXGraph& graph, const GenerationCase& generation_case,
                            const std::string* base_directory,
                            const std::string* output_directory, bool inputs_in_memory);

// The stream callback that prints released text to standard output as it comes.
int vlm_stream_stdout(void* user_data, const char* text, uint64_t length, int64_t tag);

}  // namespace vexa
