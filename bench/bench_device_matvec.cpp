// Memory bandwidth of the device's matrix-vector kernels (f16 and q8 weights, half activations),
// beside a STREAM-like triad and a plain memcpy measured in the same run, at 1 thread and at
// every thread the pool has.
//
//   bench_device_matvec [repeats] [max MiB] [portable|avx2|avx512]
//
// One line per weight size, kernel and thread count: the kernel's GB/s (weight bytes per second,
// the whole dispatch through a command buffer), the triad's and memcpy's GB/s at that thread
// count, and the kernel as a percentage of the triad (bench_stream.h says how the triad and
// memcpy are counted). The three are timed in turns, one pass each per round,
// and each line gives their medians after a warm-up round. A last section times the layer
// shapes of a small model's decode step (microseconds per product), where the split into tasks
// matters more than the streaming loop, and a last one the same layers read cold from memory,
// one weight after another, as a decode step reads them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_stream.h"
#include "gpu/kernels/bandwidth_kernels.h"
#include "gpu/kernels/kernel_common.h"
#include "gpu/kernels/kernel_library.h"
#include "platform/software_device.h"
#include "platform/thread_pool.h"

namespace {

using bench::cpu_model;
using bench::kMiB;
using bench::kStreamBytes;
using bench::median_seconds_in_turns;
using bench::Stream;

constexpr uint64_t kCols = 4096;  // K: a wide layer

struct Kernel {
  std::shared_ptr<vexa::Device> device = vexa::device_system_default();
  std::shared_ptr<vexa::CommandQueue> queue = device->new_command_queue();
  std::shared_ptr<vexa::ComputePipeline> matvec, matvec_q8;

  Kernel() {
    std::string error;
    auto lib = device->new_library(vexa::graph_kernel_source(), {{{"VEXA_FLOAT", 0}}}, &error);
    matvec = device->new_compute_pipeline(lib->new_function("matvec", &error), &error);
    matvec_q8 = device->new_compute_pipeline(lib->new_function("matvec_q8", &error), &error);
  }

