// Faults around a served device with a real broker: the broker away when the
// server starts, the broker stopped and started again during a stream
// (nothing lost, or every lost frame visible), a device unplugged and plugged
// in again, a client that never reads, and a broker that wants a login and
// enforces an ACL.
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>

#include "serve_fixture.h"

namespace qtest {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

// A probe that keeps its session in the broker (and the broker keeps it over
// a restart): every stream record the broker accepted reaches it.
Probe::Login persistentWatcher() {
  Probe::Login login;
  login.id = "stream-watcher";
  login.persistent = true;
  return login;
}

class Faults : public ServeFixture {
 protected:
  // With a broker that keeps its sessions over a restart: the server of the
  // known Ka on the manual clock, open, and a watcher of its stream.
  std::unique_ptr<Probe> streamAcrossRestarts(size_t bufferBytes) {
    startBroker({{}, "", true, ""});
    manualClock();
    serve(true, bufferBytes);
    waitOpen(probe());
    auto watcher = std::make_unique<Probe>(broker().port(), persistentWatcher());
    EXPECT_EQ(watcher->waitConnack(), 0);
    watcher->subscribe(topicOf(qmqtt::kStream));
    return watcher;
  }

  std::string status(Probe& p) {
    return p.last(std::string("qelomsr/") + kNode + "/status").value_or("");
  }
};

TEST_F(Faults, ABrokerRestartDuringAStreamLosesNoFrame) {
  const auto watching = streamAcrossRestarts(size_t{64} << 20);
  Probe& watcher = *watching;
  Probe& control = probe();

  const json start =
      call(control, {{"op", "start"}, {"channels", {"AI-0", "DP-0"}}, {"rateHz", 100}});
  ASSERT_EQ(start["ok"], true) << start.dump();
  const uint32_t id = start["stream"];
  produce(std::chrono::seconds(2), milliseconds(500));
  ASSERT_TRUE(watcher.waitUntil([&] { return framesReceived(watcher, id) >= 200; }));

  broker().stop();
  ASSERT_TRUE(qsim::vbustest::waitUntil([&] { return !server().connected(); }));
  // The device keeps streaming; the server keeps its blocks meanwhile.
  produce(std::chrono::seconds(3), milliseconds(500));
  ASSERT_TRUE(qsim::vbustest::waitUntil([&] { return server().outboxStats().waitingBlocks > 0; }));
  broker().start();
  ASSERT_TRUE(watcher.waitUntil([&] { return framesReceived(watcher, id) >= 500; }))
      << framesReceived(watcher, id) << " frames";
  Probe& again = probe();
  ASSERT_TRUE(again.waitUntil([&] { return status(again) == "online"; }));
  produce(std::chrono::seconds(1), milliseconds(500));
  ASSERT_EQ(call(again, {{"op", "stop"}})["ok"], true);
  ASSERT_TRUE(watcher.waitUntil([&] { return endReceived(watcher, id); }));

  const auto records = blocks(watcher, id);
  uint64_t next = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].sequence, i) << "record missing";
    EXPECT_EQ(records[i].firstFrame, next);
    for (const auto& row : records[i].rows) EXPECT_EQ(row[1], kDp0Pins);
    next += records[i].frames;
  }
  EXPECT_EQ(next, 600u);
  EXPECT_EQ(records.back().kind, 2);
  EXPECT_EQ(server().outboxStats().dropped, 0u);
}

