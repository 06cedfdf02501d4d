// The libusb transport against emulated devices on the virtual USB bus: real
// libusb, umockdev's mocked device nodes, and a loopback function that records
// what arrived and answers what it is told to.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/qelomsrenumerator.h"
#include "comm-api/src/api/logging.h"
#include "comm-api/src/api/protocol.h"
#include "comm-api/src/api/usb.h"
#include "hades/src/libs/hades/logging.h"
#include "qsim/vbus_gtest.h"
#include "tests/comm/capture.h"
#include "tests/vbus/loopback_function.h"

using qsim::VbusStats;
using qsim::vbustest::bus;
using qsim::vbustest::waitUntil;
using ::testing::Contains;
using ::testing::HasSubstr;
using vbustest::LoopbackFunction;

namespace {

constexpr uint16_t kVendor = 0x1209;
const char* const kDirectPort = "1-3";   // root hub port 3: USB:1-0-3
const char* const kBehindHub = "1-2.4";  // hub at root port 2, its port 4: USB:1-0-2-4
const char* const kDirectId = "USB:1-0-3";
const char* const kBehindHubId = "USB:1-0-2-4";
const char* const kReadFailed = "Failed to read data from device (using bulk transfer).";
const char* const kWriteFailed = "Failed to write data to device (using bulk transfer).";

std::vector<uint8_t> pattern(size_t n, uint8_t start) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(start + i);
  return v;
}

// Switches a diagnostic on through its environment variable and collects
// the log lines ("INF text", "DBG text") until destroyed.
class LogLines {
 public:
  explicit LogLines(const char* variable) : variable_(variable) {
    setenv(variable_, "", 1);
    commapi::_resetDiagnosticsForTest();
    sink_ = hades::logging::enable_log_sink(
        [this](hades::logging::log_level l, const std::string&, const std::string& t) {
          lines.push_back(hades::logging::to_string(l) + " " + t);
        });
  }
  ~LogLines() {
    hades::logging::disable_log_sink(sink_);
    unsetenv(variable_);
    commapi::_resetDiagnosticsForTest();
  }
  LogLines(const LogLines&) = delete;
  LogLines& operator=(const LogLines&) = delete;

  std::vector<std::string> lines;

 private:
  const char* variable_;
  CoutCapture console_;
  boost::signals2::connection sink_;
};

class UsbTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"COMMAPI_LOGGING", "COMMAPI_TRACE", "COMMAPI_DUMPFILE", "COMMAPI_RAW"})
      unsetenv(v);
    commapi::_resetDiagnosticsForTest();
    direct = plug(kDirectPort, 0x3201);
    behind = plug(kBehindHub, 0x3202);
    ASSERT_TRUE(waitForIds({kDirectId, kBehindHubId}, true));
  }

  void TearDown() override {
    for (const char* v : {"COMMAPI_LOGGING", "COMMAPI_TRACE", "COMMAPI_DUMPFILE", "COMMAPI_RAW"})
      unsetenv(v);
    commapi::_resetDiagnosticsForTest();
    for (const std::string& port : ports) bus().remove(port);
    EXPECT_TRUE(waitForIds({kDirectId, kBehindHubId}, false));
  }

  std::shared_ptr<LoopbackFunction> plug(const std::string& port, uint16_t productId) {
    auto f = std::make_shared<LoopbackFunction>(productId, kVendor);
    bus().addDevice(port, f);
    ports.push_back(port);
    return f;
  }

  static const commapi::LibUsbEnumeratedDevice* findId(
      const std::vector<commapi::LibUsbEnumeratedDevice>& list, const std::string& id) {
    for (const auto& e : list)
      if (e.uniqueId == id) return &e;
    return nullptr;
  }

  // Polls the library's own enumeration (bounded) until every id is listed,
  // or until none of them is.
  static bool waitForIds(const std::vector<std::string>& ids, bool listed) {
    return waitUntil([&] {
      const auto list = commapi::enumerateUsbDevices();
      return std::all_of(ids.begin(), ids.end(), [&](const std::string& id) {
        return (findId(list, id) != nullptr) == listed;
      });
    });
  }

  // A raw device for the entry with the id, endpoints 0x02 and 0x81, closed.
  static std::shared_ptr<commapi::RawDevice> rawFor(const std::string& id) {
    const auto list = commapi::enumerateUsbDevices();
    const commapi::LibUsbEnumeratedDevice* e = findId(list, id);
    if (e == nullptr) throw std::runtime_error(id + " not enumerated");
    return commapi::createUsbDeviceByEnumerator(*e, 2, 1);
  }

  std::vector<std::string> ports;
  std::shared_ptr<LoopbackFunction> direct;
  std::shared_ptr<LoopbackFunction> behind;
};

