#include "platform/thread_pool.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <exception>
#include <limits>
#include <thread>
#include <vector>

namespace vexa {
namespace {

// Callers on different threads may each run a job at once; beyond this many the extra
// caller runs its job by itself.
constexpr unsigned kJobSlots = 8;
// After running out of work a thread polls this long before sleeping: kernels dispatch
// back to back, and a futex round trip costs more than a short spin. The window covers the
// small nodes a graph runs inline between two parallel ones (a layer norm, a bias add), so
// the workers are still awake for the next node.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(500);
// Past this part of the window a polling worker also yields its core on every clock read, so
// on a machine with more runnable threads than cores the threads with work still get to run.
constexpr auto kSpinBeforeYield = std::chrono::microseconds(50);
constexpr unsigned kSpinChecksPerClockRead = 64;
// Indices are handed out in chunks so cheap bodies don't fight over one counter; a
// thread sees about this many chunks, which keeps uneven bodies balanced.
constexpr size_t kChunksPerThread = 4;
constexpr size_t kCacheLineBytes = 64;

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
              std::atomic<uint32_t>::is_always_lock_free,
              "futex words are plain 32-bit atomics");

void futex_wait(std::atomic<uint32_t>* word, uint32_t expected) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr,
          nullptr, 0);
}

void futex_wake(std::atomic<uint32_t>* word, int count) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr,
          nullptr, 0);
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

thread_local bool t_in_region = false;
thread_local unsigned t_thread_cap = 0;

std::atomic<unsigned> g_size_for_testing{0};
std::atomic<bool> g_pool_created{false};

struct RegionGuard {
  bool saved;
  RegionGuard() : saved(t_in_region) { t_in_region = true; }
  ~RegionGuard() { t_in_region = saved; }
};

struct Job {
  ParallelFn fn = nullptr;
  void* ctx = nullptr;
  size_t n = 0;
  size_t grain = 1;
  // Every worker may join: no tickets are taken. Every worker taking one from the same line as
  // they all arrive cost each later worker another transfer of that line before it could start.
  bool every_worker = false;
  // A team job (parallel_team): each thread calls fn once with its own number; `seq` tells a
  // worker whether it already took part in this one.
  bool team = false;
  uint64_t seq = 0;
  alignas(kCacheLineBytes) std::atomic<size_t> next{0};
  std::atomic<int> helper_tickets{0};  // workers that may still join
  std::atomic<bool> failed{false};
  std::exception_ptr error;  // written once, by the thread that set failed
};

void record_failure(Job& job) {
  bool expected = false;
  if (job.failed.compare_exchange_strong(expected, true)) job.error = std::current_exception();
}

// The one call of a team job on this thread.
void take_part(Job& job, size_t member) {
  try {
    job.fn(job.ctx, member);
  } catch (...) {
    record_failure(job);
  }
}

// Takes chunks of indices until none are left or a body has thrown.
void work_on(Job& job) {
  while (!job.failed.load(std::memory_order_relaxed)) {
    // Looked at before taking: every participant ends here once the indices run out, and a read
    // leaves the counter's line shared where an increment would pull it from core to core.
    if (job.next.load(std::memory_order_relaxed) >= job.n) return;
    size_t begin = job.next.fetch_add(job.grain, std::memory_order_relaxed);
    if (begin >= job.n) return;
    size_t end = std::min(job.n, begin + job.grain);
    try {
      for (size_t i = begin; i < end; ++i) job.fn(job.ctx, i);
    } catch (...) {
      record_failure(job);
      return;
    }
  }
}

// A job is published in a slot. A worker that may be reading a slot's job says so in its own
// mark (the slot's number + 1) before it loads the pointer, and clears the mark when done; the
// owner clears the pointer, then waits until no mark names the slot, after which no worker can
// touch the job. Both sides store, then load the other's word (sequentially consistent), so
// either the worker sees no job or the owner sees the mark. Marks are one line per worker: a
// count in the slot's line, taken and given back by every worker as a job starts and ends,
// made the last of 7 workers wait for 7 transfers of that line before it could start. A
// decode-like run of 151 kernel_parallel_for dispatches (30 x 66, 9, 42, 220 and 110 tasks of
// 0.3 us, then 222) took 1302-1390 us at 8 threads with the count, 1136-1263 with the marks and a
// line per run counter, 1043-1193 with team jobs on top (medians of 300 steps, four interleaved
// runs each, shared 8-core Zen 4).
struct alignas(kCacheLineBytes) Slot {
  std::atomic<uint32_t> busy{0};  // owned by a caller from publication until drained
  std::atomic<Job*> job{nullptr};
  std::atomic<uint32_t> owner_sleeping{0};
};

struct alignas(kCacheLineBytes) WorkerMark {
  std::atomic<uint32_t> inside{0};  // 0, or the number + 1 of the slot being visited
  uint64_t team_seq = 0;            // the last team job this worker took part in (its own)
};

