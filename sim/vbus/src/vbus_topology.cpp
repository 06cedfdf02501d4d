#include "vbus_topology.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace qsim {

namespace {

constexpr int kMaxBus = 9;
constexpr int kMaxPort = 15;
constexpr size_t kMaxTiers = 7;  // hubs may be chained five deep below the root

[[noreturn]] void bad(const std::string& text, const char* why) {
  throw std::invalid_argument("virtual USB bus: bad port path \"" + text + "\": " + why);
}

// Reads a decimal number in [lo, hi] at text[pos], advancing pos.
int number(const std::string& text, size_t& pos, int lo, int hi) {
  if (pos >= text.size() || text[pos] < '0' || text[pos] > '9') bad(text, "number expected");
  int v = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    v = v * 10 + (text[pos] - '0');
    if (v > hi) bad(text, "number out of range");
    ++pos;
  }
  if (v < lo) bad(text, "number out of range");
  return v;
}

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

PortPath PortPath::parse(const std::string& text) {
  PortPath p;
  size_t pos = 0;
  if (text.compare(0, 3, "usb") == 0) {
    pos = 3;
    p.bus = number(text, pos, 1, kMaxBus);
    if (pos != text.size()) bad(text, "trailing characters");
    return make(p.bus, {});
  }
  if (text.compare(0, 4, "USB:") == 0) {
    // Unique id: bus, the root hub's 0, then the ports.
    pos = 4;
    p.bus = number(text, pos, 1, kMaxBus);
    if (pos >= text.size() || text[pos] != '-') bad(text, "'-' expected");
    ++pos;
    if (number(text, pos, 0, 0) != 0) bad(text, "root hub port 0 expected");
    while (pos < text.size()) {
      if (text[pos] != '-') bad(text, "'-' expected");
      ++pos;
      p.ports.push_back(number(text, pos, 1, kMaxPort));
      if (p.ports.size() > kMaxTiers) bad(text, "too many tiers");
    }
    return make(p.bus, p.ports);
  }
  p.bus = number(text, pos, 1, kMaxBus);
  if (pos >= text.size() || text[pos] != '-') bad(text, "'-' expected");
  ++pos;
  p.ports.push_back(number(text, pos, 1, kMaxPort));
  while (pos < text.size()) {
    if (text[pos] != '.') bad(text, "'.' expected");
    ++pos;
    p.ports.push_back(number(text, pos, 1, kMaxPort));
    if (p.ports.size() > kMaxTiers) bad(text, "too many tiers");
  }
  return make(p.bus, p.ports);
}

PortPath PortPath::make(int bus, std::vector<int> ports) {
  PortPath p;
  p.bus = bus;
  p.ports = std::move(ports);
  if (p.ports.empty()) {
    p.text = "usb" + std::to_string(bus);
  } else {
    p.text = std::to_string(bus) + "-";
    for (size_t i = 0; i < p.ports.size(); ++i) {
      if (i > 0) p.text += '.';
      p.text += std::to_string(p.ports[i]);
    }
  }
  return p;
}

PortPath PortPath::parent() const {
  if (isRoot()) throw std::logic_error("virtual USB bus: a root hub has no parent");
  return make(bus, std::vector<int>(ports.begin(), ports.end() - 1));
}

bool PortPath::within(const PortPath& top) const {
  return bus == top.bus && ports.size() >= top.ports.size() &&
         std::equal(top.ports.begin(), top.ports.end(), ports.begin());
}

std::string PortPath::uniqueId() const {
  std::string id = "USB:" + std::to_string(bus) + "-0";
  for (int port : ports) id += "-" + std::to_string(port);
  return id;
}

std::string sysPathOf(const PortPath& path) {
  std::string s = "/devices/usb" + std::to_string(path.bus);
  for (size_t depth = 1; depth <= path.ports.size(); ++depth) {
    s += "/" +
         PortPath::make(path.bus, std::vector<int>(path.ports.begin(), path.ports.begin() + depth))
             .text;
  }
  return s;
}

std::string deviceRecord(const PortPath& path, bool hub, int devnum,
                         const std::vector<uint8_t>& descriptors) {
  char node[32];
  std::snprintf(node, sizeof node, "bus/usb/%03d/%03d", path.bus, devnum);
  char ids[64];
  std::snprintf(ids, sizeof ids, "%x/%x/100", descriptorVendor(descriptors),
                descriptorProduct(descriptors));
  std::string r;
  r += "P: " + sysPathOf(path) + "\n";
  r += "E: SUBSYSTEM=usb\n";
  r += "E: DEVTYPE=usb_device\n";
  r += "E: DEVNAME=/dev/" + std::string(node) + "\n";
  r += "E: BUSNUM=" + std::string(node + 8, 3) + "\n";
  r += "E: DEVNUM=" + std::string(node + 12, 3) + "\n";
  r += "E: PRODUCT=" + std::string(ids) + "\n";
  if (hub) r += "E: DRIVER=usb\n";
  r += "A: busnum=" + std::to_string(path.bus) + "\n";
  r += "A: devnum=" + std::to_string(devnum) + "\n";
  r += "A: speed=480\n";
  r += "A: bConfigurationValue=1\n";
  r += "A: bNumConfigurations=1\n";
  char hex[8];
  std::snprintf(hex, sizeof hex, "%04x", descriptorVendor(descriptors));
  r += "A: idVendor=" + std::string(hex) + "\n";
  std::snprintf(hex, sizeof hex, "%04x", descriptorProduct(descriptors));
  r += "A: idProduct=" + std::string(hex) + "\n";
  r += "H: descriptors=";
  for (uint8_t b : descriptors) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    r += hex;
  }
  r += "\n";
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
  return descriptors(9, 1, root ? 0x1d6b : 0x05e3, root ? 0x0002 : 0x0608, false,
                     {{7, 5, 0x81, 0x03, 1, 0, 12}}, 0xE0);
}

uint16_t descriptorVendor(const std::vector<uint8_t>& d) {
  return d.size() < 18 ? 0 : static_cast<uint16_t>(d[8] | (d[9] << 8));
}

uint16_t descriptorProduct(const std::vector<uint8_t>& d) {
  return d.size() < 18 ? 0 : static_cast<uint16_t>(d[10] | (d[11] << 8));
}

size_t stringDescriptor(const PortPath& path, bool hub, uint16_t productId, unsigned index,
                        uint8_t* out, size_t room) {
  if (hub || room < 4) return 0;
  room = std::min(room, size_t{254});  // bLength is one byte
  std::string text;
  switch (index) {
    case 0:
      out[0] = 4;
      out[1] = 3;
      out[2] = 0x09;  // English (United States)
      out[3] = 0x04;
      return 4;
    case 1:
      text = "Qelo";
      break;
    case 2:
      text = productName(productId);
      break;
    case 3:
      text = "VB" + path.text;
      break;
    default:
      return 0;
  }
  const size_t n = std::min(text.size(), (room - 2) / 2);
  out[0] = static_cast<uint8_t>(2 + 2 * n);
  out[1] = 3;
  for (size_t i = 0; i < n; ++i) {
    out[2 + 2 * i] = static_cast<uint8_t>(text[i]);
    out[3 + 2 * i] = 0;
  }
  return 2 + 2 * n;
}

}  // namespace qsim
