// Text library speed against plain references on the same inputs in the same run:
// UTF-8 counting and validation against byte-at-a-time loops, case mapping against
// std::tolower, and number parsing against the C library's strtod/strtoll.
// One line per case: our median, the reference's median, and their ratio. Single thread.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/text_utf8.h"
#include "tests/core/utf8_reference.h"

namespace {

using namespace vexa;

constexpr int kWarmupRuns = 3;
constexpr int kTimedRuns = 15;
volatile uint64_t g_sink = 0;

// Keeps results observable so the compiler cannot drop the work.
void consume(uint64_t x) { g_sink = g_sink + x; }

template <typename Fn>
double median_ms(Fn&& fn) {
  for (int i = 0; i < kWarmupRuns; ++i) fn();
  std::vector<double> times;
  for (int i = 0; i < kTimedRuns; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    const auto t1 = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

template <typename Ours, typename Reference>
void report(const char* name, Ours&& ours, Reference&& reference) {
  const double a = median_ms(ours);
  const double b = median_ms(reference);
  std::printf("%-28s ours %9.3f ms   reference %9.3f ms   ratio %5.2f\n", name, a, b, a / b);
}

std::string mixed_utf8(size_t bytes, uint32_t seed) {
  std::mt19937 rng(seed);
  const char* samples[] = {"a", "Z", " ", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "q"};
  std::string s;
  while (s.size() < bytes) s += samples[rng() % std::size(samples)];
  return s;
}

}  // namespace

int main() {
  const size_t kTextBytes = size_t{16} << 20;
  const std::string text = mixed_utf8(kTextBytes, 7);
  std::printf("text: %zu bytes of mixed UTF-8, 1 thread, median of %d runs\n", text.size(),
              kTimedRuns);

  report("utf8_count", [&] { consume(text::utf8_count(text)); },
         [&] {
           uint64_t n = 0;
           for (const char ch : text) n += (static_cast<uint8_t>(ch) & 0xC0) != 0x80;
           consume(n);
         });

  report("utf8_valid", [&] { consume(text::utf8_valid(text)); },
         [&] { consume(testing::reference_utf8_valid(text)); });
  const std::string ascii(kTextBytes, 'x');
  report("utf8_valid (ascii)", [&] { consume(text::utf8_valid(ascii)); },
         [&] { consume(testing::reference_utf8_valid(ascii)); });

  const Bytes source = bytes_copy(text.data(), text.size());
  std::string lowered(text.size(), ' ');
  report("to_lower", [&] {
    Bytes out = text::to_lower(&source);
    consume(out.length);
    bytes_free(&out);
  },
         [&] {
           std::transform(text.begin(), text.end(), lowered.begin(),
                          [](char c) { return static_cast<char>(std::tolower(c)); });
           consume(lowered.size());
         });
  Bytes owned = source;
  bytes_free(&owned);

  std::mt19937 rng(11);
  std::vector<std::string> floats;
  std::vector<std::string> ints;
  for (int i = 0; i < 200000; ++i) {
    floats.push_back(std::to_string(rng() % 100000) + "." + std::to_string(rng() % 1000) + "e-" +
                     std::to_string(rng() % 30));
    ints.push_back(std::to_string(static_cast<int64_t>(rng()) * (rng() % 2 ? 1 : -1)));
  }
  report("parse_f64 (200k)", [&] {
    for (const std::string& s : floats) consume(text::parse_f64(s).tag);
  },
         [&] {
           for (const std::string& s : floats) consume(std::strtod(s.c_str(), nullptr) > 0);
         });
  report("parse_i64 (200k)", [&] {
    for (const std::string& s : ints) consume(text::parse_i64(s).tag);
  },
         [&] {
           for (const std::string& s : ints) consume(std::strtoll(s.c_str(), nullptr, 10) > 0);
         });
  return 0;
}
