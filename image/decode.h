// Image decoding for the library: JPEG, PNG and binary PPM files or encoded bytes, and raw caller
// pixels, all turned into upright packed RGB8 with the EXIF orientation applied.
//
// Three calling styles over one core:
//  - core functions return 1/0 and write the failure text into an optional 256-byte buffer
//    (`msg`, may be null): decode_image_bytes, load_image_file, import_image_pixels, ...
//  - path/memory decoders try the PPM fast path first, fall back to the core, and hand out
//    pixels plus an orientation still to apply; they drop the core's message.
//  - image_file_to_rgb / image_bytes_to_rgb return an Expected record for the frame loaders.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/expected.h"

namespace vexa {

// Size of every caller-supplied message buffer; messages are NUL-terminated and cut to 255 chars.
inline constexpr size_t kImageMessageCapacity = 256;

// A decoded upright image. Zero it before the first call that fills it.
struct RgbImage {
  uint32_t width;
  uint32_t height;
  uint32_t orientation;  // the EXIF code applied to reach the stored pixels (1 = none)
  uint32_t reserved;     // always 0
  uint8_t* pixels;       // malloc'd, 3 * width * height bytes, row r at 3 * width * r
};
static_assert(sizeof(RgbImage) == 24);

// Payload of an ok Expected record from image_file_to_rgb / image_bytes_to_rgb.
// Word 1: width (low half) and height (high half); word 2: orientation still to be applied
// (1..8); word 3: packed RGB pixels (malloc'd, owned by the receiver, freed with free()).
struct DecodedImage {
  uint32_t width;
  uint32_t height;
  uint64_t orientation;
  uint8_t* pixels;
};
static_assert(sizeof(DecodedImage) == 24);
static_assert(offsetof(DecodedImage, orientation) == 8);
static_assert(offsetof(DecodedImage, pixels) == 16);

// Layout of raw pixels given to import_image_pixels; alpha is dropped.
enum class RawPixelLayout : uint32_t { kRgb = 1, kRgba = 2, kBgra = 3 };

// ---- core: 1 on success, 0 on failure with the text in msg ----

// Checks 1..32768 per side and at most 100,000,000 pixels, sets width, height, orientation 1
// and mallocs the pixels. Neither frees an old block nor touches `reserved`.
int alloc_rgb_image(RgbImage* img, uint32_t width, uint32_t height, char* msg);

// Null does nothing; otherwise frees the pixels and zeroes the record.
void free_image(RgbImage* img);

// Rotates/mirrors the pixels so that an image stored with EXIF `orientation` (1..8) is upright.
int apply_exif_orientation(RgbImage* img, uint32_t orientation, char* msg);

// Decodes JPEG or PNG bytes (with their EXIF orientation applied) into `out`.
int decode_image_bytes(const uint8_t* data, uint64_t len, RgbImage* out, char* msg);

// Reads a whole JPEG or PNG file (8 bytes .. 512 MiB) and decodes it as decode_image_bytes.
int load_image_file(const char* path, RgbImage* out, char* msg);

// Copies raw pixels (layout 1 RGB, 2 RGBA, 3 BGRA; rows `stride` bytes apart) into packed RGB
// and applies `orientation` (1..8).
int import_image_pixels(const uint8_t* pixels, uint64_t len, uint32_t width, uint32_t height,
                        uint64_t stride, uint32_t layout, uint32_t orientation, RgbImage* out,
                        char* msg);

// ---- EXIF orientation lookups: 1..8, 1 when absent or unreadable ----

// Strict read of the TIFF block that follows "Exif\0\0": the first tag 274 of type SHORT and
// count 1 in IFD0 decides; a directory whose declared count does not fit is refused.
uint32_t exif_orientation(const uint8_t* tiff, uint64_t len);

// Lenient variant: any type/count for tag 274, entries bounds-checked one by one.
uint32_t tiff_find_orientation(const uint8_t* tiff, uint64_t len);

// Lenient JPEG segment walk: the first APP1 Exif segment with an orientation of 2..8 wins.
uint32_t jpeg_exif_orientation(const uint8_t* data, uint64_t len);

// ---- path and memory decoders: PPM fast path, then the core ----
// On success the caller owns *pixels (free with free_pixels). *orientation (when given) is the
// orientation still to apply: 1 when the core already applied one, else what the lenient walk
// found (the pixels are then as stored in the file).

int decode_image_path(const char* path, uint32_t* width, uint32_t* height, uint32_t* orientation,
                      uint8_t** pixels);
int decode_image_memory(const uint8_t* data, uint64_t len, uint32_t* width, uint32_t* height,
                        uint32_t* orientation, uint8_t** pixels);
// As above without the orientation: pixels as decoded, a leniently found orientation ignored.
int decode_image_path_rgb(const char* path, uint32_t* width, uint32_t* height, uint8_t** pixels);
int decode_image_memory_rgb(const uint8_t* data, uint64_t len, uint32_t* width, uint32_t* height,
                            uint8_t** pixels);

// free() when not null.
void free_pixels(uint8_t* pixels);
// Frees the record's pixels and sets the pointer to null; null record does nothing.
void release_pixels(DecodedImage* image);

// ---- Expected-record wrappers for the frame loaders ----
// Errors: "image path contains NUL", "failed to decode image".
Expected<DecodedImage> image_file_to_rgb(const char* path, uint64_t path_len);
// Error: "failed to decode encoded image bytes".
Expected<DecodedImage> image_bytes_to_rgb(const uint8_t* data, uint64_t len);

}  // namespace vexa
