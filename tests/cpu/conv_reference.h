// The convolution by its definition, in double, for the Conv kernel tests: every output is
// the sum of its in-bounds taps (groups and dilation included), with the sum of the terms'
// magnitudes that scales the rounding a float kernel may show.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "cpu/ops/conv.h"

namespace vexa::cpu::testing {

struct ConvReference {
  std::vector<double> value, magnitude;
};

inline ConvReference conv_reference(const ConvGeometry& g, const std::vector<float>& x,
                                    const std::vector<float>& w, const float* bias) {
  const int64_t group = std::max(1, g.group);
  const int64_t cg = g.c_in / group, cog = g.c_out / group;
  const size_t count = static_cast<size_t>(g.batch) * g.c_out * g.oh * g.ow;
  ConvReference r;
  r.value.resize(count);
  r.magnitude.resize(count);
  for (int64_t n = 0; n < g.batch; ++n)
    for (int64_t co = 0; co < g.c_out; ++co)
      for (int64_t oh = 0; oh < g.oh; ++oh)
        for (int64_t ow = 0; ow < g.ow; ++ow) {
          double acc = bias != nullptr ? bias[co] : 0.0;
          double mag = std::fabs(acc);
          const int64_t gi = co / cog;
          for (int64_t c = 0; c < cg; ++c)
            for (int64_t kh = 0; kh < g.kh; ++kh)
              for (int64_t kw = 0; kw < g.kw; ++kw) {
                const int64_t ih = oh * g.sh - g.pt + kh * g.dh;
                const int64_t iw = ow * g.sw - g.pl + kw * g.dw;
                if (ih < 0 || ih >= g.h || iw < 0 || iw >= g.w) continue;
                const double term = double{x[((n * g.c_in + gi * cg + c) * g.h + ih) * g.w + iw]} *
                                    w[((co * cg + c) * g.kh + kh) * g.kw + kw];
                acc += term;
                mag += std::fabs(term);
              }
          const size_t at = static_cast<size_t>(((n * g.c_out + co) * g.oh + oh) * g.ow + ow);
          r.value[at] = acc;
          r.magnitude[at] = mag;
        }
  return r;
}

}  // namespace vexa::cpu::testing
