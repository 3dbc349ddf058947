#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/api_alloc.h"
#include "api/input.h"
#include "api_test_util.h"

using namespace vexa_test;

namespace {
vexa::Input* rec(vexa_input* i) { return reinterpret_cast<vexa::Input*>(i); }
}  // namespace

TEST(Input, Defaults) {
  InputPtr in = new_input();
  const vexa::Input* r = rec(in.get());
  EXPECT_EQ(64u, r->max_tokens);
  EXPECT_EQ(1.0f, r->top_p);
  EXPECT_EQ(1.0f, r->repeat_penalty);
  EXPECT_EQ(512u, r->tile_size);
  EXPECT_EQ(-1, r->amount_decimals);
  EXPECT_EQ(0u, r->tensor_count);
}

TEST(Input, TensorBindingsByIndexAndName) {
  InputPtr in = new_input();
  vexa::Input* r = rec(in.get());
  std::vector<float> a = {1, 2, 3};
  EXPECT_EQ(0, vexa_input_set_f32(in.get(), 8, a.data(), 3, 0));
  EXPECT_EQ(0, vexa_input_set_f32(in.get(), 0, nullptr, 3, 0));
  EXPECT_EQ(0, vexa_input_set_f32(in.get(), 0, a.data(), 0, 0));
  EXPECT_EQ(0u, r->tensor_count);

  // Copy first, then borrow at the same index: one slot, the copy is released (ASan: no leak).
  ASSERT_EQ(1, vexa_input_set_f32(in.get(), 0, a.data(), 3, 1));
  EXPECT_NE(a.data(), r->tensors[0].data);
  EXPECT_EQ(1, r->tensors[0].owned);
  ASSERT_EQ(1, vexa_input_set_f32(in.get(), 0, a.data(), 3, 0));
  EXPECT_EQ(1u, r->tensor_count);
  EXPECT_EQ(a.data(), r->tensors[0].data);
  EXPECT_EQ(0, r->tensors[0].owned);

  const std::vector<int64_t> ids = {5, 6};
  const std::vector<uint16_t> halves = {0x3C00};
  const std::vector<uint8_t> bytes = {9, 9, 9, 9};
  ASSERT_EQ(1, vexa_input_set_i64(in.get(), 1, ids.data(), 2, 1));
  ASSERT_EQ(1, vexa_input_set_f16(in.get(), 2, halves.data(), 1, 1));
  ASSERT_EQ(1, vexa_input_set_u8(in.get(), 3, bytes.data(), 4, 0));
  struct Want {
    uint32_t dtype;
    uint64_t bytes;
  };
  const Want want[] = {{2, 12}, {3, 16}, {1, 2}, {5, 4}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(want[i].dtype, r->tensors[i].dtype);
    EXPECT_EQ(want[i].bytes, r->tensors[i].bytes);
    EXPECT_EQ(0, r->tensors[i].named);
  }
  EXPECT_EQ(0, std::memcmp(r->tensors[1].data, ids.data(), 16));

  // Named bindings have no index limit; names fill the remaining slots, the ninth is refused.
  for (int i = 0; i < 4; ++i) {
    const std::string name = "in" + std::to_string(i);
    ASSERT_EQ(1, vexa_input_set_named_f32(in.get(), name.data(), name.size(), a.data(), 3, 1));
  }
  EXPECT_EQ(8u, r->tensor_count);
  EXPECT_EQ(0, vexa_input_set_named_u8(in.get(), "other", 5, bytes.data(), 4, 0));
  EXPECT_EQ(0, vexa_input_set_f32(in.get(), 7, a.data(), 3, 0));
  // Rebinding an existing name still works and keeps the order.
  ASSERT_EQ(1, vexa_input_set_named_i64(in.get(), "in2", 3, ids.data(), 2, 0));
  EXPECT_EQ(8u, r->tensor_count);
  EXPECT_EQ(3u, r->tensors[6].dtype);
  EXPECT_EQ(ids.data(), r->tensors[6].data);
  EXPECT_EQ(0u, r->tensors[6].index);
  // Name and index bindings are distinct: index 0 is not the name "in0".
  ASSERT_EQ(1, vexa_input_set_f32(in.get(), 0, a.data(), 3, 0));
  EXPECT_EQ(8u, r->tensor_count);
}

