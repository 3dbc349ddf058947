// Latency of one converted model on the CPU engine, for the side-by-side comparison with ONNX
// Runtime that bench/run_vs_ort.sh drives (it runs both on the same ONNX file and input).
//
//   bench_model MODEL.vexa INPUT.f32 THREADS RUNS [REFERENCE.f32]
//
// Prints "median_ms <x>" (median of RUNS timed runs after warm-up runs, THREADS worker threads,
// 0 = every core) and, with a reference output, "max_abs_diff <d> max_rel <r>" against output 0.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/bench_model_loading.h"
#include "bench/bench_timing.h"
#include "core/container.h"
#include "cpu/cpu_state.h"
#include "cpu/interpreter.h"

namespace {

constexpr int kWarmupRuns = 3;


int fail(const std::string& text) {
  std::fprintf(stderr, "bench_model: %s\n", text.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vexa;
  if (argc < 5) {
    std::fprintf(stderr, "usage: bench_model MODEL.vexa INPUT.f32 THREADS RUNS [REFERENCE.f32]\n");
    return 2;
  }
  const uint32_t threads = static_cast<uint32_t>(std::atoi(argv[3]));
  const int runs = std::max(1, std::atoi(argv[4]));

  BenchModel model;
  std::string error;
  if (!bench_open_model(argv[1], &model, &error)) return fail(error);
  OpenContainer& c = model.container;
  uint8_t* weights = model.weights;

  cpu::CpuBuildOptions options;
  options.threads = threads;
  cpu::CpuCreateResult created = cpu::cpu_state_create_with(&c, weights, options);
  if (created.tag != 0) {
    std::string text(cpu::cpu_create_message(created));
    cpu::cpu_create_result_release(&created);
    return fail("cannot build CPU state: " + text);
  }
  cpu::CpuState* state = created.state;
  cpu::CpuHandle handle = &state;

  std::vector<uint8_t> input;
  if (!bench_read_file(argv[2], &input)) return fail("cannot read input");
  const cpu::CpuValue& in_value = state->values[state->input_value];
  if (input.size() != in_value.element_count() * sizeof(float)) {
    return fail("input holds " + std::to_string(input.size()) + " bytes, model wants " +
                std::to_string(in_value.element_count() * sizeof(float)));
  }
  if (!cpu::cpu_set_input(handle, state->input_value, input.data(), input.size())) {
    return fail("input refused");
  }

  for (int i = 0; i < kWarmupRuns; ++i) {
    if (!cpu::cpu_run(handle, nullptr, nullptr)) return fail("run failed");
  }
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const double t0 = cpu::cpu_clock_seconds();
    cpu::cpu_run(handle, nullptr, nullptr);
    times.push_back((cpu::cpu_clock_seconds() - t0) * 1e3);
  }
  std::printf("median_ms %.3f\n", bench::median_of(times));

  if (argc > 5) {
    std::vector<uint8_t> ref_bytes;
    if (!bench_read_file(argv[5], &ref_bytes)) return fail("cannot read reference");
    bench_print_reference_diff(cpu::cpu_output_data(handle, 0),
                               state->values[state->outputs[0]].element_count(), ref_bytes);
  }
  cpu::cpu_state_destroy(handle);
  return 0;
}
