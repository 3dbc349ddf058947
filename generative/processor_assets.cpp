#include "generative/processor_assets.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

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

// What the name checks ask of the string area, found in one pass over it, so that a forged table
// of a million entries naming the same long string does not scan that string a million times.
class StringArea {
 public:
  // The area's bytes [begin, end) of the image, after its section header.
  StringArea(const uint8_t* image, uint64_t begin, uint64_t end)
      : image_(image), begin_(begin), valid_(end - begin + 1, false) {
    const uint8_t* p = image + begin;
    const uint64_t n = end - begin;
    // Right to left: a position is valid when a whole code point starts there and the position
    // after it is valid; a NUL ends the name. A NUL is no continuation byte, so no code point
    // runs across one.
    for (uint64_t i = n; i-- > 0;) {
      if (p[i] == 0) {
        valid_[i] = true;
        if (!terminated_anywhere_) last_nul_ = i;
        terminated_anywhere_ = true;
        continue;
      }
      const Utf8Decoded d = utf8_step(p, n, i);
      valid_[i] = d.step == Utf8Step::kValid && valid_[i + d.length];
    }
  }

  // A NUL lies between the name and the end of the area.
  bool terminated(uint64_t name) const { return terminated_anywhere_ && name - begin_ <= last_nul_; }
  // The bytes up to that NUL are UTF-8.
  bool valid_utf8(uint64_t name) const { return valid_[name - begin_]; }
  // The name when it could be an asset's, else empty (checked names are short).
  std::string_view short_name(uint64_t name) const {
    const auto* text = reinterpret_cast<const char*>(image_ + name);
    const uint64_t room = last_nul_ - (name - begin_) + 1;
    const void* nul = std::memchr(text, 0, std::min<uint64_t>(room, kMaxAssetNameBytes + 1));
    if (nul == nullptr) return {};
    return {text, static_cast<size_t>(static_cast<const char*>(nul) - text)};
  }

 private:
  static constexpr uint64_t kMaxAssetNameBytes = 24;  // "preprocessor_config.json"
  static_assert(std::all_of(kProcessorAssetNames.begin(), kProcessorAssetNames.end(),
                            [](std::string_view n) { return n.size() <= kMaxAssetNameBytes; }));

  const uint8_t* image_;
  uint64_t begin_;
  std::vector<bool> valid_;
  bool terminated_anywhere_ = false;
  uint64_t last_nul_ = 0;  // relative to begin_
};

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
  std::optional<StringArea> area;
  for (uint64_t j = 0; j < count; ++j) {
    // Inside the table: j x stride <= table_size - 32 by the count check.
    const uint64_t entry = table + kAuxTableHeaderBytes + j * stride;
    if (entry > length - 8) refuse("Aux metadata bounds");
    const uint64_t name = word_at(image, entry + kAuxEntryNameOffset);
    if (strings > length || strings_size > length - strings || strings_size < kSectionHeaderBytes ||
        name < strings || name - strings < kSectionHeaderBytes ||
        name - strings >= strings_size) {
      refuse("Aux name bounds");
    }
    if (!area) area.emplace(image, strings + kSectionHeaderBytes, strings + strings_size);
    if (!area->terminated(name)) refuse("Aux name terminator");
    if (!area->valid_utf8(name)) refuse("Aux name UTF-8");
    const std::string_view asset = area->short_name(name);
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
