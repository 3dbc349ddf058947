// The graph program as a whole: every kernel by its name in both instantiations, the same
// bytes at 1, 2 and 8 threads and on every vector level the CPU has, and random parameter
// blocks and bindings that must end in a result or a reported failure, never outside a buffer
// (run under the sanitizers).
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "gpu/kernel_test_util.h"
#include "gpu/kernels/bandwidth_kernels.h"
#include "platform/thread_pool.h"

namespace {

using namespace kernel_test;

// Restores the widest vector level when a test ends.
struct LevelGuard {
  ~LevelGuard() { vexa::bandwidth_kernels_force(vexa::IsaLevel::kAvx512); }
};

}  // namespace

TEST(GraphKernels, LibraryHoldsEveryKernelTwice) {
  auto device = vexa::device_system_default();
  std::string error;
  std::set<vexa::KernelFn> seen;
  for (int64_t vexa_float : {0, 1}) {
    auto library = device->new_library(vexa::graph_kernel_source(), {{{"VEXA_FLOAT", vexa_float}}}, &error);
    ASSERT_NE(library, nullptr);
    for (const char* name : vexa::kGraphKernelNames) {
      auto fn = library->new_function(name, &error);
      ASSERT_NE(fn, nullptr) << name;
      ASSERT_NE(device->new_compute_pipeline(fn, &error), nullptr) << name;
      seen.insert(fn->fn());
    }
    EXPECT_EQ(library->new_function("touch_all", &error), nullptr);
    EXPECT_EQ(library->new_function("matvec ", &error), nullptr);
  }
  EXPECT_EQ(seen.size(), 2 * vexa::kGraphKernelCount);  // no name shares an instantiation
  // Without a parameter block every kernel refuses to run.
  Buf b = zeros(4096);
  for (const char* name : vexa::kGraphKernelNames) {
    auto lib = device->new_library(vexa::graph_kernel_source(), {}, &error);
    auto pipeline = device->new_compute_pipeline(lib->new_function(name, &error), &error);
    auto cb = device->new_command_queue()->command_buffer();
    auto enc = cb->compute_encoder();
    enc->set_pipeline(pipeline);
    for (uint32_t i : {0u, 1u, 2u, 4u, 5u}) enc->set_buffer(b.buffer, 0, i);
    enc->dispatch_threadgroups({1, 1, 1}, {128, 1, 1});
    enc->end_encoding();
    cb->commit();
    EXPECT_EQ(cb->status(), vexa::CommandBufferStatus::kError) << name;
    EXPECT_NE(cb->error_message().find("parameter block"), std::string::npos) << cb->error_message();
  }
}

namespace {

struct Job {
  const char* name;
  std::vector<Buf> bufs;  // bound at 0, 1, 2, 4, 5
  KernelParams p;
  Dispatch dispatch;
  uint32_t out;  // index into bufs of the output
};

std::vector<Job> sample_jobs(bool fp32) {
  std::mt19937 rng(77);
  std::vector<Job> jobs;
  const uint32_t n = 300, k = 1000;
  const Q8Matrix q = random_q8(rng, n, k);
  const std::vector<float> x = uniform(rng, k, -1, 1, fp32);
  const Buf w = make_buffer(to_halves(uniform(rng, n * k, -1, 1, false)));
  const Buf out = act_buffer(std::vector<float>(128 * 1024, 0.0f), fp32);
  jobs.push_back({"matvec", {act_buffer(x, fp32), w, out, w, w}, params({{0, n}, {1, k}}), threads(n * 32), 2});
  jobs.push_back({"matvec_q8", {act_buffer(x, fp32), make_buffer(q.bytes), out, w, w},
                  params({{0, n}, {1, k}, {3, static_cast<uint32_t>(q.row_bytes)}}), threads(n * 32), 2});
  const std::vector<int64_t> ids = {3, 299, 0, 17, 17, 250};
  jobs.push_back({"embedding_q8", {make_buffer(ids), make_buffer(q.bytes), out, w, w},
                  params({{0, 6 * k}, {1, k}, {2, static_cast<uint32_t>(q.row_bytes)}}), threads(6 * k), 2});
  // A product large enough for the GEMM wrapper to split.
  const uint32_t m = 150, nn = 190, kk = 200;
  jobs.push_back({"matmul_rows64", {act_buffer(uniform(rng, m * kk, -1, 1, fp32), fp32), w, out, w, w},
                  params({{0, m}, {1, nn}, {2, kk}, {3, 1}}), groups((nn + 31) / 32, (m + 63) / 64, 1, 256), 2});
  // Attention over 300 cached keys, 64-wide heads.
  const uint32_t hq = 4, hkv = 2, keys = 300, stride = 320;
  const Buf cache = act_buffer(uniform(rng, 2 * hkv * stride * 64, -1, 1, fp32), fp32);
  const Buf cache_v = act_buffer(uniform(rng, 2 * hkv * stride * 64, -1, 1, fp32), fp32);
  const Buf qb = act_buffer(uniform(rng, 2 * 40 * hq * 64, -1, 1, fp32), fp32);
  const KernelParams ap = params({{0, hq}, {1, hkv}, {2, 64}, {3, 1}, {4, keys}, {7, stride}, {14, 1}});
  jobs.push_back({"attention_decode64", {qb, cache, out, cache_v, cache_v}, ap, groups(2 * hq), 2});
  KernelParams sp = ap;
  sp.u[3] = 40;
  jobs.push_back({"attention_scores", {qb, cache, out, cache_v, cache_v}, sp,
                  groups((keys + 31) / 32, 2, 2 * hq), 2});
  jobs.push_back({"attention", {qb, cache, out, cache_v, cache_v}, sp, groups(2 * 40 * hq), 2});
  jobs.push_back({"norm", {act_buffer(uniform(rng, 30 * 576, -2, 2, fp32), fp32), w, out, w, w},
                  params({{0, 576}, {1, 1}}, {{0, 1e-6f}}), groups(30), 2});
  return jobs;
}

std::vector<uint8_t> run_job(const Job& j, bool fp32) {
  const Buf& b0 = j.bufs[0];
  const Buf& b1 = j.bufs[1];
  const Buf& b2 = j.bufs[2];
  const Buf& b4 = j.bufs[3];
  const Buf& b5 = j.bufs[4];
  std::memset(b2.buffer->device_bytes(), 0, b2.buffer->length());
  const RunResult r = run_kernel(j.name, fp32, {{0, &b0}, {1, &b1}, {2, &b2}, {4, &b4}, {5, &b5}}, j.p, j.dispatch);
  EXPECT_TRUE(r.ok) << j.name << ": " << r.error;
  return b2.read<uint8_t>(b2.buffer->length());
}

}  // namespace

