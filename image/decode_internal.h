// Shared by the format decoders: messages, limits, a bounded reader and the
// per-format probe/decode entry points. Not part of the library's wider API.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/checked_math.h"
#include "core/types.h"
#include "image/decode.h"

namespace vexa::image_detail {

// Messages reach callers verbatim (the generative engine and the frame loaders pass them on).
inline constexpr const char* kMsgMissingOutput = "Missing image output";
inline constexpr const char* kMsgCannotRead = "Cannot read image";
inline constexpr const char* kMsgMissingPath = "Missing image path";
inline constexpr const char* kMsgCannotSize = "Cannot size image";
inline constexpr const char* kMsgInvalidEncodedSize = "Invalid encoded image size";
inline constexpr const char* kMsgAllocation = "Image allocation failed";
inline constexpr const char* kMsgDimensions = "Image dimensions exceed supported bounds";
inline constexpr const char* kMsgInvalidRaw = "Invalid image pixels, stride, length or orientation";
inline constexpr const char* kMsgUnsupportedFormat =
    "Supported image formats are RGB/grayscale JPEG and PNG";
inline constexpr const char* kMsgJpegAllocation = "JPEG allocation failed";
inline constexpr const char* kMsgJpegCmyk = "CMYK JPEG is unsupported";
inline constexpr const char* kMsgJpegLayout = "Unexpected JPEG pixel layout";
inline constexpr const char* kMsgPngAllocation = "PNG allocation failed";
inline constexpr const char* kMsgPngTruncated = "Truncated PNG";
inline constexpr const char* kMsgPngDepth = "PNG supports at most 8-bit channels";
inline constexpr const char* kMsgPngLayout = "Unexpected PNG pixel layout";

inline constexpr uint32_t kRgbBytesPerPixel = 3;
// EXIF orientation codes: 1 is upright (nothing to apply), 2..8 mirror and rotate.
inline constexpr uint32_t kNoOrientation = 1;
inline constexpr uint32_t kMaxOrientation = 8;
inline constexpr uint64_t kMinEncodedBytes = 8;
inline constexpr uint64_t kMaxEncodedFileBytes = uint64_t{512} << 20;
// The lenient orientation walk of a file looks only at its first bytes.
inline constexpr uint64_t kExifProbeBytes = 65536;
inline constexpr uint64_t kMinExifProbeBytes = 13;

// snprintf(msg, 256, "%s", text); nothing when msg is null.
void copy_error_text(char* msg, const char* text);

// Reads that fail instead of running past the end.
struct BoundedReader {
  const uint8_t* data;
  uint64_t size;

  bool has(uint64_t offset, uint64_t count) const { return range_within(offset, count, size); }
  uint16_t u16(uint64_t offset, bool big_endian) const {
    const uint8_t* p = data + offset;
    return big_endian ? static_cast<uint16_t>((p[0] << 8) | p[1])
                      : static_cast<uint16_t>((p[1] << 8) | p[0]);
  }
  uint32_t u32(uint64_t offset, bool big_endian) const {
    const uint8_t* p = data + offset;
    return big_endian ? (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]
                      : (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
  }
  bool matches(uint64_t offset, const char* text, uint64_t count) const {
    return has(offset, count) && std::memcmp(data + offset, text, count) == 0;
  }
};

// ---- JPEG (libjpeg-turbo) ----
bool jpeg_probe(const uint8_t* data, uint64_t len);
// Fills `out` (zeroed on entry) or returns 0 with `out` zeroed and the message in msg.
int jpeg_decode(const uint8_t* data, uint64_t len, RgbImage* out, char* msg);
// Strict orientation from the first APP1 Exif segment before the scan; 1 when none.
uint32_t jpeg_strict_orientation(const uint8_t* data, uint64_t len);

// ---- PNG (libpng) ----
bool png_probe(const uint8_t* data, uint64_t len);
int png_decode(const uint8_t* data, uint64_t len, RgbImage* out, char* msg);
// Strict orientation from the first eXIf chunk; 1 when none.
uint32_t png_strict_orientation(const uint8_t* data, uint64_t len);

// ---- binary PPM ("P6", maximum value 255) ----
// The fast path answers "not mine" (false) rather than failing: callers then try the core.
bool ppm_decode_memory(const uint8_t* data, uint64_t len, uint32_t* width, uint32_t* height,
                       uint8_t** pixels);
bool ppm_decode_file(const char* path, uint32_t* width, uint32_t* height, uint8_t** pixels);

}  // namespace vexa::image_detail
