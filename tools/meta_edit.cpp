#include "tools/meta_edit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/checked_math.h"
#include "core/container.h"
#include "core/container_digest.h"
#include "core/container_format.h"
#include "core/file_replace.h"

namespace vexa::tools {

namespace {

// Room a repack leaves for later in-place edits, and the smaller room it falls back to when the
// larger would push the region past its current size.
constexpr uint64_t kRepackPoolSpareBytes = 4096;
constexpr uint64_t kRepackMetaSpareEntries = 64;
constexpr uint64_t kCompactPoolSpareBytes = 256;
constexpr uint64_t kCompactMetaSpareEntries = 8;
constexpr uint64_t kMetaEntryBytes = sizeof(MetaEntry);
// Graph value names (words 13 and 14) need this much of each value entry.
constexpr uint64_t kValueNameFieldsEnd = 120;
constexpr uint64_t kF32ArrayAlignment = 4;
// Bytes beyond the value that a pooled value may take: up to 3 of alignment and its NUL.
constexpr uint64_t kPooledValueSlackBytes = 8;

uint64_t read_u64(const uint8_t* image, uint64_t offset) {
  uint64_t v;
  std::memcpy(&v, image + offset, sizeof v);
  return v;
}

void write_u64(uint8_t* image, uint64_t offset, uint64_t v) { std::memcpy(image + offset, &v, sizeof v); }

struct Section {
  uint64_t offset;  // of its SectionHeader
  uint64_t size;
  uint64_t stride;
  uint64_t count;
  uint64_t payload;

  uint64_t data() const { return offset + kSectionHeaderBytes; }
  uint64_t entry(uint64_t j) const { return data() + stride * j; }
};

Section section_at(const uint8_t* image, uint64_t i) {
  const uint64_t dir = offsetof(ContainerHeader, sections) + sizeof(SectionEntry) * i;
  const uint64_t offset = read_u64(image, dir);
  return Section{offset, read_u64(image, dir + 8), read_u64(image, offset + 8),
                 read_u64(image, offset + 16), read_u64(image, offset + 24)};
}

bool is_pooled(uint64_t type) {
  return type == static_cast<uint64_t>(MetaValueType::kString) ||
         type == static_cast<uint64_t>(MetaValueType::kStringList) ||
         type == static_cast<uint64_t>(MetaValueType::kF32Array) ||
         type == static_cast<uint64_t>(MetaValueType::kOpaque);
}

// The file as the tools see it: the open descriptor and the metadata region [0, M) in memory.
struct EditFile {
  int fd = -1;
  uint64_t size = 0;
  std::vector<uint8_t> image;

