// The info subcommand: identity, parameters and every peripheral of a device
// with its settings, in the units docs/usage.md lists.
#include <cstdio>

#include "cli_commands.h"
#include "cli_process.h"

namespace qcli {

namespace {

const char* triggerConfigName(int config) {
  switch (config) {
    case QELOMSR_TRIGGER_CONFIG_OUT_A:
      return "output A";
    case QELOMSR_TRIGGER_CONFIG_OUT_B:
      return "output B";
    case QELOMSR_TRIGGER_CONFIG_IN_A:
      return "input A";
    case QELOMSR_TRIGGER_CONFIG_IN_B:
      return "input B";
    case QELOMSR_TRIGGER_CONFIG_IN_C:
      return "input C";
    default:
      return "unknown";
  }
}

// Runs one query of the listing; a failure is shown in place of the value.
template <typename F>
std::string attempt(F&& query) {
  try {
    return query();
  } catch (const ApiError& e) {
    return std::string("(") + e.what() + ")";
  }
}

std::string format(const char* fmt, double value) {
  char text[64];
  std::snprintf(text, sizeof text, fmt, value);
  return text;
}

// "ranges: 10V [-10 .. 10 V], 1V [-1 .. 1 V], ..." of an analog input or output.
std::string rangeList(const Device& device, int id) {
  std::string text = "ranges:";
  for (int r : device.ranges(id))
    text +=
        " " + rangeName(device.limits(id, r).maxVolts) + " [" + device.describeRange(id, r) + "]";
  return text;
}

// Calibration memory that was never written reads as all ones; the library
// then reports (2^32 - 1) / 1000 for a reference current.
bool isErased(float referenceCurrent) {
  return referenceCurrent == static_cast<float>(4294967295.0 / 1000.0);
}

std::string peripheralDetail(const Device& device, const Peripheral& p) {
  const int h = device.handle();
  switch (kindOf(p.id)) {
    case kKindAnalogInput:
    case kKindDiffInput:
      return attempt([&] {
        int range = 0, delay = 0;
        check(QeloMsrGetAnalogInputParameters(h, p.id, &range, &delay));
        return "range " + device.describeRange(p.id, range) + ", delay " + std::to_string(delay) +
               "; " + rangeList(device, p.id);
      });
    case kKindAnalogOutput:
      return attempt([&] { return rangeList(device, p.id); });
    case kKindDigitalPort:
      return attempt([&] {
        int count = 0;
        char first[32] = {0}, last[32] = {0};
        check(QeloMsrGetDigitalPortIoCount(h, p.id, &count));
        check(QeloMsrGetDigitalPortIoName(h, p.id, 0, first, sizeof first));
        check(QeloMsrGetDigitalPortIoName(h, p.id, count - 1, last, sizeof last));
        return std::to_string(count) + " lines " + first + " .. " + last;
      });
    case kKindCounter:
      return attempt([&] {
        int enabled = 0;
        check(QeloMsrGetCounterEnable(h, p.id, &enabled));
        return std::string(enabled ? "enabled" : "disabled");
      });
    case kKindTrigger:
      return attempt([&] {
        int config = 0;
        check(QeloMsrGetTriggerConfig(h, p.id, &config));
        char text[64];
        std::snprintf(text, sizeof text, "config %s (0x%08X)", triggerConfigName(config),
                      static_cast<unsigned>(config));
        return std::string(text);
      });
    case kKindCurrentSource:
      return attempt([&] {
        float current = 0;
        check(QeloMsrGetReferenceCurrent(h, p.id, &current));
        if (isErased(current)) return std::string("reference current uncalibrated (erased)");
        return format("reference current %.3f uA (calibrated)", current);
      });
    default:
      return "";
  }
}

}  // namespace

int runInfo(const Device& device) {
  std::FILE* o = out();
  const DeviceEntry& e = device.entry();
  const int h = device.handle();
  std::fprintf(o, "identifier    %s\n", e.identifier.c_str());
  std::fprintf(o, "family        %s (type 0x%08X)\n", device.family().name,
               static_cast<unsigned>(e.type));
  std::fprintf(o, "firmware      %s\n", e.firmware.c_str());
  std::fprintf(o, "serial        %s\n", device.serialNumber().c_str());
  if (device.family().temperatureSensor) {
    std::fprintf(o, "temperature   %s\n", attempt([&] {
                                            float t = 0;
                                            check(QeloMsrGetTemperature(h, &t));
                                            return format("%.2f degC", t);
                                          }).c_str());
  }
  static const char* const kParameterNames[] = {"single-ended inputs",
                                                "differential inputs",
                                                "analog outputs",
                                                "digital ports",
                                                "counters",
                                                "triggers",
                                                "half transfer bytes",
                                                "current sources",
                                                "watchdog"};
  std::fprintf(o, "parameters\n");
  for (int i = 0; i < 9; ++i)
    std::fprintf(o, "  %-20s %d\n", kParameterNames[i], device.parameter(i));
  if (device.parameter(QELOMSR_PARAM_WATCHDOG) == 1) {
    std::fprintf(o, "watchdog      %s\n", attempt([&] {
                                            unsigned timeout = 0;
                                            check(QeloMsrGetWatchdogTimeout(h, &timeout));
                                            return std::to_string(timeout) + " x 250 ms";
                                          }).c_str());
  }
  std::fprintf(o, "peripherals\n");
  for (const auto& p : device.peripherals())
    std::fprintf(o, "  %-11s 0x%08X  %s\n", p.name.c_str(), static_cast<unsigned>(p.id),
                 peripheralDetail(device, p).c_str());
  return kExitSuccess;
}

}  // namespace qcli