TEST_F(UsbTransport, UniqueIdsFollowTheTopology) {
  const auto list = commapi::enumerateUsbDevices();
  const auto* a = findId(list, kDirectId);
  const auto* b = findId(list, kBehindHubId);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->vendorId, kVendor);
  EXPECT_EQ(a->productId, 0x3201);
  EXPECT_EQ(b->productId, 0x3202);
  auto raw = commapi::createUsbDeviceByEnumerator(*b, 2, 1);
  EXPECT_EQ(raw->getUniqueId(), kBehindHubId);
  EXPECT_EQ(raw->getConnectionType(), 0);
  EXPECT_EQ(raw->getIntProperty(0), kVendor);
  EXPECT_EQ(raw->getIntProperty(1), 0x3202);
  EXPECT_EQ(raw->getIntProperty(2), 0);
  EXPECT_EQ(raw->getTimeout(), 1000);
}

TEST_F(UsbTransport, HeldDeviceIsLeftOutOfTheEnumeration) {
  direct->held = true;
  const auto list = commapi::enumerateUsbDevices();
  EXPECT_EQ(findId(list, kDirectId), nullptr);
  EXPECT_NE(findId(list, kBehindHubId), nullptr);
}

TEST_F(UsbTransport, ClaimFailureLeavesTheDeviceClosed) {
  auto raw = rawFor(kDirectId);
  direct->held = true;
  {
    LogLines log("COMMAPI_LOGGING");
    try {
      raw->open();
      FAIL() << "claimed a held device";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(),
                   "Can't claim device (run as root or adjust udev rules): LIBUSB_ERROR_BUSY");
    }
    // The handle is closed through close(), with its log line.
    EXPECT_EQ(log.lines, (std::vector<std::string>{
                             "INF USB: Open device",
                             "INF USB: Error: LIBUSB_ERROR_BUSY (Can't claim device (run as root "
                             "or adjust udev rules))",
                             "INF USB: Close device"}));
  }
  unsigned char b[4] = {};
  EXPECT_THROW(raw->write(b, 4), std::logic_error);
  direct->held = false;
  raw->open();
  raw->open();  // reopening an open device closes it first
  EXPECT_NO_THROW(raw->write(b, 4));
}

TEST_F(UsbTransport, StalledDeviceFailsAfterTheTimeout) {
  direct->echo = false;  // the device never answers
  auto raw = rawFor(kDirectId);
  raw->open();
  unsigned char buf[64];
  const auto start = std::chrono::steady_clock::now();
  try {
    raw->read(buf, 64);
    FAIL() << "read returned without data";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), std::string(kReadFailed) + ": LIBUSB_ERROR_TIMEOUT");
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  RecordProperty("timeout_ms", static_cast<int>(ms));
  // The device stays usable after a timeout.
  direct->queueReply(pattern(64, 7));
  raw->read(buf, 64);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 64), pattern(64, 7));
}

