// Metadata editing in place: every value type set and deleted, in place and through a repack
// that moves the weights, leaves a container that opens, verifies and computes exactly what it
// did before; every refusal and every failed write leaves the file byte-identical.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "container_tool_util.h"
#include "core/container_access.h"
#include "core/container_writer.h"
#include "core/file_replace.h"
#include "tests/core/fifo_guard.h"
#include "tools/meta_edit.h"
#include "tools/meta_value.h"

namespace vexa::tools::testing {
namespace {

constexpr uint64_t kResnetClasses = 10;  // the fixture's narrow head

struct Opened {
  OpenResult r;
  explicit Opened(const std::string& path) : r(container_open_path(path.c_str(), path.size())) {}
  ~Opened() { container_close(&r.container); }
  const OpenContainer* c() const { return &r.container; }
};

uint64_t header_word(const std::vector<uint8_t>& file, uint64_t offset) {
  uint64_t v;
  std::memcpy(&v, file.data() + offset, sizeof v);
  return v;
}

ToolResult set_value(const std::string& path, const std::string& key, const std::string& type,
                     std::vector<std::string_view> words, uint64_t flags = 0) {
  MetaValue v;
  const std::string problem = parse_meta_value(type, words, &v);
  if (!problem.empty()) return tool_failure(problem);
  return model_meta_set(path, key, v.type, flags, v.inline_value, v.bytes.data(), v.bytes.size(),
                        v.item_count);
}

class MetaEdit : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = tmp_.file("model.vexa");
    ASSERT_NO_FATAL_FAILURE(convert_resnet(path_));
    reference_ = run_verified(path_, resnet_input(), kResnetClasses);
    ASSERT_EQ(reference_.size(), kResnetClasses);
  }
  void TearDown() override { file_replace_fail_at_for_testing(FileReplaceStep::kNone); }

  // The container still opens, verifies and gives bit-identical outputs on both paths.
  void expect_runs_as_before() {
    EXPECT_EQ(run_verified(path_, resnet_input(), kResnetClasses), reference_);
    EXPECT_EQ(run_through_api(path_, resnet_input()), reference_);
  }

  // The call fails with `message` and the file keeps every byte.
  template <typename Call>
  void expect_refused(Call call, const std::string& message, const std::string& path = "") {
    const std::string p = path.empty() ? path_ : path;
    const Digest128 before = file_hash(p);
    const ToolResult r = call();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, message);
    EXPECT_TRUE(same_digest(file_hash(p), before)) << message;
  }

  TempDir tmp_;
  std::string path_;
  std::vector<float> reference_;
};

