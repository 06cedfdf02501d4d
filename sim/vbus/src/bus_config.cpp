// The runner's configuration: topology and wires from JSON, checked before
// anything is built.
#include "qsim/bus_config.h"

#include <fstream>
#include <map>
#include <stdexcept>

#include "port_path.h"

namespace qsim {

namespace {

using nlohmann::json;

[[noreturn]] void bad(const std::string& what) { throw std::invalid_argument(what); }

std::string portOf(const json& j, const std::string& where) {
  if (!j.is_string()) bad(where + ": a port is a string such as \"1-2.4\"");
  return PortPath::parse(j.get<std::string>()).text;
}

BusPlacement placementFrom(const json& e) {
  if (!e.is_object()) bad("a topology entry must be an object");
  BusPlacement p;
  bool haveDevice = false;
  for (auto it = e.begin(); it != e.end(); ++it) {
    const std::string& k = it.key();
    if (k == "port" && it->is_string()) {
      p.port = portOf(*it, "topology");
    } else if (k == "hub" && it->is_boolean()) {
      p.hub = it->get<bool>();
    } else if (k == "device" && it->is_object()) {
      p.config = configFromJson(*it);
      haveDevice = true;
    } else {
      bad("bad key '" + k + "' in a topology entry");
    }
  }
  if (p.port.empty()) bad("a topology entry needs a 'port'");
  if (p.hub == haveDevice) bad("entry " + p.port + " needs either a 'device' or \"hub\": true");
  if (!p.hub && PortPath::parse(p.port).isRoot()) bad("a device needs a port, not " + p.port);
  return p;
}

BusWire wireFrom(const json& e, const std::map<std::string, bool>& isHub) {
  if (!e.is_object() || !e.contains("from") || !e.contains("to") || e.size() != 2) {
    bad("a wire is {\"from\": \"1-3\", \"to\": [\"1-2.1\", ...]}");
  }
  BusWire w;
  w.from = portOf(e["from"], "wire");
  const json& to = e["to"];
  if (to.is_array()) {
    for (const json& p : to) w.to.push_back(portOf(p, "wire from " + w.from));
  } else {
    w.to.push_back(portOf(to, "wire from " + w.from));
  }
  std::vector<std::string> ends = w.to;
  ends.push_back(w.from);
  for (const std::string& port : ends) {
    const auto it = isHub.find(port);
    if (it == isHub.end())
      bad("wire from " + w.from + ": no device at " + port + " in the topology");
    if (it->second)
      bad("wire from " + w.from + ": " + port + " is a hub, which has no trigger line");
  }
  return w;
}

}  // namespace

BusConfig defaultBusConfig() {
  return {{{"1-3", false, defaultConfig(Family::Ka)},
           {"1-2.1", false, defaultConfig(Family::Vel)},
           {"1-2.4", false, defaultConfig(Family::Rix)}},
          {}};
}

BusConfig busConfigFromJson(const json& j) {
  if (!j.is_object()) bad("the top level must be an object");
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (it.key() != "topology" && it.key() != "wires") bad("unknown key '" + it.key() + "'");
  }
  if (!j.contains("topology") || !j["topology"].is_array()) bad("'topology' must be a list");
  BusConfig c;
  std::map<std::string, bool> isHub;  // port -> hub
  for (const json& e : j["topology"]) {
    BusPlacement p = placementFrom(e);
    if (!isHub.emplace(p.port, p.hub).second) bad("port " + p.port + " appears twice");
    c.topology.push_back(std::move(p));
  }
  // Hubs along a path are implied; a device cannot stand in for one.
  for (const BusPlacement& p : c.topology) {
    for (PortPath up = PortPath::parse(p.port); !up.isRoot();) {
      up = up.parent();
      const auto it = isHub.find(up.text);
      if (it != isHub.end() && !it->second) {
        bad(p.port + " sits behind " + up.text + ", which is a device, not a hub");
      }
    }
  }
  if (j.contains("wires")) {
    if (!j["wires"].is_array()) bad("'wires' must be a list");
    for (const json& e : j["wires"]) {
      BusWire w = wireFrom(e, isHub);
      for (const BusWire& other : c.wires) {
        if (other.from == w.from) {
          bad(w.from + " is the source of two wires: list all its receivers in one");
        }
      }
      c.wires.push_back(std::move(w));
    }
  }
  return c;
}

BusConfig busConfigFromFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  try {
    return busConfigFromJson(json::parse(in));
  } catch (const json::exception& e) {
    throw std::invalid_argument(path + ": " + e.what());
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(path + ": " + e.what());
  }
}

void makeWires(Timeline& timeline, const std::vector<BusWire>& wires,
               const std::function<DeviceModel*(const std::string& port)>& deviceAt) {
  for (const BusWire& w : wires) {
    std::vector<WireEnd> to;
    for (const std::string& port : w.to) to.push_back({port, deviceAt(port)});
    try {
      timeline.wire({w.from, deviceAt(w.from)}, to);
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument("wire from " + w.from + ": " + e.what());
    }
  }
}

}  // namespace qsim