TEST_F(Faults, ABrokerAwayLongerThanTheBufferLeavesEveryLostFrameVisible) {
  // Room for a few blocks only.
  const auto watching = streamAcrossRestarts(2048);
  Probe& watcher = *watching;
  Probe& control = probe();
  ASSERT_EQ(call(control, {{"op", "counter"}, {"enable", true}})["ok"], true);
  const json start =
      call(control, {{"op", "start"}, {"channels", {"AI-0", "CNT"}}, {"rateHz", 100}});
  ASSERT_EQ(start["ok"], true) << start.dump();
  const uint32_t id = start["stream"];
  produce(std::chrono::seconds(1), milliseconds(500));
  ASSERT_TRUE(watcher.waitUntil([&] { return framesReceived(watcher, id) >= 100; }));

  broker().stop();
  ASSERT_TRUE(qsim::vbustest::waitUntil([&] { return !server().connected(); }));
  // Blocks of 20 frames (about 300 bytes), each sent when its time is up.
  uint64_t made = 0;
  for (int i = 0; i < 30; ++i) {
    advance(milliseconds(200));
    ASSERT_TRUE(qsim::vbustest::waitUntil([&] {
      const auto s = server().outboxStats();
      return s.waitingBlocks + s.dropped > made;
    }));
    const auto s = server().outboxStats();
    made = s.waitingBlocks + s.dropped;
    EXPECT_LE(s.waitingBytes, 2048u);
  }
  EXPECT_GT(server().outboxStats().dropped, 0u);
  broker().start();
  Probe& again = probe();
  ASSERT_TRUE(again.waitUntil([&] { return status(again) == "online"; }));
  produce(std::chrono::seconds(1), milliseconds(500));
  ASSERT_EQ(call(again, {{"op", "stop"}})["ok"], true);
  ASSERT_TRUE(watcher.waitUntil([&] { return endReceived(watcher, id); }));

  // Every hole in the sequence numbers is a hole in the frame indexes of
  // exactly the frames lost, and nothing else is missing.
  const auto records = blocks(watcher, id);
  uint64_t next = 0, received = 0, lost = 0, holes = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    const TestBlock& r = records[i];
    const bool hole = i > 0 && r.sequence != records[i - 1].sequence + 1;
    if (hole) {
      ++holes;
      EXPECT_GT(r.firstFrame, next) << "record " << r.sequence;
      lost += r.firstFrame - next;
    } else {
      EXPECT_EQ(r.firstFrame, next) << "record " << r.sequence;
    }
    received += r.frames;
    next = r.firstFrame + r.frames;
    // The counter runs on: 10 counts per frame, also across the hole.
    if (i > 0 && !r.rows.empty() && !records[i - 1].rows.empty()) {
      const uint64_t skipped = r.firstFrame - (records[i - 1].firstFrame + records[i - 1].frames);
      EXPECT_EQ(r.rows.front()[1] - records[i - 1].rows.back()[1],
                10.0 * static_cast<double>(skipped + 1));
    }
  }
  EXPECT_GT(holes, 0u);
  ASSERT_EQ(records.back().kind, 2);
  EXPECT_EQ(received + lost, records.back().firstFrame);
  EXPECT_EQ(records.back().firstFrame, 800u);
  const json state = waitState(again, [](const json& s) { return !s.value("acquiring", true); });
  EXPECT_EQ(state["droppedBlocks"], server().outboxStats().dropped);
}

TEST_F(Faults, AServerStartedBeforeItsBrokerConnectsWhenTheBrokerComes) {
  broker().stop();
  serve(true);
  EXPECT_FALSE(server().connected());
  broker().start();
  Probe& p = probe();
  ASSERT_TRUE(p.waitUntil([&] { return status(p) == "online"; }));
  waitOpen(p);
  const json read = call(p, {{"op", "read"}, {"channels", {"AI-0"}}});
  ASSERT_EQ(read["ok"], true) << read.dump();
  EXPECT_NEAR(read["values"][0]["value"].get<double>(), kAi0Volts, 1e-3);
}

TEST_F(Faults, AServerThatNeverReachedItsBrokerStops) {
  broker().stop();
  serve(false);
  stopServer();
}

TEST_F(Faults, AnUnpluggedDeviceIsReportedAndServedAgainOnItsReturn) {
  manualClock();
  serve(true);
  Probe& p = probe();
  waitOpen(p);
  ASSERT_EQ(call(p, {{"op", "write"}, {"output", "AO-0"}, {"volts", 1.5}})["ok"], true);
  const json start = call(p, {{"op", "start"}, {"channels", {"AI-0"}}, {"rateHz", 100}});
  ASSERT_EQ(start["ok"], true);
  const uint32_t id = start["stream"];
  produce(milliseconds(500), milliseconds(500));

  unplug(kPort);
  // The stream ends with its end record; the state says why.
  ASSERT_TRUE(p.waitUntil([&] { return endReceived(p, id); }));
  const json lost = waitState(p, [](const json& s) { return !s.value("open", true); });
  EXPECT_NE(lost["error"].get<std::string>().find("connection lost"), std::string::npos);
  EXPECT_EQ(lost["acquiring"], false);
  const json refused = call(p, {{"op", "read"}, {"channels", {"AI-0"}}});
  EXPECT_EQ(refused["ok"], false);
  EXPECT_EQ(refused["class"], QELOMSR_ERROR_CLASS_RUNTIME);

  replug(kPort);
  const json back = waitOpen(p);
  EXPECT_TRUE(back["error"].is_null());
  EXPECT_NE(back["notice"].get<std::string>().find("reset"), std::string::npos);
  EXPECT_TRUE(back["outputs"]["AO-0"].is_null());  // opening reset the output
  const json read = call(p, {{"op", "read"}, {"channels", {"AI-0"}}});
  ASSERT_EQ(read["ok"], true) << read.dump();
  EXPECT_NEAR(read["values"][0]["value"].get<double>(), kAi0Volts, 1e-3);
}

