#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include "core/container_access.h"
#include "tests/core/container_fixture.h"
#include "tests/core/inherit_probe.h"

namespace vexa {
namespace {

using testing::SampleModel;

std::filesystem::path temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vexa-core-XXXXXX").string();
  const char* made = mkdtemp(pattern.data());
  return made != nullptr ? std::filesystem::path(made) : std::filesystem::path();
}

struct Opened {
  OpenResult r;
  ~Opened() {
    if (r.ok()) container_close(&r.container);
  }
};

float f32_at(const std::vector<uint8_t>& memory, uint64_t offset, uint64_t i) {
  float v;
  std::memcpy(&v, memory.data() + offset + 4 * i, 4);
  return v;
}

// Every tensor, read back through the plan, must equal what was written, value for value.
void expect_sample_weights(const OpenContainer& c, const SampleModel& m) {
  ASSERT_NE(c.plan, nullptr);
  ASSERT_EQ(c.plan_count, 4u);
  std::vector<uint8_t> memory;
  ASSERT_TRUE(testing::load_weights(c, &memory));
  const std::vector<float> f16_expected = testing::half_bits_reference(m.f16_bits);
  const std::vector<float>* expected[] = {&m.f32_values, &f16_expected, &m.q8.values};
  for (uint64_t j = 0; j < 3; ++j) {
    const WeightView v = container_weight_view(&c, j);
    ASSERT_EQ(v.dtype, 2u) << j;
    ASSERT_EQ(v.element_count, expected[j]->size()) << j;
    for (uint64_t i = 0; i < v.element_count; ++i) {
      const float got = f32_at(memory, v.relative_offset, i);
      const float want = (*expected[j])[i];
      ASSERT_EQ(std::memcmp(&got, &want, 4), 0) << "tensor " << j << " element " << i;
    }
  }
  const WeightView s = container_weight_view(&c, 3);
  ASSERT_EQ(s.element_count, 1u);
  EXPECT_EQ(f32_at(memory, s.relative_offset, 0), m.scalar);
  EXPECT_TRUE(container_verify_tensors(&c, memory.data()));
}

void expect_sample_metadata(const OpenContainer& c) {
  EXPECT_EQ(meta_get_str(&c, "task", "?"), "classification");
  const std::string_view empty = meta_get_str(&c, "empty", "default");
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_NE(empty.data(), std::string_view("default").data());
  EXPECT_EQ(meta_get_f64(&c, "threshold", 0.0), 0.375);
  EXPECT_EQ(meta_get_i64(&c, "classes", 0), -1000);
  EXPECT_TRUE(meta_get_bool(&c, "fp16_safe", false));
  // Types are never converted.
  EXPECT_EQ(meta_get_f64(&c, "classes", 2.5), 2.5);
  EXPECT_FALSE(meta_get_bool(&c, "task", false));
  EXPECT_EQ(meta_get_str(&c, "threshold", "d"), "d");
  // Exact keys only.
  EXPECT_EQ(meta_get_str(&c, "TASK", "d"), "d");
  EXPECT_FALSE(meta_find(&c, "task", 5, nullptr));
  EXPECT_FALSE(meta_find(&c, "", 0, nullptr));

  EXPECT_EQ(meta_get_str_list_item(&c, "labels", 6, 0), "a");
  const std::string_view second = meta_get_str_list_item(&c, "labels", 6, 1);
  EXPECT_EQ(second.size(), 0u);
  EXPECT_EQ(meta_get_str_list_item(&c, "labels", 6, 2), "b");
  EXPECT_EQ(meta_get_str_list_item(&c, "labels", 6, 3), "");

  uint64_t count = 99;
  const uint8_t* mean = meta_get_f32_array(&c, "mean", 4, &count);
  ASSERT_NE(mean, nullptr);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(meta_f32_at(mean, 0), 0.485f);
  EXPECT_EQ(meta_f32_at(mean, 2), 0.406f);
  EXPECT_EQ(meta_get_f32_array(&c, "task", 4, &count), nullptr);
  EXPECT_EQ(count, 0u);

  MetaEntry e{};
  ASSERT_TRUE(meta_find(&c, "blob", &e));
  EXPECT_EQ(e.value_type, 7u);
  ASSERT_EQ(e.value_length, 3u);
  const uint8_t* blob = meta_value_ptr(&c, e);
  ASSERT_NE(blob, nullptr);
  EXPECT_EQ(blob[0], 1);
  EXPECT_EQ(blob[1], 0);
  EXPECT_EQ(blob[2], 2);
  // The key's value follows its key in the pool.
  EXPECT_EQ(e.value, e.key_offset + e.key_length + 1);

  ASSERT_TRUE(meta_find(&c, "fp16_safe", &e));
  EXPECT_EQ(e.flags, kMetaFlagImmutable);
  EXPECT_EQ(meta_live_count(&c), 8u);
  EXPECT_EQ(meta_count(&c), 8u + kMetaSpareEntries);
}

void expect_sample_graph(const OpenContainer& c) {
  ASSERT_EQ(container_node_count(&c), 1u);
  ASSERT_EQ(container_value_count(&c), 6u);
  const GraphNode n = container_read_node(&c, 0);
  EXPECT_EQ(op_kind_name(n.op_kind), "Gemm");
  EXPECT_EQ(n.input_count, 2u);
  EXPECT_EQ(n.inputs[1], 3u);
  EXPECT_EQ(n.outputs[0], 5u);
  EXPECT_EQ(n.words()[15], 1u);
  const GraphValue in = container_read_value(&c, 0);
  EXPECT_EQ(pool_string(&c, in.name_offset, in.name_length), "input");
  EXPECT_EQ(in.kind, 1u);
  // The Q8 weight value became f32 with the plan and points at its expanded copy.
  const GraphValue q = container_read_value(&c, 3);
  EXPECT_EQ(pool_string(&c, q.name_offset, q.name_length), "proj.weight");
  EXPECT_EQ(q.dtype, 2u);
  EXPECT_EQ(q.byte_size, 1200u);
  EXPECT_EQ(q.data_offset, c.plan[2].f32_offset);
  // Out-of-range indices read as zero records.
  EXPECT_EQ(container_read_node(&c, 7).op_kind, 0u);
  // The aux entry sits inside section 1's data.
  const auto aux = load_record<AuxEntry>(c.image + container_entry_offset(&c, kSectionAux, 0));
  const uint64_t s1 = container_section_offset(&c, kSectionMetaKv);
  EXPECT_GT(aux.name_offset, s1 + kSectionHeaderBytes);
  EXPECT_LT(aux.blob_offset + aux.blob_size, s1 + container_section_size(&c, kSectionMetaKv) + 1);
  EXPECT_STREQ(reinterpret_cast<const char*>(c.image + aux.name_offset), "config.json");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.image + aux.blob_offset), aux.blob_size),
            "{\"a\":1}");
}

