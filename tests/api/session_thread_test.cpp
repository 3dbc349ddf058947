// Sessions across threads on a CPU model long enough to be caught mid-run: a second request is
// refused at once, and a cancel from another thread ends the run with code 10.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "api/api_test_util.h"
#include "api/session_test_util.h"
#include "core/atomics.h"

using namespace vexa_test;

namespace {

constexpr uint64_t kElements = uint64_t{1} << 18;
constexpr int kChainNodes = 96;

// y = x + 1 + 1 + ... over a long chain of nodes, so a run spans many cancel checks.
std::string long_model(const TempDir& dir) {
  ModelBuilder m;
  uint64_t v = m.input({1, kElements}, "x");
  const uint64_t one = m.weight({1}, {1.0f});
  for (int i = 0; i < kChainNodes; ++i) {
    const uint64_t out = i + 1 == kChainNodes ? m.output({1, kElements}, "y") : m.inter({1, kElements});
    m.node(vexa::OpKind::kAdd, {v, one}, {out});
    v = out;
  }
  return m.write(dir);
}

// Runs on a worker thread; waits until the run holds the session (or already finished).
class BackgroundRun {
 public:
  BackgroundRun(vexa_session* s, const vexa_input* in, vexa_output* out)
      : thread_([=, this] {
          result_ = vexa_session_run(s, in, out);
          done_.store(true);
        }) {
    while (vexa::atomic_load_u32(&rec(s)->busy, vexa::kOrderAcquire) == 0 && !done_.load()) {
      std::this_thread::yield();
    }
  }
  int32_t join() {
    thread_.join();
    return result_;
  }

 private:
  std::atomic<bool> done_{false};
  int32_t result_ = -1;
  std::thread thread_;
};

}  // namespace

TEST(SessionThreads, ConcurrentRunIsRefusedAndCancelEndsTheRun) {
  TempDir dir;
  SessionPtr s = new_session();
  ASSERT_EQ(open_path(s.get(), long_model(dir)), 1) << session_message(s.get());
  std::vector<float> x(kElements, 0.5f);
  InputPtr in = new_input();
  ASSERT_EQ(vexa_input_set_f32(in.get(), 0, x.data(), x.size(), 0), 1);

  // An undisturbed run gives the whole chain.
  {
    OutputPtr out = new_output();
    ASSERT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 1) << session_message(s.get());
    EXPECT_EQ(vexa_output_f32_ptr(out.get(), 0)[kElements - 1], 0.5f + kChainNodes);
  }

  bool saw_busy = false;
  bool saw_cancel = false;
  for (int attempt = 0; attempt < 20 && !(saw_busy && saw_cancel); ++attempt) {
    OutputPtr out = new_output();
    BackgroundRun run(s.get(), in.get(), out.get());
    OutputPtr other = new_output();
    const int32_t second = vexa_session_run(s.get(), in.get(), other.get());
    if (second == 0) saw_busy = true;
    // The run clears the flag when it starts; give it that moment before cancelling.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    vexa_session_cancel(s.get());
    if (run.join() == 0) {
      EXPECT_EQ(vexa_session_error_code(s.get()), 10u);
      EXPECT_EQ(session_message(s.get()), "Inference was cancelled");
      EXPECT_EQ(vexa_output_tensor_count(out.get()), 0u);
      saw_cancel = true;
    }
    EXPECT_EQ(vexa_session_reset(s.get()), 1);
  }
  EXPECT_TRUE(saw_busy);
  EXPECT_TRUE(saw_cancel);

  // Unload from another thread while a run holds the session is refused; the run completes.
  OutputPtr out = new_output();
  BackgroundRun run(s.get(), in.get(), out.get());
  const int32_t unloaded = vexa_session_unload(s.get());
  const int32_t result = run.join();
  if (unloaded == 0) {
    EXPECT_EQ(result, 1);
    EXPECT_EQ(vexa_output_f32_ptr(out.get(), 0)[0], 0.5f + kChainNodes);
  }
}
