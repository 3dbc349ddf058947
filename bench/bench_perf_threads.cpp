// Checks that a converted model gives byte-identical outputs at every thread count: runs it
// at 1, 2 and all threads (one state each) and compares every output byte with the
// one-thread run. Not a timing; kept with the benchmarks because it needs a converted model.
//
//   bench_perf_threads MODEL.vexa INPUT.f32
//
// Prints "threads <t> identical" or "threads <t> differs at <index>" per count; exit 1 on a
// difference.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/bench_model_loading.h"
#include "core/container.h"
#include "cpu/cpu_state.h"
#include "cpu/interpreter.h"

namespace {

int fail(const std::string& text) {
  std::fprintf(stderr, "bench_perf_threads: %s\n", text.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vexa;
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_perf_threads MODEL.vexa INPUT.f32\n");
    return 2;
  }
  BenchModel model;
  std::string error;
  if (!bench_open_model(argv[1], &model, &error)) return fail(error);
  OpenContainer& c = model.container;
  uint8_t* weights = model.weights;
  std::vector<uint8_t> input;
  if (!bench_read_file(argv[2], &input)) return fail("cannot read input");

  std::vector<float> first;
  int status = 0;
  for (uint32_t threads : {1u, 2u, 0u}) {
    cpu::CpuBuildOptions options;
    options.threads = threads;
    cpu::CpuCreateResult created = cpu::cpu_state_create_with(&c, weights, options);
    if (created.tag != 0) return fail(std::string(cpu::cpu_create_message(created)));
    cpu::CpuState* state = created.state;
    cpu::CpuHandle handle = &state;
    if (!cpu::cpu_set_input(handle, state->input_value, input.data(), input.size()) ||
        !cpu::cpu_run(handle, nullptr, nullptr))
      return fail("run failed");
    std::vector<float> out;
    for (uint64_t k = 0; k < cpu::cpu_output_count(handle); ++k) {
      const float* data = cpu::cpu_output_data(handle, k);
      const uint64_t n = state->values[state->outputs[k]].element_count();
      out.insert(out.end(), data, data + n);
    }
    cpu::cpu_state_destroy(handle);
    if (threads == 1) {
      first = out;
      continue;
    }
    size_t at = out.size() == first.size() ? out.size() : 0;
    for (size_t i = 0; i < out.size() && i < first.size(); ++i) {
      if (std::memcmp(&out[i], &first[i], sizeof(float)) != 0) {
        at = i;
        break;
      }
    }
    if (at == out.size()) {
      std::printf("threads %u identical\n", threads);
    } else {
      std::printf("threads %u differs at %zu\n", threads, at);
      status = 1;
    }
  }
  return status;
}
