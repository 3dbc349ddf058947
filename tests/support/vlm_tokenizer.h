// A byte-level BPE tokenizer document for test models: GPT-2's tables (the committed fixture)
// cut to their first K merges, plus the special tokens the chat template and the image views
// need. Built at write time, so no tokenizer file is committed per model.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vexa::testing {

struct VlmTokenizer {
  std::string json;   // tokenizer.json
  uint64_t id_count;  // highest id + 1
  // Every special token (content, id), in id order; all of them follow the merged symbols.
  std::vector<std::pair<std::string, int64_t>> specials;
  int64_t im_start_id;
  int64_t im_end_id;
  int64_t end_of_utterance_id;
  int64_t image_id;
  int64_t fake_image_id;
  int64_t global_image_id;
};

inline constexpr const char* kImageToken = "<image>";
inline constexpr const char* kFakeImageToken = "<fake_token_around_image>";
inline constexpr const char* kGlobalImageToken = "<global-img>";
inline constexpr const char* kImStartToken = "<|im_start|>";
inline constexpr const char* kImEndToken = "<|im_end|>";
inline constexpr const char* kEndOfUtteranceToken = "<end_of_utterance>";
// Tiled views use a grid of at most 4 x 4 tiles (2048 / 512 per side).
inline constexpr int kMaxTileGrid = 4;

// Ids 0..255 are GPT-2's byte symbols and id 256 + i is the result of merge i; both are checked
// against the fixture, and a fixture that breaks either rule is refused. `merges` is 1..50000.
bool build_vlm_tokenizer(uint64_t merges, VlmTokenizer* out, std::string* error);

// The UTF-8 symbol GPT-2's byte-level alphabet gives byte b.
std::string byte_symbol(uint8_t b);

}  // namespace vexa::testing
