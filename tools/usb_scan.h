// The Qelo devices on the USB buses as libusb sees them, read without the
// library: device descriptors, the location identifier and the USB serial
// string. Nothing here writes to a device or opens it through the library
// (which would reset it), so listing and choosing a device change nothing.
#pragma once

#include <string>
#include <vector>

namespace qcli {

struct UsbDevice {
  std::string identifier;     // as the library builds it: USB:1-0-3, USB:1-0-2-4
  int productId = 0;          // 0x3201 Ka, 0x3202 Rix, 0x3204 Vel
  std::string serial;         // the USB serial string; empty when it could not be read
  bool accessDenied = false;  // the device node could not be opened (permissions)
};

struct UsbScan {
  std::vector<UsbDevice> devices;  // in the order of their identifiers
  std::string error;               // non-empty: libusb could not list the buses
};

// Lists the devices with a Qelo product id on every bus.
UsbScan scanUsb();

// Why the library may have left a device out of its enumeration: claims
// interface 0 briefly and releases it, as the enumeration's probe does.
enum class ClaimProbe {
  Free,      // claimed and released: the device is free but did not answer
  Busy,      // another program holds the interface
  NoAccess,  // no permission to open the device node
  Gone,      // no longer on the bus
  Failed,    // another libusb failure
};
ClaimProbe probeClaim(const std::string& identifier);

// True when a orders before b: by bus, then port by port (USB:1-0-3 before
// USB:1-0-10 and before USB:2-0-1).
bool identifierLess(const std::string& a, const std::string& b);

}  // namespace qcli
