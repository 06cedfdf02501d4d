#include "device_layout.h"

#include <algorithm>

#include "float_text.h"

namespace qpanel {

using nlohmann::json;

namespace {

json rangeJson(const RangeInfo& r) {
  return {{"min", float32Json(r.minVolts)}, {"max", float32Json(r.maxVolts)}};
}

template <typename T>
T* byName(std::vector<T>& items, const std::string& name) {
  for (auto& item : items)
    if (item.name == name) return &item;
  return nullptr;
}

RangeInfo rangeOf(const qcli::Device& device, int peripheralId, int rangeId) {
  RangeInfo r;
  r.id = rangeId;
  qcli::check(
      QeloMsrGetRangeMinMax(device.handle(), peripheralId, rangeId, &r.minVolts, &r.maxVolts));
  return r;
}

}  // namespace

json DeviceLayout::toJson() const {
  json j;
  j["device"] = entry.identifier;
  j["family"] = family->name;
  j["firmware"] = entry.firmware;
  j["serial"] = serial;
  j["inputs"] = json::array();
  for (const auto& in : inputs) {
    json ranges = json::array();
    for (const auto& r : in.ranges) {
      json range = rangeJson(r);
      range["calibrated"] = calibration.input(in.id, r.id).calibrated;
      ranges.push_back(range);
    }
    j["inputs"].push_back({{"name", in.name}, {"ranges", ranges}, {"range", in.range}});
  }
  j["outputs"] = json::array();
  for (const auto& out : outputs) {
    const qcli::OutputScale& scale = calibration.output(out.id);
    json o = {{"name", out.name},
              {"range", rangeJson(out.range)},
              {"volts", out.volts ? float32Json(*out.volts) : json()},
              {"producedVolts", scale.producedVolts(out.volts.value_or(0.0f))},
              {"calibrated", scale.calibrated()}};
    j["outputs"].push_back(o);
  }
  j["uncalibrated"] = json::array();
  for (const auto& u : calibration.uncalibrated())
    j["uncalibrated"].push_back(calibration.describeUncalibrated(u.id));
  j["ports"] = json::array();
  for (const auto& p : ports)
    j["ports"].push_back({{"name", p.name},
                          {"lines", p.lineNames},
                          {"outputEnable", p.outputEnable},
                          {"levels", p.levels}});
  j["counter"] = counter ? json{{"name", counter->name}, {"enabled", counterEnabled}} : json();
  j["trigger"] = trigger ? json{{"name", trigger->name}} : json();
  j["led"] = led ? json{{"name", led->name}, {"on", ledOn}} : json();
  j["temperature"] = hasTemperature;
  j["currents"] = json::array();
  for (const auto& c : currentsMicroamps)
    j["currents"].push_back({{"name", c.first}, {"microamps", c.second}});
  return j;
}

void DeviceLayout::resetSettings() {
  for (auto& in : inputs) in.range = 0;
  for (auto& out : outputs) out.volts.reset();
  for (auto& p : ports) p.outputEnable = p.levels = 0;
  ledOn = false;
  counterEnabled = false;
}

InputInfo* DeviceLayout::findInput(const std::string& name) { return byName(inputs, name); }
OutputInfo* DeviceLayout::findOutput(const std::string& name) { return byName(outputs, name); }
PortInfo* DeviceLayout::findPort(const std::string& name) { return byName(ports, name); }

std::vector<int> DeviceLayout::frameInputs() const {
  std::vector<int> ids;
  for (const auto& in : inputs) ids.push_back(in.id);
  for (const auto& p : ports) ids.push_back(p.id);
  if (counter) ids.push_back(counter->id);
  if (trigger) ids.push_back(trigger->id);
  return ids;
}

DeviceLayout::FrameSlot DeviceLayout::frameSlot(int id) const {
  for (const auto& in : inputs)
    if (in.id == id) return {in.name, true, in.slot};
  for (const auto& p : ports)
    if (p.id == id) return {p.name, false, p.slot};
  if (counter && counter->id == id) return {counter->name, false, family->counterSlot};
  if (trigger && trigger->id == id) return {trigger->name, false, family->triggerSlot};
  throw std::logic_error("not a frame input");
}

DeviceLayout describeDevice(const qcli::Device& device) {
  DeviceLayout layout;
  layout.entry = device.entry();
  layout.family = &device.family();
  layout.serial = device.serialNumber();
  const int handle = device.handle();
  for (const auto& p : device.peripherals()) {
    switch (qcli::kindOf(p.id)) {
      case qcli::kKindAnalogInput:
      case qcli::kKindDiffInput: {
        InputInfo in;
        in.id = p.id;
        in.name = p.name;
        for (int rangeId : device.ranges(p.id)) in.ranges.push_back(rangeOf(device, p.id, rangeId));
        int rangeId = 0, delay = 0;
        qcli::check(QeloMsrGetAnalogInputParameters(handle, p.id, &rangeId, &delay));
        for (size_t i = 0; i < in.ranges.size(); ++i)
          if (in.ranges[i].id == rangeId) in.range = i;
        in.slot = device.valueSlot(p.id);
        layout.inputs.push_back(std::move(in));
        break;
      }
      case qcli::kKindAnalogOutput: {
        OutputInfo out;
        out.id = p.id;
        out.name = p.name;
        const std::vector<int> ranges = device.ranges(p.id);
        if (ranges.empty()) throw std::runtime_error(p.name + " reports no range.");
        out.range = rangeOf(device, p.id, ranges.front());
        layout.outputs.push_back(std::move(out));
        break;
      }
      case qcli::kKindDigitalPort: {
        PortInfo port;
        port.id = p.id;
        port.name = p.name;
        port.slot = p.id & 0xFF;
        int lines = 0;
        qcli::check(QeloMsrGetDigitalPortIoCount(handle, p.id, &lines));
        char name[64];
        for (int io = 0; io < lines && io < 16; ++io) {
          qcli::check(QeloMsrGetDigitalPortIoName(handle, p.id, io, name, sizeof name));
          port.lineNames.push_back(name);
        }
        layout.ports.push_back(std::move(port));
        break;
      }
      case qcli::kKindCounter:
        layout.counter = p;
        break;
      case qcli::kKindTrigger:
        layout.trigger = p;
        break;
      case qcli::kKindLed:
        layout.led = p;
        break;
      case qcli::kKindCurrentSource: {
        float microamps = 0;
        qcli::check(QeloMsrGetReferenceCurrent(handle, p.id, &microamps));
        layout.currentsMicroamps.emplace_back(p.name, microamps);
        break;
      }
      default:
        break;
    }
  }
  if (layout.counter) {
    int enabled = 0;
    qcli::check(QeloMsrGetCounterEnable(handle, layout.counter->id, &enabled));
    layout.counterEnabled = enabled != 0;
  }
  layout.hasTemperature = layout.family->temperatureSensor;
  layout.calibration = qcli::CalibrationView::read(device);
  return layout;
}

}  // namespace qpanel
