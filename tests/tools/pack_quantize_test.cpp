// Pack quantisation: the block encoding against a naive one written here, which weights become
// Q8 and which stay f32, the rebuilt container (opens, verifies, decodes within the block bound)
// and converted models still matching ONNX Runtime's f32 outputs; every refusal and failed write
// leaves the output as it was.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "container_tool_util.h"
#include "core/container_access.h"
#include "core/container_writer.h"
#include "core/file_replace.h"
#include "core/weight_decode.h"
#include "platform/thread_pool.h"
#include "tests/core/container_fixture.h"
#include "tests/core/fifo_guard.h"
#include "tools/pack_quantize.h"
#include "tools/q8_encode.h"

namespace vexa::tools::testing {
namespace {

// Q8 keeps every weight within half a step (amax / 254 of its block) of the original. Through a
// network those errors add up. A classifier's outputs are compared with the reference runtime's
// f32 outputs relative to the largest one: within 2% of it (measured 0.29% on the ResNet-style
// fixture).
constexpr double kQ8OutputTolerance = 0.02;
// A detector's probability map passes its logits through a sigmoid, which turns the same small
// logit errors into large ones at the few pixels on a text edge (measured on the PP-OCRv4
// detector: largest error 0.23 at one pixel, mean 0.0006, 28 of 8192 pixels off by more than
// 0.05, 8 of 490 text pixels changing side of 0.3). The map is judged as a map: mean error, the
// share of pixels far off, and the text mask at the detector's usual threshold.
constexpr double kMapMeanError = 0.005;
constexpr double kMapFarOff = 0.05;
constexpr double kMapFarOffShare = 0.01;
constexpr float kMapTextThreshold = 0.3f;
constexpr double kMapMaskChangeShare = 0.05;

// The encoding as the format defines it, one value at a time with the C library's rintf.
std::vector<uint8_t> naive_encode(const std::vector<float>& x, uint64_t rows, uint64_t cols) {
  const uint64_t blocks = (cols + 63) / 64;
  std::vector<uint8_t> out(rows * blocks * 68, 0);
  for (uint64_t r = 0; r < rows; ++r) {
    for (uint64_t b = 0; b < blocks; ++b) {
      uint8_t* block = out.data() + (r * blocks + b) * 68;
      const uint64_t n = std::min<uint64_t>(64, cols - 64 * b);
      const float* v = x.data() + r * cols + 64 * b;
      float amax = 0;
      for (uint64_t k = 0; k < n; ++k) {
        if (std::fabs(v[k]) > amax) amax = std::fabs(v[k]);
      }
      float scale = 1.0f;
      if (amax >= 1e-30f) {
        scale = amax / 127.0f;
        const float m = 127.0f / amax;
        for (uint64_t k = 0; k < n; ++k) {
          const float q = std::isnan(v[k]) ? 0.0f : std::fmin(127.0f, std::fmax(-127.0f, std::rint(m * v[k])));
          block[k] = static_cast<uint8_t>(static_cast<int8_t>(q));
        }
      }
      std::memcpy(block + 64, &scale, 4);
    }
  }
  return out;
}

::testing::AssertionResult near_peak(const std::vector<float>& got, const std::vector<float>& want,
                                     double share) {
  if (got.size() != want.size() || want.empty()) {
    return ::testing::AssertionFailure() << "size " << got.size() << " vs " << want.size();
  }
  double peak = 0, worst = 0;
  for (float w : want) peak = std::max(peak, std::fabs(static_cast<double>(w)));
  for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, std::fabs(static_cast<double>(got[i]) - want[i]));
  if (worst <= share * peak) return ::testing::AssertionSuccess() << worst / peak;
  return ::testing::AssertionFailure() << "largest error " << worst << " is " << worst / peak
                                       << " of the peak " << peak;
}

::testing::AssertionResult map_close(const std::vector<float>& got, const std::vector<float>& want) {
  if (got.size() != want.size() || want.empty()) {
    return ::testing::AssertionFailure() << "size " << got.size() << " vs " << want.size();
  }
  double sum = 0;
  uint64_t far = 0, text = 0, flipped = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    const double e = std::fabs(static_cast<double>(got[i]) - want[i]);
    sum += e;
    far += e > kMapFarOff;
    text += want[i] > kMapTextThreshold;
    flipped += (got[i] > kMapTextThreshold) != (want[i] > kMapTextThreshold);
  }
  const double mean = sum / static_cast<double>(want.size());
  if (mean <= kMapMeanError && far <= kMapFarOffShare * static_cast<double>(want.size()) &&
      text > 0 && flipped <= kMapMaskChangeShare * static_cast<double>(text)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "mean error " << mean << ", " << far << " pixels off by more than "
                                       << kMapFarOff << ", " << flipped << " of " << text
                                       << " text pixels changed side";
}

struct Opened {
  OpenResult r;
  explicit Opened(const std::string& path, uint32_t flags = 0) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    r = container_open_fd(fd, 0, fd < 0 ? 0 : static_cast<uint64_t>(container_file_size(fd)), flags);
    if (fd >= 0) close(fd);
  }
  ~Opened() { container_close(&r.container); }
  const OpenContainer* c() const { return &r.container; }
  std::vector<uint8_t> tensor_bytes(uint64_t j) const {
    const TensorRecord t = container_tensor_record(c(), j);
    std::vector<uint8_t> out(t.size);
    EXPECT_TRUE(read_fully_at(r.container.fd, out.data(), t.size, t.absolute_offset));
    return out;
  }
};

