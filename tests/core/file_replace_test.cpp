// Replacing a file: the new bytes arrive whole or not at all. Every refusal and every failed step
// (forced through the test hook) leaves the target byte-identical and no temporary file behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/container_digest.h"
#include "core/file_replace.h"
#include "tests/core/fifo_guard.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

class FileReplaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vexa-replace-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    file_replace_fail_at_for_testing(FileReplaceStep::kNone);
    fs::remove_all(dir_);
  }

  std::string file(const std::string& name) const { return dir_ + "/" + name; }

  static std::vector<uint8_t> read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static void put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static Digest128 hash(const std::string& path) {
    const std::vector<uint8_t> bytes = read(path);
    return digest128(bytes.data(), bytes.size());
  }
  static bool same_hash(const Digest128& a, const Digest128& b) {
    return a.low == b.low && a.high == b.high;
  }
  size_t entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {})); }

  static FileReplaceResult write_text(const std::string& path, const std::string& text,
                                      std::span<const std::string> inputs = {}) {
    return file_replace(path, inputs, [&](FileReplaceSink& sink) {
      return sink.write(text.data(), text.size());
    });
  }

  std::string dir_;
};

TEST_F(FileReplaceTest, CreatesAndReplacesWholeFiles) {
  const std::string target = file("out.bin");
  FileReplaceResult r = write_text(target, "first");
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(read(target), (std::vector<uint8_t>{'f', 'i', 'r', 's', 't'}));
  // A new file is 0644 less the umask.
  const mode_t mask = umask(0);
  umask(mask);
  struct stat st {};
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u & ~mask);

  // A replaced file keeps its permissions; zeros and a copied range land in order.
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  const std::string source = file("source.bin");
  put(source, "0123456789");
  const int fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  r = file_replace(target, {}, [&](FileReplaceSink& sink) {
    return sink.write("ab", 2) && sink.write_zeros(3) && sink.copy_from(fd, 4, 5) &&
           sink.bytes_written() == 10;
  });
  close(fd);
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(read(target), (std::vector<uint8_t>{'a', 'b', 0, 0, 0, '4', '5', '6', '7', '8'}));
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(entries(), 2u);  // the target and the source: no temporary left
}

TEST_F(FileReplaceTest, ALinkToARegularFileReplacesTheFileAndKeepsTheLink) {
  const std::string real = file("real.bin");
  const std::string link = file("link.bin");
  put(real, "old");
  ASSERT_EQ(symlink("real.bin", link.c_str()), 0);
  ASSERT_TRUE(write_text(link, "new").ok());
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(read(real), (std::vector<uint8_t>{'n', 'e', 'w'}));
  EXPECT_EQ(entries(), 2u);
}

