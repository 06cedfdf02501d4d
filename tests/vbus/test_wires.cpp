// Trigger wires and signals of the devices on the bus, changed at run time
// through the control channel's device commands, on the manual clock: what
// the devices sample, when the change takes effect, what a source that is
// unplugged leaves on its wires, and what `wires` and `state` report.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "qsim/config.h"
#include "qsim/model.h"
#include "qsim/timeline.h"
#include "qsim/vbus_commands.h"
#include "qsim/vbus_control.h"
#include "qsim/vbus_gtest.h"
#include "runner_commands.h"
#include "tests/sim/wire.h"

namespace {

using namespace qsim::vbustest;
using simtest::kMs;

constexpr uint32_t kInB = 4, kInC = 6, kOutA = 9, kOutB = 1;  // Ka/Vel codes of 0x4C

class WiresOnTheBus : public VbusFixture {
 protected:
  // Starts an acquisition of AI-0 alone through the device's registers.
  static void start(const std::string& port, uint32_t triggerCode, int32_t periodNs) {
    simtest::Wire w{modelAt(port)};
    w.writeRegister(0x4C, triggerCode);
    w.writeBlock(0x18, {0x00});
    w.writeRegister(0x50, static_cast<uint32_t>(periodNs));
    w.writeRegister(0x54, 0);
    w.writeRegister(0x58, 1);
  }
  // The AI-0 words buffered now.
  static std::vector<uint16_t> frames(const std::string& port) {
    simtest::Wire w{modelAt(port)};
    const uint32_t bytes = w.readRegister(0x08) & 0x3FFFFFFF;
    const auto r = w.readBlock(0x00, bytes);
    std::vector<uint16_t> out;
    for (uint32_t i = 0; i + 1 < bytes; i += 2) out.push_back(simtest::le16(&r[i]));
    return out;
  }
  std::string state(const std::string& port) {
    return qsim::describeDeviceState(model(port), bus().stats(port), true);
  }
  void unplugTheSource(const std::string& driver);
};

TEST_F(WiresOnTheBus, WireSignalAndUnwireTakeEffectAtTheNextInstant) {
  manualClock();
  const int64_t t0 = ka().nowNs();
  start(kVelPort, kInC, -1);              // every edge of its line samples a frame
  start(kKaPort, kOutB, 1 * kMs);         // toggles its line at every frame: t0 + k ms
  advance(std::chrono::milliseconds(4));  // frames 1..4 of the Ka; no wire yet
  std::vector<uint16_t> before;
  for (int k = 1; k <= 4; ++k) before.push_back(ka().rawCode(0, t0 + k * kMs));

  // At the instant of the Ka's frame 4, which is taken already (its line is
  // low again, so that the new wire makes no edge).
  EXPECT_EQ(command("wire 1-3 1-2.1"), "1-3 1-2.1 drives=every-frame carries=low\n");
  EXPECT_EQ(command("signal 1-3 AI-0 dc 1.25"), "AI-0 dc 1.25\n");
  advance(std::chrono::milliseconds(6));

  std::vector<uint16_t> source = before;
  for (int k = 5; k <= 10; ++k) source.push_back(ka().rawCodeForVoltage(0, 0, 1.25));
  EXPECT_EQ(frames(kKaPort), source);
  std::vector<uint16_t> receiver;  // the Vel's own AI-0 at the Ka's frames 5..10
  for (int k = 5; k <= 10; ++k) receiver.push_back(vel().rawCode(0, t0 + k * kMs));
  EXPECT_EQ(frames(kVelPort), receiver);

  EXPECT_EQ(command("unwire 1-2.1"), "");
  EXPECT_EQ(command("wires"), "");
  advance(std::chrono::milliseconds(5));
  EXPECT_EQ(ka().framesProduced(), 15u);
  EXPECT_EQ(vel().framesProduced(), 6u);
}

// The Ka drives the Vel's and the Rix's lines high while it runs; then it is
// unplugged, and plugged in again.
void WiresOnTheBus::unplugTheSource(const std::string& driver) {
  manualClock();
  trigger(kVelPort, driver);
  simtest::Wire{modelAt(kKaPort)}.writeRegister(0x4C, kOutA);
  command("wire 1-3 1-2.1,1-2.4");
  start(kVelPort, kInB, -1);  // a falling edge samples a frame
  start(kKaPort, kOutA, 1 * kMs);
  EXPECT_EQ(command("wires"), "1-3 1-2.1,1-2.4 drives=while-running carries=high\n");
  EXPECT_NE(state(kVelPort).find("\ntriggerWired 1\n"), std::string::npos);
  EXPECT_EQ(trigger(kVelPort, "state"), "input high code=0x4 events=falling driver=" + driver +
                                            " pending=0 source=off wired=1-3\n");

  unplug(kKaPort);
  EXPECT_EQ(command("wires"), "1-3 1-2.1,1-2.4 drives=while-running carries=none\n");
  const qsim::TriggerState s = vel().triggerState();
  EXPECT_FALSE(s.wired);
  EXPECT_EQ(s.level, driver == "high");
  EXPECT_EQ(vel().framesProduced(), driver == "high" ? 0u : 1u);
  EXPECT_NE(state(kVelPort).find("\ntriggerWired 0\n"), std::string::npos);

  replug(kKaPort);  // still running: it drives the lines high again
  EXPECT_EQ(command("wires"), "1-3 1-2.1,1-2.4 drives=while-running carries=high\n");
  EXPECT_TRUE(vel().triggerState().wired);
}

TEST_F(WiresOnTheBus, AnUnpluggedSourceLeavesItsWiresToTheReceiversDriverLow) {
  unplugTheSource("low");
}

TEST_F(WiresOnTheBus, AnUnpluggedSourceLeavesItsWiresToTheReceiversDriverHigh) {
  unplugTheSource("high");
}

TEST_F(WiresOnTheBus, StateReportsEachDevicesClock) {
  qsim::DeviceConfig cfg = qsim::defaultConfig(qsim::Family::Rix);
  cfg.clockPpm = -12.5;
  add("1-4", cfg);
  EXPECT_NE(state("1-4").find("\nclockPpm -12.5\n"), std::string::npos);
  EXPECT_NE(state(kKaPort).find("\nclockPpm 0\n"), std::string::npos);
}

TEST_F(WiresOnTheBus, ListedSignalsSetTheSameSignalsAgain) {
  for (const char* port : {kKaPort, kVelPort, kRixPort}) {
    const nlohmann::json before = qsim::configToJson(model(port).config())["signals"];
    std::istringstream listed(command(std::string("signal ") + port + " list"));
    int lines = 0;
    for (std::string line; std::getline(listed, line); ++lines) {
      EXPECT_EQ(command(std::string("signal ") + port + " " + line), line + "\n");
    }
    EXPECT_EQ(lines, static_cast<int>(model(port).config().signals.size()));
    EXPECT_EQ(qsim::configToJson(model(port).config())["signals"], before) << port;
  }
}

TEST_F(WiresOnTheBus, ASignalSetAtRunTimeIsTheVoltageOnTheTimeline) {
  manualClock();
  EXPECT_EQ(command("signal 1-3 AI-5 sine amplitude=1.5 frequency=10 offset=0.25 phase=0.5"),
            "AI-5 sine amplitude=1.5 frequency=10 offset=0.25 phase=0.5\n");
  EXPECT_EQ(command("signal 1-2.4 VBUSREF dc 4.5"), "VBUSREF dc 4.5\n");
  EXPECT_EQ(command("signal 1-2.1 AI-1 noise amplitude=0.5 seed=7"),
            "AI-1 noise amplitude=0.5 offset=0 seed=7\n");
  const int64_t t = ka().nowNs() + 1234567;
  const double s = static_cast<double>(t - modelTimeline().originNs()) * 1e-9;
  EXPECT_DOUBLE_EQ(ka().inputVoltage(5, t), 0.25 + 1.5 * std::sin(2 * M_PI * 10 * s + 0.5));
  EXPECT_EQ(rix().inputVoltage(4, t), 4.5);
  // The same noise on another device is the same voltage at the same instant.
  command("signal 1-3 AI-0 noise amplitude=0.5 seed=7");
  EXPECT_EQ(ka().inputVoltage(0, t), vel().inputVoltage(1, t));
}

TEST_F(WiresOnTheBus, BadDeviceCommandsAreAnsweredWithErrorsAndChangeNothing) {
  const std::string path = bus().rootDir() + "/wires.sock";
  qsim::VbusControl control(bus(), path, nullptr);
  qsim::addDeviceCommands(control, bus(), ka().timeline());
  command("wire 1-3 1-2.1");
  const nlohmann::json signals = qsim::configToJson(ka().config())["signals"];
  for (const char* bad : {"signal",
                          "signal 1-3",
                          "signal 1-3 list x",
                          "signal 1-9 list",
                          "signal 1-2 list",
                          "signal 1-3 AI-14 dc 1",
                          "signal 1-2.4 AI-4 dc 1",
                          "signal 1-3 AI-0 square",
                          "signal 1-3 AI-0 dc x",
                          "signal 1-3 AI-0 dc nan",
                          "signal 1-3 AI-0 dc 1 2",
                          "signal 1-3 AI-0 sine freq=10",
                          "signal 1-3 AI-0 sine amplitude",
                          "signal 1-3 AI-0 sine amplitude=1 amplitude=2",
                          "signal 1-3 AI-0 sine amplitude=inf",
                          "signal 1-3 AI-0 noise seed=-1",
                          "wire",
                          "wire 1-3",
                          "wire 1-3 1-3",
                          "wire 1-3 1-9",
                          "wire 1-3 1-2",
                          "wire 1-3 1-2.4,",
                          "wire 1-3 ,1-2.4",
                          "wire 1-2.4 1-3",
                          "wire 1-2.4 1-2.1",
                          "wire 1-2.1 1-2.4",
                          "wire x 1-2.4",
                          "unwire",
                          "unwire 1-2.4",
                          "unwire 1-3 1-2.1",
                          "wires now"}) {
    const std::string reply = qsim::vbusControlRequest(path, bad);
    EXPECT_EQ(reply.compare(0, 6, "error "), 0) << bad << " -> " << reply;
    EXPECT_EQ(reply.find('\n'), reply.size() - 1) << bad << " -> " << reply;
  }
  EXPECT_EQ(qsim::configToJson(ka().config())["signals"], signals);
  EXPECT_EQ(qsim::vbusControlRequest(path, "wires"), "1-3 1-2.1 drives=none carries=none\nok\n");
}

}  // namespace
