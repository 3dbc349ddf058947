// Stop-sequence stream: the raw bytes of each generated token go in; text comes out as valid
// UTF-8, holding back bytes that may still start a stop string or complete a character. A stop
// string ends the stream before its first byte; a callback sees every released chunk and may
// stop the stream too. Never throws: failures are return values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexa {

// Returns nonzero to stop the generation. `tag` is the tag of the push that released the chunk.
using StopStreamCallback = int (*)(void* user, const char* text, uint64_t length, int64_t tag);

enum StopStreamStatus : int32_t {
  kStreamRunning = 0,
  kStreamStopString = 1,
  kStreamStopCallback = 2,
  kStreamFailed = -1,
};

struct StopStream {
  std::vector<std::string> stops;  // non-empty, compared as bytes
  std::string pending;             // pushed, not yet released
  std::string released;            // valid UTF-8
  StopStreamCallback callback;
  void* user;
  int32_t status;
  int64_t tag;
  std::vector<std::vector<uint32_t>> stop_prefixes;  // each stop's prefix function
};

// Null when `stops` is null with a nonzero count, a stop string is null or empty, or memory runs
// out. The strings are copied.
StopStream* stop_stream_create(const char* const* stops, uint64_t count,
                               StopStreamCallback callback, void* user);
// The status after the push; -1 for a null stream, null bytes with a nonzero length, or no
// memory. Does nothing once the stream has stopped.
int32_t stop_stream_push(StopStream* stream, const void* bytes, uint64_t length, int64_t tag);
// Releases everything pending (a cut character becomes U+FFFD) unless the stream has stopped,
// in which case the pending bytes are dropped. The status; -1 for null or no memory.
int32_t stop_stream_flush(StopStream* stream);
// The released text, NUL-terminated; "" and 0 for a null stream.
const char* stop_stream_text(const StopStream* stream);
uint64_t stop_stream_length(const StopStream* stream);
void stop_stream_destroy(StopStream* stream);

// Releases the first n pending bytes; `final` turns a character cut at the end into U+FFFD
// instead of holding it back. Returns the status (the callback may have stopped the stream).
int32_t stop_stream_release(StopStream* stream, uint64_t n, bool final);

}  // namespace vexa
