// Port paths of the virtual USB bus: parsing, the parent hub, the unique id.
#include "port_path.h"

#include <algorithm>
#include <stdexcept>

namespace qsim {

namespace {

constexpr int kMaxBus = 9;
constexpr int kMaxPort = kHubPorts;
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

}  // namespace qsim
