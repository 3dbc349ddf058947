// A build whose standard-library allocations fail (operator new throwing std::bad_alloc at any
// point: graph checks, fusion, the precision refusal text) reports out of memory and leaves no
// partial state behind. This program replaces the global operator new/delete; the failure is
// armed per thread and only around one build, so every other test allocates as usual.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "cpu_graph_fixture.h"

namespace {

// 0: off. n > 0: the n-th operator new on this thread from now throws.
thread_local uint64_t t_fail_countdown = 0;
thread_local bool t_failure_fired = false;

void* counted_new(std::size_t bytes) {
  if (t_fail_countdown > 0 && --t_fail_countdown == 0) {
    t_failure_fired = true;
    throw std::bad_alloc();
  }
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* counted_new_nothrow(std::size_t bytes) noexcept {
  try {
    return counted_new(bytes);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

// Every plain and nothrow form pairs with a delete here, so no allocator sees memory from the
// other (the sanitizer build checks that pairing).
void* operator new(std::size_t bytes) { return counted_new(bytes); }
void* operator new[](std::size_t bytes) { return counted_new(bytes); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
  return counted_new_nothrow(bytes);
}
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {
  return counted_new_nothrow(bytes);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace vexa::cpu {
namespace {

using graph_test::GraphModel;
using graph_test::StateHolder;

// Beyond this many allocations a build of the small model below has long finished.
constexpr uint64_t kMaxFailurePoints = 512;

struct BuildOutcome {
  bool escaped = false;  // std::bad_alloc left cpu_state_create_with
  bool fired = false;    // the armed allocation was reached
  ErrorCode code = ErrorCode::kOk;
  std::string message;
  uint64_t live_after = 0;
};

BuildOutcome build_with_failure_at(GraphModel& g, uint64_t nth) {
  BuildOutcome o;
  t_failure_fired = false;
  t_fail_countdown = nth;
  CpuCreateResult r{};
  try {
    r = g.create();
  } catch (const std::bad_alloc&) {
    o.escaped = true;
  }
  t_fail_countdown = 0;
  o.fired = t_failure_fired;
  if (!o.escaped) {
    StateHolder s(r);
    o.code = s.code();
    o.message = s.message();
  }
  o.live_after = cpu_live_state_count_for_testing();
  return o;
}

// A model the precision gate refuses, so the build reaches the refusal text after the arena and
// workspace exist; then the same graph accepted, which runs through study arming.
TEST(CpuBuildAllocation, EveryThrowingAllocationIsReportedAndReleased) {
  for (const char* precision : {"f16", "f32"}) {
    SCOPED_TRACE(precision);
    GraphModel g;
    const uint64_t in = g.input({1, 4});
    const uint64_t w = g.weight({1, 4}, {1, 2, 3, 4});
    const uint64_t t = g.inter({1, 4});
    const uint64_t out = g.output({1, 4});
    g.node(OpKind::kAdd, {in, w}, {t});
    g.node(OpKind::kRelu, {t}, {out});
    g.writer().set_meta_string("precision.cpu", precision);
    ASSERT_TRUE(g.open());
    const bool refused = std::string(precision) == "f16";

    const uint64_t live_before = cpu_live_state_count_for_testing();
    uint64_t failures = 0;
    bool completed = false;
    for (uint64_t nth = 1; nth <= kMaxFailurePoints && !completed; ++nth) {
      SCOPED_TRACE(nth);
      const BuildOutcome o = build_with_failure_at(g, nth);
      EXPECT_FALSE(o.escaped);
      EXPECT_EQ(o.live_after, live_before);
      if (o.fired) {
        ++failures;
        if (!o.escaped) {
          EXPECT_EQ(o.code, ErrorCode::kOutOfMemory) << o.message;
        }
        continue;
      }
      completed = true;
      EXPECT_EQ(o.code, refused ? ErrorCode::kUnsupported : ErrorCode::kOk) << o.message;
      if (refused) {
        EXPECT_EQ(o.message, "precision.cpu=f16 is not available on the CPU yet");
      }
    }
    EXPECT_TRUE(completed);
    // The refusal text alone needs one allocation.
    if (refused) {
      EXPECT_GE(failures, 1u);
    }
  }
}

}  // namespace
}  // namespace vexa::cpu
