#include "core/model_load.h"

#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "core/bytes.h"
#include "core/os.h"

namespace vexa {

namespace {

constexpr uint64_t kMinLoadLength = kContainerHeaderBytes + 1;
constexpr uint64_t kMaxRowValue = uint64_t{1} << 31;  // rows, row bytes and dims stay below

constexpr std::string_view kTextBadFd = "invalid file descriptor or length";
constexpr std::string_view kTextReadFailed = "failed reading model";
constexpr std::string_view kTextBadHeader = "invalid container header";
constexpr std::string_view kTextBadLayout = "invalid container layout";

ModelLoadResult load_error(std::string_view text) { return expected_error<OpenContainer>(text); }

bool row_layout_ok(const TensorRecord& t) {
  if (t.row_bytes == 0 || t.row_bytes >= kMaxRowValue) return false;
  if (t.rank > 0 && t.rank <= 6 && t.dims[t.rank - 1] > kMaxRowValue - 1) return false;
  return t.size / t.row_bytes < kMaxRowValue;
}

}  // namespace

std::recursive_mutex& model_load_lock() {
  // Built on first use: the library has no static initialisers with side effects.
  static std::recursive_mutex* lock = new std::recursive_mutex();
  return *lock;
}

ModelLoadResult model_load_fd(int fd, uint64_t base, uint64_t length) {
  std::lock_guard<std::recursive_mutex> guard(model_load_lock());
  if (fd < 0 || length < kMinLoadLength) return load_error(kTextBadFd);
  uint8_t header[kContainerHeaderBytes];
  if (!read_fully_at(fd, header, sizeof header, base)) return load_error(kTextReadFailed);
  if (!container_check_header(header, length)) return load_error(kTextBadHeader);
  OpenResult opened = container_open_fd(fd, base, length, kOpenFlagPlanF32);
  if (!opened.ok()) return load_error(pack_status_text(static_cast<uint32_t>(opened.status)));
  OpenContainer c = opened.container;
  const uint64_t tensors = container_tensor_count(&c);
  for (uint64_t j = 0; j < tensors; ++j) {
    if (!row_layout_ok(container_tensor_record(&c, j))) {
      container_close(&c);
      return load_error(kTextBadLayout);
    }
  }
  return expected_ok(c);
}

ModelLoadResult model_load_path(const char* path, uint64_t path_length) {
  const CStringResult text = bytes_cstring_copy(path, path_length);
  if (text.status != kBytesOk) return load_error(kTextReadFailed);
  const int fd = os_open_regular_read(text.data);
  std::free(text.data);
  if (fd < 0) return load_error(kTextReadFailed);
  const int64_t size = container_file_size(fd);
  if (size <= static_cast<int64_t>(kContainerHeaderBytes)) {
    close(fd);
    return load_error(kTextBadHeader);
  }
  ModelLoadResult r = model_load_fd(fd, 0, static_cast<uint64_t>(size));
  close(fd);
  return r;
}

ErrorCode model_error_code(const char* text, uint64_t length) {
  const std::string_view t(text == nullptr ? "" : text, text == nullptr ? 0 : static_cast<size_t>(length));
  if (t == "I/O failed" || t == "failed reading model" || t == "failed reading model from fd") {
    return ErrorCode::kIo;
  }
  if (t == "allocation failed" || t == "out of memory reading model") return ErrorCode::kOutOfMemory;
  if (t == "tensor hash mismatch" || t == "metadata hash mismatch" ||
      t == "metadata/header hash mismatch") {
    return ErrorCode::kIntegrity;
  }
  return ErrorCode::kInvalidModel;
}

}  // namespace vexa
