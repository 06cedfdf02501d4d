// qelomsr-vbus: hosts emulated devices on a virtual USB bus and runs a
// program that sees them through its own, unmodified libusb.
//
//   qelomsr-vbus [--config FILE] [--manual-clock] [--control-socket PATH] -- PROGRAM [ARGS...]
//   qelomsr-vbus ctl COMMAND...      (sends a command to $QELOMSR_VBUS_CONTROL, or to
//                                     the only runner running)
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "qsim/bus_config.h"
#include "qsim/config.h"
#include "qsim/model.h"
#include "qsim/timeline.h"
#include "qsim/vbus.h"
#include "qsim/vbus_commands.h"
#include "qsim/vbus_control.h"
#include "runner_commands.h"

namespace {

constexpr int kRunnerFailed = 125;  // as env(1) and friends: the runner itself failed
constexpr int kExecFailed = 127;

const char* const kUsage =
    "usage: qelomsr-vbus [--config FILE] [--manual-clock] [--control-socket PATH]\n"
    "                    -- PROGRAM [ARGS...]\n"
    "       qelomsr-vbus ctl COMMAND...\n"
    "Runs PROGRAM with emulated Ka, Vel and Rix devices on a virtual USB bus\n"
    "(default: Ka at 1-3, Vel at 1-2.1, Rix at 1-2.4) and exits with its status.\n"
    "The child finds the bus's control socket in QELOMSR_VBUS_CONTROL; 'qelomsr-vbus\n"
    "ctl COMMAND' from another terminal finds the only runner running by itself.\n"
    "  --config FILE          topology and trigger wires (sim/README.md)\n"
    "  --manual-clock         the devices' clock stands at 0 until moved with\n"
    "                         'ctl clock advance DURATION'\n"
    "  --control-socket PATH  listen for control commands on PATH (default:\n"
    "                         $XDG_RUNTIME_DIR/qelomsr-vbus/<pid>.sock, or\n"
    "                         /tmp/qelomsr-vbus-<uid>/<pid>.sock)\n";

// Switches one named fault of a model (the names of the "faults" object of
// the device JSON), reusing the models' own parser for the names.
void switchFault(qsim::VirtualBus& bus, const std::string& port, const std::string& name, bool on) {
  auto model = std::dynamic_pointer_cast<qsim::DeviceModel>(bus.function(port));
  if (!model) throw std::invalid_argument("no device model at " + port);
  nlohmann::json faults = qsim::configToJson(model->config())["faults"];
  if (!faults.contains(name) || !faults[name].is_boolean()) {
    throw std::invalid_argument("unknown fault '" + name + "'");
  }
  faults[name] = on;
  const nlohmann::json partial = {{"family", qsim::familyName(model->family())},
                                  {"faults", faults}};
  model->setFaults(qsim::configFromJson(partial).faults);
}

// <folder>/<pid>.sock, where `ctl` from another terminal looks; the bus's own
// temporary folder when that folder cannot be used.
std::string defaultSocketPath(const qsim::VirtualBus& bus) {
  try {
    return qsim::runnerSocketFolder(true) + "/" + std::to_string(getpid()) + ".sock";
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelomsr-vbus: %s; the control socket goes to the bus's folder\n",
                 e.what());
    return bus.rootDir() + "/control";
  }
}

pid_t g_child = 0;

// Passes a signal on to the child, once: Ctrl-C and Ctrl-\ in a terminal
// reach the terminal's whole foreground process group from the kernel, and
// with it the child as long as it stays in the runner's group, so those are
// not sent a second time (the child would take them as asked twice).
void forward(int sig, siginfo_t* info, void*) {
  const int saved = errno;  // the interrupted code may be about to read it
  const bool fromTerminal =
      (sig == SIGINT || sig == SIGQUIT) && info != nullptr && info->si_code == SI_KERNEL;
  if (g_child > 0 && !(fromTerminal && getpgid(g_child) == getpgrp())) kill(g_child, sig);
  errno = saved;
}

