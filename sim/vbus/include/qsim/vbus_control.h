// Control channel of a virtual USB bus: a UNIX stream socket accepting one
// command per line, so that a program running on the bus can unplug, replug
// and break its devices at run time.
//
//   list                      one line per port, then "ok"
//   unplug <port>             e.g. "unplug 1-3"
//   replug <port>
//   kick <port>               retry the IN transfers the device keeps waiting
//   fault <port> <name> on|off  e.g. "fault 1-3 stall on" (names: see sim/README.md)
//
// A host adds commands of its own with addCommand (the runner: clock, state).
// A port is a port path ("1-2.4") or a unique id ("USB:1-0-2-4"). Every
// command is answered with "ok" or "error <text>", each on a line of its own.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qsim/vbus.h"

namespace qsim {

class VbusControl {
 public:
  // Switches a named fault of the device at a port; throws
  // std::invalid_argument for an unknown name.
  using FaultHook = std::function<void(const std::string& port, const std::string& name, bool on)>;

  // Listens on socketPath (created; removed again by the destructor).
  VbusControl(VirtualBus& bus, const std::string& socketPath, FaultHook faults);
  ~VbusControl();
  VbusControl(const VbusControl&) = delete;
  VbusControl& operator=(const VbusControl&) = delete;

  // A command of the host's own: the handler gets the words after the
  // command's name and returns the reply lines that come before "ok"; what
  // it throws is answered as "error <what>". Replaces a command of that name.
  using CommandHandler = std::function<std::string(const std::vector<std::string>& args)>;
  void addCommand(const std::string& name, CommandHandler handler);

  const std::string& path() const { return path_; }

  // Runs one command line and returns the reply lines (ending in "ok\n" or
  // "error ...\n"). Thread-safe as far as the bus is.
  std::string execute(const std::string& line);

 private:
  void serve();
  // The reply of a command added with addCommand; false when none has the name.
  bool runAddedCommand(const std::string& line, std::string* reply);

  VirtualBus& bus_;
  std::string path_;
  FaultHook faults_;
  std::mutex commandsMutex_;
  std::map<std::string, CommandHandler> commands_;
  int listen_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
};

// Sends one command to a control socket and returns the reply (up to and
// including its "ok" or "error" line). Throws std::runtime_error when the
// socket cannot be reached or does not answer within timeoutMs.
std::string vbusControlRequest(const std::string& socketPath, const std::string& line,
                               int timeoutMs = 5000);

// Environment variable through which qelomsr-vbus tells its child the path.
extern const char* const kVbusControlEnv;  // "QELOMSR_VBUS_CONTROL"

// ---- finding a runner from another terminal -------------------------------------
// A runner started without --control-socket listens on <folder>/<pid>.sock,
// the folder being $XDG_RUNTIME_DIR/qelomsr-vbus, or /tmp/qelomsr-vbus-<uid>
// without XDG_RUNTIME_DIR. runnerSocketFolder(true) creates it (mode 0700);
// both refuse (std::runtime_error) a folder that is a link, belongs to
// another user or is open to others.
std::string runnerSocketFolder(bool create);
// The control sockets in the folder whose runners answer now; sockets that
// runners which died left behind are removed.
std::vector<std::string> runningRunnerSockets();
// The socket `qelomsr-vbus ctl` talks to: $QELOMSR_VBUS_CONTROL when set,
// else the only running runner's. Throws std::runtime_error saying what to
// set when there is none or more than one.
std::string controlSocketForCtl();

}  // namespace qsim
