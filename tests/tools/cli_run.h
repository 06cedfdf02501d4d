// Running the qelomsr tool in tests: alone, under the virtual USB bus runner
// (a Ka at USB:1-0-3, a Vel at USB:1-0-2-1 and a Rix at USB:1-0-2-4, or the
// devices of a topology file of tests/tools), and reading what it wrote.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"
#include "text_files.h"

namespace qtest {

inline const std::string kCli = QELOMSR_CLI_PATH;
inline const std::string kRunner = QELOMSR_RUNNER_PATH;  // empty: no emulator in this build
inline const std::string kTempDir = QELOMSR_TEST_TMPDIR;
inline const std::string kSourceDir = QELOMSR_TEST_SOURCE_DIR;

inline ProcessResult cli(const std::vector<std::string>& args) {
  std::vector<std::string> argv{kCli};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv);
}

// config: a topology file of tests/tools, or empty for the default devices.
// env: NAME=VALUE settings for the tool only.
inline ProcessResult onBus(const std::vector<std::string>& args, const std::string& config = "",
                           const std::vector<std::string>& env = {},
                           std::chrono::seconds limit = std::chrono::seconds(120)) {
  std::vector<std::string> argv{kRunner};
  if (!config.empty()) argv.insert(argv.end(), {"--config", kSourceDir + "/" + config});
  argv.push_back("--");
  if (!env.empty()) {
    argv.push_back("/usr/bin/env");
    argv.insert(argv.end(), env.begin(), env.end());
  }
  argv.push_back(kCli);
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, limit);
}

// Runs the tool under the runner in the background, waits until its stderr
// matches pattern (an extended regular expression), then runs action (shell
// text with $pid and $runner, e.g. "$runner ctl trigger 1-3 pulse") and waits
// for the tool. The result's err is the tool's stderr; exit code 124 means
// the pattern never showed. name: a file name of its own for the stderr.
inline ProcessResult whileRunning(const std::string& name, const std::string& pattern,
                                  const std::string& action, const std::vector<std::string>& args,
                                  const std::string& config = "") {
  const std::string errFile = kTempDir + "/" + name + ".err";
  std::vector<std::string> argv{kRunner};
  if (!config.empty()) argv.insert(argv.end(), {"--config", kSourceDir + "/" + config});
  argv.insert(argv.end(),
              {"--", kSourceDir + "/while_running.sh", kRunner, kCli, errFile, pattern, action});
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult r = runProcess(argv, std::chrono::seconds(120));
  std::ifstream in(errFile);
  std::stringstream content;
  content << in.rdbuf();
  r.err += content.str();
  return r;
}

// Tests that need the emulated devices of the runner; skipped in a build
// without it.
class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kRunner.empty()) GTEST_SKIP() << "no virtual USB bus runner in this build";
  }
};

inline std::string describe(const ProcessResult& r) {
  return "exit " + std::to_string(r.exitCode) + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
}

}  // namespace qtest
