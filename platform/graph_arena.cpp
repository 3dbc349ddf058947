// Activation arena of an executable: values share blocks by greedy best fit over their
// lifetimes, in the order they are defined, the CPU engine's planning rule.
#include <algorithm>
#include <numeric>

#include "platform/graph_plan.h"

namespace vexa {

namespace {

constexpr uint64_t kArenaAlignBytes = 64;

uint64_t round_up(uint64_t n) { return (n + kArenaAlignBytes - 1) & ~(kArenaAlignBytes - 1); }

struct Block {
  uint64_t offset;
  uint64_t size;
  int64_t busy_until;  // last step of the value in it
};

}  // namespace

uint64_t graph_plan_arena(const std::vector<GraphLifetime>& values,
                          std::vector<uint64_t>* offsets) {
  offsets->assign(values.size(), 0);
  std::vector<size_t> order(values.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return values[a].first < values[b].first; });
  std::vector<Block> blocks;
  uint64_t end = 0;
  for (size_t v : order) {
    const GraphLifetime& life = values[v];
    const uint64_t need = round_up(life.bytes);
    if (need == 0) continue;
    // The smallest free block that holds the value, else the free block at the end grown,
    // else a new block at the end.
    Block* best = nullptr;
    Block* last_free = nullptr;
    for (Block& b : blocks) {
      if (b.busy_until >= life.first) continue;
      if (b.offset + b.size == end) last_free = &b;
      if (b.size >= need && (best == nullptr || b.size < best->size)) best = &b;
    }
    if (best == nullptr && last_free != nullptr) {
      end += need - last_free->size;
      last_free->size = need;
      best = last_free;
    }
    if (best == nullptr) {
      blocks.push_back(Block{end, need, 0});
      end += need;
      best = &blocks.back();
    }
    best->busy_until = life.last;
    (*offsets)[v] = best->offset;
  }
  return end;
}

}  // namespace vexa
