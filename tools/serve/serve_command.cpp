#include "serve_command.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>

#include "broker_options.h"
#include "cli_device.h"
#include "cli_process.h"
#include "node_server.h"

namespace qserve {

namespace {

struct ServeArgs {
  qmqtt::BrokerArgs broker;
  std::string node;
  std::vector<std::string> devices;
  bool allowControl = false;
  double intervalS = 1.0;
  double bufferMiB = 64;
};

std::string hostName() {
  char name[256] = {0};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "node";
  return name;
}

int runServe(const ServeArgs& args) {
  ServeOptions options;
  options.node = args.node.empty() ? hostName() : args.node;
  try {
    qmqtt::checkNodeName(options.node);
  } catch (const std::invalid_argument& e) {
    throw qcli::UsageError(std::string("--node: ") + e.what());
  }
  if (!(args.intervalS >= 0.1 && args.intervalS <= 3600))
    throw qcli::UsageError("--interval is 0.1 to 3600 seconds");
  if (!(args.bufferMiB >= 1 && args.bufferMiB <= 65536))
    throw qcli::UsageError("--buffer-mb is 1 to 65536");
  options.devices = args.devices;
  options.allowControl = args.allowControl;
  options.valuesPeriod =
      std::chrono::milliseconds(static_cast<long long>(std::llround(args.intervalS * 1000)));
  options.bufferBytes = static_cast<size_t>(args.bufferMiB * 1024 * 1024);

  NodeServer server(qmqtt::connectOptions(args.broker), options);
  std::fprintf(stderr, "qelomsr serve: node %s, broker %s, %s, readings every %g s; Ctrl-C stops\n",
               options.node.c_str(), args.broker.url.c_str(),
               options.allowControl ? "clients may change the devices (--allow-control)"
                                    : "read-only (no --allow-control)",
               args.intervalS);
  server.start();
  while (!qcli::stopRequested()) {
    const std::string refused = server.refused();
    if (!refused.empty()) {
      server.stop(std::chrono::milliseconds(0));
      qmqtt::loginRefused(refused);
    }
    if (!qcli::sleepUnlessStopped(0.2)) break;
  }
  server.stop();
  std::fprintf(stderr, "qelomsr serve: stopped\n");
  return qcli::exitCodeForSignal(qcli::stopSignal());
}

}  // namespace

void addServeCommand(CLI::App& app, qcli::Command& selected) {
  auto args = std::make_shared<ServeArgs>();
  auto* sub = app.add_subcommand(
      "serve",
      "Serve the devices on an MQTT broker until stopped: readings, calls, streams (opening "
      "resets each device once)");
  qmqtt::addBrokerOptions(*sub, args->broker);
  sub->add_option("--node", args->node,
                  "Name of this machine in the topics qelomsr/NODE/... (default: the host name)");
  sub->add_option("--device", args->devices,
                  "Serve only this device: identifier (USB:1-0-3), serial number (KA1X-004711) "
                  "or family (ka, ka:1), found when first attached and then served at that "
                  "identifier; repeat for more (default: every attached device, also those "
                  "plugged in later)");
  sub->add_flag("--allow-control", args->allowControl,
                "Let clients change the devices (outputs, ports, ranges, counter, streams); "
                "without it every such call is refused");
  sub->add_option("--interval", args->intervalS,
                  "Seconds between the single readings published on the values topics")
      ->capture_default_str();
  sub->add_option("--buffer-mb", args->bufferMiB,
                  "Stream blocks kept in memory while the broker is unreachable, in MiB; the "
                  "oldest go first beyond it")
      ->capture_default_str();
  sub->footer(
      "Topics, calls and the stream layout: docs/usage.md, section \"Serving devices over "
      "MQTT\".");
  sub->callback([&selected, args] { selected = [args] { return runServe(*args); }; });
}

}  // namespace qserve
