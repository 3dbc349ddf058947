// The direct convolution (weights packed in blocks of 16 output channels, tiles of up to six
// adjacent outputs): against a naive double-precision sum, the vector kernel against the
// portable one bit for bit, the same bits at any thread count, the tile kernels against the
// documented chain of fused multiply-adds, the epilogue against its separate steps, refusals
// that leave the output alone, and non-finite inputs that stay inside their windows.
#include "cpu/ops/conv_direct.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "conv_reference.h"
#include "dense_tolerance.h"
#include "platform/thread_pool.h"

namespace vexa::cpu {
namespace {

using testing::kDenseTolerance;
using testing::lcg_values;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
// Floats on each side of an output buffer that a kernel must never write.
constexpr size_t kGuardFloats = 8;
constexpr float kGuardValue = 12345.0f;

// One convolution shape; pad_after is the bottom/right padding the output size implies.
struct Shape {
  const char* name;
  int32_t batch, c_in, h, w, c_out, kh, kw, stride, pad, pad_after;
};

ConvGeometry geometry(const Shape& s) {
  ConvGeometry g;
  g.batch = s.batch;
  g.c_in = s.c_in;
  g.h = s.h;
  g.w = s.w;
  g.c_out = s.c_out;
  g.kh = s.kh;
  g.kw = s.kw;
  g.sh = g.sw = s.stride;
  g.pt = g.pl = s.pad;
  g.oh = (s.h + s.pad + s.pad_after - s.kh) / s.stride + 1;
  g.ow = (s.w + s.pad + s.pad_after - s.kw) / s.stride + 1;
  return g;
}

size_t input_floats(const ConvGeometry& g) {
  return static_cast<size_t>(g.batch) * g.c_in * g.h * g.w;
}
size_t weight_floats(const ConvGeometry& g) {
  return static_cast<size_t>(g.c_out) * g.c_in * g.kh * g.kw;
}
size_t output_floats(const ConvGeometry& g) {
  return static_cast<size_t>(g.batch) * g.c_out * g.oh * g.ow;
}

// Index of the first float whose bits differ, n when none do. With nan_alike, any two NaNs
// count as equal (their payloads are not part of any contract here).
size_t first_difference(const float* a, const float* b, size_t n, bool nan_alike = false) {
  for (size_t i = 0; i < n; ++i) {
    if (nan_alike && std::isnan(a[i]) && std::isnan(b[i])) continue;
    if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) return i;
  }
  return n;
}

::testing::AssertionResult same_bits(const std::vector<float>& got, const std::vector<float>& want,
                                     bool nan_alike = false) {
  if (got.size() != want.size()) {
    return ::testing::AssertionFailure() << "sizes " << got.size() << " vs " << want.size();
  }
  const size_t at = first_difference(got.data(), want.data(), got.size(), nan_alike);
  if (at == got.size()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "element " << at << ": " << got[at] << " vs " << want[at];
}

// A buffer of n floats between guard floats; the inside starts as NaN so any element a
// kernel forgets to write shows up.
struct Guarded {
  std::vector<float> buffer;
  explicit Guarded(size_t n) : buffer(n + 2 * kGuardFloats, kNaN) {
    std::fill(buffer.begin(), buffer.begin() + kGuardFloats, kGuardValue);
    std::fill(buffer.end() - kGuardFloats, buffer.end(), kGuardValue);
  }
  float* data() { return buffer.data() + kGuardFloats; }
  std::vector<float> inside() const {
    return std::vector<float>(buffer.begin() + kGuardFloats, buffer.end() - kGuardFloats);
  }
  ::testing::AssertionResult guards_intact() const {
    for (size_t i = 0; i < kGuardFloats; ++i) {
      const float before = buffer[i], after = buffer[buffer.size() - 1 - i];
      if (std::memcmp(&before, &kGuardValue, sizeof(float)) != 0 ||
          std::memcmp(&after, &kGuardValue, sizeof(float)) != 0) {
        return ::testing::AssertionFailure() << "guard float " << i << " overwritten";
      }
    }
    return ::testing::AssertionSuccess();
  }
};

// Forces the portable kernel for its lifetime, so a failed assertion cannot leave it on.
class PortableScope {
 public:
  PortableScope() { cpu_conv_direct_force_portable(true); }
  ~PortableScope() { cpu_conv_direct_force_portable(false); }
  PortableScope(const PortableScope&) = delete;
  PortableScope& operator=(const PortableScope&) = delete;
};

// Packs the weights into a buffer of exactly the size asked for, so a sanitizer sees any
// read past it.
std::vector<float> pack(const ConvGeometry& g, const std::vector<float>& w) {
  std::vector<float> packed(cpu_conv_direct_weight_floats(g), kNaN);
  cpu_conv_direct_pack(g, w.data(), packed.data());
  return packed;
}

// The direct path between guard floats. Its padded-row buffers outlive a call, so every
// call after the first reads rows another shape or a NaN input left behind unless it
// rewrites them in full.
std::vector<float> run_direct(const ConvGeometry& g, const std::vector<float>& x,
                              const std::vector<float>& packed, const ConvEpilogue& e) {
  Guarded y(output_floats(g));
  EXPECT_TRUE(cpu_conv2d_direct(g, x.data(), packed.data(), y.data(), e));
  EXPECT_TRUE(y.guards_intact());
  return y.inside();
}

using Reference = testing::ConvReference;

Reference naive_conv(const ConvGeometry& g, const std::vector<float>& x,
                     const std::vector<float>& w, const float* bias) {
  return testing::conv_reference(g, x, w, bias);
}

::testing::AssertionResult close_to(const ConvGeometry& g, const std::vector<float>& got,
                                    const Reference& want) {
  const int64_t plane = int64_t{g.oh} * g.ow;
  for (size_t i = 0; i < got.size(); ++i) {
    const double err = std::fabs(double{got[i]} - want.value[i]);
    if (!(err <= kDenseTolerance * want.magnitude[i])) {
      const int64_t item = static_cast<int64_t>(i) / (g.c_out * plane);
      const int64_t co = static_cast<int64_t>(i) / plane % g.c_out;
      const int64_t p = static_cast<int64_t>(i) % plane;
      return ::testing::AssertionFailure()
             << "item " << item << " channel " << co << " row " << p / g.ow << " column "
             << p % g.ow << ": got " << got[i] << ", want " << want.value[i];
    }
  }
  return ::testing::AssertionSuccess();
}

std::string describe(const ConvGeometry& g) {
  ::testing::Message m;
  m << g.batch << "x" << g.c_in << "x" << g.h << "x" << g.w << " -> " << g.c_out << "x" << g.oh
    << "x" << g.ow << " k" << g.kh << "x" << g.kw << " s" << g.sh << " p" << g.pt;
  return m.GetString();
}

// Whether a test runs g through the direct path: only shapes the path takes, and the
// ResNet-like 3x3 layers it exists for must stay among them.
bool direct_takes(const ConvGeometry& g) {
  const bool eligible = cpu_conv_direct_eligible(g);
  const bool resnet_like = g.group == 1 && g.kh == 3 && g.kw == 3 && g.dh == 1 && g.dw == 1 &&
                           (g.sh == 1 || g.sh == 2) && g.sw == g.sh && g.pt == 1 && g.pl == 1 &&
                           g.c_in >= 16 && g.c_out >= 16;
  EXPECT_TRUE(eligible || !resnet_like) << describe(g) << " no longer takes the direct path";
  return eligible;
}

// ResNet-like 3x3 layers: the shapes the direct path exists for.
constexpr Shape kResNetShapes[] = {
    {"3x3 s1 16->16", 1, 16, 10, 10, 16, 3, 3, 1, 1, 1},
    {"3x3 s2 16->32 batch 2", 2, 16, 13, 13, 32, 3, 3, 2, 1, 1},
    {"3x3 s1 24->20 odd plane", 1, 24, 9, 13, 20, 3, 3, 1, 1, 1},
    {"3x3 s2 32->48 even plane", 1, 32, 14, 14, 48, 3, 3, 2, 1, 1},
    {"3x3 s1 17->33", 1, 17, 7, 5, 33, 3, 3, 1, 1, 1},
};

// Every other family: window sizes and strides, output widths around the six-output tile,
// channel counts around the 16-channel block, no padding and padding k - 1, SAME-style
// padding only after, windows larger than the input, long rows.
constexpr Shape kOtherShapes[] = {
    {"5x5 s1 p2", 1, 8, 11, 14, 20, 5, 5, 1, 2, 2},
    {"5x5 s2 p0", 2, 16, 13, 16, 8, 5, 5, 2, 0, 0},
    {"7x7 s2 p3 stem", 1, 3, 20, 17, 20, 7, 7, 2, 3, 3},
    {"7x7 s2 p3 stem 16 out", 2, 3, 15, 16, 16, 7, 7, 2, 3, 3},
    {"2x3 non-square", 1, 5, 9, 13, 8, 2, 3, 1, 1, 1},
    {"2x3 non-square s2", 1, 16, 10, 12, 20, 2, 3, 2, 0, 0},
    {"width 1", 1, 16, 6, 1, 16, 3, 3, 1, 1, 1},
    {"width 5", 1, 16, 5, 5, 20, 3, 3, 1, 1, 1},
    {"width 7 batch 2", 2, 16, 7, 7, 33, 3, 3, 1, 1, 1},
    {"width 13 s2", 1, 16, 9, 25, 16, 3, 3, 2, 1, 1},
    {"width 14", 1, 16, 5, 14, 8, 3, 3, 1, 1, 1},
    {"c_in 1 5x5", 1, 1, 12, 11, 8, 5, 5, 1, 2, 2},
    {"c_in 3", 1, 3, 11, 9, 20, 3, 3, 1, 1, 1},
    {"c_in 17 s2", 1, 17, 12, 15, 33, 3, 3, 2, 1, 1},
    {"pad 0", 1, 16, 8, 9, 16, 3, 3, 1, 0, 0},
    {"pad k-1 3x3", 1, 4, 6, 7, 20, 3, 3, 1, 2, 2},
    {"pad k-1 5x5", 1, 3, 5, 6, 8, 5, 5, 1, 4, 4},
    {"pad after only s2", 1, 16, 12, 11, 16, 3, 3, 2, 0, 1},
    {"stride 3", 1, 8, 14, 16, 20, 3, 3, 3, 1, 1},
    {"stride 3 2x2 window leaves gaps", 1, 6, 11, 11, 8, 2, 2, 3, 0, 0},
    {"window taller than input", 1, 4, 2, 3, 8, 3, 3, 1, 2, 2},
    // Padding wider than the window: the outer output rows and columns see only zeros.
    {"pads beyond the window", 1, 16, 2, 3, 16, 3, 3, 1, 4, 4},
    {"one output per plane", 2, 16, 3, 3, 16, 3, 3, 1, 0, 0},
    {"48 channels both ways", 1, 48, 6, 8, 48, 3, 3, 1, 1, 1},
    // Padded rows too long for all of them to be copied at once: several row ranges even on
    // one thread.
    {"long rows", 1, 16, 6, 600, 20, 3, 3, 1, 1, 1},
    // A deep input over a one-column plane: the cache bound asks for more row ranges than
    // the least run of outputs per range allows.
    {"deep input, one column", 1, 1024, 48, 1, 16, 3, 3, 1, 1, 1},
    // Deep windows over several tiles, with a channel tail.
    {"deep s2 channel tail", 1, 256, 9, 9, 20, 3, 3, 2, 1, 1},
    {"deep s1 batch 2", 2, 240, 7, 7, 33, 3, 3, 1, 1, 1},
    // Shallow windows on wide rows take the row kernel: stride 1 to 3, channel tails of 4, 1
    // and 8, rows ending in partial vectors, a non-square window.
    {"shallow wide s1", 1, 3, 9, 40, 20, 3, 3, 1, 1, 1},
    {"shallow wide s2 batch 2", 2, 3, 12, 45, 16, 3, 3, 2, 1, 1},
    {"shallow 5x5 wide", 1, 2, 7, 35, 33, 5, 5, 1, 2, 2},
    {"shallow s2 pad 0", 1, 2, 6, 64, 8, 3, 3, 2, 0, 0},
    {"shallow s3 wide", 1, 4, 7, 70, 16, 3, 3, 3, 1, 1},
    {"shallow 2x3 wide", 1, 3, 6, 40, 16, 2, 3, 1, 1, 1},
};

// Wide rows on the tile kernel: one or several outputs per row end reaching into the padding,
// none at the right, stride 1 to 3, pads beyond the window, batch 2.
constexpr Shape kWideShapes[] = {
    {"wide 3x3 s1", 1, 16, 7, 30, 20, 3, 3, 1, 1, 1},
    {"wide 3x3 s2 batch 2", 2, 8, 9, 41, 33, 3, 3, 2, 1, 1},
    {"wide 5x5 p2", 1, 8, 8, 33, 16, 5, 5, 1, 2, 2},
    {"wide pads beyond the window", 1, 16, 3, 20, 16, 3, 3, 1, 4, 4},
    {"wide s3 no right edge", 1, 8, 8, 60, 16, 3, 3, 3, 1, 1},
    {"wide pad after only s2", 1, 16, 7, 40, 16, 3, 3, 2, 0, 1},
    {"wide 7x7 s2 stem", 1, 3, 12, 50, 16, 7, 7, 2, 3, 3},
};

// Runs body(g) for every shape the direct path takes, under a trace naming the shape, and
// returns how many ran.
template <class Shapes, class Body>
int for_each_taken(const Shapes& shapes, Body&& body) {
  int run = 0;
  for (const Shape& s : shapes) {
    const ConvGeometry g = geometry(s);
    if (!direct_takes(g)) continue;
    ++run;
    SCOPED_TRACE(::testing::Message() << s.name << ": " << describe(g));
    body(g);
  }
  return run;
}

TEST(ConvDirect, PacksWeightsInBlocksOf16Channels) {
  for (const Shape& s : {kOtherShapes[0], kOtherShapes[4], kOtherShapes[6], kResNetShapes[4]}) {
    const ConvGeometry g = geometry(s);
    SCOPED_TRACE(s.name);
    const int64_t blocks = (g.c_out + kDirectBlockChannels - 1) / kDirectBlockChannels;
    const int64_t taps = int64_t{g.c_in} * g.kh * g.kw;
    ASSERT_EQ(cpu_conv_direct_weight_floats(g),
              static_cast<uint64_t>(blocks * kDirectBlockChannels * taps));
    const auto w = lcg_values(weight_floats(g), 5);
    const auto packed = pack(g, w);
    for (int64_t co = 0; co < blocks * kDirectBlockChannels; ++co)
      for (int64_t t = 0; t < taps; ++t) {
        // t runs over (ic, kh, kw) in that order, as the packed layout does.
        const float got = packed[((co / kDirectBlockChannels) * taps + t) * kDirectBlockChannels +
                                 co % kDirectBlockChannels];
        const float want = co < g.c_out ? w[co * taps + t] : 0.0f;
        ASSERT_EQ(std::memcmp(&got, &want, sizeof(float)), 0)
            << "channel " << co << " tap " << t << ": " << got << " vs " << want;
      }
  }
}

TEST(ConvDirect, MatchesNaiveSumOnEveryGeometry) {
  for (const Shape& s : kResNetShapes) {
    EXPECT_TRUE(cpu_conv_direct_eligible(geometry(s))) << s.name;
  }
  std::vector<Shape> shapes(std::begin(kResNetShapes), std::end(kResNetShapes));
  shapes.insert(shapes.end(), std::begin(kOtherShapes), std::end(kOtherShapes));
  shapes.insert(shapes.end(), std::begin(kWideShapes), std::end(kWideShapes));
  const int run = for_each_taken(shapes, [&](const ConvGeometry& g) {
    const auto x = lcg_values(input_floats(g), 11);
    const auto w = lcg_values(weight_floats(g), 12);
    const auto bias = lcg_values(static_cast<size_t>(g.c_out), 13);
    const auto packed = pack(g, w);
    ConvEpilogue e;
    e.table = bias.data();
    EXPECT_TRUE(close_to(g, run_direct(g, x, packed, e), naive_conv(g, x, w, bias.data())));
    EXPECT_TRUE(
        close_to(g, run_direct(g, x, packed, ConvEpilogue{}), naive_conv(g, x, w, nullptr)));
  });
  EXPECT_GE(run, static_cast<int>(std::size(kResNetShapes)));
}

TEST(ConvDirect, VectorKernelGivesThePortableBits) {
  if (cpu_direct_tile_avx2() == nullptr) GTEST_SKIP() << "no AVX2 and FMA";
  std::vector<Shape> shapes(std::begin(kResNetShapes), std::end(kResNetShapes));
  shapes.insert(shapes.end(), std::begin(kOtherShapes), std::end(kOtherShapes));
  shapes.insert(shapes.end(), std::begin(kWideShapes), std::end(kWideShapes));
  // Output widths 1 to 13 on short planes give tiles of every length from 1 to 6, some of
  // them across two rows, at both strides, with channel tails of 1 and 4.
  for (int32_t ow = 1; ow <= 13; ++ow) {
    const int32_t c_out = ow % 2 == 1 ? 33 : 20;
    shapes.push_back({"tail s1", 1, 16, 4, ow, c_out, 3, 3, 1, 1, 1});
    shapes.push_back({"tail s2", 1, 16, 5, 2 * ow - 1, c_out, 3, 3, 2, 1, 1});
  }
  const float clip_hi = 0.5f;
  const int run = for_each_taken(shapes, [&](const ConvGeometry& g) {
    const auto x = lcg_values(input_floats(g), 21);
    const auto w = lcg_values(weight_floats(g), 22);
    const auto bias = lcg_values(static_cast<size_t>(g.c_out), 23);
    const auto packed = pack(g, w);
    ConvEpilogue clip;
    clip.activation = kConvActClip;
    clip.clip_lo = 0.0f;
    clip.clip_hi = clip_hi;
    clip.table = bias.data();
    for (const ConvEpilogue& e : {ConvEpilogue{}, clip}) {
      const auto fast = run_direct(g, x, packed, e);
      std::vector<float> portable;
      {
        PortableScope scope;
        portable = run_direct(g, x, packed, e);
      }
      EXPECT_TRUE(same_bits(fast, portable)) << "activation " << e.activation;
    }
  });
  EXPECT_GT(run, 0);
}

TEST(ConvDirect, ThreadCountDoesNotChangeTheBits) {
  constexpr Shape kShapes[] = {
      {"two items, three channel blocks", 2, 32, 14, 13, 48, 3, 3, 1, 1, 1},
      {"s2, channel tail", 1, 16, 20, 20, 33, 3, 3, 2, 1, 1},
      {"stem", 1, 3, 20, 20, 20, 7, 7, 2, 3, 3},
      {"long rows", 1, 16, 6, 600, 20, 3, 3, 1, 1, 1},
      // Too few outputs to cut into row ranges: the padded input is copied once for all tasks.
      {"small plane, three blocks", 2, 16, 5, 5, 48, 3, 3, 1, 1, 1},
  };
  const int run = for_each_taken(kShapes, [&](const ConvGeometry& g) {
    const auto x = lcg_values(input_floats(g), 31);
    const auto w = lcg_values(weight_floats(g), 32);
    const auto bias = lcg_values(static_cast<size_t>(g.c_out), 33);
    const auto residual = lcg_values(output_floats(g), 34);
    const auto packed = pack(g, w);
    ConvEpilogue e;
    e.activation = kConvActRelu;
    e.table = bias.data();
    e.residual = residual.data();
    std::vector<float> serial;
    for (unsigned threads : {1u, 2u, 3u, 8u}) {
      SCOPED_TRACE(::testing::Message() << threads << " threads");
      ThreadCapScope cap(threads);
      const auto y = run_direct(g, x, packed, e);
      if (serial.empty()) {
        serial = y;
      } else {
        EXPECT_TRUE(same_bits(y, serial));
      }
    }
  });
  EXPECT_GT(run, 0);
}

TEST(ConvDirectTile, KernelsFollowTheDocumentedChainOfFusedMultiplyAdds) {
  struct Kernel {
    const char* name;
    DirectTileFn fn;
  };
  std::vector<Kernel> kernels = {{"portable", cpu_direct_tile_portable}};
  if (DirectTileFn avx2 = cpu_direct_tile_avx2()) kernels.push_back({"avx2", avx2});
  for (bool two_rows : {false, true})
    for (int64_t c_in : {1, 2, 5})
      for (int64_t kh : {1, 2, 3})
        for (int64_t kw : {1, 3, 4})
          for (int64_t stride : {1, 2})
            for (int64_t pixels = 1; pixels <= kDirectMaxTile; ++pixels) {
              SCOPED_TRACE(::testing::Message()
                           << (two_rows ? "offsets over two rows, " : "one row, ") << "c_in "
                           << c_in << " window " << kh << "x" << kw << " stride " << stride
                           << " pixels " << pixels);
              // Rows and channels farther apart than the reads need.
              const int64_t row_stride = (pixels - 1) * stride + kw + 3;
              const int64_t channel_stride = (kh + stride) * row_stride + 5;
              // With offsets, the first half of the outputs end one output row (starting at
              // column 1) and the rest start the next one, stride rows further down.
              int64_t offsets[kDirectMaxTile];
              const int64_t split = pixels / 2;
              for (int64_t j = 0; j < pixels; ++j) {
                offsets[j] = !two_rows   ? j * stride
                             : j < split ? (1 + j) * stride
                                         : stride * row_stride + (j - split) * stride;
              }
              const int64_t last_start = *std::max_element(offsets, offsets + pixels);
              // The input ends at the last float the tile reads.
              const int64_t x_floats =
                  (c_in - 1) * channel_stride + (kh - 1) * row_stride + last_start + kw;
              const auto x = lcg_values(static_cast<size_t>(x_floats),
                                        static_cast<uint32_t>(100 + c_in * 7 + kh * 3 + kw));
              const auto w =
                  lcg_values(static_cast<size_t>(c_in * kh * kw * kDirectBlockChannels), 41);
              std::vector<float> want(static_cast<size_t>(pixels * kDirectBlockChannels));
              for (int64_t j = 0; j < pixels; ++j)
                for (int64_t l = 0; l < kDirectBlockChannels; ++l) {
                  float acc = 0.0f;
                  for (int64_t c = 0; c < c_in; ++c)
                    for (int64_t i = 0; i < kh; ++i)
                      for (int64_t k = 0; k < kw; ++k)
                        acc = std::fma(x[c * channel_stride + i * row_stride + offsets[j] + k],
                                       w[((c * kh + i) * kw + k) * kDirectBlockChannels + l], acc);
                  want[j * kDirectBlockChannels + l] = acc;
                }
              DirectTile t;
              t.x = x.data();
              t.w = w.data();
              t.c_in = c_in;
              t.kh_count = kh;
              t.kw_count = kw;
              t.channel_stride = channel_stride;
              t.row_stride = row_stride;
              // Offsets take precedence: a stride that disagrees with them must not matter.
              t.stride = two_rows ? stride + 1 : stride;
              t.offsets = two_rows ? offsets : nullptr;
              // Written straight to channel planes: output j of channel l at l x ys + j, the
              // floats between the planes' runs left as they were.
              const int64_t ys = pixels + 3;
              std::vector<float> want_planes(static_cast<size_t>(kDirectBlockChannels * ys),
                                             kNaN);
              for (int64_t l = 0; l < kDirectBlockChannels; ++l)
                for (int64_t j = 0; j < pixels; ++j)
                  want_planes[l * ys + j] = want[j * kDirectBlockChannels + l];
              for (const Kernel& kernel : kernels) {
                Guarded out(want.size());
                t.y = nullptr;
                kernel.fn(t, pixels, out.data());
                EXPECT_TRUE(out.guards_intact()) << kernel.name;
                EXPECT_TRUE(same_bits(out.inside(), want)) << kernel.name;
                Guarded planes(want_planes.size());
                t.y = planes.data();
                t.y_stride = ys;
                kernel.fn(t, pixels, nullptr);
                EXPECT_TRUE(planes.guards_intact()) << kernel.name << " to planes";
                EXPECT_TRUE(same_bits(planes.inside(), want_planes)) << kernel.name << " to planes";
                // The store epilogue: bias, residual (with non-finite values), then ReLU or
                // Clip, each one rounding, per output in its plane.
                std::vector<float> bias = lcg_values(kDirectBlockChannels, 61);
                std::vector<float> residual = lcg_values(want_planes.size(), 62);
                residual[0] = kInf;
                residual[static_cast<size_t>(ys) + 1] = kNaN;
                for (int32_t activation : {kDirectNone, kDirectRelu, kDirectClip}) {
                  std::vector<float> want_fused = want_planes;
                  for (int64_t l = 0; l < kDirectBlockChannels; ++l)
                    for (int64_t j = 0; j < pixels; ++j) {
                      float v = want_planes[l * ys + j] + bias[l];
                      v = v + residual[l * ys + j];
                      want_fused[l * ys + j] = direct_activation(v, activation, -0.25f, 0.5f);
                    }
                  Guarded fused(want_planes.size());
                  DirectTile e = t;
                  e.y = fused.data();
                  e.bias = bias.data();
                  e.residual = residual.data();
                  e.activation = activation;
                  e.lo = -0.25f;
                  e.hi = 0.5f;
                  kernel.fn(e, pixels, nullptr);
                  EXPECT_TRUE(fused.guards_intact()) << kernel.name << " epilogue " << activation;
                  EXPECT_TRUE(same_bits(fused.inside(), want_fused, /*nan_alike=*/true))
                      << kernel.name << " epilogue " << activation;
                }
              }
            }
}

// The epilogue as the separate nodes compute it: the bias, then the residual, then the
// activation, each one IEEE operation (ReLU turns NaN into 0, Clip keeps it).
float epilogue_step(float v, float bias, float residual, const ConvEpilogue& e) {
  if (e.table != nullptr) v = v + bias;
  if (e.residual != nullptr) v = v + residual;
  switch (e.activation) {
    case kConvActRelu:
      return v >= 0.0f ? v : 0.0f;
    case kConvActClip:
      return v < e.clip_lo ? e.clip_lo : (v > e.clip_hi ? e.clip_hi : v);
    default:
      return v;
  }
}

TEST(ConvDirectTile, RowKernelGivesThePortableRowBits) {
  const DirectRowFn vector_row = cpu_direct_row_avx2();
  if (vector_row == nullptr) GTEST_SKIP() << "no AVX2 and FMA";
  for (int64_t stride = 1; stride <= 3; ++stride) {
    constexpr int64_t kCin = 2, kKh = 3, kKw = 3;
    const int64_t phase = 24 + (kKw - 1) / stride + 8;
    const int64_t row = stride * phase;
    const auto x = lcg_values(static_cast<size_t>(kCin * (kKh + 1) * row), 91);
    const auto w = lcg_values(static_cast<size_t>(kCin * kKh * kKw * kDirectBlockChannels), 92);
    for (int64_t channels = 1; channels <= kDirectRowChannels; ++channels) {
      for (int64_t pixels = 1; pixels <= kDirectRowPixels; ++pixels) {
        SCOPED_TRACE(::testing::Message() << "stride " << stride << " channels " << channels
                                          << " pixels " << pixels);
        constexpr int64_t kYStride = 40;
        Guarded fast(static_cast<size_t>(kDirectRowChannels * kYStride));
        Guarded plain(static_cast<size_t>(kDirectRowChannels * kYStride));
        DirectRow r;
        r.x = x.data();
        r.w = w.data() + 1;  // a block's lanes 1..4
        r.c_in = kCin;
        r.kh_count = kKh;
        r.kw_count = kKw;
        r.channel_stride = (kKh + 1) * row;
        r.row_stride = row;
        r.phase_stride = phase;
        r.stride = stride;
        r.y_stride = kYStride;
        r.channels = channels;
        r.pixels = pixels;
        r.y = fast.data();
        vector_row(r);
        r.y = plain.data();
        cpu_direct_row_portable(r);
        ASSERT_TRUE(fast.guards_intact());
        // Written outputs agree bit for bit; everything else is still the NaN fill.
        EXPECT_TRUE(same_bits(fast.inside(), plain.inside()));
        for (int64_t i = 0; i < kDirectRowChannels; ++i) {
          for (int64_t p = 0; p < kYStride; ++p) {
            const float v = fast.data()[i * kYStride + p];
            EXPECT_EQ(std::isnan(v), !(i < channels && p < pixels)) << i << "," << p;
          }
        }
      }
    }
  }
}

TEST(ConvDirect, EpilogueIsBiasThenResidualThenActivation) {
  constexpr Shape kShapes[] = {
      {"batch 2 s1", 2, 16, 7, 9, 20, 3, 3, 1, 1, 1},
      {"batch 2 s2 channel tail", 2, 16, 9, 9, 33, 3, 3, 2, 1, 1},
  };
  for (const Shape& s : kShapes) {
    const ConvGeometry g = geometry(s);
    ASSERT_TRUE(cpu_conv_direct_eligible(g)) << s.name;
    const auto w = lcg_values(weight_floats(g), 52);
    const auto packed = pack(g, w);
    // Biases up to +-4 push sums past 6, so Clip(0, 6) cuts at both ends.
    auto bias = lcg_values(static_cast<size_t>(g.c_out), 53);
    for (float& b : bias) b *= 4.0f;
    // Each batch item has its own residual values, so an item that read another's shows.
    const auto residual = lcg_values(output_floats(g), 54);
    for (bool with_nan : {false, true}) {
      auto x = lcg_values(input_floats(g), 51);
      if (with_nan) x[x.size() / 2 + 3] = kNaN;
      ConvEpilogue relu, clip, residual_relu, residual_only, residual_clip;
      relu.activation = kConvActRelu;
      relu.table = bias.data();
      clip.activation = kConvActClip;
      clip.clip_lo = 0.0f;
      clip.clip_hi = 6.0f;
      clip.table = bias.data();
      residual_relu = relu;
      residual_relu.residual = residual.data();
      residual_only.residual = residual.data();
      residual_clip = clip;
      residual_clip.residual = residual.data();
      struct Case {
        const char* name;
        const ConvEpilogue& e;
      };
      const Case cases[] = {{"bias relu", relu},
                            {"bias clip 0 6", clip},
                            {"bias residual relu", residual_relu},
                            {"residual", residual_only},
                            {"bias residual clip 0 6", residual_clip}};
      for (bool portable : {false, true}) {
        std::unique_ptr<PortableScope> scope;
        if (portable) scope = std::make_unique<PortableScope>();
        const auto raw = run_direct(g, x, packed, ConvEpilogue{});
        for (const Case& c : cases) {
          SCOPED_TRACE(::testing::Message() << s.name << ", " << c.name << (with_nan ? ", NaN" : "")
                                            << (portable ? ", portable" : ""));
          const int64_t plane = int64_t{g.oh} * g.ow;
          std::vector<float> want(raw.size());
          int clipped_low = 0, clipped_high = 0;
          for (size_t i = 0; i < raw.size(); ++i) {
            const int64_t co = static_cast<int64_t>(i) / plane % g.c_out;
            want[i] = epilogue_step(raw[i], bias[co], residual[i], c.e);
            clipped_low += want[i] == 0.0f;
            clipped_high += want[i] == 6.0f;
          }
          if (c.e.activation == kConvActClip) {
            EXPECT_GT(clipped_low, 0);
            EXPECT_GT(clipped_high, 0);
          }
          EXPECT_TRUE(same_bits(run_direct(g, x, packed, c.e), want, with_nan));
        }
      }
    }
  }
}

TEST(ConvDirect, RefusesOtherShapesAndLeavesTheOutputAlone) {
  const float sentinel = -7.25f;
  ConvGeometry grouped = geometry({"", 1, 32, 8, 8, 32, 3, 3, 1, 1, 1});
  grouped.group = 2;
  ConvGeometry dilated = geometry({"", 1, 16, 10, 10, 16, 3, 3, 1, 2, 2});
  dilated.dh = dilated.dw = 2;
  dilated.oh = dilated.ow = 10;
  struct Case {
    const char* name;
    ConvGeometry g;
  };
  const Case cases[] = {
      {"group 2", grouped},
      {"dilation 2", dilated},
      {"1x1 window", geometry({"", 1, 16, 8, 8, 16, 1, 1, 1, 0, 0})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ConvGeometry& g = c.g;
    ASSERT_FALSE(cpu_conv_direct_eligible(g));
    const auto x = lcg_values(input_floats(g), 61);
    const int64_t rounded_out =
        (g.c_out + kDirectBlockChannels - 1) / kDirectBlockChannels * kDirectBlockChannels;
    std::vector<float> packed(static_cast<size_t>(rounded_out) * g.c_in * g.kh * g.kw, 0.5f);
    std::vector<float> y(output_floats(g), sentinel);
    const auto before = y;
    const auto residual = lcg_values(y.size(), 62);
    ConvEpilogue e;
    e.activation = kConvActRelu;
    e.residual = residual.data();
    EXPECT_FALSE(cpu_conv2d_direct(g, x.data(), packed.data(), y.data(), e));
    EXPECT_TRUE(same_bits(y, before));
  }
}

TEST(ConvDirect, NonFiniteInputsReachOnlyTheWindowsThatCoverThem) {
  constexpr Shape kShapes[] = {
      {"3x3 s1 p1", 1, 16, 9, 11, 20, 3, 3, 1, 1, 1},
      // The last row and column fall outside every window.
      {"3x3 s2 p0 batch 2", 2, 16, 10, 10, 20, 3, 3, 2, 0, 0},
      {"7x7 s2 p3 stem", 1, 3, 13, 13, 8, 7, 7, 2, 3, 3},
      {"2x2 s3 gaps", 1, 16, 11, 11, 16, 2, 2, 3, 0, 0},
      {"pad k-1", 1, 16, 5, 7, 16, 3, 3, 1, 2, 2},
      {"small plane, three blocks", 2, 16, 5, 5, 48, 3, 3, 1, 1, 1},
      {"wide 3x3 s1", 1, 16, 7, 30, 20, 3, 3, 1, 1, 1},
      {"wide 5x5 p2 s2", 1, 8, 8, 41, 16, 5, 5, 2, 2, 2},
  };
  const int run = for_each_taken(kShapes, [&](const ConvGeometry& g) {
    const auto clean_x = lcg_values(input_floats(g), 71);
    const auto w = lcg_values(weight_floats(g), 72);
    const auto packed = pack(g, w);
    const auto clean = run_direct(g, clean_x, packed, ConvEpilogue{});
    struct Position {
      int32_t n, c, h, w;
    };
    const Position positions[] = {{0, 0, 0, 0},
                                  {0, g.c_in / 2, g.h / 2, g.w / 2 + 1},
                                  {g.batch - 1, g.c_in - 1, g.h - 1, g.w - 1},
                                  {g.batch - 1, 0, 1, g.w - 2}};
    int total_covered = 0;
    for (const Position& p : positions) {
      for (float bad : {kNaN, kInf}) {
        SCOPED_TRACE(::testing::Message()
                     << bad << " at item " << p.n << " channel " << p.c << " ("
                     << p.h << ", " << p.w << ")");
        auto x = clean_x;
        x[((static_cast<size_t>(p.n) * g.c_in + p.c) * g.h + p.h) * g.w + p.w] = bad;
        const auto y = run_direct(g, x, packed, ConvEpilogue{});
        int covered = 0;
        for (int64_t n = 0; n < g.batch; ++n)
          for (int64_t co = 0; co < g.c_out; ++co)
            for (int64_t oh = 0; oh < g.oh; ++oh)
              for (int64_t ow = 0; ow < g.ow; ++ow) {
                const size_t i = static_cast<size_t>(((n * g.c_out + co) * g.oh + oh) * g.ow + ow);
                const int64_t th = p.h - (oh * g.sh - g.pt), tw = p.w - (ow * g.sw - g.pl);
                const bool in_window = n == p.n && th >= 0 && th < g.kh && tw >= 0 && tw < g.kw;
                if (!in_window) {
                  ASSERT_EQ(std::memcmp(&y[i], &clean[i], sizeof(float)), 0)
                      << "item " << n << " channel " << co << " (" << oh << ", " << ow
                      << "): " << y[i] << " vs " << clean[i];
                  continue;
                }
                ++covered;
                const float tap = w[((co * g.c_in + p.c) * g.kh + th) * g.kw + tw];
                if (std::isnan(bad) || tap == 0.0f) {
                  ASSERT_TRUE(std::isnan(y[i]))
                      << "channel " << co << " (" << oh << ", " << ow << ")";
                } else {
                  // One infinite term among finite ones: the sum is that term.
                  ASSERT_EQ(y[i], std::signbit(tap) ? -kInf : kInf)
                      << "channel " << co << " (" << oh << ", " << ow << ")";
                }
              }
        total_covered += covered;
      }
    }
    EXPECT_GT(total_covered, 0);
    // The poisoned rows left in the padded-row buffers must not reach a clean call.
    EXPECT_TRUE(same_bits(run_direct(g, clean_x, packed, ConvEpilogue{}), clean));
  });
  EXPECT_GT(run, 0);
}

}  // namespace
}  // namespace vexa::cpu
