// The qelomsr tool end to end: argument handling without devices, and every
// subcommand against the three emulated devices of the virtual USB bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <qelomsr/qelomsr.h>

#include <cstdio>
#include <regex>

#include "cli_run.h"

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using namespace qtest;

namespace {

// ---- arguments, no device needed --------------------------------------------

TEST(CliArguments, BadArgumentsExitWithCode2AndUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"info"},
      {"read", "0"},
      {"write", "0", "AO-0"},
      {"write", "0", "AO-0", "ten"},
      {"dio", "0", "DP-0", "--write", "0x1FF"},
      {"dio", "0", "DP-0", "--oe", "bits"},
      {"counter", "0", "--enable", "--disable"},
      {"stream", "0", "--channels", "AI-0", "--rate", "100"},
      {"stream", "0", "--channels", "AI-0", "--rate", "100", "--frames", "5", "--seconds", "1"},
      {"stream", "0", "--channels", "AI-0", "--rate", "0.5", "--frames", "5"},
      {"stream", "0", "--channels", "AI-0", "--rate", "fast", "--frames", "5"},
      {"bench", "0", "--seconds", "0"},
      // Out of range or not a number: refused, never saturated or taken as "not given".
      {"dio", "0", "DP-0", "--write", "-1"},
      {"dio", "0", "DP-0", "--oe", "-1"},
      {"stream", "0", "--channels", "AI-0", "--rate", "100", "--frames", "18446744073709551617"},
      {"stream", "0", "--channels", "AI-0", "--rate", "nan", "--frames", "5"},
      {"stream", "0", "--channels", "AI-0", "--rate", "100", "--frames", "5", "--trigger", "start",
       "--timeout", "nan"},
      {"bench", "0", "--max-rate", "inf"},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    const auto r = cli(args);
    EXPECT_EQ(r.exitCode, 2) << joined << "\n" << describe(r);
    EXPECT_THAT(r.err, HasSubstr("qelomsr: error:")) << joined;
    EXPECT_THAT(r.err, HasSubstr("Usage:")) << joined;
    EXPECT_TRUE(r.out.empty()) << joined;
  }
}

TEST(CliArguments, HelpAndVersionSucceed) {
  const auto help = cli({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* sub : {"list", "info", "read", "write", "dio", "counter", "stream", "bench"})
    EXPECT_THAT(help.out, HasSubstr(sub));
  const auto version = cli({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_THAT(version.out, HasSubstr(QELOMSR_VERSION_STRING));
}

// ---- against the emulated devices -------------------------------------------

class CliOnBus : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kRunner.empty()) GTEST_SKIP() << "no virtual USB bus runner in this build";
  }
};

