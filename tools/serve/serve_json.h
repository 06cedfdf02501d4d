// The JSON texts of a served device: its info topic, the numbers in every
// payload, and the answers to calls.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "device_layout.h"

namespace qserve {

// A float32 of the library as a JSON number that prints as the shortest
// decimal reading back as the same float32 (0.1, not 0.10000000149011612);
// null for NaN and infinities.
nlohmann::json floatJson(float value);
// {"min": ..., "max": ...} in volts.
nlohmann::json rangeJson(float minVolts, float maxVolts);

// Whether an analog input or output of the device converts through its own
// calibration record (false: the nominal conversion of an erased record).
// The library's interface does not tell; nothing: not known.
std::optional<bool> calibrationOf(const qpanel::DeviceLayout& layout, const std::string& name);

// The retained info topic: identity, channels with ranges and units,
// calibration state (docs/usage.md lists the fields).
nlohmann::json infoJson(const qpanel::DeviceLayout& layout);

// The text of a payload; text that is not valid UTF-8 (a name cut short in
// a message) is replaced, never a reason to fail.
std::string payloadText(const nlohmann::json& j);

// {"ok": false, "error": text, "class": errorClass}
std::string errorAnswer(const std::string& text, int errorClass);

}  // namespace qserve
