// The small subcommands: list, read, write, dio and counter.
#include "cli_commands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cli_process.h"
#include "recording.h"

namespace qcli {

namespace {

std::string bits(int value, int count) {
  std::string text;
  for (int i = count - 1; i >= 0; --i) text += (value >> i) & 1 ? '1' : '0';
  return text;
}

// Sets the range of an analog input; refuses a range for anything else.
void setRange(const Device& device, int id, const std::string& range) {
  if (range.empty()) return;
  if (!isAnalogInput(id)) throw UsageError(device.nameOf(id) + " has no ranges");
  int delay = 0;
  check(QeloMsrSetAnalogInputParameters(device.handle(), id, device.resolveRange(id, range), -1,
                                        &delay));
}

// A port mask or value given on the command line, -1 when left out.
int portByte(const std::string& text, const char* what) {
  if (text.empty()) return -1;
  const long long value = parseInteger(text, what);
  if (value < 0 || value > 0xFF)
    throw UsageError("port masks and values are 8 bits wide (0 .. 0xFF), not " + text);
  return static_cast<int>(value);
}

}  // namespace

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

std::vector<int> applyChannels(const Device& device, const std::vector<std::string>& specs,
                               const std::string& defaultRange, std::initializer_list<int> kinds) {
  std::vector<int> ids;
  std::vector<std::string> ranges;
  for (const auto& text : specs) {
    const ChannelSpec channel = parseChannelSpec(text);
    const int id = device.resolve(channel.name, kinds);
    for (int known : ids)
      if (known == id) throw UsageError(device.nameOf(id) + " is given twice");
    if (!channel.range.empty() && !isAnalogInput(id))
      throw UsageError(device.nameOf(id) + " has no ranges");
    ids.push_back(id);
    ranges.push_back(channel.range.empty() && isAnalogInput(id) ? defaultRange : channel.range);
  }
  if (ids.empty()) throw UsageError("no input given");
  // Every range is checked before the first is set.
  for (size_t i = 0; i < ids.size(); ++i)
    if (!ranges[i].empty()) device.resolveRange(ids[i], ranges[i]);
  for (size_t i = 0; i < ids.size(); ++i) setRange(device, ids[i], ranges[i]);
  return ids;
}

int runList() {
  const std::vector<DeviceEntry> entries = enumerateDevices();
  if (entries.empty()) {
    std::fprintf(stderr, "qelomsr: no devices found\n");
    return kExitSuccess;
  }
  std::FILE* o = out();
  std::fprintf(o, "%-5s  %-16s  %-6s  %s\n", "INDEX", "IDENTIFIER", "FAMILY", "FIRMWARE");
  for (const auto& e : entries)
    std::fprintf(o, "%-5d  %-16s  %-6s  %s\n", e.index, e.identifier.c_str(),
                 familyInfo(e.type).name, e.firmware.c_str());
  return kExitSuccess;
}

int runRead(const Device& device, const ReadArgs& args) {
  // Every name and range is checked before the device is touched.
  std::vector<int> ids;
  std::vector<std::string> ranges;
  for (const auto& text : args.inputs) {
    const ChannelSpec channel = parseChannelSpec(text);
    ids.push_back(device.resolve(channel.name, {kKindAnalogInput, kKindDiffInput}));
    ranges.push_back(channel.range.empty() ? args.range : channel.range);
    if (!ranges.back().empty()) device.resolveRange(ids.back(), ranges.back());
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    setRange(device, ids[i], ranges[i]);
    float value = 0;
    check(QeloMsrReadAnalogInput(device.handle(), ids[i], &value));
    std::fprintf(out(), "%-10s %s V\n", device.nameOf(ids[i]).c_str(),
                 qrec::numberText(value).c_str());
    // A converter at the end of its scale reads the limit whatever lies beyond.
    int range = 0, delay = 0;
    check(QeloMsrGetAnalogInputParameters(device.handle(), ids[i], &range, &delay));
    const RangeLimits limits = device.limits(ids[i], range);
    if (value >= limits.maxVolts || value <= limits.minVolts)
      std::fprintf(stderr,
                   "qelomsr: warning: %s reads at the limit of its range (%s): the input may "
                   "lie beyond it\n",
                   device.nameOf(ids[i]).c_str(), device.describeRange(ids[i], range).c_str());
  }
  return kExitSuccess;
}

void checkWrite(const WriteArgs& args) { parseNumber(args.volts, "voltage"); }

int runWrite(const Device& device, const WriteArgs& args) {
  const double requested = parseNumber(args.volts, "voltage");
  const int ao = device.resolve(args.output, {kKindAnalogOutput});
  // The output clamps at the limits of its range: report what it is set to.
  const std::vector<int> ranges = device.ranges(ao);
  if (ranges.empty()) throw std::runtime_error(device.nameOf(ao) + " reports no range");
  const RangeLimits range = device.limits(ao, ranges.front());
  const double set = std::clamp(requested, static_cast<double>(range.minVolts),
                                static_cast<double>(range.maxVolts));
  check(QeloMsrWriteAnalogOutput(device.handle(), ao, static_cast<float>(set)));
  if (set != requested)
    std::fprintf(stderr,
                 "qelomsr: warning: %s V is outside the range of %s (%s): the output is "
                 "clamped at %s V\n",
                 args.volts.c_str(), device.nameOf(ao).c_str(),
                 device.describeRange(ao, ranges.front()).c_str(), qrec::numberText(set).c_str());
  std::fprintf(out(), "%-10s %s V\n", device.nameOf(ao).c_str(), qrec::numberText(set).c_str());
  return kExitSuccess;
}

void checkDio(const DioArgs& args) {
  const int oe = portByte(args.outputEnable, "mask");
  const int value = portByte(args.write, "port value");
  if (args.port.empty() && (oe >= 0 || value >= 0))
    throw UsageError("--oe and --write need a port");
}

int runDio(const Device& device, const DioArgs& args) {
  checkDio(args);
  const int oe = portByte(args.outputEnable, "mask");
  const int value = portByte(args.write, "port value");
  std::vector<int> ports;
  if (args.port.empty()) {
    for (const auto& p : device.peripherals())
      if (kindOf(p.id) == kKindDigitalPort) ports.push_back(p.id);
  } else {
    ports.push_back(device.resolve(args.port, {kKindDigitalPort}));
  }
  const int h = device.handle();
  for (int port : ports) {
    if (oe >= 0) check(QeloMsrSetDigitalPortOutputEnableMask(h, port, oe));
    if (value >= 0) check(QeloMsrWriteDigitalPort(h, port, value));
    int level = 0, lines = 0;
    check(QeloMsrReadDigitalPort(h, port, &level));
    check(QeloMsrGetDigitalPortIoCount(h, port, &lines));
    std::fprintf(out(), "%-6s 0x%02X %s\n", device.nameOf(port).c_str(),
                 static_cast<unsigned>(level), bits(level, lines).c_str());
  }
  return kExitSuccess;
}

void checkCounter(const CounterArgs& args) {
  if (args.enable && args.disable) throw UsageError("--enable and --disable exclude each other");
}

int runCounter(const Device& device, const CounterArgs& args) {
  checkCounter(args);
  const int h = device.handle();
  const int counter = device.resolve(args.counter, {kKindCounter});
  if (args.enable || args.disable) check(QeloMsrSetCounterEnable(h, counter, args.enable ? 1 : 0));
  if (args.reset) check(QeloMsrResetCounter(h, counter));
  qelomsr_int64 count = 0;
  int enabled = 0;
  check(QeloMsrReadCounter(h, counter, &count));
  check(QeloMsrGetCounterEnable(h, counter, &enabled));
  std::fprintf(out(), "%-6s %lld %s\n", device.nameOf(counter).c_str(),
               static_cast<long long>(count), enabled ? "enabled" : "disabled");
  return kExitSuccess;
}

}  // namespace qcli