TEST(ContainerRoundTrip, PathOpenReadsEverythingBack) {
  const SampleModel m = testing::make_sample();
  ASSERT_FALSE(m.bytes.empty());
  const auto dir = temp_dir();
  const std::string path = (dir / "sample.vexa").string();
  ContainerWriter w;
  SampleModel again;
  testing::fill_sample(&w, &again);
  std::string error;
  ASSERT_TRUE(w.write_to_path(path, &error)) << error;
  // The file on disk is the same image as the in-memory one; no temporary is left behind.
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> disk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(disk, m.bytes);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);

  Opened o{container_open_path(path.data(), path.size())};
  ASSERT_TRUE(o.r.ok()) << pack_status_text(static_cast<uint32_t>(o.r.status));
  EXPECT_EQ(o.r.container.base_offset, 0u);
  EXPECT_EQ(o.r.container.image_size, o.r.container.weights_offset);
  expect_sample_weights(o.r.container, m);
  expect_sample_metadata(o.r.container);
  expect_sample_graph(o.r.container);
  std::filesystem::remove_all(dir);
}

// The writer's temporary file is never inheritable by a child forked on another thread.
TEST(ContainerRoundTrip, WrittenFileIsNeverInheritable) {
  const auto dir = temp_dir();
  const std::string path = (dir / "sample.vexa").string();
  ContainerWriter w;
  SampleModel m;
  testing::fill_sample(&w, &m);
  const auto write = [&] {
    std::string error;
    (void)w.write_to_path(path, &error);
  };
  const testing::InheritTarget target{0, 0, dir.string() + "/"};
  EXPECT_EQ(testing::count_inheritable_copies(target, write, std::chrono::milliseconds(300)), 0);
  std::filesystem::remove_all(dir);
}

