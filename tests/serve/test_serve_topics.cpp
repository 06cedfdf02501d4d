// The retained topics of a served device, checked against what the emulated
// device holds: status, info, state and the single readings.
#include <cmath>

#include "serve_fixture.h"

namespace qtest {
namespace {

using nlohmann::json;

class Topics : public ServeFixture {};

TEST_F(Topics, StatusInfoStateAndValuesAreRetainedWithWhatTheDeviceHolds) {
  serve(false);
  Probe& live = probe();
  waitOpen(live);
  ASSERT_TRUE(live.waitUntil([&] {
    return live.last(topicOf(qmqtt::kValues) + "/AI-1").has_value() &&
           live.last(topicOf(qmqtt::kValues) + "/DP-0").has_value();
  }));

  // A client that comes later gets everything at once, marked retained.
  Probe& late = probe();
  ASSERT_TRUE(late.waitUntil([&] {
    return late.last(topicOf(qmqtt::kValues) + "/DP-0").has_value() &&
           late.last(topicOf(qmqtt::kInfo)).has_value() &&
           late.last(std::string("qelomsr/") + kNode + "/status").has_value();
  }));
  for (const auto& m : late.all()) EXPECT_TRUE(m.retained) << m.topic;
  EXPECT_EQ(*late.last(std::string("qelomsr/") + kNode + "/status"), "online");

  const json info = json::parse(*late.last(topicOf(qmqtt::kInfo)));
  EXPECT_EQ(info["device"], kDevice);
  EXPECT_EQ(info["family"], "Ka");
  EXPECT_EQ(info["serial"].get<std::string>().find("KA1X-MQTT01") != std::string::npos, true)
      << info["serial"];
  EXPECT_EQ(info["firmware"], "1.4");
  ASSERT_EQ(info["inputs"].size(), 21u);  // 14 single-ended, 7 differential
  EXPECT_EQ(info["inputs"][0]["name"], "AI-0");
  EXPECT_EQ(info["inputs"][0]["unit"], "V");
  std::vector<std::string> ranges;
  for (const auto& r : info["inputs"][0]["ranges"]) ranges.push_back(r["name"]);
  EXPECT_EQ(ranges, (std::vector<std::string>{"10V", "1V", "100mV", "10mV"}));
  EXPECT_EQ(info["inputs"][0]["ranges"][2]["max"], 0.1);  // the shortest decimal of the float
  EXPECT_EQ(info["inputs"][0]["calibrated"], true);
  EXPECT_GT(info["inputs"][0]["ranges"][0]["highest"].get<double>(), 10.0);
  EXPECT_EQ(info["outputs"][0]["calibrated"], true);
  EXPECT_EQ(info["outputs"].size(), 2u);
  EXPECT_EQ(info["ports"].size(), 3u);
  EXPECT_EQ(info["counter"]["name"], "CNT");

  const json state = json::parse(*late.last(topicOf(qmqtt::kState)));
  EXPECT_EQ(state["open"], true);
  EXPECT_EQ(state["acquiring"], false);
  EXPECT_EQ(state["control"], false);
  EXPECT_EQ(state["polling"]["active"], true);

  // The values are what the emulator applies to the inputs and pins.
  const json ai0 = json::parse(*late.last(topicOf(qmqtt::kValues) + "/AI-0"));
  EXPECT_NEAR(ai0["value"].get<double>(), kAi0Volts, 1e-3);
  EXPECT_EQ(ai0["unit"], "V");
  EXPECT_EQ(ai0["clipped"], false);
  EXPECT_EQ(ai0["calibrated"], true);
  const json ai1 = json::parse(*late.last(topicOf(qmqtt::kValues) + "/AI-1"));
  EXPECT_NEAR(ai1["value"].get<double>(), kAi1Volts, 1e-3);
  const json differential = json::parse(*late.last(topicOf(qmqtt::kValues) + "/AI-0-AI-1"));
  EXPECT_EQ(differential["channel"], "AI-0/AI-1");
  EXPECT_NEAR(differential["value"].get<double>(), kAi0Volts - kAi1Volts, 2e-3);
  const json dp0 = json::parse(*late.last(topicOf(qmqtt::kValues) + "/DP-0"));
  EXPECT_EQ(dp0["value"], kDp0Pins);
  EXPECT_EQ(dp0["unit"], "raw");
  EXPECT_FALSE(dp0["time"].get<std::string>().empty());
}

TEST_F(Topics, AnInputAtTheEndOfItsRangeIsMarkedClipped) {
  serve(true);
  Probe& p = probe();
  waitOpen(p);
  // 1.25 V on the 1 V range: the converter reads its limit.
  ASSERT_EQ(call(p, {{"op", "range"}, {"input", "AI-0"}, {"range", "1V"}})["ok"], true);
  ASSERT_TRUE(p.waitUntil([&] {
    const auto text = p.last(topicOf(qmqtt::kValues) + "/AI-0");
    return text && json::parse(*text)["range"]["max"] == 1.0;
  }));
  const json ai0 = json::parse(*p.last(topicOf(qmqtt::kValues) + "/AI-0"));
  EXPECT_EQ(ai0["clipped"], true) << ai0.dump();
  EXPECT_GE(ai0["value"].get<double>(), 1.0);
}

TEST_F(Topics, AnErasedCalibrationIsSaidEverywhereAValueAppears) {
  kaConfig().faults.erasedCalibration = true;
  serve(true);
  Probe& p = probe();
  waitOpen(p);
  const json info = json::parse(*p.last(topicOf(qmqtt::kInfo)));
  EXPECT_EQ(info["inputs"][0]["calibrated"], false);
  EXPECT_EQ(info["inputs"][0]["ranges"][1]["calibrated"], false);
  EXPECT_EQ(info["outputs"][0]["calibrated"], false);
  ASSERT_TRUE(p.waitUntil([&] { return p.last(topicOf(qmqtt::kValues) + "/AI-0").has_value(); }));
  const json ai0 = json::parse(*p.last(topicOf(qmqtt::kValues) + "/AI-0"));
  EXPECT_EQ(ai0["calibrated"], false);
  // The nominal conversion: real, near what is applied, but not calibrated.
  EXPECT_NEAR(ai0["value"].get<double>(), kAi0Volts, 0.05);
  const json read = call(p, {{"op", "read"}, {"channels", {"AI-1"}}});
  EXPECT_EQ(read["values"][0]["calibrated"], false);

  manualClock();
  const json start = call(p, {{"op", "start"}, {"channels", {"AI-0", "DP-0"}}, {"rateHz", 100}});
  ASSERT_EQ(start["ok"], true) << start.dump();
  const uint32_t id = start["stream"];
  advance(std::chrono::milliseconds(500));
  ASSERT_TRUE(p.waitUntil([&] { return framesReceived(p, id) >= 50; }));
  const TestBlock first = blocks(p, id).front();
  EXPECT_EQ(first.flags, (std::vector<int>{1, 0}));  // bit 0: uncalibrated
  EXPECT_TRUE(std::isnan(first.lowest[1]));
  const json state = waitState(p, [](const json& s) { return s.value("acquiring", false); });
  EXPECT_EQ(state["stream"]["channels"][0]["calibrated"], false);
}

TEST_F(Topics, EveryAttachedDeviceIsServedAlsoOnesPluggedInLater) {
  serveEveryDevice();
  Probe& p = probe();
  for (const char* id : {"USB:1-0-3", "USB:1-0-2-1", "USB:1-0-2-4"}) {
    ASSERT_TRUE(p.waitUntil([&] {
      const auto text = p.last(qmqtt::deviceTopic(kNode, id, qmqtt::kState));
      return text && json::parse(*text).value("open", false);
    })) << id;
  }
  EXPECT_EQ(json::parse(*p.last(qmqtt::deviceTopic(kNode, "USB:1-0-2-4", qmqtt::kInfo)))["family"],
            "Rix");
  EXPECT_FALSE(p.last(topicOf(qmqtt::kInfo)).has_value());
  plugKnownKa();
  waitOpen(p);
  EXPECT_EQ(json::parse(*p.last(topicOf(qmqtt::kInfo)))["serial"].get<std::string>().find(
                "KA1X-MQTT01") != std::string::npos,
            true);
}

TEST_F(Topics, AStoppedServerIsOfflineAndItsDevicesClosed) {
  serve(false);
  Probe& p = probe();
  waitOpen(p);
  server().stop();
  ASSERT_TRUE(p.waitUntil([&] {
    return p.last(std::string("qelomsr/") + kNode + "/status") == std::string("offline");
  }));
  const json state = waitState(p, [](const json& s) { return !s.value("open", true); });
  EXPECT_FALSE(state["error"].is_null());
  // The device is free for others again.
  EXPECT_TRUE(qsim::vbustest::waitUntil([&] {
    int count = 0;
    QeloMsrBeginEnumerate(&count, QELOMSR_TYPE_ALL);
    for (int i = 0; i < count; ++i) {
      char ident[QELOMSR_TEXT_BUFFER_SIZE], version[QELOMSR_TEXT_BUFFER_SIZE];
      int type = 0;
      QeloMsrGetIdentifier(i, ident, 0, &type, version);
      if (std::string(ident) == kDevice) return true;
    }
    return false;
  }));
}

}  // namespace
}  // namespace qtest
