// XXH3-128 digests as the container stores them (low 64 bits then high 64 bits, each
// little-endian; not xxHash's canonical big-endian form) and the sealing of a written image.
#pragma once

#include <cstdint>

namespace vexa {

struct Digest128 {
  uint64_t low;
  uint64_t high;
};

// XXH3-128 with seed 0 and the default secret.
Digest128 digest128(const void* data, uint64_t length);
void digest_store(uint8_t* out16, Digest128 d);
Digest128 digest_load(const uint8_t* in16);
bool digest_matches(const void* data, uint64_t length, const uint8_t* stored16);

// Hashes (data, length) and stores the digest at buffer + offset.
void store_digest_at(uint8_t* buffer, uint64_t offset, const void* data, uint64_t length);
// Zeroes header bytes [256, 272), hashes the 512 header bytes and stores the digest there.
void container_header_digest(uint8_t* header);
// Seals a whole image of length L in memory: body digest, weights fold, reserved bytes, and
// the header digest last.
void container_seal_plain(uint8_t* image, uint64_t length);
// Seals when the weights are not in memory: the caller supplies the fold of [W, L).
void container_seal_with_fold(uint8_t* metadata_region, uint32_t weights_fold);
// XOR of the complete little-endian u32 words; trailing bytes are ignored.
uint32_t xor_fold32(const void* data, uint64_t length);

}  // namespace vexa
