#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <set>

#include "core/alloc_fault.h"
#include "core/atomics.h"
#include "core/checked_math.h"
#include "core/clock.h"
#include "core/domain_error.h"
#include "generative/case_tensors.h"
#include "generative/constraint_handle.h"
#include "generative/generation_case.h"
#include "generative/generation_documents.h"
#include "generative/processor.h"
#include "generative/sampler.h"
#include "generative/stop_stream.h"
#include "generative/tensor_dump.h"
#include "generative/vlm_session.h"
#include "gpu/kernels/bandwidth_kernels.h"

namespace vexa {

using nlohmann::json;

namespace {

constexpr double kMsPerSecond = 1000.0;
constexpr uint64_t kMaxNewTokens = 8192;
constexpr uint64_t kBoundaryPositions = 8;

constexpr const char* kInputIds = "input_ids";
constexpr const char* kPositionIds = "position_ids";
constexpr const char* kTextMask = "text_attention_mask";
constexpr const char* kPixelValues = "pixel_values";
constexpr const char* kImagePositions = "image_token_positions";
constexpr const char* kVisionInputs[] = {"pixel_values", "patch_position_ids",
                                         "vision_attention_mask", "image_token_positions"};

constexpr const char* kFinishLengthText = "length";
constexpr const char* kFinishEosText = "eos";
constexpr const char* kFinishStopText = "stop_sequence";
constexpr const char* kFinishCancelledText = "cancelled";

[[noreturn]] void raise(const char* domain, const std::string& message) {
  throw DomainError(domain, message);
}
[[noreturn]] void raise_inference_error(const std::string& message) {
  raise(kVlmDomainInference, message);
}

double ms_between(double a, double b) { return (b - a) * kMsPerSecond; }

bool cancel_requested(const StreamInvocation* invocation) {
  return invocation != nullptr && invocation->handle != nullptr &&
         atomic_load_u32(&invocation->handle->cancel, kOrderSeqCst) != 0;
}

struct StreamDeleter {
  void operator()(StopStream* s) const { stop_stream_destroy(s); }
};
using StreamPtr = std::unique_ptr<StopStream, StreamDeleter>;

// The last position's logits as f32 (FP16 widened). Every form of the widening gives the same
// bits; for 49,280 ids on AMD EPYC (Zen 4) the AVX-512 form takes 2.9 us, the scalar loop 42.
void read_last_logits(const VXGraph& graph, const VXTensorPtr& logits, std::vector<float>* out) {
  if (logits == nullptr || logits->shape.empty() || logits->shape.back() == 0 ||
      logits->dtype != graph.activation()) {
    raise_inference_error("Logits shape");
  }
  const uint64_t vocab = logits->shape.back();
  const uint64_t element = vx_element_bytes(logits->dtype);
  if (logits->count < vocab || logits->buffer == nullptr || logits->buffer->contents() == nullptr ||
      !range_within(logits->offset, logits->count * element, logits->buffer->length())) {
    raise_inference_error("Logits shape");
  }
  const uint8_t* last = static_cast<const uint8_t*>(logits->buffer->contents()) + logits->offset +
                        (logits->count - vocab) * element;
  out->resize(static_cast<size_t>(vocab));
  if (logits->dtype == kVXDtypeF16) {
    bandwidth_kernels().widen_f16(reinterpret_cast<const uint16_t*>(last), out->data(), vocab);
  } else {
    std::memcpy(out->data(), last, static_cast<size_t>(vocab * sizeof(float)));
  }
}

void raise_sample_status(uint32_t status) {
  switch (status) {
    case kSampleInvalidArgument: raise(kVlmDomainArgument, "Invalid sampling parameters");
    case kSampleNoCandidate: raise(kVlmDomainArgument, "Token mask excludes entire vocabulary");
    case kSampleNonFinite: raise_inference_error("Nonfinite logits");
    default: raise_inference_error("Sampling allocation failed");
  }
}

// The checks the loop needs before it reads the prompt tensors on the host.
struct PromptShape {
  uint64_t n = 0;
  bool has_mask = false;  // a non-empty n x n mask
};

PromptShape check_budget(const GenerationCase& c, const UploadedInputs& in, uint64_t activation) {
  if (c.max_new_tokens - 1 >= kMaxNewTokens) raise_inference_error("max_new_tokens must be 1..8192");
  const uint64_t context = c.context_length == 0 ? kVlmDefaultContextLength : c.context_length;
  auto ids = in.tensors.find(kInputIds);
  const bool shaped = ids != in.tensors.end() && ids->second->shape.size() == 2 &&
                      ids->second->shape[0] == 1 && ids->second->shape[1] >= 1;
  if (!shaped || ids->second->shape[1] > context || c.max_new_tokens > context - ids->second->shape[1]) {
    raise_inference_error("Prompt plus output exceeds context budget");
  }
  // The loop reads these on the host: their element type and count must be what it reads.
  if (ids->second->dtype != kVXDtypeI64) raise_inference_error("Missing/invalid input input_ids");
  PromptShape p;
  p.n = ids->second->shape[1];
  auto positions = in.tensors.find(kPositionIds);
  if (positions != in.tensors.end() &&
      (positions->second->dtype != kVXDtypeI64 || positions->second->count != p.n)) {
    raise_inference_error("Missing/invalid input position_ids");
  }
  auto mask = in.tensors.find(kTextMask);
  if (mask != in.tensors.end() && mask->second->count > 0) {
    if (mask->second->count != p.n * p.n || mask->second->dtype != activation) {
      raise_inference_error("Initial attention mask");
    }
    p.has_mask = true;
  }
  return p;
}

// Prompt tokens whose keys and values the graph still holds from the previous request.
uint64_t reusable_prefix(const VXGraph& graph, const std::vector<int64_t>& sequence,
                         std::span<const uint8_t> pixels, const UploadedInputs& in) {
  const std::vector<int64_t>& cached = graph.cached_tokens();
  if (cached.empty()) return 0;
  const std::vector<uint8_t>& cached_pixels = graph.cached_pixels();
  if (cached_pixels.size() != pixels.size() ||
      (!pixels.empty() && std::memcmp(cached_pixels.data(), pixels.data(), pixels.size()) != 0)) {
    return 0;
  }
  // The last prompt token is always recomputed: its logits start the answer.
  const uint64_t limit = std::min<uint64_t>(cached.size(), sequence.size() - 1);
  uint64_t r = 0;
  while (r < limit && cached[r] == sequence[r]) ++r;
  auto positions = in.tensors.find(kImagePositions);
  if (positions != in.tensors.end()) {
    if (positions->second->dtype != kVXDtypeI64) return 0;
    const std::span<const uint8_t> bytes = in.host.at(kImagePositions);
    // Reuse survives only when every image token lies inside the reused prefix.
    for (uint64_t i = 0; i < positions->second->count; ++i) {
      if (host_i64(bytes, i) >= static_cast<int64_t>(r)) return 0;
    }
  }
  return r;
}

// The prefill inputs when the first r prompt positions come from the cache.
VXTensorMap prefix_inputs(VXGraph& graph, const UploadedInputs& in, const PromptShape& prompt,
                          const std::vector<int64_t>& sequence, uint64_t r) {
  VXTensorMap feed = in.tensors;
  const uint64_t n = prompt.n;
  const uint64_t rest = n - r;
  feed[kInputIds] = upload_tensor(graph, {1, rest}, kVXDtypeI64, sequence.data() + r);
  if (in.tensors.count(kPositionIds) != 0) {
    const std::span<const uint8_t> positions = in.host.at(kPositionIds);
    feed[kPositionIds] = upload_tensor(graph, {1, rest}, kVXDtypeI64, positions.data() + r * 8);
  }
  if (in.tensors.count(kTextMask) != 0) {
    if (prompt.has_mask) {
      const uint64_t element = vx_element_bytes(graph.activation());
      feed[kTextMask] = upload_tensor(graph, {1, 1, rest, n}, graph.activation(),
                                      in.host.at(kTextMask).data() + r * n * element);
    } else {
      feed[kTextMask] = graph.tensor({1, 1, 0, 0}, graph.activation());
    }
  }
  for (const char* name : kVisionInputs) {
    auto it = in.tensors.find(name);
    if (it != in.tensors.end()) feed[name] = empty_leading_tensor(graph, *it->second);
  }
  for (const auto& [name, cached] : graph.cached_kv()) feed[name] = cache_prefix_view(*cached, r);
  return feed;
}

// Moves `inputs` (those of step s) on to those of decode step s + 1 after `token`, in place:
// the token, its position, the mask row, empty vision inputs and the grown caches replace their
// entries; every other entry is the initial tensor. A replaced tensor goes back to the pool
// unless it is an initial input or a cache tensor, and only after every new tensor is taken,
// so that no buffer still named by the old step (two entries may share one) is handed out
// twice.
void advance_inputs(VXGraph& graph, const UploadedInputs& in, const PromptShape& prompt,
                    uint64_t s, int64_t token, const VXTensorMap& cache, VXTensorMap* inputs) {
  const VXTensorPtr* vision[std::size(kVisionInputs)];
  for (size_t i = 0; i < std::size(kVisionInputs); ++i) {
    auto it = in.tensors.find(kVisionInputs[i]);
    if (it == in.tensors.end()) raise_inference_error("Missing VLM input");
    vision[i] = &it->second;
  }
  // Only the entries of step 0 can still be initial tensors; later ones were made here.
  const bool first = s == 0;
  std::vector<VXTensorPtr> retired;
  retired.reserve(std::size(kVisionInputs) + 3);
  auto replace = [&](VXTensorPtr* slot, VXTensorPtr t) {
    if (*slot != nullptr && *slot != t) {
      bool initial = false;
      if (first) {
        for (const auto& [name, u] : in.tensors) initial = initial || u == *slot;
      }
      // The pool never takes cache tensors back.
      if (!initial && (*slot)->cache_stride == 0) retired.push_back(std::move(*slot));
    }
    *slot = std::move(t);
  };

  const uint64_t n = prompt.n;
  replace(&(*inputs)[kInputIds], upload_tensor(graph, {1, 1}, kVXDtypeI64, &token));
  const auto position = static_cast<int64_t>(n + s);
  replace(&(*inputs)[kPositionIds], upload_tensor(graph, {1, 1}, kVXDtypeI64, &position));
  if (prompt.has_mask) {
    VXTensorPtr row = graph.tensor({1, 1, 1, n + s + 1}, graph.activation());
    const uint64_t element = vx_element_bytes(graph.activation());
    auto* dst = static_cast<uint8_t*>(row->buffer->contents()) + row->offset;
    std::memset(dst, 0, static_cast<size_t>(row->count * element));
    std::memcpy(dst, in.host.at(kTextMask).data() + (n - 1) * n * element,
                static_cast<size_t>(n * element));
    replace(&(*inputs)[kTextMask], std::move(row));
  } else {
    replace(&(*inputs)[kTextMask], graph.tensor({1, 1, 0, 0}, graph.activation()));
  }
  for (size_t i = 0; i < std::size(kVisionInputs); ++i) {
    replace(&(*inputs)[kVisionInputs[i]], empty_leading_tensor(graph, **vision[i]));
  }
  // Both maps are in name order: one walk finds every cache entry's slot.
  auto slot = inputs->begin();
  for (const auto& [name, t] : cache) {
    while (slot != inputs->end() && slot->first < name) ++slot;
    if (slot == inputs->end() || slot->first != name) {
      slot = inputs->emplace_hint(slot, name, nullptr);
    }
    replace(&slot->second, t);
  }
  if (first) {
    // A reused prefix fed views of the old cache: an entry not replaced above returns to its
    // initial tensor, or leaves when there is none.
    for (auto it = inputs->begin(); it != inputs->end();) {
      const std::string& name = it->first;
      const bool replaced = name == kInputIds || name == kPositionIds || name == kTextMask ||
                            std::find(std::begin(kVisionInputs), std::end(kVisionInputs), name) !=
                                std::end(kVisionInputs) ||
                            cache.count(name) != 0;
      if (replaced) {
        ++it;
        continue;
      }
      auto initial = in.tensors.find(name);
      if (initial != in.tensors.end()) {
        replace(&it->second, initial->second);
        ++it;
      } else {
        replace(&it->second, nullptr);
        it = inputs->erase(it);
      }
    }
  }
  for (const VXTensorPtr& t : retired) graph.recycle(t);
}

// Trace files of one step; returns the step's "outputs".
json write_trace(const std::string* output_directory, uint64_t s, const VXRunResult& run,
                 uint64_t vocab) {
  if (output_directory == nullptr) raise_inference_error("Trace directory");
  char step_name[32];
  std::snprintf(step_name, sizeof step_name, "step%lu", static_cast<unsigned long>(s));
  const std::string dir = *output_directory + "/" + step_name;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec)) raise_inference_error("Trace directory");
  json outputs = json::object();
  const VXTensor& logits = *run.logits;
  outputs["logits_last"] =
      vlm_dump_tensor(logits, "logits_last", dir, (logits.count - vocab) * vx_element_bytes(logits.dtype),
                      {1, 1, vocab});
  if (s == 0) {
    for (const auto& [name, t] : run.captures) {
      const std::string entry = "boundary/" + name;
      try {
        if (t->shape.size() >= 2 && t->shape[1] > kBoundaryPositions) {
          outputs[entry] = vlm_dump_leading_positions(*t, entry, dir, kBoundaryPositions);
        } else {
          outputs[entry] = vlm_dump_tensor(*t, entry, dir, 0, t->shape);
        }
      } catch (const DomainError&) {
        raise_inference_error("Writing boundary tensor");
      }
    }
  }
  for (const auto& [name, t] : run.cache) outputs[name] = vlm_dump_tensor(*t, name, dir, 0, t->shape);
  return outputs;
}

}  // namespace

