// The software device: buffers and the allocated-size count, library compilation and its
// instantiation choice, command buffer states, times and order of execution, dispatch
// geometry and bindings, and every way a command buffer fails without touching memory it
// does not own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/software_device.h"
#include "platform/thread_pool.h"

namespace {

using vexa::CommandBufferStatus;
using vexa::KernelDispatch;
using vexa::Size3;
using vexa::StorageMode;

// What the test kernels saw, for the assertions.
struct Seen {
  Size3 grid, groups, per_group;
  bool by_groups = false;
  std::vector<std::pair<uint64_t, uint64_t>> lengths;  // (index, bound length)
  int calls = 0;
};
Seen g_seen;
std::vector<std::string>* g_order = nullptr;

// Adds the inline u32 at index 3 to every u32 of buffer 0 (element count = grid.x); "half"
// and "float" instantiations add 1 and 2 more so the tests can tell them apart.
template <uint32_t kExtra>
void add_kernel(KernelDispatch& d) {
  const vexa::KernelBinding data = d.binding(0);
  const vexa::KernelBinding add = d.binding(3);
  if (add.length < 4) return d.fail("missing parameter");
  if (data.length / 4 < d.grid_threads.x) return d.fail("buffer too short");
  uint32_t v;
  std::memcpy(&v, add.data, 4);
  auto* p = reinterpret_cast<uint32_t*>(data.data);
  vexa::kernel_parallel_for(d.grid_threads.x, 1000, [&](uint64_t b, uint64_t e) {
    for (uint64_t i = b; i < e; ++i) p[i] += v + kExtra;
  });
  if (g_order) g_order->push_back("add");
}

void record_kernel(KernelDispatch& d) {
  g_seen.grid = d.grid_threads;
  g_seen.groups = d.threadgroups;
  g_seen.per_group = d.threads_per_group;
  g_seen.by_groups = d.by_threadgroups;
  g_seen.lengths.clear();
  for (uint32_t i = 0; i < vexa::kDeviceBindingSlots; ++i) {
    if (d.binding(i).data != nullptr) g_seen.lengths.emplace_back(i, d.binding(i).length);
  }
  ++g_seen.calls;
}

// Records the first word of the inline bytes at index 3 (or ~0 when nothing is bound there).
std::vector<uint32_t> g_words;
void word_kernel(KernelDispatch& d) {
  const vexa::KernelBinding b = d.binding(3);
  uint32_t v = ~0u;
  if (b.data != nullptr && b.length >= 4) std::memcpy(&v, b.data, 4);
  g_words.push_back(v);
  record_kernel(d);
}

void failing_kernel(KernelDispatch& d) {
  vexa::kernel_parallel_for(64, 1, [&](uint64_t b, uint64_t) {
    if (b % 7 == 3) d.fail("index 3 out of range");
  });
}

void throwing_kernel(KernelDispatch&) { throw std::bad_alloc(); }
void runtime_error_kernel(KernelDispatch&) { throw std::runtime_error("kernel threw"); }

const vexa::KernelEntry kEntries[] = {
    {"add", add_kernel<1>, add_kernel<2>},
    {"record", record_kernel, record_kernel},
    {"word", word_kernel, word_kernel},
    {"fails", failing_kernel, failing_kernel},
    {"throws", throwing_kernel, throwing_kernel},
    {"throws_runtime", runtime_error_kernel, runtime_error_kernel},
};
const vexa::KernelSource kSource{"device_test", kEntries, std::size(kEntries)};

struct Rig {
  std::shared_ptr<vexa::Device> device = vexa::device_system_default();
  std::shared_ptr<vexa::CommandQueue> queue = device->new_command_queue();

  std::shared_ptr<vexa::ComputePipeline> pipeline(const char* name, int64_t vexa_float = 0) {
    std::string error;
    auto lib = device->new_library(kSource, {{{"VEXA_FLOAT", vexa_float}}}, &error);
    EXPECT_NE(lib, nullptr) << error;
    return device->new_compute_pipeline(lib->new_function(name, &error), &error);
  }
  std::shared_ptr<vexa::DeviceBuffer> words(uint64_t n) {
    return device->new_buffer(n * 4, StorageMode::kShared);
  }
};

void dispatch_add(vexa::ComputeEncoder& enc, const std::shared_ptr<vexa::ComputePipeline>& p,
                  const std::shared_ptr<vexa::DeviceBuffer>& b, uint64_t n, uint32_t v) {
  enc.set_pipeline(p);
  enc.set_buffer(b, 0, 0);
  enc.set_bytes(&v, 4, 3);
  enc.dispatch_threads({n, 1, 1}, {128, 1, 1});
}

const uint32_t* words_of(const std::shared_ptr<vexa::DeviceBuffer>& b) {
  return static_cast<const uint32_t*>(b->contents());
}

}  // namespace

