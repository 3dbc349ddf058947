// Model information read at inspect/open: descriptors, presets from metadata, backend
// preference, labels, the metadata cache, path resolution and refused descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "api/api_alloc.h"
#include "api/api_test_util.h"
#include "api/session_test_util.h"
#include "core/container_digest.h"

using namespace vexa_test;

namespace {

std::string affine_model(const TempDir& dir, const std::string& name = "model.vexa") {
  ModelBuilder m;
  build_affine(m, 3, 2, 2, {1, 2, 3}, {0, 0, 0});
  return m.write(dir, name);
}

using MetaWriter = void (*)(vexa::ContainerWriter&);

// The affine model with unit weights, carrying whatever metadata `meta` writes.
std::string unit_affine_model(const TempDir& dir, MetaWriter meta) {
  ModelBuilder m;
  build_affine(m, 3, 2, 2, {1, 1, 1}, {0, 0, 0});
  meta(m.writer());
  return m.write(dir);
}

}  // namespace

// Each allocation vexa_session_new makes (the record, then the registry entry) may fail: the
// call returns null and leaves no record behind, and the next call works.
TEST(SessionInfo, NewReleasesTheRecordWhenAnAllocationFails) {
  const int64_t live_before = vexa::pinned_record_live_count();
  for (const int64_t nth : {1, 2}) {
    SCOPED_TRACE(nth);
    vexa::api_test_fail_allocation(nth);
    vexa_session* s = vexa_session_new(nullptr);
    vexa::api_test_fail_allocation(0);
    EXPECT_EQ(s, nullptr);
    if (s != nullptr) vexa_session_free(s);
    EXPECT_EQ(vexa::pinned_record_live_count(), live_before);
  }
  SessionPtr s(vexa_session_new(nullptr));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(vexa::pinned_record_live_count(), live_before + 1);
}

TEST(SessionInfo, NewWithoutConfigDefaults) {
  SessionPtr s(vexa_session_new(nullptr));
  ASSERT_NE(s, nullptr);
  vexa::Session* r = rec(s.get());
  EXPECT_EQ(r->config.threads, 8u);
  EXPECT_EQ(vexa_session_requested_backend(s.get()), 0u);
  EXPECT_EQ(r->batch_size, 1u);
  EXPECT_EQ(r->context_length, 2048u);
  EXPECT_EQ(r->letterbox_pad, 114);
  EXPECT_EQ(r->source_fd, -1);
  EXPECT_EQ(r->container.fd, -1);
  uint32_t bits;
  std::memcpy(&bits, &r->norm_scale, 4);
  EXPECT_EQ(bits, 0x3B808081u);
  EXPECT_EQ(vexa_session_error_code(nullptr), 1u);
  EXPECT_EQ(std::string(vexa_session_error_message_ptr(nullptr)), "Null Session handle");
  EXPECT_EQ(vexa_session_error_message_len(nullptr), 19u);
}

