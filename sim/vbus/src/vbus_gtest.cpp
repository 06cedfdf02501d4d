// The process-wide bus of a test executable and libusb-side waiting helpers.
#include "qsim/vbus_gtest.h"

#include <libusb.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace qsim::vbustest {

namespace {

std::unique_ptr<VirtualBus>& busSlot() {
  static std::unique_ptr<VirtualBus> bus;
  return bus;
}

libusb_context* context() {
  static libusb_context* ctx = [] {
    libusb_context* c = nullptr;
    if (libusb_init(&c) != 0) throw std::runtime_error("vbus fixture: libusb_init failed");
    return c;
  }();
  return ctx;
}

}  // namespace

void initProcess(int /*argc*/, char** argv) {
  reexecUnderPreload(argv);
  if (!busSlot()) busSlot() = std::make_unique<VirtualBus>();
}

VirtualBus& bus() {
  if (!busSlot()) throw std::logic_error("vbus fixture: initProcess() has not run");
  return *busSlot();
}

bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string portPathOf(libusb_device* device) {
  uint8_t ports[8];
  const int n = libusb_get_port_numbers(device, ports, sizeof ports);
  const int bus = libusb_get_bus_number(device);
  if (n <= 0) return "usb" + std::to_string(bus);
  std::string s = std::to_string(bus) + "-";
  for (int i = 0; i < n; ++i) {
    if (i > 0) s += '.';
    s += std::to_string(ports[i]);
  }
  return s;
}

std::string uniqueIdOf(libusb_device* device) {
  std::vector<int> chain;
  for (libusb_device* d = device; d != nullptr; d = libusb_get_parent(d)) {
    chain.push_back(libusb_get_port_number(d));
  }
  std::string id = "USB:" + std::to_string(libusb_get_bus_number(device)) + "-";
  for (size_t i = chain.size(); i-- > 0;) {
    id += std::to_string(chain[i]);
    if (i > 0) id += "-";
  }
  return id;
}

std::vector<std::string> listedPorts() {
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(context(), &list);
  std::vector<std::string> out;
  for (ssize_t i = 0; i < n; ++i) out.push_back(portPathOf(list[i]));
  if (n >= 0) libusb_free_device_list(list, 1);
  return out;
}

bool waitForPort(const std::string& port, bool present, std::chrono::milliseconds timeout) {
  return waitUntil(
      [&] {
        const auto ports = listedPorts();
        const bool listed = std::find(ports.begin(), ports.end(), port) != ports.end();
        return listed == present;
      },
      timeout);
}

}  // namespace qsim::vbustest