// A CPU for each of `workers` workers: those of the process's affinity mask, less the one the
// creating thread runs on (the caller takes part in every job); empty (no pinning) when the
// mask has too few CPUs for one each, as when a test asks for more threads than cores.
// Unpinned, the scheduler here left two pool threads sharing one CPU and another CPU idle
// for many jobs in a row, each such job taking twice as long; pinned, 8 threads ran a pure
// arithmetic job at 116 GFLOP/s each instead of 59-94.
std::vector<int> worker_cpus(unsigned workers) {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return cpus;
  const int own = sched_getcpu();
  for (int c = 0; c < CPU_SETSIZE; ++c) {
    if (CPU_ISSET(c, &set) && c != own) cpus.push_back(c);
  }
  if (cpus.size() < workers) cpus.clear();
  return cpus;
}

void pin_to(std::thread& t, int cpu) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  // A refusal (a CPU taken away meanwhile) leaves the worker unpinned, which only costs time.
  (void)pthread_setaffinity_np(t.native_handle(), sizeof(one), &one);
}

unsigned affinity_cpu_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

class Pool {
 public:
  explicit Pool(unsigned participants) {
    participants = std::clamp(participants, 1u, kMaxParallelThreads);
    participants_ = 1;
    const std::vector<int> cpus = worker_cpus(participants - 1);
    for (unsigned i = 1; i < participants; ++i) {
      try {
        std::thread worker(&Pool::worker_main, this, &marks_[i - 1]);
        if (!cpus.empty()) pin_to(worker, cpus[i - 1]);
        worker.detach();
      } catch (...) {
        break;  // run with the workers we got
      }
      ++participants_;
    }
  }

  unsigned size() const { return participants_; }

  // Runs the job with up to `helpers` workers beside the caller. False when every slot
  // is taken (the caller then runs the job alone).
  bool run(Job& job, unsigned helpers) {
    Slot* slot = claim_slot();
    if (slot == nullptr) return false;
    job.helper_tickets.store(static_cast<int>(helpers), std::memory_order_relaxed);
    job.every_worker = helpers + 1 >= participants_;
    slot->job.store(&job);
    epoch_.fetch_add(1);
    if (sleepers_.load() > 0) futex_wake(&epoch_, static_cast<int>(helpers));

    {
      RegionGuard region;
      if (job.team) {
        take_part(job, 0);
      } else {
        work_on(job);
      }
    }

    slot->job.store(nullptr);
    drain(*slot, static_cast<uint32_t>(slot - slots_) + 1);
    slot->busy.store(0, std::memory_order_release);
    return true;
  }

 private:
  Slot* claim_slot() {
    for (Slot& slot : slots_) {
      uint32_t expected = 0;
      if (slot.busy.load(std::memory_order_relaxed) == 0 &&
          slot.busy.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
        return &slot;
      }
    }
    return nullptr;
  }

  static void leave(Slot& slot, WorkerMark& mark) {
    mark.inside.store(0);
    if (slot.owner_sleeping.load() != 0) futex_wake(&mark.inside, INT_MAX);
  }

  // Waits until no worker is inside the slot's (already unpublished) job.
  void drain(Slot& slot, uint32_t id) {
    const unsigned workers = participants_ - 1;
    auto deadline = std::chrono::steady_clock::now() + kSpinBeforeSleep;
    bool sleeping = false;
    for (unsigned w = 0; w < workers; ++w) {
      std::atomic<uint32_t>& inside = marks_[w].inside;
      for (unsigned iter = 1; inside.load() == id; ++iter) {
        if (sleeping) {
          futex_wait(&inside, id);
          continue;
        }
        cpu_relax();
        if (iter % kSpinChecksPerClockRead == 0 && std::chrono::steady_clock::now() > deadline) {
          slot.owner_sleeping.store(1);
          sleeping = true;
        }
      }
    }
    if (sleeping) slot.owner_sleeping.store(0);
  }

  // One pass over the slots; true when some work was done.
  bool help_once(WorkerMark& mark) {
    bool worked = false;
    for (Slot& slot : slots_) {
      if (slot.job.load(std::memory_order_relaxed) == nullptr) continue;
      mark.inside.store(static_cast<uint32_t>(&slot - slots_) + 1);
      Job* job = slot.job.load();
      if (job != nullptr && job->team) {
        if (mark.team_seq != job->seq &&
            (job->every_worker ||
             job->helper_tickets.fetch_sub(1, std::memory_order_relaxed) > 0)) {
          mark.team_seq = job->seq;
          take_part(*job, static_cast<size_t>(&mark - marks_) + 1);
          worked = true;
        }
      } else if (job != nullptr && job->next.load(std::memory_order_relaxed) < job->n &&
                 (job->every_worker ||
                  job->helper_tickets.fetch_sub(1, std::memory_order_relaxed) > 0)) {
        work_on(*job);
        worked = true;
      }
      leave(slot, mark);
    }
    return worked;
  }

