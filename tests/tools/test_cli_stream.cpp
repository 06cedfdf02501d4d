// The stream command end to end against the emulated devices: what its files
// hold, how overruns are marked, what a full disk, a signal or a terminal's
// Ctrl-C leaves behind, and what it says about clipping, calibration and the
// counter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <regex>

#include "cli_run.h"
#include "driven_run.h"
#include "terminal.h"

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using namespace qtest;

namespace {

class CliStream : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kRunner.empty()) GTEST_SKIP() << "no virtual USB bus runner in this build";
  }
};

nlohmann::json h5Summary(const std::string& path) {
  const auto dump = runProcess({"/usr/bin/python3", kSourceDir + "/h5_summary.py", path});
  EXPECT_EQ(dump.exitCode, 0) << describe(dump);
  return dump.exitCode == 0 ? nlohmann::json::parse(dump.out) : nlohmann::json::object();
}

// Every line is complete and the file ends with its trailer: `# end: N
// frames` with N its data rows. Returns the rows.
std::vector<std::string> expectClosedCsv(const std::string& path) {
  const std::string text = readFile(path);
  EXPECT_FALSE(text.empty());
  if (text.empty()) return {};
  EXPECT_EQ(text.back(), '\n') << "the file ends inside a line";
  const auto rows = dataRows(text);
  EXPECT_EQ(lines(text).back(), "# end: " + std::to_string(rows.size()) + " frames");
  const size_t width = cells(columnLine(text)).size();
  for (const auto& row : rows) EXPECT_EQ(cells(row).size(), width) << row;
  return rows;
}

// ---- what a file holds ---------------------------------------------------------

// These streams run on real time, but each fits the device's input buffer
// whole (here 1000 frames of 10 bytes in 64 KiB): no host is too slow for
// them.
TEST_F(CliStream, WritesEveryFrameWithTheHeaderAndTrailer) {
  const std::string path = kTempDir + "/stream.csv";
  std::remove(path.c_str());
  const auto r = onBus({"stream", "USB:1-0-3", "--channels", "AI-0,AI-1,DP-0,CNT", "--rate", "1000",
                        "--frames", "1000", "--out", path, "--progress"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("1000/1000 frames"));
  EXPECT_THAT(r.err, HasSubstr("overruns 0"));
  EXPECT_THAT(r.err, HasSubstr("qelomsr: clipped samples: AI-0 0, AI-1 0\n"));
  const std::string text = readFile(path);
  const auto all = lines(text);
  ASSERT_GE(all.size(), 8u);
  EXPECT_EQ(all[0], "# qelomsr recording, format 2");
  EXPECT_EQ(all[1], "# device USB:1-0-3, family Ka, serial QeloKa@KA1X-004711, firmware 1.4");
  EXPECT_TRUE(std::regex_match(all[2], std::regex("# start_time 20[0-9-]{8}T[0-9:]{8}\\.[0-9]{3}"
                                                  "[+-][0-9]{2}:[0-9]{2}")))
      << all[2];
  EXPECT_EQ(all[3], "# rate_hz 1000");
  EXPECT_EQ(all[4], "# range AI-0 -10 .. 10 V");
  EXPECT_EQ(all[5], "# range AI-1 -10 .. 10 V");
  EXPECT_EQ(all[6], "time_s,AI-0,AI-1,DP-0,CNT");
  const auto rows = expectClosedCsv(path);
  ASSERT_EQ(rows.size(), 1000u);
  EXPECT_EQ(commentValue(text, "clipped AI-0"), "0");
  // The emulated Ka drives AI-n with 0.6 (n + 1) V * sin(2 pi (n + 1) Hz t + phase); one
  // second holds whole periods, so projecting on sine and cosine gives the amplitude.
  double sinSum[2] = {0, 0}, cosSum[2] = {0, 0};
  const double kTwoPi = 6.283185307179586;
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto v = numbers(rows[i]);
    ASSERT_EQ(v.size(), 5u) << rows[i];
    const double t = static_cast<double>(i) / 1000.0;
    EXPECT_EQ(v[0], t) << "row " << i;  // k / rate in double, exactly
    EXPECT_EQ(v[3], std::floor(v[3]));
    if (i > 0) {
      EXPECT_GE(v[4], numbers(rows[i - 1])[4]) << "the counter counts";
    }
    for (int n = 0; n < 2; ++n) {
      sinSum[n] += v[1 + n] * std::sin(kTwoPi * (n + 1) * t);
      cosSum[n] += v[1 + n] * std::cos(kTwoPi * (n + 1) * t);
    }
  }
  EXPECT_GT(numbers(rows.back())[4], numbers(rows.front())[4] + 500) << "CNT counted at 1 kHz";
  EXPECT_THAT(r.err, HasSubstr("qelomsr: CNT enabled for the stream"));
  for (int n = 0; n < 2; ++n) {
    const double amplitude = 2.0 * std::hypot(sinSum[n], cosSum[n]) / 1000.0;
    EXPECT_NEAR(amplitude, 0.6 * (n + 1), 0.006 * (n + 1)) << "AI-" << n;
  }
}

