#include <gtest/gtest.h>

#include "core/types.h"

namespace vexa {
namespace {

TEST(SharedTypes, BackendNamesAndSizes) {
  const struct { uint32_t value; const char* name; } names[] = {
      {0, "AUTO"}, {1, "CPU"}, {2, "GPU"}, {3, "NPU"}, {4, "NONE"}, {0xFFFFFFFFu, "NONE"}};
  for (const auto& n : names) EXPECT_STREQ(backend_name(n.value), n.name) << n.value;

  const uint32_t dtype_sizes[] = {0, 2, 4, 8, 0, 1, 0};
  for (uint32_t d = 0; d < 7; ++d) EXPECT_EQ(dtype_element_size(d), dtype_sizes[d]) << d;

  const uint32_t pixel_sizes[] = {0, 3, 3, 4, 4, 1, 0};
  for (uint32_t f = 0; f < 7; ++f) EXPECT_EQ(pixel_format_bytes(f), pixel_sizes[f]) << f;
}

}  // namespace
}  // namespace vexa
