// Commands for the trigger lines of device models: the external driver of a
// line (trigger), and the wires between lines (wire, unwire, wires).
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "command_words.h"
#include "port_path.h"
#include "qsim/config.h"
#include "qsim/device_commands.h"
#include "qsim/model.h"

namespace qsim {

namespace {

const char* const kTriggerUsage =
    "trigger PORT pulse [N [PERIOD]] | high | low | state | periodic HZ [N] | periodic off";

std::shared_ptr<DeviceModel> modelAt(const ModelLookup& lookup, const std::string& port) {
  auto model = lookup(port);
  if (!model) throw std::invalid_argument("no device model at " + port);
  return model;
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

std::string stateLine(const DeviceModel& model) {
  const TriggerState s = model.triggerState();
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
  if (s.wired) line += " wired=" + model.timeline()->sourceOf(model);
  return line + "\n";
}

// A note for the reply when the device ignores its input, or a wire
// overrides it.
std::string noteFor(const DeviceModel& model) {
  const TriggerState s = model.triggerState();
  if (!s.output && s.wired) {
    const std::string from = model.timeline()->sourceOf(model);
    return "note: the wire from " + from + " drives the trigger input; this level applies when " +
           from + " stops driving it\n";
  }
  if (!s.output) return {};
  char code[16];
  std::snprintf(code, sizeof code, "0x%" PRIx32, s.code);
  return std::string("note: the trigger line is an output (code ") + code +
         "); the device ignores its input\n";
}

[[noreturn]] void usage() { throw std::invalid_argument(std::string("usage: ") + kTriggerUsage); }

std::string wireLine(const WireState& w) {
  std::string line = w.from + " ";
  for (size_t i = 0; i < w.to.size(); ++i) line += (i > 0 ? "," : "") + w.to[i];
  line += std::string(" drives=") + driveName(w.drive) + " carries=";
  line += !w.driven ? "none" : w.level ? "high" : "low";
  return line + "\n";
}

}  // namespace

std::string triggerCommand(const ModelLookup& lookup, const std::vector<std::string>& args) {
  if (args.size() < 2) usage();
  const std::string& port = args[0];
  const std::string& action = args[1];
  const size_t extra = args.size() - 2;
  std::shared_ptr<DeviceModel> model = modelAt(lookup, port);
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
  if (action == "state" && extra == 0) return stateLine(*model);
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

std::string wireCommand(const ModelLookup& lookup, const std::vector<std::string>& args) {
  if (args.size() < 2) throw std::invalid_argument("usage: wire FROM TO[,TO...]");
  const std::string from = PortPath::parse(args[0]).text;
  const std::shared_ptr<DeviceModel> source = modelAt(lookup, from);
  std::vector<std::shared_ptr<DeviceModel>> models;
  std::vector<WireEnd> to;
  for (const std::string& port : portList({args.begin() + 1, args.end()})) {
    const std::string name = PortPath::parse(port).text;
    models.push_back(modelAt(lookup, name));
    to.push_back({name, models.back().get()});
  }
  Timeline& timeline = *source->timeline();
  timeline.wire({from, source.get()}, to);
  for (const WireState& w : timeline.wires()) {
    if (w.from == from) return wireLine(w);
  }
  return {};
}

std::string unwireCommand(const ModelLookup& lookup, const std::vector<std::string>& args) {
  if (args.size() != 1) throw std::invalid_argument("usage: unwire PORT");
  const std::shared_ptr<DeviceModel> model = modelAt(lookup, args[0]);
  if (!model->timeline()->unwire(*model)) {
    throw std::invalid_argument(args[0] + " is on no wire");
  }
  return {};
}

std::string wiresCommand(Timeline& timeline, const std::vector<std::string>& args) {
  if (!args.empty()) throw std::invalid_argument("usage: wires");
  std::string out;
  for (const WireState& w : timeline.wires()) out += wireLine(w);
  return out;
}

}  // namespace qsim
