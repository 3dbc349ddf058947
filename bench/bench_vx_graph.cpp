// Prefill and decode speed of the generative graph executor on a text model sized like
// SmolVLM-256M's language part (hidden 576, 30 layers, 9 query / 3 key/value heads of 64, MLP
// 1536, vocabulary 49,280; random weights, FP16 and mixed q8), FP16 activations, at 1 thread and
// at every thread of the pool, beside two anchors measured in the same run:
//   - the decode roofline: the weight bytes one decode step reads over the triad bandwidth
//     (bench_stream.h), i.e. the tokens/s a step that only streamed its weights would reach;
//   - the GEMM wrapper's throughput on the prefill's linear shapes (f32 operands, weights packed
//     as the wrapper prefers), against which the prefill's linear FLOPs per second are set.
//
//   bench_vx_graph [prompt tokens (128)] [decode steps (32)] [repeats (5)] [--profile]
//                  [--backend auto|metal|mps|mpsgraph] [--weights fp16|q8] [--threads N]
//                  [--decode-only | --prefill-only | --checksum | --memory]
//                  [--activations f16|f32]
//
// One line per weight format and thread count, each followed by the bytes of whole weights the
// executor widened during one prefill (0 when every product reads its weights as stored).
// --memory instead loads one weight format (--weights, default fp16) and reports how far the
// peak resident memory of its first prefill rises above the loaded model. --profile adds where the time goes: each run
// once more with per-node timing, summed by op kind. --backend picks the configuration policy
// (default "metal", the custom kernels). --weights and --threads keep one weight format or one
// thread count; --decode-only and --prefill-only time decode steps or prefills alone (for a
// sampling profiler; decode-only also prints the mean encoding time of a step and the median
// and tenth-percentile step times). --checksum
// prints a hash of the bytes of the logits and caches of the prefill and of each decode step
// instead, at every thread count asked for, so two builds can be compared byte for byte.
// --activations f32 runs FP32 activations (default FP16). Medians after a warm-up, timed in
// turns.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/bench_stream.h"
#include "core/container.h"
#include "gpu/vx_graph.h"
#include "gpu/weight_slot.h"
#include "platform/gemm.h"
#include "platform/half.h"
#include "platform/thread_pool.h"
#include "tests/support/vlm_model.h"

namespace {

using vexa::VXGraph;
using vexa::VXTensorMap;
using vexa::VXTensorPtr;

struct Loaded {
  vexa::OpenContainer container{};
  vexa::WeightSlot slot{};
  std::unique_ptr<VXGraph> graph;
  vexa::testing::VlmModelDesc desc;
  uint64_t vocab = 0;
  uint64_t decode_bytes = 0;