TEST_F(MetaEdit, EveryTypeIsSetInPlaceAndReadBack) {
  const std::vector<uint8_t> before = read_bytes(path_);
  const uint64_t m = header_word(before, offsetof(ContainerHeader, weights_offset));
  ASSERT_TRUE(set_value(path_, "title", "string", {"résumé"}).ok);
  ASSERT_TRUE(set_value(path_, "threshold", "f64", {"-0.125"}).ok);
  ASSERT_TRUE(set_value(path_, "classes", "i64", {"-9223372036854775808"}).ok);
  ASSERT_TRUE(set_value(path_, "fp16_safe", "bool", {"true"}).ok);
  ASSERT_TRUE(set_value(path_, "labels", "strings", {"cat", "", "dog"}).ok);
  ASSERT_TRUE(set_value(path_, "mean", "f32", {"0.485", "-1e-3", "3"}).ok);
  ASSERT_TRUE(set_value(path_, "blob", "bytes", {"00ff10"}).ok);

  // In place: same size and weights offset; only the metadata region changed, and the weights
  // region is untouched.
  const std::vector<uint8_t> after = read_bytes(path_);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(header_word(after, offsetof(ContainerHeader, weights_offset)), m);
  EXPECT_TRUE(std::equal(before.begin() + m, before.end(), after.begin() + m));
  EXPECT_NE(std::memcmp(before.data() + kHeaderBodyDigestOffset, after.data() + kHeaderBodyDigestOffset, 32), 0);

  Opened o(path_);
  ASSERT_TRUE(o.r.ok());
  // The first new key lands right after the strings the converter wrote, which are followed by
  // exactly 4096 spare pool bytes.
  MetaEntry title{};
  ASSERT_TRUE(meta_find(o.c(), "title", &title));
  EXPECT_EQ(title.key_offset, container_section_count(o.c(), kSectionStringPool) - 4096);
  EXPECT_EQ(title.value, title.key_offset + 6);
  EXPECT_EQ(meta_get_str(o.c(), "title", ""), "résumé");
  EXPECT_EQ(meta_get_f64(o.c(), "threshold", 0.0), -0.125);
  EXPECT_EQ(meta_get_i64(o.c(), "classes", 0), INT64_MIN);
  EXPECT_TRUE(meta_get_bool(o.c(), "fp16_safe", false));
  EXPECT_EQ(meta_get_str_list_item(o.c(), "labels", 6, 0), "cat");
  EXPECT_EQ(meta_get_str_list_item(o.c(), "labels", 6, 2), "dog");
  MetaEntry e{};
  ASSERT_TRUE(meta_find(o.c(), "labels", &e));
  EXPECT_EQ(e.item_count, 3u);
  uint64_t count = 0;
  const uint8_t* mean = meta_get_f32_array(o.c(), "mean", 4, &count);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(meta_f32_at(mean, 1), -1e-3f);
  ASSERT_TRUE(meta_find(o.c(), "mean", &e));
  EXPECT_EQ(e.value % 4, 0u) << "an f32 array starts on a multiple of 4";
  ASSERT_TRUE(meta_find(o.c(), "blob", &e));
  EXPECT_EQ(e.value_type, 7u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(meta_value_ptr(o.c(), e)), 3), std::string("\0\xff\x10", 3));
  EXPECT_EQ(meta_get_str(o.c(), "onnx.opset", ""), "13") << "the converter's keys survive";
  expect_runs_as_before();
}

TEST_F(MetaEdit, ReplacingAndDeletingReuseSlots) {
  ASSERT_TRUE(set_value(path_, "task", "string", {"first value"}).ok);
  MetaEntry first{};
  {
    Opened o(path_);
    ASSERT_TRUE(meta_find(o.c(), "task", &first));
  }
  // A replacement keeps the slot and the key bytes; the old value stays in the pool.
  ASSERT_TRUE(set_value(path_, "task", "i64", {"7"}).ok);
  {
    Opened o(path_);
    MetaEntry e{};
    ASSERT_TRUE(meta_find(o.c(), "task", &e));
    EXPECT_EQ(e.key_offset, first.key_offset);
    EXPECT_EQ(meta_get_i64(o.c(), "task", 0), 7);
    EXPECT_EQ(pool_string(o.c(), first.value, first.value_length), "first value");
  }
  const uint64_t live = [&] {
    Opened o(path_);
    return meta_live_count(o.c());
  }();
  ASSERT_TRUE(model_meta_delete(path_, "task").ok);
  expect_refused([&] { return model_meta_delete(path_, "task"); }, "key not found");
  {
    Opened o(path_);
    EXPECT_EQ(meta_live_count(o.c()), live - 1);
    EXPECT_FALSE(meta_find(o.c(), "task", nullptr));
  }
  // The freed slot is the first free one, so the next new key lands in it.
  ASSERT_TRUE(set_value(path_, "other", "bool", {"false"}).ok);
  Opened o(path_);
  const uint64_t n = meta_count(o.c());
  uint64_t slot = n;
  for (uint64_t j = 0; j < n && slot == n; ++j) {
    const MetaEntry e = meta_entry_at(o.c(), j);
    if (pool_string(o.c(), e.key_offset, e.key_length) == "other") slot = j;
  }
  MetaEntry kept{};
  ASSERT_TRUE(meta_find(o.c(), "onnx.opset", &kept));
  EXPECT_LT(slot, n);
  EXPECT_EQ(meta_entry_at(o.c(), slot).value_type, 4u);
  expect_runs_as_before();
}

