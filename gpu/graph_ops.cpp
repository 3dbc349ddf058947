// The kernel table and the shared helpers of the graph kernels.
#include "gpu/graph_ops.h"

#include <cstring>
#include <mutex>

#include "cpu/op_table.h"
#include "gpu/graph_ops_internal.h"
#include "platform/gemm.h"
#include "platform/thread_pool.h"

namespace vexa {

namespace {

using graph_ops::KernelPtr;

GraphKernelTable build_table() {
  GraphKernelTable t;
  t.factories.assign(kGraphOpKindCount, nullptr);
  auto set = [&](GraphOpKind k, GraphKernelFactory f) { t.factories[static_cast<uint32_t>(k)] = f; };
  for (GraphOpKind k : {GraphOpKind::kAdd, GraphOpKind::kSubtract, GraphOpKind::kMultiply,
                        GraphOpKind::kDivide, GraphOpKind::kMaximum, GraphOpKind::kMinimum,
                        GraphOpKind::kModulo, GraphOpKind::kEqual, GraphOpKind::kNotEqual,
                        GraphOpKind::kLess, GraphOpKind::kLessEqual, GraphOpKind::kGreater,
                        GraphOpKind::kGreaterEqual, GraphOpKind::kLogicalAnd,
                        GraphOpKind::kLogicalOr}) {
    set(k, graph_ops::make_binary);
  }
  for (GraphOpKind k : {GraphOpKind::kIdentity, GraphOpKind::kRelu, GraphOpKind::kSigmoid,
                        GraphOpKind::kErf, GraphOpKind::kSqrt, GraphOpKind::kExp,
                        GraphOpKind::kLog, GraphOpKind::kTanh, GraphOpKind::kSin,
                        GraphOpKind::kCos, GraphOpKind::kAbs, GraphOpKind::kNegative,
                        GraphOpKind::kFloor, GraphOpKind::kCeil, GraphOpKind::kRound,
                        GraphOpKind::kReciprocal, GraphOpKind::kTruncate,
                        GraphOpKind::kLogicalNot, GraphOpKind::kLeakyRelu}) {
    set(k, graph_ops::make_unary);
  }
  set(GraphOpKind::kClamp, graph_ops::make_clamp);
  set(GraphOpKind::kSelect, graph_ops::make_select);
  set(GraphOpKind::kCast, graph_ops::make_cast);
  for (GraphOpKind k : {GraphOpKind::kReshape, GraphOpKind::kPermute, GraphOpKind::kSlice,
                        GraphOpKind::kConcat, GraphOpKind::kBroadcast, GraphOpKind::kGather,
                        GraphOpKind::kScatterNd}) {
    set(k, graph_ops::make_movement);
  }
  set(GraphOpKind::kGatherAlongAxis, graph_ops::make_gather_along_axis);
  set(GraphOpKind::kResize, graph_ops::make_resize);
  for (GraphOpKind k : {GraphOpKind::kReduceSum, GraphOpKind::kReduceMean,
                        GraphOpKind::kReduceMax, GraphOpKind::kReduceMin,
                        GraphOpKind::kReduceProduct}) {
    set(k, graph_ops::make_reduction);
  }
  for (GraphOpKind k : {GraphOpKind::kArgMax, GraphOpKind::kSoftmax, GraphOpKind::kTopK}) {
    set(k, graph_ops::make_axis_op);
  }
  set(GraphOpKind::kMatMul, graph_ops::make_matmul);
  set(GraphOpKind::kConv2d, graph_ops::make_conv);
  set(GraphOpKind::kConvTranspose2d, graph_ops::make_conv_transpose);
  set(GraphOpKind::kMaxPool2d, graph_ops::make_pool);
  set(GraphOpKind::kAvgPool2d, graph_ops::make_pool);
  set(GraphOpKind::kAttention, graph_ops::make_attention);
  set(GraphOpKind::kFusedLayerNorm, graph_ops::make_layer_norm);
  set(GraphOpKind::kFusedGelu, graph_ops::make_gelu);
  set(GraphOpKind::kFusedScaledAdd, graph_ops::make_scaled_add);
  set(GraphOpKind::kFusedHardSigmoid, graph_ops::make_hard_sigmoid);
  set(GraphOpKind::kFusedHardSwish, graph_ops::make_hard_sigmoid);
  set(GraphOpKind::kFusedStoredMatMul, graph_ops::make_stored_matmul);
  return t;
}

}  // namespace

const GraphKernelTable& graph_ops_table() {
  static const GraphKernelTable table = build_table();
  return table;
}

void graph_ops_install() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Pays the GEMM libraries' start-up cost now rather than in the first run.
    gemm_warm_up();
    graph_install_kernels(&graph_ops_table());
  });
}