TEST(SoftwareDevice, DeviceAndBuffers) {
  Rig r;
  EXPECT_NE(r.device->name().find("software device"), std::string_view::npos);
  EXPECT_EQ(r.device, vexa::device_system_default());
  const uint64_t physical =
      static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  EXPECT_EQ(r.device->recommended_max_working_set_size(), physical / 4 * 3);

  const uint64_t before = r.device->current_allocated_size();
  {
    auto small = r.device->new_buffer(100, StorageMode::kShared);
    auto page = r.device->new_buffer(16384 * 3, StorageMode::kShared);
    auto big = r.device->new_buffer((uint64_t{3} << 20) + 5, StorageMode::kShared);
    auto priv = r.device->new_buffer(5000, StorageMode::kPrivate);
    ASSERT_TRUE(small && page && big && priv);
    EXPECT_EQ(r.device->current_allocated_size() - before,
              100 + 16384 * 3 + (uint64_t{3} << 20) + 5 + 5000);
    EXPECT_EQ(big->length(), (uint64_t{3} << 20) + 5);
    EXPECT_EQ(priv->contents(), nullptr);
    EXPECT_NE(priv->device_bytes(), nullptr);
    EXPECT_EQ(priv->storage_mode(), StorageMode::kPrivate);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(small->contents()) % 256, 0u);
    for (const auto& b : {page, big}) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(b->contents()) % 16384, 0u);
      const auto* bytes = static_cast<const uint8_t*>(b->contents());
      for (uint64_t i = 0; i < b->length(); i += 4093) ASSERT_EQ(bytes[i], 0) << i;
      EXPECT_EQ(bytes[b->length() - 1], 0);
      std::memset(b->contents(), 0xab, b->length());  // every byte is writable
    }
    EXPECT_EQ(small->device(), r.device);
  }
  EXPECT_EQ(r.device->current_allocated_size(), before);
  EXPECT_EQ(r.device->new_buffer(0, StorageMode::kShared), nullptr);
  EXPECT_EQ(r.device->new_buffer(r.device->max_buffer_length() + 1, StorageMode::kShared), nullptr);
  EXPECT_EQ(r.device->new_buffer(64, static_cast<StorageMode>(1)), nullptr);
  EXPECT_EQ(r.device->current_allocated_size(), before);
}

TEST(SoftwareDevice, LibraryInstantiationAndUnknownNames) {
  Rig r;
  std::string error;
  // VEXA_FLOAT 0 or absent picks the half instantiation, any other value the float one.
  const std::pair<std::vector<std::pair<std::string, int64_t>>, uint32_t> cases[] = {
      {{}, 2}, {{{"VEXA_FLOAT", 0}}, 2}, {{{"VEXA_FLOAT", 1}}, 3}, {{{"VEXA_FLOAT", -4}}, 3},
      {{{"OTHER", 1}}, 2}};
  for (const auto& [macros, expected] : cases) {
    auto lib = r.device->new_library(kSource, {macros}, &error);
    ASSERT_NE(lib, nullptr);
    auto pipeline = r.device->new_compute_pipeline(lib->new_function("add", &error), &error);
    ASSERT_NE(pipeline, nullptr) << error;
    EXPECT_EQ(pipeline->name(), "add");
    EXPECT_EQ(pipeline->thread_execution_width(), 32u);
    auto buf = r.words(1);
    auto cb = r.queue->command_buffer();
    auto enc = cb->compute_encoder();
    dispatch_add(*enc, pipeline, buf, 1, 1);
    enc->end_encoding();
    cb->commit();
    ASSERT_EQ(cb->status(), CommandBufferStatus::kCompleted) << cb->error_message();
    EXPECT_EQ(words_of(buf)[0], expected);
  }
  auto lib = r.device->new_library(kSource, {}, &error);
  error.clear();
  EXPECT_EQ(lib->new_function("matvec", &error), nullptr);
  EXPECT_NE(error.find("matvec"), std::string::npos);
  EXPECT_EQ(lib->new_function("", nullptr), nullptr);
  error.clear();
  EXPECT_EQ(r.device->new_compute_pipeline(nullptr, &error), nullptr);
  EXPECT_FALSE(error.empty());
  const vexa::KernelSource empty{"empty", nullptr, 0};
  error.clear();
  EXPECT_EQ(r.device->new_library(empty, {}, &error), nullptr);
  EXPECT_FALSE(error.empty());
}

