// The sampler against hand-computed cases and a plain re-statement of its steps written here
// (sort everything, filter, draw), on random logits, masks, histories and settings.
#include "generative/sampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/domain_error.h"
#include "platform/thread_pool.h"

namespace vexa {
namespace {

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;

SamplingParams greedy() { return sampling_params_default(); }

SamplingParams warm(double temperature) {
  SamplingParams p = sampling_params_default();
  p.temperature = temperature;
  return p;
}

struct Outcome {
  uint32_t status;
  SampleResult result;
  uint64_t state;
};

Outcome run(const std::vector<float>& logits, const SamplingParams& p, uint64_t state = 0,
            const std::vector<uint8_t>* mask = nullptr, const std::vector<int64_t>& history = {}) {
  SampleResult r{-7, -7.0};
  const uint32_t status =
      sample_token(logits.data(), logits.size(), mask ? mask->data() : nullptr,
                   history.empty() ? nullptr : history.data(), history.size(), &p, &state, &r);
  return {status, r, state};
}

// The sampler's steps written out plainly: full sort, then the filters, then the draw.
SampleResult reference(const std::vector<float>& logits, const std::vector<uint8_t>& mask,
                       const std::vector<int64_t>& history, const SamplingParams& p,
                       uint64_t* state) {
  const size_t n = logits.size();
  std::vector<bool> seen(n, false);
  size_t from = 0;
  if (p.repetition_window != 0 && history.size() >= p.repetition_window) {
    from = history.size() - p.repetition_window;
  }
  for (size_t i = from; i < history.size(); ++i) seen[static_cast<size_t>(history[i])] = true;
  std::vector<std::pair<double, int64_t>> c;  // (value, id)
  for (size_t id = 0; id < n; ++id) {
    if (!mask[id]) continue;
    double v = logits[id];
    if (seen[id]) v = v < 0 ? v * p.repetition_penalty : v / p.repetition_penalty;
    c.push_back({v, static_cast<int64_t>(id)});
  }
  std::sort(c.begin(), c.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  const double best = c[0].first;
  if (p.temperature == 0) {
    double s = 0;
    for (size_t id = 0; id < n; ++id) {
      if (!mask[id]) continue;
      double v = logits[id];
      if (seen[id]) v = v < 0 ? v * p.repetition_penalty : v / p.repetition_penalty;
      s += std::exp(v - best);
    }
    return {c[0].second, -std::log(s)};
  }
  if (p.top_k != 0 && p.top_k < c.size()) c.resize(p.top_k);
  std::vector<double> w;
  double s = 0;
  for (const auto& [v, id] : c) {
    w.push_back(std::exp((v - best) / p.temperature));
    s += w.back();
  }
  while (w.size() >= 2 && w.back() < p.min_p) {
    s -= w.back();
    w.pop_back();
  }
  if (p.top_p < 1) {
    double run_sum = 0;
    size_t keep = w.size();
    for (size_t i = 0; i < w.size(); ++i) {
      run_sum += w[i];
      if (run_sum >= s * p.top_p) {
        keep = i + 1;
        break;
      }
    }
    w.resize(keep);
    s = run_sum;
  }
  *state += kGolden;
  uint64_t z = *state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  double r = s * static_cast<double>(z >> 11) / 9007199254740992.0;
  for (size_t i = 0; i < w.size(); ++i) {
    r -= w[i];
    if (r < 0) return {c[i].second, std::log(w[i] / s)};
  }
  return {c[w.size() - 1].second, std::log(w.back() / s)};
}

TEST(Sampler, GreedyTakesTheLowestBestIdAndLeavesTheState) {
  const Outcome o = run({1, 3, 3, 2}, greedy(), 99);
  ASSERT_EQ(o.status, kSampleOk);
  EXPECT_EQ(o.result.token, 1);
  EXPECT_DOUBLE_EQ(o.result.log_probability, -std::log(std::exp(-2.0) + 1 + 1 + std::exp(-1.0)));
  EXPECT_EQ(o.state, 99u);
  // Negative zero is a valid temperature and still greedy.
  EXPECT_EQ(run({1, 3, 3, 2}, warm(-0.0), 99).state, 99u);

  // top-k 1 at any temperature gives the same id but draws once.
  SamplingParams top1 = warm(0.8);
  top1.top_k = 1;
  const Outcome d = run({1, 3, 3, 2}, top1, 99);
  EXPECT_EQ(d.result.token, 1);
  EXPECT_DOUBLE_EQ(d.result.log_probability, 0.0);
  EXPECT_EQ(d.state, 99 + kGolden);
}

TEST(Sampler, MasksAndNonFiniteLogits) {
  const std::vector<float> logits = {5, 1, 2};
  const std::vector<uint8_t> none = {0, 0, 0};
  EXPECT_EQ(run(logits, greedy(), 0, &none).status, kSampleNoCandidate);
  const std::vector<uint8_t> one = {0, 1, 0};
  for (const double t : {0.0, 0.7, 3.0}) {
    const Outcome o = run(logits, warm(t), 0, &one);
    EXPECT_EQ(o.result.token, 1);
    EXPECT_DOUBLE_EQ(o.result.log_probability, 0.0);
  }
  // A bad logit counts even where the mask hides it.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<uint8_t> first = {1, 0, 0};
  EXPECT_EQ(run({1, nan, 2}, greedy(), 0, &first).status, kSampleNonFinite);
  EXPECT_EQ(run({1, 2, -inf}, warm(1), 0, &first).status, kSampleNonFinite);
  // A penalty that overflows a finite logit.
  SamplingParams p = greedy();
  p.repetition_penalty = 1e-300;
  EXPECT_EQ(run({3e38f, 1}, p, 0, nullptr, {0}).status, kSampleNonFinite);
}

TEST(Sampler, RepetitionPenaltyWindow) {
  SamplingParams p = greedy();
  p.repetition_penalty = 2;
  // Seen ids: 4 -> 2 and -4 -> -8; id 2 (3) then wins.
  const Outcome o = run({4, -4, 3}, p, 0, nullptr, {0, 1});
  EXPECT_EQ(o.result.token, 2);
  EXPECT_DOUBLE_EQ(o.result.log_probability,
                   -std::log(std::exp(2.0 - 3) + std::exp(-8.0 - 3) + 1));
  // Only the last id is in a window of 1: id 0 keeps its 4.
  p.repetition_window = 1;
  EXPECT_EQ(run({4, -4, 3}, p, 0, nullptr, {0, 2, 2}).result.token, 0);
  // A window longer than the history covers all of it.
  p.repetition_window = 10;
  EXPECT_EQ(run({4, -4, 3}, p, 0, nullptr, {0}).result.token, 2);
  // Ids outside the window are not checked; inside it they must be in range.
  p.repetition_window = 1;
  EXPECT_EQ(run({4, -4, 3}, p, 0, nullptr, {-1, 1}).status, kSampleOk);
  EXPECT_EQ(run({4, -4, 3}, p, 0, nullptr, {1, -1}).status, kSampleInvalidArgument);
  EXPECT_EQ(run({4, -4, 3}, p, 0, nullptr, {1, 3}).status, kSampleInvalidArgument);
}

TEST(Sampler, MinPAndTopPCutOffs) {
  // min_p 1 keeps the candidates equal to the best: ids 0 and 1, half each.
  SamplingParams p = warm(1);
  p.min_p = 1;
  bool saw[2] = {false, false};
  for (uint64_t seed = 0; seed < 32; ++seed) {
    const Outcome o = run({2, 2, 1.999f}, p, seed);
    ASSERT_TRUE(o.result.token == 0 || o.result.token == 1);
    EXPECT_DOUBLE_EQ(o.result.log_probability, std::log(0.5));
    saw[o.result.token] = true;
  }
  EXPECT_TRUE(saw[0] && saw[1]);

  // top_p that the first two weights reach: ids 0 and 1 only, renormalised over them.
  p = warm(1);
  const double w1 = std::exp(-1.0), w2 = std::exp(-2.0);
  p.top_p = (1 + w1) / (1 + w1 + w2) - 1e-12;
  for (uint64_t seed = 0; seed < 32; ++seed) {
    const Outcome o = run({3, 2, 1}, p, seed);
    ASSERT_LE(o.result.token, 1);
    const double w = o.result.token == 0 ? 1.0 : w1;
    EXPECT_NEAR(o.result.log_probability, std::log(w / (1 + w1)), 1e-12);
  }
  // A tiny top_p keeps only the best; top_p 0 is invalid.
  p.top_p = 1e-9;
  EXPECT_EQ(run({3, 2, 1}, p, 5).result.token, 0);
  p.top_p = 0;
  EXPECT_EQ(run({3, 2, 1}, p).status, kSampleInvalidArgument);
}

TEST(Sampler, MatchesThePlainStepsOnRandomInputs) {
  std::mt19937_64 rng(1234);
  std::uniform_real_distribution<float> logit(-8, 8);
  for (int round = 0; round < 300; ++round) {
    const size_t n = 1 + rng() % 200;
    std::vector<float> logits(n);
    for (float& l : logits) l = round % 5 == 0 ? std::round(logit(rng)) : logit(rng);  // ties
    std::vector<uint8_t> mask(n, 1);
    if (round % 2) {
      for (uint8_t& m : mask) m = rng() % 3 != 0;
    }
    mask[rng() % n] = 1;
    std::vector<int64_t> history(rng() % 20);
    for (int64_t& h : history) h = static_cast<int64_t>(rng() % n);
    SamplingParams p = sampling_params_default();
    p.temperature = round % 7 == 0 ? 0.0 : 0.1 + (rng() % 100) / 40.0;
    p.top_k = rng() % 3 == 0 ? 0 : static_cast<uint32_t>(1 + rng() % 30);
    p.top_p = rng() % 2 ? 1.0 : 0.05 + (rng() % 95) / 100.0;
    p.min_p = rng() % 2 ? 0.0 : (rng() % 100) / 100.0;
    p.repetition_penalty = 0.5 + (rng() % 30) / 10.0;
    p.repetition_window = static_cast<uint32_t>(rng() % 6);
    const uint64_t seed = rng();
    uint64_t want_state = seed;
    const SampleResult want = reference(logits, mask, history, p, &want_state);
    const Outcome got = run(logits, p, seed, round % 2 ? &mask : nullptr, history);
    ASSERT_EQ(got.status, kSampleOk) << "round " << round;
    EXPECT_EQ(got.result.token, want.token) << "round " << round;
    EXPECT_DOUBLE_EQ(got.result.log_probability, want.log_probability) << "round " << round;
    EXPECT_EQ(got.state, want_state) << "round " << round;
    // Equal inputs and states give equal results.
    const Outcome again = run(logits, p, seed, round % 2 ? &mask : nullptr, history);
    EXPECT_EQ(again.result.token, got.result.token);
  }
}

// Greedy requests without a mask or penalty skip the candidate list; an all-ones mask sends the
// same request down the candidate path, which must agree to the bit.
TEST(Sampler, UnmaskedGreedyAgreesWithTheCandidatePathBitForBit) {
  std::mt19937_64 rng(77);
  std::uniform_real_distribution<float> logit(-12, 12);
  for (int round = 0; round < 60; ++round) {
    const size_t n = round == 0 ? 49280 : round == 1 ? 20000 : 1 + rng() % 3000;
    std::vector<float> logits(n);
    for (float& l : logits) {
      // Coarse values give many ties, as FP16 logits do.
      l = round % 3 == 0 ? std::round(logit(rng) * 4) / 4 : logit(rng);
    }
    std::vector<int64_t> history(rng() % 12);
    for (int64_t& h : history) h = static_cast<int64_t>(rng() % n);
    const std::vector<uint8_t> all(n, 1);
    SamplingParams p = greedy();
    p.repetition_window = static_cast<uint32_t>(rng() % 4);
    const Outcome fast = run(logits, p, 5, nullptr, history);
    const Outcome general = run(logits, p, 5, &all, history);
    ASSERT_EQ(fast.status, kSampleOk) << "round " << round;
    ASSERT_EQ(general.status, kSampleOk) << "round " << round;
    EXPECT_EQ(fast.result.token, general.result.token) << "round " << round;
    EXPECT_EQ(std::memcmp(&fast.result.log_probability, &general.result.log_probability,
                          sizeof(double)),
              0)
        << "round " << round << ": " << fast.result.log_probability << " vs "
        << general.result.log_probability;
    EXPECT_EQ(fast.state, 5u);
    if (n >= 16384) {
      // Large rows spread the exp() terms over the pool: one thread must give the same bits.
      const ThreadCapScope one(1);
      const Outcome alone = run(logits, p, 5, nullptr, history);
      EXPECT_EQ(alone.result.token, fast.result.token);
      EXPECT_EQ(std::memcmp(&alone.result.log_probability, &fast.result.log_probability,
                            sizeof(double)),
                0);
    }
    // The plain steps agree as well, and the token is the first largest logit.
    uint64_t state = 5;
    const SampleResult want = reference(logits, all, history, p, &state);
    EXPECT_EQ(fast.result.token, want.token) << "round " << round;
    EXPECT_DOUBLE_EQ(fast.result.log_probability, want.log_probability) << "round " << round;
    const auto first_max = std::max_element(logits.begin(), logits.end());
    EXPECT_EQ(fast.result.token, first_max - logits.begin()) << "round " << round;
  }
}

TEST(Sampler, UnmaskedGreedyTiesAndBadValues) {
  // Ties go to the lowest id wherever they sit.
  EXPECT_EQ(run({7, 7, 7}, greedy()).result.token, 0);
  EXPECT_EQ(run({1, 2, 9, 3, 9}, greedy()).result.token, 2);
  EXPECT_EQ(run({-0.0f, 0.0f}, greedy()).result.token, 0);
  const Outcome equal = run({-3, -3, -3, -3}, greedy());
  EXPECT_EQ(equal.result.token, 0);
  EXPECT_DOUBLE_EQ(equal.result.log_probability, -std::log(4.0));
  EXPECT_EQ(run({5}, greedy()).result.log_probability, 0.0);

  // Any non-finite logit is refused, first, last or after the best, exactly as the candidate
  // path refuses it.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (const std::vector<float>& bad :
       {std::vector<float>{-inf, 1, 2}, std::vector<float>{1, 2, -inf}, std::vector<float>{nan},
        std::vector<float>{3, nan, 1}, std::vector<float>{1, inf, 2},
        std::vector<float>{2, 1, -inf, nan}}) {
    const std::vector<uint8_t> all(bad.size(), 1);
    const Outcome fast = run(bad, greedy(), 3);
    EXPECT_EQ(fast.status, kSampleNonFinite);
    EXPECT_EQ(fast.result.token, -7);  // the result is left alone
    EXPECT_EQ(fast.state, 3u);
    EXPECT_EQ(run(bad, greedy(), 3, &all).status, kSampleNonFinite);
  }

  // A penalty of 1 still checks the history window, and otherwise changes nothing.
  SamplingParams p = greedy();
  p.repetition_window = 2;
  EXPECT_EQ(run({4, -4, 3}, p, 0, nullptr, {0, 3}).status, kSampleInvalidArgument);
  EXPECT_EQ(run({4, -4, 3}, p, 0, nullptr, {0, -1}).status, kSampleInvalidArgument);
  EXPECT_EQ(run({4, -4, 3}, p, 0, nullptr, {9, 0, 0}).status, kSampleOk);  // outside the window
  const Outcome with = run({4, -4, 3}, p, 0, nullptr, {0, 0});
  const Outcome without = run({4, -4, 3}, greedy());
  EXPECT_EQ(with.result.token, without.result.token);
  EXPECT_EQ(with.result.log_probability, without.result.log_probability);
}

TEST(Sampler, MaskedOrPenalisedGreedyStillHonoursBoth) {
  const std::vector<float> logits = {9, 1, 8, 8.5f};
  // A mask hiding the best leaves the next one, and the probability is over allowed ids only.
  const std::vector<uint8_t> mask = {0, 1, 1, 0};
  const Outcome masked = run(logits, greedy(), 0, &mask);
  EXPECT_EQ(masked.result.token, 2);
  EXPECT_DOUBLE_EQ(masked.result.log_probability, -std::log(1 + std::exp(-7.0)));
  // A penalty on the best id seen in the history: 9 / 1.25 = 7.2 falls below 8.5.
  SamplingParams p = greedy();
  p.repetition_penalty = 1.25;
  const Outcome penalised = run(logits, p, 0, nullptr, {0});
  EXPECT_EQ(penalised.result.token, 3);
  EXPECT_DOUBLE_EQ(penalised.result.log_probability,
                   -std::log(std::exp(7.2 - 8.5) + std::exp(1 - 8.5) + std::exp(8 - 8.5) + 1));
}

// Without the log-probability every request still gives the token, status and state that
// sample_token gives: greedy and drawn, masked, penalised and refused alike.
TEST(Sampler, TokenOnlyAgreesWithTheFullSamplerOnEveryPath) {
  auto token_only = [](const std::vector<float>& logits, const SamplingParams& p, uint64_t state,
                       const std::vector<uint8_t>* mask, const std::vector<int64_t>& history) {
    SampleResult r{-7, -7.0};
    const uint32_t status =
        sample_token_id(logits.data(), logits.size(), mask ? mask->data() : nullptr,
                        history.empty() ? nullptr : history.data(), history.size(), &p, &state, &r);
    return Outcome{status, r, state};
  };
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<float> logit(-10, 10);
  for (int round = 0; round < 200; ++round) {
    const size_t n = round == 0 ? 49280 : 1 + rng() % 500;
    std::vector<float> logits(n);
    for (float& l : logits) l = round % 4 == 0 ? std::round(logit(rng)) : logit(rng);
    std::vector<uint8_t> mask(n, 1);
    for (uint8_t& m : mask) m = rng() % 4 != 0;
    mask[rng() % n] = 1;
    std::vector<int64_t> history(rng() % 10);
    for (int64_t& h : history) h = static_cast<int64_t>(rng() % n);
    SamplingParams p = sampling_params_default();
    p.temperature = round % 2 == 0 ? 0.0 : 0.2 + (rng() % 50) / 20.0;
    p.top_k = static_cast<uint32_t>(rng() % 20);
    p.repetition_penalty = round % 3 == 0 ? 1.0 : 0.5 + (rng() % 20) / 10.0;
    const std::vector<uint8_t>* m = round % 5 == 1 ? &mask : nullptr;
    const uint64_t seed = rng();
    const Outcome full = run(logits, p, seed, m, history);
    const Outcome quick = token_only(logits, p, seed, m, history);
    ASSERT_EQ(full.status, kSampleOk) << "round " << round;
    ASSERT_EQ(quick.status, kSampleOk) << "round " << round;
    EXPECT_EQ(quick.result.token, full.result.token) << "round " << round;
    EXPECT_EQ(quick.state, full.state) << "round " << round;
    EXPECT_TRUE(std::isnan(quick.result.log_probability)) << "round " << round;
  }
  // The refusals are the same, and a refusal leaves the result and state alone.
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<uint8_t> none(3, 0);
  SamplingParams bad = greedy();
  bad.top_p = 0.0;
  SamplingParams window = greedy();
  window.repetition_window = 2;
  const struct {
    std::vector<float> logits;
    SamplingParams params;
    const std::vector<uint8_t>* mask;
    std::vector<int64_t> history;
    uint32_t status;
  } refused[] = {{{1, inf, 2}, greedy(), nullptr, {}, kSampleNonFinite},
                 {{1, inf, 2}, warm(1.0), nullptr, {}, kSampleNonFinite},
                 {{1, 2, 3}, greedy(), &none, {}, kSampleNoCandidate},
                 {{1, 2, 3}, bad, nullptr, {}, kSampleInvalidArgument},
                 {{1, 2, 3}, window, nullptr, {0, 3}, kSampleInvalidArgument}};
  for (const auto& c : refused) {
    EXPECT_EQ(run(c.logits, c.params, 4, c.mask, c.history).status, c.status);
    const Outcome quick = token_only(c.logits, c.params, 4, c.mask, c.history);
    EXPECT_EQ(quick.status, c.status);
    EXPECT_EQ(quick.result.token, -7);
    EXPECT_EQ(quick.state, 4u);
  }
  SampleResult r{};
  uint64_t state = 0;
  const SamplingParams p = greedy();
  EXPECT_EQ(sample_token_id(nullptr, 3, nullptr, nullptr, 0, &p, &state, &r),
            kSampleInvalidArgument);
  const float one = 1.0f;
  EXPECT_EQ(sample_token_id(&one, 1, nullptr, nullptr, 0, &p, &state, nullptr),
            kSampleInvalidArgument);
}

TEST(Sampler, SplitMix64Sequence) {
  // The generator's published outputs for state 0.
  uint64_t state = 0;
  const uint64_t outputs[] = {0xE220A8397B1DCDAFull, 0x6E789E6AA1B965F4ull, 0x06C45D188009454Full};
  for (const uint64_t z : outputs) {
    EXPECT_EQ(splitmix64_uniform(&state), static_cast<double>(z >> 11) * 0x1.0p-53);
  }
  EXPECT_EQ(state, 3 * kGolden);
}

TEST(Sampler, ArgumentAndParameterChecks) {
  const std::vector<float> logits = {1, 2};
  SampleResult r{};
  uint64_t state = 0;
  const SamplingParams ok = greedy();
  EXPECT_EQ(sample_token(nullptr, 2, nullptr, nullptr, 0, &ok, &state, &r), kSampleInvalidArgument);
  EXPECT_EQ(sample_token(logits.data(), 0, nullptr, nullptr, 0, &ok, &state, &r),
            kSampleInvalidArgument);
  EXPECT_EQ(sample_token(logits.data(), 2, nullptr, nullptr, 3, &ok, &state, &r),
            kSampleInvalidArgument);
  EXPECT_EQ(sample_token(logits.data(), 2, nullptr, nullptr, 0, nullptr, &state, &r),
            kSampleInvalidArgument);
  EXPECT_EQ(sample_token(logits.data(), 2, nullptr, nullptr, 0, &ok, nullptr, &r),
            kSampleInvalidArgument);
  EXPECT_EQ(sample_token(logits.data(), 2, nullptr, nullptr, 0, &ok, &state, nullptr),
            kSampleInvalidArgument);

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const auto with = [](double SamplingParams::*field, double v) {
    SamplingParams p = sampling_params_default();
    p.*field = v;
    return p;
  };
  for (const SamplingParams& bad :
       {with(&SamplingParams::temperature, -1), with(&SamplingParams::temperature, nan),
        with(&SamplingParams::temperature, inf), with(&SamplingParams::top_p, 0),
        with(&SamplingParams::top_p, 1.5), with(&SamplingParams::top_p, nan),
        with(&SamplingParams::min_p, -0.1), with(&SamplingParams::min_p, 1.1),
        with(&SamplingParams::repetition_penalty, 0), with(&SamplingParams::repetition_penalty, inf),
        with(&SamplingParams::repetition_penalty, -2)}) {
    EXPECT_FALSE(sampling_params_valid(&bad));
    EXPECT_EQ(sample_token(logits.data(), 2, nullptr, nullptr, 0, &bad, &state, &r),
              kSampleInvalidArgument);
  }
  EXPECT_FALSE(sampling_params_valid(nullptr));
  EXPECT_TRUE(sampling_params_valid(&ok));
}

std::string dictionary_error(const char* text) {
  try {
    sampling_params_from_dictionary(nlohmann::json::parse(text));
  } catch (const DomainError& e) {
    return e.domain() + ": " + e.reason();
  }
  return "(accepted)";
}

TEST(Sampler, ParametersFromADictionary) {
  const SamplingParams p = sampling_params_from_dictionary(nlohmann::json::parse(R"({"top_k":40})"));
  SamplingParams want = sampling_params_default();
  want.top_k = 40;
  EXPECT_EQ(std::memcmp(&p, &want, sizeof p), 0);

  const SamplingParams all = sampling_params_from_dictionary(nlohmann::json::parse(
      R"({"temperature":0.7,"top_p":0.9,"min_p":0.05,"repetition_penalty":1.1,"top_k":7.0,
          "repetition_window":64,"seed":18446744073709551615})"));
  EXPECT_EQ(all.temperature, 0.7);
  EXPECT_EQ(all.top_p, 0.9);
  EXPECT_EQ(all.min_p, 0.05);
  EXPECT_EQ(all.repetition_penalty, 1.1);
  EXPECT_EQ(all.top_k, 7u);
  EXPECT_EQ(all.repetition_window, 64u);
  EXPECT_EQ(all.seed, UINT64_MAX);

  const std::string refused = "VexaFrontend: Invalid sampling parameters";
  for (const char* bad : {R"({"temperature":-1})", R"({"top_p":0})", R"({"min_p":2})",
                          R"({"repetition_penalty":0})", R"({"top_k":-1})",
                          R"({"top_k":4294967296})", R"({"top_k":"5"})", R"({"seed":1.5})",
                          R"({"seed":-1})", R"({"repetition_window":null})",
                          R"({"temperature":"hot"})", R"([1])"}) {
    EXPECT_EQ(dictionary_error(bad), refused) << bad;
  }
}

}  // namespace
}  // namespace vexa
