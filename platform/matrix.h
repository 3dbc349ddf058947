// Matrix objects of the software device: matrices over device buffers (rows, columns, row bytes,
// batches with a matrix stride) and a multiplication kernel encoded into command buffers.
//
//   MatrixMultiplication mm(false, true, M, N, K, 1.0, 0.0);          // C = A * B^T
//   Matrix a(x_buffer, x_offset, MatrixDescriptor::make(M, K, K * 2, DeviceDataType::kFloat16));
//   Matrix b(w_buffer, 0, MatrixDescriptor::make(N, K, K * 2, DeviceDataType::kFloat16));
//   Matrix c(y_buffer, 0, MatrixDescriptor::make(M, N, N * 2, DeviceDataType::kFloat16));
//   mm.encode(*command_buffer, a, b, c, &error);
//
// result = alpha * op(left) * op(right) + beta * result over result_rows x result_columns with
// interior_columns terms; op transposes when asked (a transposed left is stored K x M). Only
// the top-left part each operand contributes is read or written. Float16 panels are widened to
// f32 once, the product runs on the process GEMM, and a float16 result is rounded once (to
// nearest even); beta 0 never reads the result. Batched matrices multiply batch by batch, the
// matrix stride being matrix_bytes.
//
// Everything is checked when the work runs: a bad shape, type or a view past its buffer fails
// the command buffer with a message instead of touching memory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/device_data_type.h"

namespace vexa {

class CommandBuffer;
class DeviceBuffer;

struct MatrixDescriptor {
  uint64_t rows = 0;
  uint64_t columns = 0;
  uint64_t matrices = 1;
  uint64_t row_bytes = 0;
  uint64_t matrix_bytes = 0;
  DeviceDataType type = DeviceDataType::kInvalid;

  static MatrixDescriptor make(uint64_t rows, uint64_t columns, uint64_t row_bytes,
                               DeviceDataType type);
  static MatrixDescriptor batched(uint64_t rows, uint64_t columns, uint64_t matrices,
                                  uint64_t row_bytes, uint64_t matrix_bytes, DeviceDataType type);
  // Bytes of a packed row: columns times the element size.
  static uint64_t row_bytes_for_columns(uint64_t columns, DeviceDataType type);
};

class Matrix {
 public:
  Matrix(std::shared_ptr<DeviceBuffer> buffer, uint64_t offset, MatrixDescriptor descriptor)
      : buffer_(std::move(buffer)), offset_(offset), descriptor_(descriptor) {}

  const std::shared_ptr<DeviceBuffer>& buffer() const { return buffer_; }
  uint64_t offset() const { return offset_; }
  const MatrixDescriptor& descriptor() const { return descriptor_; }

 private:
  std::shared_ptr<DeviceBuffer> buffer_;
  uint64_t offset_;
  MatrixDescriptor descriptor_;
};

class MatrixMultiplication {
 public:
  MatrixMultiplication(bool transpose_left, bool transpose_right, uint64_t result_rows,
                       uint64_t result_columns, uint64_t interior_columns, double alpha,
                       double beta);

  // Multiplies matrices [start, start + size) of each batch; by default every matrix of the
  // result from the start on.
  void set_batch(uint64_t start, uint64_t size);

  // Encodes the product; false (with *error) when the command buffer takes no more work.
  bool encode(CommandBuffer& command_buffer, const Matrix& left, const Matrix& right,
              const Matrix& result, std::string* error) const;
  // The product itself, on the calling thread (what encoded work runs).
  bool multiply(const Matrix& left, const Matrix& right, const Matrix& result,
                std::string* error) const;

 private:
  bool transpose_left_, transpose_right_;
  uint64_t m_, n_, k_;
  float alpha_, beta_;
  uint64_t batch_start_ = 0;
  uint64_t batch_size_ = UINT64_MAX;
};

}  // namespace vexa
