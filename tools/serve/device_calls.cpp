// The calls a served device answers. Each validates its request against the
// device first (names, ranges, values), then refuses what changes the device
// when the server runs without --allow-control, then checks the state (a
// running stream), and only then touches the device; nothing changes when a
// call fails.
#include <cmath>
#include <cstdio>

#include "contract.h"
#include "device_worker.h"
#include "serve_json.h"

namespace qserve {

using nlohmann::json;
using namespace qmqtt;

namespace {

[[noreturn]] void refuse(int errorClass, const std::string& text) {
  throw CallError(errorClass, text);
}

json okAnswer(const CallRequest& call) { return {{kFieldOk, true}, {kFieldOp, call.opName}}; }

}  // namespace

std::string DeviceWorker::answer(const PendingCall& pending) {
  try {
    const CallRequest call = parseCallRequest(pending.body);
    return payloadText(execute(call));
  } catch (const CallError& e) {
    return errorAnswer(identifier_ + ": " + e.what(), e.errorClass());
  } catch (const qcli::UsageError& e) {
    return errorAnswer(identifier_ + ": " + e.what(), QELOMSR_ERROR_CLASS_INVALID_ARGUMENT);
  } catch (const qcli::ApiError& e) {
    const std::string text = identifier_ + ": " + e.what();
    const int errorClass = e.errorClass();
    // A failure of the connection ends the device's session; the answer
    // still tells the caller what happened to the call.
    if (device_ && isConnectionFailure(e)) lose(e.what());
    return errorAnswer(text, errorClass);
  } catch (const std::exception& e) {
    return errorAnswer(identifier_ + ": " + e.what(), QELOMSR_ERROR_CLASS_EXCEPTION);
  }
}

json DeviceWorker::execute(const CallRequest& call) {
  if (!device_) refuse(QELOMSR_ERROR_CLASS_RUNTIME, "the device is not open: " + error_ + ".");
  switch (call.op) {
    case Operation::Read:
      return readInputs(call);
    case Operation::Write:
      return writeOutput(call);
    case Operation::Port:
      return setPort(call);
    case Operation::Range:
      return setRange(call);
    case Operation::Counter:
      return counter(call);
    case Operation::Start:
      return startStream(call);
    case Operation::Stop:
      return stopStream();
  }
  refuse(QELOMSR_ERROR_CLASS_INVALID_ARGUMENT, "unknown operation");
}

void DeviceWorker::requireControl(const CallRequest& call) const {
  if (node_.allowControl) return;
  refuse(QELOMSR_ERROR_CLASS_LOGIC,
         "'" + call.opName +
             "' would change the device, and this server does not allow that (start it with "
             "--allow-control); nothing was done.");
}

std::vector<std::pair<int, int>> DeviceWorker::resolveChannels(
    const std::vector<std::string>& specs, std::initializer_list<int> kinds) const {
  std::vector<std::pair<int, int>> channels;
  for (const auto& text : specs) {
    const qcli::ChannelSpec spec = qcli::parseChannelSpec(text);
    const int id = device_->resolve(spec.name, kinds);
    for (const auto& known : channels)
      if (known.first == id) throw qcli::UsageError(device_->nameOf(id) + " is given twice");
    if (!spec.range.empty() && !qcli::isAnalogInput(id))
      throw qcli::UsageError(device_->nameOf(id) + " has no ranges");
    channels.emplace_back(id, spec.range.empty() ? -1 : device_->resolveRange(id, spec.range));
  }
  return channels;
}

void DeviceWorker::applyRange(int inputId, int rangeId) {
  int delay = 0;
  qcli::check(QeloMsrSetAnalogInputParameters(device_->handle(), inputId, rangeId, -1, &delay));
  for (auto& in : layout_.inputs) {
    if (in.id != inputId) continue;
    for (size_t i = 0; i < in.ranges.size(); ++i)
      if (in.ranges[i].id == rangeId) in.range = i;
  }
  liveFrameSet_ = false;
}

namespace {

// The range in force of an analog input of the layout.
const qpanel::RangeInfo& rangeInForce(const qpanel::DeviceLayout& layout, int inputId) {
  for (const auto& in : layout.inputs)
    if (in.id == inputId) return in.ranges[in.range];
  throw std::logic_error("not an analog input");
}

}  // namespace

json DeviceWorker::readInputs(const CallRequest& call) {
  const auto channels =
      resolveChannels(call.channels, {qcli::kKindAnalogInput, qcli::kKindDiffInput});
  bool changes = false;
  for (const auto& c : channels)
    changes = changes || (c.second >= 0 && c.second != rangeInForce(layout_, c.first).id);
  if (changes) requireControl(call);
  if (stream_)
    refuse(QELOMSR_ERROR_CLASS_LOGIC,
           "a stream runs (" + std::to_string(stream_->id()) +
               "): the device takes no single readings until it stops; its frames are on " +
               streamTopic() + ".");
  json values = json::array();
  for (const auto& c : channels) {
    if (c.second >= 0 && c.second != rangeInForce(layout_, c.first).id)
      applyRange(c.first, c.second);
    float volts = 0;
    qcli::check(QeloMsrReadAnalogInput(device_->handle(), c.first, &volts));
    for (const auto& in : layout_.inputs)
      if (in.id == c.first) values.push_back(readingJson(in, calibration_, volts));
  }
  if (changes) publishState();
  json j = okAnswer(call);
  j["values"] = values;
  return j;
}

json DeviceWorker::writeOutput(const CallRequest& call) {
  const int id = device_->resolve(call.target, {qcli::kKindAnalogOutput});
  qpanel::OutputInfo* out = layout_.findOutput(device_->nameOf(id));
  if (out == nullptr) throw std::logic_error("output missing from the layout");
  // The library clamps to the converter's span; a value outside the range is
  // refused instead, so that the answer is what was set.
  if (!(call.volts >= out->range.minVolts && call.volts <= out->range.maxVolts)) {
    char text[200];
    std::snprintf(text, sizeof text, "%s takes %g V to %g V, not %g V; nothing was set.",
                  out->name.c_str(), static_cast<double>(out->range.minVolts),
                  static_cast<double>(out->range.maxVolts), call.volts);
    refuse(QELOMSR_ERROR_CLASS_OUT_OF_RANGE, text);
  }
  requireControl(call);
  const float requested = static_cast<float>(call.volts);
  qcli::check(QeloMsrWriteAnalogOutput(device_->handle(), id, requested));
  // What the converter makes of it: the voltage of the code the library wrote.
  const double produced = calibration_.output(id).producedVolts(requested);
  out->volts = static_cast<float>(produced);
  publishState();
  json j = okAnswer(call);
  j[kFieldOutput] = out->name;
  j[kFieldVolts] = produced;
  j["requestedVolts"] = floatJson(requested);
  return j;
}

json DeviceWorker::setPort(const CallRequest& call) {
  const int id = device_->resolve(call.target, {qcli::kKindDigitalPort});
  qpanel::PortInfo* port = layout_.findPort(device_->nameOf(id));
  if (port == nullptr) throw std::logic_error("port missing from the layout");
  for (const auto& [value, field] : {std::make_pair(call.outputEnable, kFieldOutputEnable),
                                     std::make_pair(call.levels, kFieldLevels)}) {
    if (value && *value > port->mask())
      refuse(QELOMSR_ERROR_CLASS_OUT_OF_RANGE,
             port->name + " has " + std::to_string(port->lineNames.size()) + " lines: '" + field +
                 "' is 0 to " + std::to_string(port->mask()) + "; nothing was set.");
  }
  if (call.changesDevice()) requireControl(call);
  const int handle = device_->handle();
  // Levels first, so that lines switched to outputs drive the new levels at once.
  if (call.levels) {
    qcli::check(QeloMsrWriteDigitalPort(handle, id, static_cast<int>(*call.levels)));
    port->levels = static_cast<int>(*call.levels);
  }
  if (call.outputEnable) {
    qcli::check(
        QeloMsrSetDigitalPortOutputEnableMask(handle, id, static_cast<int>(*call.outputEnable)));
    port->outputEnable = static_cast<int>(*call.outputEnable);
  }
  int pins = 0;
  qcli::check(QeloMsrReadDigitalPort(handle, id, &pins));
  if (call.changesDevice()) publishState();
  json j = okAnswer(call);
  j[kFieldPort] = port->name;
  j[kFieldOutputEnable] = port->outputEnable;
  j[kFieldLevels] = port->levels;
  j["pins"] = pins & port->mask();
  return j;
}

json DeviceWorker::setRange(const CallRequest& call) {
  const int id = device_->resolve(call.target, {qcli::kKindAnalogInput, qcli::kKindDiffInput});
  const int rangeId = device_->resolveRange(id, call.range);
  requireControl(call);
  if (stream_)
    refuse(QELOMSR_ERROR_CLASS_LOGIC,
           "a stream runs (" + std::to_string(stream_->id()) +
               "): its blocks name the ranges it started with, so ranges change only after it "
               "stops.");
  applyRange(id, rangeId);
  publishState();
  const qpanel::RangeInfo& r = rangeInForce(layout_, id);
  json range = rangeJson(r.minVolts, r.maxVolts);
  range["name"] = qcli::rangeName(r.maxVolts);
  json j = okAnswer(call);
  j[kFieldInput] = device_->nameOf(id);
  j[kFieldRange] = range;
  return j;
}

json DeviceWorker::counter(const CallRequest& call) {
  const int id = device_->resolve(call.target, {qcli::kKindCounter});
  if (call.changesDevice()) requireControl(call);
  const int handle = device_->handle();
  if (call.enable) {
    qcli::check(QeloMsrSetCounterEnable(handle, id, *call.enable ? 1 : 0));
    layout_.counterEnabled = *call.enable;
  }
  if (call.reset) qcli::check(QeloMsrResetCounter(handle, id));
  qelomsr_int64 count = 0;
  int enabled = 0;
  qcli::check(QeloMsrReadCounter(handle, id, &count));
  qcli::check(QeloMsrGetCounterEnable(handle, id, &enabled));
  layout_.counterEnabled = enabled != 0;
  if (call.changesDevice()) publishState();
  json j = okAnswer(call);
  j[kFieldCounter] = device_->nameOf(id);
  j["count"] = count;
  j["enabled"] = enabled != 0;
  return j;
}

json DeviceWorker::startStream(const CallRequest& call) {
  const auto channels = resolveChannels(
      call.channels, {qcli::kKindAnalogInput, qcli::kKindDiffInput, qcli::kKindDigitalPort,
                      qcli::kKindCounter, qcli::kKindTrigger});
  requireControl(call);
  if (stream_)
    refuse(QELOMSR_ERROR_CLASS_LOGIC,
           "a stream runs (" + std::to_string(stream_->id()) + "); stop it first.");
  StreamSettings settings;
  for (const auto& c : channels) settings.ids.push_back(c.first);
  settings.rateHz = call.rateHz;
  settings.trigger = call.trigger;
  settings.triggerConfig = call.triggerConfig;
  settings.frames = call.frames;
  for (const auto& c : channels)
    if (c.second >= 0 && c.second != rangeInForce(layout_, c.first).id)
      applyRange(c.first, c.second);
  const std::string topic = streamTopic();
  StreamOutbox* outbox = node_.outbox;
  auto stream = std::make_unique<DeviceStream>(
      *device_, layout_, calibration_, settings, nextStreamId_,
      [outbox, topic](const std::vector<uint8_t>& block) { outbox->push(topic, block); });
  liveFrameSet_ = false;  // the stream sets up its own frame
  stream->start();        // a refused rate throws here and nothing runs
  ++nextStreamId_;
  stream_ = std::move(stream);
  publishState();
  json j = okAnswer(call);
  const json described = stream_->describe();
  j["stream"] = stream_->id();
  j[kFieldRateHz] = described["rateHz"];
  j[kFieldChannels] = json::array();
  for (const auto& c : described["channels"]) j[kFieldChannels].push_back(c["name"]);
  j["topic"] = topic;
  return j;
}

json DeviceWorker::stopStream() {
  CallRequest call;
  call.op = Operation::Stop;
  call.opName = kOpStop;
  requireControl(call);
  if (!stream_) refuse(QELOMSR_ERROR_CLASS_LOGIC, "no stream runs; nothing was done.");
  const uint32_t id = stream_->id();
  endStream("stopped by a call");
  json j = okAnswer(call);
  j["stream"] = id;
  j["frames"] = lastStream_.value("frames", json());
  return j;
}

}  // namespace qserve
