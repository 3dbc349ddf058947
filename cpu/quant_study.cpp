#include "cpu/quant_study.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace vexa::cpu {

namespace {

constexpr uint64_t kMaxWeightRanges = 8192;
constexpr float kAmaxFloor = 1e-30f;
constexpr float kF16Overflow = 65520.0f;
constexpr float kF16MinNormal = 6.1035156e-5f;  // 2^-14
constexpr float kCalibMinInit = 3e38f;
constexpr float kCalibMaxInit = -3e38f;
constexpr uint64_t kOpConv = 5, kOpGemm = 10, kOpMatMul = 16, kOpConvTranspose = 28;
constexpr uint64_t kOpArgMax = 31, kOpTopK = 75;
constexpr uint64_t kValueKindWeight = 2;
// GraphValue / GraphNode word indices.
constexpr int kValKind = 0, kValRank = 2, kValDims = 3, kValCount = 9;
constexpr int kNodeKind = 0, kNodeInCount = 1, kNodeIn = 2, kNodeTransB = 28;

struct StudyConfig {
  QuantMode weight_mode = QuantMode::kOff;
  QuantMode value_mode = QuantMode::kOff;
  QuantMode operand_mode = QuantMode::kOff;
  int32_t weight_group = 0;
  int32_t operand_group = 0;
  bool operand_whole = false;
  bool collect = false;
  std::string collect_path;
  uint64_t value_count = 0;
  std::vector<float> calib;  // amax, min, max planes
  std::vector<uint8_t> wide;
  int64_t only_value = -1;
  std::vector<std::pair<uintptr_t, uintptr_t>> weight_ranges;
};

// Process-wide, as the study is meant to be: one configuration per process, last build wins.
StudyConfig& study() {
  static StudyConfig* config = new StudyConfig();
  return *config;
}

std::vector<float>& operand_scratch(int which) {
  static std::vector<float>* buffers = new std::vector<float>[2];
  return buffers[which];
}

// Read by GEMM and convolution kernels of every running state while a build on another thread
// may be rewriting the study; set last by a build, after the tables are filled.
std::atomic<bool> g_study_enabled{false};

// -1 until the variable is first read; sessions on several threads may ask at once.
std::atomic<int> g_vmath_state{-1};

int quant_levels(QuantMode mode) { return mode == QuantMode::kI8 ? 127 : 7; }

float round_symmetric(float x, float amax, int q) {
  const float qf = static_cast<float>(q);
  const float r = std::rint((qf / amax) * x);
  return (amax / qf) * std::clamp(r, -qf, qf);
}

void round_group(float* data, uint64_t n, uint64_t stride, QuantMode mode) {
  if (mode == QuantMode::kOff) return;
  if (mode == QuantMode::kF16) {
    for (uint64_t i = 0; i < n; ++i) data[i * stride] = cpu_round_to_f16(data[i * stride]);
    return;
  }
  float amax = 0.0f;
  for (uint64_t i = 0; i < n; ++i) amax = std::max(amax, std::fabs(data[i * stride]));
  if (!(amax >= kAmaxFloor)) {
    for (uint64_t i = 0; i < n; ++i) data[i * stride] = 0.0f;
    return;
  }
  const int q = quant_levels(mode);
  for (uint64_t i = 0; i < n; ++i) data[i * stride] = round_symmetric(data[i * stride], amax, q);
}

bool in_weight_range(const float* p) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(p);
  for (const auto& r : study().weight_ranges)
    if (a >= r.first && a < r.second) return true;
  return false;
}

const float* round_operand(int which, const float* m, bool transposed, int32_t rows, int32_t cols,
                           int32_t ld, bool by_rows) {
  StudyConfig& s = study();
  if (s.operand_mode == QuantMode::kOff || in_weight_range(m) || rows <= 0 || cols <= 0) return m;
  std::vector<float>& buf = operand_scratch(which);
  const uint64_t n = static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols);
  try {
    if (buf.size() < n) buf.assign(n, 0.0f);
  } catch (...) {
    return m;  // no scratch: the operand stays unrounded
  }
  for (int64_t r = 0; r < rows; ++r)
    for (int64_t c = 0; c < cols; ++c)
      buf[r * cols + c] = transposed ? m[c * ld + r] : m[r * ld + c];
  if (s.operand_whole) {
    cpu_fakequant_tensor(buf.data(), n, 1, s.operand_mode);
  } else if (by_rows) {
    cpu_fakequant_grouped(buf.data(), rows, cols, cols, 1, s.operand_mode, s.operand_group);
  } else {
    cpu_fakequant_grouped(buf.data(), cols, rows, 1, cols, s.operand_mode, s.operand_group);
  }
  return buf.data();
}

}  // namespace

