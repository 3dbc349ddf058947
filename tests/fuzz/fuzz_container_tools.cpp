// The container tools under arbitrary container files: metadata set (in place and through a
// repack that moves the weights) and delete, and pack quantisation, must never crash, hang or
// read out of bounds. Whatever a tool writes must open again: a tool that reports success with a
// file the reader refuses has written a broken container.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/container.h"
#include "core/container_digest.h"
#include "tools/meta_edit.h"
#include "tools/pack_quantize.h"
#include "tests/fuzz/resealed.h"

namespace {

// One folder per process, on a memory file system when there is one; removed at exit.
std::string g_dir;

void remove_work_dir() {
  for (const char* name : {"/in.vexa", "/out.vexa"}) unlink((g_dir + name).c_str());
  rmdir(g_dir.c_str());
}

const std::string& work_dir() {
  if (g_dir.empty()) {
    std::string tmpl = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/vexa-fuzz-tools-XXXXXX");
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    g_dir = tmpl;
    std::atexit(remove_work_dir);
  }
  return g_dir;
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t r = write(fd, bytes.data() + done, bytes.size() - done);
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
  close(fd);
  return done == bytes.size();
}

void require_opens(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::abort();
  for (const uint32_t flags : {0u, vexa::kOpenFlagPlanF32}) {
    vexa::OpenResult r = vexa::container_open_fd(fd, 0, static_cast<uint64_t>(vexa::container_file_size(fd)), flags);
    // The f32 plan may refuse graph records the tools never look at; the tables may not.
    if (!r.ok() && (flags == 0 || r.status != static_cast<uint64_t>(vexa::PackStatus::kInvalidTensorRecord))) {
      std::abort();
    }
    vexa::container_close(&r.container);
  }
  close(fd);
}

void run_tools(const std::vector<uint8_t>& bytes) {
  const std::string path = work_dir() + "/in.vexa";
  const std::string out = work_dir() + "/out.vexa";
  if (!write_file(path, bytes)) return;
  const bool opens = [&] {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    vexa::OpenResult r = vexa::container_open_fd(fd, 0, bytes.size(), 0);
    vexa::container_close(&r.container);
    close(fd);
    return r.ok();
  }();

  const vexa::tools::ToolResult q = vexa::tools::pack_quantize(path, out);
  if (q.ok) require_opens(out);

  const float array[3] = {0.5f, -1.0f, 2.0f};
  const std::string big(20000, 'v');  // more than the spare pool: a repack, the region grows
  const vexa::tools::ToolResult edits[] = {
      vexa::tools::model_meta_set(path, "task", 1, 0, 0, "seed", 4, 1),
      vexa::tools::model_meta_set(path, "mean", 6, 0, 0, array, sizeof array, 3),
      vexa::tools::model_meta_set(path, "classes", 3, 2, 7, nullptr, 0, 1),
      vexa::tools::model_meta_delete(path, "threshold"),
      vexa::tools::model_meta_set(path, "big", 7, 0, 0, big.data(), big.size(), 1),
      vexa::tools::model_meta_delete(path, "task"),
  };
  for (const vexa::tools::ToolResult& r : edits) {
    // An edit succeeds only on a container that opened, and leaves one that still does.
    if (r.ok && !opens) std::abort();
  }
  if (opens) require_opens(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  vexa::fuzz::run_as_is_and_resealed(bytes, run_tools);
  return 0;
}
