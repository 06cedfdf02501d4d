// The subcommands of the qelomsr tool. Each writes its results to the tool's
// standard output (out()) and returns the process exit code; failures are
// thrown (ApiError, UsageError, qrec::RecordingError). The commands that act
// on a device take it open, so that a session runs them one after another on
// the same device; their checkX functions refuse bad arguments (UsageError)
// before any device is opened.
#pragma once

#include <limits>
#include <string>
#include <vector>

#include "cli_device.h"

namespace qcli {

// Opens nothing: identifier, family and firmware come from the enumeration.
int runList();

int runInfo(const Device& device);

struct ReadArgs {
  std::vector<std::string> inputs;  // NAME or NAME:RANGE
  std::string range;                // for the inputs without one
};
int runRead(const Device& device, const ReadArgs& args);

struct WriteArgs {
  std::string output;
  std::string volts;
};
void checkWrite(const WriteArgs& args);
int runWrite(const Device& device, const WriteArgs& args);

struct DioArgs {
  std::string port;  // empty: every port
  std::string outputEnable;
  std::string write;
};
void checkDio(const DioArgs& args);
int runDio(const Device& device, const DioArgs& args);

struct CounterArgs {
  std::string counter = "CNT";
  bool enable = false;
  bool disable = false;
  bool reset = false;
};
void checkCounter(const CounterArgs& args);
int runCounter(const Device& device, const CounterArgs& args);

struct StreamArgs {
  std::string channels;  // NAME or NAME:RANGE, comma separated
  double rate = 0.0;
  long long frames = 0;
  double seconds = 0.0;
  std::string range;    // for the analog inputs without one
  std::string out;      // empty or "-": standard output (CSV)
  std::string trigger;  // empty, start or sample
  std::string triggerConfig = "in-a";
  // --trigger-timeout in seconds; NaN: not given (10 s with a trigger).
  double timeout = std::numeric_limits<double>::quiet_NaN();
  bool restartOnOverrun = false;
  bool progress = false;
  bool quiet = false;
  bool overwrite = false;  // replace an existing --out file
  bool compress = false;   // HDF5: shuffle and deflate
};
void checkStream(const StreamArgs& args);
int runStream(const Device& device, const StreamArgs& args);

struct BenchArgs {
  std::string channels;
  double rate = 1000.0;
  double seconds = 2.0;
  double maxRate = 0.0;  // > rate: double the rate up to this one
};
void checkBench(const BenchArgs& args);
int runBench(const Device& device, const BenchArgs& args);

// Resolves "AI-0:10mV,AI-1" style lists (the separator a comma) into input
// identifiers and sets the range of every analog input: its own, else
// defaultRange when given. Refuses an input given twice and a range for an
// input that has none. kinds restricts the accepted peripherals.
std::vector<int> applyChannels(const Device& device, const std::vector<std::string>& specs,
                               const std::string& defaultRange, std::initializer_list<int> kinds);
std::vector<std::string> splitList(const std::string& text);

}  // namespace qcli
