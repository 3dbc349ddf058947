#include "tools/cli_options.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "core/domain_error.h"
#include "generative/sampler.h"
#include "tools/messages_file.h"

namespace vexa::tools {

using nlohmann::json;

namespace {

constexpr const char* kFrontend = "VexaFrontend";
constexpr uint64_t kMaxTokenOption = 8192;
constexpr uint64_t kMinImageEdge = 512;
constexpr uint64_t kMaxImageEdge = 2048;

constexpr std::string_view kValueOptions[] = {
    "--model",       "--prompt",         "--messages",     "--image",
    "--image-detail", "--image-longest-edge", "--image-crop", "--max-new-tokens",
    "--context-length", "--activation",   "--backend",      "--report",
    "--output",      "--decode-ids",     "--temperature",  "--top-p",
    "--min-p",       "--repetition-penalty", "--top-k",    "--repetition-window",
    "--seed",        "--stop"};
static_assert(std::size(kValueOptions) == 22);

struct Flag {
  std::string_view option;
  const char* key;  // null: accepted, stores nothing
};
constexpr Flag kFlags[] = {{"--stream", "stream"},           {"--graph-attention", "graph_attention"},
                           {"--graph-linear", "graph_linear"}, {"--profile", "profile"},
                           {"--mps-prefill", "mps_prefill"},   {"--mps-attention", "mps_attention"},
                           {"--answer-only", nullptr}};

constexpr const char* kIntegerKeys[] = {"image_longest_edge", "max_new_tokens", "top_k",
                                        "repetition_window",  "seed",           "context_length"};
constexpr const char* kNumberKeys[] = {"temperature", "top_p", "min_p", "repetition_penalty"};

[[noreturn]] void refuse(const std::string& message) { throw DomainError(kFrontend, message); }

bool is_value_option(std::string_view arg) {
  for (const std::string_view o : kValueOptions) {
    if (o == arg) return true;
  }
  return false;
}

// "--image-longest-edge" -> "image_longest_edge".
std::string option_key(std::string_view option) {
  std::string key(option.substr(2));
  for (char& c : key) {
    if (c == '-') c = '_';
  }
  return key;
}

// The whole text as a finite double.
std::optional<double> scan_double(std::string_view text) {
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool has(const json& o, const char* key) { return o.contains(key); }

std::string text_of(const json& o, const char* key) { return o.at(key).get<std::string>(); }

void check_integer(json& o, const char* key) {
  json& v = o[key];
  if (!v.is_string()) return;  // a default, already a number
  const std::string text = v.get<std::string>();
  if (!all_digits(text)) refuse("Invalid integer option");
  uint64_t x = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), x);
  if (ec != std::errc() || end != text.data() + text.size()) refuse("Integer option too large");
  if (std::string_view(key) != "seed" && x > std::numeric_limits<uint32_t>::max()) {
    refuse("Integer option too large");
  }
  v = x;
}

uint64_t number_of(const json& o, const char* key) { return o.at(key).get<uint64_t>(); }

std::vector<std::string_view> split_commas(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                        : comma - start));
    if (comma == std::string_view::npos) return parts;
    start = comma + 1;
  }
}

void read_messages(json& o) {
  if (has(o, "image")) refuse("Use image items with --messages");
  std::string text;
  if (!read_messages_text(text_of(o, "messages"), &text)) refuse("Cannot read messages JSON");
  json messages;
  try {
    messages = parse_messages_json(text);
  } catch (const json::exception& e) {
    refuse(messages_json_error_text(e));
  } catch (const std::runtime_error& e) {
    refuse(e.what());  // nested past the depth limit
  } catch (const std::bad_alloc&) {
    refuse("Cannot read messages JSON");  // a document larger than memory holds
  }
  if (!messages.is_array()) refuse("Messages must be a JSON array");
  o["messages"] = std::move(messages);
}

