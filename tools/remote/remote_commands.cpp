#include "remote_commands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "cli_json.h"
#include "cli_output.h"
#include "cli_process.h"
#include "contract.h"

namespace qremote {

using nlohmann::json;

namespace {

float number(const json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end() || !it->is_number()) return std::numeric_limits<float>::quiet_NaN();
  return it->get<float>();
}

qcli::RangeLimits limitsOf(const json& range) {
  return {number(range, "min"), number(range, "max")};
}

}  // namespace

int runInfo(RemoteDevice& device, const qcli::OutputOptions& output) {
  const json& info = device.info();
  if (output.json) {
    qcli::printJson(qcli::Json::parse(info.dump()));
    return qcli::kExitSuccess;
  }
  std::FILE* out = qcli::out();
  std::fprintf(out, "%s\n", device.describe().c_str());
  for (const json& in : info.value("inputs", json::array())) {
    std::string ranges;
    for (const json& r : in.value("ranges", json::array()))
      ranges += (ranges.empty() ? "" : ", ") + r.value("name", std::string("?")) +
                (r.value("calibrated", true) ? "" : " (uncalibrated)");
    std::fprintf(out, "  %-10s ranges %s\n", in.value("name", "?").c_str(), ranges.c_str());
  }
  for (const json& o : info.value("outputs", json::array()))
    std::fprintf(out, "  %-10s %s%s\n", o.value("name", "?").c_str(),
                 qcli::limitsText(limitsOf(o.value("range", json::object()))).c_str(),
                 o.value("calibrated", true) ? "" : " (uncalibrated)");
  for (const json& p : info.value("ports", json::array()))
    std::fprintf(out, "  %-10s %zu lines\n", p.value("name", "?").c_str(),
                 p.value("lines", json::array()).size());
  for (const char* single : {"counter", "trigger"})
    if (info.contains(single) && info[single].is_object())
      std::fprintf(out, "  %-10s\n", info[single].value("name", "?").c_str());
  return qcli::kExitSuccess;
}

int runRead(RemoteDevice& device, const qcli::ReadArgs& args) {
  if (!args.every.empty())
    throw qcli::UsageError(
        "read --every runs on a device opened here; through a broker, the server publishes a "
        "reading of every input every --interval on its values topics");
  json channels = json::array();
  for (const auto& text : args.inputs) {
    const qcli::ChannelSpec spec = qcli::parseChannelSpec(text);
    channels.push_back(spec.range.empty() && !args.range.empty() ? text + ":" + args.range : text);
  }
  const json answer =
      device.call({{qmqtt::kFieldOp, qmqtt::kOpRead}, {qmqtt::kFieldChannels, channels}});
  std::vector<qcli::Reading> readings;
  for (const json& v : answer.value("values", json::array())) {
    qcli::Reading r;
    r.input = v.value("channel", "?");
    r.volts = number(v, "value");
    r.range = limitsOf(v.value("range", json::object()));
    r.calibrated = v.value("calibrated", false);
    r.clipped = v.value("clipped", false);
    readings.push_back(r);
  }
  qcli::printReadings(device.name(), readings, args.output);
  return qcli::kExitSuccess;
}

int runWrite(RemoteDevice& device, const qcli::WriteArgs& args) {
  qcli::Written w;
  w.requestedVolts = qcli::parseVolts(args.volts);
  double volts = w.requestedVolts;
  // The server refuses a voltage beyond the range; the command clamps it as
  // it does on a device opened here, and says so.
  if (const json* output = device.entry("outputs", args.output)) {
    w.range = limitsOf(output->value("range", json::object()));
    if (std::isfinite(w.range.minVolts) && std::isfinite(w.range.maxVolts))
      volts = std::clamp(volts, static_cast<double>(w.range.minVolts),
                         static_cast<double>(w.range.maxVolts));
    w.calibrated = output->value("calibrated", true);
  }
  w.setVolts = static_cast<float>(volts);
  w.clamped = volts != w.requestedVolts;
  const json answer = device.call({{qmqtt::kFieldOp, qmqtt::kOpWrite},
                                   {qmqtt::kFieldOutput, args.output},
                                   {qmqtt::kFieldVolts, w.setVolts}});
  w.output = answer.value(qmqtt::kFieldOutput, args.output);
  w.producedVolts = number(answer, qmqtt::kFieldVolts);
  qcli::printWritten(w);
  return qcli::kExitSuccess;
}

int runDio(RemoteDevice& device, const qcli::DioArgs& args) {
  const int oe = qcli::portByte(args.outputEnable, "mask");
  const int value = qcli::portByte(args.write, "port value");
  std::vector<std::string> ports;
  if (args.port.empty()) {
    for (const json& p : device.info().value("ports", json::array()))
      ports.push_back(p.value("name", ""));
  } else {
    ports.push_back(args.port);
  }
  for (const auto& port : ports) {
    json request = {{qmqtt::kFieldOp, qmqtt::kOpPort}, {qmqtt::kFieldPort, port}};
    if (oe >= 0) request[qmqtt::kFieldOutputEnable] = oe;
    if (value >= 0) request[qmqtt::kFieldLevels] = value;
    const json answer = device.call(request);
    qcli::PortLevels levels;
    levels.port = answer.value(qmqtt::kFieldPort, port);
    levels.pins = answer.value("pins", 0);
    levels.written = value;
    levels.outputEnable = answer.value(qmqtt::kFieldOutputEnable, 0);
    if (const json* info = device.entry("ports", levels.port))
      levels.lines = static_cast<int>(info->value("lines", json::array()).size());
    qcli::printPort(levels);
  }
  return qcli::kExitSuccess;
}

int runCounter(RemoteDevice& device, const qcli::CounterArgs& args) {
  json request = {{qmqtt::kFieldOp, qmqtt::kOpCounter}, {qmqtt::kFieldCounter, args.counter}};
  if (args.enable || args.disable) request[qmqtt::kFieldEnable] = args.enable;
  if (args.reset) request[qmqtt::kFieldReset] = true;
  const json answer = device.call(request);
  qcli::printCounter(device.name(), answer.value(qmqtt::kFieldCounter, args.counter),
                     answer.value("count", 0LL), answer.value("enabled", false), args.output);
  return qcli::kExitSuccess;
}

}  // namespace qremote
