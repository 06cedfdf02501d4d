// stream --sync against the emulator's one timeline: three devices, the
// same sine on an input of each, the Ka's trigger line wired to the Vel's and
// the Rix's (sync_three.json: crystals +50, -50 and +30 ppm). The test runs
// the clock by hand, so every sample's instant is known exactly: frame k of a
// device timed by its own crystal at ppm is taken at ceil((k+1) period /
// (1 + ppm 1e-6)) ns of the timeline.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "driven_run.h"

using ::testing::HasSubstr;
using ::testing::Not;
using namespace qtest;

namespace {

constexpr double kPeriodNs = 1e6;  // 1 kHz
constexpr double kSineHz = 50.0;   // one frame period moves the sine by up to 0.31 V
constexpr double kOffsetVolts = 1.65;
// Converter steps and calibration leave a few mV; a shift of one frame
// period would be 100 times this.
constexpr double kToleranceVolts = 0.004;
const char* const kPorts[] = {"1-3", "1-2.1", "1-2.4"};

class CliSync : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kRunner.empty()) GTEST_SKIP() << "no virtual USB bus runner in this build";
  }
};

// The timeline instant in seconds of frame k of a device timed by a crystal
// at ppm.
double frameInstant(long long k, double ppm) {
  return std::ceil(static_cast<double>(k + 1) * kPeriodNs / (1.0 + ppm * 1e-6)) / 1e9;
}

double sineAt(double seconds) { return kOffsetVolts + std::sin(2.0 * M_PI * kSineHz * seconds); }

std::vector<std::string> syncArgs(const std::string& path, long long frames,
                                  const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args{
      "stream", "--sync", "ka,vel,rix", "--channels",           "ka:AI-0,vel:AI-0,rix:AI-0",
      "--rate", "1000",   "--frames",   std::to_string(frames), "--out",
      path,     "-q"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// The stream has started for real: the master drives its line and has
// produced nothing yet. The tool tries the rate on every device (a start and
// a stop) before it configures the lines, so a fresh start of a master whose
// line is still an input is that try.
bool syncStarted(std::map<std::string, std::string>& s) {
  return s["triggerOutput"] == "1" && freshlyStarted(s);
}

// The tool holds every frame the devices took: each device's buffer is empty
// and the tool has come back to it since (so the reply that emptied it has
// arrived, not merely left the device).
bool allDrained(DrivenRun& run) {
  for (const char* port : kPorts) {
    long long requests = 0;
    if (!run.waitFor(port, [&](std::map<std::string, std::string>& s) {
          requests = asNumber(s["bulkOut"]);
          return empty(s);
        }))
      return false;
    if (!run.waitFor(port, [&](std::map<std::string, std::string>& s) {
          return asNumber(s["bulkOut"]) > requests;
        }))
      return false;
  }
  return true;
}

// Advances the clock in steps the smallest buffer (the Rix's 8192 frames)
// takes whole, waiting for the tool to read each, then by one more step (in
// which the tool has its last frames and stops).
void advance(DrivenRun& run, int seconds, int step) {
  for (int done = 0; done < seconds; done += step) {
    run.ctl("clock advance " + std::to_string(step) + "s");
    ASSERT_TRUE(allDrained(run)) << run.process().err();
  }
  run.ctl("clock advance " + std::to_string(step) + "s");
}

std::vector<std::vector<double>> rowsOf(const std::string& path) {
  std::vector<std::vector<double>> rows;
  for (const auto& row : dataRows(readFile(path))) rows.push_back(numbers(row));
  return rows;
}

TEST(CliSyncArguments, AreRefusedBeforeAnyDeviceIsOpened) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{"--sync", "ka", "--channels", "ka:AI-0"}, "the master and at least one other"},
      {{"--sync", "ka,KA", "--channels", "ka:AI-0"}, "names KA twice"},
      {{"--sync", "ka,rix", "--channels", "ka:AI-0,vel:AI-0"}, "'vel:AI-0' names no device"},
      {{"--sync", "ka,rix", "--channels", "ka:AI-0"}, "no channel of rix"},
      {{"--sync", "ka,rix", "--channels", "ka:AI-0,rix:AI-0", "--trigger", "start"},
       "sets the trigger lines itself"},
      {{"--sync", "ka,rix", "--channels", "ka:AI-0,rix:AI-0", "--sync-mode", "gate"},
       "--sync-mode is frame"},
      {{"ka", "--channels", "AI-0", "--sync-mode", "start"}, "--sync-mode needs --sync"},
      {{"ka", "--sync", "ka,rix", "--channels", "ka:AI-0,rix:AI-0"}, "give no DEVICE"},
      {{"--channels", "AI-0"}, "DEVICE is required"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"stream"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (std::find(args.begin(), args.end(), "--rate") == args.end())
      args.insert(args.end(), {"--rate", "100", "--frames", "5"});
    const auto r = cli(args);  // no devices at all: only the arguments can fail
    EXPECT_EQ(r.exitCode, 2) << c.says << "\n" << describe(r);
    EXPECT_THAT(r.err, HasSubstr(c.says));
  }
}

