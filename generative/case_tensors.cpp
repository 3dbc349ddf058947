#include "generative/case_tensors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/checked_math.h"
#include "core/clock.h"
#include "core/container.h"
#include "core/domain_error.h"

namespace vexa {

namespace {

constexpr const char* kDomain = "VexaInference";
constexpr double kMsPerSecond = 1000.0;
// Exponent all ones: an infinity or a NaN.
constexpr uint16_t kF16MagnitudeMask = 0x7FFF;
constexpr uint16_t kF16LargestFinite = 0x7BFF;
constexpr uint32_t kF32MagnitudeMask = 0x7FFFFFFF;
constexpr uint32_t kF32Infinity = 0x7F800000;

[[noreturn]] void raise(const char* message) { throw DomainError(kDomain, message); }

// Case inputs take 2 bytes for F16, 4 for F32 and 8 for anything else.
uint64_t case_element_bytes(uint64_t dtype) {
  if (dtype == kVXDtypeF16) return 2;
  if (dtype == kVXDtypeF32) return 4;
  return 8;
}

double ms_between(double a, double b) { return (b - a) * kMsPerSecond; }

uint8_t* tensor_bytes(const VXTensor& t) {
  return static_cast<uint8_t*>(t.buffer->contents()) + t.offset;
}

// Reads a regular file of exactly `want` bytes; anything else (a folder, a device, a FIFO, a
// file of another size) is refused without reading it.
bool read_whole_file(const std::string& path, uint64_t want, std::vector<uint8_t>* out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == want;
  if (ok) {
    out->resize(static_cast<size_t>(want));
    ok = read_fully_at(fd, out->data(), want, 0);
  }
  ::close(fd);
  return ok;
}

bool all_finite(std::span<const uint8_t> bytes, uint64_t dtype) {
  if (dtype == kVXDtypeF16) {
    for (size_t i = 0; i + 2 <= bytes.size(); i += 2) {
      uint16_t h;
      std::memcpy(&h, bytes.data() + i, sizeof h);
      if ((h & kF16MagnitudeMask) > kF16LargestFinite) return false;
    }
  } else if (dtype == kVXDtypeF32) {
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
      uint32_t w;
      std::memcpy(&w, bytes.data() + i, sizeof w);
      if ((w & kF32MagnitudeMask) >= kF32Infinity) return false;
    }
  }
  return true;
}

}  // namespace

int64_t host_i64(std::span<const uint8_t> bytes, uint64_t i) {
  int64_t v;
  std::memcpy(&v, bytes.data() + i * sizeof v, sizeof v);
  return v;
}

VXTensorPtr upload_tensor(VXGraph& graph, std::vector<uint64_t> shape, uint64_t dtype,
                          const void* bytes) {
  VXTensorPtr t = graph.tensor(std::move(shape), dtype);
  const uint64_t n = t->count * vx_element_bytes(dtype);
  if (n > 0) std::memcpy(tensor_bytes(*t), bytes, static_cast<size_t>(n));
  return t;
}

VXTensorPtr empty_leading_tensor(VXGraph& graph, const VXTensor& like) {
  std::vector<uint64_t> shape = like.shape;
  if (!shape.empty()) shape[0] = 0;
  return graph.tensor(std::move(shape), like.dtype);
}

VXTensorPtr cache_prefix_view(const VXTensor& cached, uint64_t positions) {
  auto view = std::make_shared<VXTensor>();
  view->buffer = cached.buffer;
  view->offset = cached.offset;
  view->dtype = cached.dtype;
  view->cache_stride = cached.cache_stride;
  view->shape = cached.shape;
  if (view->shape.size() > 2) view->shape[2] = positions;
  view->count = shape_element_count(view->shape);
  return view;
}

UploadedInputs upload_case_inputs(VXGraph& graph, const GenerationCase& c,
                                  const std::string* base_directory, bool inputs_in_memory) {
  UploadedInputs out;
  for (const auto& [name, input] : c.inputs) {
    const double t_a = monotonic_seconds();
    // The bytes are checked against the shape before any device memory is taken, so a case
    // that claims a huge tensor with a few bytes is refused without allocating it.
    const uint64_t want = shape_element_count(input.shape) * case_element_bytes(input.dtype);
    std::span<const uint8_t> bytes;
    bool have = false;
    if (inputs_in_memory) {
      bytes = input.data;
      have = input.has_data;
    } else if (!input.file.empty()) {
      std::string path = input.file;
      if (path.front() != '/' && base_directory != nullptr && !base_directory->empty()) {
        path = *base_directory + "/" + path;
      }
      std::vector<uint8_t>& stored = out.file_bytes[name];
      have = read_whole_file(path, want, &stored);
      bytes = stored;
    }
    const double t_read = monotonic_seconds();
    if (!have || bytes.size() != want) raise("Input data length");

    VXTensorPtr tensor = graph.tensor(input.shape, input.dtype);
    const double t_alloc = monotonic_seconds();
    if (want > 0) std::memcpy(tensor_bytes(*tensor), bytes.data(), static_cast<size_t>(want));
    const double t_copy = monotonic_seconds();

    if (!inputs_in_memory && input.dtype != kVXDtypeI64 && !all_finite(bytes, input.dtype)) {
      raise("Input contains nonfinite values");
    }
    const double t_finite = monotonic_seconds();

    out.stages_ms[name] = {{"allocation_ms", ms_between(t_read, t_alloc)},
                           {"file_read_ms", ms_between(t_a, t_read)},
                           {"copy_ms", ms_between(t_alloc, t_copy)},
                           {"finite_validation_ms", ms_between(t_copy, t_finite)}};
    out.tensor_ms[name] = ms_between(t_a, monotonic_seconds());
    out.host[name] = bytes;
    out.tensors[name] = std::move(tensor);
  }
  return out;
}

}  // namespace vexa
