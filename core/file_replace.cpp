#include "core/file_replace.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vexa {

namespace {

constexpr mode_t kNewFileMode = 0644;
constexpr mode_t kPermissionBits = 07777;
constexpr uint64_t kCopyChunkBytes = uint64_t{1} << 20;
constexpr uint64_t kZeroChunkBytes = 4096;
// Name collisions need another process racing on the same target; a handful of tries suffices.
constexpr int kTempNameAttempts = 64;

std::atomic<uint32_t> g_fail_step{static_cast<uint32_t>(FileReplaceStep::kNone)};

bool injected(FileReplaceStep step) {
  if (g_fail_step.load(std::memory_order_relaxed) != static_cast<uint32_t>(step)) return false;
  errno = EIO;
  return true;
}

std::string quoted(std::string_view path) { return "'" + std::string(path) + "'"; }

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Where the new content must land: the path itself, or the regular file a link names. `existing`
// tells whether there is a file to replace (and fills `target_stat`). Empty refusal on success.
std::string resolve_target(std::string_view path, std::string* target, bool* existing,
                           struct stat* target_stat) {
  *existing = false;
  if (path.empty()) return "output path is empty";
  if (path.find('\0') != std::string_view::npos) return "output path holds a NUL byte";
  const std::string p(path);
  struct stat link_stat {};
  if (lstat(p.c_str(), &link_stat) != 0) {
    if (errno == ENOENT) {
      *target = p;
      return "";
    }
    return "cannot inspect output " + quoted(path) + ": " + std::strerror(errno);
  }
  if (S_ISLNK(link_stat.st_mode)) {
    if (stat(p.c_str(), target_stat) != 0) return "output " + quoted(path) + " is a broken link";
    if (!S_ISREG(target_stat->st_mode)) {
      return "output " + quoted(path) + " is a link to something that is not a regular file";
    }
    char* real = realpath(p.c_str(), nullptr);
    if (real == nullptr) return "cannot resolve output link " + quoted(path);
    *target = real;
    std::free(real);
    *existing = true;
    return "";
  }
  if (!S_ISREG(link_stat.st_mode)) return "output " + quoted(path) + " exists and is not a regular file";
  *target = p;
  *target_stat = link_stat;
  *existing = true;
  return "";
}

std::string input_refusal(std::string_view path, const struct stat& target_stat,
                          std::span<const std::string> inputs) {
  for (const std::string& input : inputs) {
    struct stat st {};
    if (input.empty() || stat(input.c_str(), &st) != 0) continue;  // a missing input is no clash
    if (same_file(st, target_stat)) {
      return "output " + quoted(path) + " is the same file as input " + quoted(input);
    }
  }
  return "";
}

// An unused name beside the target, opened exclusively so that no other file is touched.
int create_temp(const std::string& target, std::string* temp) {
  static std::atomic<uint64_t> counter{0};
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t seed = (static_cast<uint64_t>(now.tv_nsec) << 20) ^ static_cast<uint64_t>(getpid());
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull +
           counter.fetch_add(1, std::memory_order_relaxed);
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".tmp.%012llx",
                  static_cast<unsigned long long>(seed >> 16));
    *temp = target + suffix;
    const int fd = open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

void file_replace_fail_at_for_testing(FileReplaceStep step) {
  g_fail_step.store(static_cast<uint32_t>(step), std::memory_order_relaxed);
}

bool FileReplaceSink::write_failed(const char* what, int error_number) {
  if (!failed()) {
    outcome_ = FileReplaceOutcome::kWriteFailed;
    message_ = std::string(what) + " " + temp_path_ + ": " + std::strerror(error_number);
  }
  return false;
}

void FileReplaceSink::fail(std::string message) {
  if (failed()) return;
  outcome_ = FileReplaceOutcome::kProducerFailed;
  message_ = std::move(message);
}

bool FileReplaceSink::write(const void* data, uint64_t length) {
  if (failed()) return false;
  if (length > 0 && injected(FileReplaceStep::kWrite)) return write_failed("cannot write", errno);
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (length > 0) {
    const size_t n = length > SSIZE_MAX ? SSIZE_MAX : static_cast<size_t>(length);
    const ssize_t r = ::write(fd_, bytes, n);
    if (r < 0) {
      if (errno == EINTR) continue;
      return write_failed("cannot write", errno);
    }
    if (r == 0) return write_failed("cannot write", EIO);
    bytes += r;
    length -= static_cast<uint64_t>(r);
    written_ += static_cast<uint64_t>(r);
  }
  return true;
}

bool FileReplaceSink::write_zeros(uint64_t length) {
  static const uint8_t kZeros[kZeroChunkBytes] = {};
  while (length > 0) {
    const uint64_t n = length < kZeroChunkBytes ? length : kZeroChunkBytes;
    if (!write(kZeros, n)) return false;
    length -= n;
  }
  return true;
}

bool FileReplaceSink::buffered_copy(int fd, uint64_t offset, uint64_t length) {
  std::vector<uint8_t> buffer;
  try {
    buffer.resize(static_cast<size_t>(length < kCopyChunkBytes ? length : kCopyChunkBytes));
  } catch (const std::bad_alloc&) {
    return write_failed("out of memory copying into", ENOMEM);
  }
  while (length > 0) {
    const uint64_t want = length < buffer.size() ? length : buffer.size();
    const ssize_t r = pread(fd, buffer.data(), static_cast<size_t>(want), static_cast<off_t>(offset));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      outcome_ = FileReplaceOutcome::kReadFailed;
      message_ = r < 0 ? std::string("cannot read the source: ") + std::strerror(errno)
                       : std::string("the source ends early");
      return false;
    }
    if (!write(buffer.data(), static_cast<uint64_t>(r))) return false;
    offset += static_cast<uint64_t>(r);
    length -= static_cast<uint64_t>(r);
  }
  return true;
}

