// sysfs records and USB descriptors of the devices and hubs on the virtual bus.
#include "vbus_topology.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace qsim {

namespace {

void put16(std::vector<uint8_t>& d, unsigned v) {
  d.push_back(static_cast<uint8_t>(v & 0xFF));
  d.push_back(static_cast<uint8_t>(v >> 8));
}

std::vector<uint8_t> descriptors(uint8_t cls, uint8_t protocol, uint16_t vendorId,
                                 uint16_t productId, bool strings,
                                 const std::vector<std::vector<uint8_t>>& endpoints,
                                 uint8_t attributes) {
  std::vector<uint8_t> d = {18, 1, 0x00, 0x02, cls, 0, protocol, 64};
  put16(d, vendorId);
  put16(d, productId);
  put16(d, 0x0100);  // bcdDevice
  d.push_back(strings ? 1 : 0);
  d.push_back(strings ? 2 : 0);
  d.push_back(strings ? 3 : 0);
  d.push_back(1);  // one configuration
  const unsigned total = 9 + 9 + 7 * static_cast<unsigned>(endpoints.size());
  d.insert(d.end(), {9, 2});
  put16(d, total);
  d.insert(d.end(), {1, 1, 0, attributes, 50});  // one interface, configuration 1, 100 mA
  d.insert(d.end(), {9, 4, 0, 0, static_cast<uint8_t>(endpoints.size()),
                     cls == 9 ? uint8_t{9} : uint8_t{0xFF}, 0, 0, 0});
  for (const auto& ep : endpoints) d.insert(d.end(), ep.begin(), ep.end());
  return d;
}

const char* productName(uint16_t productId) {
  switch (productId) {
    case 0x3201:
      return "QeloKa1x";
    case 0x3202:
      return "QeloRix1x";
    case 0x3204:
      return "QeloVel1x";
    default:
      return "Qelo device";
  }
}

}  // namespace

std::string sysPathOf(const PortPath& path) {
  std::string s = "/devices/usb" + std::to_string(path.bus);
  for (size_t depth = 1; depth <= path.ports.size(); ++depth) {
    s += "/" +
         PortPath::make(path.bus, std::vector<int>(path.ports.begin(), path.ports.begin() + depth))
             .text;
  }
  return s;
}

UsbStrings functionStrings(const PortPath& path, uint16_t productId, const std::string& serial) {
  return {"Qelo", productName(productId), serial.empty() ? "VB" + path.text : serial};
}

UsbStrings hubStrings(const PortPath& path) {
  if (path.isRoot()) return {"qelomsr-vbus", "Virtual USB root hub", path.text};
  return {"qelomsr-vbus", "Virtual USB 2.0 hub", "VB" + path.text};
}

namespace {

// Descriptor field helpers (device descriptor, then configuration, then interface 0).
constexpr size_t kConfigAt = 18;
constexpr size_t kInterfaceAt = 18 + 9;

std::string hex2(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%02x", v & 0xFF);
  return b;
}

std::string hex4(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%04x", v & 0xFFFF);
  return b;
}

unsigned u16at(const std::vector<uint8_t>& d, size_t at) {
  return d.size() < at + 2 ? 0 : static_cast<unsigned>(d[at] | (d[at + 1] << 8));
}

unsigned u8at(const std::vector<uint8_t>& d, size_t at) { return d.size() <= at ? 0 : d[at]; }

// The part of the port path below the root hub: "3", "2.4"; "0" for a root hub.
std::string devpathOf(const PortPath& path) {
  if (path.isRoot()) return "0";
  return path.text.substr(path.text.find('-') + 1);
}

// A sysfs attribute of a record; the value ends with a newline, as the
// kernel's files do (escaped in the record).
void addAttribute(std::string& record, const char* name, const std::string& value) {
  record += std::string("A: ") + name + "=" + value + "\\n\n";
}

// Attribute values hold no control characters or escapes in a record.
std::string attributeText(const std::string& text) {
  std::string s;
  for (char c : text) s += (static_cast<unsigned char>(c) < 0x20 || c == '\\') ? '?' : c;
  return s;
}

}  // namespace

