// Fuzz target: random sequences of exported calls with random arguments
// against three emulated devices (Ka, Vel, Rix over the in-process transport,
// put into the handle table with addOpenDevice). Arguments include null
// pointers, negative and huge counts and sizes, unknown and closed handles and
// caller buffers of exactly the documented size; between calls the fuzzer may
// switch the emulator's faults, close and reopen a device or let time pass.
// Faults: any crash, sanitizer report or leak; a failure whose record is
// missing, has an unexpected class or an empty text; a call with a null
// pointer that does not fail with the pointer's record; flags outside 0/1;
// counts outside their bounds; a text without its NUL.
#include <fuzzer/FuzzedDataProvider.h>
#include <qelomsr/qelomsr.h>

#include <boost/shared_ptr.hpp>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/qelomsrinternal.h"
#include "comm-api/src/api/protocol.h"
#include "devices/qeloka1x.h"
#include "devices/qelorix1x.h"
#include "devices/qelovel1x.h"
#include "fuzz_common.h"
#include "qsim/clock.h"
#include "qsim/config.h"
#include "qsim/inprocess.h"
#include "qsim/model.h"

namespace {

constexpr int kMaxCalls = 64;
constexpr int64_t kNsPerTransfer = 2000000;  // emulated time that passes per transfer

struct Emulated {
  qsim::Family family;
  std::shared_ptr<qsim::ManualClock> clock;
  std::shared_ptr<qsim::DeviceModel> model;
  boost::shared_ptr<QeloFamily> device;
  int handle = 0;
  int valueSlots = 0;
  int portSlots = 0;
  int readLimit = 0;
};

// Builds and opens a family object over the model and enters it into the
// handle table.
void openDevice(Emulated& e, int index) {
  const std::string uid = "USB:8-0-" + std::to_string(index + 1);
  auto raw = std::make_shared<qsim::InProcessRawDevice>(e.model, uid);
  std::shared_ptr<qsim::ManualClock> clock = e.clock;
  raw->setTransferHook([clock](qsim::Direction, size_t) { clock->advanceNs(kNsPerTransfer); });
  auto protocol = commapi::createProtocolDevice(raw, 64, 64, 8192, 0);
  switch (e.family) {
    case qsim::Family::Ka:
      e.device.reset(new QeloKa1x(protocol, uid));
      e.valueSlots = QELOMSR_KA_VALUE_SLOTS;
      e.portSlots = QELOMSR_KA_PORT_SLOTS;
      e.readLimit = QELOMSR_KA_READ_LIMIT_BYTES;
      break;
    case qsim::Family::Vel:
      e.device.reset(new QeloVel1x(protocol, uid));
      e.valueSlots = QELOMSR_VEL_VALUE_SLOTS;
      e.portSlots = QELOMSR_VEL_PORT_SLOTS;
      e.readLimit = QELOMSR_VEL_READ_LIMIT_BYTES;
      break;
    case qsim::Family::Rix:
      e.device.reset(new QeloRix1x(protocol, uid));
      e.valueSlots = QELOMSR_RIX_VALUE_SLOTS;
      e.portSlots = QELOMSR_RIX_PORT_SLOTS;
      e.readLimit = QELOMSR_RIX_READ_LIMIT_BYTES;
      break;
  }
  e.device->open();
  e.handle = qelomsr_internal::addOpenDevice(e.device);
}

class Session {
 public:
  explicit Session(FuzzedDataProvider& in) : in_(in) {
    const qsim::Family families[3] = {qsim::Family::Ka, qsim::Family::Vel, qsim::Family::Rix};
    for (int i = 0; i < 3; ++i) {
      devices_[i].family = families[i];
      devices_[i].clock = std::make_shared<qsim::ManualClock>();
      qsim::DeviceConfig config = qsim::defaultConfig(families[i]);
      // The Ka keeps its input buffer on a start, the others clear it.
      config.faults.keepInputBuffer = families[i] == qsim::Family::Ka;
      devices_[i].model = std::make_shared<qsim::DeviceModel>(config, devices_[i].clock);
      openDevice(devices_[i], i);
    }
  }

  ~Session() {
    for (Emulated& e : devices_) {
      e.model->setFaults(qsim::Faults());
      QeloMsrClose(e.handle);
      int value = 0;
      const int rc = QeloMsrGetDeviceParameter(e.handle, 0, &value);
      if (rc == 0 || record(rc).second != "Invalid handle.") {
        qfuzz::fail("a closed handle still answers");
      }
    }
  }

  void run() {
    for (int call = 0; call < kMaxCalls && in_.remaining_bytes() > 0; ++call) step();
  }

