// Control commands the runner adds for its device models, so that a program
// on the bus (or a test driving it) can run the devices' clock by hand and
// watch what a device holds:
//
//   clock                      "now <ns>" and "mode manual|steady"
//   clock manual               stop the clock where it stands
//   clock steady               let it follow real time again from there
//   clock advance <duration>   manual clock only: "10ms", "2.5s", "250us", "40ns"
//   state <port>               one "<name> <value>" line per item (see sim/README.md)
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "command_words.h"
#include "qsim/clock.h"
#include "qsim/vbus.h"
#include "qsim/vbus_control.h"

namespace qsim {

class DeviceModel;

// The state lines of a device: its model, the bus's traffic counters, and
// whether it is plugged in.
std::string describeDeviceState(const DeviceModel& model, const VbusStats& stats, bool present);

void addClockCommand(VbusControl& control, VirtualBus& bus, std::shared_ptr<SwitchableClock> clock);
void addStateCommand(VbusControl& control, VirtualBus& bus);

}  // namespace qsim