  ~Loaded() {
    graph.reset();
    vexa::weight_slot_release(&slot);
    vexa::buffer_release(&slot);
    vexa::container_close(&container);
  }
};

void die(const std::string& what) {
  std::fprintf(stderr, "bench_vx_graph: %s\n", what.c_str());
  std::exit(1);
}

std::unique_ptr<Loaded> load(vexa::testing::VlmWeights weights, const std::string& backend,
                             uint64_t activation) {
  auto l = std::make_unique<Loaded>();
  l->desc = vexa::testing::bench_text_desc(weights);
  vexa::testing::TempModelFile file;
  std::string error;
  if (!file.write(l->desc, &error)) die(error);
  l->vocab = file.info().vocab;
  l->decode_bytes = file.info().decode_weight_bytes;
  vexa::OpenResult r = vexa::container_open_path(file.path().c_str(), file.path().size());
  if (!r.ok()) die("open status " + std::to_string(r.status));
  l->container = r.container;
  const uint64_t size = (l->container.weights_data_size + 16383) / 16384 * 16384;
  vexa::WeightSlotResult s = vexa::weight_slot_alloc(size, true);
  if (!s.ok()) die("weight slot");
  l->slot = s.slot;
  if (vexa::weights_load(&l->container, &l->slot, 8, false).failed) die("weights load");
  l->graph = VXGraph::init_with_context(l->slot.context, l->container.image,
                                        l->container.image_size, activation);
  l->graph->configure({{"backend", backend}});
  return l;
}

VXTensorPtr ids_tensor(VXGraph& g, const std::vector<int64_t>& ids) {
  VXTensorPtr t = g.tensor({1, ids.size()}, vexa::kVXDtypeI64);
  std::memcpy(t->buffer->contents(), ids.data(), ids.size() * 8);
  return t;
}

VXTensorMap prefill_inputs(Loaded& l, uint64_t tokens) {
  VXGraph& g = *l.graph;
  std::mt19937 rng(5);
  std::vector<int64_t> ids(tokens), positions(tokens);
  for (uint64_t i = 0; i < tokens; ++i) {
    ids[i] = static_cast<int64_t>(rng() % l.vocab);
    positions[i] = static_cast<int64_t>(i);
  }
  VXTensorMap in{{"input_ids", ids_tensor(g, ids)},
                 {"position_ids", ids_tensor(g, positions)},
                 {"text_attention_mask", g.tensor({1, 1, 0, 0}, g.activation())}};
  const vexa::testing::VlmTextShape& t = l.desc.text;
  for (uint64_t i = 0; i < t.layers; ++i) {
    in["past_key." + std::to_string(i)] = g.tensor({1, t.kv_heads, 0, t.head_dim}, g.activation());
    in["past_value." + std::to_string(i)] = g.tensor({1, t.kv_heads, 0, t.head_dim}, g.activation());
  }
  return in;
}

// FNV-1a over a tensor's bytes (a cache view row by row, at its stride).
uint64_t hash_bytes(const uint8_t* p, uint64_t n, uint64_t h) {
  for (uint64_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

uint64_t tensor_hash(const vexa::VXTensor& t, uint64_t h) {
  const auto* base = static_cast<const uint8_t*>(t.buffer->contents()) + t.offset;
  const uint64_t element = t.dtype == vexa::kVXDtypeF32 ? 4 : 2;
  if (t.cache_stride == 0 || t.shape.size() != 4) return hash_bytes(base, t.count * element, h);
  const uint64_t row = t.shape[3] * element;
  for (uint64_t bh = 0; bh < t.shape[0] * t.shape[1]; ++bh) {
    for (uint64_t p = 0; p < t.shape[2]; ++p) {
      h = hash_bytes(base + (bh * t.cache_stride + p) * row, row, h);
    }
  }
  return h;
}

uint64_t result_hash(const vexa::VXRunResult& r) {
  uint64_t h = tensor_hash(*r.logits, 14695981039346656037ull);
  for (const auto& [name, cache] : r.cache) h = tensor_hash(*cache, h);
  return h;
}

int64_t argmax(const vexa::VXTensor& logits) {
  const auto* base = static_cast<const uint8_t*>(logits.buffer->contents()) + logits.offset;
  int64_t best = 0;
  float best_v = -INFINITY;
  for (uint64_t i = 0; i < logits.count; ++i) {
    float v;
    if (logits.dtype == vexa::kVXDtypeF32) {
      std::memcpy(&v, base + i * 4, 4);
    } else {
      uint16_t h;
      std::memcpy(&h, base + i * 2, 2);
      v = vexa::f16_widen(h);
    }
    if (v > best_v) best_v = v, best = static_cast<int64_t>(i);
  }
  return best;
}

// Encoding time of the decode steps run so far (milliseconds, steps), for the --decode-only line.
double g_decode_encode_ms = 0;
uint64_t g_decode_encode_steps = 0;
// Wall time of each decode step run so far (seconds), for the --decode-only line: on a shared
// machine the fast steps tell more than the mean.
std::vector<double> g_decode_step_seconds;

// `steps` greedy decode steps after a prefill whose result is `start`, feeding the caches back.
// The caches have room for every step, so each call appends in place over the same positions.
void decode(Loaded& l, const VXTensorMap& prefill, const vexa::VXRunResult& start, uint64_t steps) {
  VXGraph& g = *l.graph;
  const uint64_t tokens = prefill.at("input_ids")->count;
  int64_t token = argmax(*start.logits);
  VXTensorMap in = prefill;
  for (const auto& [name, cache] : start.cache) in[name] = cache;
  for (uint64_t s = 0; s < steps; ++s) {
    in["input_ids"] = ids_tensor(g, {token});
    in["position_ids"] = ids_tensor(g, {static_cast<int64_t>(tokens + s)});
    const auto step_start = std::chrono::steady_clock::now();
    vexa::VXRunResult r = g.run(in, nullptr);
    g_decode_step_seconds.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - step_start).count());
    g_decode_encode_ms += g.last_encode_ms();
    ++g_decode_encode_steps;
    g.recycle(in["input_ids"]);
    g.recycle(in["position_ids"]);
    token = argmax(*r.logits);
    g.recycle(r.logits);
    for (const auto& [name, cache] : r.cache) in[name] = cache;
  }
}

// The prefill's linear products of one layer at M rows: (N, K) pairs.
const std::vector<std::pair<uint64_t, uint64_t>> layer_shapes(const vexa::testing::VlmTextShape& t) {
  const uint64_t q = t.heads * t.head_dim, kv = t.kv_heads * t.head_dim;
  return {{q, t.hidden}, {kv, t.hidden}, {kv, t.hidden}, {t.hidden, q},
          {t.mlp, t.hidden}, {t.mlp, t.hidden}, {t.hidden, t.mlp}};
}

double layer_flops(const vexa::testing::VlmTextShape& t, uint64_t m) {
  double f = 0;
  for (auto [n, k] : layer_shapes(t)) f += 2.0 * m * n * k;
  return f;
}

// One layer's prefill products through the GEMM wrapper: f32 operands, weights packed as it
// prefers.
struct LayerGemm {
  struct Product {
    std::vector<float> a, b, c;
    uint64_t n, k;
    bool packed;
  };
  std::vector<Product> products;
  uint64_t m;