TEST_F(Faults, AClientThatNeverReadsKeepsTheServerBoundedAndOthersServed) {
  startBroker({{}, "", false, "max_queued_messages 20\n"});
  manualClock();
  constexpr size_t kBuffer = size_t{1} << 20;
  serve(true, kBuffer);
  Probe& control = probe();
  waitOpen(control);
  Probe& reader = probe();
  Probe stuck(broker().port());
  ASSERT_EQ(stuck.waitConnack(), 0);
  stuck.subscribe(topicOf(qmqtt::kStream));
  stuck.hang();

  const json start = call(
      control, {{"op", "start"}, {"channels", {"AI-0", "AI-1", "DP-0", "CNT"}}, {"rateHz", 20000}});
  ASSERT_EQ(start["ok"], true) << start.dump();
  const uint32_t id = start["stream"];
  size_t mostWaiting = 0, mostInFlight = 0;
  for (int i = 0; i < 100; ++i) {  // 20 s: 400000 frames, 6.4 MB of samples
    produce(milliseconds(200), milliseconds(200));
    const auto s = server().outboxStats();
    mostWaiting = std::max(mostWaiting, s.waitingBytes);
    mostInFlight = std::max(mostInFlight, s.inFlight);
  }
  ASSERT_EQ(call(control, {{"op", "stop"}})["ok"], true);
  ASSERT_TRUE(reader.waitUntil([&] { return endReceived(reader, id); }));
  const auto records = blocks(reader, id);
  uint64_t next = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].sequence, i);
    EXPECT_EQ(records[i].firstFrame, next);
    next += records[i].frames;
  }
  EXPECT_EQ(next, 400000u);
  EXPECT_LE(mostWaiting, kBuffer);
  EXPECT_LE(mostInFlight, 8u);
  EXPECT_EQ(server().outboxStats().dropped, 0u);
  // More than the stuck client's socket holds went out: the broker gave up
  // on it, not the server.
  std::ifstream log(broker().dir() + "/broker.log");
  const std::string said((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(said.find("Outgoing messages are being dropped"), std::string::npos);
  stuck.resume();
}

TEST_F(Faults, ATlsBrokerIsReachedThroughItsCa) {
  startBroker({{}, "", false, "", true});
  qmqtt::ConnectOptions tls;
  tls.caFile = broker().caFile();
  serve(false, size_t{64} << 20, 65536, tls);
  ASSERT_TRUE(qsim::vbustest::waitUntil([&] { return server().connected(); }));
}

// The example configuration of packaging/mosquitto: servers log in with their
// node name, an operator may call, a viewer only reads.
// Its node stand1 is the test's node here.
std::string exampleAcl() {
  std::ifstream in(std::string(QELOMSR_SOURCE_DIR) + "/packaging/mosquitto/qelomsr.acl");
  std::stringstream text;
  text << in.rdbuf();
  std::string acl = text.str();
  for (size_t at = acl.find("stand1"); at != std::string::npos; at = acl.find("stand1", at))
    acl.replace(at, 6, kNode);
  return acl;
}

TEST_F(Faults, ABrokerWithLoginsAndAnAclRefusesStrangersAndReadOnlyUsers) {
  const std::string acl = exampleAcl();
  ASSERT_FALSE(acl.empty());
  startBroker({{{kNode, "node-secret"}, {"operator", "op-secret"}, {"viewer", "view-secret"}},
               acl,
               false,
               ""});

  // No login, a wrong password: the broker refuses the connection.
  Probe anonymous(broker().port());
  EXPECT_NE(anonymous.waitConnack(), 0);
  Probe wrong(broker().port(), {"viewer", "guess", "", false});
  EXPECT_NE(wrong.waitConnack(), 0);

  // A server without its password is refused and says so.
  {
    auto& unauthorised = serve(true);
    ASSERT_TRUE(qsim::vbustest::waitUntil([&] { return !unauthorised.refused().empty(); }));
  }
  stopServer();

  qmqtt::ConnectOptions login;
  login.username = kNode;
  login.password = "node-secret";
  serve(true, size_t{64} << 20, 65536, login);
  Probe& viewer = probe({"viewer", "view-secret", "", false});
  waitOpen(viewer);
  Probe& operatorProbe = probe({"operator", "op-secret", "", false});

  // The viewer's call is refused by the broker (not authorised) and never
  // reaches the device.
  const std::string replies = "qelomsr/reply/viewer/1";
  viewer.subscribe(replies);
  const int mid = viewer.publish(topicOf(qmqtt::kCall),
                                 json{{"op", "write"}, {"output", "AO-0"}, {"volts", 3.0}}.dump(),
                                 1, replies, "v1");
  EXPECT_EQ(viewer.pubackOf(mid), 0x87);
  // The operator's call is served, answered on its own reply topic.
  const std::string opReplies = "qelomsr/reply/operator/1";
  operatorProbe.subscribe(opReplies);
  operatorProbe.publish(topicOf(qmqtt::kCall),
                        json{{"op", "write"}, {"output", "AO-1"}, {"volts", 1.0}}.dump(), 1,
                        opReplies, "o1");
  ASSERT_TRUE(operatorProbe.waitUntil([&] { return !operatorProbe.messages(opReplies).empty(); }));
  EXPECT_EQ(json::parse(operatorProbe.messages(opReplies).front().payload)["ok"], true);
  EXPECT_NEAR(device().dacVoltage(1), 1.0, 0.005);
  EXPECT_NEAR(device().dacVoltage(0), 0.0, 0.005);
  EXPECT_TRUE(viewer.messages(replies).empty());
}

}  // namespace
}  // namespace qtest
