// Enumerate, identify, open, use and close through the exported C functions,
// over the real libusb and the virtual USB bus.
#include <gtest/gtest.h>
#include <qelomsr/qelomsr.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "qsim/config.h"
#include "qsim/model.h"
#include "qsim/vbus_gtest.h"

namespace {

struct Listed {
  std::string ident;
  int type = 0;
  std::string version;
};

struct Record {
  int errorClass = -1;
  std::string text;
};

Record record(int id) {
  char message[512];
  Record r;
  __wrapper_error(id, message, sizeof message, &r.errorClass);
  r.text = message;
  return r;
}

std::vector<Listed> enumerate(int type) {
  int count = -1;
  EXPECT_EQ(QeloMsrBeginEnumerate(&count, type), 0);
  std::vector<Listed> listed;
  for (int i = 0; i < count; ++i) {
    char ident[QELOMSR_TEXT_BUFFER_SIZE], version[QELOMSR_TEXT_BUFFER_SIZE];
    Listed entry;
    EXPECT_EQ(QeloMsrGetIdentifier(i, ident, 0, &entry.type, version), 0);
    entry.ident = ident;
    entry.version = version;
    listed.push_back(entry);
  }
  return listed;
}

std::set<std::string> idents(const std::vector<Listed>& listed) {
  std::set<std::string> out;
  for (const auto& e : listed) out.insert(e.ident);
  return out;
}

const char* const kKa = "USB:1-0-3";
const char* const kVel = "USB:1-0-2-1";
const char* const kRix = "USB:1-0-2-4";

class OpenE2E : public qsim::vbustest::VbusFixture {
 protected:
  int open(const std::string& ident) {
    int handle = 0;
    const int id = QeloMsrOpen(ident.c_str(), &handle);
    EXPECT_EQ(id, 0) << record(id).text;
    return handle;
  }
};

TEST_F(OpenE2E, EnumeratesByTypeCode) {
  struct Case {
    int type;
    std::set<std::string> expected;
  };
  const Case cases[] = {
      {QELOMSR_TYPE_ALL, {kKa, kVel, kRix}},
      {QELOMSR_TYPE_ALL_ALT, {kKa, kVel, kRix}},
      {QELOMSR_TYPE_KA1X, {kKa}},
      {QELOMSR_TYPE_VEL1X, {kVel}},
      {QELOMSR_TYPE_RIX1X, {kRix}},
      {0x7A500013, {}},
      {0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(idents(enumerate(c.type)), c.expected);
  }
}

TEST_F(OpenE2E, ReportsTypeCodesAndFirmwareVersions) {
  const auto listed = enumerate(QELOMSR_TYPE_ALL);
  ASSERT_EQ(listed.size(), 3u);
  for (const auto& e : listed) {
    SCOPED_TRACE(e.ident);
    EXPECT_EQ(e.version, "1.4");
    const int expected = e.ident == kKa    ? QELOMSR_TYPE_KA1X
                         : e.ident == kVel ? QELOMSR_TYPE_VEL1X
                                           : QELOMSR_TYPE_RIX1X;
    EXPECT_EQ(e.type, expected);
  }
}

TEST_F(OpenE2E, DeviceHeldByAnotherProgramIsLeftOut) {
  qsim::Faults held;
  held.interfaceHeld = true;
  ka().setFaults(held);
  EXPECT_EQ(idents(enumerate(QELOMSR_TYPE_ALL)), (std::set<std::string>{kVel, kRix}));
  ka().setFaults(qsim::Faults{});
  EXPECT_EQ(idents(enumerate(QELOMSR_TYPE_ALL)).count(kKa), 1u);
}

TEST_F(OpenE2E, FirmwareTwoIsListedButRefused) {
  qsim::DeviceConfig config = qsim::defaultConfig(qsim::Family::Vel);
  config.firmware = 0x0200;
  add("1-4", config);
  const auto listed = enumerate(QELOMSR_TYPE_VEL1X);
  auto it = std::find_if(listed.begin(), listed.end(),
                         [](const Listed& e) { return e.ident == "USB:1-0-4"; });
  ASSERT_NE(it, listed.end());
  EXPECT_EQ(it->version, "2.0");
  EXPECT_EQ(it->type, QELOMSR_TYPE_VEL1X);
  int handle = 0;
  const Record r = record(QeloMsrOpen("USB:1-0-4", &handle));
  EXPECT_EQ(r.errorClass, 4);
  EXPECT_EQ(r.text, "The firmware of this device is not supported.");
}

TEST_F(OpenE2E, HandlesCountUpAndASecondOpenIsRefused) {
  enumerate(QELOMSR_TYPE_ALL);
  const int first = open(kKa);
  const int second = open(kVel);
  EXPECT_EQ(second, first + 1);
  int other = 0;
  const Record twice = record(QeloMsrOpen(kKa, &other));
  EXPECT_EQ(twice.errorClass, 3);
  EXPECT_EQ(twice.text, "Device already opened.");
  int value = 0;
  EXPECT_EQ(QeloMsrGetDeviceParameter(first, QELOMSR_PARAM_SINGLE_ENDED_INPUTS, &value), 0);
  EXPECT_EQ(value, 14) << "the first handle keeps working";
  EXPECT_EQ(QeloMsrClose(first), 0);
  const int third = open(kRix);
  EXPECT_EQ(third, second + 1) << "a closed handle's number is not handed out again";
  enumerate(QELOMSR_TYPE_ALL);
  const int again = open(kKa);
  EXPECT_EQ(again, third + 1);
  for (int h : {second, third, again}) EXPECT_EQ(QeloMsrClose(h), 0);
}

TEST_F(OpenE2E, SerialNumbersAndCalibratedReadingsOfInjectedVoltages) {
  ka().setSignal(0, qsim::Signal::dc(3.25));
  vel().setSignal(2, qsim::Signal::dc(-4.5));
  struct Case {
    const char* ident;
    const char* prefix;
    qsim::DeviceModel* model;
    int input;  // single-ended input index
    int range;
    double codeVolts;  // one converter code of the range
  };
  const Case cases[] = {
      {kKa, "QeloKa@", &ka(), 0, 0, 20.0 / 65535.0},
      {kVel, "QeloVel@", &vel(), 2, 0, 20.0 / 65535.0},
      {kRix, "QeloPilex@", &rix(), 5, 0, 3.3 / 4095.0},  // VREF
  };
  enumerate(QELOMSR_TYPE_ALL);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ident);
    const int handle = open(c.ident);
    char serial[QELOMSR_TEXT_BUFFER_SIZE];
    ASSERT_EQ(QeloMsrGetSerialNumber(handle, serial), 0);
    EXPECT_EQ(std::string(serial), c.prefix + c.model->config().serial);
    int delay = 0;
    ASSERT_EQ(QeloMsrSetAnalogInputParameters(handle, QELOMSR_ID_ANALOG_INPUT(c.input),
                                              QELOMSR_ID_RANGE(c.range), -1, &delay),
              0);
    float volts = 0;
    ASSERT_EQ(QeloMsrReadAnalogInput(handle, QELOMSR_ID_ANALOG_INPUT(c.input), &volts), 0);
    const double truth = c.model->inputVoltage(c.input, c.model->nowNs());
    EXPECT_NEAR(volts, truth, c.codeVolts * 1.01);
    EXPECT_EQ(QeloMsrClose(handle), 0);
  }
}