TEST_F(FileReplaceTest, RefusesTargetsThatAreNotRegularFiles) {
  testing::TempFifo fifo;
  ASSERT_TRUE(fifo.ok());
  const std::string folder = file("folder");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string fifo_link = file("fifo_link");
  ASSERT_EQ(symlink(fifo.path().c_str(), fifo_link.c_str()), 0);
  const std::string device_link = file("device_link");
  ASSERT_EQ(symlink("/dev/full", device_link.c_str()), 0);
  const std::string broken = file("broken");
  ASSERT_EQ(symlink("nowhere/at/all", broken.c_str()), 0);

  struct Case {
    std::string path;
    std::string message;
  };
  const Case cases[] = {
      {"/dev/full", "output '/dev/full' exists and is not a regular file"},
      {"/dev/null", "output '/dev/null' exists and is not a regular file"},
      {fifo.path(), "output '" + fifo.path() + "' exists and is not a regular file"},
      {folder, "output '" + folder + "' exists and is not a regular file"},
      {fifo_link, "output '" + fifo_link + "' is a link to something that is not a regular file"},
      {device_link, "output '" + device_link + "' is a link to something that is not a regular file"},
      {broken, "output '" + broken + "' is a broken link"},
      {"", "output path is empty"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(file_replace_refusal(c.path, {}), c.message);
    // Returns at once with no writer on the FIFO: nothing opens the target.
    FileReplaceResult r;
    EXPECT_TRUE(testing::returns_without_writer(
        fifo.path(), [&] { r = write_text(c.path, "x"); }, std::chrono::milliseconds(2000)));
    EXPECT_EQ(r.outcome, FileReplaceOutcome::kRefused) << c.path;
    EXPECT_EQ(r.message, c.message);
  }
  struct stat st {};
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  ASSERT_EQ(lstat(fifo.path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(lstat(broken.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_TRUE(fs::is_empty(folder));
  EXPECT_EQ(entries(), 4u);
}

TEST_F(FileReplaceTest, RefusesATargetThatIsTheSameFileAsAnInput) {
  const std::string input = file("input.bin");
  put(input, "precious");
  const Digest128 before = hash(input);
  ASSERT_EQ(mkdir(file("sub").c_str(), 0755), 0);
  const std::string hard = file("hard.bin");
  ASSERT_EQ(link(input.c_str(), hard.c_str()), 0);
  const std::string soft = file("soft.bin");
  ASSERT_EQ(symlink("input.bin", soft.c_str()), 0);
  const std::string other = file("other.bin");
  put(other, "other");
  const std::string inputs[] = {file("missing.bin"), input};
  // The same file by itself, through another spelling, a hard link and a link.
  for (const std::string& out : {input, dir_ + "/sub/../input.bin", dir_ + "/./input.bin", hard, soft}) {
    const FileReplaceResult r = write_text(out, "clobbered", inputs);
    EXPECT_EQ(r.outcome, FileReplaceOutcome::kRefused) << out;
    EXPECT_EQ(r.message, "output '" + out + "' is the same file as input '" + input + "'");
    EXPECT_EQ(file_replace_refusal(out, inputs), r.message);
  }
  EXPECT_TRUE(same_hash(hash(input), before));
  // Another file, and a new one, are fine; an in-place edit passes no inputs.
  EXPECT_TRUE(write_text(other, "replaced", inputs).ok());
  EXPECT_TRUE(write_text(file("new.bin"), "new", inputs).ok());
  EXPECT_TRUE(write_text(input, "edited").ok());
  EXPECT_EQ(read(hard), (std::vector<uint8_t>{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}))
      << "the old inode keeps the old bytes under its other name";
  EXPECT_EQ(read(input), (std::vector<uint8_t>{'e', 'd', 'i', 't', 'e', 'd'}));
}

TEST_F(FileReplaceTest, EveryFailedStepLeavesTheTargetByteIdentical) {
  const std::string target = file("target.bin");
  put(target, std::string(100000, 'k'));
  const Digest128 before = hash(target);
  const std::string source = file("source.bin");
  put(source, std::string(70000, 's'));
  const int fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const auto produce = [&](FileReplaceSink& sink) {
    return sink.write("header", 6) && sink.copy_from(fd, 0, 70000);
  };
  struct Step {
    FileReplaceStep step;
    const char* message_start;
  };
  const Step steps[] = {
      {FileReplaceStep::kOpen, "cannot create a temporary file beside "},
      {FileReplaceStep::kWrite, "cannot write "},
      {FileReplaceStep::kSync, "cannot flush "},
      {FileReplaceStep::kRename, "cannot rename "},
  };
  for (const Step& s : steps) {
    file_replace_fail_at_for_testing(s.step);
    const FileReplaceResult r = file_replace(target, {}, produce);
    EXPECT_EQ(r.outcome, FileReplaceOutcome::kWriteFailed);
    EXPECT_EQ(r.failed_step, s.step);
    EXPECT_EQ(r.message.rfind(s.message_start, 0), 0u) << r.message;
    EXPECT_NE(r.message.find("Input/output error"), std::string::npos) << r.message;
    EXPECT_TRUE(same_hash(hash(target), before));
    EXPECT_EQ(entries(), 2u) << "a temporary file was left behind";
  }
  file_replace_fail_at_for_testing(FileReplaceStep::kNone);

  // A producer that gives up, a source that ends early, an exception: same guarantee.
  FileReplaceResult r = file_replace(target, {}, [](FileReplaceSink& sink) {
    sink.write("partial", 7);
    sink.fail("no more input");
    return false;
  });
  EXPECT_EQ(r.outcome, FileReplaceOutcome::kProducerFailed);
  EXPECT_EQ(r.message, "no more input");
  r = file_replace(target, {}, [](FileReplaceSink& sink) { return sink.write("x", 1) && false; });
  EXPECT_EQ(r.outcome, FileReplaceOutcome::kProducerFailed);
  r = file_replace(target, {}, [&](FileReplaceSink& sink) { return sink.copy_from(fd, 60000, 20000); });
  EXPECT_EQ(r.outcome, FileReplaceOutcome::kReadFailed);
  EXPECT_EQ(r.message, "the source ends early");
  EXPECT_THROW(file_replace(target, {}, [](FileReplaceSink&) -> bool { throw std::runtime_error("x"); }),
               std::runtime_error);
  EXPECT_TRUE(same_hash(hash(target), before));
  EXPECT_EQ(entries(), 2u);

  // A folder that does not exist: the temporary cannot be made.
  r = write_text(file("no/such/folder/x"), "x");
  EXPECT_EQ(r.outcome, FileReplaceOutcome::kWriteFailed);
  EXPECT_EQ(r.message.rfind("cannot create a temporary file beside ", 0), 0u) << r.message;

  // With the hook cleared the same production succeeds.
  r = file_replace(target, {}, produce);
  close(fd);
  ASSERT_TRUE(r.ok()) << r.message;
  const std::vector<uint8_t> bytes = read(target);
  ASSERT_EQ(bytes.size(), 70006u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 7), "headers");
}

}  // namespace
}  // namespace vexa