TEST(ContainerRoundTrip, EmbeddedDescriptorRangeWithAndWithoutPlan) {
  const SampleModel m = testing::make_sample();
  constexpr uint64_t kPrefix = 12345;
  const int fd = testing::memory_file(m.bytes, kPrefix, 777);
  ASSERT_GE(fd, 0);
  {
    Opened o{container_open_fd(fd, kPrefix, m.bytes.size(), kOpenFlagPlanF32)};
    ASSERT_TRUE(o.r.ok()) << o.r.status;
    EXPECT_EQ(o.r.container.base_offset, kPrefix);
    expect_sample_weights(o.r.container, m);
    expect_sample_metadata(o.r.container);
  }
  {
    // Without the plan the stored types stay and the weights load as the file lays them out.
    Opened o{container_open_fd(fd, kPrefix, m.bytes.size(), 0)};
    ASSERT_TRUE(o.r.ok());
    const OpenContainer& c = o.r.container;
    EXPECT_EQ(c.plan, nullptr);
    const WeightView q = container_weight_view(&c, 2);
    EXPECT_EQ(q.dtype, 4u);
    EXPECT_EQ(q.rows, 3u);
    EXPECT_EQ(q.row_length, 100u);
    EXPECT_EQ(q.stored_size, 3u * 136u);
    EXPECT_EQ(q.f32_size, 1200u);
    std::vector<uint8_t> memory;
    ASSERT_TRUE(testing::load_weights(c, &memory));
    EXPECT_TRUE(container_verify_tensors(&c, memory.data()));
    std::vector<float> decoded(300);
    ASSERT_TRUE(weights_decode_f32(4, 3, 100, memory.data() + q.relative_offset, decoded.data()));
    EXPECT_EQ(decoded, m.q8.values);
    const WeightView h = container_weight_view(&c, 1);
    std::vector<float> halves(28);
    ASSERT_TRUE(weights_decode_f32(1, h.rows, h.row_length, memory.data() + h.relative_offset,
                                   halves.data()));
    EXPECT_EQ(halves, testing::half_bits_reference(m.f16_bits));
  }
  // The caller's descriptor is the caller's: the container keeps a duplicate.
  Opened o{container_open_fd(fd, kPrefix, m.bytes.size(), kOpenFlagPlanF32)};
  close(fd);
  ASSERT_TRUE(o.r.ok());
  EXPECT_GE(fcntl(o.r.container.fd, F_GETFD) & FD_CLOEXEC, 1);
  std::vector<uint8_t> memory;
  EXPECT_TRUE(testing::load_weights(o.r.container, &memory));
}

// A child forked while another thread opens a container must never inherit the container's
// descriptor: the duplicate has to carry close-on-exec from the moment it exists.
TEST(ContainerRoundTrip, DuplicateIsNeverInheritableEvenForAnInstant) {
  const SampleModel m = testing::make_sample();
  const int fd = testing::memory_file(m.bytes);
  ASSERT_GE(fd, 0);
  struct stat source {};
  ASSERT_EQ(fstat(fd, &source), 0);
  const auto open_and_close = [&] {
    OpenResult r = container_open_fd(fd, 0, m.bytes.size(), 0);
    if (r.ok()) container_close(&r.container);
  };
  const testing::InheritTarget target{source.st_dev, source.st_ino, {}};
  EXPECT_EQ(testing::count_inheritable_copies(target, open_and_close,
                                              std::chrono::milliseconds(300)),
            0);
  close(fd);
}

TEST(ContainerRoundTrip, FlippedWeightByteFailsVerification) {
  const SampleModel m = testing::make_sample();
  const uint64_t w = load_record<ContainerHeader>(m.bytes.data()).weights_offset;
  // A byte inside a tensor and a byte inside a tensor's zero padding.
  for (const uint64_t at : {w + 5, w + 16384 + 20, w + 3 * 16384 + 9000}) {
    std::vector<uint8_t> bad = m.bytes;
    bad[at] ^= 0x10;
    const int fd = testing::memory_file(bad);
    for (const uint32_t flags : {0u, kOpenFlagPlanF32}) {
      Opened o{container_open_fd(fd, 0, bad.size(), flags)};
      ASSERT_TRUE(o.r.ok()) << "weights are not read at open";
      std::vector<uint8_t> memory;
      const bool loaded = testing::load_weights(o.r.container, &memory);
      if (flags == 0) {
        ASSERT_TRUE(loaded);
      }
      EXPECT_FALSE(container_verify_tensors(&o.r.container, memory.data()))
          << "offset " << at << " flags " << flags;
    }
    close(fd);
  }
}

