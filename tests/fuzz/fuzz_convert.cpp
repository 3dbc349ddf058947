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

const std::string& scratch_dir() {
  static const std::string dir = [] {
    char name[] = "/tmp/vexa-fuzz-convert-XXXXXX";
    if (mkdtemp(name) == nullptr) return std::string("/tmp");
    std::atexit([] { rmdir(scratch_dir().c_str()); });
    return std::string(name);
  }();
  return dir;
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
