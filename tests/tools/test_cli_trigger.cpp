// Triggered streams of the tool: what it asks of the device, how it waits for
// the trigger, and that a wait interrupted or timed out leaves a valid file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli_run.h"

using ::testing::HasSubstr;
using ::testing::Not;
using namespace qtest;

namespace {

class CliTrigger : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kRunner.empty()) GTEST_SKIP() << "no virtual USB bus runner in this build";
  }
};

TEST(CliTriggerArguments, AreCheckedBeforeAnyDeviceIsOpened) {
  const std::vector<std::vector<std::string>> cases = {
      {"--trigger", "sample", "--rate", "100", "--frames", "5"},
      {"--trigger", "sometimes", "--rate", "100", "--frames", "5"},
      {"--trigger", "start", "--trigger-config", "in-d", "--rate", "100", "--frames", "5"},
      {"--trigger", "start", "--trigger-config", "out-a", "--rate", "100", "--frames", "5"},
      {"--trigger-config", "in-b", "--rate", "100", "--frames", "5"},
      {"--trigger-timeout", "3", "--rate", "100", "--frames", "5"},
      {"--trigger", "start", "--trigger-timeout", "-1", "--rate", "100", "--frames", "5"},
      {"--trigger", "start", "--frames", "5"},
  };
  for (const auto& extra : cases) {
    std::vector<std::string> args{"stream", "0", "--channels", "AI-0"};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto r = cli(args);  // no devices at all: only the arguments can fail
    EXPECT_EQ(r.exitCode, 2) << extra[0] << " " << extra[1] << "\n" << describe(r);
    EXPECT_THAT(r.err, HasSubstr("Usage:"));
  }
}

// The device's state as the runner reports it ("name value" lines).
std::string stateValue(const std::string& state, const std::string& name) {
  for (const auto& line : lines(state))
    if (line.rfind(name + " ", 0) == 0) return line.substr(name.size() + 1);
  return "";
}

TEST_F(CliTrigger, AWaitingStreamTakesNoFrameAndStopsCleanlyOnCtrlC) {
  struct Case {
    std::string trigger, file, acquisition, period;
  };
  // Start on the trigger: the device waits for an edge (control value 2).
  // Frame sample trigger: the device runs with the period -1.
  const Case cases[] = {{"start", "waiting.csv", "waiting", "1000000"},
                        {"sample", "waiting.h5", "running", "-1"}};
  for (const Case& c : cases) {
    const std::string path = kTempDir + "/" + c.file;
    const std::string state = kTempDir + "/waiting_" + c.trigger + ".state";
    std::remove(path.c_str());
    std::vector<std::string> args{"stream",   "USB:1-0-3", "--channels", "AI-0,TRG",
                                  "--frames", "10",        "--trigger",  c.trigger,
                                  "--out",    path,        "--progress"};
    if (c.trigger == "start") args.insert(args.end(), {"--rate", "1000"});
    const auto r = whileRunning("waiting_" + c.trigger, "waiting for the trigger",
                                "$runner ctl state 1-3 > " + state + "; kill -INT $pid", args);
    EXPECT_EQ(r.exitCode, 130) << describe(r);
    EXPECT_THAT(r.err, HasSubstr("waiting for the trigger"));
    EXPECT_THAT(r.err, HasSubstr("0 frames"));
    const std::string device = readFile(state);
    EXPECT_EQ(stateValue(device, "acquisition"), c.acquisition) << device;
    EXPECT_EQ(stateValue(device, "framePeriodNs"), c.period) << device;
    EXPECT_EQ(stateValue(device, "framesProduced"), "0") << device;
    if (c.file.find(".h5") == std::string::npos) {
      const std::string text = readFile(path);
      EXPECT_EQ(columnLine(text), "time_s,AI-0,TRG");
      EXPECT_TRUE(dataRows(text).empty()) << text;
      EXPECT_EQ(lines(text).back(), "# end: 0 frames");
    } else {
      const auto dump = runProcess({"/usr/bin/python3", kSourceDir + "/h5_summary.py", path});
      ASSERT_EQ(dump.exitCode, 0) << describe(dump);
      const auto h5 = nlohmann::json::parse(dump.out);
      EXPECT_EQ(h5["data"]["shape"], nlohmann::json::array({0, 2}));
      EXPECT_EQ(h5["attrs"]["rate_hz"], -1.0);
    }
  }
}

