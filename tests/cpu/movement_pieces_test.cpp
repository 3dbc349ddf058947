// Mid-sized layout copies cut into pieces on the pool (the attention block of a small ViT):
// Transpose, Flatten, Slice and Concat against naive index loops at 1, 2 and 8 threads.
#include <gtest/gtest.h>

#include <numeric>

#include "op_harness.h"
#include "platform/thread_pool.h"

namespace vexa::cpu::optest {
namespace {

constexpr uint32_t kAxis = 26;
constexpr unsigned kThreadCounts[] = {1, 2, 8};

TEST(CpuMovementPieces, TransposesOfEveryKernelShapeMatchTheIndexLoop) {
  struct Case {
    const char* name;
    Dims in;
    std::vector<uint32_t> perm;
  };
  const Case cases[] = {
      {"heads out of packed q, k, v", {1, 197, 3, 3, 64}, {2, 0, 3, 1, 4}},
      {"keys transposed per head", {1, 3, 197, 64}, {0, 1, 3, 2}},
      {"heads back into tokens", {1, 3, 197, 64}, {0, 2, 1, 3}},
      {"patches to tokens", {1, 192, 196}, {0, 2, 1}},
      {"plain 2-D, odd sides", {67, 301}, {1, 0}},
      {"one column of tiles", {5, 1000, 7}, {0, 2, 1}},
      {"general rank 4", {3, 17, 29, 37}, {2, 0, 3, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto x = ramp(count_of(c.in), 5);
    const auto want = transpose_ref(x, c.in, c.perm);
    Dims out(c.in.size());
    for (size_t k = 0; k < c.in.size(); ++k) out[k] = c.in[c.perm[k]];
    Attrs attrs{{15, c.perm.size()}};
    for (size_t k = 0; k < c.perm.size(); ++k)
      attrs.push_back({static_cast<uint32_t>(19 + k), c.perm[k]});
    for (unsigned threads : kThreadCounts) {
      SCOPED_TRACE(threads);
      ThreadCapScope cap(threads);
      OpGraph g;
      const uint64_t a = g.in(c.in, x);
      const uint64_t y = g.out(out);
      g.node(OpKind::kTranspose, {a}, {y}, attrs);
      ASSERT_TRUE(g.run());
      EXPECT_TRUE(same_floats(g.data(y), want));
    }
  }
}

TEST(CpuMovementPieces, FlattenSliceAndConcatCopyEveryElementOnce) {
  for (unsigned threads : kThreadCounts) {
    SCOPED_TRACE(threads);
    ThreadCapScope cap(threads);
    {
      SCOPED_TRACE("flatten of an odd count");
      OpGraph g;
      const auto x = ramp(197 * 577, 7);
      const uint64_t a = g.in({1, 197, 577}, x);
      const uint64_t y = g.out({197 * 577});
      g.node(OpKind::kFlatten, {a}, {y});
      ASSERT_TRUE(g.run());
      EXPECT_TRUE(same_floats(g.data(y), x));
    }
    {
      SCOPED_TRACE("slice of the outer axis (q, k or v)");
      const Dims in{3, 1, 3, 197, 65};
      const uint64_t inner = 3 * 197 * 65;
      const auto x = ramp(count_of(in), 8);
      for (uint64_t start : {0u, 1u, 2u}) {
        OpGraph g;
        const uint64_t a = g.in(in, x);
        const uint64_t y = g.out({1, 1, 3, 197, 65});
        g.node(OpKind::kSlice, {a}, {y}, {{kAxis, 0}, {19, start}, {20, 1}});
        ASSERT_TRUE(g.run());
        const std::vector<float> want(x.begin() + start * inner, x.begin() + (start + 1) * inner);
        EXPECT_TRUE(same_floats(g.data(y), want));
      }
    }
    {
      SCOPED_TRACE("concat of a class token and the patch tokens");
      const auto cls = ramp(193, 9);
      const auto patches = ramp(196 * 193, 10);
      OpGraph g;
      const uint64_t a = g.in({1, 1, 193}, cls);
      const uint64_t b = g.in({1, 196, 193}, patches);
      const uint64_t y = g.out({1, 197, 193});
      g.node(OpKind::kConcat, {a, b}, {y}, {{kAxis, 1}});
      ASSERT_TRUE(g.run());
      std::vector<float> want = cls;
      want.insert(want.end(), patches.begin(), patches.end());
      EXPECT_TRUE(same_floats(g.data(y), want));
    }
  }
}

}  // namespace
}  // namespace vexa::cpu::optest