TEST(ContainerRoundTrip, DigestsUseLowThenHighLittleEndian) {
  const SampleModel m = testing::make_sample();
  const uint8_t* image = m.bytes.data();
  uint8_t header[512];
  std::memcpy(header, image, 512);
  std::memset(header + 256, 0, 16);
  const XXH128_hash_t h = XXH3_128bits(header, 512);
  uint8_t expected[16];
  for (int i = 0; i < 8; ++i) {
    expected[i] = static_cast<uint8_t>(h.low64 >> (8 * i));
    expected[8 + i] = static_cast<uint8_t>(h.high64 >> (8 * i));
  }
  EXPECT_EQ(std::memcmp(image + 256, expected, 16), 0);
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, h);
  EXPECT_NE(std::memcmp(image + 256, canonical.digest, 16), 0);

  const auto hdr = load_record<ContainerHeader>(image);
  const XXH128_hash_t body = XXH3_128bits(image + 512, hdr.weights_offset - 512);
  EXPECT_EQ(load_record<uint64_t>(image + 240), body.low64);
  EXPECT_EQ(load_record<uint64_t>(image + 248), body.high64);

  // Tensor 2 (Q8) digest over its padded bytes; the last digest entry is zero.
  const uint64_t digests = hdr.sections[kSectionDigests].offset + 32;
  const uint64_t t2 = hdr.weights_offset + 2 * 16384;
  const XXH128_hash_t tensor = XXH3_128bits(image + t2, 16384);
  EXPECT_EQ(load_record<uint64_t>(image + digests + 32), tensor.low64);
  EXPECT_EQ(load_record<uint64_t>(image + digests + 40), tensor.high64);
  EXPECT_EQ(load_record<uint64_t>(image + digests + 64), 0u);
  EXPECT_EQ(load_record<uint64_t>(image + digests + 72), 0u);

  // The weights fold is the XOR of every 32-bit word of the weights region.
  uint32_t fold = 0;
  for (uint64_t i = hdr.weights_offset; i + 4 <= m.bytes.size(); i += 4) fold ^= load_record<uint32_t>(image + i);
  EXPECT_EQ(hdr.weights_fold, fold);
}

TEST(ContainerWriterLayout, SectionsFollowTheWritingRules) {
  const SampleModel m = testing::make_sample();
  const auto h = load_record<ContainerHeader>(m.bytes.data());
  EXPECT_EQ(h.magic, 0x41584556u);
  EXPECT_EQ(std::memcmp(m.bytes.data(), "VEXA\0\0\0\0", 8), 0);
  EXPECT_EQ(h.sections[0].offset, 512u);
  uint64_t end = 512;
  for (uint64_t i = 0; i < kSectionCount; ++i) {
    EXPECT_EQ(h.sections[i].offset, end) << i;
    const auto sh = load_record<SectionHeader>(m.bytes.data() + h.sections[i].offset);
    EXPECT_EQ(sh.entry_size, kSectionEntrySizes[i]) << i;
    if (i != kSectionMetaKv) {
      EXPECT_EQ(h.sections[i].size, (32 + sh.entry_count * sh.entry_size + 63) / 64 * 64) << i;
    }
    end = h.sections[i].offset + h.sections[i].size;
  }
  EXPECT_EQ(h.weights_offset, (end + 16383) / 16384 * 16384);
  EXPECT_EQ(h.container_length, m.bytes.size());
  EXPECT_EQ(h.weights_size, 4u * 16384u);
  // One group, two load steps, a spare tail in the pool and 64 spare metadata slots.
  const auto steps = load_record<SectionHeader>(m.bytes.data() + h.sections[kSectionLoadSteps].offset);
  EXPECT_EQ(steps.entry_count, 2u);
}