TEST_F(MetaEdit, RepacksWhenSlotsOrPoolRunOutAndMovesTheWeights) {
  const std::vector<uint8_t> original = read_bytes(path_);
  const uint64_t m0 = header_word(original, offsetof(ContainerHeader, weights_offset));
  uint64_t n0 = 0;
  {
    Opened o(path_);
    n0 = meta_count(o.c());
  }
  // Fill every spare slot in place, then one more key needs a repack.
  uint64_t added = 0;
  for (; added < n0; ++added) {
    Opened o(path_);
    if (meta_live_count(o.c()) == meta_count(o.c())) break;
    ASSERT_TRUE(set_value(path_, "k" + std::to_string(added), "i64", {std::to_string(added)}).ok);
  }
  ASSERT_EQ(read_bytes(path_).size(), original.size()) << "spare slots are filled in place";
  ASSERT_TRUE(set_value(path_, "one.more", "f64", {"2.5"}).ok);
  {
    // The repacked sections still fit the region: the weights stay where they were.
    const std::vector<uint8_t> repacked = read_bytes(path_);
    EXPECT_EQ(repacked.size(), original.size());
    EXPECT_TRUE(std::equal(original.begin() + m0, original.end(), repacked.begin() + m0));
    EXPECT_EQ(header_word(repacked, offsetof(ContainerHeader, sections)), kContainerHeaderBytes);
    Opened o(path_);
    ASSERT_TRUE(o.r.ok());
    // 64 spare slots when they fit, else 8.
    EXPECT_TRUE(meta_count(o.c()) == n0 + 64 || meta_count(o.c()) == n0 + 8) << meta_count(o.c());
    n0 = meta_count(o.c());
  }
  // Then a value larger than the whole region forces it to grow.
  const std::string big(3 * kWeightAlignmentBytes, 'v');
  ASSERT_TRUE(set_value(path_, "big", "string", {big}).ok);

  const std::vector<uint8_t> after = read_bytes(path_);
  const uint64_t m1 = header_word(after, offsetof(ContainerHeader, weights_offset));
  EXPECT_GT(m1, m0);
  EXPECT_EQ(m1 % kWeightAlignmentBytes, 0u);
  EXPECT_EQ(after.size(), original.size() + (m1 - m0));
  EXPECT_TRUE(std::equal(original.begin() + m0, original.end(), after.begin() + m1))
      << "the weights moved unchanged";
  EXPECT_EQ(header_word(after, offsetof(ContainerHeader, sections)), kContainerHeaderBytes)
      << "the pool starts right after the header";
  EXPECT_EQ(header_word(after, kHeaderWeightsFoldOffset) & 0xffffffffu,
            header_word(original, kHeaderWeightsFoldOffset) & 0xffffffffu);

  Opened o(path_);
  ASSERT_TRUE(o.r.ok());
  const uint64_t slots = meta_count(o.c());
  EXPECT_TRUE(slots == n0 + 64 || slots == n0 + 8) << slots;
  EXPECT_EQ(meta_get_str(o.c(), "big", ""), big);
  EXPECT_EQ(meta_get_f64(o.c(), "one.more", 0), 2.5);
  for (uint64_t k = 0; k < added; ++k) {
    EXPECT_EQ(meta_get_i64(o.c(), "k" + std::to_string(k), -1), static_cast<int64_t>(k));
  }
  const uint64_t tensors = container_tensor_count(o.c());
  for (uint64_t j = 0; j < tensors; ++j) {
    const TensorRecord t = container_tensor_record(o.c(), j);
    EXPECT_EQ(t.absolute_offset, m1 + t.relative_offset);
  }
  expect_runs_as_before();

  // An f32 array too large for the spare pool goes through another repack and still starts on
  // a multiple of 4; keys set through repacks delete like any other.
  std::vector<std::string> words(5000);
  for (size_t i = 0; i < words.size(); ++i) words[i] = std::to_string(static_cast<int>(i) - 2500);
  ASSERT_TRUE(set_value(path_, "arr", "f32", std::vector<std::string_view>(words.begin(), words.end())).ok);
  ASSERT_TRUE(model_meta_delete(path_, "big").ok);
  ASSERT_TRUE(model_meta_delete(path_, "one.more").ok);
  Opened again(path_);
  ASSERT_TRUE(again.r.ok());
  MetaEntry arr{};
  ASSERT_TRUE(meta_find(again.c(), "arr", &arr));
  EXPECT_EQ(arr.value % 4, 0u);
  uint64_t count = 0;
  const uint8_t* values = meta_get_f32_array(again.c(), "arr", 3, &count);
  ASSERT_EQ(count, 5000u);
  EXPECT_EQ(meta_f32_at(values, 4999), 2499.0f);
  EXPECT_FALSE(meta_find(again.c(), "big", nullptr));
  EXPECT_FALSE(meta_find(again.c(), "one.more", nullptr));
  EXPECT_EQ(meta_get_i64(again.c(), "k0", -1), 0);
  expect_runs_as_before();
}

