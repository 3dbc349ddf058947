#include "platform/thread_pool.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// Eight participants even on a two-core machine, so the tests exercise real contention.
// Runs before main: the pool only exists after the first parallel call.
static const bool kPoolSizedForTests = vexa::thread_pool_set_size_for_testing(8);

namespace vexa {
namespace {

constexpr unsigned kTestPoolSize = 8;

struct CoverCtx {
  std::vector<std::atomic<int>> hits;
  explicit CoverCtx(size_t n) : hits(n) {}
};

void cover_body(void* ctx, size_t i) {
  static_cast<CoverCtx*>(ctx)->hits[i].fetch_add(1, std::memory_order_relaxed);
}

TEST(ThreadPool, PoolHasTheTestSize) {
  EXPECT_TRUE(kPoolSizedForTests);
  EXPECT_EQ(thread_pool_size(), kTestPoolSize);
  EXPECT_FALSE(thread_pool_set_size_for_testing(3));  // too late once the pool exists
}

TEST(ThreadPool, WorkersTakeOneCpuEachWhenTheMaskHasRoom) {
  cpu_set_t process;
  CPU_ZERO(&process);
  ASSERT_EQ(sched_getaffinity(0, sizeof(process), &process), 0);
  const int cpus = CPU_COUNT(&process);
  std::mutex m;
  std::map<std::thread::id, cpu_set_t> masks;
  parallel_for(256, [&](size_t) {
    cpu_set_t mine;
    CPU_ZERO(&mine);
    pthread_getaffinity_np(pthread_self(), sizeof(mine), &mine);
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // let every worker join
    std::lock_guard<std::mutex> lock(m);
    masks[std::this_thread::get_id()] = mine;
  });
  const auto caller = std::this_thread::get_id();
  std::set<int> taken;
  size_t workers = 0;
  for (const auto& [id, mask] : masks) {
    if (id == caller) continue;
    ++workers;
    if (cpus >= static_cast<int>(kTestPoolSize)) {
      // Room for one CPU per worker beside the creating thread's: each pinned to its own.
      ASSERT_EQ(CPU_COUNT(&mask), 1);
      int cpu = 0;
      while (!CPU_ISSET(cpu, &mask)) ++cpu;
      EXPECT_TRUE(CPU_ISSET(cpu, &process)) << "CPU " << cpu << " is outside the mask";
      EXPECT_TRUE(taken.insert(cpu).second) << "two workers share CPU " << cpu;
    } else {
      // More workers than CPUs to spare: none is pinned.
      EXPECT_EQ(CPU_COUNT(&mask), cpus);
    }
  }
  EXPECT_GT(workers, 0u);
}

TEST(ThreadPool, EveryIndexRunsExactlyOnce) {
  const size_t sizes[] = {0, 1, 2, 3, 7, 8, 9, 64, 1000, 100003};
  const unsigned caps[] = {0, 1, 2, 3, 8, 64, 1000};
  for (size_t n : sizes) {
    for (unsigned cap : caps) {
      CoverCtx ctx(n);
      parallel_apply(n, &ctx, cover_body, cap);
      size_t wrong = 0;
      for (size_t i = 0; i < n; ++i) wrong += ctx.hits[i].load() != 1;
      EXPECT_EQ(wrong, 0u) << "n=" << n << " cap=" << cap;
    }
  }
}

TEST(ThreadPool, ManySmallJobsBackToBack) {
  // Lost wake-ups or a slot left busy show up as a hang or a miscount here.
  for (int round = 0; round < 3000; ++round) {
    size_t n = 1 + static_cast<size_t>(round % 17);
    CoverCtx ctx(n);
    parallel_apply(n, &ctx, cover_body);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(ctx.hits[i].load(), 1) << "round " << round;
  }
}

TEST(ThreadPool, JobsSpacedBeyondTheSpinStillComplete) {
  // Workers are asleep on the futex by the time each job arrives.
  for (int round = 0; round < 5; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    CoverCtx ctx(100);
    parallel_apply(100, &ctx, cover_body);
    for (size_t i = 0; i < 100; ++i) ASSERT_EQ(ctx.hits[i].load(), 1);
  }
}

TEST(ThreadPool, CallerSleepsPastItsSpinUntilTheLastWorkerLeaves) {
  // Workers' bodies outlast the caller's spin window (500 us), so the caller waits for them on
  // the futex; the call returns only once every body has finished.
  for (int round = 0; round < 3; ++round) {
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> finished{0};
    std::atomic<bool> worker_in{false};
    parallel_for(8, [&](size_t) {
      if (std::this_thread::get_id() != caller) {
        worker_in.store(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
      } else {
        // Leave indices to the workers until one of them holds one.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!worker_in.load() && std::chrono::steady_clock::now() < until) {
          std::this_thread::yield();
        }
      }
      finished.fetch_add(1);
    });
    EXPECT_EQ(finished.load(), 8) << round;
    EXPECT_TRUE(worker_in.load()) << round;
  }
}

struct ConcurrencyCtx {
  std::atomic<int> running{0};
  std::atomic<int> peak{0};
  std::mutex mutex;
  std::set<std::thread::id> threads;
};

void concurrency_body(void* p, size_t) {
  auto* ctx = static_cast<ConcurrencyCtx*>(p);
  int now = ctx->running.fetch_add(1) + 1;
  int peak = ctx->peak.load();
  while (now > peak && !ctx->peak.compare_exchange_weak(peak, now)) {
  }
  {
    std::lock_guard<std::mutex> lock(ctx->mutex);
    ctx->threads.insert(std::this_thread::get_id());
  }
  std::this_thread::sleep_for(std::chrono::microseconds(200));
  ctx->running.fetch_sub(1);
}

TEST(ThreadPool, ThreadCapIsHonoured) {
  for (unsigned cap : {1u, 2u, 3u, 5u}) {
    {
      ConcurrencyCtx ctx;
      parallel_apply(64, &ctx, concurrency_body, cap);
      EXPECT_LE(ctx.peak.load(), static_cast<int>(cap)) << "explicit cap " << cap;
      EXPECT_LE(ctx.threads.size(), cap);
    }
    {
      ConcurrencyCtx ctx;
      ThreadCapScope scope(cap);
      EXPECT_EQ(parallel_thread_budget(), cap);
      parallel_apply(64, &ctx, concurrency_body);
      EXPECT_LE(ctx.peak.load(), static_cast<int>(cap)) << "scoped cap " << cap;
      EXPECT_LE(ctx.threads.size(), cap);
    }
  }
}

TEST(ThreadPool, CapOfOneRunsInOrderOnTheCaller) {
  ThreadCapScope scope(1);
  std::vector<size_t> order;
  std::thread::id caller = std::this_thread::get_id();
  bool all_on_caller = true;
  parallel_for(50, [&](size_t i) {
    order.push_back(i);
    all_on_caller = all_on_caller && std::this_thread::get_id() == caller;
  });
  ASSERT_EQ(order.size(), 50u);
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], i);
  EXPECT_TRUE(all_on_caller);
}

