// Fuzz target for the ONNX converter: the input is written as a model file and converted with a
// describe-only binding record (every step but the container write), then once more without
// bindings into a container when the first byte asks for it. Any result is fine; crashes,
// leaks and out-of-bounds accesses are not.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/convert_driver.h"

namespace {

constexpr uint8_t kWriteFlag = 0x01;

// A plain array, not a std::string: the exit handler runs after static objects are destroyed,
// and a destroyed string would hand rmdir freed bytes (leaving one folder behind per run).
char g_scratch[] = "/tmp/vexa-fuzz-convert-XXXXXX";

std::string scratch_dir() {
  static const bool made = [] {
    if (mkdtemp(g_scratch) == nullptr) return false;
    std::atexit([] { rmdir(g_scratch); });
    return true;
  }();
  return made ? g_scratch : "/tmp";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vexa::tools;
  const std::string model = scratch_dir() + "/in.onnx";
  const std::string out = scratch_dir() + "/out.vexa";
  FILE* f = std::fopen(model.c_str(), "wb");
  if (f == nullptr) return 0;
  if (size > 0) std::fwrite(data, 1, size, f);
  std::fclose(f);
  InputBindings bindings;
  onnx_bindings_init(bindings);
  bindings.describe_only = 1;
  (void)onnx_convert_file_bound(model, out, &bindings);
  if (size > 0 && (data[size - 1] & kWriteFlag) != 0) {
    (void)onnx_convert_file(model, out, 0);
    std::remove(out.c_str());
  }
  std::remove(model.c_str());
  return 0;
}
