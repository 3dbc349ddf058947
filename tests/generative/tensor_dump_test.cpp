// Trace files: contiguous slices, slices of leading positions gathered per index of dimension
// 0, key/value caches gathered row by row past their spare capacity, and the refusals.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "core/domain_error.h"
#include "generative/tensor_dump.h"
#include "platform/software_device.h"
#include "tests/generative/tiny_session.h"

namespace {

using namespace vexa;
using vexa::testing::ScratchDir;

// An F32 tensor whose element i holds i, `capacity` elements of storage behind `offset_elements`.
VXTensor counting_tensor(std::vector<uint64_t> shape, uint64_t capacity, uint64_t offset_elements = 0) {
  VXTensor t;
  t.buffer = device_system_default()->new_buffer((capacity + offset_elements) * 4, StorageMode::kShared);
  auto* f = static_cast<float*>(t.buffer->contents());
  for (uint64_t i = 0; i < capacity + offset_elements; ++i) {
    f[i] = static_cast<float>(i) - static_cast<float>(offset_elements);
  }
  t.shape = std::move(shape);
  t.count = shape_element_count(t.shape);
  t.offset = offset_elements * 4;
  t.dtype = kVXDtypeF32;
  return t;
}

std::vector<float> read_floats(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  std::vector<float> out(bytes.size() / 4);
  std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

std::string refusal(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const DomainError& e) {
    return e.reason();
  }
  return "";
}

}  // namespace

TEST(TensorDump, SlicesOfLeadingPositionsAreGatheredPerIndex) {
  ScratchDir dir;
  // [2, 10, 3]: index 1's positions start 30 elements in, not right after index 0's first 8.
  const VXTensor t = counting_tensor({2, 10, 3}, 60, 4);
  const nlohmann::json d = vlm_dump_leading_positions(t, "boundary/x", dir.path(), 8);
  EXPECT_EQ(d.at("file"), "boundary_x.bin");
  EXPECT_EQ(d.at("shape"), (std::vector<uint64_t>{2, 8, 3}));
  EXPECT_EQ(d.at("dtype"), kVXDtypeF32);
  const std::vector<float> got = read_floats(dir.file("boundary_x.bin"));
  ASSERT_EQ(got.size(), 48u);
  for (uint64_t i = 0; i < 2; ++i) {
    for (uint64_t j = 0; j < 24; ++j) EXPECT_EQ(got[i * 24 + j], static_cast<float>(i * 30 + j));
  }
  EXPECT_EQ(refusal([&] { vlm_dump_leading_positions(t, "y", dir.path(), 11); }),
            "Output slice bounds");
}

TEST(TensorDump, ContiguousSlicesAndCaches) {
  ScratchDir dir;
  const VXTensor t = counting_tensor({4, 5}, 20, 2);
  // The last row, as the loop writes the last position's logits.
  vlm_dump_tensor(t, "logits_last", dir.path(), 15 * 4, {1, 1, 5});
  EXPECT_EQ(read_floats(dir.file("logits_last.bin")), (std::vector<float>{15, 16, 17, 18, 19}));
  EXPECT_EQ(refusal([&] { vlm_dump_tensor(t, "z", dir.path(), 16 * 4, {1, 5}); }),
            "Output slice bounds");
  EXPECT_EQ(refusal([&] { vlm_dump_tensor(t, "z", dir.path(), 0, {5, 5}); }),
            "Output slice bounds");

  // A cache [1, 2, 3, 4] holding room for 5 positions per head: two rows of 3 x 4 live
  // elements, 20 elements apart.
  VXTensor cache = counting_tensor({1, 2, 3, 4}, 40);
  cache.cache_stride = 5;
  const nlohmann::json d = vlm_dump_tensor(cache, "past_key.0", dir.path(), 0, cache.shape);
  EXPECT_EQ(d.at("shape"), (std::vector<uint64_t>{1, 2, 3, 4}));
  const std::vector<float> got = read_floats(dir.file("past_key.0.bin"));
  ASSERT_EQ(got.size(), 24u);
  for (uint64_t j = 0; j < 12; ++j) {
    EXPECT_EQ(got[j], static_cast<float>(j));
    EXPECT_EQ(got[12 + j], static_cast<float>(20 + j));
  }
  EXPECT_EQ(refusal([&] { vlm_dump_tensor(cache, "c", dir.path(), 0, {1, 2, 2, 4}); }),
            "Cache trace must contain the complete live tensor");
  EXPECT_EQ(refusal([&] { vlm_dump_tensor(cache, "c", dir.path(), 4, cache.shape); }),
            "Output slice bounds");
  // A cache whose stride claims more room than its buffer has.
  VXTensor lying = cache;
  lying.cache_stride = 50;
  EXPECT_EQ(refusal([&] { vlm_dump_tensor(lying, "c", dir.path(), 0, lying.shape); }),
            "Output slice bounds");
  EXPECT_EQ(refusal([&] { vlm_dump_tensor(t, "w", dir.file("missing"), 0, {2}); }),
            "Writing output tensor");
}
