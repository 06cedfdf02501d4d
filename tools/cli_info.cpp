// The info subcommand: identity, parameters and every peripheral of a device
// with its settings, in the units docs/usage.md lists, as text or as one
// JSON document (--json).
#include <cstdio>
#include <memory>

#include "calibration_view.h"
#include "cli_commands.h"
#include "cli_json.h"
#include "cli_process.h"

namespace qcli {

namespace {

struct TriggerConfigName {
  int id;
  const char* text;  // in the text listing
  const char* key;   // in JSON, as --trigger-config spells it
};
constexpr TriggerConfigName kTriggerConfigs[] = {
    {QELOMSR_TRIGGER_CONFIG_OUT_A, "output A", "out-a"},
    {QELOMSR_TRIGGER_CONFIG_OUT_B, "output B", "out-b"},
    {QELOMSR_TRIGGER_CONFIG_IN_A, "input A", "in-a"},
    {QELOMSR_TRIGGER_CONFIG_IN_B, "input B", "in-b"},
    {QELOMSR_TRIGGER_CONFIG_IN_C, "input C", "in-c"}};

const TriggerConfigName* triggerConfig(int id) {
  for (const auto& c : kTriggerConfigs)
    if (c.id == id) return &c;
  return nullptr;
}

// The nine device parameters in the order of their index.
struct ParameterName {
  const char* text;
  const char* key;
};
constexpr ParameterName kParameters[] = {{"single-ended inputs", "single_ended_inputs"},
                                         {"differential inputs", "differential_inputs"},
                                         {"analog outputs", "analog_outputs"},
                                         {"digital ports", "digital_ports"},
                                         {"counters", "counters"},
                                         {"triggers", "triggers"},
                                         {"half transfer bytes", "half_transfer_bytes"},
                                         {"current sources", "current_sources"},
                                         {"watchdog", "watchdog"}};

// What the listing says of one item: a line of text and the JSON fields.
struct Detail {
  std::string text;
  Json json = Json::object();
};

// Runs one query of the listing; a failure is shown in place of the value
// (text "(message)", JSON "error").
template <typename F>
Detail attempt(F&& query) {
  try {
    return query();
  } catch (const ApiError& e) {
    Detail d;
    d.text = std::string("(") + e.what() + ")";
    d.json["error"] = e.what();
    return d;
  }
}

std::string format(const char* fmt, double value) {
  char text[64];
  std::snprintf(text, sizeof text, fmt, value);
  return text;
}

// "ranges: 10V [-10 .. 10 V], 1V [-1 .. 1 V], ..." of an analog input or
// output, with the uncalibrated ones marked.
Detail rangeList(const Device& device, const CalibrationView* calibration, int id) {
  Detail d;
  d.text = "ranges:";
  d.json["ranges"] = Json::array();
  for (int r : device.ranges(id)) {
    Json range = jsonRange(device, id, r);
    bool calibrated = true;
    if (calibration != nullptr && isAnalogInput(id))
      calibrated = calibration->input(id, r).calibrated;
    range["calibrated"] = calibrated;
    d.json["ranges"].push_back(range);
    d.text += " " + rangeName(device.limits(id, r).maxVolts) + " [" + device.describeRange(id, r) +
              (calibrated ? "]" : ", uncalibrated]");
  }
  return d;
}

// Calibration memory that was never written reads as all ones; the library
// then reports (2^32 - 1) / 1000 for a reference current.
bool isErased(float referenceCurrent) {
  return referenceCurrent == static_cast<float>(4294967295.0 / 1000.0);
}

Detail inputDetail(const Device& device, const CalibrationView* calibration, const Peripheral& p) {
  int range = 0, delay = 0;
  check(QeloMsrGetAnalogInputParameters(device.handle(), p.id, &range, &delay));
  Detail d = rangeList(device, calibration, p.id);
  d.text = "range " + device.describeRange(p.id, range) + ", delay " + std::to_string(delay) +
           "; " + d.text;
  d.json["range"] = jsonRange(device, p.id, range);
  d.json["delay"] = delay;
  return d;
}

Detail outputDetail(const Device& device, const CalibrationView* calibration, const Peripheral& p) {
  Detail d = rangeList(device, nullptr, p.id);
  const bool calibrated = calibration == nullptr || calibration->output(p.id).calibrated();
  d.json["calibrated"] = calibrated;
  if (!calibrated) d.text += "; uncalibrated (nominal conversion)";
  return d;
}

Detail portDetail(const Device& device, const Peripheral& p) {
  int count = 0;
  check(QeloMsrGetDigitalPortIoCount(device.handle(), p.id, &count));
  Detail d;
  d.json["lines"] = Json::array();
  char name[32] = {0};
  for (int io = 0; io < count; ++io) {
    check(QeloMsrGetDigitalPortIoName(device.handle(), p.id, io, name, sizeof name));
    d.json["lines"].push_back(name);
  }
  if (count > 0)
    d.text = std::to_string(count) + " lines " + d.json["lines"].front().get<std::string>() +
             " .. " + d.json["lines"].back().get<std::string>();
  return d;
}

Detail triggerDetail(const Device& device, const Peripheral& p) {
  int config = 0, enabled = 0;
  check(QeloMsrGetTriggerConfig(device.handle(), p.id, &config));
  check(QeloMsrGetTriggerEnable(device.handle(), p.id, &enabled));
  const TriggerConfigName* name = triggerConfig(config);
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(config));
  Detail d;
  d.json["enabled"] = enabled != 0;
  d.json["config"] = name != nullptr ? name->key : code;
  const std::string what =
      std::string("config ") + (name != nullptr ? name->text : "unknown") + " (" + code + ")";
  // The Rix shares the line with its counter and keeps the trigger off until
  // it is enabled ('stream --trigger' does).
  d.text = enabled ? what : "disabled (" + what + " once enabled; 'stream --trigger' enables it)";
  return d;
}

Detail currentDetail(const Device& device, const Peripheral& p) {
  float current = 0;
  check(QeloMsrGetReferenceCurrent(device.handle(), p.id, &current));
  Detail d;
  d.json["calibrated"] = !isErased(current);
  d.json["reference_current_microamps"] = isErased(current) ? Json() : jsonFloat(current);
  d.text = isErased(current) ? "reference current uncalibrated (erased)"
                             : format("reference current %.3f uA (calibrated)", current);
  return d;
}

Detail peripheralDetail(const Device& device, const CalibrationView* calibration,
                        const Peripheral& p) {
  switch (kindOf(p.id)) {
    case kKindAnalogInput:
    case kKindDiffInput:
      return attempt([&] { return inputDetail(device, calibration, p); });
    case kKindAnalogOutput:
      return attempt([&] { return outputDetail(device, calibration, p); });
    case kKindDigitalPort:
      return attempt([&] { return portDetail(device, p); });
    case kKindCounter:
      return attempt([&] {
        int enabled = 0;
        check(QeloMsrGetCounterEnable(device.handle(), p.id, &enabled));
        Detail d;
        d.text = enabled ? "enabled" : "disabled";
        d.json["enabled"] = enabled != 0;
        return d;
      });
    case kKindTrigger:
      return attempt([&] { return triggerDetail(device, p); });
    case kKindCurrentSource:
      return attempt([&] { return currentDetail(device, p); });
    case kKindLed: {
      // The device cannot report the LED: only opening is known to switch it off.
      Detail d;
      d.text = "off after opening (the device does not report its state)";
      d.json["state"] = nullptr;
      return d;
    }
    default:
      return {};
  }
}

const char* kindKey(int kind) {
  switch (kind) {
    case kKindAnalogInput:
      return "analog-input";
    case kKindDiffInput:
      return "differential-input";
    case kKindAnalogOutput:
      return "analog-output";
    case kKindDigitalPort:
      return "digital-port";
    case kKindCounter:
      return "counter";
    case kKindTrigger:
      return "trigger";
    case kKindCurrentSource:
      return "current-source";
    case kKindLed:
      return "led";
    default:
      return "other";
  }
}

}  // namespace

