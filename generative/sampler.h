// Next-token choice from one step's logits: repetition penalty over a window of the history,
// an optional mask, greedy choice at temperature 0, otherwise top-k, temperature, min-p and
// top-p over the sorted candidates and one SplitMix64 draw. Never throws: every outcome is a
// status.
#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

namespace vexa {

struct SamplingParams {
  double temperature;         // 0 = greedy; finite, not below 0
  double top_p;               // (0, 1]; 1 = off
  double min_p;               // [0, 1]; 0 = off
  double repetition_penalty;  // finite, above 0
  uint32_t top_k;             // 0 = off
  uint32_t repetition_window;  // most recent history ids penalised; 0 = the whole history
  uint64_t seed;               // start of the generator state
};
static_assert(sizeof(SamplingParams) == 48);

struct SampleResult {
  int64_t token;
  double log_probability;
};

enum SampleStatus : uint32_t {
  kSampleOk = 0,
  kSampleInvalidArgument = 1,
  kSampleNonFinite = 2,   // a non-finite logit (masked or not) or penalised value
  kSampleNoCandidate = 3,  // the mask allows no id
  kSampleNoMemory = 4,
};

SamplingParams sampling_params_default();
// False for null or any field outside its range (top_k, window and seed take any value).
bool sampling_params_valid(const SamplingParams* params);

// logits and mask (nonzero = allowed; null = all) hold vocab_size entries; history is the
// sequence so far, oldest first. The state advances only when a draw is made.
uint32_t sample_token(const float* logits, uint64_t vocab_size, const uint8_t* mask,
                      const int64_t* history, uint64_t history_length,
                      const SamplingParams* params, uint64_t* state, SampleResult* result);

// sample_token for callers that never read the log-probability: the same token, statuses and
// state; log_probability is NaN. The greedy choice over an unmasked, unpenalised vocabulary
// then skips its sum of exp() terms over the whole vocabulary.
uint32_t sample_token_id(const float* logits, uint64_t vocab_size, const uint8_t* mask,
                         const int64_t* history, uint64_t history_length,
                         const SamplingParams* params, uint64_t* state, SampleResult* result);

// One SplitMix64 step: advances the state and returns a uniform value in [0, 1).
double splitmix64_uniform(uint64_t* state);

// Defaults overwritten by the keys present ("temperature", "top_p", "min_p",
// "repetition_penalty", "top_k", "repetition_window", "seed"). A non-number, a count or seed
// that is not a whole number in its type's range, or a result failing sampling_params_valid
// raises DomainError("VexaFrontend", "Invalid sampling parameters").
SamplingParams sampling_params_from_dictionary(const nlohmann::json& dictionary);

}  // namespace vexa
