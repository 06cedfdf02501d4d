// The JSON texts of a served device: its info topic, the numbers in every
// payload, and the answers to calls.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "calibration_view.h"
#include "device_layout.h"

namespace qserve {

// A float32 of the library as a JSON number that prints as the shortest
// decimal reading back as the same float32 (0.1, not 0.10000000149011612);
// null for NaN and infinities.
nlohmann::json floatJson(float value);
// {"min": ..., "max": ...} in volts.
nlohmann::json rangeJson(float minVolts, float maxVolts);

// The retained info topic: identity, channels with ranges and units,
// calibration state (docs/usage.md lists the fields).
nlohmann::json infoJson(const qpanel::DeviceLayout& layout,
                        const qcli::CalibrationView& calibration);

// A single reading of an analog input in the range in force: value, unit,
// range, clipped (at or beyond the converter's end), calibrated.
nlohmann::json readingJson(const qpanel::InputInfo& input, const qcli::CalibrationView& calibration,
                           float volts);

// The text of a payload; text that is not valid UTF-8 (a name cut short in
// a message) is replaced, never a reason to fail.
std::string payloadText(const nlohmann::json& j);

// {"ok": false, "error": text, "class": errorClass}
std::string errorAnswer(const std::string& text, int errorClass);

}  // namespace qserve
