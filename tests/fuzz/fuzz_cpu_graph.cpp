// Graph records drawn from fuzz bytes, written into a real container and handed to the CPU
// engine: the build must refuse them or produce a state whose run stays in bounds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/container.h"
#include "core/container_writer.h"
#include "cpu/cpu_state.h"
#include "cpu/interpreter.h"

namespace {

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint64_t u64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | u8();
    return v;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

constexpr uint64_t kKinds[] = {1, 2, 3, 4, 6, 11, 12, 13, 18, 26, 30, 39, 41, 42, 45, 48, 51, 59,
                               61, 62, 63, 66, 67, 68, 69, 70, 80, 81, 82, 83, 84, 87, 5, 9, 10,
                               14, 16, 20, 21, 29, 33, 34, 36, 40, 43, 55, 85, 38, 0};
constexpr uint64_t kDtypes[] = {2, 2, 2, 1, 3, 5, 4, 9};
constexpr uint64_t kElementBytes[] = {4, 4, 4, 2, 8, 1, 4, 4};

uint64_t small_or_wild(ByteReader& in, uint64_t modulo) {
  const uint8_t b = in.u8();
  return b == 255 ? in.u64() : b % modulo;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vexa;
  ByteReader in(data, size);
  ContainerWriter writer;
  std::vector<float> weights(64);
  for (size_t i = 0; i < weights.size(); ++i) weights[i] = static_cast<float>(i) * 0.25f - 4.0f;
  const uint64_t dims[1] = {64};
  writer.add_tensor_f32("w", dims, weights.data());

  const uint64_t value_count = 1 + in.u8() % 12;
  const uint64_t node_count = in.u8() % 8;
  for (uint64_t v = 0; v < value_count; ++v) {
    GraphValue gv{};
    gv.kind = 1 + in.u8() % 4;
    const uint8_t t = in.u8() % 8;
    gv.dtype = gv.kind == 2 ? 2 : kDtypes[t];
    gv.rank = in.u8() % 5;
    gv.element_count = 1;
    for (uint64_t d = 0; d < gv.rank; ++d) {
      gv.dims[d] = small_or_wild(in, 5);
      gv.element_count *= gv.dims[d];
    }
    if (in.u8() == 7) gv.element_count = in.u64();
    gv.byte_size = gv.element_count * (gv.kind == 2 ? 4 : kElementBytes[t]);
    if (in.u8() == 9) gv.byte_size = in.u64();
    gv.data_offset = gv.kind == 2 ? small_or_wild(in, 16) * 16 : 0;
    writer.add_value(gv, "v");
  }
  for (uint64_t n = 0; n < node_count; ++n) {
    GraphNode gn{};
    gn.op_kind = kKinds[in.u8() % std::size(kKinds)];
    gn.input_count = in.u8() % 4;
    for (uint64_t k = 0; k < gn.input_count; ++k) {
      const uint8_t b = in.u8();
      gn.inputs[k] = b == 254 ? kAbsentInput : b % (value_count + 1);
    }
    gn.output_count = 1 + in.u8() % 2;
    for (uint64_t k = 0; k < gn.output_count; ++k) gn.outputs[k] = in.u8() % (value_count + 1);
    const uint8_t attrs = in.u8() % 6;
    for (uint8_t a = 0; a < attrs; ++a) {
      gn.attrs[in.u8() % kGraphNodeAttributeWords] = small_or_wild(in, 9);
    }
    writer.add_node(gn);
  }

  std::vector<uint8_t> file;
  std::string error;
  if (!writer.write_to_memory(&file, &error)) return 0;
  int fd = memfd_create("fuzz-cpu-graph", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
    ::close(fd);
    return 0;
  }
  OpenResult opened = container_open_fd(fd, 0, file.size(), kOpenFlagPlanF32);
  ::close(fd);
  if (!opened.ok()) return 0;
  OpenContainer container = opened.container;
  const uint64_t weight_bytes = container.weights_data_size;
  auto* weight_memory = static_cast<uint8_t*>(std::aligned_alloc(16384, weight_bytes));
  std::memcpy(weight_memory, file.data() + container.weights_offset, weight_bytes);

  cpu::CpuBuildOptions options;
  options.batch = 1 + in.u8() % 3;
  options.threads = 2;
  cpu::CpuCreateResult r = cpu::cpu_state_create_with(&container, weight_memory, options);
  if (r.tag == 0) {
    cpu::CpuState* state = r.state;
    const uint64_t in_count = state->values[state->input_value].element_count();
    const uint64_t out_count = state->values[state->first_output].element_count();
    std::vector<float> input(in_count + 1, 0.5f), output(out_count + 1);
    cpu::cpu_run(&state, input.data(), output.data());
    cpu::cpu_state_destroy(&state);
  }
  cpu::cpu_create_result_release(&r);
  std::free(weight_memory);
  container_close(&container);
  return 0;
}