// Both paths of the encoder, whole blocks and short ones: the vector path must store exactly
// the portable bytes, NaNs, infinities, signed zeros and tiny blocks included.
TEST(Q8Encode, VectorPathStoresThePortableBytes) {
  std::mt19937 rng(99);
  std::uniform_real_distribution<float> u(-3.0f, 3.0f);
  std::uniform_int_distribution<int> pick(0, 40);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), -0.0f, 1e-31f, 1e-30f,
                            std::numeric_limits<float>::max(), std::numeric_limits<float>::denorm_min(),
                            0.5f / 127.0f};
  for (const uint64_t cols : {64u, 128u, 100u, 1000u}) {
    const uint64_t rows = 40;
    std::vector<float> x(rows * cols);
    for (uint64_t r = 0; r < rows; ++r) {
      // Some rows at tiny or huge scales, some sprinkled with special values.
      const float scale = r % 5 == 0 ? 1e-32f : r % 5 == 1 ? 1e30f : 1.0f;
      for (uint64_t c = 0; c < cols; ++c) {
        float v = u(rng) * scale;
        if (r % 3 == 0 && pick(rng) == 0) v = specials[pick(rng) % std::size(specials)];
        x[r * cols + c] = v;
      }
    }
    std::vector<uint8_t> vector_bytes(rows * q8_row_bytes(cols));
    std::vector<uint8_t> portable_bytes(vector_bytes.size());
    q8_encode_rows(x.data(), rows, cols, vector_bytes.data());
    q8_encode_force_portable(true);
    q8_encode_rows(x.data(), rows, cols, portable_bytes.data());
    q8_encode_force_portable(false);
    ASSERT_EQ(vector_bytes, portable_bytes) << "cols " << cols;
  }
}

