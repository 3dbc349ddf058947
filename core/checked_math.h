// Overflow-checked u64 size arithmetic: every size, offset and product taken from untrusted
// input (files, images, caller buffers) goes through these before it is used. Each returns false
// and leaves *out untouched when the exact result does not fit in 64 bits.
#pragma once

#include <cstdint>

namespace vexa {

inline bool checked_add_u64(uint64_t a, uint64_t b, uint64_t* out) {
  if (a > UINT64_MAX - b) return false;
  *out = a + b;
  return true;
}

inline bool checked_mul_u64(uint64_t a, uint64_t b, uint64_t* out) {
  if (b != 0 && a > UINT64_MAX / b) return false;
  *out = a * b;
  return true;
}

// value rounded up to a multiple of unit (unit > 0).
inline bool checked_round_up(uint64_t value, uint64_t unit, uint64_t* out) {
  const uint64_t rem = value % unit;
  if (rem == 0) {
    *out = value;
    return true;
  }
  return checked_add_u64(value, unit - rem, out);
}

// Bytes spanned by `count` (>= 1) items `stride` apart whose last one needs only `last_bytes`:
// stride * (count - 1) + last_bytes. Rows of an image, planes of a tensor.
inline bool checked_strided_extent(uint64_t last_bytes, uint64_t stride, uint64_t count,
                                   uint64_t* out) {
  uint64_t before_last = 0;
  return checked_mul_u64(stride, count - 1, &before_last) &&
         checked_add_u64(before_last, last_bytes, out);
}

// [offset, offset + length) lies inside [0, size), written so that no sum can wrap.
inline bool range_within(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

}  // namespace vexa
