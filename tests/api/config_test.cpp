#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "api/config.h"
#include "api/error_map.h"
#include "api/text_util.h"
#include "core/domain_error.h"
#include "vexa/vexa.h"

namespace {

vexa::Config* rec(vexa_config* c) { return reinterpret_cast<vexa::Config*>(c); }

struct ConfigDeleter {
  void operator()(vexa_config* c) const { vexa_config_free(c); }
};
using ConfigPtr = std::unique_ptr<vexa_config, ConfigDeleter>;

}  // namespace

TEST(Config, DefaultsAndSetters) {
  ConfigPtr c(vexa_config_new());
  ASSERT_NE(nullptr, c);
  EXPECT_EQ(0u, rec(c.get())->backend);
  EXPECT_EQ(8u, rec(c.get())->threads);
  EXPECT_EQ(0, rec(c.get())->verify_weights);

  struct ThreadCase {
    int32_t in;
    uint32_t stored;
  };
  for (const ThreadCase t : {ThreadCase{0, 8}, {-5, 8}, {33, 32}, {1, 1}, {32, 32}, {12, 12}}) {
    vexa_config_set_threads(c.get(), t.in);
    EXPECT_EQ(t.stored, rec(c.get())->threads) << t.in;
  }
  vexa_config_set_backend(c.get(), 2);
  vexa_config_set_backend(c.get(), 4);
  EXPECT_EQ(2u, rec(c.get())->backend);
  vexa_config_set_verify_weights(c.get(), 7);
  EXPECT_EQ(1, rec(c.get())->verify_weights);
  vexa_config_set_verify_weights(c.get(), 0);
  EXPECT_EQ(0, rec(c.get())->verify_weights);

  const std::string long_dir(600, 'd');
  vexa_config_set_models_dir(c.get(), long_dir.data(), long_dir.size());
  EXPECT_EQ(511u, rec(c.get())->models_dir_len);
  EXPECT_EQ(511u, std::strlen(rec(c.get())->models_dir));
}

TEST(Config, DirectoriesExportEnvironment) {
  ConfigPtr c(vexa_config_new());
  setenv("VEXA_QNN_CACHE_DIR", "before", 1);
  vexa_config_set_cache_dir(c.get(), "", 0);
  EXPECT_STREQ("before", getenv("VEXA_QNN_CACHE_DIR"));
  EXPECT_EQ(0u, rec(c.get())->cache_dir_len);
  vexa_config_set_cache_dir(c.get(), "/tmp/cacheXYZ", 9);
  EXPECT_STREQ("/tmp/cach", getenv("VEXA_QNN_CACHE_DIR"));
  vexa_config_set_cache_dir(c.get(), nullptr, 9);
  EXPECT_EQ(0u, rec(c.get())->cache_dir_len);
  EXPECT_STREQ("/tmp/cach", getenv("VEXA_QNN_CACHE_DIR"));

  unsetenv("ADSP_LIBRARY_PATH");
  vexa_config_set_models_dir(c.get(), "/models", 7);
  EXPECT_EQ(nullptr, getenv("ADSP_LIBRARY_PATH"));
  vexa_config_set_skel_dir(c.get(), "/skel", 5);
  EXPECT_STREQ("/skel", getenv("ADSP_LIBRARY_PATH"));

  // The probe re-exports the configured skel directory.
  setenv("ADSP_LIBRARY_PATH", "other", 1);
  EXPECT_EQ(1, vexa_probe_backend(c.get(), 1));
  EXPECT_STREQ("/skel", getenv("ADSP_LIBRARY_PATH"));
  unsetenv("ADSP_LIBRARY_PATH");
  EXPECT_EQ(1, vexa_probe_backend(nullptr, 1));
  EXPECT_EQ(nullptr, getenv("ADSP_LIBRARY_PATH"));
}

// The software device is a GPU without a Neural Engine.
TEST(Config, ProbeOnTheSoftwareDevice) {
  EXPECT_EQ(1, vexa_probe_backend(nullptr, 0));
  EXPECT_EQ(1, vexa_probe_backend(nullptr, 1));
  EXPECT_EQ(1, vexa_probe_backend(nullptr, 2));
  EXPECT_EQ(0, vexa_probe_backend(nullptr, 3));
  EXPECT_EQ(0, vexa_probe_backend(nullptr, 7));
  EXPECT_EQ(0, vexa_probe_backend(nullptr, UINT32_MAX));
  // A GPU whose weight slot cannot be made is unavailable.
  setenv("VEXA_TEST_FAULTS", "gpu.queue", 1);
  EXPECT_EQ(0, vexa_probe_backend(nullptr, 2));
  unsetenv("VEXA_TEST_FAULTS");
  EXPECT_EQ(1, vexa_probe_backend(nullptr, 2));
}