QuantMode cpu_quant_mode_parse(const char* text) {
  if (text == nullptr) return QuantMode::kOff;
  if (std::strcmp(text, "f16") == 0) return QuantMode::kF16;
  if (std::strcmp(text, "i8") == 0) return QuantMode::kI8;
  if (std::strcmp(text, "i4") == 0) return QuantMode::kI4;
  if (std::strcmp(text, "u8") == 0) return QuantMode::kU8;
  if (std::strcmp(text, "u16") == 0) return QuantMode::kU16;
  return QuantMode::kOff;
}

float cpu_round_to_f16(float x) {
  const float ax = std::fabs(x);
  if (std::isnan(x)) return x;
  if (ax >= kF16Overflow) return std::copysign(INFINITY, x);
  if (ax >= kF16MinNormal) {
    uint32_t bits;
    std::memcpy(&bits, &ax, 4);
    bits = (bits + ((bits >> 13) & 1u) + 0xFFFu) & ~0x1FFFu;
    float r;
    std::memcpy(&r, &bits, 4);
    return std::copysign(r, x);
  }
  constexpr float kTwoPow24 = 16777216.0f;
  return std::copysign(std::rint(ax * kTwoPow24) / kTwoPow24, x);
}

void cpu_fakequant_tensor(float* data, uint64_t n, uint64_t stride, QuantMode mode) {
  if (data == nullptr || n == 0) return;
  round_group(data, n, stride == 0 ? 1 : stride, mode);
}

void cpu_fakequant_grouped(float* data, uint64_t rows, uint64_t row_length, uint64_t row_stride,
                           uint64_t element_stride, QuantMode mode, int64_t group) {
  if (data == nullptr || row_length == 0) return;
  const uint64_t g = group >= 1 && static_cast<uint64_t>(group) <= row_length
                         ? static_cast<uint64_t>(group)
                         : row_length;
  for (uint64_t r = 0; r < rows; ++r) {
    float* row = data + r * row_stride;
    for (uint64_t start = 0; start < row_length; start += g) {
      const uint64_t len = std::min(g, row_length - start);
      round_group(row + start * element_stride, len, element_stride, mode);
    }
  }
}

void cpu_fakequant_reset() {
  g_study_enabled.store(false, std::memory_order_release);
  study() = StudyConfig();
  for (int i = 0; i < 2; ++i) std::vector<float>().swap(operand_scratch(i));
}

