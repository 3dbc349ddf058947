// Frames into a graph model's planar f32 input: stretch, letterbox or centre crop, sampled
// straight from the frame's own pixel format with 11-bit fixed-point bilinear weights.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "api/session_internal.h"

namespace vexa {

namespace {

constexpr int32_t kWeightOne = 2048;   // 11 fraction bits
constexpr float kWeightScale = 2048.0f;
constexpr float kSampleScale = 2.3841858e-7f;  // 2^-22: both weights' scales removed

struct ChannelLayout {
  uint32_t bytes_per_pixel;
  uint32_t r;
  uint32_t g;
  uint32_t b;
};

ChannelLayout layout_of(uint32_t format) {
  switch (static_cast<PixelFormat>(format)) {
    case PixelFormat::kRgb8: return {3, 0, 1, 2};
    case PixelFormat::kBgr8: return {3, 2, 1, 0};
    case PixelFormat::kRgba8: return {4, 0, 1, 2};
    case PixelFormat::kBgra8: return {4, 2, 1, 0};
    default: return {1, 0, 0, 0};
  }
}

struct Normaliser {
  float scale;
  float mean[3];
  float std[3];

  explicit Normaliser(const Session* s) : scale(s->norm_scale) {
    for (int c = 0; c < 3; ++c) {
      mean[c] = s->norm_mean[c];
      std[c] = s->norm_std[c] == 0.0f ? 1.0f : s->norm_std[c];
    }
  }
  float apply(int c, float v) const { return std::fma(v, scale, -mean[c]) / std[c]; }
};

void write_pixel(float* dst, uint64_t plane, uint64_t at, const Normaliser& n, float v0, float v1,
                 float v2) {
  dst[at] = n.apply(0, v0);
  dst[plane + at] = n.apply(1, v1);
  dst[2 * plane + at] = n.apply(2, v2);
}

}  // namespace

void frame_sample_bilinear(const Frame* frame, bool bgr, float x, float y, float* out0,
                           float* out1, float* out2) {
  const uint32_t w = frame->width;
  const uint32_t h = frame->height;
  x = std::fmin(std::fmax(x, 0.0f), static_cast<float>(w - 1));
  y = std::fmin(std::fmax(y, 0.0f), static_cast<float>(h - 1));
  // Past 2^24 a side's last index may round up to the side itself as a float.
  const uint32_t x0 = std::min(static_cast<uint32_t>(std::floor(x)), w - 1);
  const uint32_t y0 = std::min(static_cast<uint32_t>(std::floor(y)), h - 1);
  const uint32_t x1 = x0 + 1 < w ? x0 + 1 : x0;
  const uint32_t y1 = y0 + 1 < h ? y0 + 1 : y0;
  const int32_t wx1 = static_cast<int32_t>(std::trunc(std::fma(x - static_cast<float>(x0), kWeightScale, 0.5f)));
  const int32_t wy1 = static_cast<int32_t>(std::trunc(std::fma(y - static_cast<float>(y0), kWeightScale, 0.5f)));
  const int32_t wx0 = kWeightOne - wx1;
  const int32_t wy0 = kWeightOne - wy1;
  const ChannelLayout L = layout_of(frame->format);
  const uint8_t* row0 = frame->data + static_cast<uint64_t>(y0) * frame->stride;
  const uint8_t* row1 = frame->data + static_cast<uint64_t>(y1) * frame->stride;
  const uint64_t c0 = static_cast<uint64_t>(x0) * L.bytes_per_pixel;
  const uint64_t c1 = static_cast<uint64_t>(x1) * L.bytes_per_pixel;
  auto channel = [&](uint32_t off) {
    const int32_t p00 = row0[c0 + off];
    const int32_t p10 = row0[c1 + off];
    const int32_t p01 = row1[c0 + off];
    const int32_t p11 = row1[c1 + off];
    const int32_t v = (wx0 * p00 + wx1 * p10) * wy0 + (wx0 * p01 + wx1 * p11) * wy1;
    return static_cast<float>(v) * kSampleScale;
  };
  const float r = channel(L.r);
  const float g = channel(L.g);
  const float b = channel(L.b);
  *out0 = bgr ? b : r;
  *out1 = g;
  *out2 = bgr ? r : b;
}

void preprocess_frame(const Session* s, const Frame* frame, uint32_t width, uint32_t height,
                      float* dst, float* scale_x, float* scale_y, float* pad_x, float* pad_y) {
  const float sw = static_cast<float>(frame->width);
  const float sh = static_cast<float>(frame->height);
  const float W = static_cast<float>(width);
  const float H = static_cast<float>(height);
  const float rx = W / sw;
  const float ry = H / sh;
  const bool bgr = s->color_bgr != 0;
  const Normaliser norm(s);
  const uint64_t plane = static_cast<uint64_t>(width) * height;
  float v0 = 0, v1 = 0, v2 = 0;

  if (s->resize_mode == static_cast<uint32_t>(ResizeMode::kLetterbox)) {
    const float scale = std::fmin(rx, ry);
    const int64_t new_w = static_cast<int64_t>(std::trunc(std::fma(sw, scale, 0.5f)));
    const int64_t new_h = static_cast<int64_t>(std::trunc(std::fma(sh, scale, 0.5f)));
    const int64_t px = (static_cast<int64_t>(width) - new_w) / 2;
    const int64_t py = (static_cast<int64_t>(height) - new_h) / 2;
    *scale_x = scale;
    *scale_y = scale;
    *pad_x = static_cast<float>(px);
    *pad_y = static_cast<float>(py);
    if (width < 1 || height < 1) return;
    const float pad = static_cast<float>(s->letterbox_pad);
    const float pad_value[3] = {norm.apply(0, pad), norm.apply(1, pad), norm.apply(2, pad)};
    const float nw = new_w < 1 ? 1.0f : static_cast<float>(new_w);
    const float nh = new_h < 1 ? 1.0f : static_cast<float>(new_h);
    const float step_x = sw / nw;
    const float step_y = sh / nh;
    for (uint32_t y = 0; y < height; ++y) {
      const int64_t iy = static_cast<int64_t>(y);
      const bool row_inside = iy >= py && iy < py + new_h;
      const float sy = std::fma(static_cast<float>(iy - py) + 0.5f, step_y, -0.5f);
      for (uint32_t x = 0; x < width; ++x) {
        const uint64_t at = static_cast<uint64_t>(y) * width + x;
        const int64_t ix = static_cast<int64_t>(x);
        if (!row_inside || ix < px || ix >= px + new_w) {
          dst[at] = pad_value[0];
          dst[plane + at] = pad_value[1];
          dst[2 * plane + at] = pad_value[2];
          continue;
        }
        const float sx = std::fma(static_cast<float>(ix - px) + 0.5f, step_x, -0.5f);
        frame_sample_bilinear(frame, bgr, sx, sy, &v0, &v1, &v2);
        write_pixel(dst, plane, at, norm, v0, v1, v2);
      }
    }
    return;
  }

  if (s->resize_mode == static_cast<uint32_t>(ResizeMode::kCenterCrop)) {
    const float scale = std::fmax(rx, ry);
    const float crop_w = W / scale;
    const float crop_h = H / scale;
    const float off_x = (sw - crop_w) * 0.5f;
    const float off_y = (sh - crop_h) * 0.5f;
    *scale_x = scale;
    *scale_y = scale;
    *pad_x = -(off_x * scale);
    *pad_y = -(off_y * scale);
    if (width < 1 || height < 1) return;
    for (uint32_t y = 0; y < height; ++y) {
      const float sy = (off_y + (static_cast<float>(y) + 0.5f) / scale) - 0.5f;
      for (uint32_t x = 0; x < width; ++x) {
        const float sx = (off_x + (static_cast<float>(x) + 0.5f) / scale) - 0.5f;
        frame_sample_bilinear(frame, bgr, sx, sy, &v0, &v1, &v2);
        write_pixel(dst, plane, static_cast<uint64_t>(y) * width + x, norm, v0, v1, v2);
      }
    }
    return;
  }

  *scale_x = rx;
  *scale_y = ry;
  *pad_x = 0.0f;
  *pad_y = 0.0f;
  if (width < 1 || height < 1) return;
  const float step_x = sw / W;
  const float step_y = sh / H;
  for (uint32_t y = 0; y < height; ++y) {
    const float sy = std::fma(static_cast<float>(y) + 0.5f, step_y, -0.5f);
    for (uint32_t x = 0; x < width; ++x) {
      const float sx = std::fma(static_cast<float>(x) + 0.5f, step_x, -0.5f);
      frame_sample_bilinear(frame, bgr, sx, sy, &v0, &v1, &v2);
      write_pixel(dst, plane, static_cast<uint64_t>(y) * width + x, norm, v0, v1, v2);
    }
  }
}

}  // namespace vexa