TEST(TextUtil, VersionNamesAndBoundedCopies) {
  EXPECT_STREQ("0.1.0-ea.1", vexa_version());
  EXPECT_EQ(10u, vexa::version_string().len);
  const char* names[] = {"AUTO", "CPU", "GPU", "NPU", "NONE"};
  for (uint32_t b = 0; b < 5; ++b) {
    const vexa::TextArg t = vexa::backend_name_text(b);
    EXPECT_EQ(std::string(names[b]), std::string(t.ptr, t.len));
  }
  EXPECT_EQ(4u, vexa::backend_name_text(99).len);

  const vexa::TextArg e = vexa::text_or_empty("abc", 0);
  EXPECT_STREQ("", e.ptr);
  EXPECT_EQ(0u, e.len);
  EXPECT_EQ(0u, vexa::text_or_empty(nullptr, 5).len);
  EXPECT_EQ(3u, vexa::text_or_empty("abc", 3).len);

  char dst[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(0u, vexa::copy_bounded("abc", 3, dst, 0));
  EXPECT_EQ('x', dst[0]);
  EXPECT_EQ(3u, vexa::copy_bounded("abcdef", 6, dst, 4));
  EXPECT_STREQ("abc", dst);
  EXPECT_EQ(0u, vexa::copy_bounded("abc", 3, dst, 1));
  EXPECT_EQ('\0', dst[0]);
}

namespace {

// Independent reference for the half-away-from-zero narrowing: exact arithmetic on the value.
uint16_t reference_f16(float x) {
  const uint16_t sign = std::signbit(x) ? 0x8000 : 0;
  const double a = std::fabs(static_cast<double>(x));
  if (std::isnan(x) || a >= 65520.0) return sign | 0x7C00;
  if (a < std::ldexp(1.0, -25)) return sign;  // below half the smallest subnormal
  int exp2;
  std::frexp(a, &exp2);  // a = m * 2^exp2, m in [0.5, 1)
  int e = exp2 - 1;      // a = 1.f * 2^e
  if (e < -14) e = -14;  // subnormal spacing
  const double unit = std::ldexp(1.0, e - 10);
  const double units = std::floor(a / unit + 0.5);  // half away from zero on magnitudes
  const double rounded = units * unit;
  if (rounded >= 65536.0) return sign | 0x7C00;
  // Encode the rounded value exactly.
  if (rounded < std::ldexp(1.0, -14)) return sign | static_cast<uint16_t>(rounded / std::ldexp(1.0, -24));
  int rexp;
  const double m = std::frexp(rounded, &rexp);
  const int biased = rexp - 1 + 15;
  const uint16_t mant = static_cast<uint16_t>((m * 2.0 - 1.0) * 1024.0);
  return sign | static_cast<uint16_t>(biased << 10) | mant;
}

}  // namespace

TEST(HalfPrecision, NarrowingMatchesReferenceAndEdgeValues) {
  EXPECT_EQ(0x7C00, vexa::f32_to_f16_bits(65520.0f));
  EXPECT_EQ(0x7BFF, vexa::f32_to_f16_bits(65519.0f));
  EXPECT_EQ(0x7C00, vexa::f32_to_f16_bits(std::numeric_limits<float>::quiet_NaN()));
  EXPECT_EQ(0xFC00, vexa::f32_to_f16_bits(-std::numeric_limits<float>::infinity()));
  EXPECT_EQ(0x3C00, vexa::f32_to_f16_bits(1.0f));
  EXPECT_EQ(0x8000, vexa::f32_to_f16_bits(-0.0f));
  EXPECT_EQ(0x0001, vexa::f32_to_f16_bits(std::ldexp(1.0f, -24)));
  // Exactly half way between 1 and the next half: rounds away from zero, not to even.
  EXPECT_EQ(0x3C01, vexa::f32_to_f16_bits(1.0f + std::ldexp(1.0f, -11)));
  EXPECT_EQ(0xBC01, vexa::f32_to_f16_bits(-1.0f - std::ldexp(1.0f, -11)));
  // Half of the smallest subnormal rounds up to it.
  EXPECT_EQ(0x0001, vexa::f32_to_f16_bits(std::ldexp(1.0f, -25)));
  EXPECT_EQ(0x0000, vexa::f32_to_f16_bits(std::ldexp(1.0f, -26)));

  uint32_t state = 12345;
  for (int i = 0; i < 200000; ++i) {
    state = state * 1664525u + 1013904223u;
    // Exponents 90..150 cover zero flush, subnormals, normals and overflow.
    const uint32_t bits = (state & 0x807FFFFFu) | ((90u + (state >> 8) % 61u) << 23);
    float x;
    std::memcpy(&x, &bits, 4);
    ASSERT_EQ(reference_f16(x), vexa::f32_to_f16_bits(x)) << "bits 0x" << std::hex << bits;
  }
}

TEST(HalfPrecision, WideningIsExactAndRoundTrips) {
  EXPECT_EQ(std::ldexp(1.0f, -24), vexa::f16_bits_to_f32(0x0001));
  EXPECT_EQ(1.0f, vexa::f16_bits_to_f32(0x3C00));
  EXPECT_EQ(-2.0f, vexa::f16_bits_to_f32(0xC000));
  EXPECT_EQ(65504.0f, vexa::f16_bits_to_f32(0x7BFF));
  EXPECT_TRUE(std::isinf(vexa::f16_bits_to_f32(0x7C00)));
  EXPECT_TRUE(std::signbit(vexa::f16_bits_to_f32(0x8000)));
  const float nan = vexa::f16_bits_to_f32(0x7E01);
  uint32_t nan_bits;
  std::memcpy(&nan_bits, &nan, 4);
  EXPECT_EQ(0x7FC02000u, nan_bits);
  for (uint32_t h = 0; h < 0x10000; ++h) {
    const uint16_t bits = static_cast<uint16_t>(h);
    const uint32_t e = (h >> 10) & 0x1F;
    if (e == 31) continue;
    const float f = vexa::f16_bits_to_f32(bits);
    const double want = (e == 0 ? std::ldexp(double(h & 0x3FF), -24)
                                : std::ldexp(1.0 + double(h & 0x3FF) / 1024.0, int(e) - 15)) *
                        ((h & 0x8000) ? -1.0 : 1.0);
    ASSERT_EQ(want, static_cast<double>(f)) << h;
    ASSERT_EQ(bits, vexa::f32_to_f16_bits(f)) << h;
  }
}

namespace {
vexa::BoundaryError map_thrown(const std::exception_ptr& e) { return vexa::error_from_exception(e); }

template <typename E>
vexa::BoundaryError map_of(E e) {
  return map_thrown(std::make_exception_ptr(e));
}
}  // namespace

TEST(ErrorMap, OrderOfRules) {
  using vexa::DomainError;
  struct Case {
    std::exception_ptr error;
    uint32_t code;
    std::string message;
  };
  const Case cases[] = {
      // The unsupported domain wins over everything after it, even an allocation reason.
      {std::make_exception_ptr(DomainError("VexaUnsupported", "allocation of Metal failed")), 12,
       "allocation of Metal failed"},
      {std::make_exception_ptr(std::bad_alloc()), 7, "std::bad_alloc"},
      {std::make_exception_ptr(std::runtime_error("ALLOCATION exhausted")), 7,
       "ALLOCATION exhausted"},
      {std::make_exception_ptr(DomainError("VexaImage", "out of memory allocating tiles")), 7,
       "out of memory allocating tiles"},
      {std::make_exception_ptr(DomainError("VexaImage", "Unsupported pixel layout")), 5,
       "Unsupported pixel layout"},
      {std::make_exception_ptr(DomainError("VexaImage", "Supported image formats are ...")), 5,
       "Supported image formats are ..."},
      {std::make_exception_ptr(DomainError("VexaImage", "only 8-bit images")), 5,
       "only 8-bit images"},
      {std::make_exception_ptr(DomainError("VexaImage", "corrupt JPEG")), 4, "corrupt JPEG"},
      {std::make_exception_ptr(DomainError("VexaModel", "prompt exceeds context budget")), 6,
       "prompt exceeds context budget"},
      {std::make_exception_ptr(std::runtime_error("Nonfinite logits")), 11, "Nonfinite logits"},
      {std::make_exception_ptr(DomainError("VexaModel", "bad graph")), 3, "bad graph"},
      {std::make_exception_ptr(DomainError("VexaFrontend", "bad template")), 1, "bad template"},
      {std::make_exception_ptr(DomainError("VexaArgument", "bad argument")), 1, "bad argument"},
      {std::make_exception_ptr(DomainError("VexaCancelled", "stopped")), 10, "stopped"},
      {std::make_exception_ptr(DomainError("VexaInference", "Metal device lost")), 8,
       "Metal device lost"},
      {std::make_exception_ptr(std::runtime_error("GPU command failed")), 8, "GPU command failed"},
      {std::make_exception_ptr(std::runtime_error("metal lowercase")), 14, "metal lowercase"},
      {std::make_exception_ptr(DomainError("VexaInference", "")), 14, "VexaInference"},
      {std::make_exception_ptr(42), 14, "Unknown exception"},
  };
  for (const Case& c : cases) {
    const vexa::BoundaryError e = map_thrown(c.error);
    EXPECT_EQ(c.code, e.code) << c.message;
    EXPECT_EQ(c.message, std::string(e.message, e.message_len));
  }
  const vexa::BoundaryError long_reason = map_of(std::runtime_error(std::string(400, 'z')));
  EXPECT_EQ(255u, long_reason.message_len);
  EXPECT_EQ('\0', long_reason.message[255]);
}
