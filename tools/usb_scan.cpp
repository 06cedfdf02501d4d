#include "usb_scan.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace qcli {

namespace {

constexpr int kProductIds[] = {0x3201, 0x3202, 0x3204};  // Ka, Rix, Vel

// The library's unique id: "USB:" bus "-", then the port numbers from the
// topmost device (the root hub, port 0) down to the device itself.
std::string identifierOf(libusb_device* device) {
  std::vector<int> ports;
  for (libusb_device* d = device; d != nullptr; d = libusb_get_parent(d))
    ports.push_back(libusb_get_port_number(d));
  std::string text = "USB:" + std::to_string(libusb_get_bus_number(device)) + "-";
  for (size_t i = ports.size(); i-- > 0;) text += std::to_string(ports[i]) + (i > 0 ? "-" : "");
  return text;
}

bool isQelo(const libusb_device_descriptor& d) {
  return std::find(std::begin(kProductIds), std::end(kProductIds), d.idProduct) !=
         std::end(kProductIds);
}

// Numbers of an identifier "USB:1-0-2-4": 1, 0, 2, 4.
std::vector<long> numbersOf(const std::string& identifier) {
  std::vector<long> numbers;
  const char* p = identifier.c_str();
  while (*p != '\0') {
    if (*p >= '0' && *p <= '9') {
      char* end = nullptr;
      numbers.push_back(std::strtol(p, &end, 10));
      p = end;
    } else {
      ++p;
    }
  }
  return numbers;
}

// Calls f(device, descriptor, identifier) for every Qelo device until it
// returns true; returns a libusb error name when the buses could not be
// listed. Each call has a libusb context of its own, released at its end, so
// that nothing of the tool's looks stays behind.
template <typename F>
std::string forEachQelo(F&& f) {
  libusb_context* ctx = nullptr;
  const int rc = libusb_init(&ctx);
  if (rc != 0) return libusb_error_name(rc);
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  if (n < 0) {
    libusb_exit(ctx);
    return libusb_error_name(static_cast<int>(n));
  }
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(list[i], &descriptor) != 0 || !isQelo(descriptor)) continue;
    if (f(list[i], descriptor, identifierOf(list[i]))) break;
  }
  libusb_free_device_list(list, 1);
  libusb_exit(ctx);
  return "";
}

}  // namespace

bool identifierLess(const std::string& a, const std::string& b) {
  return numbersOf(a) < numbersOf(b);
}

UsbScan scanUsb() {
  UsbScan scan;
  scan.error = forEachQelo([&](libusb_device* device, const libusb_device_descriptor& descriptor,
                               const std::string& identifier) {
    UsbDevice found;
    found.identifier = identifier;
    found.productId = descriptor.idProduct;
    libusb_device_handle* handle = nullptr;
    const int rc = libusb_open(device, &handle);
    if (rc == LIBUSB_ERROR_ACCESS) found.accessDenied = true;
    if (rc == 0) {
      unsigned char text[256] = {0};
      if (descriptor.iSerialNumber != 0 &&
          libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                             static_cast<int>(sizeof text)) > 0)
        found.serial = reinterpret_cast<const char*>(text);
      libusb_close(handle);
    }
    scan.devices.push_back(found);
    return false;
  });
  std::sort(scan.devices.begin(), scan.devices.end(), [](const UsbDevice& a, const UsbDevice& b) {
    return identifierLess(a.identifier, b.identifier);
  });
  return scan;
}

ClaimProbe probeClaim(const std::string& identifier) {
  ClaimProbe result = ClaimProbe::Gone;
  const std::string error = forEachQelo(
      [&](libusb_device* device, const libusb_device_descriptor&, const std::string& id) {
        if (id != identifier) return false;
        libusb_device_handle* handle = nullptr;
        int rc = libusb_open(device, &handle);
        if (rc == 0) {
          rc = libusb_claim_interface(handle, 0);
          if (rc == 0) libusb_release_interface(handle, 0);
          libusb_close(handle);
        }
        switch (rc) {
          case 0:
            result = ClaimProbe::Free;
            break;
          case LIBUSB_ERROR_BUSY:
            result = ClaimProbe::Busy;
            break;
          case LIBUSB_ERROR_ACCESS:
            result = ClaimProbe::NoAccess;
            break;
          case LIBUSB_ERROR_NO_DEVICE:
          case LIBUSB_ERROR_NOT_FOUND:
            result = ClaimProbe::Gone;
            break;
          default:
            result = ClaimProbe::Failed;
        }
        return true;
      });
  return error.empty() ? result : ClaimProbe::Failed;
}

}  // namespace qcli