int runChild(char** argv) {
  const pid_t pid = fork();
  if (pid < 0) {
    std::fprintf(stderr, "qelomsr-vbus: fork: %s\n", std::strerror(errno));
    return kRunnerFailed;
  }
  if (pid == 0) {
    // A child outliving its runner would lose its devices mid-call.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execvp(argv[0], argv);
    std::fprintf(stderr, "qelomsr-vbus: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(kExecFailed);
  }
  g_child = pid;
  struct sigaction sa {};
  sa.sa_sigaction = forward;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      std::fprintf(stderr, "qelomsr-vbus: waitpid: %s\n", std::strerror(errno));
      return kRunnerFailed;
    }
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kRunnerFailed;
}

int control(int argc, char** argv) {
  std::string path;
  try {
    path = qsim::controlSocketForCtl();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelomsr-vbus ctl: %s\n", e.what());
    return kRunnerFailed;
  }
  std::string line;
  for (int i = 2; i < argc; ++i) line += (i > 2 ? " " : "") + std::string(argv[i]);
  const std::string reply = qsim::vbusControlRequest(path, line);
  std::fputs(reply.c_str(), stdout);
  return reply.compare(0, 6, "error ") == 0 || reply.find("\nerror ") != std::string::npos ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc >= 2 && std::strcmp(argv[1], "ctl") == 0) return control(argc, argv);
    // The testbed's uevents resolve their sysfs paths through libudev in this
    // process: without the preload they would look at the real /sys, and a
    // child's libusb would miss every unplug and replug.
    qsim::reexecUnderPreload(argv);
    std::string config, socketPath;
    bool manualClock = false;
    int i = 1;
    for (; i < argc; ++i) {
      const std::string a = argv[i];
      if (a == "--") {
        ++i;
        break;
      }
      if (a == "--config" && i + 1 < argc) {
        config = argv[++i];
      } else if (a == "--manual-clock") {
        manualClock = true;
      } else if (a == "--control-socket" && i + 1 < argc) {
        socketPath = argv[++i];
      } else if (a == "-h" || a == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
      } else {
        std::fprintf(stderr, "qelomsr-vbus: unexpected argument '%s'\n%s", a.c_str(), kUsage);
        return kRunnerFailed;
      }
    }
    if (i >= argc) {
      std::fprintf(stderr, "qelomsr-vbus: no program given\n%s", kUsage);
      return kRunnerFailed;
    }
    const qsim::BusConfig setup =
        config.empty() ? qsim::defaultBusConfig() : qsim::busConfigFromFile(config);

    // One clock and one timeline for all devices: real time unless the
    // caller runs it by hand.
    auto clock = std::make_shared<qsim::SwitchableClock>(manualClock);
    auto timeline = std::make_shared<qsim::Timeline>(clock);
    qsim::VirtualBus bus;
    for (const auto& p : setup.topology) {
      if (p.hub) {
        bus.addHub(p.port);
      } else {
        bus.addDevice(p.port, std::make_shared<qsim::DeviceModel>(p.config, timeline));
      }
    }
    const qsim::ModelLookup models = qsim::modelsOn(bus);
    try {
      qsim::makeWires(*timeline, setup.wires,
                      [&models](const std::string& port) { return models(port).get(); });
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument(config + ": " + e.what());
    }
    qsim::VbusControl control(bus, socketPath.empty() ? defaultSocketPath(bus) : socketPath,
                              [&bus](const std::string& port, const std::string& name, bool on) {
                                switchFault(bus, port, name, on);
                              });
    qsim::addClockCommand(control, bus, clock);
    qsim::addStateCommand(control, bus);
    qsim::addDeviceCommands(control, bus, timeline);
    setenv(qsim::kVbusControlEnv, control.path().c_str(), 1);
    if (isatty(STDERR_FILENO)) {
      std::fprintf(stderr,
                   "qelomsr-vbus: control socket %s (from another terminal: qelomsr-vbus ctl "
                   "COMMAND)\n",
                   control.path().c_str());
    }
    qsim::exportPreloadEnvironment();
    return runChild(argv + i);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelomsr-vbus: %s\n", e.what());
    return kRunnerFailed;
  }
}