 private:
  static std::pair<int, std::string> record(int rc) {
    char message[1024];
    int errorClass = -1;
    __wrapper_error(rc, message, static_cast<int>(sizeof message), &errorClass);
    if (std::memchr(message, '\0', sizeof message) == nullptr) qfuzz::fail("record text not ended");
    return {errorClass, message};
  }

  // Every failure has a record of one of the classes the library produces
  // from its own exceptions, with a text; a null pointer is reported first.
  void check(int rc) {
    const bool nullGiven = nullGiven_;
    nullGiven_ = false;
    if (rc == 0) {
      if (nullGiven) qfuzz::fail("a call with a null pointer succeeded");
      return;
    }
    lastError_ = rc;
    const std::pair<int, std::string> r = record(rc);
    if (r.first < QELOMSR_ERROR_CLASS_OUT_OF_RANGE || r.first > QELOMSR_ERROR_CLASS_RUNTIME) {
      std::fprintf(stderr, "class %d: %s\n", r.first, r.second.c_str());
      qfuzz::fail("error record of an unexpected class");
    }
    if (r.second.empty()) qfuzz::fail("error record without a text");
    if (nullGiven && (r.first != QELOMSR_ERROR_CLASS_INVALID_ARGUMENT ||
                      r.second.rfind("Invalid pointer for parameter <", 0) != 0)) {
      std::fprintf(stderr, "class %d: %s\n", r.first, r.second.c_str());
      qfuzz::fail("a null pointer was not reported as such");
    }
  }

  Emulated& pickDevice() { return devices_[in_.ConsumeIntegralInRange<int>(0, 2)]; }

  int pickHandle() {
    switch (in_.ConsumeIntegralInRange<int>(0, 7)) {
      case 5:
        return 0;
      case 6:
        return in_.ConsumeBool() ? -1 : INT_MAX;
      case 7:
        return closed_ != 0 ? closed_ : INT_MIN;
      default:
        return pickDevice().handle;
    }
  }

  const Emulated* deviceOf(int handle) const {
    for (const Emulated& e : devices_) {
      if (e.handle == handle) return &e;
    }
    return nullptr;
  }

  // A caller buffer of exactly n elements, or (one time in eight) null.
  template <typename T>
  T* buffer(std::vector<T>& storage, long n) {
    if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) {
      nullGiven_ = true;
      return nullptr;
    }
    storage.assign(static_cast<size_t>(n > 0 ? n : 1), T());
    return storage.data();
  }

  // Per-call maximum of frames for readNonBlocking on that handle.
  int perCallFrames(int handle) const {
    const Emulated* e = deviceOf(handle);
    if (e == nullptr) return 1;
    const int words = static_cast<int>(e->device->getState().inputMask.size());
    return words > 0 ? e->readLimit / (2 * words) : 1;
  }
  int valueSlots(int handle) const {
    const Emulated* e = deviceOf(handle);
    return e != nullptr ? e->valueSlots : QELOMSR_KA_VALUE_SLOTS;
  }
  int portSlots(int handle) const {
    const Emulated* e = deviceOf(handle);
    return e != nullptr ? e->portSlots : QELOMSR_KA_PORT_SLOTS;
  }

  void checkFlag(int rc, int flag) {
    if (rc == 0 && flag != 0 && flag != 1) qfuzz::fail("flag out-parameter not 0 or 1");
  }
  void checkText(int rc, const std::vector<char>& text, long size) {
    if (rc == 0 && size > 0 &&
        std::memchr(text.data(), '\0', static_cast<size_t>(size)) == nullptr) {
      qfuzz::fail("text out-parameter without its NUL");
    }
  }

  void step();

  FuzzedDataProvider& in_;
  Emulated devices_[3];
  int closed_ = 0;
  int lastError_ = 1;
  bool nullGiven_ = false;
  std::vector<int> ints_, ints2_;
  std::vector<unsigned> unsigneds_;
  std::vector<float> floats_, floats2_;
  std::vector<char> text_, text2_;
  std::vector<long long> counters_;
  std::vector<unsigned char> bytes_;
};

