// The signal command: the waveform on each single-ended input of a device
// model, listed and changed at run time in the words of the device JSON.
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "command_words.h"
#include "qsim/config.h"
#include "qsim/device_commands.h"
#include "qsim/model.h"

namespace qsim {

namespace {

const char* const kSignalUsage =
    "usage: signal PORT list | signal PORT INPUT [dc VOLTS | KIND [KEY=VALUE...]] "
    "(kinds dc, sine, ramp, noise; keys amplitude, frequency, offset, phase, seed)";

// The names of the single-ended inputs, as the library names them.
std::string inputName(Family family, size_t input) {
  if (family == Family::Rix && input == 4) return "VBUSREF";
  if (family == Family::Rix && input == 5) return "VREF";
  return "AI-" + std::to_string(input);
}

size_t inputIndex(const DeviceModel& model, size_t inputs, const std::string& name) {
  for (size_t i = 0; i < inputs; ++i) {
    if (inputName(model.family(), i) == name) return i;
  }
  throw std::invalid_argument("no input '" + name + "' on this " + familyName(model.family()) +
                              " (" + inputName(model.family(), 0) + ".." +
                              inputName(model.family(), inputs - 1) + ")");
}

// The words that set the signal again: "dc 1.25", "sine amplitude=0.6 ...".
std::string signalWords(const Signal& s) {
  const std::string kind = signalToJson(s)["kind"].get<std::string>();
  const auto key = [](const char* name, double v) {
    return std::string(" ") + name + "=" + exactNumber(v);
  };
  switch (s.kind) {
    case Signal::Kind::Dc:
      return "dc " + exactNumber(s.offset);
    case Signal::Kind::Noise:
      return kind + key("amplitude", s.amplitude) + key("offset", s.offset) +
             " seed=" + std::to_string(s.seed);
    case Signal::Kind::Sine:
    case Signal::Kind::Ramp:
      break;
  }
  return kind + key("amplitude", s.amplitude) + key("frequency", s.frequency) +
         key("offset", s.offset) + key("phase", s.phase);
}

std::string line(const DeviceModel& model, size_t input, const DeviceConfig& cfg) {
  std::string out = inputName(model.family(), input) + " " + signalWords(cfg.signals[input]) + "\n";
  for (const AnalogLoopback& l : cfg.analogLoopbacks) {
    if (static_cast<size_t>(l.to) == input) {
      out += "note: " + inputName(model.family(), input) + " reads analog output " +
             std::to_string(l.from) + " (an analog loopback), not its signal\n";
    }
  }
  return out;
}

// "dc 1.25" or "sine amplitude=1.5 frequency=10": read as the device JSON
// reads a signal.
Signal signalFrom(const std::vector<std::string>& words) {
  nlohmann::json j = {{"kind", words[0]}};
  if (words[0] == "dc" && words.size() == 2 && words[1].find('=') == std::string::npos) {
    j["offset"] = realArg(words[1], "a dc level in volts");
    return signalFromJson(j);
  }
  for (size_t i = 1; i < words.size(); ++i) {
    const size_t eq = words[i].find('=');
    if (eq == std::string::npos || eq == 0) throw std::invalid_argument(kSignalUsage);
    const std::string key = words[i].substr(0, eq);
    const std::string value = words[i].substr(eq + 1);
    if (j.contains(key)) throw std::invalid_argument("'" + key + "' given twice");
    if (key == "seed") {
      j[key] = static_cast<uint32_t>(integerArg(value, "seed", 0, 0xFFFFFFFFLL));
    } else {
      j[key] = realArg(value, key.c_str());
    }
  }
  return signalFromJson(j);
}

}  // namespace

std::string signalCommand(const ModelLookup& lookup, const std::vector<std::string>& args) {
  if (args.size() < 2) throw std::invalid_argument(kSignalUsage);
  const std::shared_ptr<DeviceModel> model = lookup(args[0]);
  if (!model) throw std::invalid_argument("no device model at " + args[0]);
  DeviceConfig cfg = model->config();
  if (args[1] == "list") {
    if (args.size() != 2) throw std::invalid_argument(kSignalUsage);
    std::string out;
    for (size_t i = 0; i < cfg.signals.size(); ++i) out += line(*model, i, cfg);
    return out;
  }
  const size_t input = inputIndex(*model, cfg.signals.size(), args[1]);
  if (args.size() > 2) {
    model->setSignal(static_cast<int>(input), signalFrom({args.begin() + 2, args.end()}));
    cfg = model->config();
  }
  return line(*model, input, cfg);
}

}  // namespace qsim
