#include "core/container.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/bytes.h"
#include "core/checked_math.h"
#include "core/container_digest.h"
#include "core/os.h"
#include "core/types.h"

namespace vexa {

namespace {

constexpr uint64_t kMaxContainerLength = uint64_t{1} << 63;

OpenResult open_failure(PackStatus status) {
  OpenResult r;
  std::memset(&r, 0, sizeof r);
  r.tag = 1;
  r.container.fd = -1;
  r.status = static_cast<uint64_t>(status);
  return r;
}

bool is_multiple(uint64_t value, uint64_t unit) { return value % unit == 0; }

template <typename Record>
Record entry(const OpenContainer* c, uint64_t section, uint64_t j) {
  return load_record<Record>(c->image + container_entry_offset(c, section, j));
}

template <typename Record>
void put_entry(OpenContainer* c, uint64_t section, uint64_t j, const Record& r) {
  store_record(c->image + container_entry_offset(c, section, j), r);
}

uint64_t container_length_field(const OpenContainer* c) {
  return container_read_u64(c->image, offsetof(ContainerHeader, container_length));
}

// Header fields against the length the reader was given (digest not included).
bool header_fields_ok(const ContainerHeader& h, uint64_t length) {
  if (h.magic != kContainerMagic || h.version != kContainerVersion) return false;
  if (h.header_size != kContainerHeaderBytes || h.alignment != kWeightAlignmentBytes) return false;
  if (length >= kMaxContainerLength || h.container_length != length) return false;
  const uint64_t w = h.weights_offset;
  if (w < kContainerHeaderBytes || w > kMaxMetadataRegionBytes) return false;
  if (!is_multiple(w, kWeightAlignmentBytes) || w > length) return false;
  return h.weights_size == length - w;
}

bool header_digest_ok(const uint8_t* header) {
  uint8_t copy[kContainerHeaderBytes];
  std::memcpy(copy, header, sizeof copy);
  std::memset(copy + kHeaderDigestOffset, 0, kDigestBytes);
  return digest_matches(copy, sizeof copy, header + kHeaderDigestOffset);
}

bool sections_placed_ok(const OpenContainer* c) {
  const uint64_t w = c->image_size;
  uint64_t previous_end = kContainerHeaderBytes;
  for (uint64_t i = 0; i < kSectionCount; ++i) {
    const uint64_t offset = container_section_offset(c, i);
    const uint64_t size = container_section_size(c, i);
    if (!is_multiple(offset, kSectionAlignmentBytes) || offset < previous_end) return false;
    if (size < kSectionHeaderBytes || !container_range_ok(offset, size, w)) return false;
    const auto sh = load_record<SectionHeader>(c->image + offset);
    if (sh.kind != kSectionKind || sh.entry_size == 0) return false;
    if (sh.payload_bytes > size - kSectionHeaderBytes) return false;
    if (sh.entry_count > sh.payload_bytes / sh.entry_size) return false;
    previous_end = offset + size;
  }
  return true;
}

bool load_step_is(const LoadStep& s, const LoadStep& want) {
  return std::memcmp(&s, &want, sizeof s) == 0;
}

// One tensor of a group walk: every bound of its stored bytes and its row layout.
bool tensor_ok(const OpenContainer* c, const TensorRecord& tr, uint64_t g, uint64_t t, uint64_t q,
               uint64_t group_end) {
  const uint64_t w = c->image_size;
  if (tr.dtype != 1 && tr.dtype != 2 && tr.dtype != 4) return false;
  if (tr.rank > kMaxTensorRank) return false;
  const uint64_t z = tr.size;
  const uint64_t p = tr.padded_size;
  if (z == 0 || p == 0 || p < z || !is_multiple(p, kWeightAlignmentBytes)) return false;
  if (p - z > kWeightAlignmentBytes - 1) return false;
  if (p > group_end - q) return false;
  if (!container_check_dtype(c, tr.dtype)) return false;
  const auto dt = entry<DtypeEntry>(c, kSectionDtypes, tr.dtype - 1);
  const uint64_t per_block = dt.elements_per_block;
  const uint64_t block_bytes = dt.bytes_per_block;
  const uint64_t last = tr.rank == 0 ? 1 : tr.dims[tr.rank - 1];
  if (last == 0) return false;
  const uint64_t blocks = last / per_block + (last % per_block != 0 ? 1 : 0);
  if (blocks - 1 >= z / block_bytes) return false;
  const uint64_t row_bytes = blocks * block_bytes;
  uint64_t product = row_bytes;
  for (uint64_t k = 0; k + 1 < tr.rank; ++k) {
    const uint64_t d = tr.dims[k];
    if (d == 0 || d > z / product) return false;
    product *= d;
  }
  if (product != z || tr.row_bytes != row_bytes) return false;
  if (tr.reserved0 != 0 || tr.reserved1 != 0) return false;
  if (tr.group != g || tr.absolute_offset != w + q || tr.relative_offset != q) return false;
  return tr.index == t;
}

}  // namespace

uint64_t container_read_u64(const uint8_t* image, uint64_t offset) {
  uint64_t v;
  std::memcpy(&v, image + offset, sizeof v);
  return v;
}

bool container_range_ok(uint64_t offset, uint64_t length, uint64_t size) {
  return range_within(offset, length, size);
}

int64_t container_file_size(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  return st.st_size;
}

uint64_t container_section_offset(const OpenContainer* c, uint64_t i) {
  if (i >= kSectionCount) return 0;
  return container_read_u64(c->image, offsetof(ContainerHeader, sections) + 16 * i);
}

uint64_t container_section_size(const OpenContainer* c, uint64_t i) {
  if (i >= kSectionCount) return 0;
  return container_read_u64(c->image, offsetof(ContainerHeader, sections) + 16 * i + 8);
}

uint64_t container_section_stride(const OpenContainer* c, uint64_t i) {
  if (i >= kSectionCount) return 0;
  return container_read_u64(c->image, container_section_offset(c, i) + 8);
}

uint64_t container_section_count(const OpenContainer* c, uint64_t i) {
  if (i >= kSectionCount) return 0;
  return container_read_u64(c->image, container_section_offset(c, i) + 16);
}

uint64_t container_entry_offset(const OpenContainer* c, uint64_t i, uint64_t j) {
  return container_section_offset(c, i) + kSectionHeaderBytes + container_section_stride(c, i) * j;
}

uint64_t container_tensor_count(const OpenContainer* c) {
  return container_section_count(c, kSectionTensors);
}

TensorRecord container_tensor_record(const OpenContainer* c, uint64_t j) {
  return entry<TensorRecord>(c, kSectionTensors, j);
}

bool read_fully_at(int fd, void* buffer, uint64_t n, uint64_t offset) {
  if (n == 0) return true;
  if (offset > static_cast<uint64_t>(INT64_MAX) || n > static_cast<uint64_t>(INT64_MAX) - offset) {
    return false;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t done = 0;
  while (done < n) {
    const ssize_t r = pread(fd, out + done, static_cast<size_t>(n - done),
                            static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) return false;
    done += static_cast<uint64_t>(r);
  }
  return true;
}

bool container_check_header(const uint8_t* header, uint64_t length) {
  if (header == nullptr || length < kContainerHeaderBytes) return false;
  if (!header_fields_ok(load_record<ContainerHeader>(header), length)) return false;
  return header_digest_ok(header);
}

bool container_check_dtype(const OpenContainer* c, uint64_t dtype) {
  if (dtype < 1 || dtype > kDtypeEntryCount) return false;
  if (container_section_count(c, kSectionDtypes) < dtype) return false;
  if (container_section_stride(c, kSectionDtypes) < sizeof(DtypeEntry)) return false;
  const auto e = entry<DtypeEntry>(c, kSectionDtypes, dtype - 1);
  if (dtype == 4) {
    return e.bits_per_element == 8 && e.elements_per_block == kQ8BlockElements &&
           e.bytes_per_block == kQ8BlockBytes && e.scale_dtype == 2 &&
           e.scale_offset == kQ8ScaleOffsetBytes && e.reserved1 == 0 &&
           e.dtype_class == kDtypeClassBlock;
  }
  const uint64_t bytes = dtype == 1 ? 2 : dtype == 2 ? 4 : 8;
  const uint64_t cls = dtype == 3 ? kDtypeClassInteger : kDtypeClassFloat;
  return e.bits_per_element == 8 * bytes && e.elements_per_block == 1 &&
         e.bytes_per_block == bytes && e.scale_dtype == 0 && e.scale_offset == 0 &&
         e.reserved1 == 0 && e.dtype_class == cls;
}

bool container_check_tables(OpenContainer* c) {
  if (c == nullptr || c->image == nullptr || c->image_size < kContainerHeaderBytes) return false;
  if (!sections_placed_ok(c)) return false;

  if (container_section_stride(c, kSectionDtypes) < sizeof(DtypeEntry) ||
      container_section_stride(c, kSectionTensors) < sizeof(TensorRecord) ||
      container_section_stride(c, kSectionGroups) < sizeof(GroupRecord) ||
      container_section_stride(c, kSectionLayout) < sizeof(LayoutRecord) ||
      container_section_stride(c, kSectionLoadSteps) < sizeof(LoadStep)) {
    return false;
  }
  if (container_section_count(c, kSectionLayout) != 1) return false;
  for (uint64_t d = 1; d <= 3; ++d) {
    if (!container_check_dtype(c, d)) return false;
  }

  const auto layout = entry<LayoutRecord>(c, kSectionLayout, 0);
  const uint64_t w = c->image_size;
  const uint64_t length = container_length_field(c);
  const uint64_t data_size = layout.data_size;
  const uint64_t groups = container_section_count(c, kSectionGroups);
  const uint64_t tensors = container_section_count(c, kSectionTensors);
  if (groups < 1 || groups > kMaxGroups || tensors > kMaxStoredTensors) return false;
  if (container_section_count(c, kSectionLoadSteps) != 2 * groups) return false;
  if (container_section_count(c, kSectionDigests) != tensors + 1 ||
      container_section_stride(c, kSectionDigests) != sizeof(TensorDigest)) {
    return false;
  }
  if (layout.layout_kind != kLayoutKind || layout.reserved1 != 0 || layout.group_count != groups ||
      layout.weights_offset != w || layout.reserved2 != 0 || layout.group_count_copy != groups) {
    return false;
  }
  if (data_size == 0 || !is_multiple(data_size, kWeightAlignmentBytes)) return false;
  if (w > length || data_size > length - w) return false;

  uint64_t t = 0;
  uint64_t r = 0;
  for (uint64_t g = 0; g < groups; ++g) {
    const auto gr = entry<GroupRecord>(c, kSectionGroups, g);
    const uint64_t count = gr.tensor_count;
    const uint64_t s = gr.size;
    if (gr.reserved1 != 0 || gr.first_tensor != t) return false;
    if (count < 1 || count > tensors - t) return false;
    if (s == 0 || !is_multiple(s, kWeightAlignmentBytes) || s > data_size - r) return false;
    if (gr.absolute_offset != w + r || gr.relative_offset != r || gr.index != g) return false;
    const LoadStep first{w + r, s, r, g, 0, 0};
    const LoadStep second{w + r, s, 0, g, g + 1, g & 1};
    if (!load_step_is(entry<LoadStep>(c, kSectionLoadSteps, g), first)) return false;
    if (!load_step_is(entry<LoadStep>(c, kSectionLoadSteps, groups + g), second)) return false;

    const uint64_t group_end = r + s;
    uint64_t q = r;
    for (uint64_t k = 0; k < count; ++k) {
      const auto tr = entry<TensorRecord>(c, kSectionTensors, t);
      if (!tensor_ok(c, tr, g, t, q, group_end)) return false;
      q += tr.padded_size;
      ++t;
    }
    if (q != group_end) return false;
    r = group_end;
  }
  if (r != data_size || t != tensors) return false;
  c->weights_data_size = data_size;
  return true;
}

bool container_plan_f32_weights(OpenContainer* c) {
  const uint64_t tensors = container_tensor_count(c);
  if (container_section_stride(c, kSectionNodes) != sizeof(GraphNode) ||
      container_section_stride(c, kSectionValues) != sizeof(GraphValue) ||
      container_section_count(c, kSectionValues) == 0 || tensors == 0) {
    return true;
  }
  bool all_f32 = true;
  for (uint64_t j = 0; j < tensors && all_f32; ++j) {
    all_f32 = container_tensor_record(c, j).dtype == 2;
  }
  if (all_f32) return true;

  auto* plan = static_cast<F32Plan*>(std::calloc(static_cast<size_t>(tensors), sizeof(F32Plan)));
  if (plan == nullptr) return false;

  uint64_t n = 0;
  for (uint64_t j = 0; j < tensors; ++j) {
    TensorRecord tr = container_tensor_record(c, j);
    const uint64_t z = tr.size;
    uint64_t count = 0;
    uint64_t rows = 0;
    uint64_t row_length = 0;
    if (tr.dtype == 2) {
      count = z / 4;
      rows = 1;
      row_length = count;
    } else if (tr.rank == 0) {
      // A scalar is one row of one element, whatever its stored block size.
      count = 1;
      rows = 1;
      row_length = 1;
    } else {
      count = 1;
      for (uint64_t k = 0; k < tr.rank; ++k) count *= tr.dims[k];  // bounded by the table walk
      row_length = tr.dims[tr.rank - 1];
      if (row_length == 0) {
        std::free(plan);
        return false;
      }
      rows = count / row_length;
    }
    uint64_t bytes = 0;
    uint64_t padded = 0;
    uint64_t next = 0;
    if (!checked_mul_u64(count, 4, &bytes) ||
        !checked_round_up(bytes, kWeightAlignmentBytes, &padded) ||
        !checked_add_u64(n, padded, &next)) {
      std::free(plan);
      return false;
    }
    plan[j] = F32Plan{tr.absolute_offset, z, tr.padded_size, tr.dtype, rows, row_length, n, j};
    tr.dtype = 2;
    tr.rank = 1;
    std::memset(tr.dims, 0, sizeof tr.dims);
    tr.dims[0] = count;
    tr.size = bytes;
    tr.padded_size = padded;
    tr.relative_offset = n;
    tr.row_bytes = bytes;
    put_entry(c, kSectionTensors, j, tr);
    n = next;
  }

  const uint64_t values = container_section_count(c, kSectionValues);
  for (uint64_t i = 0; i < values; ++i) {
    auto v = entry<GraphValue>(c, kSectionValues, i);
    if (v.kind != static_cast<uint64_t>(ValueKind::kWeight)) continue;
    if (v.tensor_index >= tensors) {
      std::free(plan);
      return false;
    }
    v.data_offset = plan[v.tensor_index].f32_offset;
    if (v.dtype == 1 || v.dtype == 4) {
      // The element count is the file's word: a forged one must not wrap into a small size.
      uint64_t f32_bytes = 0;
      if (!checked_mul_u64(v.element_count, 4, &f32_bytes)) {
        std::free(plan);
        return false;
      }
      v.dtype = 2;
      v.byte_size = f32_bytes;
    }
    put_entry(c, kSectionValues, i, v);
  }
  c->weights_data_size = n;
  c->plan = plan;
  c->plan_count = tensors;
  return true;
}

OpenResult container_open_fd(int fd, uint64_t base, uint64_t length, uint32_t flags) {
  struct stat st;
  if (fstat(fd, &st) != 0) return open_failure(PackStatus::kInvalidSectionBounds);
  if (st.st_size < 0 || base > static_cast<uint64_t>(st.st_size)) {
    return open_failure(PackStatus::kInvalidSectionBounds);
  }
  const uint64_t file_size = static_cast<uint64_t>(st.st_size);
  if (length < kContainerHeaderBytes || length > file_size - base) {
    return open_failure(PackStatus::kInvalidSectionBounds);
  }
  // Duplicated with close-on-exec in one call: a fork on another thread between a dup and a
  // later flag change would hand the child a descriptor that survives its exec.
  const int dup_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup_fd < 0) return open_failure(PackStatus::kIoFailed);

  uint8_t header[kContainerHeaderBytes];
  if (!read_fully_at(dup_fd, header, sizeof header, base)) {
    close(dup_fd);
    return open_failure(PackStatus::kIoFailed);
  }
  const auto h = load_record<ContainerHeader>(header);
  if (!header_fields_ok(h, length)) {
    close(dup_fd);
    return open_failure(PackStatus::kInvalidHeader);
  }
  // Checked before the region is allocated, so a forged header costs no memory.
  if (!header_digest_ok(header)) {
    close(dup_fd);
    return open_failure(PackStatus::kHashMismatch);
  }
  const uint64_t w = h.weights_offset;
  auto* image = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(w)));
  if (image == nullptr) {
    close(dup_fd);
    return open_failure(PackStatus::kAllocationFailed);
  }
  std::memcpy(image, header, sizeof header);
  if (!read_fully_at(dup_fd, image + kContainerHeaderBytes, w - kContainerHeaderBytes,
                     base + kContainerHeaderBytes)) {
    std::free(image);
    close(dup_fd);
    return open_failure(PackStatus::kIoFailed);
  }
  if (!digest_matches(image + kContainerHeaderBytes, w - kContainerHeaderBytes,
                      image + kHeaderBodyDigestOffset)) {
    std::free(image);
    close(dup_fd);
    return open_failure(PackStatus::kHashMismatch);
  }

  OpenResult r;
  std::memset(&r, 0, sizeof r);
  r.tag = 0;
  r.container = OpenContainer{image, w, dup_fd, 0, w, base, nullptr, 0};
  if (!container_check_tables(&r.container)) {
    container_close(&r.container);
    return open_failure(PackStatus::kInvalidLoadPlan);
  }
  if ((flags & kOpenFlagPlanF32) != 0 && !container_plan_f32_weights(&r.container)) {
    container_close(&r.container);
    return open_failure(PackStatus::kInvalidTensorRecord);
  }
  return r;
}