TEST(GraphKernels, SameBytesOnAnyThreadCountAndVectorLevel) {
  LevelGuard guard;
  for (bool fp32 : {false, true}) {
    const std::vector<Job> jobs = sample_jobs(fp32);
    for (const Job& job : jobs) {
      SCOPED_TRACE(testing::Message() << job.name << " fp32 " << fp32);
      vexa::bandwidth_kernels_force(vexa::IsaLevel::kPortable);
      std::vector<uint8_t> first;
      {
        vexa::ThreadCapScope cap(1);
        first = run_job(job, fp32);
      }
      for (vexa::IsaLevel level : {vexa::IsaLevel::kPortable, vexa::IsaLevel::kAvx2, vexa::IsaLevel::kAvx512}) {
        if (vexa::bandwidth_kernels_at(level) == nullptr) continue;
        vexa::bandwidth_kernels_force(level);
        for (unsigned t : {1u, 2u, 8u}) {
          vexa::ThreadCapScope cap(t);
          ASSERT_EQ(run_job(job, fp32), first) << "level " << static_cast<int>(level) << " threads " << t;
        }
      }
    }
  }
}

// Random parameter words and bindings of random sizes: each run completes or fails with a
// message; the sanitizer builds check that nothing is touched outside the buffers.
TEST(GraphKernels, RandomParametersStayInsideTheBuffers) {
  std::mt19937 rng(1234);
  auto small = [&](uint32_t limit) { return static_cast<uint32_t>(rng() % limit); };
  int failures = 0, successes = 0;
  for (const char* name : vexa::kGraphKernelNames) {
    for (int round = 0; round < 60; ++round) {
      const bool fp32 = (rng() & 1) != 0;
      KernelParams p{};
      for (uint32_t& u : p.u) u = (rng() % 4 == 0) ? 0 : small(round < 40 ? 9 : 140);
      p.u[14] = rng() & 1;
      p.f[0] = 1e-3f + static_cast<float>(small(100));
      std::vector<Buf> bufs;
      for (int i = 0; i < 5; ++i) {
        std::vector<uint8_t> bytes(small(4096));
        for (auto& byte : bytes) byte = static_cast<uint8_t>(rng() % 16);  // small ids and values
        bufs.push_back(make_buffer(bytes));
      }
      const Dispatch dispatch = (rng() & 1) ? threads(small(3000))
                                            : groups(1 + small(5), 1 + small(3), 1 + small(3));
      const RunResult r = run_kernel(name, fp32, {{0, &bufs[0]}, {1, &bufs[1]}, {2, &bufs[2]},
                                                  {4, &bufs[3]}, {5, &bufs[4]}},
                                     p, dispatch);
      if (r.ok) {
        ++successes;
      } else {
        ++failures;
        EXPECT_FALSE(r.error.empty());
      }
    }
  }
  EXPECT_GT(successes, 0);
  EXPECT_GT(failures, 0);
}

// Kernel scratch: a thread keeps one panel per slot between calls; a slot already borrowed on
// the thread, an unknown slot, or a request past the kept size gets memory of its own.
TEST(GraphKernels, ScratchPanelsAreKeptAndNeverShared) {
  float* kept = nullptr;
  {
    vexa::ScratchFloats a(1, 1000);
    kept = a.data();
    a.data()[999] = 1.0f;
    vexa::ScratchFloats nested(1, 10);  // same slot while borrowed: its own memory
    EXPECT_NE(nested.data(), kept);
    nested.data()[9] = 2.0f;
    EXPECT_EQ(a.data()[999], 1.0f);
  }
  {
    vexa::ScratchFloats again(1, 500);  // the kept panel, large enough already
    EXPECT_EQ(again.data(), kept);
  }
  vexa::ScratchFloats stranger(vexa::kScratchSlots, 4);
  stranger.data()[3] = 3.0f;
  const uint64_t huge = vexa::kKeptScratchBytes / sizeof(float) + 1;
  vexa::ScratchFloats big(2, huge);
  big.data()[0] = 4.0f;
  big.data()[huge - 1] = 5.0f;
  vexa::ScratchFloats empty(3, 0);
  EXPECT_NE(empty.data(), nullptr);
}
