// Request-preparation fixtures: the tiny test model's processor (its six documents as the
// test-support writer makes them, optionally edited), images with recognisable pixels, and the
// independent expectations the tests compare with: views resized by hand-computed sizes with
// the resampler, and the normalisation formula written out.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "generative/model_config.h"
#include "image/lanczos.h"
#include "platform/half.h"
#include "tests/core/container_fixture.h"
#include "tests/support/vlm_model.h"

namespace vexa::testing {

// The tiny model's documents keyed by asset name.
inline nlohmann::json tiny_assets() {
  static const nlohmann::json assets = [] {
    std::vector<AuxBlob> blobs;
    VlmModelInfo info;
    std::string error;
    if (!make_vlm_assets(tiny_vlm_desc(VlmWeights::fp16), &blobs, &info, &error)) {
      ADD_FAILURE() << error;
    }
    nlohmann::json a = nlohmann::json::object();
    for (const AuxBlob& b : blobs) a[b.name] = nlohmann::json::parse(b.blob);
    return a;
  }();
  return assets;
}

inline std::unique_ptr<Processor> tiny_processor_with(
    const std::function<void(nlohmann::json&)>& edit) {
  nlohmann::json a = tiny_assets();
  edit(a);
  return processor_load_config(std::move(a));
}

inline const Processor& tiny_processor() {
  static const std::unique_ptr<Processor> p = tiny_processor_with([](nlohmann::json&) {});
  return *p;
}

// A written tiny model container, and a descriptor holding it after `prefix` filler bytes.
struct TinyContainer {
  std::vector<uint8_t> bytes;
  uint64_t metadata_length = 0;
  int fd = -1;
  explicit TinyContainer(uint64_t prefix = 0) {
    VlmModelInfo info;
    std::string error;
    EXPECT_TRUE(write_vlm_model(tiny_vlm_desc(VlmWeights::fp16), &bytes, &info, &error)) << error;
    std::memcpy(&metadata_length, bytes.data() + 48, sizeof metadata_length);
    fd = memory_file(bytes, prefix);
  }
  ~TinyContainer() {
    if (fd >= 0) close(fd);
  }
  TinyContainer(const TinyContainer&) = delete;
  TinyContainer& operator=(const TinyContainer&) = delete;
};

// Packed RGB with a different smooth-and-busy pattern per seed, so crops, tiles and resizes
// that land in the wrong place give different bytes.
inline std::vector<uint8_t> pattern_rgb(uint32_t width, uint32_t height, uint32_t seed = 0) {
  std::vector<uint8_t> rgb(size_t{3} * width * height);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      for (uint32_t c = 0; c < 3; ++c) {
        rgb[(size_t{y} * width + x) * 3 + c] =
            static_cast<uint8_t>((7 * x + 3 * y + 90 * c + seed * 31 + (x * y) / 97) % 256);
      }
    }
  }
  return rgb;
}

// Packed RGB rows of `width` pixels given to a request as raw pixels (the bytes stay the
// caller's).
inline ImageInput pixels_input(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height,
                               uint32_t orientation = 1) {
  ImageInput in{};
  in.kind = kImageInputPixels;
  in.data = rgb.data();
  in.length = rgb.size();
  in.width = width;
  in.height = height;
  in.stride = uint64_t{3} * width;
  in.layout = 1;
  in.orientation = orientation;
  return in;
}

inline ImageBuffer image_of(uint32_t width, uint32_t height, std::vector<uint8_t> rgb) {
  ImageBuffer b;
  b.width = width;
  b.height = height;
  b.pixels = std::move(rgb);
  return b;
}

// Width first, then height, as the view stage promises.
inline ImageBuffer resized(const ImageBuffer& image, uint32_t width, uint32_t height) {
  return resize_lanczos3(resize_lanczos3(image, width, true), height, false);
}

inline ImageBuffer block_of(const ImageBuffer& image, uint32_t x, uint32_t y, uint32_t width,
                            uint32_t height) {
  std::vector<uint8_t> rgb;
  for (uint32_t r = 0; r < height; ++r) {
    const uint8_t* row = image.pixels.data() + (size_t{y + r} * image.width + x) * 3;
    rgb.insert(rgb.end(), row, row + size_t{3} * width);
  }
  return image_of(width, height, std::move(rgb));
}

// The tiny model normalises with rescale 1/255, mean 0.5 and std 0.5 on every channel.
inline float normalised(uint8_t byte) {
  const auto scaled = static_cast<float>(byte * (1.0 / 255.0));
  return (scaled - 0.5f) / 0.5f;
}

// Planar [views, 3, 512, 512] of the given packed views, as F32 or F16 bytes.
inline std::vector<uint8_t> expected_pixel_values(const std::vector<ImageBuffer>& views,
                                                  bool f16) {
  const size_t plane = size_t{512} * 512;
  const size_t size = f16 ? 2 : 4;
  std::vector<uint8_t> out(views.size() * 3 * plane * size);
  for (size_t v = 0; v < views.size(); ++v) {
    EXPECT_EQ(views[v].width, 512u);
    EXPECT_EQ(views[v].height, 512u);
    for (size_t c = 0; c < 3; ++c) {
      for (size_t i = 0; i < plane; ++i) {
        const float value = normalised(views[v].pixels[i * 3 + c]);
        uint8_t* at = out.data() + ((v * 3 + c) * plane + i) * size;
        if (f16) {
          const uint16_t h = f16_round_even(value);
          std::memcpy(at, &h, 2);
        } else {
          std::memcpy(at, &value, 4);
        }
      }
    }
  }
  return out;
}

template <typename T>
std::vector<T> values_of(const std::vector<uint8_t>& bytes) {
  std::vector<T> v(bytes.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * sizeof(T));
  return v;
}

inline std::string error_of(const std::function<void()>& body) {
  try {
    body();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace vexa::testing
