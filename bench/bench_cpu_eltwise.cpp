// Element-wise kernels of the CPU engine beside a naive per-element broadcast loop on the same
// data in the same run. One line per case: our median, the reference median, their ratio.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "bench/bench_timing.h"
#include "cpu/op_table.h"
#include "platform/thread_pool.h"

namespace {

using vexa::cpu::CpuNode;
using vexa::cpu::CpuValue;
using vexa::cpu::OpContext;

constexpr int kRepeats = 15;

CpuValue make_value(const std::vector<uint64_t>& dims) {
  CpuValue v{};
  v.w[vexa::cpu::kValueWordKind] = vexa::cpu::kValueIntermediate;
  v.w[vexa::cpu::kValueWordDtype] = vexa::cpu::kDtypeF32;
  v.w[vexa::cpu::kValueWordRank] = dims.size();
  uint64_t n = 1;
  for (size_t i = 0; i < dims.size(); ++i) {
    v.w[vexa::cpu::kValueWordFirstDim + i] = dims[i];
    n *= dims[i];
  }
  v.w[vexa::cpu::kValueWordElementCount] = n;
  v.w[vexa::cpu::kValueWordByteSize] = 4 * n;
  return v;
}

using vexa::bench::median_ms;

// Naive reference: every output element decodes its index and looks both operands up.
void naive_binary(const std::vector<uint64_t>& sa, const float* a, const std::vector<uint64_t>& sb,
                  const float* b, const std::vector<uint64_t>& so, float* out, bool mul) {
  uint64_t n = 1;
  for (uint64_t d : so) n *= d;
  const size_t r = so.size();
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t rest = i, ia = 0, ib = 0, stride_a = 1, stride_b = 1;
    for (size_t k = 0; k < r; ++k) {
      const size_t ax = r - 1 - k;
      const uint64_t c = rest % so[ax];
      rest /= so[ax];
      if (k < sa.size()) {
        const uint64_t d = sa[sa.size() - 1 - k];
        if (d != 1) ia += c * stride_a;
        stride_a *= d;
      }
      if (k < sb.size()) {
        const uint64_t d = sb[sb.size() - 1 - k];
        if (d != 1) ib += c * stride_b;
        stride_b *= d;
      }
    }
    out[i] = mul ? a[ia] * b[ib] : a[ia] + b[ib];
  }
}

void bench_binary(const char* label, vexa::OpKind kind, const std::vector<uint64_t>& sa,
                  const std::vector<uint64_t>& sb, const std::vector<uint64_t>& so,
                  unsigned threads) {
  CpuValue values[3] = {make_value(sa), make_value(sb), make_value(so)};
  std::vector<float> a(values[0].element_count()), b(values[1].element_count()),
      out(values[2].element_count()), ref(values[2].element_count());
  for (size_t i = 0; i < a.size(); ++i) a[i] = std::sin(static_cast<float>(i));
  for (size_t i = 0; i < b.size(); ++i) b[i] = std::cos(static_cast<float>(i));
  float* data[3] = {a.data(), b.data(), out.data()};
  CpuNode node{};
  node.w[vexa::cpu::kNodeWordKind] = static_cast<uint64_t>(kind);
  node.w[vexa::cpu::kNodeWordInputCount] = 2;
  node.w[vexa::cpu::kNodeWordFirstInput] = 0;
  node.w[vexa::cpu::kNodeWordFirstInput + 1] = 1;
  node.w[vexa::cpu::kNodeWordOutputCount] = 1;
  node.w[vexa::cpu::kNodeWordFirstOutput] = 2;
  const OpContext ctx{node, values, data, 3, nullptr, 0};
  const vexa::cpu::OpEntry* entry = vexa::cpu::cpu_op_entry(static_cast<uint64_t>(kind));
  vexa::ThreadCapScope cap(threads);
  const double ours = median_ms(kRepeats, [&] { entry->run(ctx); });
  const bool mul = kind == vexa::OpKind::kMul;
  const double theirs =
      median_ms(kRepeats, [&] { naive_binary(sa, a.data(), sb, b.data(), so, ref.data(), mul); });
  const bool same = std::equal(out.begin(), out.end(), ref.begin());
  std::printf("%-44s threads=%-2u ours_ms=%8.3f naive_ms=%8.3f ratio=%6.2f %s\n", label, threads,
              ours, theirs, theirs / ours, same ? "same" : "DIFFERENT");
}

void bench_sigmoid(unsigned threads) {
  const uint64_t n = 1 << 20;
  CpuValue values[2] = {make_value({n}), make_value({n})};
  std::vector<float> x(n), y(n), ref(n);
  for (uint64_t i = 0; i < n; ++i) x[i] = std::sin(static_cast<float>(i)) * 8.0f;
  float* data[2] = {x.data(), y.data()};
  CpuNode node{};
  node.w[vexa::cpu::kNodeWordKind] = static_cast<uint64_t>(vexa::OpKind::kSigmoid);
  node.w[vexa::cpu::kNodeWordInputCount] = 1;
  node.w[vexa::cpu::kNodeWordOutputCount] = 1;
  node.w[vexa::cpu::kNodeWordFirstOutput] = 1;
  const OpContext ctx{node, values, data, 2, nullptr, 0};
  const auto* entry = vexa::cpu::cpu_op_entry(static_cast<uint64_t>(vexa::OpKind::kSigmoid));
  vexa::ThreadCapScope cap(threads);
  const double ours = median_ms(kRepeats, [&] { entry->run(ctx); });
  const double theirs = median_ms(kRepeats, [&] {
    for (uint64_t i = 0; i < n; ++i) ref[i] = 1.0f / (1.0f + std::exp(-x[i]));
  });
  std::printf("%-44s threads=%-2u ours_ms=%8.3f naive_ms=%8.3f ratio=%6.2f\n",
              "Sigmoid [1048576] vs expf loop", threads, ours, theirs, theirs / ours);
}

}  // namespace

int main() {
  const unsigned all = vexa::thread_pool_size();
  for (unsigned threads : {1u, all}) {
    bench_binary("Add [1,64,128,128] + same (parallel split)", vexa::OpKind::kAdd,
                 {1, 64, 128, 128}, {1, 64, 128, 128}, {1, 64, 128, 128}, threads);
    bench_binary("Add [1,64,128,128] + [1,64,1,1] (bias)", vexa::OpKind::kAdd, {1, 64, 128, 128},
                 {1, 64, 1, 1}, {1, 64, 128, 128}, threads);
    bench_binary("Mul [8,64,32,32] * [64,32,32]", vexa::OpKind::kMul, {8, 64, 32, 32},
                 {64, 32, 32}, {8, 64, 32, 32}, threads);
    bench_binary("Mul [64,1,512] * [1,64,512] (outer)", vexa::OpKind::kMul, {64, 1, 512},
                 {1, 64, 512}, {64, 64, 512}, threads);
    bench_sigmoid(threads);
  }
  return 0;
}
