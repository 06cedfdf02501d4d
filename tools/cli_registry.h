// Registration of the subcommands with CLI11. The device commands are
// described once in a table and registered twice: on the command line, where
// each takes the device as its first argument and opens it, and for the lines
// of a session, which run on the session's open device.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

namespace qmqtt {
struct BrokerArgs;
}

namespace qcli {

class Device;

// What a parsed command line runs; returns the process exit code.
using Command = std::function<int()>;

// list: the attached devices, opening none.
void addListCommand(CLI::App& app, Command& selected);
// info, read, write, dio, counter, stream, bench: each opens its DEVICE, or,
// with broker.url set (qelomsr --broker URL ...), reaches the device NODE/ID
// served on that broker (info, read, write, dio, counter).
void addDeviceCommands(CLI::App& app, Command& selected, const qmqtt::BrokerArgs& broker);
// session DEVICE [FILE]: the device commands, line by line, on one open device.
void addSessionCommand(CLI::App& app, Command& selected);

// The commands a session line may hold: the device commands without their
// DEVICE argument, and sleep SECONDS.
void addSessionLineCommands(CLI::App& app, Device& device, Command& selected);

// Says on standard error which device a command opened (identifier, family,
// serial, firmware).
void announce(const Device& device);

// session DEVICE [FILE]: opens the device and runs the lines of FILE or
// standard input; on a terminal, runTerminalSession.
int runSession(const std::string& device, const std::string& file, bool quiet);
// Runs the command of one session line on the device; returns its exit code.
int runSessionLine(Device& device, const std::vector<std::string>& words);
// The session on a terminal: a prompt with line editing and history; a line
// that fails says why and the session goes on with the device as it is;
// Ctrl-C stops the running command (or clears the line), exit, quit or
// Ctrl-D end the session.
int runTerminalSession(Device& device);

// The help texts shared by the command line and the documentation.
extern const char* const kExitCodesHelp;
extern const char* const kOpeningResetsHelp;

}  // namespace qcli