TEST_F(CliStream, TimesComeFromTheDevicePeriodWithoutFloat32Noise) {
  // 3 kHz: the device runs at 333333 ns, 3000.003 Hz.
  const auto r = onBus({"stream", "ka", "--channels", "AI-0", "--rate", "3000", "--frames", "4",
                        "--out", "-", "-q"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_EQ(commentValue(r.out, "rate_hz"), "3000.003000003");
  const auto rows = dataRows(r.out);
  ASSERT_EQ(rows.size(), 4u) << r.out;
  const char* const times[] = {"0", "0.000333333", "0.000666666", "0.000999999"};
  for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(cells(rows[i])[0], times[i]) << rows[i];
}

TEST_F(CliStream, BySecondsToStdout) {
  const auto r = onBus({"stream", "USB:1-0-2-4", "--channels", "AI-0,VREF", "--rate", "200",
                        "--seconds", "0.5", "--quiet"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_TRUE(r.err.empty()) << r.err;
  EXPECT_EQ(columnLine(r.out), "time_s,AI-0,VREF");
  const auto rows = dataRows(r.out);
  ASSERT_EQ(rows.size(), 100u);
  for (const auto& row : rows) EXPECT_NEAR(numbers(row)[2], 2.5, 0.02) << row;
  EXPECT_EQ(lines(r.out).back(), "# end: 100 frames");
}

TEST_F(CliStream, ClippedAndUncalibratedChannelsAreNamed) {
  // The 10 mV range clips most of AI-3's 2.4 V sine; the second Ka of
  // two_ka.json has an erased calibration block.
  struct Case {
    std::string device, file;
    bool calibrated;
  };
  for (const Case& c :
       {Case{"USB:1-0-4", "erased.csv", false}, Case{"USB:1-0-4", "erased.h5", false},
        Case{"USB:1-0-3", "fine.csv", true}}) {
    const std::string path = kTempDir + "/" + c.file;
    std::remove(path.c_str());
    const auto r = onBus({"stream", c.device, "--channels", "AI-3:10mV,AI-5", "--rate", "1000",
                          "--frames", "300", "--out", path},
                         "two_ka.json");
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_EQ(r.err.find("AI-3 is uncalibrated") != std::string::npos, !c.calibrated) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        r.err, m, std::regex("warning: AI-3 clipped in ([0-9]+) of the first ([0-9]+) frames")))
        << r.err;
    ASSERT_TRUE(std::regex_search(r.err, m, std::regex("clipped samples: AI-3 ([0-9]+), AI-5 0\n")))
        << r.err;
    const long long reported = std::stoll(m[1].str());
    if (c.file.find(".h5") != std::string::npos) {
      const auto h5 = h5Summary(path);
      EXPECT_EQ(h5["clipped"], nlohmann::json::array({reported, 0}));
      // The whole calibration block is erased: both inputs are uncalibrated.
      EXPECT_EQ(h5["attrs"]["calibrated"],
                nlohmann::json::array({c.calibrated ? 1 : 0, c.calibrated ? 1 : 0}));
      EXPECT_EQ(h5["attrs"]["ranges"][0], nlohmann::json::array({-0.01, 0.01}));
      EXPECT_EQ(h5["data"]["dtype"], "float32");
      continue;
    }
    const std::string text = readFile(path);
    EXPECT_EQ(commentValue(text, "range AI-3"), "-0.01 .. 0.01 V");
    EXPECT_EQ(text.find("# uncalibrated AI-3: nominal conversion (erased calibration record)") !=
                  std::string::npos,
              !c.calibrated);
    // The samples counted are those at the two ends the converter reached.
    const auto rows = expectClosedCsv(path);
    std::vector<float> values;
    for (const auto& row : rows) values.push_back(std::stof(cells(row)[1]));
    const float low = *std::min_element(values.begin(), values.end());
    const float high = *std::max_element(values.begin(), values.end());
    EXPECT_NEAR(low, -0.01, 0.0005);
    EXPECT_NEAR(high, 0.01, 0.0005);
    const auto atEnds =
        std::count_if(values.begin(), values.end(), [&](float v) { return v == low || v == high; });
    EXPECT_EQ(reported, atEnds);
    EXPECT_EQ(commentValue(text, "clipped AI-3"), std::to_string(atEnds));
    EXPECT_EQ(commentValue(text, "clipped AI-5"), "0");
  }
}

TEST_F(CliStream, Hdf5IsCompressedOnRequestAndReadableWhileWritten) {
  const std::string path = kTempDir + "/live.h5";
  const std::string during = kTempDir + "/live_during.json";
  std::remove(path.c_str());
  // Read by h5py (SWMR) while the tool writes; 100 Hz keeps the device
  // buffer far from full however slowly the host reads. The reader needs no
  // bus: without the runner's preloads (a sanitizer runtime among them in
  // sanitizer builds, which the interpreter cannot take).
  const std::string reader =
      "env -u LD_PRELOAD /usr/bin/python3 " + kSourceDir + "/h5_summary.py " + path;
  const auto r = whileRunning("live_h5", "[1-9][0-9]*/[0-9]+ frames",
                              "for i in $(seq 1 600); do " + reader + " > " + during +
                                  " 2>/dev/null && grep -q '\"shape\": \\[[1-9]' " + during +
                                  " && break; sleep 0.05; done; kill -INT $pid",
                              {"stream", "ka", "--channels", "AI-0,AI-1,DP-0", "--rate", "100",
                               "--seconds", "600", "--out", path, "--compress", "--progress"});
  ASSERT_EQ(r.exitCode, 130) << describe(r);
  const auto seen = nlohmann::json::parse(readFile(during));
  EXPECT_GT(seen["data"]["shape"][0].get<long long>(), 0) << seen.dump();
  const auto h5 = h5Summary(path);
  EXPECT_GE(h5["data"]["shape"][0].get<long long>(), seen["data"]["shape"][0].get<long long>());
  EXPECT_EQ(h5["data"]["dtype"], "float64");  // a port: exact in float64
  EXPECT_EQ(h5["compression"], "gzip");
  EXPECT_EQ(h5["shuffle"], true);
  EXPECT_EQ(h5["attrs"]["format"], 2);
  EXPECT_EQ(h5["attrs"]["devices"], nlohmann::json::array({"USB:1-0-3", "USB:1-0-3", "USB:1-0-3"}));
}

// ---- refusing before the device is opened --------------------------------------

TEST(CliStreamArguments, AnExistingFileIsKeptUnlessOverwriteIsGiven) {
  const std::string path = kTempDir + "/precious.csv";
  writeFile(path, "precious\n");
  // No devices at all: only the arguments and the file can fail.
  const auto r =
      cli({"stream", "0", "--channels", "AI-0", "--rate", "100", "--frames", "5", "--out", path});
  EXPECT_EQ(r.exitCode, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("'" + path + "' exists: give --overwrite to replace it"));
  EXPECT_EQ(readFile(path), "precious\n");
  const auto dir = cli({"stream", "0", "--channels", "AI-0", "--rate", "100", "--frames", "5",
                        "--out", "/no/such/dir/run.h5", "--overwrite"});
  EXPECT_EQ(dir.exitCode, 1) << describe(dir);
  EXPECT_THAT(dir.err, HasSubstr("cannot create '/no/such/dir/run.h5': No such file or directory"));
  const auto compress = cli({"stream", "0", "--channels", "AI-0", "--rate", "100", "--frames", "5",
                             "--out", kTempDir + "/new.csv", "--compress"});
  EXPECT_EQ(compress.exitCode, 2) << describe(compress);
  EXPECT_THAT(compress.err, HasSubstr("--compress applies to HDF5 files"));
}

// ---- overruns, on the manual clock -----------------------------------------------

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

// Time never runs backwards, and frames are at least one period apart.
void expectTimesAdvance(const std::vector<std::string>& rows, double periodSeconds) {
  for (size_t i = 1; i < rows.size(); ++i)
    ASSERT_GE(numbers(rows[i])[0], numbers(rows[i - 1])[0] + periodSeconds * (1 - 1e-9))
        << rows[i - 1] << " then " << rows[i];
}

TEST_F(CliStream, AnOverrunEndsTheStreamAfterEveryKeptFrame) {
  const std::string path = kTempDir + "/overrun.csv";
  std::remove(path.c_str());
  // 1 Hz: the tool waits 20 s for a frame before it gives up, far longer
  // than the test needs between two steps of the clock.
  DrivenRun run("small_buffer.json", {"stream", "ka", "--channels", "AI-0", "--rate", "1",
                                      "--frames", "2000", "--out", path});
  ASSERT_TRUE(run.waitFor("1-3", freshlyStarted)) << run.process().err();
  run.ctl("clock advance 5s");
  ASSERT_TRUE(run.waitFor("1-3", drained(5))) << run.process().err();
  run.ctl("clock advance 20s");  // 20 frames for a buffer of 8: 8 kept, 12 dropped
  const auto r = run.process().finish(std::chrono::seconds(120));
  EXPECT_EQ(r.exitCode, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("overrun after 13 frames"));
  EXPECT_THAT(r.err, HasSubstr("Buffer overflow. (class 4, device error)"));
  EXPECT_THAT(r.err, HasSubstr("13 frames written to " + path + " before the error"));
  // The frames read before the overflow and the 8 the device kept are all
  // in the file, once, in order.
  const auto rows = expectClosedCsv(path);
  ASSERT_EQ(rows.size(), 13u) << readFile(path);
  expectRamp(rows, 0, 13, 0.0);
  for (size_t k = 0; k < rows.size(); ++k) EXPECT_EQ(numbers(rows[k])[0], static_cast<double>(k));
}

TEST_F(CliStream, RestartOnOverrunMarksOneGapPerOverrunAtItsFrame) {
  // Two overflows in a 28-frame stream: 3 frames and the 8 kept, a gap, 4
  // frames and the 8 kept, a gap, 5 frames. Each stretch comes from its own
  // acquisition, started where the clock stood after the overflow.
  const std::string path = kTempDir + "/restart.csv";
  std::remove(path.c_str());
  DrivenRun run("small_buffer.json", {"stream", "ka", "--channels", "AI-0", "--rate", "1",
                                      "--frames", "28", "--out", path, "--restart-on-overrun"});
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
  const std::string text = readFile(path);
  const auto rows = expectClosedCsv(path);
  ASSERT_EQ(rows.size(), 28u) << text;
  EXPECT_EQ(countLines(text, "# overrun"), 2u) << text;
  const auto all = lines(text);
  const auto first = std::find(all.begin(), all.end(),
                               "# overrun after 11 frames: frames lost; acquisition restarted");
  ASSERT_NE(first, all.end()) << text;
  EXPECT_EQ(first[1], rows[11]);
  const auto second = std::find(all.begin(), all.end(),
                                "# overrun after 23 frames: frames lost; acquisition restarted");
  ASSERT_NE(second, all.end()) << text;
  EXPECT_EQ(second[1], rows[23]);
  expectRamp(rows, 0, 11, 0.0);
  expectRamp(rows, 11, 12, 3.0 + 20.0);
  expectRamp(rows, 23, 5, 3.0 + 20.0 + 4.0 + 20.0);
  expectTimesAdvance(rows, 1.0);
  EXPECT_THAT(r.err, HasSubstr("28 frames"));
  EXPECT_THAT(r.err, HasSubstr(", 2 overruns"));
}

TEST_F(CliStream, EveryFrameABufferHeldReachesTheFileBeforeTheGap) {
  // AI-0 at 1 kHz into the Ka's 64 KiB: 40 s produced while the tool had
  // read the first second, so the device kept 32768 frames and dropped
  // 7232. All 32768 reach the file, then one gap, then the restart's frames.
  for (const std::string name : {"kept.csv", "kept.h5"}) {
    const std::string path = kTempDir + "/" + name;
    std::remove(path.c_str());
    DrivenRun run("", {"stream", "ka", "--channels", "AI-0", "--rate", "1000", "--frames", "34268",
                       "--out", path, "--restart-on-overrun", "-q"});
    ASSERT_TRUE(run.waitFor("1-3", freshlyStarted)) << run.process().err();
    run.ctl("clock advance 1s");
    ASSERT_TRUE(run.waitFor("1-3", drained(1000))) << run.process().err();
    run.ctl("clock advance 39s");
    ASSERT_TRUE(run.waitFor("1-3", freshlyStarted)) << run.process().err();
    run.ctl("clock advance 500ms");
    const auto r = run.process().finish(std::chrono::seconds(120));
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_THAT(r.err, HasSubstr("overrun after 33768 frames"));
    if (name == "kept.h5") {
      const auto h5 = h5Summary(path);
      EXPECT_EQ(h5["data"]["shape"][0], 34268);
      EXPECT_EQ(h5["gaps"], nlohmann::json::array({33768}));
      continue;
    }
    const std::string text = readFile(path);
    const auto rows = expectClosedCsv(path);
    ASSERT_EQ(rows.size(), 34268u);
    EXPECT_EQ(countLines(text, "# overrun"), 1u);
    const auto all = lines(text);
    const auto gap = std::find(all.begin(), all.end(),
                               "# overrun after 33768 frames: frames lost; acquisition restarted");
    ASSERT_NE(gap, all.end());
    EXPECT_EQ(gap[1], rows[33768]);
    EXPECT_EQ(numbers(rows[33767])[0], 33.767);  // k / rate up to the gap
    expectTimesAdvance(rows, 0.001);
  }
}

// ---- a full disk ----------------------------------------------------------------

TEST_F(CliStream, AFullFileEndsOnACompleteRecordAndTheSummarySaysWhatItHolds) {
  // The file size limit of the tool's process stands in for a full disk:
  // writes fail with EFBIG where a full disk gives ENOSPC.
  for (const std::string name : {"limited.csv", "limited.h5"}) {
    const std::string path = kTempDir + "/" + name;
    std::remove(path.c_str());
    DrivenRun run("",
                  {"stream", "ka", "--channels", "AI-0,AI-1,AI-2,AI-3", "--rate", "5000",
                   "--seconds", "600", "--out", path},
                  {"/usr/bin/prlimit", "--fsize=262144:262144", "--"});
    ASSERT_TRUE(run.waitFor("1-3", freshlyStarted)) << run.process().err();
    // A second at a time (5000 frames of 8 bytes fit the device buffer)
    // until the file is full and the tool ends.
    for (int i = 0; i < 60 && run.process().running(); ++i) {
      run.ctl("clock advance 1s");
      pollUntil([&] {
        if (!run.process().running()) return true;
        auto s = run.state("1-3");
        return !s.empty() && empty(s);
      });
    }
    const auto r = run.process().finish(std::chrono::seconds(120));
    EXPECT_EQ(r.exitCode, 1) << describe(r);
    const std::string reason = "qelomsr: error: writing '" + path + "' failed: file too large\n";
    ASSERT_THAT(r.err, HasSubstr(reason));
    EXPECT_EQ(r.err.find(reason), r.err.rfind(reason)) << "said twice:\n" << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        r.err, m, std::regex("qelomsr: ([0-9]+) frames written to [^ ]+ before the error")))
        << r.err;
    const long long frames = std::stoll(m[1].str());
    EXPECT_GT(frames, 1000);
    if (name == "limited.h5") {
      const auto h5 = h5Summary(path);
      EXPECT_EQ(h5["data"]["shape"][0].get<long long>(), frames);
      EXPECT_EQ(h5["time_s"]["last"].get<double>(), (frames - 1) / 5000.0);
      continue;
    }
    const std::string text = readFile(path);
    ASSERT_EQ(text.back(), '\n');
    const auto rows = dataRows(text);
    EXPECT_EQ(static_cast<long long>(rows.size()), frames);
    for (const auto& row : rows) ASSERT_EQ(cells(row).size(), 5u) << row;
  }
}

