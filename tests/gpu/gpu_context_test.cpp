// GPU contexts and GPU weight slots on the software device: every injected creation fault and
// what it leaves behind, the probe code, the device checksum against a host fold, loads into GPU
// slots in both modes, forged Q8 blocks, read-back against the container header, and giving the
// weights buffer back early.
#include <fcntl.h>

#include <cstdint>
#include <random>
#include <utility>

#include "gpu/weight_test_util.h"
#include "core/container_digest.h"

namespace {

using namespace slot_test;

uint64_t allocated() { return vexa::device_system_default()->current_allocated_size(); }

// Several load groups of f16 and Q8 tensors: plain mode reads the stored bytes, decode mode
// widens them. The Q8 rows are 70 columns (one full block, one block of 6 used values).
struct MixedModel {
  std::vector<uint8_t> q8;
  std::vector<uint16_t> halves;

  explicit MixedModel(float forged_scale = 0.0f, bool forge = false) {
    std::mt19937 rng(11);
    halves.resize(3 * 40);
    for (auto& h : halves) h = static_cast<uint16_t>(rng() % 0x7800);  // finite
    q8.assign(4 * 2 * 68, 0);
    for (int row = 0; row < 4; ++row) {
      for (int block = 0; block < 2; ++block) {
        uint8_t* b = &q8[(row * 2 + block) * 68];
        const int used = block == 0 ? 64 : 6;
        for (int i = 0; i < used; ++i) b[i] = static_cast<uint8_t>(static_cast<int>(rng() % 255) - 127);
        const float scale = 0.01f * static_cast<float>(row * 2 + block + 1);
        std::memcpy(b + 64, &scale, 4);
      }
    }
    if (forge) std::memcpy(&q8[3 * 68 + 64], &forged_scale, 4);  // row 1, second block
  }

  void write(vexa::ContainerWriter& w) const {
    const uint64_t hd[2] = {3, 40};
    w.add_weight_value(w.add_tensor_f16("h", hd, halves.data()), "h");
    for (int g = 0; g < 3; ++g) {
      w.begin_group();
      const uint64_t qd[2] = {4, 70};
      w.add_weight_value(w.add_tensor_q8("q" + std::to_string(g), qd, q8.data()), "q");
      std::vector<float> f(1000 + 4097 * g, static_cast<float>(g) + 0.5f);
      const uint64_t fd[1] = {f.size()};
      w.add_weight_value(w.add_tensor_f32("f" + std::to_string(g), fd, f.data()), "f");
    }
  }
};

}  // namespace

TEST(GpuContext, EveryFaultNameAndWhatItLeaves) {
  struct Case {
    const char* faults;
    uint32_t code;
    PackStatus slot_status;
  };
  const Case cases[] = {
      {"gpu.device", 8, PackStatus::kBackendFailed},
      {"gpu.library", 8, PackStatus::kBackendFailed},
      {"gpu.pipeline", 8, PackStatus::kBackendFailed},
      {"gpu.host_allocation", 7, PackStatus::kAllocationFailed},
      {"gpu.queue", 8, PackStatus::kBackendFailed},
      {"gpu.weights", 7, PackStatus::kAllocationFailed},
      // A missing buffer outranks a missing queue.
      {"gpu.queue,gpu.weights", 7, PackStatus::kAllocationFailed},
  };
  const uint64_t before = allocated();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    FaultEnv fault(c.faults);
    uint32_t code = 99;
    EXPECT_EQ(vexa::gpu_context_create(16384, &code), nullptr);
    EXPECT_EQ(code, c.code);
    const vexa::WeightSlotResult r = vexa::weight_slot_alloc(16384, true);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.status, c.slot_status);
    EXPECT_EQ(vexa::gpu_probe(16384), nullptr);
    EXPECT_EQ(vexa::gpu_probe_last_error(), c.code);
    // Host slots do not depend on the device.
    Slot host(16384);
    EXPECT_NE(host.slot.data, nullptr);
    EXPECT_EQ(allocated(), before);  // nothing left behind
  }
  // Sizes refused before the device is asked: code 7, nothing allocated.
  for (uint64_t size : {uint64_t{0}, (uint64_t{64} << 30) + 1, UINT64_MAX}) {
    uint32_t code = 99;
    EXPECT_EQ(vexa::gpu_context_create(size, &code), nullptr);
    EXPECT_EQ(code, 7u);
  }
  // A size the device cannot hold (more than its memory) is a memory failure too.
  const uint64_t too_big = (vexa::device_system_default()->max_buffer_length() / 16384 + 1) * 16384;
  if (too_big <= vexa::kGpuContextMaxBytes) {
    EXPECT_EQ(vexa::weight_slot_alloc(too_big, true).status, PackStatus::kAllocationFailed);
  }
  EXPECT_EQ(allocated(), before);

  vexa::GpuContext* ok = vexa::gpu_probe(16384);
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(vexa::gpu_probe_last_error(), 0u);
  EXPECT_EQ(allocated() - before, 16384 + vexa::kChecksumOutBytes);
  EXPECT_EQ(vexa::graph_context_weights(ok), vexa::gpu_context_weights(ok));
  EXPECT_EQ(vexa::graph_context_queue(ok), vexa::gpu_context_queue(ok));
  EXPECT_NE(vexa::gpu_context_queue(ok), nullptr);
  vexa::gpu_context_destroy(ok);
  EXPECT_EQ(allocated(), before);
  EXPECT_EQ(vexa::gpu_context_weights_contents(nullptr), nullptr);
  EXPECT_EQ(vexa::gpu_context_weights(nullptr), nullptr);
  EXPECT_FALSE(vexa::gpu_has_ane());
}

