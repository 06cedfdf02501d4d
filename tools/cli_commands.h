// The subcommands of the qelomsr tool. Each writes its results to stdout and
// returns the process exit code; failures are thrown (ApiError, UsageError).
#pragma once

#include <string>
#include <vector>

namespace qcli {

int runList();
int runInfo(const std::string& device);
int runRead(const std::string& device, const std::vector<std::string>& inputs,
            const std::string& range);
int runWrite(const std::string& device, const std::string& output, const std::string& volts);

struct DioArgs {
  std::string device;
  std::string port;  // empty: every port
  std::string outputEnable;
  std::string write;
};
int runDio(const DioArgs& args);

struct CounterArgs {
  std::string device;
  std::string counter = "CNT";
  bool enable = false;
  bool disable = false;
  bool reset = false;
};
int runCounter(const CounterArgs& args);

struct StreamArgs {
  std::string device;
  std::string channels;
  double rate = 0.0;
  long long frames = 0;
  double seconds = 0.0;
  std::string range;
  std::string out;
  bool restartOnOverrun = false;
  bool progress = false;
  bool quiet = false;
};
int runStream(const StreamArgs& args);

struct BenchArgs {
  std::string device;
  std::string channels;
  double rate = 1000.0;
  double seconds = 2.0;
  double maxRate = 0.0;  // > rate: double the rate up to this one
};
int runBench(const BenchArgs& args);

}  // namespace qcli
