// vexa-chat's --json-schema file: a regular file read whole; a folder, a FIFO, a device, an
// empty file and one past the size limit are each refused with one line, without blocking and
// without reading what is refused.
#include "tools/schema_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "tests/core/fifo_guard.h"
#include "tests/tools/convert_test_util.h"

namespace vexa::tools {
namespace {

using SchemaFile = testing::TextFilesTest;

// The reason of a refusal, or "(read)" with the text in *text.
std::string refusal(const std::string& path, std::string* text = nullptr) {
  std::string read = "unchanged";
  std::string error;
  const bool ok = read_json_schema_file(path, &read, &error);
  if (text != nullptr) *text = read;
  if (ok) return "(read)";
  EXPECT_TRUE(read.empty()) << path;
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  return error;
}

TEST_F(SchemaFile, ReadsARegularFileWhole) {
  const std::string schema = R"({"type": "object", "properties": {"a": {"type": "integer"}}})";
  std::string text;
  EXPECT_EQ(refusal(write("s.json", schema), &text), "(read)");
  EXPECT_EQ(text, schema);
  // Exactly the limit is allowed.
  const std::string largest(kMaxJsonSchemaBytes, ' ');
  EXPECT_EQ(refusal(write("largest.json", largest), &text), "(read)");
  EXPECT_EQ(text.size(), kMaxJsonSchemaBytes);
}

TEST_F(SchemaFile, RefusesWhatIsNoSchemaFile) {
  EXPECT_EQ(refusal(dir_.path()), "cannot read JSON schema '" + dir_.path() + "'");
  EXPECT_EQ(refusal(dir_.file("none.json")), "cannot read JSON schema '" + dir_.file("none.json") + "'");
  EXPECT_EQ(refusal("/dev/zero"), "cannot read JSON schema '/dev/zero'");
  const std::string empty = write("empty.json", "");
  EXPECT_EQ(refusal(empty), "JSON schema '" + empty + "' is empty");
  const std::string large = write("large.json", std::string(kMaxJsonSchemaBytes + 1, ' '));
  EXPECT_EQ(refusal(large), "JSON schema '" + large + "' is larger than 1048576 bytes");
  // Refused from its size: a sparse file of 1 GiB is never read.
  const std::string sparse = dir_.file("sparse.json");
  ASSERT_EQ(truncate(write("sparse.json", "{").c_str(), off_t{1} << 30), 0);
  EXPECT_EQ(refusal(sparse), "JSON schema '" + sparse + "' is larger than 1048576 bytes");
}

TEST_F(SchemaFile, RefusesAFifoWithoutWaitingForAWriter) {
  vexa::testing::TempFifo fifo;
  ASSERT_TRUE(fifo.ok());
  std::string message;
  EXPECT_TRUE(vexa::testing::returns_without_writer(
      fifo.path(), [&] { message = refusal(fifo.path()); }, std::chrono::seconds(10)));
  EXPECT_EQ(message, "cannot read JSON schema '" + fifo.path() + "'");
}

}  // namespace
}  // namespace vexa::tools
