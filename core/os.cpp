#include "core/os.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace vexa {

namespace {

// Atomic so that a hook swapped while another thread prints is seen whole or not at all.
std::atomic<OutputHook> g_output_hook{nullptr};

OutputHook current_hook() { return g_output_hook.load(std::memory_order_acquire); }

// printf takes an int precision; longer texts are cut rather than wrapped negative.
int print_precision(uint64_t n) { return n > INT32_MAX ? INT32_MAX : static_cast<int>(n); }

const struct stat* as_stat(const void* record) { return static_cast<const struct stat*>(record); }

}  // namespace

static_assert(sizeof(struct stat) <= kStatRecordCapacityBytes);

int os_open_flags_truncate() { return O_WRONLY | O_CREAT | O_TRUNC; }
int os_open_flags_append() { return O_WRONLY | O_CREAT | O_APPEND; }
uint64_t os_stat_size() { return sizeof(struct stat); }
int64_t os_stat_file_size(const void* record) { return as_stat(record)->st_size; }
uint16_t os_stat_mode(const void* record) { return static_cast<uint16_t>(as_stat(record)->st_mode); }
uint32_t os_stat_uid(const void* record) { return as_stat(record)->st_uid; }
int64_t os_stat_mtime(const void* record) { return as_stat(record)->st_mtime; }
int os_stat(const char* path, void* record) { return stat(path, static_cast<struct stat*>(record)); }
int os_lstat(const char* path, void* record) { return lstat(path, static_cast<struct stat*>(record)); }
int os_errno() { return errno; }

int os_open_regular_read(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // Non-blocking only for the open itself: a FIFO then returns at once and fstat refuses it.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

void os_write_all(int fd, const void* p, uint64_t n) {
  const auto* bytes = static_cast<const uint8_t*>(p);
  uint64_t written = 0;
  while (written < n) {
    const ssize_t r = write(fd, bytes + written, static_cast<size_t>(n - written));
    if (r < 1) return;
    written += static_cast<uint64_t>(r);
  }
}

int64_t os_read(int fd, void* p, uint64_t n) { return read(fd, p, static_cast<size_t>(n)); }
int64_t os_write(int fd, const void* p, uint64_t n) { return write(fd, p, static_cast<size_t>(n)); }
int os_close(int fd) { return close(fd); }
int os_mkdir(const char* path, uint32_t mode) { return mkdir(path, static_cast<uint16_t>(mode)); }
int os_rename(const char* from, const char* to) { return rename(from, to); }

DIR* os_opendir(const char* path) { return opendir(path); }
dirent* os_readdir(DIR* dir) { return readdir(dir); }
int os_closedir(DIR* dir) { return closedir(dir); }
const char* os_dirent_name(const dirent* entry) { return entry->d_name; }

char os_path_separator() { return '/'; }
std::string_view os_path_separator_view() { return std::string_view("/", 1); }
bool os_is_path_separator(uint8_t byte) { return byte == '/'; }
bool os_path_is_absolute(const char* p, uint64_t n) { return n > 0 && p != nullptr && p[0] == '/'; }

void os_advise_no_cache(int fd, uint64_t offset, uint64_t length) {
  // Linux has no per-descriptor no-cache switch; dropping the pages is advice only and a
  // refusal changes nothing for the caller.
  (void)posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                      POSIX_FADV_DONTNEED);
}

int os_eintr() { return EINTR; }
int os_eagain() { return EAGAIN; }

// Close-on-exec from creation: a fork and exec on another thread must not inherit either end.
int os_socketpair(int fds[2]) { return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }
int os_set_no_sigpipe(int fd) { return 0; }

int os_set_socket_timeouts(int fd, uint64_t seconds) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(seconds);
  tv.tv_usec = 0;
  const int r = setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (r != 0) return r;
  return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int64_t os_send(int fd, const void* p, uint64_t n) {
  return send(fd, p, static_cast<size_t>(n), MSG_NOSIGNAL);
}

int os_set_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1) return -1;
  if ((flags & O_NONBLOCK) != 0) return 0;
  return fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1 ? -1 : 0;
}

int os_socket_level() { return SOL_SOCKET; }
int os_socket_receive_timeout() { return SO_RCVTIMEO; }
int os_socket_send_timeout() { return SO_SNDTIMEO; }
int os_fcntl_get_status() { return F_GETFL; }
int os_fcntl_set_status() { return F_SETFL; }

bool status_is_ok(const uint32_t* status) { return *status == 0; }
bool status_is_error(const uint32_t* status) { return *status != 0; }

void os_set_output_hook(OutputHook hook) { g_output_hook.store(hook, std::memory_order_release); }
bool os_has_output_hook() { return current_hook() != nullptr; }
void os_clear_output_hook() { g_output_hook.store(nullptr, std::memory_order_release); }

void os_print(const char* p, uint64_t n) {
  if (const OutputHook hook = current_hook()) {
    hook(kOutputStreamStdout, p, n);
    return;
  }
  std::printf("%.*s", print_precision(n), p);
}

void os_print_line(const char* p, uint64_t n) {
  if (const OutputHook hook = current_hook()) {
    hook(kOutputStreamStdout, p, n);
    return;
  }
  std::printf("%.*s\n", print_precision(n), p);
}

void os_print_error_line(const char* p, uint64_t n) {
  if (const OutputHook hook = current_hook()) {
    hook(kOutputStreamStderr, p, n);
    return;
  }
  os_write_all(STDERR_FILENO, p, n);
  os_write_all(STDERR_FILENO, "\n", 1);
}

void os_print_error_newline() {
  if (const OutputHook hook = current_hook()) {
    hook(kOutputStreamStderr, "", 0);
    return;
  }
  os_write_all(STDERR_FILENO, "\n", 1);
}

}  // namespace vexa
