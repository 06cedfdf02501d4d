// Default topology and fixture of device models on the virtual USB bus.
#include <sstream>
#include <stdexcept>

#include "qsim/clock.h"
#include "qsim/config.h"
#include "qsim/model.h"
#include "qsim/timeline.h"
#include "qsim/vbus_commands.h"
#include "qsim/vbus_gtest.h"

namespace qsim::vbustest {

const char* const kKaPort = "1-3";
const char* const kVelPort = "1-2.1";
const char* const kRixPort = "1-2.4";

namespace {

struct DefaultDevice {
  const char* port;
  Family family;
};

const DefaultDevice kDefaults[] = {
    {"1-3", Family::Ka}, {"1-2.1", Family::Vel}, {"1-2.4", Family::Rix}};

}  // namespace

namespace {

std::shared_ptr<SwitchableClock> sharedModelClock() {
  static const auto clock = std::make_shared<SwitchableClock>();
  return clock;
}

std::shared_ptr<Timeline> sharedTimeline() {
  static const auto timeline = std::make_shared<Timeline>(sharedModelClock());
  return timeline;
}

}  // namespace

SwitchableClock& modelClock() { return *sharedModelClock(); }

Timeline& modelTimeline() { return *sharedTimeline(); }

std::shared_ptr<DeviceModel> addModel(const std::string& port, const DeviceConfig& config) {
  auto model = std::make_shared<DeviceModel>(config, sharedTimeline());
  bus().addDevice(port, model);
  if (!waitForPort(port, true)) {
    throw std::runtime_error("vbus fixture: libusb did not list the device at " + port);
  }
  return model;
}

void addDefaultTopology() {
  for (const auto& d : kDefaults) addModel(d.port, defaultConfig(d.family));
}

std::shared_ptr<DeviceModel> modelAt(const std::string& port) {
  return std::dynamic_pointer_cast<DeviceModel>(bus().function(port));
}

void VbusFixture::SetUp() {
  // Fresh devices for every test: a test's faults, signals, state and clock
  // never leak into the next one.
  modelClock().setManual(false);
  modelTimeline().unwireAll();
  for (const auto& d : kDefaults) {
    if (bus().function(d.port)) bus().remove(d.port);
  }
  for (const auto& d : kDefaults) ASSERT_TRUE(waitForPort(d.port, false)) << d.port;
  for (const auto& d : kDefaults) addModel(d.port, defaultConfig(d.family));
}

void VbusFixture::TearDown() {
  for (const auto& port : added_) {
    if (bus().function(port)) bus().remove(port);
  }
  for (const auto& port : added_) EXPECT_TRUE(waitForPort(port, false)) << port;
  added_.clear();
}

DeviceModel& VbusFixture::model(const std::string& port) {
  auto m = modelAt(port);
  if (!m) throw std::invalid_argument("vbus fixture: no device model at " + port);
  return *m;
}

DeviceModel& VbusFixture::add(const std::string& port, const DeviceConfig& config) {
  auto m = addModel(port, config);
  added_.push_back(port);
  return *m;
}

void VbusFixture::unplug(const std::string& port) {
  bus().unplug(port);
  ASSERT_TRUE(waitForPort(port, false)) << "libusb still lists " << port;
}

void VbusFixture::replug(const std::string& port) {
  bus().replug(port);
  ASSERT_TRUE(waitForPort(port, true)) << "libusb does not list " << port;
}

void VbusFixture::manualClock() { modelClock().setManual(true); }

void VbusFixture::advance(std::chrono::nanoseconds step) {
  modelClock().advanceNs(step.count());
  bus().kickAll();
}

std::string VbusFixture::trigger(const std::string& port, const std::string& args) {
  return command("trigger " + port + " " + args);
}

std::string VbusFixture::command(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  const auto commands = deviceCommands(modelsOn(bus()), sharedTimeline());
  const auto it = words.empty() ? commands.end() : commands.find(words[0]);
  if (it == commands.end()) throw std::invalid_argument("no device command: " + line);
  words.erase(words.begin());
  return it->second(words);
}

}  // namespace qsim::vbustest
