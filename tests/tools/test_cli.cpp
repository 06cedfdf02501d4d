// The qelomsr tool end to end: argument handling without devices, and every
// subcommand against the three emulated devices of the virtual USB bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <qelomsr/qelomsr.h>

#include <cstdio>
#include <regex>

#include "cli_run.h"

using ::testing::ContainsRegex;
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
      {"bench", "ka", "--rate", "1000", "--max-rate", "500"},
      // Values in the tool's own grammar only: no hex, inf or nan.
      {"write", "ka", "AO-0", "0x0A"},
      {"write", "ka", "AO-0", "inf"},
      {"write", "ka", "AO-0", "2.5MV"},
      {"dio", "ka", "DP-0", "--oe", "010"},
      {"stream", "ka", "--channels", "AI-0", "--rate", "0x10", "--frames", "5"},
      {"stream", "ka", "--channels", "AI-0", "--rate", "100", "--seconds", "inf"},
      // Slow logging: its options need --every, and --every a duration.
      {"read", "ka", "AI-0", "--count", "3"},
      {"read", "ka", "AI-0", "--out", "x.csv"},
      {"read", "ka", "AI-0", "--every", "0"},
      {"read", "ka", "AI-0", "--every", "10x"},
      {"read", "ka", "AI-0", "--every", "1m"},
      {"read", "ka", "AI-0", "--every", "1s", "--json"},
      {"read", "ka", "AI-0", "--every", "1s", "--average", "0"},
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

using CliOnBus = BusTest;

TEST_F(CliOnBus, ListShowsTheThreeDevicesInIdentifierOrder) {
  const auto r = onBus({"list"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto rows = lines(r.out);
  ASSERT_EQ(rows.size(), 4u) << r.out;
  EXPECT_THAT(rows[0], MatchesRegex("IDENTIFIER +FAMILY +SERIAL +FIRMWARE +STATE"));
  EXPECT_THAT(rows[1], MatchesRegex("USB:1-0-2-1 +Vel +VEL1X-004712 +1\\.4 +available"));
  EXPECT_THAT(rows[2], MatchesRegex("USB:1-0-2-4 +Rix +RIX1X-004713 +1\\.4 +available"));
  EXPECT_THAT(rows[3], MatchesRegex("USB:1-0-3 +Ka +KA1X-004711 +1\\.4 +available"));
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
  // is chosen by its USB serial number here.
  const auto r = onBus({"read", "RIX1X-004713", "VREF", "vbusref"});
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

TEST_F(CliOnBus, UnknownDevicesFailAndIndexesAreRefused) {
  const auto unknown = onBus({"info", "USB:9-9-9"});
  EXPECT_EQ(unknown.exitCode, 1) << describe(unknown);
  EXPECT_THAT(unknown.err, HasSubstr("no device 'USB:9-9-9'"));

  for (const std::string index : {"0", "2", "17"}) {
    const auto r = onBus({"dio", index, "DP-0", "--oe", "0x7", "--write", "0x7"});
    EXPECT_EQ(r.exitCode, 2) << describe(r);
    EXPECT_THAT(r.err, HasSubstr("'" + index + "' looks like a list index"));
    EXPECT_THAT(r.err, HasSubstr("name a device by its identifier (USB:1-0-3), family (ka, ka:1) "
                                 "or serial number (KA1X-004711)"));
    EXPECT_THAT(r.err, ::testing::Not(HasSubstr("qelomsr: opened")));
    EXPECT_TRUE(r.out.empty());
  }
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

TEST_F(CliOnBus, BenchFindsTheDevicesHighestRateAndTriesUpToIt) {
  // The emulated devices take frame periods down to 10 us: 100 kHz. Rates
  // the device refuses are found by starting and stopping, not by trials;
  // --max-rate caps the search (and keeps this test short).
  const auto r = onBus({"bench", "ka", "--rate", "250", "--max-rate", "1000", "--seconds", "0.2"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto rows = lines(r.out);
  ASSERT_EQ(rows.size(), 7u) << r.out;
  EXPECT_THAT(rows[1], HasSubstr("accepts rates up to 1000 Hz (--max-rate)"));
  EXPECT_THAT(rows[2], HasSubstr("achieved_hz"));
  // 250, 500, 1000 Hz; a trial of 0.2 s is too short for an achieved rate.
  for (size_t i = 3; i < 6; ++i) {
    double requested = 0, device = 0;
    char achieved[16] = {0};
    ASSERT_EQ(std::sscanf(rows[i].c_str(), "%lf %lf %15s", &requested, &device, achieved), 3)
        << rows[i];
    EXPECT_EQ(requested, 250.0 * (1 << (i - 3))) << rows[i];
    EXPECT_EQ(device, requested) << rows[i];
    EXPECT_STREQ(achieved, "-") << rows[i];
  }
  EXPECT_THAT(rows[6], MatchesRegex("highest rate sustained: 1000 Hz.*|no rate sustained.*"));

  const auto limit = onBus({"bench", "ka", "--rate", "65536", "--seconds", "0.01", "-q"});
  ASSERT_EQ(limit.exitCode, 0) << describe(limit);
  EXPECT_THAT(limit.out, HasSubstr("the device accepts rates up to 100000 Hz\n"));
  EXPECT_THAT(limit.out, ContainsRegex("\n +100000 +100000 "));  // the device's maximum, tried
  EXPECT_TRUE(limit.err.empty()) << limit.err;
}

}  // namespace
