// `qelomsr serve` and `qelomsr record` as processes, as a user runs them:
// the server under the virtual USB bus runner, killed with SIGKILL (its last
// will marks the node offline), and the central logger writing the stream of
// a served device into an HDF5 file across a broker restart.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "block_reader.h"
#include "broker.h"
#include "h5_file.h"
#include "probe.h"
#include "vbus_control.h"

namespace qtest {
namespace {

using nlohmann::json;

const std::string kCli = QELOMSR_CLI_PATH;
const std::string kRunner = QELOMSR_RUNNER_PATH;
const std::string kTmp = QELOMSR_TEST_TMPDIR;

// The pid of the runner's child (the served program).
pid_t childOf(pid_t runner) {
  std::ifstream children("/proc/" + std::to_string(runner) + "/task/" + std::to_string(runner) +
                         "/children");
  pid_t child = -1;
  children >> child;
  return child;
}

// A Ka at 1-3 with DC inputs and driven pins, on the manual clock.
std::string writeConfig(const std::string& dir) {
  const std::string path = dir + "/bus.json";
  std::ofstream(path) << R"({"topology": [{"port": "1-3", "device": {"family": "ka",
      "serial": "KA1X-LOGGED", "portInputs": [90, 0, 0],
      "signals": [{"kind": "dc", "offset": 1.25}]}}]})";
  return path;
}

// A server of node under the runner, online, with a watcher of its status.
struct ServedNode {
  ServedNode(const std::string& node)
      : status("qelomsr/" + node + "/status"),
        watcher(broker.port()),
        runner({kRunner, "--", kCli, "serve", "--broker", broker.url(), "--node", node,
                "--keepalive", "5"},
               broker.dir() + "/serve.log") {
    EXPECT_EQ(watcher.waitConnack(), 0);
    watcher.subscribe(status);
    EXPECT_TRUE(waitFor("online")) << runner.output();
    server = childOf(runner.pid());
  }
  bool waitFor(const char* payload) {
    return watcher.waitUntil([&] { return watcher.last(status) == payload; });
  }
  Broker broker{kTmp};
  std::string status;
  Probe watcher;
  Child runner;
  pid_t server = -1;
};

TEST(ServeProcess, AKilledServerIsMarkedOfflineByItsLastWill) {
  ServedNode node("killed");
  const pid_t server = node.server;
  ASSERT_GT(server, 0);
  Broker& broker = node.broker;
  Child& runner = node.runner;
  const auto killed = std::chrono::steady_clock::now();
  ::kill(server, SIGKILL);
  ASSERT_TRUE(node.waitFor("offline")) << runner.output();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
  std::printf("offline %.1f s after SIGKILL (keep-alive 5 s)\n", seconds);
  // The broker published the will: it is retained for clients that come later.
  Probe late(broker.port());
  late.subscribe("qelomsr/killed/status");
  ASSERT_TRUE(late.waitUntil([&] { return late.last("qelomsr/killed/status") == "offline"; }));
  EXPECT_TRUE(late.messages("qelomsr/killed/status").back().retained);
}

// A stand that is lost without a word (frozen, its network gone) keeps its
// connection open: the broker notices after 1.5 times the keep-alive and
// publishes the server's last will. A stopped process publishes nothing, so
// an "offline" seen while it is stopped is the will; once it runs again it
// reconnects and says "online".
TEST(ServeProcess, AFrozenServerIsMarkedOfflineAfterTheKeepAliveAndOnlineWhenItWakes) {
  ServedNode node("frozen");
  const pid_t server = node.server;
  ASSERT_GT(server, 0);
  Child& runner = node.runner;
  Probe& watcher = node.watcher;
  ::kill(server, SIGSTOP);
  ASSERT_TRUE(node.waitFor("offline")) << runner.output();
  watcher.clear();
  ::kill(server, SIGCONT);
  ASSERT_TRUE(node.waitFor("online")) << runner.output();
}

