// A Ka served as stand3 by a `qelomsr serve` process on a real broker, and
// the tool's commands run against it with --broker.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "broker.h"
#include "probe.h"

namespace qtest {

const std::string kCli = QELOMSR_CLI_PATH;
const std::string kRunner = QELOMSR_RUNNER_PATH;
const std::string kTmp = QELOMSR_TEST_TMPDIR;

class ServedKa : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTempDir(kTmp, "remote");
    // A Ka with 1.25 V on AI-0, AO-0 wired to AI-1 and the pins of DP-0
    // pulled to 0x5A.
    std::ofstream(dir_ + "/bus.json") << R"({"topology": [{"port": "1-3", "device": {
        "family": "ka", "serial": "KA1X-REMOTE", "portInputs": [90, 0, 0],
        "signals": [{"kind": "dc", "offset": 1.25}],
        "analogLoopbacks": [{"from": 0, "to": 1}]}}]})";
    std::vector<std::string> serve = {kRunner,  "--config", dir_ + "/bus.json", "--",
                                      kCli,     "serve",    "--broker",         broker_.url(),
                                      "--node", "stand3",   "--device",         "KA1X-REMOTE"};
    if (allowControl_) serve.push_back("--allow-control");
    if (manualClock_)
      serve.insert(serve.begin() + 3, {"--manual-clock", "--control-socket", dir_ + "/control"});
    server_ = std::make_unique<Child>(serve, dir_ + "/serve.log");
    Probe watcher(broker_.port());
    ASSERT_EQ(watcher.waitConnack(), 0);
    const std::string state = "qelomsr/stand3/devices/USB:1-0-3/state";
    watcher.subscribe(state);
    ASSERT_TRUE(watcher.waitUntil([&] {
      const auto s = watcher.last(state);
      return s && nlohmann::json::parse(*s).value("open", false);
    })) << server_->output();
  }

  // Runs qelomsr --broker URL words...; returns its exit code, its output
  // (stdout and stderr) in said.
  int tool(std::vector<std::string> words, std::string& said) {
    words.insert(words.begin(), {kCli, "--broker", broker_.url()});
    const std::string log = dir_ + "/tool" + std::to_string(runs_++) + ".log";
    Child run(words, log);
    const int code = run.wait(std::chrono::seconds(60));
    said = run.output();
    return code;
  }
  std::string ok(const std::vector<std::string>& words) {
    std::string said;
    EXPECT_EQ(tool(words, said), 0) << said;
    return said;
  }

  bool allowControl_ = true;  // the server runs with --allow-control
  bool manualClock_ = false;  // the bus's clock moves by "clock advance" on dir_/control
  Broker broker_{kTmp};
  std::string dir_;
  std::unique_ptr<Child> server_;
  int runs_ = 0;
};

}  // namespace qtest