TEST_F(MetaEdit, WiderSlotsSurviveARepack) {
  // 80-byte slots, all taken: the repack narrows them to 64 one by one.
  ContainerWriter w;
  const float v[4] = {1, 2, 3, 4};
  const uint64_t dims[] = {4};
  w.add_weight_value(w.add_tensor_f32("w", dims, v), "w");
  ASSERT_TRUE(w.set_entry_size(kSectionMetaKv, 80));
  for (int k = 0; k < 70; ++k) w.set_meta_i64("key" + std::to_string(k), k);
  ASSERT_TRUE(w.write_to_path(path_, nullptr));
  for (int k = 70; k < 70 + 64; ++k) {
    ASSERT_TRUE(set_value(path_, "key" + std::to_string(k), "i64", {std::to_string(k)}).ok);
  }
  ASSERT_TRUE(set_value(path_, "last", "string", {"x"}).ok);
  Opened o(path_);
  ASSERT_TRUE(o.r.ok());
  EXPECT_EQ(container_section_stride(o.c(), kSectionMetaKv), 64u);
  for (int k = 0; k < 70 + 64; ++k) EXPECT_EQ(meta_get_i64(o.c(), "key" + std::to_string(k), -1), k);
  EXPECT_EQ(meta_get_str(o.c(), "last", ""), "x");
}

