// Element types of the device libraries' tensors and matrices, numbered as the platform numbers
// them (callers pass these numbers through), and the conversions between their stored form
// and the f32 values the stand-ins compute with.
//
// Stored forms: f32 and f16 (round-to-nearest-even halves), i32 and i64 (two's complement),
// bool (one byte, 0 or 1). Every value is carried as an f32 while it is computed on: integers
// are exact up to 2^24 in magnitude, and a value converted back to an integer type is
// truncated toward zero and saturated (NaN gives 0).
#pragma once

#include <cstdint>
#include <string_view>

namespace vexa {

enum class DeviceDataType : uint32_t {
  kInvalid = 0,
  kFloat16 = 0x10000010,
  kFloat32 = 0x10000020,
  kInt32 = 0x20000020,
  kInt64 = 0x20000040,
  kBool = 0x80000008,
};

// Bytes of one stored element; 0 for kInvalid and unknown numbers.
uint64_t device_data_type_bytes(DeviceDataType type);
bool device_data_type_is_float(DeviceDataType type);
bool device_data_type_is_integer(DeviceDataType type);
// "float32", "float16", "int32", "int64", "bool" or "invalid".
std::string_view device_data_type_name(DeviceDataType type);
// True for the five types above.
bool device_data_type_valid(DeviceDataType type);

// The f32 a value of `type` holds once it is stored as that type: f16 rounding, integer
// truncation with saturation, bool as 0 or 1.
float device_value_as(DeviceDataType type, float value);

// n stored elements of `type` at src (any alignment) to f32, and back. Unknown types copy
// nothing and return false.
bool device_values_to_f32(DeviceDataType type, const void* src, float* dst, uint64_t n);
bool device_values_from_f32(DeviceDataType type, const float* src, void* dst, uint64_t n);

// Replaces each of n values by device_value_as(type, value); nothing for f32.
void device_values_normalise(DeviceDataType type, float* values, uint64_t n);

}  // namespace vexa
