// Graph requests through the C API: raw tensors of every type, frames in every resize mode
// (values worked out by hand), batches, narrowed output copies and refused bindings.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "api/api_alloc.h"
#include "api/api_test_util.h"
#include "api/session_internal.h"
#include "api/session_test_util.h"

using namespace vexa_test;

namespace {

constexpr float k255 = 1.0f / 255.0f;

std::vector<float> tensor(vexa_output* out, int i) {
  const float* p = vexa_output_f32_ptr(out, i);
  if (p == nullptr) return {};
  return std::vector<float>(p, p + vexa_output_elem_count(out, i));
}

// A frame owning its pixels: RGB8 rows with `value(x, y, c)`.
template <typename Fn>
FramePtr rgb_frame(uint32_t w, uint32_t h, Fn value, uint32_t format = VEXA_PIXEL_RGB8) {
  const uint32_t bpp = format == VEXA_PIXEL_RGBA8 || format == VEXA_PIXEL_BGRA8 ? 4
                       : format == VEXA_PIXEL_GRAY8                            ? 1
                                                                               : 3;
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * bpp);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      for (uint32_t c = 0; c < bpp; ++c) px[(y * w + x) * bpp + c] = value(x, y, c);
  FramePtr f = new_frame();
  EXPECT_EQ(vexa_frame_set_pixels(f.get(), px.data(), px.size(), w, h, 0, format, 1, 1), 1);
  return f;
}

struct Opened {
  TempDir dir;
  SessionPtr s;
};

template <typename Build>
void open_model(Opened* o, Build build, void (*settings)(vexa_session*) = nullptr,
                uint32_t backend = VEXA_BACKEND_AUTO) {
  ModelBuilder m;
  build(m);
  const std::string path = m.write(o->dir);
  o->s = new_session(backend);
  if (settings != nullptr) settings(o->s.get());
  ASSERT_EQ(open_path(o->s.get(), path), 1) << session_message(o->s.get());
}

// Runs a frame through the pass-through model of h x w and returns its output.
std::vector<float> run_frame(vexa_session* s, const vexa_frame* frame, OutputPtr* keep = nullptr) {
  InputPtr in = new_input();
  OutputPtr out = new_output();
  vexa_input_set_frame(in.get(), frame);
  EXPECT_EQ(vexa_session_run(s, in.get(), out.get()), 1) << session_message(s);
  std::vector<float> t = tensor(out.get(), 0);
  if (keep != nullptr) *keep = std::move(out);
  return t;
}

float at(const std::vector<float>& t, uint32_t w, uint32_t h, uint32_t c, uint32_t x, uint32_t y) {
  return t[(static_cast<size_t>(c) * h + y) * w + x];
}

}  // namespace

