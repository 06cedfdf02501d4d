// qelomsr: command-line access to Qelo Ka, Vel and Rix devices.
//
// Exit codes: 0 success, 1 a library or device failure (the error record's
// text and class are printed), 2 bad arguments (printed with the usage),
// 130 interrupted.
#include <qelomsr/qelomsr.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <string>

#include "cli_commands.h"
#include "cli_device.h"
#include "panel/panel_command.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

std::string libraryVersion() {
  char version[64] = {0};
  QeloMsrGetApiVersion(version, static_cast<int>(sizeof version));
  return version;
}

const char* const kDeviceHelp = "Device: identifier (USB:1-0-3) or index in the 'list' output";

int usageError(const CLI::App& app, const std::string& message) {
  const CLI::App* shown = &app;
  for (const CLI::App* sub : app.get_subcommands()) shown = sub;
  std::fprintf(stderr, "qelomsr: error: %s\n%s", message.c_str(), shown->help().c_str());
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Command-line access to Qelo Ka, Vel and Rix measurement devices.", "qelomsr"};
  app.set_version_flag("--version", "qelomsr " + libraryVersion());
  app.require_subcommand(1);
  std::function<int()> command;

  app.add_subcommand("list", "List the attached devices: identifier, family, firmware, serial")
      ->callback([&] { command = [] { return qcli::runList(); }; });

  std::string device;
  auto* info =
      app.add_subcommand("info", "Show the peripherals, ranges and parameters of a device");
  info->add_option("ID", device, kDeviceHelp)->required();
  info->callback([&] { command = [&] { return qcli::runInfo(device); }; });

  std::vector<std::string> inputs;
  std::string range;
  auto* read = app.add_subcommand("read", "Read calibrated values of analog inputs (volts)");
  read->add_option("ID", device, kDeviceHelp)->required();
  read->add_option("INPUT", inputs, "Analog inputs by name: AI-0, AI-0/AI-1, VREF, ...")
      ->required();
  read->add_option("--range", range, "Range: index (0) or upper limit (10V, 100mV)");
  read->callback([&] { command = [&] { return qcli::runRead(device, inputs, range); }; });

  std::string output, volts;
  auto* write = app.add_subcommand("write", "Set an analog output to a voltage");
  write->add_option("ID", device, kDeviceHelp)->required();
  write->add_option("OUTPUT", output, "Analog output by name: AO-0, AO-1")->required();
  write->add_option("VOLTS", volts, "Output voltage (use -- before a negative value)")->required();
  write->callback([&] { command = [&] { return qcli::runWrite(device, output, volts); }; });

  qcli::DioArgs dio;
  auto* dioCmd = app.add_subcommand("dio", "Read a digital port; set its output enable and levels");
  dioCmd->add_option("ID", dio.device, kDeviceHelp)->required();
  dioCmd->add_option("PORT", dio.port, "Digital port by name (DP-0); every port when left out");
  dioCmd->add_option("--oe", dio.outputEnable, "Output enable mask, bit set = output (0xFF)");
  dioCmd->add_option("--write", dio.write, "Output levels to write (0x55)");
  dioCmd->callback([&] { command = [&] { return qcli::runDio(dio); }; });

  qcli::CounterArgs counter;
  auto* counterCmd = app.add_subcommand("counter", "Enable, disable, reset and read the counter");
  counterCmd->add_option("ID", counter.device, kDeviceHelp)->required();
  counterCmd->add_option("COUNTER", counter.counter, "Counter by name")->capture_default_str();
  counterCmd->add_flag("--enable", counter.enable, "Enable counting");
  counterCmd->add_flag("--disable", counter.disable, "Disable counting");
  counterCmd->add_flag("--reset", counter.reset, "Reset the count to 0");
  counterCmd->callback([&] { command = [&] { return qcli::runCounter(counter); }; });

  qcli::StreamArgs stream;
  auto* streamCmd = app.add_subcommand("stream", "Acquire frames continuously and write CSV");
  streamCmd->add_option("ID", stream.device, kDeviceHelp)->required();
  streamCmd
      ->add_option("--channels", stream.channels, "Inputs, comma separated: AI-0,AI-1,DP-0,CNT")
      ->required();
  streamCmd->add_option("--rate", stream.rate, "Frame rate in Hz (>= 1)")->required();
  auto* frames = streamCmd->add_option("--frames", stream.frames, "Number of frames to acquire");
  auto* seconds = streamCmd->add_option("--seconds", stream.seconds, "Duration in seconds");
  frames->excludes(seconds);
  streamCmd->add_option("--range", stream.range,
                        "Range of every analog input: index or 10V, 1V, ...");
  streamCmd->add_option("--out", stream.out, "CSV file (default: standard output)");
  streamCmd->add_flag("--restart-on-overrun", stream.restartOnOverrun,
                      "After an overrun restart the acquisition (gap marked in the CSV) "
                      "instead of failing");
  streamCmd->add_flag("--progress", stream.progress,
                      "Progress line on stderr even without a terminal");
  streamCmd->add_flag("-q,--quiet", stream.quiet, "No progress line and no summary");
  streamCmd->callback([&] { command = [&] { return qcli::runStream(stream); }; });

  qcli::BenchArgs bench;
  auto* benchCmd = app.add_subcommand("bench", "Measure the sustained frame rate and CPU use");
  benchCmd->add_option("ID", bench.device, kDeviceHelp)->required();
  benchCmd->add_option("--channels", bench.channels, "Inputs, comma separated (default: AI-0)");
  benchCmd->add_option("--rate", bench.rate, "Frame rate in Hz")->capture_default_str();
  benchCmd->add_option("--seconds", bench.seconds, "Seconds per rate")->capture_default_str();
  benchCmd->add_option("--max-rate", bench.maxRate, "Double the rate up to this one");
  benchCmd->callback([&] { command = [&] { return qcli::runBench(bench); }; });

  qpanel::PanelArgs panel;
  auto* panelCmd = app.add_subcommand(
      "panel", "Serve a live test panel for the devices in the browser (loopback only)");
  panelCmd->add_option("--port", panel.port, "TCP port; 0 picks a free one")->capture_default_str();
  panelCmd->add_option("--device", panel.device, "Device the page opens at once (USB:1-0-3)");
  panelCmd->add_option("--bind", panel.address, "Loopback address to listen on: 127.0.0.1 or ::1")
      ->capture_default_str();
  panelCmd->callback([&] { command = [&] { return qpanel::runPanel(panel); }; });

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usageError(app, e.what());
  }

  try {
    return command();
  } catch (const qcli::UsageError& e) {
    return usageError(app, e.what());
  } catch (const qcli::ApiError& e) {
    std::fprintf(stderr, "qelomsr: error: %s (class %d, %s)\n", e.what(), e.errorClass(),
                 qcli::errorClassName(e.errorClass()));
    return kExitFailure;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelomsr: error: %s\n", e.what());
    return kExitFailure;
  }
}
