// Communication diagnostics: the COMMAPI_* switches, log and trace lines of
// the protocol, and the protocol and raw dump files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "comm-api/src/api/logging.h"
#include "comm-api/src/api/protocol.h"
#include "hades/src/libs/hades/logging.h"
#include "tests/comm/capture.h"
#include "tests/comm/recording_device.h"
#include "tests/tools/process.h"

namespace hl = hades::logging;
using ::testing::ElementsAre;

namespace {

const char* const kVars[] = {"COMMAPI_LOGGING", "COMMAPI_TRACE", "COMMAPI_DUMPFILE", "COMMAPI_RAW",
                             "COMMAPI_LOG_STDERR"};

// Every test starts with the variables unset and the diagnostics about
// to read the environment again; the console output of switched-on logging
// is captured so that it does not clutter the test log.
class Diagnostics : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : kVars) unsetenv(v);
    commapi::_resetDiagnosticsForTest();
    sink = hl::enable_log_sink([this](hl::log_level l, const std::string&, const std::string& t) {
      lines.push_back(hl::to_string(l) + " " + t);
    });
  }
  void TearDown() override {
    hl::disable_log_sink(sink);
    for (const char* v : kVars) unsetenv(v);
    commapi::_resetDiagnosticsForTest();
  }

  // How many console sinks show the line that `emit` logs.
  template <class Emit>
  size_t consoleCopies(Emit emit, const std::string& text) {
    const size_t mark = console.text().size();
    emit();
    return countOf(console.text().substr(mark), text);
  }

  std::vector<std::string> lines;
  boost::signals2::connection sink;
  CoutCapture console;
  TempFile dump;
  std::shared_ptr<RecordingDevice> rec = std::make_shared<RecordingDevice>();
};

TEST_F(Diagnostics, AllOffByDefault) {
  EXPECT_FALSE(commapi::isLogging());
  EXPECT_FALSE(commapi::isTrace());
  EXPECT_FALSE(commapi::isDump());
  EXPECT_FALSE(commapi::isDumpRaw());
  auto dev = commapi::createProtocolDevice(rec, 64, 64, 8192, 0);
  dev->writeRegister(1, 2);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(console.text(), "");
}

struct EnvCase {
  std::vector<std::pair<const char*, const char*>> vars;
  bool logging, trace, dump, raw;
};

void PrintTo(const EnvCase& c, std::ostream* os) {
  for (const auto& v : c.vars) *os << v.first << "=\"" << v.second << "\" ";
}

class DiagnosticsEnv : public Diagnostics, public ::testing::WithParamInterface<EnvCase> {};

TEST_P(DiagnosticsEnv, SwitchesFromTheEnvironment) {
  for (const auto& v : GetParam().vars)
    setenv(v.first, std::string(v.second) == "<dump>" ? dump.path().c_str() : v.second, 1);
  EXPECT_EQ(commapi::isLogging(), GetParam().logging);
  EXPECT_EQ(commapi::isTrace(), GetParam().trace);
  EXPECT_EQ(commapi::isDump(), GetParam().dump);
  EXPECT_EQ(commapi::isDumpRaw(), GetParam().raw);
}

INSTANTIATE_TEST_SUITE_P(
    Variables, DiagnosticsEnv,
    ::testing::Values(
        EnvCase{{{"COMMAPI_LOGGING", "0"}}, true, false, false, false},
        EnvCase{{{"COMMAPI_LOGGING", ""}}, true, false, false, false},
        EnvCase{{{"COMMAPI_TRACE", "x"}}, true, true, false, false},
        EnvCase{{{"COMMAPI_LOGGING", "1"}, {"COMMAPI_TRACE", ""}}, true, true, false, false},
        EnvCase{{{"COMMAPI_DUMPFILE", "<dump>"}}, false, false, true, false},
        EnvCase{{{"COMMAPI_DUMPFILE", "<dump>"}, {"COMMAPI_RAW", ""}}, false, false, false, true},
        EnvCase{{{"COMMAPI_DUMPFILE", ""}, {"COMMAPI_RAW", "1"}}, false, false, false, false},
        EnvCase{{{"COMMAPI_RAW", "1"}}, false, false, false, false}));

TEST_F(Diagnostics, EnvironmentIsReadOnlyOnce) {
  EXPECT_FALSE(commapi::isLogging());
  setenv("COMMAPI_LOGGING", "1", 1);
  setenv("COMMAPI_DUMPFILE", dump.path().c_str(), 1);
  EXPECT_FALSE(commapi::isLogging());
  EXPECT_FALSE(commapi::isDump());
}

