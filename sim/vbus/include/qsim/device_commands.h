// Control commands for the device models behind the ports of a bus, without
// the USB side (the runner adds them to its control channel; tests and fuzz
// targets run them on models of their own):
//
//   trigger PORT pulse [N [PERIOD]] | high | low | state | periodic HZ [N] | periodic off
//   signal PORT list                 every input's signal, one line each
//   signal PORT INPUT                one input's: "AI-0 sine amplitude=0.6 frequency=1 ..."
//   signal PORT INPUT dc VOLTS       from the next instant of the timeline on
//   signal PORT INPUT KIND [KEY=VALUE...]   dc, sine, ramp, noise; keys as in the
//                                    device JSON (amplitude frequency offset phase seed)
//   wire FROM TO[,TO...]             FROM's trigger line drives those of TO
//   unwire PORT                      takes PORT off its wire (as source or receiver)
//   wires                            "FROM TO,... drives=... carries=high|low|none"
//
// sim/README.md describes them. Every handler returns the reply lines that
// come before "ok" and throws std::invalid_argument naming what is wrong.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qsim/model.h"
#include "qsim/timeline.h"

namespace qsim {

// The device model at a port (null when there is none).
using ModelLookup = std::function<std::shared_ptr<DeviceModel>(const std::string& port)>;
using DeviceCommand = std::function<std::string(const std::vector<std::string>& args)>;

// The commands above by name; `wires` lists the wires of `timeline`.
std::map<std::string, DeviceCommand> deviceCommands(ModelLookup lookup,
                                                    std::shared_ptr<Timeline> timeline);

// The single commands (args: the words after the command's name).
std::string triggerCommand(const ModelLookup& lookup, const std::vector<std::string>& args);
std::string signalCommand(const ModelLookup& lookup, const std::vector<std::string>& args);
std::string wireCommand(const ModelLookup& lookup, const std::vector<std::string>& args);
std::string unwireCommand(const ModelLookup& lookup, const std::vector<std::string>& args);
std::string wiresCommand(Timeline& timeline, const std::vector<std::string>& args);

}  // namespace qsim
