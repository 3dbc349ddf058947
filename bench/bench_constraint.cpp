// Output-constraint cost per generated token, set against the decode step it rides on.
//
// A nested JSON schema is compiled over GPT-2's vocabulary cut to 49,280 ids (the last one a
// special EOS), and seeded random walks run under the mask as the generation loop would: per
// step, fill the mask with ones, narrow it, pick an allowed id (not timed: that is the
// sampler's work), accept it. Printed: the compile time per request and the median, p90 and
// mean of (mask fill + mask + accept) per token, in thread CPU time.
//
// The decode step it rides on is measured on the generative graph executor: one next-token step
// of the text model sized like SmolVLM-256M's language part (hidden 576, 30 layers, 9 query and
// 3 KV heads of 64, MLP 1536, vocabulary 49,280; FP16 weights and activations) after a 64-token
// prefill, at 1 thread and at every thread of the pool. Beside it, the roofline of a
// memory-bound step: the FP16 weight bytes read per token over a STREAM-like triad bandwidth
// measured here. The goal is a constraint cost under 5% of the step.
//
//   bench_constraint [path/to/gpt2_vocab.json]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/bench_stream.h"
#include "bench/bench_text_model.h"
#include "generative/constraint_compiler.h"
#include "generative/constraint_runtime.h"
#include "platform/thread_pool.h"

namespace {

using namespace vexa;
using Clock = std::chrono::steady_clock;

constexpr size_t kVocabSize = 49280;
constexpr int64_t kEos = kVocabSize - 1;
constexpr uint32_t kMaxNewTokens = 256;
constexpr int kWalks = 40;
constexpr int kCompileRuns = 5;
constexpr uint64_t kPromptTokens = 64;
constexpr int kDecodeRounds = 9;

// Model shape of the decode step the constraint is measured against.
constexpr uint64_t kHidden = 576, kLayers = 30, kKvWidth = 3 * 64, kMlp = 1536;
constexpr uint64_t kWeightBytes =
    2 * (kLayers * (kHidden * kHidden * 2 + kHidden * kKvWidth * 2 + 3 * kHidden * kMlp) +
         kVocabSize * kHidden);

constexpr char kSchema[] = R"({
  "type": "object",
  "properties": {
    "invoice": {"type": "string", "minLength": 1, "maxLength": 24},
    "customer": {"type": "object", "properties": {
      "name": {"type": "string", "maxLength": 40},
      "email": {"anyOf": [{"type": "string", "maxLength": 40}, {"type": "null"}]},
      "country": {"enum": ["DE", "FR", "GB", "US", "JP"]}},
      "required": ["name", "email", "country"], "additionalProperties": false},
    "lines": {"type": "array", "minItems": 1, "maxItems": 4, "items": {
      "type": "object", "properties": {
        "description": {"type": "string"},
        "quantity": {"type": "integer"},
        "unit_price": {"type": "number"}},
      "required": ["description", "quantity", "unit_price"], "additionalProperties": false}},
    "paid": {"type": "boolean"},
    "notes": {"type": "string", "maxLength": 80}
  },
  "required": ["invoice", "customer", "lines", "paid", "notes"],
  "additionalProperties": false
})";

std::vector<std::string> load_vocab(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(1);
  }
  std::ostringstream text;
  text << in.rdbuf();
  const nlohmann::json vocab = nlohmann::json::parse(text.str());
  // Byte-level form: bytes 33..126, 161..172, 174..255 are themselves, the other 68 are 256+.
  std::vector<int> decode(256 + 68, -1);
  int next = 256;
  for (int b = 0; b < 256; ++b) {
    const bool same = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || b >= 174;
    decode[same ? b : next++] = b;
  }
  std::vector<std::string> bytes(kVocabSize);
  for (const auto& item : vocab.items()) {
    const size_t id = item.value().get<size_t>();
    if (id >= kVocabSize - 1) continue;  // cut to size; the last id is the special EOS
    const std::string& t = item.key();
    for (size_t i = 0; i < t.size();) {
      const unsigned char c = static_cast<unsigned char>(t[i]);
      const int cp = c < 0x80 ? c : ((c & 0x1F) << 6) | (static_cast<unsigned char>(t[i + 1]) & 0x3F);
      i += c < 0x80 ? 1 : 2;
      bytes[id].push_back(static_cast<char>(decode.at(static_cast<size_t>(cp))));
    }
  }
  return bytes;
}