  // One product of x by rows x cols weights.
  void run(bool q8, uint64_t rows, uint64_t cols, const std::shared_ptr<vexa::DeviceBuffer>& w,
           const std::shared_ptr<vexa::DeviceBuffer>& x, const std::shared_ptr<vexa::DeviceBuffer>& y,
           uint64_t row_bytes, uint64_t offset = 0) {
    vexa::KernelParams p{};
    p.u[0] = static_cast<uint32_t>(rows);
    p.u[1] = static_cast<uint32_t>(cols);
    p.u[3] = static_cast<uint32_t>(row_bytes);
    auto cb = queue->command_buffer();
    auto enc = cb->compute_encoder();
    enc->set_pipeline(q8 ? matvec_q8 : matvec);
    enc->set_buffer(x, 0, 0);
    enc->set_buffer(w, offset, 1);
    enc->set_buffer(y, 0, 2);
    enc->set_buffer(w, 0, 4);
    enc->set_bytes(&p, sizeof p, 3);
    enc->dispatch_threads({rows * 32, 1, 1}, {128, 1, 1});
    enc->end_encoding();
    cb->commit();
    if (cb->status() != vexa::CommandBufferStatus::kCompleted) {
      std::fprintf(stderr, "matvec failed: %s\n", cb->error_message().c_str());
      std::exit(1);
    }
  }
};

// Weights as a model holds them: halves of small magnitude, or q8 blocks of bytes with a
// scale of 0.01.
void fill_weights(const std::shared_ptr<vexa::DeviceBuffer>& w, uint64_t bytes, bool q8) {
  auto* p = static_cast<uint8_t*>(w->contents());
  std::memset(p, 0x11, bytes);
  if (!q8) return;
  const float scale = 0.01f;
  for (uint64_t b = 0; b + 68 <= bytes; b += 68) std::memcpy(p + b + 64, &scale, 4);
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  const uint64_t max_mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
  if (argc > 3) {
    const std::string level = argv[3];
    vexa::bandwidth_kernels_force(level == "portable" ? vexa::IsaLevel::kPortable
                                  : level == "avx2"   ? vexa::IsaLevel::kAvx2
                                                      : vexa::IsaLevel::kAvx512);
  }
  const char* level_names[] = {"portable", "avx2", "avx512"};
  const unsigned all = vexa::thread_pool_size();
  std::printf("CPU: %s, %u threads in the pool, %s loops\n", cpu_model().c_str(), all,
              level_names[static_cast<int>(vexa::bandwidth_kernels_level())]);
  std::printf("%-10s %-9s %7s %9s %9s %9s %7s\n", "weights", "kernel", "threads", "GB/s", "triad",
              "memcpy", "%triad");
  Stream stream;
  Kernel kernel;
  const unsigned counts[2] = {1, all};
  auto x = kernel.device->new_buffer(kCols * 2, vexa::StorageMode::kShared);
  auto y = kernel.device->new_buffer(64 * kMiB, vexa::StorageMode::kShared);
  std::memset(x->contents(), 0x3c, kCols * 2);  // halves near 1
  for (uint64_t mib = 64; mib <= max_mib; mib *= 4) {
    for (bool q8 : {false, true}) {
      const uint64_t row_bytes = q8 ? kCols / 64 * 68 : kCols * 2;
      const uint64_t rows = mib * kMiB / row_bytes;
      const uint64_t bytes = rows * row_bytes;
      auto w = kernel.device->new_buffer(bytes, vexa::StorageMode::kShared);
      fill_weights(w, bytes, q8);
      for (unsigned t : counts) {
        vexa::ThreadCapScope cap(t);
        const std::vector<double> s = median_seconds_in_turns(
            repeats, {[&] { kernel.run(q8, rows, kCols, w, x, y, row_bytes); },
                      [&] { stream.triad(); }, [&] { stream.copy(); }});
        const double gbs = static_cast<double>(bytes) / s[0] / 1e9;
        const double triad = 3.0 * static_cast<double>(kStreamBytes) / s[1] / 1e9;
        const double copy = 2.0 * static_cast<double>(kStreamBytes) / s[2] / 1e9;
        std::printf("%4llu MiB   %-9s %7u %9.1f %9.1f %9.1f %6.0f%%\n",
                    static_cast<unsigned long long>(mib), q8 ? "matvec_q8" : "matvec", t, gbs,
                    triad, copy, 100.0 * gbs / triad);
        std::fflush(stdout);
      }
    }
  }

  // Decode-step layers of a small model (hidden 576, MLP 1536, vocabulary 49152).
  std::printf("\n%-16s %-9s %7s %12s\n", "layer N x K", "kernel", "threads", "us/product");
  const uint64_t shapes[][2] = {{576, 576}, {1536, 576}, {576, 1536}, {49152, 576}};
  for (const auto& shape : shapes) {
    for (bool q8 : {false, true}) {
      const uint64_t rows = shape[0], cols = shape[1];
      const uint64_t row_bytes = q8 ? (cols + 63) / 64 * 68 : cols * 2;
      auto w = kernel.device->new_buffer(rows * row_bytes, vexa::StorageMode::kShared);
      fill_weights(w, rows * row_bytes, q8);
      for (unsigned t : counts) {
        vexa::ThreadCapScope cap(t);
        const double s =
            median_seconds_in_turns(repeats * 5, {[&] { kernel.run(q8, rows, cols, w, x, y, row_bytes); }})[0];
        std::printf("%6llu x %-7llu %-9s %7u %12.1f\n", static_cast<unsigned long long>(rows),
                    static_cast<unsigned long long>(cols), q8 ? "matvec_q8" : "matvec", t, s * 1e6);
      }
    }
  }

  // The same layers as a decode step meets them: each product reads a weight no other product
  // of the pass touched, from a 256 MiB run of copies, so every byte comes from memory and each
  // dispatch pays for its own start (short per-thread runs, prefetchers starting cold).
  std::printf("\n%-16s %-9s %7s %9s %9s %7s\n", "cold N x K", "kernel", "threads", "GB/s", "triad",
              "%triad");
  for (const auto& shape : shapes) {
    if (shape[0] > 4096) continue;  // the vocabulary layer is a long stream already
    for (bool q8 : {false, true}) {
      const uint64_t rows = shape[0], cols = shape[1];
      const uint64_t row_bytes = q8 ? (cols + 63) / 64 * 68 : cols * 2;
      const uint64_t layer = rows * row_bytes;
      const uint64_t copies = 256 * kMiB / layer;
      auto w = kernel.device->new_buffer(copies * layer, vexa::StorageMode::kShared);
      fill_weights(w, copies * layer, q8);
      for (unsigned t : counts) {
        vexa::ThreadCapScope cap(t);
        const std::vector<double> s = median_seconds_in_turns(
            repeats, {[&] {
                        for (uint64_t c = 0; c < copies; ++c) {
                          kernel.run(q8, rows, cols, w, x, y, row_bytes, c * layer);
                        }
                      },
                      [&] { stream.triad(); }});
        const double gbs = static_cast<double>(copies * layer) / s[0] / 1e9;
        const double triad = 3.0 * static_cast<double>(kStreamBytes) / s[1] / 1e9;
        std::printf("%6llu x %-7llu %-9s %7u %9.1f %9.1f %6.0f%%\n",
                    static_cast<unsigned long long>(rows), static_cast<unsigned long long>(cols),
                    q8 ? "matvec_q8" : "matvec", t, gbs, triad, 100.0 * gbs / triad);
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