OpenResult container_open_path(const char* path, uint64_t path_length) {
  const CStringResult text = bytes_cstring_copy(path, path_length);
  if (text.status != kBytesOk) return open_failure(PackStatus::kIoFailed);
  const int fd = os_open_regular_read(text.data);
  std::free(text.data);
  if (fd < 0) return open_failure(PackStatus::kIoFailed);
  const int64_t size = container_file_size(fd);
  if (size < 0) {
    close(fd);
    return open_failure(PackStatus::kIoFailed);
  }
  OpenResult r = container_open_fd(fd, 0, static_cast<uint64_t>(size), kOpenFlagPlanF32);
  close(fd);
  return r;
}

void container_close(OpenContainer* c) {
  if (c == nullptr) return;
  std::free(c->image);
  std::free(c->plan);
  if (c->fd >= 0) close(c->fd);
  c->image = nullptr;
  c->plan = nullptr;
  c->plan_count = 0;
  c->fd = -1;
}

bool container_verify_tensors(const OpenContainer* c, const void* weight_memory) {
  const uint64_t tensors = container_tensor_count(c);
  if (tensors == 0) return true;
  const uint64_t digest_base = container_entry_offset(c, kSectionDigests, 0);
  if (c->plan == nullptr) {
    if (weight_memory == nullptr) return false;
    const auto* memory = static_cast<const uint8_t*>(weight_memory);
    for (uint64_t j = 0; j < tensors; ++j) {
      const TensorRecord tr = container_tensor_record(c, j);
      if (!container_range_ok(tr.relative_offset, tr.padded_size, c->weights_data_size)) return false;
      if (!digest_matches(memory + tr.relative_offset, tr.padded_size,
                          c->image + digest_base + kDigestBytes * j)) {
        return false;
      }
    }
    return true;
  }
  // Stored sizes were bounded by the table walk; one buffer of the largest serves every tensor.
  uint64_t largest = 0;
  for (uint64_t k = 0; k < c->plan_count; ++k) {
    if (c->plan[k].stored_padded_size > largest) largest = c->plan[k].stored_padded_size;
  }
  std::vector<uint8_t> buffer;
  try {
    buffer.resize(static_cast<size_t>(largest));
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (uint64_t k = 0; k < c->plan_count; ++k) {
    const F32Plan& e = c->plan[k];
    if (e.tensor_index >= tensors) return false;
    if (!read_fully_at(c->fd, buffer.data(), e.stored_padded_size, c->base_offset + e.source_offset)) {
      return false;
    }
    if (!digest_matches(buffer.data(), e.stored_padded_size,
                        c->image + digest_base + kDigestBytes * e.tensor_index)) {
      return false;
    }
  }
  return true;
}

}  // namespace vexa
