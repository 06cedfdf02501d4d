// Triggered acquisition through the exported C functions, over the real
// libusb and the virtual USB bus, against real edges on the emulated trigger
// input. The devices' clock stands still unless a test moves it, and pulses
// come from the control channel's trigger command, so every frame count is
// exact.
#include <gtest/gtest.h>
#include <qelomsr/qelomsr.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "qsim/config.h"
#include "qsim/model.h"
#include "qsim/vbus_gtest.h"

namespace {

using namespace std::chrono_literals;

struct Family {
  const char* name;
  const char* ident;
  const char* port;
  int valueSlots;
  int portSlots;
  int triggerSlot;
  int readLimitBytes;
  double voltsTolerance;  // about two converter codes
  bool hasTriggerEnable;
};

const Family kKa{"Ka",
                 "USB:1-0-3",
                 "1-3",
                 QELOMSR_KA_VALUE_SLOTS,
                 QELOMSR_KA_PORT_SLOTS,
                 QELOMSR_KA_TRIGGER_SLOT,
                 QELOMSR_KA_READ_LIMIT_BYTES,
                 1e-3,
                 false};
const Family kVel{"Vel",
                  "USB:1-0-2-1",
                  "1-2.1",
                  QELOMSR_VEL_VALUE_SLOTS,
                  QELOMSR_VEL_PORT_SLOTS,
                  QELOMSR_VEL_TRIGGER_SLOT,
                  QELOMSR_VEL_READ_LIMIT_BYTES,
                  1e-3,
                  false};
const Family kRix{"Rix",
                  "USB:1-0-2-4",
                  "1-2.4",
                  QELOMSR_RIX_VALUE_SLOTS,
                  QELOMSR_RIX_PORT_SLOTS,
                  QELOMSR_RIX_TRIGGER_SLOT,
                  QELOMSR_RIX_READ_LIMIT_BYTES,
                  2e-3,
                  true};
const Family* const kFamilies[] = {&kKa, &kVel, &kRix};

const int kAi0 = QELOMSR_ID_ANALOG_INPUT(0);
const int kAi1 = QELOMSR_ID_ANALOG_INPUT(1);
const int kTrg = QELOMSR_ID_TRIGGER;
const int kCnt = QELOMSR_ID_COUNTER;
// Default pulse period of the trigger command: twice the 10 us minimum frame period.
const int64_t kPulsePeriodNs = 20000;

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

// Frames as the caller's records hold them.
struct Frames {
  std::vector<float> values;
  std::vector<int> ports;
  int count = 0;
  int valueSlots = 0;
  int portSlots = 0;
  float value(int frame, int slot) const { return values[size_t(frame * valueSlots + slot)]; }
  int port(int frame, int slot) const { return ports[size_t(frame * portSlots + slot)]; }
};

class TriggerE2E : public qsim::vbustest::VbusFixture {
 protected:
  void SetUp() override {
    VbusFixture::SetUp();
    manualClock();
    int count = 0;
    ASSERT_EQ(QeloMsrBeginEnumerate(&count, QELOMSR_TYPE_ALL), 0);
    ASSERT_EQ(count, 3);
  }
  void TearDown() override {
    for (int h : handles_) {
      QeloMsrStopDataAcquisition(h);
      QeloMsrClose(h);
    }
    VbusFixture::TearDown();
  }

  int open(const Family& f) {
    int handle = 0;
    const int id = QeloMsrOpen(f.ident, &handle);
    EXPECT_EQ(id, 0) << record(id).text;
    handles_.push_back(handle);
    return handle;
  }

  // Input frame, enable (Rix) and start; returns the corrected rate.
  float start(const Family& f, int handle, std::vector<int> ios, int external, float rate,
              int count = 0) {
    EXPECT_EQ(QeloMsrSetupInputFrame(handle, ios.data(), static_cast<int>(ios.size())), 0);
    if (f.hasTriggerEnable) {
      EXPECT_EQ(QeloMsrSetTriggerEnable(handle, kTrg, 1), 0);
    }
    float corrected = 0;
    const int id = QeloMsrStartDataAcquisition(handle, external, rate, count, &corrected);
    EXPECT_EQ(id, 0) << f.name << ": " << record(id).text;
    words_ = static_cast<int>(ios.size());
    return corrected;
  }

