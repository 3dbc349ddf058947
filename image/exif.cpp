// EXIF orientation lookups: the strict walks that decode_image_bytes applies, and the lenient
// walks that the path and memory decoders use to report an orientation the strict ones missed.
#include <cstdint>

#include "image/decode.h"
#include "image/decode_internal.h"

namespace vexa {

using namespace image_detail;

namespace {

constexpr uint16_t kTagOrientation = 274;
constexpr uint16_t kTypeShort = 3;
constexpr uint32_t kCountOne = 1;
constexpr uint16_t kTiffMagic = 42;
constexpr uint64_t kTiffHeaderBytes = 8;
constexpr uint64_t kIfdEntryBytes = 12;
constexpr uint64_t kIfdCountBytes = 2;
constexpr uint64_t kLenientMinTiffBytes = 22;

constexpr uint8_t kMarkerPrefix = 0xFF;
constexpr uint8_t kMarkerSoi = 0xD8;
constexpr uint8_t kMarkerEoi = 0xD9;
constexpr uint8_t kMarkerSos = 0xDA;
constexpr uint8_t kMarkerApp1 = 0xE1;
constexpr uint8_t kMarkerTem = 0x01;
constexpr uint8_t kMarkerRst0 = 0xD0;
constexpr uint8_t kMarkerRst7 = 0xD7;
constexpr uint64_t kMinJpegWalkBytes = 12;
// "Exif" 00 00 after the segment length; the TIFF block follows.
constexpr char kExifId[] = {'E', 'x', 'i', 'f', 0, 0};
constexpr uint64_t kExifIdBytes = sizeof kExifId;
constexpr uint64_t kApp1TiffOffset = 10;  // marker (2) + length (2) + "Exif\0\0" (6)
constexpr uint64_t kApp1OverheadBytes = 8;  // length field (2) + "Exif\0\0" (6)

constexpr uint64_t kPngSignatureBytes = 8;
constexpr uint64_t kPngChunkOverheadBytes = 12;  // length, type, CRC
constexpr uint64_t kMinPngWalkBytes = 20;

inline uint32_t orientation_or_default(uint32_t value) {
  return (value >= 1 && value <= kMaxOrientation) ? value : kNoOrientation;
}

// Reads the TIFF header; false when the byte order, magic or first IFD offset is unusable.
bool tiff_first_ifd(const BoundedReader& r, bool* big_endian, uint64_t* ifd) {
  if (r.matches(0, "MM", 2)) {
    *big_endian = true;
  } else if (r.matches(0, "II", 2)) {
    *big_endian = false;
  } else {
    return false;
  }
  if (r.u16(2, *big_endian) != kTiffMagic) return false;
  *ifd = r.u32(4, *big_endian);
  return *ifd <= r.size - kIfdCountBytes;
}

}  // namespace

uint32_t exif_orientation(const uint8_t* tiff, uint64_t len) {
  if (tiff == nullptr || len < kTiffHeaderBytes) return kNoOrientation;
  const BoundedReader r{tiff, len};
  bool be = false;
  uint64_t ifd = 0;
  if (!tiff_first_ifd(r, &be, &ifd)) return kNoOrientation;
  const uint64_t count = r.u16(ifd, be);
  // A directory whose declared count does not fit is refused whole. The sum is taken in 64 bits
  // (ifd <= len - 2), so a large block cannot wrap it back inside the bounds.
  const uint64_t entries_start = ifd + kIfdCountBytes;
  if (count == 0 || count > (len - entries_start) / kIfdEntryBytes) return kNoOrientation;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t q = entries_start + i * kIfdEntryBytes;
    if (r.u16(q, be) == kTagOrientation && r.u16(q + 2, be) == kTypeShort &&
        r.u32(q + 4, be) == kCountOne) {
      return orientation_or_default(r.u16(q + 8, be));
    }
  }
  return kNoOrientation;
}

