#include "record_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "broker_options.h"
#include "cli_device.h"
#include "cli_process.h"
#include "stream_logger.h"

namespace qrecord {

namespace {

struct RecordArgs {
  qmqtt::BrokerArgs broker;
  std::vector<std::string> devices;  // NODE/ID, either may be +
  std::string out;
};

struct Selection {
  std::string node, device;
};

Selection parseSelection(const std::string& text) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos)
    throw qcli::UsageError("'" + text + "' is not NODE/ID (stand1/USB:1-0-3, stand1/+, +/+)");
  Selection s{text.substr(0, slash), text.substr(slash + 1)};
  try {
    if (s.node != "+") qmqtt::checkNodeName(s.node);
    if (s.device != "+") qmqtt::checkNodeName(s.device);
  } catch (const std::invalid_argument& e) {
    throw qcli::UsageError("'" + text + "': " + e.what());
  }
  return s;
}

void checkDirectory(const std::string& path) {
  struct stat s {};
  if (stat(path.c_str(), &s) != 0 || !S_ISDIR(s.st_mode))
    throw qcli::UsageError("--out " + path + ": no such directory");
  if (access(path.c_str(), W_OK) != 0)
    throw qcli::UsageError("--out " + path + ": cannot write there: " + std::strerror(errno));
}

int runRecord(const RecordArgs& args) {
  std::vector<Selection> selections;
  for (const auto& d : args.devices) selections.push_back(parseSelection(d));
  checkDirectory(args.out);
  qmqtt::ConnectOptions connect = qmqtt::connectOptions(args.broker);
  char host[128] = {0};
  gethostname(host, sizeof host - 1);
  connect.clientId = std::string("qelomsr-record-") + host + "-" + std::to_string(getpid());
  // While the logger is away (its network, a broker restart with persistence)
  // the broker keeps what comes for it.
  connect.sessionExpiryS = 3600;

  StreamLogger logger(args.out);
  std::vector<std::string> topics;
  for (const auto& s : selections)
    for (const char* leaf : {qmqtt::kInfo, qmqtt::kState, qmqtt::kStream})
      topics.push_back(qmqtt::deviceTopic(s.node, s.device, leaf));

  std::string refused;
  std::mutex refusedMutex;
  qmqtt::Client* clientPointer = nullptr;
  qmqtt::Client::Handlers handlers;
  handlers.connected = [&] {
    std::fprintf(stderr, "qelomsr record: connected to the broker\n");
    // Again after a session the broker did not keep (records missed meanwhile
    // show as gaps).
    clientPointer->subscribe(topics, 1);
  };
  handlers.disconnected = [](const std::string& why) {
    std::fprintf(stderr, "qelomsr record: no connection to the broker (%s); trying again\n",
                 why.c_str());
  };
  handlers.refused = [&](const std::string& why) {
    std::lock_guard<std::mutex> lock(refusedMutex);
    refused = why;
  };
  handlers.message = [&](const qmqtt::Message& m) {
    const auto topic = qmqtt::parseDeviceTopic(m.topic);
    if (!topic || !topic->rest.empty()) return;
    if (topic->leaf == qmqtt::kStream) {
      logger.record(topic->node, topic->device, m.payload, m.size);
    } else {
      const std::string text(reinterpret_cast<const char*>(m.payload), m.size);
      if (topic->leaf == qmqtt::kInfo) logger.info(topic->node, topic->device, text);
      if (topic->leaf == qmqtt::kState) logger.state(topic->node, topic->device, text);
    }
  };
  qmqtt::Client client(std::move(connect), std::move(handlers));
  clientPointer = &client;
  std::fprintf(stderr, "qelomsr record: recording %zu selection%s into %s; Ctrl-C stops\n",
               selections.size(), selections.size() == 1 ? "" : "s", args.out.c_str());
  client.start();
  while (qcli::sleepUnlessStopped(1.0)) {
    {
      std::lock_guard<std::mutex> lock(refusedMutex);
      if (!refused.empty()) {
        client.stop();
        qmqtt::loginRefused(refused);
      }
    }
    logger.flush();
  }
  client.stop();
  logger.closeAll();
  return qcli::exitCodeForSignal(qcli::stopSignal());
}

}  // namespace

void addRecordCommand(CLI::App& app, qcli::Command& selected) {
  auto args = std::make_shared<RecordArgs>();
  auto* sub = app.add_subcommand(
      "record",
      "Record the streams of served devices from an MQTT broker into HDF5 files, one per "
      "device and stream, until stopped");
  qmqtt::addBrokerOptions(*sub, args->broker);
  sub->add_option("DEVICE", args->devices,
                  "NODE/ID of a served device (stand1/USB:1-0-3); + stands for every node or "
                  "device (stand1/+, +/+)")
      ->required();
  sub->add_option("--out", args->out, "Directory for the files")->required();
  sub->footer(
      "Files are named NODE_ID_YYYYmmdd-HHMMSS_sSTREAM.h5; docs/usage.md, section "
      "\"Central logger\".");
  sub->callback([&selected, args] { selected = [args] { return runRecord(*args); }; });
}

}  // namespace qrecord
