// Replies nobody waits for any more, on the virtual USB bus through the
// exported C functions: a reply left in the device before an enumeration or
// an open, a reply that arrives after its transfer timed out, and a program
// killed between a request and its reply followed by a second program that
// enumerates and opens the same device. Every value read afterwards must be
// the one the device holds.
#include <gtest/gtest.h>
#include <qelomsr/qelomsr.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "qsim/config.h"
#include "qsim/model.h"
#include "qsim/vbus_gtest.h"
#include "tests/tools/process.h"

namespace {

using qsim::vbustest::bus;
using qsim::vbustest::kKaPort;
using qsim::vbustest::waitUntil;

const char* const kKa = "USB:1-0-3";
constexpr unsigned kVersionRegister = 0xF0000004u;
constexpr unsigned kCapacityRegister = 0x09u;

std::string errorText(int id) {
  char message[QELOMSR_TEXT_BUFFER_SIZE];
  int errorClass = 0;
  __wrapper_error(id, message, static_cast<int>(sizeof message), &errorClass);
  return message;
}

// Identifier and firmware text of every listed device.
std::vector<std::pair<std::string, std::string>> enumerate() {
  int count = -1;
  const int rc = QeloMsrBeginEnumerate(&count, QELOMSR_TYPE_ALL);
  EXPECT_EQ(rc, 0) << errorText(rc);
  std::vector<std::pair<std::string, std::string>> listed;
  for (int i = 0; i < count; ++i) {
    char ident[QELOMSR_TEXT_BUFFER_SIZE];
    char version[QELOMSR_TEXT_BUFFER_SIZE];
    int type = 0;
    EXPECT_EQ(QeloMsrGetIdentifier(i, ident, 0, &type, version), 0);
    listed.emplace_back(ident, version);
  }
  return listed;
}

std::string firmwareOf(const char* ident) {
  for (const auto& entry : enumerate()) {
    if (entry.first == ident) return entry.second;
  }
  return "(not listed)";
}

class StaleReplies : public qsim::vbustest::VbusFixture {
 protected:
  void setFault(bool qsim::Faults::*fault, bool on) {
    qsim::Faults f = ka().faults();
    f.*fault = on;
    ka().setFaults(f);
  }

  // The device's own firmware text ("1.4") and register values.
  std::string firmware() {
    const unsigned fw = ka().config().firmware;
    return std::to_string(fw >> 8) + "." + std::to_string(fw & 0xFF);
  }

  // Reads the version and capacity registers and DP-0 through an open handle
  // and compares them with what the emulator holds.
  void expectTrueValues(int handle) {
    unsigned value = 0;
    int rc = __QeloMsrReadRegister(handle, kVersionRegister, &value);
    ASSERT_EQ(rc, 0) << errorText(rc);
    EXPECT_EQ((value >> 8) & 0xFFFF, ka().config().firmware);
    rc = __QeloMsrReadRegister(handle, kCapacityRegister, &value);
    ASSERT_EQ(rc, 0) << errorText(rc);
    EXPECT_EQ(value, ka().config().inputCapacity);
    ka().setPortInput(0, 0x3C);
    int levels = -1;
    rc = QeloMsrReadDigitalPort(handle, QELOMSR_ID_DIGITAL_PORT(0), &levels);
    ASSERT_EQ(rc, 0) << errorText(rc);
    EXPECT_EQ(levels, ka().portPins(0));
  }
};

// A reply an earlier host left in the device, found by the enumeration's
// probe or by the open that follows a clean enumeration.
TEST_F(StaleReplies, AReplyLeftInTheDeviceIsNeverTakenAsAnAnswer) {
  for (bool beforeEnumeration : {true, false}) {
    SCOPED_TRACE(beforeEnumeration ? "left before the enumeration" : "left before the open");
    if (beforeEnumeration) setFault(&qsim::Faults::staleReply, true);
    EXPECT_EQ(firmwareOf(kKa), firmware());
    if (!beforeEnumeration) setFault(&qsim::Faults::staleReply, true);
    ASSERT_EQ(ka().queuedReplies(), beforeEnumeration ? 0u : 1u);
    int handle = 0;
    const int rc = QeloMsrOpen(kKa, &handle);
    ASSERT_EQ(rc, 0) << errorText(rc);
    EXPECT_EQ(ka().queuedReplies(), 0u);
    expectTrueValues(handle);
    EXPECT_EQ(QeloMsrClose(handle), 0);
    setFault(&qsim::Faults::staleReply, false);
  }
}

// A reply that comes after the transfer waiting for it timed out, during the
// enumeration's probe and during a register read of an open device.
TEST_F(StaleReplies, ALateReplyIsNeverTakenAsTheNextAnswer) {
  setFault(&qsim::Faults::lateReply, true);
  EXPECT_EQ(firmwareOf(kKa), "(not listed)") << "the probe timed out";
  setFault(&qsim::Faults::lateReply, false);
  EXPECT_EQ(firmwareOf(kKa), firmware());

  int handle = 0;
  int rc = QeloMsrOpen(kKa, &handle);
  ASSERT_EQ(rc, 0) << errorText(rc);
  setFault(&qsim::Faults::lateReply, true);
  unsigned value = 0;
  rc = __QeloMsrReadRegister(handle, kCapacityRegister, &value);
  ASSERT_NE(rc, 0);
  EXPECT_NE(errorText(rc).find("LIBUSB_ERROR_TIMEOUT"), std::string::npos) << errorText(rc);
  setFault(&qsim::Faults::lateReply, false);
  EXPECT_EQ(ka().queuedReplies(), 1u) << "the late reply waits in the device";
  expectTrueValues(handle);
  EXPECT_EQ(QeloMsrClose(handle), 0);
}

// One program asks for the input capacity and is killed before the reply
// comes; the next program enumerates and opens the same device.
TEST_F(StaleReplies, AProgramKilledBetweenRequestAndReplyMisleadsNoNextProgram) {
  const std::string go = bus().rootDir() + "/stale-replies-go";
  std::remove(go.c_str());
  {
    qtest::Process first({STALE_REPLY_HOST, "hang", kKa, "9", go});
    ASSERT_TRUE(waitUntil([&] { return first.out() == "open\n" || !first.running(); },
                          std::chrono::seconds(30)))
        << first.err();
    ASSERT_TRUE(first.running()) << first.err();
    setFault(&qsim::Faults::lateReply, true);
    const uint64_t waiting = bus().stats(kKaPort).pendingIn;
    std::FILE* f = std::fopen(go.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    // The request arrived and its reply waits while the program waits for it.
    ASSERT_TRUE(waitUntil(
        [&] { return ka().queuedReplies() == 1 && bus().stats(kKaPort).pendingIn > waiting; }));
    ASSERT_TRUE(first.running()) << first.out() << first.err();
  }  // killed here
  setFault(&qsim::Faults::lateReply, false);
  ASSERT_EQ(ka().queuedReplies(), 1u) << "the device keeps the reply for the next host";

  ka().setPortInput(0, 0x96);
  const qtest::ProcessResult second =
      qtest::Process({STALE_REPLY_HOST, "probe", kKa}).finish(std::chrono::seconds(60));
  ASSERT_EQ(second.exitCode, 0) << second.out << second.err;
  char expected[256];
  std::snprintf(expected, sizeof expected, "firmware %s\nversion %08x\ncapacity %u\nport %d\n",
                firmware().c_str(), static_cast<unsigned>(ka().config().firmware) << 8,
                ka().config().inputCapacity, ka().portPins(0));
  EXPECT_EQ(second.out, expected);
  EXPECT_EQ(ka().queuedReplies(), 0u);
}

}  // namespace
