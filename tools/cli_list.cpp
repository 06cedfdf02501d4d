// The list subcommand: every Qelo device on the buses, opening none.
#include <cstdio>

#include "cli_commands.h"
#include "cli_json.h"
#include "cli_process.h"

namespace qcli {

namespace {

// The stable word for a state in --json output.
const char* stateKey(UsbFailure state) {
  switch (state) {
    case UsbFailure::None:
      return "available";
    case UsbFailure::InUse:
      return "in-use";
    case UsbFailure::NoAccess:
      return "no-access";
    default:
      return "not-answering";
  }
}

}  // namespace

void printJson(const Json& document) { std::fprintf(out(), "%s\n", document.dump().c_str()); }

Json jsonRange(const Device& device, int peripheralId, int rangeId) {
  const RangeLimits r = device.limits(peripheralId, rangeId);
  return Json{{"name", rangeName(r.maxVolts)},
              {"min_volts", jsonFloat(r.minVolts)},
              {"max_volts", jsonFloat(r.maxVolts)}};
}

int runList(const OutputOptions& output) {
  const std::vector<AttachedDevice> devices = attachedDevices(enumerateDevices());
  if (output.json) {
    Json list = Json::array();
    for (const auto& d : devices) {
      const DeviceEntry& e = d.entry;
      list.push_back({{"identifier", e.identifier},
                      {"family", familyInfo(e.type).name},
                      {"type", e.type},
                      {"serial", e.usbSerial.empty() ? Json() : Json(e.usbSerial)},
                      {"firmware", d.available() ? Json(e.firmware) : Json()},
                      {"state", stateKey(d.state)}});
    }
    printJson({{"devices", list}});
    return kExitSuccess;
  }
  if (devices.empty()) {
    if (!output.quiet) std::fprintf(stderr, "qelomsr: no devices found\n");
    return kExitSuccess;
  }
  std::FILE* o = out();
  std::fprintf(o, "%-16s  %-6s  %-16s  %-8s  %s\n", "IDENTIFIER", "FAMILY", "SERIAL", "FIRMWARE",
               "STATE");
  for (const auto& d : devices) {
    const DeviceEntry& e = d.entry;
    std::fprintf(o, "%-16s  %-6s  %-16s  %-8s  %s\n", e.identifier.c_str(), familyInfo(e.type).name,
                 e.usbSerial.empty() ? "-" : e.usbSerial.c_str(),
                 d.available() ? e.firmware.c_str() : "-",
                 d.available() ? "available" : stateText(d.state));
  }
  return kExitSuccess;
}

}  // namespace qcli
