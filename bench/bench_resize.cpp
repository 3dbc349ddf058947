// Lanczos-3 resize of a 4000 x 3000 RGB image, beside Pillow's resize of the same image in the
// same run. Our passes use three worker threads plus the caller, and are also timed with every
// part on the calling thread (one thread, like Pillow's resize). Times are medians of several
// runs after a warm-up.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "image/lanczos.h"

namespace {

constexpr uint32_t kSourceWidth = 4000;
constexpr uint32_t kSourceHeight = 3000;
constexpr int kWarmupRuns = 2;
constexpr int kTimedRuns = 7;

struct Target {
  uint32_t width;
  uint32_t height;
};
constexpr Target kTargets[] = {{224, 224}, {1024, 768}};

// A photo-like synthetic image: smooth gradients with deterministic noise on top.
vexa::ImageBuffer make_source() {
  vexa::ImageBuffer image = vexa::image_buffer_init(kSourceWidth, kSourceHeight);
  uint32_t state = 12345;
  for (uint32_t y = 0; y < kSourceHeight; ++y) {
    for (uint32_t x = 0; x < kSourceWidth; ++x) {
      state = state * 1664525u + 1013904223u;
      const uint32_t noise = (state >> 24) & 31;
      uint8_t* p = image.pixels.data() + 3 * (size_t{y} * kSourceWidth + x);
      p[0] = static_cast<uint8_t>((x * 255 / kSourceWidth + noise) & 255);
      p[1] = static_cast<uint8_t>((y * 255 / kSourceHeight + noise) & 255);
      p[2] = static_cast<uint8_t>(((x + y) / 32 * 7 + noise) & 255);
    }
  }
  return image;
}

bool write_ppm(const std::string& path, const vexa::ImageBuffer& image) {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << image.width << " " << image.height << "\n255\n";
  out.write(reinterpret_cast<const char*>(image.pixels.data()),
            static_cast<std::streamsize>(image.pixels.size()));
  return static_cast<bool>(out);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double time_ours_ms(const vexa::ImageBuffer& src, const Target& t, vexa::ImageBuffer* last) {
  std::vector<double> times;
  for (int run = 0; run < kWarmupRuns + kTimedRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    vexa::ImageBuffer wide = vexa::resize_lanczos3(src, t.width, true);
    vexa::ImageBuffer out = vexa::resize_lanczos3(wide, t.height, false);
    const auto end = std::chrono::steady_clock::now();
    if (run >= kWarmupRuns) {
      times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    *last = std::move(out);
  }
  return median(times);
}

// Runs Pillow on the image file; returns the median time per target in ms (negative when
// Pillow could not be run) and leaves its outputs next to the input for a byte comparison.
std::vector<double> time_pillow_ms(const std::string& image_path) {
  std::string sizes;
  for (const Target& t : kTargets) {
    sizes += " " + std::to_string(t.width) + "x" + std::to_string(t.height);
  }
  const std::string script =
      "import sys, time, statistics\n"
      "from PIL import Image\n"
      "src = Image.open(sys.argv[1]); src.load()\n"
      "for size in sys.argv[2:]:\n"
      "    w, h = map(int, size.split('x'))\n"
      "    times = []\n"
      "    for run in range(" + std::to_string(kWarmupRuns + kTimedRuns) + "):\n"
      "        t0 = time.perf_counter(); out = src.resize((w, h), Image.LANCZOS)\n"
      "        t1 = time.perf_counter()\n"
      "        if run >= " + std::to_string(kWarmupRuns) + ": times.append((t1 - t0) * 1000.0)\n"
      "    out.save(sys.argv[1] + '.' + size + '.ppm')\n"
      "    print(statistics.median(times))\n";
  const std::string script_path = image_path + ".py";
  {
    std::ofstream f(script_path);
    f << script;
  }
  const std::string command = "/usr/bin/python3 " + script_path + " " + image_path + sizes;
  std::vector<double> result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe != nullptr) {
    double ms = 0;
    while (result.size() < std::size(kTargets) && std::fscanf(pipe, "%lf", &ms) == 1) {
      result.push_back(ms);
    }
    pclose(pipe);
  }
  std::remove(script_path.c_str());
  result.resize(std::size(kTargets), -1.0);
  return result;
}

// Compares our bytes with Pillow's saved output (P6 written by Pillow, no comments).
const char* compare_with_pillow(const std::string& path, const vexa::ImageBuffer& ours) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "n/a";
  std::string magic;
  uint32_t w = 0, h = 0, maxval = 0;
  in >> magic >> w >> h >> maxval;
  in.get();
  std::vector<uint8_t> pixels(size_t{w} * h * 3);
  in.read(reinterpret_cast<char*>(pixels.data()), static_cast<std::streamsize>(pixels.size()));
  if (!in || w != ours.width || h != ours.height) return "n/a";
  return pixels == ours.pixels ? "identical" : "DIFFERENT";
}

}  // namespace

int main() {
  const vexa::ImageBuffer source = make_source();
  char path_template[] = "/tmp/vexa_bench_resize_XXXXXX";
  const int fd = mkstemp(path_template);
  if (fd < 0) {
    std::perror("mkstemp");
    return 1;
  }
  close(fd);
  const std::string image_path = path_template;
  if (!write_ppm(image_path, source)) {
    std::fprintf(stderr, "cannot write %s\n", image_path.c_str());
    return 1;
  }
  const std::vector<double> pillow = time_pillow_ms(image_path);

  std::printf("Lanczos-3 resize of %ux%u RGB (median of %d runs after %d warm-up), %s kernels\n",
              kSourceWidth, kSourceHeight, kTimedRuns, kWarmupRuns,
              vexa::lanczos_uses_avx2() ? "AVX2" : "portable");
  std::printf("vexa: 4 threads (3 workers + caller per pass) and 1 thread; Pillow: 1 thread\n");
  for (size_t i = 0; i < std::size(kTargets); ++i) {
    const Target& t = kTargets[i];
    vexa::ImageBuffer out;
    const double ours = time_ours_ms(source, t, &out);
    vexa::lanczos_fail_thread_starts_for_testing(0xE);  // every part inline on this thread
    vexa::ImageBuffer single_out;
    const double single = time_ours_ms(source, t, &single_out);
    vexa::lanczos_fail_thread_starts_for_testing(0);
    const std::string pillow_out =
        image_path + "." + std::to_string(t.width) + "x" + std::to_string(t.height) + ".ppm";
    const char* same = compare_with_pillow(pillow_out, out);
    std::remove(pillow_out.c_str());
    if (pillow[i] > 0) {
      std::printf(
          "resize %ux%u -> %ux%u: vexa %.2f ms (4 thr), %.2f ms (1 thr)  pillow %.2f ms (1 thr)  "
          "ratio %.2fx (4 thr), %.2fx (1 thr)  bytes %s\n",
          kSourceWidth, kSourceHeight, t.width, t.height, ours, single, pillow[i],
          pillow[i] / ours, pillow[i] / single, same);
    } else {
      std::printf("resize %ux%u -> %ux%u: vexa %.2f ms (4 thr), %.2f ms (1 thr)  pillow n/a\n",
                  kSourceWidth, kSourceHeight, t.width, t.height, ours, single);
    }
  }
  std::remove(image_path.c_str());
  return 0;
}
