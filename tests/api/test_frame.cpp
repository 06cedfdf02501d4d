// The call frame of the C interface: error records, pointer checks, handles,
// buffer rules and the routing of every exported function to its operation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <qelomsr/qelomsr.h>

#include <array>
#include <chrono>
#include <climits>
#include <cstring>
#include <future>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <typeinfo>

#include "api/qelomsrinternal.h"
#include "api/wrapper.h"
#include "mock_device.h"

using ::testing::_;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::Throw;

namespace {

struct Record {
  int errorClass = -1;
  std::string text;
};

Record readRecord(int id) {
  char message[512];
  Record record;
  __wrapper_error(id, message, sizeof message, &record.errorClass);
  record.text = message;
  return record;
}

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mock = boost::shared_ptr<NiceMock<MockDevice>>(new NiceMock<MockDevice>());
    handle = qelomsr_internal::addOpenDevice(mock);
  }
  void TearDown() override { QeloMsrClose(handle); }

  boost::shared_ptr<NiceMock<MockDevice>> mock;
  int handle = 0;
};

constexpr int kUnknownHandle = 987654;

struct ThrowCase {
  const char* name;
  std::function<void()> raise;
  int errorClass;
  const char* text;
};

TEST_F(FrameTest, ExceptionClassesBecomeRecords) {
  const ThrowCase cases[] = {
      {"out_of_range", [] { throw std::out_of_range("Invalid range."); }, 1, "Invalid range."},
      {"invalid_argument", [] { throw std::invalid_argument("Invalid peripheral id."); }, 2,
       "Invalid peripheral id."},
      {"logic_error", [] { throw std::logic_error("Not supported."); }, 3, "Not supported."},
      {"length_error", [] { throw std::length_error("too long"); }, 3, "too long"},
      {"runtime_error", [] { throw std::runtime_error("Buffer overflow."); }, 4,
       "Buffer overflow."},
      {"system_error",
       [] { throw std::system_error(std::make_error_code(std::errc::io_error), "usb"); }, 4,
       nullptr},
      {"bad_alloc", [] { throw std::bad_alloc(); }, 5, nullptr},
      {"bad_cast", [] { throw std::bad_cast(); }, 14, nullptr},
      {"int", [] { throw 42; }, 15, "System exception type caught."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_CALL(*mock, getDeviceParameter(3)).WillOnce([&](int) -> int {
      c.raise();
      return 0;
    });
    int value = 1234;
    const int id = QeloMsrGetDeviceParameter(handle, 3, &value);
    ASSERT_NE(id, 0);
    EXPECT_EQ(value, 1234) << "a failing call must leave the out-parameter alone";
    const Record record = readRecord(id);
    EXPECT_EQ(record.errorClass, c.errorClass);
    if (c.text != nullptr) {
      EXPECT_EQ(record.text, c.text);
    }
    EXPECT_FALSE(record.text.empty());
  }
}

TEST_F(FrameTest, ErrorIdsRiseByOneAndRecordsCanBeReadAgain) {
  const int first = QeloMsrResetDevice(kUnknownHandle);
  const int second = QeloMsrGetDeviceParameter(kUnknownHandle, 0, nullptr);
  EXPECT_EQ(second, first + 1);
  for (int i = 0; i < 2; ++i) {
    const Record r = readRecord(first);
    EXPECT_EQ(r.errorClass, 4);
    EXPECT_EQ(r.text, "Invalid handle.");
  }
  const Record r2 = readRecord(second);
  EXPECT_EQ(r2.errorClass, 2);
  EXPECT_EQ(r2.text, "Invalid pointer for parameter <value>.");
}

TEST_F(FrameTest, PointerChecksComeFirstAndInParameterOrder) {
  EXPECT_CALL(*mock, getRangeMinMax(_, _)).Times(0);
  float v = 0;
  EXPECT_EQ(readRecord(QeloMsrGetRangeMinMax(kUnknownHandle, 0, 0, nullptr, nullptr)).text,
            "Invalid pointer for parameter <minValue>.");
  EXPECT_EQ(readRecord(QeloMsrGetRangeMinMax(handle, 0, 0, &v, nullptr)).text,
            "Invalid pointer for parameter <maxValue>.");
  int i = 0;
  EXPECT_EQ(readRecord(QeloMsrReadNonBlocking(handle, &v, &i, nullptr)).text,
            "Invalid pointer for parameter <transferred>.");
  EXPECT_EQ(readRecord(QeloMsrReadNonBlocking(handle, &v, nullptr, nullptr)).text,
            "Invalid pointer for parameter <buffer>.");
  EXPECT_EQ(readRecord(QeloMsrOpen(nullptr, nullptr)).text,
            "Invalid pointer for parameter <ident>.");
  EXPECT_EQ(readRecord(QeloMsrOpen("USB:1-0-3", nullptr)).text,
            "Invalid pointer for parameter <handle>.");
  char text[QELOMSR_TEXT_BUFFER_SIZE];
  EXPECT_EQ(readRecord(QeloMsrGetIdentifier(0, text, 0, nullptr, text)).text,
            "Invalid pointer for parameter <type>.");
}

TEST_F(FrameTest, MessageBufferRules) {
  const int id = QeloMsrResetDevice(kUnknownHandle);  // "Invalid handle." (15 chars)
  char buffer[32];
  int errorClass = -1;
  std::memset(buffer, 'x', sizeof buffer);
  __wrapper_error(id, buffer, 15, &errorClass);
  EXPECT_STREQ(buffer, "") << "a buffer exactly as long as the text receives an empty string";
  EXPECT_EQ(errorClass, 4);
  __wrapper_error(id, buffer, 16, &errorClass);
  EXPECT_STREQ(buffer, "Invalid handle.");
  std::memset(buffer, 'x', sizeof buffer);
  errorClass = -1;
  __wrapper_error(id, buffer, 0, &errorClass);
  EXPECT_EQ(buffer[0], 'x') << "length 0 leaves the buffer untouched";
  EXPECT_EQ(errorClass, 4) << "the class is stored anyway";
  __wrapper_error(id, buffer, -5, &errorClass);
  EXPECT_EQ(buffer[0], 'x');
}

TEST(ApiVersion, WholeTextOrEmptyString) {
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(QeloMsrGetApiVersion(buffer, 8), 0);
  EXPECT_STREQ(buffer, "2.0.0.0");
  EXPECT_STREQ(buffer, QELOMSR_VERSION_STRING);
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(QeloMsrGetApiVersion(buffer, 7), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(QeloMsrGetApiVersion(nullptr, 8), 0);
}

TEST(ErrorRegistry, UnknownIdGivesDefinedReply) {
  const int newest = QeloMsrResetDevice(kUnknownHandle);
  const Record r = readRecord(newest + 1000);
  EXPECT_EQ(r.errorClass, QELOMSR_ERROR_CLASS_NO_RECORD);
  EXPECT_EQ(r.text, "Unknown error id.");
  EXPECT_EQ(readRecord(0).errorClass, QELOMSR_ERROR_CLASS_NO_RECORD);
  // Null pointers are tolerated rather than dereferenced.
  __wrapper_error(newest, nullptr, 10, nullptr);
}

TEST(ErrorRegistry, KeepsOnlyTheMostRecentRecords) {
  const int first = QeloMsrResetDevice(kUnknownHandle);
  int last = first;
  for (int i = 0; i < QELOMSR_ERROR_RECORDS_KEPT + 10; ++i)
    last = QeloMsrResetDevice(kUnknownHandle);
  EXPECT_EQ(last, first + QELOMSR_ERROR_RECORDS_KEPT + 10);
  EXPECT_EQ(readRecord(first).errorClass, QELOMSR_ERROR_CLASS_NO_RECORD);
  EXPECT_EQ(readRecord(first + 10).errorClass, QELOMSR_ERROR_CLASS_NO_RECORD);
  EXPECT_EQ(readRecord(first + 11).errorClass, 4);
  EXPECT_EQ(readRecord(last).text, "Invalid handle.");
}

TEST(ObjectManager, ErrorIdsWrapThroughNegativesAndSkipOnlyZero) {
  wrapper::object_manager<int, int> table(wrapper::id_policy::wrapping, 4);
  table.set_next_id(INT_MAX);
  EXPECT_EQ(table.add(1), INT_MAX);
  EXPECT_EQ(table.add(2), INT_MIN) << "after the largest id comes the smallest";
  EXPECT_EQ(table.add(3), INT_MIN + 1);
  table.set_next_id(-1);
  EXPECT_EQ(table.add(3), -1);
  EXPECT_EQ(table.add(4), 1) << "0 is never an id";
}

// An object whose move fails as an allocation would.
struct Unstorable {
  bool fails = false;
  Unstorable() = default;
  explicit Unstorable(bool f) : fails(f) {}
  Unstorable(const Unstorable&) = default;
  Unstorable& operator=(const Unstorable&) = default;
  Unstorable(Unstorable&& o) : fails(o.fails) {
    if (fails) throw std::bad_alloc();
  }
  Unstorable& operator=(Unstorable&& o) {
    if (o.fails) throw std::bad_alloc();
    fails = o.fails;
    return *this;
  }
};

// A record that cannot be stored still takes its id from the sequence and
// reads as not stored; it takes no number away from the other records.
TEST(ObjectManager, AnUnstoredRecordKeepsItsPlaceInTheSequence) {
  wrapper::object_manager<Unstorable, int> table(wrapper::id_policy::wrapping, 4);
  table.set_next_id(INT_MAX - 1);
  EXPECT_EQ(table.add_or_mark(Unstorable(false)), INT_MAX - 1);
  EXPECT_EQ(table.add_or_mark(Unstorable(true)), INT_MAX);
  EXPECT_EQ(table.add_unstored(), INT_MIN);
  EXPECT_EQ(table.add_or_mark(Unstorable(false)), INT_MIN + 1);
  EXPECT_TRUE(table.has(INT_MAX - 1));
  EXPECT_FALSE(table.has(INT_MAX));
  EXPECT_TRUE(table.unstored(INT_MAX));
  EXPECT_TRUE(table.unstored(INT_MIN));
  EXPECT_FALSE(table.unstored(INT_MIN + 1));
  EXPECT_FALSE(table.unstored(0));
  EXPECT_EQ(table.size(), 2u);
}

// Through the C interface: the failure after id 2147483647 gets -2147483648,
// and both records read back.
TEST(ErrorRegistry, IdsWrapFromTheLargestToTheSmallest) {
  qelomsr_internal::setNextErrorId(INT_MAX);
  EXPECT_EQ(QeloMsrResetDevice(kUnknownHandle), INT_MAX);
  EXPECT_EQ(QeloMsrResetDevice(kUnknownHandle), INT_MIN);
  EXPECT_EQ(QeloMsrResetDevice(kUnknownHandle), INT_MIN + 1);
  for (int id : {INT_MAX, INT_MIN, INT_MIN + 1}) {
    const Record r = readRecord(id);
    EXPECT_EQ(r.errorClass, 4) << id;
    EXPECT_EQ(r.text, "Invalid handle.") << id;
  }
  qelomsr_internal::setNextErrorId(-1);
  EXPECT_EQ(QeloMsrResetDevice(kUnknownHandle), -1);
  EXPECT_EQ(QeloMsrResetDevice(kUnknownHandle), 1) << "0 is never an error id";
}

TEST(ObjectManager, HandlesStayPositiveAndUniquePastTheLargestId) {
  wrapper::object_manager<int, int> table(wrapper::id_policy::positive_unique);
  EXPECT_EQ(table.add(10), 1);
  EXPECT_EQ(table.add(20), 2);
  table.set_next_id(INT_MAX);
  EXPECT_EQ(table.add(30), INT_MAX);
  EXPECT_EQ(table.add(40), 3) << "after the largest id, ids in use (1, 2) are skipped";
  table.remove(1);
  EXPECT_EQ(table.add(50), 4);
  EXPECT_EQ(table.get(1 + 1), 20);
  EXPECT_THROW(table.get(1), std::runtime_error);
}

TEST_F(FrameTest, HandlesAreNeverReused) {
  auto other = boost::shared_ptr<NiceMock<MockDevice>>(new NiceMock<MockDevice>());
  const int second = qelomsr_internal::addOpenDevice(other);
  EXPECT_EQ(second, handle + 1);
  EXPECT_EQ(QeloMsrClose(second), 0);
  const int third = qelomsr_internal::addOpenDevice(other);
  EXPECT_EQ(third, second + 1);
  QeloMsrClose(third);
}

TEST_F(FrameTest, CloseForgetsTheHandleOnceAndIgnoresUnknownOnes) {
  EXPECT_CALL(*mock, close()).Times(1);
  EXPECT_EQ(QeloMsrClose(handle), 0);
  EXPECT_EQ(QeloMsrClose(handle), 0);
  EXPECT_EQ(QeloMsrClose(kUnknownHandle), 0);
  EXPECT_EQ(readRecord(QeloMsrResetDevice(handle)).text, "Invalid handle.");
}

TEST_F(FrameTest, FailingCloseKeepsTheHandleUsable) {
  const int before = QeloMsrResetDevice(kUnknownHandle);
  EXPECT_CALL(*mock, close())
      .WillOnce(Throw(std::runtime_error("Failed to write data")))
      .WillOnce(Return());
  EXPECT_EQ(QeloMsrClose(handle), 0);
  EXPECT_EQ(QeloMsrResetDevice(handle), 0) << "the handle is still open";
  EXPECT_EQ(QeloMsrResetDevice(kUnknownHandle), before + 1) << "close created no error record";
  EXPECT_EQ(QeloMsrClose(handle), 0);
  EXPECT_NE(QeloMsrResetDevice(handle), 0);
}

TEST_F(FrameTest, FlagsAreNormalised) {
  EXPECT_CALL(*mock, setLed(QELOMSR_ID_LED, true)).Times(2);
  EXPECT_EQ(QeloMsrSetLed(handle, QELOMSR_ID_LED, 2), 0);
  EXPECT_EQ(QeloMsrSetLed(handle, QELOMSR_ID_LED, -1), 0);
  EXPECT_CALL(*mock, startDataAcquisition(1, 100.0f, 0)).WillOnce(Return(100.0f));
  float rate = 0;
  EXPECT_EQ(QeloMsrStartDataAcquisition(handle, 7, 100.0f, 0, &rate), 0);
  EXPECT_EQ(rate, 100.0f);
  EXPECT_CALL(*mock, getTriggerEnable(_)).WillOnce(Return(true));
  EXPECT_CALL(*mock, getCounterEnable(_)).WillOnce(Return(false));
  int enable = 77;
  EXPECT_EQ(QeloMsrGetTriggerEnable(handle, QELOMSR_ID_TRIGGER, &enable), 0);
  EXPECT_EQ(enable, 1);
  EXPECT_EQ(QeloMsrGetCounterEnable(handle, QELOMSR_ID_COUNTER, &enable), 0);
  EXPECT_EQ(enable, 0);
}

TEST_F(FrameTest, CounterWritesAllEightBytes) {
  EXPECT_CALL(*mock, readCounter(QELOMSR_ID_COUNTER)).WillOnce(Return(4294967295LL));
  qelomsr_int64 counter = -1;
  EXPECT_EQ(QeloMsrReadCounter(handle, QELOMSR_ID_COUNTER, &counter), 0);
  EXPECT_EQ(counter, 4294967295LL);
}

TEST_F(FrameTest, NamesFollowTheBufferRule) {
  EXPECT_CALL(*mock, getPeripheralName(0x7A501103)).WillRepeatedly(Return("AI-3"));
  char name[8];
  std::memset(name, 'x', sizeof name);
  EXPECT_EQ(QeloMsrGetPeripheralName(handle, 0x7A501103, name, 4), 0);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(QeloMsrGetPeripheralName(handle, 0x7A501103, name, 5), 0);
  EXPECT_STREQ(name, "AI-3");
}

TEST_F(FrameTest, AnalogInputParametersKeepTheRangeWhenTheDelayFails) {
  EXPECT_CALL(*mock, getAnalogInputRange(0x7A501100)).WillOnce(Return(0x7A501402));
  EXPECT_CALL(*mock, getAnalogInputInterChannelDelay(0x7A501100))
      .WillOnce(Throw(std::runtime_error("gone")));
  int range = 0, delay = 55;
  const int id = QeloMsrGetAnalogInputParameters(handle, 0x7A501100, &range, &delay);
  EXPECT_NE(id, 0);
  EXPECT_EQ(range, 0x7A501402);
  EXPECT_EQ(delay, 55);
}

TEST_F(FrameTest, NegativeBlockSizesNeverReachTheDevice) {
  EXPECT_CALL(*mock, readBlock(_, _, _)).Times(0);
  EXPECT_CALL(*mock, writeBlock(_, _, _)).Times(0);
  unsigned char data[4];
  for (int id : {__QeloMsrReadBlock(handle, 0x20, data, -1),
                 __QeloMsrWriteBlock(handle, 0x20, data, INT_MIN)}) {
    const Record r = readRecord(id);
    EXPECT_EQ(r.errorClass, 2);
    EXPECT_NE(r.text.find("negative"), std::string::npos) << r.text;
  }
  EXPECT_CALL(*mock, readBlock(0x20u, data, 0)).Times(1);
  EXPECT_EQ(__QeloMsrReadBlock(handle, 0x20, data, 0), 0);
}

TEST_F(FrameTest, ExportedFunctionsRouteToTheirOperation) {
  using ::testing::Eq;
  float f = 0, f2 = 0;
  int i = 0, i2 = 0;
  unsigned u = 0;
  int ios[2] = {0x7A501100, 0x7A501600};
  float vbuf[21] = {};
  int pbuf[5] = {};
  char text[QELOMSR_TEXT_BUFFER_SIZE];

  EXPECT_CALL(*mock, resetPeripherals(0x55));
  EXPECT_EQ(QeloMsrResetPeripherals(handle, 0x55), 0);
  EXPECT_CALL(*mock, getSerialNumber(static_cast<void*>(text)));
  EXPECT_EQ(QeloMsrGetSerialNumber(handle, text), 0);
  EXPECT_CALL(*mock, getTemperature(&f));
  EXPECT_EQ(QeloMsrGetTemperature(handle, &f), 0);
  EXPECT_CALL(*mock, getReferenceCurrent(0x7A501701)).WillOnce(Return(10.5f));
  EXPECT_EQ(QeloMsrGetReferenceCurrent(handle, 0x7A501701, &f), 0);
  EXPECT_EQ(f, 10.5f);
  EXPECT_CALL(*mock, setWatchdogTimeout(40u));
  EXPECT_EQ(QeloMsrSetWatchdogTimeout(handle, 40), 0);
  EXPECT_CALL(*mock, getWatchdogTimeout()).WillOnce(Return(41u));
  EXPECT_EQ(QeloMsrGetWatchdogTimeout(handle, &u), 0);
  EXPECT_EQ(u, 41u);
  EXPECT_CALL(*mock, enumerateRanges(0x7A501300, 1)).WillOnce(Return(0x7A5014FF));
  EXPECT_EQ(QeloMsrEnumerateRanges(handle, 0x7A501300, 1, &i), 0);
  EXPECT_EQ(i, 0x7A5014FF);
  EXPECT_CALL(*mock, getRangeMinMax(0x7A501100, 0x7A501401))
      .WillOnce(Return(std::make_pair(-1.0f, 1.0f)));
  EXPECT_EQ(QeloMsrGetRangeMinMax(handle, 0x7A501100, 0x7A501401, &f, &f2), 0);
  EXPECT_EQ(f, -1.0f);
  EXPECT_EQ(f2, 1.0f);
  EXPECT_CALL(*mock, getDefaultAnalogInputInterChannelDelay(0x7A501101, 0x7A501402))
      .WillOnce(Return(33));
  EXPECT_EQ(QeloMsrGetDefaultAnalogInputInterChannelDelay(handle, 0x7A501101, 0x7A501402, &i), 0);
  EXPECT_EQ(i, 33);
  EXPECT_CALL(*mock, getMinAnalogInputInterChannelDelay(5)).WillOnce(Return(7));
  EXPECT_EQ(QeloMsrGetMinAnalogInputInterChannelDelay(handle, 5, &i), 0);
  EXPECT_EQ(i, 7);
  EXPECT_CALL(*mock, setAnalogInputParameters(0x7A501103, 0x7A501401, -1)).WillOnce(Return(99));
  EXPECT_EQ(QeloMsrSetAnalogInputParameters(handle, 0x7A501103, 0x7A501401, -1, &i), 0);
  EXPECT_EQ(i, 99);
  EXPECT_CALL(*mock, readAnalogInput(0x7A501203)).WillOnce(Return(1.25f));
  EXPECT_EQ(QeloMsrReadAnalogInput(handle, 0x7A501203, &f), 0);
  EXPECT_EQ(f, 1.25f);
  EXPECT_CALL(*mock, writeAnalogOutput(0x7A501301, -2.5f));
  EXPECT_EQ(QeloMsrWriteAnalogOutput(handle, 0x7A501301, -2.5f), 0);
  EXPECT_CALL(*mock, getDigitalPortIoCount(0x7A501002)).WillOnce(Return(4));
  EXPECT_EQ(QeloMsrGetDigitalPortIoCount(handle, 0x7A501002, &i), 0);
  EXPECT_EQ(i, 4);
  EXPECT_CALL(*mock, getDigitalPortIoName(0x7A501002, 3)).WillOnce(Return("IO-19"));
  EXPECT_EQ(QeloMsrGetDigitalPortIoName(handle, 0x7A501002, 3, text, 16), 0);
  EXPECT_STREQ(text, "IO-19");
  EXPECT_CALL(*mock, setDigitalPortOutputEnableMask(0x7A501001, 0x1FF));
  EXPECT_EQ(QeloMsrSetDigitalPortOutputEnableMask(handle, 0x7A501001, 0x1FF), 0);
  EXPECT_CALL(*mock, readDigitalPort(0x7A501000)).WillOnce(Return(0xA5));
  EXPECT_EQ(QeloMsrReadDigitalPort(handle, 0x7A501000, &i), 0);
  EXPECT_EQ(i, 0xA5);
  EXPECT_CALL(*mock, writeDigitalPort(0x7A501000, 0x3C));
  EXPECT_EQ(QeloMsrWriteDigitalPort(handle, 0x7A501000, 0x3C), 0);
  EXPECT_CALL(*mock, setTriggerConfig(0x7A501600, 0x7A501903));
  EXPECT_EQ(QeloMsrSetTriggerConfig(handle, 0x7A501600, 0x7A501903), 0);
  EXPECT_CALL(*mock, getTriggerConfig(0x7A501600)).WillOnce(Return(0x7A501902));
  EXPECT_EQ(QeloMsrGetTriggerConfig(handle, 0x7A501600, &i), 0);
  EXPECT_EQ(i, 0x7A501902);
  EXPECT_CALL(*mock, setTriggerEnable(0x7A501600, false));
  EXPECT_EQ(QeloMsrSetTriggerEnable(handle, 0x7A501600, 0), 0);
  EXPECT_CALL(*mock, resetCounter(0x7A501500));
  EXPECT_EQ(QeloMsrResetCounter(handle, 0x7A501500), 0);
  EXPECT_CALL(*mock, setCounterConfig(0x7A501500, 0x7A501A01));
  EXPECT_EQ(QeloMsrSetCounterConfig(handle, 0x7A501500, 0x7A501A01), 0);
  EXPECT_CALL(*mock, getCounterConfig(0x7A501500)).WillOnce(Return(0x7A501A02));
  EXPECT_EQ(QeloMsrGetCounterConfig(handle, 0x7A501500, &i), 0);
  EXPECT_EQ(i, 0x7A501A02);
  EXPECT_CALL(*mock, setCounterEnable(0x7A501500, true));
  EXPECT_EQ(QeloMsrSetCounterEnable(handle, 0x7A501500, 3), 0);
  EXPECT_CALL(*mock, calculateMaxBufferedInputFrames()).WillOnce(Return(682));
  EXPECT_EQ(QeloMsrCalculateMaxBufferedInputFrames(handle, &i), 0);
  EXPECT_EQ(i, 682);
  EXPECT_CALL(*mock, setupInputFrame(ios, 2));
  EXPECT_EQ(QeloMsrSetupInputFrame(handle, ios, 2), 0);
  EXPECT_CALL(*mock, stopDataAcquisition());
  EXPECT_EQ(QeloMsrStopDataAcquisition(handle), 0);
  EXPECT_CALL(*mock, readBlocking(vbuf, pbuf, 12));
  EXPECT_EQ(QeloMsrReadBlocking(handle, vbuf, pbuf, 12), 0);
  EXPECT_CALL(*mock, readNonBlocking(vbuf, pbuf, -1)).WillOnce(Return(3));
  EXPECT_EQ(QeloMsrReadNonBlocking(handle, vbuf, pbuf, &i), 0);
  EXPECT_EQ(i, 3);
  EXPECT_CALL(*mock, readFrame(vbuf, pbuf));
  EXPECT_EQ(QeloMsrReadFrame(handle, vbuf, pbuf), 0);
  EXPECT_CALL(*mock, setupOutputFrame(ios, 1));
  EXPECT_EQ(QeloMsrSetupOutputFrame(handle, ios, 1), 0);
  EXPECT_CALL(*mock, writeFrame(vbuf, pbuf));
  EXPECT_EQ(QeloMsrWriteFrame(handle, vbuf, pbuf), 0);
  EXPECT_CALL(*mock, writeBlocking(vbuf, pbuf, 4));
  EXPECT_EQ(QeloMsrWriteBlocking(handle, vbuf, pbuf, 4), 0);
  EXPECT_CALL(*mock, writeNonBlocking(vbuf, pbuf, 9)).WillOnce(Return(2));
  EXPECT_EQ(QeloMsrWriteNonBlocking(handle, vbuf, pbuf, 9, &i2), 0);
  EXPECT_EQ(i2, 2);
  EXPECT_CALL(*mock, readBlock(0x8004400u, static_cast<void*>(text), 48));
  EXPECT_EQ(__QeloMsrReadBlock(handle, 0x8004400u, text, 48), 0);
  EXPECT_CALL(*mock, writeBlock(0x18u, static_cast<void*>(text), 3));
  EXPECT_EQ(__QeloMsrWriteBlock(handle, 0x18u, text, 3), 0);
  EXPECT_CALL(*mock, readRegister(0xF0000004u, &u));
  EXPECT_EQ(__QeloMsrReadRegister(handle, 0xF0000004u, &u), 0);
  EXPECT_CALL(*mock, writeRegister(0xF0000020u, 0x12345678u));
  EXPECT_EQ(__QeloMsrWriteRegister(handle, 0xF0000020u, 0x12345678u), 0);
}

TEST_F(FrameTest, ErrorRecordsCanBeReadWhileACallIsInFlight) {
  const int existing = QeloMsrResetDevice(kUnknownHandle);
  std::promise<void> entered, release;
  auto releaseFuture = release.get_future().share();
  EXPECT_CALL(*mock, readBlocking(_, _, _)).WillOnce([&](float*, int*, int) {
    entered.set_value();
    releaseFuture.wait();
  });
  float v[21];
  int p[5];
  auto call = std::async(std::launch::async, [&] { return QeloMsrReadBlocking(handle, v, p, 1); });
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  auto reader = std::async(std::launch::async, [&] { return readRecord(existing); });
  const bool readerDone = reader.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  release.set_value();
  ASSERT_TRUE(readerDone) << "__wrapper_error must not wait for the call lock";
  EXPECT_EQ(reader.get().text, "Invalid handle.");
  EXPECT_EQ(call.get(), 0);
}

TEST(Enumeration, WithoutDevicesOrSelection) {
  int count = -1;
  EXPECT_EQ(QeloMsrBeginEnumerate(&count, 0x12345678), 0);
  EXPECT_EQ(count, 0);
  count = -1;
  EXPECT_EQ(QeloMsrBeginEnumerateNetwork(nullptr, 0, &count, QELOMSR_TYPE_ALL), 0);
  EXPECT_EQ(count, 0);
  char ident[QELOMSR_TEXT_BUFFER_SIZE], version[QELOMSR_TEXT_BUFFER_SIZE];
  int type = 0;
  for (int index : {0, -1}) {
    const Record r = readRecord(QeloMsrGetIdentifier(index, ident, 12345, &type, version));
    EXPECT_EQ(r.errorClass, 4);
    EXPECT_EQ(r.text, "Invalid enumeration index");
  }
  int handle = 0;
  const Record r = readRecord(QeloMsrOpen("USB:1-0-3", &handle));
  EXPECT_EQ(r.errorClass, 4);
  EXPECT_EQ(r.text, "Invalid identifier.");
}

}  // namespace