  void worker_main(WorkerMark* mark) {
    t_in_region = true;  // nested calls from bodies run inline
    for (;;) {
      uint32_t seen = epoch_.load();
      if (help_once(*mark)) continue;
      bool posted = false;
      const auto start = std::chrono::steady_clock::now();
      const auto deadline = start + kSpinBeforeSleep;
      const auto yield_from = start + kSpinBeforeYield;
      for (unsigned iter = 1;; ++iter) {
        if (epoch_.load(std::memory_order_relaxed) != seen) {
          posted = true;
          break;
        }
        cpu_relax();
        if (iter % kSpinChecksPerClockRead == 0) {
          const auto now = std::chrono::steady_clock::now();
          if (now > deadline) break;
          if (now > yield_from) sched_yield();
        }
      }
      if (posted) continue;
      sleepers_.fetch_add(1);
      futex_wait(&epoch_, seen);
      sleepers_.fetch_sub(1);
    }
  }

  unsigned participants_ = 1;
  Slot slots_[kJobSlots];
  WorkerMark marks_[kMaxParallelThreads];
  alignas(kCacheLineBytes) std::atomic<uint32_t> epoch_{0};
  alignas(kCacheLineBytes) std::atomic<uint32_t> sleepers_{0};
};

Pool& pool() {
  // Created on first use and never destroyed: detached workers may still be asleep in it
  // when the process exits.
  static Pool* instance = [] {
    g_pool_created.store(true);
    unsigned forced = g_size_for_testing.load();
    return new Pool(forced != 0 ? forced : affinity_cpu_count());
  }();
  return *instance;
}

unsigned effective_cap(unsigned max_threads) {
  unsigned cap = max_threads != 0 ? max_threads : t_thread_cap;
  if (cap == 0 || cap > kMaxParallelThreads) cap = kMaxParallelThreads;
  return cap;
}

void run_inline(size_t n, void* ctx, ParallelFn fn) {
  RegionGuard region;
  for (size_t i = 0; i < n; ++i) fn(ctx, i);
}

}  // namespace

void parallel_apply(size_t n, void* ctx, ParallelFn fn) { parallel_apply(n, ctx, fn, 0); }

void parallel_apply(size_t n, void* ctx, ParallelFn fn, unsigned max_threads) {
  if (n == 0) return;
  unsigned cap = effective_cap(max_threads);
  if (t_in_region || n == 1 || cap <= 1) {
    run_inline(n, ctx, fn);
    return;
  }
  // The shared index counter may run past n by one chunk per thread; keep that far from
  // wrapping (no real caller comes near).
  if (n > std::numeric_limits<size_t>::max() / 2) {
    run_inline(n, ctx, fn);
    return;
  }
  Pool& p = pool();
  size_t threads = std::min<size_t>({cap, p.size(), n});
  if (threads <= 1) {
    run_inline(n, ctx, fn);
    return;
  }
  Job job;
  job.fn = fn;
  job.ctx = ctx;
  job.n = n;
  job.grain = std::max<size_t>(1, n / (threads * kChunksPerThread));
  if (!p.run(job, static_cast<unsigned>(threads - 1))) {
    run_inline(n, ctx, fn);
    return;
  }
  if (job.failed.load()) std::rethrow_exception(job.error);
}

void parallel_team(unsigned members, void* ctx, ParallelFn fn) {
  static std::atomic<uint64_t> team_jobs{0};
  const unsigned cap = effective_cap(0);
  if (t_in_region || members <= 1 || cap <= 1) {
    RegionGuard region;
    fn(ctx, 0);
    return;
  }
  Pool& p = pool();
  const unsigned threads = std::min({members, cap, p.size()});
  if (threads <= 1) {
    RegionGuard region;
    fn(ctx, 0);
    return;
  }
  Job job;
  job.fn = fn;
  job.ctx = ctx;
  job.team = true;
  job.seq = team_jobs.fetch_add(1, std::memory_order_relaxed) + 1;
  if (!p.run(job, threads - 1)) {
    RegionGuard region;
    fn(ctx, 0);
    return;
  }
  if (job.failed.load()) std::rethrow_exception(job.error);
}

ThreadCapScope::ThreadCapScope(unsigned max_threads) : saved_(t_thread_cap) {
  t_thread_cap = max_threads;
}

ThreadCapScope::~ThreadCapScope() { t_thread_cap = saved_; }

unsigned thread_pool_size() { return pool().size(); }

unsigned parallel_thread_budget() {
  if (t_in_region) return 1;
  return std::min(effective_cap(0), pool().size());
}

bool in_parallel_region() { return t_in_region; }

bool thread_pool_set_size_for_testing(unsigned participants) {
  if (g_pool_created.load() || participants == 0) return false;
  g_size_for_testing.store(participants);
  return !g_pool_created.load();
}

}  // namespace vexa
