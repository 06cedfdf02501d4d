// The trigger commands of the control channel, over its socket, against the
// device models on the bus: what they change on the trigger input, what
// `state` reports, and the errors for bad commands.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "qsim/config.h"
#include "qsim/model.h"
#include "qsim/vbus_commands.h"
#include "qsim/vbus_control.h"
#include "qsim/vbus_gtest.h"

namespace {

using namespace qsim::vbustest;

class TriggerControl : public VbusFixture {
 protected:
  void SetUp() override {
    VbusFixture::SetUp();
    path_ = bus().rootDir() + "/trigger-control.sock";
    control_ = std::make_unique<qsim::VbusControl>(bus(), path_, nullptr);
    qsim::addTriggerCommand(*control_, bus());
  }
  void TearDown() override {
    control_.reset();
    VbusFixture::TearDown();
  }
  std::string ctl(const std::string& line) { return qsim::vbusControlRequest(path_, line); }
  // Writes the trigger configuration register as a host would.
  static void writeTriggerCode(qsim::DeviceModel& m, uint32_t code) {
    uint8_t msg[128] = {};
    const uint32_t control = 4u | 0x40000000u | 0x80000000u;
    const uint32_t address = 0x4C;
    std::memcpy(msg, &control, 4);
    std::memcpy(msg + 4, &address, 4);
    std::memcpy(msg + 64, &code, 4);
    m.bulkOut(msg, sizeof msg);
  }

  std::string path_;
  std::unique_ptr<qsim::VbusControl> control_;
};

TEST_F(TriggerControl, CommandsDriveTheTriggerInputOfTheModel) {
  EXPECT_EQ(ctl("trigger 1-3 state"),
            "input low code=0x2 events=rising driver=low pending=0 source=off\nok\n");
  EXPECT_EQ(ctl("trigger USB:1-0-3 high"), "ok\n");
  EXPECT_TRUE(ka().triggerLevel());
  EXPECT_EQ(ctl("trigger 1-3 low"), "ok\n");
  EXPECT_FALSE(ka().triggerLevel());
  // A train an hour long: the first pulse is up, the rest waits in order.
  EXPECT_EQ(ctl("trigger 1-3 pulse 3 3600s"), "ok\n");
  qsim::TriggerState s = ka().triggerState();
  EXPECT_TRUE(s.level);
  EXPECT_EQ(s.pendingChanges, 5u);
  // The Rix's trigger is disabled until the host enables it.
  EXPECT_EQ(ctl("trigger 1-2.4 state"),
            "input low code=0x0 events=none driver=low pending=0 source=off\nok\n");
  EXPECT_EQ(ctl("trigger 1-2.1 periodic 250 7"), "ok\n");
  ASSERT_TRUE(vel().triggerState().source.has_value());
  EXPECT_EQ(vel().triggerState().source->frequencyHz, 250.0);
  EXPECT_EQ(vel().triggerState().source->count, 7u);
  EXPECT_NE(ctl("trigger 1-2.1 state").find(" source=250Hzx7\n"), std::string::npos);
  EXPECT_EQ(ctl("trigger 1-2.1 periodic off"), "ok\n");
  EXPECT_FALSE(vel().triggerState().source.has_value());
}

TEST_F(TriggerControl, AnOutputLineReportsWhatTheDeviceDrives) {
  writeTriggerCode(ka(), 9);
  EXPECT_EQ(ctl("trigger 1-3 state"),
            "output low code=0x9 drives=while-running driver=low pending=0 source=off\nok\n");
  EXPECT_EQ(ctl("trigger 1-3 pulse"),
            "note: the trigger line is an output (code 0x9); the device ignores its input\nok\n");
  writeTriggerCode(rix(), 0x09);
  EXPECT_EQ(trigger(kRixPort, "state"),
            "output low code=0x9 drives=every-frame driver=low pending=0 source=off\n");
}

TEST_F(TriggerControl, BadCommandsAreAnsweredWithErrors) {
  for (const char* bad :
       {"trigger", "trigger 1-3", "trigger 1-3 frob", "trigger 1-9 pulse", "trigger 1-2 pulse",
        "trigger 1-3 state now", "trigger 1-3 low 5", "trigger 1-3 pulse 0",
        "trigger 1-3 pulse 100001", "trigger 1-3 pulse x", "trigger 1-3 pulse 2 5parsecs",
        "trigger 1-3 pulse 2 -5us", "trigger 1-3 pulse 2 1ns", "trigger 1-3 pulse 2 5us x",
        "trigger 1-3 periodic", "trigger 1-3 periodic 0", "trigger 1-3 periodic 2e6",
        "trigger 1-3 periodic fast", "trigger 1-3 periodic 10 0"}) {
    const std::string reply = ctl(bad);
    EXPECT_EQ(reply.compare(0, 6, "error "), 0) << bad << " -> " << reply;
    EXPECT_EQ(reply.find('\n'), reply.size() - 1) << bad << " -> " << reply;
  }
  EXPECT_EQ(ka().triggerState().pendingChanges, 0u);
  EXPECT_FALSE(ka().triggerState().source.has_value());
  // A pulse needs the line low.
  EXPECT_EQ(ctl("trigger 1-3 high"), "ok\n");
  EXPECT_EQ(ctl("trigger 1-3 pulse"),
            "error the trigger input of 1-3 is held high: pulses need it low\n");
}

}  // namespace
