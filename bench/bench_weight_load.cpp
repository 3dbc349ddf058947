// Weight loading into a host slot: plain (f32) and decoding (f16) loads with 1 to 16 threads,
// beside one positioned read of the same weights region into a buffer (the file is in the page
// cache for both). Medians of several runs after a warm-up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_timing.h"
#include "core/container.h"
#include "core/container_writer.h"
#include "gpu/weight_slot.h"

namespace {

constexpr uint64_t kTensors = 32;
constexpr uint64_t kRows = 512;
constexpr uint64_t kCols = 2048;  // 1 Mi values per tensor, 128 MiB of f32 in all
constexpr int kRuns = 5;

std::string write_model(bool half) {
  vexa::ContainerWriter w;
  std::vector<float> f(kRows * kCols);
  std::vector<uint16_t> h(kRows * kCols);
  for (size_t i = 0; i < f.size(); ++i) {
    f[i] = static_cast<float>(i % 1000) * 0.001f;
    h[i] = static_cast<uint16_t>(0x3C00 + i % 512);
  }
  for (uint64_t t = 0; t < kTensors; ++t) {
    w.begin_group();
    const uint64_t dims[2] = {kRows, kCols};
    const std::string name = "t" + std::to_string(t);
    const uint64_t index = half ? w.add_tensor_f16(name, dims, h.data()) : w.add_tensor_f32(name, dims, f.data());
    w.add_weight_value(index, name);
  }
  const std::string path = std::string("/tmp/vexa-bench-weights-") + (half ? "f16" : "f32") + ".vexa";
  std::string error;
  if (!w.write_to_path(path, &error)) {
    std::fprintf(stderr, "vexa: %s\n", error.c_str());
    std::exit(1);
  }
  return path;
}

using vexa::bench::median_ms;

void bench(const char* label, const std::string& path) {
  vexa::OpenResult r = vexa::container_open_path(path.data(), path.size());
  if (!r.ok()) {
    std::fprintf(stderr, "vexa: cannot open %s (status %llu)\n", path.c_str(),
                 static_cast<unsigned long long>(r.status));
    std::exit(1);
  }
  vexa::OpenContainer c = r.container;
  const uint64_t page = vexa::kWeightSlotAlignmentBytes;
  const uint64_t size = (c.weights_data_size + page - 1) / page * page;
  vexa::WeightSlotResult slot = vexa::weight_slot_alloc(size, false);
  if (!slot.ok()) std::exit(1);

  // Reference: the stored weights region read by one pread into a buffer.
  struct stat st {};
  fstat(c.fd, &st);
  const uint64_t stored = static_cast<uint64_t>(st.st_size) - c.weights_offset;
  std::vector<uint8_t> buffer(stored);
  const double ref = median_ms(kRuns, [&] { vexa::read_fully_at(c.fd, buffer.data(), stored, c.weights_offset); });

  for (uint64_t threads : {1, 2, 4, 8, 16}) {
    const double ours = median_ms(kRuns, [&] {
      vexa::WeightLoadResult l = vexa::weights_load(&c, &slot.slot, threads, false);
      if (l.failed) std::exit(1);
      vexa::weight_slot_release(&slot.slot);
    });
    std::printf("%-12s threads %2llu: load %8.2f ms  one pread of %llu MiB %8.2f ms  ratio %.2f\n",
                label, static_cast<unsigned long long>(threads), ours,
                static_cast<unsigned long long>(stored >> 20), ref, ours / ref);
  }
  vexa::buffer_release(&slot.slot);
  vexa::container_close(&c);
}

}  // namespace

int main() {
  const std::string f32 = write_model(false);
  const std::string f16 = write_model(true);
  bench("plain f32", f32);
  bench("decode f16", f16);
  unlink(f32.c_str());
  unlink(f16.c_str());
  return 0;
}
