// Device commands of the control channel: the trigger input of a model.
#include "qsim/vbus_commands.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "qsim/config.h"
#include "qsim/model.h"

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

// "20us", "1.5ms", "2s", "500ns" in nanoseconds.
int64_t durationArg(const std::string& text) {
  static const struct {
    const char* suffix;
    double ns;
  } kUnits[] = {{"ns", 1.0}, {"us", 1e3}, {"ms", 1e6}, {"s", 1e9}};
  for (const auto& u : kUnits) {
    const std::string suffix = u.suffix;
    if (text.size() <= suffix.size() ||
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    const std::string number = text.substr(0, text.size() - suffix.size());
    size_t used = 0;
    double v = -1;
    try {
      v = std::stod(number, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == number.size() && v > 0 && v * u.ns <= 3600e9) {
      return static_cast<int64_t>(v * u.ns + 0.5);
    }
    break;
  }
  throw std::invalid_argument("a period is a positive number with ns, us, ms or s, not '" + text +
                              "'");
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

// A note in front of "ok" when the device ignores its input.
std::string okFor(const DeviceModel& model) {
  const TriggerState s = model.triggerState();
  if (!s.output) return "ok\n";
  char code[16];
  std::snprintf(code, sizeof code, "0x%" PRIx32, s.code);
  return std::string("note: the trigger line is an output (code ") + code +
         "); the device ignores its input\nok\n";
}

}  // namespace

std::string triggerCommand(VirtualBus& bus, const std::vector<std::string>& args) {
  if (args.size() < 2) return std::string("error usage: ") + kTriggerUsage + "\n";
  const std::string& port = args[0];
  const std::string& action = args[1];
  const size_t extra = args.size() - 2;
  std::shared_ptr<DeviceModel> model = modelAtPort(bus, port);
  if (action == "pulse" && extra <= 2) {
    const int n = extra >= 1 ? static_cast<int>(integerArg(args[2], "N", 1, 100000)) : 1;
    const int64_t period = extra == 2 ? durationArg(args[3]) : 0;
    if (model->triggerState().heldHigh) {
      return "error the trigger input of " + port + " is held high: pulses need it low\n";
    }
    model->pulseTriggers(n, period);
    return okFor(*model);
  }
  if ((action == "high" || action == "low") && extra == 0) {
    model->setTriggerLevel(action == "high");
    return okFor(*model);
  }
  if (action == "state" && extra == 0) return stateLine(model->triggerState()) + "ok\n";
  if (action == "periodic" && extra == 1 && args[2] == "off") {
    model->setTriggerSource(std::nullopt);
    return "ok\n";
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
    return okFor(*model);
  }
  return std::string("error usage: ") + kTriggerUsage + "\n";
}

void addDeviceCommands(VbusControl& control, VirtualBus& bus) {
  control.addCommand("trigger", [&bus](const std::vector<std::string>& args) {
    return triggerCommand(bus, args);
  });
}

}  // namespace qsim
