// The subcommand `qelomsr record`: the central logger of served devices.
#pragma once

#include "cli_registry.h"

namespace qrecord {

void addRecordCommand(CLI::App& app, qcli::Command& selected);

}  // namespace qrecord
