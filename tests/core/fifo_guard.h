// A FIFO in a fresh temporary folder, and a guard for calls that are handed its path: opening a
// FIFO for reading waits for a writer, so a reader that does not refuse it would hang the test
// program. The guard runs the call on its own thread and, when it has not returned in time,
// plays the writer (open, close) until the call sees end of file and returns.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vexa::testing {

class TempFifo {
 public:
  TempFifo() {
    char tmpl[] = "/tmp/vexa-fifo-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) {
      dir_ = tmpl;
      path_ = dir_ + "/pipe";
      if (mkfifo(path_.c_str(), 0600) != 0) path_.clear();
    }
  }
  ~TempFifo() {
    if (!path_.empty()) unlink(path_.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
  }
  TempFifo(const TempFifo&) = delete;
  TempFifo& operator=(const TempFifo&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  std::string dir_;
  std::string path_;
};

// True when call() returned within `limit` with no writer on the FIFO. False when it had to be
// released: each open for reading that waits is woken by a writer that opens and closes at once.
inline bool returns_without_writer(const std::string& fifo, const std::function<void()>& call,
                                   std::chrono::milliseconds limit) {
  std::future<void> done = std::async(std::launch::async, call);
  if (done.wait_for(limit) == std::future_status::ready) {
    done.get();
    return true;
  }
  constexpr auto kReleasePoll = std::chrono::milliseconds(5);
  while (done.wait_for(kReleasePoll) != std::future_status::ready) {
    // Succeeds only while a reader has the FIFO open (ENXIO otherwise); closing gives it EOF.
    const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) close(writer);
  }
  done.get();
  return false;
}

}  // namespace vexa::testing
