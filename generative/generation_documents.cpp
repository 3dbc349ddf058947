#include "generative/generation_documents.h"

#include <sys/resource.h>

#include "gpu/vx_graph.h"

namespace vexa {

using nlohmann::json;

namespace {

// getrusage reports the peak resident set in kibibytes on Linux.
constexpr uint64_t kRusageUnitBytes = 1024;

}  // namespace

CacheCounters cache_counters(const VXGraph& graph) {
  return {graph.cache_written_elements(), graph.cache_copied_elements(),
          graph.cache_buffer_count(), graph.cache_reserved_bytes()};
}

json step_record(const VXGraph& graph, uint64_t step, double wall_ms, int64_t token, json outputs,
                 double token_selection_ms, double trace_write_ms) {
  return {{"step", step},
          {"wall_ms", wall_ms},
          {"encode_ms", graph.last_encode_ms()},
          {"gpu_ms", graph.last_gpu_ms()},
          {"token", token},
          {"outputs", std::move(outputs)},
          {"profile", profile_records_json(graph.last_profile())},
          {"token_selection_ms", token_selection_ms},
          {"trace_write_ms", trace_write_ms},
          {"decode_state_prepare_ms", 0.0}};
}

json kv_cache_summary(const VXGraph& graph, const CacheCounters& since,
                      uint64_t reused_prompt_tokens) {
  const CacheCounters now = cache_counters(graph);
  return {{"reused_prompt_tokens", reused_prompt_tokens},
          {"policy", "preallocated"},
          {"capacity_tokens", graph.cache_capacity()},
          {"buffers", now.buffers - since.buffers},
          {"reserved_bytes", now.reserved_bytes - since.reserved_bytes},
          {"appended_elements", now.written - since.written},
          {"copied_history_elements", now.copied - since.copied}};
}

json case_result(CaseOutcome o) {
  return {{"answer", std::move(o.answer)},
          {"finish_reason", std::move(o.finish_reason)},
          {"token_log_probabilities", std::move(o.log_probabilities)},
          {"name", std::move(o.name)},
          {"prompt_tokens", o.prompt_tokens},
          {"generated_token_ids", std::move(o.generated)},
          {"runs", std::move(o.runs)},
          {"kv_cache", std::move(o.kv_cache)},
          {"input_prepare_ms", o.input_prepare_ms},
          {"input_tensor_ms", std::move(o.input_tensor_ms)},
          {"input_tensor_stages_ms", std::move(o.input_tensor_stages_ms)},
          {"case_wall_ms", o.case_wall_ms}};
}

json generation_report(const VXGraph& graph, const ReportInputs& in, json result) {
  json report = json::object();
  report["input_preparation_ms"] = in.input_preparation_ms;
  report["diagnostic_profile"] = graph.profile();
  report["schema_version"] = 1;
  report["frontend"] = "native";
  report["backend"] = graph.backend_name();
  report["backend_policy"] = in.backend_policy;
  report["weight_dtype"] = graph.weight_dtype();
  report["weight_execution"] = graph.weight_execution();
  report["activation_dtype"] = in.activation_fp16 ? "fp16" : "fp32";
  report["device"] = graph.device() != nullptr ? std::string(graph.device()->name()) : std::string();
  report["answer"] = result.value("answer", "");
  report["finish_reason"] = result.value("finish_reason", "");
  report["cases"] = json::array();
  report["cases"].push_back(std::move(result));
  report["image_views"] = in.image_views;
  report["image_orientations"] = in.image_orientations;
  report["image_longest_edge"] = in.image_longest_edge;
  report["image_detail"] = in.image_detail;
  report["frontend_stages_ms"] = in.frontend_stages_ms;
  report["max_rss_bytes"] = max_rss_bytes();
  report["peak_observed_metal_allocated_bytes"] = graph.peak_metal_allocated_bytes();
  return report;
}

uint64_t max_rss_bytes() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0 || usage.ru_maxrss < 0) return 0;
  return static_cast<uint64_t>(usage.ru_maxrss) * kRusageUnitBytes;
}

}  // namespace vexa