TEST(ContainerWriterLayout, LargerEntrySizesAndSeveralGroupsAreAccepted) {
  ContainerWriter w;
  ASSERT_TRUE(w.set_entry_size(kSectionMetaKv, 80));
  ASSERT_TRUE(w.set_entry_size(kSectionTensors, 200));
  ASSERT_TRUE(w.set_entry_size(kSectionGroups, 96));
  EXPECT_FALSE(ContainerWriter().set_entry_size(kSectionDigests, 32));
  const float a[3] = {1, 2, 3};
  const float b[5000] = {};
  const uint64_t dims_a[] = {3};
  const uint64_t dims_b[] = {50, 100};
  w.add_tensor_f32("a", dims_a, a);
  w.begin_group();
  w.add_tensor_f32("b", dims_b, b);
  w.add_tensor_f32("c", dims_a, a);
  w.set_meta_string("task", "detect");
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(w.write_to_memory(&bytes, &error)) << error;
  const int fd = testing::memory_file(bytes);
  Opened o{container_open_fd(fd, 0, bytes.size(), kOpenFlagPlanF32)};
  close(fd);
  ASSERT_TRUE(o.r.ok()) << o.r.status;
  const OpenContainer& c = o.r.container;
  EXPECT_EQ(container_section_count(&c, kSectionGroups), 2u);
  EXPECT_EQ(meta_get_str(&c, "task", ""), "detect");
  EXPECT_EQ(c.plan, nullptr) << "all-f32 and graphless models need no plan";
  std::vector<uint8_t> memory;
  ASSERT_TRUE(testing::load_weights(c, &memory));
  EXPECT_TRUE(container_verify_tensors(&c, memory.data()));
  EXPECT_EQ(f32_at(memory, container_weight_view(&c, 2).relative_offset, 2), 3.0f);
}

TEST(ContainerWriterLayout, EntrySizesWhoseSectionSizeWrapsAreRefused) {
  const float v[1] = {};
  GraphNode node{};
  node.output_count = 1;
  // Two or four entries of these strides add up to exactly 2^64 bytes.
  const struct {
    uint64_t entry_size;
    int nodes;
  } cases[] = {{uint64_t{1} << 63, 2}, {uint64_t{1} << 62, 4}, {uint64_t{1} << 62, 1}};
  for (const auto& c : cases) {
    ContainerWriter w;
    ASSERT_TRUE(w.set_entry_size(kSectionNodes, c.entry_size));
    w.add_tensor_f32("x", {}, v);
    for (int k = 0; k < c.nodes; ++k) w.add_node(node);
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_FALSE(w.write_to_memory(&bytes, &error)) << c.entry_size << " x " << c.nodes;
    EXPECT_EQ(error, "metadata region exceeds 64 MiB");
  }
}

TEST(ContainerWriterLayout, GenerativeSectionSizesGetNoPlan) {
  ContainerWriter w;
  ASSERT_TRUE(w.set_entry_size(kSectionNodes, 264));
  SampleModel m;
  testing::fill_sample(&w, &m);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(w.write_to_memory(&bytes, nullptr));
  const int fd = testing::memory_file(bytes);
  Opened o{container_open_fd(fd, 0, bytes.size(), kOpenFlagPlanF32)};
  close(fd);
  ASSERT_TRUE(o.r.ok());
  EXPECT_EQ(o.r.container.plan, nullptr);
  EXPECT_EQ(container_weight_view(&o.r.container, 2).dtype, 4u);
}

