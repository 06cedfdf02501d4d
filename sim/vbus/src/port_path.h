// Port paths of the virtual USB bus: where a device or hub sits ("1-2.4"),
// as the runner's configuration, its control commands and libusb's topology
// name it.
#pragma once

#include <string>
#include <vector>

namespace qsim {

// Ports of every hub on the bus (the largest port number a path may use).
constexpr int kHubPorts = 15;

// "1-2.4": bus 1, root port 2, hub port 4. The root hub of bus 1 is "usb1"
// (no ports). parse() also takes the unique id form "USB:1-0-2-4".
struct PortPath {
  int bus = 0;
  std::vector<int> ports;
  std::string text;

  static PortPath parse(const std::string& text);  // throws std::invalid_argument
  static PortPath make(int bus, std::vector<int> ports);
  bool isRoot() const { return ports.empty(); }
  PortPath parent() const;
  // True for this path itself and everything behind it.
  bool within(const PortPath& top) const;
  // "USB:<bus>-0-<port>-...": the root hub reports port 0.
  std::string uniqueId() const;
};

}  // namespace qsim
