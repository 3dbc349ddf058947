#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include <unistd.h>

#include "core/container_access.h"
#include "core/model_load.h"
#include "tests/core/container_fixture.h"
#include "tests/core/fifo_guard.h"

namespace vexa {
namespace {

// Bounds of the accessor sweep over each mutated container: enough to reach every record of the
// sample, small enough for thousands of mutations.
constexpr uint64_t kMaxExercisedRecords = 128;
constexpr uint64_t kMaxExercisedWeightBytes = uint64_t{64} << 20;

using Image = std::vector<uint8_t>;

uint64_t u64_at(const Image& b, uint64_t at) { return load_record<uint64_t>(b.data() + at); }
void set_u64(Image& b, uint64_t at, uint64_t v) { store_record(b.data() + at, v); }
ContainerHeader header_of(const Image& b) { return load_record<ContainerHeader>(b.data()); }
uint64_t entry_at(const Image& b, uint32_t section, uint64_t j) {
  const uint64_t off = header_of(b).sections[section].offset;
  return off + 32 + u64_at(b, off + 8) * j;
}
void reseal(Image& b) { container_seal_plain(b.data(), b.size()); }

// Status of opening the image from an anonymous file; -1 for success.
int64_t open_status(const Image& b, uint32_t flags = kOpenFlagPlanF32) {
  const int fd = testing::memory_file(b);
  OpenResult r = container_open_fd(fd, 0, b.size(), flags);
  close(fd);
  if (!r.ok()) return static_cast<int64_t>(r.status);
  container_close(&r.container);
  return -1;
}

TEST(PackStatusText, FixedTexts) {
  const char* texts[] = {"I/O failed",
                         "invalid header/version/file size",
                         "invalid section bounds",
                         "metadata/header hash mismatch",
                         "invalid load plan/group coverage",
                         "invalid tensor record",
                         "allocation failed",
                         "slot is busy",
                         "slot too small",
                         "backend failed",
                         "tensor hash mismatch"};
  for (uint32_t code = 0; code < 11; ++code) {
    EXPECT_EQ(pack_status_text(code), texts[code]) << code;
    EXPECT_EQ(pack_status_text(code).data()[pack_status_text(code).size()], '\0');
  }
  EXPECT_EQ(pack_status_text(PackStatus::kTensorHashMismatch), "tensor hash mismatch");
  EXPECT_EQ(pack_status_text(11), "unknown status");
}

TEST(OpKindNames, FixedNamesAndUnknown) {
  EXPECT_EQ(op_kind_name(1), "Sub");
  EXPECT_EQ(op_kind_name(44), "DynamicQuantizeLinear");
  EXPECT_EQ(op_kind_name(85), "YoloNms");
  EXPECT_EQ(op_kind_name(87), "Cast");
  for (const uint64_t k : {uint64_t{0}, uint64_t{88}, ~uint64_t{0}}) {
    EXPECT_EQ(op_kind_name(k), "UnknownOp");
    EXPECT_EQ(op_kind_name(k).size(), 9u);
  }
  for (uint64_t k = 1; k <= 87; ++k) EXPECT_NE(op_kind_name(k), "UnknownOp") << k;
}

struct Corruption {
  const char* what;
  std::function<void(Image&)> mutate;
  bool reseal;
  int64_t status;
};

TEST(ContainerCorruption, EachFaultReachesItsStatus) {
  const Image sample = testing::make_sample().bytes;
  ASSERT_EQ(open_status(sample), -1);
  const uint64_t w = header_of(sample).weights_offset;
  const std::vector<Corruption> cases = {
      {"magic", [](Image& b) { b[0] = 'W'; }, false, 1},
      {"version", [](Image& b) { set_u64(b, 8, 2); }, false, 1},
      {"header size", [](Image& b) { set_u64(b, 24, 256); }, false, 1},
      {"length field", [](Image& b) { set_u64(b, 32, b.size() + 1); }, false, 1},
      {"alignment", [](Image& b) { set_u64(b, 40, 4096); }, false, 1},
      {"W unaligned", [](Image& b) { set_u64(b, 48, u64_at(b, 48) + 64); }, false, 1},
      {"W below header", [](Image& b) { set_u64(b, 48, 0); }, false, 1},
      {"W beyond 64 MiB", [](Image& b) { set_u64(b, 48, (uint64_t{64} << 20) + 16384); }, false, 1},
      {"weights size", [](Image& b) { set_u64(b, 56, u64_at(b, 56) - 1); }, false, 1},
      {"header reserved byte", [](Image& b) { b[400] ^= 1; }, false, 3},
      {"header digest", [](Image& b) { b[260] ^= 1; }, false, 3},
      {"directory", [](Image& b) { b[64 + 16 * 3] ^= 0x40; }, false, 3},
      {"body byte", [w](Image& b) { b[w - 100] ^= 1; }, false, 3},
      {"section unaligned", [](Image& b) { set_u64(b, 64 + 16 * 4, u64_at(b, 64 + 16 * 4) + 8); }, true, 4},
      {"sections overlap", [](Image& b) { set_u64(b, 64 + 16 * 2 + 8, u64_at(b, 64 + 16 * 2 + 8) + 64); }, true, 4},
      {"section past W", [w](Image& b) { set_u64(b, 64 + 16 * 10 + 8, w); }, true, 4},
      {"section kind", [](Image& b) { set_u64(b, header_of(b).sections[7].offset, 2); }, true, 4},
      {"entry count", [](Image& b) { set_u64(b, header_of(b).sections[3].offset + 16, 5); }, true, 4},
      {"zero entry size", [](Image& b) { set_u64(b, header_of(b).sections[8].offset + 8, 0); }, true, 4},
      {"short tensor stride", [](Image& b) { set_u64(b, header_of(b).sections[3].offset + 8, 184); }, true, 4},
      {"two layouts", [](Image& b) { set_u64(b, header_of(b).sections[5].offset + 16, 0); }, true, 4},
      {"layout kind", [](Image& b) { set_u64(b, entry_at(b, 5, 0) + 8, 2); }, true, 4},
      {"layout group count", [](Image& b) { set_u64(b, entry_at(b, 5, 0) + 56, 2); }, true, 4},
      {"data size", [](Image& b) { set_u64(b, entry_at(b, 5, 0) + 32, 3 * 16384); }, true, 4},
      {"f16 dtype entry", [](Image& b) { set_u64(b, entry_at(b, 2, 0) + 8, 8); }, true, 4},
      {"Q8 dtype entry", [](Image& b) { set_u64(b, entry_at(b, 2, 3) + 24, 64); }, true, 4},
      {"tensor dtype", [](Image& b) { set_u64(b, entry_at(b, 3, 1) + 8, 3); }, true, 4},
      {"tensor rank", [](Image& b) { set_u64(b, entry_at(b, 3, 0) + 32, 7); }, true, 4},
      {"tensor dim", [](Image& b) { set_u64(b, entry_at(b, 3, 0) + 40, 3); }, true, 4},
      {"tensor last dim zero", [](Image& b) { set_u64(b, entry_at(b, 3, 2) + 48, 0); }, true, 4},
      {"tensor row bytes", [](Image& b) { set_u64(b, entry_at(b, 3, 2) + 136, 100); }, true, 4},
      {"tensor index", [](Image& b) { set_u64(b, entry_at(b, 3, 1) + 128, 0); }, true, 4},
      {"tensor group", [](Image& b) { set_u64(b, entry_at(b, 3, 1) + 24, 1); }, true, 4},
      {"tensor reserved", [](Image& b) { set_u64(b, entry_at(b, 3, 1) + 120, 1); }, true, 4},
      {"padding of 16384 or more",
       [](Image& b) { set_u64(b, entry_at(b, 3, 3) + 104, 2 * 16384); }, true, 4},
      {"tensor relative offset", [](Image& b) { set_u64(b, entry_at(b, 3, 2) + 112, 0); }, true, 4},
      {"group first tensor", [](Image& b) { set_u64(b, entry_at(b, 4, 0) + 16, 1); }, true, 4},
      {"group tensor count", [](Image& b) { set_u64(b, entry_at(b, 4, 0) + 24, 5); }, true, 4},
      {"load step", [](Image& b) { set_u64(b, entry_at(b, 7, 0) + 16, 16384); }, true, 4},
      {"second load step", [](Image& b) { set_u64(b, entry_at(b, 7, 1) + 40, 1); }, true, 4},
      {"digest stride", [](Image& b) { set_u64(b, header_of(b).sections[10].offset + 8, 32); }, true, 4},
      {"weight value tensor index", [](Image& b) { set_u64(b, entry_at(b, 8, 3) + 88, 99); }, true, 5},
      // 2^62 + 1 f16 elements: x4 for the f32 copy wraps to 4 bytes.
      {"weight value element count wraps",
       [](Image& b) { set_u64(b, entry_at(b, 8, 2) + 72, (uint64_t{1} << 62) + 1); }, true, 5},
  };
  for (const Corruption& c : cases) {
    Image b = sample;
    c.mutate(b);
    if (c.reseal) reseal(b);
    const int64_t got = open_status(b);
    EXPECT_EQ(got, c.status) << c.what << ": "
                             << (got < 0 ? "opened" : pack_status_text(static_cast<uint32_t>(got)));
  }
  // The plan is the only consumer of weight values: without it the same file opens.
  Image b = sample;
  set_u64(b, entry_at(b, 8, 3) + 88, 99);
  reseal(b);
  EXPECT_EQ(open_status(b, 0), -1);
}

TEST(ContainerCorruption, GroupWithAGapAtItsEnd) {
  Image b = testing::make_sample().bytes;
  // Grow the group, the layout, the load steps and the file by one empty page: the tensors no
  // longer fill their group.
  b.resize(b.size() + 16384, 0);
  const uint64_t page = 16384;
  set_u64(b, 32, b.size());
  set_u64(b, 56, u64_at(b, 56) + page);
  set_u64(b, entry_at(b, 4, 0) + 40, u64_at(b, entry_at(b, 4, 0) + 40) + page);
  set_u64(b, entry_at(b, 5, 0) + 32, u64_at(b, entry_at(b, 5, 0) + 32) + page);
  set_u64(b, entry_at(b, 7, 0) + 8, u64_at(b, entry_at(b, 7, 0) + 8) + page);
  set_u64(b, entry_at(b, 7, 1) + 8, u64_at(b, entry_at(b, 7, 1) + 8) + page);
  reseal(b);
  EXPECT_EQ(open_status(b), 4);
  // Widening the last tensor's padding over the gap breaks the padding rule instead.
  const uint64_t t3 = entry_at(b, 3, 3);
  set_u64(b, t3 + 104, u64_at(b, t3 + 104) + page);
  reseal(b);
  EXPECT_EQ(open_status(b), 4);
}

TEST(ContainerCorruption, DescriptorRangesAndPaths) {
  const Image sample = testing::make_sample().bytes;
  const int fd = testing::memory_file(sample, 100, 0);
  struct Range {
    const char* what;
    int fd;
    uint64_t base;
    uint64_t length;
    int64_t status;
  } ranges[] = {
      {"closed descriptor", -1, 0, sample.size(), 2},
      {"shorter than a header", fd, 100, 511, 2},
      {"base past the end", fd, sample.size() + 101, 600, 2},
      {"length past the end", fd, 100, sample.size() + 1, 2},
      {"wrong base", fd, 0, sample.size(), 1},
      {"length differs from the header", fd, 100, sample.size() - 4, 1},
      {"exact range", fd, 100, sample.size(), -1},
  };
  for (const Range& r : ranges) {
    OpenResult o = container_open_fd(r.fd, r.base, r.length, kOpenFlagPlanF32);
    EXPECT_EQ(o.ok() ? -1 : static_cast<int64_t>(o.status), r.status) << r.what;
    if (o.ok()) container_close(&o.container);
  }
  close(fd);
  const std::string missing = "/nonexistent/model.vexa";
  OpenResult o = container_open_path(missing.data(), missing.size());
  EXPECT_FALSE(o.ok());
  EXPECT_EQ(o.status, 0u);
  o = container_open_path("a\0b", 3);
  EXPECT_FALSE(o.ok());
  EXPECT_EQ(o.status, 0u);
  o = container_open_path(nullptr, 5);  // no bytes behind the length: refused, never read
  EXPECT_FALSE(o.ok());
  EXPECT_EQ(o.status, 0u);
}

// A FIFO has no size and its open waits for a writer: both path openers refuse it at once with
// their I/O failure.
TEST(ContainerCorruption, PathNamingAFifoIsRefusedWithoutBlocking) {
  testing::TempFifo fifo;
  ASSERT_TRUE(fifo.ok());
  const std::string& p = fifo.path();
  constexpr auto kLimit = std::chrono::seconds(2);

  OpenResult opened{};
  EXPECT_TRUE(testing::returns_without_writer(
      p, [&] { opened = container_open_path(p.data(), p.size()); }, kLimit));
  EXPECT_FALSE(opened.ok());
  if (opened.ok()) container_close(&opened.container);
  EXPECT_EQ(opened.status, static_cast<uint32_t>(PackStatus::kIoFailed));

  std::string load_text = "(not run)";
  EXPECT_TRUE(testing::returns_without_writer(
      p,
      [&] {
        ModelLoadResult r = model_load_path(p.data(), p.size());
        if (r.ok()) {
          container_close(&r.value);
          load_text = "(opened)";
        } else {
          load_text = std::string(expected_message_view(r.error));
          expected_message_free(&r.error);
        }
      },
      kLimit));
  EXPECT_EQ(load_text, "failed reading model");
}

TEST(ContainerCorruption, RandomMutationsNeverCrash) {
  const Image sample = testing::make_sample().bytes;
  const uint64_t w = header_of(sample).weights_offset;
  const uint64_t seed = std::random_device{}();
  std::mt19937_64 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  int opened = 0;
  for (int iter = 0; iter < 2000; ++iter) {
    Image b = sample;
    const int mode = iter % 4;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      if (mode == 0) {
        b[rng() % b.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      } else if (mode == 1) {
        // Metadata only, resealed so that validation sees the damage.
        b[64 + rng() % (w - 64)] = static_cast<uint8_t>(rng());
      } else {
        const uint64_t at = (512 + rng() % (w - 520)) & ~uint64_t{7};
        const uint64_t values[] = {0, 1, rng(), ~uint64_t{0}, uint64_t{1} << 62, 16384, rng() % 256};
        set_u64(b, at, values[rng() % 7]);
      }
    }
    if (mode != 0) reseal(b);
    if (rng() % 8 == 0) b.resize(rng() % b.size());
    const int fd = testing::memory_file(b);
    ASSERT_GE(fd, 0);
    OpenResult r = container_open_fd(fd, 0, b.size(), (rng() & 1) ? kOpenFlagPlanF32 : 0);
    if (r.ok()) {
      ++opened;
      testing::exercise_accessors(r.container, kMaxExercisedRecords, kMaxExercisedWeightBytes);
      container_close(&r.container);
    } else {
      EXPECT_LE(r.status, 6u);
    }
    if (iter % 16 == 0) {
      ModelLoadResult m = model_load_fd(fd, 0, b.size());
      if (m.ok()) {
        container_close(&m.value);
      } else {
        EXPECT_FALSE(expected_message_view(m.error).empty());
        expected_message_free(&m.error);
      }
    }
    close(fd);
  }
  // Some mutations land in spare pool bytes and padding: those files still open.
  EXPECT_GT(opened, 0);
}

}  // namespace
}  // namespace vexa
