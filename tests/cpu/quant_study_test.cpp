#include "cpu/quant_study.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dense_tolerance.h"

namespace vexa::cpu {
namespace {

// Sets environment variables for one test and restores a clean study afterwards.
class StudyEnv : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char* name : {"VEXA_CPU_QW", "VEXA_CPU_QT", "VEXA_CPU_QA", "VEXA_CPU_QWG",
                             "VEXA_CPU_QAG", "VEXA_CPU_QCAL", "VEXA_CPU_QCAL_OUT", "VEXA_CPU_QENDS",
                             "VEXA_CPU_QT_WIDE", "VEXA_CPU_QT_ONLY", "VEXA_CPU_VMATH"})
      unsetenv(name);
    cpu_fakequant_reset();
    cpu_vmath_override(-1);
  }
};

TEST(QuantStudy, F16Rounding) {
  struct Case {
    float in, want;
  };
  const Case cases[] = {
      {65519.0f, 65504.0f},    {65520.0f, INFINITY},         {-70000.0f, -INFINITY},
      {0.1f, 0.0999755859375f}, {1e-8f, 0.0f},               {3e-8f, 5.9604644775390625e-8f},
      {1.0f, 1.0f},            {-2.5f, -2.5f},               {1.0009765625f, 1.0009765625f},
      {1.00048828125f, 1.0f},  {1.00146484375f, 1.001953125f},  // ties to even
  };
  for (const Case& c : cases) EXPECT_EQ(cpu_round_to_f16(c.in), c.want) << c.in;
}

TEST(QuantStudy, ModeTextsAreExact) {
  EXPECT_EQ(cpu_quant_mode_parse("i8"), QuantMode::kI8);
  EXPECT_EQ(cpu_quant_mode_parse("u16"), QuantMode::kU16);
  EXPECT_EQ(cpu_quant_mode_parse("I8"), QuantMode::kOff);
  EXPECT_EQ(cpu_quant_mode_parse("i8 "), QuantMode::kOff);
  EXPECT_EQ(cpu_quant_mode_parse(nullptr), QuantMode::kOff);
}

TEST(QuantStudy, GroupedSymmetricRounding) {
  // One row of 75: groups of 32, 32 and 11, each scaled by its own largest magnitude.
  std::vector<float> row(75);
  for (int i = 0; i < 75; ++i) row[i] = std::sin(static_cast<float>(i)) * (1 + i / 32);
  std::vector<float> got = row;
  cpu_fakequant_grouped(got.data(), 1, 75, 75, 1, QuantMode::kI8, 32);
  for (int start : {0, 32, 64}) {
    const int len = std::min(32, 75 - start);
    float amax = 0;
    for (int i = 0; i < len; ++i) amax = std::max(amax, std::fabs(row[start + i]));
    for (int i = 0; i < len; ++i) {
      const float q = std::clamp(std::rint((127.0f / amax) * row[start + i]), -127.0f, 127.0f);
      EXPECT_EQ(got[start + i], (amax / 127.0f) * q) << start + i;
    }
  }
  // u8 weights use 7 levels, exactly as i4.
  std::vector<float> a = row, b = row;
  cpu_fakequant_grouped(a.data(), 1, 75, 75, 1, QuantMode::kU8, 0);
  cpu_fakequant_grouped(b.data(), 1, 75, 75, 1, QuantMode::kI4, 0);
  EXPECT_EQ(a, b);
  // A group below 1e-30 becomes exact zeros.
  std::vector<float> tiny = {1e-31f, -2e-31f, 0.0f};
  cpu_fakequant_tensor(tiny.data(), 3, 1, QuantMode::kI8);
  for (float v : tiny) EXPECT_EQ(v, 0.0f);
}

// A tiny graph description: value 0 input, 1 weight (2 x 3), 2 output; one Gemm node.
struct TinyGraph {
  uint64_t values[3][15] = {};
  uint64_t nodes[1][31] = {};
  std::vector<float> weight = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
  std::vector<float> input = {1.0f, 2.0f};
  std::vector<float> output = {0.1f, 0.2f, 0.3f};
  float* data[3];
  TinyGraph() {
    const uint64_t kinds[3] = {1, 2, 4};
    const uint64_t counts[3] = {2, 6, 3};
    for (int v = 0; v < 3; ++v) {
      values[v][0] = kinds[v];
      values[v][1] = 2;
      values[v][9] = counts[v];
      values[v][10] = 4 * counts[v];
    }
    values[1][2] = 2;
    values[1][3] = 2;
    values[1][4] = 3;
    nodes[0][0] = 10;  // Gemm
    nodes[0][1] = 2;
    nodes[0][2] = 0;
    nodes[0][3] = 1;
    nodes[0][10] = 1;
    nodes[0][11] = 2;
    data[0] = input.data();
    data[1] = weight.data();
    data[2] = output.data();
  }
  void configure() { cpu_fakequant_configure(values, data, 3, nodes, 1); }
};

TEST_F(StudyEnv, DisabledWithoutVariables) {
  TinyGraph g;
  g.configure();
  EXPECT_FALSE(cpu_fakequant_enabled());
  EXPECT_EQ(g.weight[0], 0.1f);
}

