#include "serve_json.h"

#include <qelomsr/qelomsr.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "contract.h"
#include "recording.h"

namespace qserve {

using nlohmann::json;

json floatJson(float value) {
  if (!std::isfinite(value)) return nullptr;
  // The double nearest the shortest decimal of the float32: nlohmann prints
  // that double as the same short decimal.
  return std::strtod(qrec::numberText(value).c_str(), nullptr);
}

json rangeJson(float minVolts, float maxVolts) {
  return {{"min", floatJson(minVolts)}, {"max", floatJson(maxVolts)}};
}

json readingJson(const qpanel::InputInfo& input, const qcli::CalibrationView& calibration,
                 float volts) {
  const qpanel::RangeInfo& range = input.ranges[input.range];
  const qcli::InputScale& scale = calibration.input(input.id, range.id);
  return {{"channel", input.name},
          {"value", floatJson(volts)},
          {"unit", "V"},
          {"range", rangeJson(range.minVolts, range.maxVolts)},
          {"clipped", scale.clipped(volts)},
          {"calibrated", scale.calibrated}};
}

json infoJson(const qpanel::DeviceLayout& layout, const qcli::CalibrationView& calibration) {
  char type[16];
  std::snprintf(type, sizeof type, "0x%08X", static_cast<unsigned>(layout.entry.type));
  json j = {{"device", layout.entry.identifier},
            {"family", layout.family->name},
            {"type", type},
            {"serial", layout.serial},
            {"firmware", layout.entry.firmware}};
  json inputs = json::array();
  for (const auto& in : layout.inputs) {
    json ranges = json::array();
    bool calibrated = true;
    for (const auto& r : in.ranges) {
      const qcli::InputScale& scale = calibration.input(in.id, r.id);
      json range = rangeJson(r.minVolts, r.maxVolts);
      range["name"] = qcli::rangeName(r.maxVolts);
      range["calibrated"] = scale.calibrated;
      range["lowest"] = floatJson(scale.lowestVolts);
      range["highest"] = floatJson(scale.highestVolts);
      ranges.push_back(range);
      calibrated = calibrated && scale.calibrated;
    }
    inputs.push_back(
        {{"name", in.name}, {"unit", "V"}, {"ranges", ranges}, {"calibrated", calibrated}});
  }
  j["inputs"] = inputs;
  json outputs = json::array();
  for (const auto& out : layout.outputs)
    outputs.push_back({{"name", out.name},
                       {"unit", "V"},
                       {"range", rangeJson(out.range.minVolts, out.range.maxVolts)},
                       {"calibrated", calibration.output(out.id).calibrated()}});
  j["outputs"] = outputs;
  json ports = json::array();
  for (const auto& p : layout.ports)
    ports.push_back({{"name", p.name}, {"unit", "raw"}, {"lines", p.lineNames}});
  j["ports"] = ports;
  j["counter"] = layout.counter ? json{{"name", layout.counter->name}, {"unit", "raw"}} : json();
  j["trigger"] = layout.trigger ? json{{"name", layout.trigger->name}, {"unit", "raw"}} : json();
  return j;
}

std::string payloadText(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string errorAnswer(const std::string& text, int errorClass) {
  return payloadText(
      {{qmqtt::kFieldOk, false}, {qmqtt::kFieldError, text}, {qmqtt::kFieldClass, errorClass}});
}

}  // namespace qserve
