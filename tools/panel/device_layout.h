// What an open device offers, asked once through the public interface when the
// panel opens it, plus the settings the panel made since (the library keeps no
// copy of output levels, enables and DAC values, so the session does).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "../calibration_view.h"
#include "../cli_device.h"

namespace qpanel {

struct RangeInfo {
  int id = 0;
  float minVolts = 0, maxVolts = 0;
};

struct InputInfo {
  int id = 0;
  std::string name;
  std::vector<RangeInfo> ranges;
  size_t range = 0;  // index into ranges: the range in force
  int slot = 0;      // value slot in a frame record
};

struct OutputInfo {
  int id = 0;
  std::string name;
  RangeInfo range;
  // The value this panel asked for; empty after a reset (the DAC then holds
  // its calibrated 0 V code). The output produces the voltage of the DAC code
  // the library chose for it (calibration.output(id).producedVolts).
  std::optional<float> volts;
};

struct PortInfo {
  int id = 0;
  std::string name;
  std::vector<std::string> lineNames;
  int outputEnable = 0;  // bit set = line drives; 0 after a reset
  int levels = 0;        // output levels written; 0 after a reset
  int slot = 0;          // port slot in a frame record
  int mask() const { return (1 << lineNames.size()) - 1; }
};

struct DeviceLayout {
  qcli::DeviceEntry entry;
  const qcli::FamilyInfo* family = nullptr;
  std::string serial;
  std::vector<InputInfo> inputs;
  std::vector<OutputInfo> outputs;
  std::vector<PortInfo> ports;
  std::optional<qcli::Peripheral> counter, trigger, led;
  std::vector<std::pair<std::string, float>> currentsMicroamps;
  bool hasTemperature = false;
  bool ledOn = false;
  bool counterEnabled = false;
  // Calibration state, clip limits and output codes, read when opened.
  qcli::CalibrationView calibration;

  // Everything the page shows about the device and its settings.
  nlohmann::json toJson() const;
  // Back to what opening the device leaves (ranges, outputs, ports, LED,
  // counter at their reset state).
  void resetSettings();

  InputInfo* findInput(const std::string& name);
  OutputInfo* findOutput(const std::string& name);
  PortInfo* findPort(const std::string& name);
  // Identifiers of everything a frame can hold: inputs, ports, counter, trigger.
  std::vector<int> frameInputs() const;
  // The name of a frame input, its slot and whether it is an analog value.
  struct FrameSlot {
    std::string name;
    bool analog;
    int slot;
  };
  FrameSlot frameSlot(int id) const;
};

// Asks an open device for its layout (names, ranges, ports, extras).
DeviceLayout describeDevice(const qcli::Device& device);

}  // namespace qpanel
