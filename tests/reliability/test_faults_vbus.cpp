// Fault injection on the virtual USB bus, through the exported C functions of
// the shared library and the real libusb: unplug during a blocking read,
// during an acquisition and during enumeration; stalled endpoints; short
// transfers; garbage replies; a claim refused by another program; a buffer
// overflow. After each fault the library must answer with a clear error
// record, QeloMsrClose must work, and the device must be found and opened
// again and give correct readings once the fault is gone.
#include <gtest/gtest.h>
#include <qelomsr/qelomsr.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qsim/config.h"
#include "qsim/model.h"
#include "qsim/vbus_gtest.h"

namespace {

// A blocking read on a stopped clock waits for frames that never come; it
// must end by the unplug the test makes, long before this stall limit. The
// limit is read once per process, so it is set before anything runs.
const bool kLongStallLimit = (setenv(QELOMSR_BLOCKING_TIMEOUT_ENV, "60000", 1), true);

using qsim::vbustest::bus;
using qsim::vbustest::kKaPort;
using qsim::vbustest::kVelPort;
using qsim::vbustest::waitUntil;

const char* const kKa = "USB:1-0-3";
const char* const kVel = "USB:1-0-2-1";
const char* const kRix = "USB:1-0-2-4";

struct Record {
  int errorClass = -1;
  std::string text;
};

Record record(int id) {
  char message[1024];
  Record r;
  __wrapper_error(id, message, static_cast<int>(sizeof message), &r.errorClass);
  r.text = message;
  return r;
}

std::set<std::string> enumerate() {
  int count = -1;
  const int rc = QeloMsrBeginEnumerate(&count, QELOMSR_TYPE_ALL);
  EXPECT_EQ(rc, 0) << record(rc).text;
  std::set<std::string> idents;
  for (int i = 0; i < count; ++i) {
    char ident[QELOMSR_TEXT_BUFFER_SIZE];
    char version[QELOMSR_TEXT_BUFFER_SIZE];
    int type = 0;
    EXPECT_EQ(QeloMsrGetIdentifier(i, ident, 0, &type, version), 0);
    idents.insert(ident);
  }
  return idents;
}

// Asserts a failed call: the record's class and a part of its text.
void expectError(int rc, int errorClass, const std::string& part) {
  ASSERT_NE(rc, 0) << "the call succeeded, expected \"" << part << "\"";
  const Record r = record(rc);
  EXPECT_EQ(r.errorClass, errorClass) << r.text;
  EXPECT_NE(r.text.find(part), std::string::npos) << r.text;
}

class FaultsVbus : public qsim::vbustest::VbusFixture {
 protected:
  int open(const char* ident) {
    int handle = 0;
    const int rc = QeloMsrOpen(ident, &handle);
    EXPECT_EQ(rc, 0) << record(rc).text;
    return handle;
  }

  // Closes the handle and checks that it is gone for good.
  static void closeAndForget(int handle) {
    EXPECT_EQ(QeloMsrClose(handle), 0);
    EXPECT_EQ(QeloMsrClose(handle), 0);
    int value = 0;
    expectError(QeloMsrReadDigitalPort(handle, QELOMSR_ID_DIGITAL_PORT(0), &value), 4,
                "Invalid handle.");
  }

  // The device is listed, opens, and reads the port levels the emulator drives.
  void expectUsable(const char* ident, qsim::DeviceModel& model) {
    ASSERT_EQ(enumerate().count(ident), 1u) << ident << " is not listed again";
    const int handle = open(ident);
    model.setPortInput(0, 0xA5);
    int value = -1;
    const int rc = QeloMsrReadDigitalPort(handle, QELOMSR_ID_DIGITAL_PORT(0), &value);
    EXPECT_EQ(rc, 0) << record(rc).text;
    EXPECT_EQ(value, model.portPins(0));
    EXPECT_EQ(QeloMsrClose(handle), 0);
  }