int runInfo(const Device& device, const OutputOptions& output) {
  const DeviceEntry& e = device.entry();
  const int h = device.handle();
  Json doc;
  doc["identifier"] = e.identifier;
  doc["family"] = device.family().name;
  doc["type"] = e.type;
  doc["firmware"] = e.firmware;
  doc["serial"] = device.serialNumber();
  doc["usb_serial"] = e.usbSerial.empty() ? Json() : Json(e.usbSerial);
  Detail temperature;
  if (device.family().temperatureSensor) {
    temperature = attempt([&] {
      float t = 0;
      check(QeloMsrGetTemperature(h, &t));
      Detail d;
      d.text = format("%.2f degC", t);
      d.json["temperature_celsius"] = jsonFloat(t);
      return d;
    });
    doc["temperature_celsius"] = temperature.json.value("temperature_celsius", Json());
  }
  Json parameters = Json::object();
  for (int i = 0; i < 9; ++i) parameters[kParameters[i].key] = device.parameter(i);
  doc["parameters"] = parameters;
  Detail watchdog;
  if (device.parameter(QELOMSR_PARAM_WATCHDOG) == 1) {
    watchdog = attempt([&] {
      unsigned timeout = 0;
      check(QeloMsrGetWatchdogTimeout(h, &timeout));
      Detail d;
      d.text = std::to_string(timeout) + " x 250 ms";
      d.json["watchdog_timeout_250ms"] = timeout;
      return d;
    });
    doc["watchdog_timeout_250ms"] = watchdog.json.value("watchdog_timeout_250ms", Json());
  }
  // Without the calibration records nothing can be said about them, but
  // everything else still can.
  std::unique_ptr<CalibrationView> calibration;
  std::string calibrationError;
  try {
    calibration = std::make_unique<CalibrationView>(CalibrationView::read(device));
  } catch (const ApiError& error) {
    calibrationError = error.what();
  }
  Json uncalibrated = Json::array();
  std::string uncalibratedText;
  if (calibration) {
    for (const Uncalibrated& u : calibration->uncalibrated()) {
      uncalibrated.push_back({{"name", u.name}, {"ranges", u.ranges}, {"all_ranges", u.allRanges}});
      uncalibratedText +=
          (uncalibratedText.empty() ? "" : ", ") + calibration->describeUncalibrated(u.id);
    }
  }
  doc["uncalibrated"] = calibration ? uncalibrated : Json();
  std::vector<std::pair<const Peripheral*, Detail>> details;
  Json peripherals = Json::array();
  for (const auto& p : device.peripherals()) {
    details.emplace_back(&p, peripheralDetail(device, calibration.get(), p));
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(p.id));
    Json item{{"name", p.name}, {"id", id}, {"kind", kindKey(kindOf(p.id))}};
    item.update(details.back().second.json);
    peripherals.push_back(item);
  }
  doc["peripherals"] = peripherals;
  if (output.json) {
    printJson(doc);
    return kExitSuccess;
  }

  std::FILE* o = out();
  std::fprintf(o, "identifier    %s\n", e.identifier.c_str());
  std::fprintf(o, "family        %s (type 0x%08X)\n", device.family().name,
               static_cast<unsigned>(e.type));
  std::fprintf(o, "firmware      %s\n", e.firmware.c_str());
  std::fprintf(o, "serial        %s\n", doc["serial"].get<std::string>().c_str());
  if (device.family().temperatureSensor)
    std::fprintf(o, "temperature   %s\n", temperature.text.c_str());
  std::fprintf(o, "parameters\n");
  for (int i = 0; i < 9; ++i)
    std::fprintf(o, "  %-20s %d\n", kParameters[i].text, device.parameter(i));
  if (device.parameter(QELOMSR_PARAM_WATCHDOG) == 1)
    std::fprintf(o, "watchdog      %s\n", watchdog.text.c_str());
  std::fprintf(
      o, "calibration   %s\n",
      !calibration ? ("(" + calibrationError + ")").c_str()
      : uncalibratedText.empty()
          ? "every input and output calibrated"
          : ("uncalibrated (erased records, nominal conversion): " + uncalibratedText).c_str());
  std::fprintf(o, "peripherals\n");
  for (const auto& [p, detail] : details)
    std::fprintf(o, "  %-11s 0x%08X  %s\n", p->name.c_str(), static_cast<unsigned>(p->id),
                 detail.text.c_str());
  return kExitSuccess;
}

}  // namespace qcli