void cpu_fakequant_configure(const uint64_t (*values)[15], float* const* data,
                             uint64_t value_count, const uint64_t (*nodes)[31],
                             uint64_t node_count) {
  cpu_fakequant_reset();
  StudyConfig& s = study();
  s.weight_mode = cpu_quant_mode_parse(std::getenv("VEXA_CPU_QW"));
  s.value_mode = cpu_quant_mode_parse(std::getenv("VEXA_CPU_QT"));
  s.operand_mode = cpu_quant_mode_parse(std::getenv("VEXA_CPU_QA"));
  const char* qwg = std::getenv("VEXA_CPU_QWG");
  s.weight_group = qwg != nullptr ? std::atoi(qwg) : 0;
  const char* qag = std::getenv("VEXA_CPU_QAG");
  const int operand_group = qag != nullptr ? std::atoi(qag) : 0;
  s.operand_whole = operand_group < 0;
  s.operand_group = operand_group < 0 ? 0 : operand_group;
  const char* out_path = std::getenv("VEXA_CPU_QCAL_OUT");
  s.collect = out_path != nullptr;
  if (s.collect) s.collect_path = out_path;
  const bool enabled = s.weight_mode != QuantMode::kOff || s.value_mode != QuantMode::kOff ||
                       s.operand_mode != QuantMode::kOff || s.collect;
  if (!enabled) return;

  s.value_count = value_count;
  s.wide.assign(value_count + 1, 0);
  if (const char* wide = std::getenv("VEXA_CPU_QT_WIDE")) {
    for (const char* p = wide; *p != '\0';) {
      if (*p < '0' || *p > '9') {
        ++p;
        continue;
      }
      uint64_t v = 0;
      bool overflow = false;
      for (; *p >= '0' && *p <= '9'; ++p) {
        if (v > (UINT64_MAX - 9) / 10) overflow = true;
        if (!overflow) v = v * 10 + static_cast<uint64_t>(*p - '0');
      }
      if (!overflow && v < value_count) s.wide[v] = 1;
    }
  }
  const char* only = std::getenv("VEXA_CPU_QT_ONLY");
  s.only_value = only != nullptr ? std::atoi(only) : -1;

  s.calib.assign(3 * value_count, 0.0f);
  std::fill(s.calib.begin() + value_count, s.calib.begin() + 2 * value_count, kCalibMinInit);
  std::fill(s.calib.begin() + 2 * value_count, s.calib.end(), kCalibMaxInit);
  const char* read_path = s.collect ? s.collect_path.c_str() : std::getenv("VEXA_CPU_QCAL");
  if (read_path != nullptr && value_count > 0) {
    if (FILE* f = std::fopen(read_path, "rb")) {
      const bool all_planes = s.collect || s.value_mode == QuantMode::kU8 ||
                              s.value_mode == QuantMode::kU16;
      const size_t want = static_cast<size_t>(all_planes ? 3 * value_count : value_count);
      const size_t got = std::fread(s.calib.data(), sizeof(float), want, f);
      (void)got;  // a short file leaves the initial values in the rest
      std::fclose(f);
    }
  }

  const QuantMode end_mode = cpu_quant_mode_parse(std::getenv("VEXA_CPU_QENDS"));
  auto has_weight_operand = [&](const uint64_t* node) {
    if (node[kNodeInCount] < 2) return false;
    const uint64_t w = node[kNodeIn + 1];
    return w < value_count && values[w][kValKind] == kValueKindWeight;
  };
  int64_t first_end = -1, last_end = -1;
  for (uint64_t i = 0; i < node_count; ++i) {
    const uint64_t kind = nodes[i][kNodeKind];
    if ((kind == kOpConv || kind == kOpGemm || kind == kOpMatMul || kind == kOpConvTranspose) &&
        has_weight_operand(nodes[i])) {
      if (first_end < 0) first_end = static_cast<int64_t>(i);
      last_end = static_cast<int64_t>(i);
    }
  }

  std::vector<uint8_t> handled(value_count, 0);
  for (uint64_t i = 0; i < node_count; ++i) {
    const uint64_t* node = nodes[i];
    if (!has_weight_operand(node)) continue;
    const uint64_t wid = node[kNodeIn + 1];
    if (handled[wid]) continue;
    float* w = data[wid];
    const uint64_t count = values[wid][kValCount];
    if (w == nullptr || count == 0) continue;
    const uint64_t kind = node[kNodeKind];
    const uint64_t rank = values[wid][kValRank];
    const uint64_t* dims = &values[wid][kValDims];
    if (kind == kOpConv || kind == kOpConvTranspose || kind == kOpGemm) {
      if (rank < 1 || dims[0] == 0) continue;
      uint64_t rows, len, row_stride, elem_stride;
      if (kind == kOpGemm && node[kNodeTransB] == 0) {
        if (rank < 2 || dims[1] == 0) continue;
        rows = dims[1];
        len = dims[0];
        row_stride = 1;
        elem_stride = dims[1];
      } else {
        rows = dims[0];
        len = count / dims[0];
        row_stride = len;
        elem_stride = 1;
      }
      const bool is_end = static_cast<int64_t>(i) == first_end || static_cast<int64_t>(i) == last_end;
      if (end_mode != QuantMode::kOff && is_end) {
        const int64_t group = end_mode == s.weight_mode ? s.weight_group : 0;
        cpu_fakequant_grouped(w, rows, len, row_stride, elem_stride, end_mode, group);
      } else if (s.weight_mode != QuantMode::kOff) {
        cpu_fakequant_grouped(w, rows, len, row_stride, elem_stride, s.weight_mode, s.weight_group);
      }
    } else if (kind == kOpMatMul) {
      if (rank < 2) continue;
      const uint64_t k = dims[rank - 2], n = dims[rank - 1];
      if (k == 0 || n == 0) continue;
      if (s.weight_mode != QuantMode::kOff) {
        for (uint64_t mtx = 0; mtx < count / (k * n); ++mtx)
          cpu_fakequant_grouped(w + mtx * k * n, n, k, 1, n, s.weight_mode, s.weight_group);
      }
    } else {
      continue;
    }
    handled[wid] = 1;
    if (s.weight_ranges.size() < kMaxWeightRanges) {
      const uintptr_t start = reinterpret_cast<uintptr_t>(w);
      s.weight_ranges.emplace_back(start, start + 4 * count);
    }
  }
  g_study_enabled.store(true, std::memory_order_release);
}

bool cpu_fakequant_enabled() { return g_study_enabled.load(std::memory_order_acquire); }