TEST(SoftwareDevice, StatusesTimesAndOrder) {
  Rig r;
  auto add = r.pipeline("add");
  auto a = r.words(3000);
  auto b = r.words(3000);
  std::vector<std::string> order;
  g_order = &order;
  auto cb = r.queue->command_buffer();
  EXPECT_EQ(cb->status(), CommandBufferStatus::kNotEnqueued);
  EXPECT_EQ(cb->gpu_start_time(), 0.0);
  cb->enqueue();
  EXPECT_EQ(cb->status(), CommandBufferStatus::kEnqueued);
  ASSERT_TRUE(cb->encode_host_work([&](std::string*) {
    order.push_back("host");
    return true;
  }));
  {
    auto enc = cb->compute_encoder();
    ASSERT_NE(enc, nullptr);
    // A second encoder, or host work, while one is open: refused.
    EXPECT_EQ(cb->compute_encoder(), nullptr);
    EXPECT_EQ(cb->blit_encoder(), nullptr);
    EXPECT_FALSE(cb->encode_host_work([](std::string*) { return true; }));
    dispatch_add(*enc, add, a, 3000, 5);
    dispatch_add(*enc, add, a, 2000, 10);  // runs after the first, on the first's result
    enc->end_encoding();
  }
  {
    auto blit = cb->blit_encoder();
    ASSERT_NE(blit, nullptr);
    blit->fill(b, 0, 3000 * 4, 0x01);
    blit->copy(a, 4 * 10, b, 4 * 20, 4 * 5);
    blit->end_encoding();
  }
  ASSERT_TRUE(cb->encode_host_work([&](std::string*) {
    order.push_back("host2");
    return true;
  }));
  cb->commit();
  EXPECT_EQ(cb->status(), CommandBufferStatus::kCompleted) << cb->error_message();
  EXPECT_TRUE(cb->error_message().empty());
  EXPECT_GT(cb->gpu_start_time(), 0.0);
  EXPECT_GE(cb->gpu_end_time(), cb->gpu_start_time());
  EXPECT_EQ(order, (std::vector<std::string>{"host", "add", "add", "host2"}));
  g_order = nullptr;
  EXPECT_EQ(words_of(a)[0], 5u + 1 + 10 + 1);
  EXPECT_EQ(words_of(a)[2999], 5u + 1);
  EXPECT_EQ(words_of(b)[19], 0x01010101u);
  EXPECT_EQ(words_of(b)[20], 17u);
  EXPECT_EQ(words_of(b)[25], 0x01010101u);
  // Committed buffers take no more work and a second commit changes nothing.
  EXPECT_EQ(cb->compute_encoder(), nullptr);
  EXPECT_FALSE(cb->encode_host_work([](std::string*) { return true; }));
  const double end = cb->gpu_end_time();
  cb->commit();
  EXPECT_EQ(cb->gpu_end_time(), end);
  EXPECT_EQ(cb->status(), CommandBufferStatus::kCompleted);
  cb->wait_until_completed();
}

TEST(SoftwareDevice, CommandBufferKeepsItsBuffersAlive) {
  Rig r;
  auto add = r.pipeline("add");
  const uint64_t before = r.device->current_allocated_size();
  auto cb = r.queue->command_buffer();
  std::shared_ptr<vexa::DeviceBuffer> kept = r.words(10);
  const uint32_t* view = words_of(kept);
  {
    auto temp = r.words(10);
    auto enc = cb->compute_encoder();
    dispatch_add(*enc, add, temp, 10, 1);
    dispatch_add(*enc, add, kept, 10, 1);
    enc->end_encoding();
  }
  // The temporary's only owner now is the command buffer.
  EXPECT_EQ(r.device->current_allocated_size() - before, 80u);
  cb->commit();
  EXPECT_EQ(cb->status(), CommandBufferStatus::kCompleted);
  EXPECT_EQ(r.device->current_allocated_size() - before, 40u);
  EXPECT_EQ(view[9], 2u);
}

