#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "api/api_alloc.h"
#include "api/label_blob.h"
#include "api/output.h"
#include "api/postprocess.h"
#include "api_test_util.h"

using namespace vexa_test;

namespace {

const char kLabels[] = "cat\0dog\0bird";  // three labels, the last without its NUL

vexa::LabelBlob* three_labels() { return vexa::label_blob_new(kLabels, sizeof(kLabels) - 1, 3); }

}  // namespace

TEST(Output, FreshOutputIsNeutral) {
  OutputPtr out = new_output();
  EXPECT_EQ(1.0f, vexa_output_scale_x(out.get()));
  EXPECT_EQ(1.0f, vexa_output_scale_y(out.get()));
  EXPECT_EQ(0.0f, vexa_output_pad_x(out.get()));
  EXPECT_EQ(0u, vexa_output_tensor_count(out.get()));
  EXPECT_EQ(-1, vexa_output_dim(out.get(), 0, 0));
  EXPECT_STREQ("", vexa_output_text_ptr(out.get()));
  EXPECT_STREQ("", vexa_output_full_text_ptr(out.get()));
}

TEST(Output, TensorGetters) {
  OutputPtr out = new_output();
  std::vector<float> values(1000);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i);
  ASSERT_EQ(0, add_tensor(out.get(), "logits", {1, 1000}, values));
  ASSERT_EQ(1, add_tensor(out.get(), "log", {2, 3, 4}, std::vector<float>(24, 1.0f)));
  EXPECT_EQ(2u, vexa_output_tensor_count(out.get()));
  EXPECT_EQ(0, vexa_output_index_of(out.get(), "logits", 6));
  EXPECT_EQ(1, vexa_output_index_of(out.get(), "log", 3));
  EXPECT_EQ(-1, vexa_output_index_of(out.get(), "logit", 5));
  EXPECT_EQ(-1, vexa_output_index_of(out.get(), "logits", 0));
  EXPECT_EQ(2u, vexa_output_rank(out.get(), 0));
  EXPECT_EQ(2u, vexa_output_dtype(out.get(), 1));
  EXPECT_EQ(1000, vexa_output_dim(out.get(), 0, 1));
  EXPECT_EQ(-1, vexa_output_dim(out.get(), 0, 2));
  EXPECT_EQ(-1, vexa_output_dim(out.get(), 0, -1));
  EXPECT_EQ(-1, vexa_output_dim(out.get(), 2, 0));
  EXPECT_EQ(4, vexa_output_dim(out.get(), 1, 2));
  EXPECT_EQ(1000u, vexa_output_elem_count(out.get(), 0));
  EXPECT_EQ(1000u, vexa_output_f32_len(out.get(), 0));
  EXPECT_EQ(0u, vexa_output_elem_count(out.get(), -1));
  EXPECT_EQ(nullptr, vexa_output_f32_ptr(out.get(), 2));
  EXPECT_EQ(nullptr, vexa_output_i64_ptr(out.get(), 0));

  float dst[10];
  EXPECT_EQ(10u, vexa_output_copy_f32(out.get(), 0, dst, 10));
  EXPECT_EQ(9.0f, dst[9]);
  EXPECT_EQ(0u, vexa_output_copy_f32(out.get(), 0, dst, 0));
  EXPECT_EQ(0u, vexa_output_copy_f32(out.get(), 0, nullptr, 10));
  int64_t idst[4];
  EXPECT_EQ(0u, vexa_output_copy_i64(out.get(), 0, idst, 4));  // no i64 copy held
  vexa::OutputTensor& t = rec(out.get())->tensors[1];
  t.i64_data = static_cast<int64_t*>(std::calloc(24, sizeof(int64_t)));
  t.i64_data[3] = -7;
  EXPECT_EQ(4u, vexa_output_copy_i64(out.get(), 1, idst, 4));
  EXPECT_EQ(-7, idst[3]);
  EXPECT_EQ(t.i64_data, vexa_output_i64_ptr(out.get(), 1));

  // A reset drops the narrowed copies and keeps the f32 buffers for reuse.
  float* kept = t.f32_data;
  vexa::output_reset(rec(out.get()));
  EXPECT_EQ(nullptr, t.i64_data);
  EXPECT_EQ(kept, t.f32_data);
  EXPECT_TRUE(vexa::output_tensor_reserve_f32(&t, 10));
  EXPECT_EQ(kept, t.f32_data);
  EXPECT_TRUE(vexa::output_tensor_reserve_f32(&t, 100));
  EXPECT_EQ(100u, t.f32_capacity);
  EXPECT_TRUE(vexa::output_tensor_reserve_f32(&t, 0));
  vexa::output_clear(rec(out.get()));
  EXPECT_EQ(0u, vexa_output_tensor_count(out.get()));
  EXPECT_EQ(nullptr, t.f32_data);
}

