// Processor opening under arbitrary container bytes: the aux table, names, blobs and the six
// documents behind them must give a DomainError or a working processor, never a crash, hang or
// out-of-bounds read. A processor that opens is asked to encode and decode.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/domain_error.h"
#include "generative/processor.h"
#include "generative/tokenizer.h"
#include "tests/core/container_fixture.h"

namespace {

uint64_t word_at(const std::vector<uint8_t>& b, uint64_t offset) {
  uint64_t v = 0;
  std::memcpy(&v, b.data() + offset, sizeof v);
  return v;
}

void open_processor(const std::vector<uint8_t>& bytes, uint64_t image_length) {
  const int fd = vexa::testing::memory_file(bytes);
  if (fd < 0) return;
  try {
    vexa::VXProcessor p(bytes.data(), image_length, fd);
    const std::vector<int64_t> ids = vexa::tokenizer_encode(p.processor(), "Hi <image> 42!");
    p.decode(ids);
    for (const int64_t id : ids) p.token_bytes(id);
  } catch (const vexa::DomainError&) {
  } catch (const std::runtime_error&) {
    // The encode above may meet a forged vocabulary ("Missing BPE symbol", "Byte decoding").
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  // The metadata image is what the container's header says it is, when that fits.
  uint64_t image_length = size;
  if (size >= 56) {
    const uint64_t w = word_at(bytes, 48);
    if (w <= size) image_length = w;
  }
  open_processor(bytes, image_length);
  return 0;
}