void Session::step() {
  using qfuzz::pickCount;
  using qfuzz::pickId;
  const int which = in_.ConsumeIntegralInRange<int>(0, 58);
  if (which >= 55) {
    // Not a call: change the emulated world.
    Emulated& e = pickDevice();
    switch (which) {
      case 55: {
        const uint8_t bits = in_.ConsumeIntegral<uint8_t>();
        qsim::Faults faults;
        faults.stall = bits & 0x01;
        faults.shortIn = bits & 0x02;
        faults.garbage = bits & 0x04;
        faults.forceOverflow = bits & 0x08;
        faults.unplugged = bits & 0x10;
        faults.interfaceHeld = bits & 0x20;
        faults.erasedCalibration = bits & 0x40;
        faults.serialUnconfigured = bits & 0x80;
        faults.keepInputBuffer = e.model->faults().keepInputBuffer;
        e.model->setFaults(faults);
        break;
      }
      case 56: {
        qsim::Faults none;
        none.keepInputBuffer = e.model->faults().keepInputBuffer;
        e.model->setFaults(none);
        break;
      }
      case 57:
        e.clock->advanceNs(in_.ConsumeIntegralInRange<int64_t>(0, 100000000));
        e.model->pulseTrigger();
        break;
      default: {
        // Close the device and open it again under a new handle.
        QeloMsrClose(e.handle);
        if (QeloMsrClose(e.handle) != 0) qfuzz::fail("second close failed");
        closed_ = e.handle;
        const qsim::Faults faults = e.model->faults();
        e.model->setFaults(qsim::Faults());
        openDevice(e, static_cast<int>(&e - devices_));
        e.model->setFaults(faults);
        break;
      }
    }
    return;
  }

  const int h = pickHandle();
  int a = 0, b = 0, c = 0, rc = 0;
  switch (which) {
    case 0: {
      const int len = in_.ConsumeIntegralInRange<int>(-2, 16);
      text_.assign(static_cast<size_t>(len > 0 ? len : 1), 'x');
      if (QeloMsrGetApiVersion(text_.data(), len) != 0) qfuzz::fail("GetApiVersion failed");
      break;
    }
    case 1: {
      const int id = in_.ConsumeBool() ? in_.ConsumeIntegral<int>() : lastError_;
      const int len = in_.ConsumeIntegralInRange<int>(-2, 80);
      text_.assign(static_cast<size_t>(len > 0 ? len : 1), 'x');
      int errorClass = -1;
      __wrapper_error(id, text_.data(), len, &errorClass);
      if (len > 0 && std::memchr(text_.data(), '\0', static_cast<size_t>(len)) == nullptr) {
        qfuzz::fail("__wrapper_error text without its NUL");
      }
      break;
    }
    case 2: {
      int* count = buffer(ints_, 1);
      a = in_.ConsumeIntegral<int>();
      check(QeloMsrBeginEnumerateNetwork(in_.ConsumeBool() ? "host" : nullptr, a, count, 0));
      break;
    }
    case 3: {
      a = in_.ConsumeIntegralInRange<int>(-2, 4);
      char* ident = buffer(text_, QELOMSR_TEXT_BUFFER_SIZE);
      int* type = buffer(ints_, 1);
      char* version = buffer(text2_, QELOMSR_TEXT_BUFFER_SIZE);
      check(QeloMsrGetIdentifier(a, ident, 0, type, version));
      break;
    }
    case 4: {
      const bool nullIdent = in_.ConsumeIntegralInRange<int>(0, 7) == 0;
      if (nullIdent) nullGiven_ = true;
      int* handle = buffer(ints_, 1);
      check(QeloMsrOpen(nullIdent ? nullptr : "USB:8-0-1", handle));
      break;
    }
    case 5:
      if (QeloMsrClose(in_.ConsumeBool() ? closed_ : in_.ConsumeIntegral<int>()) != 0) {
        qfuzz::fail("close returned an error");
      }
      break;
    case 6:
      check(QeloMsrResetDevice(h));
      break;
    case 7:
      check(QeloMsrResetPeripherals(h, in_.ConsumeIntegral<int>()));
      break;
    case 8: {
      a = in_.ConsumeIntegralInRange<int>(-2, 10);
      check(QeloMsrGetDeviceParameter(h, a, buffer(ints_, 1)));
      break;
    }
    case 9: {
      char* serial = buffer(text_, QELOMSR_TEXT_BUFFER_SIZE);
      rc = QeloMsrGetSerialNumber(h, serial);
      check(rc);
      checkText(rc, text_, QELOMSR_TEXT_BUFFER_SIZE);
      break;
    }
    case 10:
    case 26: {
      a = pickId(in_);
      b = in_.ConsumeIntegralInRange<int>(-2, 40);
      const int len = in_.ConsumeIntegralInRange<int>(-2, 40);
      char* name = buffer(text_, len);
      rc = which == 10 ? QeloMsrGetPeripheralName(h, a, name, len)
                       : QeloMsrGetDigitalPortIoName(h, a, b, name, len);
      check(rc);
      checkText(rc, text_, len);
      break;
    }
    case 11:
      check(QeloMsrGetTemperature(h, buffer(floats_, 1)));
      break;
    case 12:
      a = pickId(in_);
      check(QeloMsrSetLed(h, a, in_.ConsumeIntegral<int>()));
      break;
    case 13:
      a = pickId(in_);
      check(QeloMsrGetReferenceCurrent(h, a, buffer(floats_, 1)));
      break;
    case 14:
      check(QeloMsrSetWatchdogTimeout(h, in_.ConsumeIntegral<unsigned>()));
      break;
    case 15:
      check(QeloMsrGetWatchdogTimeout(h, buffer(unsigneds_, 1)));
      break;
    case 16:
      a = pickId(in_);
      b = in_.ConsumeIntegralInRange<int>(-2, 6);
      check(QeloMsrEnumerateRanges(h, a, b, buffer(ints_, 1)));
      break;
    case 17: {
      a = pickId(in_);
      b = pickId(in_);
      float* lo = buffer(floats_, 1);
      check(QeloMsrGetRangeMinMax(h, a, b, lo, buffer(floats2_, 1)));
      break;
    }
    case 18:
      a = pickId(in_);
      b = pickId(in_);
      check(QeloMsrGetDefaultAnalogInputInterChannelDelay(h, a, b, buffer(ints_, 1)));
      break;
    case 19:
      a = pickId(in_);
      check(QeloMsrGetMinAnalogInputInterChannelDelay(h, a, buffer(ints_, 1)));
      break;
    case 20:
      a = pickId(in_);
      b = pickId(in_);
      c = pickCount(in_, 5000);
      check(QeloMsrSetAnalogInputParameters(h, a, b, c, buffer(ints_, 1)));
      break;
    case 21: {
      a = pickId(in_);
      int* range = buffer(ints_, 1);
      check(QeloMsrGetAnalogInputParameters(h, a, range, buffer(ints2_, 1)));
      break;
    }
    case 22:
      a = pickId(in_);
      check(QeloMsrReadAnalogInput(h, a, buffer(floats_, 1)));
      break;
    case 23:
      a = pickId(in_);
      check(QeloMsrWriteAnalogOutput(h, a, qfuzz::pickVolts(in_)));
      break;
    case 24:
      a = pickId(in_);
      check(QeloMsrGetDigitalPortIoCount(h, a, buffer(ints_, 1)));
      break;
    case 25:
      a = pickId(in_);
      check(QeloMsrSetDigitalPortOutputEnableMask(h, a, in_.ConsumeIntegral<int>()));
      break;
    case 27:
      a = pickId(in_);
      check(QeloMsrReadDigitalPort(h, a, buffer(ints_, 1)));
      break;
    case 28:
      a = pickId(in_);
      check(QeloMsrWriteDigitalPort(h, a, in_.ConsumeIntegral<int>()));
      break;
    case 29:
      a = pickId(in_);
      check(QeloMsrSetTriggerConfig(h, a, pickId(in_)));
      break;
    case 30:
      a = pickId(in_);
      check(QeloMsrGetTriggerConfig(h, a, buffer(ints_, 1)));
      break;
    case 31:
      a = pickId(in_);
      check(QeloMsrSetTriggerEnable(h, a, in_.ConsumeIntegral<int>()));
      break;
    case 32:
    case 37: {
      a = pickId(in_);
      int* flag = buffer(ints_, 1);
      if (flag != nullptr) *flag = 7;
      rc = which == 32 ? QeloMsrGetTriggerEnable(h, a, flag) : QeloMsrGetCounterEnable(h, a, flag);
      check(rc);
      checkFlag(rc, flag != nullptr ? *flag : 0);
      break;
    }
    case 33:
      check(QeloMsrResetCounter(h, pickId(in_)));
      break;
    case 34:
      a = pickId(in_);
      check(QeloMsrSetCounterConfig(h, a, pickId(in_)));
      break;
    case 35:
      a = pickId(in_);
      check(QeloMsrGetCounterConfig(h, a, buffer(ints_, 1)));
      break;
    case 36:
      a = pickId(in_);
      check(QeloMsrSetCounterEnable(h, a, in_.ConsumeIntegral<int>()));
      break;
    case 38: {
      a = pickId(in_);
      long long* counter = buffer(counters_, 1);
      rc = QeloMsrReadCounter(h, a, counter);
      check(rc);
      if (rc == 0 && (*counter < 0 || *counter > 0xFFFFFFFFLL)) qfuzz::fail("counter out of range");
      break;
    }
    case 39:
      check(QeloMsrCalculateMaxBufferedInputFrames(h, buffer(ints_, 1)));
      break;
    case 40:
    case 47: {
      const int count = in_.ConsumeIntegralInRange<int>(-2, 24);
      int* ios = buffer(ints_, count);
      if (ios != nullptr) {
        for (int i = 0; i < count; ++i) ios[i] = pickId(in_);
      }
      check(which == 40 ? QeloMsrSetupInputFrame(h, ios, count)
                        : QeloMsrSetupOutputFrame(h, ios, count));
      break;
    }
    case 41: {
      a = in_.ConsumeIntegral<int>();
      const float rate = qfuzz::pickRate(in_);
      b = pickCount(in_, 1000);
      check(QeloMsrStartDataAcquisition(h, a, rate, b, buffer(floats_, 1)));
      break;
    }
    case 42:
      check(QeloMsrStopDataAcquisition(h));
      break;
    case 43: {
      const int frames = in_.ConsumeIntegralInRange<int>(-2, 32);
      float* values = buffer(floats_, static_cast<long>(frames) * valueSlots(h));
      int* ports = buffer(ints_, static_cast<long>(frames) * portSlots(h));
      check(QeloMsrReadBlocking(h, values, ports, frames));
      break;
    }
    case 44: {
      const int perCall = perCallFrames(h);
      float* values = buffer(floats_, static_cast<long>(perCall) * valueSlots(h));
      int* ports = buffer(ints_, static_cast<long>(perCall) * portSlots(h));
      int* transferred = buffer(ints2_, 1);
      rc = QeloMsrReadNonBlocking(h, values, ports, transferred);
      check(rc);
      if (rc == 0 && (*transferred < 0 || *transferred > perCall)) {
        qfuzz::fail("readNonBlocking reported more frames than fit");
      }
      break;
    }
    case 45:
      check(QeloMsrReadFrame(h, buffer(floats_, valueSlots(h)), buffer(ints_, portSlots(h))));
      break;
    case 46:
      check(QeloMsrStopDataAcquisition(h));
      break;
    case 48: {
      float* values = buffer(floats_, 2);
      int* ports = buffer(ints_, 3);
      if (values != nullptr) {
        for (int i = 0; i < 2; ++i) values[i] = qfuzz::pickVolts(in_);
      }
      check(QeloMsrWriteFrame(h, values, ports));
      break;
    }
    case 49:
    case 50: {
      const int frames = in_.ConsumeIntegralInRange<int>(-2, which == 49 ? 32 : 3000);
      float* values = buffer(floats_, frames);
      int* ports = buffer(ints_, 2L * frames);
      if (which == 49) {
        check(QeloMsrWriteBlocking(h, values, ports, frames));
      } else {
        int* transferred = buffer(ints2_, 1);
        rc = QeloMsrWriteNonBlocking(h, values, ports, frames, transferred);
        check(rc);
        if (rc == 0 && (*transferred < 0 || *transferred > frames)) {
          qfuzz::fail("writeNonBlocking reported more frames than given");
        }
      }
      break;
    }
    case 51:
    case 52: {
      const unsigned address = in_.ConsumeIntegral<unsigned>();
      const int size = pickCount(in_, 20000);
      const long room = size > 20000 ? 1 : size;  // a huge size never reaches a buffer
      unsigned char* block = buffer(bytes_, room);
      if (size > 20000) {
        // Sizes beyond the buffer are a caller error; only the refusals of
        // negative sizes are exercised with them.
        break;
      }
      check(which == 51 ? __QeloMsrReadBlock(h, address, block, size)
                        : __QeloMsrWriteBlock(h, address, block, size));
      break;
    }
    case 53: {
      const unsigned address = in_.ConsumeIntegral<unsigned>();
      check(__QeloMsrReadRegister(h, address, buffer(unsigneds_, 1)));
      break;
    }
    default: {
      const unsigned address = in_.ConsumeIntegral<unsigned>();
      check(__QeloMsrWriteRegister(h, address, in_.ConsumeIntegral<unsigned>()));
      break;
    }
  }
  nullGiven_ = false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Blocking calls give up after this long without progress, so that an
  // input that makes one wait ends quickly.
  setenv(QELOMSR_BLOCKING_TIMEOUT_ENV, "200", 1);
  // Fill the error registry to its capacity: from then on every new record
  // replaces the oldest, so an input's allocations balance and libFuzzer's
  // leak check after an input fires only for a real leak.
  for (int i = 0; i < QELOMSR_ERROR_RECORDS_KEPT + 16; ++i) QeloMsrResetDevice(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Session session(in);
  session.run();
  return 0;
}
