#include "core/dyn_array.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace vexa {
namespace {

constexpr uint64_t kTwo62 = uint64_t{1} << 62;
constexpr uint64_t kTwo63 = uint64_t{1} << 63;

std::vector<uint32_t> contents(const U32Array& a) {
  return std::vector<uint32_t>(a.items, a.items + a.count);
}

U32Array array_of(std::initializer_list<uint32_t> values) {
  U32Array a = u32_array_empty();
  for (uint32_t v : values) EXPECT_EQ(u32_array_push(&a, v), kArrayOk);
  return a;
}

void* heap_word(uint64_t value) {
  auto* p = static_cast<uint64_t*>(std::malloc(sizeof(uint64_t)));
  *p = value;
  return p;
}

TEST(SizeArithmetic, CheckedConversionsAtTheirLimits) {
  struct Case {
    const char* what;
    CheckedSize (*fn)(uint64_t);
    uint64_t n;
    uint32_t overflow;
    uint64_t bytes;
  };
  const Case cases[] = {
      {"u32 zero", checked_mul_u32, 0, 0, 0},
      {"u32 one", checked_mul_u32, 1, 0, 4},
      {"u32 last fitting", checked_mul_u32, kTwo62 - 1, 0, UINT64_MAX - 3},
      {"u32 first refused", checked_mul_u32, kTwo62, 1, 0},
      {"u32 max", checked_mul_u32, UINT64_MAX, 1, 0},
      {"byte max", checked_mul_byte, UINT64_MAX, 0, UINT64_MAX},
      {"record zero", checked_mul_record, 0, 0, 0},
      {"record last fitting", checked_mul_record, 768614336404564650ull, 0,
       768614336404564650ull * 24},
      {"record first refused", checked_mul_record, 768614336404564651ull, 1, 0},
  };
  for (const Case& c : cases) {
    const CheckedSize r = c.fn(c.n);
    EXPECT_EQ(r.overflow, c.overflow) << c.what;
    if (c.overflow == 0) {
      EXPECT_EQ(r.value, c.bytes) << c.what;
    }
  }

  const struct { uint64_t a, b; uint32_t overflow; uint64_t sum; } adds[] = {
      {0, 0, 0, 0},
      {UINT64_MAX, 0, 0, UINT64_MAX},
      {UINT64_MAX - 1, 1, 0, UINT64_MAX},
      {UINT64_MAX, 1, 1, 0},
      {kTwo63, kTwo63, 1, 0},
  };
  for (const auto& c : adds) {
    const CheckedSize r = checked_add(c.a, c.b);
    EXPECT_EQ(r.overflow, c.overflow) << c.a << " + " << c.b;
    if (c.overflow == 0) {
      EXPECT_EQ(r.value, c.sum);
    }
  }
  EXPECT_EQ(size_max(), UINT64_MAX);
  EXPECT_EQ(identity(12345), 12345u);
}

TEST(SizeArithmetic, GrowthRuleDoublesThenJumpsToNeed) {
  const struct { uint64_t cap, need, expected; } cases[] = {
      {0, 0, 0},
      {0, 1, 1},
      {0, 5, 8},
      {3, 3, 3},
      {3, 8, 12},  // 3, 6, 12
      {4, 5, 8},
      {100, 101, 200},
      {kTwo62, kTwo62 + 1, kTwo63},
      {kTwo63, kTwo63 + 1, kTwo63 + 1},  // doubling would wrap
      {0, UINT64_MAX, UINT64_MAX},       // 1, 2, ..., 2^63, then need
      {kTwo63 - 1, kTwo63, UINT64_MAX - 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(grow_capacity(c.cap, c.need), c.expected) << c.cap << " -> " << c.need;
  }
}

TEST(U32Array, PushingHundredValuesGrowsByDoubling) {
  U32Array a = u32_array_empty();
  std::vector<uint64_t> capacities;
  for (uint32_t v = 0; v < 100; ++v) {
    ASSERT_EQ(u32_array_push(&a, v), kArrayOk);
    if (capacities.empty() || capacities.back() != a.capacity) capacities.push_back(a.capacity);
  }
  EXPECT_EQ(a.count, 100u);
  EXPECT_EQ(a.capacity, 128u);
  EXPECT_EQ(capacities, (std::vector<uint64_t>{1, 2, 4, 8, 16, 32, 64, 128}));
  for (uint32_t v = 0; v < 100; ++v) EXPECT_EQ(a.items[v], v);
  u32_array_free(&a);
}

TEST(U32Array, FixedEditingResults) {
  {
    U32Array a = array_of({10, 20, 30});
    EXPECT_EQ(u32_array_remove(&a, 0), kArrayOk);
    EXPECT_EQ(contents(a), (std::vector<uint32_t>{20, 30}));
    EXPECT_EQ(u32_array_remove(&a, 2), kArrayNoMemory);
    u32_array_free(&a);
  }
  {
    U32Array a = array_of({10, 20, 30});
    EXPECT_EQ(u32_array_swap_remove(&a, 0), kArrayOk);
    EXPECT_EQ(contents(a), (std::vector<uint32_t>{30, 20}));
    EXPECT_EQ(u32_array_swap_remove(&a, 2), kArrayNoMemory);
    u32_array_free(&a);
  }
  {
    U32Array a = array_of({1, 2});
    const U32Array before = a;
    EXPECT_EQ(u32_array_insert(&a, 9, 3), kArrayOutOfRange);
    EXPECT_EQ(a.items, before.items);
    EXPECT_EQ(contents(a), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(u32_array_insert(&a, 9, 2), kArrayOk);
    EXPECT_EQ(u32_array_insert(&a, 7, 0), kArrayOk);
    EXPECT_EQ(contents(a), (std::vector<uint32_t>{7, 1, 2, 9}));
    EXPECT_EQ(u32_array_set(&a, 5, 4), kArrayOutOfRange);
    EXPECT_EQ(u32_array_set(&a, 5, 3), kArrayOk);
    EXPECT_EQ(u32_array_get(&a, 3).value, 5u);
    EXPECT_EQ(u32_array_get(&a, 4).tag, 1u);
    EXPECT_EQ(u32_array_get_ptr(&a, 4).flag, 1u);
    const ElementPointer<uint32_t> p = u32_array_get_ptr(&a, 1);
    ASSERT_EQ(p.flag, 0u);
    *p.pointer = 77;
    EXPECT_EQ(a.items[1], 77u);
    u32_array_free(&a);
  }
  {
    U32Array a = u32_array_empty();
    EXPECT_EQ(u32_array_pop(&a).tag, 1u);
    ASSERT_EQ(u32_array_push(&a, 42), kArrayOk);
    const OptionalValue<uint32_t> top = u32_array_pop(&a);
    EXPECT_EQ(top.tag, 0u);
    EXPECT_EQ(top.value, 42u);
    EXPECT_TRUE(u32_array_is_empty(&a));
    EXPECT_TRUE(u32_array_is_empty_2(&a));
    u32_array_free(&a);
  }
}

TEST(U32Array, ShrinkClearTruncateAndExtend) {
  U32Array a = u32_array_with_capacity(4);
  ASSERT_NE(a.items, nullptr);
  EXPECT_EQ(a.capacity, 4u);
  EXPECT_EQ(u32_array_shrink_to_fit(&a), kArrayOk);
  EXPECT_EQ(a.items, nullptr);
  EXPECT_EQ(a.count, 0u);
  EXPECT_EQ(a.capacity, 0u);

  const uint32_t values[] = {5, 6, 7, 8, 9};
  EXPECT_EQ(u32_array_extend(&a, nullptr, 0), kArrayOk);
  EXPECT_EQ(a.items, nullptr);
  ASSERT_EQ(u32_array_extend(&a, values, 5), kArrayOk);
  EXPECT_EQ(a.capacity, 8u);
  u32_array_truncate(&a, 9);
  EXPECT_EQ(a.count, 5u);
  u32_array_truncate(&a, 3);
  EXPECT_EQ(contents(a), (std::vector<uint32_t>{5, 6, 7}));
  ASSERT_EQ(u32_array_shrink_to_fit(&a), kArrayOk);
  EXPECT_EQ(a.capacity, 3u);
  EXPECT_EQ(contents(a), (std::vector<uint32_t>{5, 6, 7}));
  EXPECT_EQ(u32_array_shrink_to_fit(&a), kArrayOk);

  const U32View v = u32_array_view(&a);
  EXPECT_EQ(v.items, a.items);
  EXPECT_EQ(v.count, 3u);
  u32_array_clear(&a);
  EXPECT_EQ(a.count, 0u);
  EXPECT_EQ(a.capacity, 3u);

  EXPECT_EQ(u32_array_reserve_exact(&a, 2), kArrayOk);
  EXPECT_EQ(a.capacity, 3u);
  EXPECT_EQ(u32_array_reserve_exact(&a, 10), kArrayOk);
  EXPECT_EQ(a.capacity, 10u);
  EXPECT_EQ(u32_array_reserve(&a, 10), kArrayOk);
  EXPECT_EQ(a.capacity, 10u);
  EXPECT_EQ(u32_array_reserve(&a, 11), kArrayOk);
  EXPECT_EQ(a.capacity, 20u);
  u32_array_free(&a);

  EXPECT_EQ(u32_array_with_capacity(0).items, nullptr);
}

// Random edits checked against std::vector, the independent model of the same sequence.
TEST(U32Array, RandomEditsMatchVectorModel) {
  const uint32_t seed = 20261206;
  std::mt19937 rng(seed);
  U32Array a = u32_array_empty();
  std::vector<uint32_t> model;
  for (int step = 0; step < 4000; ++step) {
    const uint32_t op = rng() % 7;
    const uint32_t v = rng();
    const uint64_t i = model.empty() ? rng() % 3 : rng() % (model.size() + 2);
    switch (op) {
      case 0:
      case 1:
        ASSERT_EQ(u32_array_push(&a, v), kArrayOk);
        model.push_back(v);
        break;
      case 2: {
        const uint32_t status = u32_array_insert(&a, v, i);
        if (i > model.size()) {
          ASSERT_EQ(status, kArrayOutOfRange);
        } else {
          ASSERT_EQ(status, kArrayOk);
          model.insert(model.begin() + static_cast<ptrdiff_t>(i), v);
        }
        break;
      }
      case 3: {
        const uint32_t status = u32_array_remove(&a, i);
        ASSERT_EQ(status, i < model.size() ? kArrayOk : kArrayNoMemory);
        if (i < model.size()) model.erase(model.begin() + static_cast<ptrdiff_t>(i));
        break;
      }
      case 4: {
        const uint32_t status = u32_array_swap_remove(&a, i);
        ASSERT_EQ(status, i < model.size() ? kArrayOk : kArrayNoMemory);
        if (i < model.size()) {
          model[i] = model.back();
          model.pop_back();
        }
        break;
      }
      case 5: {
        const OptionalValue<uint32_t> top = u32_array_pop(&a);
        ASSERT_EQ(top.tag, model.empty() ? 1u : 0u);
        if (!model.empty()) {
          ASSERT_EQ(top.value, model.back());
          model.pop_back();
        }
        break;
      }
      default: {
        const uint32_t status = u32_array_set(&a, v, i);
        ASSERT_EQ(status, i < model.size() ? kArrayOk : kArrayOutOfRange);
        if (i < model.size()) model[i] = v;
        break;
      }
    }
    ASSERT_EQ(contents(a), model) << "seed " << seed << " step " << step;
    ASSERT_LE(a.count, a.capacity);
  }
  EXPECT_EQ(u32_array_fold(&a, uint64_t{0}, [](uint64_t acc, uint32_t x) { return acc + x; }),
            [&] {
              uint64_t s = 0;
              for (uint32_t x : model) s += x;
              return s;
            }());
  std::vector<uint32_t> seen;
  u32_array_for_each(&a, [&](uint32_t x) { seen.push_back(x); });
  EXPECT_EQ(seen, model);
  u32_array_free(&a);
}

// Records whose sizes are past 64 bits must be refused before any allocation. The fake arrays
// below claim counts no heap could hold; a refused operation never touches their storage.
TEST(U32Array, GrowthNearOverflowIsRefused) {
  uint32_t storage[1] = {0};
  {
    U32Array huge{storage, UINT64_MAX, UINT64_MAX};
    EXPECT_EQ(u32_array_push(&huge, 1), kArrayNoMemory);
    EXPECT_EQ(u32_array_reserve(&huge, 1), kArrayNoMemory);
    EXPECT_EQ(u32_array_extend(&huge, storage, 1), kArrayNoMemory);
    EXPECT_EQ(u32_array_insert(&huge, 1, 0), kArrayNoMemory);
    EXPECT_EQ(huge.items, storage);
    EXPECT_EQ(huge.count, UINT64_MAX);
  }
  {
    // Full at the largest u32 element count: growing would need 2^64 bytes or more.
    U32Array full{storage, kTwo62 - 1, kTwo62 - 1};
    EXPECT_EQ(u32_array_push(&full, 1), kArrayNoMemory);
    EXPECT_EQ(u32_array_reserve(&full, 1), kArrayNoMemory);
    EXPECT_EQ(u32_array_reserve_exact(&full, kTwo62), kArrayNoMemory);
    EXPECT_EQ(full.items, storage);
    EXPECT_EQ(full.capacity, kTwo62 - 1);
    EXPECT_EQ(full.count, kTwo62 - 1);
  }
  {
    U32Array a = array_of({1, 2, 3});
    const U32Array before = a;
    EXPECT_EQ(u32_array_reserve(&a, UINT64_MAX), kArrayNoMemory);
    EXPECT_EQ(u32_array_reserve(&a, UINT64_MAX - 3), kArrayNoMemory);
    EXPECT_EQ(u32_array_reserve_exact(&a, kTwo62), kArrayNoMemory);
    EXPECT_EQ(u32_array_extend(&a, storage, UINT64_MAX), kArrayNoMemory);
    EXPECT_EQ(a.items, before.items);
    EXPECT_EQ(a.capacity, before.capacity);
    EXPECT_EQ(contents(a), (std::vector<uint32_t>{1, 2, 3}));
    u32_array_free(&a);
  }
  EXPECT_EQ(u32_array_with_capacity(kTwo62).items, nullptr);
  EXPECT_EQ(u32_array_with_capacity(UINT64_MAX).capacity, 0u);
  {
    OwnedRecord slot{};
    RecordArray full{&slot, kMaxRecordElements, kMaxRecordElements};
    EXPECT_EQ(record_array_reserve_exact(&full, kMaxRecordElements + 1), kArrayNoMemory);
    // Refusal still takes ownership of the pointer (a leak here fails the sanitizer run).
    EXPECT_EQ(record_array_push(&full, heap_word(1), 0, 0), kArrayNoMemory);
    EXPECT_EQ(full.count, kMaxRecordElements);
    EXPECT_EQ(full.items, &slot);
  }
  {
    uint8_t byte = 0;
    ByteArray full{&byte, UINT64_MAX, UINT64_MAX};
    EXPECT_EQ(byte_array_push(&full, 1), kArrayNoMemory);
    EXPECT_EQ(full.items, &byte);
  }
}

// A size that fits 64 bits but no heap: the allocator itself refuses. The sanitizer's allocator
// aborts on such requests instead of returning null, so this runs in the plain build only.
TEST(U32Array, AllocationFailureLeavesArrayIntact) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "huge allocations abort under AddressSanitizer";
#else
  U32Array a = array_of({4, 5});
  const U32Array before = a;
  EXPECT_EQ(u32_array_reserve_exact(&a, kTwo62 - 1), kArrayNoMemory);
  EXPECT_EQ(u32_array_reserve(&a, kTwo62 / 2), kArrayNoMemory);
  EXPECT_EQ(a.items, before.items);
  EXPECT_EQ(a.capacity, before.capacity);
  EXPECT_EQ(contents(a), (std::vector<uint32_t>{4, 5}));
  EXPECT_EQ(u32_array_with_capacity(kTwo62 - 1).items, nullptr);
  u32_array_free(&a);

  RecordArray r = record_array_empty();
  EXPECT_EQ(record_array_reserve_exact(&r, kMaxRecordElements), kArrayNoMemory);
  EXPECT_EQ(r.items, nullptr);
#endif
}

TEST(U32ArrayIter, YieldsEachValueThenEnds) {
  const struct {
    std::vector<uint32_t> values;
  } cases[] = {{{}}, {{1, 2, 3}}, {{7}}};
  for (const auto& c : cases) {
    U32Array a = u32_array_empty();
    for (uint32_t v : c.values) ASSERT_EQ(u32_array_push(&a, v), kArrayOk);
    U32ArrayIter* it = u32_array_iter(&a);
    ASSERT_NE(it, nullptr);
    std::vector<uint32_t> seen;
    for (;;) {
      it->next(it);
      if (it->next == nullptr) break;
      seen.push_back(it->current);
      ASSERT_LE(seen.size(), c.values.size());
    }
    EXPECT_EQ(seen, c.values);
    it->free(it);
    u32_array_free(&a);
  }
}

TEST(U32ArrayIter, ReadsTheArrayLive) {
  U32Array a = array_of({1});
  U32ArrayIter* it = u32_array_iter(&a);
  ASSERT_NE(it, nullptr);
  std::vector<uint32_t> seen;
  for (it->next(it); it->next != nullptr; it->next(it)) {
    seen.push_back(it->current);
    if (it->current < 4) {
      ASSERT_EQ(u32_array_push(&a, it->current + 1), kArrayOk);
    }
  }
  EXPECT_EQ(seen, (std::vector<uint32_t>{1, 2, 3, 4}));
  it->free(it);
  u32_array_free(&a);
}

TEST(RecordArray, OwnershipMovesInAndOut) {
  RecordArray a = record_array_empty();
  for (uint64_t k = 0; k < 5; ++k) {
    ASSERT_EQ(record_array_push(&a, heap_word(100 + k), k, 10 * k), kArrayOk);
  }
  EXPECT_EQ(a.count, 5u);
  EXPECT_EQ(a.capacity, 8u);
  ASSERT_EQ(record_array_push(&a, nullptr, 5, 50), kArrayOk);  // null pointers are allowed

  EXPECT_EQ(record_array_remove_at(&a, 6).tag, 1u);
  const OptionalValue<OwnedRecord> taken = record_array_remove_at(&a, 1);
  ASSERT_EQ(taken.tag, 0u);
  EXPECT_EQ(*static_cast<uint64_t*>(taken.value.pointer), 101u);
  EXPECT_EQ(taken.value.first, 1u);
  EXPECT_EQ(taken.value.second, 10u);
  std::free(taken.value.pointer);
  ASSERT_EQ(a.count, 5u);
  const uint64_t firsts[] = {0, 2, 3, 4, 5};
  for (uint64_t i = 0; i < 5; ++i) EXPECT_EQ(a.items[i].first, firsts[i]);

  EXPECT_EQ(record_array_get_ptr(&a, 5).flag, 1u);
  const ElementPointer<OwnedRecord> p = record_array_get_ptr(&a, 2);
  ASSERT_EQ(p.flag, 0u);
  EXPECT_EQ(p.pointer->second, 30u);

  // The fold sees copies: overwriting them must not reach the array.
  const uint64_t sum = record_array_fold(&a, uint64_t{0}, [](uint64_t acc, const OwnedRecord* r) {
    const_cast<OwnedRecord*>(r)->first = 999;
    return acc + r->second;
  });
  EXPECT_EQ(sum, 0u + 20 + 30 + 40 + 50);
  for (uint64_t i = 0; i < 5; ++i) EXPECT_EQ(a.items[i].first, firsts[i]);

  EXPECT_EQ(record_array_reserve_exact(&a, 3), kArrayOk);
  EXPECT_EQ(record_array_reserve_exact(&a, 40), kArrayOk);
  EXPECT_EQ(a.capacity, 40u);
  record_array_free(&a);  // frees the four remaining heap words (leaks fail the sanitizer run)
}

TEST(RecordArray, DrainYieldsRecordsInOrderAndEmptiesTheArray) {
  RecordArray a = record_array_empty();
  for (uint64_t k = 0; k < 3; ++k) {
    ASSERT_EQ(record_array_push(&a, heap_word(k), k, k), kArrayOk);
  }
  RecordDrainIter* it = record_array_drain(&a);
  ASSERT_NE(it, nullptr);
  EXPECT_EQ(it->has_item, 0u);
  std::vector<uint64_t> seen;
  for (it->next(it); it->next != nullptr; it->next(it)) {
    ASSERT_EQ(it->has_item, 1u);
    seen.push_back(*static_cast<uint64_t*>(it->current.pointer));
    EXPECT_EQ(a.count, 2 - it->current.first);
    std::free(it->current.pointer);
  }
  EXPECT_EQ(seen, (std::vector<uint64_t>{0, 1, 2}));
  EXPECT_EQ(a.count, 0u);
  it->free(it);
  record_array_free(&a);

  RecordArray empty = record_array_empty();
  RecordDrainIter* none = record_array_drain(&empty);
  ASSERT_NE(none, nullptr);
  none->next(none);
  EXPECT_EQ(none->next, nullptr);
  none->free(none);
}

TEST(ByteArray, ViewNeverNullAndPushGrows) {
  ByteArray a = byte_array_empty();
  const ByteArrayView empty = byte_array_view(&a);
  EXPECT_NE(empty.items, nullptr);
  EXPECT_EQ(empty.count, 0u);
  for (uint8_t b = 0; b < 9; ++b) ASSERT_EQ(byte_array_push(&a, b), kArrayOk);
  EXPECT_EQ(a.capacity, 16u);
  const ByteArrayView v = byte_array_view(&a);
  EXPECT_EQ(v.items, a.items);
  EXPECT_EQ(v.count, 9u);
  for (uint8_t b = 0; b < 9; ++b) EXPECT_EQ(v.items[b], b);
  EXPECT_EQ(byte_array_reserve_exact(&a, 5), kArrayOk);
  EXPECT_EQ(a.capacity, 16u);
  EXPECT_EQ(byte_array_reserve_exact(&a, 33), kArrayOk);
  EXPECT_EQ(a.capacity, 33u);
  byte_array_free(&a);
}

TEST(SliceViews, StackPopAndVectorGet) {
  alignas(16) uint8_t storage[3 * kSliceElementBytes] = {};
  Slice16Array s{storage, 3};
  const SliceElement second = slice_vector_get(&s, 2);
  EXPECT_EQ(second.status, 0u);
  EXPECT_EQ(second.pointer, storage + 32);
  EXPECT_EQ(slice_vector_get(&s, 3).status, 1u);
  EXPECT_EQ(slice_stack_pop(&s), 0u);
  EXPECT_EQ(slice_stack_pop(&s), 0u);
  EXPECT_EQ(slice_stack_pop(&s), 0u);
  EXPECT_EQ(s.count, 0u);
  EXPECT_EQ(slice_stack_pop(&s), 1u);
  EXPECT_EQ(slice_vector_get(&s, 0).status, 1u);
}

TEST(ExpectedRecords, ConstructorsFillTagAndPayload) {
  const Expected<ExpectedPair> pair = expected_ok_pair(7, 9);
  EXPECT_EQ(pair.tag, kExpectedOk);
  EXPECT_EQ(pair.value.first, 7u);
  EXPECT_EQ(pair.value.second, 9u);

  const ExpectedWide wide{{1, 2, 3}, {4, 5, 6}, 0.25};
  const Expected<ExpectedWide> w = expected_ok_wide(wide);
  EXPECT_EQ(w.tag, kExpectedOk);
  EXPECT_EQ(std::memcmp(&w.value, &wide, sizeof wide), 0);

  const char text[] = "bad thing";
  auto* block = static_cast<uint8_t*>(std::malloc(sizeof text - 1));
  std::memcpy(block, text, sizeof text - 1);
  ExpectedWithCode<ExpectedPair> failed =
      expected_error_with_code<ExpectedPair>(13, ExpectedMessage{block, 9, 9});
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.tag, kExpectedError);
  EXPECT_EQ(failed.error.code, 13u);
  EXPECT_EQ(expected_message_view(failed.error.message), "bad thing");
  expected_message_free(&failed.error.message);

  const ExpectedWithCode<ExpectedPair> good = expected_ok_with_code(ExpectedPair{1, 2});
  EXPECT_TRUE(good.ok());
  EXPECT_EQ(good.value.second, 2u);
}

}  // namespace
}  // namespace vexa
