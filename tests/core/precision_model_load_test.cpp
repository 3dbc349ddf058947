#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "core/container_access.h"
#include "core/model_load.h"
#include "core/precision.h"
#include "tests/core/container_fixture.h"

namespace vexa {
namespace {

const char* const kPrecisionVars[] = {"VEXA_PRECISION", "VEXA_PRECISION_CPU", "VEXA_PRECISION_GPU",
                                      "VEXA_PRECISION_GPU_METAL", "VEXA_PRECISION_GPU_VULKAN",
                                      "VEXA_PRECISION_NPU"};

struct CleanEnvironment {
  CleanEnvironment() { clear(); }
  ~CleanEnvironment() { clear(); }
  static void clear() {
    for (const char* v : kPrecisionVars) unsetenv(v);
  }
};

TEST(Precision, Grammar) {
  struct Case {
    std::string text;
    uint32_t weight, activation;
    bool valid;
  } cases[] = {
      {"f32", 0, 0, true}, {"f16", 1, 0, true}, {"int8", 2, 0, true},
      {"f32:f16", 0, 2, true}, {"f16:f16", 1, 2, true}, {"int8:f16", 2, 2, true},
      {"int8:static", 2, 1, true}, {"f16:fast", 1, 3, true},
      {"f16 ", 1, 0, true}, {std::string("f16\0", 4), 1, 0, true}, {"f16  \0 ", 1, 0, true},
      {" f16", 0, 0, false}, {"F16", 0, 0, false}, {"fp16", 0, 0, false}, {"f16:", 1, 0, false},
      {"int8:", 2, 0, false}, {"f32:static", 0, 0, false}, {"f16:static", 1, 0, false},
      {"int8:fast", 2, 0, false}, {"f32:fast", 0, 0, false}, {"", 0, 0, false},
      {"   ", 0, 0, false}, {"f16:f16:f16", 1, 0, false},
  };
  for (const Case& c : cases) {
    const PrecisionSetting p = parse_precision(c.text.data(), c.text.size());
    EXPECT_EQ(p.valid, c.valid) << '"' << c.text << '"';
    EXPECT_TRUE(p.specified);
    EXPECT_EQ(p.weight, c.weight) << c.text;
    EXPECT_EQ(p.activation, c.activation) << c.text;
  }
  EXPECT_FALSE(parse_precision(nullptr, 3).valid);
}

TEST(Precision, DisplayNames) {
  struct Case {
    uint32_t w, a;
    const char* name;
  } cases[] = {{0, 3, "f16:fast"}, {2, 3, "f16:fast"}, {0, 2, "f32:f16"}, {1, 2, "f16:f16"},
               {2, 2, "int8:f16"}, {9, 2, "int8:f16"}, {0, 1, "int8:static"}, {0, 0, "f32"},
               {1, 0, "f16"}, {2, 9, "int8"}};
  for (const Case& c : cases) EXPECT_STREQ(precision_mode_name(c.w, c.a), c.name) << c.w << c.a;
}

struct OpenedModel {
  std::vector<uint8_t> bytes;
  OpenResult r;
  explicit OpenedModel(void (*meta)(ContainerWriter*)) {
    ContainerWriter w;
    const float x = 1.0f;
    w.add_tensor_f32("x", {}, &x);
    meta(&w);
    w.write_to_memory(&bytes, nullptr);
    const int fd = testing::memory_file(bytes);
    r = container_open_fd(fd, 0, bytes.size(), kOpenFlagPlanF32);
    close(fd);
  }
  ~OpenedModel() {
    if (r.ok()) container_close(&r.container);
  }
};

TEST(Precision, ResolutionOrder) {
  CleanEnvironment env;
  OpenedModel m([](ContainerWriter* w) {
    w->set_meta_string("precision.cpu", "f16");
    w->set_meta_string("precision.gpu.metal", "");
    w->set_meta_string("precision.gpu", "int8:static");
    w->set_meta_i64("precision.npu", 1);
  });
  ASSERT_TRUE(m.r.ok());
  const OpenContainer* c = &m.r.container;

  PrecisionSetting p = resolve_precision(c, "cpu");
  EXPECT_TRUE(p.valid && p.specified);
  EXPECT_EQ(p.weight, 1u);
  // An empty metadata string counts as absent: "metal" falls through to "precision.gpu".
  p = resolve_precision(c, "metal");
  EXPECT_EQ(p.weight, 2u);
  EXPECT_EQ(p.activation, 1u);
  EXPECT_EQ(resolve_precision(c, "vulkan").activation, 1u);
  // Keys of another type are absent.
  p = resolve_precision(c, "npu");
  EXPECT_FALSE(p.specified);
  EXPECT_TRUE(p.valid);
  EXPECT_EQ(p.weight, 0u);
  // "CPU" is not "cpu": it follows the last row.
  EXPECT_FALSE(resolve_precision(c, "CPU").specified);

  setenv("VEXA_PRECISION_CPU", "", 1);
  p = resolve_precision(c, "cpu");
  EXPECT_FALSE(p.valid);
  EXPECT_TRUE(p.specified);
  unsetenv("VEXA_PRECISION_CPU");

  setenv("VEXA_PRECISION_GPU", "f16:fast", 1);
  EXPECT_EQ(resolve_precision(c, "metal").activation, 3u);
  EXPECT_EQ(resolve_precision(c, "vulkan").activation, 3u);
  EXPECT_EQ(resolve_precision(c, "gpu").activation, 3u);
  EXPECT_EQ(resolve_precision(c, "cpu").weight, 1u) << "cpu ignores the GPU variable";
  setenv("VEXA_PRECISION_GPU_METAL", "f32", 1);
  EXPECT_EQ(resolve_precision(c, "metal").activation, 0u);
  setenv("VEXA_PRECISION", "int8", 1);
  EXPECT_EQ(resolve_precision(c, "npu").weight, 2u);
  EXPECT_EQ(resolve_precision(c, "cpu").weight, 2u);
  EXPECT_EQ(resolve_precision(nullptr, "anything").weight, 2u);
}

std::string message_of(ModelLoadResult& r) {
  if (r.ok()) {
    container_close(&r.value);
    return "<opened>";
  }
  std::string s(expected_message_view(r.error));
  expected_message_free(&r.error);
  return s;
}

TEST(ModelLoad, TextsAndCodes) {
  const std::vector<uint8_t> good = testing::make_sample().bytes;
  const int fd = testing::memory_file(good, 64);
  ModelLoadResult r = model_load_fd(fd, 64, good.size());
  ASSERT_TRUE(r.ok());
  EXPECT_NE(r.value.plan, nullptr);
  container_close(&r.value);

  r = model_load_fd(fd, 64, 512);
  EXPECT_EQ(message_of(r), "invalid file descriptor or length");
  r = model_load_fd(-1, 0, good.size());
  EXPECT_EQ(message_of(r), "invalid file descriptor or length");
  r = model_load_fd(fd, good.size() + 64, 600);
  EXPECT_EQ(message_of(r), "failed reading model");
  r = model_load_fd(fd, 0, good.size());
  EXPECT_EQ(message_of(r), "invalid container header");
  close(fd);

  std::vector<uint8_t> body = good;
  body[1000] ^= 1;  // inside the metadata region, past the header
  const int fd2 = testing::memory_file(body);
  r = model_load_fd(fd2, 0, body.size());
  const std::string hash_text = message_of(r);
  EXPECT_EQ(hash_text, "metadata/header hash mismatch");
  EXPECT_EQ(model_error_code(hash_text.data(), hash_text.size()), ErrorCode::kIntegrity);
  close(fd2);

  char dir_template[] = "/tmp/vexa-load-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string small = std::string(dir_template) + "/small.vexa";
  {
    const int f = open(small.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(f, 0);
    ASSERT_EQ(write(f, good.data(), 100), 100);
    close(f);
  }
  r = model_load_path(small.data(), small.size());
  EXPECT_EQ(message_of(r), "invalid container header");
  const std::string missing = std::string(dir_template) + "/missing.vexa";
  r = model_load_path(missing.data(), missing.size());
  EXPECT_EQ(message_of(r), "failed reading model");
  r = model_load_path("a\0b", 3);
  EXPECT_EQ(message_of(r), "failed reading model");
  r = model_load_path(nullptr, 5);
  EXPECT_EQ(message_of(r), "failed reading model");
  unlink(small.c_str());
  rmdir(dir_template);

  struct Code {
    const char* text;
    ErrorCode code;
  } codes[] = {{"I/O failed", ErrorCode::kIo},
               {"failed reading model", ErrorCode::kIo},
               {"failed reading model from fd", ErrorCode::kIo},
               {"allocation failed", ErrorCode::kOutOfMemory},
               {"out of memory reading model", ErrorCode::kOutOfMemory},
               {"tensor hash mismatch", ErrorCode::kIntegrity},
               {"metadata hash mismatch", ErrorCode::kIntegrity},
               {"invalid container header", ErrorCode::kInvalidModel},
               {"invalid container layout", ErrorCode::kInvalidModel},
               {"invalid load plan/group coverage", ErrorCode::kInvalidModel},
               {"I/O failed ", ErrorCode::kInvalidModel},
               {"", ErrorCode::kInvalidModel}};
  for (const Code& c : codes) EXPECT_EQ(model_error_code(c.text, std::strlen(c.text)), c.code) << c.text;
  EXPECT_EQ(model_error_code(nullptr, 4), ErrorCode::kInvalidModel);
}

TEST(ModelLoad, ExpandedRowsOf2To31BytesAreRefused) {
  // A Q8 tensor of 2^23 x 64 values is 2^29 f32 values once expanded: one row of 2^31 bytes.
  // The weights region stays a hole in a sparse file; loading never reads it.
  testing::Q8Tensor q = testing::make_q8(1, 64);
  ContainerWriter w;
  const uint64_t dims[] = {1, 64};
  w.add_tensor_q8("big", dims, q.blocks.data());
  w.add_weight_value(0, "big");
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(w.write_to_memory(&bytes, nullptr));
  const auto h = load_record<ContainerHeader>(bytes.data());
  const uint64_t region = h.weights_offset;
  const uint64_t data = (uint64_t{1} << 23) * 68;
  auto entry = [&](uint32_t section, uint64_t j) {
    const uint64_t off = h.sections[section].offset;
    return off + 32 + load_record<uint64_t>(bytes.data() + off + 8) * j;
  };
  auto set = [&](uint64_t at, uint64_t v) { store_record(bytes.data() + at, v); };
  set(entry(kSectionTensors, 0) + offsetof(TensorRecord, dims), uint64_t{1} << 23);
  set(entry(kSectionTensors, 0) + offsetof(TensorRecord, size), data);
  set(entry(kSectionTensors, 0) + offsetof(TensorRecord, padded_size), data);
  set(entry(kSectionGroups, 0) + offsetof(GroupRecord, size), data);
  set(entry(kSectionLayout, 0) + offsetof(LayoutRecord, data_size), data);
  set(entry(kSectionLoadSteps, 0) + offsetof(LoadStep, size), data);
  set(entry(kSectionLoadSteps, 1) + offsetof(LoadStep, size), data);
  set(offsetof(ContainerHeader, container_length), region + data);
  set(offsetof(ContainerHeader, weights_size), data);
  bytes.resize(region);
  container_seal_with_fold(bytes.data(), 0);
  const int fd = testing::memory_file(bytes);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(region + data)), 0);