TEST(SoftwareDevice, DispatchGeometryAndBindings) {
  Rig r;
  auto rec = r.pipeline("record");
  auto buf = r.device->new_buffer(1000, StorageMode::kPrivate);
  const uint32_t params[20] = {};
  struct Case {
    bool by_groups;
    Size3 size, per_group;
    Size3 grid, groups;
  };
  const Case cases[] = {
      {false, {100, 3, 2}, {32, 1, 1}, {100, 3, 2}, {4, 3, 2}},
      {false, {128, 1, 1}, {128, 1, 1}, {128, 1, 1}, {1, 1, 1}},
      {true, {5, 7, 3}, {128, 1, 1}, {640, 7, 3}, {5, 7, 3}},
      {true, {2, 2, 1}, {16, 16, 2}, {32, 32, 2}, {2, 2, 1}},
  };
  for (const Case& c : cases) {
    g_seen = Seen{};
    auto cb = r.queue->command_buffer();
    auto enc = cb->compute_encoder();
    enc->set_pipeline(rec);
    enc->set_buffer(buf, 0, 0);
    enc->set_buffer(buf, 1000, 1);  // at the very end: an empty binding, still bound
    enc->set_buffer(buf, 24, 5);
    enc->set_bytes(params, sizeof params, 3);
    if (c.by_groups) {
      enc->dispatch_threadgroups(c.size, c.per_group);
    } else {
      enc->dispatch_threads(c.size, c.per_group);
    }
    enc->end_encoding();
    cb->commit();
    ASSERT_EQ(cb->status(), CommandBufferStatus::kCompleted) << cb->error_message();
    ASSERT_EQ(g_seen.calls, 1);
    EXPECT_EQ(g_seen.by_groups, c.by_groups);
    EXPECT_EQ(g_seen.grid.x, c.grid.x);
    EXPECT_EQ(g_seen.grid.y, c.grid.y);
    EXPECT_EQ(g_seen.grid.z, c.grid.z);
    EXPECT_EQ(g_seen.groups.x, c.groups.x);
    EXPECT_EQ(g_seen.groups.y, c.groups.y);
    EXPECT_EQ(g_seen.groups.z, c.groups.z);
    EXPECT_EQ(g_seen.per_group.x, c.per_group.x);
    // Index 1 is bound at the buffer's end: present, with no bytes.
    const std::vector<std::pair<uint64_t, uint64_t>> lengths = {
        {0, 1000}, {1, 0}, {3, 80}, {5, 976}};
    EXPECT_EQ(g_seen.lengths, lengths);
  }
  // An empty grid runs nothing.
  g_seen = Seen{};
  auto cb = r.queue->command_buffer();
  auto enc = cb->compute_encoder();
  enc->set_pipeline(rec);
  enc->dispatch_threads({0, 1, 1}, {128, 1, 1});
  enc->dispatch_threadgroups({4, 0, 1}, {128, 1, 1});
  enc->end_encoding();
  cb->commit();
  EXPECT_EQ(cb->status(), CommandBufferStatus::kCompleted);
  EXPECT_EQ(g_seen.calls, 0);
}

// Each dispatch sees the bindings as they were when it was encoded, though later dispatches of
// the same encoder rebind, replace a buffer by inline bytes, unbind, or bind empty bytes.
TEST(SoftwareDevice, BindingsAreTakenAtEachDispatch) {
  Rig r;
  auto word = r.pipeline("word");
  auto buf = r.device->new_buffer(64, StorageMode::kShared);
  g_words.clear();
  std::vector<std::vector<std::pair<uint64_t, uint64_t>>> seen;
  auto cb = r.queue->command_buffer();
  auto enc = cb->compute_encoder();
  enc->set_pipeline(word);
  const uint32_t first[2] = {11, 0}, second[1] = {22};
  enc->set_buffer(buf, 0, 0);
  enc->set_buffer(buf, 8, 3);
  enc->set_bytes(first, sizeof first, 3);  // replaces the buffer at 3
  enc->dispatch_threads({1, 1, 1}, {1, 1, 1});
  enc->set_bytes(second, sizeof second, 3);
  enc->set_buffer(nullptr, 0, 0);  // unbinds 0
  enc->set_buffer(buf, 16, 7);
  enc->dispatch_threads({1, 1, 1}, {1, 1, 1});
  enc->set_bytes(nullptr, 0, 3);  // empty bytes bind nothing
  enc->dispatch_threads({1, 1, 1}, {1, 1, 1});
  enc->end_encoding();
  g_seen = Seen{};
  cb->commit();
  ASSERT_EQ(cb->status(), CommandBufferStatus::kCompleted) << cb->error_message();
  EXPECT_EQ(g_words, (std::vector<uint32_t>{11, 22, ~0u}));
  EXPECT_EQ(g_seen.calls, 3);
  const std::vector<std::pair<uint64_t, uint64_t>> last = {{7, 48}};
  EXPECT_EQ(g_seen.lengths, last);
}

