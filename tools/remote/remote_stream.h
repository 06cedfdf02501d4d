// `qelomsr --broker URL stream NODE/ID ...`: a stream of a served device
// into the same files, with the same summary, as a stream of a device opened
// here (cli_stream_recording.h). The server starts the acquisition with a
// call and publishes its records; this command writes them (stream_records.h)
// and stops the acquisition at the end.
#pragma once

#include "cli_commands.h"
#include "remote_device.h"

namespace qremote {

int runStream(RemoteDevice& device, const qcli::StreamArgs& args);

}  // namespace qremote
