#include "platform/device_data_type.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "platform/half.h"

namespace vexa {

namespace {

// Float to integer, saturating: NaN gives 0, and values at or past +-2^(bits-1) (2^31 and 2^63
// are exact in f32) give the type's limits.
template <typename T>
T saturated(float v) {
  constexpr float kLimit = 2.0f * static_cast<float>(T{1} << (std::numeric_limits<T>::digits - 1));
  if (std::isnan(v)) return 0;
  if (v >= kLimit) return std::numeric_limits<T>::max();
  if (v <= -kLimit) return std::numeric_limits<T>::min();
  return static_cast<T>(v);
}

// n stored values of T (unaligned) widened to floats.
template <typename T, typename Widen>
void widen_each(const uint8_t* bytes, float* dst, uint64_t n, Widen widen) {
  for (uint64_t i = 0; i < n; ++i) {
    T v;
    std::memcpy(&v, bytes + sizeof(T) * i, sizeof v);
    dst[i] = widen(v);
  }
}

// n floats narrowed and stored (unaligned) as T.
template <typename T, typename Narrow>
void narrow_each(const float* src, uint8_t* bytes, uint64_t n, Narrow narrow) {
  for (uint64_t i = 0; i < n; ++i) {
    const T v = narrow(src[i]);
    std::memcpy(bytes + sizeof(T) * i, &v, sizeof v);
  }
}

template <typename T>
float as_float(T v) {
  return static_cast<float>(v);
}

}  // namespace

uint64_t device_data_type_bytes(DeviceDataType type) {
  switch (type) {
    case DeviceDataType::kFloat16: return 2;
    case DeviceDataType::kFloat32: return 4;
    case DeviceDataType::kInt32: return 4;
    case DeviceDataType::kInt64: return 8;
    case DeviceDataType::kBool: return 1;
    default: return 0;
  }
}

bool device_data_type_valid(DeviceDataType type) { return device_data_type_bytes(type) != 0; }

bool device_data_type_is_float(DeviceDataType type) {
  return type == DeviceDataType::kFloat16 || type == DeviceDataType::kFloat32;
}

bool device_data_type_is_integer(DeviceDataType type) {
  return type == DeviceDataType::kInt32 || type == DeviceDataType::kInt64;
}

std::string_view device_data_type_name(DeviceDataType type) {
  switch (type) {
    case DeviceDataType::kFloat16: return "float16";
    case DeviceDataType::kFloat32: return "float32";
    case DeviceDataType::kInt32: return "int32";
    case DeviceDataType::kInt64: return "int64";
    case DeviceDataType::kBool: return "bool";
    default: return "invalid";
  }
}

float device_value_as(DeviceDataType type, float value) {
  switch (type) {
    case DeviceDataType::kFloat16: return f16_round_trip(value);
    case DeviceDataType::kInt32: return static_cast<float>(saturated<int32_t>(value));
    case DeviceDataType::kInt64: return static_cast<float>(saturated<int64_t>(value));
    // NaN is not 0, so it counts as true.
    case DeviceDataType::kBool: return value != 0.0f ? 1.0f : 0.0f;
    default: return value;
  }
}

bool device_values_to_f32(DeviceDataType type, const void* src, float* dst, uint64_t n) {
  const auto* bytes = static_cast<const uint8_t*>(src);
  switch (type) {
    case DeviceDataType::kFloat32:
      if (n != 0) std::memcpy(dst, src, n * sizeof(float));
      return true;
    case DeviceDataType::kFloat16:
      widen_each<uint16_t>(bytes, dst, n, [](uint16_t h) { return f16_widen(h); });
      return true;
    case DeviceDataType::kInt32:
      widen_each<int32_t>(bytes, dst, n, as_float<int32_t>);
      return true;
    case DeviceDataType::kInt64:
      widen_each<int64_t>(bytes, dst, n, as_float<int64_t>);
      return true;
    case DeviceDataType::kBool:
      for (uint64_t i = 0; i < n; ++i) dst[i] = bytes[i] != 0 ? 1.0f : 0.0f;
      return true;
    default:
      return false;
  }
}

bool device_values_from_f32(DeviceDataType type, const float* src, void* dst, uint64_t n) {
  auto* bytes = static_cast<uint8_t*>(dst);
  switch (type) {
    case DeviceDataType::kFloat32:
      if (n != 0) std::memcpy(dst, src, n * sizeof(float));
      return true;
    case DeviceDataType::kFloat16:
      narrow_each<uint16_t>(src, bytes, n, [](float v) { return f16_round_even(v); });
      return true;
    case DeviceDataType::kInt32:
      narrow_each<int32_t>(src, bytes, n, saturated<int32_t>);
      return true;
    case DeviceDataType::kInt64:
      narrow_each<int64_t>(src, bytes, n, saturated<int64_t>);
      return true;
    case DeviceDataType::kBool:
      for (uint64_t i = 0; i < n; ++i) bytes[i] = src[i] != 0.0f ? 1 : 0;
      return true;
    default:
      return false;
  }
}

void device_values_normalise(DeviceDataType type, float* values, uint64_t n) {
  if (type == DeviceDataType::kFloat32 || !device_data_type_valid(type)) return;
  for (uint64_t i = 0; i < n; ++i) values[i] = device_value_as(type, values[i]);
}

}  // namespace vexa