  // Everything buffered now, over as many non-blocking reads as it takes
  // (bounded); the reads must succeed.
  Frames readAll(const Family& f, int handle) {
    const int perCall = f.readLimitBytes / (2 * words_);
    Frames out;
    out.valueSlots = f.valueSlots;
    out.portSlots = f.portSlots;
    std::vector<float> v(size_t(perCall * f.valueSlots));
    std::vector<int> p(size_t(perCall * f.portSlots));
    for (int calls = 0; calls < 100; ++calls) {
      int n = -1;
      const int id = QeloMsrReadNonBlocking(handle, v.data(), p.data(), &n);
      EXPECT_EQ(id, 0) << f.name << ": " << record(id).text;
      if (id != 0 || n == 0) break;
      out.values.insert(out.values.end(), v.begin(), v.begin() + n * f.valueSlots);
      out.ports.insert(out.ports.end(), p.begin(), p.begin() + n * f.portSlots);
      out.count += n;
    }
    return out;
  }

  std::vector<int> handles_;
  int words_ = 1;
};

TEST_F(TriggerE2E, SampleTriggerTakesExactlyOneFramePerPulse) {
  for (const Family* f : kFamilies) {
    SCOPED_TRACE(f->name);
    const int h = open(*f);
    EXPECT_EQ(start(*f, h, {kTrg, kAi0}, 0, QELOMSR_FRAME_SAMPLE_TRIGGER), -1.0f);
    advance(100ms);
    EXPECT_EQ(readAll(*f, h).count, 0);  // no frame without an event
    const int64_t first = model(f->port).nowNs();
    trigger(f->port, "pulse 5");
    advance(1ms);
    const Frames got = readAll(*f, h);
    ASSERT_EQ(got.count, 5);
    for (int k = 0; k < 5; ++k) {
      // Sampled at each rising edge, with the line high.
      EXPECT_EQ(got.port(k, f->triggerSlot), 1) << k;
      EXPECT_NEAR(got.value(k, 0), model(f->port).inputVoltage(0, first + k * kPulsePeriodNs),
                  f->voltsTolerance)
          << k;
    }
    advance(100ms);
    EXPECT_EQ(readAll(*f, h).count, 0);
    EXPECT_EQ(QeloMsrStopDataAcquisition(h), 0);
  }
}

TEST_F(TriggerE2E, StartOnTriggerDeliversNothingBeforeTheEdgeAndThenItsFrames) {
  for (const Family* f : kFamilies) {
    SCOPED_TRACE(f->name);
    const int h = open(*f);
    EXPECT_FLOAT_EQ(start(*f, h, {kAi1}, 1, 1000.0f), 1000.0f);
    advance(50ms);
    EXPECT_EQ(readAll(*f, h).count, 0);
    EXPECT_EQ(model(f->port).acquisitionState(), qsim::AcquisitionState::WaitingForTrigger);
    const int64_t edge = model(f->port).nowNs();
    trigger(f->port, "pulse");
    advance(10ms);
    const Frames got = readAll(*f, h);
    ASSERT_EQ(got.count, 10);
    for (int k = 0; k < 10; ++k) {
      // The frame clock runs from the edge: frame k one period after frame k-1.
      EXPECT_NEAR(got.value(k, 1), model(f->port).inputVoltage(1, edge + (k + 1) * 1000000LL),
                  f->voltsTolerance)
          << k;
    }
    advance(5ms);
    EXPECT_EQ(readAll(*f, h).count, 5);
    EXPECT_EQ(QeloMsrStopDataAcquisition(h), 0);
  }
}

TEST_F(TriggerE2E, PulsesFasterThanFramesGiveTheEarlyTriggerError) {
  for (const Family* f : kFamilies) {
    SCOPED_TRACE(f->name);
    const int h = open(*f);
    start(*f, h, {kAi0}, 0, QELOMSR_FRAME_SAMPLE_TRIGGER);
    trigger(f->port, "pulse 3 2us");
    advance(1ms);
    std::vector<float> v(size_t(f->readLimitBytes / 2 * f->valueSlots));
    std::vector<int> p(size_t(f->readLimitBytes / 2 * f->portSlots));
    // The first pulse took a frame, the two after it came too early: the
    // frame arrives first, then the error.
    int n = -1;
    ASSERT_EQ(QeloMsrReadNonBlocking(h, v.data(), p.data(), &n), 0);
    EXPECT_EQ(n, 1);
    const Record r = record(QeloMsrReadNonBlocking(h, v.data(), p.data(), &n));
    EXPECT_EQ(r.errorClass, QELOMSR_ERROR_CLASS_RUNTIME);
    EXPECT_EQ(r.text,
              "A frame sample trigger has been detected to early, reduce trigger frequency.");
    // The acquisition still runs until the caller stops it.
    float rate = 0;
    EXPECT_EQ(record(QeloMsrStartDataAcquisition(h, 0, 100.0f, 0, &rate)).text,
              "Not possible when data acquisition is active.");
    EXPECT_EQ(QeloMsrStopDataAcquisition(h), 0);
  }
}

TEST_F(TriggerE2E, RixTriggerEnableExcludesTheCounterAndSelectsTheEdge) {
  const int h = open(kRix);
  std::vector<int> ios{kAi0, kTrg};
  ASSERT_EQ(QeloMsrSetupInputFrame(h, ios.data(), 2), 0);
  // Disabled, the trigger delivers no event: refused instead of waiting forever.
  float rate = 0;
  for (int external : {0, 1}) {
    const Record r = record(QeloMsrStartDataAcquisition(
        h, external, external ? 1000.0f : QELOMSR_FRAME_SAMPLE_TRIGGER, 0, &rate));
    EXPECT_EQ(r.errorClass, QELOMSR_ERROR_CLASS_LOGIC) << external;
    EXPECT_EQ(r.text, "Trigger is disabled, can't use as source.") << external;
  }
  EXPECT_EQ(rix().acquisitionState(), qsim::AcquisitionState::Idle);

  ASSERT_EQ(QeloMsrSetCounterEnable(h, kCnt, 1), 0);
  Record r = record(QeloMsrSetTriggerEnable(h, kTrg, 1));
  EXPECT_EQ(r.text, "Either trigger or counter can be enabled.");
  EXPECT_EQ(rix().triggerConfigCode(), 0u);
  ASSERT_EQ(QeloMsrSetCounterEnable(h, kCnt, 0), 0);
  ASSERT_EQ(QeloMsrSetTriggerEnable(h, kTrg, 1), 0);
  EXPECT_EQ(rix().triggerConfigCode(), 0x03u);
  r = record(QeloMsrSetCounterEnable(h, kCnt, 1));
  EXPECT_EQ(r.text, "Either counter or trigger can be enabled.");
  EXPECT_FALSE(rix().counterRunning());

  // in-b: the falling edge at the end of each pulse samples, the line low.
  ASSERT_EQ(QeloMsrSetTriggerConfig(h, kTrg, QELOMSR_TRIGGER_CONFIG_IN_B), 0);
  EXPECT_EQ(rix().triggerConfigCode(), 0x05u);
  ASSERT_EQ(QeloMsrStartDataAcquisition(h, 0, QELOMSR_FRAME_SAMPLE_TRIGGER, 0, &rate), 0);
  const int64_t first = rix().nowNs();
  trigger(kRix.port, "pulse 2");
  advance(1ms);
  words_ = 2;
  const Frames got = readAll(kRix, h);
  ASSERT_EQ(got.count, 2);
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(got.port(k, kRix.triggerSlot), 0) << k;
    const int64_t fall = first + k * kPulsePeriodNs + kPulsePeriodNs / 2;
    EXPECT_NEAR(got.value(k, 0), rix().inputVoltage(0, fall), kRix.voltsTolerance) << k;
  }
  // Disabled while stopped: the register goes to 0 and events stop.
  ASSERT_EQ(QeloMsrStopDataAcquisition(h), 0);
  ASSERT_EQ(QeloMsrSetTriggerEnable(h, kTrg, 0), 0);
  EXPECT_EQ(rix().triggerConfigCode(), 0u);
}