TEST_F(StudyEnv, WeightRoundingAndOperandCopies) {
  setenv("VEXA_CPU_QW", "f16", 1);
  setenv("VEXA_CPU_QA", "i8", 1);
  TinyGraph g;
  g.configure();
  ASSERT_TRUE(cpu_fakequant_enabled());
  for (int i = 0; i < 6; ++i) EXPECT_EQ(g.weight[i], cpu_round_to_f16(0.1f * (i + 1)));
  // A registered weight is used as it is; any other operand becomes a rounded dense copy.
  EXPECT_EQ(cpu_fakequant_matrix_b(g.weight.data(), false, 2, 3, 3), g.weight.data());
  const float a[4] = {1.0f, 0.3f, -0.5f, 0.25f};  // 2 x 2, read transposed
  const float* copy = cpu_fakequant_matrix_a(a, true, 2, 2, 2);
  ASSERT_NE(copy, a);
  // Rows of the transposed view: (1, -0.5) and (0.3, 0.25), each rounded on its own scale.
  EXPECT_EQ(copy[0], 1.0f);
  EXPECT_EQ(copy[1], (1.0f / 127.0f) * std::rint(127.0f * -0.5f));  // -63.5 rounds to -64
  EXPECT_NEAR(copy[2], 0.3f, 0.3f / 127.0f);
  EXPECT_EQ(copy[3], (0.3f / 127.0f) * std::rint((127.0f / 0.3f) * 0.25f));
}

TEST_F(StudyEnv, ValueRoundingNeedsCalibration) {
  setenv("VEXA_CPU_QT", "i8", 1);
  TinyGraph g;
  g.configure();
  ASSERT_TRUE(cpu_fakequant_enabled());
  float v[3] = {0.123f, -4.5f, 7.0f};
  cpu_fakequant_activation(2, v, 3, 10);
  EXPECT_EQ(v[0], 0.123f);  // no range recorded: left unchanged
}

TEST_F(StudyEnv, CalibrationCollectsAndIsReadBack) {
  const std::string path = ::testing::TempDir() + "vexa_calib_test.bin";
  std::remove(path.c_str());
  setenv("VEXA_CPU_QCAL_OUT", path.c_str(), 1);
  TinyGraph g;
  g.configure();
  ASSERT_TRUE(cpu_fakequant_enabled());
  float v[3] = {0.5f, -2.0f, 1.5f};
  cpu_fakequant_activation(2, v, 3, 10);
  EXPECT_EQ(v[1], -2.0f);  // collecting never rounds
  cpu_calibration_write();
  FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  float table[9];
  ASSERT_EQ(std::fread(table, sizeof(float), 9, f), 9u);
  EXPECT_EQ(std::fgetc(f), EOF);  // exactly 12 x value-count bytes
  std::fclose(f);
  EXPECT_EQ(table[2], 2.0f);   // amax of value 2
  EXPECT_EQ(table[5], -2.0f);  // minimum
  EXPECT_EQ(table[8], 1.5f);   // maximum
  EXPECT_EQ(table[0], 0.0f);   // values never seen keep their initial ranges
  EXPECT_EQ(table[3], 3e38f);
  EXPECT_EQ(table[6], -3e38f);

  // Read back as i8 ranges: value 2 now rounds to 127 levels of 2.0.
  unsetenv("VEXA_CPU_QCAL_OUT");
  setenv("VEXA_CPU_QCAL", path.c_str(), 1);
  setenv("VEXA_CPU_QT", "i8", 1);
  g.configure();
  float w[2] = {0.01f, 3.0f};
  cpu_fakequant_activation(2, w, 2, 10);
  EXPECT_EQ(w[0], (2.0f / 127.0f) * std::rint((127.0f / 2.0f) * 0.01f));
  EXPECT_EQ(w[1], 2.0f);  // clamped at amax
  // u8 asymmetric with the min / max planes.
  setenv("VEXA_CPU_QT", "u8", 1);
  g.configure();
  float u[1] = {0.7f};
  cpu_fakequant_activation(2, u, 1, 10);
  const float s = 3.5f / 255.0f, z = std::rint(-2.0f / s);
  EXPECT_EQ(u[0], s * (z + std::clamp(std::rint(0.7f / s) - z, 0.0f, 255.0f)));
  std::remove(path.c_str());
}

TEST_F(StudyEnv, WideValueListAndVectorMathSwitch) {
  setenv("VEXA_CPU_QT", "u8", 1);
  setenv("VEXA_CPU_QT_WIDE", "3,17;200 1", 1);
  TinyGraph g;
  g.configure();  // only value 1 exists below the count; nothing to observe beyond no crash
  EXPECT_TRUE(cpu_fakequant_enabled());

  const struct {
    const char* text;
    bool on;
  } cases[] = {{"0", false}, {"off", false}, {"1", true}, {nullptr, true}, {"2x", true}};
  for (const auto& c : cases) {
    if (c.text) setenv("VEXA_CPU_VMATH", c.text, 1);
    else unsetenv("VEXA_CPU_VMATH");
    cpu_vmath_override(-1);
    EXPECT_EQ(cpu_vmath_enabled(), c.on) << (c.text ? c.text : "unset");
  }
}

TEST(Int8Hooks, ReportNothingHandled) {
  EXPECT_FALSE(cpu_i8_probe());
  EXPECT_FALSE(cpu_i8_prepacked_present());
  float c = 0;
  EXPECT_FALSE(cpu_i8_gemm_prepacked(101, 111, 111, 1, 1, 1, 1.0f, &c, 1, &c, 1, 0.0f, &c, 1));
}

}  // namespace
}  // namespace vexa::cpu