TEST_F(UsbTransport, ReadArrivingInTwoTransfersIsAssembledInOrder) {
  direct->echo = false;
  direct->chunk = 32;
  direct->queueReply(pattern(64, 100));
  auto raw = rawFor(kDirectId);
  raw->open();
  const uint64_t before = bus().stats(kDirectPort).bulkIn;
  std::vector<unsigned char> buf(80, 0xEE);
  raw->read(buf.data(), 64);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 64), pattern(64, 100));
  EXPECT_EQ(buf[64], 0xEE);
  EXPECT_EQ(bus().stats(kDirectPort).bulkIn - before, 2u);
}

TEST_F(UsbTransport, EndpointErrorsCarryTheLibusbName) {
  auto raw = rawFor(kDirectId);
  raw->open();
  unsigned char buf[64] = {};
  direct->stallOut = true;
  try {
    raw->write(buf, 64);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), std::string(kWriteFailed) + ": LIBUSB_ERROR_PIPE");
  }
  direct->stallOut = false;
  direct->stallIn = true;
  try {
    raw->read(buf, 64);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), std::string(kReadFailed) + ": LIBUSB_ERROR_PIPE");
  }
}

TEST_F(UsbTransport, UnplugFailsTransfersWithoutCrash) {
  auto raw = rawFor(kBehindHubId);
  raw->open();
  auto dev = commapi::createProtocolDevice(raw, 64, 64, 8192, 0);
  EXPECT_EQ(dev->readRegister(0x10), 0x40000004u) << "the loopback echoes the request header";
  bus().unplug(kBehindHub);
  EXPECT_THROW(dev->writeRegister(0x10, 1), std::runtime_error);
  EXPECT_THROW(dev->readRegister(0x10), std::runtime_error);
  raw->close();
  EXPECT_THROW(raw->open(), std::runtime_error);
  raw.reset();
  dev.reset();  // the last owner closes whatever is left
  bus().replug(kBehindHub);
  EXPECT_TRUE(waitForIds({kBehindHubId}, true));
}

TEST_F(UsbTransport, ProtocolMessagesArriveAsSent) {
  auto raw = rawFor(kDirectId);
  raw->open();
  auto dev = commapi::createProtocolDevice(raw, 64, 64, 8192, 0);
  direct->echo = false;
  dev->writeRegister(0xF0000020, 0x12345678);
  std::vector<uint8_t> block(8193);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 3);
  dev->_writeBlock(0x1000, block.data(), 8193, 0);
  const auto got = direct->received();
  ASSERT_EQ(got.size(), 3u);
  ASSERT_EQ(got[0].size(), 128u);
  EXPECT_EQ(std::vector<uint8_t>(got[0].begin(), got[0].begin() + 8),
            (std::vector<uint8_t>{0x04, 0x00, 0x00, 0xc0, 0x20, 0x00, 0x00, 0xf0}));
  EXPECT_EQ(std::vector<uint8_t>(got[0].begin() + 64, got[0].begin() + 68),
            (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
  ASSERT_EQ(got[1].size(), 64u + 8192u);
  ASSERT_EQ(got[2].size(), 128u);
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + 8192, got[1].begin() + 64));
  EXPECT_EQ(got[2][64], block[8192]);
  // The second request starts 8192 bytes further on.
  EXPECT_EQ(std::vector<uint8_t>(got[2].begin() + 4, got[2].begin() + 8),
            (std::vector<uint8_t>{0x00, 0x30, 0x00, 0x00}));
}

TEST_F(UsbTransport, IndexSelectsAmongMatchingDevices) {
  auto first = commapi::createUsbDeviceByIndex(0, kVendor, 0x3202, 2, 1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->getUniqueId(), kBehindHubId);
  EXPECT_EQ(commapi::createUsbDeviceByIndex(1, kVendor, 0x3202, 2, 1), nullptr);
  EXPECT_EQ(commapi::createUsbDeviceByIndex(0, kVendor, 0x9999, 2, 1), nullptr);
}