uint64_t splitmix(uint64_t& s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// CPU time of this thread: the machine is shared, and a step preempted half-way would count
// another process's work.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Best-of-runs triad bandwidth a[i] = b[i] + s * c[i] in bytes per second (three arrays
// counted, as STREAM does), over `threads` fixed slices.
double triad_bandwidth(unsigned threads) {
  constexpr size_t kCount = size_t{1} << 25;  // 128 MiB per array, far past the caches
  constexpr size_t kSlices = 64;
  std::vector<float> a(kCount, 0.0f), b(kCount, 1.0f), c(kCount, 2.0f);
  const float s = 3.0f;
  double best = 0;
  for (int run = 0; run < 6; ++run) {
    const auto t0 = Clock::now();
    parallel_for(kSlices, [&](size_t slice) {
      const size_t begin = kCount / kSlices * slice, end = begin + kCount / kSlices;
      for (size_t i = begin; i < end; ++i) a[i] = b[i] + s * c[i];
    }, threads);
    const auto t1 = Clock::now();
    if (run > 0) best = std::max(best, 3.0 * sizeof(float) * kCount / seconds(t0, t1));
  }
  if (a[kCount / 2] != 7.0f) std::fprintf(stderr, "triad result wrong\n");
  return best;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

// The fixture beside this source. Ninja compiles with paths relative to the build folder,
// which holds this program in bench/.
std::string default_vocab_path() {
  std::filesystem::path source = __FILE__;
  if (source.is_relative()) {
    std::error_code ec;
    source = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().parent_path() / source;
  }
  return (source.parent_path().parent_path() / "tests/fixtures/tokenizer/gpt2_vocab.json").string();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : default_vocab_path();
  const std::vector<std::string> vocab = load_vocab(path);

  std::vector<double> compile_s;
  for (int i = 0; i < kCompileRuns; ++i) {
    const auto t0 = Clock::now();
    Constraint c = compile_output_constraint(kSchema, 0, vocab, {kEos}, kMaxNewTokens);
    compile_s.push_back(seconds(t0, Clock::now()));
  }
  const Constraint probe = compile_output_constraint(kSchema, 0, vocab, {kEos}, kMaxNewTokens);

  std::vector<double> step_s;
  std::vector<uint8_t> mask(kVocabSize);
  std::vector<int64_t> ids;
  size_t tokens_total = 0;
  for (int walk = 0; walk < kWalks; ++walk) {
    Constraint c = compile_output_constraint(kSchema, 0, vocab, {kEos}, kMaxNewTokens);
    uint64_t rng = static_cast<uint64_t>(walk) + 1;
    for (uint32_t step = 0; step < kMaxNewTokens; ++step) {
      const double t0 = thread_seconds();
      std::fill(mask.begin(), mask.end(), 1);
      constraint_mask(c, mask.data(), mask.size(), kMaxNewTokens - step);
      const double t1 = thread_seconds();
      ids.clear();
      for (size_t id = 0; id < mask.size(); ++id) {
        if (mask[id]) ids.push_back(static_cast<int64_t>(id));
      }
      int64_t token = ids[splitmix(rng) % ids.size()];
      if (mask[kEos] && splitmix(rng) % 4 == 0) token = kEos;
      const double t2 = thread_seconds();
      const bool done = constraint_accept(c, token);
      const double t3 = thread_seconds();
      step_s.push_back((t1 - t0) + (t3 - t2));
      ++tokens_total;
      if (done) break;
    }
  }
  double mean = 0;
  for (double s : step_s) mean += s;
  mean /= static_cast<double>(step_s.size());
  const double median = percentile(step_s, 0.5);

  const double bw1 = triad_bandwidth(1);
  const unsigned all = thread_pool_size();
  const double bw_all = triad_bandwidth(all);
  const double roof1 = kWeightBytes / bw1;
  const double roof_all = kWeightBytes / bw_all;

  bench::TextModelDecodeStep model(kPromptTokens);
  double step1 = 0, step_all = 0;
  {
    ThreadCapScope cap(1);
    step1 = bench::median_seconds_in_turns(kDecodeRounds, {[&] { model.run(); }})[0];
  }
  {
    ThreadCapScope cap(all);
    step_all = bench::median_seconds_in_turns(kDecodeRounds, {[&] { model.run(); }})[0];
  }

  std::printf("CPU: %s\n", bench::cpu_model().c_str());
  std::printf("constraint: nested schema, %zu states, vocabulary %zu ids, trie %zu nodes\n",
              probe.states.size(), kVocabSize, probe.trie.size());
  std::printf("compile per request        median %8.3f ms (%d runs)\n",
              percentile(compile_s, 0.5) * 1e3, kCompileRuns);
  std::printf("per token (mask+accept)    median %8.1f us   p90 %8.1f us   mean %8.1f us   "
              "(%zu tokens, %d walks, 1 thread)\n",
              median * 1e6, percentile(step_s, 0.9) * 1e6, mean * 1e6, tokens_total, kWalks);
  std::printf("decode step, graph executor (FP16, %llu-token prefill, vocabulary %llu), median of %d\n",
              static_cast<unsigned long long>(kPromptTokens),
              static_cast<unsigned long long>(model.vocab()), kDecodeRounds);
  std::printf("  1 thread   %8.2f ms/token   constraint median %5.2f%%  mean %5.2f%%\n",
              step1 * 1e3, 100 * median / step1, 100 * mean / step1);
  std::printf("  %u threads  %8.2f ms/token   constraint median %5.2f%%  mean %5.2f%%\n", all,
              step_all * 1e3, 100 * median / step_all, 100 * mean / step_all);
  std::printf("decode step roofline       %.1f MB of FP16 weights per token\n", kWeightBytes / 1e6);
  std::printf("  triad 1 thread   %6.1f GB/s -> %7.2f ms/token   constraint median %5.2f%%  mean %5.2f%%\n",
              bw1 / 1e9, roof1 * 1e3, 100 * median / roof1, 100 * mean / roof1);
  std::printf("  triad %u threads %6.1f GB/s -> %7.2f ms/token   constraint median %5.2f%%  mean %5.2f%%\n",
              all, bw_all / 1e9, roof_all * 1e3, 100 * median / roof_all, 100 * mean / roof_all);
  return 0;
}
