// The decoding core (encoded bytes, whole files, raw pixels) and the path/memory decoders and
// Expected-record wrappers built on it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/bytes.h"
#include "core/checked_math.h"
#include "core/os.h"
#include "core/types.h"
#include "image/decode.h"
#include "image/decode_internal.h"

namespace vexa {

using namespace image_detail;

namespace {

constexpr uint32_t kRawBytesRgb = 3;
constexpr uint32_t kRawBytesWithAlpha = 4;

constexpr const char* kErrPathNul = "image path contains NUL";
constexpr const char* kErrDecodeFile = "failed to decode image";
constexpr const char* kErrDecodeBytes = "failed to decode encoded image bytes";

// Reads up to kExifProbeBytes from the start of the file for the lenient orientation walk.
uint32_t file_lenient_orientation(const char* path) {
  const int fd = os_open_regular_read(path);
  if (fd < 0) return kNoOrientation;
  auto* head = static_cast<uint8_t*>(std::malloc(kExifProbeBytes));
  uint32_t o = kNoOrientation;
  if (head != nullptr) {
    uint64_t got = 0;
    while (got < kExifProbeBytes) {
      const ssize_t n = ::pread(fd, head + got, kExifProbeBytes - got, static_cast<off_t>(got));
      if (n <= 0) break;
      got += static_cast<uint64_t>(n);
    }
    if (got >= kMinExifProbeBytes) o = jpeg_exif_orientation(head, got);
    std::free(head);
  }
  ::close(fd);
  return o;
}

// What the path/memory decoders hand out after a successful core decode: the orientation still to
// apply is 1 when the core applied one, else what the lenient walk found.
int hand_out(RgbImage* img, uint32_t lenient, uint32_t* width, uint32_t* height,
             uint32_t* orientation, uint8_t** pixels) {
  *width = img->width;
  *height = img->height;
  *pixels = img->pixels;
  if (orientation != nullptr) {
    const bool core_applied = img->orientation >= 2 && img->orientation <= kMaxOrientation;
    *orientation = core_applied ? kNoOrientation : lenient;
  }
  return 1;
}

}  // namespace

int decode_image_bytes(const uint8_t* data, uint64_t len, RgbImage* out, char* msg) {
  if (out == nullptr) {
    copy_error_text(msg, kMsgMissingOutput);
    return 0;
  }
  std::memset(out, 0, sizeof *out);
  if (msg != nullptr) msg[0] = '\0';
  if (data == nullptr || len < kMinEncodedBytes) {
    copy_error_text(msg, kMsgCannotRead);
    return 0;
  }

  // The orientation is looked up before the format is chosen.
  const bool is_jpeg = jpeg_probe(data, len);
  const bool is_png = !is_jpeg && png_probe(data, len);
  uint32_t orientation = kNoOrientation;
  if (is_jpeg) {
    orientation = jpeg_strict_orientation(data, len);
  } else if (is_png) {
    orientation = png_strict_orientation(data, len);
  }

  int ok = 0;
  if (is_jpeg) {
    ok = jpeg_decode(data, len, out, msg);
  } else if (is_png) {
    ok = png_decode(data, len, out, msg);
  } else {
    copy_error_text(msg, kMsgUnsupportedFormat);
    return 0;
  }
  if (ok == 0) return 0;
  if (apply_exif_orientation(out, orientation, msg) == 0) {
    free_image(out);
    return 0;
  }
  return 1;
}

int load_image_file(const char* path, RgbImage* out, char* msg) {
  if (out != nullptr) std::memset(out, 0, sizeof *out);
  if (path == nullptr) {
    copy_error_text(msg, kMsgMissingPath);
    return 0;
  }
  const int fd = os_open_regular_read(path);
  FILE* f = fd < 0 ? nullptr : ::fdopen(fd, "rb");
  if (f == nullptr) {
    if (fd >= 0) ::close(fd);
    copy_error_text(msg, kMsgCannotRead);
    return 0;
  }
  if (std::fseek(f, 0, SEEK_END) != 0) {
    std::fclose(f);
    copy_error_text(msg, kMsgCannotSize);
    return 0;
  }
  const long size = std::ftell(f);
  if (size < 0 || static_cast<uint64_t>(size) < kMinEncodedBytes ||
      static_cast<uint64_t>(size) > kMaxEncodedFileBytes || std::fseek(f, 0, SEEK_SET) != 0) {
    std::fclose(f);
    copy_error_text(msg, kMsgInvalidEncodedSize);
    return 0;
  }
  const size_t bytes = static_cast<size_t>(size);
  auto* block = static_cast<uint8_t*>(std::malloc(bytes));
  if (block == nullptr) {
    std::fclose(f);
    copy_error_text(msg, kMsgAllocation);
    return 0;
  }
  const size_t got = std::fread(block, 1, bytes, f);
  std::fclose(f);
  if (got != bytes) {
    std::free(block);
    copy_error_text(msg, kMsgCannotRead);
    return 0;
  }
  const int ok = decode_image_bytes(block, bytes, out, msg);
  std::free(block);
  return ok;
}

int import_image_pixels(const uint8_t* pixels, uint64_t len, uint32_t width, uint32_t height,
                        uint64_t stride, uint32_t layout, uint32_t orientation, RgbImage* out,
                        char* msg) {
  if (out == nullptr) {
    copy_error_text(msg, kMsgMissingOutput);
    return 0;
  }
  std::memset(out, 0, sizeof *out);

  const auto rgb = static_cast<uint32_t>(RawPixelLayout::kRgb);
  const auto bgra = static_cast<uint32_t>(RawPixelLayout::kBgra);
  bool valid = pixels != nullptr && width >= 1 && width <= kMaxImageSide && height >= 1 &&
               height <= kMaxImageSide && layout >= rgb && layout <= bgra &&
               orientation >= 1 && orientation <= kMaxOrientation;
  const uint64_t bpp = layout == rgb ? kRawBytesRgb : kRawBytesWithAlpha;
  const uint64_t row = bpp * width;  // <= 4 * 32768
  uint64_t extent = 0;  // the last row needs only `row` bytes
  valid = valid && stride >= row && checked_strided_extent(row, stride, height, &extent) &&
          len >= extent;
  if (!valid) {
    copy_error_text(msg, kMsgInvalidRaw);
    return 0;
  }
  if (uint64_t{width} * height > kMaxImagePixels) {
    copy_error_text(msg, kMsgDimensions);
    return 0;
  }
  if (alloc_rgb_image(out, width, height, msg) == 0) {
    std::memset(out, 0, sizeof *out);
    return 0;
  }

  for (uint64_t y = 0; y < height; ++y) {
    const uint8_t* src = pixels + stride * y;
    uint8_t* dst = out->pixels + uint64_t{kRgbBytesPerPixel} * width * y;
    if (layout == rgb) {
      std::memcpy(dst, src, row);
    } else if (layout == static_cast<uint32_t>(RawPixelLayout::kRgba)) {
      for (uint64_t x = 0; x < width; ++x, src += 4, dst += 3) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
      }
    } else {
      for (uint64_t x = 0; x < width; ++x, src += 4, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
      }
    }
  }
  if (apply_exif_orientation(out, orientation, msg) == 0) {
    free_image(out);
    return 0;
  }
  return 1;
}

