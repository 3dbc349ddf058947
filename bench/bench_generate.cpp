// Time to first token and decode speed of a generative request through the C API, beside the
// graph executor's own figures on the same model, prompt length and cache capacity, measured in
// the same run. The model is the SmolVLM-256M-sized text model of the test support (hidden 576,
// 30 layers, vocabulary 49,280; random weights), FP16 and mixed q8, FP16 activations, backend
// policy "auto", at 1 thread and at every thread of the pool.
//
//   bench_generate [decode steps (64)] [repeats (5)]
//
// Through the C API: a greedy request of one token (time to first token: request checks,
// tokenizing, inputs, prefill, sampling, answer), and the same request with 1 + steps tokens;
// decode tokens/s = steps / (the second's time - the first's). The session is reset before each
// request so no prompt prefix is reused. The executor: the prefill of as many tokens as the
// API's prompt had, then the decode steps feeding each greedy token back, caches reserved for
// the whole request as the generation loop reserves them. One difference stays by design: a
// request through the C API can be cancelled, so its prefill watches the session's cancel flag
// and the executor commits each layer group's work before encoding the next, where the
// executor side here, without a flag, encodes the whole prefill into one command buffer.
//
// Each "wall" row gives medians after a warm-up, all four requests timed in turns so that they
// see the same minutes of a shared machine, and each "min" row the fastest of those turns,
// which other processes on the machine disturb least; the 1-thread rows also give the calling
// thread's CPU time (everything runs on it there). Each "paired" row gives, for the ratio
// columns, the median over rounds of the ratio within one round (a round's four requests run
// back to back, so slow minutes of the machine cancel out) and the quartiles of those ratios.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
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
#include "vexa/vexa.h"

namespace {

using vexa::VXGraph;
using vexa::VXTensorMap;
using vexa::VXTensorPtr;

// About 100 prompt tokens once the chat template wraps it.
constexpr char kPrompt[] =
    "Summarise the following notes in one sentence. The meeting moved to Thursday because the "
    "venue was double booked; the budget review stays on Friday morning, and everyone should "
    "bring the quarterly figures, the staffing plan and any open questions about the audit.";

void die(const std::string& what) {
  std::fprintf(stderr, "bench_generate: %s\n", what.c_str());
  std::exit(1);
}

// The executor over its own copy of the weights, configured as a session configures it.
struct Executor {
  vexa::OpenContainer container{};
  vexa::WeightSlot slot{};
  std::unique_ptr<VXGraph> graph;
  vexa::testing::VlmTextShape shape;

  Executor(const std::string& path, const vexa::testing::VlmTextShape& text) : shape(text) {
    vexa::OpenResult r = vexa::container_open_path(path.c_str(), path.size());
    if (!r.ok()) die("open status " + std::to_string(r.status));
    container = r.container;
    vexa::WeightSlotResult s = vexa::weight_slot_alloc(container.weights_data_size, true);
    if (!s.ok()) die("weight slot");
    slot = s.slot;
    if (vexa::weights_load(&container, &slot, 8, false).failed) die("weights load");
    graph = VXGraph::init_with_context(slot.context, container.image, container.image_size,
                                       vexa::kVXActivationF16);
    graph->configure({{"backend", "auto"}});
  }
  ~Executor() {
    graph.reset();
    vexa::weight_slot_release(&slot);
    vexa::buffer_release(&slot);
    vexa::container_close(&container);
  }

  VXTensorPtr ids(const std::vector<int64_t>& v) {
    VXTensorPtr t = graph->tensor({1, v.size()}, vexa::kVXDtypeI64);
    std::memcpy(t->buffer->contents(), v.data(), v.size() * 8);
    return t;
  }

  int64_t argmax(const vexa::VXTensor& logits) {
    const auto* h = static_cast<const uint16_t*>(logits.buffer->contents()) + logits.offset / 2;
    const uint64_t vocab = logits.shape.back();
    const uint16_t* last = h + (logits.count - vocab);
    int64_t best = 0;
    float best_v = -INFINITY;
    for (uint64_t i = 0; i < vocab; ++i) {
      const float v = vexa::f16_widen(last[i]);
      if (v > best_v) best_v = v, best = static_cast<int64_t>(i);
    }
    return best;
  }

