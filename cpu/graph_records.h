// The CPU engine's copies of the graph records: one node and one value, word for word as the
// container stores them, with named accessors so kernels never count words by hand.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/container_format.h"
#include "core/types.h"

namespace vexa::cpu {

// Table slots indexed by operator kind: 0 (no operator) through the last kind.
inline constexpr uint64_t kOpKindSlots = kOpKindLast + 1;

// An input id of all ones marks an absent optional input.
inline constexpr uint64_t kAbsentValue = kAbsentInput;

inline constexpr uint32_t kNodeWords = kGraphNodeUsedWords;
inline constexpr uint32_t kValueWords = kGraphValueUsedWords;
inline constexpr uint32_t kMaxNodeInputs = kGraphNodeMaxInputs;
inline constexpr uint32_t kMaxNodeOutputs = kGraphNodeMaxOutputs;
inline constexpr uint32_t kMaxRank = 6;

// Word positions of a node record.
inline constexpr uint32_t kNodeWordKind = 0;
inline constexpr uint32_t kNodeWordInputCount = 1;
inline constexpr uint32_t kNodeWordFirstInput = 2;
inline constexpr uint32_t kNodeWordOutputCount = 10;
inline constexpr uint32_t kNodeWordFirstOutput = 11;
inline constexpr uint32_t kNodeWordFirstAttr = 15;
inline constexpr uint32_t kNodeWordLastAttr = 30;

// Word positions of a value record.
inline constexpr uint32_t kValueWordKind = 0;
inline constexpr uint32_t kValueWordDtype = 1;
inline constexpr uint32_t kValueWordRank = 2;
inline constexpr uint32_t kValueWordFirstDim = 3;
inline constexpr uint32_t kValueWordElementCount = 9;
inline constexpr uint32_t kValueWordByteSize = 10;
inline constexpr uint32_t kValueWordTensorIndex = 11;
inline constexpr uint32_t kValueWordDataOffset = 12;
inline constexpr uint32_t kValueWordNameOffset = 13;
inline constexpr uint32_t kValueWordNameLength = 14;

// Value kinds.
inline constexpr uint64_t kValueGraphInput = 1;
inline constexpr uint64_t kValueWeight = 2;
inline constexpr uint64_t kValueIntermediate = 3;
inline constexpr uint64_t kValueGraphOutput = 4;

// Value data types (the container's numbering).
inline constexpr uint64_t kDtypeF16 = 1;
inline constexpr uint64_t kDtypeF32 = 2;
inline constexpr uint64_t kDtypeI64 = 3;
inline constexpr uint64_t kDtypeQ8 = 4;
inline constexpr uint64_t kDtypeU8 = 5;

// Every activation of the CPU engine is stored as f32.
inline constexpr uint64_t kF32Bytes = 4;

// Reads the IEEE single held in the low 32 bits of a word.
inline float word_f32(uint64_t word) {
  uint32_t bits = static_cast<uint32_t>(word);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

inline uint64_t f32_word(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

struct CpuNode {
  uint64_t w[kNodeWords];

  uint64_t kind() const { return w[kNodeWordKind]; }
  uint64_t input_count() const { return w[kNodeWordInputCount]; }
  uint64_t output_count() const { return w[kNodeWordOutputCount]; }
  // Callers keep k below the counts (checked when the state is built).
  uint64_t input(uint32_t k) const { return w[kNodeWordFirstInput + k]; }
  uint64_t output(uint32_t k) const { return w[kNodeWordFirstOutput + k]; }
  // Attribute word `word` (15..30) as a signed integer, or as the f32 in its low half.
  int64_t attr(uint32_t word) const { return static_cast<int64_t>(w[word]); }
  float attr_f32(uint32_t word) const { return word_f32(w[word]); }
};
static_assert(sizeof(CpuNode) == kNodeWords * 8);

struct CpuValue {
  uint64_t w[kValueWords];

  uint64_t kind() const { return w[kValueWordKind]; }
  uint64_t dtype() const { return w[kValueWordDtype]; }
  uint64_t rank() const { return w[kValueWordRank]; }
  uint64_t dim(uint32_t i) const { return w[kValueWordFirstDim + i]; }
  const uint64_t* dims() const { return &w[kValueWordFirstDim]; }
  uint64_t element_count() const { return w[kValueWordElementCount]; }
  uint64_t byte_size() const { return w[kValueWordByteSize]; }
  uint64_t data_offset() const { return w[kValueWordDataOffset]; }
};
static_assert(sizeof(CpuValue) == kValueWords * 8);

}  // namespace vexa::cpu
