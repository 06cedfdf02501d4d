// The device commands of the control channel (trigger, signal, wire, unwire,
// wires: qsim/device_commands.h) for the device models on a virtual USB bus,
// added to a VbusControl by the runner and usable directly from C++ tests:
//
//   trigger <port> pulse [N [PERIOD]]   N pulses (default 1) on the trigger
//                                       input, rising edges PERIOD apart
//                                       (e.g. 500us, a bare number is ns;
//                                       default: twice the device's minimum
//                                       frame period)
//   trigger <port> high | low           the external driver's level
//   trigger <port> state                "<input|output> <high|low> code=... ..."
//   trigger <port> periodic <HZ> [N]    self-running pulses from now (N: count)
//   trigger <port> periodic off
//
// Level changes take effect in order on the device's timeline; sim/README.md
// says what each trigger configuration makes of them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qsim/device_commands.h"
#include "qsim/timeline.h"
#include "qsim/vbus.h"
#include "qsim/vbus_control.h"

namespace qsim {

// The device models behind the ports of `bus`.
ModelLookup modelsOn(VirtualBus& bus);

// Runs "trigger <args...>" against the device model at the port named by
// args[0]; returns the reply lines that come before "ok" (a "note: ..." line
// when the device ignores its input). Throws std::invalid_argument for a bad
// command, naming what is wrong.
std::string triggerCommand(VirtualBus& bus, const std::vector<std::string>& args);

// Adds the trigger command to a control channel of `bus`.
void addTriggerCommand(VbusControl& control, VirtualBus& bus);
// Adds all the device commands; `wires` lists the wires of `timeline`.
void addDeviceCommands(VbusControl& control, VirtualBus& bus, std::shared_ptr<Timeline> timeline);

}  // namespace qsim