uint32_t tiff_find_orientation(const uint8_t* tiff, uint64_t len) {
  if (tiff == nullptr || len < kLenientMinTiffBytes) return kNoOrientation;
  const BoundedReader r{tiff, len};
  bool be = false;
  uint64_t ifd = 0;
  if (!tiff_first_ifd(r, &be, &ifd)) return kNoOrientation;
  const uint64_t count = r.u16(ifd, be);
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t q = ifd + kIfdCountBytes + i * kIfdEntryBytes;
    if (q > len - kIfdEntryBytes) break;
    if (r.u16(q, be) == kTagOrientation) return orientation_or_default(r.u16(q + 8, be));
  }
  return kNoOrientation;
}

uint32_t jpeg_exif_orientation(const uint8_t* data, uint64_t len) {
  if (data == nullptr || len < kMinJpegWalkBytes || data[0] != kMarkerPrefix ||
      data[1] != kMarkerSoi) {
    return kNoOrientation;
  }
  const BoundedReader r{data, len};
  uint64_t p = 2;
  // Invariant at the top: p + 4 <= len.
  for (;;) {
    const uint8_t marker = data[p + 1];
    if (data[p] != kMarkerPrefix || marker == kMarkerEoi || marker == kMarkerSos) break;
    const uint64_t s = r.u16(p + 2, true);
    if (s < 2 || s > len - p - 2) break;
    const uint64_t next = p + s + 2;
    if (marker == kMarkerApp1 && s >= kApp1OverheadBytes + 1 &&
        r.matches(p + 4, kExifId, kExifIdBytes)) {
      const uint32_t o = tiff_find_orientation(data + p + kApp1TiffOffset, s - kApp1OverheadBytes);
      if (o >= 2 && o <= kMaxOrientation) return o;
    }
    if (next > len - 4) break;
    p = next;
  }
  return kNoOrientation;
}

namespace image_detail {

uint32_t jpeg_strict_orientation(const uint8_t* data, uint64_t len) {
  const BoundedReader r{data, len};
  uint64_t p = 2;
  while (p + 1 < len && data[p] == kMarkerPrefix) {
    bool ran_out = false;
    while (data[p + 1] == kMarkerPrefix) {  // fill bytes
      ++p;
      if (p + 1 >= len) {
        ran_out = true;
        break;
      }
    }
    if (ran_out) break;
    const uint8_t m = data[p + 1];
    if (m == kMarkerEoi || m == kMarkerSos) break;
    if (m == kMarkerTem || (m >= kMarkerRst0 && m <= kMarkerRst7)) {
      p += 2;
      continue;
    }
    const uint64_t room = len - 2 - p;  // p + 1 < len, so this cannot wrap
    if (room < 2) break;
    const uint64_t s = r.u16(p + 2, true);
    if (s < 2 || s > room) break;
    if (m == kMarkerApp1 && s >= kApp1OverheadBytes && r.matches(p + 4, kExifId, kExifIdBytes)) {
      return exif_orientation(data + p + kApp1TiffOffset, s - kApp1OverheadBytes);
    }
    p += s + 2;
  }
  return kNoOrientation;
}

uint32_t png_strict_orientation(const uint8_t* data, uint64_t len) {
  if (len < kMinPngWalkBytes) return kNoOrientation;
  const BoundedReader r{data, len};
  uint64_t p = kPngSignatureBytes;
  // Invariant at the top: len - p >= 12.
  for (;;) {
    const uint64_t left = len - p;
    const uint64_t chunk = r.u32(p, true);
    if (chunk > left - kPngChunkOverheadBytes) break;
    if (r.matches(p + 4, "eXIf", 4)) return exif_orientation(data + p + 8, chunk);
    p += chunk + kPngChunkOverheadBytes;
    if (len - p <= kPngChunkOverheadBytes - 1) break;
  }
  return kNoOrientation;
}

}  // namespace image_detail
}  // namespace vexa