void check_crop(json& o) {
  const std::vector<std::string_view> parts = split_commas(text_of(o, "image_crop"));
  if (parts.size() != 4) refuse("Crop requires four normalized coordinates");
  std::vector<double> c;
  for (const std::string_view part : parts) {
    const std::optional<double> v = scan_double(part);
    if (!v) refuse("Invalid crop coordinate");
    c.push_back(*v);
  }
  if (!(0.0 <= c[0] && c[0] < c[2] && c[2] <= 1.0 && 0.0 <= c[1] && c[1] < c[3] && c[3] <= 1.0)) {
    refuse("Crop bounds");
  }
  o["image_crop"] = c;
}

}  // namespace

json cli_parse_options(std::span<const std::string> arguments) {
  json o = {{"activation", "fp32"},
            {"image_detail", "single"},
            {"max_new_tokens", 64},
            {"model", kDefaultVlmModelPath}};
  for (size_t i = 2; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    bool flag = false;
    for (const Flag& f : kFlags) {
      if (f.option != arg) continue;
      if (f.key != nullptr) o[f.key] = true;
      flag = true;
    }
    if (flag) continue;
    if (!is_value_option(arg) || i + 1 >= arguments.size()) {
      refuse("Unknown/incomplete option: " + arg);
    }
    const std::string key = option_key(arg);
    const std::string& value = arguments[++i];
    if (key == "stop") {
      if (value.empty()) refuse("Empty stop sequence");
      if (!has(o, "stop")) o["stop"] = json::array();
      o["stop"].push_back(value);
      continue;
    }
    if (o.contains(key + "_set")) refuse("Duplicate CLI option");
    o[key] = value;
    o[key + "_set"] = true;
  }

  if (has(o, "prompt") == has(o, "messages")) {
    refuse("Exactly one of --prompt or --messages is required");
  }
  if (has(o, "messages")) read_messages(o);
  const std::string detail = text_of(o, "image_detail");
  if (detail != "single" && detail != "tiled") refuse("--image-detail must be single or tiled");
  const std::string activation = text_of(o, "activation");
  if (activation != "fp16" && activation != "fp32") refuse("--activation must be fp16 or fp32");
  if (has(o, "backend")) {
    const std::string b = text_of(o, "backend");
    if (b != "auto" && b != "metal" && b != "mps" && b != "mpsgraph") {
      refuse("--backend must be auto, metal, mps or mpsgraph");
    }
  }
  for (const char* key : kIntegerKeys) {
    if (has(o, key)) check_integer(o, key);
  }
  for (const char* key : kNumberKeys) {
    if (!has(o, key)) continue;
    const std::optional<double> v = scan_double(text_of(o, key));
    if (!v) refuse("Invalid sampling number");
    o[key] = *v;
  }
  sampling_params_from_dictionary(o);  // its refusal is "Invalid sampling parameters"
  if (has(o, "context_length")) {
    const uint64_t c = number_of(o, "context_length");
    if (c < 1 || c > kMaxTokenOption) refuse("--context-length must be 1..8192");
  }
  const uint64_t max_new = number_of(o, "max_new_tokens");
  if (max_new < 1 || max_new > kMaxTokenOption) refuse("--max-new-tokens must be 1..8192");
  if (!has(o, "image") && !has(o, "messages") &&
      (has(o, "image_longest_edge") || has(o, "image_crop") || detail != "single")) {
    refuse("Image detail settings require --image");
  }
  if (!has(o, "image_longest_edge")) o["image_longest_edge"] = detail == "tiled" ? 2048 : 512;
  const uint64_t edge = number_of(o, "image_longest_edge");
  if (edge < kMinImageEdge || edge > kMaxImageEdge || (detail == "single" && edge != 512)) {
    refuse("Invalid image longest edge");
  }
  if (has(o, "image_crop")) check_crop(o);
  return o;
}

std::optional<json> cli_parse_arguments(std::span<const std::string> arguments) {
  try {
    return cli_parse_options(arguments);
  } catch (const DomainError& e) {
    std::fprintf(stderr, "vexa: %s\n", e.reason());
    return std::nullopt;
  }
}

std::string cli_model_path(const json& options) { return options.at("model").get<std::string>(); }

}  // namespace vexa::tools
