// Fuzz target for image decoding: encoded bytes (JPEG, PNG, PPM), the EXIF walks and raw pixel
// import. Any failure must come back as a message with nothing allocated; any success must hand
// out an image within the limits whose every byte is readable.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image/decode.h"

namespace {

constexpr uint64_t kMaxSide = 32768;
constexpr uint64_t kMaxPixels = 100000000;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// Reads every pixel byte so that ASan sees any short block.
void touch(const uint8_t* pixels, uint64_t width, uint64_t height) {
  check(pixels != nullptr && width >= 1 && height >= 1 && width <= kMaxSide &&
        height <= kMaxSide && width * height <= kMaxPixels);
  volatile uint8_t sink = 0;
  const uint64_t n = 3 * width * height;
  for (uint64_t i = 0; i < n; i += 61) sink = sink + pixels[i];
  sink = sink + pixels[n - 1];
}

void check_image(int ok, const vexa::RgbImage& img, const char* msg) {
  if (ok == 1) {
    touch(img.pixels, img.width, img.height);
    check(img.orientation >= 1 && img.orientation <= 8);
  } else {
    check(ok == 0 && img.pixels == nullptr && msg[0] != '\0');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char msg[vexa::kImageMessageCapacity];
  vexa::RgbImage img{};
  int ok = vexa::decode_image_bytes(data, size, &img, msg);
  check_image(ok, img, msg);
  vexa::free_image(&img);

  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t orientation = 0;
  uint8_t* pixels = nullptr;
  if (vexa::decode_image_memory(data, size, &width, &height, &orientation, &pixels) == 1) {
    touch(pixels, width, height);
    check(orientation >= 1 && orientation <= 8);
  } else {
    check(pixels == nullptr);
  }
  vexa::free_pixels(pixels);

  const uint32_t o1 = vexa::exif_orientation(data, size);
  const uint32_t o2 = vexa::tiff_find_orientation(data, size);
  const uint32_t o3 = vexa::jpeg_exif_orientation(data, size);
  check(o1 >= 1 && o1 <= 8 && o2 >= 1 && o2 <= 8 && o3 >= 1 && o3 <= 8);

  // Raw import: the first 8 bytes choose a small shape, layout, stride and orientation.
  if (size >= 8) {
    const uint32_t w = 1 + data[0] % 16;
    const uint32_t h = 1 + data[1] % 16;
    const uint32_t layout = data[2] % 5;  // includes invalid 0 and 4
    const uint64_t stride = data[3] % 80;
    const uint32_t orient = data[4] % 10;  // includes invalid 0 and 9
    vexa::RgbImage raw{};
    ok = vexa::import_image_pixels(data + 8, size - 8, w, h, stride, layout, orient, &raw, msg);
    check_image(ok, raw, msg);
    if (ok == 1) check(raw.orientation == orient);
    vexa::free_image(&raw);
  }
  return 0;
}