namespace graph_ops {

uint64_t elements_of(const Shape& s) {
  uint64_t n = 1;
  for (int64_t d : s) n *= static_cast<uint64_t>(d);
  return n;
}

uint64_t f32_bits(float f) { return cpu::f32_word(f); }

Shape axis_view(const Shape& s, uint32_t axis) {
  uint64_t outer = 1, inner = 1;
  for (uint32_t i = 0; i < axis; ++i) outer *= static_cast<uint64_t>(s[i]);
  for (size_t i = axis + 1; i < s.size(); ++i) inner *= static_cast<uint64_t>(s[i]);
  return {static_cast<int64_t>(outer), s[axis], static_cast<int64_t>(inner)};
}

BroadcastView broadcast_view(const Shape& out, const std::vector<Shape>& operands) {
  const size_t rank = out.size();
  // Right-aligned operand dims, dims where the output has extent 1 dropped.
  std::vector<Shape> ops(operands.size());
  Shape o;
  for (size_t i = 0; i < rank; ++i) {
    if (out[i] == 1) continue;
    o.push_back(out[i]);
    for (size_t k = 0; k < operands.size(); ++k) {
      const Shape& s = operands[k];
      const size_t from_end = rank - 1 - i;
      ops[k].push_back(from_end < s.size() ? s[s.size() - 1 - from_end] : 1);
    }
  }
  BroadcastView v;
  for (size_t i = 0; i < o.size(); ++i) {
    bool merge = !v.out.empty();
    for (size_t k = 0; k < ops.size() && merge; ++k) {
      const bool full_here = ops[k][i] == o[i];
      const bool full_before = v.operands[k].back() == v.out.back();
      merge = full_here == full_before;
    }
    if (merge) {
      v.out.back() *= o[i];
      for (size_t k = 0; k < ops.size(); ++k) {
        if (ops[k][i] == o[i]) v.operands[k].back() *= o[i];
      }
    } else {
      v.out.push_back(o[i]);
      v.operands.resize(ops.size());
      for (size_t k = 0; k < ops.size(); ++k) v.operands[k].push_back(ops[k][i]);
    }
  }
  v.operands.resize(ops.size());
  return v;
}

namespace {

constexpr uint64_t kSplitMinElements = 32768;
constexpr uint64_t kSplitPieces = 16;

struct SplitJob {
  uint64_t n;
  void (*fn)(void*, uint64_t, uint64_t);
  void* ctx;
};

void split_piece(void* ctx, size_t piece) {
  const SplitJob& job = *static_cast<const SplitJob*>(ctx);
  const uint64_t per = (job.n + kSplitPieces - 1) / kSplitPieces;
  const uint64_t begin = piece * per;
  if (begin < job.n) job.fn(job.ctx, begin, begin + per < job.n ? begin + per : job.n);
}

}  // namespace

void split_elements(uint64_t n, void (*fn)(void* ctx, uint64_t begin, uint64_t end), void* ctx) {
  if (n < kSplitMinElements) {
    if (n != 0) fn(ctx, 0, n);
    return;
  }
  SplitJob job{n, fn, ctx};
  parallel_apply(kSplitPieces, &job, split_piece);
}

// ---- CpuNodeCall ----

bool CpuNodeCall::prepare(OpKind kind, const std::vector<Shape>& inputs,
                          const std::vector<Shape>& outputs, const Words& words,
                          std::string* error) {
  values_.clear();
  node_ = cpu::CpuNode{};
  node_.w[cpu::kNodeWordKind] = static_cast<uint64_t>(kind);
  node_.w[cpu::kNodeWordInputCount] = inputs.size();
  node_.w[cpu::kNodeWordOutputCount] = outputs.size();
  if (inputs.size() > cpu::kMaxNodeInputs || outputs.size() > cpu::kMaxNodeOutputs) {
    *error = "too many operands for one kernel call";
    return false;
  }
  auto add_value = [&](const Shape& s) -> bool {
    if (s.size() > cpu::kMaxRank) {
      *error = "a tensor of rank " + std::to_string(s.size()) + " cannot be viewed with 6 dims";
      return false;
    }
    cpu::CpuValue v{};
    v.w[cpu::kValueWordKind] = cpu::kValueIntermediate;
    v.w[cpu::kValueWordDtype] = cpu::kDtypeF32;
    v.w[cpu::kValueWordRank] = s.size();
    for (size_t i = 0; i < s.size(); ++i) v.w[cpu::kValueWordFirstDim + i] = static_cast<uint64_t>(s[i]);
    v.w[cpu::kValueWordElementCount] = elements_of(s);
    v.w[cpu::kValueWordByteSize] = elements_of(s) * cpu::kF32Bytes;
    values_.push_back(v);
    return true;
  };
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (inputs[i] == kAbsentOperand) {
      node_.w[cpu::kNodeWordFirstInput + i] = cpu::kAbsentValue;
      continue;
    }
    node_.w[cpu::kNodeWordFirstInput + i] = values_.size();
    if (!add_value(inputs[i])) return false;
  }
  inputs_ = values_.size();
  for (size_t i = 0; i < outputs.size(); ++i) {
    node_.w[cpu::kNodeWordFirstOutput + i] = values_.size();
    if (!add_value(outputs[i])) return false;
  }
  for (const auto& [word, value] : words) node_.w[word] = value;
  const cpu::OpEntry* entry = cpu::cpu_op_entry(static_cast<uint64_t>(kind));
  if (entry == nullptr) {
    *error = "the CPU engine has no " + std::string(op_kind_name(static_cast<uint64_t>(kind))) +
             " kernel";
    return false;
  }
  char text[256] = {};
  const cpu::OpCheck check{node_, values_.data(), values_.size(), text, sizeof text};
  if (!entry->check(check)) {
    *error = text;
    return false;
  }
  workspace_bytes_ = entry->workspace != nullptr ? entry->workspace(check) : 0;
  data_.assign(values_.size(), nullptr);
  return true;
}

bool CpuNodeCall::run(const float* const* inputs, float* const* outputs, float* workspace) {
  // Operands in value order: present inputs, then outputs. Kernels only read inputs.
  uint64_t v = 0;
  const uint64_t in_count = node_.input_count();
  for (uint64_t i = 0; i < in_count; ++i) {
    if (node_.input(static_cast<uint32_t>(i)) == cpu::kAbsentValue) continue;
    data_[v++] = const_cast<float*>(inputs[i]);
  }
  for (uint64_t i = 0; v < values_.size(); ++i) data_[v++] = outputs[i];
  const cpu::OpEntry* entry = cpu::cpu_op_entry(node_.kind());
  const cpu::OpContext ctx{node_, values_.data(), data_.data(), values_.size(), workspace,
                           workspace_bytes_};
  return entry != nullptr && entry->run(ctx);
}

}  // namespace graph_ops
}  // namespace vexa
