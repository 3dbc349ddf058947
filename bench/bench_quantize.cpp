// Pack quantisation: throughput of the Q8 block encoder alone and of the whole tool (read,
// verify, encode, seal, write and flush), at one thread and at every core of the pool, in MB/s of
// f32 weights, with the files on a memory file system and on the disk; then the weight load of
// the Q8 pack beside the f32 container it came from (1 and 8 loader threads; the files are in the
// page cache). Medians of several runs after a warm-up.
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
#include "platform/thread_pool.h"
#include "tools/pack_quantize.h"
#include "tools/q8_encode.h"

namespace {

constexpr uint64_t kTensors = 32;
constexpr uint64_t kRows = 1024;
constexpr uint64_t kCols = 2048;  // 2 Mi values per tensor, 256 MiB of f32 in all
constexpr uint64_t kPieceRows = 128;
constexpr int kRuns = 5;

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "vexa: %s\n", message.c_str());
  std::exit(1);
}

// MatMul weights, each the second input of its own node, as a converter would write them.
std::string write_model(const std::string& folder, const std::vector<float>& values) {
  vexa::ContainerWriter w;
  vexa::GraphValue act{};
  act.kind = static_cast<uint64_t>(vexa::ValueKind::kIntermediate);
  act.dtype = 2;
  const uint64_t x = w.add_value(act, "x");
  for (uint64_t t = 0; t < kTensors; ++t) {
    const uint64_t dims[2] = {kRows, kCols};
    const std::string name = "w" + std::to_string(t);
    const uint64_t value = w.add_weight_value(w.add_tensor_f32(name, dims, values.data()), name);
    vexa::GraphNode n{};
    n.op_kind = static_cast<uint64_t>(vexa::OpKind::kMatMul);
    n.input_count = 2;
    n.inputs[0] = x;
    n.inputs[1] = value;
    n.output_count = 1;
    n.outputs[0] = w.add_value(act, "y" + std::to_string(t));
    w.add_node(n);
  }
  const std::string path = folder + "/vexa-bench-quantize-" + std::to_string(getpid()) + ".vexa";
  std::string error;
  if (!w.write_to_path(path, &error)) die(error);
  return path;
}

using vexa::bench::median_ms;

double load_ms(const std::string& path, uint64_t threads) {
  vexa::OpenResult r = vexa::container_open_path(path.data(), path.size());
  if (!r.ok()) die("cannot open " + path);
  vexa::OpenContainer c = r.container;
  const uint64_t page = vexa::kWeightSlotAlignmentBytes;
  vexa::WeightSlotResult slot = vexa::weight_slot_alloc((c.weights_data_size + page - 1) / page * page, false);
  if (!slot.ok()) die("no weight slot");
  const double ms = median_ms(kRuns, [&] {
    vexa::WeightLoadResult l = vexa::weights_load(&c, &slot.slot, threads, false);
    if (l.failed) die("load failed");
    vexa::weight_slot_release(&slot.slot);
  });
  vexa::buffer_release(&slot.slot);
  vexa::container_close(&c);
  return ms;
}

}  // namespace

int main() {
  std::vector<float> values(kRows * kCols);
  for (size_t i = 0; i < values.size(); ++i) {
    values[i] = static_cast<float>(static_cast<int>((i * 2654435761u) % 2001) - 1000) * 1e-3f;
  }
  const double total_mb = static_cast<double>(kTensors * kRows * kCols * sizeof(float)) / 1e6;
  const unsigned cores = vexa::thread_pool_size();
  std::printf("%llu tensors of %llux%llu f32 (%.0f MB); pool of %u threads\n",
              static_cast<unsigned long long>(kTensors), static_cast<unsigned long long>(kRows),
              static_cast<unsigned long long>(kCols), total_mb, cores);

  // The encoder alone, over the same pieces the tool uses.
  std::vector<float> all(kTensors * values.size());
  for (uint64_t t = 0; t < kTensors; ++t) std::copy(values.begin(), values.end(), all.begin() + t * values.size());
  std::vector<uint8_t> encoded(kTensors * kRows * vexa::tools::q8_row_bytes(kCols));
  const uint64_t pieces = kTensors * kRows / kPieceRows;
  for (const unsigned threads : {1u, cores}) {
    const double ms = median_ms(kRuns, [&] {
      vexa::parallel_for(pieces, [&](size_t p) {
        vexa::tools::q8_encode_rows(all.data() + p * kPieceRows * kCols, kPieceRows, kCols,
                                    encoded.data() + p * kPieceRows * vexa::tools::q8_row_bytes(kCols));
      }, threads);
    });
    std::printf("encode          threads %2u: %8.2f ms  %8.0f MB/s\n", threads, ms, total_mb / ms * 1e3);
  }

  // On a memory file system the final flush costs nothing; on the disk it is the disk's time.
  for (const char* folder : {"/dev/shm", "/tmp"}) {
    const std::string f32 = write_model(folder, values);
    const std::string q8 = f32 + ".q8";
    std::string report;
    for (const unsigned threads : {1u, cores}) {
      vexa::ThreadCapScope cap(threads);
      const double ms = median_ms(kRuns, [&] {
        const vexa::tools::ToolResult r = vexa::tools::pack_quantize(f32, q8);
        if (!r.ok) die(r.text);
        report = r.text;
      });
      std::printf("pack_quantize   threads %2u: %8.2f ms  %8.0f MB/s  (files in %s)\n", threads, ms,
                  total_mb / ms * 1e3, folder);
    }
    if (std::string(folder) == "/tmp") {
      std::printf("(%s)\n", report.c_str());
      for (const uint64_t threads : {1u, 8u}) {
        const double plain = load_ms(f32, threads);
        const double packed = load_ms(q8, threads);
        std::printf("load            threads %2llu: f32 %8.2f ms  q8 %8.2f ms  ratio %.2f\n",
                    static_cast<unsigned long long>(threads), plain, packed, packed / plain);
      }
    }
    unlink(f32.c_str());
    unlink(q8.c_str());
  }
  return 0;
}
