#include "cli_commands.h"

#include <unistd.h>

#include <cstdio>
#include <memory>

#include "cli_acquisition.h"
#include "cli_device.h"

namespace qcli {

namespace {

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find(',', begin);
    if (end == std::string::npos) end = text.size();
    if (end > begin) items.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return items;
}

std::string bits(int value, int count) {
  std::string text;
  for (int i = count - 1; i >= 0; --i) text += (value >> i) & 1 ? '1' : '0';
  return text;
}

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

// Runs one query of the info listing; a failure is shown in place of the value.
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

// "ranges: [-10 .. 10 V] [-1 .. 1 V] ..." of an analog input or output.
std::string rangeList(const Device& device, int id) {
  std::string text = "ranges:";
  for (int r : device.ranges(id)) text += " [" + device.describeRange(id, r) + "]";
  return text;
}

std::vector<int> resolveInputs(const Device& device, const std::string& list) {
  std::vector<int> ids;
  for (const auto& name : splitList(list))
    ids.push_back(device.resolve(
        name, {kKindAnalogInput, kKindDiffInput, kKindDigitalPort, kKindCounter, kKindTrigger}));
  if (ids.empty()) throw UsageError("--channels names no input");
  return ids;
}

void applyRange(const Device& device, const std::vector<int>& inputs, const std::string& range) {
  if (range.empty()) return;
  for (int id : inputs) {
    if (kindOf(id) != kKindAnalogInput && kindOf(id) != kKindDiffInput) continue;
    int delay = 0;
    check(QeloMsrSetAnalogInputParameters(device.handle(), id, device.resolveRange(id, range), -1,
                                          &delay));
  }
}

// Writes frames as CSV rows: time, then one column per channel.
class CsvWriter : public FrameConsumer {
 public:
  CsvWriter(std::FILE* out, const FamilyInfo& family, std::vector<Channel> channels)
      : out_(out), family_(family), channels_(std::move(channels)) {
    std::fputs("time_s", out_);
    for (const auto& c : channels_) std::fprintf(out_, ",%s", c.name.c_str());
    std::fputc('\n', out_);
  }
  void frames(const float* values, const int* ports, int count, long long firstFrame,
              double seconds) override {
    (void)firstFrame;
    for (int f = 0; f < count; ++f) {
      const float* v = values + static_cast<size_t>(f) * family_.valueSlots;
      const int* p = ports + static_cast<size_t>(f) * family_.portSlots;
      std::fprintf(out_, "%.6f", seconds + f / rate_);
      for (const auto& c : channels_) {
        if (c.analog)
          std::fprintf(out_, ",%.6f", static_cast<double>(v[c.slot]));
        else
          std::fprintf(out_, ",%d", p[c.slot]);
      }
      std::fputc('\n', out_);
    }
  }
  void gap(long long framesBefore) override {
    std::fprintf(out_, "# overrun after %lld frames: frames lost, acquisition restarted\n",
                 framesBefore);
  }
  void started(double deviceRate) override { rate_ = deviceRate; }

 private:
  std::FILE* out_;
  const FamilyInfo& family_;
  std::vector<Channel> channels_;
  double rate_ = 1.0;
};

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};

}  // namespace

int runList() {
  const std::vector<DeviceEntry> entries = enumerateDevices();
  if (entries.empty()) {
    std::fprintf(stderr, "qelomsr: no devices found\n");
    return 0;
  }
  std::printf("%-5s  %-16s  %-6s  %-8s  %s\n", "INDEX", "IDENTIFIER", "FAMILY", "FIRMWARE",
              "SERIAL");
  for (const auto& e : entries) {
    const std::string serial = attempt([&] { return Device::open(e).serialNumber(); });
    std::printf("%-5d  %-16s  %-6s  %-8s  %s\n", e.index, e.identifier.c_str(),
                familyInfo(e.type).name, e.firmware.c_str(), serial.c_str());
  }
  return 0;
}

