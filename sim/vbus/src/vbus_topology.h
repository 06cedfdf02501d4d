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

// The strings a device or hub answers for string indexes 1, 2 and 3, which
// are also its sysfs attributes manufacturer, product and serial.
struct UsbStrings {
  std::string manufacturer;
  std::string product;
  std::string serial;
};
// A device: "Qelo", its family's product name, its serial number (the port
// path as "VB1-3" when it has none).
UsbStrings functionStrings(const PortPath& path, uint16_t productId, const std::string& serial);
// A root hub or an external hub of the bus.
UsbStrings hubStrings(const PortPath& path);

// umockdev's text record of one USB device with the sysfs attributes a
// kernel gives it (descriptor fields, speed, version, strings, maxchild...).
std::string deviceRecord(const PortPath& path, bool hub, int devnum,
                         const std::vector<uint8_t>& descriptors, const UsbStrings& strings);
// Record of the device's interface 0 ("1-3:1.0"), as lsusb -t lists it.
std::string interfaceRecord(const PortPath& path, const std::vector<uint8_t>& descriptors);
// sysfs path of that interface (below /sys).
std::string interfaceSysPathOf(const PortPath& path);

// Device plus configuration descriptor of a function: one vendor-specific
// interface with bulk endpoints 0x02 OUT and 0x81 IN of packetSize bytes.
std::vector<uint8_t> functionDescriptors(uint16_t vendorId, uint16_t productId, int packetSize);
// Same for a hub (a root hub when root is true): one interrupt IN endpoint.
std::vector<uint8_t> hubDescriptors(bool root);
// The class descriptor (type 0x29) of a USB 2.0 hub with `ports` ports.
std::vector<uint8_t> hubClassDescriptor(int ports);
// Ports of every hub on the bus (the largest port number a path may use).
constexpr int kHubPorts = 15;
uint16_t descriptorVendor(const std::vector<uint8_t>& descriptors);
uint16_t descriptorProduct(const std::vector<uint8_t>& descriptors);

// String descriptor `index` (0: language ids, 1..3: the strings); 0 when absent.
size_t stringDescriptor(const UsbStrings& strings, unsigned index, uint8_t* out, size_t room);

}  // namespace qsim
