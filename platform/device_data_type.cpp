#include "platform/device_data_type.h"

#include <cmath>
#include <cstring>

#include "platform/half.h"

namespace vexa {

namespace {

// Saturation bounds as f32: 2^31 and 2^63 are exact; values at or past them saturate.
constexpr float kInt32Limit = 2147483648.0f;
constexpr float kInt64Limit = 9223372036854775808.0f;

int32_t to_i32(float v) {
  if (std::isnan(v)) return 0;
  if (v >= kInt32Limit) return INT32_MAX;
  if (v <= -kInt32Limit) return INT32_MIN;
  return static_cast<int32_t>(v);
}

int64_t to_i64(float v) {
  if (std::isnan(v)) return 0;
  if (v >= kInt64Limit) return INT64_MAX;
  if (v <= -kInt64Limit) return INT64_MIN;
  return static_cast<int64_t>(v);
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
    case DeviceDataType::kInt32: return static_cast<float>(to_i32(value));
    case DeviceDataType::kInt64: return static_cast<float>(to_i64(value));
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
      for (uint64_t i = 0; i < n; ++i) {
        uint16_t h;
        std::memcpy(&h, bytes + 2 * i, sizeof h);
        dst[i] = f16_widen(h);
      }
      return true;
    case DeviceDataType::kInt32:
      for (uint64_t i = 0; i < n; ++i) {
        int32_t v;
        std::memcpy(&v, bytes + 4 * i, sizeof v);
        dst[i] = static_cast<float>(v);
      }
      return true;
    case DeviceDataType::kInt64:
      for (uint64_t i = 0; i < n; ++i) {
        int64_t v;
        std::memcpy(&v, bytes + 8 * i, sizeof v);
        dst[i] = static_cast<float>(v);
      }
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
      for (uint64_t i = 0; i < n; ++i) {
        const uint16_t h = f16_round_even(src[i]);
        std::memcpy(bytes + 2 * i, &h, sizeof h);
      }
      return true;
    case DeviceDataType::kInt32:
      for (uint64_t i = 0; i < n; ++i) {
        const int32_t v = to_i32(src[i]);
        std::memcpy(bytes + 4 * i, &v, sizeof v);
      }
      return true;
    case DeviceDataType::kInt64:
      for (uint64_t i = 0; i < n; ++i) {
        const int64_t v = to_i64(src[i]);
        std::memcpy(bytes + 8 * i, &v, sizeof v);
      }
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
