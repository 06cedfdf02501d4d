#include "cli_registry.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "cli_commands.h"
#include "cli_device.h"
#include "cli_process.h"
#include "remote_commands.h"
#include "remote_stream.h"

namespace qcli {

const char* const kExitCodesHelp =
    "Exit codes: 0 success, 1 a device, library or file error, 2 bad arguments, "
    "130 interrupted (SIGINT, Ctrl-C), 143 terminated (SIGTERM), 141 the reader of "
    "standard output went away.";

const char* const kOpeningResetsHelp =
    "Opening a device resets its peripherals: outputs, digital ports, counter, LED, input "
    "ranges and trigger configuration return to their power-on state, so nothing set by one "
    "command survives the next. Run several commands on one open device with "
    "'qelomsr session'.";

namespace {

const char* const kDeviceHelp =
    "Device: identifier (USB:1-0-3, any case), serial number (KA1X-004711 or "
    "QeloKa@KA1X-004711) or family with its position among that family's devices in "
    "identifier order (ka, rix:1); see 'qelomsr list'";
const char* const kRangeHelp =
    "Range of the analog inputs without one of their own: its upper limit, 10V, 1V, 100mV, "
    "10mV, 3.3V (also 0.1, 0.01V, 10 mV)";

// Numbers are checked as text before CLI11 converts them, in the tool's own
// grammar (cli_values.h): a number too large for its type is refused instead
// of being saturated, and hex, inf or nan are no numbers of seconds or hertz.
CLI::Validator textCheck(void (*parse)(const std::string&), const char* name) {
  return CLI::Validator(
      [parse](std::string& text) -> std::string {
        try {
          parse(text);
        } catch (const std::exception& e) {
          return e.what();
        }
        return "";
      },
      name);
}
const CLI::Validator kWholeNumber =
    textCheck([](const std::string& t) { parseInteger(t, "whole number"); }, "INT");
const CLI::Validator kDecimal =
    textCheck([](const std::string& t) { parseNumber(t, "number"); }, "NUMBER");

// A number of seconds: finite and not negative.
const CLI::Validator kSeconds = textCheck(
    [](const std::string& text) {
      double value = -1;
      try {
        value = parseNumber(text, "number");
      } catch (const UsageError&) {
      }
      if (!(value >= 0)) throw UsageError("'" + text + "' is not a number of seconds >= 0");
    },
    "SECONDS");

// What runs a device command: check refuses bad arguments before the device
// is opened, run acts on the open device, remote on a device served on a
// broker (--broker; none: the command needs the device here). quiet, when
// set, keeps the command from saying which device it opened.
struct DeviceRunner {
  std::function<void()> check;
  std::function<int(const Device&)> run;
  std::shared_ptr<const bool> quiet;
  std::function<int(qremote::RemoteDevice&)> remote;
  // The command without DEVICE (stream --sync, which opens its devices
  // itself), when standsAlone says so after parsing; null: DEVICE is
  // required.
  std::function<bool()> standsAlone = nullptr;
  std::function<int()> alone = nullptr;
};

// -q and, where the command has it, --json.
void addOutputOptions(CLI::App& sub, OutputOptions& output, bool json) {
  if (json)
    sub.add_flag("--json", output.json,
                 "Print one JSON document on standard output instead of text (keys in "
                 "docs/usage.md)");
  sub.add_flag("-q,--quiet", output.quiet,
               "Say nothing on stderr but warnings and errors (not which device was opened)");
}

// A device command: its name, its help and what adds its arguments to its
// subcommand and returns its runner.
struct DeviceCommand {
  const char* name;
  const char* help;
  DeviceRunner (*define)(CLI::App& sub);
};

DeviceRunner defineInfo(CLI::App& sub) {
  auto output = std::make_shared<OutputOptions>();
  addOutputOptions(sub, *output, true);
  return {nullptr, [output](const Device& d) { return runInfo(d, *output); },
          std::shared_ptr<const bool>(output, &output->quiet),
          [output](qremote::RemoteDevice& d) { return qremote::runInfo(d, *output); }};
}

DeviceRunner defineRead(CLI::App& sub) {
  auto args = std::make_shared<ReadArgs>();
  sub.add_option("INPUT", args->inputs,
                 "Analog inputs by name, each with an optional range: AI-0, AI-0/AI-1:1V, VREF")
      ->required();
  sub.add_option("--range", args->range, kRangeHelp);
  sub.add_option("--every", args->every,
                 "Log a row of reads every DURATION (10s, 500ms, 5min, 2h) until interrupted or "
                 "--count rows, timed by the host");
  sub.add_option("--count", args->count, "With --every: rows to log (default: until interrupted)")
      ->check(kWholeNumber);
  sub.add_option("--average", args->average,
                 "With --every: each value the mean of this many reads (default 1)")
      ->check(kWholeNumber);
  sub.add_option("--out", args->out,
                 "With --every: data file, FILE.h5 or FILE.hdf5 for HDF5, any other name for CSV; "
                 "- or none for CSV on standard output");
  addOutputOptions(sub, args->output, true);
  return {[args] { checkRead(*args); }, [args](const Device& d) { return runRead(d, *args); },
          std::shared_ptr<const bool>(args, &args->output.quiet),
          [args](qremote::RemoteDevice& d) { return qremote::runRead(d, *args); }};
}

DeviceRunner defineWrite(CLI::App& sub) {
  auto args = std::make_shared<WriteArgs>();
  sub.add_option("OUTPUT", args->output, "Analog output by name: AO-0, AO-1")->required();
  sub.add_option("VOLTS", args->volts,
                 "Output voltage, V or mV (2.5, 100mV); a value outside the output's range is "
                 "clamped with a warning (use -- before a negative value). Prints the voltage "
                 "the converter produces")
      ->required();
  auto output = std::make_shared<OutputOptions>();
  addOutputOptions(sub, *output, false);
  return {[args] { checkWrite(*args); }, [args](const Device& d) { return runWrite(d, *args); },
          std::shared_ptr<const bool>(output, &output->quiet),
          [args](qremote::RemoteDevice& d) { return qremote::runWrite(d, *args); }};
}

DeviceRunner defineDio(CLI::App& sub) {
  auto args = std::make_shared<DioArgs>();
  sub.add_option("PORT", args->port, "Digital port by name (DP-0); every port when left out");
  sub.add_option("--oe", args->outputEnable,
                 "Output enable mask, bit set = output (0xFF, 0b00001111, 15); opening makes "
                 "every line an input");
  sub.add_option("--write", args->write, "Output levels to write (0x55); drive only with --oe");
  auto output = std::make_shared<OutputOptions>();
  addOutputOptions(sub, *output, false);
  return {[args] { checkDio(*args); }, [args](const Device& d) { return runDio(d, *args); },
          std::shared_ptr<const bool>(output, &output->quiet),
          [args](qremote::RemoteDevice& d) { return qremote::runDio(d, *args); }};
}

DeviceRunner defineCounter(CLI::App& sub) {
  auto args = std::make_shared<CounterArgs>();
  sub.add_option("COUNTER", args->counter, "Counter by name")->capture_default_str();
  sub.add_flag("--enable", args->enable, "Enable counting");
  sub.add_flag("--disable", args->disable, "Disable counting");
  sub.add_flag("--reset", args->reset, "Reset the count to 0");
  addOutputOptions(sub, args->output, true);
  return {[args] { checkCounter(*args); }, [args](const Device& d) { return runCounter(d, *args); },
          std::shared_ptr<const bool>(args, &args->output.quiet),
          [args](qremote::RemoteDevice& d) { return qremote::runCounter(d, *args); }};
}

DeviceRunner defineStream(CLI::App& sub) {
  auto args = std::make_shared<StreamArgs>();
  sub.add_option("--channels", args->channels,
                 "Inputs, comma separated, analog ones with an optional range: "
                 "AI-0:10mV,AI-1,DP-0,CNT,TRG")
      ->required();
  sub.add_option("--rate", args->rate, "Frame rate in Hz (>= 1); not with --trigger sample")
      ->check(kDecimal);
  auto* frames =
      sub.add_option("--frames", args->frames, "Number of frames to acquire")->check(kWholeNumber);
  auto* seconds = sub.add_option("--seconds", args->seconds,
                                 "Duration in seconds (of host time with --trigger sample)")
                      ->check(kDecimal);
  frames->excludes(seconds);
  sub.add_option("--range", args->range, kRangeHelp);
  sub.add_option("--out", args->out,
                 "Data file: FILE.h5 or FILE.hdf5 for HDF5, any other name for CSV; - or none "
                 "for CSV on standard output");
  sub.add_option("--trigger", args->trigger,
                 "start: the frame timer starts on the first trigger event; sample: one frame per "
                 "trigger event");
  sub.add_option("--trigger-config", args->triggerConfig,
                 "Input configuration of the trigger line: in-a (default), in-b, in-c");
  sub.add_option("--trigger-timeout,--timeout", args->timeout,
                 "With --trigger: give up when no frame came for this many seconds (default: "
                 "10; 0 waits until interrupted)")
      ->check(kSeconds);
  sub.add_flag("--restart-on-overrun", args->restartOnOverrun,
               "After an overrun restart the acquisition (gap marked in the file) instead of "
               "failing");
  sub.add_flag("--overwrite", args->overwrite, "Replace an existing --out file");
  sub.add_flag("--compress", args->compress, "HDF5: compress the data (shuffle and gzip level 4)");
  sub.add_flag("--progress", args->progress, "Progress line on stderr even without a terminal");
  sub.add_flag("-q,--quiet", args->quiet,
               "No progress line, no summary and no word on the device opened");
  sub.add_option("--sync", args->sync,
                 "Several devices on one clock, instead of DEVICE: DEV,DEV,... (the first is the "
                 "master, its trigger line wired to the others'); channels then as DEV:NAME");
  sub.add_option("--sync-mode", args->syncMode,
                 "With --sync: frame (every device samples on the master's frames, default) or "
                 "start (a common start, then each device's own clock)");
  return {[args] { checkStream(*args); },
          [args](const Device& d) { return runStream(d, *args); },
          std::shared_ptr<const bool>(args, &args->quiet),
          [args](qremote::RemoteDevice& d) { return qremote::runStream(d, *args); },
          [args] { return !args->sync.empty(); },
          [args] { return runSyncStream(*args); }};
}

DeviceRunner defineBench(CLI::App& sub) {
  auto args = std::make_shared<BenchArgs>();
  sub.add_option("--channels", args->channels, "Inputs, comma separated (default: AI-0)");
  sub.add_option("--rate", args->rate, "The first rate tried, in Hz")
      ->capture_default_str()
      ->check(kDecimal);
  sub.add_option("--seconds", args->seconds,
                 "Seconds per trial (an achieved rate is shown for trials of 1 s or more)")
      ->capture_default_str()
      ->check(kDecimal);
  sub.add_option("--max-rate", args->maxRate,
                 "The highest rate tried (default: the highest rate the device accepts)")
      ->check(kDecimal);
  auto output = std::make_shared<OutputOptions>();
  addOutputOptions(sub, *output, false);
  return {[args] { checkBench(*args); }, [args](const Device& d) { return runBench(d, *args); },
          std::shared_ptr<const bool>(output, &output->quiet), nullptr};
}

const DeviceCommand kDeviceCommands[] = {
    {"info", "Show the peripherals, ranges and parameters of a device", defineInfo},
    {"read", "Read calibrated values of analog inputs (volts)", defineRead},
    {"write", "Set an analog output to a voltage", defineWrite},
    {"dio", "Read a digital port; set its output enable and levels", defineDio},
    {"counter", "Enable, disable, reset and read the counter", defineCounter},
    {"stream", "Acquire frames continuously into a CSV or HDF5 file", defineStream},
    {"bench", "Find the highest frame rate the device accepts and the host sustains", defineBench},
};

}  // namespace

void announce(const Device& device) {
  std::fprintf(stderr, "qelomsr: opened %s\n", device.describe().c_str());
}

void addListCommand(CLI::App& app, Command& selected) {
  auto output = std::make_shared<OutputOptions>();
  auto* sub = app.add_subcommand(
      "list",
      "List the devices on the USB buses: identifier, family, serial number, firmware, and "
      "whether they can be opened (in use by another program, not answering). Opens no device "
      "and changes nothing");
  addOutputOptions(*sub, *output, true);
  sub->callback([&selected, output] { selected = [output] { return runList(*output); }; });
}

void addDeviceCommands(CLI::App& app, Command& selected, const qmqtt::BrokerArgs& broker) {
  for (const DeviceCommand& c : kDeviceCommands) {
    auto* sub = app.add_subcommand(c.name, std::string(c.help) + " (opening resets the device)");
    sub->footer(kOpeningResetsHelp);
    auto device = std::make_shared<std::string>();
    auto* deviceOption = sub->add_option("DEVICE", *device, kDeviceHelp);
    const DeviceRunner runner = c.define(*sub);
    if (!runner.alone) deviceOption->required();
    const std::string name = c.name;
    sub->callback([&selected, &broker, device, runner, name] {
      if (runner.alone && runner.standsAlone()) {
        if (!device->empty())
          throw CLI::ValidationError("DEVICE", "--sync names the devices: give no DEVICE");
        selected = [&broker, runner, name] {
          if (!broker.url.empty())
            throw UsageError(name + " --sync needs the devices on this machine");
          return runner.alone();
        };
        return;
      }
      if (device->empty()) throw CLI::RequiredError("DEVICE");
      selected = [&broker, device, runner, name] {
        if (runner.check) runner.check();
        if (!broker.url.empty()) {
          if (!runner.remote) throw UsageError(name + " needs the device on this machine");
          const auto served = qremote::RemoteDevice::connect(broker, *device);
          if (!runner.quiet || !*runner.quiet)
            std::fprintf(stderr, "qelomsr: reached %s\n", served->describe().c_str());
          return runner.remote(*served);
        }
        const Device opened = Device::open(*device);
        if (!runner.quiet || !*runner.quiet) announce(opened);
        const FailureSubject subject(opened.entry().identifier);
        return runner.run(opened);
      };
    });
  }
}

void addSessionLineCommands(CLI::App& app, Device& device, Command& selected) {
  for (const DeviceCommand& c : kDeviceCommands) {
    auto* sub = app.add_subcommand(c.name, c.help);
    const DeviceRunner runner = c.define(*sub);
    sub->callback([&selected, &device, runner] {
      selected = [&device, runner] {
        if (runner.check) runner.check();
        const FailureSubject subject(device.entry().identifier);
        return runner.run(device);
      };
    });
  }
  auto seconds = std::make_shared<double>(0.0);
  auto* sleep = app.add_subcommand("sleep", "Wait (Ctrl-C ends the session)");
  sleep->add_option("SECONDS", *seconds, "Seconds to wait")->required()->check(kSeconds);
  sleep->callback([&selected, seconds] {
    selected = [seconds] {
      return sleepUnlessStopped(*seconds) ? kExitSuccess : exitCodeForSignal(stopSignal());
    };
  });
}

void addSessionCommand(CLI::App& app, Command& selected) {
  auto device = std::make_shared<std::string>();
  auto file = std::make_shared<std::string>();
  auto* sub = app.add_subcommand(
      "session",
      "Run many commands on one open device, one per line of FILE or standard input "
      "(opening resets the device once)");
  sub->add_option("DEVICE", *device, kDeviceHelp)->required();
  sub->add_option("FILE", *file, "Commands, one per line (default: standard input)");
  auto output = std::make_shared<OutputOptions>();
  addOutputOptions(*sub, *output, false);
  sub->footer(
      "Each line holds a device command as on the command line without DEVICE: info, read, "
      "write, dio, counter, stream, bench; or sleep SECONDS. Blank lines and # comments are "
      "skipped; words may be quoted. The session stops at the first failing line with its exit "
      "code. On a terminal (no FILE) it prompts for lines with editing and history, goes on "
      "after a failing line, and ends with exit, quit or Ctrl-D. Example:\n"
      "  counter CNT --enable\n  sleep 0.5\n  counter CNT\n\n" +
      std::string(kOpeningResetsHelp));
  sub->callback([&selected, device, file, output] {
    selected = [device, file, output] { return runSession(*device, *file, output->quiet); };
  });
}

}  // namespace qcli