TEST_F(UsbTransport, TimeoutMustBePositive) {
  auto raw = rawFor(kDirectId);
  EXPECT_THROW(raw->setTimeout(0), std::invalid_argument);
  EXPECT_THROW(raw->setTimeout(-5), std::invalid_argument);
  raw->setTimeout(50);
  EXPECT_EQ(raw->getTimeout(), 50);
}

TEST_F(UsbTransport, RawDumpOfRegisterTraffic) {
  TempFile dump;
  setenv("COMMAPI_DUMPFILE", dump.path().c_str(), 1);
  setenv("COMMAPI_RAW", "", 1);
  commapi::_resetDiagnosticsForTest();
  auto raw = rawFor(kDirectId);
  raw->open();
  auto dev = commapi::createProtocolDevice(raw, 64, 64, 8192, 0);
  direct->echo = false;
  dev->writeRegister(0xF0000020, 0x12345678);
  std::vector<uint8_t> reply(64, 0);
  reply[0] = 0x2a;
  direct->queueReply(reply);
  EXPECT_EQ(dev->readRegister(0xF0000004), 0x2au);
  raw->setTimeout(50);
  EXPECT_THROW(dev->readRegister(0x8), std::runtime_error);
  std::string writeLine = "> 040000c0 200000f0 ";
  for (int w = 2; w < 16; ++w) writeLine += "00000000 ";
  writeLine += "78563412 ";
  for (int w = 17; w < 32; ++w) writeLine += "00000000 ";
  std::string request = "> 04000040 040000f0 ";
  for (int w = 2; w < 16; ++w) request += "00000000 ";
  std::string response = "< 2a000000 ";
  for (int w = 1; w < 16; ++w) response += "00000000 ";
  std::string failed = "> 04000040 08000000 ";
  for (int w = 2; w < 16; ++w) failed += "00000000 ";
  // The failed read leaves its request line and no response line.
  EXPECT_EQ(dump.contents(), writeLine + "\n" + request + "\n" + response + "\n" + failed + "\n");
}

TEST_F(UsbTransport, LogAndTraceLines) {
  setenv("COMMAPI_TRACE", "", 1);
  commapi::_resetDiagnosticsForTest();
  std::vector<std::string> lines;
  auto sink = hades::logging::enable_log_sink(
      [&](hades::logging::log_level l, const std::string&, const std::string& t) {
        lines.push_back(hades::logging::to_string(l) + " " + t);
      });
  {
    CoutCapture console;
    auto raw = rawFor(kDirectId);
    raw->open();
    unsigned char buf[64] = {};
    raw->write(buf, 64);
    raw->read(buf, 64);
    // A short timeout only for the read that nobody answers.
    raw->setTimeout(30);
    direct->echo = false;
    EXPECT_THROW(raw->read(buf, 64), std::runtime_error);
    raw->close();
  }
  hades::logging::disable_log_sink(sink);
  EXPECT_THAT(lines, Contains("INF USB: Enumerate"));
  EXPECT_THAT(lines, Contains(HasSubstr(" devices found")));
  EXPECT_THAT(lines, Contains("INF USB: prepare device, uid: USB:1-0-3, epO: 0x02, epI: 0x01"));
  const auto from = std::find(lines.begin(), lines.end(),
                              "INF USB: prepare device, uid: USB:1-0-3, epO: 0x02, epI: 0x01");
  ASSERT_NE(from, lines.end());
  EXPECT_EQ(std::vector<std::string>(from + 1, lines.end()),
            (std::vector<std::string>{
                "INF USB: Open device", "DBG USB: drain in , ep: 0x01, dropped=0",
                "DBG USB: bulk out, ep: 0x02, n=64", "DBG USB: bulk in , ep: 0x01, n=64",
                "INF DEV: Set timeout=30ms", "DBG USB: bulk in , ep: 0x01, n=64",
                "INF USB: Error: LIBUSB_ERROR_TIMEOUT (Failed to read data from device (using "
                "bulk transfer).)",
                "INF USB: Close device"}));
}

