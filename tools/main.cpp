// qelomsr: command-line access to Qelo Ka, Vel and Rix devices.
//
// Exit codes: see kExitCodesHelp (cli_registry.cpp) and docs/usage.md.
#include <poll.h>
#include <qelomsr/qelomsr.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "broker_options.h"
#include "cli_device.h"
#include "cli_process.h"
#include "cli_registry.h"
#include "panel/panel_command.h"
#include "record/record_command.h"
#include "serve/serve_command.h"

namespace {

std::string libraryVersion() {
  char version[64] = {0};
  QeloMsrGetApiVersion(version, static_cast<int>(sizeof version));
  return version;
}

int usageError(const CLI::App& app, const std::string& message) {
  const CLI::App* shown = &app;
  for (const CLI::App* sub : app.get_subcommands()) shown = sub;
  std::fprintf(stderr, "qelomsr: error: %s\n%s", message.c_str(), shown->help().c_str());
  return qcli::kExitUsage;
}

// Help and version texts go to the tool's standard output.
int printHelp(const CLI::App& app, const CLI::Error& e) {
  std::ostringstream text, errors;
  const int code = app.exit(e, text, errors);
  std::fputs(text.str().c_str(), qcli::out());
  std::fputs(errors.str().c_str(), stderr);
  return code;
}

// A pipe whose reader went away (| head) reports an error when polled.
bool readerGone(std::FILE* stream) {
  pollfd p{fileno(stream), POLLOUT, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}

// Everything written to standard output must have arrived.
int finish(int code) {
  if (code == qcli::kExitBrokenPipe) return code;
  errno = 0;
  if (std::fflush(qcli::out()) != 0 || std::ferror(qcli::out())) {
    if (errno == EPIPE || readerGone(qcli::out())) return qcli::kExitBrokenPipe;
    std::fprintf(stderr, "qelomsr: error: writing standard output failed%s%s\n",
                 errno != 0 ? ": " : "", errno != 0 ? std::strerror(errno) : "");
    return code == qcli::kExitSuccess ? qcli::kExitFailure : code;
  }
  if (code == qcli::kExitSuccess && qcli::stopRequested())
    return qcli::exitCodeForSignal(qcli::stopSignal());
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  qcli::separateLibraryOutput();
  qcli::installStopSignals();

  CLI::App app{"Command-line access to Qelo Ka, Vel and Rix measurement devices.", "qelomsr"};
  app.set_version_flag("--version", "qelomsr " + libraryVersion());
  app.require_subcommand(1);
  app.footer(std::string(qcli::kOpeningResetsHelp) + "\n\n" + qcli::kExitCodesHelp +
             "\n\nSee docs/usage.md and man qelomsr.");

  qcli::Command command;
  // qelomsr --broker URL read NODE/ID ...: the device commands on a served device.
  qmqtt::BrokerArgs broker;
  qmqtt::addBrokerOptions(app, broker, false);
  qcli::addListCommand(app, command);
  qcli::addDeviceCommands(app, command, broker);
  qcli::addSessionCommand(app, command);

  qpanel::PanelArgs panel;
  auto* panelCmd = app.add_subcommand(
      "panel", "Serve a live test panel for the devices in the browser (loopback only)");
  panelCmd->add_option("--port", panel.port, "TCP port; 0 picks a free one")->capture_default_str();
  panelCmd->add_option("--device", panel.device,
                       "Device the page opens at once: identifier, serial number or family (ka)");
  panelCmd->add_option("--bind", panel.address, "Loopback address to listen on: 127.0.0.1 or ::1")
      ->capture_default_str();
  panelCmd->callback([&] {
    command = [&] {
      panel.out = qcli::out();
      return qpanel::runPanel(panel);
    };
  });

  qserve::addServeCommand(app, command);
  qrecord::addRecordCommand(app, command);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return finish(printHelp(app, e));
  } catch (const CLI::CallForAllHelp& e) {
    return finish(printHelp(app, e));
  } catch (const CLI::CallForVersion& e) {
    return finish(printHelp(app, e));
  } catch (const CLI::ParseError& e) {
    return usageError(app, e.what());
  }

  try {
    return finish(command());
  } catch (const qcli::UsageError& e) {
    return finish(usageError(app, e.what()));
  } catch (const std::exception& e) {
    return finish(qcli::reportFailure(e));
  }
}
