// Per-node latency of one converted model on the CPU engine: runs the nodes one at a time,
// times each over several runs and prints the slowest first with their shapes, so the layer
// that costs most against ONNX Runtime can be found.
//
//   bench_perf_nodes MODEL.vexa INPUT.f32 THREADS RUNS [TOP]
//
// TOP 0 first lists every node in graph order with its input and output value ids.
// Prints "node <index> <kind> <median ms> <share %> in=<dims> out=<dims> [conv geometry]".
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
#include "core/container_format.h"
#include "cpu/cpu_state.h"
#include "cpu/interpreter.h"
#include "cpu/op_table.h"
#include "cpu/ops/gemm_conv.h"
#include "platform/thread_pool.h"

namespace {

constexpr int kWarmupRuns = 2;
constexpr int kDefaultTop = 30;

std::string dims_text(const vexa::cpu::CpuValue& v) {
  std::string s;
  for (uint64_t i = 0; i < v.rank(); ++i) {
    if (i > 0) s += 'x';
    s += std::to_string(v.dim(static_cast<uint32_t>(i)));
  }
  return s.empty() ? "scalar" : s;
}

int fail(const std::string& text) {
  std::fprintf(stderr, "bench_perf_nodes: %s\n", text.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vexa;
  if (argc < 5) {
    std::fprintf(stderr, "usage: bench_perf_nodes MODEL.vexa INPUT.f32 THREADS RUNS [TOP]\n");
    return 2;
  }
  const uint32_t threads = static_cast<uint32_t>(std::atoi(argv[3]));
  const int runs = std::max(1, std::atoi(argv[4]));
  const int top = argc > 5 ? std::atoi(argv[5]) : kDefaultTop;

  BenchModel model;
  std::string error;
  if (!bench_open_model(argv[1], &model, &error)) return fail(error);
  OpenContainer& c = model.container;
  uint8_t* weights = model.weights;

  cpu::CpuBuildOptions options;
  options.threads = threads;
  cpu::CpuCreateResult created = cpu::cpu_state_create_with(&c, weights, options);
  if (created.tag != 0) return fail(std::string(cpu::cpu_create_message(created)));
  cpu::CpuState* state = created.state;
  cpu::CpuHandle handle = &state;

  std::vector<uint8_t> input;
  if (!bench_read_file(argv[2], &input)) return fail("cannot read input");
  if (!cpu::cpu_set_input(handle, state->input_value, input.data(), input.size()))
    return fail("input refused");
  for (int i = 0; i < kWarmupRuns; ++i) cpu::cpu_run(handle, nullptr, nullptr);

  cpu::CpuState& s = *state;
  std::vector<std::vector<double>> times(s.node_count);
  {
    ThreadCapScope cap(s.threads);
    for (int r = 0; r < runs; ++r) {
      for (uint64_t i = 0; i < s.node_count; ++i) {
        const cpu::CpuNode& node = s.nodes[i];
        const cpu::OpEntry* entry = cpu::cpu_op_entry(node.kind());
        const cpu::OpContext ctx{node, s.values, s.data, s.value_count, s.im2col, s.im2col_size};
        const double t0 = cpu::cpu_clock_seconds();
        entry->run(ctx);
        times[i].push_back((cpu::cpu_clock_seconds() - t0) * 1e3);
      }
    }
  }
  std::vector<std::pair<double, uint64_t>> order;
  double total = 0;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    std::sort(times[i].begin(), times[i].end());
    const double med = times[i][times[i].size() / 2];
    order.emplace_back(med, i);
    total += med;
  }
  // TOP 0 lists every node in graph order with its value ids, to read fusion patterns.
  if (top == 0) {
    for (uint64_t i = 0; i < s.node_count; ++i) {
      const cpu::CpuNode& node = s.nodes[i];
      std::printf("%4llu %-18s %8.3f", static_cast<unsigned long long>(i),
                  std::string(op_kind_name(node.kind())).c_str(), order[i].first);
      for (uint64_t k = 0; k < node.input_count(); ++k)
        std::printf(" in%llu=v%llu[%s]", static_cast<unsigned long long>(k),
                    static_cast<unsigned long long>(node.input(static_cast<uint32_t>(k))),
                    dims_text(s.values[node.input(static_cast<uint32_t>(k))]).c_str());
      std::printf(" -> v%llu\n", static_cast<unsigned long long>(node.output(0)));
    }
  }
  std::sort(order.rbegin(), order.rend());
  std::printf("total_ms %.3f over %llu nodes\n", total, static_cast<unsigned long long>(s.node_count));
  for (int j = 0; j < top && j < static_cast<int>(order.size()); ++j) {
    const cpu::CpuNode& node = s.nodes[order[j].second];
    std::string extra;
    if (node.kind() == static_cast<uint64_t>(OpKind::kConv)) {
      const cpu::ConvGeometry g =
          cpu::cpu_conv_node_geometry(node, s.values[node.input(0)], s.values[node.output(0)]);
      const double flops = 2.0 * g.c_out * g.oh * g.ow * (g.c_in / std::max(1, g.group)) * g.kh * g.kw;
      char buf[160];
      std::snprintf(buf, sizeof buf, " k=%dx%d s=%d g=%d act=%lld gflops=%.1f", g.kh, g.kw, g.sh,
                    g.group, static_cast<long long>(node.attr(cpu::kConvWordActivation)),
                    flops / (order[j].first * 1e6));
      extra = buf;
    }
    std::printf("node %4llu %-18s %8.3f %5.1f%% in=%s out=%s%s\n",
                static_cast<unsigned long long>(order[j].second),
                std::string(op_kind_name(node.kind())).c_str(), order[j].first,
                100.0 * order[j].first / total, dims_text(s.values[node.input(0)]).c_str(),
                dims_text(s.values[node.output(0)]).c_str(), extra.c_str());
  }
  cpu::cpu_state_destroy(handle);
  return 0;
}