TEST(SessionRun, RawInputsOfEveryType) {
  struct Case {
    const char* what;
    uint64_t dtype;
    std::vector<float> expected;
    int32_t (*bind)(vexa_input*);
  };
  const Case cases[] = {
      {"f32", 2, {1.5f, -2.0f, 0.25f, 1e6f},
       [](vexa_input* in) {
         static const float v[4] = {1.5f, -2.0f, 0.25f, 1e6f};
         return vexa_input_set_f32(in, 0, v, 4, 0);
       }},
      {"u8", 5, {0.0f, 7.0f, 255.0f, 128.0f},
       [](vexa_input* in) {
         const uint8_t v[4] = {0, 7, 255, 128};
         return vexa_input_set_u8(in, 0, v, 4, 1);
       }},
      {"f16", 1, {1.0f, -2.0f, 0.5f, 65504.0f},
       [](vexa_input* in) {
         const uint16_t v[4] = {0x3C00, 0xC000, 0x3800, 0x7BFF};
         return vexa_input_set_f16(in, 0, v, 4, 1);
       }},
      {"i64", 3, {1.0f, -2.0f, 3.0f, 1099511627776.0f},
       [](vexa_input* in) {
         const int64_t v[4] = {1, -2, 3, int64_t{1} << 40};
         return vexa_input_set_named_i64(in, "x", 1, v, 4, 1);
       }},
  };
  // On the CPU engine and under AUTO, which takes the GPU backend for this graph.
  for (const uint32_t backend : {VEXA_BACKEND_CPU, VEXA_BACKEND_AUTO}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (backend == VEXA_BACKEND_CPU ? " cpu" : " auto"));
      Opened o;
      ModelBuilder m;
      const uint64_t x = m.input({1, 4}, "x", c.dtype);
      const uint64_t zero = m.weight({1}, {0.0f});
      const uint64_t y = m.output({1, 4}, "y");
      m.node(vexa::OpKind::kAdd, {x, zero}, {y});
      o.s = new_session(backend);
      ASSERT_EQ(open_path(o.s.get(), m.write(o.dir)), 1) << session_message(o.s.get());
      EXPECT_EQ(vexa_session_input_dtype(o.s.get(), 0), c.dtype);
      InputPtr in = new_input();
      OutputPtr out = new_output();
      ASSERT_EQ(c.bind(in.get()), 1);
      ASSERT_EQ(vexa_session_run(o.s.get(), in.get(), out.get()), 1) << session_message(o.s.get());
      EXPECT_EQ(tensor(out.get(), 0), c.expected);
      EXPECT_EQ(vexa_output_backend_used(out.get()),
                backend == VEXA_BACKEND_CPU ? VEXA_BACKEND_CPU : VEXA_BACKEND_GPU);
      EXPECT_GT(vexa_output_latency_ms(out.get()), 0.0);
    }
  }
}