TEST(Output, ReserveFailureLeavesNoDanglingBuffer) {
  vexa::OutputTensor t{};
  ASSERT_TRUE(vexa::output_tensor_reserve_f32(&t, 4));
  vexa::api_test_fail_allocation(1);
  EXPECT_FALSE(vexa::output_tensor_reserve_f32(&t, 400));
  vexa::api_test_fail_allocation(0);
  EXPECT_EQ(nullptr, t.f32_data);
  EXPECT_EQ(0u, t.f32_capacity);
}

TEST(Output, LabelLookup) {
  uint64_t len = 99;
  const char* bytes = kLabels;
  const uint64_t n = sizeof(kLabels) - 1;
  auto label = [&](int64_t i) {
    uint64_t l = 99;
    const char* p = vexa::label_at(bytes, n, 3, i, &l);
    return std::string(p, l);
  };
  EXPECT_EQ("cat", label(0));
  EXPECT_EQ("dog", label(1));
  EXPECT_EQ("bird", label(2));
  EXPECT_STREQ("", vexa::label_at(bytes, n, 3, 3, &len));
  EXPECT_EQ(0u, len);
  EXPECT_STREQ("", vexa::label_at(bytes, n, 3, -1, &len));
  EXPECT_STREQ("", vexa::label_at(nullptr, n, 3, 0, &len));
  // A count that claims more items than the bytes hold ends at the bytes.
  EXPECT_STREQ("", vexa::label_at(bytes, n, 9, 5, &len));
  EXPECT_EQ(0u, len);
  EXPECT_STREQ("", vexa::label_at("a\0", 2, 5, 1, &len));
  EXPECT_EQ(0u, len);
}

TEST(Output, LabelsOutliveTheirFirstHolder) {
  OutputPtr out = new_output();
  vexa::LabelBlob* blob = three_labels();
  ASSERT_NE(nullptr, blob);
  vexa::output_attach_labels(rec(out.get()), blob);
  EXPECT_EQ(2u, blob->refcount.load());
  vexa::label_blob_release(blob);  // the session lets go
  ASSERT_EQ(0, add_tensor(out.get(), "p", {1, 4}, {0.1f, 0.9f, 0.5f, 0.7f}));
  ASSERT_EQ(4, vexa_output_compute_top_k(out.get(), 0, 4, 0));
  EXPECT_STREQ("dog", vexa_output_top_label_ptr(out.get(), 0));
  EXPECT_EQ(4u, vexa_output_top_label_len(out.get(), 2));  // "bird"
  EXPECT_STREQ("cat", vexa_output_top_label_ptr(out.get(), 3));
  EXPECT_STREQ("", vexa_output_top_label_ptr(out.get(), 4));
  // Index 3 (the fourth class) has no label in a three-label list.
  EXPECT_EQ(3u, vexa_output_top_class_id(out.get(), 1));
  EXPECT_EQ(0u, vexa_output_top_label_len(out.get(), 1));
}

TEST(Output, TextGetters) {
  OutputPtr out = new_output();
  vexa::Output* o = rec(out.get());
  o->text = static_cast<char*>(std::malloc(3));
  std::memcpy(o->text, "hi", 3);
  o->text_len = 2;
  o->finish_reason = 3;
  o->generated_tokens = 7;
  EXPECT_STREQ("hi", vexa_output_text_ptr(out.get()));
  EXPECT_EQ(2u, vexa_output_text_len(out.get()));
  EXPECT_EQ(3u, vexa_output_finish_reason(out.get()));
  EXPECT_EQ(7u, vexa_output_generated_tokens(out.get()));
  vexa::output_reset(o);
  EXPECT_STREQ("", vexa_output_text_ptr(out.get()));
  EXPECT_EQ(0u, vexa_output_generated_tokens(out.get()));
}

