// Lowerings of the model-specific operators: DeformUnfold and GridSample as bilinear gathers
// from a zero-bordered image, DetrTopK as a top-k over the best class scores, MaskToBoxLogit as
// reductions over the mask pixels. Sampling positions and gather indices are computed in f32
// whatever the compute type, so indices stay exact.
#include <cmath>

#include "gpu/mps_lowering.h"

namespace vexa {

namespace {

constexpr uint32_t kDeformKernelAttr = 0;
constexpr int64_t kDeformNarrowKernel = 3;
constexpr int64_t kDeformNarrowBorder = 1;
constexpr int64_t kDeformWideBorder = 3;
constexpr int64_t kDetrSlots = 300;
constexpr int64_t kMaskCount = 300;
constexpr int64_t kMaskSide = 200;
constexpr float kMaskPixel = 0.005f;      // one two-hundredth of the side
constexpr float kMaskNoColumn = 201.0f;   // above every column number, for the minimum
constexpr float kLogitFloor = 1e-5f;
// Gather positions are computed as f32: every index must be exact.
constexpr int64_t kMaxExactIndex = int64_t{1} << 24;

GraphTensor as_f32(MpsNode& n, GraphTensor t) {
  return n.compute() == DeviceDataType::kFloat32 ? t : n.g().cast(t, DeviceDataType::kFloat32);
}

GraphTensor f32_scalar(MpsNode& n, float v) {
  return n.g().constant_scalar(v, DeviceDataType::kFloat32);
}

// x [N, C, H, W] with `border` zero rows above and below and zero columns left and right.
GraphTensor zero_border(MpsNode& n, GraphTensor x, int64_t border) {
  Graph& g = n.g();
  GraphShape s = g.shape(x);
  GraphShape rows = s;
  rows[2] = border;
  x = g.concat({g.constant_fill(0.0, rows, n.compute()), x,
                g.constant_fill(0.0, rows, n.compute())}, 2);
  s = g.shape(x);
  GraphShape cols = s;
  cols[3] = border;
  return g.concat({g.constant_fill(0.0, cols, n.compute()), x,
                   g.constant_fill(0.0, cols, n.compute())}, 3);
}

// The bilinear blend of `image` [C, P] at f32 positions (y, x) of a grid `width` wide whose
// rows and columns were clamped to [0, rows - 1] and [0, width - 1]; `row_base` (or an invalid
// tensor) is added to every row first. Positions, weights and `scale` have one entry per
// sample; the result is [C, samples].
GraphTensor bilinear(MpsNode& n, GraphTensor image, GraphTensor y, GraphTensor x, int64_t rows,
                     int64_t width, GraphTensor row_base, GraphTensor scale) {
  Graph& g = n.g();
  const GraphTensor y0 = g.truncate(y);
  const GraphTensor x0 = g.truncate(x);
  const GraphTensor wy = g.subtract(y, y0);
  const GraphTensor wx = g.subtract(x, x0);
  const GraphTensor one = f32_scalar(n, 1.0f);
  const GraphTensor y1 = g.minimum(g.add(y0, one), f32_scalar(n, static_cast<float>(rows - 1)));
  const GraphTensor x1 = g.minimum(g.add(x0, one), f32_scalar(n, static_cast<float>(width - 1)));
  const GraphTensor w = f32_scalar(n, static_cast<float>(width));
  auto tap = [&](GraphTensor r, GraphTensor c, GraphTensor weight) {
    GraphTensor row = row_base.valid() ? g.add(r, row_base) : r;
    const GraphTensor index = n.as_index(g.add(g.multiply(row, w), c));
    GraphTensor wt = scale.valid() ? g.multiply(weight, scale) : weight;
    wt = g.reshape(n.g().cast(wt, n.compute()), {1, -1});
    return g.multiply(g.gather(image, g.reshape(index, {-1}), 1), wt);
  };
  const GraphTensor uy = g.subtract(one, wy);
  const GraphTensor ux = g.subtract(one, wx);
  GraphTensor acc = tap(y0, x0, g.multiply(uy, ux));
  acc = g.add(acc, tap(y1, x0, g.multiply(wy, ux)));
  acc = g.add(acc, tap(y0, x1, g.multiply(uy, wx)));
  return g.add(acc, tap(y1, x1, g.multiply(wy, wx)));
}

bool lower_deform_unfold(MpsNode& n) {
  Graph& g = n.g();
  const GraphShape xs = n.in_shape(0);
  const int64_t k = n.attr(kDeformKernelAttr);
  const int64_t border = k > kDeformNarrowKernel ? kDeformWideBorder : kDeformNarrowBorder;
  const int64_t c = xs[1], h = xs[2], w = xs[3];
  const int64_t hp = h + 2 * border, wp = w + 2 * border;
  if (hp * wp >= kMaxExactIndex) return n.fail("DeformUnfold image too large for exact indices");
  const int64_t samples = k * k * h * w;
  const GraphTensor image = g.reshape(zero_border(n, n.in(0), border), {c, hp * wp});
  // Offsets [2 k k, H, W] (a y and an x plane per tap) in output order: [2, H, ky, W, kx].
  GraphTensor off = g.reshape(n.in(1), {k, k, 2, h, w});
  off = g.reshape(g.permute(off, {2, 3, 0, 4, 1}), {2, samples});
  // The window positions the offsets move: row cy + ky, column cx + kx.
  std::vector<float> base(static_cast<size_t>(2 * samples));
  for (int64_t cy = 0; cy < h; ++cy) {
    for (int64_t ky = 0; ky < k; ++ky) {
      for (int64_t cx = 0; cx < w; ++cx) {
        for (int64_t kx = 0; kx < k; ++kx) {
          const int64_t at = ((cy * k + ky) * w + cx) * k + kx;
          base[static_cast<size_t>(at)] = static_cast<float>(cy + ky);
          base[static_cast<size_t>(samples + at)] = static_cast<float>(cx + kx);
        }
      }
    }
  }
  const GraphTensor pos = g.add(as_f32(n, off), g.constant_data(base.data(), base.size() * 4,
                                                                {2, samples},
                                                                DeviceDataType::kFloat32));
  GraphTensor y = g.reshape(g.slice(pos, 0, 0, 1), {samples});
  GraphTensor x = g.reshape(g.slice(pos, 0, 1, 1), {samples});
  y = g.clamp(y, f32_scalar(n, 0.0f), f32_scalar(n, static_cast<float>(hp - 1)));
  x = g.clamp(x, f32_scalar(n, 0.0f), f32_scalar(n, static_cast<float>(wp - 1)));
  GraphTensor mod = g.reshape(n.in(2), {k, k, h, w});
  mod = as_f32(n, g.reshape(g.permute(mod, {2, 0, 3, 1}), {samples}));
  const GraphTensor out = bilinear(n, image, y, x, hp, wp, GraphTensor{}, mod);
  n.set_out(0, g.reshape(out, n.out_shape()));
  return true;
}

bool lower_grid_sample(MpsNode& n) {
  Graph& g = n.g();
  const GraphShape xs = n.in_shape(0);
  const GraphShape gs = n.in_shape(1);
  const int64_t batch = xs[0], c = xs[1], h = xs[2], w = xs[3];
  const int64_t oh = gs[1], ow = gs[2];
  const int64_t hp = h + 2, wp = w + 2;
  if (batch * hp * wp >= kMaxExactIndex) return n.fail("GridSample input too large for exact indices");
  const int64_t points = oh * ow;
  GraphTensor image = g.transpose(zero_border(n, n.in(0), 1), 0, 1);
  image = g.reshape(image, {c, batch * hp * wp});
  const GraphTensor grid = as_f32(n, g.reshape(n.in(1), {batch, points, 2}));
  const GraphTensor gx = g.reshape(g.slice(grid, 2, 0, 1), {batch * points});
  const GraphTensor gy = g.reshape(g.slice(grid, 2, 1, 1), {batch * points});
  // p = 0.5 + (g + 1) x side x 0.5 on the bordered image, in the CPU engine's order.
  const GraphTensor one = f32_scalar(n, 1.0f);
  const GraphTensor half = f32_scalar(n, 0.5f);
  auto position = [&](GraphTensor v, int64_t side) {
    GraphTensor p = g.multiply(g.add(v, one), f32_scalar(n, static_cast<float>(side)));
    p = g.add(half, g.multiply(p, half));
    return g.clamp(p, f32_scalar(n, 0.0f), f32_scalar(n, static_cast<float>(side + 1)));
  };
  // Each grid point samples its own item's rows.
  std::vector<float> rows(static_cast<size_t>(batch * points));
  for (int64_t b = 0; b < batch; ++b) {
    for (int64_t p = 0; p < points; ++p) rows[static_cast<size_t>(b * points + p)] = static_cast<float>(b * hp);
  }
  const GraphTensor row_base = g.constant_data(rows.data(), rows.size() * 4, {batch * points},
                                               DeviceDataType::kFloat32);
  GraphTensor out = bilinear(n, image, position(gy, h), position(gx, w), hp, wp, row_base,
                             GraphTensor{});
  out = g.reshape(out, {c, batch, oh, ow});
  n.set_out(0, g.transpose(out, 0, 1));
  return true;
}

bool lower_detr_top_k(MpsNode& n) {
  Graph& g = n.g();
  const GraphShape logits = n.in_shape(0);
  const int64_t queries = logits[1];
  const int64_t d = n.out_shape()[2];
  if (queries < kDetrSlots) {
    return n.fail("DetrTopK needs at least 300 queries, the graph has " + std::to_string(queries));
  }
  const GraphTensor scores = g.reshape(g.reduce_max(n.in(0), {2}), {queries});
  const GraphTensorPair top = g.top_k(scores, kDetrSlots);
  const GraphTensor rows = g.reshape(n.in(1), {queries, d});
  n.set_out(0, g.gather(rows, top.second, 0));
  return true;
}

bool lower_mask_to_box(MpsNode& n) {
  Graph& g = n.g();
  const GraphTensor masks = g.reshape(n.in(0), {kMaskCount, kMaskSide, kMaskSide});
  const GraphTensor on = n.as_compute(g.greater(masks, n.zero()));
  const GraphTensor cols = g.reduce_max(on, {1});  // [300, 1, 200]: column x has a pixel
  const GraphTensor rows = g.reduce_max(on, {2});  // [300, 200, 1]
  const GraphTensor any = g.reduce_max(cols, {2});
  // Ramps: the first column of a box is its number, the last one its number + 1.
  std::vector<float> lo(static_cast<size_t>(kMaskSide)), hi(static_cast<size_t>(kMaskSide));
  for (int64_t i = 0; i < kMaskSide; ++i) {
    lo[static_cast<size_t>(i)] = static_cast<float>(i);
    hi[static_cast<size_t>(i)] = static_cast<float>(i + 1);
  }
  auto extent = [&](GraphTensor flags, const GraphShape& ramp_shape, int64_t axis,
                    GraphTensor* first, GraphTensor* last) {
    const GraphTensor r_lo = n.constant(lo, ramp_shape);
    const GraphTensor r_hi = n.constant(hi, ramp_shape);
    *last = g.multiply(g.reduce_max(g.multiply(flags, r_hi), {axis}), any);
    const GraphTensor none = g.multiply(g.subtract(n.one(), flags), n.scalar(kMaskNoColumn));
    *first = g.multiply(g.reduce_min(g.add(none, g.multiply(flags, r_lo)), {axis}), any);
    *first = g.multiply(*first, n.scalar(kMaskPixel));
    *last = g.multiply(*last, n.scalar(kMaskPixel));
  };
  GraphTensor x0, x1, y0, y1;
  extent(cols, {1, 1, kMaskSide}, 2, &x0, &x1);
  extent(rows, {1, kMaskSide, 1}, 1, &y0, &y1);
  const GraphTensor half = n.scalar(0.5f);
  const GraphTensor box = g.concat({g.multiply(g.add(x0, x1), half), g.multiply(g.add(y0, y1), half),
                                    g.subtract(x1, x0), g.subtract(y1, y0)}, 2);
  const GraphTensor p = g.clamp(g.reshape(box, n.out_shape()), n.zero(), n.one());
  const GraphTensor floor = n.scalar(kLogitFloor);
  const GraphTensor num = g.clamp(p, floor, n.one());
  const GraphTensor den = g.clamp(g.subtract(n.one(), p), floor, n.one());
  n.set_out(0, g.log(g.divide(num, den)));
  return true;
}

}  // namespace

bool mps_lower_detection(MpsNode& n) {
  switch (static_cast<OpKind>(n.kind())) {
    case OpKind::kDeformUnfold: return lower_deform_unfold(n);
    case OpKind::kGridSample: return lower_grid_sample(n);
    case OpKind::kDetrTopK: return lower_detr_top_k(n);
    case OpKind::kMaskToBoxLogit: return lower_mask_to_box(n);
    default: return n.fail(kMpsUnsupportedOp);
  }
}

}  // namespace vexa
