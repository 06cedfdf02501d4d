// The small subcommands: write, dio and counter, and the channel lists that
// stream and bench share.
#include "cli_commands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "calibration_view.h"
#include "cli_json.h"
#include "cli_output.h"
#include "cli_process.h"
#include "recording.h"

namespace qcli {

namespace {

// Sets the range of an analog input; refuses a range for anything else.
void setRange(const Device& device, int id, const std::string& range) {
  if (range.empty()) return;
  if (!isAnalogInput(id)) throw UsageError(device.nameOf(id) + " has no ranges");
  int delay = 0;
  check(QeloMsrSetAnalogInputParameters(device.handle(), id, device.resolveRange(id, range), -1,
                                        &delay));
}

}  // namespace

int portByte(const std::string& text, const char* what) {
  if (text.empty()) return -1;
  const long long value = parseInteger(text, what);
  if (value < 0 || value > 0xFF)
    throw UsageError("port masks and values are 8 bits wide (0 .. 0xFF), not " + text);
  return static_cast<int>(value);
}

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

void checkWrite(const WriteArgs& args) { parseVolts(args.volts); }

int runWrite(const Device& device, const WriteArgs& args) {
  const double requested = parseVolts(args.volts);
  const int ao = device.resolve(args.output, {kKindAnalogOutput});
  // The output clamps at the limits of its range, and its 12-bit converter
  // gives the voltage of the nearest code: report what it produces.
  const std::vector<int> ranges = device.ranges(ao);
  if (ranges.empty()) throw std::runtime_error(device.nameOf(ao) + " reports no range");
  const RangeLimits range = device.limits(ao, ranges.front());
  const double inRange = std::clamp(requested, static_cast<double>(range.minVolts),
                                    static_cast<double>(range.maxVolts));
  const CalibrationView calibration = CalibrationView::read(device);
  const OutputScale& scale = calibration.output(ao);
  Written written;
  written.output = device.nameOf(ao);
  written.requestedVolts = requested;
  written.setVolts = static_cast<float>(inRange);
  written.clamped = inRange != requested;
  written.range = range;
  written.calibrated = scale.calibrated();
  check(QeloMsrWriteAnalogOutput(device.handle(), ao, written.setVolts));
  written.producedVolts = static_cast<float>(scale.producedVolts(written.setVolts));
  printWritten(written);
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
    if (oe >= 0) device.setOutputEnableMask(port, oe);
    if (value >= 0) check(QeloMsrWriteDigitalPort(h, port, value));
    PortLevels levels;
    levels.port = device.nameOf(port);
    levels.written = value;
    levels.outputEnable = device.outputEnableMask(port);
    check(QeloMsrReadDigitalPort(h, port, &levels.pins));
    check(QeloMsrGetDigitalPortIoCount(h, port, &levels.lines));
    printPort(levels);
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
  printCounter(device.entry().identifier, device.nameOf(counter), static_cast<long long>(count),
               enabled != 0, args.output);
  return kExitSuccess;
}

}  // namespace qcli