TEST_F(CliSync, ARateTheSlowestDeviceRefusesIsRefusedBeforeAnyFrame) {
  // 150 kHz is above the Rix's and every emulated device's 100 kHz.
  const auto r = onBus({"stream", "--sync", "ka,rix", "--channels", "ka:AI-0,rix:AI-0", "--rate",
                        "150000", "--frames", "5"},
                       "sync_three.json");
  EXPECT_EQ(r.exitCode, 2) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("takes no frame rate of 150000 Hz"));
  EXPECT_THAT(r.out, Not(HasSubstr("time_s")));
}

TEST_F(CliSync, FrameSyncTakesEveryRowsSamplesAtTheMastersInstant) {
  // 60 s of emulated time at 1 kHz on three crystals 100 ppm apart: left to
  // their own timers the devices would be 6 frames apart at the end.
  const std::string path = kTempDir + "/sync_frames.csv";
  std::remove(path.c_str());
  DrivenRun run("sync_three.json", syncArgs(path, 60000));
  ASSERT_TRUE(run.waitFor("1-3", syncStarted)) << run.process().err();
  advance(run, 55, 5);
  const auto r = run.process().finish(std::chrono::seconds(120));
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto rows = rowsOf(path);
  ASSERT_EQ(rows.size(), 60000u);
  const std::string text = readFile(path);
  EXPECT_EQ(columnLine(text), "time_s,USB:1-0-3:AI-0,USB:1-0-2-1:AI-0,USB:1-0-2-4:AI-0");
  double worst = 0.0;
  for (size_t k = 0; k < rows.size(); ++k) {
    ASSERT_EQ(rows[k].size(), 4u);
    EXPECT_DOUBLE_EQ(rows[k][0], static_cast<double>(k) * kPeriodNs / 1e9);
    const double truth = sineAt(frameInstant(static_cast<long long>(k), 50.0));  // the master's
    for (size_t d = 1; d < 4; ++d) worst = std::max(worst, std::fabs(rows[k][d] - truth));
  }
  EXPECT_LT(worst, kToleranceVolts);
}

TEST_F(CliSync, StartSyncRunsEachDeviceOnItsOwnCrystal) {
  // A common start, then each device's timer: frame k of each device is at
  // its own crystal's instant; after 8 s the Ka (+50 ppm) and the Vel (-50
  // ppm) are 800 us apart, most of a frame period.
  const std::string path = kTempDir + "/sync_start.csv";
  std::remove(path.c_str());
  DrivenRun run("sync_three.json", syncArgs(path, 8000, {"--sync-mode", "start"}));
  ASSERT_TRUE(run.waitFor("1-3", syncStarted)) << run.process().err();
  advance(run, 6, 3);
  const auto r = run.process().finish(std::chrono::seconds(120));
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto rows = rowsOf(path);
  ASSERT_EQ(rows.size(), 8000u);
  const double ppm[] = {50.0, -50.0, 30.0};
  double worst = 0.0;
  for (size_t k = 0; k < rows.size(); ++k)
    for (size_t d = 0; d < 3; ++d)
      worst = std::max(worst, std::fabs(rows[k][d + 1] -
                                        sineAt(frameInstant(static_cast<long long>(k), ppm[d]))));
  EXPECT_LT(worst, kToleranceVolts);
  // The drift is real: at the end the Vel's sample is far from the Ka's.
  const auto& last = rows.back();
  const double drift = frameInstant(7999, -50.0) - frameInstant(7999, 50.0);
  EXPECT_NEAR(drift, 8.0 * 100e-6, 1e-6);
  EXPECT_GT(std::fabs(last[1] - last[2]), 0.05);
}

