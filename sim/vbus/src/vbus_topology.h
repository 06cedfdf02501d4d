// Port paths, sysfs records and USB descriptors of the virtual bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qsim {

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

// "/devices/usb1/1-2/1-2.4" (below /sys).
std::string sysPathOf(const PortPath& path);

// umockdev's text record of one USB device.
std::string deviceRecord(const PortPath& path, bool hub, int devnum,
                         const std::vector<uint8_t>& descriptors);

// Device plus configuration descriptor of a function: one vendor-specific
// interface with bulk endpoints 0x02 OUT and 0x81 IN of packetSize bytes.
std::vector<uint8_t> functionDescriptors(uint16_t vendorId, uint16_t productId, int packetSize);
// Same for a hub (a root hub when root is true): one interrupt IN endpoint.
std::vector<uint8_t> hubDescriptors(bool root);
uint16_t descriptorVendor(const std::vector<uint8_t>& descriptors);
uint16_t descriptorProduct(const std::vector<uint8_t>& descriptors);

// String descriptor `index` of a device (0: language ids); 0 when absent.
size_t stringDescriptor(const PortPath& path, bool hub, uint16_t productId, unsigned index,
                        uint8_t* out, size_t room);

}  // namespace qsim
