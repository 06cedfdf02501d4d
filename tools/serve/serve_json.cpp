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

std::optional<bool> calibrationOf(const qpanel::DeviceLayout&, const std::string&) {
  return std::nullopt;
}

namespace {

json calibrationJson(const qpanel::DeviceLayout& layout, const std::string& name) {
  const std::optional<bool> calibrated = calibrationOf(layout, name);
  return calibrated ? json(*calibrated) : json();
}

}  // namespace

json infoJson(const qpanel::DeviceLayout& layout) {
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
    for (const auto& r : in.ranges) {
      json range = rangeJson(r.minVolts, r.maxVolts);
      range["name"] = qcli::rangeName(r.maxVolts);
      ranges.push_back(range);
    }
    inputs.push_back({{"name", in.name},
                      {"unit", "V"},
                      {"ranges", ranges},
                      {"calibrated", calibrationJson(layout, in.name)}});
  }
  j["inputs"] = inputs;
  json outputs = json::array();
  for (const auto& out : layout.outputs)
    outputs.push_back({{"name", out.name},
                       {"unit", "V"},
                       {"range", rangeJson(out.range.minVolts, out.range.maxVolts)},
                       {"calibrated", calibrationJson(layout, out.name)}});
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
