// Arena planner: hand-built layouts from the planning rules, and a property check over random
// graphs (no two live values share bytes, 64-byte offsets, exact in-place Concat slices).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "cpu/arena_planner.h"
#include "cpu_records.h"

namespace vexa::cpu {
namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// A state and planner built by hand, without a container.
class PlanGraph {
 public:
  PlanGraph()
      : state_(static_cast<CpuState*>(std::calloc(1, sizeof(CpuState)))),
        planner_(static_cast<ArenaPlanner*>(std::calloc(1, sizeof(ArenaPlanner)))) {}

  uint64_t value(uint64_t kind, std::vector<uint64_t> dims) {
    state_->values[state_->value_count] = test_records::f32_value_record(kind, dims);
    return state_->value_count++;
  }
  // A flat intermediate of `bytes` bytes (a multiple of 4).
  uint64_t bytes(uint64_t kind, uint64_t n) { return value(kind, {n / 4}); }
  uint64_t image(uint64_t kind, uint64_t channels) { return value(kind, {1, channels, 4, 4}); }

  void node(OpKind kind, std::vector<uint64_t> in, std::vector<uint64_t> out, int64_t axis = 1) {
    CpuNode& n = state_->nodes[state_->node_count++];
    n = test_records::node_record(kind, in, out);
    n.w[26] = static_cast<uint64_t>(axis);
  }

  uint64_t plan() { return arena_plan(*state_, *planner_); }
  uint64_t offset(uint64_t v) const { return planner_->offset[v]; }
  const CpuState& state() const { return *state_; }
  const ArenaPlanner& planner() const { return *planner_; }

