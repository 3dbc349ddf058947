// One greedy token choice (temperature 0) over a vocabulary of random logits: the unmasked path,
// the same without the log-probability (token-only), and the candidate path (the same request
// with an all-ones mask), at 1 thread and at every thread of the pool. Prints the median and
// the fastest of the timed calls, in microseconds.
//
//   bench_sampler [calls per row (200)]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench/bench_stream.h"
#include "generative/sampler.h"
#include "platform/thread_pool.h"

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  const unsigned all = vexa::thread_pool_size();
  std::printf("CPU: %s, %u threads in the pool; %d calls per row\n", bench::cpu_model().c_str(),
              all, calls);
  std::printf("%8s %7s %10s %10s %10s\n", "vocab", "threads", "path", "median us", "min us");
  const vexa::SamplingParams greedy = vexa::sampling_params_default();
  for (const uint64_t vocab : {4096ull, 8192ull, 16384ull, 49280ull, 151936ull}) {
    std::vector<float> logits(vocab);
    std::mt19937 rng(1);
    std::normal_distribution<float> value(0.0f, 3.0f);
    for (float& l : logits) l = value(rng);
    const std::vector<uint8_t> all_ids(vocab, 1);
    for (const unsigned threads : {1u, all}) {
      const vexa::ThreadCapScope cap(threads);
      // The token-only entry, which leaves out the log-probability, on the unmasked path.
      struct Row {
        const uint8_t* mask;
        bool token_only;
        const char* name;
      };
      for (const Row row : {Row{nullptr, false, "unmasked"}, Row{nullptr, true, "token-only"},
                            Row{all_ids.data(), false, "candidates"}}) {
        const uint8_t* mask = row.mask;
        const auto entry = row.token_only ? vexa::sample_token_id : vexa::sample_token;
        std::vector<double> us;
        for (int c = 0; c <= calls; ++c) {
          uint64_t state = 0;
          vexa::SampleResult r{};
          const double s = bench::seconds_of([&] {
            if (entry(logits.data(), vocab, mask, nullptr, 0, &greedy, &state, &r) !=
                vexa::kSampleOk) {
              std::fprintf(stderr, "bench_sampler: sampling failed\n");
              std::exit(1);
            }
          });
          if (c > 0) us.push_back(s * 1e6);  // the first call warms the pool and caches
        }
        std::printf("%8llu %7u %10s %10.1f %10.1f\n", static_cast<unsigned long long>(vocab),
                    threads, row.name, bench::median(us),
                    *std::min_element(us.begin(), us.end()));
      }
    }
  }
  return 0;
}