int runInfo(const std::string& id) {
  const Device device = Device::open(id);
  const DeviceEntry& e = device.entry();
  const int h = device.handle();
  std::printf("identifier    %s\n", e.identifier.c_str());
  std::printf("family        %s (type 0x%08X)\n", device.family().name,
              static_cast<unsigned>(e.type));
  std::printf("firmware      %s\n", e.firmware.c_str());
  std::printf("serial        %s\n", device.serialNumber().c_str());
  std::printf("temperature   %s\n", attempt([&] {
                                      float t = 0;
                                      check(QeloMsrGetTemperature(h, &t));
                                      return format("%.2f degC", t);
                                    }).c_str());
  static const char* const kParameterNames[] = {"single-ended inputs",
                                                "differential inputs",
                                                "analog outputs",
                                                "digital ports",
                                                "counters",
                                                "triggers",
                                                "half transfer bytes",
                                                "current sources",
                                                "watchdog"};
  std::printf("parameters\n");
  for (int i = 0; i < 9; ++i) std::printf("  %-20s %d\n", kParameterNames[i], device.parameter(i));
  if (device.parameter(QELOMSR_PARAM_WATCHDOG) == 1) {
    std::printf("watchdog      %s\n", attempt([&] {
                                        unsigned timeout = 0;
                                        check(QeloMsrGetWatchdogTimeout(h, &timeout));
                                        return std::to_string(timeout) + " x 250 ms";
                                      }).c_str());
  }
  std::printf("peripherals\n");
  for (const auto& p : device.peripherals()) {
    std::string detail;
    switch (kindOf(p.id)) {
      case kKindAnalogInput:
      case kKindDiffInput:
        detail = attempt([&] {
          int range = 0, delay = 0;
          check(QeloMsrGetAnalogInputParameters(h, p.id, &range, &delay));
          return "range " + device.describeRange(p.id, range) + ", delay " + std::to_string(delay) +
                 "; " + rangeList(device, p.id);
        });
        break;
      case kKindAnalogOutput:
        detail = attempt([&] { return rangeList(device, p.id); });
        break;
      case kKindDigitalPort:
        detail = attempt([&] {
          int count = 0;
          char first[32] = {0}, last[32] = {0};
          check(QeloMsrGetDigitalPortIoCount(h, p.id, &count));
          check(QeloMsrGetDigitalPortIoName(h, p.id, 0, first, sizeof first));
          check(QeloMsrGetDigitalPortIoName(h, p.id, count - 1, last, sizeof last));
          return std::to_string(count) + " lines " + first + " .. " + last;
        });
        break;
      case kKindCounter:
        detail = attempt([&] {
          int enabled = 0;
          check(QeloMsrGetCounterEnable(h, p.id, &enabled));
          return std::string(enabled ? "enabled" : "disabled");
        });
        break;
      case kKindTrigger:
        detail = attempt([&] {
          int config = 0;
          check(QeloMsrGetTriggerConfig(h, p.id, &config));
          char text[64];
          std::snprintf(text, sizeof text, "config %s (0x%08X)", triggerConfigName(config),
                        static_cast<unsigned>(config));
          return std::string(text);
        });
        break;
      case kKindCurrentSource:
        detail = attempt([&] {
          float current = 0;
          check(QeloMsrGetReferenceCurrent(h, p.id, &current));
          return format("reference current %.4f (calibrated)", current);
        });
        break;
      default:
        break;
    }
    std::printf("  %-11s 0x%08X  %s\n", p.name.c_str(), static_cast<unsigned>(p.id),
                detail.c_str());
  }
  return 0;
}

int runRead(const std::string& id, const std::vector<std::string>& inputs,
            const std::string& range) {
  const Device device = Device::open(id);
  std::vector<int> ids;
  for (const auto& name : inputs)
    ids.push_back(device.resolve(name, {kKindAnalogInput, kKindDiffInput}));
  applyRange(device, ids, range);
  for (int input : ids) {
    float value = 0;
    check(QeloMsrReadAnalogInput(device.handle(), input, &value));
    std::printf("%-10s %.6f V\n", device.nameOf(input).c_str(), static_cast<double>(value));
  }
  return 0;
}

int runWrite(const std::string& id, const std::string& output, const std::string& volts) {
  const double value = parseNumber(volts, "voltage");
  const Device device = Device::open(id);
  const int ao = device.resolve(output, {kKindAnalogOutput});
  check(QeloMsrWriteAnalogOutput(device.handle(), ao, static_cast<float>(value)));
  std::printf("%-10s %.6f V\n", device.nameOf(ao).c_str(), value);
  return 0;
}

int runDio(const DioArgs& args) {
  const long long oe = args.outputEnable.empty() ? -1 : parseInteger(args.outputEnable, "mask");
  const long long value = args.write.empty() ? -1 : parseInteger(args.write, "port value");
  if (oe > 0xFF || value > 0xFF) throw UsageError("port masks and values are 8 bits wide");
  const Device device = Device::open(args.device);
  std::vector<int> ports;
  if (args.port.empty()) {
    if (oe >= 0 || value >= 0) throw UsageError("--oe and --write need a port");
    for (const auto& p : device.peripherals())
      if (kindOf(p.id) == kKindDigitalPort) ports.push_back(p.id);
  } else {
    ports.push_back(device.resolve(args.port, {kKindDigitalPort}));
  }
  const int h = device.handle();
  for (int port : ports) {
    if (oe >= 0) check(QeloMsrSetDigitalPortOutputEnableMask(h, port, static_cast<int>(oe)));
    if (value >= 0) check(QeloMsrWriteDigitalPort(h, port, static_cast<int>(value)));
    int level = 0, lines = 0;
    check(QeloMsrReadDigitalPort(h, port, &level));
    check(QeloMsrGetDigitalPortIoCount(h, port, &lines));
    std::printf("%-6s 0x%02X %s\n", device.nameOf(port).c_str(), static_cast<unsigned>(level),
                bits(level, lines).c_str());
  }
  return 0;
}

