#include "tools/file_read.h"

#include <unistd.h>

#include <new>

#include "core/container.h"
#include "core/os.h"

namespace vexa::tools {

FileReadStatus read_regular_file(const char* path, std::vector<uint8_t>& out, uint64_t max_bytes) {
  out.clear();
  const int fd = os_open_regular_read(path);
  if (fd < 0) return FileReadStatus::kOpenFailed;
  FileReadStatus status = FileReadStatus::kOk;
  const int64_t size = container_file_size(fd);
  if (size < 0) {
    status = FileReadStatus::kReadFailed;
  } else if (size == 0) {
    status = FileReadStatus::kEmpty;
  } else if (static_cast<uint64_t>(size) > max_bytes) {
    status = FileReadStatus::kTooLarge;
  } else {
    try {
      out.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
      status = FileReadStatus::kNoMemory;
    }
    if (status == FileReadStatus::kOk &&
        !read_fully_at(fd, out.data(), static_cast<uint64_t>(size), 0)) {
      status = FileReadStatus::kReadFailed;
    }
  }
  ::close(fd);
  if (status != FileReadStatus::kOk) out.clear();
  return status;
}

}  // namespace vexa::tools
