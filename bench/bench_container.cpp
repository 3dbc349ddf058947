// Opens, loads and verifies a 1 GiB container generated in /tmp, beside raw XXH3-128 over the
// same bytes in the same run. One thread; medians of five runs after a warm-up.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>
#include <xxhash.h>

#include "bench/bench_timing.h"
#include "core/clock.h"
#include "core/container_access.h"
#include "core/container_writer.h"
#include "core/model_load.h"

namespace {

constexpr uint64_t kTensorCount = 64;
constexpr uint64_t kTensorRows = 1024;
constexpr uint64_t kTensorCols = 4096;  // 16 MiB of f32 per tensor, 1 GiB in all
constexpr int kRuns = 5;
constexpr double kBytesPerGiB = 1024.0 * 1024.0 * 1024.0;

using vexa::bench::median_seconds;

void print_line(const char* name, double seconds, uint64_t bytes, double reference_seconds) {
  std::printf("%-34s %8.1f ms  %7.2f GiB/s   xxh3 %8.1f ms  ratio %.2f\n", name, seconds * 1e3,
              static_cast<double>(bytes) / kBytesPerGiB / seconds, reference_seconds * 1e3,
              seconds / reference_seconds);
}

}  // namespace

int main() {
  using namespace vexa;
  char dir_template[] = "/tmp/vexa-bench-XXXXXX";
  if (mkdtemp(dir_template) == nullptr) {
    std::fprintf(stderr, "vexa: cannot create a temporary folder\n");
    return 1;
  }
  const std::string path = std::string(dir_template) + "/large.vexa";

  double write_seconds = 0;
  {
    ContainerWriter writer;
    std::vector<float> values(kTensorRows * kTensorCols);
    const uint64_t dims[] = {kTensorRows, kTensorCols};
    for (uint64_t t = 0; t < kTensorCount; ++t) {
      for (uint64_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>((i * 2654435761u + t) % 1000) * 1e-3f;
      writer.add_tensor_f32("w" + std::to_string(t), dims, values.data());
    }
    writer.set_meta_string("task", "benchmark");
    std::string error;
    const double start = monotonic_seconds();
    if (!writer.write_to_path(path, &error)) {
      std::fprintf(stderr, "vexa: %s\n", error.c_str());
      rmdir(dir_template);
      return 1;
    }
    write_seconds = monotonic_seconds() - start;
  }

  ModelLoadResult loaded = model_load_path(path.data(), path.size());
  if (!loaded.ok()) {
    std::fprintf(stderr, "vexa: %.*s\n", static_cast<int>(loaded.error.length),
                 reinterpret_cast<const char*>(loaded.error.data));
    unlink(path.c_str());
    rmdir(dir_template);
    return 1;
  }
  OpenContainer& c = loaded.value;
  const uint64_t bytes = c.weights_data_size;
  std::vector<uint8_t> memory(bytes);
  const uint64_t groups = container_section_count(&c, kSectionGroups);
  bool ok = true;

  auto load = [&] {
    for (uint64_t g = 0; g < groups; ++g) {
      const auto step = load_record<LoadStep>(c.image + container_entry_offset(&c, kSectionLoadSteps, g));
      ok &= read_fully_at(c.fd, memory.data() + step.relative_offset, step.size,
                          c.base_offset + step.absolute_offset);
    }
  };
  auto open_close = [&] {
    ModelLoadResult r = model_load_path(path.data(), path.size());
    ok &= r.ok();
    if (r.ok()) container_close(&r.value);
  };
  volatile uint64_t sink = 0;
  auto raw = [&] { sink = sink + XXH3_128bits(memory.data(), memory.size()).low64; };
  auto verify = [&] { ok &= container_verify_tensors(&c, memory.data()); };

  const double raw_seconds = median_seconds(kRuns, raw);
  const double open_seconds = median_seconds(kRuns, open_close);
  const double load_seconds = median_seconds(kRuns, load);
  const double verify_seconds = median_seconds(kRuns, verify);
  const double all_seconds = median_seconds(kRuns, [&] {
    open_close();
    load();
    verify();
  });

  std::printf("container %.2f GiB (%llu tensors), written in %.1f ms, threads 1\n",
              static_cast<double>(bytes) / kBytesPerGiB, static_cast<unsigned long long>(kTensorCount),
              write_seconds * 1e3);
  std::printf("%-34s %8.3f ms\n", "open and validate (metadata only)", open_seconds * 1e3);
  print_line("load (positioned reads, warm cache)", load_seconds, bytes, raw_seconds);
  print_line("verify tensor digests", verify_seconds, bytes, raw_seconds);
  print_line("open + load + verify", all_seconds, bytes, raw_seconds);
  std::printf("%-34s %8.1f ms  %7.2f GiB/s\n", "raw XXH3-128 over the same bytes", raw_seconds * 1e3,
              static_cast<double>(bytes) / kBytesPerGiB / raw_seconds);

  container_close(&c);
  unlink(path.c_str());
  rmdir(dir_template);
  if (!ok) {
    std::fprintf(stderr, "vexa: a load or verification failed\n");
    return 1;
  }
  return 0;
}
