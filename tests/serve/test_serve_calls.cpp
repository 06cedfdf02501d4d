// Calls to a served device: answered with what the device holds, refused
// without --allow-control, malformed ones answered with an error while
// nothing changes, conflicting ones from two clients serialised.
#include <cmath>
#include <thread>

#include "serve_fixture.h"

namespace qtest {
namespace {

using nlohmann::json;

class Calls : public ServeFixture {
 protected:
  // What the calls below could change on the emulated device.
  struct Held {
    uint16_t dac0;
    uint8_t enable0, latch0;
    int range0;
    bool counter;
    bool operator==(const Held& o) const {
      return dac0 == o.dac0 && enable0 == o.enable0 && latch0 == o.latch0 && range0 == o.range0 &&
             counter == o.counter;
    }
  };
  Held held() {
    return {device().dacCode(0), device().portOutputEnable(0), device().portLatch(0),
            device().channelRange(0), device().counterRunning()};
  }
};

TEST_F(Calls, WithoutControlEveryChangeIsRefusedAndNothingChanges) {
  serve(false);
  Probe& p = probe();
  waitOpen(p);
  const Held before = held();
  const json changes[] = {
      {{"op", "write"}, {"output", "AO-0"}, {"volts", 2.5}},
      {{"op", "port"}, {"port", "DP-0"}, {"outputEnable", 255}},
      {{"op", "port"}, {"port", "DP-0"}, {"levels", 1}},
      {{"op", "range"}, {"input", "AI-0"}, {"range", "1V"}},
      {{"op", "counter"}, {"enable", true}},
      {{"op", "counter"}, {"reset", true}},
      {{"op", "read"}, {"channels", {"AI-0:1V"}}},
      {{"op", "start"}, {"channels", {"AI-0"}}, {"rateHz", 100}},
      {{"op", "stop"}},
  };
  for (const auto& request : changes) {
    const json answer = call(p, request);
    EXPECT_EQ(answer["ok"], false) << request.dump() << " -> " << answer.dump();
    EXPECT_EQ(answer["class"], QELOMSR_ERROR_CLASS_LOGIC) << answer.dump();
    EXPECT_NE(answer["error"].get<std::string>().find("--allow-control"), std::string::npos);
  }
  EXPECT_TRUE(held() == before);

  // What only reads is served.
  const json read = call(p, {{"op", "read"}, {"channels", {"AI-0", "AI-1:10V"}}});
  ASSERT_EQ(read["ok"], true) << read.dump();
  EXPECT_NEAR(read["values"][0]["value"].get<double>(), kAi0Volts, 1e-3);
  EXPECT_NEAR(read["values"][1]["value"].get<double>(), kAi1Volts, 1e-3);
  const json port = call(p, {{"op", "port"}, {"port", "DP-0"}});
  ASSERT_EQ(port["ok"], true) << port.dump();
  EXPECT_EQ(port["pins"], kDp0Pins);
  EXPECT_EQ(call(p, {{"op", "counter"}})["ok"], true);
}

TEST_F(Calls, MalformedRequestsAreAnsweredWithAnErrorAndChangeNothing) {
  serve(true);
  Probe& p = probe();
  waitOpen(p);
  const Held before = held();
  const std::string callTopic = topicOf(qmqtt::kCall);
  struct Case {
    const char* what;
    std::string topic;
    std::string body;
    int errorClass;
  };
  const Case cases[] = {
      {"not JSON", callTopic, "{\"op\": \"write\", ", QELOMSR_ERROR_CLASS_INVALID_ARGUMENT},
      {"not an object", callTopic, "[1, 2]", QELOMSR_ERROR_CLASS_INVALID_ARGUMENT},
      {"no operation", callTopic, "{\"output\": \"AO-0\"}", QELOMSR_ERROR_CLASS_INVALID_ARGUMENT},
      {"unknown operation", callTopic, "{\"op\": \"format\"}",
       QELOMSR_ERROR_CLASS_INVALID_ARGUMENT},
      {"unknown field", callTopic,
       "{\"op\": \"write\", \"output\": \"AO-0\", \"volts\": 1, \"x\": 1}",
       QELOMSR_ERROR_CLASS_INVALID_ARGUMENT},
      {"wrong type", callTopic, "{\"op\": \"write\", \"output\": \"AO-0\", \"volts\": \"1\"}",
       QELOMSR_ERROR_CLASS_INVALID_ARGUMENT},
      {"nested too deep", callTopic, "{\"op\": \"read\", \"channels\": [[[[[\"AI-0\"]]]]]}",
       QELOMSR_ERROR_CLASS_INVALID_ARGUMENT},
      {"oversized", callTopic,
       "{\"op\": \"read\", \"channels\": [\"" + std::string(20000, 'A') + "\"]}",
       QELOMSR_ERROR_CLASS_INVALID_ARGUMENT},
      {"unknown output", callTopic, "{\"op\": \"write\", \"output\": \"AO-7\", \"volts\": 1}",
       QELOMSR_ERROR_CLASS_INVALID_ARGUMENT},
      {"beyond the range", callTopic, "{\"op\": \"write\", \"output\": \"AO-0\", \"volts\": 12}",
       QELOMSR_ERROR_CLASS_OUT_OF_RANGE},
      {"more lines than the port", callTopic,
       "{\"op\": \"port\", \"port\": \"DP-2\", \"levels\": 255}", QELOMSR_ERROR_CLASS_OUT_OF_RANGE},
      {"mask beyond 8 bits", callTopic, "{\"op\": \"port\", \"port\": \"DP-0\", \"levels\": 256}",
       QELOMSR_ERROR_CLASS_INVALID_ARGUMENT},
      {"unknown range", callTopic, "{\"op\": \"range\", \"input\": \"AI-0\", \"range\": \"5V\"}",
       QELOMSR_ERROR_CLASS_INVALID_ARGUMENT},
      {"rate the device refuses", callTopic,
       "{\"op\": \"start\", \"channels\": [\"AI-0\"], \"rateHz\": 9000000}",
       QELOMSR_ERROR_CLASS_INVALID_ARGUMENT},
      {"rate with trigger sample", callTopic,
       "{\"op\": \"start\", \"channels\": [\"AI-0\"], \"rateHz\": 10, \"trigger\": \"sample\"}",
       QELOMSR_ERROR_CLASS_INVALID_ARGUMENT},
      {"no stream to stop", callTopic, "{\"op\": \"stop\"}", QELOMSR_ERROR_CLASS_LOGIC},
      {"unknown device", qmqtt::deviceTopic(kNode, "USB:9-0-9", qmqtt::kCall), "{\"op\": \"stop\"}",
       QELOMSR_ERROR_CLASS_INVALID_ARGUMENT},
  };
  for (const auto& c : cases) {
    const json answer = p.call(c.topic, c.body);
    ASSERT_FALSE(answer.is_null()) << c.what << ": no answer";
    EXPECT_EQ(answer["ok"], false) << c.what << ": " << answer.dump();
    EXPECT_EQ(answer["class"], c.errorClass) << c.what << ": " << answer.dump();
    EXPECT_FALSE(answer["error"].get<std::string>().empty()) << c.what;
  }
  EXPECT_TRUE(held() == before);
  // The server goes on serving.
  const json read = call(p, {{"op", "read"}, {"channels", {"AI-0"}}});
  EXPECT_EQ(read["ok"], true) << read.dump();
  EXPECT_EQ(waitOpen(p)["acquiring"], false);
}

TEST_F(Calls, ChangesAreAnsweredWithWhatTheDeviceHolds) {
  serve(true);
  Probe& p = probe();
  waitOpen(p);

  const json write = call(p, {{"op", "write"}, {"output", "AO-0"}, {"volts", 2.5}});
  ASSERT_EQ(write["ok"], true) << write.dump();
  EXPECT_EQ(write["output"], "AO-0");
  EXPECT_EQ(write["requestedVolts"], 2.5);
  // The answer is what the converter produces (one step of its 12 bits over
  // 20 V is 4.9 mV), as the emulated output holds it.
  EXPECT_NEAR(device().dacVoltage(0), 2.5, 0.005);
  EXPECT_NEAR(write["volts"].get<double>(), device().dacVoltage(0), 1e-6);
  const json small = call(p, {{"op", "write"}, {"output", "AO-1"}, {"volts", 0.003}});
  EXPECT_NEAR(small["volts"].get<double>(), device().dacVoltage(1), 1e-6) << small.dump();
  EXPECT_GT(std::fabs(small["volts"].get<double>() - 0.003), 1e-4) << "not the converter's step";

  const json port =
      call(p, {{"op", "port"}, {"port", "DP-1"}, {"outputEnable", 0x0F}, {"levels", 0x05}});
  ASSERT_EQ(port["ok"], true) << port.dump();
  EXPECT_EQ(device().portOutputEnable(1), 0x0F);
  EXPECT_EQ(device().portLatch(1), 0x05);
  EXPECT_EQ(port["pins"], device().portPins(1));
  EXPECT_EQ(port["pins"], 0x05);

  const json range = call(p, {{"op", "range"}, {"input", "ai-1"}, {"range", "1V"}});
  ASSERT_EQ(range["ok"], true) << range.dump();
  EXPECT_EQ(range["input"], "AI-1");
  EXPECT_EQ(range["range"]["name"], "1V");
  EXPECT_EQ(device().channelRange(1), 1);
  const json read = call(p, {{"op", "read"}, {"channels", {"AI-1"}}});
  EXPECT_EQ(read["values"][0]["range"]["max"], 1.0);
  EXPECT_NEAR(read["values"][0]["value"].get<double>(), kAi1Volts, 1e-4);

  const json counter = call(p, {{"op", "counter"}, {"enable", true}, {"reset", true}});
  ASSERT_EQ(counter["ok"], true) << counter.dump();
  EXPECT_TRUE(device().counterRunning());
  EXPECT_EQ(counter["enabled"], true);

  // The state keeps what the server set: a later command sees it.
  const json state = waitState(p, [](const json& s) {
    return s.contains("outputs") && s["outputs"]["AO-0"].is_number() &&
           s["ranges"]["AI-1"] == "1V" && s["ports"]["DP-1"]["outputEnable"] == 0x0F &&
           s["counterEnabled"] == true;
  });
  EXPECT_NEAR(state["outputs"]["AO-0"].get<double>(), device().dacVoltage(0), 1e-6);
  EXPECT_EQ(state["ports"]["DP-1"]["levels"], 0x05);
}

TEST_F(Calls, ConflictingCallsOfTwoClientsAreServedOneAfterTheOtherEachAnswered) {
  serve(true);
  Probe& first = probe();
  Probe& second = probe();
  waitOpen(first);
  constexpr int kCalls = 20;
  std::vector<json> answersOfFirst, answersOfSecond;
  auto send = [&](Probe& p, double sign, std::vector<json>& answers) {
    for (int i = 0; i < kCalls; ++i)
      answers.push_back(
          call(p, {{"op", "write"}, {"output", "AO-0"}, {"volts", sign * (1 + i / 8.0)}}));
  };
  std::thread a([&] { send(first, 1.0, answersOfFirst); });
  std::thread b([&] { send(second, -1.0, answersOfSecond); });
  a.join();
  b.join();
  ASSERT_EQ(answersOfFirst.size(), static_cast<size_t>(kCalls));
  ASSERT_EQ(answersOfSecond.size(), static_cast<size_t>(kCalls));
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_EQ(answersOfFirst[i]["requestedVolts"], 1 + i / 8.0) << answersOfFirst[i].dump();
    EXPECT_EQ(answersOfSecond[i]["requestedVolts"], -(1 + i / 8.0)) << answersOfSecond[i].dump();
  }
  // Every request had exactly one answer.
  EXPECT_EQ(first.messages(first.replyTopic()).size(), static_cast<size_t>(kCalls));
  EXPECT_EQ(second.messages(second.replyTopic()).size(), static_cast<size_t>(kCalls));
  // The output holds the value of one of the two last calls.
  const double last = device().dacVoltage(0);
  EXPECT_TRUE(std::fabs(last - (1 + (kCalls - 1) / 8.0)) < 0.005 ||
              std::fabs(last + (1 + (kCalls - 1) / 8.0)) < 0.005)
      << last;
}

}  // namespace
}  // namespace qtest
