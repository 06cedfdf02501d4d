// Device commands of the control channel: the trigger input of a model.
#include "qsim/vbus_commands.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "qsim/config.h"
#include "qsim/model.h"
#include "runner_commands.h"

namespace qsim {

namespace {

const char* const kTriggerUsage =
    "trigger PORT pulse [N [PERIOD]] | high | low | state | periodic HZ [N] | periodic off";

std::shared_ptr<DeviceModel> modelAtPort(VirtualBus& bus, const std::string& port) {
  auto model = std::dynamic_pointer_cast<DeviceModel>(bus.function(port));
  if (!model) throw std::invalid_argument("no device model at " + port);
  return model;
}

// A whole number in [lo, hi].
long long integerArg(const std::string& text, const char* what, long long lo, long long hi) {
  size_t used = 0;
  long long v = 0;
  try {
    v = std::stoll(text, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || v < lo || v > hi) {
    throw std::invalid_argument(std::string(what) + " must be a whole number from " +
                                std::to_string(lo) + " to " + std::to_string(hi) + ", not '" +
                                text + "'");
  }
  return v;
}

const char* eventsName(TriggerEvents e) {
  switch (e) {
    case TriggerEvents::Rising:
      return "rising";
    case TriggerEvents::Falling:
      return "falling";
    case TriggerEvents::Both:
      return "both";
    case TriggerEvents::None:
      break;
  }
  return "none";
}

const char* driveName(TriggerDrive d) {
  switch (d) {
    case TriggerDrive::WhileRunning:
      return "while-running";
    case TriggerDrive::EveryFrame:
      return "every-frame";
    case TriggerDrive::None:
      break;
  }
  return "none";
}

std::string stateLine(const TriggerState& s) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%" PRIx32, s.code);
  std::string line =
      std::string(s.output ? "output " : "input ") + (s.level ? "high" : "low") + " code=" + code;
  line += s.output ? std::string(" drives=") + driveName(s.drive)
                   : std::string(" events=") + eventsName(s.events);
  line += std::string(" driver=") + (s.heldHigh ? "high" : "low");
  line += " pending=" + std::to_string(s.pendingChanges);
  if (s.source) {
    char src[64];
    std::snprintf(src, sizeof src, " source=%gHz", s.source->frequencyHz);
    line += src;
    if (s.source->count != 0) line += "x" + std::to_string(s.source->count);
  } else {
    line += " source=off";
  }
  return line + "\n";
}

// A note for the reply when the device ignores its input.
std::string noteFor(const DeviceModel& model) {
  const TriggerState s = model.triggerState();
  if (!s.output) return {};
  char code[16];
  std::snprintf(code, sizeof code, "0x%" PRIx32, s.code);
  return std::string("note: the trigger line is an output (code ") + code +
         "); the device ignores its input\n";
}

[[noreturn]] void usage() { throw std::invalid_argument(std::string("usage: ") + kTriggerUsage); }

}  // namespace

std::string triggerCommand(VirtualBus& bus, const std::vector<std::string>& args) {
  if (args.size() < 2) usage();
  const std::string& port = args[0];
  const std::string& action = args[1];
  const size_t extra = args.size() - 2;
  std::shared_ptr<DeviceModel> model = modelAtPort(bus, port);
  if (action == "pulse" && extra <= 2) {
    const int n = extra >= 1 ? static_cast<int>(integerArg(args[2], "N", 1, 100000)) : 1;
    const int64_t period = extra == 2 ? parseDurationNs(args[3]) : 0;
    if (extra == 2 && period < 2) {
      throw std::invalid_argument("a pulse period is at least 2 ns, not '" + args[3] + "'");
    }
    if (model->triggerState().heldHigh) {
      throw std::invalid_argument("the trigger input of " + port +
                                  " is held high: pulses need it low");
    }
    model->pulseTriggers(n, period);
    return noteFor(*model);
  }
  if ((action == "high" || action == "low") && extra == 0) {
    model->setTriggerLevel(action == "high");
    return noteFor(*model);
  }
  if (action == "state" && extra == 0) return stateLine(model->triggerState());
  if (action == "periodic" && extra == 1 && args[2] == "off") {
    model->setTriggerSource(std::nullopt);
    return {};
  }
  if (action == "periodic" && (extra == 1 || extra == 2)) {
    TriggerSource s;
    size_t used = 0;
    try {
      s.frequencyHz = std::stod(args[2], &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != args[2].size()) {
      throw std::invalid_argument("a frequency in Hz or 'off', not '" + args[2] + "'");
    }
    if (extra == 2) s.count = static_cast<uint64_t>(integerArg(args[3], "N", 1, 1LL << 40));
    model->setTriggerSource(s);
    return noteFor(*model);
  }
  usage();
}

void addTriggerCommand(VbusControl& control, VirtualBus& bus) {
  control.addCommand("trigger", [&bus](const std::vector<std::string>& args) {
    return triggerCommand(bus, args);
  });
}

}  // namespace qsim
