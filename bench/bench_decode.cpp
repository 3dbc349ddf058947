// Image decoding speed: our decoder against a direct libjpeg-turbo decode with the same settings
// (the cost of our checks, EXIF walks and rotation on top of the library), and the PPM fast path
// against a plain copy. One thread; medians of several runs after a warm-up.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "bench/bench_timing.h"
#include "image/decode.h"

namespace {

constexpr int kRuns = 9;

using vexa::bench::median_ms;

std::vector<uint8_t> read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// The reference: the library's standard decompression into one RGB block (errors abort, as the
// inputs are known good).
void libjpeg_decode(const std::vector<uint8_t>& bytes) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), bytes.size());
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  cinfo.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&cinfo);
  const size_t row = size_t{3} * cinfo.output_width;
  auto* px = static_cast<uint8_t*>(std::malloc(row * cinfo.output_height));
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW r = px + row * cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  std::free(px);
}

void ours(const std::vector<uint8_t>& bytes) {
  vexa::RgbImage img{};
  if (vexa::decode_image_bytes(bytes.data(), bytes.size(), &img, nullptr) == 0) std::abort();
  vexa::free_image(&img);
}

void line(const char* name, double mine, double reference) {
  std::printf("%-44s ours %8.3f ms  reference %8.3f ms  ratio %.2f\n", name, mine, reference,
              mine / reference);
}

}  // namespace

// The shared test data sits beside the project: <project>/../shared/testdata. An argument
// overrides it.
std::string default_testdata() {
  std::string here = __FILE__;  // <project>/bench/bench_decode.cpp
  for (int i = 0; i < 2; ++i) here = here.substr(0, here.find_last_of('/'));
  return here + "/../shared/testdata";
}

int main(int argc, char** argv) {
  const std::string root = argc > 1 ? argv[1] : default_testdata();
  std::printf("threads: 1\n");
  for (const char* name : {"Landscape_1.jpg", "Landscape_3.jpg", "Landscape_6.jpg"}) {
    const auto bytes = read_all(root + "/images/exif-orientation/" + name);
    if (bytes.empty()) {
      std::printf("%s: missing\n", name);
      continue;
    }
    line((std::string("jpeg 1800x1200 ") + name + " vs libjpeg").c_str(),
         median_ms(kRuns, [&] { ours(bytes); }), median_ms(kRuns, [&] { libjpeg_decode(bytes); }));
  }

  // PPM fast path on a 1800x1200 picture against copying the same pixel bytes.
  const uint32_t w = 1800;
  const uint32_t h = 1200;
  const std::string header = "P6\n1800 1200\n255\n";
  std::vector<uint8_t> ppm(header.begin(), header.end());
  ppm.resize(header.size() + size_t{3} * w * h, 128);
  line("ppm 1800x1200 from memory vs memcpy",
       median_ms(kRuns, [&] {
         uint32_t ow = 0;
         uint32_t oh = 0;
         uint8_t* px = nullptr;
         if (vexa::decode_image_memory_rgb(ppm.data(), ppm.size(), &ow, &oh, &px) == 0) std::abort();
         vexa::free_pixels(px);
       }),
       median_ms(kRuns, [&] {
         auto* px = static_cast<uint8_t*>(std::malloc(size_t{3} * w * h));
         std::memcpy(px, ppm.data() + header.size(), size_t{3} * w * h);
         asm volatile("" : : "r"(px) : "memory");  // keep the copy
         std::free(px);
       }));
  return 0;
}
