#include "tools/sibling_args.h"

#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

#include "generative/sampler.h"
#include "tools/messages_file.h"

namespace vexa::tools {

namespace {

constexpr uint64_t kMaxPositiveOption = 8192;

[[noreturn]] void refuse(const std::string& message) { throw std::runtime_error(message); }

bool only_digits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

double sampling_number(const std::string& text) {
  size_t used = 0;
  const double v = std::stod(text, &used);
  if (used != text.size() || !std::isfinite(v)) refuse("Invalid sampling number");
  return v;
}

uint64_t sampling_integer(const std::string& text, bool limit_to_u32) {
  if (!only_digits(text)) refuse("Invalid sampling integer");
  const uint64_t v = std::stoull(text);
  if (limit_to_u32 && v > std::numeric_limits<uint32_t>::max()) refuse("Sampling integer too large");
  return v;
}

uint32_t positive_integer(const std::string& text) {
  if (!only_digits(text)) refuse("Invalid positive integer");
  const uint64_t v = std::stoull(text);
  if (v > kMaxPositiveOption) refuse("Option too large");
  return static_cast<uint32_t>(v);
}

}  // namespace

ProcessorOptions tool_parse_args(int argc, const char* const* argv) {
  if (argc < 2) refuse(kSiblingUsage);
  ProcessorOptions o;
  o.command = argv[1];
  if (o.command != "chat" && o.command != "prepare" && o.command != "selftest" &&
      o.command != "info") {
    refuse("Unknown command");
  }
  std::string activation = "fp16";
  std::string scope = "prefill";
  bool edge_given = false;
  std::set<std::string> seen;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!seen.insert(arg).second && arg != "--stop") refuse("Duplicate option " + arg);
    if (arg == "--stream") {
      o.stream = true;
      continue;
    }
    if (arg == "--profile" || arg == "--profile-ops") {
      o.profile = true;
      if (arg == "--profile-ops") o.profile_ops = true;
      continue;
    }
    if (i + 1 >= argc) refuse("Missing option value");
    const std::string value = argv[++i];
    if (arg == "--model") {
      o.model_path = value;
    } else if (arg == "--prompt") {
      o.prompt = value;
    } else if (arg == "--image") {
      o.image_path = value;
    } else if (arg == "--image-detail") {
      o.image_detail = value;
    } else if (arg == "--report") {
      o.report_path = value;
    } else if (arg == "--output") {
      o.output_directory = value;
    } else if (arg == "--vision-calibration") {
      o.vision_calibration = value;
    } else if (arg == "--backend") {
      if (value != "vulkan") refuse("Only Vulkan backend supported in this build");
      o.backend = value;
    } else if (arg == "--activation") {
      activation = value;
    } else if (arg == "--int8-scope") {
      scope = value;
    } else if (arg == "--messages") {
      std::string text;
      if (!read_messages_text(value, &text)) refuse("Cannot read messages JSON");
      o.messages = parse_messages_json(text);
      if (!o.messages.is_array()) refuse("Messages must be a JSON array");
    } else if (arg == "--stop") {
      if (value.empty()) refuse("Empty stop sequence");
      o.stop_sequences.push_back(value);
    } else if (arg == "--temperature") {
      o.sampling.temperature = sampling_number(value);
    } else if (arg == "--top-p") {
      o.sampling.top_p = sampling_number(value);
    } else if (arg == "--min-p") {
      o.sampling.min_p = sampling_number(value);
    } else if (arg == "--repetition-penalty") {
      o.sampling.repetition_penalty = sampling_number(value);
    } else if (arg == "--top-k") {
      o.sampling.top_k = static_cast<uint32_t>(sampling_integer(value, true));
    } else if (arg == "--repetition-window") {
      o.sampling.repetition_window = static_cast<uint32_t>(sampling_integer(value, true));
    } else if (arg == "--seed") {
      o.sampling.seed = sampling_integer(value, false);
    } else if (arg == "--max-new-tokens") {
      o.max_new_tokens = positive_integer(value);
    } else if (arg == "--image-longest-edge") {
      o.image_longest_edge = positive_integer(value);
      edge_given = true;
    } else if (arg == "--context-length") {
      o.context_length = positive_integer(value);
    } else {
      refuse("Unknown option " + arg);
    }
  }

  if (!sampling_params_valid(&o.sampling)) refuse("Invalid sampling parameters");
  if (activation != "fp16" && activation != "int8") refuse("--activation must be fp16 or int8");
  if (!o.vision_calibration.empty() &&
      (o.command != "chat" || o.backend != "vulkan" || activation != "fp16" ||
       o.image_path.empty())) {
    refuse("--vision-calibration requires a Vulkan FP16 image chat");
  }
  if (scope != "prefill" && scope != "vision") refuse("--int8-scope must be prefill or vision");
  if (seen.count("--int8-scope") != 0 && activation != "int8") {
    refuse("--int8-scope requires --activation int8");
  }
  o.activation_policy = activation == "fp16" ? 1 : (scope == "vision" ? 3 : 2);
  if (o.command == "selftest" || o.command == "info") return o;

  if (o.model_path.empty() || (seen.count("--prompt") != 0) == (seen.count("--messages") != 0)) {
    refuse("--model and exactly one of --prompt or --messages required");
  }
  if (o.image_detail != "single" && o.image_detail != "tiled") refuse("Image detail");
  if (!edge_given) o.image_longest_edge = o.image_detail == "tiled" ? 2048 : 512;
  if (o.max_new_tokens < 1 || o.max_new_tokens > o.context_length ||
      o.context_length > kMaxPositiveOption) {
    refuse("Invalid token budget");
  }
  if (o.image_longest_edge < 512 || o.image_longest_edge > 2048 ||
      (o.image_detail != "tiled" && o.image_longest_edge != 512)) {
    refuse("Image edge");
  }
  if (o.image_path.empty() && o.messages.is_null() && (o.image_detail != "single" || edge_given)) {
    refuse("Image options require image");
  }
  if (o.command == "prepare" && o.output_directory.empty()) refuse("--output required");
  return o;
}

}  // namespace vexa::tools
