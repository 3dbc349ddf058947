// Numbering shared by every subsystem: error codes, backends, dtypes, pixel formats.
#pragma once

#include <cstdint>

namespace vexa {

// One numbering for frames, sessions and the generative bridge.
enum class ErrorCode : uint32_t {
  kOk = 0,
  kInvalidArgument = 1,   // invalid argument or call order
  kIo = 2,
  kInvalidModel = 3,
  kInvalidImage = 4,
  kUnsupportedImage = 5,
  kContextBudget = 6,
  kOutOfMemory = 7,
  kBackendUnavailable = 8,  // backend unavailable or GPU failure
  kBusy = 9,
  kCancelled = 10,
  kNonFinite = 11,
  kUnsupported = 12,
  kIntegrity = 13,  // hash mismatch
  kInference = 14,  // inference or engine failure
};

enum class Backend : uint32_t { kAuto = 0, kCpu = 1, kGpu = 2, kNpu = 3 };

// "AUTO", "CPU", "GPU", "NPU", and "NONE" for any other value.
const char* backend_name(uint32_t backend);

enum class TensorDtype : uint32_t { kF16 = 1, kF32 = 2, kI64 = 3, kQ8 = 4, kU8 = 5 };

// Bytes per element; 0 for Q8 blocks (stored weights only) and unknown values.
uint32_t dtype_element_size(uint32_t dtype);

enum class PixelFormat : uint32_t { kRgb8 = 1, kBgr8 = 2, kRgba8 = 3, kBgra8 = 4, kGray8 = 5 };

// Bytes per pixel; 0 for unknown formats.
uint32_t pixel_format_bytes(uint32_t format);

enum class ResizeMode : uint32_t { kStretch = 0, kLetterbox = 1, kCenterCrop = 2 };

enum class FinishReason : uint32_t {
  kNone = 0,  // a stream delta
  kEndOfSequence = 1,
  kStopSequence = 2,
  kLength = 3,
  kCancelled = 4,
};

// Limits shared across the system.
inline constexpr uint32_t kMaxTensorRank = 6;
inline constexpr uint64_t kMaxTensorElements = uint64_t{1} << 30;
inline constexpr uint32_t kMaxImageSide = 32768;
inline constexpr uint64_t kMaxImagePixels = 100000000;

// Both sides 1..kMaxImageSide and at most kMaxImagePixels pixels: every image and tensor size of
// the image pipeline.
inline bool image_dims_valid(uint64_t width, uint64_t height) {
  if (width < 1 || width > kMaxImageSide || height < 1 || height > kMaxImageSide) return false;
  return width * height <= kMaxImagePixels;  // both sides <= 2^15, so no wrap
}

}  // namespace vexa