TEST_F(MetaEdit, RefusalsLeaveTheFileByteIdentical) {
  ASSERT_TRUE(set_value(path_, "locked", "string", {"v"}, kMetaFlagImmutable).ok);
  expect_refused([&] { return set_value(path_, "locked", "string", {"w"}); }, "meta key is marked immutable");
  // Even when the new value would have made the region grow.
  const std::string big(5 * kWeightAlignmentBytes, 'v');
  expect_refused([&] { return set_value(path_, "locked", "string", {big}); }, "meta key is marked immutable");
  expect_refused([&] { return model_meta_delete(path_, "locked"); }, "meta key is marked immutable");
  expect_refused([&] { return model_meta_delete(path_, "absent"); }, "key not found");
  expect_refused([&] { return model_meta_set(path_, "", 1, 0, 0, "v", 1, 1); },
                 "meta key and value_type must be non-empty");
  expect_refused([&] { return model_meta_set(path_, "k", 0, 0, 0, "v", 1, 1); },
                 "meta key and value_type must be non-empty");
  expect_refused([&] { return model_meta_delete(path_, ""); }, "meta key must be non-empty");
  const std::string huge((uint64_t{64} << 20) + 1, 'h');
  expect_refused([&] { return model_meta_set(path_, "huge", 7, 0, 0, huge.data(), huge.size(), 1); },
                 "metadata region would exceed 64 MiB");
  expect_refused([&] { return model_meta_set(path_, "huge", 7, 0, 0, nullptr, ~uint64_t{0} - 2, 1); },
                 "metadata region would exceed 64 MiB");
  EXPECT_EQ(model_meta_set(std::string("a\0b", 3), "k", 3, 0, 0, nullptr, 0, 1).text, "invalid vexa path");
  EXPECT_EQ(model_meta_delete(tmp_.file("missing.vexa"), "k").text, "failed to open .vexa file for writing");

  // Damaged files: too short, a bad header, a body that no longer matches its digest, tables
  // that place a section outside the region (re-sealed so that only the tables are wrong).
  const std::vector<uint8_t> good = read_bytes(path_);
  struct Damage {
    const char* message;
    std::vector<uint8_t> bytes;
  };
  std::vector<Damage> damaged = {{"invalid .vexa file size", {good.begin(), good.begin() + 511}},
                                 {"invalid .vexa header", good},
                                 {"metadata region digest mismatch", good},
                                 {"invalid .vexa metadata tables", good}};
  damaged[1].bytes[8] = 2;
  damaged[2].bytes[600] ^= 1;
  const uint64_t m = header_word(good, offsetof(ContainerHeader, weights_offset));
  uint64_t far = m;
  std::memcpy(damaged[3].bytes.data() + offsetof(ContainerHeader, sections) + 16 * 10, &far, 8);
  container_seal_with_fold(damaged[3].bytes.data(), static_cast<uint32_t>(header_word(good, kHeaderWeightsFoldOffset)));
  for (const Damage& d : damaged) {
    const std::string p = tmp_.file("damaged.vexa");
    write_bytes(p, d.bytes);
    expect_refused([&] { return set_value(p, "k", "i64", {"1"}); }, d.message, p);
    expect_refused([&] { return model_meta_delete(p, "onnx.opset"); }, d.message, p);
  }

  // Paths that are not regular files are never opened.
  vexa::testing::TempFifo fifo;
  ASSERT_TRUE(fifo.ok());
  for (const std::string& p : {std::string("/dev/full"), fifo.path(), tmp_.path()}) {
    ToolResult r;
    EXPECT_TRUE(vexa::testing::returns_without_writer(fifo.path(), [&] { r = model_meta_delete(p, "k"); },
                                                      std::chrono::milliseconds(2000)));
    EXPECT_EQ(r.text, "output '" + p + "' exists and is not a regular file");
  }
  struct stat st {};
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  expect_runs_as_before();
}

TEST_F(MetaEdit, FailedWritesLeaveTheFileByteIdentical) {
  const std::string big(3 * kWeightAlignmentBytes, 'v');
  for (const FileReplaceStep step : {FileReplaceStep::kOpen, FileReplaceStep::kWrite,
                                     FileReplaceStep::kSync, FileReplaceStep::kRename}) {
    file_replace_fail_at_for_testing(step);
    // In place, growing, and a delete.
    expect_refused([&] { return set_value(path_, "k", "string", {"v"}); },
                   "failed writing updated metadata to .vexa file");
    expect_refused([&] { return set_value(path_, "k", "string", {big}); },
                   "failed writing updated metadata to .vexa file");
    expect_refused([&] { return model_meta_delete(path_, "onnx.opset"); }, "failed writing metadata");
  }
  file_replace_fail_at_for_testing(FileReplaceStep::kNone);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp_.path()), {}), 1)
      << "no temporary file is left";
  expect_runs_as_before();
}

