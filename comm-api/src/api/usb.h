// USB transport: enumeration of attached devices and the libusb raw device.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "rawdevice.h"

struct libusb_device;
struct libusb_context;

namespace commapi {

struct LibUsbEnumeratedDevice {
  int vendorId = 0;
  int productId = 0;
  std::string uniqueId;             // "USB:<bus>-<port>-...-<port>"
  libusb_device* device = nullptr;  // valid while a copy of the entry (or a raw device made
                                    // from it) exists
  std::shared_ptr<void> lifetime;   // holds the device reference and the libusb context
};

// Every attached USB device that could be opened and whose interface 0 could
// be claimed, in libusb's list order.
std::vector<LibUsbEnumeratedDevice> enumerateUsbDevices();

// A closed raw device for an enumeration entry; OUT endpoint epO, IN endpoint
// epI | 0x80; timeout 1000 ms.
std::shared_ptr<RawDevice> createUsbDeviceByEnumerator(const LibUsbEnumeratedDevice& entry,
                                                       unsigned char epO, unsigned char epI);

// The index-th enumerated device with the given ids, or an empty pointer.
std::shared_ptr<RawDevice> createUsbDeviceByIndex(unsigned long index, unsigned short vendorId,
                                                  unsigned short productId, unsigned char epO,
                                                  unsigned char epI);

// The process-wide libusb context, initialised on first use (also by the first
// enumeration). It is shut down when the library is unloaded, after the last
// device and enumeration entry are gone. Throws std::runtime_error
// "Libusb initialization failed: <error name>"; the next call tries again.
libusb_context* usbContext();

}  // namespace commapi