  EditFile() = default;
  EditFile(const EditFile&) = delete;
  EditFile& operator=(const EditFile&) = delete;
  ~EditFile() {
    if (fd >= 0) close(fd);
  }
  uint64_t metadata_size() const { return image.size(); }
};

// Opens, checks and reads the metadata region; empty on success, else the message.
std::string open_for_edit(std::string_view path, EditFile* f) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return "invalid vexa path";
  const std::string p(path);
  // A device, a FIFO or a folder is never opened (a FIFO would block, /dev/full would be read).
  const std::string refusal = file_replace_refusal(p, {});
  if (!refusal.empty()) return refusal;
  f->fd = open(p.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  struct stat st {};
  if (f->fd < 0 || fstat(f->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return "failed to open .vexa file for writing";
  }
  if (st.st_size < static_cast<off_t>(kContainerHeaderBytes)) return "invalid .vexa file size";
  f->size = static_cast<uint64_t>(st.st_size);
  uint8_t header[kContainerHeaderBytes];
  if (!read_fully_at(f->fd, header, sizeof header, 0) || !container_check_header(header, f->size)) {
    return "invalid .vexa header";
  }
  const uint64_t m = read_u64(header, offsetof(ContainerHeader, weights_offset));
  try {
    f->image.resize(static_cast<size_t>(m));
  } catch (const std::bad_alloc&) {
    return "out of memory reading metadata";
  }
  std::memcpy(f->image.data(), header, sizeof header);
  if (!read_fully_at(f->fd, f->image.data() + kContainerHeaderBytes, m - kContainerHeaderBytes,
                     kContainerHeaderBytes)) {
    return "failed reading metadata region";
  }
  // Re-sealing a damaged region would make it look sound, and every offset below is read from
  // the tables: both are checked before the image is trusted.
  if (!digest_matches(f->image.data() + kContainerHeaderBytes, m - kContainerHeaderBytes,
                      f->image.data() + kHeaderBodyDigestOffset)) {
    return "metadata region digest mismatch";
  }
  OpenContainer view{f->image.data(), m, -1, 0, m, 0, nullptr, 0};
  if (!container_check_tables(&view)) return "invalid .vexa metadata tables";
  return "";
}

bool slot_is_free(const uint8_t* entry) {
  return read_u64(entry, offsetof(MetaEntry, key_length)) == 0 ||
         read_u64(entry, offsetof(MetaEntry, value_type)) == 0;
}

bool slot_matches(const uint8_t* entry, const uint8_t* pool, uint64_t pool_count,
                  std::string_view key) {
  if (read_u64(entry, offsetof(MetaEntry, value_type)) == 0) return false;
  if (read_u64(entry, offsetof(MetaEntry, key_length)) != key.size()) return false;
  const uint64_t key_offset = read_u64(entry, offsetof(MetaEntry, key_offset));
  if (!range_within(key_offset, key.size(), pool_count)) return false;
  return std::memcmp(pool + key_offset, key.data(), key.size()) == 0;
}

// First matching slot of the metadata table, or kNone.
constexpr uint64_t kNone = ~uint64_t{0};

uint64_t find_key(const uint8_t* image, std::string_view key) {
  const Section pool = section_at(image, kSectionStringPool);
  const Section meta = section_at(image, kSectionMetaKv);
  if (meta.stride < kMetaEntryBytes) return kNone;
  for (uint64_t j = 0; j < meta.count; ++j) {
    if (slot_matches(image + meta.entry(j), image + pool.data(), pool.count, key)) return j;
  }
  return kNone;
}

// Body digest over [512, size), then the header digest over the finished header.
void seal_metadata(uint8_t* image, uint64_t size) {
  store_digest_at(image, kHeaderBodyDigestOffset, image + kContainerHeaderBytes,
                  size - kContainerHeaderBytes);
  container_header_digest(image);
}

// Seals `image` and makes the new file: the image, then the old weights region [M, L) copied
// unchanged. Nothing reaches the path unless all of it was written and flushed.
FileReplaceResult rewrite_metadata(std::string_view path, const EditFile& f,
                                   std::vector<uint8_t>& image) {
  seal_metadata(image.data(), image.size());
  const uint64_t old_m = f.metadata_size();
  return file_replace(path, {}, [&](FileReplaceSink& sink) {
    return sink.write(image.data(), image.size()) && sink.copy_from(f.fd, old_m, f.size - old_m);
  });
}

ToolResult rewrite_result(const FileReplaceResult& r, const char* write_message,
                          const char* read_message) {
  switch (r.outcome) {
    case FileReplaceOutcome::kReplaced: return ToolResult{true, ""};
    case FileReplaceOutcome::kReadFailed: return tool_failure(read_message);
    case FileReplaceOutcome::kRefused:
    case FileReplaceOutcome::kProducerFailed: return tool_failure(r.message);
    case FileReplaceOutcome::kWriteFailed: break;
  }
  return tool_failure(write_message);
}

// Section placement of a repack: index order from 512, each section 32 + count x stride bytes
// rounded up to 64. False when a size does not fit 64 bits.
struct RepackLayout {
  Section sections[kSectionCount];
  uint64_t end;
};

bool plan_repack(const uint8_t* image, uint64_t pool_count, uint64_t meta_count,
                 RepackLayout* layout) {
  uint64_t offset = kContainerHeaderBytes;
  for (uint64_t i = 0; i < kSectionCount; ++i) {
    const Section old = section_at(image, i);
    Section s{offset, 0, old.stride, old.count, 0};
    if (i == kSectionStringPool) s.count = pool_count;
    if (i == kSectionMetaKv) {
      s.stride = kMetaEntryBytes;
      s.count = meta_count;
    }
    if (!checked_mul_u64(s.count, s.stride, &s.payload) ||
        !checked_add_u64(kSectionHeaderBytes, s.payload, &s.size) ||
        !checked_round_up(s.size, kSectionAlignmentBytes, &s.size) ||
        !checked_add_u64(offset, s.size, &offset)) {
      return false;
    }
    layout->sections[i] = s;
  }
  layout->end = offset;
  return true;
}

// The new image of a repack: header copied, every section moved to its new place with its
// entries; a growing region moves the weights and rebases every absolute offset into them.
std::vector<uint8_t> repack_image(const std::vector<uint8_t>& old, const RepackLayout& layout,
                                  uint64_t new_size) {
  std::vector<uint8_t> image(static_cast<size_t>(new_size), 0);
  std::memcpy(image.data(), old.data(), kContainerHeaderBytes);
  for (uint64_t i = 0; i < kSectionCount; ++i) {
    const Section from = section_at(old.data(), i);
    const Section& to = layout.sections[i];
    const uint64_t dir = offsetof(ContainerHeader, sections) + sizeof(SectionEntry) * i;
    write_u64(image.data(), dir, to.offset);
    write_u64(image.data(), dir + 8, to.size);
    store_record(image.data() + to.offset, SectionHeader{kSectionKind, to.stride, to.count, to.payload});
    if (i == kSectionMetaKv && from.stride != kMetaEntryBytes) {
      // Wider slots are narrowed entry by entry; a plain copy would shear every slot after the
      // first. Narrower ones are no table: the new one starts empty.
      for (uint64_t j = 0; from.stride > kMetaEntryBytes && j < from.count && j < to.count; ++j) {
        std::memcpy(image.data() + to.entry(j), old.data() + from.entry(j), kMetaEntryBytes);
      }
      continue;
    }
    const uint64_t n = from.payload < to.payload ? from.payload : to.payload;
    std::memcpy(image.data() + to.data(), old.data() + from.data(), static_cast<size_t>(n));
  }
  return image;
}

// Moves the weights from `old_m` to `new_m`: header, layout and every absolute offset.
void rebase_weights(uint8_t* image, uint64_t old_m, uint64_t new_m) {
  const uint64_t delta = new_m - old_m;
  const uint64_t weights_size = read_u64(image, offsetof(ContainerHeader, weights_size));
  write_u64(image, offsetof(ContainerHeader, container_length), weights_size + new_m);
  write_u64(image, offsetof(ContainerHeader, weights_offset), new_m);
  const Section tensors = section_at(image, kSectionTensors);
  for (uint64_t j = 0; j < tensors.count; ++j) {
    const uint64_t at = tensors.entry(j) + offsetof(TensorRecord, absolute_offset);
    write_u64(image, at, read_u64(image, at) + delta);
  }
  const Section groups = section_at(image, kSectionGroups);
  for (uint64_t j = 0; j < groups.count; ++j) {
    const uint64_t at = groups.entry(j) + offsetof(GroupRecord, absolute_offset);
    write_u64(image, at, read_u64(image, at) + delta);
  }
  const Section steps = section_at(image, kSectionLoadSteps);
  for (uint64_t j = 0; j < steps.count; ++j) {
    const uint64_t at = steps.entry(j) + offsetof(LoadStep, absolute_offset);
    write_u64(image, at, read_u64(image, at) + delta);
  }
  const Section layout = section_at(image, kSectionLayout);
  write_u64(image, layout.entry(0) + offsetof(LayoutRecord, weights_offset), new_m);
}

// Why a repack would break this container, or empty. Its sections move, so anything that holds
// an absolute offset into them would point at the wrong bytes afterwards.
std::string repack_refusal(const uint8_t* image) {
  // An empty value table marks a generative container (see the container readings of the
  // design notes): section 1 is its string area and section 6 a graph of absolute offsets. A
  // graph model's nodes hold only value indices, and its section 1 is nothing but the table.
  if (section_at(image, kSectionValues).count == 0) {
    if (section_at(image, kSectionMetaKv).stride < kMetaEntryBytes) {
      return "the container's string area cannot hold metadata";
    }
    return "repacking would break the container's generative graph section";
  }
  const Section aux = section_at(image, kSectionAux);
  for (uint64_t j = 0; j < aux.count; ++j) {
    for (uint64_t b = 0; b < aux.stride; ++b) {
      if (image[aux.entry(j) + b] != 0) return "repacking would break the container's aux blobs";
    }
  }
  return "";
}

}  // namespace

uint64_t string_pool_extent(const uint8_t* image) {
  const Section pool = section_at(image, kSectionStringPool);
  const uint64_t p = pool.count;
  const uint8_t* text = image + pool.data();
  uint64_t extent = 1;
  // An end past the pool is ignored; ends are formed without overflow.
  auto take = [&](uint64_t offset, uint64_t length) {
    if (offset < p && length < p - offset) {
      const uint64_t end = offset + length + 1;
      if (end > extent) extent = end;
    }
  };
  const Section values = section_at(image, kSectionValues);
  if (values.stride >= kValueNameFieldsEnd) {
    for (uint64_t j = 0; j < values.count; ++j) {
      const uint64_t at = values.entry(j);
      take(read_u64(image, at + offsetof(GraphValue, name_offset)),
           read_u64(image, at + offsetof(GraphValue, name_length)));
    }
  }
  const Section tensors = section_at(image, kSectionTensors);
  for (uint64_t j = 0; j < tensors.count; ++j) {
    const uint64_t offset = read_u64(image, tensors.entry(j) + offsetof(TensorRecord, name_offset));
    if (offset >= p) continue;
    const void* nul = std::memchr(text + offset, 0, static_cast<size_t>(p - offset));
    if (nul != nullptr) take(offset, static_cast<uint64_t>(static_cast<const uint8_t*>(nul) - (text + offset)));
  }
  const Section meta = section_at(image, kSectionMetaKv);
  if (meta.stride >= kMetaEntryBytes) {
    for (uint64_t j = 0; j < meta.count; ++j) {
      const auto e = load_record<MetaEntry>(image + meta.entry(j));
      if (e.key_length == 0 || e.value_type == 0) continue;
      take(e.key_offset, e.key_length);
      if (is_pooled(e.value_type)) take(e.value, e.value_length);
    }
  }
  return extent;
}

ToolResult model_meta_set(std::string_view path, std::string_view key, uint64_t type,
                          uint64_t flags, uint64_t inline_value, const void* value_bytes,
                          uint64_t value_length, uint64_t item_count) {
  if (key.empty() || type == 0) return tool_failure("meta key and value_type must be non-empty");
  EditFile f;
  std::string message = open_for_edit(path, &f);
  if (!message.empty()) return tool_failure(message);
  std::vector<uint8_t>& old = f.image;
  const uint64_t m = f.metadata_size();

  const Section pool = section_at(old.data(), kSectionStringPool);
  const Section meta = section_at(old.data(), kSectionMetaKv);
  const uint64_t extent = string_pool_extent(old.data());
  const bool pooled = is_pooled(type);
  uint64_t free_slot = kNone;
  uint64_t match = kNone;
  if (meta.stride >= kMetaEntryBytes) {
    for (uint64_t j = 0; j < meta.count && match == kNone; ++j) {
      const uint8_t* entry = old.data() + meta.entry(j);
      if (slot_matches(entry, old.data() + pool.data(), pool.count, key)) match = j;
      else if (free_slot == kNone && slot_is_free(entry)) free_slot = j;
    }
  }
  // Refused before any layout work: no path through here may write a refused edit.
  if (match != kNone &&
      (read_u64(old.data(), meta.entry(match) + offsetof(MetaEntry, flags)) & kMetaFlagImmutable) != 0) {
    return tool_failure("meta key is marked immutable");
  }
  uint64_t need = extent;
  const bool need_fits =
      (!pooled || (checked_add_u64(need, value_length, &need) &&
                   checked_add_u64(need, kPooledValueSlackBytes, &need))) &&
      (match != kNone || (checked_add_u64(need, key.size(), &need) && checked_add_u64(need, 1, &need)));
  if (!need_fits) return tool_failure("metadata region would exceed 64 MiB");

  std::vector<uint8_t> repacked;
  std::vector<uint8_t>* image = &old;
  uint64_t new_m = m;
  uint64_t slot = match != kNone ? match : free_slot;
  const bool in_place = meta.stride >= kMetaEntryBytes && slot != kNone && need <= pool.count;
  if (!in_place) {
    message = repack_refusal(old.data());
    if (!message.empty()) return tool_failure(message);
    // Slots keep their indices; a new key takes the first of the added ones.
    const uint64_t first_added = meta.stride >= kMetaEntryBytes ? meta.count : 0;
    RepackLayout layout{};
    bool planned = need <= kMaxMetadataRegionBytes &&
                   plan_repack(old.data(), need + kRepackPoolSpareBytes,
                               first_added + kRepackMetaSpareEntries, &layout);
    if (planned && layout.end > m) {
      planned = plan_repack(old.data(), need + kCompactPoolSpareBytes,
                            first_added + kCompactMetaSpareEntries, &layout);
    }
    if (planned && layout.end > m) planned = checked_round_up(layout.end, kWeightAlignmentBytes, &new_m);
    if (!planned || new_m > kMaxMetadataRegionBytes) {
      return tool_failure("metadata region would exceed 64 MiB");
    }
    try {
      repacked = repack_image(old, layout, new_m);
    } catch (const std::bad_alloc&) {
      return tool_failure("out of memory repacking metadata");
    }
    if (new_m > m) rebase_weights(repacked.data(), m, new_m);
    image = &repacked;
    slot = match != kNone ? match : first_added;
  }

  uint8_t* img = image->data();
  const Section new_pool = section_at(img, kSectionStringPool);
  const Section new_meta = section_at(img, kSectionMetaKv);
  uint8_t* pool_bytes = img + new_pool.data();
  uint64_t key_offset = 0;
  uint64_t value_at = extent;
  if (match == kNone) {
    std::memcpy(pool_bytes + extent, key.data(), key.size());
    pool_bytes[extent + key.size()] = 0;
    key_offset = extent;
    value_at = extent + key.size() + 1;
  } else {
    key_offset = read_u64(img, new_meta.entry(slot) + offsetof(MetaEntry, key_offset));
  }
  uint64_t word = inline_value;
  if (pooled) {
    if (type == static_cast<uint64_t>(MetaValueType::kF32Array)) {
      value_at = (value_at + kF32ArrayAlignment - 1) / kF32ArrayAlignment * kF32ArrayAlignment;
    }
    if (value_bytes != nullptr && value_length != 0) {
      std::memcpy(pool_bytes + value_at, value_bytes, static_cast<size_t>(value_length));
    }
    pool_bytes[value_at + value_length] = 0;
    word = value_at;
  }
  const MetaEntry entry{key_offset, key.size(), type, flags, word, value_length, item_count, 0};
  store_record(img + new_meta.entry(slot), entry);

  return rewrite_result(rewrite_metadata(path, f, *image), "failed writing updated metadata to .vexa file",
                        new_m > m ? "failed reading weights for shift" : "failed reading weights region");
}

ToolResult model_meta_delete(std::string_view path, std::string_view key) {
  if (key.empty()) return tool_failure("meta key must be non-empty");
  EditFile f;
  const std::string message = open_for_edit(path, &f);
  if (!message.empty()) return tool_failure(message);
  const uint64_t slot = find_key(f.image.data(), key);
  if (slot == kNone) return tool_failure("key not found");
  uint8_t* entry = f.image.data() + section_at(f.image.data(), kSectionMetaKv).entry(slot);
  if ((read_u64(entry, offsetof(MetaEntry, flags)) & kMetaFlagImmutable) != 0) {
    return tool_failure("meta key is marked immutable");
  }
  std::memset(entry, 0, kMetaEntryBytes);
  return rewrite_result(rewrite_metadata(path, f, f.image), "failed writing metadata",
                        "failed reading weights region");
}

}  // namespace vexa::tools