TEST(ThreadPool, ScopesNestAndRestore) {
  EXPECT_EQ(parallel_thread_budget(), kTestPoolSize);
  {
    ThreadCapScope outer(4);
    EXPECT_EQ(parallel_thread_budget(), 4u);
    {
      ThreadCapScope inner(2);
      EXPECT_EQ(parallel_thread_budget(), 2u);
      ThreadCapScope lifted(0);
      EXPECT_EQ(parallel_thread_budget(), kTestPoolSize);
    }
    EXPECT_EQ(parallel_thread_budget(), 4u);
  }
  ThreadCapScope beyond(1000);
  EXPECT_EQ(parallel_thread_budget(), kTestPoolSize);
}

TEST(ThreadPool, CapAppliesOnlyToItsThread) {
  ThreadCapScope scope(1);
  unsigned other_budget = 0;
  std::thread([&] { other_budget = parallel_thread_budget(); }).join();
  EXPECT_EQ(other_budget, kTestPoolSize);
}

TEST(ThreadPool, NestedCallsRunInlineOnTheSameThread) {
  constexpr size_t kOuter = 16, kInner = 9;
  std::vector<std::vector<size_t>> inner_order(kOuter);
  std::vector<int> same_thread(kOuter, 1);
  std::vector<int> budget_inside(kOuter, 0);
  EXPECT_FALSE(in_parallel_region());
  parallel_for(kOuter, [&](size_t o) {
    std::thread::id me = std::this_thread::get_id();
    budget_inside[o] = static_cast<int>(parallel_thread_budget());
    EXPECT_TRUE(in_parallel_region());
    parallel_for(kInner, [&](size_t i) {
      inner_order[o].push_back(i);
      if (std::this_thread::get_id() != me) same_thread[o] = 0;
    });
  });
  EXPECT_FALSE(in_parallel_region());
  for (size_t o = 0; o < kOuter; ++o) {
    ASSERT_EQ(inner_order[o].size(), kInner);
    for (size_t i = 0; i < kInner; ++i) EXPECT_EQ(inner_order[o][i], i);
    EXPECT_EQ(same_thread[o], 1);
    EXPECT_EQ(budget_inside[o], 1);
  }
}

