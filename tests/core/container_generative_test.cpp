// The writer's generative layout, read back byte by byte: string area, executor graph section,
// named groups, an empty section 8 and asset blobs after the weights data.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/container.h"
#include "core/container_access.h"
#include "core/container_digest.h"
#include "core/container_writer.h"
#include "tests/core/container_fixture.h"

namespace vexa {
namespace {

uint64_t u64_at(const std::vector<uint8_t>& b, uint64_t offset) {
  uint64_t v;
  std::memcpy(&v, b.data() + offset, sizeof v);
  return v;
}

std::string cstring_at(const std::vector<uint8_t>& b, uint64_t offset) {
  return std::string(reinterpret_cast<const char*>(b.data() + offset));
}

struct Written {
  std::vector<uint8_t> bytes;
  std::vector<uint16_t> half;  // "embed" (3, 4)
  testing::Q8Tensor q8;        // "proj" (2, 70)
};

Written write_small_generative() {
  Written out;
  ContainerWriter w;
  w.set_generative();
  out.half.resize(12);
  for (size_t i = 0; i < out.half.size(); ++i) out.half[i] = static_cast<uint16_t>(0x3c00 + i);
  out.q8 = testing::make_q8(2, 70);
  const uint64_t embed_dims[] = {3, 4};
  const uint64_t proj_dims[] = {2, 70};
  w.begin_group("text.0");
  const uint64_t embed = w.add_tensor_f16("embed", embed_dims, out.half.data());
  w.begin_group("lm_head");
  const uint64_t proj = w.add_tensor_q8("proj", proj_dims, out.q8.blocks.data());
  EXPECT_EQ(embed, 0u);
  EXPECT_EQ(proj, 1u);
  w.add_exec_value({"input_ids", 3, 1, 0});
  w.add_exec_value({"embed", 1, 4, embed});
  w.add_exec_value({"proj", 4, 4, proj});
  w.add_exec_value({"logits", 1, 2, 0});
  w.add_exec_node({7, 0, {1, 0}, {3}, {64, 0x3ff0000000000000}});
  w.add_aux("config.json", "{\"a\":1}");
  w.add_aux("tokenizer.json", "{}");
  std::string error;
  EXPECT_TRUE(w.write_to_memory(&out.bytes, &error)) << error;
  return out;
}

TEST(GenerativeContainerWriter, OpensWithoutPlanAndKeepsStoredTypes) {
  Written g = write_small_generative();
  const int fd = testing::memory_file(g.bytes);
  OpenResult r = container_open_fd(fd, 0, g.bytes.size(), kOpenFlagPlanF32);
  close(fd);
  ASSERT_TRUE(r.ok()) << r.status;
  OpenContainer& c = r.container;
  EXPECT_EQ(c.plan, nullptr);
  EXPECT_EQ(container_section_count(&c, kSectionValues), 0u);
  EXPECT_EQ(container_value_count(&c), 0u) << "no graph values is what marks a generative model";
  EXPECT_EQ(container_section_stride(&c, kSectionNodes), 8u);
  EXPECT_EQ(container_section_stride(&c, kSectionMetaKv), 1u);
  EXPECT_EQ(container_weight_view(&c, 1).dtype, 4u);
  std::vector<uint8_t> memory;
  ASSERT_TRUE(testing::load_weights(c, &memory));
  EXPECT_TRUE(container_verify_tensors(&c, memory.data()));
  container_close(&c);
}

TEST(GenerativeContainerWriter, NamesBlobsAndGraphSectionSitWhereReadersLookForThem) {
  const Written g = write_small_generative();
  const std::vector<uint8_t>& b = g.bytes;
  const uint64_t w = u64_at(b, 48);
  const uint64_t length = u64_at(b, 32);
  ASSERT_EQ(length, b.size());
  EXPECT_EQ(u64_at(b, 56), length - w);

  // String area: section 1, from offset + 32 to offset + size.
  const uint64_t s1 = u64_at(b, 80);
  const uint64_t area_begin = s1 + 32;
  const uint64_t area_end = s1 + u64_at(b, 88);
  auto in_area = [&](uint64_t offset) { return offset >= area_begin && offset < area_end; };

  // Groups: first word is the absolute offset of the name.
  const uint64_t s4 = u64_at(b, 128);
  ASSERT_EQ(u64_at(b, s4 + 16), 2u);
  const uint64_t group_stride = u64_at(b, s4 + 8);
  const uint64_t g0 = u64_at(b, s4 + 32);
  const uint64_t g1 = u64_at(b, s4 + 32 + group_stride);
  ASSERT_TRUE(in_area(g0) && in_area(g1));
  EXPECT_EQ(cstring_at(b, g0), "text.0");
  EXPECT_EQ(cstring_at(b, g1), "lm_head");

  // Aux table: names in the area, blobs in [W + D, L), no all-zero entry.
  const uint64_t s9 = u64_at(b, 208);
  ASSERT_EQ(u64_at(b, s9 + 16), 2u);
  const uint64_t aux_stride = u64_at(b, s9 + 8);
  const uint64_t s5 = u64_at(b, 144);
  const uint64_t data_size = u64_at(b, s5 + 32 + 32);
  uint64_t expected_blob = w + data_size;
  const char* names[] = {"config.json", "tokenizer.json"};
  const char* blobs[] = {"{\"a\":1}", "{}"};
  for (uint64_t j = 0; j < 2; ++j) {
    const uint64_t e = s9 + 32 + aux_stride * j;
    ASSERT_TRUE(in_area(u64_at(b, e)));
    EXPECT_EQ(cstring_at(b, u64_at(b, e)), names[j]);
    EXPECT_EQ(u64_at(b, e + 16), expected_blob);
    const uint64_t size = u64_at(b, e + 24);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data() + expected_blob), size), blobs[j]);
    expected_blob += size;
  }
  EXPECT_EQ(expected_blob, length);

  // Graph section: header words, then node table at +96, values, ids, attributes.
  const uint64_t s6 = u64_at(b, 160);
  const uint64_t s6_end = s6 + u64_at(b, 168);
  EXPECT_EQ(u64_at(b, s6 + 32), 1u);
  EXPECT_EQ(u64_at(b, s6 + 40), 64u);
  const uint64_t nodes = u64_at(b, s6 + 48);
  EXPECT_EQ(nodes, s6 + 96);
  EXPECT_EQ(u64_at(b, s6 + 56), 4u);
  EXPECT_EQ(u64_at(b, s6 + 64), 96u);
  const uint64_t values = u64_at(b, s6 + 72);
  EXPECT_EQ(values, nodes + 64);
  const uint64_t ids = u64_at(b, s6 + 80);
  EXPECT_EQ(ids, values + 4 * 96);
  const uint64_t attrs = u64_at(b, s6 + 88);
  EXPECT_EQ(attrs, ids + 3 * 8);
  EXPECT_LE(attrs + 16, s6_end);

  EXPECT_EQ(u64_at(b, nodes + 0), 7u);
  EXPECT_EQ(u64_at(b, nodes + 16), 2u);
  EXPECT_EQ(u64_at(b, nodes + 24), 1u);
  const uint64_t list = u64_at(b, nodes + 32);
  EXPECT_EQ(u64_at(b, list), 1u);
  EXPECT_EQ(u64_at(b, list + 8), 0u);
  EXPECT_EQ(u64_at(b, list + 16), 3u);
  EXPECT_EQ(u64_at(b, nodes + 48), 16u);
  const uint64_t attr = u64_at(b, nodes + 40);
  EXPECT_EQ(u64_at(b, attr), 64u);
  EXPECT_EQ(u64_at(b, attr + 8), 0x3ff0000000000000u);

  const char* value_names[] = {"input_ids", "embed", "proj", "logits"};
  const uint64_t flags[] = {1, 4, 4, 2};
  const uint64_t dtypes[] = {3, 1, 4, 1};
  for (uint64_t v = 0; v < 4; ++v) {
    const uint64_t at = values + 96 * v;
    ASSERT_TRUE(in_area(u64_at(b, at)));
    EXPECT_EQ(cstring_at(b, u64_at(b, at)), value_names[v]);
    EXPECT_EQ(u64_at(b, at + 8), dtypes[v]);
    EXPECT_EQ(u64_at(b, at + 72), flags[v]);
  }
  EXPECT_EQ(u64_at(b, values + 96 * 2 + 80), 1u);

  // The header's fold covers the whole weights region, blobs included.
  EXPECT_EQ(u64_at(b, 272) & 0xffffffffu, xor_fold32(b.data() + w, length - w));
}

TEST(GenerativeContainerWriter, GraphModelRecordsAreRefused) {
  ContainerWriter w;
  w.set_generative();
  w.set_meta_string("task", "chat");
  EXPECT_TRUE(w.failed());
  ContainerWriter late;
  const float v[1] = {};
  late.add_tensor_f32("x", {}, v);
  late.set_generative();
  EXPECT_TRUE(late.failed());
  ContainerWriter graph;
  EXPECT_EQ(graph.add_exec_node({1, 0, {0}, {1}, {}}), kWriterInvalidIndex);
}

}  // namespace
}  // namespace vexa
