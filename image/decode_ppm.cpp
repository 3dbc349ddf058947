// Binary PPM ("P6", maximum value 255): a fast path that reads pixels straight into the
// returned block. It never fails loudly; anything it does not handle goes to the core decoder.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/os.h"
#include "image/decode.h"
#include "image/decode_internal.h"

namespace vexa::image_detail {

namespace {

constexpr uint64_t kPpmHeaderWindowBytes = 256;
constexpr uint64_t kPpmMinHeaderBytes = 11;
constexpr uint32_t kPpmMaxValue = 255;
constexpr uint32_t kDecimalBase = 10;

struct PpmHeader {
  uint32_t width;
  uint32_t height;
  uint64_t data_offset;  // first pixel byte
};

inline bool ppm_is_space(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Skips whitespace and '#' comments (up to, not past, the line feed), then reads a decimal
// number. False when the window runs out, no digit follows, or the value overflows 32 bits.
bool ppm_read_number(const uint8_t* h, uint64_t n, uint64_t* p, uint32_t* value) {
  uint64_t i = *p;
  for (;;) {
    if (i >= n) return false;
    if (ppm_is_space(h[i])) {
      ++i;
    } else if (h[i] == '#') {
      while (i < n && h[i] != '\n') ++i;
      if (i >= n) return false;
    } else {
      break;
    }
  }
  if (h[i] < '0' || h[i] > '9') return false;
  uint32_t v = 0;
  while (i < n && h[i] >= '0' && h[i] <= '9') {
    const uint32_t digit = static_cast<uint32_t>(h[i] - '0');
    if (v > (UINT32_MAX - digit) / kDecimalBase) return false;
    v = v * kDecimalBase + digit;
    ++i;
  }
  if (i >= n) return false;  // the number must be followed by something inside the window
  *p = i;
  *value = v;
  return true;
}

// Parses the header inside the first (at most 256) bytes. The image limits are enforced here,
// before anything is allocated.
bool ppm_parse_header(const uint8_t* h, uint64_t n, PpmHeader* out) {
  if (n < kPpmMinHeaderBytes || h[0] != 'P' || h[1] != '6' || !ppm_is_space(h[2])) return false;
  uint64_t p = 3;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t max_value = 0;
  if (!ppm_read_number(h, n, &p, &width)) return false;
  if (!ppm_read_number(h, n, &p, &height)) return false;
  if (!ppm_read_number(h, n, &p, &max_value)) return false;
  // p is the byte right after the maximum value, inside the window: exactly one whitespace byte.
  if (max_value != kPpmMaxValue || !ppm_is_space(h[p])) return false;
  if (!image_dims_valid(width, height)) return false;
  out->width = width;
  out->height = height;
  out->data_offset = p + 1;
  return true;
}

uint64_t ppm_pixel_bytes(const PpmHeader& header) {
  return uint64_t{kRgbBytesPerPixel} * header.width * header.height;  // <= 3 * 10^8
}

}  // namespace

bool ppm_decode_memory(const uint8_t* data, uint64_t len, uint32_t* width, uint32_t* height,
                       uint8_t** pixels) {
  if (data == nullptr) return false;
  PpmHeader header{};
  const uint64_t window = len < kPpmHeaderWindowBytes ? len : kPpmHeaderWindowBytes;
  if (!ppm_parse_header(data, window, &header)) return false;
  const uint64_t bytes = ppm_pixel_bytes(header);
  if (header.data_offset > len || bytes > len - header.data_offset) return false;
  auto* block = static_cast<uint8_t*>(std::malloc(bytes));
  if (block == nullptr) return false;
  std::memcpy(block, data + header.data_offset, bytes);
  *width = header.width;
  *height = header.height;
  *pixels = block;
  return true;
}

bool ppm_decode_file(const char* path, uint32_t* width, uint32_t* height, uint8_t** pixels) {
  if (path == nullptr) return false;
  const int fd = os_open_regular_read(path);
  if (fd < 0) return false;
  uint8_t head[kPpmHeaderWindowBytes];
  const ssize_t got = ::pread(fd, head, sizeof head, 0);
  PpmHeader header{};
  if (got <= 0 || !ppm_parse_header(head, static_cast<uint64_t>(got), &header)) {
    ::close(fd);
    return false;
  }
  const uint64_t bytes = ppm_pixel_bytes(header);
  auto* block = static_cast<uint8_t*>(std::malloc(bytes));
  if (block == nullptr) {
    ::close(fd);
    return false;
  }
  uint64_t done = 0;
  while (done < bytes) {
    const ssize_t n = ::pread(fd, block + done, bytes - done,
                              static_cast<off_t>(header.data_offset + done));
    if (n <= 0) {
      std::free(block);
      ::close(fd);
      return false;
    }
    done += static_cast<uint64_t>(n);
  }
  ::close(fd);
  *width = header.width;
  *height = header.height;
  *pixels = block;
  return true;
}

}  // namespace vexa::image_detail
