// Class labels shared by a session and every output it filled: NUL-separated label bytes with
// an atomic reference count, so labels stay readable after the session is gone.
#pragma once

#include <atomic>
#include <cstdint>

namespace vexa {

struct LabelBlob {
  std::atomic<uint32_t> refcount;
  char* data;  // owned
  uint64_t len;
  uint32_t count;
};

// A new blob holding a copy of the bytes with one reference; null when allocation fails.
LabelBlob* label_blob_new(const char* bytes, uint64_t len, uint32_t count);
// Takes a reference (relaxed).
void label_blob_retain(LabelBlob* blob);
// Drops a reference (sequentially consistent); the holder that saw fewer than 2 frees it.
void label_blob_release(LabelBlob* blob);

// Label number `index` of NUL-separated items; ("", 0) when out of range or the bytes end
// before it. An item ends at its NUL or at the end of the bytes.
const char* label_at(const char* data, uint64_t len, uint32_t count, int64_t index,
                     uint64_t* out_len);

}  // namespace vexa
