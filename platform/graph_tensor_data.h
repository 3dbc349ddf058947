// Device memory as the graph library and the matrix objects see it: an n-d array view of a
// buffer at a byte offset, and the tensor data that feeds a graph or receives its results.
//
//   NdArray weights(slot_buffer, offset, NdArrayDescriptor{DeviceDataType::kFloat32, {4096}});
//   GraphTensorData fed(weights);                                  // a fed weight
//   GraphTensorData input(input_buffer, {1, 3, 224, 224}, DeviceDataType::kFloat32);
//
// The views hold their buffer alive. Nothing is checked when a view is made: a run checks that
// the bytes lie inside the buffer (a view past its end fails the run with a message).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/device_data_type.h"

namespace vexa {

class DeviceBuffer;

struct NdArrayDescriptor {
  DeviceDataType type = DeviceDataType::kInvalid;
  std::vector<int64_t> shape;  // row-major, slowest dim first
};

class NdArray {
 public:
  NdArray() = default;
  NdArray(std::shared_ptr<DeviceBuffer> buffer, uint64_t offset, NdArrayDescriptor descriptor)
      : buffer_(std::move(buffer)), offset_(offset), descriptor_(std::move(descriptor)) {}

  const std::shared_ptr<DeviceBuffer>& buffer() const { return buffer_; }
  uint64_t offset() const { return offset_; }
  const NdArrayDescriptor& descriptor() const { return descriptor_; }

 private:
  std::shared_ptr<DeviceBuffer> buffer_;
  uint64_t offset_ = 0;
  NdArrayDescriptor descriptor_;
};

class GraphTensorData {
 public:
  GraphTensorData() = default;
  // The whole tensor from byte 0 of the buffer.
  GraphTensorData(std::shared_ptr<DeviceBuffer> buffer, std::vector<int64_t> shape,
                  DeviceDataType type)
      : buffer_(std::move(buffer)), shape_(std::move(shape)), type_(type) {}
  explicit GraphTensorData(const NdArray& array)
      : buffer_(array.buffer()),
        offset_(array.offset()),
        shape_(array.descriptor().shape),
        type_(array.descriptor().type) {}

  const std::shared_ptr<DeviceBuffer>& buffer() const { return buffer_; }
  uint64_t offset() const { return offset_; }
  const std::vector<int64_t>& shape() const { return shape_; }
  DeviceDataType type() const { return type_; }

 private:
  std::shared_ptr<DeviceBuffer> buffer_;
  uint64_t offset_ = 0;
  std::vector<int64_t> shape_;
  DeviceDataType type_ = DeviceDataType::kInvalid;
};

// Elements of a shape; false when a dim is negative or the product passes `limit`.
bool shape_element_count(const std::vector<int64_t>& shape, uint64_t limit, uint64_t* count);

// The device bytes of `elements` values of `type` at the view, checked to lie inside its
// buffer; null with *error set otherwise (no buffer, an unknown type, an offset or size past
// the end). Device work reads private buffers too.
uint8_t* device_view_bytes(const std::shared_ptr<DeviceBuffer>& buffer, uint64_t offset,
                           DeviceDataType type, uint64_t elements, std::string* error);

}  // namespace vexa
