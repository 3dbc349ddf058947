// Entry points that drive the generative engine from files and from a command line rather than
// from the C API: a runner for JSON request files of tensor cases that writes a result
// manifest, and the chain from a command-line options dictionary to one generation with an
// optional JSON report. Nothing inside the library calls them; the front ends in tools/ do.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "generative/generate.h"
#include "generative/generation_case.h"

namespace vexa {

struct GpuContext;

// Runs every case of the request file at `request_path` on a graph built over `context` and the
// model's metadata region, and writes "result.json" into `output_directory` (each case's trace
// files go to "case<i>" inside it). Failures print "vexa inference: <message>" on standard error
// and return false; no manifest is written then.
bool vlm_run_inference_request(const GpuContext* context, const uint8_t* metadata,
                               uint64_t metadata_length, const char* request_path,
                               const char* output_directory);

// One case document of a request file as the case runner reads it: "inputs" (name ->
// {"shape", "dtype", "file"}), "max_new_tokens", "context_length", "forced_tokens", "captures",
// "trace", "stop", "stream", "name" and the sampling keys. A wrongly typed value raises
// DomainError("VexaInference", "Invalid inference case").
GenerationCase generation_case_from_json(const nlohmann::json& document);

// Opens "model", runs the request the options describe and, with "report", writes the session's
// generation report with the loader's timings. 1 on success; 0 with the error filled. The
// handle is destroyed before returning.
int vlm_generate_with_report(const nlohmann::json& options, VlmResult* result, VlmError* error);

// Builds the messages ("messages", or one user turn of "image" then "prompt") and the request
// (max_new_tokens, sampling, image detail and edge, crop, stops; "json_schema" and
// "amount_decimals" when present) from the options and calls vlm_generate.
int vlm_generate_from_options(VlmHandle* handle, const nlohmann::json& options,
                              StopStreamCallback callback, void* user_data, VlmResult* result,
                              VlmError* error);

// vlm_generate_with_report, then the answer (unless it was streamed) and a line break on
// standard output, or "vexa: [<code>] <message>" on standard error. Non-zero on success.
int vlm_cli_generate(const nlohmann::json& options);

}  // namespace vexa