TEST(SessionRun, NarrowedOutputCopies) {
  Opened o;
  open_model(&o, [](ModelBuilder& m) {
    const uint64_t x = m.input({1, 5}, "x");
    const uint64_t zero = m.weight({1}, {0.0f});
    const uint64_t a = m.output({1, 5}, "as_i64", 3);
    const uint64_t b = m.output({1, 5}, "as_f16", 1);
    const uint64_t c = m.output({1, 5}, "as_u8", 5);
    m.node(vexa::OpKind::kAdd, {x, zero}, {a});
    m.node(vexa::OpKind::kAdd, {x, zero}, {b});
    m.node(vexa::OpKind::kAdd, {x, zero}, {c});
  });
  const float x[5] = {-3.2f, 12.9f, 300.0f, 2.9f, -2.9f};
  InputPtr in = new_input();
  OutputPtr out = new_output();
  ASSERT_EQ(vexa_input_set_f32(in.get(), 0, x, 5, 0), 1);
  ASSERT_EQ(vexa_session_run(o.s.get(), in.get(), out.get()), 1) << session_message(o.s.get());
  ASSERT_EQ(vexa_output_tensor_count(out.get()), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(tensor(out.get(), i), std::vector<float>(x, x + 5));
  const int64_t* i64 = vexa_output_i64_ptr(out.get(), 0);
  ASSERT_NE(i64, nullptr);
  EXPECT_EQ(std::vector<int64_t>(i64, i64 + 5), (std::vector<int64_t>{-3, 12, 300, 2, -2}));
  const uint16_t* f16 = vexa_output_f16_ptr(out.get(), 1);
  ASSERT_NE(f16, nullptr);
  EXPECT_EQ(std::vector<uint16_t>(f16, f16 + 5),
            (std::vector<uint16_t>{0xC266, 0x4A73, 0x5CB0, 0x41CD, 0xC1CD}));
  const uint8_t* u8 = vexa_output_u8_ptr(out.get(), 2);
  ASSERT_NE(u8, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(u8, u8 + 5), (std::vector<uint8_t>{0, 12, 255, 2, 0}));
  EXPECT_EQ(vexa_output_i64_ptr(out.get(), 2), nullptr);
  EXPECT_EQ(vexa_output_u8_ptr(out.get(), 0), nullptr);

  // Buffers are reused by the next run on the same output.
  const float* before = vexa_output_f32_ptr(out.get(), 0);
  ASSERT_EQ(vexa_session_run(o.s.get(), in.get(), out.get()), 1);
  EXPECT_EQ(vexa_output_f32_ptr(out.get(), 0), before);
}

TEST(SessionRun, ConvNetMatchesANaiveLoop) {
  constexpr int kCin = 2, kCout = 3, kH = 5, kW = 6, kK = 3;
  std::vector<float> weights(kCout * kCin * kK * kK);
  for (size_t i = 0; i < weights.size(); ++i) weights[i] = std::sin(0.7f * static_cast<float>(i));
  const std::vector<float> bias = {0.1f, -0.2f, 0.05f};
  Opened o;
  ModelBuilder m;
  const uint64_t x = m.input({1, kCin, kH, kW}, "x");
  const uint64_t w = m.weight({kCout, kCin, kK, kK}, weights);
  const uint64_t b = m.weight({kCout}, bias);
  const uint64_t c = m.inter({1, kCout, kH, kW});
  const uint64_t y = m.output({1, kCout, kH, kW}, "y");
  m.node(vexa::OpKind::kConv, {x, w, b}, {c},
         {{15, kK}, {16, kK}, {17, 1}, {18, 1}, {19, 1}, {20, 1}, {21, 1}, {22, 1}, {23, 1},
          {24, 1}, {25, 1}});
  m.node(vexa::OpKind::kRelu, {c}, {y});
  o.s = new_session();
  ASSERT_EQ(open_path(o.s.get(), m.write(o.dir)), 1) << session_message(o.s.get());

  std::vector<float> input(kCin * kH * kW);
  for (size_t i = 0; i < input.size(); ++i) input[i] = std::cos(0.3f * static_cast<float>(i));
  InputPtr in = new_input();
  OutputPtr out = new_output();
  ASSERT_EQ(vexa_input_set_f32(in.get(), 0, input.data(), input.size(), 0), 1);
  ASSERT_EQ(vexa_session_run(o.s.get(), in.get(), out.get()), 1) << session_message(o.s.get());
  const std::vector<float> got = tensor(out.get(), 0);
  ASSERT_EQ(got.size(), static_cast<size_t>(kCout * kH * kW));
  for (int co = 0; co < kCout; ++co) {
    for (int oy = 0; oy < kH; ++oy) {
      for (int ox = 0; ox < kW; ++ox) {
        double sum = bias[co];
        for (int ci = 0; ci < kCin; ++ci)
          for (int ky = 0; ky < kK; ++ky)
            for (int kx = 0; kx < kK; ++kx) {
              const int iy = oy + ky - 1, ix = ox + kx - 1;
              if (iy < 0 || iy >= kH || ix < 0 || ix >= kW) continue;
              sum += double(weights[((co * kCin + ci) * kK + ky) * kK + kx]) *
                     input[(ci * kH + iy) * kW + ix];
            }
        const float want = static_cast<float>(sum > 0 ? sum : 0);
        EXPECT_NEAR(got[(co * kH + oy) * kW + ox], want, 1e-5f) << co << "," << oy << "," << ox;
      }
    }
  }
}

TEST(SessionRun, HalfWeightsAreDecodedBeforeTheEngineRuns) {
  Opened o;
  open_model(&o, [](ModelBuilder& m) {
    const uint64_t x = m.input({1, 4}, "x");
    const uint64_t s = m.weight_f16({1, 4}, {0x3C00, 0x4000, 0xB800, 0x3555});  // 1, 2, -0.5, ~1/3
    const uint64_t y = m.output({1, 4}, "y");
    m.node(vexa::OpKind::kMul, {x, s}, {y});
  });
  const float x[4] = {3, 3, 3, 3};
  InputPtr in = new_input();
  OutputPtr out = new_output();
  vexa_input_set_f32(in.get(), 0, x, 4, 0);
  ASSERT_EQ(vexa_session_run(o.s.get(), in.get(), out.get()), 1) << session_message(o.s.get());
  const std::vector<float> y = tensor(out.get(), 0);
  ASSERT_EQ(y.size(), 4u);
  EXPECT_EQ(y[0], 3.0f);
  EXPECT_EQ(y[1], 6.0f);
  EXPECT_EQ(y[2], -1.5f);
  EXPECT_EQ(y[3], 3.0f * 0.333251953125f);
}

TEST(SessionRun, LetterboxStretchAndCenterCropByHand) {
  // Letterbox of a 4 x 2 frame into 4 x 4: scale 1, one padding row above and below.
  {
    Opened o;
    open_model(&o, [](ModelBuilder& m) { build_passthrough(m, 4, 4); },
               [](vexa_session* s) { vexa_session_set_resize_mode(s, 1); });
    FramePtr f = rgb_frame(4, 2, [](uint32_t x, uint32_t y, uint32_t c) {
      return static_cast<uint8_t>(10 * x + 50 * y + c);
    });
    OutputPtr out;
    const std::vector<float> t = run_frame(o.s.get(), f.get(), &out);
    ASSERT_EQ(t.size(), 48u);
    for (uint32_t c = 0; c < 3; ++c) {
      for (uint32_t x = 0; x < 4; ++x) {
        EXPECT_FLOAT_EQ(at(t, 4, 4, c, x, 0), 114.0f * k255);
        EXPECT_FLOAT_EQ(at(t, 4, 4, c, x, 3), 114.0f * k255);
        for (uint32_t y = 1; y < 3; ++y) {
          EXPECT_FLOAT_EQ(at(t, 4, 4, c, x, y), float(10 * x + 50 * (y - 1) + c) * k255);
        }
      }
    }
    EXPECT_EQ(vexa_output_scale_x(out.get()), 1.0f);
    EXPECT_EQ(vexa_output_pad_x(out.get()), 0.0f);
    EXPECT_EQ(vexa_output_pad_y(out.get()), 1.0f);
    EXPECT_EQ(rec(out.get())->source_width, 4u);
    EXPECT_EQ(rec(out.get())->input_height, 4u);
  }
  // Letterbox of a 2 x 1 frame into 4 x 4: scale 2, interpolated 0, 50, 150, 200.
  {
    Opened o;
    open_model(&o, [](ModelBuilder& m) { build_passthrough(m, 4, 4); },
               [](vexa_session* s) {
                 vexa_session_set_resize_mode(s, 1);
                 vexa_session_set_normalization(s, 1.0f, 0, 0, 0, 1, 1, 1);
               });
    FramePtr f = rgb_frame(2, 1, [](uint32_t x, uint32_t, uint32_t) {
      return static_cast<uint8_t>(x == 0 ? 0 : 200);
    });
    OutputPtr out;
    const std::vector<float> t = run_frame(o.s.get(), f.get(), &out);
    const float row[4] = {0, 50, 150, 200};
    for (uint32_t x = 0; x < 4; ++x) {
      EXPECT_FLOAT_EQ(at(t, 4, 4, 1, x, 1), row[x]);
      EXPECT_FLOAT_EQ(at(t, 4, 4, 1, x, 2), row[x]);
      EXPECT_FLOAT_EQ(at(t, 4, 4, 1, x, 0), 114.0f);
    }
    EXPECT_EQ(vexa_output_scale_y(out.get()), 2.0f);
    EXPECT_EQ(vexa_output_pad_y(out.get()), 1.0f);
  }
  // Stretch of a 1 x 1 frame gives 16 equal pixels per plane.
  {
    Opened o;
    open_model(&o, [](ModelBuilder& m) { build_passthrough(m, 4, 4); });
    FramePtr f = rgb_frame(1, 1, [](uint32_t, uint32_t, uint32_t c) { return uint8_t(40 + c); });
    const std::vector<float> t = run_frame(o.s.get(), f.get());
    for (uint32_t c = 0; c < 3; ++c)
      for (uint32_t i = 0; i < 16; ++i) EXPECT_FLOAT_EQ(t[c * 16 + i], float(40 + c) * k255);
  }
  // Centre crop of a 4 x 2 frame into 2 x 2 keeps columns 1 and 2; pad_x is -1.
  {
    Opened o;
    open_model(&o, [](ModelBuilder& m) { build_passthrough(m, 2, 2); },
               [](vexa_session* s) {
                 vexa_session_set_resize_mode(s, 2);
                 vexa_session_set_normalization(s, 1.0f, 0, 0, 0, 1, 1, 1);
               });
    FramePtr f = rgb_frame(4, 2, [](uint32_t x, uint32_t y, uint32_t) {
      return static_cast<uint8_t>(10 * x + 100 * y);
    });
    OutputPtr out;
    const std::vector<float> t = run_frame(o.s.get(), f.get(), &out);
    EXPECT_EQ(t, (std::vector<float>{10, 20, 110, 120, 10, 20, 110, 120, 10, 20, 110, 120}));
    EXPECT_EQ(vexa_output_pad_x(out.get()), -1.0f);
    EXPECT_EQ(vexa_output_pad_y(out.get()), 0.0f);
  }
}

TEST(SessionRun, ColourOrderFormatsAndNormalisation) {
  Opened o;
  open_model(&o, [](ModelBuilder& m) { build_passthrough(m, 1, 1); },
             [](vexa_session* s) {
               vexa_session_set_color_bgr(s, 1);
               vexa_session_set_normalization(s, 1.0f, 10.0f, 20.0f, 30.0f, 0.0f, 2.0f, 4.0f);
             });
  // R 100, G 60, B 50 in four layouts; plane 0 holds blue.
  const std::vector<float> want = {50.0f - 10.0f, (60.0f - 20.0f) / 2.0f, (100.0f - 30.0f) / 4.0f};
  FramePtr rgb = rgb_frame(1, 1, [](uint32_t, uint32_t, uint32_t c) {
    return uint8_t(c == 0 ? 100 : c == 1 ? 60 : 50);
  });
  FramePtr bgr = rgb_frame(1, 1, [](uint32_t, uint32_t, uint32_t c) {
    return uint8_t(c == 0 ? 50 : c == 1 ? 60 : 100);
  }, VEXA_PIXEL_BGR8);
  FramePtr rgba = rgb_frame(1, 1, [](uint32_t, uint32_t, uint32_t c) {
    return uint8_t(c == 0 ? 100 : c == 1 ? 60 : c == 2 ? 50 : 7);
  }, VEXA_PIXEL_RGBA8);
  FramePtr bgra = rgb_frame(1, 1, [](uint32_t, uint32_t, uint32_t c) {
    return uint8_t(c == 0 ? 50 : c == 1 ? 60 : c == 2 ? 100 : 200);
  }, VEXA_PIXEL_BGRA8);
  for (vexa_frame* f : {rgb.get(), bgr.get(), rgba.get(), bgra.get()}) {
    EXPECT_EQ(run_frame(o.s.get(), f), want);
  }
  FramePtr gray = rgb_frame(1, 1, [](uint32_t, uint32_t, uint32_t) { return uint8_t(90); },
                            VEXA_PIXEL_GRAY8);
  EXPECT_EQ(run_frame(o.s.get(), gray.get()),
            (std::vector<float>{80.0f, 70.0f / 2.0f, 60.0f / 4.0f}));
}

TEST(SessionRun, BatchesOfTensorsAndFrames) {
  Opened o;
  open_model(&o, [](ModelBuilder& m) { build_affine(m, 3, 2, 2, {1, 2, 3}, {0, 1, 2}); },
             [](vexa_session* s) { vexa_session_set_batch_size(s, 2); });
  EXPECT_EQ(vexa_session_input_dim(o.s.get(), 0, 0), 2);
  std::vector<float> x(24);
  for (int i = 0; i < 24; ++i) x[i] = static_cast<float>(i);
  InputPtr in = new_input();
  OutputPtr out = new_output();
  ASSERT_EQ(vexa_input_set_f32(in.get(), 0, x.data(), 24, 0), 1);
  ASSERT_EQ(vexa_session_run(o.s.get(), in.get(), out.get()), 1) << session_message(o.s.get());
  const std::vector<float> y = tensor(out.get(), 0);
  ASSERT_EQ(y.size(), 24u);
  for (int i = 0; i < 24; ++i) {
    const int c = (i / 4) % 3;
    EXPECT_EQ(y[i], x[i] * float(c + 1) + float(c)) << i;
  }

  Opened f;
  open_model(&f, [](ModelBuilder& m) { build_passthrough(m, 1, 1); },
             [](vexa_session* s) {
               vexa_session_set_batch_size(s, 2);
               vexa_session_set_normalization(s, 1.0f, 0, 0, 0, 1, 1, 1);
             });
  FramePtr a = rgb_frame(1, 1, [](uint32_t, uint32_t, uint32_t c) { return uint8_t(1 + c); });
  FramePtr b = rgb_frame(2, 2, [](uint32_t, uint32_t, uint32_t c) { return uint8_t(9 + c); });
  InputPtr one = new_input();
  ASSERT_EQ(vexa_input_add_batch_frame(one.get(), a.get()), 1);
  EXPECT_EQ(vexa_session_run(f.s.get(), one.get(), out.get()), 0);
  EXPECT_EQ(session_message(f.s.get()),
            "Batch size requires matching number of frames bound via add_batch_frame");
  ASSERT_EQ(vexa_input_add_batch_frame(one.get(), b.get()), 1);
  ASSERT_EQ(vexa_session_run(f.s.get(), one.get(), out.get()), 1) << session_message(f.s.get());
  EXPECT_EQ(tensor(out.get(), 0), (std::vector<float>{1, 2, 3, 9, 10, 11}));
  EXPECT_EQ(rec(out.get())->source_width, 1u);
  EXPECT_EQ(vexa_output_scale_x(out.get()), 1.0f);  // the first frame's scale
}

// Beyond 2^24 pixels a row's last index can round up to the width as a float; sampling at or
// past the right edge must still read the last pixel (the row buffer is sized exactly).
TEST(SessionRun, SamplingAtTheEdgeOfAVeryWideFrame) {
  constexpr uint32_t kWidth = 16777220;  // the float nearest to kWidth - 1 is kWidth
  std::vector<uint8_t> row(uint64_t{kWidth} * 3, 0);
  row[row.size() - 3] = 10;
  row[row.size() - 2] = 20;
  row[row.size() - 1] = 30;
  vexa::Frame frame{};
  frame.data = row.data();
  frame.width = kWidth;
  frame.height = 1;
  frame.stride = row.size();
  frame.format = static_cast<uint32_t>(vexa::PixelFormat::kRgb8);
  for (float x : {16777219.0f, 1e30f, std::numeric_limits<float>::infinity()}) {
    float r = 0, g = 0, b = 0;
    vexa::frame_sample_bilinear(&frame, false, x, 0.0f, &r, &g, &b);
    EXPECT_EQ(r, 10.0f) << x;
    EXPECT_EQ(g, 20.0f) << x;
    EXPECT_EQ(b, 30.0f) << x;
  }
}

TEST(SessionRun, RefusedRequests) {
  Opened o;
  open_model(&o, [](ModelBuilder& m) { build_passthrough(m, 2, 2); });
  vexa_session* s = o.s.get();
  OutputPtr out = new_output();
  FramePtr empty = new_frame();
  FramePtr f = rgb_frame(2, 2, [](uint32_t, uint32_t, uint32_t) { return uint8_t(1); });
  const float short_values[10] = {};
  struct Case {
    const char* what;
    void (*bind)(vexa_input*, const vexa_frame*, const vexa_frame*, const float*);
    uint32_t code;
    const char* message;
  };
  const Case cases[] = {
      {"nothing bound", [](vexa_input*, const vexa_frame*, const vexa_frame*, const float*) {}, 1,
       "Input has neither a Frame nor raw tensors bound"},
      {"empty frame",
       [](vexa_input* in, const vexa_frame* e, const vexa_frame*, const float*) {
         vexa_input_set_frame(in, e);
       },
       4, "Input Frame contains no valid pixel data"},
      {"frame name",
       [](vexa_input* in, const vexa_frame*, const vexa_frame* fr, const float*) {
         vexa_input_set_named_frame(in, "other", 5, fr);
       },
       1, "Input frame name does not match model primary input tensor"},
      {"short tensor",
       [](vexa_input* in, const vexa_frame*, const vexa_frame*, const float* v) {
         vexa_input_set_f32(in, 0, v, 10, 0);
       },
       1, "Input tensor element count does not match model input shape"},
      {"unknown name",
       [](vexa_input* in, const vexa_frame*, const vexa_frame*, const float* v) {
         vexa_input_set_named_f32(in, "nope", 4, v, 12, 0);
       },
       1, "Input tensor index or name does not match model inputs"},
      {"index past inputs",
       [](vexa_input* in, const vexa_frame*, const vexa_frame*, const float* v) {
         vexa_input_set_f32(in, 3, v, 12, 0);
       },
       1, "Input tensor index or name does not match model inputs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    InputPtr in = new_input();
    c.bind(in.get(), empty.get(), f.get(), short_values);
    EXPECT_EQ(vexa_session_run(s, in.get(), out.get()), 0);
    EXPECT_EQ(vexa_session_error_code(s), c.code);
    EXPECT_EQ(session_message(s), c.message);
    EXPECT_EQ(vexa_output_tensor_count(out.get()), 0u);
  }
  EXPECT_EQ(vexa_session_run(s, nullptr, out.get()), 0);
  EXPECT_EQ(session_message(s), "Input and Output handles are required");
  EXPECT_EQ(vexa_session_run(nullptr, nullptr, nullptr), 0);
  // A named frame with the right name runs.
  InputPtr named = new_input();
  vexa_input_set_named_frame(named.get(), "images", 6, f.get());
  EXPECT_EQ(vexa_session_run(s, named.get(), out.get()), 1) << session_message(s);
}

// A model's own height and width decide the frame tensor; sides outside 1..32768 are refused
// and a rank-2 input takes 224 x 224.
TEST(SessionRun, FrameSizesFromModelDims) {
  FramePtr f = rgb_frame(3, 3, [](uint32_t, uint32_t, uint32_t) { return uint8_t(255); });
  {
    Opened o;
    open_model(&o, [](ModelBuilder& m) {
      const uint64_t x = m.input({1, 3, 1, 40000}, "x");
      const uint64_t zero = m.weight({1}, {0.0f});
      const uint64_t y = m.output({1, 3, 1, 40000}, "y");
      m.node(vexa::OpKind::kAdd, {x, zero}, {y});
    });
    InputPtr in = new_input();
    OutputPtr out = new_output();
    vexa_input_set_frame(in.get(), f.get());
    EXPECT_EQ(vexa_session_run(o.s.get(), in.get(), out.get()), 0);
    EXPECT_EQ(vexa_session_error_code(o.s.get()), 12u);
    EXPECT_EQ(session_message(o.s.get()),
              "Model input height and width must be between 1 and 32768 for frame input");
  }
  {
    Opened o;
    open_model(&o, [](ModelBuilder& m) {
      const uint64_t x = m.input({1, 3 * 224 * 224}, "x");
      const uint64_t zero = m.weight({1}, {0.0f});
      const uint64_t y = m.output({1, 3 * 224 * 224}, "y");
      m.node(vexa::OpKind::kAdd, {x, zero}, {y});
    });
    OutputPtr out;
    const std::vector<float> t = run_frame(o.s.get(), f.get(), &out);
    ASSERT_EQ(t.size(), 3u * 224 * 224);
    EXPECT_EQ(rec(out.get())->input_width, 224u);
    EXPECT_FLOAT_EQ(t[0], 1.0f);
    EXPECT_FLOAT_EQ(t.back(), 1.0f);
  }
}

// Secondary inputs: bound ones reach the engine; one the engine refuses fails the run instead
// of running on what the previous request left; an unbound one is refused too.
TEST(SessionRun, SecondaryInputs) {
  auto build = [](ModelBuilder& m) {
    const uint64_t a = m.input({1, 4}, "a");
    const uint64_t b = m.input({1, 4}, "b", 3);
    const uint64_t y = m.output({1, 4}, "y");
    m.node(vexa::OpKind::kAdd, {a, b}, {y});
  };
  Opened o;
  open_model(&o, build);
  const float a[4] = {1, 2, 3, 4};
  const int64_t b[4] = {10, 20, 30, 40};
  InputPtr in = new_input();
  OutputPtr out = new_output();
  vexa_input_set_f32(in.get(), 0, a, 4, 0);
  EXPECT_EQ(vexa_session_run(o.s.get(), in.get(), out.get()), 0);
  EXPECT_EQ(session_message(o.s.get()), "Model input 'b' is not bound");
  vexa_input_set_named_i64(in.get(), "b", 1, b, 4, 0);
  ASSERT_EQ(vexa_session_run(o.s.get(), in.get(), out.get()), 1) << session_message(o.s.get());
  EXPECT_EQ(tensor(out.get(), 0), (std::vector<float>{11, 22, 33, 44}));

  // With batch 2 the engines keep b at one row; eight values cannot be bound. The CPU engine
  // refuses the binding, the GPU backend (AUTO's choice) says which backend could not.
  const float a2[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const int64_t b2[8] = {1, 1, 1, 1, 2, 2, 2, 2};
  InputPtr in2 = new_input();
  vexa_input_set_f32(in2.get(), 0, a2, 8, 0);
  vexa_input_set_i64(in2.get(), 1, b2, 8, 0);
  Opened batched;
  open_model(&batched, build, [](vexa_session* s) { vexa_session_set_batch_size(s, 2); },
             VEXA_BACKEND_CPU);
  EXPECT_EQ(vexa_session_run(batched.s.get(), in2.get(), out.get()), 0);
  EXPECT_EQ(vexa_session_error_code(batched.s.get()), 1u);
  EXPECT_EQ(session_message(batched.s.get()), "Input tensor 'b' could not be bound to the model's engine");
  Opened on_gpu;
  open_model(&on_gpu, build, [](vexa_session* s) { vexa_session_set_batch_size(s, 2); });
  EXPECT_EQ(vexa_session_run(on_gpu.s.get(), in2.get(), out.get()), 0);
  EXPECT_EQ(vexa_session_error_code(on_gpu.s.get()), 12u);
  EXPECT_EQ(session_message(on_gpu.s.get()),
            "GPU backend could not bind input tensor 'b'; use CPU or AUTO");
}

// Every allocation of a request failing in turn gives a clean error (or a success once the
// failure falls past the request), never a crash or a leak.
TEST(SessionRun, EachAllocationFailingInTurn) {
  Opened o;
  open_model(&o, [](ModelBuilder& m) {
    const uint64_t x = m.input({1, 3, 4, 4}, "images", 5);
    const uint64_t zero = m.weight({1}, {0.0f});
    const uint64_t y = m.output({1, 3, 4, 4}, "out", 3);
    const uint64_t z = m.output({1, 3, 4, 4}, "half", 1);
    m.node(vexa::OpKind::kAdd, {x, zero}, {y});
    m.node(vexa::OpKind::kAdd, {x, zero}, {z});
    const std::string_view labels[] = {"a", "b"};
    m.writer().set_meta_string_list("labels", labels);
  });
  FramePtr f = rgb_frame(5, 3, [](uint32_t x, uint32_t y, uint32_t c) { return uint8_t(x + y + c); });
  std::vector<uint8_t> raw(48, 9);
  bool completed = false;
  for (int64_t nth = 1; nth < 64 && !completed; ++nth) {
    SCOPED_TRACE(nth);
    InputPtr frame_in = new_input();
    InputPtr raw_in = new_input();
    OutputPtr out = new_output();
    ASSERT_NE(out, nullptr);
    vexa_input_set_frame(frame_in.get(), f.get());
    ASSERT_EQ(vexa_input_set_u8(raw_in.get(), 0, raw.data(), raw.size(), 0), 1);
    vexa::api_test_fail_allocation(nth);
    const int32_t a = vexa_session_run(o.s.get(), frame_in.get(), out.get());
    const uint32_t code_a = vexa_session_error_code(o.s.get());
    const int32_t b = vexa_session_run(o.s.get(), raw_in.get(), out.get());
    const uint32_t code_b = vexa_session_error_code(o.s.get());
    vexa::api_test_fail_allocation(0);
    if (a == 0) {
      EXPECT_EQ(code_a, 7u) << session_message(o.s.get());
    }
    if (b == 0) {
      EXPECT_EQ(code_b, 7u) << session_message(o.s.get());
    }
    completed = a == 1 && b == 1;
  }
  EXPECT_TRUE(completed);
}
