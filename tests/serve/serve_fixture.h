// The server in the test's own process, on the virtual USB bus, against a
// real Mosquitto broker, watched by a probe client (probe.h). The served Ka
// has known inputs: AI-0 at 1.25 V, AI-1 at -0.5 V, the pins of DP-0 driven
// to 0x5A from outside, the counter at 1000 events per second of device time.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "block_reader.h"
#include "broker.h"
#include "node_server.h"
#include "probe.h"
#include "qsim/config.h"
#include "qsim/model.h"
#include "qsim/vbus_gtest.h"

namespace qtest {

inline const char* const kNode = "bench1";
inline const char* const kPort = "1-5";
inline const char* const kDevice = "USB:1-0-5";
constexpr double kAi0Volts = 1.25;
constexpr double kAi1Volts = -0.5;
constexpr int kDp0Pins = 0x5A;

inline qsim::DeviceConfig knownKa(uint32_t inputCapacity = 65536) {
  qsim::DeviceConfig config = qsim::defaultConfig(qsim::Family::Ka);
  config.serial = "KA1X-MQTT01";
  config.signals.assign(14, qsim::Signal::dc(0.0));
  config.signals[0] = qsim::Signal::dc(kAi0Volts);
  config.signals[1] = qsim::Signal::dc(kAi1Volts);
  config.portInputs = {kDp0Pins, 0, 0};
  config.inputCapacity = inputCapacity;
  return config;
}

inline std::string topicOf(const char* leaf) { return qmqtt::deviceTopic(kNode, kDevice, leaf); }

class ServeFixture : public qsim::vbustest::VbusFixture {
 protected:
  void SetUp() override {
    VbusFixture::SetUp();
    startBroker();
  }

  void TearDown() override {
    server_.reset();
    probes_.clear();
    broker_.reset();
    VbusFixture::TearDown();
  }

  void startBroker() { startBroker(Broker::Options()); }
  void startBroker(Broker::Options options) {
    server_.reset();
    probes_.clear();
    broker_ = std::make_unique<Broker>(QELOMSR_TEST_TMPDIR, std::move(options));
  }

  Broker& broker() { return *broker_; }

  // Serves the known Ka (and only it) as node kNode.
  qserve::NodeServer& serve(bool allowControl, size_t bufferBytes = size_t{64} << 20,
                            uint32_t inputCapacity = 65536) {
    return serve(allowControl, bufferBytes, inputCapacity, qmqtt::ConnectOptions());
  }
  qserve::NodeServer& serve(bool allowControl, size_t bufferBytes, uint32_t inputCapacity,
                            qmqtt::ConnectOptions connect, bool everyDevice = false) {
    if (model_ == nullptr && !everyDevice) {
      config_.inputCapacity = inputCapacity;
      model_ = &add(kPort, config_);
    }
    connect.url = qmqtt::parseBrokerUrl(broker_->url());
    connect.keepAliveS = 5;
    qserve::ServeOptions options;
    options.node = kNode;
    if (!everyDevice) options.devices = {kDevice};
    options.allowControl = allowControl;
    options.bufferBytes = bufferBytes;
    options.scanPeriod = std::chrono::milliseconds(200);
    server_ = std::make_unique<qserve::NodeServer>(connect, options);
    server_->start();
    return *server_;
  }
  qserve::NodeServer& server() { return *server_; }
  void stopServer() { server_.reset(); }
  qsim::DeviceModel& device() { return *model_; }
  // Serves every attached device, also those plugged in later.
  qserve::NodeServer& serveEveryDevice() {
    return serve(false, size_t{64} << 20, 65536, qmqtt::ConnectOptions(), true);
  }
  void plugKnownKa() { model_ = &add(kPort, config_); }
  // The served Ka's configuration, to change before serve().
  qsim::DeviceConfig& kaConfig() { return config_; }

  // A probe subscribed to everything of the node.
  Probe& probe() { return probe(Probe::Login()); }
  Probe& probe(Probe::Login login) {
    probes_.push_back(std::make_unique<Probe>(broker_->port(), login));
    Probe& p = *probes_.back();
    EXPECT_EQ(p.waitConnack(), 0);
    p.subscribe(std::string("qelomsr/") + kNode + "/#");
    return p;
  }

  // Waits until the retained state satisfies cond; returns it.
  nlohmann::json waitState(Probe& p, const std::function<bool(const nlohmann::json&)>& cond) {
    nlohmann::json state;
    const bool ok = p.waitUntil([&] {
      const auto text = p.last(topicOf(qmqtt::kState));
      if (!text) return false;
      state = nlohmann::json::parse(*text);
      return cond(state);
    });
    EXPECT_TRUE(ok) << "state: " << state.dump();
    return state;
  }
  nlohmann::json waitOpen(Probe& p) {
    return waitState(p, [](const nlohmann::json& s) { return s.value("open", false); });
  }

  nlohmann::json call(Probe& p, const nlohmann::json& request) {
    return p.call(topicOf(qmqtt::kCall), request.dump());
  }

  // The stream records the probe received so far, decoded by the test.
  std::vector<TestBlock> blocks(Probe& p, uint32_t streamId) {
    std::vector<std::string> payloads;
    for (const auto& m : p.messages(topicOf(qmqtt::kStream))) payloads.push_back(m.payload);
    return streamBlocks(payloads, streamId);
  }
  // Frames in the frames records received so far.
  uint64_t framesReceived(Probe& p, uint32_t streamId) {
    uint64_t n = 0;
    for (const auto& b : blocks(p, streamId)) n += b.frames;
    return n;
  }
  bool endReceived(Probe& p, uint32_t streamId) {
    for (const auto& b : blocks(p, streamId))
      if (b.kind == 2) return true;
    return false;
  }

  // Moves the devices' clock on in steps of stepMs, each after the server has
  // read what the previous step produced.
  void produce(std::chrono::milliseconds total, std::chrono::milliseconds step) {
    for (auto done = std::chrono::milliseconds(0); done < total; done += step) {
      advance(step);
      ASSERT_TRUE(qsim::vbustest::waitUntil([&] { return model_->inputBufferedBytes() == 0; }))
          << "the server does not read the device";
    }
  }

 private:
  std::unique_ptr<Broker> broker_;
  std::unique_ptr<qserve::NodeServer> server_;
  std::vector<std::unique_ptr<Probe>> probes_;
  qsim::DeviceModel* model_ = nullptr;
  qsim::DeviceConfig config_ = knownKa();
};

}  // namespace qtest