  LayerGemm(const vexa::testing::VlmTextShape& t, uint64_t rows) : m(rows) {
    for (auto [n, k] : layer_shapes(t)) {
      products.push_back({std::vector<float>(m * k, 0.01f), std::vector<float>(n * k, 0.02f),
                          std::vector<float>(m * n), n, k,
                          vexa::gemm_prefers_untransposed_b(m, n, k)});
    }
  }
  void run() {
    for (Product& p : products) {
      const int64_t M = m, N = p.n, K = p.k;
      vexa::gemm_f32(false, !p.packed, M, N, K, 1.0f, p.a.data(), K, p.b.data(), p.packed ? N : K,
                     0.0f, p.c.data(), N);
    }
  }
};

const char* op_name(uint64_t op) {
  static const char* names[] = {"?",    "embedding", "patch", "add",       "linear",
                                "layernorm", "rmsnorm", "gelu", "silu", "multiply",
                                "attention", "rope",  "shuffle", "scatter"};
  return op < 14 ? names[op] : "?";
}

// Resident set sizes from /proc/self/status, in bytes ("VmRSS:", "VmHWM:"); 0 when unreadable.
uint64_t status_bytes(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  uint64_t kb = 0;
  const size_t len = std::strlen(key);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, key, len) == 0) kb = std::strtoull(line + len, nullptr, 10);
  }
  std::fclose(f);
  return kb * 1024;
}

// --memory: a fresh process loads one model and runs its first prefill on every thread; how far
// the peak resident set rises above the loaded model, beside what the executor holds afterwards
// (activation and cache buffers) and the rest (per-thread blocks of the products, libraries'
// scratch). In a process that ran another model first, freed memory would be reused unseen.
void report_prefill_memory(vexa::testing::VlmWeights weights, const std::string& backend,
                           uint64_t activation, uint64_t tokens) {
  const uint64_t start = status_bytes("VmRSS:");
  std::unique_ptr<Loaded> l = load(weights, backend, activation);
  l->graph->set_cache_capacity(tokens);
  const VXTensorMap prefill = prefill_inputs(*l, tokens);
  FILE* reset = std::fopen("/proc/self/clear_refs", "w");
  if (reset == nullptr) die("cannot reset the peak resident set");
  std::fputs("5", reset);  // the peak starts again from the current resident set
  std::fclose(reset);
  const uint64_t loaded = status_bytes("VmRSS:");
  const uint64_t device_before = l->graph->device()->current_allocated_size();
  l->graph->run(prefill, nullptr);
  const uint64_t peak = status_bytes("VmHWM:");
  const uint64_t device = l->graph->device()->current_allocated_size() - device_before;
  const double mb = 1e6;
  std::printf("%-7s memory of the first %llu-token prefill at %u threads: weights %.1f MB; "
              "resident %.1f MB before loading, %.1f MB loaded, %.1f MB at the peak: %.1f MB "
              "above the loaded model, of which device buffers (activations, caches) %.1f MB "
              "and the rest (per-thread blocks, library scratch) %.1f MB\n",
              weights == vexa::testing::VlmWeights::fp16 ? "fp16" : "q8",
              static_cast<unsigned long long>(tokens), vexa::parallel_thread_budget(),
              static_cast<double>(l->slot.size) / mb, static_cast<double>(start) / mb,
              static_cast<double>(loaded) / mb, static_cast<double>(peak) / mb,
              static_cast<double>(peak - loaded) / mb, static_cast<double>(device) / mb,
              (static_cast<double>(peak - loaded) - static_cast<double>(device)) / mb);
}

