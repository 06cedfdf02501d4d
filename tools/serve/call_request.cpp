#include "call_request.h"

#include <qelomsr/qelomsr.h>

#include <nlohmann/json.hpp>

#include "contract.h"
#include "panel_error.h"
#include "request_body.h"

namespace qserve {

namespace {

using namespace qmqtt;

// A request is an object of names, numbers and one list of names.
constexpr int kMaxDepth = 3;
constexpr size_t kMaxChannels = kMaxBlockChannels;
constexpr long long kMaxFrames = 1LL << 50;

[[noreturn]] void bad(const std::string& message) {
  throw CallError(QELOMSR_ERROR_CLASS_INVALID_ARGUMENT, message);
}

struct OperationFields {
  const char* name;
  Operation op;
  std::initializer_list<const char*> fields;
};

const OperationFields kOperations[] = {
    {kOpRead, Operation::Read, {kFieldOp, kFieldChannels}},
    {kOpWrite, Operation::Write, {kFieldOp, kFieldOutput, kFieldVolts}},
    {kOpPort, Operation::Port, {kFieldOp, kFieldPort, kFieldOutputEnable, kFieldLevels}},
    {kOpRange, Operation::Range, {kFieldOp, kFieldInput, kFieldRange}},
    {kOpCounter, Operation::Counter, {kFieldOp, kFieldCounter, kFieldEnable, kFieldReset}},
    {kOpStart,
     Operation::Start,
     {kFieldOp, kFieldChannels, kFieldRateHz, kFieldTrigger, kFieldTriggerConfig, kFieldFrames}},
    {kOpStop, Operation::Stop, {kFieldOp}},
};

std::string operationList() {
  std::string names;
  for (const auto& o : kOperations) names += std::string(names.empty() ? "" : ", ") + o.name;
  return names;
}

// The body's first reading: its shape and the operation it names.
const OperationFields& operationOf(const std::string& body, nlohmann::json& j) {
  bool tooDeep = false;
  try {
    j = nlohmann::json::parse(body, [&](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
      tooDeep = tooDeep || depth > kMaxDepth;
      return !tooDeep;
    });
  } catch (const nlohmann::json::exception&) {
    bad("The request is not valid JSON.");
  }
  if (tooDeep) bad("The request nests deeper than a call does.");
  if (!j.is_object()) bad("The request must be a JSON object.");
  const auto op = j.find(kFieldOp);
  if (op == j.end() || !op->is_string())
    bad(std::string("The request names no operation: give \"op\", one of ") + operationList() +
        ".");
  for (const auto& o : kOperations)
    if (*op == o.name) return o;
  bad("Unknown operation '" + op->get<std::string>().substr(0, 64) + "' (choose from " +
      operationList() + ").");
}

std::optional<std::string> optionalText(const qpanel::RequestBody& body, const nlohmann::json& j,
                                        const char* field) {
  const auto it = j.find(field);
  if (it == j.end() || it->is_null()) return std::nullopt;
  return body.text(field);
}

}  // namespace

bool CallRequest::changesDevice() const {
  switch (op) {
    case Operation::Read:
      return false;
    case Operation::Port:
      return outputEnable.has_value() || levels.has_value();
    case Operation::Counter:
      return enable.has_value() || reset;
    default:
      return true;
  }
}

CallRequest parseCallRequest(const std::string& body) {
  if (body.size() > kMaxCallBytes)
    bad("The request has " + std::to_string(body.size()) + " bytes; a call has at most " +
        std::to_string(kMaxCallBytes) + ".");
  nlohmann::json j;
  const OperationFields& o = operationOf(body, j);
  CallRequest call;
  call.op = o.op;
  call.opName = o.name;
  try {
    const qpanel::RequestBody fields(body, o.fields);
    switch (o.op) {
      case Operation::Read:
        call.channels = fields.texts(kFieldChannels, kMaxChannels);
        if (call.channels.empty()) bad("Name at least one channel to read.");
        break;
      case Operation::Write:
        call.target = fields.text(kFieldOutput);
        call.volts = fields.number(kFieldVolts);
        break;
      case Operation::Port:
        call.target = fields.text(kFieldPort);
        call.outputEnable = fields.optionalInteger(kFieldOutputEnable, 0, 0xFF);
        call.levels = fields.optionalInteger(kFieldLevels, 0, 0xFF);
        break;
      case Operation::Range:
        call.target = fields.text(kFieldInput);
        call.range = fields.text(kFieldRange);
        break;
      case Operation::Counter:
        call.target = optionalText(fields, j, kFieldCounter).value_or("CNT");
        call.enable = fields.optionalFlag(kFieldEnable);
        call.reset = fields.optionalFlag(kFieldReset).value_or(false);
        break;
      case Operation::Start: {
        call.channels = fields.texts(kFieldChannels, kMaxChannels);
        if (call.channels.empty()) bad("Name at least one channel to stream.");
        const std::string trigger = optionalText(fields, j, kFieldTrigger).value_or("none");
        if (trigger == "none")
          call.trigger = StreamTrigger::None;
        else if (trigger == "start")
          call.trigger = StreamTrigger::Start;
        else if (trigger == "sample")
          call.trigger = StreamTrigger::Sample;
        else
          bad("'trigger' is none, start or sample, not '" + trigger + "'.");
        call.triggerConfig = optionalText(fields, j, kFieldTriggerConfig).value_or("in-a");
        if (call.triggerConfig != "in-a" && call.triggerConfig != "in-b" &&
            call.triggerConfig != "in-c")
          bad("'triggerConfig' is in-a, in-b or in-c, not '" + call.triggerConfig + "'.");
        call.frames = fields.optionalInteger(kFieldFrames, 0, kMaxFrames).value_or(0);
        const bool rateGiven = j.contains(kFieldRateHz) && !j[kFieldRateHz].is_null();
        if (call.trigger == StreamTrigger::Sample) {
          if (rateGiven)
            bad("'rateHz' does not apply to trigger sample: the device takes one frame per "
                "trigger event.");
          call.rateHz = -1;
        } else {
          call.rateHz = fields.number(kFieldRateHz);
          if (call.rateHz < 1.0 || call.rateHz > 1e7)
            bad("'rateHz' must be a rate from 1 to 10000000 Hz.");
        }
        break;
      }
      case Operation::Stop:
        break;
    }
  } catch (const qpanel::PanelError& e) {
    bad(e.what());
  }
  return call;
}

}  // namespace qserve
