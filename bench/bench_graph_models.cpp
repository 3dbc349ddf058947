// The graph library against the CPU engine on the same models: ResNet-50-, MobileNetV2- and
// ViT-S/16-shaped graphs with the same random weights and input, at one thread and at every
// thread of the pool. Each model is built as a container for the CPU engine and as a graph
// written the way the graph-model backend lowers container nodes (graph_twin_models.h); the
// graph runs through feeds and results dictionaries on a command queue.
//
//   bench_graph_models [RUNS] [MODEL] [THREADS] [SIDE]
//
// RUNS timed runs per side (9 by default); MODEL one of resnet50, mobilenet_v2, vit_s16 (all
// by default); THREADS one count instead of 1 and all; SIDE graph or cpu runs one side only, for
// a profiler.
//
// One line per model and thread count: our median, the CPU engine's median and their ratio, in
// wall time (with the fastest runs, least disturbed by other load) and in process CPU time (at one thread the work itself, however busy the machine;
// at more threads it also counts the pool's waiting), the largest difference between the two
// outputs, and the lengths of the two schedules. The sides run in turns, so both see the
// same minutes of a shared machine.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <time.h>

#include "bench/graph_twin_models.h"
#include "cpu/cpu_state.h"
#include "cpu/interpreter.h"
#include "gpu/graph_ops.h"
#include "platform/graph_executable.h"
#include "platform/software_device.h"
#include "platform/thread_pool.h"