void print_profile(VXGraph& g, const char* what) {
  std::map<std::string, double> by_op;
  double total = 0;
  for (const vexa::VXProfileRecord& r : g.last_profile()) {
    by_op[op_name(r.op)] += r.gpu_ms;
    total += r.gpu_ms;
  }
  std::printf("    %s: %.2f ms on the device, %.2f ms encoding:", what, total, g.last_encode_ms());
  for (const auto& [op, ms] : by_op) std::printf(" %s %.2f (%.0f%%)", op.c_str(), ms, 100 * ms / total);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool profile = std::find(args.begin(), args.end(), "--profile") != args.end();
  args.erase(std::remove(args.begin(), args.end(), "--profile"), args.end());
  std::string backend = "metal";
  auto b = std::find(args.begin(), args.end(), "--backend");
  if (b != args.end() && b + 1 != args.end()) {
    backend = *(b + 1);
    args.erase(b, b + 2);
  }
  auto option = [&](const char* name) -> std::string {
    auto it = std::find(args.begin(), args.end(), name);
    if (it == args.end() || it + 1 == args.end()) return {};
    std::string value = *(it + 1);
    args.erase(it, it + 2);
    return value;
  };
  const std::string only_weights = option("--weights");
  const std::string only_threads = option("--threads");
  const bool f32 = option("--activations") == "f32";
  auto flag = [&](const char* name) {
    const bool present = std::find(args.begin(), args.end(), name) != args.end();
    args.erase(std::remove(args.begin(), args.end(), name), args.end());
    return present;
  };
  const bool decode_only = flag("--decode-only");
  const bool prefill_only = flag("--prefill-only");
  const bool checksum = flag("--checksum");
  const bool memory = flag("--memory");
  const uint64_t tokens = args.size() > 0 ? std::strtoull(args[0].c_str(), nullptr, 10) : 128;
  const uint64_t steps = args.size() > 1 ? std::strtoull(args[1].c_str(), nullptr, 10) : 32;
  const int repeats = args.size() > 2 ? std::max(1, std::atoi(args[2].c_str())) : 5;
  const unsigned all = vexa::thread_pool_size();
  vexa::gemm_warm_up();
  std::printf("CPU: %s, %u threads in the pool; prompt %llu tokens, %llu decode steps, %s "
              "activations, backend policy \"%s\"\n",
              bench::cpu_model().c_str(), all, static_cast<unsigned long long>(tokens),
              static_cast<unsigned long long>(steps), f32 ? "FP32" : "FP16", backend.c_str());
  if (memory) {
    vexa::ThreadCapScope cap(only_threads.empty() ? all : static_cast<unsigned>(std::max(1, std::atoi(only_threads.c_str()))));
    report_prefill_memory(only_weights == "q8" ? vexa::testing::VlmWeights::mixed_q8
                                               : vexa::testing::VlmWeights::fp16,
                          backend, f32 ? vexa::kVXActivationF32 : vexa::kVXActivationF16, tokens);
    return 0;
  }
  bench::Stream stream;
  std::vector<unsigned> counts = {1, all};
  if (!only_threads.empty()) {
    counts = {static_cast<unsigned>(std::max(1, std::atoi(only_threads.c_str())))};
  }
  std::printf("%-7s %7s %12s %11s %10s %12s %6s %10s %12s %6s\n", "weights", "threads",
              "prefill t/s", "decode t/s", "triad GB/s", "roofline t/s", "%roof", "gemm GF/s",
              "prefill GF/s", "%gemm");
  for (auto weights : {vexa::testing::VlmWeights::fp16, vexa::testing::VlmWeights::mixed_q8}) {
    if (!only_weights.empty() &&
        only_weights != (weights == vexa::testing::VlmWeights::fp16 ? "fp16" : "q8")) {
      continue;
    }
    std::unique_ptr<Loaded> l =
        load(weights, backend, f32 ? vexa::kVXActivationF32 : vexa::kVXActivationF16);
    const vexa::testing::VlmTextShape& shape = l->desc.text;
    const double flops = layer_flops(shape, tokens) * static_cast<double>(shape.layers);
    l->graph->set_cache_capacity(tokens + steps);
    LayerGemm gemm(shape, tokens);
    const VXTensorMap prefill = prefill_inputs(*l, tokens);
    for (unsigned threads : counts) {
      vexa::ThreadCapScope cap(threads);
      const uint64_t widened_before = l->graph->widened_weight_bytes();
      const vexa::VXRunResult start = l->graph->run(prefill, nullptr);
      const uint64_t widened = l->graph->widened_weight_bytes() - widened_before;
      if (checksum) {
        std::printf("%-7s %7u prefill %016llx",
                    weights == vexa::testing::VlmWeights::fp16 ? "fp16" : "q8", threads,
                    static_cast<unsigned long long>(result_hash(start)));
        VXTensorMap in = prefill;
        for (const auto& [name, cache] : start.cache) in[name] = cache;
        int64_t token = argmax(*start.logits);
        for (uint64_t s = 0; s < steps; ++s) {
          in["input_ids"] = ids_tensor(*l->graph, {token});
          in["position_ids"] = ids_tensor(*l->graph, {static_cast<int64_t>(tokens + s)});
          const vexa::VXRunResult r = l->graph->run(in, nullptr);
          std::printf(" %016llx", static_cast<unsigned long long>(result_hash(r)));
          token = argmax(*r.logits);
          for (const auto& [name, cache] : r.cache) in[name] = cache;
        }
        std::printf("\n");
        continue;
      }
      if (decode_only || prefill_only) {
        l->graph->set_profile(profile);
        g_decode_encode_ms = 0;
        g_decode_encode_steps = 0;
        g_decode_step_seconds.clear();
        const std::vector<double> s = bench::median_seconds_in_turns(
            repeats, {[&] {
              if (decode_only) {
                decode(*l, prefill, start, steps);
              } else {
                l->graph->run(prefill, nullptr);
              }
            }});
        std::printf("%-7s %7u %s only: %.1f t/s",
                    weights == vexa::testing::VlmWeights::fp16 ? "fp16" : "q8", threads,
                    decode_only ? "decode" : "prefill",
                    static_cast<double>(decode_only ? steps : tokens) / s[0]);
        if (decode_only && g_decode_encode_steps != 0) {
          std::printf(", %.3f ms encoding per step (mean)",
                      g_decode_encode_ms / static_cast<double>(g_decode_encode_steps));
          std::vector<double>& t = g_decode_step_seconds;
          std::sort(t.begin(), t.end());
          std::printf("; step %.3f ms median, %.3f ms tenth percentile", t[t.size() / 2] * 1e3,
                      t[t.size() / 10] * 1e3);
        }
        std::printf("\n");
        l->graph->set_profile(false);
        continue;
      }
      // Timed in turns: the executor's prefill and decode steps, the wrapper's layer products
      // and the triad see the same minutes of a shared machine.
      const std::vector<double> s = bench::median_seconds_in_turns(
          repeats, {[&] { l->graph->run(prefill, nullptr); },
                    [&] { decode(*l, prefill, start, steps); }, [&] { gemm.run(); },
                    [&] { stream.triad(); }});
      const double decode_tps = static_cast<double>(steps) / s[1];
      const double triad_gbs = bench::Stream::triad_bytes() / s[3] / 1e9;
      const double roofline = triad_gbs * 1e9 / static_cast<double>(l->decode_bytes);
      const double gemm_gflops = layer_flops(shape, tokens) / s[2] / 1e9;
      const double prefill_gflops = flops / s[0] / 1e9;
      std::printf("%-7s %7u %12.1f %11.1f %10.1f %12.1f %5.0f%% %10.1f %12.1f %5.0f%%\n",
                  weights == vexa::testing::VlmWeights::fp16 ? "fp16" : "q8", threads,
                  static_cast<double>(tokens) / s[0], decode_tps, triad_gbs, roofline,
                  100 * decode_tps / roofline, gemm_gflops, prefill_gflops,
                  100 * prefill_gflops / gemm_gflops);
      std::printf("    weights widened per prefill: %llu bytes\n",
                  static_cast<unsigned long long>(widened));
      decode(*l, prefill, start, 1);
      std::printf("    one decode step: %.2f ms encoding, %.2f ms on the device\n",
                  l->graph->last_encode_ms(), l->graph->last_gpu_ms());
      std::fflush(stdout);
      if (profile) {
        l->graph->set_profile(true);
        vexa::VXRunResult r = l->graph->run(prefill, nullptr);
        print_profile(*l->graph, "prefill");
        decode(*l, prefill, r, 1);
        print_profile(*l->graph, "decode ");
        l->graph->set_profile(false);
      }
    }
    std::printf("  decode reads %.1f MB of weights per token\n",
                static_cast<double>(l->decode_bytes) / 1e6);
  }
  return 0;
}
