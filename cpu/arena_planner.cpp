#include "cpu/arena_planner.h"

namespace vexa::cpu {

namespace {

constexpr uint32_t kConcatAxisWord = 26;
constexpr int64_t kChannelAxis = 1;
constexpr int64_t kChannelAxisFromEnd = -3;
constexpr uint64_t kImageRank = 4;

bool is_channel_concat(const CpuNode& node) {
  if (node.kind() != static_cast<uint64_t>(OpKind::kConcat)) return false;
  int64_t axis = node.attr(kConcatAxisWord);
  return axis == kChannelAxis || axis == kChannelAxisFromEnd;
}

// Whether `outer`'s first inputs are exactly `prefix`'s inputs, in order.
bool starts_with_inputs(const CpuNode& outer, const CpuNode& prefix) {
  if (prefix.input_count() > outer.input_count()) return false;
  for (uint32_t k = 0; k < prefix.input_count(); ++k) {
    if (outer.input(k) != prefix.input(k)) return false;
  }
  return true;
}

// A single-image NCHW value whose channel slices are contiguous.
bool is_single_image(const CpuValue& v) { return v.rank() == kImageRank && v.dim(0) == 1; }

// Inputs 0..count-1 of `node` laid end to end fill exactly the first bytes of `out`: same
// height and width, channel extents adding up. Keeps the in-place layout exact even if the
// node's own check were looser.
bool slices_fit(const CpuState& s, const CpuNode& node, uint32_t count, const CpuValue& out) {
  uint64_t channels = 0;
  uint64_t bytes = 0;
  for (uint32_t k = 0; k < count; ++k) {
    const CpuValue& v = s.values[node.input(k)];
    if (!is_single_image(v) || v.dim(2) != out.dim(2) || v.dim(3) != out.dim(3)) return false;
    if (v.byte_size() != kF32Bytes * v.element_count()) return false;
    channels += v.dim(1);
    bytes += v.byte_size();
  }
  return channels == out.dim(1) && bytes == out.byte_size();
}

// An earlier, shorter channel Concat over `outer`'s leading inputs whose output is exactly
// their concatenation: its output is the leading part of `outer`'s output.
bool is_prefix_concat(const CpuState& s, const ArenaPlanner& p, const CpuNode& prev,
                      const CpuNode& outer) {
  if (!is_channel_concat(prev) || prev.input_count() < 2 ||
      prev.input_count() >= outer.input_count() || !starts_with_inputs(outer, prev)) {
    return false;
  }
  const uint64_t po = prev.output(0);
  return po < s.value_count && !p.placed[po] && s.values[po].kind() == kValueIntermediate &&
         is_single_image(s.values[po]) &&
         slices_fit(s, prev, static_cast<uint32_t>(prev.input_count()), s.values[po]);
}

// Smallest block free before `before` that holds `need` bytes (lowest index on ties); -1 none.
int64_t best_fit(const ArenaPlanner& p, uint64_t need, int32_t before) {
  int64_t best = -1;
  for (uint64_t b = 0; b < p.block_count; ++b) {
    if (p.block_busy_until[b] < before && p.block_size[b] >= need &&
        (best < 0 || p.block_size[b] < p.block_size[best])) {
      best = static_cast<int64_t>(b);
    }
  }
  return best;
}

// Takes a free block or appends fresh space (registered as a block while there is room).
uint64_t take_space(ArenaPlanner& p, uint64_t& cur, uint64_t need, int32_t before,
                    int32_t busy_until) {
  int64_t b = best_fit(p, need, before);
  if (b >= 0) {
    p.block_busy_until[b] = busy_until;
    return p.block_offset[b];
  }
  uint64_t at = cur;
  if (p.block_count < kMaxArenaBlocks) {
    p.block_offset[p.block_count] = at;
    p.block_size[p.block_count] = need;
    p.block_busy_until[p.block_count] = busy_until;
    ++p.block_count;
  }
  cur += need;
  return at;
}

void place_concats_in_place(const CpuState& s, ArenaPlanner& p, uint64_t& cur) {
  const uint64_t vc = s.value_count;
  const int32_t nc = static_cast<int32_t>(s.node_count);
  for (int32_t n = 0; n < nc; ++n) {
    const CpuNode& node = s.nodes[n];
    if (!is_channel_concat(node) || node.input_count() < 2) continue;
    const uint64_t o = node.output(0);
    if (o >= vc || p.placed[o]) continue;
    const CpuValue& out = s.values[o];
    if (out.kind() != kValueIntermediate || !is_single_image(out)) continue;

    // A later, longer Concat over the same leading inputs takes the layout instead.
    bool superseded = false;
    for (int32_t m = n + 1; m < nc && !superseded; ++m) {
      const CpuNode& later = s.nodes[m];
      superseded = is_channel_concat(later) && later.input_count() > node.input_count() &&
                   starts_with_inputs(later, node);
    }
    if (superseded) continue;

    const uint32_t count = static_cast<uint32_t>(node.input_count());
    bool eligible = true;
    for (uint32_t k = 0; k < count && eligible; ++k) {
      const uint64_t v = node.input(k);
      eligible = v < vc && s.values[v].kind() == kValueIntermediate && !p.placed[v] &&
                 s.values[v].byte_size() % kArenaAlignmentBytes == 0 && p.producer[v] >= 0;
      for (uint32_t j = 0; j < k && eligible; ++j) eligible = node.input(j) != v;
    }
    if (!eligible || !slices_fit(s, node, count, out)) continue;

    int32_t start = n;
    int32_t end = p.last_use[o];
    for (uint32_t k = 0; k < count; ++k) {
      const uint64_t v = node.input(k);
      if (p.producer[v] < start) start = p.producer[v];
      if (p.last_use[v] > end) end = p.last_use[v];
    }
    // Earlier, shorter Concats over the same leading inputs write the leading part of O.
    for (int32_t m = 0; m < n; ++m) {
      if (!is_prefix_concat(s, p, s.nodes[m], node)) continue;
      const uint64_t po = s.nodes[m].output(0);
      if (p.last_use[po] > end) end = p.last_use[po];
    }

    const uint64_t at = take_space(p, cur, round_up64(out.byte_size()), start, end);
    p.offset[o] = at;
    p.placed[o] = 1;
    for (int32_t m = 0; m < n; ++m) {
      if (!is_prefix_concat(s, p, s.nodes[m], node)) continue;
      const uint64_t po = s.nodes[m].output(0);
      p.offset[po] = at;
      p.placed[po] = 1;
    }
    uint64_t slice = at;
    for (uint32_t k = 0; k < count; ++k) {
      const uint64_t v = node.input(k);
      p.offset[v] = slice;
      p.placed[v] = 1;
      slice += s.values[v].byte_size();
    }
  }
}

}  // namespace

uint64_t arena_plan(const CpuState& s, ArenaPlanner& p) {
  const uint64_t vc = s.value_count;
  const int32_t nc = static_cast<int32_t>(s.node_count);
  for (uint64_t v = 0; v < vc; ++v) {
    p.last_use[v] = -1;
    p.producer[v] = -1;
    p.placed[v] = 0;
    p.offset[v] = 0;
  }
  p.block_count = 0;

  for (int32_t n = 0; n < nc; ++n) {
    const CpuNode& node = s.nodes[n];
    const uint64_t outs = node.output_count() < kMaxNodeOutputs ? node.output_count()
                                                                 : kMaxNodeOutputs;
    const uint64_t ins = node.input_count() < kMaxNodeInputs ? node.input_count() : kMaxNodeInputs;
    if (node.output_count() == 1 && node.output(0) < vc) p.producer[node.output(0)] = n;
    for (uint32_t k = 0; k < ins; ++k) {
      const uint64_t v = node.input(k);
      if (v < vc && p.last_use[v] < n) p.last_use[v] = n;
    }
    for (uint32_t k = 0; k < outs; ++k) {
      const uint64_t v = node.output(k);
      if (v < vc && p.last_use[v] < n) p.last_use[v] = n;
    }
  }

  uint64_t cur = kArenaZeroPadBytes;
  for (uint64_t v = 0; v < vc; ++v) {
    const CpuValue& val = s.values[v];
    if (val.kind() == kValueWeight) {
      p.placed[v] = 1;
    } else if (val.byte_size() == 0) {
      p.offset[v] = 0;
      p.placed[v] = 1;
    } else if (val.kind() == kValueGraphInput || val.kind() == kValueGraphOutput) {
      p.offset[v] = cur;
      p.placed[v] = 1;
      cur += round_up64(val.byte_size());
    }
  }

  const uint64_t first_concat_block = p.block_count;
  place_concats_in_place(s, p, cur);
  for (uint64_t b = first_concat_block; b < p.block_count; ++b) p.block_busy_until[b] = nc;

  for (int32_t n = 0; n < nc; ++n) {
    const CpuNode& node = s.nodes[n];
    const uint64_t outs = node.output_count() < kMaxNodeOutputs ? node.output_count()
                                                                 : kMaxNodeOutputs;
    for (uint32_t k = 0; k < outs; ++k) {
      const uint64_t v = node.output(k);
      if (v >= vc || p.placed[v]) continue;
      p.offset[v] = take_space(p, cur, round_up64(s.values[v].byte_size()), n, p.last_use[v]);
      p.placed[v] = 1;
    }
  }

  for (uint64_t v = 0; v < vc; ++v) {
    if (p.placed[v]) continue;
    p.offset[v] = cur;
    p.placed[v] = 1;
    cur += round_up64(s.values[v].byte_size());
  }
  return cur;
}

}  // namespace vexa::cpu