  OpenResult plain = container_open_fd(fd, 0, region + data, 0);
  ASSERT_TRUE(plain.ok()) << plain.status;
  EXPECT_EQ(container_weight_view(&plain.container, 0).element_count, uint64_t{1} << 29);
  container_close(&plain.container);
  ModelLoadResult r = model_load_fd(fd, 0, region + data);
  EXPECT_EQ(message_of(r), "invalid container layout");
  close(fd);
}

TEST(ModelLoad, LoadsSerialiseUnderOneRecursiveLock) {
  const std::vector<uint8_t> good = testing::make_sample().bytes;
  const int fd = testing::memory_file(good);
  std::lock_guard<std::recursive_mutex> outer(model_load_lock());
  // The same thread may load while holding the lock.
  ModelLoadResult r = model_load_fd(fd, 0, good.size());
  ASSERT_TRUE(r.ok());
  container_close(&r.value);
  bool other_done = false;
  std::thread other([&] {
    ModelLoadResult o = model_load_fd(fd, 0, good.size());
    if (o.ok()) container_close(&o.value);
    other_done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(other_done) << "a second thread waits for the lock";
  model_load_lock().unlock();
  other.join();
  model_load_lock().lock();
  EXPECT_TRUE(other_done);
  close(fd);
}

}  // namespace
}  // namespace vexa