// ---- replies nobody waits for any more -------------------------------------------------

// Replies an earlier host left in the device (a program that ended between a
// request and its reply) are dropped before the first request of an open.
TEST_F(UsbTransport, RepliesLeftInTheDeviceAreDroppedBeforeTheFirstRequest) {
  auto raw = rawFor(kDirectId);
  direct->queueReply(pattern(64, 1));
  direct->queueReply(pattern(4096, 2));
  LogLines log("COMMAPI_TRACE");
  raw->open();
  auto dev = commapi::createProtocolDevice(raw, 64, 64, 8192, 0);
  unsigned char got[8];
  dev->_readBlock(0x24, got, 8, 0);
  // The loopback echoes the request: its own header is the answer.
  EXPECT_EQ(std::vector<uint8_t>(got, got + 8),
            (std::vector<uint8_t>{0x08, 0x00, 0x00, 0x40, 0x24, 0x00, 0x00, 0x00}));
  EXPECT_THAT(log.lines, Contains("DBG USB: drain in , ep: 0x01, dropped=4160"));
}

// A reply that arrives after its transfer timed out is dropped before the
// next request goes out.
TEST_F(UsbTransport, LateReplyIsDroppedBeforeTheNextRequest) {
  for (bool readTimesOut : {true, false}) {
    SCOPED_TRACE(readTimesOut ? "read timed out" : "write failed");
    auto raw = rawFor(kDirectId);
    raw->open();
    raw->setTimeout(30);
    auto dev = commapi::createProtocolDevice(raw, 64, 64, 8192, 0);
    EXPECT_EQ(dev->readRegister(0x10), 0x40000004u);
    if (readTimesOut) {
      direct->echo = false;
      EXPECT_THROW(dev->readRegister(0x20), std::runtime_error);
    } else {
      direct->stallOut = true;
      EXPECT_THROW(dev->writeRegister(0x20, 1), std::runtime_error);
      direct->stallOut = false;
    }
    direct->queueReply(pattern(64, 9));  // the late reply arrives
    direct->echo = true;
    unsigned char got[8];
    dev->_readBlock(0x24, got, 8, 0);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 8),
              (std::vector<uint8_t>{0x08, 0x00, 0x00, 0x40, 0x24, 0x00, 0x00, 0x00}));
  }
}

// Only an open and a failed transfer cost a drain: one IN transfer that
// waits for nothing. Requests after that move exactly their own messages.
TEST_F(UsbTransport, TheNormalPathMovesNoExtraTransfer) {
  auto raw = rawFor(kDirectId);
  raw->open();
  auto dev = commapi::createProtocolDevice(raw, 64, 64, 8192, 0);
  const VbusStats atOpen = bus().stats(kDirectPort);
  EXPECT_EQ(dev->readRegister(0x10), 0x40000004u);
  const VbusStats afterFirst = bus().stats(kDirectPort);
  EXPECT_EQ(afterFirst.discarded - atOpen.discarded, 1u) << "the drain after the open";
  for (int i = 0; i < 50; ++i) EXPECT_EQ(dev->readRegister(0x10), 0x40000004u);
  const VbusStats after = bus().stats(kDirectPort);
  EXPECT_EQ(after.bulkOut - afterFirst.bulkOut, 50u);
  EXPECT_EQ(after.bulkIn - afterFirst.bulkIn, 50u);
  EXPECT_EQ(after.discarded, afterFirst.discarded);
}

// ---- enumeration -------------------------------------------------------------------------

TEST_F(UsbTransport, EnumerationOfAnUnknownTypeStillRunsTheUsbEnumeration) {
  LogLines log("COMMAPI_LOGGING");
  EXPECT_EQ(Enumerator::getInstance()->enumerate(0x12345678), 0);
  EXPECT_THAT(log.lines, Contains("INF USB: Enumerate"));
  EXPECT_THAT(log.lines, Contains(HasSubstr(" devices found")));
}

}  // namespace
