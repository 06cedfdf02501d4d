// Fuzz target: the runner's configuration and the device commands of its
// control channel, both text from outside.
//
// Even first byte: the rest is a bus configuration (topology and wires). An
// accepted one is built: its devices on one timeline of a manual clock, then
// its wires. Only std::invalid_argument may refuse it; every wire made must
// join devices of the topology, and no line may get two sources.
//
// Odd first byte: the rest is lines of device commands (trigger, signal,
// wire, unwire, wires) for a Ka at 1-3, a Vel at 1-2.1 and a Rix at 1-2.4 on
// one timeline; the clock moves a little after every line. A command either
// answers lines that end in a newline or is refused with
// std::invalid_argument; a signal it reports sets that same signal again.
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "qsim/bus_config.h"
#include "qsim/clock.h"
#include "qsim/device_commands.h"
#include "qsim/model.h"
#include "qsim/timeline.h"

namespace {

constexpr size_t kMaxDevices = 16;  // bounds the work of one input
constexpr size_t kMaxLines = 64;

// No line may get two sources, and every end must be a device of the set.
void checkWires(const qsim::Timeline& timeline, const std::set<std::string>& devices) {
  std::set<std::string> sources, receivers;
  for (const qsim::WireState& w : timeline.wires()) {
    if (devices.count(w.from) == 0) qfuzz::fail("a wire from a port without a device");
    if (!sources.insert(w.from).second) qfuzz::fail("a device is the source of two wires");
    for (const std::string& r : w.to) {
      if (devices.count(r) == 0) qfuzz::fail("a wire to a port without a device");
      if (!receivers.insert(r).second) qfuzz::fail("a line with two sources");
    }
  }
  for (const std::string& s : sources) {
    if (receivers.count(s) != 0) qfuzz::fail("a chain of wires");
  }
}

void configuration(const uint8_t* data, size_t size) {
  const nlohmann::json json = nlohmann::json::parse(data, data + size, nullptr, false);
  if (json.is_discarded()) return;
  qsim::BusConfig config;
  try {
    config = qsim::busConfigFromJson(json);
  } catch (const std::invalid_argument&) {
    return;
  }
  if (config.topology.size() > kMaxDevices) return;
  auto timeline = std::make_shared<qsim::Timeline>(std::make_shared<qsim::ManualClock>());
  std::map<std::string, std::shared_ptr<qsim::DeviceModel>> models;
  for (const qsim::BusPlacement& p : config.topology) {
    if (p.hub) continue;
    try {
      models[p.port] = std::make_shared<qsim::DeviceModel>(p.config, timeline);
    } catch (const std::invalid_argument&) {
      return;
    }
  }
  std::set<std::string> devices;
  for (const auto& [port, model] : models) devices.insert(port);
  try {
    qsim::makeWires(*timeline, config.wires, [&models](const std::string& port) {
      const auto it = models.find(port);
      if (it == models.end()) qfuzz::fail("a wire the configuration let through has no device");
      return it->second.get();
    });
  } catch (const std::invalid_argument&) {
  }
  checkWires(*timeline, devices);
}

void commands(const uint8_t* data, size_t size) {
  auto clock = std::make_shared<qsim::ManualClock>();
  auto timeline = std::make_shared<qsim::Timeline>(clock);
  std::map<std::string, std::shared_ptr<qsim::DeviceModel>> models = {
      {"1-3", std::make_shared<qsim::DeviceModel>(qsim::defaultConfig(qsim::Family::Ka), timeline)},
      {"1-2.1",
       std::make_shared<qsim::DeviceModel>(qsim::defaultConfig(qsim::Family::Vel), timeline)},
      {"1-2.4",
       std::make_shared<qsim::DeviceModel>(qsim::defaultConfig(qsim::Family::Rix), timeline)}};
  const qsim::ModelLookup lookup = [&models](const std::string& port) {
    const auto it = models.find(port);
    return it == models.end() ? nullptr : it->second;
  };
  const auto table = qsim::deviceCommands(lookup, timeline);
  const std::set<std::string> devices = {"1-3", "1-2.1", "1-2.4"};
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  size_t lines = 0;
  for (std::string line; std::getline(in, line) && lines < kMaxLines; ++lines) {
    std::istringstream split(line);
    std::vector<std::string> words;
    for (std::string w; split >> w;) words.push_back(w);
    if (words.empty()) continue;
    const auto command = table.find(words[0]);
    if (command == table.end()) continue;
    std::string reply;
    try {
      reply = command->second({words.begin() + 1, words.end()});
    } catch (const std::invalid_argument&) {
      continue;
    }
    if (!reply.empty() && reply.back() != '\n') qfuzz::fail("a reply without its newline");
    if (reply.rfind("ok\n", 0) == 0 || reply.rfind("error ", 0) == 0 ||
        reply.find("\nok\n") != std::string::npos || reply.find("\nerror ") != std::string::npos) {
      qfuzz::fail("a reply line that reads as the end of the reply");
    }
    if (words[0] == "signal" && words.size() > 3) {
      // "AI-0 sine amplitude=..." sets the same signal again.
      const std::string first = reply.substr(0, reply.find('\n'));
      std::istringstream again(first);
      std::vector<std::string> args = {words[1]};
      for (std::string w; again >> w;) args.push_back(w);
      if (command->second(args) != reply) qfuzz::fail("a reported signal does not set itself");
    }
    checkWires(*timeline, devices);
    clock->advanceNs(static_cast<int64_t>(line.size()) * 1000);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  try {
    if ((data[0] & 1) == 0) {
      configuration(data + 1, size - 1);
    } else {
      commands(data + 1, size - 1);
    }
  } catch (const std::exception& e) {
    qfuzz::fail(e.what());
  }
  return 0;
}