bool FileReplaceSink::copy_from(int fd, uint64_t offset, uint64_t length) {
  if (failed()) return false;
  if (offset > static_cast<uint64_t>(LLONG_MAX) || length > static_cast<uint64_t>(LLONG_MAX) - offset) {
    outcome_ = FileReplaceOutcome::kReadFailed;
    message_ = "the source range does not fit a file offset";
    return false;
  }
  if (length > 0 && injected(FileReplaceStep::kWrite)) return write_failed("cannot write", errno);
  // The kernel copies without a round trip through user memory; any refusal (another file
  // system, an old kernel, an error) falls back to reads and writes, which tell a read failure
  // from a write failure.
  loff_t in = static_cast<loff_t>(offset);
  while (length > 0) {
    const size_t n = length > (uint64_t{1} << 30) ? (size_t{1} << 30) : static_cast<size_t>(length);
    const ssize_t r = copy_file_range(fd, &in, fd_, nullptr, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    length -= static_cast<uint64_t>(r);
    written_ += static_cast<uint64_t>(r);
  }
  return length == 0 || buffered_copy(fd, static_cast<uint64_t>(in), length);
}

std::string file_replace_refusal(std::string_view path, std::span<const std::string> inputs) {
  std::string target;
  bool existing = false;
  struct stat target_stat {};
  std::string refusal = resolve_target(path, &target, &existing, &target_stat);
  if (refusal.empty() && existing) refusal = input_refusal(path, target_stat, inputs);
  return refusal;
}

FileReplaceResult file_replace(std::string_view path, std::span<const std::string> inputs,
                               const std::function<bool(FileReplaceSink&)>& produce) {
  FileReplaceResult result;
  std::string target;
  bool existing = false;
  struct stat target_stat {};
  std::string refusal = resolve_target(path, &target, &existing, &target_stat);
  if (refusal.empty() && existing) refusal = input_refusal(path, target_stat, inputs);
  if (!refusal.empty()) return {FileReplaceOutcome::kRefused, std::move(refusal), FileReplaceStep::kNone};

  std::string temp;
  const int fd = injected(FileReplaceStep::kOpen) ? -1 : create_temp(target, &temp);
  if (fd < 0) {
    return {FileReplaceOutcome::kWriteFailed,
            "cannot create a temporary file beside " + target + ": " + std::strerror(errno),
            FileReplaceStep::kOpen};
  }
  FileReplaceSink sink(fd, temp);
  auto abandon = [&](FileReplaceOutcome outcome, std::string message) {
    if (fd >= 0) close(fd);
    unlink(temp.c_str());
    return FileReplaceResult{outcome, std::move(message)};
  };
  // A replaced file keeps its permissions; a new one has the creation mode less the umask.
  if (existing && fchmod(fd, target_stat.st_mode & kPermissionBits) != 0) {
    FileReplaceResult r = abandon(FileReplaceOutcome::kWriteFailed,
                                  "cannot set permissions of " + temp + ": " + std::strerror(errno));
    r.failed_step = FileReplaceStep::kOpen;
    return r;
  }
  bool produced = false;
  try {
    produced = produce(sink);
  } catch (const std::bad_alloc&) {
    sink.fail("out of memory");
  } catch (...) {
    close(fd);
    unlink(temp.c_str());
    throw;
  }
  if (sink.failed()) {
    FileReplaceResult r = abandon(sink.outcome_, sink.message_);
    if (r.outcome == FileReplaceOutcome::kWriteFailed) r.failed_step = FileReplaceStep::kWrite;
    return r;
  }
  if (!produced) return abandon(FileReplaceOutcome::kProducerFailed, "cannot produce " + target);
  if (injected(FileReplaceStep::kSync) || fsync(fd) != 0) {
    FileReplaceResult r = abandon(FileReplaceOutcome::kWriteFailed,
                                  "cannot flush " + temp + ": " + std::strerror(errno));
    r.failed_step = FileReplaceStep::kSync;
    return r;
  }
  if (close(fd) != 0) {
    const int saved = errno;
    unlink(temp.c_str());
    return {FileReplaceOutcome::kWriteFailed, "cannot close " + temp + ": " + std::strerror(saved),
            FileReplaceStep::kSync};
  }
  if (injected(FileReplaceStep::kRename) || rename(temp.c_str(), target.c_str()) != 0) {
    const int saved = errno;
    unlink(temp.c_str());
    return {FileReplaceOutcome::kWriteFailed,
            "cannot rename " + temp + " to " + target + ": " + std::strerror(saved),
            FileReplaceStep::kRename};
  }
  // The new file is complete and in place; flushing the folder makes the rename survive a power
  // cut. A folder that refuses to be flushed changes nothing about the file, so it is not an error.
  const int dir_fd = open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    (void)fsync(dir_fd);
    close(dir_fd);
  }
  return result;
}

}  // namespace vexa
