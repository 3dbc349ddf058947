// Request preparation and the two command-line parsers under arbitrary input. The input is a
// JSON request followed, after a NUL byte, by bytes that every "$bytes" string of the request
// lends (as image data); it is also split at NUL bytes into a command line for both parsers.
// Every outcome must be a prepared request or an error, never a crash, hang or overrun.
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "generative/model_config.h"
#include "generative/processor_assets.h"
#include "generative/request_options.h"
#include "generative/request_prepare.h"
#include "tools/cli_options.h"
#include "tools/sibling_args.h"

namespace {

// Keeps the largest tensors (an n x n mask, V x P x P vision masks) small enough to fuzz fast.
constexpr uint32_t kFuzzContextTokens = 1024;

const vexa::Processor& processor() {
  static const std::unique_ptr<vexa::Processor> p = [] {
    nlohmann::json assets = nlohmann::json::object();
    for (const std::string_view name : vexa::kProcessorAssetNames) {
      const std::string folder = name == "tokenizer.json" ? "/tokenizer/" : "/processor/";
      std::ifstream in(std::string(VEXA_FIXTURES_DIR) + folder + std::string(name), std::ios::binary);
      std::ostringstream s;
      s << in.rdbuf();
      assets[std::string(name)] = nlohmann::json::parse(s.str());
    }
    return vexa::processor_load_config(std::move(assets));
  }();
  return *p;
}

void lend_marked_bytes(nlohmann::json& v, vexa::RequestDocument& doc, const uint8_t* data,
                       uint64_t size) {
  if (v.is_string() && v == "$bytes") {
    v = doc.lend_bytes(data, size);
  } else if (v.is_structured()) {
    for (auto& child : v) lend_marked_bytes(child, doc, data, size);
  }
}

void prepare(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const size_t split = text.find('\0');
  const std::string_view request_text = text.substr(0, split);
  const uint8_t* bytes = split == std::string_view::npos ? data + size : data + split + 1;
  const uint64_t byte_count = static_cast<uint64_t>(data + size - bytes);
  vexa::RequestDocument doc;
  try {
    doc.values = nlohmann::json::parse(request_text, nullptr, true, false);
  } catch (const std::exception&) {
    return;
  }
  lend_marked_bytes(doc.values, doc, bytes, byte_count);
  try {
    vexa::ProcessorOptions o = vexa::processor_options_from_request(doc);
    if (o.context_length > kFuzzContextTokens) o.context_length = kFuzzContextTokens;
    vexa::prepare_request(processor(), o);
  } catch (const std::exception&) {
  }
}

void parse_command_lines(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"vexa", "prepare"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  args.push_back(current);
  try {
    vexa::tools::cli_parse_options(args);
  } catch (const std::exception&) {
  }
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  try {
    vexa::tools::tool_parse_args(static_cast<int>(argv.size()), argv.data());
  } catch (const std::exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  prepare(data, size);
  parse_command_lines(data, size);
  return 0;
}
