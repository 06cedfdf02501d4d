// The tool as a process: where its output goes, how it stops on signals and
// which exit codes it returns.
#pragma once

#include <cstdio>
#include <exception>

namespace qcli {

// Exit codes (listed in --help and docs/usage.md).
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;       // a library, device or file error
constexpr int kExitUsage = 2;         // bad arguments
constexpr int kExitBrokenPipe = 141;  // the reader of standard output went away (128 + SIGPIPE)
inline int exitCodeForSignal(int signal) { return 128 + signal; }  // 130 SIGINT, 143 SIGTERM

// The library writes its console log (COMMAPI_LOGGING) to the process's
// standard output. This points the process's standard output at standard
// error and keeps the original for the tool's own output, out(), so that data
// written to standard output stays clean. Call first in main.
void separateLibraryOutput();
// The tool's own standard output: tables, values, CSV.
std::FILE* out();

// SIGINT and SIGTERM ask long work (streams, sessions, sleeps) to stop and
// the tool to exit with 128 + the signal number. A second one asks to stop
// sooner: a stream ends after the row it is writing (the file still closed
// with its trailer); a third ends the process at once.
// SIGPIPE is ignored (writes fail with EPIPE), and so is SIGXFSZ (a file
// size limit makes writes fail with EFBIG instead of killing the tool).
void installStopSignals();
// The first stop signal received, or 0.
int stopSignal();
inline bool stopRequested() { return stopSignal() != 0; }
// A second stop signal came: stop without finishing the work at hand.
bool stopInsisted();
// Forgets a stop signal that has been dealt with: a session on a terminal
// goes on after Ctrl-C ended one of its commands.
void clearStopRequest();
// Sleeps; returns false as soon as a stop signal came.
bool sleepUnlessStopped(double seconds);

// Prints a failure as "qelomsr: error: ..." on standard error (nothing for a
// closed pipe) and returns its exit code. Usage errors are printed without
// the usage text here.
int reportFailure(const std::exception& e);

}  // namespace qcli