void check_against_naive_encoding() {
  std::mt19937 rng(20240607);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (const uint64_t cols : {1u, 63u, 64u, 65u, 100u, 200u, 1000u}) {
    const uint64_t rows = 3;
    std::vector<float> x(rows * cols);
    for (float& v : x) v = normal(rng) * 0.05f;
    if (cols >= 64) {
      x[5] = 0.0f;
      for (uint64_t k = 0; k < 64; ++k) x[cols + k] = 0.0f;  // row 1 starts with an all-zero block
    }
    std::vector<uint8_t> got(rows * q8_row_bytes(cols), 0xee);
    q8_encode_rows(x.data(), rows, cols, got.data());
    ASSERT_EQ(got, naive_encode(x, rows, cols)) << "cols " << cols;
    std::vector<float> decoded(x.size());
    ASSERT_TRUE(weights_decode_f32(4, rows, cols, got.data(), decoded.data())) << "cols " << cols;
    for (uint64_t i = 0; i < x.size(); ++i) {
      const uint64_t b = (i % cols) / 64;
      float scale;
      std::memcpy(&scale, got.data() + (i / cols) * q8_row_bytes(cols) + b * 68 + 64, 4);
      EXPECT_LE(std::fabs(decoded[i] - x[i]), scale / 2 * (1 + 1e-6f)) << cols << " " << i;
    }
  }
  // The hand cases: 2.54 is code 127 at scale 2.54 / 127; an all-zero block has scale 1 and no
  // codes; a block below 1e-30 is stored as zeros; a NaN is code 0 and raises nothing.
  std::vector<float> x(64, 0.0f);
  x[0] = 2.54f;
  x[1] = -2.54f;
  x[2] = 1.27f;
  x[3] = std::numeric_limits<float>::quiet_NaN();
  uint8_t block[68];
  q8_encode_rows(x.data(), 1, 64, block);
  float scale;
  std::memcpy(&scale, block + 64, 4);
  EXPECT_EQ(scale, 2.54f / 127.0f);
  EXPECT_EQ(static_cast<int8_t>(block[0]), 127);
  EXPECT_EQ(static_cast<int8_t>(block[1]), -127);
  EXPECT_EQ(static_cast<int8_t>(block[2]), 64) << "63.5 rounds to the even 64";
  EXPECT_EQ(block[3], 0);
  for (const float tiny : {0.0f, 1e-31f}) {
    std::vector<float> z(64, tiny);
    q8_encode_rows(z.data(), 1, 64, block);
    std::memcpy(&scale, block + 64, 4);
    EXPECT_EQ(scale, 1.0f);
    EXPECT_EQ(std::count(block, block + 64, 0), 64);
  }
}

TEST(Q8Encode, MatchesTheNaiveEncodingAndDecodesWithinHalfAStep) {
  for (const bool portable : {false, true}) {
    SCOPED_TRACE(portable ? "portable" : "vector path");
    q8_encode_force_portable(portable);
    check_against_naive_encoding();
  }
  q8_encode_force_portable(false);
  std::vector<float> x(4, 1.0f);
  x[3] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(q8_all_finite(x.data(), 3));
  EXPECT_FALSE(q8_all_finite(x.data(), 4));
  std::vector<float> big(5000, 1.0f);
  big[4999] = -std::numeric_limits<float>::infinity();
  EXPECT_FALSE(q8_all_finite(big.data(), big.size()));
  EXPECT_TRUE(q8_all_finite(big.data(), 4999));
}

// A graph container built here with the shapes whose fate the rules decide.
struct Shapes {
  std::string path;
  std::vector<std::vector<float>> values;  // per tensor, row-major
};

Shapes write_shapes(const std::string& path) {
  Shapes s{path, {}};
  ContainerWriter w;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  struct Weight {
    const char* name;
    std::vector<uint64_t> dims;
  };
  const Weight weights[] = {
      {"narrow", {8, 48}},    // 0: MatMul rows of 48: too short
      {"exact", {8, 64}},     // 1: MatMul rows of 64
      {"wide", {5, 100}},     // 2: rows of 2 blocks
      {"bias_too", {4, 64}},  // 3: MatMul input 1 and another node's input 2
      {"shared", {6, 128}},   // 4: two MatMuls, same rows
      {"gemm_t", {16, 80}},   // 5: Gemm with transB: rows of count / 16
      {"table", {10, 64}},    // 6: Gather table
      {"conv", {4, 3, 5, 5}}, // 7: Conv rows of 75
      {"inf", {4, 64}},       // 8: holds an infinity
      {"bias", {64}},         // 9: only an input 2
  };
  std::vector<uint64_t> values;
  for (const Weight& wt : weights) {
    uint64_t count = 1;
    for (uint64_t d : wt.dims) count *= d;
    std::vector<float> v(count);
    for (float& f : v) f = u(rng);
    s.values.push_back(v);
  }
  s.values[8][77] = std::numeric_limits<float>::infinity();
  for (size_t i = 0; i < std::size(weights); ++i) {
    // Three load groups: each is laid out again around its new tensor sizes.
    if (i == 4 || i == 7) w.begin_group();
    const uint64_t t = w.add_tensor_f32(weights[i].name, weights[i].dims, s.values[i].data());
    values.push_back(w.add_weight_value(t, weights[i].name));
  }
  GraphValue act{};
  act.kind = static_cast<uint64_t>(ValueKind::kIntermediate);
  act.dtype = 2;
  const uint64_t x = w.add_value(act, "x");
  auto node = [&](OpKind op, std::vector<uint64_t> inputs, uint64_t trans_b = 0) {
    GraphNode n{};
    n.op_kind = static_cast<uint64_t>(op);
    n.input_count = inputs.size();
    for (size_t k = 0; k < inputs.size(); ++k) n.inputs[k] = inputs[k];
    n.output_count = 1;
    n.outputs[0] = w.add_value(act, "y" + std::to_string(w.tensor_count()) + std::to_string(inputs[0]));
    n.words()[28] = trans_b;
    w.add_node(n);
  };
  node(OpKind::kMatMul, {x, values[0]});
  node(OpKind::kMatMul, {x, values[1]});
  node(OpKind::kMatMul, {x, values[2]});
  node(OpKind::kMatMul, {x, values[3]});
  node(OpKind::kAdd, {x, x, values[3]});
  node(OpKind::kMatMul, {x, values[4]});
  node(OpKind::kMatMul, {x, values[4]});
  node(OpKind::kGemm, {x, values[5], values[9]}, 1);
  node(OpKind::kGather, {values[6], x});
  node(OpKind::kConv, {x, values[7]});
  node(OpKind::kMatMul, {x, values[8]});
  w.set_meta_string("task", "shapes");
  std::string error;
  EXPECT_TRUE(w.write_to_path(path, &error)) << error;
  return s;
}