TEST_F(Diagnostics, FirstReadingFromManyThreadsConnectsOneSink) {
  setenv("COMMAPI_LOGGING", "", 1);
  const size_t sinksBefore = consoleCopies([] { hl::__log(hl::info, "probe", "f", 0); }, "probe");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([] { EXPECT_TRUE(commapi::isLogging()); });
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(consoleCopies([] { commapi::_lg("once"); }, "once"), sinksBefore + 1);
}

TEST_F(Diagnostics, LoggingConnectsTheConsoleSink) {
  setenv("COMMAPI_LOGGING", "0", 1);
  commapi::createProtocolDevice(rec, 64, 64, 8192, 0);
  EXPECT_THAT(lines, ElementsAre("INF PRT: Create protocol device: hs: 64, bs: 64, mps: 8192, "
                                 "rwct: 0"));
  EXPECT_EQ(console.text().find(" [INF] ") != std::string::npos, true) << console.text();
  EXPECT_NE(console.text().find("PRT: Create protocol device"), std::string::npos);
}

TEST_F(Diagnostics, LoggingAloneHasNoTraceLines) {
  setenv("COMMAPI_LOGGING", "", 1);
  auto dev = commapi::createProtocolDevice(rec, 64, 64, 8192, 0);
  dev->writeRegister(0x10, 1);
  EXPECT_EQ(lines.size(), 1u);
}

TEST_F(Diagnostics, TraceLinesOncePerBlock) {
  setenv("COMMAPI_TRACE", "", 1);
  auto dev = commapi::createProtocolDevice(rec, 64, 64, 8192, 0);
  Bytes block(8193);
  dev->_writeBlock(0x20000000, block.data(), 8193, 0);
  dev->_readBlock(0xABC, block.data(), 8193, 1);
  dev->_readBlock(0x10, nullptr, 0, 0);
  EXPECT_THAT(lines, ElementsAre("INF PRT: Create protocol device: hs: 64, bs: 64, mps: 8192, "
                                 "rwct: 0",
                                 "DBG PRT: Write 8193 bytes to address 0x20000000",
                                 "DBG PRT: Read 8193 bytes from address 0x00000abc",
                                 "DBG PRT: Read 0 bytes from address 0x00000010"));
}

TEST_F(Diagnostics, EnableLoggingAddsAConsoleSinkEachCall) {
  setenv("COMMAPI_LOGGING", "", 1);
  commapi::enableLogging(true);
  EXPECT_TRUE(commapi::isTrace());
  EXPECT_GE(consoleCopies([] { commapi::_lg("twice?"); }, "twice?"), 2u)
      << "one sink from the environment, one from enableLogging";
}

TEST_F(Diagnostics, ProtocolDumpLines) {
  setenv("COMMAPI_DUMPFILE", dump.path().c_str(), 1);
  auto dev = commapi::createProtocolDevice(rec, 64, 64, 8192, 0);
  dev->writeRegister(0xF0000020, 0x12345678);
  rec->responses.push_back({0x01, 0x02, 0x03, 0x04});
  unsigned char four[4];
  dev->_readBlock(0x00000020, four, 4, 0);
  dev->_writeBlock(0x10, nullptr, 0, 0);
  dev->_readBlock(0x11, nullptr, 0, 0);
  rec->failReads = true;
  EXPECT_THROW(dev->_readBlock(0x30, four, 4, 0), std::runtime_error);
  rec->failReads = false;
  rec->failWrites = true;
  // A write is dumped before anything is sent, so a failed write still shows.
  EXPECT_THROW(dev->writeRegister(0x40, 0xA1B2C3D4), std::runtime_error);
  EXPECT_EQ(dump.contents(),
            "> 0xf0000020:78563412\n"
            "< 0x00000020:01020304\n"
            "> 0x00000010:\n"
            "< 0x00000011:\n"
            "> 0x00000040:d4c3b2a1\n");
}

TEST_F(Diagnostics, LargeBlockIsOneDumpLine) {
  commapi::enableDumping(dump.path(), false);
  auto dev = commapi::createProtocolDevice(rec, 64, 64, 8192, 0);
  Bytes block(8193);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i);
  dev->_writeBlock(0x100, block.data(), 8193, 0);
  std::string expected = "> 0x00000100:";
  static const char hex[] = "0123456789abcdef";
  for (unsigned char b : block) {
    expected += hex[b >> 4];
    expected += hex[b & 15];
  }
  EXPECT_EQ(dump.contents(), expected + "\n");
}

