// Text library on arbitrary bytes: the first byte is a split separator, the rest the text.
// Each operation is checked against a plain reference, so a wrong answer stops the run as
// surely as a crash.
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/text_utf8.h"
#include "tests/core/utf8_reference.h"

namespace {

using namespace vexa;

void require(bool ok) {
  if (!ok) std::abort();
}

void check_integer(std::string_view v) {
  const OptionalValue<int64_t> r = text::parse_i64(v);
  std::string_view digits = v;
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  int64_t want = 0;
  const auto c = std::from_chars(digits.data(), digits.data() + digits.size(), want);
  const bool whole = c.ec == std::errc() && c.ptr == digits.data() + digits.size() &&
                     !digits.empty() && !(v[0] == '+' && digits[0] == '-');
  require((r.tag == 0) == whole);
  if (whole) require(r.value == want);
}

void check_float(std::string_view v) {
  const OptionalValue<double> r = text::parse_f64(v);
  if (r.tag != 0) return;
  const std::string copy(v);
  const double want = std::strtod(copy.c_str(), nullptr);  // the C locale is in force here
  require(std::memcmp(&r.value, &want, sizeof want) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    require(text::utf8_valid({}));
    return 0;
  }
  const std::string_view separator(reinterpret_cast<const char*>(data), 1);
  const std::string_view v(reinterpret_cast<const char*>(data) + 1, size - 1);

  require(text::utf8_valid(v) == testing::reference_utf8_valid(v));
  uint64_t starts = 0;
  for (const char ch : v) starts += (static_cast<uint8_t>(ch) & 0xC0) != 0x80 ? 1 : 0;
  require(text::utf8_count(v) == starts);

  check_integer(v);
  check_float(v);

  text::ViewArray segments = text::split(v, separator);
  require(segments.views != nullptr);
  require(segments.count == text::count(v, separator) + 1);
  Bytes joined = text::join(&segments, separator);
  require(joined.length == v.size());
  require(v.empty() || std::memcmp(joined.data, v.data(), v.size()) == 0);
  bytes_free(&joined);
  std::free(segments.views);

  const std::string_view trimmed = text::trim(v);
  require(trimmed.data() != nullptr);
  require(trimmed.empty() || (!text::is_space(static_cast<uint8_t>(trimmed.front())) &&
                              !text::is_space(static_cast<uint8_t>(trimmed.back()))));
  return 0;
}