class PackQuantize : public ::testing::Test {
 protected:
  void TearDown() override { file_replace_fail_at_for_testing(FileReplaceStep::kNone); }
  TempDir tmp_;
};

TEST_F(PackQuantize, RulesDecideWhichWeightsBecomeQ8) {
  const Shapes s = write_shapes(tmp_.file("shapes.vexa"));
  const std::string out = tmp_.file("q8.vexa");
  const ToolResult r = pack_quantize(s.path, out);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "6 of 10 weight tensors stored as Q8: 0 MB -> 0 MB");

  Opened o(out);
  ASSERT_TRUE(o.r.ok()) << pack_status_text(static_cast<uint32_t>(o.r.status));
  struct Want {
    uint64_t tensor, rows, cols;
  };
  const Want q8[] = {{1, 8, 64}, {2, 5, 100}, {4, 6, 128}, {5, 16, 80}, {6, 10, 64}, {7, 4, 75}};
  std::vector<bool> is_q8(10, false);
  for (const Want& want : q8) {
    is_q8[want.tensor] = true;
    const TensorRecord t = container_tensor_record(o.c(), want.tensor);
    EXPECT_EQ(t.dtype, 4u) << want.tensor;
    EXPECT_EQ(t.rank, 2u);
    EXPECT_EQ(t.dims[0], want.rows);
    EXPECT_EQ(t.dims[1], want.cols);
    EXPECT_EQ(t.row_bytes, q8_row_bytes(want.cols));
    // The stored bytes are the naive encoding of the original values.
    EXPECT_EQ(o.tensor_bytes(want.tensor), naive_encode(s.values[want.tensor], want.rows, want.cols))
        << want.tensor;
  }
  // A row of 100 values: two blocks, the second's codes 36..63 zero.
  const std::vector<uint8_t> wide = o.tensor_bytes(2);
  ASSERT_EQ(wide.size(), 5u * 136);
  EXPECT_EQ(std::count(wide.begin() + 68 + 36, wide.begin() + 68 + 64, 0), 28);
  for (uint64_t j = 0; j < 10; ++j) {
    if (is_q8[j]) continue;
    const TensorRecord t = container_tensor_record(o.c(), j);
    EXPECT_EQ(t.dtype, 2u) << j;
    const std::vector<uint8_t> bytes = o.tensor_bytes(j);
    EXPECT_EQ(std::memcmp(bytes.data(), s.values[j].data(), bytes.size()), 0) << j;
  }
  // Graph values follow their tensors; the metadata is kept.
  for (uint64_t i = 0; i < 10; ++i) {
    const GraphValue v = container_read_value(o.c(), i);
    const TensorRecord t = container_tensor_record(o.c(), v.tensor_index);
    EXPECT_EQ(v.dtype, t.dtype);
    EXPECT_EQ(v.data_offset, t.relative_offset);
    EXPECT_EQ(v.byte_size, t.size);
  }
  EXPECT_EQ(meta_get_str(o.c(), "task", ""), "shapes");
  ASSERT_EQ(container_section_count(o.c(), kSectionGroups), 3u);
  const auto group = [&](uint64_t g) {
    return load_record<GroupRecord>(o.r.container.image + container_entry_offset(o.c(), kSectionGroups, g));
  };
  EXPECT_EQ(group(1).relative_offset, container_tensor_record(o.c(), 4).relative_offset);
  EXPECT_EQ(group(2).relative_offset, container_tensor_record(o.c(), 7).relative_offset);
  std::vector<uint8_t> memory(o.r.container.weights_data_size);
  ASSERT_TRUE(read_fully_at(o.r.container.fd, memory.data(), memory.size(), o.r.container.weights_offset));
  EXPECT_TRUE(container_verify_tensors(o.c(), memory.data()));

  // Opened for an engine, every weight decodes to f32 within half a step of the original.
  Opened planned(out, kOpenFlagPlanF32);
  ASSERT_TRUE(planned.r.ok());
  ASSERT_TRUE(vexa::testing::load_weights(planned.r.container, &memory));
  for (const Want& want : q8) {
    const TensorRecord t = container_tensor_record(planned.c(), want.tensor);
    const auto* got = reinterpret_cast<const float*>(memory.data() + t.relative_offset);
    const std::vector<float>& x = s.values[want.tensor];
    for (uint64_t i = 0; i < x.size(); ++i) {
      float amax = 0;
      const uint64_t start = (i / want.cols) * want.cols + (i % want.cols) / 64 * 64;
      for (uint64_t k = start; k < std::min(start + 64, (i / want.cols + 1) * want.cols); ++k) {
        amax = std::max(amax, std::fabs(x[k]));
      }
      ASSERT_LE(std::fabs(got[i] - x[i]), amax / 254 * (1 + 1e-6f)) << want.tensor << " " << i;
    }
  }

  // Its own output is refused; a pack with nothing to quantise is rebuilt unchanged.
  EXPECT_EQ(pack_quantize(out, tmp_.file("again.vexa")).text, "the pack already holds packed weights");
  ContainerWriter w;
  const float small[4] = {1, 2, 3, 4};
  const uint64_t dims[] = {4};
  w.add_weight_value(w.add_tensor_f32("w", dims, small), "w");
  ASSERT_TRUE(w.write_to_path(tmp_.file("plain.vexa"), nullptr));
  const ToolResult plain = pack_quantize(tmp_.file("plain.vexa"), tmp_.file("plain_q8.vexa"));
  ASSERT_TRUE(plain.ok) << plain.text;
  EXPECT_EQ(plain.text.rfind("0 of 1 ", 0), 0u) << plain.text;
  EXPECT_EQ(read_bytes(tmp_.file("plain_q8.vexa")), read_bytes(tmp_.file("plain.vexa")));
}

