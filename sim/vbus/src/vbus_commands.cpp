// The device commands of the control channel on a virtual USB bus: the
// models behind its ports (device_commands.h has the commands themselves).
#include "qsim/vbus_commands.h"

#include <memory>

#include "qsim/device_commands.h"
#include "qsim/model.h"

namespace qsim {

ModelLookup modelsOn(VirtualBus& bus) {
  return [&bus](const std::string& port) {
    return std::dynamic_pointer_cast<DeviceModel>(bus.function(port));
  };
}

std::string triggerCommand(VirtualBus& bus, const std::vector<std::string>& args) {
  return triggerCommand(modelsOn(bus), args);
}

void addTriggerCommand(VbusControl& control, VirtualBus& bus) {
  control.addCommand("trigger", [&bus](const std::vector<std::string>& args) {
    return triggerCommand(bus, args);
  });
}

void addDeviceCommands(VbusControl& control, VirtualBus& bus, std::shared_ptr<Timeline> timeline) {
  for (auto& [name, handler] : deviceCommands(modelsOn(bus), std::move(timeline))) {
    control.addCommand(name, handler);
  }
}

}  // namespace qsim