TEST(SessionInfo, DescriptorsByPathAndByDescriptorRange) {
  TempDir dir;
  ModelBuilder m;
  build_affine(m, 3, 2, 2, {1, 2, 3}, {0, 0, 0}, 5);
  const std::vector<uint8_t> bytes = m.bytes();
  const std::string path = dir.file("m.vexa");
  ModelBuilder::write_bytes(path, bytes);
  // The same model 4096 bytes into a bigger file.
  std::vector<uint8_t> padded(4096 + bytes.size() + 100, 0xCD);
  std::fill(padded.begin(), padded.begin() + 4096, uint8_t{0xAB});
  std::copy(bytes.begin(), bytes.end(), padded.begin() + 4096);
  const std::string packed = dir.file("packed.bin");
  ModelBuilder::write_bytes(packed, padded);

  SessionPtr a = new_session();
  ASSERT_EQ(open_path(a.get(), path), 1) << session_message(a.get());
  SessionPtr b = new_session();
  const int fd = ::open(packed.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(vexa_session_open_fd(b.get(), fd, 4096, bytes.size()), 1) << session_message(b.get());
  ::close(fd);  // the session keeps its own descriptor

  for (vexa_session* s : {a.get(), b.get()}) {
    EXPECT_EQ(vexa_session_input_count(s), 1u);
    EXPECT_EQ(vexa_session_output_count(s), 2u);
    EXPECT_EQ(std::string(vexa_session_input_name_ptr(s, 0)), "x");
    EXPECT_EQ(vexa_session_input_dtype(s, 0), VEXA_DTYPE_F32);
    EXPECT_EQ(vexa_session_input_rank(s, 0), 4u);
    EXPECT_EQ(vexa_session_input_dim(s, 0, 1), 3);
    EXPECT_EQ(vexa_session_input_dim(s, 0, 4), -1);
    EXPECT_EQ(vexa_session_input_dim(s, 0, 6), -1);
    EXPECT_EQ(vexa_session_input_dim(s, 1, 0), -1);
    EXPECT_EQ(vexa_session_input_bytes(s, 0), 48u);
    EXPECT_EQ(std::string(vexa_session_output_name_ptr(s, 0)), "y");
    EXPECT_EQ(vexa_session_output_dtype(s, 0), VEXA_DTYPE_U8);
    EXPECT_EQ(vexa_session_output_bytes(s, 0), 12u);
    EXPECT_EQ(std::string(vexa_session_output_name_ptr(s, 1)), "z");
    EXPECT_EQ(vexa_session_output_name_len(s, 2), 0u);
    EXPECT_EQ(std::string(vexa_session_output_name_ptr(s, -1)), "");
    EXPECT_EQ(vexa_session_subgraph_count(s), 1);
    EXPECT_EQ(std::string(vexa_session_subgraph_name_ptr(s, 0)), "main");
    EXPECT_EQ(vexa_session_subgraph_name_len(s, 1), 0u);
    EXPECT_EQ(vexa_session_is_generative(s), 0);
    // AUTO takes the GPU backend first.
    EXPECT_EQ(vexa_session_active_backend(s), VEXA_BACKEND_GPU);
    EXPECT_GT(vexa_session_estimated_memory_bytes(s), 48u);
  }
  EXPECT_EQ(rec(b.get())->source_offset, 4096u);
  EXPECT_EQ(rec(b.get())->opened_from_fd, 1);
}

TEST(SessionInfo, BatchedDescriptorsAndUnnamedValues) {
  TempDir dir;
  ModelBuilder m;
  vexa::GraphValue in{};
  in.kind = 1;
  in.dtype = 2;
  in.rank = 4;
  const uint64_t dims[4] = {1, 3, 224, 224};
  std::memcpy(in.dims, dims, sizeof dims);
  in.element_count = 3 * 224 * 224;
  in.byte_size = 4 * in.element_count;
  const uint64_t x = m.raw_value(in, "");
  const uint64_t zero = m.weight({1}, {0.0f});
  const uint64_t y = m.output({1, 3, 224, 224}, "");
  m.node(vexa::OpKind::kAdd, {x, zero}, {y});
  const std::string path = m.write(dir);

  SessionPtr s = new_session();
  vexa_session_set_batch_size(s.get(), 4);
  ASSERT_EQ(vexa_session_inspect(s.get(), path.data(), path.size()), 1) << session_message(s.get());
  EXPECT_EQ(std::string(vexa_session_input_name_ptr(s.get(), 0)), "input");
  EXPECT_EQ(std::string(vexa_session_output_name_ptr(s.get(), 0)), "output");
  EXPECT_EQ(vexa_session_input_dim(s.get(), 0, 0), 4);
  EXPECT_EQ(vexa_session_input_bytes(s.get(), 0), 4u * 4 * 3 * 224 * 224);
  EXPECT_EQ(vexa_session_output_dim(s.get(), 0, 0), 4);
}

TEST(SessionInfo, RefusedSettingsAndDescriptors) {
  TempDir dir;
  const std::string path = affine_model(dir);
  struct Case {
    const char* what;
    uint32_t batch;
    const char* subgraph;
    uint32_t code;
    const char* message;
  };
  const Case cases[] = {
      {"batch 0", 0, "", 1, "Batch size must be between 1 and 64"},
      {"batch 65", 65, "", 1, "Batch size must be between 1 and 64"},
      {"subgraph case", 1, "Main", 12,
       "Requested subgraph is not present in this model; only 'main' is supported"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SessionPtr s = new_session();
    vexa_session_set_batch_size(s.get(), c.batch);
    vexa_session_set_subgraph(s.get(), c.subgraph, std::strlen(c.subgraph));
    EXPECT_EQ(open_path(s.get(), path), 0);
    EXPECT_EQ(vexa_session_error_code(s.get()), c.code);
    EXPECT_EQ(session_message(s.get()), c.message);
    EXPECT_EQ(vexa_session_subgraph_count(s.get()), 0);
  }
  SessionPtr ok = new_session();
  vexa_session_set_batch_size(ok.get(), 64);
  vexa_session_set_subgraph(ok.get(), "main", 4);
  EXPECT_EQ(open_path(ok.get(), path), 1) << session_message(ok.get());
}

// Descriptors that cannot describe a tensor refuse the model as invalid (code 3). The writer
// refuses such records, so a valid file is patched and resealed.
TEST(SessionInfo, MalformedDescriptorsRefuseTheModel) {
  struct Case {
    const char* what;
    uint64_t rank;
    std::vector<uint64_t> dims;
    uint64_t byte_size;
  };
  const Case cases[] = {
      {"rank 7", 7, {2, 3, 1, 1, 1, 1}, 24},
      {"2^31 elements", 2, {65536, 32768}, uint64_t{4} << 31},
      {"byte size off by one element", 2, {2, 3}, 20},
      {"byte size of another dtype", 2, {2, 3}, 48},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ModelBuilder m;
    const uint64_t x = m.input({2, 3}, "x");
    const uint64_t zero = m.weight({1}, {0.0f});
    const uint64_t y = m.output({2, 3}, "y");
    m.node(vexa::OpKind::kAdd, {x, zero}, {y});
    std::vector<uint8_t> bytes = m.bytes();
    vexa::ContainerHeader h;
    std::memcpy(&h, bytes.data(), sizeof h);
    const uint64_t at = h.sections[vexa::kSectionValues].offset + vexa::kSectionHeaderBytes +
                        y * sizeof(vexa::GraphValue);
    vexa::GraphValue v;
    std::memcpy(&v, bytes.data() + at, sizeof v);
    v.rank = c.rank;
    for (size_t i = 0; i < 6; ++i) v.dims[i] = i < c.dims.size() ? c.dims[i] : 0;
    v.byte_size = c.byte_size;
    std::memcpy(bytes.data() + at, &v, sizeof v);
    vexa::container_seal_plain(bytes.data(), bytes.size());
    const std::string path = dir.file("bad.vexa");
    ModelBuilder::write_bytes(path, bytes);
    SessionPtr s = new_session();
    EXPECT_EQ(vexa_session_open(s.get(), path.data(), path.size()), 0);
    EXPECT_EQ(vexa_session_error_code(s.get()), 3u) << session_message(s.get());
    EXPECT_EQ(session_message(s.get()).rfind("Model tensor descriptor", 0), 0u) << session_message(s.get());
    EXPECT_EQ(vexa_session_subgraph_count(s.get()), 0);
    EXPECT_EQ(vexa_session_active_backend(s.get()), 0u);
  }
}

TEST(SessionInfo, NameLengthAndCountLimits) {
  for (size_t len : {63u, 64u}) {
    SCOPED_TRACE(len);
    TempDir dir;
    ModelBuilder m;
    const uint64_t x = m.input({1, 2}, std::string(len, 'n'));
    const uint64_t zero = m.weight({1}, {0.0f});
    const uint64_t y = m.output({1, 2}, "y");
    m.node(vexa::OpKind::kAdd, {x, zero}, {y});
    const std::string path = m.write(dir);
    SessionPtr s = new_session();
    const int32_t ok = vexa_session_inspect(s.get(), path.data(), path.size());
    if (len == 63) {
      EXPECT_EQ(ok, 1);
      EXPECT_EQ(vexa_session_input_name_len(s.get(), 0), 63u);
    } else {
      EXPECT_EQ(ok, 0);
      EXPECT_EQ(vexa_session_error_code(s.get()), 12u);
      EXPECT_EQ(session_message(s.get()), "Input tensor name exceeds 63-byte maximum descriptor length");
    }
  }
  TempDir dir;
  ModelBuilder m;
  uint64_t sum = m.input({1, 2}, "i0");
  for (int i = 1; i < 9; ++i) {
    const uint64_t in = m.input({1, 2}, "i" + std::to_string(i));
    const uint64_t out = i == 8 ? m.output({1, 2}, "y") : m.inter({1, 2});
    m.node(vexa::OpKind::kAdd, {sum, in}, {out});
    sum = out;
  }
  const std::string path = m.write(dir);
  SessionPtr s = new_session();
  EXPECT_EQ(vexa_session_inspect(s.get(), path.data(), path.size()), 0);
  EXPECT_EQ(session_message(s.get()), "Model has more than 8 input tensors");
}

TEST(SessionInfo, PresetsFromMetadataAndCallerSettings) {
  struct Case {
    const char* what;
    MetaWriter meta;
    uint32_t resize;
    uint8_t pad;
    uint8_t bgr;
    float scale;
    float mean0;
    float std2;
  };
  const float k255 = 1.0f / 255.0f;
  const Case cases[] = {
      {"none", [](vexa::ContainerWriter&) {}, 0, 114, 0, k255, 0.0f, 1.0f},
      {"detect task letterboxes", [](vexa::ContainerWriter& w) { w.set_meta_string("task", "detect"); },
       1, 114, 0, k255, 0.0f, 1.0f},
      {"resize key wins over task",
       [](vexa::ContainerWriter& w) {
         w.set_meta_string("task", "detect");
         w.set_meta_string("resize_mode", "center_crop");
       },
       2, 114, 0, k255, 0.0f, 1.0f},
      {"imagenet then scale",
       [](vexa::ContainerWriter& w) {
         w.set_meta_string("normalize", "imagenet");
         w.set_meta_f64("scale", 1.0);
       },
       0, 114, 0, 1.0f, 0.485f, 0.225f},
      {"pad 300 ignored, pad 7 kept, bgr",
       [](vexa::ContainerWriter& w) {
         w.set_meta_i64("letterbox_pad", 7);
         w.set_meta_string("color", "bgr");
       },
       0, 7, 1, k255, 0.0f, 1.0f},
      {"pad out of range", [](vexa::ContainerWriter& w) { w.set_meta_i64("letterbox_pad", 300); },
       0, 114, 0, k255, 0.0f, 1.0f},
      {"mean and std arrays",
       [](vexa::ContainerWriter& w) {
         const float mean[3] = {0.1f, 0.2f, 0.3f};
         const float stdv[3] = {0.4f, 0.5f, 0.6f};
         w.set_meta_f32_array("mean", mean);
         w.set_meta_f32_array("std", stdv);
         w.set_meta_string("normalize", "clip");
       },
       0, 114, 0, k255, 0.1f, 0.6f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = unit_affine_model(dir, c.meta);
    SessionPtr s = new_session();
    ASSERT_EQ(vexa_session_inspect(s.get(), path.data(), path.size()), 1) << session_message(s.get());
    const vexa::Session* r = rec(s.get());
    EXPECT_EQ(r->resize_mode, c.resize);
    EXPECT_EQ(r->letterbox_pad, c.pad);
    EXPECT_EQ(r->color_bgr, c.bgr);
    EXPECT_FLOAT_EQ(r->norm_scale, c.scale);
    EXPECT_FLOAT_EQ(r->norm_mean[0], c.mean0);
    EXPECT_FLOAT_EQ(r->norm_std[2], c.std2);
  }
  // Caller settings survive every model change.
  TempDir dir;
  const std::string path = unit_affine_model(dir, [](vexa::ContainerWriter& w) {
    w.set_meta_string("task", "detect");
    w.set_meta_string("normalize", "imagenet");
    w.set_meta_string("color", "bgr");
  });
  SessionPtr s = new_session();
  vexa_session_set_resize_mode(s.get(), 2);
  vexa_session_set_normalization(s.get(), 2.0f, 1, 1, 1, 3, 3, 3);
  vexa_session_set_color_bgr(s.get(), 0);
  vexa_session_set_letterbox_pad(s.get(), 0x1FF);
  ASSERT_EQ(vexa_session_inspect(s.get(), path.data(), path.size()), 1);
  const vexa::Session* r = rec(s.get());
  EXPECT_EQ(r->resize_mode, 2u);
  EXPECT_EQ(r->norm_scale, 2.0f);
  EXPECT_EQ(r->color_bgr, 0);
  EXPECT_EQ(r->letterbox_pad, 0xFF);
}

// What one model's metadata chose belongs to that model: the next model on the same session
// starts from the defaults (caller settings aside), and a failed inspect leaves nothing of the
// previous model to read back.
TEST(SessionInfo, ModelChoicesDoNotCarryOverToTheNextModel) {
  TempDir dir_a;
  const std::string a = unit_affine_model(dir_a, [](vexa::ContainerWriter& w) {
    w.set_meta_string("task", "detect");
    w.set_meta_string("decode", "xyxy");
    w.set_meta_string("normalize", "imagenet");
    w.set_meta_string("color", "bgr");
    w.set_meta_i64("letterbox_pad", 7);
    w.set_meta_string("backend", "cpu");
  });
  TempDir dir_b;
  const std::string b = unit_affine_model(dir_b, [](vexa::ContainerWriter&) {});
  const float k255 = 1.0f / 255.0f;

  SessionPtr s = new_session();
  const vexa::Session* r = rec(s.get());
  ASSERT_EQ(vexa_session_inspect(s.get(), a.data(), a.size()), 1) << session_message(s.get());
  ASSERT_EQ(r->resize_mode, 1u);
  ASSERT_EQ(r->color_bgr, 1);
  ASSERT_EQ(r->letterbox_pad, 7);
  ASSERT_FLOAT_EQ(r->norm_mean[0], 0.485f);
  ASSERT_EQ(r->backend_preference, 1u);
  ASSERT_EQ(vexa_session_inspect(s.get(), b.data(), b.size()), 1) << session_message(s.get());
  EXPECT_EQ(r->resize_mode, 0u);
  EXPECT_EQ(r->color_bgr, 0);
  EXPECT_EQ(r->letterbox_pad, 114);
  EXPECT_FLOAT_EQ(r->norm_scale, k255);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(r->norm_mean[c], 0.0f);
    EXPECT_EQ(r->norm_std[c], 1.0f);
  }
  EXPECT_EQ(r->backend_preference, 0u);
  EXPECT_EQ(r->task_len, 0u);
  EXPECT_EQ(r->decode_len, 0u);

  // A caller setting still survives while the metadata choices go.
  vexa_session_set_color_bgr(s.get(), 1);
  ASSERT_EQ(vexa_session_inspect(s.get(), a.data(), a.size()), 1);
  ASSERT_EQ(vexa_session_inspect(s.get(), b.data(), b.size()), 1);
  EXPECT_EQ(r->color_bgr, 1);
  EXPECT_EQ(r->resize_mode, 0u);

  // A failed inspect: the earlier model's descriptors and facts are gone.
  ASSERT_EQ(open_path(s.get(), a), 1);
  ASSERT_EQ(vexa_session_input_count(s.get()), 1u);
  const std::string missing = dir_a.file("missing.vexa");
  EXPECT_EQ(vexa_session_inspect(s.get(), missing.data(), missing.size()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 2u);
  EXPECT_EQ(vexa_session_input_count(s.get()), 0u);
  EXPECT_EQ(vexa_session_output_count(s.get()), 0u);
  EXPECT_EQ(vexa_session_input_name_len(s.get(), 0), 0u);
  EXPECT_EQ(vexa_session_estimated_memory_bytes(s.get()), 0u);
  EXPECT_EQ(r->task_len, 0u);
  EXPECT_EQ(r->resize_mode, 0u);
  EXPECT_EQ(r->letterbox_pad, 114);
}

TEST(SessionInfo, BackendPreferenceFromMetadata) {
  struct Case {
    const char* what;
    MetaWriter meta;
    uint32_t preference;
  };
  const Case cases[] = {
      {"none", [](vexa::ContainerWriter&) {}, 0},
      {"empty first key, ane later",
       [](vexa::ContainerWriter& w) {
         w.set_meta_string("default_backend.macos", "");
         w.set_meta_string("backend", "ane");
       },
       3},
      {"upper case is unknown", [](vexa::ContainerWriter& w) { w.set_meta_string("default_backend", "GPU"); }, 0},
      {"cpu", [](vexa::ContainerWriter& w) { w.set_meta_string("recommended_backend", "cpu"); }, 1},
      {"fp16_safe false text", [](vexa::ContainerWriter& w) { w.set_meta_string("fp16_safe", "false"); }, 2},
      {"fp16_safe true text", [](vexa::ContainerWriter& w) { w.set_meta_string("fp16_safe", "true"); }, 0},
      {"fp16_safe integer 0", [](vexa::ContainerWriter& w) { w.set_meta_i64("fp16_safe", 0); }, 2},
      {"fp16_safe bool false", [](vexa::ContainerWriter& w) { w.set_meta_bool("fp16_safe", false); }, 2},
      {"mps", [](vexa::ContainerWriter& w) { w.set_meta_string("backend", "mps"); }, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = unit_affine_model(dir, c.meta);
    SessionPtr s = new_session();
    ASSERT_EQ(vexa_session_inspect(s.get(), path.data(), path.size()), 1);
    EXPECT_EQ(rec(s.get())->backend_preference, c.preference);
  }
}

TEST(SessionInfo, MetadataGettersAndCache) {
  TempDir dir;
  ModelBuilder m;
  build_affine(m, 3, 2, 2, {1, 1, 1}, {0, 0, 0});
  for (int i = 0; i < 70; ++i) {
    m.writer().set_meta_string("key" + std::to_string(i), "value" + std::to_string(i));
  }
  m.writer().set_meta_i64("count", 42);
  m.writer().set_meta_f64("ratio", 0.25);
  const std::string path = m.write(dir);
  SessionPtr s = new_session();
  vexa_session* sp = s.get();
  ASSERT_EQ(open_path(sp, path), 1);
  EXPECT_EQ(vexa_session_has_meta(sp, "count", 5), 1);
  EXPECT_EQ(vexa_session_has_meta(sp, "nothing", 7), 0);
  EXPECT_EQ(vexa_session_meta_i64(sp, "count", 5), 42);
  EXPECT_EQ(vexa_session_meta_i64(sp, "key1", 4), 0);
  EXPECT_EQ(vexa_session_meta_f64(sp, "ratio", 5), 0.25);
  const char* first = vexa_session_meta_str_ptr(sp, "key0", 4);
  EXPECT_EQ(std::string(first), "value0");
  EXPECT_EQ(vexa_session_meta_str_ptr(sp, "key0", 4), first);  // cached copy
  for (int i = 1; i < 64; ++i) {
    const std::string key = "key" + std::to_string(i);
    EXPECT_EQ(vexa_session_meta_str_len(sp, key.data(), key.size()), key.size() + 2);
  }
  EXPECT_EQ(vexa_session_meta_str_len(sp, "key64", 5), 0u);  // the 65th key does not fit
  EXPECT_EQ(vexa_session_meta_str_len(sp, "key5", 4), 6u);   // cached ones still answer
  // Metadata stays readable after unload.
  ASSERT_EQ(vexa_session_unload(sp), 1);
  EXPECT_EQ(vexa_session_meta_i64(sp, "count", 5), 42);
  EXPECT_EQ(vexa_session_has_meta(nullptr, "count", 5), 0);
}

TEST(SessionInfo, LabelsOutliveTheSession) {
  TempDir dir;
  ModelBuilder m;
  build_affine(m, 3, 1, 1, {1, 1, 1}, {0, 0, 0});
  const std::string_view labels[] = {"cat", "dog", "bird"};
  m.writer().set_meta_string_list("labels", labels);
  const std::string path = m.write(dir);
  SessionPtr s = new_session();
  ASSERT_EQ(open_path(s.get(), path), 1);
  EXPECT_EQ(vexa_session_label_count(s.get()), 3u);
  EXPECT_EQ(std::string(vexa_session_label_ptr(s.get(), 1), vexa_session_label_len(s.get(), 1)), "dog");
  EXPECT_EQ(vexa_session_label_len(s.get(), 2), 4u);
  EXPECT_EQ(vexa_session_label_len(s.get(), 3), 0u);

  const float x[3] = {0.1f, 3.0f, 2.0f};
  InputPtr in = new_input();
  OutputPtr out = new_output();
  ASSERT_EQ(vexa_input_set_f32(in.get(), 0, x, 3, 1), 1);
  ASSERT_EQ(vexa_session_run(s.get(), in.get(), out.get()), 1) << session_message(s.get());
  s.reset();
  ASSERT_EQ(vexa_output_compute_top_k(out.get(), 0, 2, 0), 2);
  EXPECT_EQ(vexa_output_top_class_id(out.get(), 0), 1u);
  // Label texts are (pointer, length) pairs; the last one has no NUL behind it.
  EXPECT_EQ(std::string(vexa_output_top_label_ptr(out.get(), 0), vexa_output_top_label_len(out.get(), 0)), "dog");
  EXPECT_EQ(std::string(vexa_output_top_label_ptr(out.get(), 1), vexa_output_top_label_len(out.get(), 1)), "bird");
}

TEST(SessionInfo, PathResolution) {
  TempDir dir;
  affine_model(dir, "m.vexa");
  for (const std::string& models_dir : {dir.path(), dir.path() + "/"}) {
    SCOPED_TRACE(models_dir);
    ConfigPtr c(vexa_config_new());
    vexa_config_set_models_dir(c.get(), models_dir.data(), models_dir.size());
    SessionPtr s(vexa_session_new(c.get()));
    ASSERT_EQ(vexa_session_inspect(s.get(), "m.vexa", 6), 1) << session_message(s.get());
    EXPECT_EQ(std::string(rec(s.get())->model_path), dir.path() + "/m.vexa");
  }
  // A joined path that does not fit is refused instead of opening a cut path.
  ConfigPtr c(vexa_config_new());
  const std::string long_dir = dir.path() + "/" + std::string(480, 'd');
  vexa_config_set_models_dir(c.get(), long_dir.data(), long_dir.size());
  SessionPtr s(vexa_session_new(c.get()));
  const std::string rel = "some/relative/model/name.vexa";
  EXPECT_EQ(vexa_session_inspect(s.get(), rel.data(), rel.size()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 1u);
  const std::string too_long = "/" + std::string(600, 'p');
  EXPECT_EQ(vexa_session_open(s.get(), too_long.data(), too_long.size()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 1u);
  EXPECT_EQ(vexa_session_inspect(s.get(), nullptr, 0), 0);
  EXPECT_EQ(session_message(s.get()), "Empty model path");
  EXPECT_EQ(vexa_session_inspect_fd(s.get(), 3, 0, 511), 0);
  EXPECT_EQ(session_message(s.get()), "Invalid file descriptor or length");
  EXPECT_EQ(vexa_session_inspect_fd(s.get(), -1, 0, 4096), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 1u);
  const std::string missing = dir.file("missing.vexa");
  EXPECT_EQ(vexa_session_open(s.get(), missing.data(), missing.size()), 0);
  EXPECT_EQ(vexa_session_error_code(s.get()), 2u);
}

// Truncated and garbled files give a clear error and leave the session empty.
TEST(SessionInfo, MalformedFilesNeverOpen) {
  TempDir dir;
  ModelBuilder m;
  build_affine(m, 3, 2, 2, {1, 1, 1}, {0, 0, 0});
  const std::vector<uint8_t> good = m.bytes();
  std::vector<std::vector<uint8_t>> bad;
  bad.push_back(std::vector<uint8_t>(good.begin(), good.begin() + 600));
  bad.push_back(std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2));
  for (size_t at : {0u, 8u, 64u, 300u, 700u, 2000u}) {
    std::vector<uint8_t> b = good;
    if (at < b.size()) b[at] ^= 0x5A;
    bad.push_back(b);
  }
  for (size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string path = dir.file("bad" + std::to_string(i));
    ModelBuilder::write_bytes(path, bad[i]);
    SessionPtr s = new_session();
    EXPECT_EQ(open_path(s.get(), path), 0);
    EXPECT_NE(vexa_session_error_code(s.get()), 0u);
    EXPECT_GT(vexa_session_error_message_len(s.get()), 0u);
    EXPECT_EQ(vexa_session_subgraph_count(s.get()), 0);
    EXPECT_EQ(vexa_session_active_backend(s.get()), 0u);
  }
}

// A dynamic dimension (-1) reads back as -1 and counts as 1 element.
TEST(SessionInfo, DynamicDimensionCountsAsOne) {
  TempDir dir;
  ModelBuilder m;
  vexa::GraphValue in{};
  in.kind = 1;
  in.dtype = 2;
  in.rank = 3;
  in.dims[0] = 1;
  in.dims[1] = ~uint64_t{0};
  in.dims[2] = 4;
  in.element_count = 4;
  in.byte_size = 16;
  const uint64_t x = m.raw_value(in, "x");
  const uint64_t zero = m.weight({1}, {0.0f});
  const uint64_t y = m.output({1, 4}, "y");
  m.node(vexa::OpKind::kAdd, {x, zero}, {y});
  const std::vector<uint8_t> bytes = m.bytes();
  ASSERT_FALSE(bytes.empty());
  const std::string path = dir.file("dyn.vexa");
  ModelBuilder::write_bytes(path, bytes);
  SessionPtr s = new_session();
  ASSERT_EQ(vexa_session_inspect(s.get(), path.data(), path.size()), 1) << session_message(s.get());
  EXPECT_EQ(vexa_session_input_dim(s.get(), 0, 1), -1);
  EXPECT_EQ(vexa_session_input_bytes(s.get(), 0), 16u);
  EXPECT_EQ(rec(s.get())->inputs[0].element_count, 4u);
}