// ---- top-k ----

namespace {
// Naive reference: sort indices by (value desc, index asc), dropping NaN and values <= -1e30.
std::vector<uint32_t> reference_top(const std::vector<float>& v, size_t k) {
  std::vector<uint32_t> idx;
  for (uint32_t i = 0; i < v.size(); ++i) {
    if (!std::isnan(v[i]) && v[i] > -1e30f) idx.push_back(i);
  }
  std::stable_sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) { return v[a] > v[b]; });
  if (idx.size() > k) idx.resize(k);
  return idx;
}
}  // namespace

TEST(TopK, TiesNanAndLimits) {
  OutputPtr out = new_output();
  ASSERT_EQ(0, add_tensor(out.get(), "a", {4}, {0.5f, 0.9f, 0.9f, 0.1f}));
  ASSERT_EQ(2, vexa_output_compute_top_k(out.get(), 0, 2, 0));
  EXPECT_EQ(1u, vexa_output_top_class_id(out.get(), 0));
  EXPECT_EQ(2u, vexa_output_top_class_id(out.get(), 1));
  EXPECT_EQ(0.9f, vexa_output_top_score(out.get(), 1));
  EXPECT_EQ(0.0f, vexa_output_top_score(out.get(), 2));

  const float ninf = -std::numeric_limits<float>::infinity();
  ASSERT_EQ(1, add_tensor(out.get(), "b", {3}, {ninf, ninf, ninf}));
  ASSERT_EQ(2, vexa_output_compute_top_k(out.get(), 1, 2, 0));
  EXPECT_EQ(0xFFFFFFFFu, vexa_output_top_class_id(out.get(), 0));
  EXPECT_EQ(-1e30f, vexa_output_top_score(out.get(), 1));

  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> mixed = {nan, 3.0f, nan, -2.0f, 3.0f, 7.0f, -1e30f, 0.0f};
  ASSERT_EQ(2, add_tensor(out.get(), "c", {8}, mixed));
  ASSERT_EQ(8, vexa_output_compute_top_k(out.get(), 2, 100, 0));
  const std::vector<uint32_t> want = reference_top(mixed, 8);
  for (int r = 0; r < 8; ++r) {
    const uint32_t expect = r < static_cast<int>(want.size()) ? want[r] : 0xFFFFFFFFu;
    EXPECT_EQ(expect, vexa_output_top_class_id(out.get(), r)) << r;
  }

  // Failures leave the previous list.
  EXPECT_EQ(0, vexa_output_compute_top_k(out.get(), 2, 0, 0));
  EXPECT_EQ(0, vexa_output_compute_top_k(out.get(), 7, 3, 0));
  EXPECT_EQ(0, vexa_output_compute_top_k(out.get(), -1, 3, 0));
  EXPECT_EQ(5u, vexa_output_top_class_id(out.get(), 0));
}

TEST(TopK, RandomAgainstReferenceAndCaps) {
  OutputPtr out = new_output();
  std::vector<float> v(1000);
  uint32_t s = 7;
  for (float& x : v) {
    s = s * 1103515245u + 12345u;
    x = static_cast<float>((s >> 16) % 50);  // many ties
  }
  ASSERT_EQ(0, add_tensor(out.get(), "x", {1, 1000}, v));
  ASSERT_EQ(256, vexa_output_compute_top_k(out.get(), 0, 1000, 0));
  const std::vector<uint32_t> want = reference_top(v, 256);
  for (int r = 0; r < 256; ++r) ASSERT_EQ(want[r], vexa_output_top_class_id(out.get(), r)) << r;

  ASSERT_EQ(1, add_tensor(out.get(), "y", {10}, std::vector<float>(10, 1.0f)));
  EXPECT_EQ(10, vexa_output_compute_top_k(out.get(), 1, 1000, 0));
}

