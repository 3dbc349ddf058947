// Parsing a command line's messages file: parse_messages_json (the depth check, then the parse)
// beside the JSON library's plain parse of the same text, which has no depth limit, in the same
// run. One thread; medians of the timed runs after a warm-up, the two timed in turns. Cases: 12
// MB of well-formed chat messages, and 900 KB of empty objects in one array (the shape that made
// the former depth guard's parse quadratic).
//
//   bench_messages [runs (7)]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/bench_stream.h"
#include "tools/messages_file.h"

namespace {

constexpr size_t kMessagesBytes = size_t{12} << 20;
constexpr size_t kEmptyObjects = 300000;  // "{}," each: 900 KB

// Alternating user and assistant turns of one text item each, to at least kMessagesBytes.
std::string chat_messages() {
  std::string text = "[";
  for (size_t i = 0; text.size() < kMessagesBytes; ++i) {
    if (i != 0) text += ",";
    text += R"({"role": ")";
    text += i % 2 == 0 ? "user" : "assistant";
    text += R"(", "content": [{"type": "text", "text": "Turn )" + std::to_string(i) +
            R"(: what does the picture on the left show, and how many people are in it?"}]})";
  }
  return text + "]";
}

std::string empty_objects() {
  std::string text = "[";
  for (size_t i = 0; i < kEmptyObjects; ++i) text += i == 0 ? "{}" : ",{}";
  return text + "]";
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  std::printf("CPU: %s; one thread, median of %d runs after a warm-up\n", bench::cpu_model().c_str(),
              runs);
  const struct {
    const char* name;
    std::string text;
  } cases[] = {{"chat messages", chat_messages()}, {"empty objects", empty_objects()}};
  for (const auto& c : cases) {
    size_t entries = 0;
    const std::vector<double> s = bench::median_seconds_in_turns(
        runs, {[&] { entries = vexa::tools::parse_messages_json(c.text).size(); },
               [&] { entries = nlohmann::json::parse(c.text).size(); }});
    std::printf("%-14s %6.2f MB %7zu entries   ours %8.1f ms   json::parse %8.1f ms   ratio %.2f\n",
                c.name, static_cast<double>(c.text.size()) / 1e6, entries, s[0] * 1e3, s[1] * 1e3,
                s[0] / s[1]);
  }
  return 0;
}
