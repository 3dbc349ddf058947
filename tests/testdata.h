// Third-party test material (../shared/testdata beside the project) is not part of the
// repository: a test that reads it states so by name when it is absent, instead of going on
// with an empty buffer and failing somewhere further down, or crashing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

namespace vexa::test {

inline std::string testdata_path(const std::string& rel) {
  return std::string(VEXA_TESTDATA_DIR) + "/" + rel;
}

inline ::testing::AssertionResult testdata_missing(const std::string& path) {
  return ::testing::AssertionFailure()
         << "missing test data: " << path
         << " (third-party test material is expected in ../shared/testdata beside the project)";
}

// Success when `rel` (a file or a folder) exists under the test data folder.
inline ::testing::AssertionResult testdata_present(const std::string& rel) {
  const std::string path = testdata_path(rel);
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return testdata_missing(path);
  return ::testing::AssertionSuccess();
}

// Reads a whole test data file; a missing or unreadable file is a failure naming it.
inline ::testing::AssertionResult read_testdata(const std::string& rel, std::vector<uint8_t>* out) {
  const std::string path = testdata_path(rel);
  std::ifstream f(path, std::ios::binary);
  if (!f) return testdata_missing(path);
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return ::testing::AssertionSuccess();
}

}  // namespace vexa::test

// Stops the current test, naming the path, when test data it needs is absent.
#define VEXA_REQUIRE_TESTDATA(rel) ASSERT_TRUE(::vexa::test::testdata_present(rel))
