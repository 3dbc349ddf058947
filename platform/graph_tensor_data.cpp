#include "platform/graph_tensor_data.h"

#include "platform/software_device.h"

namespace vexa {

bool shape_element_count(const std::vector<int64_t>& shape, uint64_t limit, uint64_t* count) {
  uint64_t n = 1;
  bool zero = false;
  for (int64_t d : shape) {
    if (d < 0) return false;
    if (d == 0) {
      zero = true;
      continue;
    }
    const uint64_t u = static_cast<uint64_t>(d);
    if (u > limit || n > limit / u) return false;
    n *= u;
  }
  *count = zero ? 0 : n;
  return true;
}

uint8_t* device_view_bytes(const std::shared_ptr<DeviceBuffer>& buffer, uint64_t offset,
                           DeviceDataType type, uint64_t elements, std::string* error) {
  const uint64_t size = device_data_type_bytes(type);
  if (buffer == nullptr) {
    *error = "tensor data has no buffer";
    return nullptr;
  }
  if (size == 0) {
    *error = "tensor data has an unknown data type";
    return nullptr;
  }
  const uint64_t length = buffer->length();
  if (elements > UINT64_MAX / size || offset > length || elements * size > length - offset) {
    *error = "tensor data reaches past the end of its buffer";
    return nullptr;
  }
  return buffer->device_bytes() + offset;
}

}  // namespace vexa