std::string deviceRecord(const PortPath& path, bool hub, int devnum,
                         const std::vector<uint8_t>& descriptors, const UsbStrings& strings) {
  char node[32];
  std::snprintf(node, sizeof node, "bus/usb/%03d/%03d", path.bus, devnum);
  char ids[64];
  std::snprintf(ids, sizeof ids, "%x/%x/%x", descriptorVendor(descriptors),
                descriptorProduct(descriptors), u16at(descriptors, 12));
  const unsigned bcdUsb = u16at(descriptors, 2);
  char version[16];
  std::snprintf(version, sizeof version, "%2x.%02x", bcdUsb >> 8, bcdUsb & 0xFF);
  char interfaces[8];
  std::snprintf(interfaces, sizeof interfaces, "%2u", u8at(descriptors, kConfigAt + 4));
  char attributes[8];
  std::snprintf(attributes, sizeof attributes, "%2x", u8at(descriptors, kConfigAt + 7));
  std::string r;
  const auto attr = [&r](const char* name, const std::string& value) {
    addAttribute(r, name, value);
  };
  r += "P: " + sysPathOf(path) + "\n";
  r += "E: SUBSYSTEM=usb\n";
  r += "E: DEVTYPE=usb_device\n";
  r += "E: DEVNAME=/dev/" + std::string(node) + "\n";
  r += "E: BUSNUM=" + std::string(node + 8, 3) + "\n";
  r += "E: DEVNUM=" + std::string(node + 12, 3) + "\n";
  r += "E: PRODUCT=" + std::string(ids) + "\n";
  r += "E: TYPE=" + std::to_string(u8at(descriptors, 4)) + "/" +
       std::to_string(u8at(descriptors, 5)) + "/" + std::to_string(u8at(descriptors, 6)) + "\n";
  r += "E: DRIVER=usb\n";
  attr("busnum", std::to_string(path.bus));
  attr("devnum", std::to_string(devnum));
  attr("devpath", devpathOf(path));
  attr("speed", "480");
  attr("version", version);
  attr("bDeviceClass", hex2(u8at(descriptors, 4)));
  attr("bDeviceSubClass", hex2(u8at(descriptors, 5)));
  attr("bDeviceProtocol", hex2(u8at(descriptors, 6)));
  attr("bMaxPacketSize0", std::to_string(u8at(descriptors, 7)));
  attr("idVendor", hex4(descriptorVendor(descriptors)));
  attr("idProduct", hex4(descriptorProduct(descriptors)));
  attr("bcdDevice", hex4(u16at(descriptors, 12)));
  attr("bNumConfigurations", std::to_string(u8at(descriptors, 17)));
  attr("bConfigurationValue", std::to_string(u8at(descriptors, kConfigAt + 5)));
  attr("bNumInterfaces", interfaces);
  attr("bmAttributes", attributes);
  attr("bMaxPower", std::to_string(2 * u8at(descriptors, kConfigAt + 8)) + "mA");
  attr("configuration", "");
  attr("maxchild", hub ? std::to_string(kHubPorts) : "0");
  attr("manufacturer", attributeText(strings.manufacturer));
  attr("product", attributeText(strings.product));
  attr("serial", attributeText(strings.serial));
  attr("removable", path.isRoot() ? "unknown" : "removable");
  attr("authorized", "1");
  attr("avoid_reset_quirk", "0");
  attr("quirks", "0x0");
  attr("ltm_capable", "no");
  attr("rx_lanes", "1");
  attr("tx_lanes", "1");
  attr("urbnum", "0");
  r += "H: descriptors=";
  char hex[8];
  for (uint8_t b : descriptors) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    r += hex;
  }
  r += "\n";
  return r;
}

std::string interfaceSysPathOf(const PortPath& path) {
  const std::string name = path.isRoot() ? std::to_string(path.bus) + "-0" : path.text;
  return sysPathOf(path) + "/" + name + ":1.0";
}