TEST(SoftwareDevice, FailuresEndInErrorAndStopTheRest) {
  Rig r;
  auto add = r.pipeline("add");
  auto rec = r.pipeline("record");
  auto buf = r.words(16);
  using Encode = void (*)(Rig&, vexa::CommandBuffer&, const std::shared_ptr<vexa::DeviceBuffer>&);
  struct Case {
    const char* what;
    Encode encode;
    const char* message;  // a part of the error message
  };
  const Case cases[] = {
      {"kernel reports", [](Rig& r, vexa::CommandBuffer& cb, const auto&) {
         auto enc = cb.compute_encoder();
         enc->set_pipeline(r.pipeline("fails"));
         enc->dispatch_threads({1, 1, 1}, {1, 1, 1});
         enc->end_encoding();
       }, "fails: index 3 out of range"},
      {"kernel out of memory", [](Rig& r, vexa::CommandBuffer& cb, const auto&) {
         auto enc = cb.compute_encoder();
         enc->set_pipeline(r.pipeline("throws"));
         enc->dispatch_threads({1, 1, 1}, {1, 1, 1});
         enc->end_encoding();
       }, "out of memory"},
      {"kernel throws", [](Rig& r, vexa::CommandBuffer& cb, const auto&) {
         auto enc = cb.compute_encoder();
         enc->set_pipeline(r.pipeline("throws_runtime"));
         enc->dispatch_threads({1, 1, 1}, {1, 1, 1});
         enc->end_encoding();
       }, "kernel threw"},
      {"host work fails", [](Rig&, vexa::CommandBuffer& cb, const auto&) {
         cb.encode_host_work([](std::string* e) {
           *e = "matrix shapes disagree";
           return false;
         });
       }, "matrix shapes disagree"},
      {"no pipeline", [](Rig&, vexa::CommandBuffer& cb, const auto& b) {
         auto enc = cb.compute_encoder();
         enc->set_buffer(b, 0, 0);
         enc->dispatch_threads({1, 1, 1}, {1, 1, 1});
         enc->end_encoding();
       }, "pipeline"},
      {"group too large", [](Rig& r, vexa::CommandBuffer& cb, const auto& b) {
         auto enc = cb.compute_encoder();
         enc->set_pipeline(r.pipeline("record"));
         enc->dispatch_threads({4096, 1, 1}, {1024, 2, 1});
         enc->end_encoding();
       }, "thread-group size"},
      {"group empty", [](Rig& r, vexa::CommandBuffer& cb, const auto& b) {
         auto enc = cb.compute_encoder();
         enc->set_pipeline(r.pipeline("record"));
         enc->dispatch_threadgroups({4, 1, 1}, {0, 1, 1});
         enc->end_encoding();
       }, "thread-group size"},
      {"grid overflows", [](Rig& r, vexa::CommandBuffer& cb, const auto& b) {
         auto enc = cb.compute_encoder();
         enc->set_pipeline(r.pipeline("record"));
         enc->dispatch_threadgroups({uint64_t{1} << 60, 1, 1}, {32, 1, 1});
         enc->end_encoding();
       }, "grid too large"},
      {"offset past the end", [](Rig& r, vexa::CommandBuffer& cb, const auto& b) {
         auto enc = cb.compute_encoder();
         enc->set_pipeline(r.pipeline("record"));
         enc->set_buffer(b, 65, 2);
         enc->dispatch_threads({1, 1, 1}, {1, 1, 1});
         enc->end_encoding();
       }, "index 2"},
      {"bad binding index", [](Rig& r, vexa::CommandBuffer& cb, const auto& b) {
         auto enc = cb.compute_encoder();
         enc->set_pipeline(r.pipeline("record"));
         enc->set_buffer(b, 0, 31);
         enc->dispatch_threads({1, 1, 1}, {1, 1, 1});
         enc->end_encoding();
       }, "index 31"},
      {"inline bytes too long", [](Rig& r, vexa::CommandBuffer& cb, const auto&) {
         static const std::vector<uint8_t> big(5000);
         auto enc = cb.compute_encoder();
         enc->set_pipeline(r.pipeline("record"));
         enc->set_bytes(big.data(), big.size(), 3);
         enc->dispatch_threads({1, 1, 1}, {1, 1, 1});
         enc->end_encoding();
       }, "inline bytes"},
      {"copy out of range", [](Rig& r, vexa::CommandBuffer& cb, const auto& b) {
         auto blit = cb.blit_encoder();
         blit->copy(b, 60, b, 0, 8);
         blit->end_encoding();
       }, "copy out of buffer range"},
      {"fill out of range", [](Rig& r, vexa::CommandBuffer& cb, const auto& b) {
         auto blit = cb.blit_encoder();
         blit->fill(b, 1, UINT64_MAX, 7);
         blit->end_encoding();
       }, "fill out of buffer range"},
      {"encoder left open", [](Rig& r, vexa::CommandBuffer& cb, const auto& b) {
         static std::shared_ptr<vexa::ComputeEncoder> open;
         open = cb.compute_encoder();
       }, "encoder still open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::memset(buf->contents(), 0, 64);
    auto cb = r.queue->command_buffer();
    {
      auto enc = cb->compute_encoder();
      dispatch_add(*enc, add, buf, 1, 1);  // before the failure: runs
      enc->end_encoding();
    }
    c.encode(r, *cb, buf);
    if (std::string(c.what) != "encoder left open") {
      auto enc = cb->compute_encoder();
      dispatch_add(*enc, add, buf, 2, 100);  // after it: must not run
      enc->end_encoding();
    }
    cb->commit();
    EXPECT_EQ(cb->status(), CommandBufferStatus::kError);
    EXPECT_NE(cb->error_message().find(c.message), std::string::npos) << cb->error_message();
    EXPECT_GE(cb->gpu_end_time(), cb->gpu_start_time());
    const uint32_t first = std::string(c.what) == "encoder left open" ? 0u : 2u;
    EXPECT_EQ(words_of(buf)[0], first);
    EXPECT_EQ(words_of(buf)[1], 0u);
  }
  (void)rec;
}

TEST(SoftwareDevice, FixedSplitsWhateverTheThreadCount) {
  // The tasks and their ranges come from the arguments alone.
  for (unsigned threads : {1u, 2u, 8u}) {
    vexa::ThreadCapScope cap(threads);
    std::mutex m;
    std::set<std::pair<uint64_t, uint64_t>> ranges;
    vexa::kernel_parallel_for(1000, 300, [&](uint64_t b, uint64_t e) {
      std::lock_guard<std::mutex> lock(m);
      ranges.emplace(b, e);
    });
    const std::set<std::pair<uint64_t, uint64_t>> expected = {
        {0, 300}, {300, 600}, {600, 900}, {900, 1000}};
    EXPECT_EQ(ranges, expected) << threads;
    int calls = 0;
    vexa::kernel_parallel_for(0, 10, [&](uint64_t, uint64_t) { ++calls; });
    vexa::kernel_parallel_for(5, 0, [&](uint64_t b, uint64_t e) {
      std::lock_guard<std::mutex> lock(m);
      calls += static_cast<int>(e - b);
    });
    EXPECT_EQ(calls, 5);
    // Every task runs exactly once, whichever thread takes it.
    std::vector<std::atomic<int>> runs(257);
    vexa::kernel_parallel_for(257, 1, [&](uint64_t b, uint64_t) { runs[b].fetch_add(1); });
    for (size_t t = 0; t < runs.size(); ++t) ASSERT_EQ(runs[t].load(), 1) << t << " " << threads;
    // The exception of a task that throws reaches the caller.
    EXPECT_THROW(vexa::kernel_parallel_for(
                     1000, 1, [&](uint64_t b, uint64_t) {
                       if (b == 5) throw std::runtime_error("task 5");
                     }),
                 std::runtime_error);
  }
}