TEST(TopK, BatchRuleAndSoftmax) {
  OutputPtr out = new_output();
  std::vector<float> batch4(4000, 0.0f);
  batch4[1500] = 9.0f;  // second item: never ranked
  batch4[3] = 1.0f;
  ASSERT_EQ(0, add_tensor(out.get(), "b4", {4, 1000}, batch4));
  ASSERT_EQ(1, vexa_output_compute_top_k(out.get(), 0, 1, 0));
  EXPECT_EQ(3u, vexa_output_top_class_id(out.get(), 0));
  // dims [3, 1000] with 3000 values ranks 1000; a batch that does not divide ranks everything.
  ASSERT_EQ(1, add_tensor(out.get(), "b3", {3, 1000}, std::vector<float>(3000, 1.0f)));
  EXPECT_EQ(256, vexa_output_compute_top_k(out.get(), 1, 300, 0));
  ASSERT_EQ(2, add_tensor(out.get(), "odd", {3, 5}, {0, 0, 0, 0, 5, 0, 0, 0, 0, 9, 0, 0, 0, 0, 9}));
  ASSERT_EQ(1, vexa_output_compute_top_k(out.get(), 2, 1, 0));
  EXPECT_EQ(4u, vexa_output_top_class_id(out.get(), 0));  // the first item is 5 values
  ASSERT_EQ(3, add_tensor(out.get(), "odd2", {4, 3}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0}));
  ASSERT_EQ(1, vexa_output_compute_top_k(out.get(), 3, 1, 0));
  EXPECT_EQ(10u, vexa_output_top_class_id(out.get(), 0));  // 14 values, batch 4: one item

  ASSERT_EQ(4, add_tensor(out.get(), "zeros", {2}, {0.0f, 0.0f}));
  ASSERT_EQ(2, vexa_output_compute_top_k(out.get(), 4, 2, 1));
  EXPECT_FLOAT_EQ(0.5f, vexa_output_top_score(out.get(), 0));
  EXPECT_FLOAT_EQ(0.5f, vexa_output_top_score(out.get(), 1));

  const std::vector<float> logits = {1.0f, 3.0f, 2.0f, -1.0f};
  ASSERT_EQ(5, add_tensor(out.get(), "l", {1, 4}, logits));
  ASSERT_EQ(3, vexa_output_compute_top_k(out.get(), 5, 3, 1));
  double sum = 0;
  for (float x : logits) sum += std::exp(double(x) - 3.0);
  EXPECT_NEAR(1.0 / sum, vexa_output_top_score(out.get(), 0), 1e-6);
  EXPECT_NEAR(std::exp(-1.0) / sum, vexa_output_top_score(out.get(), 1), 1e-6);
}

// ---- L2 and cosine ----

TEST(Embeddings, L2Normalisation) {
  OutputPtr out = new_output();
  ASSERT_EQ(0, add_tensor(out.get(), "e", {2}, {3.0f, 4.0f}));
  ASSERT_EQ(1, vexa_output_normalize_l2(out.get(), 0));
  EXPECT_FLOAT_EQ(0.6f, vexa_output_f32_ptr(out.get(), 0)[0]);
  EXPECT_FLOAT_EQ(0.8f, vexa_output_f32_ptr(out.get(), 0)[1]);

  ASSERT_EQ(1, add_tensor(out.get(), "z", {3}, {0.0f, 0.0f, 0.0f}));
  EXPECT_EQ(0, vexa_output_normalize_l2(out.get(), 1));
  EXPECT_EQ(0.0f, vexa_output_f32_ptr(out.get(), 1)[2]);

  // Batch of three: the second item is zero, so the first is normalised and the third is not.
  ASSERT_EQ(2, add_tensor(out.get(), "b", {3, 2}, {0.0f, 2.0f, 0.0f, 0.0f, 5.0f, 0.0f}));
  EXPECT_EQ(0, vexa_output_normalize_l2(out.get(), 2));
  const float* b = vexa_output_f32_ptr(out.get(), 2);
  EXPECT_EQ(1.0f, b[1]);
  EXPECT_EQ(5.0f, b[4]);
  EXPECT_EQ(0, vexa_output_normalize_l2(out.get(), 3));
}

