// The runner's configuration: where devices and hubs sit on the virtual USB
// bus, and the wires between the devices' trigger lines (sim/README.md).
//
//   {"topology": [{"port": "1-3", "device": {"family": "ka", "clockPpm": 20}},
//                 {"port": "1-2", "hub": true},
//                 {"port": "1-2.1", "device": {"family": "vel"}}],
//    "wires": [{"from": "1-3", "to": ["1-2.1"]}]}
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "qsim/config.h"
#include "qsim/timeline.h"

namespace qsim {

struct BusPlacement {
  std::string port;  // canonical port path: "1-2.4"
  bool hub = false;
  DeviceConfig config;  // of a device
};

struct BusWire {
  std::string from;             // canonical port paths
  std::vector<std::string> to;  //
};

struct BusConfig {
  std::vector<BusPlacement> topology;
  std::vector<BusWire> wires;
};

// A Ka at 1-3, a hub at 1-2 with a Vel at 1-2.1 and a Rix at 1-2.4, each
// from defaultConfig; no wires.
BusConfig defaultBusConfig();

// Throws std::invalid_argument naming what is wrong: unknown keys, wrong
// types, bad or repeated ports, a device behind a device, a wire whose ends
// are no devices of the topology. Ports may be given as unique ids
// ("USB:1-0-3"); they come back as port paths.
BusConfig busConfigFromJson(const nlohmann::json& json);
// The same for a file; its name leads every message. Also throws
// std::runtime_error when it cannot be read.
BusConfig busConfigFromFile(const std::string& path);

// Makes the wires on the timeline of the devices; deviceAt finds the model
// at a port. Throws std::invalid_argument for wires the timeline refuses
// (a device wired to itself, a line with two sources, a chain), naming the
// wire.
void makeWires(Timeline& timeline, const std::vector<BusWire>& wires,
               const std::function<DeviceModel*(const std::string& port)>& deviceAt);

}  // namespace qsim
