// The session subcommand: the device commands, one per line, on one open
// device, so that what one line sets (an output, the counter, a range) is
// still set for the next. Lines come from a file or standard input; on a
// terminal the session prompts with line editing and history
// (cli_terminal.cpp) and goes on after a failing line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli_acquisition.h"
#include "cli_device.h"
#include "cli_process.h"
#include "cli_registry.h"

namespace qcli {

// Runs one line; returns its exit code.
int runSessionLine(Device& device, const std::vector<std::string>& words) {
  CLI::App app{"A command of a session.", "session line:"};
  app.require_subcommand(1);
  Command selected;
  addSessionLineCommands(app, device, selected);
  bool known = false;
  std::string names;
  for (const CLI::App* sub : app.get_subcommands({})) {
    known = known || sub->get_name() == words[0];
    names += (names.empty() ? "" : ", ") + sub->get_name();
  }
  if (!known && words[0][0] != '-')
    throw UsageError("'" + words[0] + "' is not a session command (choose from: " + names + ")");
  std::vector<std::string> reversed(words.rbegin(), words.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp& e) {
    std::ostringstream help, errors;
    app.exit(e, help, errors);
    std::fputs(help.str().c_str(), out());
    return kExitSuccess;
  } catch (const CLI::ParseError& e) {
    throw UsageError(e.what());
  }
  const int code = selected();
  std::fflush(out());
  return code;
}

int runSession(const std::string& deviceText, const std::string& file, bool quiet) {
  std::ifstream named;
  std::istream* in = &std::cin;
  const bool fromStdin = file.empty() || file == "-";
  if (!fromStdin) {
    named.open(file);
    if (!named) throw std::runtime_error("cannot read '" + file + "': " + std::strerror(errno));
    in = &named;
  }
  Device device = Device::open(deviceText);
  if (!quiet) announce(device);
  if (fromStdin && isatty(STDIN_FILENO)) return runTerminalSession(device);
  std::string line;
  for (int number = 1; std::getline(*in, line); ++number) {
    if (stopRequested()) return exitCodeForSignal(stopSignal());
    int code = kExitSuccess;
    try {
      const std::vector<std::string> words = splitSessionLine(line);
      if (words.empty()) continue;
      code = runSessionLine(device, words);
    } catch (const std::exception& e) {
      endProgressLine();
      std::fprintf(stderr, "qelomsr: session line %d: %s\n", number, line.c_str());
      return reportFailure(e);
    }
    if (code != kExitSuccess) {
      // Interrupted or with nobody reading: nothing more to say.
      if (code != kExitBrokenPipe && !stopRequested())
        std::fprintf(stderr, "qelomsr: session line %d ended with exit code %d: %s\n", number, code,
                     line.c_str());
      return code;
    }
  }
  // A signal also ends a read of the commands that was waiting for input.
  if (stopRequested()) return exitCodeForSignal(stopSignal());
  if (in->bad()) throw std::runtime_error("reading the session commands failed");
  return kExitSuccess;
}

}  // namespace qcli
