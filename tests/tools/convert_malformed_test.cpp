// Malformed and hostile ONNX files: every prefix and many byte corruptions of real models are
// refused with a message or converted, never a crash; fixed messages for the common cases; a
// failed conversion leaves an existing output file as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert_test_util.h"
#include "core/container_access.h"
#include "tests/core/fifo_guard.h"

namespace vexa::tools::testing {
namespace {

std::string wire(const std::string& name) { return fixtures_dir() + "/wire/" + name; }

ConvertResult convert_bytes(const TempDir& tmp, const std::vector<uint8_t>& bytes) {
  write_bytes(tmp.file("in.onnx"), bytes);
  InputBindings b;
  onnx_bindings_init(b);
  // Everything but the file write (exercised elsewhere); keeps thousands of runs fast.
  b.describe_only = 1;
  return onnx_convert_file_bound(tmp.file("in.onnx"), tmp.file("out.vexa"), &b);
}

TEST(ConverterMalformed, FixedMessages) {
  TempDir tmp;
  const struct {
    std::vector<uint8_t> bytes;
    const char* message;
  } cases[] = {
      {{}, "empty onnx file"},
      // Field 1 with wire type 7.
      {{0x0f, 0x01}, "corrupt ModelProto"},
      // ir_version only.
      {{0x08, 0x07}, "no GraphProto found in ONNX"},
      // A graph field whose length runs past the end.
      {{0x3a, 0x10, 0x00}, "corrupt ModelProto"},
      // producer_name running past the end.
      {{0x12, 0x05, 'a'}, "corrupt ModelProto string"},
      // opset_import holding a field of wire type 3.
      {{0x42, 0x02, 0x0b, 0x00, 0x3a, 0x00}, "corrupt ModelProto opset_import"},
      // metadata_props holding a truncated key.
      {{0x72, 0x02, 0x0a, 0x05, 0x3a, 0x00}, "corrupt ModelProto metadata_props"},
      // An empty graph without any opset.
      {{0x3a, 0x00}, "the model imports no default-domain (ai.onnx) opset"},
  };
  for (const auto& c : cases) {
    const ConvertResult r = convert_bytes(tmp, c.bytes);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, c.message);
  }
  const ConvertResult r = onnx_convert_file(tmp.file("missing.onnx"), tmp.file("out.vexa"), 0);
  EXPECT_EQ(r.text, "failed to open onnx file");
}

// A FIFO or a folder named as the model is refused at once instead of waiting for a writer.
TEST(ConverterMalformed, NonRegularModelPathsAreRefusedWithoutBlocking) {
  TempDir tmp;
  vexa::testing::TempFifo fifo;
  ASSERT_TRUE(fifo.ok());
  for (const std::string& path : {fifo.path(), tmp.file("")}) {
    ConvertResult r;
    EXPECT_TRUE(vexa::testing::returns_without_writer(
        fifo.path(), [&] { r = onnx_convert_file(path, tmp.file("out.vexa"), 0); },
        std::chrono::seconds(2)))
        << path;
    EXPECT_FALSE(r.ok) << path;
    EXPECT_EQ(r.text, "failed to open onnx file") << path;
  }
}

// Every prefix of a small model and every byte of it replaced by a few values.
TEST(ConverterMalformed, TruncationsAndCorruptionsNeverCrash) {
  TempDir tmp;
  for (const char* model : {"tiny_relu.onnx", "conv1d.onnx", "ext_ok.onnx", "dyn_relu.onnx"}) {
    const std::vector<uint8_t> good = read_bytes(wire(model));
    ASSERT_FALSE(good.empty());
    uint64_t refused = 0;
    for (size_t n = 0; n < good.size(); ++n) {
      std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
      const ConvertResult r = convert_bytes(tmp, cut);
      if (!r.ok) {
        ++refused;
        EXPECT_FALSE(r.text.empty()) << model << " cut at " << n;
      }
    }
    EXPECT_GT(refused, good.size() / 2) << model;
    for (size_t i = 0; i < good.size(); ++i) {
      for (uint8_t v : {uint8_t{0x00}, uint8_t{0xff}, uint8_t{0x80}, static_cast<uint8_t>(good[i] ^ 0x01)}) {
        std::vector<uint8_t> bad = good;
        bad[i] = v;
        const ConvertResult r = convert_bytes(tmp, bad);
        if (!r.ok) {
          EXPECT_FALSE(r.text.empty()) << model << " byte " << i;
        }
      }
    }
  }
}

TEST(ConverterOutputFile, FailedConversionLeavesTheExistingFile) {
  TempDir tmp;
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  write_bytes(tmp.file("out.vexa"), old);
  ConvertResult r = onnx_convert_file(wire("opset21.onnx"), tmp.file("out.vexa"), 0);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(read_bytes(tmp.file("out.vexa")), old);
  r = onnx_convert_file(wire("type_double_raw.onnx"), tmp.file("out.vexa"), 0);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(read_bytes(tmp.file("out.vexa")), old);
  // A successful conversion replaces it with a container that opens.
  r = onnx_convert_file(wire("tiny_relu.onnx"), tmp.file("out.vexa"), 0);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "");
  OpenResult opened = container_open_path(tmp.file("out.vexa").c_str(), tmp.file("out.vexa").size());
  ASSERT_TRUE(opened.ok());
  container_close(&opened.container);
}

