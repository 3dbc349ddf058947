// Resize: the library's nearest and bilinear resizes where they compute the node's sampling, and
// half-pixel bilinear interpolation written out with index and weight tables for ratios that
// are not whole multiples.
#include <cmath>

#include "gpu/mps_lowering.h"

namespace vexa {

namespace {

constexpr uint32_t kLinearAttr = 12;
constexpr uint32_t kAlignCornersAttr = 13;

struct AxisTables {
  std::vector<int32_t> i0, i1;
  std::vector<float> weight;
};

// Half-pixel source positions s = (o + 0.5) in / out - 0.5 and their two taps; positions at or
// before the first entry take entry 0 alone, positions on or past the last its value alone.
AxisTables half_pixel_tables(int64_t in, int64_t out) {
  AxisTables t;
  t.i0.resize(static_cast<size_t>(out));
  t.i1.resize(static_cast<size_t>(out));
  t.weight.resize(static_cast<size_t>(out));
  const float scale = static_cast<float>(in) / static_cast<float>(out);
  const int64_t last = in - 1;
  for (int64_t o = 0; o < out; ++o) {
    const size_t k = static_cast<size_t>(o);
    // The fused form, as the CPU engine computes the position.
    const float s = std::fma(static_cast<float>(o) + 0.5f, scale, -0.5f);
    if (!(s > 0.0f)) {
      t.i0[k] = t.i1[k] = 0;
      t.weight[k] = 0.0f;
      continue;
    }
    int64_t i = static_cast<int64_t>(s);
    if (i > last) i = last;
    t.i0[k] = static_cast<int32_t>(i);
    t.i1[k] = static_cast<int32_t>(i + 1 < last ? i + 1 : last);
    t.weight[k] = i >= last ? 0.0f : s - static_cast<float>(i);
  }
  return t;
}

// Linear interpolation along one axis of x with the tables: a + (b - a) w.
GraphTensor lerp_axis(MpsNode& n, GraphTensor x, const AxisTables& t, int64_t axis) {
  Graph& g = n.g();
  const int64_t count = static_cast<int64_t>(t.i0.size());
  const GraphTensor a = g.gather(x, n.constant_i32(t.i0, {count}), axis);
  const GraphTensor b = g.gather(x, n.constant_i32(t.i1, {count}), axis);
  GraphShape wshape = {1, 1, 1, 1};
  wshape[static_cast<size_t>(axis)] = count;
  const GraphTensor w = n.constant(t.weight, wshape);
  return g.add(a, g.multiply(g.subtract(b, a), w));
}

}  // namespace

bool mps_lower_resize(MpsNode& n) {
  Graph& g = n.g();
  const GraphShape in = n.in_shape(0);
  const GraphShape out = n.out_shape();
  const int64_t h = in[2], w = in[3], oh = out[2], ow = out[3];
  const GraphTensor x = n.in(0);
  const bool corners = n.attr(kAlignCornersAttr) == 1;
  if (h == oh && w == ow) {
    n.set_out(0, x);
    return true;
  }
  if (h == 1 && w == 1) {
    n.set_out(0, g.broadcast(x, out));
    return true;
  }
  if (n.attr(kLinearAttr) != 1) {
    n.set_out(0, g.resize(x, oh, ow, GraphResizeMode::kNearest, !corners, corners));
    return true;
  }
  if (corners) {
    n.set_out(0, g.resize(x, oh, ow, GraphResizeMode::kBilinear, false, true));
    return true;
  }
  if (h != 0 && w != 0 && oh % h == 0 && ow % w == 0) {
    n.set_out(0, g.resize(x, oh, ow, GraphResizeMode::kBilinear, true, false));
    return true;
  }
  const GraphTensor cols = lerp_axis(n, x, half_pixel_tables(w, ow), 3);
  n.set_out(0, lerp_axis(n, cols, half_pixel_tables(h, oh), 2));
  return true;
}

}  // namespace vexa
