// Layout operators against naive index loops: Flatten, Identity, Concat, Split, Slice,
// Transpose, Expand, Pad, DepthToSpace, SpaceToDepth; malformed nodes refused at build.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "op_harness.h"

namespace vexa::cpu::optest {
namespace {

constexpr uint32_t kAxis = 26;

uint64_t axis_word(int64_t axis) { return static_cast<uint64_t>(axis); }

TEST(CpuMovement, FlattenAndIdentityCopyBytes) {
  for (OpKind kind : {OpKind::kFlatten, OpKind::kIdentity}) {
    OpGraph g;
    const auto x = ramp(24, 3);
    const uint64_t a = g.in({2, 3, 4}, x);
    const uint64_t y = g.out({2, 12});
    g.node(kind, {a}, {y});
    ASSERT_TRUE(g.run());
    EXPECT_TRUE(same_floats(g.data(y), x));
  }
  // A sizeless Identity output receives nothing; a count mismatch is refused.
  OpGraph g;
  const uint64_t a = g.in({3}, {1, 2, 3});
  const uint64_t s = g.sizeless();
  g.node(OpKind::kIdentity, {a}, {s});
  EXPECT_TRUE(g.run());
  OpGraph bad;
  bad.node(OpKind::kFlatten, {bad.in({3})}, {bad.out({4})});
  EXPECT_FALSE(bad.check());
}

// Concat reference: output multi-index picks the input whose axis range holds it.
std::vector<float> concat_ref(const std::vector<Dims>& shapes,
                              const std::vector<std::vector<float>>& data, uint32_t axis,
                              const Dims& out) {
  std::vector<float> y(count_of(out));
  for (uint64_t f = 0; f < y.size(); ++f) {
    Dims idx = unflatten(f, out);
    uint64_t k = 0;
    while (idx[axis] >= shapes[k][axis]) idx[axis] -= shapes[k++][axis];
    y[f] = data[k][flatten(idx, shapes[k])];
  }
  return y;
}

TEST(CpuMovement, ConcatAlongEveryAxisIncludingNegative) {
  struct Case {
    std::vector<Dims> inputs;
    int64_t axis;
  };
  const Case cases[] = {
      {{{1, 16, 8, 8}, {1, 32, 8, 8}}, 1},
      {{{1, 16, 8, 8}, {1, 32, 8, 8}}, -3},
      {{{2, 3}, {2, 5}, {2, 1}}, -1},
      {{{2, 3}, {4, 3}}, 0},
      {{{2, 3, 4}, {2, 0, 4}, {2, 2, 4}}, 1},  // an empty input contributes nothing
      {{{5}}, 0},
  };
  for (const Case& c : cases) {
    OpGraph g;
    std::vector<uint64_t> ids;
    std::vector<std::vector<float>> data;
    const uint32_t rank = static_cast<uint32_t>(c.inputs[0].size());
    const uint32_t axis = static_cast<uint32_t>(c.axis < 0 ? c.axis + rank : c.axis);
    Dims out = c.inputs[0];
    out[axis] = 0;
    for (size_t k = 0; k < c.inputs.size(); ++k) {
      data.push_back(ramp(count_of(c.inputs[k]), static_cast<uint32_t>(k + 1)));
      ids.push_back(g.in(c.inputs[k], data.back()));
      out[axis] += c.inputs[k][axis];
    }
    const uint64_t y = g.out(out);
    g.node(OpKind::kConcat, ids, {y}, {{kAxis, axis_word(c.axis)}});
    ASSERT_TRUE(g.run()) << "axis " << c.axis;
    EXPECT_TRUE(same_floats(g.data(y), concat_ref(c.inputs, data, axis, out))) << c.axis;
  }
}

TEST(CpuMovement, SplitTakesConsecutiveRanges) {
  for (int64_t axis : {1, -2}) {
    OpGraph g;
    const auto x = ramp(48, 5);
    const uint64_t a = g.in({2, 6, 4}, x);
    const uint64_t y0 = g.out({2, 2, 4});
    const uint64_t y1 = g.out({2, 4, 4});
    g.node(OpKind::kSplit, {a}, {y0, y1}, {{kAxis, axis_word(axis)}});
    ASSERT_TRUE(g.run());
    for (uint64_t f = 0; f < 48; ++f) {
      Dims idx = unflatten(f, {2, 6, 4});
      if (idx[1] < 2) {
        EXPECT_EQ(g.data(y0)[flatten(idx, {2, 2, 4})], x[f]);
      } else {
        idx[1] -= 2;
        EXPECT_EQ(g.data(y1)[flatten(idx, {2, 4, 4})], x[f]);
      }
    }
  }
}

TEST(CpuMovement, SliceStepsStartsAndEmptySlices) {
  struct Case {
    int64_t start, count, step;
    std::vector<uint64_t> taken;
  };
  const Case cases[] = {
      {1, 3, 2, {1, 3, 5}},  {7, 3, -1, {7, 6, 5}}, {2, 4, 0, {2, 3, 4, 5}},
      {2, 4, 1, {2, 3, 4, 5}}, {0, 0, 1, {}},       {6, 2, -3, {6, 3}},
      {0, 8, 1, {0, 1, 2, 3, 4, 5, 6, 7}},
      // An empty slice reads nothing, wherever its start lies.
      {int64_t{1} << 61, 0, 1, {}},
  };
  for (const Case& c : cases) {
    for (int64_t axis : {1, -2}) {
      OpGraph g;
      const Dims in_dims{2, 8, 3};
      const auto x = ramp(count_of(in_dims), 9);
      const uint64_t a = g.in(in_dims, x);
      const Dims out_dims{2, static_cast<uint64_t>(c.count), 3};
      const uint64_t y = g.out(out_dims);
      g.node(OpKind::kSlice, {a}, {y},
             {{kAxis, axis_word(axis)}, {17, axis_word(c.step)}, {19, axis_word(c.start)},
              {20, axis_word(c.count)}});
      ASSERT_TRUE(g.run()) << c.start << " " << c.step;
      std::vector<float> want;
      for (uint64_t o = 0; o < 2; ++o) {
        for (uint64_t j : c.taken) {
          for (uint64_t p = 0; p < 3; ++p) want.push_back(x[(o * 8 + j) * 3 + p]);
        }
      }
      EXPECT_TRUE(same_floats(g.data(y), want)) << c.start << " " << c.step;
    }
  }
}

void expect_transpose(const Dims& in, const std::vector<uint32_t>& perm, bool record_length) {
  OpGraph g;
  const auto x = ramp(count_of(in), 11);
  const uint64_t a = g.in(in, x);
  Dims out(in.size());
  for (size_t k = 0; k < in.size(); ++k) out[k] = in[perm[k]];
  const uint64_t y = g.out(out);
  Attrs attrs;
  if (record_length) attrs.push_back({15, perm.size()});
  for (size_t k = 0; k < perm.size(); ++k) attrs.push_back({static_cast<uint32_t>(19 + k), perm[k]});
  g.node(OpKind::kTranspose, {a}, {y}, attrs);
  ASSERT_TRUE(g.run());
  EXPECT_TRUE(same_floats(g.data(y), transpose_ref(x, in, perm)));
}

TEST(CpuMovement, TransposeHonoursEveryPermutationAtEveryRank) {
  const Dims shapes[] = {{5}, {3, 4}, {2, 3, 4}, {2, 3, 4, 5}, {2, 1, 3, 2, 2}, {2, 2, 1, 3, 2, 2}};
  for (const Dims& in : shapes) {
    std::vector<uint32_t> perm(in.size());
    std::iota(perm.begin(), perm.end(), 0u);
    do {
      expect_transpose(in, perm, true);
    } while (std::next_permutation(perm.begin(), perm.end()));
  }
  // The identity permutation at rank 2 copies; no recorded permutation reverses the axes.
  expect_transpose({3, 4}, {0, 1}, true);
  OpGraph g;
  const auto x = ramp(12, 2);
  const uint64_t a = g.in({3, 4}, x);
  const uint64_t y = g.out({4, 3});
  g.node(OpKind::kTranspose, {a}, {y});
  ASSERT_TRUE(g.run());
  EXPECT_TRUE(same_floats(g.data(y), transpose_ref(x, {3, 4}, {1, 0})));
  // A large transpose takes the split path with the same result.
  expect_transpose({1, 64, 80, 80}, {0, 2, 3, 1}, true);
  expect_transpose({1, 80, 80, 64}, {0, 3, 1, 2}, true);
}

TEST(CpuMovement, ExpandBroadcastsAgainstTheOutput) {
  struct Case {
    Dims in, out;
  };
  const Case cases[] = {{{3, 1}, {2, 3, 4}}, {{4}, {2, 3, 4}}, {{1}, {5}}, {{2, 1, 4}, {2, 3, 4}},
                        {{1, 1, 3}, {3}}};
  for (const Case& c : cases) {
    OpGraph g;
    const auto x = ramp(count_of(c.in), 4);
    const uint64_t a = g.in(c.in, x);
    const uint64_t y = g.out(c.out);
    g.node(OpKind::kExpand, {a}, {y});
    ASSERT_TRUE(g.run());
    // Reference: right-align and read coordinate 0 on size-1 input axes.
    std::vector<float> want(count_of(c.out));
    for (uint64_t f = 0; f < want.size(); ++f) {
      const Dims o = unflatten(f, c.out);
      Dims i(c.in.size(), 0);
      for (size_t k = 0; k < c.in.size(); ++k) {
        const int64_t ok = static_cast<int64_t>(k) - static_cast<int64_t>(c.in.size()) +
                           static_cast<int64_t>(c.out.size());
        i[k] = ok >= 0 && c.in[k] != 1 ? o[ok] : 0;
      }
      want[f] = x[flatten(i, c.in)];
    }
    EXPECT_TRUE(same_floats(g.data(y), want));
  }
}

std::vector<float> pad_ref(const std::vector<float>& x, const Dims& in, const Dims& out,
                           const Dims& begin) {
  std::vector<float> y(count_of(out), 0.0f);
  for (uint64_t f = 0; f < x.size(); ++f) {
    Dims i = unflatten(f, in);
    for (size_t k = 0; k < i.size(); ++k) i[k] += begin[k];
    y[flatten(i, out)] = x[f];
  }
  return y;
}

TEST(CpuMovement, PadPlacesDataByRecordedPadsOrAtTheStart) {
  const Dims in{1, 2, 3, 4};
  const auto x = ramp(count_of(in), 8);
  // No pads operand: every pad follows the data (the output shape alone says how much).
  {
    OpGraph g;
    const uint64_t a = g.in(in, x);
    const uint64_t y = g.out({1, 3, 5, 4});
    g.node(OpKind::kPad, {a}, {y});
    ASSERT_TRUE(g.run());
    EXPECT_TRUE(same_floats(g.data(y), pad_ref(x, in, {1, 3, 5, 4}, {0, 0, 0, 0})));
  }
  // Pads recorded in the second slot past the input count, and as a real second input.
  const std::vector<float> pads{0, 0, 1, 2, 0, 1, 1, 0};
  const Dims out{1, 3, 5, 6};
  for (bool as_input : {false, true}) {
    OpGraph g;
    const uint64_t a = g.in(in, x);
    const uint64_t p = g.weight({8}, pads);
    const uint64_t y = g.out(out);
    CpuNode& n = g.node(OpKind::kPad, {a, p}, {y});
    if (!as_input) n.w[kNodeWordInputCount] = 1;
    ASSERT_TRUE(g.run());
    EXPECT_TRUE(same_floats(g.data(y), pad_ref(x, in, out, {0, 0, 1, 2})));
  }
  // Pads that do not match the shapes fall back to trailing pads.
  {
    OpGraph g;
    const uint64_t a = g.in(in, x);
    const uint64_t p = g.weight({8}, {0, 0, 9, 9, 0, 0, 0, 0});
    const uint64_t y = g.out(out);
    g.node(OpKind::kPad, {a, p}, {y});
    ASSERT_TRUE(g.run());
    EXPECT_TRUE(same_floats(g.data(y), pad_ref(x, in, out, {0, 0, 0, 0})));
  }
}

TEST(CpuMovement, DepthToSpaceAndSpaceToDepthChannelOrders) {
  constexpr uint64_t kOutChannels = 3;
  // Order word: absent and 0 column-row-depth, 1 depth-column-row.
  for (int order : {-1, 0, 1}) {
    for (int64_t word : {0, 2, 3}) {
      const uint64_t b = word == 0 ? 2 : static_cast<uint64_t>(word);
      const bool dcr = order == 1;
      const Dims in{2, kOutChannels * b * b, 3, 2};
      const auto x = ramp(count_of(in), 6);
      OpGraph g;
      const uint64_t a = g.in(in, x);
      const Dims out{2, kOutChannels, 3 * b, 2 * b};
      const uint64_t y = g.out(out);
      Attrs attrs{{15, static_cast<uint64_t>(word)}};
      if (order >= 0) attrs.push_back({27, static_cast<uint64_t>(order)});
      g.node(OpKind::kDepthToSpace, {a}, {y}, attrs);
      ASSERT_TRUE(g.run());
      for (uint64_t f = 0; f < count_of(out); ++f) {
        const Dims o = unflatten(f, out);
        const uint64_t i = o[2] % b, j = o[3] % b;
        const uint64_t channel =
            dcr ? (i * b + j) * kOutChannels + o[1] : o[1] * b * b + i * b + j;
        const uint64_t src = flatten({o[0], channel, o[2] / b, o[3] / b}, in);
        ASSERT_EQ(g.data(y)[f], x[src]) << "b " << b << " order " << order;
      }
      OpGraph s;
      const uint64_t sa = s.in(out, g.data(y));
      const uint64_t sy = s.out(in);
      s.node(OpKind::kSpaceToDepth, {sa}, {sy}, {{15, static_cast<uint64_t>(word)}});
      ASSERT_TRUE(s.run());
      for (uint64_t f = 0; f < count_of(in); ++f) {
        const Dims o = unflatten(f, in);
        const uint64_t c = o[1] % kOutChannels, ij = o[1] / kOutChannels, i = ij / b, j = ij % b;
        const uint64_t src = flatten({o[0], c, o[2] * b + i, o[3] * b + j}, out);
        ASSERT_EQ(s.data(sy)[f], g.data(y)[src]);
      }
      // SpaceToDepth undoes only the depth-column-row order.
      EXPECT_EQ(static_cast<bool>(same_floats(s.data(sy), x)), dcr) << "b " << b << " order " << order;
    }
  }
}

TEST(CpuMovement, MalformedNodesAreRefusedAtBuild) {
  const RefusedGraph cases[] = {
      {"concat extents", [](OpGraph& g) {
         g.node(OpKind::kConcat, {g.in({1, 2}), g.in({1, 3})}, {g.out({1, 6})}, {{kAxis, 1}});
       }},
      {"concat axis", [](OpGraph& g) {
         g.node(OpKind::kConcat, {g.in({1, 2}), g.in({1, 3})}, {g.out({1, 5})}, {{kAxis, 2}});
       }},
      {"concat other dims", [](OpGraph& g) {
         g.node(OpKind::kConcat, {g.in({2, 2}), g.in({1, 3})}, {g.out({2, 5})}, {{kAxis, 1}});
       }},
      {"concat absent input", [](OpGraph& g) {
         g.node(OpKind::kConcat, {g.in({1, 2}), kAbsentValue}, {g.out({1, 2})}, {{kAxis, 1}});
       }},
      {"split too long", [](OpGraph& g) {
         g.node(OpKind::kSplit, {g.in({4})}, {g.out({3}), g.out({2})}, {{kAxis, 0}});
       }},
      {"slice start", [](OpGraph& g) {
         g.node(OpKind::kSlice, {g.in({8})}, {g.out({2})}, {{kAxis, 0}, {19, 8}, {20, 2}});
       }},
      {"slice runs off", [](OpGraph& g) {
         g.node(OpKind::kSlice, {g.in({8})}, {g.out({3})}, {{kAxis, 0}, {17, 3}, {19, 2}, {20, 3}});
       }},
      {"slice runs off backwards", [](OpGraph& g) {
         g.node(OpKind::kSlice, {g.in({8})}, {g.out({3})},
                {{kAxis, 0}, {17, static_cast<uint64_t>(-2)}, {19, 3}, {20, 3}});
       }},
      {"slice huge step", [](OpGraph& g) {
         g.node(OpKind::kSlice, {g.in({8})}, {g.out({2})},
                {{kAxis, 0}, {17, uint64_t{1} << 62}, {19, 0}, {20, 2}});
       }},
      {"slice output size", [](OpGraph& g) {
         g.node(OpKind::kSlice, {g.in({8})}, {g.out({4})}, {{kAxis, 0}, {19, 0}, {20, 3}});
       }},
      {"transpose repeated axis", [](OpGraph& g) {
         g.node(OpKind::kTranspose, {g.in({2, 3, 4})}, {g.out({2, 3, 4})},
                {{15, 3}, {19, 0}, {20, 0}, {21, 1}});
       }},
      {"transpose axis past rank", [](OpGraph& g) {
         g.node(OpKind::kTranspose, {g.in({2, 3})}, {g.out({3, 2})}, {{15, 2}, {19, 2}, {20, 0}});
       }},
      {"transpose output dims", [](OpGraph& g) {
         g.node(OpKind::kTranspose, {g.in({2, 3})}, {g.out({2, 3})}, {{15, 2}, {19, 1}, {20, 0}});
       }},
      {"transpose length", [](OpGraph& g) {
         g.node(OpKind::kTranspose, {g.in({2, 3})}, {g.out({2, 3})}, {{15, 3}, {19, 0}, {20, 1}});
       }},
      {"expand incompatible", [](OpGraph& g) {
         g.node(OpKind::kExpand, {g.in({3})}, {g.out({2, 4})});
       }},
      {"expand from empty", [](OpGraph& g) {
         g.node(OpKind::kExpand, {g.in({0})}, {g.out({2, 4})});
       }},
      {"pad smaller", [](OpGraph& g) { g.node(OpKind::kPad, {g.in({2, 3})}, {g.out({2, 2})}); }},
      {"pad rank", [](OpGraph& g) { g.node(OpKind::kPad, {g.in({2, 3})}, {g.out({6})}); }},
      {"pad computed pads", [](OpGraph& g) {
         g.node(OpKind::kPad, {g.in({2, 3}), g.in({4})}, {g.out({3, 3})});
       }},
      {"depth-to-space channels", [](OpGraph& g) {
         g.node(OpKind::kDepthToSpace, {g.in({1, 6, 2, 2})}, {g.out({1, 1, 4, 4})});
       }},
      {"space-to-depth odd", [](OpGraph& g) {
         g.node(OpKind::kSpaceToDepth, {g.in({1, 1, 3, 4})}, {g.out({1, 4, 1, 2})});
       }},
      {"negative block", [](OpGraph& g) {
         g.node(OpKind::kDepthToSpace, {g.in({1, 4, 2, 2})}, {g.out({1, 1, 4, 4})},
                {{15, static_cast<uint64_t>(-2)}});
       }},
      {"depth-to-space order word", [](OpGraph& g) {
         g.node(OpKind::kDepthToSpace, {g.in({1, 4, 2, 2})}, {g.out({1, 1, 4, 4})}, {{27, 2}});
       }},
      {"flatten three inputs", [](OpGraph& g) {
         g.node(OpKind::kFlatten, {g.in({2}), g.in({2}), g.in({2})}, {g.out({2})});
       }},
      {"pads operand size", [](OpGraph& g) {
         g.node(OpKind::kPad, {g.in({2, 3}), g.weight({3}, {0, 0, 1})}, {g.out({3, 3})});
       }},
  };
  expect_all_refused(cases);
}

}  // namespace
}  // namespace vexa::cpu::optest
