// Encode throughput of our tokenizer on one corpus file, single thread: the median of several
// timed passes after a warm-up. The corpus is a list of texts separated by NUL bytes, each
// encoded by one call, with the test model's tokenizer (tests/fixtures). Prints one line:
//   ours <median_ms> <bytes> <tokens> <ids_hash>
// bench/run_tokenizer_vs_hf.sh runs it beside Hugging Face tokenizers on the same file.
//
//   bench_tokenizer FIXTURES_DIR CORPUS [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "generative/model_config.h"
#include "generative/processor_assets.h"
#include "generative/tokenizer.h"

namespace {

constexpr int kWarmupRuns = 2;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "bench_tokenizer: cannot read %s\n", path.c_str());
    std::exit(1);
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::unique_ptr<vexa::Processor> load_processor(const std::string& root) {
  nlohmann::json assets = nlohmann::json::object();
  for (const std::string_view name : vexa::kProcessorAssetNames) {
    const std::string folder = name == "tokenizer.json" ? "/tokenizer/" : "/processor/";
    assets[std::string(name)] = nlohmann::json::parse(read_file(root + folder + std::string(name)));
  }
  return vexa::processor_load_config(std::move(assets));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s FIXTURES_DIR CORPUS [RUNS]\n", argv[0]);
    return 2;
  }
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 10;
  const std::string corpus = read_file(argv[2]);
  std::vector<std::string_view> texts;
  for (size_t at = 0; at < corpus.size();) {
    size_t end = corpus.find('\0', at);
    if (end == std::string::npos) end = corpus.size();
    texts.emplace_back(corpus.data() + at, end - at);
    at = end + 1;
  }
  const auto processor = load_processor(argv[1]);

  uint64_t tokens = 0;
  uint64_t hash = 1469598103934665603ull;  // FNV-1a over the ids, to compare with the reference
  std::vector<double> times;
  for (int run = 0; run < kWarmupRuns + runs; ++run) {
    uint64_t count = 0;
    uint64_t h = 1469598103934665603ull;
    const auto start = std::chrono::steady_clock::now();
    for (const std::string_view text : texts) {
      const std::vector<int64_t> ids = vexa::tokenizer_encode(*processor, text);
      count += ids.size();
      if (run == 0) {
        for (const int64_t id : ids) h = (h ^ static_cast<uint64_t>(id)) * 1099511628211ull;
      }
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (run == 0) {
      tokens = count;
      hash = h;
    }
    if (run >= kWarmupRuns) times.push_back(ms);
  }
  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];
  std::printf("ours %.3f %zu %llu %016llx\n", median, corpus.size() - (texts.size() - 1),
              static_cast<unsigned long long>(tokens), static_cast<unsigned long long>(hash));
  return 0;
}
