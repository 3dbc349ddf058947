// The weight slot and its loader: allocation rules, plain and decoding loads with 1 to 16
// threads checked byte for byte against the file, the busy flag, and injected failures.
#include "gpu/weight_test_util.h"

namespace {

using namespace slot_test;

}  // namespace

TEST(WeightSlot, Allocation) {
  struct Case {
    uint64_t size;
    bool gpu;
    bool ok;
    PackStatus status;
  };
  const Case cases[] = {
      {0, false, false, PackStatus::kSlotTooSmall},
      {16383, false, false, PackStatus::kSlotTooSmall},
      {16385, false, false, PackStatus::kSlotTooSmall},
      {16384, false, true, PackStatus::kIoFailed},
      {65536, false, true, PackStatus::kIoFailed},
      {0, true, false, PackStatus::kSlotTooSmall},
      {16383, true, false, PackStatus::kSlotTooSmall},
      {16384, true, true, PackStatus::kIoFailed},
      {16384 * 5, true, true, PackStatus::kIoFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << (c.gpu ? " gpu" : " host"));
    vexa::WeightSlotResult r = vexa::weight_slot_alloc(c.size, c.gpu);
    ASSERT_EQ(r.ok(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(r.status, c.status);
      continue;
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(r.slot.data) % 16384, 0u);
    if (c.gpu) {
      // The slot is the contents of the context's weights buffer, exactly the size asked for.
      ASSERT_NE(r.slot.context, nullptr);
      EXPECT_EQ(r.slot.data, vexa::gpu_context_weights_contents(r.slot.context));
      EXPECT_EQ(vexa::gpu_context_weights(r.slot.context)->length(), c.size);
    } else {
      EXPECT_EQ(r.slot.context, nullptr);
    }
    EXPECT_EQ(r.slot.size, c.size);
    EXPECT_EQ(r.slot.busy, 0u);
    std::memset(r.slot.data, 0x7F, c.size);  // the whole size is usable
    vexa::buffer_release(&r.slot);
  }
  EXPECT_EQ(vexa::gpu_working_set_limit(),
            vexa::device_system_default()->recommended_max_working_set_size());
  FaultEnv fault("gpu.device");
  EXPECT_EQ(vexa::weight_slot_alloc(16384, true).status, PackStatus::kBackendFailed);
  EXPECT_FALSE(vexa::gpu_has_ane());
  // A device that cannot be reached gives the 4 GiB fallback.
  EXPECT_EQ(vexa::gpu_working_set_limit(), uint64_t{4} << 30);
}

TEST(WeightSlot, ContextCreationAndFaultNames) {
  uint32_t code = 99;
  EXPECT_EQ(vexa::gpu_context_create(0, &code), nullptr);
  EXPECT_EQ(code, 7u);
  code = 99;
  EXPECT_EQ(vexa::gpu_context_create((uint64_t{64} << 30) + 1, &code), nullptr);
  EXPECT_EQ(code, 7u);
  code = 99;
  vexa::GpuContext* context = vexa::gpu_context_create(16384, &code);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(code, 0u);
  vexa::gpu_context_free(context);
  vexa::gpu_context_free(nullptr);

  {
    FaultEnv none(nullptr);
    EXPECT_FALSE(vexa::test_fault_enabled("gpu.weights"));
  }
  FaultEnv several("gpu.queue,gpu.weights");
  EXPECT_TRUE(vexa::test_fault_enabled("gpu.weights"));
  EXPECT_TRUE(vexa::test_fault_enabled("gpu.queue"));
  EXPECT_FALSE(vexa::test_fault_enabled("gpu.device"));
  EXPECT_FALSE(vexa::test_fault_enabled(""));
}

// Plain loads put every byte of the weights region where the file has it, whatever the thread
// count; counts outside 1..16 are clamped.
TEST(WeightSlot, PlainLoadWithEveryThreadCount) {
  vexa::ContainerWriter w;
  add_f32_groups(w);
  OpenedFile f(w, 0);
  ASSERT_TRUE(f.ok);
  ASSERT_EQ(f.c.plan, nullptr);
  const uint64_t size = f.c.weights_data_size;
  const uint8_t* expected = f.bytes.data() + f.c.weights_offset;
  for (uint64_t threads : {0ull, 1ull, 2ull, 3ull, 4ull, 7ull, 8ull, 15ull, 16ull, 17ull, 1000ull}) {
    SCOPED_TRACE(threads);
    Slot s(slot_bytes(size));
    std::memset(s.slot.data, 0xCC, s.slot.size);
    const vexa::WeightLoadResult r = vexa::weights_load(&f.c, &s.slot, threads, false);
    ASSERT_FALSE(r.failed) << static_cast<uint32_t>(r.status);
    EXPECT_EQ(std::memcmp(s.slot.data, expected, size), 0);
    EXPECT_EQ(s.busy(), 1u);
    vexa::weight_slot_release(&s.slot);
  }
}

// Decoding loads write each stored f16 and Q8 tensor as f32 at its planned place.
TEST(WeightSlot, DecodeLoadMatchesNaiveDecoding) {
  vexa::ContainerWriter w;
  const std::vector<uint16_t> halves = {0x3C00, 0xC000, 0x3555, 0x0001, 0x7BFF, 0x8000, 0x3800};
  const uint64_t half_dims[2] = {1, halves.size()};
  const uint64_t th = w.add_tensor_f16("h", half_dims, halves.data());
  w.add_weight_value(th, "h");
  w.begin_group();
  // Two rows of 70 Q8 values: two blocks per row (64 + 6 used).
  const uint64_t cols = 70;
  std::vector<uint8_t> q8(2 * 2 * 68, 0);
  std::vector<float> q8_expected;
  for (int row = 0; row < 2; ++row) {
    for (int block = 0; block < 2; ++block) {
      uint8_t* b = &q8[(row * 2 + block) * 68];
      const float scale = 0.25f * float(row + 1) + float(block);
      for (int i = 0; i < 64; ++i) {
        const uint64_t col = block * 64 + i;
        if (col >= cols) break;
        const int8_t q = static_cast<int8_t>((row * 31 + i * 7) % 200 - 100);
        std::memcpy(b + i, &q, 1);
      }
      std::memcpy(b + 64, &scale, 4);
    }
  }
  for (int row = 0; row < 2; ++row)
    for (uint64_t col = 0; col < cols; ++col) {
      const uint8_t* b = &q8[(row * 2 + col / 64) * 68];
      int8_t q;
      std::memcpy(&q, b + col % 64, 1);
      float scale;
      std::memcpy(&scale, b + 64, 4);
      q8_expected.push_back(static_cast<float>(q) * scale);
    }
  const uint64_t q_dims[2] = {2, cols};
  const uint64_t tq = w.add_tensor_q8("q", q_dims, q8.data());
  w.add_weight_value(tq, "q");
  const std::vector<float> plain = {1.5f, -2.5f, 3.25f};
  const uint64_t f_dims[1] = {plain.size()};
  const uint64_t tf = w.add_tensor_f32("f", f_dims, plain.data());
  w.add_weight_value(tf, "f");

  OpenedFile f(w, vexa::kOpenFlagPlanF32);
  ASSERT_TRUE(f.ok);
  ASSERT_NE(f.c.plan, nullptr);
  ASSERT_EQ(f.c.plan_count, 3u);
  for (uint64_t threads : {1ull, 2ull, 3ull, 16ull}) {
    SCOPED_TRACE(threads);
    Slot s(slot_bytes(f.c.weights_data_size));
    const vexa::WeightLoadResult r = vexa::weights_load(&f.c, &s.slot, threads, false);
    ASSERT_FALSE(r.failed) << static_cast<uint32_t>(r.status);
    const auto* h = reinterpret_cast<const float*>(s.slot.data + f.c.plan[0].f32_offset);
    for (size_t i = 0; i < halves.size(); ++i) EXPECT_EQ(h[i], naive_half(halves[i])) << i;
    const auto* q = reinterpret_cast<const float*>(s.slot.data + f.c.plan[1].f32_offset);
    for (size_t i = 0; i < q8_expected.size(); ++i) EXPECT_EQ(q[i], q8_expected[i]) << i;
    const auto* p = reinterpret_cast<const float*>(s.slot.data + f.c.plan[2].f32_offset);
    for (size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(p[i], plain[i]);
  }

  // A Q8 block with a zero scale does not decode: status 5 and the slot is free again.
  float zero = 0.0f;
  std::memcpy(&q8[64], &zero, 4);
  vexa::ContainerWriter bad;
  const uint64_t tb = bad.add_tensor_q8("q", q_dims, q8.data());
  bad.add_weight_value(tb, "q");
  OpenedFile fb(bad, vexa::kOpenFlagPlanF32);
  ASSERT_TRUE(fb.ok);
  Slot s(slot_bytes(fb.c.weights_data_size));
  const vexa::WeightLoadResult r = vexa::weights_load(&fb.c, &s.slot, 4, false);
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.status, PackStatus::kInvalidTensorRecord);
  EXPECT_EQ(s.busy(), 0u);
}

TEST(WeightSlot, BusySmallAndFailingLoads) {
  vexa::ContainerWriter w;
  add_f32_groups(w);
  OpenedFile f(w, 0);
  ASSERT_TRUE(f.ok);
  const uint64_t size = f.c.weights_data_size;
  {
    Slot s(slot_bytes(size));
    ASSERT_FALSE(vexa::weights_load(&f.c, &s.slot, 2, false).failed);
    const vexa::WeightLoadResult again = vexa::weights_load(&f.c, &s.slot, 2, false);
    EXPECT_TRUE(again.failed);
    EXPECT_EQ(again.status, PackStatus::kSlotBusy);
    vexa::weight_slot_release(&s.slot);
    EXPECT_EQ(s.busy(), 0u);
    EXPECT_FALSE(vexa::weights_load(&f.c, &s.slot, 2, false).failed);
  }
  if (size > 16384) {
    Slot small(16384);
    const vexa::WeightLoadResult r = vexa::weights_load(&f.c, &small.slot, 2, false);
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(r.status, PackStatus::kSlotTooSmall);
    EXPECT_EQ(small.busy(), 0u);
  }
  // The file loses its weights after opening: the reads fail and the slot is free again.
  ASSERT_EQ(ftruncate(f.fd, static_cast<off_t>(f.c.weights_offset + 8)), 0);
  for (uint64_t threads : {1ull, 5ull}) {
    Slot s(slot_bytes(size));
    const vexa::WeightLoadResult r = vexa::weights_load(&f.c, &s.slot, threads, false);
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(r.status, PackStatus::kIoFailed);
    EXPECT_EQ(s.busy(), 0u);
  }
  EXPECT_TRUE(vexa::weights_load(nullptr, nullptr, 1, false).failed);
}