TEST_F(TriggerE2E, VelStartsOnTheEdgeForAnyNonZeroExternal) {
  // The exported function passes external as 0 or 1: through the C interface
  // the Vel starts on the trigger (control value 2) and is not gated by it.
  const int h = open(kVel);
  start(kVel, h, {kAi0, kTrg}, 2, 1000.0f);
  advance(5ms);
  EXPECT_EQ(readAll(kVel, h).count, 0);
  EXPECT_EQ(vel().acquisitionState(), qsim::AcquisitionState::WaitingForTrigger);
  trigger(kVel.port, "high");
  advance(5ms);
  const Frames got = readAll(kVel, h);
  ASSERT_EQ(got.count, 5);
  for (int k = 0; k < 5; ++k) EXPECT_EQ(got.port(k, kVel.triggerSlot), 1) << k;
  trigger(kVel.port, "low");
  advance(5ms);
  EXPECT_EQ(readAll(kVel, h).count, 5);
  EXPECT_EQ(QeloMsrStopDataAcquisition(h), 0);
}

TEST_F(TriggerE2E, AnOutputLineIsNoSourceAndIsDrivenWhileRunning) {
  const int h = open(kKa);
  ASSERT_EQ(QeloMsrSetTriggerConfig(h, kTrg, QELOMSR_TRIGGER_CONFIG_OUT_A), 0);
  std::vector<int> ios{kAi0};
  ASSERT_EQ(QeloMsrSetupInputFrame(h, ios.data(), 1), 0);
  float rate = 0;
  for (int external : {0, 1}) {
    const Record r = record(QeloMsrStartDataAcquisition(
        h, external, external ? 100.0f : QELOMSR_FRAME_SAMPLE_TRIGGER, 0, &rate));
    EXPECT_EQ(r.errorClass, QELOMSR_ERROR_CLASS_LOGIC);
    EXPECT_EQ(r.text, "Trigger is set to output, can't use as source.");
  }
  EXPECT_FALSE(ka().triggerState().level);
  ASSERT_EQ(QeloMsrStartDataAcquisition(h, 0, 100.0f, 0, &rate), 0);
  EXPECT_TRUE(ka().triggerState().output);
  EXPECT_TRUE(ka().triggerState().level);
  ASSERT_EQ(QeloMsrStopDataAcquisition(h), 0);
  EXPECT_FALSE(ka().triggerState().level);
}