TEST(Embeddings, CosineSimilarity) {
  OutputPtr a = new_output();
  OutputPtr b = new_output();
  const std::vector<float> x = {1.0f, 2.0f, 3.0f, -1.0f};
  const std::vector<float> y = {-2.0f, 0.5f, 1.0f, 4.0f};
  ASSERT_EQ(0, add_tensor(a.get(), "x", {4}, x));
  ASSERT_EQ(0, add_tensor(b.get(), "y", {4}, y));
  ASSERT_EQ(1, add_tensor(b.get(), "short", {3}, {1.0f, 2.0f, 3.0f}));
  ASSERT_EQ(2, add_tensor(b.get(), "zero", {4}, {0, 0, 0, 0}));
  double dot = 0, nx = 0, ny = 0;
  for (int i = 0; i < 4; ++i) {
    dot += double(x[i]) * y[i];
    nx += double(x[i]) * x[i];
    ny += double(y[i]) * y[i];
  }
  EXPECT_NEAR(dot / std::sqrt(nx * ny), vexa_output_cosine_similarity(a.get(), 0, b.get(), 0),
              1e-6);
  EXPECT_NEAR(1.0, vexa_output_cosine_similarity(a.get(), 0, a.get(), 0), 1e-6);
  EXPECT_EQ(0.0f, vexa_output_cosine_similarity(a.get(), 0, b.get(), 1));
  EXPECT_EQ(0.0f, vexa_output_cosine_similarity(a.get(), 0, b.get(), 2));
  EXPECT_EQ(0.0f, vexa_output_cosine_similarity(a.get(), 0, b.get(), 3));
  EXPECT_EQ(0.0f, vexa_output_cosine_similarity(a.get(), 0, nullptr, 0));

  // Batched: only the first item counts.
  OutputPtr c = new_output();
  ASSERT_EQ(0, add_tensor(c.get(), "p", {2, 2}, {1.0f, 0.0f, 5.0f, 5.0f}));
  ASSERT_EQ(1, add_tensor(c.get(), "q", {2, 2}, {1.0f, 0.0f, -5.0f, 7.0f}));
  EXPECT_NEAR(1.0, vexa_output_cosine_similarity(c.get(), 0, c.get(), 1), 1e-6);
}

// ---- tensor to frame ----

TEST(TensorToFrame, ConvertsPlanarTensors) {
  OutputPtr out = new_output();
  // [1, 3, 2, 2]: R plane, G plane, B plane.
  ASSERT_EQ(0, add_tensor(out.get(), "img", {1, 3, 2, 2},
                          {1.0f, 0.5f, -0.1f, 1.2f, 0.0f, 0.25f, 0.75f, 1.0f, 0.2f, 0.4f, 0.6f,
                           0.8f}));
  FramePtr f = new_frame();
  ASSERT_EQ(1, vexa_output_to_frame(out.get(), 0, f.get(), 255.0f, 0.0f));
  EXPECT_EQ(2u, vexa_frame_width(f.get()));
  EXPECT_EQ(2u, vexa_frame_height(f.get()));
  EXPECT_EQ(6u, vexa_frame_stride(f.get()));
  const uint8_t* p = vexa_frame_data_ptr(f.get());
  const uint8_t want[12] = {255, 0, 51, 128, 64, 102, 0, 191, 153, 255, 255, 204};
  for (int i = 0; i < 12; ++i) EXPECT_EQ(want[i], p[i]) << i;

  // Gray [1, 1, 8, 8] with offset: every channel equal.
  std::vector<float> gray(64);
  for (int i = 0; i < 64; ++i) gray[i] = static_cast<float>(i);
  ASSERT_EQ(1, add_tensor(out.get(), "gray", {1, 1, 8, 8}, gray));
  ASSERT_EQ(1, vexa_output_to_frame(out.get(), 1, f.get(), 2.0f, 100.0f));
  p = vexa_frame_data_ptr(f.get());
  EXPECT_EQ(8u, vexa_frame_width(f.get()));
  EXPECT_EQ(100, p[0]);
  EXPECT_EQ(102, p[3]);
  EXPECT_EQ(102, p[5]);
  EXPECT_EQ(226, p[63 * 3]);

  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(0, vexa::tensor_value_to_byte(nan, 1.0f, 0.0f));
  EXPECT_EQ(255, vexa::tensor_value_to_byte(254.5f, 1.0f, 0.0f));
  EXPECT_EQ(254, vexa::tensor_value_to_byte(254.49f, 1.0f, 0.0f));
  EXPECT_EQ(0, vexa::tensor_value_to_byte(-std::numeric_limits<float>::infinity(), 1.0f, 0.0f));
}