// Pulses on the trigger input come from the runner's control channel
// (`qelomsr-vbus ctl trigger PORT pulse [N]`), never from the clock.
class CliTriggerPulses : public CliTrigger {
 protected:
  void SetUp() override {
    CliTrigger::SetUp();
    if (IsSkipped()) return;
    const auto probe = runProcess({kRunner, "--", kRunner, "ctl", "trigger", "1-3", "state"});
    if (probe.exitCode != 0) GTEST_SKIP() << "the emulator's trigger input cannot be driven here";
  }
};

TEST_F(CliTriggerPulses, AStartOnTheTriggerWritesNothingUntilThePulse) {
  const std::string path = kTempDir + "/start.csv";
  const std::string before = kTempDir + "/start_before.csv";
  const std::string state = kTempDir + "/start_before.state";
  std::remove(path.c_str());
  const auto r =
      whileRunning("start_pulse", "waiting for the trigger",
                   "$runner ctl state 1-3 > " + state + "; cp " + path + " " + before +
                       "; $runner ctl trigger 1-3 pulse >/dev/null",
                   {"stream", "ka", "--channels", "AI-0,TRG", "--rate", "1000", "--frames", "200",
                    "--trigger", "start", "--out", path, "--progress"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_EQ(stateValue(readFile(state), "framesProduced"), "0") << readFile(state);
  // No frame reached the file before the pulse (the header may have).
  EXPECT_TRUE(dataRows(readFile(before)).empty()) << readFile(before);
  const std::string text = readFile(path);
  const auto rows = dataRows(text);
  ASSERT_EQ(rows.size(), 200u);
  EXPECT_EQ(columnLine(text), "time_s,AI-0,TRG");
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto c = cells(rows[i]);
    ASSERT_EQ(c.size(), 3u) << rows[i];
    EXPECT_EQ(std::stod(c[0]), i / 1000.0) << rows[i];
  }
  EXPECT_THAT(r.err, HasSubstr("200/200 frames"));
}

TEST_F(CliTriggerPulses, EveryPulseTakesExactlyOneFrame) {
  struct Case {
    std::string device, port, config;
  };
  const Case cases[] = {{"ka", "1-3", "in-a"}, {"rix", "1-2.4", "in-a"}, {"vel", "1-2.1", "in-b"}};
  for (const Case& c : cases) {
    const std::string path = kTempDir + "/sample_" + c.device + ".csv";
    std::remove(path.c_str());
    // Five pulses for a stream that wants six: it takes five frames and waits.
    const auto r = whileRunning(
        "sample_" + c.device, "waiting for the trigger",
        "$runner ctl trigger " + c.port +
            " pulse 5 >/dev/null; "
            "for i in $(seq 1 600); do grep -q '5/6 frames' " +
            kTempDir + "/sample_" + c.device + ".err && break; sleep 0.05; done; kill -INT $pid",
        {"stream", c.device, "--channels", "AI-0,TRG", "--trigger", "sample", "--trigger-config",
         c.config, "--frames", "6", "--out", path, "--progress"});
    EXPECT_EQ(r.exitCode, 130) << c.device << "\n" << describe(r);
    const auto rows = dataRows(readFile(path));
    ASSERT_EQ(rows.size(), 5u) << c.device << "\n" << readFile(path);
    for (size_t i = 0; i < rows.size(); ++i) {
      const auto cell = cells(rows[i]);
      ASSERT_EQ(cell.size(), 3u) << rows[i];
      if (c.config == "in-a") {
        EXPECT_EQ(cell[2], "1") << c.device << ": taken on a rising edge";
      }
    }
  }
}

TEST_F(CliTrigger, ATimeoutEndsTheWaitWithAValidFile) {
  const std::string path = kTempDir + "/timeout.csv";
  std::remove(path.c_str());
  const auto r =
      onBus({"stream", "rix", "--channels", "AI-0", "--rate", "100", "--frames", "5", "--trigger",
             "start", "--trigger-config", "in-b", "--trigger-timeout", "0.3", "--out", path});
  EXPECT_EQ(r.exitCode, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("no trigger event on TRG (input B) within 0.3 s"));
  EXPECT_THAT(r.err, HasSubstr("0 frames written to " + path));
  const std::string text = readFile(path);
  EXPECT_EQ(columnLine(text), "time_s,AI-0");
  EXPECT_EQ(lines(text).back(), "# end: 0 frames");
}

}  // namespace
