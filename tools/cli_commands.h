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

// What every command's output looks like: --json prints one JSON document
// on standard output instead of text (list, info, read, counter; the keys
// are listed in docs/usage.md), -q leaves out what is only information on
// stderr (the device opened, progress, summaries). Warnings about values
// (clipped, uncalibrated, clamped) are printed in any case.
struct OutputOptions {
  bool json = false;
  bool quiet = false;
};

// Opens nothing: identifiers, families and serial numbers come from the
// enumeration and the USB buses, states from a probe (attachedDevices).
int runList(const OutputOptions& output);

int runInfo(const Device& device, const OutputOptions& output);

struct ReadArgs {
  std::vector<std::string> inputs;  // NAME or NAME:RANGE
  std::string range;                // for the inputs without one
  // Slow logging: a row of reads every `every` (a duration, 10s), count rows
  // (0: until interrupted), each value the mean of `average` reads, into
  // `out` (CSV or HDF5; standard output as CSV when empty or "-").
  std::string every;
  long long count = 0;
  long long average = 1;
  std::string out;
  OutputOptions output;
};
void checkRead(const ReadArgs& args);
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
// A port mask or value given on the command line, -1 when left out.
int portByte(const std::string& text, const char* what);
int runDio(const Device& device, const DioArgs& args);

struct CounterArgs {
  std::string counter = "CNT";
  bool enable = false;
  bool disable = false;
  bool reset = false;
  OutputOptions output;
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
  // Synchronised acquisition across devices: DEV,DEV,... (the first is the
  // master), channels then DEV:NAME[:RANGE]; mode frame or start.
  std::string sync;
  std::string syncMode = "frame";
};
void checkStream(const StreamArgs& args);
int runStream(const Device& device, const StreamArgs& args);
// The file options, frames or seconds and --out of a stream; also refuses an
// --out file that exists or cannot be created.
void checkStreamOutput(const StreamArgs& args);
// stream --sync: opens every device itself (cli_stream_sync.cpp).
void checkSyncStream(const StreamArgs& args);
int runSyncStream(const StreamArgs& args);

struct BenchArgs {
  std::string channels;
  double rate = 1000.0;  // the first rate tried
  double seconds = 2.0;  // per trial; an achieved rate is shown from 1 s on
  double maxRate = 0.0;  // the highest rate tried; 0: the device's highest
};
void checkBench(const BenchArgs& args);
int runBench(const Device& device, const BenchArgs& args);

// frames / elapsed host time means a rate only over a run this long: the
// latency of the start and of the last read (milliseconds) would dominate a
// shorter one ("5 frames at 100000 Hz, 270.7 Hz achieved").
constexpr double kMinSecondsForAchievedRate = 1.0;

// Resolves "AI-0:10mV,AI-1" style lists (the separator a comma) into input
// identifiers and sets the range of every analog input: its own, else
// defaultRange when given. Refuses an input given twice and a range for an
// input that has none. kinds restricts the accepted peripherals.
std::vector<int> applyChannels(const Device& device, const std::vector<std::string>& specs,
                               const std::string& defaultRange, std::initializer_list<int> kinds);
std::vector<std::string> splitList(const std::string& text);

}  // namespace qcli