int runCounter(const CounterArgs& args) {
  if (args.enable && args.disable) throw UsageError("--enable and --disable exclude each other");
  const Device device = Device::open(args.device);
  const int h = device.handle();
  const int counter = device.resolve(args.counter, {kKindCounter});
  if (args.enable || args.disable) check(QeloMsrSetCounterEnable(h, counter, args.enable ? 1 : 0));
  if (args.reset) check(QeloMsrResetCounter(h, counter));
  qelomsr_int64 count = 0;
  int enabled = 0;
  check(QeloMsrReadCounter(h, counter, &count));
  check(QeloMsrGetCounterEnable(h, counter, &enabled));
  std::printf("%-6s %lld %s\n", device.nameOf(counter).c_str(), static_cast<long long>(count),
              enabled ? "enabled" : "disabled");
  return 0;
}

int runStream(const StreamArgs& args) {
  if (args.rate < 1.0) throw UsageError("--rate must be at least 1 Hz");
  if ((args.frames > 0) == (args.seconds > 0.0))
    throw UsageError("give either --frames N or --seconds S (a positive number)");
  const Device device = Device::open(args.device);
  AcquisitionOptions options;
  options.inputs = resolveInputs(device, args.channels);
  applyRange(device, options.inputs, args.range);
  options.rate = args.rate;
  options.frames = args.frames;
  options.seconds = args.seconds;
  options.restartOnOverrun = args.restartOnOverrun;
  options.progress = !args.quiet && (args.progress || isatty(STDERR_FILENO));

  std::unique_ptr<std::FILE, FileCloser> file;
  std::FILE* out = stdout;
  if (!args.out.empty() && args.out != "-") {
    file.reset(std::fopen(args.out.c_str(), "w"));
    if (!file) throw std::runtime_error("Cannot open '" + args.out + "' for writing.");
    out = file.get();
  }
  CsvWriter csv(out, device.family(), describeChannels(device, options.inputs));
  const AcquisitionResult result = acquire(device, options, &csv);
  std::fflush(out);
  if (std::ferror(out)) throw std::runtime_error("Writing the CSV output failed.");
  if (!args.quiet) {
    std::fprintf(
        stderr, "qelomsr: %lld frames at %.6g Hz (device rate), %.1f Hz achieved, %d overrun%s%s\n",
        result.frames, result.deviceRate,
        result.elapsed > 0 ? static_cast<double>(result.frames) / result.elapsed : 0.0,
        result.overruns, result.overruns == 1 ? "" : "s",
        result.interrupted ? ", interrupted" : "");
  }
  return result.interrupted ? 130 : 0;
}

int runBench(const BenchArgs& args) {
  if (args.rate < 1.0 || args.seconds <= 0.0)
    throw UsageError("--rate must be at least 1 Hz and --seconds positive");
  const Device device = Device::open(args.device);
  AcquisitionOptions options;
  if (args.channels.empty()) {
    for (const auto& p : device.peripherals())
      if (kindOf(p.id) == kKindAnalogInput) {
        options.inputs.push_back(p.id);
        break;
      }
  } else {
    options.inputs = resolveInputs(device, args.channels);
  }
  options.seconds = args.seconds;
  options.restartOnOverrun = true;
  std::string names;
  for (int id : options.inputs) names += (names.empty() ? "" : ",") + device.nameOf(id);
  std::printf("device %s (%s), channels %s, %.3g s per rate\n", device.entry().identifier.c_str(),
              device.family().name, names.c_str(), args.seconds);
  std::printf("%12s %12s %12s %10s %12s %8s %9s\n", "requested", "device_hz", "achieved_hz",
              "frames", "frames/read", "cpu_%", "overruns");
  for (double rate = args.rate; rate <= std::max(args.rate, args.maxRate); rate *= 2) {
    options.rate = rate;
    AcquisitionResult r;
    try {
      r = acquire(device, options, nullptr);
    } catch (const ApiError& e) {
      // A sweep ends at the first rate the device refuses; a refused first
      // rate is an error like any other.
      if (rate == args.rate || e.errorClass() != QELOMSR_ERROR_CLASS_INVALID_ARGUMENT) throw;
      std::printf("%12.6g refused by the device: %s\n", rate, e.what());
      break;
    }
    const double achieved = r.elapsed > 0 ? static_cast<double>(r.frames) / r.elapsed : 0.0;
    std::printf("%12.6g %12.6g %12.1f %10lld %12.1f %8.1f %9d\n", rate, r.deviceRate, achieved,
                r.frames, r.reads > 0 ? static_cast<double>(r.frames) / r.reads : 0.0,
                r.elapsed > 0 ? 100.0 * r.cpuSeconds / r.elapsed : 0.0, r.overruns);
    std::fflush(stdout);
    if (r.interrupted) return 130;
  }
  return 0;
}

}  // namespace qcli
