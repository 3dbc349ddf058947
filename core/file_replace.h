// Creating or replacing a file so that a failure or a crash never leaves it half written: the
// new content goes to a temporary file in the target's folder, is flushed with fsync and renamed
// over the target, then the folder is flushed. On any failure the temporary file is removed and
// the target is exactly as it was.
//
// Refused before anything is created: a target that exists and is not a regular file (a device
// such as /dev/full, a FIFO, a folder, or a link to one of these, or a link to nothing), and a
// target that is the same file as one of the caller's inputs (same device and inode, so hard
// links and other spellings of the path are caught). A link to a regular file replaces the file
// it names and keeps the link. A tool that edits a file in place passes no inputs: it reads what
// it needs before the rename, so the old file stays intact until the new one is complete.
//
// A new file gets mode 0644 (less the umask); a replaced file keeps its mode.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace vexa {

enum class FileReplaceOutcome : uint32_t {
  kReplaced = 0,
  kRefused,         // the target or its relation to an input forbids the write; nothing was made
  kProducerFailed,  // the producer gave up (FileReplaceSink::fail or returned false)
  kReadFailed,      // a copy_from source could not be read
  kWriteFailed,     // creating, writing, flushing, closing or renaming the temporary file failed
};

enum class FileReplaceStep : uint32_t { kNone = 0, kOpen, kWrite, kSync, kRename };

struct FileReplaceResult {
  FileReplaceOutcome outcome = FileReplaceOutcome::kReplaced;
  std::string message;  // empty on success
  // With kWriteFailed: kOpen when the temporary file could not be made, else the step that
  // failed after it (closing counts as kSync). kNone otherwise.
  FileReplaceStep failed_step = FileReplaceStep::kNone;

  bool ok() const { return outcome == FileReplaceOutcome::kReplaced; }
};

// The temporary file a producer fills, front to back. After the first failure every call
// returns false and writes nothing.
class FileReplaceSink {
 public:
  bool write(const void* data, uint64_t length);
  bool write_zeros(uint64_t length);
  // Copies [offset, offset + length) of the open file `fd`, in the kernel where it can. A source
  // that ends early is a read failure.
  bool copy_from(int fd, uint64_t offset, uint64_t length);
  // Ends the production with the producer's own message.
  void fail(std::string message);

  uint64_t bytes_written() const { return written_; }
  bool failed() const { return outcome_ != FileReplaceOutcome::kReplaced; }

 private:
  friend FileReplaceResult file_replace(std::string_view, std::span<const std::string>,
                                        const std::function<bool(FileReplaceSink&)>&);
  FileReplaceSink(int fd, std::string temp_path) : fd_(fd), temp_path_(std::move(temp_path)) {}
  bool write_failed(const char* what, int error_number);
  bool buffered_copy(int fd, uint64_t offset, uint64_t length);

  int fd_;
  std::string temp_path_;
  uint64_t written_ = 0;
  FileReplaceOutcome outcome_ = FileReplaceOutcome::kReplaced;
  std::string message_;
};

// Why `path` may not be written given `inputs`, or empty when it may. Touches nothing; tools
// call it before long work so that a refusal comes first. file_replace checks again.
std::string file_replace_refusal(std::string_view path, std::span<const std::string> inputs);

// Creates or replaces `path` with what `produce` writes into the sink.
FileReplaceResult file_replace(std::string_view path, std::span<const std::string> inputs,
                               const std::function<bool(FileReplaceSink&)>& produce);

// Test hook: every later file_replace fails at this step (kNone restores normal work). The
// step fails as the system call would, with EIO, and the caller sees kWriteFailed.
void file_replace_fail_at_for_testing(FileReplaceStep step);

}  // namespace vexa
