// Control channel of a virtual USB bus: a UNIX stream socket accepting one
// command per line, so that a program running on the bus can unplug, replug
// and break its devices at run time.
//
//   list                      one line per port, then "ok"
//   unplug <port>             e.g. "unplug 1-3"
//   replug <port>
//   kick <port>               retry the IN transfers the device keeps waiting
//   fault <port> <name> on|off  e.g. "fault 1-3 stall on" (names: see sim/README.md)
//   state <port>              what the device's outputs hold now, one line each, then "ok"
//
// A port is a port path ("1-2.4") or a unique id ("USB:1-0-2-4"). Every
// command is answered with "ok" or "error <text>", each on a line of its own.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "qsim/vbus.h"

namespace qsim {

class VbusControl {
 public:
  // Switches a named fault of the device at a port; throws
  // std::invalid_argument for an unknown name.
  using FaultHook = std::function<void(const std::string& port, const std::string& name, bool on)>;
  // Describes the output state of the device at a port (lines ending in
  // '\n'); throws std::invalid_argument when there is no device model.
  using StateHook = std::function<std::string(const std::string& port)>;

  // Listens on socketPath (created; removed again by the destructor).
  VbusControl(VirtualBus& bus, const std::string& socketPath, FaultHook faults,
              StateHook state = nullptr);
  ~VbusControl();
  VbusControl(const VbusControl&) = delete;
  VbusControl& operator=(const VbusControl&) = delete;

  const std::string& path() const { return path_; }

  // Runs one command line and returns the reply lines (ending in "ok\n" or
  // "error ...\n"). Thread-safe as far as the bus is.
  std::string execute(const std::string& line);

 private:
  void serve();

  VirtualBus& bus_;
  std::string path_;
  FaultHook faults_;
  StateHook state_;
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

}  // namespace qsim