TEST_F(PackQuantize, ConvertedResNetStillMatchesTheReferenceRuntime) {
  const std::string f32 = tmp_.file("resnet.vexa");
  const std::string q8 = tmp_.file("resnet_q8.vexa");
  ASSERT_NO_FATAL_FAILURE(convert_resnet(f32));
  const ToolResult r = pack_quantize(f32, q8);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "12 of 42 weight tensors stored as Q8: 1 MB -> 1 MB");
  const std::vector<float> golden = read_floats(models_dir() + "resnet18_w4_op13.golden.bin");
  const std::vector<float> cpu = run_verified(q8, resnet_input(), golden.size());
  EXPECT_TRUE(near_peak(cpu, golden, kQ8OutputTolerance));
  EXPECT_EQ(run_through_api(q8, resnet_input()), cpu);
  // Quantisation did change the numbers: the f32 container is closer still.
  EXPECT_NE(run_verified(f32, resnet_input(), golden.size()), cpu);
}

// The same bytes on one thread and on the whole pool: every piece of work is fixed by the data.
TEST_F(PackQuantize, OutputDoesNotDependOnTheThreadCount) {
  const std::string f32 = tmp_.file("resnet.vexa");
  ASSERT_NO_FATAL_FAILURE(convert_resnet(f32));
  ASSERT_TRUE(pack_quantize(f32, tmp_.file("all.vexa")).ok);
  {
    ThreadCapScope one(1);
    ASSERT_TRUE(pack_quantize(f32, tmp_.file("one.vexa")).ok);
  }
  EXPECT_EQ(read_bytes(tmp_.file("all.vexa")), read_bytes(tmp_.file("one.vexa")));
}

