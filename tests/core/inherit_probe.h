// Forks again and again while another thread repeats some work, and asks each child whether it
// inherited, without close-on-exec, a descriptor open on a given file: such a descriptor would
// survive an exec in the child. Used to check that the library never holds a descriptor without
// close-on-exec, not even for an instant.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vexa::testing {

// Number of children that found an inheritable descriptor on (dev, ino); stops at the first.
// -1 when a fork or wait failed.
inline int count_inheritable_copies(dev_t dev, ino_t ino, const std::function<void()>& work,
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
      // System calls only: the worker may hold the allocator's locks at the fork.
      for (int d = 0; d < kDescriptorsScanned; ++d) {
        struct stat st;
        const int flags = fcntl(d, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0 && fstat(d, &st) == 0 && st.st_dev == dev &&
            st.st_ino == ino) {
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