 private:
  std::unique_ptr<CpuState, FreeDeleter> state_;
  std::unique_ptr<ArenaPlanner, FreeDeleter> planner_;
};

TEST(CpuArena, ChainReusesTheBlockOfTheValueTwoStepsBack) {
  PlanGraph g;
  const uint64_t in = g.bytes(kValueGraphInput, 256);
  const uint64_t x = g.bytes(kValueIntermediate, 256);
  const uint64_t y = g.bytes(kValueIntermediate, 256);
  const uint64_t z = g.bytes(kValueIntermediate, 256);
  const uint64_t out = g.bytes(kValueGraphOutput, 256);
  g.node(OpKind::kRelu, {in}, {x});
  g.node(OpKind::kRelu, {x}, {y});
  g.node(OpKind::kRelu, {y}, {z});
  g.node(OpKind::kRelu, {z}, {out});
  const uint64_t size = g.plan();
  EXPECT_EQ(g.offset(in), 64u);
  EXPECT_EQ(g.offset(out), 64u + 256);
  EXPECT_EQ(g.offset(z), g.offset(x));
  EXPECT_NE(g.offset(y), g.offset(x));
  EXPECT_EQ(size, 64u + 4 * 256);
}

TEST(CpuArena, BestFitTakesTheSmallestFreeBlock) {
  PlanGraph g;
  const uint64_t in = g.bytes(kValueGraphInput, 64);
  const uint64_t big = g.bytes(kValueIntermediate, 256);
  const uint64_t small = g.bytes(kValueIntermediate, 128);
  const uint64_t sum = g.bytes(kValueIntermediate, 64);
  const uint64_t v100 = g.bytes(kValueIntermediate, 100);
  const uint64_t out = g.bytes(kValueGraphOutput, 100);
  g.node(OpKind::kRelu, {in}, {big});
  g.node(OpKind::kRelu, {in}, {small});
  g.node(OpKind::kAdd, {big, small}, {sum});
  g.node(OpKind::kRelu, {sum}, {v100});
  g.node(OpKind::kRelu, {v100}, {out});
  g.plan();
  EXPECT_EQ(g.offset(v100), g.offset(small));
}

TEST(CpuArena, EqualFreeBlocksGoToTheOneCreatedFirst) {
  PlanGraph g;
  const uint64_t in = g.bytes(kValueGraphInput, 64);
  const uint64_t a = g.bytes(kValueIntermediate, 128);
  const uint64_t b = g.bytes(kValueIntermediate, 128);
  const uint64_t c = g.bytes(kValueIntermediate, 64);
  const uint64_t d = g.bytes(kValueIntermediate, 128);
  const uint64_t out = g.bytes(kValueGraphOutput, 64);
  g.node(OpKind::kRelu, {in}, {a});
  g.node(OpKind::kRelu, {in}, {b});
  g.node(OpKind::kAdd, {a, b}, {c});
  g.node(OpKind::kRelu, {c}, {d});
  g.node(OpKind::kRelu, {d}, {out});
  g.plan();
  EXPECT_EQ(g.offset(d), g.offset(a));
}

TEST(CpuArena, ValueNeverReadFreesItsBlockForTheNextNode) {
  PlanGraph g;
  const uint64_t in = g.bytes(kValueGraphInput, 64);
  const uint64_t dead = g.bytes(kValueIntermediate, 128);
  const uint64_t next = g.bytes(kValueIntermediate, 128);
  const uint64_t out = g.bytes(kValueGraphOutput, 128);
  g.node(OpKind::kRelu, {in}, {dead});
  g.node(OpKind::kRelu, {in}, {next});
  g.node(OpKind::kRelu, {next}, {out});
  g.plan();
  EXPECT_EQ(g.offset(next), g.offset(dead));
}

TEST(CpuArena, OutputsReadByLaterNodesKeepPrivateSlotsAndEmptyOutputsUseThePad) {
  PlanGraph g;
  const uint64_t in = g.bytes(kValueGraphInput, 64);
  const uint64_t out1 = g.bytes(kValueGraphOutput, 64);
  const uint64_t empty = g.value(kValueGraphOutput, {0});
  const uint64_t t = g.bytes(kValueIntermediate, 64);
  const uint64_t out2 = g.bytes(kValueGraphOutput, 64);
  g.node(OpKind::kRelu, {in}, {out1});
  g.node(OpKind::kRelu, {out1}, {t});
  g.node(OpKind::kRelu, {t}, {out2});
  g.node(OpKind::kRelu, {in}, {empty});
  g.plan();
  EXPECT_EQ(g.offset(in), 64u);
  EXPECT_EQ(g.offset(out1), 128u);
  EXPECT_EQ(g.offset(out2), 192u);
  EXPECT_EQ(g.offset(empty), 0u);
  EXPECT_GE(g.offset(t), 256u);
}

TEST(CpuArena, ChannelConcatInputsAreLaidOutInsideItsOutput) {
  for (int64_t axis : {1, -3}) {
    PlanGraph g;
    const uint64_t in = g.value(kValueGraphInput, {1, 64, 4, 4});
    const uint64_t a = g.value(kValueIntermediate, {1, 64, 4, 4});
    const uint64_t b = g.value(kValueIntermediate, {1, 64, 4, 4});
    const uint64_t c = g.value(kValueIntermediate, {1, 64, 4, 4});
    const uint64_t o = g.value(kValueIntermediate, {1, 192, 4, 4});
    const uint64_t out = g.value(kValueGraphOutput, {1, 192, 4, 4});
    g.node(OpKind::kRelu, {in}, {a});
    g.node(OpKind::kRelu, {in}, {b});
    g.node(OpKind::kRelu, {in}, {c});
    g.node(OpKind::kConcat, {a, b, c}, {o}, axis);
    g.node(OpKind::kRelu, {o}, {out});
    g.plan();
    EXPECT_EQ(g.offset(b), g.offset(a) + 4096);
    EXPECT_EQ(g.offset(c), g.offset(a) + 8192);
    EXPECT_EQ(g.offset(o), g.offset(a));
  }
}

TEST(CpuArena, ConcatWithoutInPlaceLayout) {
  // An input whose size is not a multiple of 64, an output that is a graph output, and an
  // input that is a graph input each keep the Concat copying.
  {
    PlanGraph g;
    const uint64_t in = g.value(kValueGraphInput, {1, 1, 1, 1});
    const uint64_t a = g.value(kValueIntermediate, {1, 1024, 1, 1});
    const uint64_t b = g.value(kValueIntermediate, {1, 1025, 1, 1});
    const uint64_t o = g.value(kValueIntermediate, {1, 2049, 1, 1});
    const uint64_t out = g.value(kValueGraphOutput, {1, 2049, 1, 1});
    g.node(OpKind::kRelu, {in}, {a});
    g.node(OpKind::kRelu, {in}, {b});
    g.node(OpKind::kConcat, {a, b}, {o});
    g.node(OpKind::kRelu, {o}, {out});
    g.plan();
    EXPECT_NE(g.offset(a), g.offset(o));
  }
  {
    PlanGraph g;
    const uint64_t in = g.value(kValueGraphInput, {1, 16, 4, 4});
    const uint64_t a = g.value(kValueIntermediate, {1, 16, 4, 4});
    const uint64_t out = g.value(kValueGraphOutput, {1, 32, 4, 4});
    g.node(OpKind::kRelu, {in}, {a});
    g.node(OpKind::kConcat, {a, in}, {out});
    g.plan();
    EXPECT_FALSE(g.offset(a) >= g.offset(out) && g.offset(a) < g.offset(out) + 2048);
  }
}

TEST(CpuArena, ShorterConcatOverTheSameLeadingInputsSitsAtTheStartOfTheLongerOne) {
  PlanGraph g;
  const uint64_t in = g.value(kValueGraphInput, {1, 8, 4, 4});
  const uint64_t a = g.value(kValueIntermediate, {1, 8, 4, 4});
  const uint64_t b = g.value(kValueIntermediate, {1, 8, 4, 4});
  const uint64_t c = g.value(kValueIntermediate, {1, 8, 4, 4});
  const uint64_t ab = g.value(kValueIntermediate, {1, 16, 4, 4});
  const uint64_t abc = g.value(kValueIntermediate, {1, 24, 4, 4});
  const uint64_t out = g.value(kValueGraphOutput, {1, 24, 4, 4});
  const uint64_t side = g.value(kValueGraphOutput, {1, 16, 4, 4});
  g.node(OpKind::kRelu, {in}, {a});
  g.node(OpKind::kRelu, {in}, {b});
  g.node(OpKind::kConcat, {a, b}, {ab});
  g.node(OpKind::kRelu, {in}, {c});
  g.node(OpKind::kConcat, {a, b, c}, {abc});
  g.node(OpKind::kRelu, {abc}, {out});
  g.node(OpKind::kRelu, {ab}, {side});
  g.plan();
  EXPECT_EQ(g.offset(ab), g.offset(abc));
  EXPECT_EQ(g.offset(a), g.offset(abc));
  EXPECT_EQ(g.offset(b), g.offset(abc) + 512);
  EXPECT_EQ(g.offset(c), g.offset(abc) + 1024);
}

// Random graphs over single-image values: unary maps, adds and channel concats (sometimes a
// shorter concat first). Checks every property the interpreter relies on.
TEST(CpuArena, RandomGraphsNeverShareLiveBytes) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 rng(seed);
    PlanGraph g;
    std::vector<uint64_t> live;
    const int inputs = 1 + static_cast<int>(rng() % 2);
    for (int i = 0; i < inputs; ++i) live.push_back(g.image(kValueGraphInput, 1 + rng() % 4));
    const int nodes = 3 + static_cast<int>(rng() % 40);
    for (int n = 0; n < nodes; ++n) {
      const uint32_t pick = rng() % 10;
      const uint64_t kind = (n == nodes - 1 || rng() % 8 == 0) ? kValueGraphOutput : kValueIntermediate;
      if (pick < 4 || live.size() < 2) {
        const uint64_t src = live[rng() % live.size()];
        const uint64_t dst = g.value(kind, {1, g.state().values[src].dim(1), 4, 4});
        g.node(OpKind::kRelu, {src}, {dst});
        live.push_back(dst);
      } else if (pick < 6) {
        const uint64_t x = live[rng() % live.size()];
        const uint64_t y = live[rng() % live.size()];
        const uint64_t dst = g.image(kind, std::max(g.state().values[x].dim(1),
                                                    g.state().values[y].dim(1)));
        g.node(OpKind::kAdd, {x, y}, {dst});
        live.push_back(dst);
      } else {
        // Fresh producers feeding a concat, so the in-place layout is often possible.
        const int k = 2 + static_cast<int>(rng() % 3);
        std::vector<uint64_t> parts;
        uint64_t channels = 0;
        for (int j = 0; j < k; ++j) {
          const uint64_t src = live[rng() % live.size()];
          const uint64_t c = 1 + rng() % 4;
          const uint64_t p = g.image(kValueIntermediate, c);
          g.node(OpKind::kRelu, {src}, {p});
          parts.push_back(p);
          channels += c;
        }
        if (rng() % 3 == 0) {
          uint64_t pc = g.state().values[parts[0]].dim(1) + g.state().values[parts[1]].dim(1);
          const uint64_t prefix = g.image(kValueIntermediate, pc);
          g.node(OpKind::kConcat, {parts[0], parts[1]}, {prefix});
          live.push_back(prefix);
        }
        const uint64_t dst = g.image(kind, channels);
        g.node(OpKind::kConcat, parts, {dst}, rng() % 2 ? 1 : -3);
        live.push_back(dst);
      }
    }
    const uint64_t size = g.plan();
    const CpuState& s = g.state();
    const ArenaPlanner& p = g.planner();
    // Lifetime of each value: first node touching it .. last node touching it.
    std::vector<int64_t> first(s.value_count, -1), last(s.value_count, -1);
    for (uint64_t n = 0; n < s.node_count; ++n) {
      const CpuNode& node = s.nodes[n];
      auto touch = [&](uint64_t v) {
        if (first[v] < 0) first[v] = static_cast<int64_t>(n);
        last[v] = static_cast<int64_t>(n);
      };
      for (uint32_t k = 0; k < node.input_count(); ++k) touch(node.input(k));
      for (uint32_t k = 0; k < node.output_count(); ++k) touch(node.output(k));
    }
    // Values a concat holds inside its output (exactly at their slice) may overlap it.
    std::vector<std::vector<uint64_t>> inside(s.value_count);
    for (uint64_t n = 0; n < s.node_count; ++n) {
      const CpuNode& node = s.nodes[n];
      if (node.kind() != static_cast<uint64_t>(OpKind::kConcat)) continue;
      const uint64_t o = node.output(0);
      uint64_t slice = p.offset[o];
      bool in_place = true;
      for (uint32_t k = 0; k < node.input_count(); ++k) {
        in_place = in_place && p.offset[node.input(k)] == slice;
        slice += s.values[node.input(k)].byte_size();
      }
      const uint64_t first_in = node.input(0);
      const bool any_inside = p.offset[first_in] >= p.offset[o] &&
                              p.offset[first_in] < p.offset[o] + s.values[o].byte_size();
      if (any_inside) {
        ASSERT_TRUE(in_place) << "seed " << seed << ": concat slices not exact at node " << n;
      }
      if (in_place) {
        for (uint32_t k = 0; k < node.input_count(); ++k) inside[o].push_back(node.input(k));
      }
    }
    auto nested = [&](uint64_t u, uint64_t v) {
      for (uint64_t w : inside[v]) {
        if (w == u) return true;
      }
      for (uint64_t w : inside[u]) {
        if (w == v) return true;
      }
      // A shorter in-place concat over the leading inputs of a longer one shares its start.
      if (!inside[u].empty() && !inside[v].empty() && p.offset[u] == p.offset[v]) {
        const auto& shorter = inside[u].size() < inside[v].size() ? inside[u] : inside[v];
        const auto& longer = inside[u].size() < inside[v].size() ? inside[v] : inside[u];
        return std::equal(shorter.begin(), shorter.end(), longer.begin());
      }
      // A slice of the shorter concat lies inside the longer one too.
      for (uint64_t o = 0; o < s.value_count; ++o) {
        for (uint64_t w : inside[o]) {
          if ((w == u && !inside[v].empty() && p.offset[v] == p.offset[o]) ||
              (w == v && !inside[u].empty() && p.offset[u] == p.offset[o])) {
            return true;
          }
        }
      }
      return false;
    };
    for (uint64_t u = 0; u < s.value_count; ++u) {
      const uint64_t bu = s.values[u].byte_size();
      ASSERT_EQ(p.offset[u] % 64, 0u) << "seed " << seed;
      ASSERT_LE(p.offset[u] + round_up64(bu), size) << "seed " << seed;
      if (bu == 0 || first[u] < 0) continue;
      for (uint64_t v = u + 1; v < s.value_count; ++v) {
        const uint64_t bv = s.values[v].byte_size();
        if (bv == 0 || first[v] < 0) continue;
        const bool lives_overlap = !(last[u] < first[v] || last[v] < first[u]);
        const bool private_slot = s.values[u].kind() != kValueIntermediate ||
                                  s.values[v].kind() != kValueIntermediate;
        const bool bytes_overlap =
            p.offset[u] < p.offset[v] + bv && p.offset[v] < p.offset[u] + bu;
        if (bytes_overlap && (lives_overlap || private_slot)) {
          ASSERT_TRUE(!private_slot && nested(u, v))
              << "seed " << seed << ": values " << u << " and " << v << " share bytes: offsets "
              << p.offset[u] << "+" << bu << " / " << p.offset[v] << "+" << bv << ", lives "
              << first[u] << ".." << last[u] << " / " << first[v] << ".." << last[v];
        }
      }
    }
  }
}

}  // namespace
}  // namespace vexa::cpu
