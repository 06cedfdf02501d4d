// The device commands by name, for a control channel.
#include "qsim/device_commands.h"

#include <utility>

namespace qsim {

std::map<std::string, DeviceCommand> deviceCommands(ModelLookup lookup,
                                                    std::shared_ptr<Timeline> timeline) {
  const auto with = [lookup](std::string (*command)(const ModelLookup&,
                                                    const std::vector<std::string>&)) {
    return
        [lookup, command](const std::vector<std::string>& args) { return command(lookup, args); };
  };
  return {{"trigger", with(triggerCommand)},
          {"signal", with(signalCommand)},
          {"wire", with(wireCommand)},
          {"unwire", with(unwireCommand)},
          {"wires", [timeline](const std::vector<std::string>& args) {
             return wiresCommand(*timeline, args);
           }}};
}

}  // namespace qsim
