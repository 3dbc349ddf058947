// Latency of one converted model through the public C API on a chosen backend, for the
// side-by-side comparison bench/run_vs_ort.sh drives: the CPU engine, the GPU backend and AUTO
// (which picks the GPU backend when it takes the model) on the same file and input.
//
//   bench_session MODEL.vexa INPUT.f32 THREADS RUNS cpu|gpu|auto [REFERENCE.f32]
//
// Prints "median_ms <x>" (median of RUNS timed vexa_session_run calls after warm-up runs, the
// session configured for THREADS threads, 0 = every core), "median_cpu_ms <x>" (the process's
// CPU time per run: at one thread, a figure other load on the machine leaves alone), "backend
// <name>" (the backend that ran) and, with a reference output, "max_abs_diff <d> max_rel <r>"
// against output 0.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bench/bench_model_loading.h"
#include "platform/thread_pool.h"
#include "vexa/vexa.h"

namespace {

constexpr int kWarmupRuns = 3;
constexpr uint32_t kMaxConfigThreads = 32;

int fail(const std::string& text) {
  std::fprintf(stderr, "bench_session: %s\n", text.c_str());
  return 1;
}

// CPU time of the whole process: at one thread, the run's own cost whatever else the machine
// runs meanwhile.
double process_cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

std::string session_error(const vexa_session* s) {
  return "[" + std::to_string(vexa_session_error_code(s)) + "] " +
         std::string(vexa_session_error_message_ptr(s), vexa_session_error_message_len(s));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr,
                 "usage: bench_session MODEL.vexa INPUT.f32 THREADS RUNS cpu|gpu|auto "
                 "[REFERENCE.f32]\n");
    return 2;
  }
  const char* model = argv[1];
  uint32_t threads = static_cast<uint32_t>(std::atoi(argv[3]));
  if (threads == 0) threads = std::min(vexa::thread_pool_size(), kMaxConfigThreads);
  const int runs = std::max(1, std::atoi(argv[4]));
  const std::string backend_name = argv[5];
  uint32_t backend = VEXA_BACKEND_AUTO;
  if (backend_name == "cpu") {
    backend = VEXA_BACKEND_CPU;
  } else if (backend_name == "gpu") {
    backend = VEXA_BACKEND_GPU;
  } else if (backend_name != "auto") {
    return fail("unknown backend " + backend_name);
  }
  std::vector<uint8_t> input_bytes;
  if (!vexa::bench_read_file(argv[2], &input_bytes)) return fail("cannot read input");
  std::vector<float> input(input_bytes.size() / sizeof(float));
  std::memcpy(input.data(), input_bytes.data(), input.size() * sizeof(float));

  vexa_config* config = vexa_config_new();
  vexa_config_set_backend(config, backend);
  vexa_config_set_threads(config, static_cast<int32_t>(threads));
  vexa_session* session = vexa_session_new(config);
  vexa_input* in = vexa_input_new();
  vexa_output* out = vexa_output_new();
  int status = 1;
  std::vector<double> times, cpu_times;
  if (vexa_session_open(session, model, std::strlen(model)) != 1) {
    status = fail("open: " + session_error(session));
  } else if (vexa_input_set_f32(in, 0, input.data(), input.size(), 0) != 1) {
    status = fail("input of " + std::to_string(input.size()) + " floats refused");
  } else {
    bool ok = true;
    for (int i = 0; i < kWarmupRuns && ok; ++i) ok = vexa_session_run(session, in, out) == 1;
    for (int i = 0; i < runs && ok; ++i) {
      const double c0 = process_cpu_ms();
      const auto t0 = std::chrono::steady_clock::now();
      ok = vexa_session_run(session, in, out) == 1;
      times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
      cpu_times.push_back(process_cpu_ms() - c0);
    }
    status = ok ? 0 : fail("run: " + session_error(session));
  }
  if (status == 0) {
    std::sort(times.begin(), times.end());
    std::sort(cpu_times.begin(), cpu_times.end());
    std::printf("median_ms %.3f\n", times[times.size() / 2]);
    std::printf("median_cpu_ms %.3f\n", cpu_times[cpu_times.size() / 2]);
    const char* names[] = {"none", "cpu", "gpu", "npu"};
    const uint32_t used = vexa_output_backend_used(out);
    std::printf("backend %s\n", used < 4 ? names[used] : "unknown");
    std::vector<uint8_t> ref_bytes;
    if (argc > 6 && vexa::bench_read_file(argv[6], &ref_bytes)) {
      const float* ours = vexa_output_f32_ptr(out, 0);
      const uint64_t n = vexa_output_f32_len(out, 0);
      if (ref_bytes.size() != n * sizeof(float) || ours == nullptr) {
        std::printf("max_abs_diff nan (reference holds %zu floats, output %llu)\n",
                    ref_bytes.size() / 4, static_cast<unsigned long long>(n));
      } else {
        const auto* ref = reinterpret_cast<const float*>(ref_bytes.data());
        double max_abs = 0, max_ref = 0;
        for (uint64_t i = 0; i < n; ++i) {
          const double d = std::fabs(static_cast<double>(ours[i]) - ref[i]);
          max_abs = std::isnan(d) ? INFINITY : std::max(max_abs, d);
          max_ref = std::max(max_ref, std::fabs(static_cast<double>(ref[i])));
        }
        std::printf("max_abs_diff %.3g max_rel %.3g\n", max_abs,
                    max_ref > 0 ? max_abs / max_ref : max_abs);
      }
    }
  }
  vexa_output_free(out);
  vexa_input_free(in);
  vexa_session_free(session);
  vexa_config_free(config);
  return status;
}
