#include "core/text_utf8.h"
#include "tests/core/utf8_reference.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <locale>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace vexa::text {
namespace {

using namespace std::string_view_literals;
using testing::reference_utf8_valid;

constexpr uint64_t kTwo62 = uint64_t{1} << 62;

// Takes a builder's result, checks its shape and frees it.
std::string take(Bytes b) {
  EXPECT_LE(b.length, b.capacity);
  if (b.length == 0) {
    EXPECT_EQ(b.data, nullptr);
    return {};
  }
  std::string s(reinterpret_cast<const char*>(b.data), b.length);
  bytes_free(&b);
  return s;
}

// A Bytes holding s, freed by the destructor.
struct Text {
  Bytes b;
  explicit Text(std::string_view s) : b(bytes_copy(s.data(), s.size())) {}
  ~Text() { bytes_free(&b); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  const Bytes* get() const { return &b; }
};

std::vector<std::string> segments(const ViewArray& a) {
  std::vector<std::string> out;
  for (uint64_t i = 0; i < a.count; ++i) {
    EXPECT_NE(a.views[i].data(), nullptr);
    out.emplace_back(a.views[i]);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Searching and comparing

TEST(TextSearch, PrefixSuffixAndContains) {
  const struct { std::string_view text, probe; bool starts, ends, has; } cases[] = {
      {"hello world", "hello", true, false, true},
      {"hello world", "world", false, true, true},
      {"hello world", "", true, true, true},
      {"hello world", "o w", false, false, true},
      {"hello world", "xyz", false, false, false},
      {"hi", "hix", false, false, false},
      {"", "", true, true, true},
      {"", "a", false, false, false},
      {"aaa", "aaa", true, true, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(starts_with(c.text, c.probe), c.starts) << c.text << " / " << c.probe;
    EXPECT_EQ(ends_with(c.text, c.probe), c.ends) << c.text << " / " << c.probe;
    EXPECT_EQ(contains(c.text, c.probe), c.has) << c.text << " / " << c.probe;
  }
}

TEST(TextSearch, FindRfindAndCount) {
  const struct {
    std::string_view text, needle;
    std::optional<uint64_t> first, last;
    uint64_t occurrences;
  } cases[] = {
      {"abcabc", "bc", 1, 4, 2},
      {"abcabc", "zz", std::nullopt, std::nullopt, 0},
      {"abcabc", "", 0, 6, 0},
      {"aaaa", "aa", 0, 2, 2},
      {"a,b,c", ",", 1, 3, 2},
      {"abababab", "ab", 0, 6, 4},
      {"aaa", "aa", 0, 1, 1},
      {"ab", "abc", std::nullopt, std::nullopt, 0},
      {"", "", 0, 0, 0},
      {"xyz", "xyz", 0, 0, 1},
  };
  for (const auto& c : cases) {
    const OptionalValue<uint64_t> f = find(c.text, c.needle);
    const OptionalValue<uint64_t> r = rfind(c.text, c.needle);
    EXPECT_EQ(f.tag, c.first ? 0u : 1u) << c.text << " / " << c.needle;
    if (c.first && f.tag == 0) {
      EXPECT_EQ(f.value, *c.first) << c.text << " / " << c.needle;
    }
    EXPECT_EQ(r.tag, c.last ? 0u : 1u) << c.text << " / " << c.needle;
    if (c.last && r.tag == 0) {
      EXPECT_EQ(r.value, *c.last) << c.text << " / " << c.needle;
    }
    EXPECT_EQ(count(c.text, c.needle), c.occurrences) << c.text << " / " << c.needle;
  }
}

// Against std::string_view's own search over random texts of a small alphabet.
TEST(TextSearch, RandomTextsMatchStandardSearch) {
  const uint32_t seed = 1119;
  std::mt19937 rng(seed);
  for (int round = 0; round < 2000; ++round) {
    std::string text(rng() % 12, ' ');
    for (char& ch : text) ch = "ab"[rng() % 2];
    std::string needle(1 + rng() % 3, ' ');
    for (char& ch : needle) ch = "ab"[rng() % 2];
    const std::string_view t(text);
    const size_t f = t.find(needle);
    const size_t r = t.rfind(needle);
    ASSERT_EQ(find(t, needle).tag, f == std::string_view::npos ? 1u : 0u) << "seed " << seed;
    if (f != std::string_view::npos) {
      ASSERT_EQ(find(t, needle).value, f);
      ASSERT_EQ(rfind(t, needle).value, r);
    }
    uint64_t expected = 0;
    for (size_t p = t.find(needle); p != std::string_view::npos;
         p = t.find(needle, p + needle.size())) {
      ++expected;
    }
    ASSERT_EQ(count(t, needle), expected) << text << " / " << needle;
  }
}

TEST(TextCompare, OrderCaseAndBytes) {
  const struct { std::string_view a, b; int32_t order; bool same_ignoring_case; } cases[] = {
      {"abc", "abd", -1, false},
      {"abd", "abc", 1, false},
      {"ab", "abc", -1, false},
      {"abc", "ab", 1, false},
      {"", "", 0, true},
      {"Hello", "hELLO", -1, true},
      {"a-b", "A-B", 1, true},
      {"Hi", "Hix", -1, false},
      {"\x80", "\x7f", 1, false},  // bytes compare unsigned
      {"[", "{", -1, false},       // 0x5B and 0x7B differ by 32 but are not letters
      {"\xc3\x89", "\xc3\xa9", -1, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(compare(c.a, c.b), c.order) << c.a << " / " << c.b;
    EXPECT_EQ(equal_ignore_ascii_case(c.a, c.b), c.same_ignoring_case) << c.a << " / " << c.b;
  }
}

TEST(TextBytes, PredicatesAndByteAccess) {
  for (int b = 0; b < 256; ++b) {
    const bool space = b == 9 || b == 10 || b == 13 || b == 32;
    EXPECT_EQ(is_space(static_cast<uint8_t>(b)), space) << b;
    const int lower = (b >= 'A' && b <= 'Z') ? b + 32 : b;
    EXPECT_EQ(ascii_lower(static_cast<uint8_t>(b)), lower) << b;
  }
  EXPECT_EQ(byte_at("AB", 0).tag, 0u);
  EXPECT_EQ(byte_at("AB", 0).value, 'A');
  EXPECT_EQ(byte_at("AB", 1).value, 'B');
  EXPECT_EQ(byte_at("AB", 2).tag, 1u);
  EXPECT_EQ(byte_at("AB", 9).tag, 1u);
  EXPECT_EQ(view_len("abc"), 3u);
  EXPECT_TRUE(view_is_empty(""));
  EXPECT_FALSE(view_is_empty("x"));
  EXPECT_TRUE(view_equal_at("hello", 1, "ell", 3));
  EXPECT_FALSE(view_equal_at("hello", 1, "elk", 3));
  EXPECT_TRUE(view_equal_at("hello", 5, nullptr, 0));
  EXPECT_EQ(hash_view(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(hash_view("a"), 0xaf63dc4c8601ec8cull);  // published FNV-1a 64 test vector
  EXPECT_EQ(hash_view("foobar"), 0x85944171f73967e8ull);
  EXPECT_EQ(hash_view_2("foobar"), hash_view("foobar"));
}

// ---------------------------------------------------------------------------------------------
// Sub-views

TEST(TextViews, SlicingTrimmingAndStripping) {
  const std::string_view hello = "hello";
  const struct { std::string_view got, want; } cases[] = {
      {take_prefix(hello, 3), "hel"},
      {take_suffix(hello, 3), "llo"},
      {drop_prefix(hello, 2), "llo"},
      {drop_suffix(hello, 1), "hell"},
      {take_prefix("hi", 99), "hi"},
      {take_suffix("hi", 99), "hi"},
      {drop_prefix("hi", 99), ""},
      {drop_suffix("hi", 2), ""},
      {trim("  hi  "), "hi"},
      {trim_start("  hi  "), "hi  "},
      {trim_end("  hi  "), "  hi"},
      {trim("\t\r\n x \n"), "x"},
      {trim(" \t\r\n"), ""},
      {trim(""), ""},
      {trim("\v\fa\f\v"), "\v\fa\f\v"},  // vertical tab and form feed are kept
      {strip_prefix("foobar", "foo"), "bar"},
      {strip_prefix("foobar", "xyz"), "foobar"},
      {strip_prefix("foobar", ""), "foobar"},
      {strip_suffix("foobar", "bar"), "foo"},
      {strip_suffix("foobar", "foobarx"), "foobar"},
      {strip_prefix("foo", "foo"), ""},
      {view_slice_unchecked("hello", 5, 1, 4), "ell"},
      {view_slice_unchecked("hello", 5, 4, 1), ""},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
    EXPECT_NE(cases[i].got.data(), nullptr) << "case " << i;
  }
  // Views into the source keep pointing into it.
  EXPECT_EQ(drop_prefix(hello, 2).data(), hello.data() + 2);
  const std::string_view padded = "  hi  ";
  EXPECT_EQ(trim(padded).data(), padded.data() + 2);

  const struct { uint64_t start, end; std::optional<std::string_view> want; } slices[] = {
      {0, 5, "hello"}, {1, 3, "el"}, {2, 2, ""}, {5, 5, ""},
      {3, 2, std::nullopt}, {0, 6, std::nullopt}, {6, 6, std::nullopt},
  };
  for (const auto& s : slices) {
    const OptionalValue<std::string_view> r = view_slice(hello, s.start, s.end);
    EXPECT_EQ(r.tag, s.want ? 0u : 1u) << s.start << ".." << s.end;
    if (s.want && r.tag == 0) {
      EXPECT_EQ(r.value, *s.want);
      EXPECT_NE(r.value.data(), nullptr);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// UTF-8

// Independent encoder for the boundary tests.
std::string encode(uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

TEST(Utf8, BoundaryCodePointsAreValidAndTheirPrefixesAreNot) {
  const uint32_t boundaries[] = {0x00,   0x7F,   0x80,   0x7FF,   0x800,    0xD7FF,
                                 0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x10FFFF, 0xFEFF};
  const size_t lengths[] = {1, 1, 2, 2, 3, 3, 3, 3, 3, 4, 4, 3};
  for (size_t k = 0; k < std::size(boundaries); ++k) {
    const std::string s = encode(boundaries[k]);
    ASSERT_EQ(s.size(), lengths[k]) << std::hex << boundaries[k];
    EXPECT_TRUE(utf8_valid(s)) << std::hex << boundaries[k];
    EXPECT_EQ(utf8_count(s), 1u);
    EXPECT_EQ(is_ascii(s), s.size() == 1);
    // Every truncation of a multi-byte sequence is invalid, alone or followed by ASCII.
    for (size_t cut = 1; cut < s.size(); ++cut) {
      EXPECT_FALSE(utf8_valid(s.substr(0, cut))) << std::hex << boundaries[k] << " cut " << cut;
      EXPECT_FALSE(utf8_valid(s.substr(0, cut) + "a")) << std::hex << boundaries[k];
    }
  }
}

TEST(Utf8, MalformedSequencesAreRejected) {
  const struct { const char* what; std::string_view bytes; bool valid; } cases[] = {
      {"empty", "", true},
      {"ascii", "hello", true},
      {"cafe", "caf\xc3\xa9", true},
      {"stray continuation", "\x80", false},
      {"stray last continuation", "\xbf", false},
      {"overlong NUL", "\xc0\x80", false},
      {"overlong 0x7F", "\xc1\xbf", false},
      {"overlong three-byte 0x7FF", "\xe0\x9f\xbf", false},
      {"smallest three-byte", "\xe0\xa0\x80", true},
      {"overlong four-byte 0xFFFF", "\xf0\x8f\xbf\xbf", false},
      {"smallest four-byte", "\xf0\x90\x80\x80", true},
      {"first surrogate", "\xed\xa0\x80", false},
      {"last surrogate", "\xed\xbf\xbf", false},
      {"before surrogates", "\xed\x9f\xbf", true},
      {"after surrogates", "\xee\x80\x80", true},
      {"U+110000", "\xf4\x90\x80\x80", false},
      {"lead F5", "\xf5\x80\x80\x80", false},
      {"lead F8", "\xf8\x88\x80\x80\x80", false},
      {"lead FF", "\xff", false},
      {"lead FE", "\xfe", false},
      {"two-byte missing tail", "\xc3", false},
      {"two-byte bad tail", "\xc3\x28", false},
      {"three-byte bad third", "\xe2\x82\x28", false},
      {"four-byte bad fourth", "\xf0\x9f\x98\x28", false},
      {"four-byte cut", "\xf0\x9f\x98", false},
      {"emoji", "\xf0\x9f\x98\x80", true},
      {"continuation after ascii", "a\x80", false},
      {"too many continuations", "\xc3\xa9\xa9", false},
      {"embedded NUL", std::string_view("a\0b", 3), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_valid(c.bytes), c.valid) << c.what;
    EXPECT_EQ(reference_utf8_valid(c.bytes), c.valid) << "reference disagrees: " << c.what;
  }
}

// Every sequence of one or two bytes, and three- and four-byte sequences built from the bytes
// that sit on a boundary, checked against the reference decoder.
TEST(Utf8, AgreesWithReferenceDecoderOnBoundaryBytes) {
  for (int a = 0; a < 256; ++a) {
    const std::string one(1, static_cast<char>(a));
    ASSERT_EQ(utf8_valid(one), reference_utf8_valid(one)) << a;
    for (int b = 0; b < 256; ++b) {
      const std::string two{static_cast<char>(a), static_cast<char>(b)};
      ASSERT_EQ(utf8_valid(two), reference_utf8_valid(two)) << a << " " << b;
    }
  }
  const uint8_t edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0,
                           0xBF, 0xC0, 0xC2, 0xDF, 0xE0, 0xF4, 0xFF};
  for (int lead = 0xC0; lead < 0x100; ++lead) {
    for (uint8_t b : edges) {
      for (uint8_t c : edges) {
        const std::string three{static_cast<char>(lead), static_cast<char>(b),
                                static_cast<char>(c)};
        ASSERT_EQ(utf8_valid(three), reference_utf8_valid(three)) << lead << " " << +b << " " << +c;
        for (uint8_t d : edges) {
          const std::string four = three + static_cast<char>(d);
          ASSERT_EQ(utf8_valid(four), reference_utf8_valid(four)) << lead << " " << +b << " " << +c;
        }
      }
    }
  }
}

// ASCII runs are skipped in whole words: a sequence anywhere inside or after a long ASCII run,
// and truncated at the very end, must still be judged.
TEST(Utf8, SequencesInsideLongAsciiRunsAtEveryOffset) {
  const std::string_view inserts[] = {"\xc3\xa9",     "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                      "\x80",         "\xc0\x80",     "\xed\xa0\x80",
                                      "\xf4\x90\x80\x80", "\xff",     "\xe2\x82"};
  for (const std::string_view insert : inserts) {
    for (size_t before = 0; before <= 33; ++before) {
      for (const size_t after : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{17}}) {
        const std::string s = std::string(before, 'a') + std::string(insert) +
                              std::string(after, 'b');
        ASSERT_EQ(utf8_valid(s), reference_utf8_valid(s))
            << "insert " << insert.size() << " bytes after " << before << ", then " << after;
      }
    }
  }
  EXPECT_TRUE(utf8_valid(std::string(1000, 'z')));
}

TEST(Utf8, CountMatchesBytewiseRuleAtEveryLengthAndOffset) {
  EXPECT_EQ(utf8_count("hello"), 5u);
  EXPECT_EQ(utf8_count("caf\xc3\xa9"), 4u);
  EXPECT_EQ(utf8_count(""), 0u);
  EXPECT_FALSE(is_ascii("caf\xc3\xa9"));
  EXPECT_TRUE(is_ascii(""));
  EXPECT_TRUE(is_ascii("\x7f plain"));

  const uint32_t seed = 42;
  std::mt19937 rng(seed);
  std::string buffer(200, ' ');
  for (char& ch : buffer) ch = static_cast<char>(rng());
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t len = 0; offset + len <= 120; ++len) {
      const std::string_view v(buffer.data() + offset, len);
      uint64_t expected = 0;
      bool ascii = true;
      for (const char ch : v) {
        const auto b = static_cast<uint8_t>(ch);
        if (b < 0x80 || b > 0xBF) ++expected;
        if (b >= 0x80) ascii = false;
      }
      ASSERT_EQ(utf8_count(v), expected) << "offset " << offset << " len " << len;
      ASSERT_EQ(is_ascii(v), ascii) << "offset " << offset << " len " << len;
    }
  }
}

TEST(Utf8, OwnedBlocksAreValidatedAndAlwaysFreed) {
  const struct { std::string_view bytes; uint32_t tag; } cases[] = {
      {"hi", 0}, {"caf\xc3\xa9", 0}, {"\xed\xa0\x80", 1}, {"ok\xff", 1},
  };
  for (const auto& c : cases) {
    void* block = std::malloc(c.bytes.size());
    std::memcpy(block, c.bytes.data(), c.bytes.size());
    OwnedTextResult r = text_from_owned(block, c.bytes.size());  // a leak fails under sanitizers
    EXPECT_EQ(r.tag, c.tag) << c.bytes;
    if (c.tag == 0) {
      EXPECT_EQ(take(r.text), c.bytes);
    }
  }
  OwnedTextResult empty = text_from_owned(std::malloc(1), 0);
  EXPECT_EQ(empty.tag, 0u);
  EXPECT_EQ(empty.text.data, nullptr);
  EXPECT_EQ(empty.text.length, 0u);
}

// ---------------------------------------------------------------------------------------------
// Numbers

TEST(ParseInteger, LimitsAndOnePastThem) {
  const struct { std::string_view text; std::optional<int64_t> value; } cases[] = {
      {"42", 42},
      {"0", 0},
      {"-0", 0},
      {"+7", 7},
      {"007", 7},
      {"9223372036854775807", INT64_MAX},
      {"+9223372036854775807", INT64_MAX},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775808", INT64_MIN},
      {"-9223372036854775809", std::nullopt},
      {"-9223372036854775807", -INT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"00000000000000000000009223372036854775807", INT64_MAX},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1a", std::nullopt},
      {"--1", std::nullopt},
      {"+-1", std::nullopt},
      {"1.0", std::nullopt},
      {"0x10", std::nullopt},
      {"\xd9\xa3", std::nullopt},  // a non-ASCII digit
  };
  for (const auto& c : cases) {
    const OptionalValue<int64_t> r = parse_i64(c.text);
    EXPECT_EQ(r.tag, c.value ? 0u : 1u) << "'" << c.text << "'";
    if (c.value && r.tag == 0) {
      EXPECT_EQ(r.value, *c.value) << "'" << c.text << "'";
    }
  }
}

TEST(ParseInteger, RoundTripsRandomValues) {
  const uint32_t seed = 64;
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 5000; ++i) {
    const auto v = static_cast<int64_t>(rng()) >> (rng() % 64);
    const std::string s = std::to_string(v);
    const OptionalValue<int64_t> r = parse_i64(s);
    ASSERT_EQ(r.tag, 0u) << s;
    ASSERT_EQ(r.value, v) << s;
  }
}

TEST(ParseFloat, GrammarIsStrict) {
  const struct { std::string_view text; std::optional<double> value; } cases[] = {
      {"3.5", 3.5},
      {"42", 42.0},
      {"+0.5", 0.5},
      {"-12.5e-3", -0.0125},
      {"1E3", 1000.0},
      {"1e+3", 1000.0},
      {"0", 0.0},
      {"007.250", 7.25},
      {"1e0", 1.0},
      {"0.1", 0.1},
      {"123456789012345678901234567890", 1.2345678901234568e29},
      {".5", std::nullopt},
      {"5.", std::nullopt},
      {"1e", std::nullopt},
      {"1e+", std::nullopt},
      {"1e-", std::nullopt},
      {"1.2.3", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"inf", std::nullopt},
      {"-inf", std::nullopt},
      {"infinity", std::nullopt},
      {"nan", std::nullopt},
      {"NaN", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {"e5", std::nullopt},
      {"0x1p3", std::nullopt},
      {"1,5", std::nullopt},
      {"1e5.5", std::nullopt},
      {"1d3", std::nullopt},
      {"1_000", std::nullopt},
  };
  for (const auto& c : cases) {
    const OptionalValue<double> r = parse_f64(c.text);
    EXPECT_EQ(r.tag, c.value ? 0u : 1u) << "'" << c.text << "'";
    if (c.value && r.tag == 0) {
      EXPECT_EQ(r.value, *c.value) << "'" << c.text << "'";
    }
  }
  const OptionalValue<double> negative_zero = parse_f64("-0.0");
  ASSERT_EQ(negative_zero.tag, 0u);
  EXPECT_TRUE(std::signbit(negative_zero.value));
}

TEST(ParseFloat, LengthLimitAndRangeEnds) {
  const std::string longest = "1." + std::string(61, '5');  // 63 bytes
  ASSERT_EQ(longest.size(), 63u);
  EXPECT_EQ(parse_f64(longest).tag, 0u);
  EXPECT_EQ(parse_f64(longest + "5").tag, 1u);

  // A C conversion gives infinity on overflow and zero on underflow; the values here match it.
  const struct { std::string_view text; double value; } ends[] = {
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"1e999", HUGE_VAL},
      {"-1e999", -HUGE_VAL},
      {"1e99999999999999999999", HUGE_VAL},
      {"0.00001e400", HUGE_VAL},
      {"1e-999", 0.0},
      {"-1e-999", -0.0},
      {"100000e-330", 0.0},  // below half the smallest denormal
      {"4e-320", 4e-320},
      {"0e99999", 0.0},
  };
  for (const auto& c : ends) {
    const OptionalValue<double> r = parse_f64(c.text);
    ASSERT_EQ(r.tag, 0u) << c.text;
    EXPECT_EQ(r.value, std::strtod(std::string(c.text).c_str(), nullptr)) << c.text;
    EXPECT_EQ(r.value, c.value) << c.text;
    EXPECT_EQ(std::signbit(r.value), std::signbit(c.value)) << c.text;
  }
}

// Random literals of the accepted grammar against the C library's conversion in the C locale:
// both are correctly rounded, so the bits must agree.
TEST(ParseFloat, AgreesWithCConversionOnRandomLiterals) {
  ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
  const uint32_t seed = 3141;
  std::mt19937 rng(seed);
  const auto digits = [&](size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string s;
    if (rng() % 3 == 0) s += "+-"[rng() % 2];
    s += digits(1 + rng() % 20);
    if (rng() % 2) s += "." + digits(1 + rng() % 20);
    if (rng() % 2) {
      s += "eE"[rng() % 2];
      if (rng() % 2) s += "+-"[rng() % 2];
      s += std::to_string(rng() % 700);
    }
    const OptionalValue<double> r = parse_f64(s);
    ASSERT_EQ(r.tag, 0u) << s;
    const double want = std::strtod(s.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&r.value, &want, sizeof want), 0) << s << " seed " << seed;
  }
}

// A numpunct facet with a decimal comma, for the C++ global locale.
struct CommaPunct : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
};

// Switches LC_NUMERIC to a locale whose decimal point is a comma for the life of the object:
// an installed one when there is one, else a minimal one compiled with localedef into a
// temporary folder. active() is false when neither is possible.
class CommaNumericLocale {
 public:
  CommaNumericLocale() {
    saved_ = std::setlocale(LC_NUMERIC, nullptr);
    const char* installed[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8",
                               "nl_NL.UTF-8", "it_IT.UTF-8", "es_ES.UTF-8", "ru_RU.UTF-8"};
    for (const char* name : installed) {
      if (try_locale(name)) return;
    }
    compile_minimal();
  }
  ~CommaNumericLocale() {
    std::setlocale(LC_NUMERIC, saved_.c_str());
    if (!dir_.empty()) {
      if (had_locpath_) {
        setenv("LOCPATH", saved_locpath_.c_str(), 1);
      } else {
        unsetenv("LOCPATH");
      }
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
    }
  }
  bool active() const { return active_; }
  const std::string& name() const { return name_; }

 private:
  bool try_locale(const char* name) {
    if (std::setlocale(LC_NUMERIC, name) == nullptr) return false;
    if (std::strcmp(std::localeconv()->decimal_point, ",") != 0) {
      std::setlocale(LC_NUMERIC, saved_.c_str());
      return false;
    }
    name_ = name;
    active_ = true;
    return true;
  }

  void compile_minimal() {
    char pattern[] = "/tmp/vexa_locale_XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    const std::string source = dir_ + "/comma.src";
    {
      std::ofstream out(source);
      out << "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \".\"\ngrouping 3;3\n"
             "END LC_NUMERIC\n";
    }
    // localedef exits non-zero for the categories this source leaves out, yet writes the
    // locale; whether setlocale accepts it is the real test.
    const std::string command =
        "localedef -c -i '" + source + "' '" + dir_ + "/vexa_comma' >/dev/null 2>&1";
    (void)std::system(command.c_str());
    if (const char* old = std::getenv("LOCPATH")) {
      had_locpath_ = true;
      saved_locpath_ = old;
    }
    setenv("LOCPATH", dir_.c_str(), 1);
    try_locale("vexa_comma");
  }

  std::string saved_;
  std::string name_;
  std::string dir_;
  std::string saved_locpath_;
  bool had_locpath_ = false;
  bool active_ = false;
};

TEST(ParseFloat, IgnoresTheProcessLocale) {
  const std::locale saved_global = std::locale::global(std::locale(std::locale::classic(),
                                                                   new CommaPunct));
  EXPECT_EQ(parse_f64("3.5").value, 3.5);
  std::locale::global(saved_global);

  CommaNumericLocale comma;
  if (!comma.active()) {
    GTEST_SKIP() << "no locale with a decimal comma is installed and localedef could not "
                    "build one";
  }
  // The locale really is in force: the C library now reads "3.5" as 3 and prints a comma.
  ASSERT_EQ(std::strtod("3.5", nullptr), 3.0) << comma.name();
  char printed[16];
  std::snprintf(printed, sizeof printed, "%.1f", 3.5);
  ASSERT_STREQ(printed, "3,5");

  const struct { std::string_view text; std::optional<double> value; } cases[] = {
      {"3.5", 3.5}, {"-12.5e-3", -0.0125}, {"0.1", 0.1}, {"3,5", std::nullopt},
      {"1.000,5", std::nullopt},
  };
  for (const auto& c : cases) {
    const OptionalValue<double> r = parse_f64(c.text);
    EXPECT_EQ(r.tag, c.value ? 0u : 1u) << c.text << " under " << comma.name();
    if (c.value && r.tag == 0) {
      EXPECT_EQ(r.value, *c.value) << c.text << " under " << comma.name();
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Builders

TEST(TextBuilders, FixedResults) {
  const Text abc("abc");
  const Text foo("foo");
  const Text csv("a,b,c");
  const Text forty_two("42");
  const Text hello("hello");
  const Text x("x");
  const Text mixed("Hello, World!");
  const Text empty("");
  const struct { const char* what; std::string got, want; } cases[] = {
      {"repeat", take(repeat("ab", 2, 3)), "ababab"},
      {"repeat zero times", take(repeat("ab", 2, 0)), ""},
      {"repeat nothing", take(repeat("", 0, 5)), ""},
      {"concat", take(concat(foo.get(), "bar", 3)), "foobar"},
      {"concat one", take(concat(abc.get(), "d", 1)), "abcd"},
      {"concat empty", take(concat(abc.get(), nullptr, 0)), "abc"},
      {"concat onto empty", take(concat(empty.get(), "xy", 2)), "xy"},
      {"replace", take(replace_all(csv.get(), ",", "; ")), "a; b; c"},
      {"replace absent", take(replace_all(csv.get(), "x", "; ")), "a,b,c"},
      {"replace empty needle", take(replace_all(csv.get(), "", "!")), "a,b,c"},
      {"replace by nothing", take(replace_all(csv.get(), ",", "")), "abc"},
      {"replace non-overlapping", take(replace_all(hello.get(), "l", "LL")), "heLLLLo"},
      {"replace whole", take(replace_all(hello.get(), "hello", "")), ""},
      {"pad left zeros", take(pad_left(forty_two.get(), 5, "0")), "00042"},
      {"pad left spaces", take(pad_left(forty_two.get(), 5, " ")), "   42"},
      {"pad left cut fill", take(pad_left(x.get(), 4, "ab")), "abax"},
      {"pad right", take(pad_right(forty_two.get(), 5, "0")), "42000"},
      {"pad right cut fill", take(pad_right(x.get(), 4, "ab")), "xaba"},
      {"pad narrower", take(pad_left(hello.get(), 3, "0")), "hello"},
      {"pad equal", take(pad_right(hello.get(), 5, "0")), "hello"},
      {"pad empty fill", take(pad_left(forty_two.get(), 5, "")), "42"},
      {"pad empty text", take(pad_left(empty.get(), 3, "-")), "---"},
      {"lower", take(to_lower(mixed.get())), "hello, world!"},
      {"upper", take(to_upper(mixed.get())), "HELLO, WORLD!"},
      {"capitalize", take(capitalize(hello.get())), "Hello"},
      {"uncapitalize", take(uncapitalize(mixed.get())), "hello, World!"},
      {"capitalize empty", take(capitalize(empty.get())), ""},
      {"lower empty", take(to_lower(empty.get())), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

// Case mapping touches ASCII letters only, at every length around the 16-byte step.
TEST(TextBuilders, CaseMappingMatchesBytewiseReference) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  for (size_t len = 0; len <= 40; ++len) {
    const std::string src = all.substr(200 - len, len) + all.substr(60, len);
    const Text t(src);
    std::string lower = src;
    std::string upper = src;
    for (char& ch : lower) {
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
    }
    for (char& ch : upper) {
      if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    }
    ASSERT_EQ(take(to_lower(t.get())), lower) << len;
    ASSERT_EQ(take(to_upper(t.get())), upper) << len;
  }
}

TEST(TextBuilders, OversizedRequestsGiveEmptyText) {
  // The product overflows 64 bits: refused before any allocation.
  EXPECT_EQ(take(repeat("ab", 2, uint64_t{1} << 63)), "");
  EXPECT_EQ(take(repeat("abcd", 4, UINT64_MAX / 2)), "");
  const Text abc("abc");
  EXPECT_EQ(take(concat(abc.get(), "x", UINT64_MAX)), "");
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_EQ(take(pad_left(abc.get(), UINT64_MAX, "0")), "");
  // Fits 64 bits but no heap: the allocation fails and nothing is returned.
  EXPECT_EQ(take(repeat("ab", 2, kTwo62 / 2)), "");
#endif
}

// ---------------------------------------------------------------------------------------------
// Split and join

ViewArray views_of(const std::vector<std::string_view>& segments) {
  ViewArray a = view_array_empty();
  for (std::string_view p : segments) EXPECT_EQ(view_array_push(&a, p), kArrayOk);
  return a;
}

TEST(SplitJoin, FixedResults) {
  const struct {
    std::string_view text, separator;
    std::vector<std::string> want;
  } splits[] = {
      {"a,b,c", ",", {"a", "b", "c"}},
      {",x,", ",", {"", "x", ""}},
      {"abc", "", {"abc"}},
      {"", "", {""}},
      {"", ",", {""}},
      {"abc", ",", {"abc"}},
      {"ab", "abc", {"ab"}},
      {"a,,b", ",", {"a", "", "b"}},
      {"a::b::", "::", {"a", "b", ""}},
      {"aaa", "aa", {"", "a"}},
      {",", ",", {"", ""}},
  };
  for (const auto& s : splits) {
    ViewArray a = split(s.text, s.separator);
    EXPECT_EQ(segments(a), s.want) << "'" << s.text << "' by '" << s.separator << "'";
    std::free(a.views);
  }

  const struct {
    std::vector<std::string_view> segments;
    std::string_view separator;
    std::string want;
  } joins[] = {
      {{"foo", "bar", "baz"}, "", "foobarbaz"},
      {{"", "", ""}, ",", ",,"},
      {{"solo"}, ", ", "solo"},
      {{}, ",", ""},
      {{"a", "b"}, " - ", "a - b"},
  };
  for (const auto& j : joins) {
    ViewArray a = views_of(j.segments);
    EXPECT_EQ(take(join(&a, j.separator)), j.want);
    std::free(a.views);
  }
}

TEST(SplitJoin, JoiningASplitRestoresTheText) {
  {
    ViewArray a = split("a,bb,ccc", ",");
    EXPECT_EQ(take(join(&a, ",")), "a,bb,ccc");
    std::free(a.views);
  }
  const uint32_t seed = 77;
  std::mt19937 rng(seed);
  const std::string_view separators[] = {",", ",,", "ab", "a", "b,a"};
  for (int round = 0; round < 3000; ++round) {
    std::string text(rng() % 16, ' ');
    for (char& ch : text) ch = "ab,"[rng() % 3];
    const std::string_view sep = separators[rng() % std::size(separators)];
    ViewArray a = split(text, sep);
    ASSERT_NE(a.views, nullptr);
    // No segment may contain the separator, and segments point into the text.
    for (uint64_t i = 0; i < a.count; ++i) {
      ASSERT_FALSE(contains(a.views[i], sep)) << text << " / " << sep;
      if (!a.views[i].empty()) {
        ASSERT_GE(a.views[i].data(), text.data());
        ASSERT_LE(a.views[i].data() + a.views[i].size(), text.data() + text.size());
      }
    }
    ASSERT_EQ(a.count, count(text, sep) + 1) << text << " / " << sep;
    ASSERT_EQ(take(join(&a, sep)), text) << "seed " << seed << " sep " << sep;
    std::free(a.views);
  }
}

TEST(ViewArrays, SizeLimitsAndAccess) {
  EXPECT_EQ(view_array_bytes(0).value, 0u);
  EXPECT_EQ(view_array_bytes(3).value, 48u);
  EXPECT_EQ(view_array_bytes(kMaxViewArrayElements).tag, 0u);
  EXPECT_EQ(view_array_bytes(kMaxViewArrayElements).value, kMaxViewArrayElements * 16);
  EXPECT_EQ(view_array_bytes(kMaxViewArrayElements + 1).tag, 1u);
  EXPECT_EQ(view_array_bytes(UINT64_MAX).tag, 1u);

  ViewArray a = views_of({"x", "yy"});
  EXPECT_EQ(a.capacity, 2u);
  EXPECT_EQ(view_array_get(&a, 1).value, "yy");
  EXPECT_EQ(view_array_get(&a, 2).tag, 1u);
  EXPECT_EQ(view_array_reserve_exact(&a, 1), kArrayOk);
  EXPECT_EQ(view_array_reserve_exact(&a, kMaxViewArrayElements + 1), kArrayNoMemory);
  EXPECT_EQ(a.capacity, 2u);
  EXPECT_EQ(segments(a), (std::vector<std::string>{"x", "yy"}));
  std::free(a.views);

  // A full array at the element limit refuses to grow without touching its storage.
  std::string_view slot;
  ViewArray full{&slot, kMaxViewArrayElements, kMaxViewArrayElements};
  EXPECT_EQ(view_array_push(&full, "z"), kArrayNoMemory);
  ViewArray wrapped{&slot, UINT64_MAX, UINT64_MAX};
  EXPECT_EQ(view_array_push(&wrapped, "z"), kArrayNoMemory);
  EXPECT_EQ(full.views, &slot);
}

// ---------------------------------------------------------------------------------------------
// Intern table

const InternNode* node_of(std::string_view v) {
  return reinterpret_cast<const InternNode*>(v.data() - sizeof(InternNode));
}

TEST(Intern, EqualTextsShareOneNode) {
  const std::string first = "dedup_key";
  const std::string second = "dedup_key";
  const std::string_view a = intern(first);
  const std::string_view b = intern(second);
  EXPECT_EQ(a.data(), b.data());
  EXPECT_EQ(a, "dedup_key");
  EXPECT_NE(a.data(), first.data());  // the table holds its own copy
  EXPECT_EQ(node_of(a)->hash, 0x957e2291df09e32full);
  EXPECT_EQ(node_of(a)->length, 9u);
  EXPECT_EQ(hash_view("dedup_key"), 0x957e2291df09e32full);

  const std::string_view alpha = intern("alpha_key");
  const std::string_view beta = intern("beta_key");
  EXPECT_NE(alpha.data(), beta.data());
  EXPECT_EQ(alpha, "alpha_key");
  EXPECT_EQ(beta, "beta_key");

  const Text built(std::string("row_") + std::to_string(42));
  const std::string_view row = intern(std::string_view(reinterpret_cast<char*>(built.b.data),
                                                       built.b.length));
  EXPECT_EQ(row, "row_42");
  EXPECT_EQ(intern("row_42").data(), row.data());

  // Same length, different bytes; and a prefix of an interned text: separate entries.
  EXPECT_NE(intern("row_43").data(), row.data());
  EXPECT_NE(intern("row_4").data(), row.data());

  const std::string_view none = intern("");
  EXPECT_NE(none.data(), nullptr);
  EXPECT_EQ(none.size(), 0u);
}

}  // namespace
}  // namespace vexa::text