  // Input frame of one analog input, then an acquisition at `hz`.
  static void startAcquisition(int handle, float hz) {
    int ios[] = {QELOMSR_ID_ANALOG_INPUT(0)};
    ASSERT_EQ(QeloMsrSetupInputFrame(handle, ios, 1), 0);
    float corrected = 0;
    const int rc = QeloMsrStartDataAcquisition(handle, 0, hz, 0, &corrected);
    ASSERT_EQ(rc, 0) << record(rc).text;
  }
};

TEST_F(FaultsVbus, UnplugDuringBlockingReadEndsTheReadWithAnError) {
  ASSERT_TRUE(kLongStallLimit);
  manualClock();  // no frame ever arrives: only the unplug can end the read
  enumerate();
  const int handle = open(kKa);
  startAcquisition(handle, 10.0f);
  const uint64_t before = bus().stats(kKaPort).bulkOut;
  auto reading = std::async(std::launch::async, [handle] {
    std::vector<float> values(100 * QELOMSR_KA_VALUE_SLOTS);
    std::vector<int> ports(100 * QELOMSR_KA_PORT_SLOTS);
    return QeloMsrReadBlocking(handle, values.data(), ports.data(), 100);
  });
  // The read is polling once the device sees status requests from it.
  ASSERT_TRUE(waitUntil([&] { return bus().stats(kKaPort).bulkOut >= before + 4; }));
  unplug(kKaPort);
  ASSERT_EQ(reading.wait_for(std::chrono::seconds(90)), std::future_status::ready)
      << "the blocking read did not end after the unplug";
  expectError(reading.get(), 4, "LIBUSB_ERROR");
  closeAndForget(handle);
  EXPECT_EQ(enumerate().count(kKa), 0u);
  replug(kKaPort);
  expectUsable(kKa, ka());
}

TEST_F(FaultsVbus, UnplugDuringAcquisitionFailsEveryCallUntilClosed) {
  manualClock();  // the buffer cannot overflow however long the host takes
  enumerate();
  const int handle = open(kKa);
  startAcquisition(handle, 1000.0f);
  std::vector<float> values(2048 * QELOMSR_KA_VALUE_SLOTS);
  std::vector<int> ports(2048 * QELOMSR_KA_PORT_SLOTS);
  int transferred = -1;
  ASSERT_EQ(QeloMsrReadNonBlocking(handle, values.data(), ports.data(), &transferred), 0);
  unplug(kKaPort);
  expectError(QeloMsrReadNonBlocking(handle, values.data(), ports.data(), &transferred), 4,
              "LIBUSB_ERROR_NO_DEVICE");
  expectError(QeloMsrStopDataAcquisition(handle), 4, "LIBUSB_ERROR");
  int value = 0;
  expectError(QeloMsrReadDigitalPort(handle, QELOMSR_ID_DIGITAL_PORT(0), &value), 4,
              "LIBUSB_ERROR");
  closeAndForget(handle);
  replug(kKaPort);
  expectUsable(kKa, ka());
}

// After an unplug, writes fail with the write text, also when the failed
// call before them left replies to drain (the drain runs as part of the
// write).
TEST_F(FaultsVbus, WritesAfterAnUnplugFailWithTheWriteText) {
  enumerate();
  const int handle = open(kKa);
  unplug(kKaPort);
  unsigned value = 0;
  expectError(__QeloMsrReadRegister(handle, 0x09, &value), 4, "LIBUSB_ERROR_NO_DEVICE");
  const char* const kWriteText =
      "Failed to write data to device (using bulk transfer).: LIBUSB_ERROR_NO_DEVICE";
  expectError(__QeloMsrWriteRegister(handle, 0x14, 0x5A), 4, kWriteText);
  unsigned char bytes[3] = {1, 2, 3};
  expectError(__QeloMsrWriteBlock(handle, 0x14, bytes, 3), 4, kWriteText);
  expectError(QeloMsrWriteDigitalPort(handle, QELOMSR_ID_DIGITAL_PORT(0), 0x5A), 4, kWriteText);
  closeAndForget(handle);
  replug(kKaPort);
  expectUsable(kKa, ka());
}

// A device may hold as many unanswered replies as its queue takes (the
// emulator: 1024); the next program drains them all, however many, and
// finds and opens the device with true values.
TEST_F(FaultsVbus, AFullQueueOfUnansweredRepliesIsDrained) {
  for (int requests : {1023, 1024, 1100}) {
    SCOPED_TRACE(requests);
    for (int i = 0; i < requests; ++i) {
      qsim::Faults f;
      f.staleReply = true;
      ka().setFaults(f);
      ka().setFaults(qsim::Faults{});
    }
    ASSERT_EQ(ka().queuedReplies(), static_cast<size_t>(std::min(requests, 1024)));
    ASSERT_EQ(enumerate().count(kKa), 1u) << "the device vanished from the enumeration";
    EXPECT_EQ(ka().queuedReplies(), 0u);
    const int handle = open(kKa);
    unsigned value = 0;
    const int rc = __QeloMsrReadRegister(handle, 0x09, &value);
    EXPECT_EQ(rc, 0) << record(rc).text;
    EXPECT_EQ(value, ka().config().inputCapacity);
    EXPECT_EQ(QeloMsrClose(handle), 0);
  }
}

TEST_F(FaultsVbus, UnplugAndReplugDuringEnumerationKeepEveryEnumerationSound) {
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  auto enumerating = std::async(std::launch::async, [&] {
    std::vector<std::string> problems;
    while (!stop) {
      int count = -1;
      const int rc = QeloMsrBeginEnumerate(&count, QELOMSR_TYPE_ALL);
      if (rc != 0) {
        // A device vanishing under the probe may be reported, but clearly.
        const Record r = record(rc);
        if (r.errorClass != 4 || r.text.empty()) problems.push_back(r.text);
      } else if (count < 2 || count > 3) {
        problems.push_back("listed " + std::to_string(count) + " devices");
      }
      rounds++;
    }
    return problems;
  });
  auto roundsReach = [&](int n) { return waitUntil([&] { return rounds >= n; }); };
  ASSERT_TRUE(roundsReach(2));
  for (int i = 0; i < 3; ++i) {
    unplug(kVelPort);
    ASSERT_TRUE(roundsReach(rounds + 2));
    replug(kVelPort);
    ASSERT_TRUE(roundsReach(rounds + 2));
  }
  stop = true;
  ASSERT_EQ(enumerating.wait_for(std::chrono::seconds(90)), std::future_status::ready);
  for (const std::string& p : enumerating.get()) ADD_FAILURE() << p;
  EXPECT_EQ(enumerate(), (std::set<std::string>{kKa, kVel, kRix}));
  expectUsable(kVel, vel());
}

// Faults switched on the emulator while a device is open: each call fails
// with the transport's error or succeeds with correct data; once the fault
// is gone the same handle works again.
TEST_F(FaultsVbus, TransferFaultsFailClearlyAndTheDeviceRecovers) {
  struct Case {
    const char* name;
    qsim::Faults faults;
    bool callsFail;
    const char* part;  // expected in the error text when calls fail
  };
  std::vector<Case> cases(3);
  cases[0] = {"stalled endpoint", {}, true, "LIBUSB_ERROR_TIMEOUT"};
  cases[0].faults.stall = true;
  cases[1] = {"short transfers", {}, false, ""};
  cases[1].faults.shortIn = true;
  cases[2] = {"overflowing input buffer", {}, true, "Buffer overflow."};
  cases[2].faults.forceOverflow = true;

  enumerate();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int handle = open(kKa);
    ka().setSignal(0, qsim::Signal::dc(2.5));
    startAcquisition(handle, 100.0f);
    ka().setFaults(c.faults);
    std::vector<float> values(2048 * QELOMSR_KA_VALUE_SLOTS);
    std::vector<int> ports(2048 * QELOMSR_KA_PORT_SLOTS);
    int transferred = -1;
    // Frames the device kept before an overflow come first.
    int rc = 0;
    for (int call = 0; call < 100; ++call) {
      rc = QeloMsrReadNonBlocking(handle, values.data(), ports.data(), &transferred);
      if (rc != 0 || !c.faults.forceOverflow) break;
    }
    if (c.callsFail) {
      expectError(rc, 4, c.part);
    } else {
      EXPECT_EQ(rc, 0) << record(rc).text;
      char serial[QELOMSR_TEXT_BUFFER_SIZE];
      ASSERT_EQ(QeloMsrGetSerialNumber(handle, serial), 0);
      EXPECT_EQ(std::string(serial), "QeloKa@" + ka().config().serial);
    }
    ka().setFaults(qsim::Faults{});
    bus().kick(kKaPort);
    EXPECT_EQ(QeloMsrStopDataAcquisition(handle), 0);
    float volts = 0;
    const int read = QeloMsrReadAnalogInput(handle, QELOMSR_ID_ANALOG_INPUT(0), &volts);
    EXPECT_EQ(read, 0) << record(read).text;
    EXPECT_NEAR(volts, 2.5, 0.01) << "the handle reads the injected voltage after the fault";
    EXPECT_EQ(QeloMsrClose(handle), 0);
  }
}