int decode_image_path(const char* path, uint32_t* width, uint32_t* height, uint32_t* orientation,
                      uint8_t** pixels) {
  if (width == nullptr || height == nullptr || pixels == nullptr) return 0;
  if (ppm_decode_file(path, width, height, pixels)) {
    if (orientation != nullptr) *orientation = kNoOrientation;
    return 1;
  }
  const uint32_t lenient =
      (orientation != nullptr && path != nullptr) ? file_lenient_orientation(path) : kNoOrientation;
  RgbImage img{};
  char message[kImageMessageCapacity];
  if (load_image_file(path, &img, message) == 0) return 0;
  return hand_out(&img, lenient, width, height, orientation, pixels);
}

int decode_image_memory(const uint8_t* data, uint64_t len, uint32_t* width, uint32_t* height,
                        uint32_t* orientation, uint8_t** pixels) {
  if (width == nullptr || height == nullptr || pixels == nullptr) return 0;
  if (data == nullptr || len == 0) return 0;
  if (ppm_decode_memory(data, len, width, height, pixels)) {
    if (orientation != nullptr) *orientation = kNoOrientation;
    return 1;
  }
  const uint32_t lenient =
      orientation != nullptr ? jpeg_exif_orientation(data, len) : kNoOrientation;
  RgbImage img{};
  char message[kImageMessageCapacity];
  if (decode_image_bytes(data, len, &img, message) == 0) return 0;
  return hand_out(&img, lenient, width, height, orientation, pixels);
}

int decode_image_path_rgb(const char* path, uint32_t* width, uint32_t* height, uint8_t** pixels) {
  return decode_image_path(path, width, height, nullptr, pixels);
}

int decode_image_memory_rgb(const uint8_t* data, uint64_t len, uint32_t* width, uint32_t* height,
                            uint8_t** pixels) {
  return decode_image_memory(data, len, width, height, nullptr, pixels);
}

Expected<DecodedImage> image_file_to_rgb(const char* path, uint64_t path_len) {
  if (path == nullptr) path_len = 0;
  // An embedded NUL or no memory for the copy both refuse the path.
  const CStringResult cpath = bytes_cstring_copy(path, path_len);
  if (cpath.status != kBytesOk) return expected_error<DecodedImage>(kErrPathNul);

  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t orientation = kNoOrientation;
  uint8_t* pixels = nullptr;
  const int ok = decode_image_path(cpath.data, &width, &height, &orientation, &pixels);
  std::free(cpath.data);
  if (ok == 0) return expected_error<DecodedImage>(kErrDecodeFile);
  return expected_ok(DecodedImage{width, height, orientation, pixels});
}

Expected<DecodedImage> image_bytes_to_rgb(const uint8_t* data, uint64_t len) {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t orientation = kNoOrientation;
  uint8_t* pixels = nullptr;
  if (decode_image_memory(data, len, &width, &height, &orientation, &pixels) == 0) {
    return expected_error<DecodedImage>(kErrDecodeBytes);
  }
  return expected_ok(DecodedImage{width, height, orientation, pixels});
}

}  // namespace vexa