// A generative container has no metadata table: section 1 is its string area. Every set is
// refused, a delete finds no key, and the file keeps every byte and still opens and verifies.
TEST_F(MetaEdit, GenerativeContainersAreLeftUntouched) {
  ContainerWriter w;
  w.set_generative();
  const uint16_t half[4] = {0x3c00, 0x4000, 0xbc00, 0};
  const uint64_t dims[] = {2, 2};
  w.begin_group("embed");
  const uint64_t t = w.add_tensor_f16("embed", dims, half);
  w.add_exec_value({"input_ids", 3, 1, 0});
  w.add_exec_value({"embed", 1, 4, t});
  w.add_exec_value({"logits", 1, 2, 0});
  w.add_exec_node({1, 0, {1, 0}, {2}, {}});
  w.add_aux("config.json", "{}");
  const std::string p = tmp_.file("generative.vexa");
  ASSERT_TRUE(w.write_to_path(p, nullptr));
  const char* types[][2] = {{"string", "v"}, {"f64", "1"}, {"i64", "1"}, {"bool", "true"},
                            {"strings", "a"}, {"f32", "1"}, {"bytes", "00"}};
  for (const auto& [type, word] : types) {
    expect_refused([&] { return set_value(p, "k", type, {word}); },
                   "the container's string area cannot hold metadata", p);
  }
  expect_refused([&] { return model_meta_delete(p, "embed"); }, "key not found", p);
  Opened o(p);
  ASSERT_TRUE(o.r.ok());
  std::vector<uint8_t> memory(o.r.container.weights_data_size);
  ASSERT_TRUE(read_fully_at(o.r.container.fd, memory.data(), memory.size(), o.r.container.weights_offset));
  EXPECT_TRUE(container_verify_tensors(o.c(), memory.data()));
}

// Layouts made by editing a converted container and re-sealing it. A graph model whose section
// 1 has entries below 64 bytes has no metadata: a set gives it a fresh table. An empty value
// table marks a generative container, whose graph section holds absolute offsets: edits in
// place are made, a repack is refused.
TEST_F(MetaEdit, RepacksOnlyWhatCanMove) {
  const std::vector<uint8_t> good = read_bytes(path_);
  const uint32_t fold = static_cast<uint32_t>(header_word(good, kHeaderWeightsFoldOffset));
  auto with_word = [&](uint64_t section, uint64_t word, uint64_t value) {
    std::vector<uint8_t> bytes = good;
    const uint64_t at = header_word(bytes, offsetof(ContainerHeader, sections) + 16 * section) + 8 * word;
    std::memcpy(bytes.data() + at, &value, 8);
    container_seal_with_fold(bytes.data(), fold);
    return bytes;
  };
  const std::string p = tmp_.file("edited.vexa");
  write_bytes(p, with_word(kSectionMetaKv, 1, 8));
  expect_refused([&] { return model_meta_delete(p, "onnx.opset"); }, "key not found", p);
  ASSERT_TRUE(set_value(p, "k", "i64", {"5"}).ok);
  {
    Opened o(p);
    ASSERT_TRUE(o.r.ok());
    EXPECT_EQ(container_section_stride(o.c(), kSectionMetaKv), 64u);
    EXPECT_EQ(meta_live_count(o.c()), 1u) << "the new table starts empty";
    EXPECT_EQ(meta_get_i64(o.c(), "k", 0), 5);
  }
  const std::string kept = path_;
  path_ = p;
  expect_runs_as_before();
  path_ = kept;

  write_bytes(p, with_word(kSectionValues, 2, 0));
  const std::string big(3 * kWeightAlignmentBytes, 'v');
  expect_refused([&] { return set_value(p, "k", "string", {big}); },
                 "repacking would break the container's generative graph section", p);
  ASSERT_TRUE(set_value(p, "k", "i64", {"1"}).ok);
  ASSERT_TRUE(model_meta_delete(p, "k").ok);
  Opened o(p);
  EXPECT_TRUE(o.r.ok());

  // Aux blobs hold absolute offsets into section 1.
  ContainerWriter w;
  const float v[4] = {1, 2, 3, 4};
  const uint64_t dims[] = {4};
  w.add_weight_value(w.add_tensor_f32("w", dims, v), "w");
  w.add_aux("config.json", "{}");
  ASSERT_TRUE(w.write_to_path(p, nullptr));
  expect_refused([&] { return set_value(p, "k", "string", {big}); },
                 "repacking would break the container's aux blobs", p);
  EXPECT_TRUE(set_value(p, "k", "string", {"small"}).ok);
}

