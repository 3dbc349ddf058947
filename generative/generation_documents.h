// The documents a generation leaves behind, as JSON objects: one record per graph run, the
// key/value cache summary, the case result and the generation report a session keeps after
// each request. The runners write them as they are, so every key is also a JSON key.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vexa {

class VXGraph;

// The graph's key/value counters at one moment; a case reports what it added to them.
struct CacheCounters {
  uint64_t written = 0;
  uint64_t copied = 0;
  uint64_t buffers = 0;
  uint64_t reserved_bytes = 0;
};
CacheCounters cache_counters(const VXGraph& graph);

// {"step", "wall_ms", "encode_ms", "gpu_ms", "token", "outputs", "profile",
//  "token_selection_ms", "trace_write_ms", "decode_state_prepare_ms"}; the timings the graph
// knows (encode, device time, profile) come from its last run.
nlohmann::json step_record(const VXGraph& graph, uint64_t step, double wall_ms, int64_t token,
                           nlohmann::json outputs, double token_selection_ms,
                           double trace_write_ms);

// {"reused_prompt_tokens", "policy": "preallocated", "capacity_tokens", "buffers",
//  "reserved_bytes", "appended_elements", "copied_history_elements"}, the counters taken as
// the difference from `since`.
nlohmann::json kv_cache_summary(const VXGraph& graph, const CacheCounters& since,
                                uint64_t reused_prompt_tokens);

struct CaseOutcome {
  std::string answer;
  std::string finish_reason;  // "length", "eos", "stop_sequence" or "cancelled"
  std::vector<double> log_probabilities;
  std::string name;
  uint64_t prompt_tokens = 0;
  std::vector<int64_t> generated;
  nlohmann::json runs = nlohmann::json::array();
  nlohmann::json kv_cache = nlohmann::json::object();
  double input_prepare_ms = 0;
  nlohmann::json input_tensor_ms = nlohmann::json::object();
  nlohmann::json input_tensor_stages_ms = nlohmann::json::object();
  double case_wall_ms = 0;
};
// The twelve keys of a case result; the outcome's lists move into it.
nlohmann::json case_result(CaseOutcome outcome);

// What the generation report takes from the request beyond the case result.
struct ReportInputs {
  double input_preparation_ms = 0;
  std::string backend_policy;
  bool activation_fp16 = false;
  nlohmann::json image_views = 0;
  nlohmann::json image_orientations = nlohmann::json::array();
  nlohmann::json image_longest_edge = 0;
  nlohmann::json image_detail = "single";
  nlohmann::json frontend_stages_ms = nlohmann::json::object();
};
// The twenty keys of a generation report, in the order they are built, around one case result
// (moved in when the caller no longer needs it).
nlohmann::json generation_report(const VXGraph& graph, const ReportInputs& inputs,
                                 nlohmann::json case_result);

// Peak resident set size of this process in bytes (0 when unknown).
uint64_t max_rss_bytes();

}  // namespace vexa