void cpu_fakequant_activation(uint64_t value, float* data, uint64_t count, uint64_t op_kind) {
  if (!cpu_fakequant_enabled()) return;
  StudyConfig& s = study();
  if (data == nullptr || count == 0 || value >= s.value_count) return;
  const uint64_t vc = s.value_count;
  if (s.collect) {
    float amax = s.calib[value], lo = s.calib[vc + value], hi = s.calib[2 * vc + value];
    for (uint64_t i = 0; i < count; ++i) {
      const float x = data[i];
      amax = std::max(amax, std::fabs(x));
      lo = std::min(lo, x);
      hi = std::max(hi, x);
    }
    s.calib[value] = amax;
    s.calib[vc + value] = lo;
    s.calib[2 * vc + value] = hi;
    return;
  }
  if (op_kind == kOpArgMax || op_kind == kOpTopK) return;
  if (s.only_value != -1 && static_cast<int64_t>(value) != s.only_value) return;
  switch (s.value_mode) {
    case QuantMode::kOff:
      return;
    case QuantMode::kF16:
      for (uint64_t i = 0; i < count; ++i) data[i] = cpu_round_to_f16(data[i]);
      return;
    case QuantMode::kI8:
    case QuantMode::kI4: {
      const float amax = s.calib[value];
      if (!(amax >= kAmaxFloor)) return;
      const int q = quant_levels(s.value_mode);
      for (uint64_t i = 0; i < count; ++i) data[i] = round_symmetric(data[i], amax, q);
      return;
    }
    case QuantMode::kU8:
    case QuantMode::kU16: {
      const float lo = s.calib[vc + value], hi = s.calib[2 * vc + value];
      if (lo > hi) return;
      const float lo2 = std::min(lo, 0.0f);
      float hi2 = std::max(hi, 0.0f);
      if (hi2 - lo2 < 1e-6f) hi2 = lo2 + 1.0f;
      const bool wide = s.value_mode == QuantMode::kU16 || s.wide[value] != 0;
      const float levels = wide ? 65535.0f : 255.0f;
      const float scale = (hi2 - lo2) / levels;
      const float zero = std::rint(lo2 / scale);
      for (uint64_t i = 0; i < count; ++i) {
        const float q = std::clamp(std::rint(data[i] / scale) - zero, 0.0f, levels);
        data[i] = scale * (zero + q);
      }
      return;
    }
  }
}

const float* cpu_fakequant_matrix_a(const float* a, bool transposed, int32_t rows, int32_t cols,
                                    int32_t ld) {
  return round_operand(0, a, transposed, rows, cols, ld, true);
}

const float* cpu_fakequant_matrix_b(const float* b, bool transposed, int32_t rows, int32_t cols,
                                    int32_t ld) {
  return round_operand(1, b, transposed, rows, cols, ld, false);
}

void cpu_calibration_write() {
  StudyConfig& s = study();
  if (!s.collect || s.calib.empty()) return;
  if (FILE* f = std::fopen(s.collect_path.c_str(), "wb")) {
    const size_t written = std::fwrite(s.calib.data(), sizeof(float), s.calib.size(), f);
    (void)written;  // a failed write is ignored
    std::fclose(f);
  }
}

bool cpu_vmath_enabled() {
  int state = g_vmath_state.load(std::memory_order_acquire);
  if (state < 0) {
    const char* v = std::getenv("VEXA_CPU_VMATH");
    state = (v != nullptr && std::atoi(v) == 0) ? 0 : 1;
    g_vmath_state.store(state, std::memory_order_release);
  }
  return state == 1;
}

void cpu_vmath_override(int state) {
  g_vmath_state.store(state < 0 ? -1 : (state != 0 ? 1 : 0), std::memory_order_release);
}

bool cpu_i8_probe() { return false; }
bool cpu_i8_prepacked_present() { return false; }
void cpu_i8_prepack(const uint64_t (*)[15], float* const*, uint64_t, const uint64_t (*)[31],
                    uint64_t, bool, const float*, uint64_t) {}
bool cpu_i8_gemm_prepacked(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, float,
                           const float*, int32_t, const float*, int32_t, float, float*, int32_t) {
  return false;
}
bool cpu_i8_conv1x1_fused(const uint64_t*, const float*, const float*, float*) { return false; }
bool cpu_i8_scratch_reserve(uint64_t) { return false; }
void cpu_i8_stats_report() {}
bool cpu_i8_sigmoid(const float*, float*, uint64_t) { return false; }

}  // namespace vexa::cpu
