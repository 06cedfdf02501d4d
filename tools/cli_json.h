// JSON documents of the commands' --json output (keys in docs/usage.md):
// numbers as the values they stand for, never float32 noise.
#pragma once

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "cli_device.h"
#include "recording.h"

namespace qcli {

using Json = nlohmann::ordered_json;

// A float32 of the library (volts, range limits) as the double nearest to
// its shortest decimal text, so that 0.1f appears as 0.1, not as
// 0.10000000149011612.
inline Json jsonFloat(float value) { return std::strtod(qrec::numberText(value).c_str(), nullptr); }

// Prints a document on the tool's standard output, one line.
void printJson(const Json& document);

// The limits of a range: {"name": "10V", "min_volts": -10, "max_volts": 10}.
Json jsonRange(const Device& device, int peripheralId, int rangeId);

}  // namespace qcli