TEST_F(OpenE2E, UnpluggedWhileOpenFailsClearlyAndCanBeOpenedAgain) {
  enumerate(QELOMSR_TYPE_ALL);
  const int handle = open(kKa);
  unplug(qsim::vbustest::kKaPort);
  float volts = 0;
  const Record r = record(QeloMsrReadAnalogInput(handle, QELOMSR_ID_ANALOG_INPUT(0), &volts));
  EXPECT_EQ(r.errorClass, 4);
  EXPECT_NE(r.text.find("LIBUSB_ERROR"), std::string::npos) << r.text;
  EXPECT_EQ(QeloMsrClose(handle), 0);
  EXPECT_EQ(idents(enumerate(QELOMSR_TYPE_ALL)).count(kKa), 0u);
  int stale = 0;
  const Record gone = record(QeloMsrOpen(kKa, &stale));
  EXPECT_EQ(gone.text, "Invalid identifier.");

  replug(qsim::vbustest::kKaPort);
  EXPECT_EQ(idents(enumerate(QELOMSR_TYPE_ALL)).count(kKa), 1u);
  const int again = open(kKa);
  EXPECT_GT(again, handle);
  EXPECT_EQ(QeloMsrReadAnalogInput(again, QELOMSR_ID_ANALOG_INPUT(0), &volts), 0);
  EXPECT_EQ(QeloMsrClose(again), 0);
}

TEST_F(OpenE2E, NetworkEnumerationEmptiesTheList) {
  enumerate(QELOMSR_TYPE_ALL);
  int count = -1;
  EXPECT_EQ(QeloMsrBeginEnumerateNetwork("host", 0, &count, QELOMSR_TYPE_ALL), 0);
  EXPECT_EQ(count, 0);
  char ident[QELOMSR_TEXT_BUFFER_SIZE], version[QELOMSR_TEXT_BUFFER_SIZE];
  int type = 0;
  EXPECT_EQ(record(QeloMsrGetIdentifier(0, ident, 0, &type, version)).text,
            "Invalid enumeration index");
  int handle = 0;
  EXPECT_EQ(record(QeloMsrOpen(kKa, &handle)).text, "Invalid identifier.");
}

}  // namespace
