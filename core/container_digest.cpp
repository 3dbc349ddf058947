#include "core/container_digest.h"

#include <cstring>

#include <xxhash.h>

#include "core/container_format.h"

namespace vexa {

Digest128 digest128(const void* data, uint64_t length) {
  const XXH128_hash_t h = XXH3_128bits(length == 0 ? "" : data, static_cast<size_t>(length));
  return Digest128{h.low64, h.high64};
}

void digest_store(uint8_t* out16, Digest128 d) {
  std::memcpy(out16, &d.low, 8);
  std::memcpy(out16 + 8, &d.high, 8);
}

Digest128 digest_load(const uint8_t* in16) {
  Digest128 d;
  std::memcpy(&d.low, in16, 8);
  std::memcpy(&d.high, in16 + 8, 8);
  return d;
}

bool digest_matches(const void* data, uint64_t length, const uint8_t* stored16) {
  const Digest128 have = digest128(data, length);
  const Digest128 want = digest_load(stored16);
  return have.low == want.low && have.high == want.high;
}

void store_digest_at(uint8_t* buffer, uint64_t offset, const void* data, uint64_t length) {
  digest_store(buffer + offset, digest128(data, length));
}

void container_header_digest(uint8_t* header) {
  std::memset(header + kHeaderDigestOffset, 0, kDigestBytes);
  store_digest_at(header, kHeaderDigestOffset, header, kContainerHeaderBytes);
}

uint32_t xor_fold32(const void* data, uint64_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint64_t wide = 0;
  uint64_t i = 0;
  // Folding 64-bit words and then the halves gives the same XOR of all 32-bit words.
  for (; length - i >= 8; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    wide ^= w;
  }
  uint32_t fold = static_cast<uint32_t>(wide) ^ static_cast<uint32_t>(wide >> 32);
  if (length - i >= 4) {
    uint32_t w;
    std::memcpy(&w, p + i, 4);
    fold ^= w;
  }
  return fold;
}

void container_seal_with_fold(uint8_t* region, uint32_t weights_fold) {
  uint64_t w;
  std::memcpy(&w, region + offsetof(ContainerHeader, weights_offset), 8);
  store_digest_at(region, kHeaderBodyDigestOffset, region + kContainerHeaderBytes,
                  w - kContainerHeaderBytes);
  std::memcpy(region + kHeaderWeightsFoldOffset, &weights_fold, 4);
  std::memset(region + offsetof(ContainerHeader, reserved1), 0,
              kContainerHeaderBytes - offsetof(ContainerHeader, reserved1));
  container_header_digest(region);
}

void container_seal_plain(uint8_t* image, uint64_t length) {
  uint64_t w;
  std::memcpy(&w, image + offsetof(ContainerHeader, weights_offset), 8);
  container_seal_with_fold(image, xor_fold32(image + w, length - w));
}

}  // namespace vexa
