// The subcommand `qelomsr serve`.
#pragma once

#include "cli_registry.h"

namespace qserve {

void addServeCommand(CLI::App& app, qcli::Command& selected);

}  // namespace qserve
