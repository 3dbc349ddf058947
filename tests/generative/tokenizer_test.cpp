// The tokenizer against Hugging Face tokenizers' encoding and decoding of the same tokenizer.json
// (goldens in tests/fixtures/tokenizer), plus the cutting and merging rules on small cases.
#include "generative/tokenizer.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "generative/code_point_class.h"
#include "generative/utf8_spans.h"
#include "processor_fixture.h"

namespace vexa {
namespace {

using testing::gpt2_processor;
using testing::read_fixture;
using testing::small_processor;

std::string from_hex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::vector<int64_t> parse_ids(const std::string& text) {
  std::vector<int64_t> ids;
  std::istringstream in(text);
  for (int64_t id = 0; in >> id;) ids.push_back(id);
  return ids;
}

struct Golden {
  std::string kind, name, input, expected, decoded;
};

std::vector<Golden> goldens() {
  std::vector<Golden> out;
  std::istringstream in(read_fixture("tokenizer/tokenizer_goldens.tsv"));
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    f.resize(5);
    out.push_back({f[0], f[1], f[2], f[3], f[4]});
  }
  return out;
}

std::string message_of(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(TokenizerGoldens, MatchReferenceEncodeAndDecode) {
  const Processor& p = gpt2_processor();
  const std::vector<Golden> cases = goldens();
  ASSERT_GE(cases.size(), 50u);
  for (const Golden& g : cases) {
    SCOPED_TRACE(g.kind + " " + g.name);
    if (g.kind == "encode") {
      const std::string text = from_hex(g.input);
      const std::vector<int64_t> ids = tokenizer_encode(p, text);
      EXPECT_EQ(ids, parse_ids(g.expected));
      EXPECT_EQ(tokenizer_decode_ids(p, ids), from_hex(g.decoded));
      // Raw bytes of the non-special ids give back exactly the text between the markers.
      std::string raw;
      for (const int64_t id : ids) raw += processor_token_bytes(p, id);
      EXPECT_EQ(raw, tokenizer_decode_ids(p, ids));
    } else if (g.kind == "decode") {
      EXPECT_EQ(tokenizer_decode_ids(p, parse_ids(g.input)), from_hex(g.expected));
    } else if (g.kind == "reject") {
      EXPECT_EQ(message_of([&] { tokenizer_encode(p, from_hex(g.input)); }), g.expected);
    } else {
      ADD_FAILURE() << "unknown golden kind";
    }
  }
}

TEST(TokenizerRoundTrip, EveryTokenDecodesToItsBytesAndTextSurvivesEncoding) {
  const Processor& p = gpt2_processor();
  // Every named, non-special token: its bytes encode back to text that decodes to the same
  // bytes when they are valid UTF-8.
  uint64_t checked = 0;
  for (int64_t id = 0; id < 50256; ++id) {
    const std::string bytes = processor_token_bytes(p, id);
    ASSERT_FALSE(bytes.empty());
    if (utf8_sanitize(bytes) != bytes) continue;
    const std::vector<int64_t> ids = tokenizer_encode(p, bytes);
    ASSERT_EQ(tokenizer_decode_ids(p, ids), bytes) << "token " << id;
    ++checked;
  }
  EXPECT_GT(checked, 49000u);

  std::mt19937 rng(7);
  const std::vector<std::string> parts = {"a", "Z", " ", "\n", "\t", "7", "'", "'s", "é", "ß",
                                          "中", "😀", "<image>", "<|im_start|>", "!", "  ",
                                          "\u0301", "\u00a0", "x1", "<end_of_utterance>"};
  for (int round = 0; round < 300; ++round) {
    std::string text, expected;
    const int n = static_cast<int>(rng() % 40);
    for (int k = 0; k < n; ++k) {
      const std::string& part = parts[rng() % parts.size()];
      text += part;
      if (part[0] != '<') expected += part;
    }
    ASSERT_EQ(tokenizer_decode_ids(p, tokenizer_encode(p, text)), expected) << text;
  }
}

TEST(TokenizerPieces, CutAsTheWordPatternDoes) {
  const auto pieces = [](std::string_view text) {
    std::vector<std::string> out;
    for (const std::string_view piece : pretokenize_pieces(text)) out.emplace_back(piece);
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(pieces("Hello world"), (V{"Hello", " world"}));
  EXPECT_EQ(pieces("x  y"), (V{"x", " ", " y"}));
  EXPECT_EQ(pieces("abc123"), (V{"abc", "1", "2", "3"}));
  EXPECT_EQ(pieces("a 5"), (V{"a", " ", "5"}));
  EXPECT_EQ(pieces("don't"), (V{"don", "'t"}));
  EXPECT_EQ(pieces("I'M"), (V{"I", "'", "M"}));
  EXPECT_EQ(pieces("we'll've"), (V{"we", "'ll", "'ve"}));
  EXPECT_EQ(pieces("\n\nabc"), (V{"\n", "\n", "abc"}));
  EXPECT_EQ(pieces("ab  "), (V{"ab", "  "}));
  EXPECT_EQ(pieces("a   b"), (V{"a", "  ", " b"}));
  EXPECT_EQ(pieces(" !?x"), (V{" !?", "x"}));
  EXPECT_EQ(pieces("'"), (V{"'"}));
  EXPECT_EQ(pieces("'s"), (V{"'s"}));
  // A contraction needs its letters inside the run: the digit split ends the run first.
  EXPECT_EQ(pieces("'1"), (V{"'", "1"}));
  EXPECT_EQ(pieces(""), V{});
}

TEST(TokenizerAddedTokens, LongestFirstAnywhereInTheText) {
  // "<image>" is listed first but "<image>x" is longer, so it wins where both match.
  const auto p = small_processor({{"h", "e"}}, {"<image>", "<image>x"});
  const int64_t image = 256 + 1, image_x = 256 + 2;
  EXPECT_EQ(tokenizer_encode(*p, "<image>x"), (std::vector<int64_t>{image_x}));
  EXPECT_EQ(tokenizer_encode(*p, "<image>y"), (std::vector<int64_t>{image, 'y'}));
  EXPECT_EQ(tokenizer_encode(*p, "he<image>he"), (std::vector<int64_t>{256, image, 256}));
  EXPECT_EQ(tokenizer_encode(*p, "<imag"), (std::vector<int64_t>{'<', 'i', 'm', 'a', 'g'}));
  // Special ids decode to nothing and have no raw bytes.
  EXPECT_EQ(tokenizer_decode_ids(*p, std::vector<int64_t>{256, image, 'y'}), "hey");
  EXPECT_EQ(processor_token_bytes(*p, image_x), "");
}

TEST(TokenizerMerges, LowestRankLeftmostFirst) {
  // "ab" (rank 1) and "bc" (rank 0) compete in "abc": bc wins although ab is further left;
  // among equal pairs the leftmost merges first ("aaa" -> "aa" "a").
  const auto p = small_processor({{"b", "c"}, {"a", "b"}, {"a", "a"}}, {});
  EXPECT_EQ(tokenizer_encode(*p, "abc"), (std::vector<int64_t>{'a', 256}));
  EXPECT_EQ(tokenizer_encode(*p, "aaa"), (std::vector<int64_t>{258, 'a'}));
  EXPECT_EQ(tokenizer_encode(*p, "aaaa"), (std::vector<int64_t>{258, 258}));
}

TEST(TokenizerMerges, HeapMatchesRescanOnRealMerges) {
  const TokenizerTables& t = gpt2_processor().tokens;
  std::mt19937 rng(11);
  const std::string alphabet = "aeinorst hlmpu'.";
  for (int round = 0; round < 400; ++round) {
    std::vector<uint32_t> scan;
    const size_t n = 1 + rng() % 120;
    for (size_t k = 0; k < n; ++k) {
      const uint8_t b = round % 3 == 0 ? static_cast<uint8_t>(rng())
                                       : static_cast<uint8_t>(alphabet[rng() % alphabet.size()]);
      scan.push_back(t.byte_symbol[b]);
    }
    std::vector<uint32_t> heap = scan;
    bpe_merge_symbols_by_scan(t, scan);
    bpe_merge_symbols_by_heap(t, heap);
    ASSERT_EQ(heap, scan) << "round " << round;
  }
}

TEST(TokenizerErrors, MessagesAndBounds) {
  const Processor& p = gpt2_processor();
  const int64_t vocab = p.tokens.vocab_size;
  EXPECT_EQ(message_of([&] { tokenizer_decode_ids(p, std::vector<int64_t>{5, -1}); }),
            "Decode ID");
  EXPECT_EQ(message_of([&] { tokenizer_decode_ids(p, std::vector<int64_t>{vocab}); }),
            "Decode ID");
  EXPECT_EQ(message_of([&] { processor_token_bytes(p, vocab); }), "Decode token out of bounds");
  EXPECT_EQ(message_of([&] { processor_token_bytes(p, -1); }), "Decode token out of bounds");
  EXPECT_EQ(tokenizer_decode_ids(p, {}), "");
  EXPECT_TRUE(tokenizer_encode(p, "").empty());
  // A merge result missing from the vocabulary.
  auto assets = testing::small_assets({{"x", "y"}}, {});
  assets["tokenizer.json"]["model"]["vocab"].erase(testing::symbols_of("xy"));
  const auto missing = processor_load_config(std::move(assets));
  EXPECT_EQ(message_of([&] { tokenizer_encode(*missing, "axyb"); }), "Missing BPE symbol");
  // A failure appends nothing, though the pieces and symbols before the missing one are known.
  std::vector<int64_t> kept = {7};
  EXPECT_EQ(message_of([&] { bpe_merge_word(*missing, "axyb", kept); }), "Missing BPE symbol");
  EXPECT_EQ(kept, (std::vector<int64_t>{7}));
  EXPECT_EQ(message_of([&] { pretokenize(*missing, "ab cd axyb", kept); }), "Missing BPE symbol");
  EXPECT_EQ(kept, (std::vector<int64_t>{7}));
  EXPECT_EQ(message_of([&] { pretokenize(*missing, "ab\xFF", kept); }), "Invalid UTF-8 input");
  EXPECT_EQ(kept, (std::vector<int64_t>{7}));
  pretokenize(*missing, "ab", kept);
  EXPECT_EQ(kept, (std::vector<int64_t>{7, 'a', 'b'}));
  // A token whose text holds a code point that stands for no byte.
  auto odd = testing::small_assets({}, {});
  odd["tokenizer.json"]["model"]["vocab"]["\u4e2d"] = 300;
  const auto odd_processor = processor_load_config(std::move(odd));
  EXPECT_EQ(message_of([&] { processor_token_bytes(*odd_processor, 300); }), "Byte decoding");
  EXPECT_EQ(message_of([&] { tokenizer_decode_ids(*odd_processor, std::vector<int64_t>{300}); }),
            "Byte decoding");
}

TEST(TokenizerText, Utf8SpansFollowTheInvalidSpanRule) {
  const auto spans = [](std::string_view s) {
    std::vector<std::pair<uint32_t, uint64_t>> out;  // code point, length
    for (const CodePointSpan& c : utf8_decode_spans(s, true)) {
      out.push_back({c.code_point, c.end - c.begin});
    }
    return out;
  };
  using V = std::vector<std::pair<uint32_t, uint64_t>>;
  const uint32_t r = kReplacementCodePoint;
  EXPECT_EQ(spans("a\xC3\xA9"), (V{{'a', 1}, {0xE9, 2}}));
  EXPECT_EQ(spans("\xF0\x9F\x98\x80"), (V{{0x1F600, 4}}));
  EXPECT_EQ(spans("\xC0\xAF"), (V{{r, 1}, {r, 1}}));
  EXPECT_EQ(spans("\xE0\x80\xAF"), (V{{r, 1}, {r, 1}, {r, 1}}));    // overlong
  EXPECT_EQ(spans("\xED\xA0\x80"), (V{{r, 1}, {r, 1}, {r, 1}}));    // surrogate
  EXPECT_EQ(spans("\xF4\x90\x80\x80"), (V{{r, 1}, {r, 1}, {r, 1}, {r, 1}}));
  EXPECT_EQ(spans("\xE4\xBD"), (V{{r, 2}}));                        // cut at the end
  EXPECT_EQ(spans("\xF0\x9F\x98" "A"), (V{{r, 3}, {'A', 1}}));      // broken third byte
  EXPECT_EQ(spans("\xE4"), (V{{r, 1}}));
  EXPECT_THROW(utf8_decode_spans("ok\xFF", false), std::runtime_error);

  std::string encoded;
  for (const uint32_t cp : {0x41u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    utf8_append(encoded, cp);
  }
  EXPECT_EQ(encoded, "A\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
}

TEST(TokenizerText, CodePointClasses) {
  EXPECT_EQ(char_class_cached('a'), kClassLetter);
  EXPECT_EQ(char_class_cached(0x4E2D), kClassLetter);   // CJK
  EXPECT_EQ(char_class_cached(0x1D518), kClassLetter);  // mathematical fraktur U
  EXPECT_EQ(char_class_cached('7'), kClassNumber);
  EXPECT_EQ(char_class_cached(0x216B), kClassNumber);  // roman numeral twelve (Nl)
  EXPECT_EQ(char_class_cached(0x00BD), kClassNumber);  // one half (No)
  for (const uint32_t space : {0x09u, 0x0Bu, 0x0Cu, 0x20u, 0x85u, 0xA0u, 0x2028u, 0x3000u}) {
    EXPECT_EQ(char_class_cached(space), kClassSpace) << space;
  }
  for (const uint32_t none : {0x21u, 0x0301u, 0x200Bu, 0x1F600u, 0x0u, 0x110000u}) {
    EXPECT_EQ(char_class_cached(none), 0u) << none;
  }
}

}  // namespace
}  // namespace vexa