namespace {

using namespace vexa;
using bench::Shape;
using bench::TwinBuilder;
using bench::TwinValue;

// ---- models ----

void resnet50(TwinBuilder& b) {
  TwinValue x = b.input({1, 3, 224, 224});
  x = b.relu(b.conv(x, 64, 7, 2, 3));
  x = b.max_pool(x, 3, 2, 1);
  const int64_t widths[4] = {64, 128, 256, 512};
  const int blocks[4] = {3, 4, 6, 3};
  for (int stage = 0; stage < 4; ++stage) {
    for (int i = 0; i < blocks[stage]; ++i) {
      const int64_t stride = stage > 0 && i == 0 ? 2 : 1;
      const int64_t w = widths[stage];
      TwinValue skip = x;
      if (i == 0) skip = b.conv(x, 4 * w, 1, stride, 0);
      TwinValue y = b.relu(b.conv(x, w, 1, 1, 0));
      y = b.relu(b.conv(y, w, 3, stride, 1));
      y = b.conv(y, 4 * w, 1, 1, 0);
      x = b.relu(b.add(y, skip));
    }
  }
  x = b.flatten(b.global_average_pool(x), {1, 2048});
  b.output(b.gemm(x, 1000));
}

void mobilenet_v2(TwinBuilder& b) {
  TwinValue x = b.input({1, 3, 224, 224});
  x = b.clip(b.conv(x, 32, 3, 2, 1), 0.0f, 6.0f);
  struct Stage {
    int64_t t, c, n, s;
  };
  const Stage stages[] = {{1, 16, 1, 1}, {6, 24, 2, 2}, {6, 32, 3, 2}, {6, 64, 4, 2},
                          {6, 96, 3, 1}, {6, 160, 3, 2}, {6, 320, 1, 1}};
  for (const Stage& st : stages) {
    for (int64_t i = 0; i < st.n; ++i) {
      const int64_t stride = i == 0 ? st.s : 1;
      const int64_t in = x.shape[1], hidden = in * st.t;
      TwinValue y = x;
      if (st.t != 1) y = b.clip(b.conv(y, hidden, 1, 1, 0), 0.0f, 6.0f);
      y = b.clip(b.conv(y, hidden, 3, stride, 1, hidden), 0.0f, 6.0f);
      y = b.conv(y, st.c, 1, 1, 0);
      x = stride == 1 && in == st.c ? b.add(y, x) : y;
    }
  }
  x = b.clip(b.conv(x, 1280, 1, 1, 0), 0.0f, 6.0f);
  x = b.flatten(b.global_average_pool(x), {1, 1280});
  b.output(b.gemm(x, 1000));
}

// ViT-S/16: 197 tokens of 384, 12 blocks of 6 heads, MLP 1536.
void vit_small(TwinBuilder& b) {
  const int64_t d = 384, heads = 6, hd = 64, tokens = 197, mlp = 1536;
  TwinValue x = b.input({1, 3, 224, 224});
  x = b.conv(x, d, 16, 16, 0);                              // [1, 384, 14, 14]
  x = b.transpose(b.flatten(x, {1, d, 196}), {0, 2, 1});    // [1, 196, 384]
  x = b.concat(b.weight({1, 1, d}, 0.02f), x, 1);           // [1, 197, 384]
  x = b.add(x, b.weight({1, tokens, d}, 0.02f));
  const TwinValue scale = b.weight_data({1}, {0.125f});
  auto linear = [&](const TwinValue& h, int64_t out) {
    const int64_t in = h.shape.back();
    return b.add(b.matmul(h, b.weight({in, out}, std::sqrt(1.0f / static_cast<float>(in)))),
                 b.weight({out}, 0.02f));
  };
  auto heads_of = [&](const TwinValue& h, const std::vector<int64_t>& perm) {
    return b.transpose(b.flatten(h, {1, tokens, heads, hd}), perm);
  };
  for (int layer = 0; layer < 12; ++layer) {
    TwinValue h = b.layer_norm(x, 1e-6f);
    TwinValue q = heads_of(linear(h, d), {0, 2, 1, 3});  // [1, 6, 197, 64]
    TwinValue k = heads_of(linear(h, d), {0, 2, 3, 1});  // [1, 6, 64, 197]
    TwinValue v = heads_of(linear(h, d), {0, 2, 1, 3});
    TwinValue p = b.softmax(b.mul(b.matmul(q, k), scale));
    TwinValue ctx = b.transpose(b.matmul(p, v), {0, 2, 1, 3});
    x = b.add(x, linear(b.flatten(ctx, {1, tokens, d}), d));
    h = b.layer_norm(x, 1e-6f);
    x = b.add(x, linear(b.gelu(linear(h, mlp)), d));
  }
  x = b.layer_norm(x, 1e-6f);
  x = b.flatten(b.slice(x, 1, 0, 1), {1, d});
  b.output(b.gemm(x, 1000));
}

// ---- timing ----

double now_ms() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// CPU seconds of the whole process, in milliseconds: with one thread, the work itself however
// often the machine preempts it.
double process_cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Options {
  int runs = 9;
  unsigned threads = 0;  // 0: one thread, then all
  bool graph = true, cpu = true;
};

int run_model(const char* name, void (*build)(TwinBuilder&), const Options& opt) {
  const int runs = opt.runs;
  TwinBuilder b(1234);
  build(b);
  Graph& g = b.graph();
  if (!g.ok()) {
    std::fprintf(stderr, "%s: graph: %s\n", name, g.error().c_str());
    return 1;
  }
  OpenContainer container{};
  std::vector<uint8_t> weight_bytes;
  std::string error;
  if (!b.open_container(&container, &weight_bytes, &error)) {
    std::fprintf(stderr, "%s: %s\n", name, error.c_str());
    return 1;
  }
  const uint64_t weight_size = std::max<uint64_t>(weight_bytes.size(), 1);
  auto* weights = static_cast<uint8_t*>(std::aligned_alloc(16384, (weight_size + 16383) / 16384 * 16384));
  std::memcpy(weights, weight_bytes.data(), weight_bytes.size());

  const Shape in_shape = b.input_value().shape, out_shape = b.output_value().shape;
  uint64_t in_n = 1, out_n = 1;
  for (int64_t v : in_shape) in_n *= static_cast<uint64_t>(v);
  for (int64_t v : out_shape) out_n *= static_cast<uint64_t>(v);
  std::vector<float> input(in_n);
  uint32_t s = 99;
  for (float& v : input) {
    s = s * 1664525u + 1013904223u;
    v = static_cast<float>((s >> 8) & 0xFFFF) / 32768.0f - 1.0f;
  }

  auto device = device_system_default();
  auto queue = device->new_command_queue();
  auto in_buffer = device->new_buffer(in_n * 4, StorageMode::kShared);
  auto out_buffer = device->new_buffer(out_n * 4, StorageMode::kShared);
  std::memcpy(in_buffer->contents(), input.data(), in_n * 4);
  const GraphTensorDataMap feeds = {
      {b.input_value().t, GraphTensorData(in_buffer, in_shape, DeviceDataType::kFloat32)}};
  const GraphTensorDataMap results = {
      {b.output_value().t, GraphTensorData(out_buffer, out_shape, DeviceDataType::kFloat32)}};

  // The compiled schedule's length, next to the CPU engine's fused node count.
  size_t steps = 0;
  {
    GraphShapedTypeMap types = {{b.input_value().t, {in_shape, DeviceDataType::kFloat32}}};
    auto exe = g.compile(GraphDevice(device), types, {b.output_value().t}, GraphCompilationDescriptor{},
                         &error);
    if (exe != nullptr) steps = exe->steps().size();
  }
  std::vector<unsigned> counts = {1u, thread_pool_size()};
  if (opt.threads != 0) counts = {opt.threads};
  for (unsigned threads : counts) {
    cpu::CpuBuildOptions options;
    options.threads = threads;
    cpu::CpuCreateResult created = cpu::cpu_state_create_with(&container, weights, options);
    if (created.tag != 0) {
      std::fprintf(stderr, "%s: cpu engine: %.*s\n", name,
                   static_cast<int>(cpu::cpu_create_message(created).size()),
                   cpu::cpu_create_message(created).data());
      cpu::cpu_create_result_release(&created);
      return 1;
    }
    cpu::CpuState* state = created.state;
    std::vector<float> cpu_out(out_n);
    std::vector<double> ours, theirs, ours_cpu, theirs_cpu;
    double cpu_ms = 0;  // process CPU time of the last run
    auto run_graph = [&]() -> double {
      const double t0 = now_ms(), c0 = process_cpu_ms();
      if (opt.graph) {
        ThreadCapScope cap(threads);
        if (!g.run(*queue, feeds, results, &error)) return -1.0;
      }
      cpu_ms = process_cpu_ms() - c0;
      return now_ms() - t0;
    };
    auto run_cpu = [&]() -> double {
      const double t0 = now_ms(), c0 = process_cpu_ms();
      if (opt.cpu && !cpu::cpu_run(&state, input.data(), cpu_out.data())) return -1.0;
      cpu_ms = process_cpu_ms() - c0;
      return now_ms() - t0;
    };
    for (int r = -2; r < runs; ++r) {
      // Turns alternate which side goes first, so neither always finds the other's data in
      // the caches.
      double a = 0, c = 0, a_cpu = 0, c_cpu = 0;
      if (r % 2 == 0) {
        a = run_graph();
        a_cpu = cpu_ms;
        c = run_cpu();
        c_cpu = cpu_ms;
      } else {
        c = run_cpu();
        c_cpu = cpu_ms;
        a = run_graph();
        a_cpu = cpu_ms;
      }
      if (a < 0 || c < 0) {
        std::fprintf(stderr, "%s: run failed: %s\n", name, a < 0 ? error.c_str() : "cpu engine");
        return 1;
      }
      if (r >= 0) {
        ours.push_back(a);
        theirs.push_back(c);
        ours_cpu.push_back(a_cpu);
        theirs_cpu.push_back(c_cpu);
      }
    }
    const float* got = static_cast<const float*>(out_buffer->contents());
    double diff = 0, scale = 0;
    for (uint64_t i = 0; i < out_n; ++i) {
      diff = std::max(diff, std::fabs(static_cast<double>(got[i]) - cpu_out[i]));
      scale = std::max(scale, std::fabs(static_cast<double>(cpu_out[i])));
    }
    const double a = median(ours), c = median(theirs);
    const double ac = median(ours_cpu), cc = median(theirs_cpu);
    const double amin = *std::min_element(ours.begin(), ours.end());
    const double cmin = *std::min_element(theirs.begin(), theirs.end());
    std::printf("%-13s threads %2u  graph %8.2f ms  cpu engine %8.2f ms  ratio %.3f  "
                "(fastest %.2f / %.2f ms, ratio %.3f; cpu time %.2f / %.2f ms, ratio %.3f)  "
                "max |diff| %.1e of %.1e  steps %zu / nodes %llu\n",
                name, threads, a, c, a / c, amin, cmin, amin / cmin, ac, cc, ac / cc, diff, scale,
                steps, static_cast<unsigned long long>(state->node_count));
    std::fflush(stdout);
    cpu::cpu_state_destroy(&state);
  }
  container_close(&container);
  std::free(weights);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (argc > 1) opt.runs = std::max(1, std::atoi(argv[1]));
  const std::string only = argc > 2 ? argv[2] : "";
  if (argc > 3) opt.threads = static_cast<unsigned>(std::max(0, std::atoi(argv[3])));
  if (argc > 4) {
    opt.graph = std::strcmp(argv[4], "cpu") != 0;
    opt.cpu = std::strcmp(argv[4], "graph") != 0;
  }
  vexa::graph_ops_install();
  int status = 0;
  struct Model {
    const char* name;
    void (*build)(TwinBuilder&);
  };
  for (const Model& m : {Model{"resnet50", resnet50}, Model{"mobilenet_v2", mobilenet_v2},
                         Model{"vit_s16", vit_small}}) {
    if (!only.empty() && only != m.name) continue;
    status |= run_model(m.name, m.build, opt);
  }
  return status;
}