// ---- signals and terminals ------------------------------------------------------

TEST_F(CliStream, ASecondSignalStillClosesTheFileOnACompleteRecord) {
  for (const std::string name : {"twice.csv", "twice.h5"}) {
    const std::string path = kTempDir + "/" + name;
    std::remove(path.c_str());
    const auto r =
        whileRunning("twice", "[1-9][0-9]*/[0-9]+ frames", "kill -INT $pid; kill -INT $pid",
                     {"stream", "ka", "--channels", "AI-0,CNT", "--rate", "100", "--seconds", "600",
                      "--out", path, "--progress"});
    ASSERT_EQ(r.exitCode, 130) << describe(r);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m, std::regex("qelomsr: ([0-9]+) frames at"))) << r.err;
    if (name == "twice.h5") {
      EXPECT_EQ(h5Summary(path)["data"]["shape"][0].get<long long>(), std::stoll(m[1].str()));
      continue;
    }
    EXPECT_EQ(static_cast<long long>(expectClosedCsv(path).size()), std::stoll(m[1].str()));
  }
}

TEST_F(CliStream, CtrlCInATerminalUnderTheRunnerClosesTheFile) {
  // The terminal sends SIGINT to its whole foreground group, the runner and
  // the tool: the runner must not send it again. Twice Ctrl-C is two
  // signals for the tool, which still closes the file (a third would end it
  // at once).
  const std::string path = kTempDir + "/terminal.csv";
  std::remove(path.c_str());
  Terminal terminal({kRunner, "--", kCli, "stream", "ka", "--channels", "AI-0,AI-1,AI-2,AI-3",
                     "--rate", "100", "--seconds", "600", "--out", path});
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.waitFor([&] { return dataRows(readFile(path)).size() >= 5; }))
      << terminal.screen();
  terminal.type("\x03\x03");
  EXPECT_EQ(terminal.finish(), 130) << terminal.screen();
  EXPECT_THAT(terminal.screen(), HasSubstr("interrupted"));
  const auto rows = expectClosedCsv(path);
  EXPECT_GE(rows.size(), 5u);
}

