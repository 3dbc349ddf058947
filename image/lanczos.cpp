#include "image/lanczos.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <mutex>
#include <thread>

#include "core/types.h"
#include "image/lanczos_kernels.h"

namespace vexa {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kLanczosLobes = 3.0;
constexpr double kWeightOne = 4194304.0;  // 2^22
constexpr uint32_t kBytesPerPixel = 3;
// Columns accumulated at once in a vertical pass: a stack block, so the parts never allocate.
constexpr size_t kVerticalChunkBytes = 1536;

std::atomic<uint32_t> g_failing_thread_parts{0};
std::atomic<bool> g_force_portable{false};

bool cpu_has_avx2() {
  static std::once_flag once;
  static bool available = false;
  std::call_once(once, [] { available = lanczos_avx2_available(); });
  return available;
}

[[noreturn]] void throw_bad_dimensions() { throw std::runtime_error("Image dimensions"); }

double sinc(double t) {
  if (t == 0.0) return 1.0;
  const double pt = kPi * t;
  return std::sin(pt) / pt;
}

double lanczos3(double x) {
  if (x < -kLanczosLobes || x >= kLanczosLobes) return 0.0;
  return sinc(x) * sinc(x / kLanczosLobes);
}

// Rounds half away from zero; the tables hold only finite values of magnitude <= 2^22.
int32_t round_weight(double w) { return static_cast<int32_t>(w < 0.0 ? w - 0.5 : w + 0.5); }

bool source_is_valid(const ImageBuffer& image) {
  return image_dims_valid(image.width, image.height) &&
         image.pixels.size() == uint64_t{image.width} * image.height * kBytesPerPixel;
}

void resample_rows_horizontal(const ResampleJob& job, uint32_t part) {
  const ImageBuffer& src = *job.source;
  ImageBuffer& dst = *job.destination;
  const size_t src_row_bytes = size_t{src.width} * kBytesPerPixel;
  const size_t dst_row_bytes = size_t{dst.width} * kBytesPerPixel;
  for (uint32_t y = part; y < dst.height; y += kLanczosParts) {
    const uint8_t* src_row = src.pixels.data() + src_row_bytes * y;
    uint8_t* dst_row = dst.pixels.data() + dst_row_bytes * y;
    for (uint32_t x = 0; x < dst.width; ++x) {
      const int32_t start = job.bounds[2 * size_t{x}];
      const int32_t count = job.bounds[2 * size_t{x} + 1];
      uint8_t* out = dst_row + size_t{x} * kBytesPerPixel;
      if (count < 1) {
        out[0] = out[1] = out[2] = 0;
        continue;
      }
      const int32_t* w = job.weights + size_t{x} * job.taps;
      const uint8_t* s = src_row + size_t(start) * kBytesPerPixel;
      int32_t r = kLanczosRoundingOffset, g = kLanczosRoundingOffset, b = kLanczosRoundingOffset;
      for (int32_t k = 0; k < count; ++k) {
        r += w[k] * s[3 * k];
        g += w[k] * s[3 * k + 1];
        b += w[k] * s[3 * k + 2];
      }
      out[0] = lanczos_clamp_to_byte(r);
      out[1] = lanczos_clamp_to_byte(g);
      out[2] = lanczos_clamp_to_byte(b);
    }
  }
}

// Same sums as the per-pixel formula, taken a block of row bytes at a time so the inner loop
// runs over contiguous bytes. Integer sums do not depend on the order of the terms.
void resample_rows_vertical(const ResampleJob& job, uint32_t part) {
  const ImageBuffer& src = *job.source;
  ImageBuffer& dst = *job.destination;
  const size_t row_bytes = size_t{src.width} * kBytesPerPixel;
  int32_t acc[kVerticalChunkBytes];
  for (uint32_t y = part; y < dst.height; y += kLanczosParts) {
    const int32_t start = job.bounds[2 * size_t{y}];
    const int32_t count = job.bounds[2 * size_t{y} + 1];
    uint8_t* dst_row = dst.pixels.data() + row_bytes * y;
    if (count < 1) {
      std::memset(dst_row, 0, row_bytes);
      continue;
    }
    const int32_t* w = job.weights + size_t{y} * job.taps;
    for (size_t c0 = 0; c0 < row_bytes; c0 += kVerticalChunkBytes) {
      const size_t n = std::min(kVerticalChunkBytes, row_bytes - c0);
      std::fill(acc, acc + n, kLanczosRoundingOffset);
      for (int32_t k = 0; k < count; ++k) {
        const uint8_t* s = src.pixels.data() + row_bytes * size_t(start + k) + c0;
        const int32_t wk = w[k];
        for (size_t j = 0; j < n; ++j) acc[j] += wk * s[j];
      }
      for (size_t j = 0; j < n; ++j) dst_row[c0 + j] = lanczos_clamp_to_byte(acc[j]);
    }
  }
}

std::thread start_part_thread(const ResampleJob& job, uint32_t part) {
  if ((g_failing_thread_parts.load(std::memory_order_relaxed) >> part) & 1u) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                            "thread constructor failed");
  }
  return std::thread(resize_lanczos3_part, std::cref(job), part);
}

