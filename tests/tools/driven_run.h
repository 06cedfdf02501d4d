// The tool under a runner whose control socket the test knows: the test runs
// the devices' clock by hand (--manual-clock) and watches a device's state
// while the tool works, so every frame, overflow and restart happens exactly
// when the test makes it, whatever the speed of the host.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli_run.h"

namespace qtest {

class DrivenRun {
 public:
  // config: a topology file of tests/tools, or empty for the default devices.
  // prefix: a program and its arguments that run the tool (prlimit ...).
  DrivenRun(const std::string& config, const std::vector<std::string>& args,
            const std::vector<std::string>& prefix = {}) {
    char dir[] = "/tmp/qelomsr-cli-XXXXXX";
    if (mkdtemp(dir) != nullptr) dir_ = dir;
    socket_ = dir_ + "/control";
    setenv("QELOMSR_VBUS_CONTROL", socket_.c_str(), 1);  // for `qelomsr-vbus ctl`
    std::vector<std::string> argv{kRunner, "--manual-clock", "--control-socket", socket_};
    if (!config.empty()) argv.insert(argv.end(), {"--config", kSourceDir + "/" + config});
    argv.push_back("--");
    argv.insert(argv.end(), prefix.begin(), prefix.end());
    argv.push_back(kCli);
    argv.insert(argv.end(), args.begin(), args.end());
    process_ = std::make_unique<Process>(argv);
  }
  ~DrivenRun() {
    process_.reset();
    unsetenv("QELOMSR_VBUS_CONTROL");
    if (!dir_.empty()) rmdir(dir_.c_str());
  }
  DrivenRun(const DrivenRun&) = delete;
  DrivenRun& operator=(const DrivenRun&) = delete;

  // Sends one control command; returns the reply lines before "ok" (or the
  // error, with the exit code in *failed when asked).
  std::string ctl(const std::string& command, int* exitCode = nullptr) {
    std::vector<std::string> argv{kRunner, "ctl"};
    std::istringstream words(command);
    for (std::string w; words >> w;) argv.push_back(w);
    const auto r = runProcess(argv, std::chrono::seconds(60));
    if (exitCode != nullptr) *exitCode = r.exitCode;
    return r.out;
  }

  // The device's state as "name value" pairs; empty while the runner is not
  // listening yet.
  std::map<std::string, std::string> state(const std::string& port) {
    std::map<std::string, std::string> values;
    const auto r = runProcess({kRunner, "ctl", "state", port}, std::chrono::seconds(60));
    if (r.exitCode != 0) return values;
    std::istringstream in(r.out);
    for (std::string name, value; in >> name >> value;) values[name] = value;
    return values;
  }

  // Waits (bounded, generously) until the device's state satisfies cond.
  bool waitFor(const std::string& port,
               const std::function<bool(std::map<std::string, std::string>&)>& cond) {
    return pollUntil([&] {
      auto s = state(port);
      return !s.empty() && cond(s);
    });
  }

  Process& process() { return *process_; }

 private:
  std::string dir_;
  std::string socket_;
  std::unique_ptr<Process> process_;
};

inline long long asNumber(const std::string& text) { return std::stoll(text); }

// The tool has started an acquisition that has produced nothing yet.
inline bool freshlyStarted(std::map<std::string, std::string>& s) {
  return s["acquisition"] == "running" && s["framesProduced"] == "0" && s["framesDropped"] == "0";
}

// The tool has read every one of `frames` frames the device produced.
inline std::function<bool(std::map<std::string, std::string>&)> drained(long long frames) {
  return [frames](std::map<std::string, std::string>& s) {
    return asNumber(s["framesProduced"]) == frames && s["inputBufferedBytes"] == "0";
  };
}

// The device buffer holds nothing the tool has not read.
inline bool empty(std::map<std::string, std::string>& s) { return s["inputBufferedBytes"] == "0"; }

}  // namespace qtest
