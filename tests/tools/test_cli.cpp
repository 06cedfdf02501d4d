// The qelomsr tool end to end: argument handling without devices, and every
// subcommand against the three emulated devices of the virtual USB bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <qelomsr/qelomsr.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "cli_run.h"

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using namespace qtest;

namespace {

std::vector<double> numbers(const std::string& csvLine) {
  std::vector<double> values;
  std::istringstream in(csvLine);
  for (std::string cell; std::getline(in, cell, ',');) values.push_back(std::stod(cell));
  return values;
}

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

// The streams below run on real time, but each fits the device's input
// buffer whole (here 1000 frames of 10 bytes in 64 KiB): no host is too slow
// for them.
TEST_F(CliOnBus, StreamWritesEveryFrameToCsv) {
  const std::string path = kTempDir + "/stream.csv";
  std::remove(path.c_str());
  const auto r = onBus({"stream", "USB:1-0-3", "--channels", "AI-0,AI-1,DP-0,CNT", "--rate", "1000",
                        "--frames", "1000", "--out", path, "--progress"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("1000/1000 frames"));
  EXPECT_THAT(r.err, HasSubstr("overruns 0"));
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  const auto rows = lines(content.str());
  ASSERT_EQ(rows.size(), 1001u);
  EXPECT_EQ(rows[0], "time_s,AI-0,AI-1,DP-0,CNT");
  // The emulated Ka drives AI-n with 0.6 (n + 1) V * sin(2 pi (n + 1) Hz t + phase); one
  // second holds whole periods, so projecting on sine and cosine gives the amplitude.
  double sinSum[2] = {0, 0}, cosSum[2] = {0, 0};
  const double kTwoPi = 6.283185307179586;
  for (size_t i = 1; i < rows.size(); ++i) {
    const auto v = numbers(rows[i]);
    ASSERT_EQ(v.size(), 5u) << rows[i];
    const double t = static_cast<double>(i - 1) * 0.001;
    EXPECT_NEAR(v[0], t, 1e-6) << "row " << i;
    EXPECT_EQ(v[3], std::floor(v[3]));
    EXPECT_GE(v[4], 0);
    for (int n = 0; n < 2; ++n) {
      sinSum[n] += v[1 + n] * std::sin(kTwoPi * (n + 1) * t);
      cosSum[n] += v[1 + n] * std::cos(kTwoPi * (n + 1) * t);
    }
  }
  for (int n = 0; n < 2; ++n) {
    const double amplitude = 2.0 * std::hypot(sinSum[n], cosSum[n]) / 1000.0;
    EXPECT_NEAR(amplitude, 0.6 * (n + 1), 0.006 * (n + 1)) << "AI-" << n;
  }
}

// The tool under a runner whose control socket the test knows: the test runs
// the devices' clock by hand (--manual-clock) and watches a device's state
// while the tool works, so every frame, overflow and restart happens exactly
// when the test makes it, whatever the speed of the host.
class DrivenRun {
 public:
  DrivenRun(const std::string& config, const std::vector<std::string>& args) {
    char dir[] = "/tmp/qelomsr-cli-XXXXXX";
    if (mkdtemp(dir) != nullptr) dir_ = dir;
    socket_ = dir_ + "/control";
    setenv("QELOMSR_VBUS_CONTROL", socket_.c_str(), 1);  // for `qelomsr-vbus ctl`
    std::vector<std::string> argv{kRunner,
                                  "--manual-clock",
                                  "--control-socket",
                                  socket_,
                                  "--config",
                                  kSourceDir + "/" + config,
                                  "--",
                                  kCli};
    argv.insert(argv.end(), args.begin(), args.end());
    process_ = std::make_unique<qtest::Process>(argv);
  }
  ~DrivenRun() {
    process_.reset();
    unsetenv("QELOMSR_VBUS_CONTROL");
    if (!dir_.empty()) rmdir(dir_.c_str());
  }

  // Sends one control command; the reply lines before "ok" (a failure adds
  // a test failure and returns the error).
  std::string ctl(const std::string& command) {
    std::vector<std::string> argv{kRunner, "ctl"};
    std::istringstream words(command);
    for (std::string w; words >> w;) argv.push_back(w);
    const auto r = qtest::runProcess(argv, std::chrono::seconds(60));
    EXPECT_EQ(r.exitCode, 0) << command << "\n" << describe(r);
    return r.out;
  }

  // The device's state as "name value" pairs; empty while the runner is not
  // listening yet.
  std::map<std::string, std::string> state(const std::string& port) {
    std::map<std::string, std::string> values;
    const auto r = qtest::runProcess({kRunner, "ctl", "state", port}, std::chrono::seconds(60));
    if (r.exitCode != 0) return values;
    std::istringstream in(r.out);
    for (std::string name, value; in >> name >> value;) values[name] = value;
    return values;
  }

  // Waits (bounded, generously) until the device's state satisfies cond.
  bool waitFor(const std::string& port,
               const std::function<bool(std::map<std::string, std::string>&)>& cond) {
    return qtest::pollUntil([&] {
      auto s = state(port);
      return !s.empty() && cond(s);
    });
  }

  qtest::Process& process() { return *process_; }

 private:
  std::string dir_;
  std::string socket_;
  std::unique_ptr<qtest::Process> process_;
};

long long asNumber(const std::string& text) { return std::stoll(text); }

// The tool has started an acquisition that has produced nothing yet.
bool freshlyStarted(std::map<std::string, std::string>& s) {
  return s["acquisition"] == "running" && s["framesProduced"] == "0" && s["framesDropped"] == "0";
}

// The tool has read every one of `frames` frames the device produced.
std::function<bool(std::map<std::string, std::string>&)> drained(long long frames) {
  return [frames](std::map<std::string, std::string>& s) {
    return asNumber(s["framesProduced"]) == frames && s["inputBufferedBytes"] == "0";
  };
}

// small_buffer.json: a Ka whose input buffer holds 8 frames of AI-0 (16
// bytes) and whose AI-0 is a ramp from -5 V up over 100 s. Frame k of a 1 Hz
// acquisition started at time s is sampled at s + k + 1.
double rampAt(double seconds) { return 5.0 * (2.0 * std::fmod(0.01 * seconds, 1.0) - 1.0); }

// Checks the CSV rows of one stretch of frames of a 1 Hz acquisition started
// at `start` seconds of the devices' clock.
void expectRamp(const std::vector<std::string>& rows, size_t first, int frames, double start) {
  for (int k = 0; k < frames; ++k) {
    const std::string& row = rows.at(first + static_cast<size_t>(k));
    const auto v = numbers(row);
    ASSERT_EQ(v.size(), 2u) << row;
    EXPECT_NEAR(v[1], rampAt(start + k + 1), 0.001) << row;
  }
}

TEST_F(CliOnBus, OverrunEndsTheStreamKeepingWhatWasRead) {
  const std::string path = kTempDir + "/overrun.csv";
  std::remove(path.c_str());
  // 1 Hz: the tool waits 20 s for a frame before it gives up, far longer
  // than the test needs between two steps of the clock.
  DrivenRun run("small_buffer.json", {"stream", "ka", "--channels", "AI-0", "--rate", "1",
                                      "--frames", "2000", "--out", path});
  ASSERT_TRUE(run.waitFor("1-3", freshlyStarted)) << run.process().err();
  run.ctl("clock advance 5s");
  ASSERT_TRUE(run.waitFor("1-3", drained(5))) << run.process().err();
  run.ctl("clock advance 20s");  // 20 frames for a buffer of 8
  const auto r = run.process().finish(std::chrono::seconds(120));
  EXPECT_EQ(r.exitCode, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("overrun after 5 frames"));
  EXPECT_THAT(r.err, HasSubstr("Buffer overflow. (class 4, device error)"));
  // The frames read before the overflow are all in the file, once, in order.
  const auto rows = lines(readFile(path));
  ASSERT_EQ(rows.size(), 6u) << readFile(path);
  EXPECT_EQ(rows[0], "time_s,AI-0");
  expectRamp(rows, 1, 5, 0.0);
  for (size_t k = 0; k < 5; ++k) EXPECT_NEAR(numbers(rows[k + 1])[0], static_cast<double>(k), 1e-9);
}

TEST_F(CliOnBus, RestartOnOverrunMarksEveryGap) {
  // Two overflows in the middle of a 12-frame stream: 3 frames, a gap, 4
  // frames, a gap, 5 frames. Each stretch comes from its own acquisition,
  // started where the clock stood after the overflow.
  const std::string path = kTempDir + "/restart.csv";
  std::remove(path.c_str());
  DrivenRun run("small_buffer.json", {"stream", "ka", "--channels", "AI-0", "--rate", "1",
                                      "--frames", "12", "--out", path, "--restart-on-overrun"});
  for (long long frames : {3, 4}) {
    ASSERT_TRUE(run.waitFor("1-3", freshlyStarted)) << run.process().err();
    run.ctl("clock advance " + std::to_string(frames) + "s");
    ASSERT_TRUE(run.waitFor("1-3", drained(frames))) << run.process().err();
    run.ctl("clock advance 20s");
  }
  ASSERT_TRUE(run.waitFor("1-3", freshlyStarted)) << run.process().err();
  run.ctl("clock advance 5s");
  const auto r = run.process().finish(std::chrono::seconds(120));
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto rows = lines(readFile(path));
  ASSERT_EQ(rows.size(), 15u) << readFile(path);
  EXPECT_EQ(rows[0], "time_s,AI-0");
  EXPECT_THAT(rows[4], ::testing::StartsWith("# overrun after 3 frames:"));
  EXPECT_THAT(rows[9], ::testing::StartsWith("# overrun after 7 frames:"));
  expectRamp(rows, 1, 3, 0.0);
  expectRamp(rows, 5, 4, 3.0 + 20.0);
  expectRamp(rows, 10, 5, 3.0 + 20.0 + 4.0 + 20.0);
  EXPECT_THAT(r.err, HasSubstr("12 frames"));
  EXPECT_THAT(r.err, HasSubstr(", 2 overruns"));
}

TEST_F(CliOnBus, StreamBySecondsToStdout) {
  const auto r = onBus({"stream", "USB:1-0-2-4", "--channels", "AI-0,VREF", "--rate", "200",
                        "--seconds", "0.5", "--quiet"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_TRUE(r.err.empty()) << r.err;
  const auto rows = lines(r.out);
  ASSERT_EQ(rows.size(), 101u);
  EXPECT_EQ(rows[0], "time_s,AI-0,VREF");
  for (size_t i = 1; i < rows.size(); ++i) EXPECT_NEAR(numbers(rows[i])[2], 2.5, 0.02) << rows[i];
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
