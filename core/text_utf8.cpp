#include "core/text_utf8.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/checked_math.h"

namespace vexa::text {

namespace {

// Non-empty views keep their pointer; empty ones are normalised to the shared empty string.
std::string_view make_view(const char* p, uint64_t n) {
  if (n == 0) return empty_text_view();
  return std::string_view(p, n);
}

const uint8_t* ubytes(std::string_view v) { return reinterpret_cast<const uint8_t*>(v.data()); }

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

uint8_t ascii_upper(uint8_t b) { return (b >= 'a' && b <= 'z') ? static_cast<uint8_t>(b - 32) : b; }

Bytes empty_bytes() { return Bytes{nullptr, 0, 0}; }

// An exact-size block of n bytes, {null, 0, 0} for n = 0 or when the heap is exhausted.
Bytes alloc_text(uint64_t n) {
  if (n == 0) return empty_bytes();
  auto* block = static_cast<uint8_t*>(std::malloc(n));
  if (block == nullptr) return empty_bytes();
  return Bytes{block, n, n};
}

bool matches_at(std::string_view v, uint64_t pos, std::string_view needle) {
  return std::memcmp(v.data() + pos, needle.data(), needle.size()) == 0;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Copies b with every byte passed through map; 16 bytes per step keeps the loop vectorisable.
template <typename Map>
Bytes map_bytes(const Bytes* b, Map map) {
  Bytes out = alloc_text(b->length);
  if (out.data == nullptr) return out;
  const uint8_t* src = b->data;
  uint8_t* dst = out.data;
  constexpr uint64_t kStep = 16;
  uint64_t i = 0;
  for (; i + kStep <= b->length; i += kStep) {
    for (uint64_t j = 0; j < kStep; ++j) dst[i + j] = map(src[i + j]);
  }
  for (; i < b->length; ++i) dst[i] = map(src[i]);
  return out;
}

Bytes map_first_byte(const Bytes* b, uint8_t (*map)(uint8_t)) {
  Bytes out = alloc_text(b->length);
  if (out.data == nullptr) return out;
  std::memcpy(out.data, b->data, b->length);
  out.data[0] = map(out.data[0]);
  return out;
}

// The fill repeated and cut to exactly `bytes` bytes, written at dst.
void write_fill(uint8_t* dst, uint64_t bytes, std::string_view fill) {
  for (uint64_t i = 0; i < bytes; ++i) dst[i] = static_cast<uint8_t>(fill[i % fill.size()]);
}

Bytes pad(const Bytes* b, uint64_t width, std::string_view fill, bool left) {
  if (width <= b->length || fill.empty()) return concat(b, nullptr, 0);
  const uint64_t fill_bytes = width - b->length;
  Bytes out = alloc_text(width);
  if (out.data == nullptr) return out;
  uint8_t* text_at = left ? out.data + fill_bytes : out.data;
  uint8_t* fill_at = left ? out.data : out.data + b->length;
  if (b->length != 0) std::memcpy(text_at, b->data, b->length);
  write_fill(fill_at, fill_bytes, fill);
  return out;
}

// Rough decimal order of magnitude of a non-zero literal whose conversion left the double range:
// positive means it overflowed, otherwise it underflowed.
int64_t decimal_order(std::string_view int_digits, std::string_view frac_digits,
                      bool exp_negative, std::string_view exp_digits) {
  constexpr int64_t kSaturation = int64_t{1} << 40;
  int64_t exponent = 0;
  for (const char c : exp_digits) {
    exponent = exponent * 10 + (c - '0');
    if (exponent > kSaturation) {
      exponent = kSaturation;
      break;
    }
  }
  if (exp_negative) exponent = -exponent;
  for (uint64_t j = 0; j < int_digits.size(); ++j) {
    if (int_digits[j] != '0') return static_cast<int64_t>(int_digits.size() - j) + exponent;
  }
  for (uint64_t k = 0; k < frac_digits.size(); ++k) {
    if (frac_digits[k] != '0') return exponent - static_cast<int64_t>(k);
  }
  return exponent;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Predicates

bool is_space(uint8_t byte) { return byte == '\t' || byte == '\n' || byte == '\r' || byte == ' '; }

uint8_t ascii_lower(uint8_t byte) {
  return (byte >= 'A' && byte <= 'Z') ? static_cast<uint8_t>(byte + 32) : byte;
}

uint64_t view_len(std::string_view v) { return v.size(); }

bool view_is_empty(std::string_view v) { return v.empty(); }

bool view_equal_at(const char* p, uint64_t offset, const char* other, uint64_t n) {
  if (n == 0) return true;
  return std::memcmp(p + offset, other, n) == 0;
}

bool utf8_valid(std::string_view v) {
  const uint8_t* s = ubytes(v);
  const uint64_t n = v.size();
  uint64_t i = 0;
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  while (i < n) {
    // Runs of ASCII are skipped a word at a time.
    while (n - i >= sizeof(uint64_t)) {
      uint64_t word = 0;
      std::memcpy(&word, s + i, sizeof word);
      if ((word & kHighBits) != 0) break;
      i += sizeof word;
    }
    if (i == n) break;
    const uint8_t lead = s[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    uint64_t trailing = 0;
    uint8_t second_lo = 0x80;
    uint8_t second_hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      trailing = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trailing = 2;
      if (lead == 0xE0) second_lo = 0xA0;  // overlong three-byte forms
      if (lead == 0xED) second_hi = 0x9F;  // UTF-16 surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trailing = 3;
      if (lead == 0xF0) second_lo = 0x90;  // overlong four-byte forms
      if (lead == 0xF4) second_hi = 0x8F;  // above U+10FFFF
    } else {
      return false;  // stray continuation, overlong two-byte lead, or 0xF5..0xFF
    }
    if (n - i - 1 < trailing) return false;
    const uint8_t second = s[i + 1];
    if (second < second_lo || second > second_hi) return false;
    for (uint64_t k = 2; k <= trailing; ++k) {
      if (!is_continuation(s[i + k])) return false;
    }
    i += trailing + 1;
  }
  return true;
}

uint64_t utf8_count(std::string_view v) {
  const auto* s = reinterpret_cast<const int8_t*>(v.data());
  const uint64_t n = v.size();
  // A byte starts a character unless it is 0x80..0xBF, i.e. as a signed value it is > -65.
  constexpr int8_t kContinuationMax = -65;
  constexpr uint64_t kBlock = 32;
  constexpr uint64_t kWord = 8;
  uint64_t total = 0;
  uint64_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    uint32_t block = 0;
    for (uint64_t j = 0; j < kBlock; ++j) block += s[i + j] > kContinuationMax ? 1u : 0u;
    total += block;
  }
  for (; i + kWord <= n; i += kWord) {
    uint32_t word = 0;
    for (uint64_t j = 0; j < kWord; ++j) word += s[i + j] > kContinuationMax ? 1u : 0u;
    total += word;
  }
  for (; i < n; ++i) total += s[i] > kContinuationMax ? 1u : 0u;
  return total;
}

bool is_ascii(std::string_view v) {
  const uint8_t* s = ubytes(v);
  uint8_t any_high = 0;
  for (uint64_t i = 0; i < v.size(); ++i) any_high |= s[i];
  return any_high < 0x80;
}

bool starts_with(std::string_view v, std::string_view prefix) {
  if (prefix.size() > v.size()) return false;
  return prefix.empty() || matches_at(v, 0, prefix);
}

bool ends_with(std::string_view v, std::string_view suffix) {
  if (suffix.size() > v.size()) return false;
  return suffix.empty() || matches_at(v, v.size() - suffix.size(), suffix);
}

bool contains(std::string_view v, std::string_view needle) { return find(v, needle).tag == 0; }

uint64_t count(std::string_view v, std::string_view needle) {
  if (needle.empty() || needle.size() > v.size()) return 0;
  uint64_t found = 0;
  uint64_t pos = 0;
  while (pos <= v.size() - needle.size()) {
    if (matches_at(v, pos, needle)) {
      ++found;
      pos += needle.size();
    } else {
      ++pos;
    }
  }
  return found;
}

bool equal_ignore_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (uint64_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(static_cast<uint8_t>(a[i])) != ascii_lower(static_cast<uint8_t>(b[i]))) {
      return false;
    }
  }
  return true;
}

int32_t compare(std::string_view a, std::string_view b) {
  const uint64_t shorter = a.size() < b.size() ? a.size() : b.size();
  const int c = shorter == 0 ? 0 : std::memcmp(a.data(), b.data(), shorter);
  if (c != 0) return c < 0 ? -1 : 1;
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

uint64_t hash_view(std::string_view v) { return fnv1a64(v.data(), v.size()); }
uint64_t hash_view_2(std::string_view v) { return fnv1a64(v.data(), v.size()); }

// ---------------------------------------------------------------------------------------------
// Optional results

OptionalValue<uint8_t> byte_at(std::string_view v, uint64_t i) {
  if (i >= v.size()) return {1, 0};
  return {0, static_cast<uint8_t>(v[i])};
}

OptionalValue<uint64_t> find(std::string_view v, std::string_view needle) {
  if (needle.empty()) return {0, 0};
  if (needle.size() > v.size()) return {1, 0};
  for (uint64_t pos = 0; pos <= v.size() - needle.size(); ++pos) {
    if (matches_at(v, pos, needle)) return {0, pos};
  }
  return {1, 0};
}

OptionalValue<uint64_t> rfind(std::string_view v, std::string_view needle) {
  if (needle.empty()) return {0, v.size()};
  if (needle.size() > v.size()) return {1, 0};
  for (uint64_t pos = v.size() - needle.size() + 1; pos-- > 0;) {
    if (matches_at(v, pos, needle)) return {0, pos};
  }
  return {1, 0};
}

OptionalValue<std::string_view> view_slice(std::string_view v, uint64_t start, uint64_t end) {
  if (end < start || end > v.size()) return {1, empty_text_view()};
  return {0, make_view(v.data() + start, end - start)};
}

OptionalValue<int64_t> parse_i64(std::string_view v) {
  constexpr OptionalValue<int64_t> kInvalid{1, 0};
  constexpr uint64_t kPositiveLimit = uint64_t{INT64_MAX};
  constexpr uint64_t kNegativeLimit = kPositiveLimit + 1;
  uint64_t i = 0;
  bool negative = false;
  if (i < v.size() && (v[i] == '+' || v[i] == '-')) {
    negative = v[i] == '-';
    ++i;
  }
  if (i == v.size()) return kInvalid;
  const uint64_t limit = negative ? kNegativeLimit : kPositiveLimit;
  uint64_t magnitude = 0;
  for (; i < v.size(); ++i) {
    if (!is_digit(v[i])) return kInvalid;
    const uint64_t digit = static_cast<uint64_t>(v[i] - '0');
    if (magnitude > (limit - digit) / 10) return kInvalid;
    magnitude = magnitude * 10 + digit;
  }
  if (!negative) return {0, static_cast<int64_t>(magnitude)};
  // Negating in unsigned arithmetic reaches INT64_MIN without signed overflow.
  return {0, static_cast<int64_t>(~magnitude + 1)};
}

OptionalValue<double> parse_f64(std::string_view v) {
  constexpr OptionalValue<double> kInvalid{1, 0.0};
  // Longer literals are refused, not parsed.
  constexpr uint64_t kMaxLiteralBytes = 63;
  if (v.empty() || v.size() > kMaxLiteralBytes) return kInvalid;

  uint64_t i = 0;
  const auto digits_from = [&](uint64_t from) {
    while (i < v.size() && is_digit(v[i])) ++i;
    return v.substr(from, i - from);
  };
  bool negative = false;
  if (v[i] == '+' || v[i] == '-') {
    negative = v[i] == '-';
    ++i;
  }
  const uint64_t number_start = i;
  const std::string_view int_digits = digits_from(i);
  if (int_digits.empty()) return kInvalid;
  std::string_view frac_digits;
  if (i < v.size() && v[i] == '.') {
    ++i;
    frac_digits = digits_from(i);
    if (frac_digits.empty()) return kInvalid;
  }
  bool exp_negative = false;
  std::string_view exp_digits;
  if (i < v.size() && (v[i] == 'e' || v[i] == 'E')) {
    ++i;
    if (i < v.size() && (v[i] == '+' || v[i] == '-')) {
      exp_negative = v[i] == '-';
      ++i;
    }
    exp_digits = digits_from(i);
    if (exp_digits.empty()) return kInvalid;
  }
  if (i != v.size()) return kInvalid;

  // from_chars never consults the locale (strtod would read LC_NUMERIC's decimal point) and
  // takes no '+', so the sign is applied here.
  const char* first = v.data() + number_start;
  const char* last = v.data() + v.size();
  double magnitude = 0.0;
  const auto r = std::from_chars(first, last, magnitude, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    // Same results as a C conversion: overflow gives infinity, underflow zero.
    const bool overflow = decimal_order(int_digits, frac_digits, exp_negative, exp_digits) > 0;
    magnitude = overflow ? __builtin_inf() : 0.0;
  } else if (r.ec != std::errc() || r.ptr != last) {
    return kInvalid;
  }
  return {0, negative ? -magnitude : magnitude};
}

// ---------------------------------------------------------------------------------------------
// Sub-views

std::string_view take_prefix(std::string_view v, uint64_t k) {
  return make_view(v.data(), k < v.size() ? k : v.size());
}

std::string_view take_suffix(std::string_view v, uint64_t k) {
  const uint64_t n = k < v.size() ? k : v.size();
  return make_view(v.data() + (v.size() - n), n);
}

std::string_view drop_prefix(std::string_view v, uint64_t k) {
  if (k >= v.size()) return empty_text_view();
  return make_view(v.data() + k, v.size() - k);
}

std::string_view drop_suffix(std::string_view v, uint64_t k) {
  if (k >= v.size()) return empty_text_view();
  return make_view(v.data(), v.size() - k);
}

std::string_view view_slice_unchecked(const char* p, uint64_t length, uint64_t start,
                                      uint64_t end) {
  if (end <= start) return empty_text_view();
  return make_view(p + start, end - start);
}

std::string_view strip_prefix(std::string_view v, std::string_view affix) {
  return starts_with(v, affix) ? drop_prefix(v, affix.size()) : make_view(v.data(), v.size());
}

std::string_view strip_suffix(std::string_view v, std::string_view affix) {
  return ends_with(v, affix) ? drop_suffix(v, affix.size()) : make_view(v.data(), v.size());
}

std::string_view trim_start(std::string_view v) {
  uint64_t i = 0;
  while (i < v.size() && is_space(static_cast<uint8_t>(v[i]))) ++i;
  return drop_prefix(v, i);
}

std::string_view trim_end(std::string_view v) {
  uint64_t n = v.size();
  while (n > 0 && is_space(static_cast<uint8_t>(v[n - 1]))) --n;
  return make_view(v.data(), n);
}

std::string_view trim(std::string_view v) { return trim_end(trim_start(v)); }

// ---------------------------------------------------------------------------------------------
// View arrays

ViewArray view_array_empty() { return ViewArray{nullptr, 0, 0}; }

OptionalValue<uint64_t> view_array_bytes(uint64_t n) {
  if (n > kMaxViewArrayElements) return {1, 0};
  return {0, n * kViewBytes};
}

uint32_t view_array_reserve_exact(ViewArray* a, uint64_t cap) {
  if (cap <= a->capacity) return kArrayOk;
  const OptionalValue<uint64_t> bytes = view_array_bytes(cap);
  if (bytes.tag != 0) return kArrayNoMemory;
  void* block = std::realloc(a->views, bytes.value);
  if (block == nullptr) return kArrayNoMemory;
  a->views = static_cast<std::string_view*>(block);
  a->capacity = cap;
  return kArrayOk;
}

uint32_t view_array_push(ViewArray* a, std::string_view v) {
  const CheckedSize need = checked_add(a->count, 1);
  if (need.overflow != 0) return kArrayNoMemory;
  if (need.value > a->capacity &&
      view_array_reserve_exact(a, grow_capacity(a->capacity, need.value)) != kArrayOk) {
    return kArrayNoMemory;
  }
  a->views[a->count++] = make_view(v.data(), v.size());
  return kArrayOk;
}

OptionalValue<std::string_view> view_array_get(const ViewArray* a, uint64_t i) {
  if (i >= a->count) return {1, empty_text_view()};
  return {0, a->views[i]};
}

// ---------------------------------------------------------------------------------------------
// Builders

Bytes repeat(const char* p, uint64_t n, uint64_t times) {
  uint64_t total = 0;
  if (n == 0 || times == 0 || !checked_mul_u64(n, times, &total)) return empty_bytes();
  Bytes out = alloc_text(total);
  if (out.data == nullptr) return out;
  for (uint64_t k = 0; k < times; ++k) std::memcpy(out.data + k * n, p, n);
  return out;
}

Bytes concat(const Bytes* b, const char* p, uint64_t n) {
  uint64_t total = 0;
  if (!checked_add_u64(b->length, n, &total)) return empty_bytes();
  Bytes out = alloc_text(total);
  if (out.data == nullptr) return out;
  if (b->length != 0) std::memcpy(out.data, b->data, b->length);
  if (n != 0) std::memcpy(out.data + b->length, p, n);
  return out;
}

Bytes join(const ViewArray* segments, std::string_view separator) {
  if (segments->count == 0) return empty_bytes();
  uint64_t total = 0;
  for (uint64_t i = 0; i < segments->count; ++i) {
    if (!checked_add_u64(total, segments->views[i].size(), &total)) return empty_bytes();
    if (i != 0 && !checked_add_u64(total, separator.size(), &total)) return empty_bytes();
  }
  Bytes out = alloc_text(total);
  if (out.data == nullptr) return out;
  uint64_t at = 0;
  for (uint64_t i = 0; i < segments->count; ++i) {
    if (i != 0 && !separator.empty()) {
      std::memcpy(out.data + at, separator.data(), separator.size());
      at += separator.size();
    }
    const std::string_view segment = segments->views[i];
    if (!segment.empty()) std::memcpy(out.data + at, segment.data(), segment.size());
    at += segment.size();
  }
  return out;
}

Bytes replace_all(const Bytes* b, std::string_view needle, std::string_view replacement) {
  const std::string_view text = bytes_view(b);
  if (needle.empty()) return concat(b, nullptr, 0);
  const uint64_t matches = count(text, needle);
  // Each match removes needle.size() bytes (never more than the text) and adds the replacement.
  uint64_t added = 0;
  uint64_t total = 0;
  if (!checked_mul_u64(matches, replacement.size(), &added) ||
      !checked_add_u64(text.size() - matches * needle.size(), added, &total)) {
    return empty_bytes();
  }
  Bytes out = alloc_text(total);
  if (out.data == nullptr) return out;
  uint64_t at = 0;
  uint64_t pos = 0;
  while (pos < text.size()) {
    if (text.size() - pos >= needle.size() && matches_at(text, pos, needle)) {
      if (!replacement.empty()) std::memcpy(out.data + at, replacement.data(), replacement.size());
      at += replacement.size();
      pos += needle.size();
    } else {
      out.data[at++] = static_cast<uint8_t>(text[pos++]);
    }
  }
  return out;
}

Bytes pad_left(const Bytes* b, uint64_t width, std::string_view fill) {
  return pad(b, width, fill, true);
}

Bytes pad_right(const Bytes* b, uint64_t width, std::string_view fill) {
  return pad(b, width, fill, false);
}

Bytes to_lower(const Bytes* b) { return map_bytes(b, ascii_lower); }

Bytes to_upper(const Bytes* b) { return map_bytes(b, ascii_upper); }

Bytes capitalize(const Bytes* b) { return map_first_byte(b, ascii_upper); }

Bytes uncapitalize(const Bytes* b) { return map_first_byte(b, ascii_lower); }

OwnedTextResult text_from_owned(void* block, uint64_t n) {
  OwnedTextResult r{0, empty_bytes()};
  if (n != 0) {
    const std::string_view v(static_cast<const char*>(block), n);
    if (utf8_valid(v)) {
      r.text = bytes_copy(block, n);
    } else {
      r.tag = 1;
    }
  }
  std::free(block);
  return r;
}

ViewArray split(std::string_view v, std::string_view separator) {
  ViewArray out = view_array_empty();
  const auto fail = [&out] {
    std::free(out.views);
    return view_array_empty();
  };
  if (separator.empty()) {
    if (view_array_push(&out, v) != kArrayOk) return fail();
    return out;
  }
  uint64_t segment_start = 0;
  uint64_t pos = 0;
  while (v.size() >= separator.size() && pos <= v.size() - separator.size()) {
    if (matches_at(v, pos, separator)) {
      if (view_array_push(&out, make_view(v.data() + segment_start, pos - segment_start)) !=
          kArrayOk) {
        return fail();
      }
      pos += separator.size();
      segment_start = pos;
    } else {
      ++pos;
    }
  }
  if (view_array_push(&out, make_view(v.data() + segment_start, v.size() - segment_start)) !=
      kArrayOk) {
    return fail();
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Intern table

namespace {

InternNode* g_intern_head = nullptr;
// The table is process-wide; the lock keeps concurrent callers from corrupting the list.
std::mutex g_intern_lock;

const char* node_text(const InternNode* node) {
  return reinterpret_cast<const char*>(node) + sizeof(InternNode);
}

}  // namespace

std::string_view intern(std::string_view v) {
  if (v.empty()) return empty_text_view();
  const uint64_t hash = fnv1a64(v.data(), v.size());
  std::lock_guard<std::mutex> hold(g_intern_lock);
  for (const InternNode* node = g_intern_head; node != nullptr; node = node->next) {
    if (node->hash == hash && node->length == v.size() &&
        std::memcmp(node_text(node), v.data(), v.size()) == 0) {
      return std::string_view(node_text(node), node->length);
    }
  }
  uint64_t block_bytes = 0;
  if (!checked_add_u64(v.size(), sizeof(InternNode), &block_bytes)) return empty_text_view();
  auto* node = static_cast<InternNode*>(std::malloc(block_bytes));
  if (node == nullptr) return empty_text_view();
  node->next = g_intern_head;
  node->hash = hash;
  node->length = v.size();
  std::memcpy(reinterpret_cast<char*>(node) + sizeof(InternNode), v.data(), v.size());
  g_intern_head = node;
  return std::string_view(node_text(node), node->length);
}

}  // namespace vexa::text