TEST(ThreadPool, TeamMembersRunOnceEachWithTheirOwnNumbers) {
  // Member 0 is the caller; every other member is a worker's number, each at most once per
  // call, never more members than the cap; one member, a cap of 1 or a nested call run member 0
  // inline.
  for (unsigned cap : {0u, 1u, 3u, 8u}) {
    ThreadCapScope scope(cap);
    for (int round = 0; round < 200; ++round) {
      const std::thread::id caller = std::this_thread::get_id();
      std::mutex mutex;
      std::map<size_t, int> calls;
      std::set<std::thread::id> threads;
      bool caller_was_zero = false;
      parallel_team(8, [&](size_t member) {
        std::lock_guard<std::mutex> lock(mutex);
        ++calls[member];
        threads.insert(std::this_thread::get_id());
        if (member == 0) caller_was_zero = std::this_thread::get_id() == caller;
      });
      ASSERT_TRUE(caller_was_zero) << cap;
      ASSERT_LE(calls.size(), cap == 0 ? kTestPoolSize : cap);
      ASSERT_EQ(threads.size(), calls.size());
      for (const auto& [member, count] : calls) {
        ASSERT_LT(member, kTestPoolSize);
        ASSERT_EQ(count, 1) << member;
      }
    }
  }
  std::vector<size_t> inner;
  parallel_for(4, [&](size_t i) {
    if (i != 0) return;
    parallel_team(8, [&](size_t member) { inner.push_back(member); });
  });
  EXPECT_EQ(inner, std::vector<size_t>{0});
}

TEST(ThreadPool, TeamExceptionReachesTheCallerAndPoolStaysUsable) {
  for (int round = 0; round < 20; ++round) {
    bool caught = false;
    try {
      parallel_team(8, [&](size_t member) {
        if (member == 0 || round % 2 == 0) throw std::runtime_error("member failed");
      });
    } catch (const std::runtime_error& e) {
      caught = std::string(e.what()) == "member failed";
    }
    EXPECT_TRUE(caught) << round;
  }
  CoverCtx ctx(64);
  parallel_apply(64, &ctx, cover_body);
  for (size_t i = 0; i < 64; ++i) ASSERT_EQ(ctx.hits[i].load(), 1);
}

TEST(ThreadPool, ExceptionReachesTheCallerAndPoolStaysUsable) {
  for (unsigned cap : {0u, 1u, 4u}) {
    std::atomic<int> ran{0};
    try {
      parallel_for(
          1000,
          [&](size_t i) {
            ran.fetch_add(1);
            if (i == 17) throw std::runtime_error("index 17 failed");
          },
          cap);
      ADD_FAILURE() << "no exception with cap " << cap;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "index 17 failed");
    }
    EXPECT_GE(ran.load(), 1);
    EXPECT_FALSE(in_parallel_region());
    CoverCtx ctx(777);
    parallel_apply(777, &ctx, cover_body, cap);
    for (size_t i = 0; i < 777; ++i) ASSERT_EQ(ctx.hits[i].load(), 1);
  }
}

TEST(ThreadPool, ExceptionsFromEveryIndexStillGiveOne) {
  EXPECT_THROW(parallel_for(500, [](size_t) { throw std::logic_error("all"); }), std::logic_error);
}

TEST(ThreadPool, ConcurrentCallersFromManyThreads) {
  // More callers than job slots: the overflow callers run alone, all must finish.
  constexpr int kCallers = 12, kRounds = 150;
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      ThreadCapScope scope(static_cast<unsigned>(1 + c % 4));
      for (int r = 0; r < kRounds; ++r) {
        size_t n = 1 + static_cast<size_t>((c * 31 + r * 7) % 300);
        CoverCtx ctx(n);
        parallel_apply(n, &ctx, cover_body);
        for (size_t i = 0; i < n; ++i) failures += ctx.hits[i].load() != 1;
      }
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(ThreadPool, ResultsDoNotDependOnTheThreadCount) {
  // A fixed split by n: each index owns one slice, so any cap gives the same bytes.
  constexpr size_t kElems = 100000, kParts = 64;
  auto run = [&](unsigned cap) {
    std::vector<float> out(kElems);
    parallel_for(
        kParts,
        [&](size_t p) {
          size_t chunk = (kElems + kParts - 1) / kParts;
          size_t begin = p * chunk, end = std::min(kElems, begin + chunk);
          float acc = 0.0f;
          for (size_t i = begin; i < end; ++i) {
            acc += 0.1f * static_cast<float>(i % 97);
            out[i] = acc;
          }
        },
        cap);
    return out;
  };
  std::vector<float> one = run(1);
  for (unsigned cap : {2u, 8u}) {
    std::vector<float> other = run(cap);
    EXPECT_EQ(0, std::memcmp(one.data(), other.data(), kElems * sizeof(float))) << cap;
  }
}

}  // namespace
}  // namespace vexa