TEST_F(MetaEdit, ProgramSetsAndDeletesFromTheCommandLine) {
  if (!program_built("vexa-meta")) GTEST_SKIP() << "vexa-meta is not built beside the tests";
  int status = -1;
  EXPECT_EQ(run_program("vexa-meta", "set " + path_ + " labels strings a b c", &status),
            "updated " + path_ + "\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(run_program("vexa-meta", "set --immutable " + path_ + " scale f32 0.5 2", &status),
            "updated " + path_ + "\n");
  EXPECT_EQ(run_program("vexa-meta", "delete " + path_ + " scale", &status),
            "vexa: meta key is marked immutable\n");
  EXPECT_EQ(status, 1);
  EXPECT_EQ(run_program("vexa-meta", "set " + path_ + " n i64 12x", &status),
            "vexa: '12x' is not a 64-bit integer\n");
  EXPECT_EQ(status, 1);
  EXPECT_EQ(run_program("vexa-meta", "delete " + path_ + " labels", &status), "updated " + path_ + "\n");
  EXPECT_EQ(run_program("vexa-meta", "rename " + path_, &status).rfind("vexa: usage: vexa-meta", 0), 0u);
  EXPECT_EQ(status, 1);
  Opened o(path_);
  ASSERT_TRUE(o.r.ok());
  EXPECT_FALSE(meta_find(o.c(), "labels", nullptr));
  MetaEntry e{};
  ASSERT_TRUE(meta_find(o.c(), "scale", &e));
  EXPECT_EQ(e.flags, kMetaFlagImmutable);
  EXPECT_EQ(e.item_count, 2u);
}

TEST(MetaValueWords, ParseOrExplain) {
  MetaValue v;
  const std::string_view none[] = {""};
  EXPECT_EQ(parse_meta_value("f64", std::span(none, 0), &v), "f64 takes exactly one value");
  const std::string_view bad_number[] = {"1e999"};
  EXPECT_EQ(parse_meta_value("f64", bad_number, &v), "'1e999' is not a finite number");
  EXPECT_EQ(parse_meta_value("f32", bad_number, &v), "'1e999' is not a finite f32 number");
  const std::string_view nan[] = {"nan"};
  EXPECT_EQ(parse_meta_value("f64", nan, &v), "'nan' is not a finite number");
  const std::string_view too_big[] = {"9223372036854775808"};
  EXPECT_EQ(parse_meta_value("i64", too_big, &v), "'9223372036854775808' is not a 64-bit integer");
  const std::string_view spaced[] = {" 1"};
  EXPECT_EQ(parse_meta_value("i64", spaced, &v), "' 1' is not a 64-bit integer");
  const std::string_view yes[] = {"yes"};
  EXPECT_EQ(parse_meta_value("bool", yes, &v), "bool takes true or false");
  const std::string_view odd_hex[] = {"abc"};
  EXPECT_EQ(parse_meta_value("bytes", odd_hex, &v), "'abc' is not an even number of hex digits");
  const std::string_view bad_hex[] = {"zz"};
  EXPECT_EQ(parse_meta_value("bytes", bad_hex, &v), "'zz' is not an even number of hex digits");
  EXPECT_EQ(parse_meta_value("text", none, &v),
            "unknown metadata type 'text' (string, f64, i64, bool, strings, f32 or bytes)");
  const std::string_view half[] = {"0.5"};
  ASSERT_EQ(parse_meta_value("f64", half, &v), "");
  EXPECT_EQ(v.inline_value, 0x3fe0000000000000u);
  const std::string_view items[] = {"a", "bc"};
  ASSERT_EQ(parse_meta_value("strings", items, &v), "");
  EXPECT_EQ(v.bytes, std::string("a\0bc", 4));
  EXPECT_EQ(v.item_count, 2u);
  ASSERT_EQ(parse_meta_value("strings", std::span(items, 0), &v), "");
  EXPECT_EQ(v.item_count, 0u);
}

}  // namespace
}  // namespace vexa::tools::testing
