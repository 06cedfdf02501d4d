// sysfs records and USB descriptors of the virtual bus (port paths: port_path.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "port_path.h"

namespace qsim {

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
uint16_t descriptorVendor(const std::vector<uint8_t>& descriptors);
uint16_t descriptorProduct(const std::vector<uint8_t>& descriptors);

// String descriptor `index` (0: language ids, 1..3: the strings); 0 when absent.
size_t stringDescriptor(const UsbStrings& strings, unsigned index, uint8_t* out, size_t room);

}  // namespace qsim
