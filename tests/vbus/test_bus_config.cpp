// The runner's configuration: topology and trigger wires read from JSON, and
// the clear errors for what cannot be built.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "qsim/bus_config.h"
#include "qsim/model.h"
#include "qsim/timeline.h"

namespace {

using nlohmann::json;

const char* const kTopology = R"([
  {"port": "1-3", "device": {"family": "ka", "clockPpm": 50}},
  {"port": "1-2", "hub": true},
  {"port": "1-2.1", "device": {"family": "vel"}},
  {"port": "USB:1-0-2-4", "device": {"family": "rix", "clockPpm": -20.5}}])";

json config(const std::string& wires) {
  return json::parse(std::string(R"({"topology": )") + kTopology + R"(, "wires": )" + wires + "}");
}

// The models of a configuration on one timeline, wired as it says.
struct Built {
  std::shared_ptr<qsim::Timeline> timeline = std::make_shared<qsim::Timeline>();
  std::map<std::string, std::shared_ptr<qsim::DeviceModel>> models;

  explicit Built(const qsim::BusConfig& c) {
    for (const qsim::BusPlacement& p : c.topology) {
      if (!p.hub) models[p.port] = std::make_shared<qsim::DeviceModel>(p.config, timeline);
    }
    qsim::makeWires(*timeline, c.wires,
                    [this](const std::string& port) { return models.at(port).get(); });
  }
};

TEST(BusConfig, ReadsTopologyWiresAndClocks) {
  const qsim::BusConfig c =
      qsim::busConfigFromJson(config(R"([{"from": "USB:1-0-3", "to": ["1-2.1", "1-2.4"]}])"));
  ASSERT_EQ(c.topology.size(), 4u);
  EXPECT_EQ(c.topology[3].port, "1-2.4");
  EXPECT_EQ(c.topology[3].config.clockPpm, -20.5);
  ASSERT_EQ(c.wires.size(), 1u);
  EXPECT_EQ(c.wires[0].from, "1-3");
  EXPECT_EQ(c.wires[0].to, (std::vector<std::string>{"1-2.1", "1-2.4"}));
  Built b(c);
  const auto w = b.timeline->wires();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].to, c.wires[0].to);
  EXPECT_EQ(b.timeline->sourceOf(*b.models["1-2.4"]), "1-3");
  // A single receiver may be given without a list; no wires at all is fine.
  EXPECT_EQ(qsim::busConfigFromJson(config(R"([{"from": "1-3", "to": "1-2.1"}])")).wires[0].to,
            std::vector<std::string>{"1-2.1"});
  EXPECT_TRUE(qsim::busConfigFromJson(json::parse(R"({"topology": []})")).wires.empty());
}

TEST(BusConfig, RefusesWhatCannotBeBuiltAndSaysWhy) {
  struct Case {
    std::string json;
    const char* says;
  } cases[] = {
      {R"({"topology": [], "wire": []})", "unknown key 'wire'"},
      {R"({"wires": []})", "'topology' must be a list"},
      {R"({"topology": [{"port": "1-3", "hub": true}, {"port": "1-3", "hub": true}]})",
       "port 1-3 appears twice"},
      {R"({"topology": [{"port": "1-3", "device": {}}, {"port": "1-3.2", "device": {}}]})",
       "1-3.2 sits behind 1-3, which is a device, not a hub"},
      {R"({"topology": [{"port": "usb1", "device": {}}]})", "a device needs a port"},
      {R"({"topology": [{"port": "1-16", "device": {}}]})", "bad port path"},
      {R"({"topology": [{"port": "1-3", "device": {"clockPpm": 1000.5}}]})",
       "clockPpm must be within -1000..1000"},
      {config(R"({"from": "1-3", "to": ["1-2.1"]})").dump(), "'wires' must be a list"},
      {config(R"([{"from": "1-3"}])").dump(), "a wire is {\"from\""},
      {config(R"([{"from": "1-3", "to": ["1-2.1"], "delayNs": 5}])").dump(), "a wire is"},
      {config(R"([{"from": "1-5", "to": ["1-2.1"]}])").dump(), "no device at 1-5"},
      {config(R"([{"from": "1-3", "to": ["1-2"]}])").dump(), "1-2 is a hub"},
      {config(R"([{"from": "1-3", "to": [3]}])").dump(), "a port is a string"},
      {config(R"([{"from": "1-3", "to": ["1-2.1"]}, {"from": "1-3", "to": ["1-2.4"]}])").dump(),
       "1-3 is the source of two wires"},
  };
  for (const Case& c : cases) {
    try {
      qsim::busConfigFromJson(json::parse(c.json));
      ADD_FAILURE() << "accepted: " << c.json;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
  }
}

TEST(BusConfig, WiresTheTimelineRefusesAreNamed) {
  struct Case {
    const char* wires;
    const char* says;
  } cases[] = {
      {R"([{"from": "1-3", "to": ["1-3"]}])", "wire from 1-3: 1-3 is wired to itself"},
      {R"([{"from": "1-3", "to": []}])", "wire from 1-3: a wire from 1-3 needs a receiver"},
      {R"([{"from": "1-3", "to": ["1-2.1"]}, {"from": "1-2.4", "to": ["1-2.1"]}])",
       "1-2.1 already receives on the wire from 1-3: a trigger line takes one source"},
      {R"([{"from": "1-3", "to": ["1-2.1"]}, {"from": "1-2.1", "to": ["1-2.4"]}])",
       "1-2.1 receives on the wire from 1-3: wire its receivers to 1-3 instead"},
  };
  for (const Case& c : cases) {
    const qsim::BusConfig parsed = qsim::busConfigFromJson(config(c.wires));
    try {
      Built b(parsed);
      ADD_FAILURE() << "wired: " << c.wires;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
  }
}

}  // namespace
