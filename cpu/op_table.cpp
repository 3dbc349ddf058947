#include "cpu/op_table.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>


namespace vexa::cpu {

// Operator families with a registrar; one line per family (see op_table.h).
#define VEXA_CPU_OP_FAMILIES(X) \
  X(eltwise)                    \
  X(unary)                      \
  X(gemm_conv)                  \
  X(pool_norm)                  \
  X(movement)                   \
  X(reduce)                     \
  X(resize)                     \
  X(detect)

#define VEXA_DECLARE_FAMILY(name) void register_##name##_ops(OpRegistry& registry);
VEXA_CPU_OP_FAMILIES(VEXA_DECLARE_FAMILY)
#undef VEXA_DECLARE_FAMILY

namespace {

constexpr const char* kEltwise = "eltwise";      // two-operand arithmetic, comparison, logic
constexpr const char* kUnary = "unary";          // one-operand maps, PRelu, Where, Clip, Cast
constexpr const char* kMovement = "movement";    // copies, concat/split, transpose, gathers, pad
constexpr const char* kReduce = "reduce";        // softmax, arg-max, reductions, cumsum, top-k
constexpr const char* kGemmConv = "gemm_conv";   // Gemm, MatMul, Conv, ConvTranspose
constexpr const char* kPoolNorm = "pool_norm";   // pooling, normalisation, erf, gelu
constexpr const char* kResize = "resize";        // resize, grid sampling, deformable unfold
constexpr const char* kDetect = "detect";        // detection operators
constexpr const char* kNone = nullptr;           // no case: refused at build

// Owner family of every kind, indexed by kind.
constexpr const char* kFamilyOfKind[] = {
    kNone,       // 0
    kEltwise,    // 1 Sub
    kEltwise,    // 2 Div
    kEltwise,    // 3 Add
    kEltwise,    // 4 Mul
    kGemmConv,   // 5 Conv
    kUnary,      // 6 Relu
    kPoolNorm,   // 7 MaxPool
    kPoolNorm,   // 8 GlobalAveragePool
    kMovement,   // 9 Flatten
    kGemmConv,   // 10 Gemm
    kUnary,      // 11 Sigmoid
    kUnary,      // 12 HardSigmoid
    kUnary,      // 13 HardSwish
    kMovement,   // 14 Transpose
    kPoolNorm,   // 15 LayerNormalization
    kGemmConv,   // 16 MatMul
    kPoolNorm,   // 17 Erf
    kUnary,      // 18 PRelu
    kPoolNorm,   // 19 BatchNormalization
    kMovement,   // 20 Concat
    kMovement,   // 21 Identity
    kPoolNorm,   // 22 InstanceNormalization
    kPoolNorm,   // 23 AveragePool
    kNone,       // 24 Shape
    kNone,       // 25 Reshape
    kUnary,      // 26 LeakyRelu
    kResize,     // 27 Resize
    kGemmConv,   // 28 ConvTranspose
    kReduce,     // 29 Softmax
    kUnary,      // 30 Clip
    kReduce,     // 31 ArgMax
    kPoolNorm,   // 32 Gelu
    kMovement,   // 33 Split
    kMovement,   // 34 Gather
    kNone,       // 35 Unsqueeze
    kMovement,   // 36 Slice
    kNone,       // 37 Squeeze
    kNone,       // 38 Pow
    kUnary,      // 39 Sqrt
    kReduce,     // 40 ReduceMean
    kEltwise,    // 41 Equal
    kUnary,      // 42 Where
    kMovement,   // 43 Expand
    kNone,       // 44 DynamicQuantizeLinear
    kUnary,      // 45 Exp
    kNone,       // 46 ConstantOfShape
    kReduce,     // 47 ReduceSum
    kUnary,      // 48 Tanh
    kNone,       // 49 DequantizeLinear
    kNone,       // 50 Range
    kEltwise,    // 51 Less
    kUnary,      // 52 Cos
    kUnary,      // 53 Sin
    kMovement,   // 54 DepthToSpace
    kMovement,   // 55 Pad
    kResize,     // 56 DeformUnfold
    kDetect,     // 57 DetrTopK
    kDetect,     // 58 MaskToBoxLogit
    kUnary,      // 59 Log
    kResize,     // 60 GridSample
    kUnary,      // 61 Abs
    kUnary,      // 62 Neg
    kUnary,      // 63 Floor
    kUnary,      // 64 Ceil
    kUnary,      // 65 Round
    kUnary,      // 66 Reciprocal
    kUnary,      // 67 Elu
    kUnary,      // 68 Selu
    kEltwise,    // 69 Max
    kEltwise,    // 70 Min
    kReduce,     // 71 ReduceMax
    kReduce,     // 72 ReduceMin
    kReduce,     // 73 ReduceProd
    kReduce,     // 74 CumSum
    kReduce,     // 75 TopK
    kMovement,   // 76 GatherND
    kMovement,   // 77 ScatterND
    kDetect,     // 78 NonMaxSuppression
    kMovement,   // 79 SpaceToDepth
    kEltwise,    // 80 Mod
    kEltwise,    // 81 Greater
    kUnary,      // 82 Not
    kEltwise,    // 83 And
    kEltwise,    // 84 Or
    kDetect,     // 85 YoloNms
    kNone,       // 86 OneHot
    kUnary,      // 87 Cast
};
static_assert(std::size(kFamilyOfKind) == kOpKindSlots &&
                  kOpKindSlots == static_cast<uint64_t>(OpKind::kCast) + 1,
              "the kind table must have one row per operator kind");

std::array<OpEntry, kOpKindSlots> g_entries;
std::once_flag g_entries_once;

void build_entries() {
#define VEXA_REGISTER_FAMILY(name) \
  {                                \
    OpRegistry registry(#name);    \
    register_##name##_ops(registry); \
  }
  VEXA_CPU_OP_FAMILIES(VEXA_REGISTER_FAMILY)
#undef VEXA_REGISTER_FAMILY
}

}  // namespace

void OpRegistry::add(uint64_t kind, OpCheckFn check, OpRunFn run, OpWorkspaceFn workspace) {
  const char* owner = kind < kOpKindSlots ? kFamilyOfKind[kind] : nullptr;
  if (owner == nullptr || std::strcmp(owner, family_) != 0 || check == nullptr || run == nullptr ||
      g_entries[kind].run != nullptr) {
    std::fprintf(stderr, "vexa: operator family %s cannot register kind %llu\n", family_,
                 static_cast<unsigned long long>(kind));
    std::abort();
  }
  g_entries[kind] = OpEntry{check, run, workspace};
}

const OpEntry* cpu_op_entry(uint64_t kind) {
  std::call_once(g_entries_once, build_entries);
  if (kind >= kOpKindSlots || g_entries[kind].run == nullptr) return nullptr;
  return &g_entries[kind];
}

const char* cpu_op_family(uint64_t kind) {
  return kind < kOpKindSlots ? kFamilyOfKind[kind] : nullptr;
}

bool cpu_supports_op(uint64_t kind) { return cpu_op_entry(kind) != nullptr; }

bool OpCheck::fail(const char* format, ...) const {
  if (message == nullptr || message_capacity == 0) return false;
  std::string_view name = op_kind_name(node.kind());
  int used = std::snprintf(message, message_capacity, "%.*s node: ", static_cast<int>(name.size()),
                           name.data());
  if (used < 0) used = 0;
  if (static_cast<uint64_t>(used) < message_capacity) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(message + used, message_capacity - used, format, args);
    va_end(args);
  }
  return false;
}

bool OpCheck::inputs_between(uint64_t min_count, uint64_t max_count) const {
  uint64_t n = node.input_count();
  if (n < min_count || n > max_count) {
    return fail("expects %llu to %llu inputs, has %llu", static_cast<unsigned long long>(min_count),
                static_cast<unsigned long long>(max_count), static_cast<unsigned long long>(n));
  }
  return true;
}

bool OpCheck::outputs_between(uint64_t min_count, uint64_t max_count) const {
  uint64_t n = node.output_count();
  if (n < min_count || n > max_count) {
    return fail("expects %llu to %llu outputs, has %llu", static_cast<unsigned long long>(min_count),
                static_cast<unsigned long long>(max_count), static_cast<unsigned long long>(n));
  }
  return true;
}

bool OpCheck::inputs_present(uint32_t count) const {
  for (uint32_t k = 0; k < count; ++k) {
    if (!has_input(k)) return fail("input %u is missing", k);
  }
  return true;
}

}  // namespace vexa::cpu