// A trigger slower than the default stall limit of blocking reads: the read
// waits for it instead of failing (the default bounds only timer-paced waits).
TEST_F(TriggerE2E, BlockingReadWaitsForASlowTriggerBeyondTheDefaultStallLimit) {
  if (std::getenv(QELOMSR_BLOCKING_TIMEOUT_ENV) != nullptr) {
    GTEST_SKIP() << QELOMSR_BLOCKING_TIMEOUT_ENV << " is set: the caller's bound applies";
  }
  const int h = open(kKa);
  start(kKa, h, {kAi0, kTrg}, 0, QELOMSR_FRAME_SAMPLE_TRIGGER);
  std::thread pulses([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(QELOMSR_BLOCKING_TIMEOUT_DEFAULT_MS) +
                                1s);
    trigger(kKa.port, "pulse 3");
    advance(1ms);
  });
  std::vector<float> v(3 * QELOMSR_KA_VALUE_SLOTS);
  std::vector<int> p(3 * QELOMSR_KA_PORT_SLOTS);
  const int id = QeloMsrReadBlocking(h, v.data(), p.data(), 3);
  pulses.join();
  EXPECT_EQ(id, 0) << record(id).text;
  for (int k = 0; k < 3; ++k) EXPECT_EQ(p[size_t(k * QELOMSR_KA_PORT_SLOTS + 4)], 1) << k;
}

}  // namespace