TEST(TensorToFrame, RefusesWhatIsNotAnImage) {
  OutputPtr out = new_output();
  ASSERT_EQ(0, add_tensor(out.get(), "chw", {2, 4, 4}, std::vector<float>(32, 0.5f)));
  ASSERT_EQ(1, add_tensor(out.get(), "flat", {1, 16}, std::vector<float>(16, 0.5f)));
  ASSERT_EQ(2, add_tensor(out.get(), "zero_h", {1, 3, 0, 4}, {}));
  ASSERT_EQ(3, add_tensor(out.get(), "neg_w", {3, 2, -4}, std::vector<float>(24, 0.5f)));
  // Dims that promise more values than the tensor holds.
  ASSERT_EQ(4, add_tensor(out.get(), "short", {1, 3, 100, 100}, std::vector<float>(10, 0.5f)));
  ASSERT_EQ(5, add_tensor(out.get(), "huge", {1, 3, INT64_MAX / 2, INT64_MAX / 2},
                          std::vector<float>(12, 0.5f)));
  ASSERT_EQ(6, add_tensor(out.get(), "ok", {3, 1, 1}, {0.0f, 1.0f, 0.5f}));
  rec(out.get())->tensors[6].f32_data[0] = 0.0f;
  struct Case {
    int32_t tensor;
    const char* message;
  };
  const Case cases[] = {
      {0, "Output tensor channels must be 1 or 3"},
      {1, "Output tensor is not an image tensor"},
      {2, "Output tensor channels must be 1 or 3"},
      {3, "Output tensor channels must be 1 or 3"},
      {4, "Output tensor is not an image tensor"},
      {5, "Output tensor channels must be 1 or 3"},
      {7, "Invalid Output handle or tensor_idx"},
      {-1, "Invalid Output handle or tensor_idx"},
  };
  FramePtr f = new_frame();
  ASSERT_EQ(1, vexa_output_to_frame(out.get(), 6, f.get(), 255.0f, 0.0f));
  const uint8_t* before = vexa_frame_data_ptr(f.get());
  for (const Case& c : cases) {
    EXPECT_EQ(0, vexa_output_to_frame(out.get(), c.tensor, f.get(), 255.0f, 0.0f)) << c.tensor;
    EXPECT_EQ(1u, vexa_frame_error_code(f.get()));
    EXPECT_EQ(c.message, frame_message(f.get())) << c.tensor;
    EXPECT_EQ(before, vexa_frame_data_ptr(f.get()));
  }
  EXPECT_EQ(0, vexa_output_to_frame(out.get(), 0, nullptr, 1.0f, 0.0f));

  vexa::api_test_fail_allocation(1);
  EXPECT_EQ(0, vexa_output_to_frame(out.get(), 6, f.get(), 255.0f, 0.0f));
  EXPECT_EQ("Out of memory allocating output Frame", frame_message(f.get()));
  vexa::api_test_fail_allocation(2);
  EXPECT_EQ(0, vexa_output_to_frame(out.get(), 6, f.get(), 255.0f, 0.0f));
  vexa::api_test_fail_allocation(0);
  EXPECT_EQ(7u, vexa_frame_error_code(f.get()));
  EXPECT_EQ("Out of memory allocating FramePixelBuffer", frame_message(f.get()));
  EXPECT_EQ(before, vexa_frame_data_ptr(f.get()));
}
