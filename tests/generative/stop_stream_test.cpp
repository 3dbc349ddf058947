// The stop-sequence stream: stops split across pushes, characters split across pushes, the
// callback's view of the text, flushing, and a property check against one-shot decoding.
#include "generative/stop_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "generative/utf8_spans.h"

namespace vexa {
namespace {

struct Seen {
  std::vector<std::string> chunks;
  std::vector<int64_t> tags;
  int stop_after = -1;  // return nonzero on this chunk (0-based)
};

int record(void* user, const char* text, uint64_t length, int64_t tag) {
  auto* seen = static_cast<Seen*>(user);
  seen->chunks.emplace_back(text, length);
  seen->tags.push_back(tag);
  return static_cast<int>(seen->chunks.size()) - 1 == seen->stop_after ? 1 : 0;
}

struct Stream {
  explicit Stream(std::vector<const char*> stops, Seen* seen = nullptr)
      : s(stop_stream_create(stops.data(), stops.size(), seen ? record : nullptr, seen)) {}
  ~Stream() { stop_stream_destroy(s); }
  int32_t push(const std::string& bytes, int64_t tag = 0) {
    return stop_stream_push(s, bytes.data(), bytes.size(), tag);
  }
  std::string text() const { return std::string(stop_stream_text(s), stop_stream_length(s)); }
  StopStream* s;
};

TEST(StopStream, StopsSplitAcrossPushes) {
  Seen seen;
  Stream end({"END"}, &seen);
  EXPECT_EQ(end.push("E"), 0);
  EXPECT_EQ(end.push("N"), 0);
  EXPECT_EQ(end.push("D"), 1);
  EXPECT_EQ(end.text(), "");
  EXPECT_TRUE(seen.chunks.empty());

  Stream ab({"ab"});
  EXPECT_EQ(ab.push("xa"), 0);
  EXPECT_EQ(ab.text(), "x");
  EXPECT_EQ(ab.push("c"), 0);
  EXPECT_EQ(ab.text(), "xac");

  // The earlier stop wins whatever the order of the list; nothing after it is released.
  for (const auto& stops : {std::vector<const char*>{"yy", "x"}, {"x", "yy"}}) {
    Stream two(stops);
    EXPECT_EQ(two.push("ab"), 0);
    EXPECT_EQ(two.push("yyc x"), 1);
    EXPECT_EQ(two.text(), "ab");
    EXPECT_EQ(two.push("more"), 1);
    EXPECT_EQ(stop_stream_flush(two.s), 1);
    EXPECT_EQ(two.text(), "ab");
  }

  // A stop made of one character's two bytes, pushed one byte at a time.
  Stream accent({"\xC3\xA9"});
  EXPECT_EQ(accent.push("caf\xC3"), 0);
  EXPECT_EQ(accent.push("\xA9!"), 1);
  EXPECT_EQ(accent.text(), "caf");
}

TEST(StopStream, CharactersSplitAcrossPushes) {
  Seen seen;
  Stream s({}, &seen);
  EXPECT_EQ(s.push("\xC3", 1), 0);
  EXPECT_TRUE(seen.chunks.empty());
  EXPECT_EQ(s.push("\xA9", 2), 0);
  EXPECT_EQ(seen.chunks, (std::vector<std::string>{"\xC3\xA9"}));
  EXPECT_EQ(seen.tags, (std::vector<int64_t>{2}));
  // Three bytes in three pushes; an invalid byte is replaced at once.
  s.push("\xE4", 3);
  s.push("\xBD", 4);
  s.push("\xA0" "a\xFF" "b", 5);
  EXPECT_EQ(seen.chunks.back(), "\xE4\xBD\xA0" "a\xEF\xBF\xBD" "b");
  // A lead byte pending at the flush becomes U+FFFD.
  s.push("\xF0\x9F", 6);
  EXPECT_EQ(stop_stream_flush(s.s), 0);
  EXPECT_EQ(seen.chunks.back(), "\xEF\xBF\xBD");
  EXPECT_EQ(seen.tags.back(), 6);
  EXPECT_EQ(s.text(), "\xC3\xA9\xE4\xBD\xA0" "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  for (const std::string& chunk : seen.chunks) EXPECT_FALSE(chunk.empty());

  // Before any push the tag is -1; a flush of nothing calls nobody.
  Seen first;
  Stream lone({}, &first);
  EXPECT_EQ(lone.s->tag, -1);
  EXPECT_EQ(stop_stream_flush(lone.s), 0);
  EXPECT_TRUE(first.chunks.empty());
}

TEST(StopStream, CallbackStops) {
  Seen seen;
  seen.stop_after = 0;
  Stream s({"zz"}, &seen);
  EXPECT_EQ(s.push("ok z", 1), 2);  // releases "ok " and holds "z"
  EXPECT_EQ(s.push("more", 2), 2);
  EXPECT_EQ(seen.chunks.size(), 1u);
  EXPECT_EQ(stop_stream_flush(s.s), 2);
  EXPECT_EQ(s.text(), "ok ");
  EXPECT_TRUE(s.s->pending.empty());

  // A stop found while the final chunk's callback asks to stop ends in 2.
  Seen both;
  both.stop_after = 0;
  Stream t({"!"}, &both);
  EXPECT_EQ(t.push("hi!"), 2);
  EXPECT_EQ(t.text(), "hi");
}

TEST(StopStream, CreationAndNullArguments) {
  const char* empty[] = {"ok", ""};
  EXPECT_EQ(stop_stream_create(empty, 2, nullptr, nullptr), nullptr);
  const char* null_stop[] = {nullptr};
  EXPECT_EQ(stop_stream_create(null_stop, 1, nullptr, nullptr), nullptr);
  EXPECT_EQ(stop_stream_create(nullptr, 1, nullptr, nullptr), nullptr);
  StopStream* none = stop_stream_create(nullptr, 0, nullptr, nullptr);
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(stop_stream_push(none, "abc\xE2\x82", 5, 0), 0);
  EXPECT_STREQ(stop_stream_text(none), "abc");
  EXPECT_EQ(stop_stream_push(none, nullptr, 0, 0), 0);
  EXPECT_EQ(stop_stream_push(none, nullptr, 1, 0), -1);
  stop_stream_destroy(none);

  EXPECT_EQ(stop_stream_push(nullptr, "a", 1, 0), -1);
  EXPECT_EQ(stop_stream_flush(nullptr), -1);
  EXPECT_STREQ(stop_stream_text(nullptr), "");
  EXPECT_EQ(stop_stream_length(nullptr), 0u);
  stop_stream_destroy(nullptr);
}

// Whatever the cut into pushes, the answer is the one-shot decoding of everything before the
// first stop (or of everything, after a flush), the callback's chunks add up to it, and no byte
// of a stop string is ever released.
TEST(StopStream, AnyCutGivesTheOneShotText) {
  std::mt19937 rng(5);
  const std::string alphabet[] = {"a", "b", " ", "\xC3\xA9", "\xE4\xBD\xA0", "\xF0\x9F\x98\x80",
                                  "\xFF", "\x80", "\xC3", "END", "EN", "<", "<|", "ab", "aa"};
  for (int round = 0; round < 500; ++round) {
    std::string all;
    const int parts = static_cast<int>(rng() % 30);
    for (int k = 0; k < parts; ++k) all += alphabet[rng() % std::size(alphabet)];
    const std::vector<std::vector<const char*>> stop_sets = {
        {}, {"END"}, {"<|e", "\xA9"}, {"abab", "aab"}, {"aaaa", "ba"}};
    const std::vector<const char*>& stops = stop_sets[round % stop_sets.size()];
    size_t first = std::string::npos;
    for (const char* stop : stops) first = std::min(first, all.find(stop));

    Seen seen;
    Stream s(stops, &seen);
    int32_t status = 0;
    for (size_t at = 0; at < all.size();) {
      const size_t n = std::min<size_t>(1 + rng() % 4, all.size() - at);
      status = s.push(all.substr(at, n));
      at += n;
    }
    if (status == 0) status = stop_stream_flush(s.s);
    const std::string want = utf8_sanitize(first == std::string::npos ? all : all.substr(0, first));
    ASSERT_EQ(status, first == std::string::npos ? 0 : 1) << "round " << round;
    ASSERT_EQ(s.text(), want) << "round " << round;
    std::string joined;
    for (const std::string& chunk : seen.chunks) joined += chunk;
    ASSERT_EQ(joined, want);
  }
}

// A long stop whose prefixes overlap the pending text in many ways: exactly its longest prefix
// that ends the text is held back, push after push.
TEST(StopStream, LongSelfOverlappingStop) {
  const std::string half(100000, 'a');
  const std::string stop = half + "b" + half;
  Stream s({stop.c_str()});
  const std::string block(4096, 'a');
  for (int k = 0; k < 49; ++k) ASSERT_EQ(s.push(block), 0);
  EXPECT_EQ(s.text().size(), 49 * block.size() - half.size());
  EXPECT_EQ(s.push("b" + half), 1);
  EXPECT_EQ(s.text().size(), 49 * block.size() - half.size());
}

}  // namespace
}  // namespace vexa