TEST_F(CliSync, AnOverrunOfOneDeviceIsOneGapForAllAtItsFrame) {
  // The Rix holds 100 frames: 50 read, then 501 ms unread overflow it after
  // frame 150 while the Ka and the Vel keep all 551. Rows 150..550 of those
  // two have no Rix partner: the gap lies at row 150 for every column, and
  // the restarted acquisition starts them all again together. The master
  // stopped after an odd number of frames, its line high: the restart must
  // not hand the others an edge before the master's first frame.
  const std::string path = kTempDir + "/sync_overrun.csv";
  std::remove(path.c_str());
  DrivenRun run("sync_small_rix.json", syncArgs(path, 200, {"--restart-on-overrun"}));
  ASSERT_TRUE(run.waitFor("1-3", syncStarted)) << run.process().err();
  run.ctl("clock advance 50ms");
  ASSERT_TRUE(allDrained(run)) << run.process().err();
  run.ctl("clock advance 501ms");
  ASSERT_TRUE(run.waitFor("1-3", syncStarted)) << run.process().err();
  run.ctl("clock advance 100ms");
  const auto r = run.process().finish(std::chrono::seconds(120));
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const std::string text = readFile(path);
  EXPECT_EQ(countLines(text, "# overrun"), 1u) << text;
  const auto all = lines(text);
  const auto gap = std::find(all.begin(), all.end(),
                             "# overrun after 150 frames: frames lost; acquisition restarted");
  ASSERT_NE(gap, all.end()) << text;
  const auto rows = rowsOf(path);
  ASSERT_EQ(rows.size(), 200u);
  EXPECT_EQ(numbers(gap[1]), rows[150]);
  double worst = 0.0;
  for (size_t k = 0; k < rows.size(); ++k) {
    // After the gap the frames count from the restart, where the clock stood.
    const double instant = k < 150 ? frameInstant(static_cast<long long>(k), 50.0)
                                   : 0.551 + frameInstant(static_cast<long long>(k - 150), 50.0);
    for (size_t d = 1; d < 4; ++d) worst = std::max(worst, std::fabs(rows[k][d] - sineAt(instant)));
  }
  EXPECT_LT(worst, kToleranceVolts);
  EXPECT_GT(rows[150][0], rows[149][0]);
}

TEST_F(CliSync, AMissingWireIsReportedWithinTheTimeout) {
  const std::string path = kTempDir + "/sync_unwired.csv";
  std::remove(path.c_str());
  DrivenRun run("sync_three.json", syncArgs(path, 5000, {"--trigger-timeout", "2"}));
  ASSERT_TRUE(run.waitFor("1-3", syncStarted)) << run.process().err();
  run.ctl("unwire 1-2.4");
  run.ctl("clock advance 1s");
  const auto r = run.process().finish(std::chrono::seconds(120));
  EXPECT_EQ(r.exitCode, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("no trigger edges from the master: USB:1-0-2-4 took no frame"));
  EXPECT_TRUE(rowsOf(path).empty());  // no row without the Rix's frame
  EXPECT_EQ(lines(readFile(path)).back(), "# end: 0 frames");
}

TEST_F(CliSync, AMasterUnpluggedMidRunEndsTheStreamWithEveryCompleteRow) {
  const std::string path = kTempDir + "/sync_unplugged.h5";
  std::remove(path.c_str());
  DrivenRun run("sync_three.json", syncArgs(path, 50000));
  ASSERT_TRUE(run.waitFor("1-3", syncStarted)) << run.process().err();
  for (int second = 0; second < 2; ++second) {
    run.ctl("clock advance 1s");
    ASSERT_TRUE(allDrained(run)) << run.process().err();
  }
  run.ctl("unplug 1-3");
  const auto r = run.process().finish(std::chrono::seconds(120));
  EXPECT_EQ(r.exitCode, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("USB:1-0-3 was unplugged"));
  const auto dump = runProcess({"/usr/bin/python3", kSourceDir + "/h5_summary.py", path});
  ASSERT_EQ(dump.exitCode, 0) << dump.err;
  const auto summary = nlohmann::json::parse(dump.out);
  EXPECT_EQ(summary["data"]["shape"], nlohmann::json::array({2000, 3}));
  EXPECT_EQ(summary["attrs"]["devices"],
            nlohmann::json::array({"USB:1-0-3", "USB:1-0-2-1", "USB:1-0-2-4"}));
  EXPECT_EQ(summary["attrs"]["serials"],
            nlohmann::json::array(
                {"QeloKa@KA1X-004711", "QeloVel@VEL1X-004712", "QeloPilex@RIX1X-004713"}));
}

}  // namespace