TEST_F(CliOnBus, ListShowsTheThreeDevices) {
  const auto r = onBus({"list"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto rows = lines(r.out);
  ASSERT_EQ(rows.size(), 4u) << r.out;
  EXPECT_THAT(rows[0], MatchesRegex("INDEX +IDENTIFIER +FAMILY +FIRMWARE"));
  const std::string all = r.out;
  EXPECT_THAT(all, ::testing::ContainsRegex("USB:1-0-3 +Ka +1\\.[0-9]+\n"));
  EXPECT_THAT(all, ::testing::ContainsRegex("USB:1-0-2-1 +Vel +1\\.[0-9]+\n"));
  EXPECT_THAT(all, ::testing::ContainsRegex("USB:1-0-2-4 +Rix +1\\.[0-9]+\n"));
}

TEST_F(CliOnBus, InfoListsPeripheralsByTheirNames) {
  const auto ka = onBus({"info", "USB:1-0-3"});
  ASSERT_EQ(ka.exitCode, 0) << describe(ka);
  EXPECT_THAT(ka.out, HasSubstr("family        Ka (type 0x7A500010)"));
  EXPECT_THAT(ka.out, ::testing::ContainsRegex("AI-13 +0x7A50110D  range -10 .. 10 V"));
  EXPECT_THAT(ka.out, ::testing::ContainsRegex("AI-12/AI-13 +0x7A501206"));
  EXPECT_THAT(ka.out, ::testing::ContainsRegex("DP-2 +0x7A501002  4 lines IO-16 .. IO-19"));
  EXPECT_THAT(ka.out, ::testing::ContainsRegex("200uA +0x7A501700  reference current"));
  EXPECT_THAT(ka.out, ::testing::ContainsRegex("TRG +0x7A501600  config input A"));

  const auto rix = onBus({"info", "USB:1-0-2-4"});
  ASSERT_EQ(rix.exitCode, 0) << describe(rix);
  EXPECT_THAT(rix.out, ::testing::ContainsRegex("VREF +0x7A501105  range 0 .. 3.3 V"));
  EXPECT_THAT(rix.out, ::testing::ContainsRegex("VBUSREF +0x7A501104  range 0 .. 6.6 V"));
  EXPECT_THAT(rix.out, ::testing::Not(HasSubstr("AO-0")));
}

TEST_F(CliOnBus, ReadReportsTheInjectedReferenceVoltages) {
  // The emulated Rix drives VREF with 2.5 V and VBUSREF with 5.0 V; the device
  // is chosen by its list index here (Rix is the third entry).
  const auto list = onBus({"list"});
  ASSERT_EQ(list.exitCode, 0);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(list.out, m, std::regex("\n([0-9]+) +USB:1-0-2-4 ")));
  const auto r = onBus({"read", m[1].str(), "VREF", "vbusref"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto rows = lines(r.out);
  ASSERT_EQ(rows.size(), 2u);
  float vref = 0, vbus = 0;
  ASSERT_EQ(std::sscanf(rows[0].c_str(), "VREF %f V", &vref), 1) << rows[0];
  ASSERT_EQ(std::sscanf(rows[1].c_str(), "VBUSREF %f V", &vbus), 1) << rows[1];
  EXPECT_NEAR(vref, 2.5, 0.02);
  EXPECT_NEAR(vbus, 5.0, 0.04);
}

TEST_F(CliOnBus, ReadWithARangeAndDistinctInputs) {
  const auto r = onBus({"read", "USB:1-0-3", "AI-0", "AI-1", "AI-0/AI-1", "--range", "10V"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto rows = lines(r.out);
  ASSERT_EQ(rows.size(), 3u);
  for (const auto& row : rows)
    EXPECT_THAT(row, MatchesRegex("AI-[0-9/AI-]+ +-?[0-9]+(\\.[0-9]+)?(e-?[0-9]+)? V")) << row;
}

TEST_F(CliOnBus, UnsuitablePeripheralsAreUsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {"read", "USB:1-0-3", "AI-99"},
      {"read", "USB:1-0-3", "DP-0"},
      {"read", "USB:1-0-3", "AI-0", "--range", "5V"},
      {"write", "USB:1-0-2-4", "AO-0", "1.0"},
      {"write", "USB:1-0-2-1", "AO-1", "1.0"},
      {"dio", "USB:1-0-3", "DP-3"},
      {"counter", "USB:1-0-2-1"},
      {"stream", "USB:1-0-3", "--channels", "AI-0,AO-0", "--rate", "100", "--frames", "5"},
  };
  for (const auto& args : cases) {
    const auto r = onBus(args);
    EXPECT_EQ(r.exitCode, 2) << args[0] << " " << args[1] << "\n" << describe(r);
    EXPECT_THAT(r.err, ::testing::ContainsRegex("choose from|has no")) << args[0] << " " << args[1];
  }
}

TEST_F(CliOnBus, UnknownDevicesAndIndexesFail) {
  const auto unknown = onBus({"info", "USB:9-9-9"});
  EXPECT_EQ(unknown.exitCode, 1) << describe(unknown);
  EXPECT_THAT(unknown.err, HasSubstr("no device 'USB:9-9-9'"));

  const auto index = onBus({"read", "17", "AI-0"});
  EXPECT_EQ(index.exitCode, 1) << describe(index);
  EXPECT_THAT(index.err, HasSubstr("no device with index 17"));
}

TEST_F(CliOnBus, WriteSetsAnAnalogOutput) {
  const auto r = onBus({"write", "USB:1-0-3", "AO-1", "--", "-2.5"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_EQ(r.out, "AO-1       -2.5 V\n");
}

TEST_F(CliOnBus, DioDrivesAndReadsBackAPort) {
  const auto r = onBus({"dio", "USB:1-0-3", "DP-1", "--oe", "0xFF", "--write", "0x5A"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_EQ(r.out, "DP-1   0x5A 01011010\n");

  const auto all = onBus({"dio", "USB:1-0-3"});
  ASSERT_EQ(all.exitCode, 0) << describe(all);
  const auto rows = lines(all.out);
  ASSERT_EQ(rows.size(), 3u) << all.out;
  EXPECT_THAT(rows[2], MatchesRegex("DP-2 +0x[0-9A-F]{2} [01]{4}"));
}

TEST_F(CliOnBus, CounterEnableResetAndRead) {
  const auto r = onBus({"counter", "USB:1-0-3", "--enable", "--reset"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_THAT(r.out, MatchesRegex("CNT +[0-9]+ enabled\n"));
  const auto off = onBus({"counter", "USB:1-0-3", "CNT", "--disable"});
  ASSERT_EQ(off.exitCode, 0) << describe(off);
  EXPECT_THAT(off.out, MatchesRegex("CNT +[0-9]+ disabled\n"));
}

TEST_F(CliOnBus, BenchReportsRateAndCpu) {
  const auto r = onBus({"bench", "USB:1-0-3", "--rate", "500", "--seconds", "0.5"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto rows = lines(r.out);
  ASSERT_EQ(rows.size(), 3u) << r.out;
  EXPECT_THAT(rows[1], HasSubstr("achieved_hz"));
  double requested = 0, device = 0, achieved = 0;
  ASSERT_EQ(std::sscanf(rows[2].c_str(), "%lf %lf %lf", &requested, &device, &achieved), 3);
  EXPECT_EQ(requested, 500);
  EXPECT_GT(achieved, 0);
}

}  // namespace
