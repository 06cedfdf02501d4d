// The device commands on a device served on a broker (qelomsr --broker URL
// read NODE/ID ...): the same arguments and the same output as on a device
// opened here (cli_output.h prints both), through the server's calls.
#pragma once

#include "cli_commands.h"
#include "remote_device.h"

namespace qremote {

int runInfo(RemoteDevice& device, const qcli::OutputOptions& output);
int runRead(RemoteDevice& device, const qcli::ReadArgs& args);
int runWrite(RemoteDevice& device, const qcli::WriteArgs& args);
int runDio(RemoteDevice& device, const qcli::DioArgs& args);
int runCounter(RemoteDevice& device, const qcli::CounterArgs& args);

}  // namespace qremote