TEST(GpuContext, ChecksumMatchesHostFold) {
  std::mt19937 rng(3);
  // Fewer words than threads, exactly one row, several rows with a ragged tail.
  for (uint64_t pages : {uint64_t{1}, uint64_t{8}, uint64_t{27}}) {
    const uint64_t size = pages * 16384;
    vexa::GpuContext* ctx = vexa::gpu_probe(size);
    ASSERT_NE(ctx, nullptr);
    auto* bytes = static_cast<uint8_t*>(vexa::gpu_context_weights_contents(ctx));
    for (uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(rng());
    for (uint64_t n : {size, size - 4, size - 3, size / 2 + 7, uint64_t{4}, uint64_t{3}, uint64_t{0}}) {
      SCOPED_TRACE(testing::Message() << size << " " << n);
      uint32_t sum = 0xdeadbeef;
      ASSERT_TRUE(vexa::gpu_weights_checksum(ctx, n, &sum));
      EXPECT_EQ(sum, vexa::xor_fold32(bytes, n));
    }
    // Past the buffer: refused by the kernel, not read.
    uint32_t sum = 0;
    EXPECT_FALSE(vexa::gpu_weights_checksum(ctx, size + 4, &sum));
    EXPECT_FALSE(vexa::gpu_weights_checksum(nullptr, 4, &sum));
    EXPECT_FALSE(vexa::gpu_weights_checksum(ctx, 4, nullptr));
    vexa::gpu_context_free(ctx);
  }
}

// Plain and decode loads into GPU slots with 1 and 16 threads over several groups give the same
// bytes as host loads; the header fold checks plain slots and declines decoded ones.
TEST(GpuContext, GpuSlotLoadsAndReadback) {
  MixedModel model;
  vexa::ContainerWriter w;
  model.write(w);
  for (uint32_t flags : {0u, vexa::kOpenFlagPlanF32}) {
    OpenedFile f(w, flags);
    ASSERT_TRUE(f.ok);
    const bool decode = flags != 0;
    ASSERT_EQ(f.c.plan != nullptr, decode);
    ASSERT_GE(vexa::container_section_count(&f.c, vexa::kSectionGroups), 4u);
    const uint64_t size = slot_bytes(f.c.weights_data_size);
    Slot host(size);
    // Padding between decoded tensors is not written: start from zeros as the device's buffers do.
    std::memset(host.slot.data, 0, size);
    ASSERT_FALSE(vexa::weights_load(&f.c, &host.slot, 1, false).failed);
    for (uint64_t threads : {1ull, 16ull}) {
      for (bool nocache : {false, true}) {
        SCOPED_TRACE(testing::Message() << "decode " << decode << " threads " << threads);
        Slot gpu(size, true);
        ASSERT_NE(gpu.slot.context, nullptr);
        const vexa::WeightLoadResult r = vexa::weights_load(&f.c, &gpu.slot, threads, nocache);
        ASSERT_FALSE(r.failed) << static_cast<uint32_t>(r.status);
        EXPECT_EQ(std::memcmp(gpu.slot.data, host.slot.data, f.c.weights_data_size), 0);
        if (!decode) {
          EXPECT_EQ(std::memcmp(gpu.slot.data, f.bytes.data() + f.c.weights_offset,
                                f.c.weights_data_size), 0);
        }
        // A loaded slot stays busy: a second load is refused until it is released.
        EXPECT_EQ(vexa::weights_load(&f.c, &gpu.slot, threads, false).status, PackStatus::kSlotBusy);
        EXPECT_EQ(gpu.busy(), 1u);
        const vexa::ReadbackCheck expected =
            decode ? vexa::ReadbackCheck::kNotApplicable : vexa::ReadbackCheck::kMatch;
        EXPECT_EQ(vexa::weights_verify_loaded(&f.c, &gpu.slot), expected);
        EXPECT_EQ(vexa::weights_verify_loaded(&f.c, &host.slot), expected);
        if (!decode) {
          gpu.slot.data[12345] ^= 0x40;  // one flipped bit is caught on the device
          EXPECT_EQ(vexa::weights_verify_loaded(&f.c, &gpu.slot), vexa::ReadbackCheck::kMismatch);
          gpu.slot.data[12345] ^= 0x40;
        }
        vexa::weight_slot_release(&gpu.slot);
        EXPECT_EQ(gpu.busy(), 0u);
      }
    }
  }
  // The header's fold, read straight from the file, is what the readback compares with.
  OpenedFile f(w, 0);
  ASSERT_TRUE(f.ok);
  uint32_t header_fold;
  std::memcpy(&header_fold, f.bytes.data() + 272, 4);
  const uint64_t weights_size = f.bytes.size() - f.c.weights_offset;
  EXPECT_EQ(vexa::xor_fold32(f.bytes.data() + f.c.weights_offset, weights_size), header_fold);
  Slot gpu(slot_bytes(f.c.weights_data_size), true);
  ASSERT_FALSE(vexa::weights_load(&f.c, &gpu.slot, 3, false).failed);
  EXPECT_TRUE(vexa::weights_verify_readback(&gpu.slot, weights_size, header_fold));
  EXPECT_FALSE(vexa::weights_verify_readback(&gpu.slot, weights_size, header_fold ^ 1));
  EXPECT_FALSE(vexa::weights_verify_readback(&gpu.slot, gpu.slot.size + 4, header_fold));
  EXPECT_FALSE(vexa::weights_verify_readback(nullptr, 4, 0));
}

// A Q8 block whose scale is not a positive finite number does not decode: status 5 and a free
// slot, on GPU and host slots alike. Plain mode copies the bytes and does not judge them.
TEST(GpuContext, ForgedQ8ScaleFailsDecodeLoads) {
  for (float forged : {0.0f, -1.0f, INFINITY, NAN, -0.0f}) {
    SCOPED_TRACE(forged);
    MixedModel model(forged, true);
    vexa::ContainerWriter w;
    model.write(w);
    OpenedFile decoded(w, vexa::kOpenFlagPlanF32);
    ASSERT_TRUE(decoded.ok);
    for (bool gpu : {true, false}) {
      Slot s(slot_bytes(decoded.c.weights_data_size), gpu);
      for (uint64_t threads : {1ull, 16ull}) {
        const vexa::WeightLoadResult r = vexa::weights_load(&decoded.c, &s.slot, threads, false);
        EXPECT_TRUE(r.failed);
        EXPECT_EQ(r.status, PackStatus::kInvalidTensorRecord);
        EXPECT_EQ(s.busy(), 0u);
      }
    }
    OpenedFile plain(w, 0);
    ASSERT_TRUE(plain.ok);
    Slot s(slot_bytes(plain.c.weights_data_size), true);
    EXPECT_FALSE(vexa::weights_load(&plain.c, &s.slot, 4, false).failed);
  }
}

TEST(GpuContext, BindingReleaseGivesTheWeightsBack) {
  const uint64_t before = allocated();
  vexa::WeightSlotResult r = vexa::weight_slot_alloc(16384 * 4, true);
  ASSERT_TRUE(r.ok());
  vexa::WeightSlot slot = r.slot;
  EXPECT_EQ(allocated() - before, 16384 * 4 + vexa::kChecksumOutBytes);
  vexa::mps_binding_release(&slot);
  EXPECT_EQ(slot.data, nullptr);
  ASSERT_NE(slot.context, nullptr);
  EXPECT_EQ(vexa::gpu_context_weights(slot.context), nullptr);
  EXPECT_NE(vexa::gpu_context_queue(slot.context), nullptr);
  EXPECT_EQ(allocated() - before, vexa::kChecksumOutBytes);
  uint32_t sum = 0;
  EXPECT_FALSE(vexa::gpu_weights_checksum(slot.context, 4, &sum));
  EXPECT_FALSE(vexa::weights_verify_readback(&slot, 4, 0));
  vexa::mps_binding_release(&slot);  // twice: nothing more happens
  vexa::buffer_release(&slot);
  EXPECT_EQ(allocated(), before);

  // Host slots are not touched.
  Slot host(16384);
  uint8_t* data = host.slot.data;
  vexa::mps_binding_release(&host.slot);
  EXPECT_EQ(host.slot.data, data);
  vexa::mps_binding_release(nullptr);
}

TEST(GpuContext, NoCacheIsBestEffort) {
  EXPECT_EQ(vexa::set_nocache(-1, true), 0);
  EXPECT_EQ(vexa::set_nocache(-1, false), 0);
  const int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(vexa::set_nocache(fd, true), 0);
  EXPECT_EQ(vexa::set_nocache(fd, false), 0);
  ::close(fd);
}
