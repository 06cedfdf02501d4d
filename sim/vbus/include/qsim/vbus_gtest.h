// GoogleTest support for tests that talk to emulated devices over the
// virtual USB bus in their own process.
//
// Link qsim_vbus_gtest_main (or call initProcess() first thing in your own
// main) and register the executable with qsim_add_vbus_test(). The process
// re-executes itself under umockdev's preload and creates one bus for its
// whole life (the library keeps its libusb context for the life of the
// process); tests add, unplug and replug devices on it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qsim/vbus.h"

struct libusb_device;

namespace qsim {
class DeviceModel;
class SwitchableClock;
class Timeline;
struct DeviceConfig;
}  // namespace qsim

namespace qsim::vbustest {

// Re-executes under the preload when needed, then creates the bus. Must run
// before anything in the process calls libusb_init.
void initProcess(int argc, char** argv);

// The process-wide bus (initProcess must have run).
VirtualBus& bus();

// Bound of the waits below: generous, since a loaded machine may take long
// to deliver a hotplug event or schedule a thread; only a failure waits it out.
constexpr std::chrono::milliseconds kWaitLimit{30000};

// Polls cond every millisecond until it holds or the timeout passes.
bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout = kWaitLimit);

// Port path "1-2.4" of a libusb device (bus number and libusb_get_port_numbers).
std::string portPathOf(libusb_device* device);
// Unique id "USB:1-0-2-4": bus number, then the port numbers of the device
// and its ancestors from the topmost down (libusb_get_parent).
std::string uniqueIdOf(libusb_device* device);

// The port paths libusb currently lists (a private libusb context of the
// fixture; all contexts of the process see hotplug events together).
std::vector<std::string> listedPorts();
// Waits until libusb lists (present) or no longer lists the port path.
bool waitForPort(const std::string& port, bool present,
                 std::chrono::milliseconds timeout = kWaitLimit);

// ---- emulated devices (device models) -------------------------------------

// Ports of the default topology: Ka at root port 3, a hub at root port 2
// with a Vel at its port 1 and a Rix at its port 4.
extern const char* const kKaPort;   // "1-3"   USB:1-0-3
extern const char* const kVelPort;  // "1-2.1" USB:1-0-2-1
extern const char* const kRixPort;  // "1-2.4" USB:1-0-2-4

// The clock of every model addModel creates: real time unless a test
// switches it to manual (VbusFixture::manualClock).
SwitchableClock& modelClock();
// The timeline of every model addModel creates (on modelClock): their
// signals' t = 0 and the wires between them (none at the start of a test).
Timeline& modelTimeline();

// Plugs a device model in and waits until libusb lists it.
std::shared_ptr<DeviceModel> addModel(const std::string& port, const DeviceConfig& config);
// The default topology, each device from qsim::defaultConfig(family).
void addDefaultTopology();
// Model of the device at a port (null when none is a DeviceModel).
std::shared_ptr<DeviceModel> modelAt(const std::string& port);

// Fixture: before each test the default topology is present with fresh
// devices (faults cleared, default configs, the clock on real time); devices
// a test added through add() are removed after it, unplugged ports are
// replugged.
class VbusFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  DeviceModel& model(const std::string& port);
  DeviceModel& ka() { return model(kKaPort); }
  DeviceModel& vel() { return model(kVelPort); }
  DeviceModel& rix() { return model(kRixPort); }
  // Adds a device for this test only.
  DeviceModel& add(const std::string& port, const DeviceConfig& config);
  // Unplug / replug and wait (bounded) until libusb has seen it.
  void unplug(const std::string& port);
  void replug(const std::string& port);
  // Stops the clock of all devices where it stands: from then on it moves
  // only by advance(), so frames, stalls and overflows come exactly when the
  // test makes them.
  void manualClock();
  // Moves the manual clock on and retries the IN transfers devices keep
  // waiting.
  void advance(std::chrono::nanoseconds step);
  // Runs a trigger command of the control channel on a port, as
  // `qelomsr-vbus ctl trigger <port> <args>` would (e.g. trigger(kKaPort,
  // "pulse 5")), and returns its reply lines before "ok"; a bad command
  // throws std::invalid_argument. With manualClock(), pulses after the first
  // play out as advance() moves the clock.
  std::string trigger(const std::string& port, const std::string& args);
  // Runs any device command of the control channel (trigger, signal, wire,
  // unwire, wires: qsim/device_commands.h) as `qelomsr-vbus ctl LINE` would,
  // e.g. command("wire 1-3 1-2.1"); a bad command throws.
  std::string command(const std::string& line);

 private:
  std::vector<std::string> added_;
};

}  // namespace qsim::vbustest
