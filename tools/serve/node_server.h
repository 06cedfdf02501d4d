// `qelomsr serve`: the devices of one machine (a node) on an MQTT broker.
//
// The node keeps one worker per device (device_worker.h), one broker
// connection whose last will marks the node offline, and one outbox for the
// stream blocks of all its devices (stream_outbox.h). scan() enumerates the
// attached devices: a device seen for the first time gets a worker, a device
// that came back is opened again. Nothing listens on the network: the server
// is a client of the broker like any other.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device_worker.h"
#include "mqtt_client.h"
#include "stream_outbox.h"

namespace qserve {

struct ServeOptions {
  std::string node;
  // The devices to serve as the CLI names them (qcli::selectDevice): an
  // identifier, served from the start (as not attached until it is), or a
  // serial number or family, served from the scan that first finds it.
  // Empty: every attached device.
  std::vector<std::string> devices;
  bool allowControl = false;
  std::chrono::milliseconds valuesPeriod{1000};
  std::chrono::milliseconds scanPeriod{1000};  // looking for devices plugged in or back
  size_t bufferBytes = size_t{64} << 20;       // stream blocks kept while the broker is away
};

class NodeServer {
 public:
  // Sets the last will and the client id in connect; throws std::runtime_error.
  NodeServer(qmqtt::ConnectOptions connect, ServeOptions options);
  ~NodeServer();  // stop()
  NodeServer(const NodeServer&) = delete;
  NodeServer& operator=(const NodeServer&) = delete;

  // Connects in the background and scans for devices every scanPeriod.
  void start();
  // Ends every stream, closes the devices, marks the node offline, sends
  // what is waiting (at most drainLimit) and disconnects.
  void stop(std::chrono::milliseconds drainLimit = std::chrono::seconds(5));

  // Why the broker refused the login, or empty.
  std::string refused() const;
  bool connected() const { return client_->connected(); }
  StreamOutbox::Stats outboxStats() const { return outbox_->stats(); }
  const ServeOptions& options() const { return options_; }

 private:
  void onConnected();
  void onMessage(const qmqtt::Message& message);
  // One enumeration of the attached devices.
  void scan();
  void scanLoop();
  // Finds the devices named by serial number or family that are not bound yet.
  void bindNamed(const std::vector<qcli::DeviceEntry>& entries);

  ServeOptions options_;
  std::unique_ptr<qmqtt::Client> client_;
  std::unique_ptr<StreamOutbox> outbox_;
  NodeShared shared_;
  std::mutex enumeration_;

  mutable std::mutex mutex_;  // guards the fields below
  // upper-case identifier -> worker
  std::map<std::string, std::unique_ptr<DeviceWorker>> workers_;
  // Devices named by serial number or family -> the upper-case identifier
  // they were found at (empty until then), and why they were not found.
  std::map<std::string, std::string> named_;
  std::map<std::string, std::string> namedError_;
  std::set<std::string> chosen_;  // upper-case identifiers of the devices to serve
  std::string refused_;
  std::string scanError_;
  bool stopped_ = false;
  std::condition_variable wake_;
  std::thread scanner_;
};

// The identifier as the enumeration spells it (USB:1-0-3), whatever case
// the user wrote.
std::string canonicalIdentifier(const std::string& identifier);

}  // namespace qserve
