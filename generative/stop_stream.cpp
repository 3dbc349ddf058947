#include "generative/stop_stream.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "generative/utf8_spans.h"

namespace vexa {

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

// Prefix function of a stop: entry i is the length of the longest proper prefix of stop[0..i]
// that also ends there.
std::vector<uint32_t> prefix_function(const std::string& stop) {
  std::vector<uint32_t> pi(stop.size(), 0);
  for (size_t i = 1; i < stop.size(); ++i) {
    uint32_t q = pi[i - 1];
    while (q > 0 && stop[i] != stop[q]) q = pi[q - 1];
    if (stop[i] == stop[q]) ++q;
    pi[i] = q;
  }
  return pi;
}

struct StopScan {
  uint64_t first;  // start of the first occurrence, npos when none
  uint64_t tail;   // without one: the longest k < L for which pending ends with stop[0, k)
};

// One pass of the stop's automaton over pending (linear in both lengths, so long stops cannot
// make a push quadratic).
StopScan scan_stop(const std::string& pending, const std::string& stop,
                   const std::vector<uint32_t>& pi) {
  uint64_t q = 0;
  for (uint64_t i = 0; i < pending.size(); ++i) {
    while (q > 0 && pending[i] != stop[q]) q = pi[q - 1];
    if (pending[i] == stop[q]) ++q;
    if (q == stop.size()) return {i + 1 - stop.size(), 0};
  }
  return {std::string::npos, q};
}

}  // namespace

StopStream* stop_stream_create(const char* const* stops, uint64_t count,
                               StopStreamCallback callback, void* user) {
  if (stops == nullptr && count != 0) return nullptr;
  for (uint64_t i = 0; i < count; ++i) {
    if (stops[i] == nullptr || stops[i][0] == '\0') return nullptr;
  }
  try {
    auto* s = new StopStream{{}, {}, {}, callback, user, kStreamRunning, -1, {}};
    try {
      s->stops.assign(stops, stops + count);
      for (const std::string& stop : s->stops) s->stop_prefixes.push_back(prefix_function(stop));
    } catch (...) {
      delete s;
      throw;
    }
    return s;
  } catch (const std::exception&) {
    return nullptr;
  }
}

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
    uint64_t hold_back = 0;
    for (size_t k = 0; k < s->stops.size(); ++k) {
      const StopScan scan = scan_stop(s->pending, s->stops[k], s->stop_prefixes[k]);
      first = std::min(first, scan.first);
      hold_back = std::max(hold_back, scan.tail);
    }
    if (first != std::string::npos) {
      s->status = kStreamStopString;
      release(s, first, true);
      s->pending.clear();
      return s->status;
    }
    return release(s, s->pending.size() - hold_back, false);
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