TEST(Input, LongNamesAreCutAndNeverMatchAgain) {
  InputPtr in = new_input();
  vexa::Input* r = rec(in.get());
  const float v = 1;
  const std::string longname(80, 'n');
  ASSERT_EQ(1, vexa_input_set_named_f32(in.get(), longname.data(), longname.size(), &v, 1, 0));
  EXPECT_EQ(63u, r->tensors[0].name_len);
  EXPECT_EQ('\0', r->tensors[0].name[63]);
  ASSERT_EQ(1, vexa_input_set_named_f32(in.get(), longname.data(), longname.size(), &v, 1, 0));
  EXPECT_EQ(2u, r->tensor_count);
}

TEST(Input, ElementCountThatOverflowsBytesIsRefused) {
  InputPtr in = new_input();
  const int64_t v = 1;
  EXPECT_EQ(0, vexa_input_set_i64(in.get(), 0, &v, UINT64_MAX / 4, 0));
  EXPECT_EQ(0u, rec(in.get())->tensor_count);
}

TEST(Input, FailedCopyKeepsThePreviousBinding) {
  InputPtr in = new_input();
  vexa::Input* r = rec(in.get());
  const float first[2] = {1, 2};
  const float second[2] = {3, 4};
  ASSERT_EQ(1, vexa_input_set_f32(in.get(), 0, first, 2, 1));
  const void* held = r->tensors[0].data;
  vexa::api_test_fail_allocation(1);
  EXPECT_EQ(0, vexa_input_set_f32(in.get(), 0, second, 2, 1));
  vexa::api_test_fail_allocation(0);
  EXPECT_EQ(held, r->tensors[0].data);
  EXPECT_EQ(1.0f, static_cast<const float*>(r->tensors[0].data)[0]);
  EXPECT_EQ(1u, r->tensor_count);
}

TEST(Input, FramesAndBatch) {
  InputPtr in = new_input();
  vexa::Input* r = rec(in.get());
  FramePtr f1 = new_frame(), f2 = new_frame(), f3 = new_frame();
  vexa_input_set_named_frame(in.get(), "pixel_values", 12, f1.get());
  EXPECT_EQ(1, r->has_frame);
  EXPECT_EQ(1, r->frame_named);
  EXPECT_STREQ("pixel_values", r->frame_name);
  EXPECT_EQ(1u, r->batch_count);
  vexa_input_set_frame(in.get(), nullptr);
  EXPECT_EQ(0, r->has_frame);
  EXPECT_EQ(0u, r->batch_count);
  EXPECT_EQ(0, r->frame_named);

  EXPECT_EQ(0, vexa_input_add_batch_frame(in.get(), nullptr));
  EXPECT_EQ(1, vexa_input_add_batch_frame(in.get(), f1.get()));
  EXPECT_EQ(1, vexa_input_add_batch_frame(in.get(), f2.get()));
  EXPECT_EQ(1, vexa_input_add_batch_frame(in.get(), f3.get()));
  EXPECT_EQ(3u, r->batch_count);
  EXPECT_EQ(reinterpret_cast<vexa::Frame*>(f1.get()), r->frame);
  for (int i = 3; i < 64; ++i) EXPECT_EQ(1, vexa_input_add_batch_frame(in.get(), f2.get()));
  EXPECT_EQ(0, vexa_input_add_batch_frame(in.get(), f2.get()));
  EXPECT_EQ(64u, r->batch_count);

  // An image message does not replace a primary frame already bound...
  EXPECT_EQ(1, vexa_input_add_image_message(in.get(), "user", 4, f3.get(), "look", 4));
  EXPECT_EQ(reinterpret_cast<vexa::Frame*>(f1.get()), r->frame);
  // ...but becomes the primary and only batch frame when none is.
  vexa_input_clear(in.get());
  EXPECT_EQ(1, vexa_input_add_image_message(in.get(), "user", 4, f3.get(), "look", 4));
  EXPECT_EQ(reinterpret_cast<vexa::Frame*>(f3.get()), r->frame);
  EXPECT_EQ(1u, r->batch_count);
  EXPECT_EQ(1, r->has_frame);
}