// Row slices 1 to 3 go to three workers, slice 0 to the caller. A worker that cannot be created
// has its slice run inline after the caller's own, in increasing order, so the output never
// depends on thread availability.
void run_pass(const ResampleJob& job) {
  constexpr uint32_t kWorkers = kLanczosParts - 1;
  std::thread workers[kWorkers];
  bool started[kWorkers] = {};
  try {
    for (uint32_t p = 1; p <= kWorkers; ++p) {
      try {
        workers[p - 1] = start_part_thread(job, p);
        started[p - 1] = true;
      } catch (const std::system_error&) {
        started[p - 1] = false;
      }
    }
  } catch (...) {
    for (auto& t : workers) {
      if (t.joinable()) t.join();
    }
    throw;
  }
  resize_lanczos3_part(job, 0);
  for (uint32_t p = 1; p <= kWorkers; ++p) {
    if (!started[p - 1]) resize_lanczos3_part(job, p);
  }
  for (auto& t : workers) {
    if (t.joinable()) t.join();
  }
}

}  // namespace

ImageBuffer image_buffer_init(uint32_t width, int32_t height) {
  if (height < 1 || !image_dims_valid(width, static_cast<uint32_t>(height))) {
    throw_bad_dimensions();
  }
  const uint64_t pixels = uint64_t{width} * static_cast<uint32_t>(height);
  ImageBuffer image;
  image.width = width;
  image.height = static_cast<uint32_t>(height);
  image.orientation = 1;
  image.pixels.assign(pixels * kBytesPerPixel, 0);
  return image;
}

ResampleWeights lanczos3_weights(uint32_t source_size, uint32_t target_size) {
  if (source_size < 1 || target_size < 1) throw_bad_dimensions();
  const double ratio = static_cast<double>(source_size) / static_cast<double>(target_size);
  const double filter_scale = ratio < 1.0 ? 1.0 : ratio;
  const double support = kLanczosLobes * filter_scale;
  const uint32_t half_taps = static_cast<uint32_t>(std::ceil(support));

  ResampleWeights table;
  table.taps = 2 * half_taps + 1;
  table.bounds.assign(2 * size_t{target_size}, 0);
  table.weights.assign(size_t{target_size} * table.taps, 0);
  std::vector<double> scratch(table.taps);

  const int32_t n = static_cast<int32_t>(source_size);
  for (uint32_t i = 0; i < target_size; ++i) {
    const double center = ratio * (i + 0.5);
    int32_t start = static_cast<int32_t>(center - support + 0.5);
    if (start < 0) start = 0;
    int32_t end = static_cast<int32_t>(center + support + 0.5);
    end = std::min(end, n);
    // The window never holds more than 2 * support + 1 samples; the clamp only guards the table.
    const int32_t count =
        std::clamp(end - start, int32_t{0}, static_cast<int32_t>(table.taps));
    double sum = 0.0;
    for (int32_t k = 0; k < count; ++k) {
      const double x = (static_cast<double>(start + k) - center + 0.5) / filter_scale;
      scratch[k] = lanczos3(x);
      sum += scratch[k];
    }
    table.bounds[2 * size_t{i}] = start;
    table.bounds[2 * size_t{i} + 1] = count;
    if (sum == 0.0) continue;  // cannot happen for this kernel; keeps the division finite
    int32_t* w = table.weights.data() + size_t{i} * table.taps;
    for (int32_t k = 0; k < count; ++k) w[k] = round_weight(scratch[k] / sum * kWeightOne);
  }
  return table;
}

void resize_lanczos3_part(const ResampleJob& job, uint32_t part) {
  if (job.horizontal) {
    if (job.use_avx2 && job.channel_weights != nullptr) {
      lanczos_rows_horizontal_avx2(job, part);
    } else {
      resample_rows_horizontal(job, part);
    }
  } else if (job.use_avx2) {
    lanczos_rows_vertical_avx2(job, part);
  } else {
    resample_rows_vertical(job, part);
  }
}

ImageBuffer resize_lanczos3(const ImageBuffer& source, uint32_t target, bool horizontal) {
  if (!source_is_valid(source)) throw_bad_dimensions();
  const uint32_t n = horizontal ? source.width : source.height;
  if (target == n) return source;

  // Sizes are checked here, before any table or thread exists.
  if (target > kMaxImageSide) throw_bad_dimensions();
  ImageBuffer result =
      horizontal ? image_buffer_init(target, static_cast<int32_t>(source.height))
                 : image_buffer_init(source.width, static_cast<int32_t>(target));

  const ResampleWeights table = lanczos3_weights(n, target);
  ResampleJob job;
  job.destination = &result;
  job.horizontal = horizontal;
  job.bounds = table.bounds.data();
  job.source = &source;
  job.weights = table.weights.data();
  job.taps = table.taps;
  job.use_avx2 = lanczos_uses_avx2();
  std::vector<int32_t> channel_weights;
  if (job.use_avx2 && horizontal) {
    channel_weights.resize(table.weights.size() * 3);
    for (size_t i = 0; i < table.weights.size(); ++i) {
      channel_weights[3 * i] = channel_weights[3 * i + 1] = channel_weights[3 * i + 2] =
          table.weights[i];
    }
    job.channel_weights = channel_weights.data();
  }
  run_pass(job);
  return result;
}

void lanczos_fail_thread_starts_for_testing(uint32_t part_mask) {
  g_failing_thread_parts.store(part_mask, std::memory_order_relaxed);
}

void lanczos_force_portable_for_testing(bool portable) {
  g_force_portable.store(portable, std::memory_order_relaxed);
}

bool lanczos_uses_avx2() {
  return !g_force_portable.load(std::memory_order_relaxed) && cpu_has_avx2();
}

}  // namespace vexa
