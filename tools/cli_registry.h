// Registration of the subcommands with CLI11. The device commands are
// described once in a table and registered twice: on the command line, where
// each takes the device as its first argument and opens it, and for the lines
// of a session, which run on the session's open device.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>

namespace qcli {

class Device;

// What a parsed command line runs; returns the process exit code.
using Command = std::function<int()>;

// list: the attached devices, opening none.
void addListCommand(CLI::App& app, Command& selected);
// info, read, write, dio, counter, stream, bench: each opens its DEVICE.
void addDeviceCommands(CLI::App& app, Command& selected);
// session DEVICE [FILE]: the device commands, line by line, on one open device.
void addSessionCommand(CLI::App& app, Command& selected);

// The commands a session line may hold: the device commands without their
// DEVICE argument, and sleep SECONDS.
void addSessionLineCommands(CLI::App& app, Device& device, Command& selected);

// Says on standard error which device a command opened (identifier, family,
// serial, firmware), so that a shifted list index cannot go unnoticed.
void announce(const Device& device);

// The help texts shared by the command line and the documentation.
extern const char* const kExitCodesHelp;
extern const char* const kOpeningResetsHelp;

}  // namespace qcli
