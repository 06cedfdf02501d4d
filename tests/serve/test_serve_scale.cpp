// Many stands, one broker: four servers (nodes stand1..stand4, each a runner
// with three Ka) stream 4 channels at 10 kHz each, and one `qelomsr record`
// logs all twelve. Every frame arrives, in order, with the values each
// emulator made, and no gap. The emulated time runs on each runner's manual
// clock and only while every device has been read out, so no host stall can
// overrun a device. QELOMSR_SCALE_SECONDS sets the emulated duration (2 s in
// the suite; scripts/bench runs 60 s).
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

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

constexpr int kNodes = 4;
constexpr int kDevicesPerNode = 3;
constexpr double kRateHz = 10000;
const char* const kPorts[kDevicesPerNode] = {"1-3", "1-4", "1-5"};

// What the emulator puts on AI-0..AI-2 of device d of node n (DC: the same at
// every sample time) and on the pins of DP-0.
double inputVolts(int node, int device, int input) {
  return 0.5 * node + 0.1 * device + 0.01 * input + 0.25;
}
int pins(int node, int device) { return 16 * node + device; }

std::string writeConfig(const std::string& dir, int node) {
  json topology = json::array();
  for (int d = 0; d < kDevicesPerNode; ++d) {
    json signals = json::array();
    for (int i = 0; i < 3; ++i)
      signals.push_back({{"kind", "dc"}, {"offset", inputVolts(node, d, i)}});
    topology.push_back({{"port", kPorts[d]},
                        {"device",
                         {{"family", "ka"},
                          {"serial", "KA1X-S" + std::to_string(node) + std::to_string(d)},
                          {"portInputs", {pins(node, d), 0, 0}},
                          {"signals", signals}}}});
  }
  const std::string path = dir + "/bus" + std::to_string(node) + ".json";
  std::ofstream(path) << json{{"topology", topology}}.dump();
  return path;
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> files;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name).find(".h5") != std::string::npos)
        files.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  return files;
}

// CPU seconds (user + system) a process has used so far.
double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::atof(field.c_str());
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ServeScale, FourStandsOfThreeDevicesAt10kHzReachOneLoggerWhole) {
  const char* secondsText = std::getenv("QELOMSR_SCALE_SECONDS");
  const double seconds = secondsText != nullptr ? std::atof(secondsText) : 2.0;
  const long long frames = std::llround(seconds * kRateHz);
  const std::string dir = makeTempDir(kTmp, "scale");
  const std::string out = dir + "/files";
  mkdir(out.c_str(), 0755);
  Broker broker(kTmp);
  std::vector<std::unique_ptr<Child>> servers;
  std::vector<std::string> sockets;
  for (int n = 1; n <= kNodes; ++n) {
    sockets.push_back(dir + "/control" + std::to_string(n));
    servers.push_back(std::make_unique<Child>(
        std::vector<std::string>{kRunner, "--config", writeConfig(dir, n), "--manual-clock",
                                 "--control-socket", sockets.back(), "--", kCli, "serve",
                                 "--broker", broker.url(), "--node", "stand" + std::to_string(n),
                                 "--allow-control", "--interval", "3600"},
        dir + "/serve" + std::to_string(n) + ".log"));
  }
  Child logger({kCli, "record", "--broker", broker.url(), "+/+", "--out", out},
               dir + "/record.log");
  Probe control(broker.port());
  ASSERT_EQ(control.waitConnack(), 0);
  control.subscribe("qelomsr/+/devices/+/state");
  auto device = [](int n, int d) {
    return "qelomsr/stand" + std::to_string(n) + "/devices/USB:1-0-" + (kPorts[d] + 2) + "/";
  };
  for (int n = 1; n <= kNodes; ++n)
    for (int d = 0; d < kDevicesPerNode; ++d)
      ASSERT_TRUE(control.waitUntil([&] {
        const auto s = control.last(device(n, d) + "state");
        return s && json::parse(*s).value("open", false);
      })) << servers[n - 1]->output();
  ASSERT_TRUE(control.waitUntil([&] {
    return logger.output().find("connected to the broker") != std::string::npos;
  })) << logger.output();
  const std::string start = json{
      {"op", "start"},
      {"channels", {"AI-0", "AI-1", "AI-2", "DP-0"}},
      {"rateHz", kRateHz},
      {"frames", frames}}.dump();
  for (int n = 1; n <= kNodes; ++n)
    for (int d = 0; d < kDevicesPerNode; ++d)
      ASSERT_EQ(control.call(device(n, d) + "call", start)["ok"], true);

  // 100 ms of emulated time per step, each step once every device is read out.
  const auto t0 = std::chrono::steady_clock::now();
  for (long long step = 0; step * 1000 < frames + 1000; ++step) {
    for (const auto& socket : sockets)
      ASSERT_NE(vbusControl(socket, "clock advance 100ms").find("ok"), std::string::npos);
    for (const auto& socket : sockets)
      for (const char* port : kPorts)
        ASSERT_TRUE(control.waitUntil([&] {
          return vbusControl(socket, std::string("state ") + port).find("inputBufferedBytes 0\n") !=
                 std::string::npos;
        }));
  }
  ASSERT_TRUE(control.waitUntil(
      [&] { return count(logger.output(), " frames, ") == kNodes * kDevicesPerNode; },
      std::chrono::seconds(120)))
      << logger.output();
  const double hostS = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  // Figures for docs/bench.md, not conditions of the test.
  std::printf("%d devices x %lld frames of 4 channels in %.1f s of host time; broker CPU %.2f s\n",
              kNodes * kDevicesPerNode, frames, hostS, cpuSeconds(broker.pid()));
  ::kill(logger.pid(), SIGINT);
  EXPECT_EQ(logger.wait(std::chrono::seconds(60)), 130) << logger.output();

  const auto files = filesIn(out);
  ASSERT_EQ(files.size(), static_cast<size_t>(kNodes * kDevicesPerNode));
  for (const auto& path : files) {
    // stand<N>_USB-1-0-<port>_...
    const size_t at = path.rfind("/stand");
    const int n = path[at + 6] - '0';
    const int d = path[path.find("_USB-1-0-", at) + 9] - '3';
    ASSERT_TRUE(n >= 1 && n <= kNodes && d >= 0 && d < kDevicesPerNode) << path;
    H5File file(path);
    ASSERT_TRUE(file.ok()) << path;
    std::vector<hsize_t> dims;
    const auto data = file.dataset("data", &dims);
    ASSERT_EQ(dims.size(), 2u);
    ASSERT_EQ(dims[0], static_cast<hsize_t>(frames)) << path;
    ASSERT_EQ(dims[1], 4u);
    const auto time = file.dataset("time_s", &dims);
    EXPECT_TRUE(file.gaps().empty()) << path;
    long long wrong = 0;
    for (long long r = 0; r < frames; ++r) {
      // Row r is frame r: in order, none missing.
      wrong += std::llround(time[r] * kRateHz) != r;
      for (int i = 0; i < 3; ++i) wrong += std::fabs(data[4 * r + i] - inputVolts(n, d, i)) > 1e-3;
      wrong += data[4 * r + 3] != pins(n, d);
    }
    EXPECT_EQ(wrong, 0) << path;
  }
}

}  // namespace
}  // namespace qtest
