// Forks again and again while another thread repeats some work, and asks each child whether it
// inherited, without close-on-exec, a descriptor on a given file or below a given folder: such a
// descriptor would survive an exec in the child. Used to check that the library never holds a
// descriptor without close-on-exec, not even for an instant.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vexa::testing {

// What a child looks for: a file (dev, ino), or any file whose path starts with `folder`.
struct InheritTarget {
  dev_t dev = 0;
  ino_t ino = 0;
  std::string folder;
};

namespace inherit_detail {

// Runs in the forked child: system calls only, since the worker may have held the allocator's
// locks at the fork.
inline bool child_sees_target(int d, const InheritTarget& t) {
  if (t.folder.empty()) {
    struct stat st;
    return fstat(d, &st) == 0 && st.st_dev == t.dev && st.st_ino == t.ino;
  }
  char link[32] = "/proc/self/fd/";
  char digits[12];
  int n = 0;
  for (int v = d; n == 0 || v > 0; v /= 10) digits[n++] = static_cast<char>('0' + v % 10);
  size_t at = std::strlen(link);
  while (n > 0) link[at++] = digits[--n];
  link[at] = '\0';
  char path[4096];
  const ssize_t len = readlink(link, path, sizeof path);
  return len >= static_cast<ssize_t>(t.folder.size()) &&
         std::memcmp(path, t.folder.data(), t.folder.size()) == 0;
}

}  // namespace inherit_detail

// Number of children that found an inheritable descriptor on the target; stops at the first.
// -1 when a fork or wait failed.
inline int count_inheritable_copies(const InheritTarget& target, const std::function<void()>& work,
                                    std::chrono::milliseconds duration) {
  constexpr int kDescriptorsScanned = 1024;
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    while (!stop.load()) work();
  });
  int inherited = 0;
  const auto deadline = std::chrono::steady_clock::now() + duration;
  while (inherited == 0 && std::chrono::steady_clock::now() < deadline) {
    const pid_t pid = fork();
    if (pid == 0) {
      for (int d = 0; d < kDescriptorsScanned; ++d) {
        const int flags = fcntl(d, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0 &&
            inherit_detail::child_sees_target(d, target)) {
          _exit(1);
        }
      }
      _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
      inherited = -1;
      break;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 1) ++inherited;
  }
  stop.store(true);
  worker.join();
  return inherited;
}

}  // namespace vexa::testing