TEST_F(CliStream, NoProgressLineOnATerminalThatShowsTheData) {
  Terminal toTerminal({kRunner, "--", kCli, "stream", "ka", "--channels", "AI-0", "--rate", "1000",
                       "--frames", "300"});
  EXPECT_EQ(toTerminal.finish(), 0) << toTerminal.screen();
  EXPECT_THAT(toTerminal.screen(), HasSubstr("time_s,AI-0"));
  EXPECT_THAT(toTerminal.screen(), Not(HasSubstr("/300 frames")));
  const std::string path = kTempDir + "/progress.csv";
  std::remove(path.c_str());
  Terminal toFile({kRunner, "--", kCli, "stream", "ka", "--channels", "AI-0", "--rate", "1000",
                   "--frames", "300", "--out", path});
  EXPECT_EQ(toFile.finish(), 0) << toFile.screen();
  EXPECT_THAT(toFile.screen(), HasSubstr("300/300 frames"));
}

// ---- the counter and the Rix's trigger ------------------------------------------

TEST_F(CliStream, TheRixCountsOrTriggersAndSaysWhichCommandFreesTheOther) {
  const auto both = onBus({"stream", "rix", "--channels", "AI-0,CNT", "--rate", "100", "--frames",
                           "5", "--trigger", "start", "--out", "-"});
  EXPECT_EQ(both.exitCode, 2) << describe(both);
  EXPECT_THAT(both.err, HasSubstr("the Rix counts or takes a trigger, not both"));
  EXPECT_THAT(both.out, Not(HasSubstr("time_s")));

  const std::string script = kTempDir + "/rix_trigger.txt";
  writeFile(script,
            "counter CNT --enable\n"
            "stream --channels AI-0 --rate 100 --frames 5 --trigger start --out -\n");
  const auto counting = onBus({"session", "rix", script});
  EXPECT_EQ(counting.exitCode, 1) << describe(counting);
  EXPECT_THAT(counting.err, HasSubstr("session line 2"));
  EXPECT_THAT(counting.err,
              HasSubstr("the Rix's counter is enabled: 'counter CNT --disable' frees the trigger"));
  EXPECT_THAT(counting.err,
              HasSubstr("Either trigger or counter can be enabled. (class 3, not possible)"));
  EXPECT_THAT(counting.out, Not(HasSubstr("time_s")));  // refused before anything was written

  // A triggered stream gives the trigger back: the counter can count after
  // it in the same session (rix_pulsing.json: the trigger input pulses at
  // 100 Hz by itself).
  writeFile(script,
            "stream --channels AI-0 --rate 100 --frames 5 --trigger start --out -\n"
            "stream --channels CNT --rate 100 --frames 5 --out -\n");
  const auto after = onBus({"session", "rix", script}, "rix_pulsing.json");
  EXPECT_EQ(after.exitCode, 0) << describe(after);
  EXPECT_EQ(countLines(after.out, "time_s,"), 2u) << after.out;
}

}  // namespace