std::string interfaceRecord(const PortPath& path, const std::vector<uint8_t>& descriptors) {
  const unsigned cls = u8at(descriptors, kInterfaceAt + 5);
  const unsigned sub = u8at(descriptors, kInterfaceAt + 6);
  const unsigned protocol = u8at(descriptors, kInterfaceAt + 7);
  char modalias[96];
  std::snprintf(
      modalias, sizeof modalias, "usb:v%04Xp%04Xd%04Xdc%02Xdsc%02Xdp%02Xic%02Xisc%02Xip%02Xin00",
      descriptorVendor(descriptors), descriptorProduct(descriptors), u16at(descriptors, 12),
      u8at(descriptors, 4), u8at(descriptors, 5), u8at(descriptors, 6), cls, sub, protocol);
  char alternate[8];
  std::snprintf(alternate, sizeof alternate, "%2u", u8at(descriptors, kInterfaceAt + 3));
  std::string r;
  const auto attr = [&r](const char* name, const std::string& value) {
    addAttribute(r, name, value);
  };
  r += "P: " + interfaceSysPathOf(path) + "\n";
  r += "E: SUBSYSTEM=usb\n";
  r += "E: DEVTYPE=usb_interface\n";
  r += "E: INTERFACE=" + std::to_string(cls) + "/" + std::to_string(sub) + "/" +
       std::to_string(protocol) + "\n";
  r += "E: MODALIAS=" + std::string(modalias) + "\n";
  if (cls == 9) r += "E: DRIVER=hub\n";
  attr("bInterfaceNumber", hex2(u8at(descriptors, kInterfaceAt + 2)));
  attr("bAlternateSetting", alternate);
  attr("bNumEndpoints", hex2(u8at(descriptors, kInterfaceAt + 4)));
  attr("bInterfaceClass", hex2(cls));
  attr("bInterfaceSubClass", hex2(sub));
  attr("bInterfaceProtocol", hex2(protocol));
  attr("modalias", modalias);
  attr("supports_autosuspend", "1");
  attr("authorized", "1");
  return r;
}

std::vector<uint8_t> functionDescriptors(uint16_t vendorId, uint16_t productId, int packetSize) {
  const auto lo = static_cast<uint8_t>(packetSize & 0xFF);
  const auto hi = static_cast<uint8_t>(packetSize >> 8);
  return descriptors(0, 0, vendorId, productId, true,
                     {{7, 5, 0x02, 0x02, lo, hi, 0}, {7, 5, 0x81, 0x02, lo, hi, 0}}, 0x80);
}

std::vector<uint8_t> hubDescriptors(bool root) {
  // Root hubs carry the Linux Foundation's ids, external ones a common hub's.
  return descriptors(9, 1, root ? 0x1d6b : 0x05e3, root ? 0x0002 : 0x0608, true,
                     {{7, 5, 0x81, 0x03, 1, 0, 12}}, 0xE0);
}

std::vector<uint8_t> hubClassDescriptor(int ports) {
  const size_t bitmap = static_cast<size_t>(ports + 1 + 7) / 8;
  // Individual port power switching and over-current protection; 100 ms
  // from power-on to power good; 100 mA for the hub controller.
  std::vector<uint8_t> d = {0, 0x29, static_cast<uint8_t>(ports), 0x09, 0x00, 50, 100};
  d.insert(d.end(), bitmap, 0x00);  // DeviceRemovable: all removable
  d.insert(d.end(), bitmap, 0xFF);  // PortPwrCtrlMask (USB 1.1 compatibility)
  d[0] = static_cast<uint8_t>(d.size());
  return d;
}

uint16_t descriptorVendor(const std::vector<uint8_t>& d) {
  return d.size() < 18 ? 0 : static_cast<uint16_t>(d[8] | (d[9] << 8));
}

uint16_t descriptorProduct(const std::vector<uint8_t>& d) {
  return d.size() < 18 ? 0 : static_cast<uint16_t>(d[10] | (d[11] << 8));
}

size_t stringDescriptor(const UsbStrings& strings, unsigned index, uint8_t* out, size_t room) {
  if (room < 4) return 0;
  room = std::min(room, size_t{254});  // bLength is one byte
  const std::string* text = nullptr;
  switch (index) {
    case 0:
      out[0] = 4;
      out[1] = 3;
      out[2] = 0x09;  // English (United States)
      out[3] = 0x04;
      return 4;
    case 1:
      text = &strings.manufacturer;
      break;
    case 2:
      text = &strings.product;
      break;
    case 3:
      text = &strings.serial;
      break;
    default:
      return 0;
  }
  // UTF-16LE of the (ASCII) text.
  const size_t n = std::min(text->size(), (room - 2) / 2);
  out[0] = static_cast<uint8_t>(2 + 2 * n);
  out[1] = 3;
  for (size_t i = 0; i < n; ++i) {
    out[2 + 2 * i] = static_cast<uint8_t>((*text)[i]);
    out[3 + 2 * i] = 0;
  }
  return 2 + 2 * n;
}

}  // namespace qsim
