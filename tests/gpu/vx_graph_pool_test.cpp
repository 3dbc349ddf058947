// The executor's activation pool, its dispatch primitive and the shape helpers.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "tests/gpu/vx_graph_test_util.h"

namespace {

using namespace vx_test;

std::unique_ptr<VXGraph> mini_graph(LoadedModel* m, uint64_t activation = 1) {
  m->load(MiniGraph().write());
  return m->graph(activation);
}

TEST(VXGraphPool, BucketsArePowersOfTwoFrom256Bytes) {
  LoadedModel m;
  auto g = mini_graph(&m);
  struct Case {
    std::vector<uint64_t> shape;
    uint64_t dtype;
    uint64_t bucket;
  };
  const Case cases[] = {
      {{1}, 1, 256},          {{129}, 2, 1024},     {{64}, 2, 256},     {{65}, 2, 512},
      {{0, 3, 512, 512}, 1, 256}, {{}, 3, 256},     {{33}, 3, 512},     {{2, 3, 4}, 1, 256},
      {{1, 1024, 1024}, 2, 4u << 20},
  };
  for (const Case& c : cases) {
    VXTensorPtr t = g->tensor(c.shape, c.dtype);
    EXPECT_EQ(t->buffer->length(), c.bucket) << c.shape.size() << " " << c.dtype;
    EXPECT_EQ(t->offset, 0u);
    EXPECT_EQ(t->dtype, c.dtype);
    EXPECT_EQ(t->shape, c.shape);
    EXPECT_FALSE(t->weight);
    EXPECT_EQ(t->cache_stride, 0u);
  }
  EXPECT_EQ(g->tensor({2, 3}, 1)->count, 6u);
  EXPECT_EQ(g->tensor({}, 1)->count, 1u);
  EXPECT_TRUE(raises([&] { g->tensor({1}, 0); }, "Tensor dtype"));
  EXPECT_TRUE(raises([&] { g->tensor({1}, 4); }, "Tensor dtype"));
  EXPECT_TRUE(raises([&] { g->tensor({1, 1, 1, 1, 1, 1, 1}, 1); }, "Tensor rank exceeds six"));
  EXPECT_TRUE(raises([&] { g->tensor({uint64_t{1} << 20, 1025}, 1); }, "Tensor too large"));
}

TEST(VXGraphPool, RecycledBuffersComeBackOnceAndOnlyForTheirBucket) {
  LoadedModel m;
  auto g = mini_graph(&m);
  VXTensorPtr a = g->tensor({100}, 2);  // 400 bytes: the 512 bucket
  const vexa::DeviceBuffer* buffer = a->buffer.get();
  g->recycle(a);
  g->recycle(a);  // already there
  EXPECT_EQ(g->free_buffer_count(), 1u);
  ASSERT_EQ(g->pool().count(512), 1u);
  EXPECT_EQ(g->pool().at(512).size(), 1u);
  // Another bucket allocates; the same bucket takes the pooled buffer and empties the pool.
  VXTensorPtr other = g->tensor({100}, 1);
  EXPECT_NE(other->buffer.get(), buffer);
  const uint64_t before = g->device()->current_allocated_size();
  VXTensorPtr b = g->tensor({2, 50}, 3 - 1);
  EXPECT_EQ(b->buffer.get(), buffer);
  EXPECT_EQ(g->device()->current_allocated_size(), before);
  EXPECT_EQ(g->pool().count(512), 0u);
  EXPECT_EQ(g->free_buffer_count(), 0u);
  VXTensorPtr c = g->tensor({100}, 2);
  EXPECT_NE(c->buffer.get(), buffer);
  EXPECT_GE(g->peak_metal_allocated_bytes(), g->device()->current_allocated_size());

  // Weight views, caches and null are never pooled.
  g->recycle(nullptr);
  g->recycle(g->weights()[0]);
  VXTensorPtr cache = g->tensor({1, 1, 4, 2}, 1);
  cache->cache_stride = 4;
  g->recycle(cache);
  EXPECT_EQ(g->free_buffer_count(), 0u);
  g->recycle(b);
  g->recycle(c);
  EXPECT_EQ(g->pool().at(512).size(), 2u);
  g->clear_pool();
  EXPECT_EQ(g->free_buffer_count(), 0u);
  EXPECT_TRUE(g->pool().empty());
}

TEST(VXGraphDispatch, BindsTensorsAroundTheParameterBlockAtTheirOffsets) {
  LoadedModel m;
  auto g = mini_graph(&m);
  // scatter reads x at 0, image rows at 1, writes y at 2 and reads positions at 4 (index 3 is
  // the parameter block). Tensors at non-zero offsets inside their buffers.
  auto offset_view = [&](VXTensorPtr t, uint64_t bytes) {
    auto v = std::make_shared<VXTensor>(*t);
    auto big = g->tensor({t->count + bytes}, t->dtype);
    std::memcpy(static_cast<uint8_t*>(big->buffer->contents()) + bytes, t->buffer->contents(),
                t->count * vexa::vx_element_bytes(t->dtype));
    v->buffer = big->buffer;
    v->offset = bytes;
    return v;
  };
  VXTensorPtr x = offset_view(upload_act(*g, {1, 3, 2}, {1, 2, 3, 4, 5, 6}), 16);
  VXTensorPtr rows = offset_view(upload_act(*g, {1, 2}, {7, 8}), 32);
  VXTensorPtr positions = offset_view(upload_i64(*g, {1}, {1}), 8);
  VXTensorPtr y = g->tensor({1, 3, 2}, 1);
  vexa::VXParams p{};
  p.u[0] = 6;
  p.u[1] = 2;
  p.u[2] = 1;
  std::vector<std::string> log;
  g->set_dispatch_log(&log);
  auto cb = g->queue()->command_buffer();
  g->kernel("scatter", {x.get(), rows.get(), y.get(), positions.get()}, p, 6, false, cb);
  g->kernel("scatter", {x.get(), rows.get(), y.get(), positions.get()}, p, 0, false, cb);
  cb->commit();
  ASSERT_EQ(cb->status(), vexa::CommandBufferStatus::kCompleted) << cb->error_message();
  EXPECT_EQ(read_floats(*y), (std::vector<float>{1, 2, 7, 8, 5, 6}));
  EXPECT_EQ(log, (std::vector<std::string>{"scatter"}));  // a count of 0 encodes nothing

  // A kernel that refuses its input fails the command buffer; it never succeeds quietly.
  auto bad = g->queue()->command_buffer();
  VXTensorPtr far = upload_i64(*g, {1}, {5});
  g->kernel("scatter", {x.get(), rows.get(), y.get(), far.get()}, p, 6, false, bad);
  bad->commit();
  EXPECT_EQ(bad->status(), vexa::CommandBufferStatus::kError);
  EXPECT_TRUE(raises([&] { g->kernel("no_such_kernel", {}, p, 1, false, cb); },
                     "Metal pipeline no_such_kernel: missing"));
  EXPECT_TRUE(raises([&] { g->kernel("scatter", {}, p, 1, false, nullptr); }, "Command encoder"));
  // A committed command buffer takes no more work.
  EXPECT_TRUE(raises([&] { g->kernel("scatter", {}, p, 1, false, cb); }, "Command encoder"));
}

TEST(VXGraphDispatch, GroupsAndGridsCoverTheirRows) {
  LoadedModel m;
  auto g = mini_graph(&m, vexa::kVXActivationF32);
  // The norm kernel runs one row per group: two groups normalise two rows.
  VXTensorPtr x = upload_act(*g, {2, 4}, {1, 1, 1, 1, 2, 2, 2, 2});
  VXTensorPtr w = upload_f16(*g, {4}, {1, 1, 1, 1});
  VXTensorPtr y = upload_act(*g, {2, 4}, {9, 9, 9, 9, 9, 9, 9, 9});
  vexa::VXParams p{};
  p.u[0] = 4;
  p.u[1] = 1;
  p.f[0] = 1e-6f;
  auto cb = g->queue()->command_buffer();
  g->kernel("norm", {x.get(), w.get(), y.get(), w.get()}, p, 1, true, cb);
  cb->commit();
  ASSERT_EQ(cb->status(), vexa::CommandBufferStatus::kCompleted) << cb->error_message();
  const std::vector<float> one = read_floats(*y);
  EXPECT_NEAR(one[0], 1.0f, 1e-5);
  EXPECT_EQ(one[4], 9.0f);  // the second row's group was not dispatched

  // A 2 x 1 grid of 32 x 32 tiles covers 33 output columns of a 2-row product.
  VXTensorPtr a = upload_act(*g, {2, 2}, {1, 2, 3, 4});
  std::vector<float> wv(33 * 2);
  for (size_t i = 0; i < wv.size(); ++i) wv[i] = static_cast<float>(i % 7);
  VXTensorPtr b = upload_f16(*g, {33, 2}, wv);
  VXTensorPtr out = g->tensor({2, 33}, 2);
  vexa::VXParams q{};
  q.u[0] = 2;
  q.u[1] = 33;
  q.u[2] = 2;
  auto cb2 = g->queue()->command_buffer();
  g->kernel_grid("matmul", {a.get(), b.get(), out.get(), b.get()}, q, {2, 1, 1}, 128, cb2);
  cb2->commit();
  ASSERT_EQ(cb2->status(), vexa::CommandBufferStatus::kCompleted) << cb2->error_message();
  const std::vector<float> r = read_floats(*out);
  for (uint64_t i = 0; i < 2; ++i) {
    for (uint64_t n = 0; n < 33; ++n) {
      const float ref = (i * 2 + 1) * wv[n * 2] + (i * 2 + 2) * wv[n * 2 + 1];
      EXPECT_EQ(r[i * 33 + n], ref) << i << " " << n;
    }
  }
}

TEST(VXShapeHelpers, CountsDimensionsAndAttributes) {
  using vexa::shape_element_count;
  const std::vector<uint64_t> empty;
  EXPECT_EQ(shape_element_count(empty), 1u);
  EXPECT_EQ(shape_element_count(std::vector<uint64_t>{3, 0, 5}), 0u);
  EXPECT_EQ(shape_element_count(std::vector<uint64_t>{1u << 15, 1u << 15}), 1u << 30);
  EXPECT_TRUE(raises([] { shape_element_count(std::vector<uint64_t>{1u << 15, (1u << 15) + 1}); },
                     "Tensor too large"));
  EXPECT_TRUE(raises([] { shape_element_count(std::vector<uint64_t>{(1u << 30) + 1}); }, "Invalid dimension"));
  EXPECT_TRUE(raises([] { shape_element_count(std::vector<uint64_t>{0, ~uint64_t{0}}); }, "Invalid dimension"));
  EXPECT_TRUE(raises([] { shape_element_count(std::vector<uint64_t>(7, 1)); }, "Tensor rank exceeds six"));
  EXPECT_EQ(shape_element_count(std::vector<uint64_t>(6, 2)), 64u);

  EXPECT_EQ(vexa::shape_last_dim(std::vector<uint64_t>{4, 9}), 9u);
  EXPECT_TRUE(raises([&] { vexa::shape_last_dim(empty); }, "Scalar not supported here"));
  EXPECT_EQ(vexa::shape_dim_at(std::vector<uint64_t>{4, 9}, 0), 4u);
  EXPECT_TRUE(raises([] { vexa::shape_dim_at(std::vector<uint64_t>{4, 9}, 2); }, "Rank mismatch"));

  EXPECT_EQ(vexa::real_attribute(std::bit_cast<uint64_t>(1e-5)), 1e-5);
  EXPECT_EQ(vexa::real_attribute_f32(std::bit_cast<uint64_t>(100000.0)), 100000.0f);
  for (double bad : {INFINITY, -INFINITY, NAN}) {
    EXPECT_TRUE(raises([&] { vexa::real_attribute(std::bit_cast<uint64_t>(bad)); }, "Invalid real attribute"));
  }
  EXPECT_TRUE(raises([] { vexa::real_attribute_f32(std::bit_cast<uint64_t>(1e300)); }, "Invalid real attribute"));
}

TEST(VXShapeHelpers, MetadataStrings) {
  const std::string image = std::string("\0abc\0d\xC3\xA9\0\xFF\0zz", 13);
  const auto* p = reinterpret_cast<const uint8_t*>(image.data());
  const uint64_t n = image.size();
  EXPECT_EQ(vexa::metadata_cstring(p, n, 1, 1, 11), "abc");
  EXPECT_EQ(vexa::metadata_cstring(p, n, 5, 1, 11), "d\xC3\xA9");
  EXPECT_EQ(vexa::metadata_cstring(p, n, 4, 1, 11), "");
  EXPECT_TRUE(raises([&] { vexa::metadata_cstring(p, n, 0, 1, 11); }, "String bounds"));
  EXPECT_TRUE(raises([&] { vexa::metadata_cstring(p, n, 11, 1, 11); }, "String bounds"));
  EXPECT_TRUE(raises([&] { vexa::metadata_cstring(p, n, 1, 1, 14); }, "String bounds"));
  EXPECT_TRUE(raises([&] { vexa::metadata_cstring(nullptr, 0, 0, 0, 0); }, "String bounds"));
  EXPECT_TRUE(raises([&] { vexa::metadata_cstring(p, n, 11, 1, 13); }, "Unterminated string"));
  EXPECT_TRUE(raises([&] { vexa::metadata_cstring(p, n, 5, 1, 7); }, "Unterminated string"));
  EXPECT_TRUE(raises([&] { vexa::metadata_cstring(p, n, 9, 1, 11); }, "Invalid UTF-8"));
}

}  // namespace
