// A single-operator (or short chain) harness for the CPU operator tests: values with their
// own storage, nodes, the build-time check of every node and a run through the op table with
// the workspace the entries ask for.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "cpu/op_table.h"
#include "cpu_records.h"

namespace vexa::cpu::optest {

using Dims = std::vector<uint64_t>;
using Attrs = std::vector<std::pair<uint32_t, uint64_t>>;

inline uint64_t count_of(const Dims& dims) {
  uint64_t n = 1;
  for (uint64_t d : dims) n *= d;
  return n;
}

// Row-major strides of a shape.
inline Dims strides_of(const Dims& dims) {
  Dims s(dims.size(), 1);
  for (int i = static_cast<int>(dims.size()) - 2; i >= 0; --i) s[i] = s[i + 1] * dims[i + 1];
  return s;
}

// Multi-index of flat position `flat` in a shape (last axis fastest).
inline Dims unflatten(uint64_t flat, const Dims& dims) {
  Dims idx(dims.size(), 0);
  for (int i = static_cast<int>(dims.size()) - 1; i >= 0; --i) {
    idx[i] = dims[i] == 0 ? 0 : flat % dims[i];
    flat = dims[i] == 0 ? 0 : flat / dims[i];
  }
  return idx;
}

inline uint64_t flatten(const Dims& idx, const Dims& dims) {
  uint64_t f = 0;
  for (size_t i = 0; i < dims.size(); ++i) f = f * dims[i] + idx[i];
  return f;
}

// Transpose by its definition: output index o reads input index i with i[perm[k]] = o[k].
inline std::vector<float> transpose_ref(const std::vector<float>& x, const Dims& in,
                                        const std::vector<uint32_t>& perm) {
  Dims out(in.size());
  for (size_t k = 0; k < in.size(); ++k) out[k] = in[perm[k]];
  std::vector<float> y(x.size());
  for (uint64_t f = 0; f < y.size(); ++f) {
    const Dims o = unflatten(f, out);
    Dims i(in.size());
    for (size_t k = 0; k < in.size(); ++k) i[perm[k]] = o[k];
    y[f] = x[flatten(i, in)];
  }
  return y;
}

// Deterministic values in [-1, 1).
inline std::vector<float> ramp(uint64_t n, uint32_t seed) {
  std::vector<float> v(n);
  uint32_t s = seed * 2654435761u + 97u;
  for (uint64_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    v[i] = static_cast<float>((s >> 9) & 0x3FFFu) / 8192.0f - 1.0f;
  }
  return v;
}

inline uint64_t f32_bits(float f) { return f32_word(f); }

class OpGraph {
 public:
  uint64_t value(uint64_t kind, const Dims& dims, std::vector<float> data = {}) {
    values_.push_back(test_records::f32_value_record(kind, dims));
    data.resize(count_of(dims), 0.0f);
    storage_.push_back(std::move(data));
    return values_.size() - 1;
  }
  // An activation holding the given data (an input of the node under test).
  uint64_t in(const Dims& dims, std::vector<float> data = {}) {
    return value(kValueIntermediate, dims, std::move(data));
  }
  uint64_t weight(const Dims& dims, std::vector<float> data) {
    return value(kValueWeight, dims, std::move(data));
  }
  uint64_t out(const Dims& dims) { return value(kValueGraphOutput, dims); }
  // A value with rank 0 and no storage.
  uint64_t sizeless() {
    CpuValue v{};
    v.w[kValueWordKind] = kValueIntermediate;
    v.w[kValueWordDtype] = kDtypeF32;
    values_.push_back(v);
    storage_.emplace_back();
    return values_.size() - 1;
  }

  CpuNode& node(OpKind kind, const std::vector<uint64_t>& inputs,
                const std::vector<uint64_t>& outputs, const Attrs& attrs = {}) {
    nodes_.push_back(test_records::node_record(kind, inputs, outputs, attrs));
    return nodes_.back();
  }

  std::vector<float>& data(uint64_t v) { return storage_[v]; }

  // Values without storage share one zero block, as in the engine; no operator may write it.
  bool zero_block_intact() const {
    for (float f : zeros_) {
      if (f != 0.0f) return false;
    }
    return true;
  }

  // Runs every node's build-time check; the first refusal's text lands in *message.
  bool check(std::string* message = nullptr) {
    bind();
    for (const CpuNode& n : nodes_) {
      const OpEntry* e = cpu_op_entry(n.kind());
      char text[256] = {};
      if (e == nullptr) {
        if (message) *message = "no entry";
        return false;
      }
      OpCheck c{n, values_.data(), values_.size(), text, sizeof text};
      if (!e->check(c)) {
        if (message) *message = text;
        return false;
      }
      if (e->workspace != nullptr) workspace_bytes_ = std::max(workspace_bytes_, e->workspace(c));
    }
    return true;
  }

  ::testing::AssertionResult run() {
    std::string message;
    workspace_bytes_ = 64;
    if (!check(&message)) return ::testing::AssertionFailure() << "refused: " << message;
    // Workspace garbage must not leak into results.
    std::vector<float> workspace(workspace_bytes_ / sizeof(float) + 1, 12345.0f);
    for (size_t i = 0; i < nodes_.size(); ++i) {
      OpContext ctx{nodes_[i], values_.data(), pointers_.data(), values_.size(), workspace.data(),
                    workspace_bytes_};
      if (!cpu_op_entry(nodes_[i].kind())->run(ctx)) {
        return ::testing::AssertionFailure() << "node " << i << " reported failure";
      }
    }
    return ::testing::AssertionSuccess();
  }

  // The op's run result without the check (for run-time refusals).
  bool run_unchecked() {
    bind();
    std::vector<float> workspace(1 << 16, 0.0f);
    for (const CpuNode& n : nodes_) {
      OpContext ctx{n, values_.data(), pointers_.data(), values_.size(), workspace.data(),
                    workspace.size() * sizeof(float)};
      if (!cpu_op_entry(n.kind())->run(ctx)) return false;
    }
    return true;
  }

 private:
  void bind() {
    pointers_.clear();
    for (auto& s : storage_) pointers_.push_back(s.empty() ? zeros_ : s.data());
  }

  std::vector<CpuValue> values_;
  std::vector<std::vector<float>> storage_;
  std::vector<float*> pointers_;
  std::vector<CpuNode> nodes_;
  uint64_t workspace_bytes_ = 64;
  float zeros_[16] = {};
};

// A graph the build-time check must refuse, with a reason given.
struct RefusedGraph {
  const char* what;
  void (*build)(OpGraph&);
};

inline void expect_all_refused(std::span<const RefusedGraph> cases) {
  for (const RefusedGraph& c : cases) {
    OpGraph g;
    c.build(g);
    std::string message;
    EXPECT_FALSE(g.check(&message)) << c.what;
    EXPECT_FALSE(message.empty()) << c.what;
  }
}

inline ::testing::AssertionResult same_floats(const std::vector<float>& got,
                                              const std::vector<float>& want, double tol = 0.0) {
  if (got.size() != want.size()) {
    return ::testing::AssertionFailure() << "size " << got.size() << " vs " << want.size();
  }
  for (size_t i = 0; i < got.size(); ++i) {
    const bool both_nan = got[i] != got[i] && want[i] != want[i];
    const double err = std::abs(static_cast<double>(got[i]) - want[i]);
    if (!both_nan && !(err <= tol * (1.0 + std::abs(static_cast<double>(want[i]))))) {
      return ::testing::AssertionFailure()
             << "element " << i << ": got " << got[i] << ", want " << want[i];
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace vexa::cpu::optest