TEST_F(PackQuantize, RefusalsAndFailedWritesLeaveEveryFileAsItWas) {
  const Shapes s = write_shapes(tmp_.file("shapes.vexa"));
  const std::string out = tmp_.file("out.vexa");
  write_bytes(out, {'o', 'l', 'd'});
  const Digest128 input_hash = file_hash(s.path);
  auto expect_refused = [&](const std::string& in, const std::string& to, const std::string& message) {
    const bool regular = std::filesystem::is_regular_file(to);
    const Digest128 before = regular ? file_hash(to) : Digest128{};
    EXPECT_EQ(pack_quantize(in, to).text, message);
    if (regular) {
      EXPECT_TRUE(same_digest(file_hash(to), before)) << message;
    }
  };
  expect_refused(std::string("a\0b", 3), out, "invalid input path");
  expect_refused(s.path, std::string("a\0b", 3), "invalid output path");
  expect_refused(tmp_.file("missing.vexa"), out, "cannot open input pack");
  expect_refused(tmp_.path(), out, "cannot open input pack");
  vexa::testing::TempFifo fifo;
  ASSERT_TRUE(fifo.ok());
  EXPECT_TRUE(vexa::testing::returns_without_writer(
      fifo.path(), [&] { expect_refused(fifo.path(), out, "cannot open input pack"); },
      std::chrono::milliseconds(2000)));
  // The output may be neither the input (by any name) nor anything but a regular file.
  const std::string hard = tmp_.file("hard.vexa");
  ASSERT_EQ(link(s.path.c_str(), hard.c_str()), 0);
  expect_refused(s.path, s.path, "output '" + s.path + "' is the same file as input '" + s.path + "'");
  expect_refused(s.path, hard, "output '" + hard + "' is the same file as input '" + s.path + "'");
  expect_refused(s.path, "/dev/full", "output '/dev/full' exists and is not a regular file");
  expect_refused(s.path, tmp_.path(), "output '" + tmp_.path() + "' exists and is not a regular file");

  // Damaged inputs: the reader's status text, and weights that no longer match their digests.
  const std::vector<uint8_t> good = read_bytes(s.path);
  const std::string bad = tmp_.file("bad.vexa");
  write_bytes(bad, {good.begin(), good.begin() + 100});
  expect_refused(bad, out, "invalid section bounds");
  std::vector<uint8_t> damaged = good;
  damaged[8] = 9;
  write_bytes(bad, damaged);
  expect_refused(bad, out, "invalid header/version/file size");
  damaged = good;
  damaged[700] ^= 1;
  write_bytes(bad, damaged);
  expect_refused(bad, out, "metadata/header hash mismatch");
  damaged = good;
  uint64_t w;
  std::memcpy(&w, good.data() + offsetof(ContainerHeader, weights_offset), 8);
  damaged[w + 5] ^= 0x40;
  write_bytes(bad, damaged);
  expect_refused(bad, out, "tensor hash mismatch");

  // A data-type table whose Q8 entry is wrong (readers check it only when a tensor uses it).
  damaged = good;
  uint64_t dtypes;
  std::memcpy(&dtypes, good.data() + offsetof(ContainerHeader, sections) + 16 * kSectionDtypes, 8);
  damaged[dtypes + 32 + 3 * 64 + 32] = 3;  // the scale's data type
  container_seal_plain(damaged.data(), damaged.size());
  write_bytes(bad, damaged);
  expect_refused(bad, out, "the pack's data-type table has no valid Q8 block entry");

  // A generative container holds no f32 graph weights to quantise.
  ContainerWriter g;
  g.set_generative();
  const uint16_t half[4] = {0x3c00, 0, 0, 0};
  const uint64_t dims[] = {4};
  g.begin_group("g");
  g.add_tensor_f16("h", dims, half);
  ASSERT_TRUE(g.write_to_path(bad, nullptr));
  expect_refused(bad, out, "the pack already holds packed weights");
  ContainerWriter g32;
  g32.set_generative();
  const float ones[4] = {1, 1, 1, 1};
  g32.begin_group("g");
  g32.add_tensor_f32("f", dims, ones);
  ASSERT_TRUE(g32.write_to_path(bad, nullptr));
  expect_refused(bad, out, "the pack holds no graph model to quantise");

  // A failure at any step of the write leaves the old output.
  for (const auto& [step, message] : {std::pair{FileReplaceStep::kOpen, "cannot create output pack"},
                                      std::pair{FileReplaceStep::kWrite, "failed writing output pack"},
                                      std::pair{FileReplaceStep::kSync, "failed writing output pack"},
                                      std::pair{FileReplaceStep::kRename, "failed writing output pack"}}) {
    file_replace_fail_at_for_testing(step);
    expect_refused(s.path, out, message);
  }
  file_replace_fail_at_for_testing(FileReplaceStep::kNone);
  EXPECT_EQ(read_bytes(out), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_TRUE(same_digest(file_hash(s.path), input_hash));
  struct stat st {};
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(PackQuantize, ProgramPrintsTheReport) {
  if (!program_built("vexa-quantize")) GTEST_SKIP() << "vexa-quantize is not built beside the tests";
  const Shapes s = write_shapes(tmp_.file("shapes.vexa"));
  int status = -1;
  EXPECT_EQ(run_program("vexa-quantize", s.path + " " + tmp_.file("q.vexa"), &status),
            "6 of 10 weight tensors stored as Q8: 0 MB -> 0 MB\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(run_program("vexa-quantize", tmp_.file("q.vexa") + " " + tmp_.file("q2.vexa"), &status),
            "vexa: the pack already holds packed weights\n");
  EXPECT_EQ(status, 1);
  EXPECT_EQ(run_program("vexa-quantize", s.path, &status), "vexa: usage: vexa-quantize in.vexa out.vexa\n");
  EXPECT_EQ(status, 1);
}

// The PP-OCRv4 text detector (fetched by scripts/fetch_ocr_model.sh, not committed) on the top of
// the project's text page: its probability map after Q8 still matches ONNX Runtime's f32 map
// (tests/fixtures/onnx/ppocr/make_ppocr_golden.sh).
TEST_F(PackQuantize, TextDetectorStillMatchesTheReferenceRuntime) {
  const std::string model = std::string(VEXA_FIXTURES_DIR) + "/../../models/ch_PP-OCRv4_det_infer.onnx";
  if (access(model.c_str(), R_OK) != 0) {
    GTEST_SKIP() << "the PP-OCRv4 detector is not in models/; scripts/fetch_ocr_model.sh fetches it";
  }
  const std::string f32 = tmp_.file("det.vexa");
  const std::string q8 = tmp_.file("det_q8.vexa");
  InputBindings bindings;
  onnx_bindings_init(bindings);
  ASSERT_TRUE(onnx_parse_input_option(bindings, "x=1x3x64x128").error.empty());
  const ConvertResult converted = onnx_convert_file_bound(model, f32, &bindings);
  ASSERT_TRUE(converted.ok) << converted.text;
  const ToolResult r = pack_quantize(f32, q8);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text.find("0 of "), std::string::npos) << r.text;
  const std::string dir = fixtures_dir() + "/ppocr/";
  const std::vector<float> input = read_floats(dir + "ppocr_det.input.bin");
  const std::vector<float> golden = read_floats(dir + "ppocr_det.golden.bin");
  const std::vector<float> cpu = run_verified(q8, input, golden.size());
  EXPECT_TRUE(map_close(cpu, golden));
  EXPECT_EQ(run_through_api(q8, input), cpu);
  // The f32 container itself matches closely: the difference above is the quantisation's.
  EXPECT_TRUE(near_peak(run_verified(f32, input, golden.size()), golden, 1e-4));
}

}  // namespace
}  // namespace vexa::tools::testing