TEST_F(Diagnostics, RawDumpingReplacesProtocolDump) {
  setenv("COMMAPI_DUMPFILE", dump.path().c_str(), 1);
  setenv("COMMAPI_RAW", "", 1);
  auto dev = commapi::createProtocolDevice(rec, 64, 64, 8192, 0);
  dev->writeRegister(0xF0000020, 0x12345678);
  EXPECT_EQ(dump.contents(), "") << "the protocol writes no line when raw dumping is on";
  // The line the USB transport writes for that message.
  ASSERT_EQ(rec->events.size(), 1u);
  commapi::_dr(false, rec->events[0].bytes.data(), 128);
  std::string expected = "> 040000c0 200000f0 ";
  for (int word = 2; word < 16; ++word) expected += "00000000 ";
  expected += "78563412 ";
  for (int word = 17; word < 32; ++word) expected += "00000000 ";
  EXPECT_EQ(dump.contents(), expected + "\n");
}

TEST_F(Diagnostics, RawDumpLineShape) {
  commapi::enableDumping(dump.path(), true);
  const unsigned char six[] = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x02};
  commapi::_dr(true, six, 6);
  commapi::_dr(false, six, 0);
  commapi::_dp(true, 0xFFFFFFFF, six, 1);
  EXPECT_EQ(dump.contents(), "< deadbeef 0102\n> \n< 0xffffffff:de\n");
}

TEST_F(Diagnostics, EnableDumpingRetargetsAndSwitchesOff) {
  commapi::enableDumping(dump.path(), false);
  EXPECT_TRUE(commapi::isDump());
  commapi::enableDumping(dump.path(), true);
  EXPECT_FALSE(commapi::isDump());
  EXPECT_TRUE(commapi::isDumpRaw());
  commapi::enableDumping("", false);
  EXPECT_FALSE(commapi::isDump());
  EXPECT_FALSE(commapi::isDumpRaw());
  auto dev = commapi::createProtocolDevice(rec, 64, 64, 8192, 0);
  dev->writeRegister(1, 1);
  EXPECT_EQ(dump.contents(), "");
}

TEST_F(Diagnostics, UnopenableDumpFileLosesOnlyTheLine) {
  commapi::enableDumping("/nonexistent-dir/qelomsr/dump.txt", false);
  auto dev = commapi::createProtocolDevice(rec, 64, 64, 8192, 0);
  rec->responses.push_back({0x78, 0x56, 0x34, 0x12});
  EXPECT_NO_THROW(dev->writeRegister(0x20, 5));
  EXPECT_EQ(dev->readRegister(0x20), 0x12345678u);
  EXPECT_EQ(rec->events.size(), 3u);
}

}  // namespace

namespace {

// A program's view: log lines on standard output, or with COMMAPI_LOG_STDERR
// (any value) on standard error, and never a colour escape into a file or
// pipe.
TEST_F(Diagnostics, LogLinesOfAProgramGoWhereTheEnvironmentSays) {
  struct Case {
    std::vector<std::pair<const char*, const char*>> vars;
    const char* stream;  // "out", "err" or nullptr: no line at all
    bool trace;
  };
  const Case cases[] = {
      {{{"COMMAPI_LOGGING", "1"}}, "out", false},
      {{{"COMMAPI_LOGGING", "1"}, {"COMMAPI_LOG_STDERR", ""}}, "err", false},
      {{{"COMMAPI_TRACE", ""}, {"COMMAPI_LOG_STDERR", "1"}}, "err", true},
      {{{"COMMAPI_LOG_STDERR", "1"}}, nullptr, false},
  };
  for (const Case& c : cases) {
    std::string name;
    for (const auto& v : c.vars) name += std::string(v.first) + "=" + v.second + " ";
    SCOPED_TRACE(name);
    for (const auto& v : c.vars) setenv(v.first, v.second, 1);
    const qtest::ProcessResult r = qtest::runProcess({LOG_PROBE}, std::chrono::seconds(60));
    for (const auto& v : c.vars) unsetenv(v.first);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const bool onError = c.stream != nullptr && std::string(c.stream) == "err";
    const std::string& lines = onError ? r.err : r.out;
    const std::string& other = onError ? r.out : r.err;
    EXPECT_EQ(other, "");
    if (c.stream == nullptr) {
      EXPECT_EQ(lines, "");
      continue;
    }
    EXPECT_NE(lines.find(" [INF] USB: probe line\n"), std::string::npos) << lines;
    EXPECT_EQ(lines.find(" [DBG] USB: probe trace\n") != std::string::npos, c.trace) << lines;
    EXPECT_EQ(lines.find('\x1b'), std::string::npos) << "colour escapes into a pipe: " << lines;
  }
}

}  // namespace