TEST(Input, MessagesPromptStopsAndLimits) {
  InputPtr in = new_input();
  vexa::Input* r = rec(in.get());
  EXPECT_EQ(1, vexa_input_add_message(in.get(), "user", 4, "a", 1));
  EXPECT_EQ(1, vexa_input_add_message(in.get(), "assistant", 9, "b", 1));
  EXPECT_STREQ("b", r->prompt);
  EXPECT_EQ(1u, r->prompt_len);
  const std::string role(40, 'r');
  EXPECT_EQ(1, vexa_input_add_message(in.get(), role.data(), role.size(), nullptr, 5));
  EXPECT_EQ(31u, r->messages[2].role_len);
  EXPECT_EQ(0u, r->messages[2].content_len);
  EXPECT_STREQ("", r->messages[2].content);
  for (int i = 3; i < 16; ++i) EXPECT_EQ(1, vexa_input_add_message(in.get(), "u", 1, "x", 1));
  EXPECT_EQ(0, vexa_input_add_message(in.get(), "u", 1, "x", 1));
  EXPECT_EQ(16u, r->message_count);

  const std::string prompt(5000, 'p');
  vexa_input_set_prompt(in.get(), prompt.data(), prompt.size());
  EXPECT_EQ(4095u, r->prompt_len);
  const std::string stop(200, 's');
  EXPECT_EQ(1, vexa_input_add_stop(in.get(), stop.data(), stop.size()));
  EXPECT_EQ(127u, r->stop_lens[0]);
  EXPECT_EQ(0, vexa_input_add_stop(in.get(), "", 0));
  EXPECT_EQ(0, vexa_input_add_stop(in.get(), "x", 0));
  for (int i = 1; i < 8; ++i) EXPECT_EQ(1, vexa_input_add_stop(in.get(), "x", 1));
  EXPECT_EQ(0, vexa_input_add_stop(in.get(), "x", 1));
  const std::string schema(3000, '{');
  vexa_input_set_json_schema(in.get(), schema.data(), schema.size());
  EXPECT_EQ(2047u, r->json_schema_len);

  vexa_input_set_max_tokens(in.get(), 17);
  vexa_input_set_temperature(in.get(), 0.7f);
  vexa_input_set_seed(in.get(), 99);
  vexa_input_set_image_tiled(in.get(), 5, 0);
  vexa_input_set_amount_decimals(in.get(), 2);
  const float v = 1;
  ASSERT_EQ(1, vexa_input_set_f32(in.get(), 0, &v, 1, 1));

  vexa_input_clear(in.get());
  EXPECT_EQ(17u, r->max_tokens);
  EXPECT_EQ(0.7f, r->temperature);
  EXPECT_EQ(99u, r->seed);
  EXPECT_EQ(1, r->image_tiled);
  EXPECT_EQ(0u, r->tile_size);
  EXPECT_EQ(2, r->amount_decimals);
  EXPECT_EQ(0u, r->message_count);
  EXPECT_EQ(0u, r->stop_count);
  EXPECT_EQ(0u, r->tensor_count);
  EXPECT_EQ(0, r->tensors[0].used);
  EXPECT_EQ(0u, r->prompt_len);
  EXPECT_STREQ("", r->prompt);
  EXPECT_EQ(0u, r->json_schema_len);
  EXPECT_EQ(nullptr, r->messages[0].content);
}

TEST(Input, MessageCopyFailureLeavesInputUnchanged) {
  InputPtr in = new_input();
  vexa::Input* r = rec(in.get());
  vexa::api_test_fail_allocation(1);
  EXPECT_EQ(0, vexa_input_add_message(in.get(), "u", 1, "hello", 5));
  vexa::api_test_fail_allocation(0);
  EXPECT_EQ(0u, r->message_count);
  EXPECT_EQ(0u, r->prompt_len);
}
