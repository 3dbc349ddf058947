// Tensors of the generative graph executor and the shape helpers every layer above it shares.
//
// A VXTensor is a view of device memory: a buffer, the byte offset of element 0, a shape and an
// element type. Tensors are handed around by shared pointer, as the platform hands around its
// objects: the executor's result, the generation loop's key/value cache and a capture may all
// hold the same tensor. Weight views (weight = true) and key/value caches (cache_stride > 0) never
// go back to the activation pool.
//
// Every failure here raises DomainError("VexaInference", message) with a fixed message.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/software_device.h"

namespace vexa {

inline constexpr const char* kInferenceDomain = "VexaInference";
inline constexpr const char* kCancelledDomain = "VexaCancelled";

// Tensor dtype codes.
inline constexpr uint64_t kVXDtypeF16 = 1;
inline constexpr uint64_t kVXDtypeF32 = 2;
inline constexpr uint64_t kVXDtypeI64 = 3;
inline constexpr uint64_t kVXDtypeQ8 = 4;  // weights only

// Activation precision of a graph.
inline constexpr uint64_t kVXActivationF16 = 1;
inline constexpr uint64_t kVXActivationF32 = 2;

inline constexpr uint64_t kVXMaxRank = 6;
// Largest dimension and element count a tensor may have: every count then fits the kernels'
// 32-bit parameter words, and every byte size fits comfortably in 64 bits.
inline constexpr uint64_t kVXMaxElements = uint64_t{1} << 30;

// q8 weight rows: blocks of 64 signed bytes followed by an f32 scale.
inline constexpr uint64_t kVXQ8BlockValues = 64;
inline constexpr uint64_t kVXQ8BlockBytes = 68;

struct VXTensor {
  std::shared_ptr<DeviceBuffer> buffer;
  std::vector<uint64_t> shape;
  uint64_t offset = 0;       // byte offset of element 0 in buffer
  uint64_t dtype = 0;        // kVXDtype*
  uint64_t count = 0;        // product of shape; 1 for rank 0
  uint64_t row_bytes = 0;    // weight views: bytes per stored row
  uint64_t cache_stride = 0; // key/value caches: positions per head the buffer holds
  bool weight = false;       // a view of the resident weights
};
using VXTensorPtr = std::shared_ptr<VXTensor>;

// Bytes of one element of an activation or id dtype (1..3); 0 otherwise.
uint64_t vx_element_bytes(uint64_t dtype);

// Raises DomainError(kInferenceDomain, message).
[[noreturn]] void raise_inference(const std::string& message);
inline void require_inference(bool condition, const char* message) {
  if (!condition) raise_inference(message);
}

// Element count of a shape: "Tensor rank exceeds six" above rank 6, "Invalid dimension" for a
// dimension that is negative as a signed value or above 2^30, "Tensor too large" when the running
// product passes 2^30. The empty shape has one element.
uint64_t shape_element_count(std::span<const uint64_t> shape);
// The last dimension; "Scalar not supported here" for rank 0.
uint64_t shape_last_dim(std::span<const uint64_t> shape);
// Dimension `index`; "Rank mismatch" when index is not below the rank.
uint64_t shape_dim_at(std::span<const uint64_t> shape, uint64_t index);
// The bits of a double; "Invalid real attribute" for an infinity or NaN.
double real_attribute(uint64_t word);
// A real attribute used as a 32-bit float: also "Invalid real attribute" when the double lies
// outside the float range (it would become an infinity).
float real_attribute_f32(uint64_t word);
// The NUL-terminated UTF-8 string at `offset` of a metadata image whose string area is
// [area_start, area_end): "String bounds" when the offset lies outside the area or the area
// passes the image, "Unterminated string" without a NUL before the area end, "Invalid UTF-8".
std::string metadata_cstring(const uint8_t* image, uint64_t length, uint64_t offset,
                             uint64_t area_start, uint64_t area_end);

}  // namespace vexa
