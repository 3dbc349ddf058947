// Thin accessors over POSIX with the host's own constants, plus the process-wide output hook.
#pragma once

#include <cstdint>
#include <string_view>

#include <dirent.h>

namespace vexa {

// Callers keep the platform's stat record in a zeroed area of this size and treat a larger
// platform record as an I/O failure.
inline constexpr uint64_t kStatRecordCapacityBytes = 256;

int os_open_flags_truncate();  // write-only, create, truncate; callers pass permission 0644
int os_open_flags_append();    // write-only, create, append
uint64_t os_stat_size();
int64_t os_stat_file_size(const void* record);
uint16_t os_stat_mode(const void* record);
uint32_t os_stat_uid(const void* record);
int64_t os_stat_mtime(const void* record);
int os_stat(const char* path, void* record);
int os_lstat(const char* path, void* record);
int os_errno();

// Opens a regular file for reading, close-on-exec. Anything else (a FIFO, a device, a socket, a
// directory) is refused with -1 without blocking: opening a FIFO for reading would wait for a
// writer forever.
int os_open_regular_read(const char* path);

// Writes until n bytes are out or a write returns less than 1 (no retry on EINTR).
void os_write_all(int fd, const void* p, uint64_t n);
int64_t os_read(int fd, void* p, uint64_t n);
int64_t os_write(int fd, const void* p, uint64_t n);
int os_close(int fd);
int os_mkdir(const char* path, uint32_t mode);
int os_rename(const char* from, const char* to);

DIR* os_opendir(const char* path);
dirent* os_readdir(DIR* dir);
int os_closedir(DIR* dir);
const char* os_dirent_name(const dirent* entry);

char os_path_separator();
std::string_view os_path_separator_view();
bool os_is_path_separator(uint8_t byte);
bool os_path_is_absolute(const char* p, uint64_t n);

// Stand-in for no-cache reads: asks the kernel to drop the cached pages of the range. Never
// fails; a length of 0 means to the end of the file.
void os_advise_no_cache(int fd, uint64_t offset, uint64_t length);

int os_eintr();
int os_eagain();

// Sockets. Linux has no per-socket SIGPIPE switch: os_send passes MSG_NOSIGNAL instead, and
// os_set_no_sigpipe succeeds without doing anything.
int os_socketpair(int fds[2]);
int os_set_no_sigpipe(int fd);
int os_set_socket_timeouts(int fd, uint64_t seconds);
int64_t os_send(int fd, const void* p, uint64_t n);
int os_set_nonblocking(int fd);
int os_socket_level();
int os_socket_receive_timeout();
int os_socket_send_timeout();
int os_fcntl_get_status();
int os_fcntl_set_status();

bool status_is_ok(const uint32_t* status);
bool status_is_error(const uint32_t* status);

// hook(stream, text, length): stream 1 is standard output, 2 standard error. One process-wide
// slot; a print racing with a change sees the old hook or the new one.
using OutputHook = void (*)(int stream, const char* text, uint64_t length);
inline constexpr int kOutputStreamStdout = 1;
inline constexpr int kOutputStreamStderr = 2;
void os_set_output_hook(OutputHook hook);
bool os_has_output_hook();
void os_clear_output_hook();
void os_print(const char* p, uint64_t n);
void os_print_line(const char* p, uint64_t n);
void os_print_error_line(const char* p, uint64_t n);
void os_print_error_newline();

}  // namespace vexa