TEST_F(FaultsVbus, GarbageRepliesNeverCrashAndTheDeviceRecovers) {
  enumerate();
  const int handle = open(kVel);
  qsim::Faults garbage;
  garbage.garbage = true;
  vel().setFaults(garbage);
  int ios[] = {QELOMSR_ID_ANALOG_INPUT(0), QELOMSR_ID_DIGITAL_PORT(0), QELOMSR_ID_TRIGGER};
  std::vector<float> values(4096 * QELOMSR_VEL_VALUE_SLOTS);
  std::vector<int> ports(4096 * QELOMSR_VEL_PORT_SLOTS);
  float f = 0;
  int n = 0;
  char text[QELOMSR_TEXT_BUFFER_SIZE];
  const std::vector<int> results = {
      QeloMsrGetSerialNumber(handle, text),
      QeloMsrGetTemperature(handle, &f),
      QeloMsrReadAnalogInput(handle, QELOMSR_ID_ANALOG_INPUT(1), &f),
      QeloMsrSetupInputFrame(handle, ios, 3),
      QeloMsrCalculateMaxBufferedInputFrames(handle, &n),
      QeloMsrStartDataAcquisition(handle, 0, 50.0f, 0, &f),
      QeloMsrReadNonBlocking(handle, values.data(), ports.data(), &n),
      QeloMsrReadFrame(handle, values.data(), ports.data()),
      QeloMsrStopDataAcquisition(handle),
  };
  for (int rc : results) {
    if (rc == 0) continue;
    const Record r = record(rc);
    EXPECT_GE(r.errorClass, 1);
    EXPECT_LE(r.errorClass, 4);
    EXPECT_FALSE(r.text.empty());
  }
  vel().setFaults(qsim::Faults{});
  bus().kick(kVelPort);
  closeAndForget(handle);
  expectUsable(kVel, vel());
}

TEST_F(FaultsVbus, RefusedClaimFailsTheOpenUntilTheOtherProgramLetsGo) {
  EXPECT_EQ(enumerate().count(kKa), 1u);
  qsim::Faults held;
  held.interfaceHeld = true;
  ka().setFaults(held);
  int handle = 0;
  expectError(QeloMsrOpen(kKa, &handle), 4,
              "Can't claim device (run as root or adjust udev rules): LIBUSB_ERROR_BUSY");
  EXPECT_EQ(enumerate().count(kKa), 0u) << "a held device is left out of the list";
  ka().setFaults(qsim::Faults{});
  expectUsable(kKa, ka());
}

}  // namespace
