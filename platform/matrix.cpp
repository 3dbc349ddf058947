#include "platform/matrix.h"

#include <algorithm>
#include <vector>

#include "platform/gemm.h"
#include "platform/software_device.h"
#include "platform/thread_pool.h"

namespace vexa {

namespace {

// The part of one operand a product touches, checked against its descriptor and buffer.
struct Operand {
  const char* name;
  uint8_t* base = nullptr;  // matrix 0 of the batch range
  uint64_t rows = 0, columns = 0;  // used
  uint64_t row_bytes = 0, matrix_bytes = 0;
  DeviceDataType type = DeviceDataType::kInvalid;
};

bool checked_operand(const char* name, const Matrix& m, uint64_t rows, uint64_t columns,
                     uint64_t start, uint64_t count, Operand* op, std::string* error) {
  const MatrixDescriptor& d = m.descriptor();
  const uint64_t elt = device_data_type_bytes(d.type);
  op->name = name;
  const std::string who = std::string(name) + " matrix";
  if (d.type != DeviceDataType::kFloat32 && d.type != DeviceDataType::kFloat16) {
    *error = who + " must be float32 or float16";
    return false;
  }
  if (m.buffer() == nullptr) {
    *error = who + " has no buffer";
    return false;
  }
  if (d.rows < rows || d.columns < columns) {
    *error = who + " of " + std::to_string(d.rows) + " x " + std::to_string(d.columns) +
             " is smaller than the " + std::to_string(rows) + " x " + std::to_string(columns) +
             " the product uses";
    return false;
  }
  uint64_t min_row = 0;
  if (__builtin_mul_overflow(d.columns, elt, &min_row) || d.row_bytes < min_row) {
    *error = who + " rows are shorter than its columns";
    return false;
  }
  if (d.matrices < start || count > d.matrices - start) {
    *error = who + " holds " + std::to_string(d.matrices) + " matrices, the batch needs " +
             std::to_string(start) + " + " + std::to_string(count);
    return false;
  }
  uint64_t min_matrix = 0;
  if (count > 1 && (__builtin_mul_overflow(d.rows, d.row_bytes, &min_matrix) ||
                    d.matrix_bytes < min_matrix)) {
    *error = who + " stride is shorter than one matrix";
    return false;
  }
  // Last byte used: offset + (start + count - 1) * matrix_bytes + (rows - 1) * row_bytes +
  // columns * elt, never wrapping.
  uint64_t end = m.offset(), part = 0;
  bool wrapped = false;
  if (rows != 0 && columns != 0 && count != 0) {
    wrapped = __builtin_mul_overflow(start + count - 1, d.matrix_bytes, &part) ||
              __builtin_add_overflow(end, part, &end) ||
              __builtin_mul_overflow(rows - 1, d.row_bytes, &part) ||
              __builtin_add_overflow(end, part, &end) ||
              __builtin_add_overflow(end, columns * elt, &end);
  }
  if (wrapped || end > m.buffer()->length() || m.offset() > m.buffer()->length()) {
    *error = who + " reaches past the end of its buffer";
    return false;
  }
  op->base = m.buffer()->device_bytes() + m.offset() + start * d.matrix_bytes;
  op->rows = rows;
  op->columns = columns;
  op->row_bytes = d.row_bytes;
  op->matrix_bytes = d.matrix_bytes;
  op->type = d.type;
  return true;
}

bool direct_f32(const Operand& op, const uint8_t* at) {
  return op.type == DeviceDataType::kFloat32 && op.row_bytes % sizeof(float) == 0 &&
         reinterpret_cast<uintptr_t>(at) % alignof(float) == 0;
}

// The used part of matrix `at` as f32 rows of `columns` floats.
void widen(const Operand& op, const uint8_t* at, float* dst) {
  for (uint64_t r = 0; r < op.rows; ++r) {
    device_values_to_f32(op.type, at + r * op.row_bytes, dst + r * op.columns, op.columns);
  }
}

struct Product {
  bool tl, tr;
  int64_t m, n, k;
  float alpha, beta;
  Operand left, right, result;
};

bool multiply_one(const Product& p, uint64_t b) {
  const uint8_t* la = p.left.base + b * p.left.matrix_bytes;
  const uint8_t* ra = p.right.base + b * p.right.matrix_bytes;
  uint8_t* ca = p.result.base + b * p.result.matrix_bytes;
  std::vector<float> lw, rw, cw;
  const float* a = reinterpret_cast<const float*>(la);
  const float* bm = reinterpret_cast<const float*>(ra);
  int64_t lda = static_cast<int64_t>(p.left.row_bytes / sizeof(float));
  int64_t ldb = static_cast<int64_t>(p.right.row_bytes / sizeof(float));
  if (!direct_f32(p.left, la)) {
    lw.resize(p.left.rows * p.left.columns);
    widen(p.left, la, lw.data());
    a = lw.data();
    lda = static_cast<int64_t>(p.left.columns);
  }
  if (!direct_f32(p.right, ra)) {
    rw.resize(p.right.rows * p.right.columns);
    widen(p.right, ra, rw.data());
    bm = rw.data();
    ldb = static_cast<int64_t>(p.right.columns);
  }
  if (direct_f32(p.result, ca)) {
    return gemm_f32(p.tl, p.tr, p.m, p.n, p.k, p.alpha, a, std::max<int64_t>(lda, 1), bm,
                    std::max<int64_t>(ldb, 1), p.beta, reinterpret_cast<float*>(ca),
                    std::max<int64_t>(static_cast<int64_t>(p.result.row_bytes / sizeof(float)), 1));
  }
  cw.assign(p.result.rows * p.result.columns, 0.0f);
  if (p.beta != 0.0f) widen(p.result, ca, cw.data());
  if (!gemm_f32(p.tl, p.tr, p.m, p.n, p.k, p.alpha, a, std::max<int64_t>(lda, 1), bm,
                std::max<int64_t>(ldb, 1), p.beta, cw.data(), std::max<int64_t>(p.n, 1)))
    return false;
  // One rounding, from the f32 sums to the result's type.
  for (uint64_t r = 0; r < p.result.rows; ++r) {
    device_values_from_f32(p.result.type, cw.data() + r * p.result.columns, ca + r * p.result.row_bytes,
                           p.result.columns);
  }
  return true;
}

}  // namespace

MatrixDescriptor MatrixDescriptor::make(uint64_t rows, uint64_t columns, uint64_t row_bytes,
                                        DeviceDataType type) {
  return batched(rows, columns, 1, row_bytes, rows * row_bytes, type);
}

MatrixDescriptor MatrixDescriptor::batched(uint64_t rows, uint64_t columns, uint64_t matrices,
                                           uint64_t row_bytes, uint64_t matrix_bytes,
                                           DeviceDataType type) {
  MatrixDescriptor d;
  d.rows = rows;
  d.columns = columns;
  d.matrices = matrices;
  d.row_bytes = row_bytes;
  d.matrix_bytes = matrix_bytes;
  d.type = type;
  return d;
}

uint64_t MatrixDescriptor::row_bytes_for_columns(uint64_t columns, DeviceDataType type) {
  return columns * device_data_type_bytes(type);
}

MatrixMultiplication::MatrixMultiplication(bool transpose_left, bool transpose_right,
                                           uint64_t result_rows, uint64_t result_columns,
                                           uint64_t interior_columns, double alpha, double beta)
    : transpose_left_(transpose_left),
      transpose_right_(transpose_right),
      m_(result_rows),
      n_(result_columns),
      k_(interior_columns),
      alpha_(static_cast<float>(alpha)),
      beta_(static_cast<float>(beta)) {}

void MatrixMultiplication::set_batch(uint64_t start, uint64_t size) {
  batch_start_ = start;
  batch_size_ = size;
}

bool MatrixMultiplication::encode(CommandBuffer& command_buffer, const Matrix& left,
                                  const Matrix& right, const Matrix& result,
                                  std::string* error) const {
  const MatrixMultiplication self = *this;
  const bool ok = command_buffer.encode_host_work([self, left, right, result](std::string* message) {
    return self.multiply(left, right, result, message);
  });
  if (!ok) *error = "matrix multiplication: the command buffer takes no more work";
  return ok;
}

bool MatrixMultiplication::multiply(const Matrix& left, const Matrix& right, const Matrix& result,
                                    std::string* error) const {
  // GEMM takes 32-bit sizes.
  constexpr uint64_t kMaxSide = 0x7FFFFFFF;
  if (m_ > kMaxSide || n_ > kMaxSide || k_ > kMaxSide) {
    *error = "matrix multiplication: a size is out of range";
    return false;
  }
  const uint64_t available = result.descriptor().matrices;
  if (batch_start_ > available) {
    *error = "matrix multiplication: the batch starts past the result's matrices";
    return false;
  }
  const uint64_t count = std::min(batch_size_, available - batch_start_);
  Product p;
  p.tl = transpose_left_;
  p.tr = transpose_right_;
  p.m = static_cast<int64_t>(m_);
  p.n = static_cast<int64_t>(n_);
  p.k = static_cast<int64_t>(k_);
  p.alpha = alpha_;
  p.beta = beta_;
  if (!checked_operand("left", left, transpose_left_ ? k_ : m_, transpose_left_ ? m_ : k_,
                       batch_start_, count, &p.left, error) ||
      !checked_operand("right", right, transpose_right_ ? n_ : k_, transpose_right_ ? k_ : n_,
                       batch_start_, count, &p.right, error) ||
      !checked_operand("result", result, m_, n_, batch_start_, count, &p.result, error)) {
    *error = "matrix multiplication: " + *error;
    return false;
  }
  if (count == 0 || m_ == 0 || n_ == 0) return true;
  if (count == 1) return multiply_one(p, 0);
  // One matrix per task; each product then runs on its task's thread.
  bool ok = true;
  std::vector<uint8_t> done(count, 0);
  parallel_for(count, [&](size_t b) { done[b] = multiply_one(p, b) ? 1 : 0; });
  for (uint8_t d : done) ok = ok && d != 0;
  if (!ok) *error = "matrix multiplication: the product failed";
  return ok;
}

}  // namespace vexa
