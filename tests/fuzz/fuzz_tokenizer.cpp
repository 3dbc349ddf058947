// The tokenizer under arbitrary text with the test model's vocabulary. Checked, not just run:
// encoding succeeds exactly on valid UTF-8; the raw bytes of the ids (added tokens as their
// text) give back the input; decoding gives the text without the added tokens; and on short
// inputs the heap and rescan merges agree.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "generative/model_config.h"
#include "generative/processor_assets.h"
#include "generative/tokenizer.h"
#include "tests/core/utf8_reference.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

std::string read_file(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  require(f != nullptr);
  std::string s;
  char buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) s.append(buffer, n);
  std::fclose(f);
  return s;
}

const vexa::Processor& processor() {
  static const std::unique_ptr<vexa::Processor> p = [] {
    const std::string root = VEXA_FIXTURES_DIR;
    nlohmann::json assets = nlohmann::json::object();
    for (const std::string_view name : vexa::kProcessorAssetNames) {
      const std::string folder = name == "tokenizer.json" ? "/tokenizer/" : "/processor/";
      assets[std::string(name)] = nlohmann::json::parse(read_file(root + folder + std::string(name)));
    }
    return vexa::processor_load_config(std::move(assets));
  }();
  return *p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const vexa::Processor& p = processor();
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<int64_t> ids;
  bool encoded = true;
  try {
    ids = vexa::tokenizer_encode(p, text);
  } catch (const std::runtime_error&) {
    encoded = false;
  }
  require(encoded == vexa::testing::reference_utf8_valid(text));
  if (!encoded) return 0;

  std::string all, plain;
  for (const int64_t id : ids) {
    if (p.tokens.is_special(static_cast<uint64_t>(id))) {
      all += p.tokens.id_to_token[static_cast<uint64_t>(id)];
    } else {
      const std::string bytes = vexa::processor_token_bytes(p, id);
      all += bytes;
      plain += bytes;
    }
  }
  require(all == text);
  require(vexa::tokenizer_decode_ids(p, ids) == plain);

  if (size <= 512) {
    std::vector<uint32_t> scan;
    for (size_t i = 0; i < size; ++i) scan.push_back(p.tokens.byte_symbol[data[i]]);
    std::vector<uint32_t> heap = scan;
    vexa::bpe_merge_symbols_by_scan(p.tokens, scan);
    vexa::bpe_merge_symbols_by_heap(p.tokens, heap);
    require(scan == heap);
  }
  return 0;
}
