#include "generative/processor_assets.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/checked_math.h"
#include "core/container.h"
#include "core/container_format.h"
#include "core/domain_error.h"
#include "generative/utf8_spans.h"

namespace vexa {

using nlohmann::json;

namespace {

constexpr uint64_t kAuxDirectoryOffset = offsetof(ContainerHeader, sections) + 16 * kSectionAux;
constexpr uint64_t kStringAreaDirectoryOffset =
    offsetof(ContainerHeader, sections) + 16 * kSectionMetaKv;
constexpr uint64_t kContainerLengthOffset = offsetof(ContainerHeader, container_length);
constexpr uint64_t kAuxEntryNameOffset = offsetof(AuxEntry, name_offset);
constexpr uint64_t kAuxEntryBlobOffset = offsetof(AuxEntry, blob_offset);
constexpr uint64_t kAuxEntryBlobSize = offsetof(AuxEntry, blob_size);
static_assert(kAuxDirectoryOffset == 208 && kStringAreaDirectoryOffset == 80);

[[noreturn]] void refuse(const char* message) { throw DomainError("VexaFrontend", message); }

uint64_t word_at(const uint8_t* image, uint64_t offset) { return container_read_u64(image, offset); }

bool valid_utf8(const uint8_t* text, uint64_t n) {
  for (uint64_t i = 0; i < n;) {
    const Utf8Decoded d = utf8_step(text, n, i);
    if (d.step != Utf8Step::kValid) return false;
    i += d.length;
  }
  return true;
}

// Brackets outside strings, counted before parsing so a deep document costs no nodes.
bool nesting_within(std::string_view text, uint64_t limit) {
  uint64_t depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

}  // namespace

// The checks below are written as differences (`a > limit - b`), never as sums, so no forged
// offset or size near 2^64 can wrap around and pass.
json read_processor_assets(const uint8_t* image, uint64_t length, int fd, uint64_t base_offset) {
  if (image == nullptr || length < kAuxDirectoryOffset + 16) refuse("Aux metadata bounds");
  const uint64_t table = word_at(image, kAuxDirectoryOffset);
  const uint64_t table_size = word_at(image, kAuxDirectoryOffset + 8);
  if (table > length - 24) refuse("Aux metadata bounds");
  const uint64_t stride = word_at(image, table + 8);
  const uint64_t count = word_at(image, table + 16);
  if (table_size > length - table || table_size < kAuxTableHeaderBytes ||
      stride < kMinAuxEntryBytes || count > (table_size - kAuxTableHeaderBytes) / stride) {
    refuse("Aux table bounds");
  }

  const uint64_t strings = word_at(image, kStringAreaDirectoryOffset);
  const uint64_t strings_size = word_at(image, kStringAreaDirectoryOffset + 8);
  const uint64_t container_length = word_at(image, kContainerLengthOffset);
  json assets = json::object();
  for (uint64_t j = 0; j < count; ++j) {
    // Inside the table: j x stride <= table_size - 32 by the count check.
    const uint64_t entry = table + kAuxTableHeaderBytes + j * stride;
    if (entry > length - 8) refuse("Aux metadata bounds");
    const uint64_t name = word_at(image, entry + kAuxEntryNameOffset);
    if (strings > length || strings_size > length - strings || strings_size < 32 ||
        name < strings || name - strings < kSectionHeaderBytes || name - strings >= strings_size) {
      refuse("Aux name bounds");
    }
    const uint8_t* name_begin = image + name;
    const uint64_t name_room = strings_size - (name - strings);
    const auto* nul = static_cast<const uint8_t*>(std::memchr(name_begin, 0, name_room));
    if (nul == nullptr) refuse("Aux name terminator");
    const uint64_t name_length = static_cast<uint64_t>(nul - name_begin);
    if (!valid_utf8(name_begin, name_length)) refuse("Aux name UTF-8");
    const std::string_view asset(reinterpret_cast<const char*>(name_begin), name_length);
    if (std::find(kProcessorAssetNames.begin(), kProcessorAssetNames.end(), asset) ==
        kProcessorAssetNames.end()) {
      continue;
    }

    if (entry > length - 32) refuse("Aux metadata bounds");
    const uint64_t blob = word_at(image, entry + kAuxEntryBlobOffset);
    const uint64_t blob_size = word_at(image, entry + kAuxEntryBlobSize);
    if (blob < length || blob > container_length || blob_size > container_length - blob ||
        blob_size > kMaxAuxBlobBytes) {
      refuse("Aux blob bounds");
    }
    const std::string key(asset);
    if (assets.contains(key)) refuse("Duplicate processor asset");
    uint64_t at = 0;
    std::string text(blob_size, '\0');
    if (!checked_add_u64(base_offset, blob, &at) ||
        !read_fully_at(fd, text.data(), blob_size, at)) {
      refuse("Reading processor asset");
    }
    assets[key] = parse_processor_json(text);
  }
  if (assets.size() != kProcessorAssetNames.size()) {
    refuse("Missing processor assets in vexa container");
  }
  return assets;
}

json parse_processor_json(std::string_view text) {
  if (!nesting_within(text, kMaxProcessorJsonDepth)) refuse("Invalid processor JSON");
  json doc = json::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
  if (!doc.is_object()) refuse("Invalid processor JSON");
  return doc;
}

}  // namespace vexa