TEST(ContainerWriterLayout, MistakesAreReportedNotWritten) {
  const float v[4] = {};
  struct Case {
    const char* what;
    void (*make)(ContainerWriter*, const float*);
  } cases[] = {
      {"empty", [](ContainerWriter*, const float*) {}},
      {"zero dim", [](ContainerWriter* w, const float* d) {
         const uint64_t dims[] = {2, 0};
         w->add_tensor_f32("x", dims, d);
       }},
      {"rank 7", [](ContainerWriter* w, const float* d) {
         const uint64_t dims[] = {1, 1, 1, 1, 1, 1, 1};
         w->add_tensor_f32("x", dims, d);
       }},
      {"nul name", [](ContainerWriter* w, const float* d) {
         w->add_tensor_f32(std::string_view("a\0b", 3), {}, d);
       }},
      {"bad node", [](ContainerWriter* w, const float* d) {
         w->add_tensor_f32("x", {}, d);
         GraphNode n{};
         n.output_count = 5;
         w->add_node(n);
       }},
      {"empty key", [](ContainerWriter* w, const float* d) {
         w->add_tensor_f32("x", {}, d);
         w->set_meta_i64("", 1);
       }},
  };
  for (const Case& c : cases) {
    ContainerWriter w;
    c.make(&w, v);
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_FALSE(w.write_to_memory(&bytes, &error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
    EXPECT_FALSE(w.write_to_path("/nonexistent-dir/x.vexa", &error)) << c.what;
  }
  ContainerWriter w;
  w.add_tensor_f32("x", {}, v);
  std::string error;
  EXPECT_FALSE(w.write_to_path("/nonexistent-dir/x.vexa", &error));
  EXPECT_NE(error.find("temporary"), std::string::npos) << error;
}

// The accessors guard what validation does not: the image is edited after opening to forge
// records that a file could never carry past the table walk.
TEST(ContainerAccessors, DuplicateKeysMissingMetadataAndOversizedViews) {
  const SampleModel m = testing::make_sample();
  const int fd = testing::memory_file(m.bytes);
  Opened o{container_open_fd(fd, 0, m.bytes.size(), 0)};
  close(fd);
  ASSERT_TRUE(o.r.ok());
  OpenContainer& c = o.r.container;

  // A second "task" slot after the live ones, holding the value of "empty": the lower index
  // wins, and emptying it (type 0) exposes the other.
  MetaEntry first{};
  MetaEntry other{};
  ASSERT_TRUE(meta_find(&c, "task", &first));
  ASSERT_TRUE(meta_find(&c, "empty", &other));
  const uint64_t live = meta_live_count(&c);
  uint64_t first_slot = 0;
  while (meta_entry_at(&c, first_slot).key_offset != first.key_offset) ++first_slot;
  MetaEntry twin = first;
  twin.value = other.value;
  twin.value_length = other.value_length;
  store_record(c.image + container_entry_offset(&c, kSectionMetaKv, live), twin);
  EXPECT_EQ(meta_live_count(&c), live + 1);
  EXPECT_EQ(meta_get_str(&c, "task", "d"), "classification");
  first.value_type = 0;
  store_record(c.image + container_entry_offset(&c, kSectionMetaKv, first_slot), first);
  const std::string_view exposed = meta_get_str(&c, "task", "d");
  EXPECT_EQ(exposed.size(), 0u);
  EXPECT_NE(exposed.data(), std::string_view("d").data());

  // Dims (3, 2^31) pass no element bound; a size or row-bytes field that disagrees with the
  // shape, or bytes past the weight memory, give the all-zero view.
  const uint64_t at = container_entry_offset(&c, kSectionTensors, 0);
  const TensorRecord saved = load_record<TensorRecord>(c.image + at);
  auto view_with = [&](auto edit) {
    TensorRecord t = saved;
    edit(t);
    store_record(c.image + at, t);
    const WeightView v = container_weight_view(&c, 0);
    store_record(c.image + at, saved);
    return v.dtype | v.rows | v.row_length | v.element_count | v.stored_size | v.f32_size |
           v.absolute_offset | v.relative_offset;
  };
  EXPECT_NE(view_with([](TensorRecord&) {}), 0u);
  // Sizes consistent with the oversized shapes and a weight memory large enough, so only the
  // element bound can refuse them.
  const uint64_t data_size = c.weights_data_size;
  c.weights_data_size = uint64_t{1} << 40;
  EXPECT_EQ(view_with([](TensorRecord& t) {
              t.rank = 2;
              t.dims[0] = 3;
              t.dims[1] = uint64_t{1} << 31;
              t.dims[2] = 0;
              t.row_bytes = uint64_t{1} << 33;
              t.size = 3 * t.row_bytes;
            }), 0u);
  EXPECT_EQ(view_with([](TensorRecord& t) {
              t.rank = 1;
              t.dims[0] = uint64_t{1} << 31;
              t.dims[1] = t.dims[2] = 0;
              t.row_bytes = uint64_t{1} << 33;
              t.size = t.row_bytes;
            }), 0u);
  EXPECT_NE(view_with([](TensorRecord& t) {
              t.rank = 1;
              t.dims[0] = (uint64_t{1} << 31) - 1;
              t.dims[1] = t.dims[2] = 0;
              t.row_bytes = 4 * t.dims[0];
              t.size = t.row_bytes;
            }), 0u);
  c.weights_data_size = data_size;
  EXPECT_EQ(view_with([](TensorRecord& t) { t.size += 4; }), 0u);
  EXPECT_EQ(view_with([](TensorRecord& t) { t.row_bytes = 4; }), 0u);
  EXPECT_EQ(view_with([&](TensorRecord& t) { t.relative_offset = c.weights_data_size - 16; }), 0u);
  EXPECT_EQ(view_with([](TensorRecord& t) { t.dtype = 3; }), 0u);
  EXPECT_EQ(container_weight_view(&c, container_tensor_count(&c)).dtype, 0u);
  // A Q8 (4, 100) tensor: 4 rows of two 68-byte blocks.
  const WeightView q = container_weight_view(&c, 2);
  const uint64_t q_at = container_entry_offset(&c, kSectionTensors, 2);
  TensorRecord q4 = load_record<TensorRecord>(c.image + q_at);
  q4.dims[0] = 4;
  q4.size = 4 * 136;
  store_record(c.image + q_at, q4);
  const WeightView v = container_weight_view(&c, 2);
  EXPECT_EQ(v.dtype, 4u);
  EXPECT_EQ(v.rows, 4u);
  EXPECT_EQ(v.row_length, 100u);
  EXPECT_EQ(v.element_count, 400u);
  EXPECT_EQ(v.stored_size, 544u);
  EXPECT_EQ(v.f32_size, 1600u);
  EXPECT_EQ(v.absolute_offset, q.absolute_offset);
  EXPECT_EQ(v.relative_offset, q.relative_offset);

  // Section 1 with 48-byte entries holds no key/value table: every getter gives its default.
  const uint64_t s1 = container_section_offset(&c, kSectionMetaKv);
  store_record(c.image + s1 + 8, uint64_t{48});
  EXPECT_EQ(meta_count(&c), 0u);
  EXPECT_EQ(meta_live_count(&c), 0u);
  EXPECT_EQ(meta_entry_at(&c, 0).value_type, 0u);
  EXPECT_FALSE(meta_find(&c, "empty", nullptr));
  EXPECT_EQ(meta_get_str(&c, "empty", "d"), "d");
  EXPECT_EQ(meta_get_f64(&c, "threshold", 1.5), 1.5);
  EXPECT_EQ(meta_get_i64(&c, "classes", 7), 7);
  EXPECT_TRUE(meta_get_bool(&c, "fp16_safe", true) && !meta_get_bool(&c, "fp16_safe", false));
  uint64_t count = 9;
  EXPECT_EQ(meta_get_f32_array(&c, "mean", 4, &count), nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(meta_get_str_list_item(&c, "labels", 6, 0), "");
}

TEST(ContainerRoundTrip, RankZeroTensorsExpandToOneElement) {
  ContainerWriter w;
  testing::Q8Tensor q = testing::make_q8(1, 1);
  const uint16_t half = 0xc500;  // -5
  w.add_tensor_q8("q", {}, q.blocks.data());
  w.add_tensor_f16("h", {}, &half);
  w.add_weight_value(0, "q");
  w.add_weight_value(1, "h");
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(w.write_to_memory(&bytes, nullptr));
  const int fd = testing::memory_file(bytes);
  Opened o{container_open_fd(fd, 0, bytes.size(), kOpenFlagPlanF32)};
  close(fd);
  ASSERT_TRUE(o.r.ok()) << o.r.status;
  const OpenContainer& c = o.r.container;
  ASSERT_EQ(c.plan_count, 2u);
  for (uint64_t k = 0; k < 2; ++k) {
    EXPECT_EQ(c.plan[k].rows, 1u);
    EXPECT_EQ(c.plan[k].row_length, 1u);
  }
  std::vector<uint8_t> memory;
  ASSERT_TRUE(testing::load_weights(c, &memory));
  EXPECT_EQ(f32_at(memory, c.plan[0].f32_offset, 0), q.values[0]);
  EXPECT_EQ(f32_at(memory, c.plan[1].f32_offset, 0), -5.0f);
  EXPECT_EQ(c.weights_data_size, 2u * 16384u);
}

}  // namespace
}  // namespace vexa
