#include "tools/fold.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "tools/onnx_lower.h"
#include "tools/shape_infer.h"

namespace vexa::tools {

namespace {

// Convert-time constants are bounded well below the tensor cap: they hold shapes, masks and
// small tables, and every element is materialised in memory during conversion.
constexpr uint64_t kMaxFoldElements = uint64_t{1} << 22;
constexpr uint64_t kSmallConstantElements = 64;
// Floats at or beyond this magnitude have no int64 value; converting them would be undefined.
constexpr float kI64ConvertibleLimit = 9.2e18f;
constexpr int64_t kOnnxToFloat = 1, kOnnxToFloat16 = 10, kOnnxToDouble = 11, kOnnxToBfloat16 = 16;
constexpr int64_t kOnnxToBool = 9;

uint64_t k(OpKind kind) { return static_cast<uint64_t>(kind); }

bool present(const GraphNode& n, uint64_t i) {
  return i < n.input_count && n.inputs[i] != kAbsentInput;
}

FoldResult fail(BuilderState& s, uint32_t code, std::string detail = "") {
  s.fold_failure = code;
  if (!detail.empty()) s.detail = std::move(detail);
  return kFoldError;
}

std::string node_label(const BuilderState& s, uint64_t node) {
  return std::string(op_kind_name(s.nodes[node].op_kind)) + " '" +
         std::string(s.extras[node].name) + "'";
}

int64_t wrap_add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
int64_t wrap_sub(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
int64_t wrap_mul(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}

// Integer power by squaring, wrapping like the other integer arithmetic. A negative exponent
// gives the truncated value of 1 / a^|b|.
int64_t int_pow(int64_t a, int64_t b) {
  if (b < 0) {
    if (a == 1) return 1;
    if (a == -1) return (b & 1) != 0 ? -1 : 1;
    return 0;
  }
  int64_t result = 1;
  int64_t base = a;
  uint64_t e = static_cast<uint64_t>(b);
  while (e != 0) {
    if ((e & 1) != 0) result = wrap_mul(result, base);
    base = wrap_mul(base, base);
    e >>= 1;
  }
  return result;
}

bool out_count(uint64_t rank, const uint64_t* dims, uint64_t& count) {
  return builder_element_count(rank, dims, count) && count <= kMaxFoldElements;
}

// Data and dims agree (every producer keeps them so; checked before indexing).
bool consistent(const BuilderValue& v) {
  uint64_t count = 0;
  return builder_element_count(v.rank, v.dims, count) &&
         v.data_bytes == count * builder_type_bytes(v.dtype);
}

}  // namespace

uint64_t const_count(const BuilderValue& v) { return v.data_bytes / builder_type_bytes(v.dtype); }

bool const_ints(const BuilderValue& v, std::vector<int64_t>& out) {
  if (!v.has_data) return false;
  const uint64_t n = const_count(v);
  out.resize(n);
  for (uint64_t i = 0; i < n; ++i) {
    if (v.dtype == kTypeI64) {
      std::memcpy(&out[i], v.data + i * 8, 8);
    } else {
      float f;
      std::memcpy(&f, v.data + i * 4, 4);
      if (!std::isfinite(f) || std::fabs(f) >= kI64ConvertibleLimit) return false;
      out[i] = static_cast<int64_t>(f);
    }
  }
  return true;
}

bool const_floats(const BuilderValue& v, std::vector<float>& out) {
  if (!v.has_data) return false;
  const uint64_t n = const_count(v);
  out.resize(n);
  for (uint64_t i = 0; i < n; ++i) {
    if (v.dtype == kTypeI64) {
      int64_t x;
      std::memcpy(&x, v.data + i * 8, 8);
      out[i] = static_cast<float>(x);
    } else {
      std::memcpy(&out[i], v.data + i * 4, 4);
    }
  }
  return true;
}

void alloc_const_i64(BuilderValue& v, uint64_t rank, const uint64_t* dims,
                     const std::vector<int64_t>& data) {
  std::vector<uint8_t> bytes(data.size() * 8);
  if (!data.empty()) std::memcpy(bytes.data(), data.data(), bytes.size());
  builder_set_owned(v, std::move(bytes));
  v.dtype = kTypeI64;
  v.rank = rank;
  for (uint64_t i = 0; i < kMaxRank; ++i) v.dims[i] = i < rank ? dims[i] : 0;
  v.known = true;
}

void alloc_const_f32(BuilderValue& v, uint64_t rank, const uint64_t* dims,
                     const std::vector<float>& data) {
  std::vector<uint8_t> bytes(data.size() * 4);
  if (!data.empty()) std::memcpy(bytes.data(), data.data(), bytes.size());
  builder_set_owned(v, std::move(bytes));
  v.dtype = kTypeF32;
  v.rank = rank;
  for (uint64_t i = 0; i < kMaxRank; ++i) v.dims[i] = i < rank ? dims[i] : 0;
  v.known = true;
}

// Strides of a packed row-major tensor, in elements.
void row_major_strides(uint64_t rank, const uint64_t* dims, uint64_t* strides) {
  uint64_t stride = 1;
  for (uint64_t j = rank; j-- > 0;) {
    strides[j] = stride;
    stride *= dims[j];
  }
}

template <typename T>
bool take_elements(const std::vector<T>& v, const std::vector<uint64_t>& src, std::vector<T>& r) {
  r.resize(src.size());
  for (size_t i = 0; i < src.size(); ++i) {
    if (src[i] >= v.size()) return false;
    r[i] = v[src[i]];
  }
  return true;
}

// out becomes the constant whose element i is element src[i] of a (Transpose, Gather, Slice,
// Expand and Tile all fold this way); false when an index falls outside a.
bool take_const(const BuilderValue& a, const std::vector<uint64_t>& src, uint64_t rank,
                const uint64_t* dims, BuilderValue& out) {
  if (a.dtype == kTypeI64) {
    std::vector<int64_t> v, r;
    const_ints(a, v);
    if (!take_elements(v, src, r)) return false;
    alloc_const_i64(out, rank, dims, r);
  } else {
    std::vector<float> v, r;
    const_floats(a, v);
    if (!take_elements(v, src, r)) return false;
    alloc_const_f32(out, rank, dims, r);
  }
  return true;
}

bool broadcast_shapes(uint64_t ra, const uint64_t* a, uint64_t rb, const uint64_t* b,
                      uint64_t& r, uint64_t* out) {
  r = ra > rb ? ra : rb;
  for (uint64_t i = 0; i < r; ++i) {
    const uint64_t da = i < r - ra ? 1 : a[i - (r - ra)];
    const uint64_t db = i < r - rb ? 1 : b[i - (r - rb)];
    if (da != db && da != 1 && db != 1) return false;
    out[i] = da == 1 ? db : da;
  }
  return true;
}

uint64_t broadcast_offset(uint64_t flat, uint64_t out_rank, const uint64_t* out_dims,
                          uint64_t in_rank, const uint64_t* in_dims) {
  uint64_t offset = 0, stride = 1;
  for (uint64_t j = 0; j < out_rank; ++j) {
    const uint64_t i = out_rank - 1 - j;
    const uint64_t d = out_dims[i];
    const uint64_t coord = d == 0 ? 0 : flat % d;
    flat = d == 0 ? 0 : flat / d;
    if (j < in_rank) {
      const uint64_t in_d = in_dims[in_rank - 1 - j];
      if (in_d != 1) offset += coord * stride;
      stride *= in_d;
    }
  }
  return offset;
}

void mark_folded(GraphNode& n) {
  n.op_kind = k(OpKind::kIdentity);
  n.input_count = 1;
  n.inputs[0] = n.outputs[0];
  for (uint64_t i = 1; i < kGraphNodeMaxInputs; ++i) n.inputs[i] = kAbsentInput;
  n.attrs[0] = 0;
  n.attrs[1] = 0;
}

FoldResult builder_eval_node(BuilderState& s, uint64_t ni) {
  GraphNode& n = s.nodes[ni];
  if (n.output_count < 1 || n.outputs[0] == kAbsentInput) return kFoldNotFolded;
  const uint64_t kind = n.op_kind;
  BuilderValue& out = s.values[n.outputs[0]];
  auto in = [&](uint64_t i) -> BuilderValue& { return s.values[n.inputs[i]]; };

  if (kind == k(OpKind::kShape)) {
    if (!present(n, 0)) return kFoldNotFolded;
    const BuilderValue& x = in(0);
    const int64_t rank = static_cast<int64_t>(x.rank);
    int64_t start = (n.attrs[kWordMode] & 1) != 0 ? static_cast<int64_t>(n.attrs[5]) : 0;
    int64_t end = (n.attrs[kWordMode] & 2) != 0 ? static_cast<int64_t>(n.attrs[7]) : rank;
    if (start < 0) start += rank;
    if (end < 0) end += rank;
    if (start < 0) start = 0;
    if (start > rank) start = rank;
    if (end < start) end = start;
    if (end > rank) end = rank;
    std::vector<int64_t> dims;
    for (int64_t i = start; i < end; ++i) dims.push_back(static_cast<int64_t>(x.dims[i]));
    const uint64_t d = dims.size();
    alloc_const_i64(out, 1, &d, dims);
    mark_folded(n);
    return kFoldDone;
  }
  if (n.output_count > 1) {
    for (uint64_t o = 1; o < n.output_count; ++o) {
      if (n.outputs[o] != kAbsentInput) return kFoldNotFolded;
    }
  }
  if (n.input_count == 0 && kind != k(OpKind::kRange)) return kFoldNotFolded;
  bool any_int = false;
  bool all_small = true;
  for (uint64_t i = 0; i < n.input_count; ++i) {
    if (!present(n, i)) continue;
    if (!in(i).has_data) return kFoldNotFolded;
    if (!consistent(in(i))) return fail(s, kFoldInconsistent);
    any_int = any_int || in(i).dtype == kTypeI64 || in(i).known;
    all_small = all_small && const_count(in(i)) <= kSmallConstantElements;
  }
  // Arithmetic over large float weights alone stays with the engines (folding would store a
  // second copy); small constants such as attention scales are folded.
  if (!any_int && !all_small && kind != k(OpKind::kRange)) return kFoldNotFolded;
  const std::string label = node_label(s, ni);

  switch (static_cast<OpKind>(kind)) {
    case OpKind::kSub: case OpKind::kDiv: case OpKind::kAdd: case OpKind::kMul:
    case OpKind::kPow: case OpKind::kMax: case OpKind::kMin: case OpKind::kMod:
    case OpKind::kEqual: case OpKind::kLess: case OpKind::kGreater: case OpKind::kAnd:
    case OpKind::kOr: {
      if (!present(n, 0) || !present(n, 1)) return kFoldNotFolded;
      const BuilderValue& a = in(0);
      const BuilderValue& b = in(1);
      uint64_t rank = 0, dims[kMaxRank] = {};
      if (!broadcast_shapes(a.rank, a.dims, b.rank, b.dims, rank, dims)) {
        return fail(s, kFoldInconsistent);
      }
      uint64_t count = 0;
      if (!out_count(rank, dims, count)) return kFoldNotFolded;
      if (!consistent(a) || !consistent(b)) return fail(s, kFoldInconsistent);
      const bool logical = kind == k(OpKind::kEqual) || kind == k(OpKind::kLess) ||
                           kind == k(OpKind::kGreater) || kind == k(OpKind::kAnd) ||
                           kind == k(OpKind::kOr);
      const uint64_t mode = n.attrs[kWordMode];
      if (a.dtype == kTypeI64 && b.dtype == kTypeI64) {
        std::vector<int64_t> va, vb, r(count);
        const_ints(a, va);
        const_ints(b, vb);
        for (uint64_t i = 0; i < count; ++i) {
          const int64_t x = va[broadcast_offset(i, rank, dims, a.rank, a.dims)];
          const int64_t y = vb[broadcast_offset(i, rank, dims, b.rank, b.dims)];
          int64_t z = 0;
          switch (static_cast<OpKind>(kind)) {
            case OpKind::kSub: z = wrap_sub(x, y); break;
            case OpKind::kAdd: z = wrap_add(x, y); break;
            case OpKind::kMul: z = wrap_mul(x, y); break;
            case OpKind::kDiv:
            case OpKind::kMod:
              if (y == 0 || (x == std::numeric_limits<int64_t>::min() && y == -1)) {
                return fail(s, kFoldRefused,
                            "constant folding refused at " + label + ": integer " +
                                (kind == k(OpKind::kDiv) ? "division" : "remainder") + " of " +
                                std::to_string(x) + " by " + std::to_string(y) +
                                " is undefined");
              }
              if (kind == k(OpKind::kDiv)) {
                z = x / y;
              } else {
                z = x % y;
                // fmod = 0: the remainder takes the divisor's sign.
                if (z != 0 && ((z < 0) != (y < 0)) && !s.extras[ni].fmod) z += y;
              }
              break;
            case OpKind::kPow: z = int_pow(x, y); break;
            case OpKind::kMax: z = x > y ? x : y; break;
            case OpKind::kMin: z = x < y ? x : y; break;
            case OpKind::kEqual: z = x == y; break;
            case OpKind::kLess: z = x < y; break;
            case OpKind::kGreater:
              z = mode == 1 ? x >= y : mode == 2 ? x <= y : x > y;
              break;
            case OpKind::kAnd: z = x != 0 && y != 0; break;
            default: z = x != 0 || y != 0; break;
          }
          r[i] = z;
        }
        alloc_const_i64(out, rank, dims, r);
      } else {
        std::vector<float> va, vb, r(count);
        const_floats(a, va);
        const_floats(b, vb);
        for (uint64_t i = 0; i < count; ++i) {
          const float x = va[broadcast_offset(i, rank, dims, a.rank, a.dims)];
          const float y = vb[broadcast_offset(i, rank, dims, b.rank, b.dims)];
          float z = 0.0f;
          switch (static_cast<OpKind>(kind)) {
            case OpKind::kSub: z = x - y; break;
            case OpKind::kAdd: z = x + y; break;
            case OpKind::kMul: z = x * y; break;
            case OpKind::kDiv: z = x / y; break;
            case OpKind::kMod:
              z = s.extras[ni].fmod ? std::fmod(x, y) : x - std::floor(x / y) * y;
              break;
            case OpKind::kPow: z = std::pow(x, y); break;
            case OpKind::kMax: z = x > y ? x : y; break;
            case OpKind::kMin: z = x < y ? x : y; break;
            case OpKind::kEqual: z = x == y; break;
            case OpKind::kLess: z = x < y; break;
            case OpKind::kGreater:
              z = mode == 1 ? x >= y : mode == 2 ? x <= y : x > y;
              break;
            case OpKind::kAnd: z = x != 0.0f && y != 0.0f; break;
            default: z = x != 0.0f || y != 0.0f; break;
          }
          r[i] = z;
        }
        if (logical) {
          std::vector<int64_t> ri(count);
          for (uint64_t i = 0; i < count; ++i) ri[i] = r[i] != 0.0f;
          alloc_const_i64(out, rank, dims, ri);
        } else {
          alloc_const_f32(out, rank, dims, r);
        }
      }
      mark_folded(n);
      return kFoldDone;
    }
    case OpKind::kSqrt: case OpKind::kExp: case OpKind::kLog: case OpKind::kAbs:
    case OpKind::kNeg: case OpKind::kFloor: case OpKind::kCeil: case OpKind::kNot: {
      const BuilderValue& a = in(0);
      const uint64_t count = const_count(a);
      if (a.dtype == kTypeI64 && (kind == k(OpKind::kAbs) || kind == k(OpKind::kNeg) ||
                                  kind == k(OpKind::kNot) || kind == k(OpKind::kFloor) ||
                                  kind == k(OpKind::kCeil))) {
        std::vector<int64_t> v, r(count);
        const_ints(a, v);
        for (uint64_t i = 0; i < count; ++i) {
          if (kind == k(OpKind::kAbs)) r[i] = v[i] < 0 ? wrap_sub(0, v[i]) : v[i];
          else if (kind == k(OpKind::kNeg)) r[i] = wrap_sub(0, v[i]);
          else if (kind == k(OpKind::kNot)) r[i] = v[i] == 0;
          else r[i] = v[i];
        }
        alloc_const_i64(out, a.rank, a.dims, r);
      } else {
        std::vector<float> v, r(count);
        const_floats(a, v);
        for (uint64_t i = 0; i < count; ++i) {
          const float x = v[i];
          switch (static_cast<OpKind>(kind)) {
            case OpKind::kSqrt: r[i] = std::sqrt(x); break;
            case OpKind::kExp: r[i] = std::exp(x); break;
            case OpKind::kLog: r[i] = std::log(x); break;
            case OpKind::kAbs: r[i] = std::fabs(x); break;
            case OpKind::kNeg: r[i] = 0.0f - x; break;
            case OpKind::kFloor: r[i] = std::floor(x); break;
            case OpKind::kCeil: r[i] = std::ceil(x); break;
            default: r[i] = x == 0.0f ? 1.0f : 0.0f; break;
          }
        }
        if (kind == k(OpKind::kNot)) {
          std::vector<int64_t> ri(count);
          for (uint64_t i = 0; i < count; ++i) ri[i] = r[i] != 0.0f;
          alloc_const_i64(out, a.rank, a.dims, ri);
        } else {
          alloc_const_f32(out, a.rank, a.dims, r);
        }
      }
      mark_folded(n);
      return kFoldDone;
    }
    case OpKind::kIdentity: {
      const BuilderValue& a = in(0);
      if (n.attrs[1] == kCastTag) {
        const int64_t to = static_cast<int64_t>(n.attrs[0]);
        if (to == kOnnxToFloat || to == kOnnxToFloat16 || to == kOnnxToDouble ||
            to == kOnnxToBfloat16) {
          std::vector<float> v;
          const_floats(a, v);
          alloc_const_f32(out, a.rank, a.dims, v);
        } else {
          std::vector<int64_t> v;
          if (a.dtype == kTypeI64) {
            const_ints(a, v);
          } else {
            std::vector<float> f;
            const_floats(a, f);
            v.resize(f.size());
            for (size_t i = 0; i < f.size(); ++i) {
              if (!std::isfinite(f[i]) || std::fabs(f[i]) >= kI64ConvertibleLimit) {
                return fail(s, kFoldInconsistent);
              }
              v[i] = to == kOnnxToBool ? f[i] != 0.0f : static_cast<int64_t>(f[i]);
            }
          }
          if (to == kOnnxToBool) {
            for (int64_t& x : v) x = x != 0;
          }
          alloc_const_i64(out, a.rank, a.dims, v);
        }
      } else if (a.dtype == kTypeI64) {
        std::vector<int64_t> v;
        const_ints(a, v);
        alloc_const_i64(out, a.rank, a.dims, v);
      } else {
        std::vector<float> v;
        const_floats(a, v);
        alloc_const_f32(out, a.rank, a.dims, v);
      }
      mark_folded(n);
      return kFoldDone;
    }
    case OpKind::kFlatten: case OpKind::kReshape: case OpKind::kUnsqueeze:
    case OpKind::kSqueeze: {
      const BuilderValue& a = in(0);
      uint64_t rank = 0, dims[kMaxRank] = {};
      bool ok = false;
      if (kind == k(OpKind::kFlatten)) {
        ok = flatten_dims(a.rank, a.dims, static_cast<int64_t>(n.attrs[kWordAxis]), rank, dims);
      } else if (kind == k(OpKind::kReshape)) {
        std::vector<int64_t> shape;
        if (!present(n, 1) || !const_ints(in(1), shape)) return kFoldNotFolded;
        ok = reshape_dims(a.rank, a.dims, shape, rank, dims);
      } else {
        std::vector<int64_t> axes;
        bool has_axes = false;
        if (!node_axes(s, ni, axes, has_axes)) return kFoldNotFolded;
        ok = kind == k(OpKind::kUnsqueeze) ? unsqueeze_dims(a.rank, a.dims, axes, rank, dims)
                                           : squeeze_dims(a.rank, a.dims, axes, rank, dims);
      }
      if (!ok) return fail(s, kFoldInconsistent);
      if (a.dtype == kTypeI64) {
        std::vector<int64_t> v;
        const_ints(a, v);
        alloc_const_i64(out, rank, dims, v);
      } else {
        std::vector<float> v;
        const_floats(a, v);
        alloc_const_f32(out, rank, dims, v);
      }
      mark_folded(n);
      return kFoldDone;
    }
    case OpKind::kTranspose: {
      const BuilderValue& a = in(0);
      uint64_t perm[kMaxRank] = {};
      if (!transpose_perm(n, a.rank, perm)) {
        return fail(s, kFoldRefused, "unsupported " + label + ": invalid permutation");
      }
      uint64_t dims[kMaxRank] = {}, count = const_count(a);
      for (uint64_t i = 0; i < a.rank; ++i) dims[i] = a.dims[perm[i]];
      uint64_t in_strides[kMaxRank] = {};
      row_major_strides(a.rank, a.dims, in_strides);
      std::vector<uint64_t> src(count);
      for (uint64_t i = 0; i < count; ++i) {
        uint64_t rem = i, off = 0;
        for (uint64_t j = a.rank; j-- > 0;) {
          const uint64_t c = rem % dims[j];
          rem /= dims[j];
          off += c * in_strides[perm[j]];
        }
        src[i] = off;
      }
      if (!take_const(a, src, a.rank, dims, out)) return fail(s, kFoldInconsistent);
      mark_folded(n);
      return kFoldDone;
    }
    case OpKind::kConcat: {
      const BuilderValue& a = in(0);
      uint64_t axis = 0;
      if (!normalise_axis(static_cast<int64_t>(n.attrs[kWordAxis]), a.rank, axis)) {
        return fail(s, kFoldInconsistent);
      }
      bool all_i64 = true;
      uint64_t dims[kMaxRank] = {};
      for (uint64_t i = 0; i < a.rank; ++i) dims[i] = a.dims[i];
      dims[axis] = 0;
      for (uint64_t i = 0; i < n.input_count; ++i) {
        if (!present(n, i)) return kFoldNotFolded;
        const BuilderValue& v = in(i);
        if (v.rank != a.rank) return fail(s, kFoldInconsistent);
        for (uint64_t d = 0; d < a.rank; ++d) {
          if (d != axis && v.dims[d] != a.dims[d]) return fail(s, kFoldInconsistent);
        }
        dims[axis] += v.dims[axis];
        all_i64 = all_i64 && v.dtype == kTypeI64;
      }
      uint64_t count = 0;
      if (!out_count(a.rank, dims, count)) return kFoldNotFolded;
      uint64_t outer = 1, inner = 1;
      for (uint64_t d = 0; d < axis; ++d) outer *= a.dims[d];
      for (uint64_t d = axis + 1; d < a.rank; ++d) inner *= a.dims[d];
      std::vector<float> rf;
      std::vector<int64_t> ri;
      for (uint64_t o = 0; o < outer; ++o) {
        for (uint64_t i = 0; i < n.input_count; ++i) {
          const BuilderValue& v = in(i);
          const uint64_t block = v.dims[axis] * inner;
          if (all_i64) {
            std::vector<int64_t> x;
            const_ints(v, x);
            if (x.size() < (o + 1) * block) return fail(s, kFoldInconsistent);
            ri.insert(ri.end(), x.begin() + o * block, x.begin() + (o + 1) * block);
          } else {
            std::vector<float> x;
            const_floats(v, x);
            if (x.size() < (o + 1) * block) return fail(s, kFoldInconsistent);
            rf.insert(rf.end(), x.begin() + o * block, x.begin() + (o + 1) * block);
          }
        }
      }
      if (all_i64) alloc_const_i64(out, a.rank, dims, ri);
      else alloc_const_f32(out, a.rank, dims, rf);
      mark_folded(n);
      return kFoldDone;
    }
    case OpKind::kGather: {
      if (!present(n, 1)) return kFoldNotFolded;
      const BuilderValue& a = in(0);
      const BuilderValue& idx = in(1);
      uint64_t axis = 0;
      if (!normalise_axis(static_cast<int64_t>(n.attrs[kWordAxis]), a.rank, axis)) {
        return fail(s, kFoldInconsistent);
      }
      if (a.rank + idx.rank - 1 > kMaxRank) return kFoldNotFolded;
      std::vector<int64_t> indices;
      if (!const_ints(idx, indices)) return kFoldNotFolded;
      uint64_t rank = 0, dims[kMaxRank] = {};
      for (uint64_t d = 0; d < axis; ++d) dims[rank++] = a.dims[d];
      for (uint64_t d = 0; d < idx.rank; ++d) dims[rank++] = idx.dims[d];
      for (uint64_t d = axis + 1; d < a.rank; ++d) dims[rank++] = a.dims[d];
      uint64_t count = 0;
      if (!out_count(rank, dims, count)) return kFoldNotFolded;
      const int64_t extent = static_cast<int64_t>(a.dims[axis]);
      uint64_t outer = 1, inner = 1;
      for (uint64_t d = 0; d < axis; ++d) outer *= a.dims[d];
      for (uint64_t d = axis + 1; d < a.rank; ++d) inner *= a.dims[d];
      std::vector<uint64_t> src;
      src.reserve(count);
      for (uint64_t o = 0; o < outer; ++o) {
        for (int64_t ix : indices) {
          if (ix < 0) ix += extent;
          if (ix < 0 || ix >= extent) return fail(s, kFoldInconsistent);
          for (uint64_t p = 0; p < inner; ++p) {
            src.push_back((o * static_cast<uint64_t>(extent) + static_cast<uint64_t>(ix)) * inner + p);
          }
        }
      }
      if (!take_const(a, src, rank, dims, out)) return fail(s, kFoldInconsistent);
      mark_folded(n);
      return kFoldDone;
    }
    case OpKind::kSlice: {
      const BuilderValue& a = in(0);
      SliceRange r;
      const int st = slice_ranges(s, ni, r);
      if (st < 0) return kFoldNotFolded;
      if (st == 0) return fail(s, kFoldInconsistent);
      uint64_t dims[kMaxRank] = {};
      for (uint64_t d = 0; d < a.rank; ++d) dims[d] = r.count[d];
      uint64_t count = 0;
      if (!out_count(a.rank, dims, count)) return kFoldNotFolded;
      uint64_t in_strides[kMaxRank] = {};
      row_major_strides(a.rank, a.dims, in_strides);
      std::vector<uint64_t> src(count);
      for (uint64_t i = 0; i < count; ++i) {
        uint64_t rem = i, off = 0;
        for (uint64_t j = a.rank; j-- > 0;) {
          const uint64_t c = rem % dims[j];
          rem /= dims[j];
          off += static_cast<uint64_t>(r.start[j] + static_cast<int64_t>(c) * r.step[j]) * in_strides[j];
        }
        src[i] = off;
      }
      if (!take_const(a, src, a.rank, dims, out)) return fail(s, kFoldInconsistent);
      mark_folded(n);
      return kFoldDone;
    }
    case OpKind::kExpand: {
      if (!present(n, 1)) return kFoldNotFolded;
      const BuilderValue& a = in(0);
      std::vector<int64_t> shape;
      if (!const_ints(in(1), shape)) return kFoldNotFolded;
      uint64_t rank = 0, dims[kMaxRank] = {};
      const bool tile = n.attrs[kWordFlag] == 1;
      if (tile) {
        if (shape.size() != a.rank) return fail(s, kFoldInconsistent);
        rank = a.rank;
        for (uint64_t d = 0; d < rank; ++d) {
          if (shape[d] < 0) return fail(s, kFoldInconsistent);
          dims[d] = a.dims[d] * static_cast<uint64_t>(shape[d]);
        }
      } else {
        if (shape.size() > kMaxRank) return fail(s, kFoldInconsistent);
        uint64_t sd[kMaxRank] = {};
        for (size_t d = 0; d < shape.size(); ++d) {
          if (shape[d] < 0) return fail(s, kFoldInconsistent);
          sd[d] = static_cast<uint64_t>(shape[d]);
        }
        if (!broadcast_shapes(a.rank, a.dims, shape.size(), sd, rank, dims)) {
          return fail(s, kFoldInconsistent);
        }
      }
      uint64_t count = 0;
      if (!out_count(rank, dims, count)) return kFoldNotFolded;
      std::vector<uint64_t> src(count);
      for (uint64_t i = 0; i < count; ++i) {
        if (tile) {
          uint64_t rem = i, off = 0, stride = 1;
          for (uint64_t j = rank; j-- > 0;) {
            const uint64_t c = rem % dims[j];
            rem /= dims[j];
            off += (c % a.dims[j]) * stride;
            stride *= a.dims[j];
          }
          src[i] = off;
        } else {
          src[i] = broadcast_offset(i, rank, dims, a.rank, a.dims);
        }
      }
      if (!take_const(a, src, rank, dims, out)) return fail(s, kFoldInconsistent);
      n.attrs[kWordFlag] = 0;
      mark_folded(n);
      return kFoldDone;
    }
    case OpKind::kConstantOfShape: {
      std::vector<int64_t> shape;
      if (!const_ints(in(0), shape) || shape.size() > kMaxRank) return fail(s, kFoldInconsistent);
      uint64_t dims[kMaxRank] = {};
      for (size_t d = 0; d < shape.size(); ++d) {
        if (shape[d] < 0) return fail(s, kFoldInconsistent);
        dims[d] = static_cast<uint64_t>(shape[d]);
      }
      uint64_t count = 0;
      if (!out_count(shape.size(), dims, count)) {
        return fail(s, kFoldRefused, "unsupported " + label + ": the filled tensor is too large");
      }
      if (out.has_data && out.dtype == kTypeI64) {
        std::vector<int64_t> fill;
        const_ints(out, fill);
        alloc_const_i64(out, shape.size(), dims,
                        std::vector<int64_t>(count, fill.empty() ? 0 : fill[0]));
      } else {
        std::vector<float> fill;
        if (out.has_data) const_floats(out, fill);
        alloc_const_f32(out, shape.size(), dims,
                        std::vector<float>(count, fill.empty() ? 0.0f : fill[0]));
      }
      mark_folded(n);
      return kFoldDone;
    }
    case OpKind::kRange: {
      if (!present(n, 0) || !present(n, 1) || !present(n, 2)) return kFoldNotFolded;
      const BuilderValue& a = in(0);
      const BuilderValue& b = in(1);
      const BuilderValue& c = in(2);
      if (a.dtype == kTypeI64 && b.dtype == kTypeI64 && c.dtype == kTypeI64) {
        std::vector<int64_t> va, vb, vc;
        const_ints(a, va);
        const_ints(b, vb);
        const_ints(c, vc);
        if (va.size() != 1 || vb.size() != 1 || vc.size() != 1) return fail(s, kFoldInconsistent);
        const int64_t start = va[0], limit = vb[0], delta = vc[0];
        if (delta == 0) return fail(s, kFoldRefused, "unsupported " + label + ": delta is 0");
        const __int128 diff = static_cast<__int128>(limit) - start;
        __int128 q = diff / delta;
        if (diff % delta != 0 && ((diff > 0) == (delta > 0))) q += 1;
        if (q < 0) q = 0;
        if (q > static_cast<__int128>(kMaxFoldElements)) {
          return fail(s, kFoldRefused, "unsupported " + label + ": the range is too long");
        }
        const uint64_t count = static_cast<uint64_t>(q);
        std::vector<int64_t> r(count);
        for (uint64_t i = 0; i < count; ++i) r[i] = static_cast<int64_t>(start + static_cast<__int128>(i) * delta);
        alloc_const_i64(out, 1, &count, r);
      } else {
        std::vector<float> va, vb, vc;
        const_floats(a, va);
        const_floats(b, vb);
        const_floats(c, vc);
        if (va.size() != 1 || vb.size() != 1 || vc.size() != 1) return fail(s, kFoldInconsistent);
        const float start = va[0], limit = vb[0], delta = vc[0];
        if (delta == 0.0f) return fail(s, kFoldRefused, "unsupported " + label + ": delta is 0");
        const double steps = std::ceil((static_cast<double>(limit) - start) / delta);
        if (!(steps < static_cast<double>(kMaxFoldElements))) {
          return fail(s, kFoldRefused, "unsupported " + label + ": the range is too long");
        }
        const uint64_t count = steps > 0 ? static_cast<uint64_t>(steps) : 0;
        std::vector<float> r(count);
        for (uint64_t i = 0; i < count; ++i) r[i] = start + static_cast<float>(i) * delta;
        alloc_const_f32(out, 1, &count, r);
      }
      mark_folded(n);
      return kFoldDone;
    }
    case OpKind::kWhere: {
      if (!present(n, 1) || !present(n, 2)) return kFoldNotFolded;
      const BuilderValue& c = in(0);
      const BuilderValue& x = in(1);
      const BuilderValue& y = in(2);
      uint64_t r1 = 0, d1[kMaxRank] = {}, rank = 0, dims[kMaxRank] = {};
      if (!broadcast_shapes(c.rank, c.dims, x.rank, x.dims, r1, d1) ||
          !broadcast_shapes(r1, d1, y.rank, y.dims, rank, dims)) {
        return fail(s, kFoldInconsistent);
      }
      uint64_t count = 0;
      if (!out_count(rank, dims, count)) return kFoldNotFolded;
      std::vector<float> vc;
      const_floats(c, vc);
      if (x.dtype == kTypeI64 && y.dtype == kTypeI64) {
        std::vector<int64_t> vx, vy, r(count);
        const_ints(x, vx);
        const_ints(y, vy);
        for (uint64_t i = 0; i < count; ++i) {
          const uint64_t ci = broadcast_offset(i, rank, dims, c.rank, c.dims);
          const uint64_t xi = broadcast_offset(i, rank, dims, x.rank, x.dims);
          const uint64_t yi = broadcast_offset(i, rank, dims, y.rank, y.dims);
          if (ci >= vc.size() || xi >= vx.size() || yi >= vy.size()) return fail(s, kFoldInconsistent);
          r[i] = vc[ci] != 0.0f ? vx[xi] : vy[yi];
        }
        alloc_const_i64(out, rank, dims, r);
      } else {
        std::vector<float> vx, vy, r(count);
        const_floats(x, vx);
        const_floats(y, vy);
        for (uint64_t i = 0; i < count; ++i) {
          const uint64_t ci = broadcast_offset(i, rank, dims, c.rank, c.dims);
          const uint64_t xi = broadcast_offset(i, rank, dims, x.rank, x.dims);
          const uint64_t yi = broadcast_offset(i, rank, dims, y.rank, y.dims);
          if (ci >= vc.size() || xi >= vx.size() || yi >= vy.size()) return fail(s, kFoldInconsistent);
          r[i] = vc[ci] != 0.0f ? vx[xi] : vy[yi];
        }
        alloc_const_f32(out, rank, dims, r);
      }
      mark_folded(n);
      return kFoldDone;
    }
    default:
      return kFoldNotFolded;
  }
}

}  // namespace vexa::tools
