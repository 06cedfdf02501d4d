// Conversion formulas of the three calibrator classes at their edge values.
#include <gtest/gtest.h>

#include <boost/shared_ptr.hpp>
#include <cmath>
#include <cstring>
#include <limits>

#include "devices/calibration.h"

namespace {

struct DualCase {
  uint16_t p, z, n;
  double range;
  int raw;
  float expected;
  float tolerance;
};

class DualPointTest : public ::testing::TestWithParam<DualCase> {};

TEST_P(DualPointTest, ConvertsRawCode) {
  const DualCase& c = GetParam();
  DualPointInputCalibrator cal(c.p, c.z, c.n, c.range, -c.range);
  if (c.tolerance == 0.0f) {
    EXPECT_EQ(cal.calibrate(c.raw), c.expected) << "raw " << c.raw;
  } else {
    EXPECT_NEAR(cal.calibrate(c.raw), c.expected, c.tolerance) << "raw " << c.raw;
  }
}

INSTANTIATE_TEST_SUITE_P(EdgeValues, DualPointTest,
                         ::testing::Values(
                             // Erased record: the nominal bipolar 16-bit converter.
                             DualCase{0xFFFF, 0xFFFF, 0xFFFF, 10.0, 0, -10.0f, 0},
                             DualCase{0xFFFF, 0xFFFF, 0xFFFF, 10.0, 0x4000, -5.0f, 0},
                             DualCase{0xFFFF, 0xFFFF, 0xFFFF, 10.0, 0x8000, 0.0f, 0},
                             DualCase{0xFFFF, 0xFFFF, 0xFFFF, 10.0, 0xFFFF, 10.0f, 0},
                             DualCase{0xFFFF, 0xFFFF, 0xFFFF, 0.1, 0, -0.1f, 0},
                             // A recorded calibration, extrapolated below the negative code.
                             DualCase{60000, 32800, 5000, 10.0, 60000, 10.0f, 0},
                             DualCase{60000, 32800, 5000, 10.0, 46400, 5.0f, 0},
                             DualCase{60000, 32800, 5000, 10.0, 32800, 0.0f, 0},
                             DualCase{60000, 32800, 5000, 10.0, 5000, -10.0f, 0},
                             DualCase{60000, 32800, 5000, 10.0, 0, -11.7986f, 1e-3f},
                             DualCase{60000, 32800, 5000, 10.0, 65535, 12.0349f, 1e-3f}));

TEST(DualPointCalibrator, ZeroCodeGivesExactZeroAndScalesAreDoubles) {
  DualPointInputCalibrator cal(60000, 32800, 5000, 1.0, -1.0);
  EXPECT_EQ(cal.calibrate(32800), 0.0f);
  EXPECT_EQ(cal.getZeroCode(), 32800);
  EXPECT_DOUBLE_EQ(cal.getPositiveScale(), 1.0 / 27200.0);
  EXPECT_DOUBLE_EQ(cal.getNegativeScale(), -1.0 / 27800.0);
}

TEST(DualPointCalibrator, CoincidingCodesFollowIeeeArithmetic) {
  DualPointInputCalibrator cal(100, 100, 0, 10.0, -10.0);
  EXPECT_TRUE(std::isinf(cal.calibrate(101)));
  EXPECT_TRUE(std::isnan(cal.calibrate(100)));  // 0 x infinity
}

struct SimpleCase {
  uint32_t offset, gain;
  int raw;
  float expected;
  float tolerance;
};

class SimpleTest : public ::testing::TestWithParam<SimpleCase> {};

TEST_P(SimpleTest, ConvertsRawCode) {
  const SimpleCase& c = GetParam();
  SimpleInputCalibrator cal(c.offset, c.gain);
  EXPECT_NEAR(cal.calibrate(c.raw), c.expected, c.tolerance) << "raw " << c.raw;
}

INSTANTIATE_TEST_SUITE_P(EdgeValues, SimpleTest,
                         ::testing::Values(SimpleCase{10, 0x10000000, 4105, 3.3f, 1e-5f},
                                           SimpleCase{10, 0x10000000, 10, 0.0f, 0},
                                           SimpleCase{10, 0x10000000, 0, -0.00806f, 1e-5f},
                                           SimpleCase{0xFFFFFFFF, 0xFFFFFFFF, 4095, 3.3f, 1e-5f},
                                           SimpleCase{0xFFFFFFFF, 0xFFFFFFFF, 0, 0.0f, 0},
                                           SimpleCase{0, 0x20000000, 4095, 6.6f, 1e-5f}));

TEST(SimpleCalibrator, DefaultScaleHasTheSinglePrecisionBits) {
  SimpleInputCalibrator cal(0xFFFFFFFF, 0xFFFFFFFF);
  const float scale = cal.getScale();
  uint32_t bits = 0;
  std::memcpy(&bits, &scale, sizeof bits);
  EXPECT_EQ(bits, 0x3A534068u);
  EXPECT_EQ(cal.getOffset(), 0);
}

TEST(SimpleCalibrator, OffsetIsSigned) {
  SimpleInputCalibrator cal(0xFFFFFFF6u, 0x10000000);  // offset -10
  EXPECT_EQ(cal.getOffset(), -10);
  EXPECT_NEAR(cal.calibrate(0), 10 * cal.getScale(), 1e-7f);
  // The extreme offset does not overflow the difference.
  SimpleInputCalibrator extreme(0x80000000u, 0x10000000);
  EXPECT_GT(extreme.calibrate(0x7FFFFFFF), 0.0f);
}

struct OutputCase {
  float value;
  int expected;
};

class OutputTest : public ::testing::TestWithParam<OutputCase> {};

TEST_P(OutputTest, DefaultRecordGivesCode) {
  OutputCalibrator cal(0xFFFF, 0xFFFF, 0xFFFF);
  EXPECT_EQ(cal.calibrate(GetParam().value), GetParam().expected) << GetParam().value;
}

constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(EdgeValues, OutputTest,
                         ::testing::Values(OutputCase{0.0f, 2047}, OutputCase{5.0f, 3071},
                                           OutputCase{-5.0f, 1023}, OutputCase{10.0f, 4095},
                                           OutputCase{-10.0f, 0}, OutputCase{20.0f, 4095},
                                           OutputCase{-20.0f, 0}, OutputCase{1e30f, 4095},
                                           OutputCase{-1e30f, 0}, OutputCase{std::nanf(""), 0},
                                           OutputCase{kInf, 4095}, OutputCase{-kInf, 0}));

TEST(OutputCalibrator, NegativeZeroUsesPositiveScale) {
  // Asymmetric record: the two scales differ, so the chosen one shows.
  OutputCalibrator cal(4000, 2000, 1000);
  EXPECT_DOUBLE_EQ(cal.getPositiveScale(), 200.0);
  EXPECT_DOUBLE_EQ(cal.getNegativeScale(), 100.0);
  // r = 200 x 10/4095 + 2000 = 2000.488 for -0.0 (and for +0.0).
  EXPECT_EQ(cal.calibrate(-0.0f), cal.calibrate(0.0f));
  EXPECT_EQ(cal.calibrate(-0.0f), 2000);
  // A tiny negative value takes the negative scale: 100 x (x) + 2000.
  EXPECT_EQ(cal.calibrate(-0.001f), 2000);
  EXPECT_DOUBLE_EQ(cal.getRoundingOffset(), 10.0 / 4095.0);
}

// An infinity is the limit of ever larger values: it gets the code that its
// finite neighbours get, whichever way the record runs.
struct InfinityCase {
  const char* record;
  uint16_t positive, zero, negative;
  int plusInf, minusInf;  // the codes of +-1e30 and +-FLT_MAX
};

class InfinityTest : public ::testing::TestWithParam<InfinityCase> {};

TEST_P(InfinityTest, InfinitiesTakeTheCodeOfTheirFiniteNeighbours) {
  const InfinityCase& c = GetParam();
  OutputCalibrator cal(c.positive, c.zero, c.negative);
  EXPECT_EQ(cal.calibrate(1e30f), c.plusInf);
  EXPECT_EQ(cal.calibrate(std::numeric_limits<float>::max()), c.plusInf);
  EXPECT_EQ(cal.calibrate(kInf), c.plusInf);
  EXPECT_EQ(cal.calibrate(-1e30f), c.minusInf);
  EXPECT_EQ(cal.calibrate(std::numeric_limits<float>::lowest()), c.minusInf);
  EXPECT_EQ(cal.calibrate(-kInf), c.minusInf);
  EXPECT_EQ(cal.calibrate(std::nanf("")), 0);
}

INSTANTIATE_TEST_SUITE_P(Records, InfinityTest,
                         ::testing::Values(InfinityCase{"erased", 0xFFFF, 0xFFFF, 0xFFFF, 4095, 0},
                                           InfinityCase{"reversed", 100, 2047, 4000, 0, 4095},
                                           // Zero scales: every finite value gives the zero code (0
                                           // x inf would be NaN).
                                           InfinityCase{"flat", 2047, 2047, 2047, 2047, 2047}),
                         [](const ::testing::TestParamInfo<InfinityCase>& info) {
                           return info.param.record;
                         });

TEST(CalibrateManager, ReplacesEntriesAndReleasesThePrevious) {
  CalibrateManager<boost::shared_ptr<InputCalibrator>> table(3, 2);
  EXPECT_EQ(table.rows(), 3u);
  EXPECT_FALSE(table[2][1]);
  auto first = boost::shared_ptr<InputCalibrator>(new SimpleInputCalibrator(0, 1u << 28));
  table.addCalibrator(2, 1, first);
  EXPECT_EQ(first.use_count(), 2);
  table.addCalibrator(2, 1,
                      boost::shared_ptr<InputCalibrator>(
                          new DualPointInputCalibrator(0xFFFF, 0xFFFF, 0xFFFF, 1, -1)));
  EXPECT_EQ(first.use_count(), 1);
  EXPECT_EQ(table[2][1]->calibrate(0xFFFF), 1.0f);
}

}  // namespace
