// A small seeded generator (splitmix64) for random model weights: the same seed gives the same
// bytes on every machine, which the committed goldens rely on.
#pragma once

#include <cstdint>

namespace vexa::testing {

class SeededRandom {
 public:
  explicit SeededRandom(uint64_t seed) : state_(seed) {}

  uint64_t next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }

  // Uniform in [-1, 1): 24 random bits, so the value is exact in f32.
  float symmetric() {
    const int64_t bits = static_cast<int64_t>(next() >> 40);  // 0 .. 2^24 - 1
    return static_cast<float>(bits - (int64_t{1} << 23)) * (1.0f / 8388608.0f);
  }

 private:
  uint64_t state_;
};

}  // namespace vexa::testing