TEST(ConverterOutputFile, MissingFolderFailsAfterAllChecks) {
  TempDir tmp;
  const ConvertResult r = onnx_convert_file(wire("tiny_relu.onnx"), tmp.file("no/such/out.vexa"), 0);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text.rfind("failed to create output .vexa file", 0), 0u) << r.text;
}

TEST(ConverterOutputFile, ModelWithoutWeightsGetsThePlaceholder) {
  TempDir tmp;
  const ConvertResult r = onnx_convert_file(wire("tiny_relu.onnx"), tmp.file("out.vexa"), 0);
  ASSERT_TRUE(r.ok) << r.text;
  OpenResult opened = container_open_path(tmp.file("out.vexa").c_str(), tmp.file("out.vexa").size());
  ASSERT_TRUE(opened.ok());
  OpenContainer& c = opened.container;
  ASSERT_EQ(container_tensor_count(&c), 1u);
  const TensorRecord t = container_tensor_record(&c, 0);
  EXPECT_EQ(t.padded_size, kWeightAlignmentBytes);
  EXPECT_STREQ(reinterpret_cast<const char*>(c.image + container_section_offset(&c, kSectionStringPool) +
                                             kSectionHeaderBytes + t.name_offset),
               "vexa.placeholder_weight");
  container_close(&c);
}

}  // namespace
}  // namespace vexa::tools::testing

namespace vexa::tools::testing {
namespace {

// What the container holds: metadata texts, stored weights only for what the engines read, the
// shapes of graph values.
TEST(ConverterContainer, MetadataAndStoredWeights) {
  TempDir tmp;
  ConvertResult r = onnx_convert_file(wire("fold_mod.onnx"), tmp.file("m.vexa"), 0);
  ASSERT_TRUE(r.ok) << r.text;
  OpenResult opened = container_open_path(tmp.file("m.vexa").c_str(), tmp.file("m.vexa").size());
  ASSERT_TRUE(opened.ok());
  const OpenContainer* c = &opened.container;
  EXPECT_EQ(meta_get_str(c, "onnx.opset", ""), "13");
  EXPECT_EQ(meta_get_str(c, "onnx.ir_version", ""), "7");
  EXPECT_EQ(meta_get_str(c, "onnx.producer_name", ""), "vexa-tests");
  // The integer initializers feed only folded nodes: the one stored tensor is the folded result
  // that the remaining Add reads.
  ASSERT_EQ(container_tensor_count(c), 1u);
  uint64_t weights = 0;
  for (uint64_t i = 0; i < container_value_count(c); ++i) {
    const GraphValue v = container_read_value(c, i);
    if (v.kind != static_cast<uint64_t>(ValueKind::kWeight)) continue;
    ++weights;
    EXPECT_EQ(pool_string(c, v.name_offset, v.name_length), "folded");
    EXPECT_EQ(v.rank, 1u);
    EXPECT_EQ(v.dims[0], 4u);
    EXPECT_EQ(v.byte_size, 16u);
  }
  EXPECT_EQ(weights, 1u);
  ASSERT_EQ(container_node_count(c), 1u);
  EXPECT_EQ(container_read_node(c, 0).op_kind, static_cast<uint64_t>(OpKind::kAdd));
  container_close(&opened.container);
}

}  // namespace
}  // namespace vexa::tools::testing
