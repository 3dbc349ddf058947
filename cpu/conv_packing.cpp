#include "cpu/conv_packing.h"

#include <cstdlib>
#include <vector>

#include "cpu/op_table.h"
#include "cpu/ops/conv_direct.h"
#include "cpu/ops/gemm_conv.h"

namespace vexa::cpu {

namespace {

constexpr uint64_t kPackAlignBytes = 64;

uint64_t round_up(uint64_t n) { return (n + kPackAlignBytes - 1) & ~(kPackAlignBytes - 1); }

bool is_conv(const CpuNode& n) { return n.kind() == static_cast<uint64_t>(OpKind::kConv); }

// The direct path's geometry of node n when it qualifies, with n the only reader of its
// weight.
bool direct_candidate(const CpuState& s, const std::vector<uint32_t>& readers, const CpuNode& n,
                      ConvGeometry* g) {
  if (!is_conv(n) || n.input_count() < 2 || n.output_count() < 1) return false;
  const uint64_t x = n.input(0), w = n.input(1), y = n.output(0);
  if (x >= s.value_count || w >= s.value_count || y >= s.value_count || readers[w] != 1)
    return false;
  const CpuValue& wv = s.values[w];
  if (wv.kind() != kValueWeight || wv.rank() != 4 || s.data[w] == nullptr ||
      s.values[x].rank() != 4 || s.values[y].rank() != 4)
    return false;
  *g = cpu_conv_node_geometry(n, s.values[x], s.values[y]);
  // The weight must hold exactly C_out x C_in x KH x KW floats, as the packing reads them.
  const uint64_t taps = static_cast<uint64_t>(g->c_in) * g->kh * g->kw;
  return cpu_conv_direct_eligible(*g) && wv.dim(0) == static_cast<uint64_t>(g->c_out) &&
         wv.element_count() == taps * static_cast<uint64_t>(g->c_out);
}

}  // namespace

void cpu_pack_conv_weights(CpuState& s, bool allowed) {
  for (uint64_t i = 0; i < s.node_count; ++i) {
    if (is_conv(s.nodes[i])) s.nodes[i].w[kConvWordDirect] = 0;
  }
  if (!allowed) return;
  std::vector<uint32_t> readers(s.value_count, 0);
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const CpuNode& n = s.nodes[i];
    for (uint32_t k = 0; k < n.input_count() && k < kMaxNodeInputs; ++k) {
      if (n.input(k) < s.value_count) ++readers[n.input(k)];
    }
  }
  uint64_t total = 0;
  ConvGeometry g;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    if (direct_candidate(s, readers, s.nodes[i], &g))
      total += round_up(kF32Bytes * cpu_conv_direct_weight_floats(g));
  }
  if (total == 0) return;
  auto* buffer = static_cast<uint8_t*>(std::aligned_alloc(kPackAlignBytes, total));
  if (buffer == nullptr) return;
  std::free(s.packed_weights);
  s.packed_weights = reinterpret_cast<float*>(buffer);
  s.packed_weights_size = total;
  uint64_t offset = 0;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    CpuNode& n = s.nodes[i];
    if (!direct_candidate(s, readers, n, &g)) continue;
    auto* packed = reinterpret_cast<float*>(buffer + offset);
    offset += round_up(kF32Bytes * cpu_conv_direct_weight_floats(g));
    cpu_conv_direct_pack(g, s.data[n.input(1)], packed);
    s.data[n.input(1)] = packed;
    n.w[kConvWordDirect] = 1;
  }
}

}  // namespace vexa::cpu