int vlm_stream_stdout(void*, const char* text, uint64_t length, int64_t) {
  if (text != nullptr && length > 0) std::fwrite(text, 1, static_cast<size_t>(length), stdout);
  std::fflush(stdout);
  return 0;
}

json vlm_run_case(VXGraph& graph, const GenerationCase& c, const std::string* base_directory,
                  const std::string* output_directory, bool inputs_in_memory) {
  const double t_start = monotonic_seconds();
  if (output_directory != nullptr) {
    std::error_code ec;
    std::filesystem::create_directories(*output_directory, ec);
    if (ec || !std::filesystem::is_directory(*output_directory, ec)) {
      raise_inference_error("Output directory");
    }
  }
  CaseOutcome outcome;
  outcome.name = c.name;

  UploadedInputs in = upload_case_inputs(graph, c, base_directory, inputs_in_memory);
  outcome.input_tensor_ms = std::move(in.tensor_ms);
  outcome.input_tensor_stages_ms = std::move(in.stages_ms);
  const PromptShape prompt = check_budget(c, in, graph.activation());
  const uint64_t n = prompt.n;
  outcome.prompt_tokens = n;

  // Every key/value buffer of this case is reserved for the whole request at once.
  graph.set_cache_capacity(n + c.max_new_tokens);
  const CacheCounters counters_at_start = cache_counters(graph);

  const std::set<std::string> captures(c.captures.begin(), c.captures.end());
  const double t_inputs = monotonic_seconds();
  const SamplingParams params = sampling_params_from_dictionary(c.sampling);
  uint64_t random_state = params.seed;

  std::vector<const char*> stops;
  try {
    alloc_fault_check();
    stops.reserve(std::max<size_t>(c.stop.size(), 1));
  } catch (const std::bad_alloc&) {
    raise_inference_error("Stop allocation failed");
  }
  for (const std::string& stop : c.stop) {
    if (stop.empty()) raise_inference_error("Invalid stop sequence");
    stops.push_back(stop.c_str());
  }
  const StreamInvocation* invocation = c.invocation;
  StreamPtr stream;
  if (c.processor != nullptr) {
    StopStreamCallback callback = nullptr;
    void* user = nullptr;
    if (invocation != nullptr) {
      callback = invocation->callback;
      user = invocation->user_data;
    } else if (c.stream) {
      callback = vlm_stream_stdout;
    }
    if (alloc_fault_take()) raise_inference_error("Stream allocation failed");
    stream.reset(stop_stream_create(stops.data(), stops.size(), callback, user));
    if (stream == nullptr) raise_inference_error("Stream allocation failed");
  }

  const std::span<const uint8_t> prompt_ids = in.host.at(kInputIds);
  std::vector<int64_t> sequence(static_cast<size_t>(n));
  std::memcpy(sequence.data(), prompt_ids.data(), static_cast<size_t>(n * sizeof(int64_t)));

  std::span<const uint8_t> pixels;
  if (auto it = in.host.find(kPixelValues); it != in.host.end()) pixels = it->second;
  uint64_t reused = 0;
  if (invocation != nullptr) reused = reusable_prefix(graph, sequence, pixels, in);
  VXTensorMap inputs = reused > 0 ? prefix_inputs(graph, in, prompt, sequence, reused) : in.tensors;
  // The views above keep the reused buffers alive until the first run stores the new cache.
  graph.set_cached_tokens({});
  graph.set_cached_kv({});
  graph.set_cached_pixels({});

  std::string finish = kFinishLengthText;
  std::vector<float> logits;
  std::vector<uint8_t> mask;
  const bool amount = invocation != nullptr && invocation->amount_decimals != 0;
  // The last finished run: its caches hold the keys and values of the first `cached_length`
  // tokens of the sequence. They become the graph's reuse cache once the request ends.
  VXRunResult run;
  uint64_t cached_length = 0;
  for (uint64_t s = 0;; ++s) {
    if (cancel_requested(invocation)) {
      finish = kFinishCancelledText;
      break;
    }
    const double t_run0 = monotonic_seconds();
    try {
      run = graph.run(inputs, s == 0 ? &captures : nullptr);
    } catch (const DomainError& e) {
      if (e.domain() != kVlmDomainCancelled) throw;
      finish = kFinishCancelledText;
      break;
    }
    if (cancel_requested(invocation)) break;
    const double t_run1 = monotonic_seconds();
    cached_length = sequence.size();
    const double t_select0 = monotonic_seconds();

    read_last_logits(graph, run.logits, &logits);
    const uint64_t vocab = logits.size();
    const uint8_t* allowed = nullptr;
    if (invocation != nullptr && invocation->mask_callback != nullptr) {
      mask.assign(static_cast<size_t>(vocab), 0);
      if (invocation->mask_callback(invocation->mask_user_data, outcome.generated.data(),
                                    outcome.generated.size(), mask.data(), vocab) != 0) {
        finish = kFinishCancelledText;
        break;
      }
      allowed = mask.data();
    }
    if (c.constraint != nullptr) {
      mask.assign(static_cast<size_t>(vocab), 1);
      c.constraint->mask(mask.data(), vocab, c.max_new_tokens - s);
      allowed = mask.data();
    }
    SampleResult sample{};
    const uint32_t status =
        c.log_probabilities
            ? sample_token(logits.data(), vocab, allowed, sequence.data(), sequence.size(),
                           &params, &random_state, &sample)
            : sample_token_id(logits.data(), vocab, allowed, sequence.data(), sequence.size(),
                              &params, &random_state, &sample);
    if (status != kSampleOk) raise_sample_status(status);
    if (c.log_probabilities) outcome.log_probabilities.push_back(sample.log_probability);
    int64_t token = sample.token;
    if (s < c.forced_tokens.size()) {
      token = c.forced_tokens[s];
      if (token < 0 || static_cast<uint64_t>(token) >= vocab) {
        raise_inference_error("Forced token out of range");
      }
    }
    outcome.generated.push_back(token);
    sequence.push_back(token);
    const double t_select1 = monotonic_seconds();

    json outputs = json::object();
    if (c.trace) outputs = write_trace(output_directory, s, run, vocab);
    const double t_trace = monotonic_seconds();
    outcome.runs.push_back(step_record(graph, s, ms_between(t_run0, t_run1), token,
                                       std::move(outputs), ms_between(t_select0, t_select1),
                                       ms_between(t_select1, t_trace)));

    if (stream != nullptr) {
      std::string bytes = c.processor->token_bytes(token);
      if (amount && stop_stream_length(stream.get()) == 0) {
        size_t skip = 0;
        while (skip < bytes.size() && (bytes[skip] == ' ' || bytes[skip] == '\t' ||
                                       bytes[skip] == '\n' || bytes[skip] == '\r')) {
          ++skip;
        }
        bytes.erase(0, skip);
      }
      const int32_t pushed = stop_stream_push(stream.get(), bytes.data(), bytes.size(), token);
      if (pushed < 0) raise_inference_error("Stream allocation failed");
      if (pushed == kStreamStopString) {
        finish = kFinishStopText;
        break;
      }
      if (pushed == kStreamStopCallback) {
        finish = kFinishCancelledText;
        break;
      }
    }
    if (c.forced_tokens.empty() &&
        std::find(c.eos_token_ids.begin(), c.eos_token_ids.end(), token) != c.eos_token_ids.end()) {
      finish = kFinishEosText;
      break;
    }
    if (c.constraint != nullptr && c.constraint->accept_token(token)) {
      finish = s + 1 == c.max_new_tokens ? kFinishLengthText : kFinishStopText;
      break;
    }
    if (s + 1 == c.max_new_tokens) break;

    const double t_prepare0 = monotonic_seconds();
    advance_inputs(graph, in, prompt, s, token, run.cache, &inputs);
    graph.recycle(run.logits);
    for (const auto& [name, t] : run.captures) graph.recycle(t);
    outcome.runs.back()["decode_state_prepare_ms"] = ms_between(t_prepare0, monotonic_seconds());
  }

  if (cancel_requested(invocation)) finish = kFinishCancelledText;
  if (stream != nullptr) {
    const int32_t flushed = stop_stream_flush(stream.get());
    if (flushed < 0) raise_inference_error("Stream allocation failed");
    if (flushed == kStreamStopCallback) finish = kFinishCancelledText;
    outcome.answer.assign(stop_stream_text(stream.get()), stop_stream_length(stream.get()));
  }
  // Requests that may reuse a prefix keep what the cache holds; a cancelled one, or one that
  // failed before (its error leaves this function), keeps nothing.
  if (invocation != nullptr && finish != kFinishCancelledText && cached_length > 0) {
    graph.set_cached_tokens(std::vector<int64_t>(
        sequence.begin(), sequence.begin() + static_cast<ptrdiff_t>(cached_length)));
    graph.set_cached_pixels(std::vector<uint8_t>(pixels.begin(), pixels.end()));
    graph.set_cached_kv(std::move(run.cache));
  }
  outcome.finish_reason = finish;
  outcome.kv_cache = kv_cache_summary(graph, counters_at_start, reused);
  outcome.input_prepare_ms = ms_between(t_start, t_inputs);
  outcome.case_wall_ms = ms_between(t_start, monotonic_seconds());
  return case_result(std::move(outcome));
}

}  // namespace vexa