TEST(ServeProcess, TheLoggerWritesEveryFrameItGotAndMarksWhatItMissedAcrossABrokerRestart) {
  const std::string dir = makeTempDir(kTmp, "record");
  const std::string out = dir + "/files";
  mkdir(out.c_str(), 0755);
  const std::string socket = dir + "/control";
  Broker broker(kTmp, {{}, "", true, ""});
  Child server(
      {kRunner, "--config", writeConfig(dir), "--manual-clock", "--control-socket", socket, "--",
       kCli, "serve", "--broker", broker.url(), "--node", "stand1", "--allow-control"},
      dir + "/serve.log");
  Child logger({kCli, "record", "--broker", broker.url(), "stand1/+", "--out", out},
               dir + "/record.log");
  Probe control(broker.port());
  ASSERT_EQ(control.waitConnack(), 0);
  const std::string device = "qelomsr/stand1/devices/USB:1-0-3/";
  control.subscribe(device + "state");
  ASSERT_TRUE(control.waitUntil([&] {
    const auto s = control.last(device + "state");
    return s && json::parse(*s).value("open", false);
  })) << server.output();
  ASSERT_EQ(control.call(device + "call", R"({"op":"counter","enable":true})")["ok"], true);
  const json start = control.call(
      device + "call", R"({"op":"start","channels":["AI-0","DP-0","CNT"],"rateHz":100})");
  ASSERT_EQ(start["ok"], true) << start.dump();

  auto advance = [&](int times) {
    for (int i = 0; i < times; ++i) {
      ASSERT_NE(vbusControl(socket, "clock advance 250ms").find("ok"), std::string::npos);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };
  advance(8);
  ASSERT_TRUE(control.waitUntil([&] {
    return logger.output().find(" to " + out + "/") != std::string::npos;
  })) << logger.output();
  broker.stop();
  advance(8);
  broker.start();
  ASSERT_TRUE(control.waitUntil([&] {
    return logger.output().find("connected to the broker", logger.output().find("no connection")) !=
           std::string::npos;
  })) << logger.output();
  advance(8);
  // Everything the device took has been read before the stop.
  ASSERT_TRUE(control.waitUntil([&] {
    return vbusControl(socket, "state 1-3").find("inputBufferedBytes 0\n") != std::string::npos;
  }));
  const json stop = control.call(device + "call", R"({"op":"stop"})");
  ASSERT_EQ(stop["ok"], true) << stop.dump();
  const long long total = stop["frames"];
  EXPECT_EQ(total, 600);
  ASSERT_TRUE(
      control.waitUntil([&] { return logger.output().find("frames,") != std::string::npos; },
                        std::chrono::seconds(60)))
      << logger.output();
  ::kill(logger.pid(), SIGINT);
  EXPECT_EQ(logger.wait(std::chrono::seconds(60)), 130) << logger.output();

  // One file for the stream, named after node, device, start and stream.
  const std::string said = logger.output();
  const std::string name = said.substr(said.find(" to " + out + "/") + 4);
  const std::string path = name.substr(0, name.find('\n'));
  EXPECT_NE(path.find("/stand1_USB-1-0-3_"), std::string::npos) << path;
  H5File file(path);
  ASSERT_TRUE(file.ok()) << path;
  std::vector<hsize_t> dims;
  const auto data = file.dataset("data", &dims);
  ASSERT_EQ(dims.size(), 2u);
  ASSERT_EQ(dims[1], 3u);
  const auto time = file.dataset("time_s", &dims);
  const size_t rows = dims[0];
  const auto gaps = file.gaps();
  // Each row is frame k = time * rate: the counter counts 10 per frame, the
  // frames run on one by one except where a gap is marked.
  long long expectedFrame = 0;
  size_t gap = 0;
  const double count0 = data[2];
  for (size_t r = 0; r < rows; ++r) {
    const long long k = std::llround(time[r] * 100.0);
    const bool marked = gap < gaps.size() && gaps[gap] == static_cast<long long>(r);
    if (marked) {
      EXPECT_GT(k, expectedFrame) << "a gap is marked at row " << r << " where nothing is missing";
      ++gap;
    } else {
      EXPECT_EQ(k, expectedFrame) << "frames missing without a gap at row " << r;
    }
    EXPECT_NEAR(data[3 * r], 1.25, 1e-3);
    EXPECT_EQ(data[3 * r + 1], 90);
    EXPECT_EQ(data[3 * r + 2] - count0,
              10.0 * static_cast<double>(k) - 10.0 * std::llround(time[0] * 100.0));
    expectedFrame = k + 1;
  }
  if (gap < gaps.size()) {
    EXPECT_EQ(gaps[gap], static_cast<long long>(rows)) << "a gap marked past the end";
    EXPECT_LT(expectedFrame, total);
  } else {
    EXPECT_EQ(expectedFrame, total) << "frames missing at the end without a gap";
  }
  EXPECT_EQ(file.strings("channels"), (std::vector<std::string>{"AI-0", "DP-0", "CNT"}));
  EXPECT_EQ(file.strings("units"), (std::vector<std::string>{"V", "raw", "raw"}));
  EXPECT_EQ(file.numbers("rate_hz"), std::vector<double>{100.0});
  EXPECT_EQ(file.strings("device"), std::vector<std::string>{"USB:1-0-3"});
  std::printf("%zu of %lld frames in the file, %zu gaps\n", rows, total, gaps.size());
}

}  // namespace
}  // namespace qtest
