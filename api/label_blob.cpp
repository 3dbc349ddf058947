#include "api/label_blob.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "api/api_alloc.h"

namespace vexa {

LabelBlob* label_blob_new(const char* bytes, uint64_t len, uint32_t count) {
  auto* data = static_cast<char*>(api_malloc(static_cast<size_t>(len)));
  if (data == nullptr) return nullptr;
  void* memory = api_malloc(sizeof(LabelBlob));
  if (memory == nullptr) {
    std::free(data);
    return nullptr;
  }
  if (len != 0) std::memcpy(data, bytes, static_cast<size_t>(len));
  auto* blob = new (memory) LabelBlob;
  blob->refcount.store(1, std::memory_order_relaxed);
  blob->data = data;
  blob->len = len;
  blob->count = count;
  return blob;
}

void label_blob_retain(LabelBlob* blob) {
  if (blob != nullptr) blob->refcount.fetch_add(1, std::memory_order_relaxed);
}

void label_blob_release(LabelBlob* blob) {
  if (blob == nullptr) return;
  if (blob->refcount.fetch_sub(1, std::memory_order_seq_cst) < 2) {
    std::free(blob->data);
    blob->~LabelBlob();
    std::free(blob);
  }
}

const char* label_at(const char* data, uint64_t len, uint32_t count, int64_t index,
                     uint64_t* out_len) {
  *out_len = 0;
  if (data == nullptr || len == 0 || index < 0 || index >= int64_t{count}) return "";
  uint64_t pos = 0;
  for (int64_t item = 0; item < index; ++item) {
    const void* nul = std::memchr(data + pos, '\0', static_cast<size_t>(len - pos));
    if (nul == nullptr) return "";
    pos = static_cast<uint64_t>(static_cast<const char*>(nul) - data) + 1;
    if (pos >= len) return "";
  }
  const void* nul = std::memchr(data + pos, '\0', static_cast<size_t>(len - pos));
  const uint64_t end = nul == nullptr ? len : static_cast<uint64_t>(static_cast<const char*>(nul) - data);
  *out_len = end - pos;
  return data + pos;
}

}  // namespace vexa