  VXTensorMap prefill_inputs(uint64_t tokens) {
    std::vector<int64_t> input(tokens), positions(tokens);
    for (uint64_t i = 0; i < tokens; ++i) {
      input[i] = static_cast<int64_t>((i * 7919) % 40000);
      positions[i] = static_cast<int64_t>(i);
    }
    VXTensorMap in{{"input_ids", ids(input)},
                   {"position_ids", ids(positions)},
                   {"text_attention_mask", graph->tensor({1, 1, 0, 0}, graph->activation())}};
    for (uint64_t i = 0; i < shape.layers; ++i) {
      for (const char* kind : {"past_key.", "past_value."}) {
        in[kind + std::to_string(i)] =
            graph->tensor({1, shape.kv_heads, 0, shape.head_dim}, graph->activation());
      }
    }
    return in;
  }

  // Prefill, then `steps` decode steps feeding each greedy token back.
  void request(const VXTensorMap& prefill, uint64_t steps) {
    // The API side resets its session before each request, which empties the buffer pool; start
    // from an empty pool here too, so both sides pay the same first allocations.
    graph->clear_pool();
    const uint64_t tokens = prefill.at("input_ids")->count;
    graph->set_cache_capacity(tokens + steps + 1);
    vexa::VXRunResult r = graph->run(prefill, nullptr);
    int64_t token = argmax(*r.logits);
    VXTensorMap in = prefill;
    for (uint64_t s = 0; s < steps; ++s) {
      graph->recycle(r.logits);
      for (const auto& [name, cache] : r.cache) in[name] = cache;
      in["input_ids"] = ids({token});
      in["position_ids"] = ids({static_cast<int64_t>(tokens + s)});
      r = graph->run(in, nullptr);
      graph->recycle(in["input_ids"]);
      graph->recycle(in["position_ids"]);
      token = argmax(*r.logits);
    }
    graph->recycle(r.logits);
  }
};

struct Session {
  vexa_session* s = nullptr;
  vexa_input* in = nullptr;
  vexa_output* out = nullptr;
  explicit Session(const std::string& path) {
    s = vexa_session_new(nullptr);
    vexa_session_set_activation_fp16(s, 1);
    if (vexa_session_open(s, path.data(), path.size()) != 1) {
      die(std::string("session open: ") +
          std::string(vexa_session_error_message_ptr(s), vexa_session_error_message_len(s)));
    }
    in = vexa_input_new();
    out = vexa_output_new();
    vexa_input_set_prompt(in, kPrompt, sizeof kPrompt - 1);
    vexa_input_set_temperature(in, 0.0f);
  }
  ~Session() {
    vexa_output_free(out);
    vexa_input_free(in);
    vexa_session_free(s);
  }
  // One request of `tokens` answer tokens on a session without a reusable prefix.
  void request(uint32_t tokens) {
    vexa_session_reset(s);
    vexa_input_set_max_tokens(in, tokens);
    if (vexa_session_run(s, in, out) != 1) {
      die(std::string("run: ") +
          std::string(vexa_session_error_message_ptr(s), vexa_session_error_message_len(s)));
    }
  }
};

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Medians of wall time and of the calling thread's CPU time, one call of each function per
// round after a warm-up round.
struct Timings {
  std::vector<double> wall, fastest, cpu;
  std::vector<std::vector<double>> rounds;  // per function, the wall time of every round
};
Timings time_in_turns(int rounds, const std::vector<std::function<void()>>& fns) {
  std::vector<std::vector<double>> wall(fns.size()), cpu(fns.size());
  for (int r = -1; r < rounds; ++r) {
    for (size_t i = 0; i < fns.size(); ++i) {
      const double c0 = thread_cpu_seconds();
      const double w = bench::seconds_of(fns[i]);
      const double c = thread_cpu_seconds() - c0;
      if (r < 0) continue;
      wall[i].push_back(w);
      cpu[i].push_back(c);
    }
  }
  Timings t;
  for (size_t i = 0; i < fns.size(); ++i) {
    t.wall.push_back(bench::median(wall[i]));
    t.fastest.push_back(*std::min_element(wall[i].begin(), wall[i].end()));
    t.cpu.push_back(bench::median(cpu[i]));
  }
  t.rounds = std::move(wall);
  return t;
}

// The value at fraction q of the sorted values (nearest rank).
double quantile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

// Per round: C API TTFT / executor TTFT, and C API decode tokens/s / executor decode tokens/s.
void print_paired(const char* weights, unsigned threads, uint32_t prompt, const Timings& t) {
  std::vector<double> ttft, decode;
  for (size_t r = 0; r < t.rounds[0].size(); ++r) {
    ttft.push_back(t.rounds[2][r] / t.rounds[0][r]);
    decode.push_back((t.rounds[1][r] - t.rounds[0][r]) / (t.rounds[3][r] - t.rounds[2][r]));
  }
  std::printf("%-7s %7u %6s %7u %13s %13s %6.3f %15s %16s %6.3f   quartiles %.3f-%.3f, "
              "%.3f-%.3f\n",
              weights, threads, "paired", prompt, "", "", bench::median(ttft), "", "",
              bench::median(decode), quantile(ttft, 0.25), quantile(ttft, 0.75),
              quantile(decode, 0.25), quantile(decode, 0.75));
}

void print_row(const char* weights, unsigned threads, uint32_t prompt, const char* clock,
               const std::vector<double>& t, uint64_t steps) {
  const double exec_ttft = t[0] * 1000.0;
  const double api_ttft = t[2] * 1000.0;
  const double exec_tps = static_cast<double>(steps) / (t[1] - t[0]);
  const double api_tps = static_cast<double>(steps) / (t[3] - t[2]);
  std::printf("%-7s %7u %6s %7u %13.1f %13.1f %6.3f %15.1f %16.1f %6.3f\n", weights, threads,
              clock, prompt, exec_ttft, api_ttft, api_ttft / exec_ttft, exec_tps, api_tps,
              api_tps / exec_tps);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t steps = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64;
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const unsigned all = vexa::thread_pool_size();
  vexa::gemm_warm_up();
  std::printf("CPU: %s, %u threads in the pool; %llu decode steps, FP16 activations, backend "
              "policy \"auto\"\n",
              bench::cpu_model().c_str(), all, static_cast<unsigned long long>(steps));
  std::printf("%-7s %7s %6s %7s %13s %13s %6s %15s %16s %6s\n", "weights", "threads", "clock",
              "prompt", "exec TTFT ms", "C API TTFT ms", "ratio", "exec decode t/s",
              "C API decode t/s", "ratio");
  for (auto weights : {vexa::testing::VlmWeights::fp16, vexa::testing::VlmWeights::mixed_q8}) {
    const vexa::testing::VlmModelDesc desc = vexa::testing::bench_text_desc(weights);
    vexa::testing::TempModelFile file;
    std::string error;
    if (!file.write(desc, &error)) die(error);
    Session api(file.path());
    api.request(1);
    const uint32_t prompt = vexa_output_prompt_tokens(api.out);
    api.request(static_cast<uint32_t>(steps + 1));
    if (vexa_output_generated_tokens(api.out) != steps + 1) {
      die("the answer ended after " + std::to_string(vexa_output_generated_tokens(api.out)) +
          " tokens; the decode figure needs all of them");
    }
    Executor exec(file.path(), desc.text);
    const VXTensorMap prefill = exec.prefill_inputs(prompt);
    for (unsigned threads : {1u, all}) {
      vexa::ThreadCapScope cap(threads);
      const Timings t = time_in_turns(
          repeats, {[&] { exec.request(prefill, 0); }, [&] { exec.request(prefill, steps); },
                    [&] { api.request(1); },
                    [&] { api.request(static_cast<uint32_t>(steps + 1)); }});
      const char* name = weights == vexa::testing::VlmWeights::fp16 ? "fp16" : "q8";
      print_row(name, threads, prompt, "wall", t.wall, steps);
      print_row(name, threads, prompt, "min", t.fastest, steps);
      if (threads == 1) print_row(name, threads, prompt, "cpu", t.cpu, steps);
      print_paired(name, threads, prompt, t);
      std::fflush(stdout);
    }
  }
  return 0;
}
