// One process-wide worker pool for parallel CPU work.
//
// parallel_apply(n, ctx, fn) runs fn(ctx, i) for every i in [0, n) and returns when all
// have finished. The calling thread takes indices too. Which thread runs an index is left
// to timing, so a caller that wants byte-identical results on any core count makes each
// index compute a fixed, disjoint slice of work chosen from n alone (never from the
// thread count).
//
// The pool is created on the first call that needs it, sized from the process's CPU
// affinity mask (one participant per allowed CPU: the caller plus workers). Each worker is
// pinned to one CPU of the mask other than the one the creating thread ran on. It is never
// torn down; its workers spin briefly after a job, then sleep on a futex.
//
// Thread cap: every call uses at most `max_threads` participating threads (caller
// included). The cap comes from, in this order: an explicit max_threads argument, else
// the innermost ThreadCapScope active on the calling thread, else the whole pool. A CPU
// engine wraps each run in a ThreadCapScope holding its configured thread count so every
// kernel and GEMM below it honours the count without creating another pool.
//
// Nesting: a call made from inside fn (on a worker or on the caller while it is taking
// part in a job) runs its indices inline on that thread, in order.
//
// Exceptions: fn may throw. The first exception stops the handing out of further indices
// and is rethrown on the calling thread once every started index has returned; it never
// escapes a worker.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace vexa {

using ParallelFn = void (*)(void* ctx, size_t index);

// Largest thread count a caller may ask for; larger requests are clamped.
inline constexpr unsigned kMaxParallelThreads = 64;

// Runs fn(ctx, i) for i in [0, n) with the thread cap of the calling thread.
void parallel_apply(size_t n, void* ctx, ParallelFn fn);

// Same with an explicit cap on participating threads (caller included); 0 means no
// explicit cap (the scoped one applies).
void parallel_apply(size_t n, void* ctx, ParallelFn fn, unsigned max_threads);

// Convenience wrapper for lambdas: parallel_for(n, [&](size_t i) { ... }).
template <typename Body>
void parallel_for(size_t n, Body&& body, unsigned max_threads = 0) {
  using B = std::remove_reference_t<Body>;
  auto trampoline = [](void* ctx, size_t i) { (*static_cast<B*>(ctx))(i); };
  parallel_apply(n, const_cast<void*>(static_cast<const void*>(std::addressof(body))), trampoline,
                 max_threads);
}

// Runs fn(ctx, 0) on the calling thread and fn(ctx, p) once on each worker that joins while it
// runs, p being that worker's number in the pool (1 up to the pool size); at most `members`
// threads take part, under the thread cap of the calling thread. A worker busy elsewhere may not
// join at all, so fn must share its work out itself (kernel_parallel_for: each member starts on
// its own run of tasks and takes from the others' when done). Joining takes no index from a
// shared counter, which every worker would otherwise pull from the others' caches in turn as a
// job starts. Exceptions and nesting as for parallel_apply.
void parallel_team(unsigned members, void* ctx, ParallelFn fn);

// The same for lambdas: parallel_team(n, [&](size_t member) { ... }).
template <typename Body>
void parallel_team(unsigned members, Body&& body) {
  using B = std::remove_reference_t<Body>;
  auto trampoline = [](void* ctx, size_t member) { (*static_cast<B*>(ctx))(member); };
  parallel_team(members, const_cast<void*>(static_cast<const void*>(std::addressof(body))),
                trampoline);
}

// Caps the threads used by parallel_apply calls made on this thread while the scope
// lives (1 = run everything on the calling thread). Scopes nest; the innermost wins.
// 0 lifts the cap for the scope.
class ThreadCapScope {
 public:
  explicit ThreadCapScope(unsigned max_threads);
  ~ThreadCapScope();
  ThreadCapScope(const ThreadCapScope&) = delete;
  ThreadCapScope& operator=(const ThreadCapScope&) = delete;

 private:
  unsigned saved_;
};

// Participating threads the pool offers (workers + the caller); creates the pool.
unsigned thread_pool_size();

// Threads a parallel_apply call made here and now may use: the pool size limited by the
// cap of the calling thread; 1 inside a parallel_apply body.
unsigned parallel_thread_budget();

// True on a thread that is currently running a parallel_apply body (nested calls run inline).
bool in_parallel_region();

// Test hook: sets the pool size (participants, >= 1) before the pool is created, so tests
// can run many workers on few cores. Returns false once the pool exists.
bool thread_pool_set_size_for_testing(unsigned participants);

}  // namespace vexa
