// Text held as views (std::string_view over bytes) and as Bytes buffers: UTF-8 validation and
// counting, search and comparison, slicing and trimming, split and join, ASCII case mapping,
// padding and replacement, strict number parsing, FNV-1a hashing and an intern table.
//
// Every view returned here has a non-null pointer (empty results point at one shared empty
// string). Builders return a caller-owned Bytes, or an empty {null, 0, 0} after any allocation
// failure or size overflow (never a half-built text). Number parsing ignores the process
// locale: "3.5" means three and a half whatever LC_NUMERIC says.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/bytes.h"
#include "core/dyn_array.h"

namespace vexa::text {

// Tab, line feed, carriage return and space; vertical tab and form feed are not whitespace.
bool is_space(uint8_t byte);
uint8_t ascii_lower(uint8_t byte);

uint64_t view_len(std::string_view v);
bool view_is_empty(std::string_view v);
// The caller guarantees offset + n lies inside p's text.
bool view_equal_at(const char* p, uint64_t offset, const char* other, uint64_t n);

bool utf8_valid(std::string_view v);
// Bytes that are not continuation bytes (0x80..0xBF); does not validate.
uint64_t utf8_count(std::string_view v);
bool is_ascii(std::string_view v);

bool starts_with(std::string_view v, std::string_view prefix);
bool ends_with(std::string_view v, std::string_view suffix);
bool contains(std::string_view v, std::string_view needle);
// Non-overlapping occurrences left to right; 0 for an empty needle.
uint64_t count(std::string_view v, std::string_view needle);
bool equal_ignore_ascii_case(std::string_view a, std::string_view b);
// -1, 0 or 1: unsigned byte order, then the shorter view first.
int32_t compare(std::string_view a, std::string_view b);
// 64-bit FNV-1a.
uint64_t hash_view(std::string_view v);
uint64_t hash_view_2(std::string_view v);

OptionalValue<uint8_t> byte_at(std::string_view v, uint64_t i);
OptionalValue<uint64_t> find(std::string_view v, std::string_view needle);
OptionalValue<uint64_t> rfind(std::string_view v, std::string_view needle);
OptionalValue<std::string_view> view_slice(std::string_view v, uint64_t start, uint64_t end);
// Whole view: optional sign and decimal digits, within the i64 range.
OptionalValue<int64_t> parse_i64(std::string_view v);
// Whole view of 1..63 bytes: [sign] digits [. digits] [(e|E) [sign] digits].
OptionalValue<double> parse_f64(std::string_view v);

std::string_view take_prefix(std::string_view v, uint64_t k);
std::string_view take_suffix(std::string_view v, uint64_t k);
std::string_view drop_prefix(std::string_view v, uint64_t k);
std::string_view drop_suffix(std::string_view v, uint64_t k);
// The length is not consulted: the caller guarantees end <= length.
std::string_view view_slice_unchecked(const char* p, uint64_t length, uint64_t start,
                                      uint64_t end);
std::string_view strip_prefix(std::string_view v, std::string_view affix);
std::string_view strip_suffix(std::string_view v, std::string_view affix);
std::string_view trim_start(std::string_view v);
std::string_view trim_end(std::string_view v);
std::string_view trim(std::string_view v);

// Views into a source text; the caller frees `views` with free().
struct ViewArray {
  std::string_view* views;
  uint64_t count;
  uint64_t capacity;
};
static_assert(sizeof(std::string_view) == 16);

inline constexpr uint64_t kViewBytes = sizeof(std::string_view);
inline constexpr uint64_t kMaxViewArrayElements = UINT64_MAX / kViewBytes;

ViewArray view_array_empty();
OptionalValue<uint64_t> view_array_bytes(uint64_t n);
uint32_t view_array_reserve_exact(ViewArray* a, uint64_t cap);
uint32_t view_array_push(ViewArray* a, std::string_view v);
OptionalValue<std::string_view> view_array_get(const ViewArray* a, uint64_t i);

Bytes repeat(const char* p, uint64_t n, uint64_t times);
Bytes concat(const Bytes* b, const char* p, uint64_t n);
Bytes join(const ViewArray* segments, std::string_view separator);
Bytes replace_all(const Bytes* b, std::string_view needle, std::string_view replacement);
Bytes pad_left(const Bytes* b, uint64_t width, std::string_view fill);
Bytes pad_right(const Bytes* b, uint64_t width, std::string_view fill);
Bytes to_lower(const Bytes* b);
Bytes to_upper(const Bytes* b);
Bytes capitalize(const Bytes* b);
Bytes uncapitalize(const Bytes* b);

struct OwnedTextResult {
  uint32_t tag;  // 0: valid UTF-8, copied into text; 1: invalid
  Bytes text;
};
// Takes ownership of a malloc'd block and frees it in every case.
OwnedTextResult text_from_owned(void* block, uint64_t n);

// An empty separator gives one view, the whole text. {null, 0, 0} on allocation failure.
ViewArray split(std::string_view v, std::string_view separator);

// One heap block per interned text: this header, then the bytes (the view points just past it).
struct InternNode {
  InternNode* next;
  uint64_t hash;  // FNV-1a of the bytes
  uint64_t length;
};
static_assert(sizeof(InternNode) == 24);

// Process-wide table of interned texts, never freed: equal texts give the same pointer.
// Returns the empty view when the text cannot be stored.
std::string_view intern(std::string_view v);

}  // namespace vexa::text
