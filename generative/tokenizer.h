// Byte-level BPE over a processor's tables: added tokens are found in the raw text first, the
// text between them is pre-tokenized (digits one by one, then contractions, letter runs, number
// runs, punctuation runs, each optionally led by one space, and whitespace runs) and each piece
// is merged over its bytes. Decoding maps symbols back to bytes. Safe on many threads at once.
//
// Failures throw std::runtime_error: "Invalid UTF-8 input", "Missing BPE symbol", "Decode ID",
// "Byte decoding", "Decode token out of bounds".
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "generative/model_config.h"

namespace vexa {

std::vector<int64_t> tokenizer_encode(const Processor& processor, std::string_view text);

// Pre-tokenizes one stretch without added tokens and appends the ids of every piece.
void pretokenize(const Processor& processor, std::string_view text, std::vector<int64_t>& ids);

// The pieces' byte ranges of one stretch, in order (for tests and tools).
std::vector<std::string_view> pretokenize_pieces(std::string_view text);

// BPE of one piece; ids appended.
void bpe_merge_word(const Processor& processor, std::string_view piece, std::vector<int64_t>& ids);

// Valid UTF-8 always: special ids are skipped and each invalid span of the joined bytes becomes
// one U+FFFD.
std::string tokenizer_decode_ids(const Processor& processor, std::span<const int64_t> ids);

// The raw bytes of one token, possibly part of a UTF-8 sequence; empty for a special id.
std::string processor_token_bytes(const Processor& processor, int64_t id);

// Symbol-level BPE by its defining rule: each pass rescans every adjacent pair and merges the
// lowest rank, leftmost among equals. Quadratic; the encoder uses an equivalent heap for long
// pieces, and tests compare the two.
void bpe_merge_symbols_by_scan(const TokenizerTables& tables, std::vector<uint32_t>& symbols);
void bpe_merge_symbols_by_heap(const TokenizerTables& tables, std::vector<uint32_t>& symbols);

}  // namespace vexa
