#include "generative/generate.h"

#include <cstdlib>
#include <cstring>

#include "core/alloc_fault.h"
#include "core/atomics.h"
#include "core/clock.h"
#include "core/domain_error.h"
#include "generative/constraint_handle.h"
#include "generative/generation_case.h"
#include "generative/generation_documents.h"
#include "generative/processor.h"
#include "generative/request_validation.h"
#include "gpu/vx_graph.h"

namespace vexa {

using nlohmann::json;

namespace {

constexpr double kMsPerSecond = 1000.0;
constexpr const char* kSamplingKeys[] = {"temperature", "top_p", "min_p", "top_k",
                                         "repetition_penalty", "repetition_window", "seed"};

RequestSession request_session(const VXSessionState& s) {
  RequestSession r;
  r.context_length = s.params.context_length;
  r.activation_fp16 = s.params.activation_fp16 != 0;
  r.backend_policy = s.backend;
  return r;
}

// The case the runner reads, over the prepared tensors (lent, not copied).
GenerationCase prepared_case(const RequestDocument& doc, const PreparedInputs& prepared) {
  GenerationCase c;
  for (const auto& [name, t] : prepared.tensors) {
    CaseInput in;
    in.shape.assign(t.shape.begin(), t.shape.end());
    in.dtype = t.dtype;
    in.data = t.data;
    in.has_data = true;
    c.inputs.emplace(name, std::move(in));
  }
  const json& d = doc.values;
  c.max_new_tokens = d.at("max_new_tokens").get<uint64_t>();
  c.context_length = d.at("context_length").get<uint64_t>();
  c.stop = d.at("stop").get<std::vector<std::string>>();
  for (const char* key : kSamplingKeys) c.sampling[key] = d.at(key);
  return c;
}

uint32_t finish_code(const std::string& reason) {
  if (reason == "eos") return kFinishEos;
  if (reason == "stop_sequence") return kFinishStopSequence;
  if (reason == "cancelled") return kFinishCancelled;
  return kFinishLength;
}

// Copies the case result into the caller's record; the three arrays are allocated together.
void fill_result(const json& r, VlmResult* result) {
  const std::string& answer = r.at("answer").get_ref<const std::string&>();
  const std::vector<int64_t> ids = r.at("generated_token_ids").get<std::vector<int64_t>>();
  const std::vector<double> log_probs = r.at("token_log_probabilities").get<std::vector<double>>();
  const size_t slots = ids.empty() ? 1 : ids.size();
  auto* text = static_cast<char*>(fault_calloc(answer.size() + 1, 1));
  auto* id_array = static_cast<int64_t*>(fault_calloc(slots, sizeof(int64_t)));
  auto* lp_array = static_cast<double*>(fault_calloc(slots, sizeof(double)));
  if (text == nullptr || id_array == nullptr || lp_array == nullptr) {
    std::free(text);
    std::free(id_array);
    std::free(lp_array);
    throw DomainError(kVlmDomainNoMemory, "Result allocation failed");
  }
  std::memcpy(text, answer.data(), answer.size());
  if (!ids.empty()) std::memcpy(id_array, ids.data(), ids.size() * sizeof(int64_t));
  // One log-probability per sampled id: the two lists grow together.
  if (!log_probs.empty() && log_probs.size() == ids.size()) std::memcpy(lp_array, log_probs.data(), log_probs.size() * sizeof(double));
  result->answer = text;
  result->answer_length = answer.size();
  result->token_ids = id_array;
  result->log_probs = lp_array;
  result->prompt_tokens = r.at("prompt_tokens").get<uint32_t>();
  result->generated_tokens = static_cast<uint32_t>(ids.size());
  result->finish_reason = finish_code(r.at("finish_reason").get<std::string>());
}

}  // namespace

void vlm_result_clear(VlmResult* result) {
  if (result == nullptr) return;
  std::free(result->answer);
  std::free(result->token_ids);
  std::free(result->log_probs);
  std::memset(result, 0, sizeof *result);
}

namespace {

int generate(VlmHandle* handle, const VlmPromptMessage* messages, uint64_t message_count,
             const VlmRequest* request, StopStreamCallback callback, void* user_data,
             bool log_probabilities, VlmResult* result, VlmError* error) {
  if (result == nullptr) {
    if (error != nullptr) {
      std::memset(error, 0, sizeof *error);
      vlm_error_set(error, 1, "Result is required");
    }
    return 0;
  }
  std::memset(result, 0, sizeof *result);
  if (!vlm_enter(handle, error)) return 0;
  atomic_store_u32(&handle->cancel, 0, kOrderSeqCst);
  VXSessionState* session = handle->session;
  VXGraph* graph = nullptr;
  int ok = 0;
  try {
    if (session == nullptr || session->graph == nullptr) {
      throw DomainError(kVlmDomainArgument, "Session is unloaded; reload before generation");
    }
    graph = session->graph.get();
    const double t0 = monotonic_seconds();
    const RequestSession rs = request_session(*session);
    RequestDocument doc = vlm_request_dictionary(&rs, messages, message_count, request);
    const VlmRequest req = request != nullptr ? *request : vlm_request_default();
    const VXProcessor& processor = *session->processor;
    std::unique_ptr<VXConstraint> constraint = processor.constraint_with_params(&req);
    const PreparedInputs prepared = processor.prepare(doc);
    const double t1 = monotonic_seconds();

    StreamInvocation invocation{handle, callback, user_data, req.mask_callback,
                                req.mask_user_data, req.amount_decimals};
    GenerationCase c = prepared_case(doc, prepared);
    c.constraint = constraint.get();
    c.eos_token_ids = processor.eos();
    c.processor = &processor;
    c.invocation = &invocation;
    c.log_probabilities = log_probabilities;
    graph->set_cancel_flag(&handle->cancel);
    json case_result = vlm_run_case(*graph, c, nullptr, nullptr, true);

    fill_result(case_result, result);
    const auto reused = case_result.at("kv_cache").at("reused_prompt_tokens").get<uint32_t>();
    ReportInputs report;
    report.input_preparation_ms = (t1 - t0) * kMsPerSecond;
    report.backend_policy = session->backend;
    report.activation_fp16 = session->params.activation_fp16 != 0;
    report.image_views = prepared.image_views;
    report.image_orientations = prepared.image_orientations;
    report.image_longest_edge = doc.values.at("image_longest_edge");
    report.image_detail = doc.values.at("image_detail");
    report.frontend_stages_ms = prepared.stages_ms;
    session->last_report = generation_report(*graph, report, std::move(case_result));
    result->reused_prompt_tokens = reused;
    result->wall_ms = (monotonic_seconds() - t0) * kMsPerSecond;
    ok = 1;
  } catch (...) {
    vlm_drop_reuse_cache(session);
    vlm_result_clear(result);
    vlm_error_from_exception(std::current_exception(), error);
  }
  if (graph != nullptr) {
    graph->set_cancel_flag(nullptr);
    graph->clear_pool();
  }
  vlm_leave(handle);
  return ok;
}

}  // namespace

int vlm_generate(VlmHandle* handle, const VlmPromptMessage* messages, uint64_t message_count,
                 const VlmRequest* request, StopStreamCallback callback, void* user_data,
                 VlmResult* result, VlmError* error) {
  return generate(handle, messages, message_count, request, callback, user_data, true, result,
                  error);
}

int vlm_generate_answer(VlmHandle* handle, const VlmPromptMessage* messages,
                        uint64_t message_count, const VlmRequest* request,
                        StopStreamCallback callback, void* user_data, VlmResult* result,
                        VlmError* error) {
  return generate(handle, messages, message_count, request, callback, user_data, false, result,
                  error);
}

int vlm_count_tokens(VlmHandle* handle, const VlmPromptMessage* messages, uint64_t message_count,
                     const VlmRequest* request, uint32_t* count_out, VlmError* error) {
  if (count_out == nullptr) {
    if (error != nullptr) {
      std::memset(error, 0, sizeof *error);
      vlm_error_set(error, 1, "Token count output is required");
    }
    return 0;
  }
  *count_out = 0;
  if (!vlm_enter(handle, error)) return 0;
  int ok = 0;
  try {
    const VXSessionState& session = *handle->session;
    const RequestSession rs = request_session(session);
    RequestDocument doc = vlm_request_dictionary(&rs, messages, message_count, request);
    doc.values["count_only"] = true;
    const PreparedInputs prepared = session.processor->prepare(doc);
    *count_out = static_cast<uint32_t>(prepared.prompt_token_ids.size());
    ok = 1;
  } catch (...) {
    vlm_error_from_exception(std::current_exception(), error);
  }
  vlm_leave(handle);
  return ok;
}

int vlm_generate_prompt(VlmHandle* handle, const char* prompt, uint32_t max_new_tokens,
                        VlmResult* result, VlmError* error) {
  const VlmContentItem text{kContentText, prompt, nullptr};
  const VlmPromptMessage turn{"user", &text, 1};
  VlmRequest request = vlm_request_default();
  request.max_new_tokens = max_new_tokens;
  return vlm_generate(handle, &turn, 1, &request, nullptr, nullptr, result, error);
}

int vlm_generate_image_path(VlmHandle* handle, const char* image_path, const char* prompt,
                            uint32_t max_new_tokens, uint32_t tiled, uint32_t image_longest_edge,
                            VlmResult* result, VlmError* error) {
  VlmImageSource image{};
  image.kind = kImageSourcePath;
  image.path = image_path;
  const VlmContentItem items[2] = {{kContentImage, nullptr, &image}, {kContentText, prompt, nullptr}};
  const VlmPromptMessage turn{"user", items, 2};
  VlmRequest request = vlm_request_default();
  request.max_new_tokens = max_new_tokens;
  request.tiled = tiled;
  request.image_longest_edge = image_longest_edge;
  return vlm_generate(handle, &turn, 1, &request, nullptr, nullptr, result, error);
}

}  // namespace vexa
