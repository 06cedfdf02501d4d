// The runner's own control commands, clock and state, against the fixture's
// device models on the bus.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "qsim/clock.h"
#include "qsim/model.h"
#include "qsim/vbus_control.h"
#include "qsim/vbus_gtest.h"
#include "runner_commands.h"
#include "tests/sim/wire.h"

namespace {

using namespace qsim::vbustest;
using simtest::kMs;

class RunnerCommands : public VbusFixture {
 protected:
  void SetUp() override {
    VbusFixture::SetUp();
    control_ =
        std::make_unique<qsim::VbusControl>(bus(), bus().rootDir() + "/runner-test.sock", nullptr);
    clock_ = std::make_shared<qsim::SwitchableClock>(true);
    qsim::addClockCommand(*control_, bus(), clock_);
    qsim::addStateCommand(*control_, bus());
  }
  void TearDown() override {
    control_.reset();
    VbusFixture::TearDown();
  }

  std::string run(const std::string& line) { return control_->execute(line); }

  std::unique_ptr<qsim::VbusControl> control_;
  std::shared_ptr<qsim::SwitchableClock> clock_;
};

TEST_F(RunnerCommands, ClockReportsStopsAndAdvances) {
  EXPECT_EQ(run("clock"), "now 0\nmode manual\nok\n");
  EXPECT_EQ(run("clock advance 10ms"), "now 10000000\nmode manual\nok\n");
  const struct {
    const char* step;
    int64_t ns;
  } steps[] = {{"2.5s", 2500000000}, {"250us", 250000}, {"40ns", 40}, {"7", 7}, {"0s", 0}};
  for (const auto& s : steps) {
    const int64_t before = clock_->nowNs();
    EXPECT_EQ(run(std::string("clock advance ") + s.step).substr(0, 4), "now ") << s.step;
    EXPECT_EQ(clock_->nowNs() - before, s.ns) << s.step;
  }
  EXPECT_EQ(run("clock now"), "now " + std::to_string(clock_->nowNs()) + "\nmode manual\nok\n");
  EXPECT_EQ(run("clock steady"), "ok\n");
  EXPECT_FALSE(clock_->manual());
  EXPECT_EQ(run("clock advance 1ms").compare(0, 6, "error "), 0) << "real time cannot be moved";
  EXPECT_EQ(run("clock manual"), "ok\n");
  EXPECT_TRUE(clock_->manual());
}

TEST_F(RunnerCommands, BadClockAndStateCommandsAreErrors) {
  for (const char* bad :
       {"clock advance", "clock advance -1s", "clock advance 10m", "clock advance x",
        "clock advance 1e30s", "clock advance nan", "clock advance 5ms extra", "clock bogus",
        "clock now extra", "state", "state 1-3 1-2.1", "state 1-9", "state 1-2", "state x"}) {
    const std::string reply = run(bad);
    EXPECT_EQ(reply.compare(0, 6, "error "), 0) << bad << " -> " << reply;
    EXPECT_EQ(reply.find('\n'), reply.size() - 1) << bad << " -> " << reply;
  }
  EXPECT_EQ(clock_->nowNs(), 0) << "a refused step moves nothing";
}

TEST_F(RunnerCommands, StateFollowsTheAcquisitionOnTheStoppedClock) {
  manualClock();
  simtest::Wire wire{modelAt(kRixPort)};
  auto state = [&] { return run(std::string("state ") + kRixPort); };
  EXPECT_NE(state().find("acquisition idle\n"), std::string::npos) << state();
  wire.writeBlock(0x18, {0x00, 0x05});  // AI-0, VREF: 4-byte frames
  wire.writeRegister(0x50, 1000000);    // 1 kHz
  wire.writeRegister(0x54, 0);
  wire.writeRegister(0x58, 1);
  EXPECT_NE(state().find("acquisition running\nframePeriodNs 1000000\nframesProduced 0\n"),
            std::string::npos)
      << state();
  advance(std::chrono::milliseconds(10));
  const std::string s = state();
  EXPECT_NE(s.find("\nframesProduced 10\nframesDropped 0\ninputBufferedBytes 40\n"),
            std::string::npos)
      << s;
  EXPECT_EQ(s.compare(0, 10, "present 1\n"), 0) << s;
  EXPECT_NE(s.find("\nbulkOut 0\n"), std::string::npos) << "nothing went over the bus: " << s;
  EXPECT_EQ(s.substr(s.size() - 3), "ok\n");
  // Far beyond the buffer: the excess is dropped and counted.
  const int capacityFrames = static_cast<int>(rix().config().inputCapacity / 4);
  advance(std::chrono::seconds(10));
  EXPECT_NE(state().find("\nframesDropped " + std::to_string(10010 - capacityFrames) + "\n"),
            std::string::npos)
      << state();
  unplug(kRixPort);
  EXPECT_EQ(state().compare(0, 10, "present 0\n"), 0) << state();
  // The unique-id form names the same device.
  EXPECT_EQ(run("state USB:1-0-2-4"), state());
}

}  // namespace
