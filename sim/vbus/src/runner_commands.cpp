#include "runner_commands.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "qsim/model.h"

namespace qsim {

namespace {

const char* stateName(AcquisitionState s) {
  switch (s) {
    case AcquisitionState::Idle:
      return "idle";
    case AcquisitionState::WaitingForTrigger:
      return "waiting";
    case AcquisitionState::Running:
      return "running";
    case AcquisitionState::Finished:
      return "finished";
  }
  return "unknown";
}

std::string line(const char* name, const std::string& value) {
  return std::string(name) + " " + value + "\n";
}

std::string line(const char* name, uint64_t value) { return line(name, std::to_string(value)); }

}  // namespace

std::string describeDeviceState(const DeviceModel& model, const VbusStats& stats, bool present) {
  std::string out;
  out += line("present", present ? 1 : 0);
  out += line("acquisition", stateName(model.acquisitionState()));
  out += line("framePeriodNs", std::to_string(model.framePeriodNs()));
  out += line("framesProduced", model.framesProduced());
  out += line("framesDropped", model.framesDropped());
  out += line("inputBufferedBytes", model.inputBufferedBytes());
  out += line("outputBufferedBytes", model.outputBufferedBytes());
  out += line("outputFramesApplied", model.outputFramesApplied());
  out += line("triggerLevel", model.triggerLevel() ? 1 : 0);
  const TriggerState trigger = model.triggerState();
  out += line("triggerOutput", trigger.output ? 1 : 0);
  out += line("triggerWired", trigger.wired ? 1 : 0);
  out += line("clockPpm", exactNumber(model.config().clockPpm));
  // What the device's outputs hold: DAC codes with the voltage they produce
  // through the device's own output record, and port enables, latches, pins.
  for (int i = 0;; ++i) {
    uint16_t code = 0;
    try {
      code = model.dacCode(i);
    } catch (const std::out_of_range&) {
      break;
    }
    char volts[32];
    std::snprintf(volts, sizeof volts, "%.6f", model.dacVoltage(i));
    out += "dac" + std::to_string(i) + "Code " + std::to_string(code) + "\n";
    out += "dac" + std::to_string(i) + "Volts " + volts + "\n";
  }
  for (int p = 0;; ++p) {
    uint8_t enable = 0;
    try {
      enable = model.portOutputEnable(p);
    } catch (const std::out_of_range&) {
      break;
    }
    const std::string port = "port" + std::to_string(p);
    out += port + "Enable " + std::to_string(enable) + "\n";
    out += port + "Latch " + std::to_string(model.portLatch(p)) + "\n";
    out += port + "Pins " + std::to_string(model.portPins(p)) + "\n";
  }
  out += line("led", model.led() ? 1 : 0);
  out += line("counter", model.counterValue());
  out += line("counterRunning", model.counterRunning() ? 1 : 0);
  out += line("nowNs", std::to_string(model.nowNs()));
  out += line("bulkOut", stats.bulkOut);
  out += line("bulkIn", stats.bulkIn);
  out += line("pendingIn", stats.pendingIn);
  out += line("discarded", stats.discarded);
  return out;
}

void addClockCommand(VbusControl& control, VirtualBus& bus,
                     std::shared_ptr<SwitchableClock> clock) {
  control.addCommand("clock", [&bus, clock](const std::vector<std::string>& args) {
    const std::string what = args.empty() ? "now" : args[0];
    const size_t expected = what == "advance" ? 2 : 1;
    if (args.size() > expected || (what == "advance" && args.size() < 2)) {
      throw std::invalid_argument("usage: clock [now|manual|steady|advance DURATION]");
    }
    if (what == "manual" || what == "steady") {
      clock->setManual(what == "manual");
      return std::string();
    }
    if (what == "advance") {
      clock->advanceNs(parseDurationNs(args[1]));
      bus.kickAll();  // the time that passed may give waiting transfers an answer
    } else if (what != "now") {
      throw std::invalid_argument("usage: clock [now|manual|steady|advance DURATION]");
    }
    return line("now", std::to_string(clock->nowNs())) +
           line("mode", clock->manual() ? "manual" : "steady");
  });
}

void addStateCommand(VbusControl& control, VirtualBus& bus) {
  control.addCommand("state", [&bus](const std::vector<std::string>& args) {
    if (args.size() != 1) throw std::invalid_argument("usage: state PORT");
    const std::string& port = args[0];
    auto model = std::dynamic_pointer_cast<DeviceModel>(bus.function(port));
    if (!model) throw std::invalid_argument("no device model at " + port);
    bool present = false;
    const std::string canonical = VirtualBus::uniqueIdOf(port);
    for (const VbusEntry& e : bus.list()) {
      if (e.uniqueId == canonical) present = e.present;
    }
    return describeDeviceState(*model, bus.stats(port), present);
  });
}

}  // namespace qsim
