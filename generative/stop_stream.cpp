#include "generative/stop_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "generative/utf8_spans.h"

namespace vexa {

StopStream* stop_stream_create(const char* const* stops, uint64_t count,
                               StopStreamCallback callback, void* user) {
  if (stops == nullptr && count != 0) return nullptr;
  for (uint64_t i = 0; i < count; ++i) {
    if (stops[i] == nullptr || stops[i][0] == '\0') return nullptr;
  }
  try {
    auto* s = new StopStream{{}, {}, {}, callback, user, kStreamRunning, -1};
    try {
      s->stops.assign(stops, stops + count);
    } catch (...) {
      delete s;
      throw;
    }
    return s;
  } catch (const std::exception&) {
    return nullptr;
  }
}

namespace {

int32_t release(StopStream* s, uint64_t n, bool final) {
  const auto* p = reinterpret_cast<const uint8_t*>(s->pending.data());
  std::string chunk;
  uint64_t i = 0;
  while (i < n) {
    const Utf8Decoded d = utf8_step(p, n, i);
    if (d.step == Utf8Step::kValid) {
      chunk.append(s->pending, i, d.length);
    } else if (d.step == Utf8Step::kIncomplete && !final) {
      break;  // the rest of the character may come with the next push
    } else {
      utf8_append(chunk, kReplacementCodePoint);
    }
    i += d.length;
  }
  s->released += chunk;  // before the erase, so a failed append loses nothing
  s->pending.erase(0, i);
  if (!chunk.empty() && s->callback != nullptr &&
      s->callback(s->user, chunk.data(), chunk.size(), s->tag) != 0) {
    s->status = kStreamStopCallback;
  }
  return s->status;
}

// Longest k (1 <= k < L) for which pending ends with the first k bytes of a stop of length L.
uint64_t hold_back(const StopStream& s) {
  uint64_t h = 0;
  for (const std::string& stop : s.stops) {
    for (uint64_t k = std::min<uint64_t>(stop.size() - 1, s.pending.size()); k > h; --k) {
      if (std::memcmp(s.pending.data() + s.pending.size() - k, stop.data(), k) == 0) {
        h = k;
        break;
      }
    }
  }
  return h;
}

}  // namespace

int32_t stop_stream_release(StopStream* s, uint64_t n, bool final) {
  if (s == nullptr || n > s->pending.size()) return kStreamFailed;
  try {
    return release(s, n, final);
  } catch (const std::exception&) {
    return kStreamFailed;
  }
}

int32_t stop_stream_push(StopStream* s, const void* bytes, uint64_t length, int64_t tag) {
  if (s == nullptr || (bytes == nullptr && length != 0)) return kStreamFailed;
  if (s->status != kStreamRunning) return s->status;
  try {
    s->tag = tag;
    s->pending.append(static_cast<const char*>(bytes), length);
    uint64_t first = std::string::npos;
    for (const std::string& stop : s->stops) first = std::min(first, s->pending.find(stop));
    if (first != std::string::npos) {
      s->status = kStreamStopString;
      release(s, first, true);
      s->pending.clear();
      return s->status;
    }
    return release(s, s->pending.size() - hold_back(*s), false);
  } catch (const std::exception&) {
    return kStreamFailed;
  }
}

int32_t stop_stream_flush(StopStream* s) {
  if (s == nullptr) return kStreamFailed;
  if (s->status != kStreamRunning) {
    s->pending.clear();
    return s->status;
  }
  try {
    return release(s, s->pending.size(), true);
  } catch (const std::exception&) {
    return kStreamFailed;
  }
}

const char* stop_stream_text(const StopStream* s) { return s == nullptr ? "" : s->released.c_str(); }

uint64_t stop_stream_length(const StopStream* s) { return s == nullptr ? 0 : s->released.size(); }

void stop_stream_destroy(StopStream* s) { delete s; }

}  // namespace vexa
