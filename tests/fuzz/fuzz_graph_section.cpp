// The generative graph executor under arbitrary metadata images: building a graph must refuse a
// bad section with its error and never crash, hang or read outside the image, at either
// activation precision. A graph it accepts is run once on small inputs (ids of two tokens, empty
// activations, empty caches shaped for their attention node), which must end in a result or an
// error, never a crash.
#include <cstdint>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>
#include <string>

#include "core/domain_error.h"
#include "gpu/gpu_context.h"
#include "gpu/vx_graph.h"

namespace {

// Weights any accepted section may view: 1 MiB of fixed, finite bytes.
constexpr uint64_t kWeightsBytes = uint64_t{1} << 20;
// Graphs larger than this are built but not run, so one input stays quick.
constexpr uint64_t kMaxRunNodes = 256;
constexpr uint64_t kMaxCacheDim = 256;

vexa::GpuContext* weights_context() {
  static vexa::GpuContext* context = [] {
    uint32_t code = 0;
    vexa::GpuContext* c = vexa::gpu_context_create(kWeightsBytes, &code);
    if (c != nullptr) {
      auto* bytes = static_cast<uint8_t*>(vexa::gpu_context_weights_contents(c));
      // Small halves and q8 scales near 0.01: nothing overflows whatever a section claims.
      for (uint64_t i = 0; i < kWeightsBytes; ++i) bytes[i] = static_cast<uint8_t>((i * 37) % 23);
    }
    return c;
  }();
  return context;
}

vexa::VXTensorPtr zeros(vexa::VXGraph& g, std::vector<uint64_t> shape, uint64_t dtype) {
  vexa::VXTensorPtr t = g.tensor(std::move(shape), dtype);
  std::memset(t->buffer->contents(), 0, t->buffer->length());
  return t;
}

void run_once(vexa::VXGraph& g) {
  if (g.nodes().size() > kMaxRunNodes) return;
  // Past caches get the [1, Hkv, 0, D] shape of the attention node that reads them.
  std::vector<std::vector<uint64_t>> shapes(g.rows().size());
  for (const vexa::VXNode& n : g.nodes()) {
    if (n.op != vexa::kVXOpAttention || n.attrs.size() != 4 || n.inputs.size() != 6) continue;
    if (n.attrs[1] == 0 || n.attrs[1] > kMaxCacheDim || n.attrs[2] > kMaxCacheDim) continue;
    shapes[n.inputs[4]] = shapes[n.inputs[5]] = {1, n.attrs[1], 0, n.attrs[2]};
    shapes[n.inputs[3]] = {1, 1, 0, 0};
  }
  vexa::VXTensorMap inputs;
  for (const auto& [name, id] : g.input_ids()) {
    if (g.rows()[id].dtype == vexa::kVXDtypeI64) {
      inputs[name] = zeros(g, {1, 2}, vexa::kVXDtypeI64);
    } else {
      inputs[name] = zeros(g, shapes[id].empty() ? std::vector<uint64_t>{0} : shapes[id], g.activation());
    }
  }
  g.set_cache_capacity(4);
  g.run(inputs, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vexa::GpuContext* context = weights_context();
  if (context == nullptr) return 0;
  for (uint64_t activation : {vexa::kVXActivationF16, vexa::kVXActivationF32}) {
    try {
      std::unique_ptr<vexa::VXGraph> g =
          vexa::VXGraph::init_with_context(context, data, size, activation);
      g->configure({{"backend", activation == vexa::kVXActivationF32 ? "auto" : "metal"}});
      run_once(*g);
    } catch (const vexa::DomainError&) {
    } catch (const std::bad_alloc&) {
    }
  }
  return 0;
}
