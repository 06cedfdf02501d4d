// Input frames, acquisition, frame reads and output frames against the
// in-process emulator on a manual clock.
#include <gtest/gtest.h>
#include <qelomsr/qelomsr.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <vector>

#include "tests/devices/rig.h"

namespace {

// The stall limit of the blocking calls is read once per process: keep it
// short so that the stall tests end quickly.
const bool kShortStallLimit = (setenv(QELOMSR_BLOCKING_TIMEOUT_ENV, "150", 1), true);

using qsim::Family;
using namespace ids;
using rig::kIntSentinel;
using rig::kSentinel;
using rig::Records;

std::vector<qsim::WriteRecord> writesTo(const qsim::DeviceModel& model, uint32_t address) {
  std::vector<qsim::WriteRecord> out;
  for (const auto& w : model.writeLog()) {
    if (w.address == address) out.push_back(w);
  }
  return out;
}

// ---- masks and capacities -----------------------------------------------------------------

TEST(InputFrame, IdsInAnyOrderGiveTheSortedLayout) {
  const std::vector<uint8_t> expected = {0x03, 0x81, 0xC0, 0xC1, 0xE0};
  std::vector<int> ids = {AI(3), TRG, DP(1), CNT};
  std::sort(ids.begin(), ids.end());
  do {
    auto r = rig::make(Family::Ka);
    r.dev->setupInputFrame(ids.data(), static_cast<int>(ids.size()));
    EXPECT_EQ(r.model->inputMask(), expected);
    EXPECT_EQ(r.dev->getState().inputMask, expected);
    EXPECT_TRUE(r.dev->getState().inputMaskValid);
  } while (std::next_permutation(ids.begin(), ids.end()));
}

TEST(InputFrame, ReadFrameFillsTheSlotsWithWhatTheDeviceSees) {
  auto r = rig::make(Family::Ka, [](qsim::DeviceConfig& c) {
    c.signals[3] = qsim::Signal::dc(-3.25);
    c.portInputs = {0x11, 0xA7, 0x3};
  });
  r.dev->setCounterEnable(CNT, true);
  r.advanceMs(40);
  int ids[] = {AI(3), TRG, DP(1), CNT};
  r.dev->setupInputFrame(ids, 4);
  Records rec(*r.dev, 1);
  r.dev->readFrame(rec.v.data(), rec.p.data());
  EXPECT_NEAR(rec.v[3], -3.25, 20.0 / 65535);
  for (int s = 0; s < 21; ++s) {
    if (s != 3) {
      EXPECT_EQ(rec.v[static_cast<size_t>(s)], 0.0f) << s;
    }
  }
  EXPECT_EQ(rec.p[0], 0);
  EXPECT_EQ(rec.p[1], r.model->portPins(1));
  EXPECT_EQ(rec.p[2], 0);
  EXPECT_EQ(rec.p[3], static_cast<int>(r.model->counterValue()));
  EXPECT_GT(rec.p[3], 30);
  EXPECT_EQ(rec.p[4], r.model->triggerLevel() ? 1 : 0);
}

TEST(InputFrame, DuplicatesAreRefusedAndThePreviousMaskStays) {
  for (Family f : {Family::Ka, Family::Rix}) {
    auto r = rig::make(f);
    int good[] = {AI(0), DP(0)};
    r.dev->setupInputFrame(good, 2);
    const auto before = r.model->inputMask();
    const std::vector<std::vector<int>> bad = {{AI(1), AI(1)}, {CNT, AI(2), CNT}, {DP(0), DP(0)}};
    for (auto ids : bad) {
      EXPECT_THROW_MSG(r.dev->setupInputFrame(ids.data(), static_cast<int>(ids.size())),
                       std::invalid_argument, "Every channel could only be once in the mask.");
      EXPECT_EQ(r.model->inputMask(), before);
      EXPECT_EQ(r.dev->getState().inputMask, before);
    }
    EXPECT_THROW_MSG(r.dev->setupInputFrame(good, 0), std::invalid_argument,
                     "At least one input must be specified.");
    EXPECT_EQ(r.dev->getState().inputMask, before);
  }
  // One input single-ended and inside a differential pair: different codes.
  auto ka = rig::make(Family::Ka);
  int pair[] = {AI(0), DIFF(0), AI(1)};
  ka.dev->setupInputFrame(pair, 3);
  EXPECT_EQ(ka.model->inputMask(), (std::vector<uint8_t>{0, 1, 14}));
}

TEST(InputFrame, CapacityOfTheInputBuffer) {
  auto r = rig::make(Family::Ka, [](qsim::DeviceConfig& c) { c.inputCapacity = 4096; });
  EXPECT_THROW_MSG(r.dev->calculateMaxBufferedInputFrames(), std::logic_error,
                   "Unknown input frame.");
  EXPECT_THROW_MSG(r.dev->startDataAcquisition(0, 100.0f, 1), std::logic_error, "No mask defined.");
  int ids[] = {AI(0), AI(1), DP(2)};
  r.dev->setupInputFrame(ids, 3);
  EXPECT_EQ(r.dev->calculateMaxBufferedInputFrames(), 682);
  EXPECT_THROW_MSG(r.dev->startDataAcquisition(0, 100.0f, 683), std::invalid_argument,
                   "Frame count too high.");
  EXPECT_FALSE(r.dev->getState().acquisitionActive);
  EXPECT_NO_THROW(r.dev->startDataAcquisition(0, 100.0f, 682));
  r.dev->stopDataAcquisition();
  int counter[] = {CNT};
  r.dev->setupInputFrame(counter, 1);
  EXPECT_EQ(r.dev->calculateMaxBufferedInputFrames(), 1023);
}

// ---- starting and stopping -------------------------------------------------------------

TEST(Acquisition, CorrectedFrameRateIsTheDevicesPeriod) {
  auto r = rig::make(Family::Ka, [](qsim::DeviceConfig& c) { c.timerResolutionNs = 1000; });
  int ids[] = {AI(0)};
  r.dev->setupInputFrame(ids, 1);
  const float rate = r.dev->startDataAcquisition(0, 3000.0f, 0);
  const int64_t period = r.model->framePeriodNs();
  EXPECT_EQ(period % 1000, 0);
  EXPECT_EQ(rate, static_cast<float>(1e9 / static_cast<double>(period)));
  EXPECT_NE(rate, 3000.0f);
  EXPECT_TRUE(r.dev->getState().acquisitionActive);
  EXPECT_THROW_MSG(r.dev->startDataAcquisition(0, 100.0f, 0), std::logic_error,
                   "Not possible when data acquisition is active.");
  r.dev->stopDataAcquisition();
  EXPECT_EQ(r.model->acquisitionState(), qsim::AcquisitionState::Idle);
  r.model->clearWriteLog();
  r.dev->stopDataAcquisition();
  EXPECT_TRUE(r.model->writeLog().empty());
}

TEST(Acquisition, FrameSampleTriggerTakesFramesOnPulses) {
  auto r = rig::make(Family::Ka);
  int ids[] = {AI(0), TRG};
  r.dev->setupInputFrame(ids, 2);
  EXPECT_EQ(r.dev->startDataAcquisition(0, -1.0f, 0), -1.0f);
  EXPECT_EQ(r.model->framePeriodNs(), -1);
  for (int i = 0; i < 3; ++i) {
    r.advanceMs(1);
    r.model->pulseTrigger();
  }
  Records rec(*r.dev, 2048);
  EXPECT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 3);
}

TEST(Acquisition, VelGatedModeTakesFramesOnlyWhileTheTriggerLineIsHigh) {
  // external = 2 reaches the Vel's gated mode through the device interface
  // (the exported function passes 0 or 1).
  auto r = rig::make(Family::Vel);
  int ids[] = {AI(0), TRG};
  r.dev->setupInputFrame(ids, 2);
  r.model->clearWriteLog();
  EXPECT_FLOAT_EQ(r.dev->startDataAcquisition(2, 1000.0f, 0), 1000.0f);
  const auto control = writesTo(*r.model, 0x58);
  ASSERT_EQ(control.size(), 1u);
  EXPECT_EQ(control[0].bytes[0], 3);
  Records rec(*r.dev, 2048);
  r.advanceMs(5);
  EXPECT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 0);
  r.model->setTriggerLevel(true);
  r.advanceMs(5);
  ASSERT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 5);
  for (size_t k = 0; k < 5; ++k) EXPECT_EQ(rec.p[3 * k + 2], 1) << k;
  r.model->setTriggerLevel(false);
  r.advanceMs(5);
  EXPECT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 0);
}

TEST(Acquisition, TheCallersStallLimitBoundsTheWaitForATrigger) {
  // This process sets QELOMSR_BLOCKING_TIMEOUT_MS=150: that bound, and only
  // a bound the caller sets, applies while the acquisition waits for its
  // trigger; the clock stands still, so no frame ever comes by itself.
  const char* waiting =
      "The device delivered no frame for 150 ms while the data acquisition waits for its trigger.";
  auto r = rig::make(Family::Ka);
  int ids[] = {AI(0)};
  r.dev->setupInputFrame(ids, 1);
  Records rec(*r.dev, 2);
  r.dev->startDataAcquisition(0, -1.0f, 0);
  EXPECT_THROW_MSG(r.dev->readBlocking(rec.v.data(), rec.p.data(), 1), std::runtime_error, waiting);
  r.dev->stopDataAcquisition();
  r.dev->startDataAcquisition(1, 1000.0f, 0);
  EXPECT_THROW_MSG(r.dev->readBlocking(rec.v.data(), rec.p.data(), 1), std::runtime_error, waiting);
  // Once the trigger came, the frame clock paces the frames: the ordinary limit.
  r.model->pulseTrigger();
  r.advanceMs(1);
  EXPECT_NO_THROW(r.dev->readBlocking(rec.v.data(), rec.p.data(), 1));
  EXPECT_THROW_MSG(r.dev->readBlocking(rec.v.data(), rec.p.data(), 1), std::runtime_error,
                   "The device delivered no frame for 150 ms.");
}

// A refused rate starts nothing; the only thing that reaches the device
// before the rate is converted is the input mask it needs again after a
// single read.
TEST(Acquisition, BadRatesAreRefusedBeforeTheAcquisitionIsTouched) {
  const float rates[] = {std::nanf(""),
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(),
                         0.5f,
                         0.0f,
                         -2.0f,
                         2e9f,
                         1e30f};
  auto r = rig::make(Family::Vel);
  int ids[] = {AI(0)};
  r.dev->setupInputFrame(ids, 1);
  for (float rate : rates) {
    for (bool singleReadBefore : {false, true}) {
      if (singleReadBefore) r.dev->readAnalogInput(AI(1));
      r.model->clearWriteLog();
      EXPECT_THROW(r.dev->startDataAcquisition(0, rate, 0), std::invalid_argument) << rate;
      const auto writes = r.model->writeLog();
      if (singleReadBefore) {
        ASSERT_EQ(writes.size(), 1u) << rate;
        EXPECT_EQ(writes[0].address, 0x18u);
        EXPECT_EQ(writes[0].bytes, (std::vector<uint8_t>{0}));
      } else {
        EXPECT_TRUE(writes.empty()) << rate;
      }
      EXPECT_EQ(r.model->inputMask(), (std::vector<uint8_t>{0}));
      EXPECT_FALSE(r.dev->getState().acquisitionActive);
      EXPECT_EQ(r.model->acquisitionState(), qsim::AcquisitionState::Idle);
    }
  }
  EXPECT_THROW_MSG(r.dev->startDataAcquisition(0, 0.5f, 0), std::invalid_argument,
                   "Frame rate must be >= 1.");
  // A period below the device's minimum reads back -2.
  EXPECT_THROW_MSG(r.dev->startDataAcquisition(0, 500000.0f, 0), std::invalid_argument,
                   "Invalid frequency.");
  EXPECT_FALSE(r.dev->getState().acquisitionActive);
  EXPECT_NO_THROW(r.dev->startDataAcquisition(0, 1.0f, 0));
}

TEST(Acquisition, TriggerConfiguredAsOutputCannotBeASource) {
  for (Family f : {Family::Ka, Family::Vel, Family::Rix}) {
    auto r = rig::make(f);
    int ids[] = {AI(0)};
    r.dev->setupInputFrame(ids, 1);
    r.dev->setTriggerConfig(TRG, TCFG(1));
    const char* msg = "Trigger is set to output, can't use as source.";
    EXPECT_THROW_MSG(r.dev->startDataAcquisition(1, 100.0f, 0), std::logic_error, msg);
    EXPECT_THROW_MSG(r.dev->startDataAcquisition(0, -1.0f, 0), std::logic_error, msg);
    EXPECT_FLOAT_EQ(r.dev->startDataAcquisition(0, 100.0f, 0), 100.0f);
    r.dev->stopDataAcquisition();
    r.dev->setTriggerConfig(TRG, TCFG(2));
    if (f == Family::Rix) r.dev->setTriggerEnable(TRG, true);  // a disabled one is no source
    r.model->clearWriteLog();
    r.dev->startDataAcquisition(1, 100.0f, 0);
    const auto control = writesTo(*r.model, 0x58);
    ASSERT_EQ(control.size(), 1u);
    EXPECT_EQ(control[0].bytes[0], 2) << rig::name(f);
    EXPECT_EQ(r.model->acquisitionState(), qsim::AcquisitionState::WaitingForTrigger);
  }
}

// ---- reading buffered frames ------------------------------------------------------------

// Reads until `frames` frames arrived, advancing the manual clock between polls.
int collect(rig::Rig& r, Records& rec, int frames, double stepMs) {
  const auto& t = r.dev->getTable();
  int got = 0;
  for (int guard = 0; got < frames && guard < 100000; ++guard) {
    r.advanceMs(stepMs);
    const int room = frames - got;
    got += r.dev->readNonBlocking(rec.v.data() + static_cast<size_t>(got * t.valueSlots),
                                  rec.p.data() + static_cast<size_t>(got * t.portSlots),
                                  std::min(room, t.readLimitBytes / 2));
  }
  return got;
}

TEST(Acquisition, ContinuousSinesArriveOnceInOrderAndOnTime) {
  const double amplitude[] = {9.0, 4.0, 7.5, 2.0};
  const double frequency[] = {3.0, 17.0, 50.0, 111.0};
  auto r = rig::make(Family::Ka, [&](qsim::DeviceConfig& c) {
    for (int i = 0; i < 4; ++i) {
      c.signals[static_cast<size_t>(i)] = qsim::Signal::sine(amplitude[i], frequency[i], 0.0, i);
    }
  });
  int ids[] = {AI(2), AI(0), CNT, AI(3), AI(1)};
  r.dev->setCounterEnable(CNT, true);
  r.dev->setupInputFrame(ids, 5);
  const int64_t start = r.model->nowNs();
  EXPECT_FLOAT_EQ(r.dev->startDataAcquisition(0, 1000.0f, 0), 1000.0f);
  const int64_t period = r.model->framePeriodNs();
  ASSERT_EQ(period, 1000000);
  const int frames = 1500;
  Records rec(*r.dev, frames);
  ASSERT_EQ(collect(r, rec, frames, 7.3), frames);
  EXPECT_GE(r.model->framesProduced(), static_cast<uint64_t>(frames));
  EXPECT_EQ(r.model->framesDropped(), 0u);

  // Frame f was sampled at start + (f + 1) periods: every frame once, in order.
  int64_t lastCounter = -1;
  for (int f = 0; f < frames; ++f) {
    const int64_t t = start + (f + 1) * period;
    for (int c = 0; c < 4; ++c) {
      const float got = rec.v[static_cast<size_t>(f * 21 + c)];
      ASSERT_NEAR(got, r.model->inputVoltage(c, t), 20.0 / 65535 * 1.01)
          << "frame " << f << " channel " << c;
    }
    const int64_t counter = static_cast<uint32_t>(rec.p[static_cast<size_t>(f * 5 + 3)]);
    EXPECT_GE(counter, lastCounter);
    lastCounter = counter;
  }
  EXPECT_NEAR(static_cast<double>(lastCounter), frames, 3.0);
}

TEST(Acquisition, PartialFramesStayInTheDevice) {
  auto r = rig::make(Family::Ka);
  int ids[] = {AI(0), AI(1), DP(0)};  // 6-byte frames
  r.dev->setupInputFrame(ids, 3);
  r.dev->startDataAcquisition(0, 1000.0f, 0);
  r.advanceMs(20);
  Records rec(*r.dev, 682);
  qsim::Faults partial;
  partial.inputStatusOverride = 5;
  r.model->setFaults(partial);
  EXPECT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 0);
  EXPECT_TRUE(std::all_of(rec.v.begin(), rec.v.end(), [](float x) { return x == kSentinel; }));
  EXPECT_TRUE(std::all_of(rec.p.begin(), rec.p.end(), [](int x) { return x == kIntSentinel; }));
  partial.inputStatusOverride = 21;  // 3.5 frames
  r.model->setFaults(partial);
  EXPECT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 3);
  // Only the delivered records are touched.
  EXPECT_EQ(rec.v[3 * 21], kSentinel);
  EXPECT_EQ(rec.p[3 * 5], kIntSentinel);
  EXPECT_NE(rec.v[2 * 21], kSentinel);
  EXPECT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), 2), 2);
  EXPECT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), 0), 0);
  EXPECT_THROW(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -2), std::invalid_argument);
}

TEST(Acquisition, PerCallLimitHoldsWhateverTheDeviceReports) {
  for (Family f : {Family::Ka, Family::Rix}) {
    auto r = rig::make(f);
    int ids[] = {AI(0)};  // 2-byte frames
    r.dev->setupInputFrame(ids, 1);
    r.dev->startDataAcquisition(0, 100000.0f, 0);
    r.advanceMs(30);  // about 3000 frames
    const int limit = r.dev->getTable().readLimitBytes / 2;
    // Arrays of exactly the per-call maximum: a larger count would overrun them.
    Records rec(*r.dev, limit);
    EXPECT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), limit) << rig::name(f);
    qsim::Faults huge;
    huge.inputStatusOverride = 0x3FFFFFFFu;
    r.model->setFaults(huge);
    EXPECT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), limit);
  }
}

TEST(Acquisition, ReadFrameAfterASingleReadWritesTheMaskAgain) {
  auto r = rig::make(Family::Ka);
  int ids[] = {AI(2), DP(0)};
  r.dev->setupInputFrame(ids, 2);
  r.model->clearWriteLog();
  Records rec(*r.dev, 1);
  r.dev->readFrame(rec.v.data(), rec.p.data());
  EXPECT_TRUE(writesTo(*r.model, 0x18).empty());
  r.dev->readAnalogInput(AI(5));
  r.dev->readFrame(rec.v.data(), rec.p.data());
  const auto w = writesTo(*r.model, 0x18);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0].bytes, (std::vector<uint8_t>{5}));
  EXPECT_EQ(w[1].bytes, (std::vector<uint8_t>{2, 0x80}));
  EXPECT_EQ(r.model->inputMask(), (std::vector<uint8_t>{2, 0x80}));

  // readFrame refuses while acquiring.
  r.dev->startDataAcquisition(0, 100.0f, 0);
  EXPECT_THROW_MSG(r.dev->readFrame(rec.v.data(), rec.p.data()), std::logic_error,
                   "Not possible when data acquisition is active.");
}

TEST(Acquisition, ReadsWithoutAMaskAreRefused) {
  auto r = rig::make(Family::Vel);
  Records rec(*r.dev, 1);
  EXPECT_THROW_MSG(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), std::logic_error,
                   "No or invalid read mask specified.");
  EXPECT_THROW_MSG(r.dev->readFrame(rec.v.data(), rec.p.data()), std::logic_error,
                   "No or invalid read mask specified.");
  EXPECT_THROW_MSG(r.dev->readBlocking(rec.v.data(), rec.p.data(), 0), std::invalid_argument,
                   "Frame counter must be > 0.");
}

// ---- bounds of readBlocking --------------------------------------------------------------

TEST(BlockingRead, FailsWhenNoAcquisitionRuns) {
  auto r = rig::make(Family::Rix);
  int ids[] = {AI(0), CNT};
  r.dev->setupInputFrame(ids, 2);
  Records rec(*r.dev, 4);
  EXPECT_THROW_MSG(r.dev->readBlocking(rec.v.data(), rec.p.data(), 4), std::runtime_error,
                   "No data acquisition running.");
}

TEST(BlockingRead, FiniteAcquisitionDeliversItsFramesThenFails) {
  auto r = rig::make(Family::Ka,
                     [](qsim::DeviceConfig& c) { c.signals[0] = qsim::Signal::ramp(5, 20); });
  int ids[] = {AI(0)};
  r.dev->setupInputFrame(ids, 1);
  r.dev->startDataAcquisition(0, 1000.0f, 10);
  r.advanceMs(50);
  Records rec(*r.dev, 11);
  // More than the acquisition will ever produce: refused without consuming.
  EXPECT_THROW(r.dev->readBlocking(rec.v.data(), rec.p.data(), 11), std::runtime_error);
  EXPECT_EQ(rec.v[0], kSentinel);
  r.dev->readBlocking(rec.v.data(), rec.p.data(), 6);
  r.dev->readBlocking(rec.v.data() + 6 * 21, rec.p.data() + 6 * 5, 4);
  for (int f = 0; f < 10; ++f) EXPECT_NE(rec.v[static_cast<size_t>(f * 21)], kSentinel) << f;
  EXPECT_THROW(r.dev->readBlocking(rec.v.data(), rec.p.data(), 1), std::runtime_error);
  EXPECT_TRUE(r.dev->getState().acquisitionActive);
}

TEST(BlockingRead, StallLimitEndsTheWaitAndKeepsWhatArrived) {
  auto r = rig::make(Family::Vel);
  int ids[] = {AI(0), DP(1)};
  r.dev->setupInputFrame(ids, 2);
  r.dev->startDataAcquisition(0, 1000.0f, 0);
  r.advanceMs(5.5);  // five frames; the clock then stands still
  Records rec(*r.dev, 8);
  try {
    r.dev->readBlocking(rec.v.data(), rec.p.data(), 8);
    ADD_FAILURE() << "no stall reported";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("no frame"), std::string::npos) << e.what();
  }
  for (int f = 0; f < 5; ++f) EXPECT_NE(rec.v[static_cast<size_t>(f * 9)], kSentinel) << f;
  EXPECT_EQ(rec.v[5 * 9], kSentinel);
  EXPECT_TRUE(r.dev->getState().acquisitionActive);
}

// ---- output frames -------------------------------------------------------------------------

TEST(OutputFrame, MaskLayoutAndSingleFrameWrite) {
  auto r = rig::make(Family::Ka);
  int ids[] = {DP(2), AO(0)};
  r.dev->setupOutputFrame(ids, 2);
  EXPECT_EQ(r.model->outputMask(), (std::vector<uint8_t>{0x00, 0x82}));
  r.dev->setDigitalPortOutputEnableMask(DP(2), 0xF);
  std::vector<float> v(21, 0.0f);
  std::vector<int> p(5, 0);
  v[0] = -4.5f;
  p[2] = 0x12345;
  r.model->clearWriteLog();
  r.dev->writeFrame(v.data(), p.data());
  const auto w = writesTo(*r.model, 0x24);
  ASSERT_EQ(w.size(), 1u);
  ASSERT_EQ(w[0].bytes.size(), 4u);
  EXPECT_EQ(w[0].bytes[2], 0x45);
  EXPECT_EQ(w[0].bytes[3], 0x23);
  EXPECT_NEAR(r.model->dacVoltage(0), -4.5, 20.0 / 4095);
  EXPECT_EQ(r.model->portLatch(2), 0x45);

  int twice[] = {AO(1), DP(0), AO(1)};
  EXPECT_THROW_MSG(r.dev->setupOutputFrame(twice, 3), std::invalid_argument,
                   "Every channel could only be once in the mask.");
  EXPECT_EQ(r.model->outputMask(), (std::vector<uint8_t>{0x00, 0x82}));
  EXPECT_THROW_MSG(r.dev->setupOutputFrame(ids, 0), std::invalid_argument,
                   "At least one output must be specified.");

  auto fresh = rig::make(Family::Rix);
  fresh.model->clearWriteLog();
  EXPECT_THROW_MSG(fresh.dev->writeFrame(v.data(), p.data()), std::logic_error,
                   "No or invalid write mask specified.");
  EXPECT_TRUE(fresh.model->writeLog().empty());
}

// Voltage of a DAC code through the device's own output record.
double recordVoltage(const qsim::CodeRecord& rec, int code) {
  if (code >= rec.zero) return 10.0 * (code - rec.zero) / (rec.positive - rec.zero);
  return -10.0 * (rec.zero - code) / (rec.zero - rec.negative);
}

TEST(OutputStreaming, VelReceivesExactlyTheCodesOfTheWaveform) {
  auto r = rig::make(Family::Vel);
  const auto record = r.model->config().outputRecords[0];
  int ids[] = {DP(1), AO(0)};
  r.dev->setupOutputFrame(ids, 2);
  const int frames = 1500;  // fits the device's output buffer
  std::vector<float> v(frames);
  std::vector<int> p(2 * frames);
  for (int i = 0; i < frames; ++i) {
    v[static_cast<size_t>(i)] = static_cast<float>(9.0 * std::sin(i * 0.01));
    p[static_cast<size_t>(2 * i + 1)] = i;
  }
  r.model->clearWriteLog();
  r.dev->writeBlocking(v.data(), p.data(), frames);
  std::vector<uint8_t> stream;
  for (const auto& w : writesTo(*r.model, 0x04)) {
    stream.insert(stream.end(), w.bytes.begin(), w.bytes.end());
    EXPECT_LE(w.bytes.size(), 4096u);
  }
  ASSERT_EQ(stream.size(), static_cast<size_t>(4 * frames));
  for (int i = 0; i < frames; ++i) {
    const int code = stream[static_cast<size_t>(4 * i)] | stream[static_cast<size_t>(4 * i + 1)]
                                                              << 8;
    const int port = stream[static_cast<size_t>(4 * i + 2)] | stream[static_cast<size_t>(4 * i + 3)]
                                                                  << 8;
    ASSERT_NEAR(recordVoltage(record, code), v[static_cast<size_t>(i)], 20.0 / 4095) << i;
    ASSERT_EQ(port, i);
  }
  EXPECT_THROW_MSG(r.dev->writeBlocking(v.data(), p.data(), -3), std::invalid_argument,
                   "Frame count must be >= 0.");
}

TEST(OutputStreaming, BlockingWriteOfNoFramesReturnsAtOnce) {
  auto r = rig::make(Family::Vel);
  std::vector<float> v(1, 1.0f);
  std::vector<int> p(2, 0);
  r.model->clearWriteLog();
  r.dev->writeBlocking(v.data(), p.data(), 0);  // before any output mask, too
  int ids[] = {AO(0)};
  r.dev->setupOutputFrame(ids, 1);
  r.model->clearWriteLog();
  r.dev->writeBlocking(v.data(), p.data(), 0);
  EXPECT_TRUE(r.model->writeLog().empty());
  EXPECT_EQ(r.model->outputBufferedBytes(), 0u);
  auto ka = rig::make(Family::Ka);
  EXPECT_THROW_MSG(ka.dev->writeBlocking(v.data(), p.data(), 0), std::logic_error,
                   "Not supported.");
}

TEST(OutputStreaming, FullBufferQueuesNothingAndStallsTheBlockingWrite) {
  auto r = rig::make(Family::Vel, [](qsim::DeviceConfig& c) { c.outputCapacity = 4096; });
  int ids[] = {AO(0)};
  r.dev->setupOutputFrame(ids, 1);
  std::vector<float> v(5000, 1.0f);
  std::vector<int> p(10000, 0);
  EXPECT_EQ(r.dev->writeNonBlocking(v.data(), p.data(), 5000), 2048);
  r.model->clearWriteLog();
  EXPECT_EQ(r.dev->writeNonBlocking(v.data(), p.data(), 5000), 0);
  EXPECT_TRUE(writesTo(*r.model, 0x04).empty());
  try {
    r.dev->writeBlocking(v.data(), p.data(), 10);
    ADD_FAILURE() << "no stall reported";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("no frame"), std::string::npos) << e.what();
  }
}

TEST(OutputStreaming, WaveformLongerThanTheBufferDrainsWhileTheDevicePlaysIt) {
  auto r = rig::make(Family::Vel, [](qsim::DeviceConfig& c) { c.outputCapacity = 4096; });
  int out[] = {AO(0), DP(1)};
  r.dev->setupOutputFrame(out, 2);
  int in[] = {AI(0)};
  r.dev->setupInputFrame(in, 1);
  // The device plays one output frame per input frame: every transfer lets
  // 0.1 ms pass, so the 10 kHz acquisition frees one frame per transfer.
  r.raw->setTransferHook([&](qsim::Direction, size_t) { r.advanceMs(0.1); });
  const int frames = 3000;  // almost three buffers full
  std::vector<float> v(frames);
  std::vector<int> p(2 * frames);
  for (int i = 0; i < frames; ++i) {
    v[static_cast<size_t>(i)] = static_cast<float>(-9.5 + 19.0 * i / frames);
    p[static_cast<size_t>(2 * i + 1)] = i & 0xFF;
  }
  // Prime the buffer, then start the acquisition that paces the output.
  const int primed = r.dev->writeNonBlocking(v.data(), p.data(), frames);
  EXPECT_EQ(primed, 1024);
  r.dev->startDataAcquisition(0, 10000.0f, 0);
  r.dev->writeBlocking(v.data() + primed, p.data() + 2 * primed, frames - primed);
  r.raw->setTransferHook(nullptr);
  std::vector<uint8_t> stream;
  for (const auto& w : writesTo(*r.model, 0x04)) {
    stream.insert(stream.end(), w.bytes.begin(), w.bytes.end());
  }
  ASSERT_EQ(stream.size(), static_cast<size_t>(4 * frames));
  const auto record = r.model->config().outputRecords[0];
  for (int i = 0; i < frames; ++i) {
    const int code = stream[static_cast<size_t>(4 * i)] | stream[static_cast<size_t>(4 * i + 1)]
                                                              << 8;
    ASSERT_NEAR(recordVoltage(record, code), v[static_cast<size_t>(i)], 20.0 / 4095) << i;
    ASSERT_EQ(stream[static_cast<size_t>(4 * i + 2)], i & 0xFF) << i;
  }
  EXPECT_GT(r.model->outputFramesApplied(), 0u);
}

TEST(OutputStreaming, UnderrunIsReported) {
  auto r = rig::make(Family::Vel);
  int out[] = {AO(0)};
  r.dev->setupOutputFrame(out, 1);
  int in[] = {AI(0)};
  r.dev->setupInputFrame(in, 1);
  std::vector<float> v(10, 0.5f);
  std::vector<int> p(20, 0);
  EXPECT_EQ(r.dev->writeNonBlocking(v.data(), p.data(), 10), 10);
  r.dev->startDataAcquisition(0, 1000.0f, 0);
  r.advanceMs(20);  // ten frames played, then nothing left
  EXPECT_THROW_MSG(r.dev->writeNonBlocking(v.data(), p.data(), 10), std::runtime_error,
                   "Buffer underrun");
  EXPECT_THROW_MSG(r.dev->writeBlocking(v.data(), p.data(), 10), std::runtime_error,
                   "Buffer underrun");
}

TEST(Acquisition, VelStartCommandEncodesTheTriggerMode) {
  const std::pair<int, int> cases[] = {{0, 1}, {1, 2}, {2, 3}, {5, 0}};
  for (const auto& c : cases) {
    auto r = rig::make(Family::Vel);
    int ids[] = {AI(0)};
    r.dev->setupInputFrame(ids, 1);
    r.model->clearWriteLog();
    r.dev->startDataAcquisition(c.first, 100.0f, 0);
    const auto w = writesTo(*r.model, 0x58);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].bytes[0], c.second) << "external " << c.first;
  }
}

// ---- frames and the mask they were sampled under ------------------------------------------

// Ka with a ramp on AI-0 and AI-1 (every frame tells its sample time) and
// DP-0 driven to 0x5A from outside; optionally a device that keeps its
// input buffer on a start.
rig::Rig rampRig(bool keepInputBuffer = false) {
  return rig::make(Family::Ka, [&](qsim::DeviceConfig& c) {
    c.signals[0] = qsim::Signal::ramp(9.0, 7.0);
    c.signals[1] = qsim::Signal::ramp(4.0, 3.0, 1.0);
    c.portInputs = {0x5A, 0, 0};
    c.faults.keepInputBuffer = keepInputBuffer;
  });
}

// What the device does with its buffer on a stop or start is its own
// business: each case runs with a device that clears it and one that keeps it.
class StaleFrames : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Device, StaleFrames, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "KeepsItsBuffer" : "ClearsItsBuffer";
                         });

TEST_P(StaleFrames, FramesOfAnEarlierMaskNeverReachTheNewOne) {
  auto r = rampRig(GetParam());
  int first[] = {AI(0)};
  r.dev->setupInputFrame(first, 1);
  r.dev->startDataAcquisition(0, 10000.0f, 0);
  r.advanceMs(57);  // 570 frames of 2 bytes stay in the device
  r.dev->stopDataAcquisition();
  int second[] = {AI(0), AI(1), DP(0)};
  r.dev->setupInputFrame(second, 3);
  Records rec(*r.dev, 682);
  EXPECT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 0);
  EXPECT_EQ(rec.v[0], kSentinel);

  const int64_t start = r.model->nowNs();
  r.dev->startDataAcquisition(0, 10000.0f, 0);
  const int64_t period = r.model->framePeriodNs();
  r.advanceMs(30);
  const int n = r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1);
  ASSERT_EQ(n, 300);
  for (int f = 0; f < n; ++f) {
    const int64_t t = start + (f + 1) * period;
    ASSERT_EQ(rec.p[static_cast<size_t>(f * 5)], 0x5A) << "frame " << f;
    ASSERT_NEAR(rec.v[static_cast<size_t>(f * 21)], r.model->inputVoltage(0, t), 20.0 / 65535)
        << "frame " << f;
    ASSERT_NEAR(rec.v[static_cast<size_t>(f * 21 + 1)], r.model->inputVoltage(1, t), 20.0 / 65535)
        << "frame " << f;
  }
}

TEST_P(StaleFrames, FramesOfAStoppedAcquisitionStayReadableUnderTheSameMask) {
  auto r = rampRig(GetParam());
  int ids[] = {AI(0), DP(0)};
  r.dev->setupInputFrame(ids, 2);
  const int64_t start = r.model->nowNs();
  r.dev->startDataAcquisition(0, 1000.0f, 0);
  r.advanceMs(12.5);
  r.dev->stopDataAcquisition();
  int same[] = {DP(0), AI(0)};
  r.dev->setupInputFrame(same, 2);
  r.dev->readAnalogInput(AI(3));  // a single read in between changes no buffered frame
  Records rec(*r.dev, 1024);
  ASSERT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 12);
  for (int f = 0; f < 12; ++f) {
    EXPECT_EQ(rec.p[static_cast<size_t>(f * 5)], 0x5A) << f;
    EXPECT_NEAR(rec.v[static_cast<size_t>(f * 21)],
                r.model->inputVoltage(0, start + (f + 1) * 1000000), 20.0 / 65535)
        << f;
  }
}

TEST_P(StaleFrames, ANewAcquisitionsFirstRecordIsItsFirstFrame) {
  auto r = rampRig(GetParam());
  int ids[] = {AI(0), DP(0)};
  r.dev->setupInputFrame(ids, 2);
  r.dev->startDataAcquisition(0, 1000.0f, 0);
  r.advanceMs(5.5);
  r.dev->stopDataAcquisition();  // five frames stay unread
  r.advanceMs(1);
  const int64_t start = r.model->nowNs();
  r.dev->startDataAcquisition(0, 1000.0f, 0);
  r.advanceMs(3.5);
  Records rec(*r.dev, 1024);
  ASSERT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 3);
  for (int f = 0; f < 3; ++f) {
    EXPECT_NEAR(rec.v[static_cast<size_t>(f * 21)],
                r.model->inputVoltage(0, start + (f + 1) * 1000000), 20.0 / 65535)
        << f;
  }
}

TEST_P(StaleFrames, BufferedFramesKeepTheRangeTheyWereSampledIn) {
  auto r = rig::make(Family::Ka, [&](qsim::DeviceConfig& c) {
    c.signals[0] = qsim::Signal::dc(0.5);
    c.faults.keepInputBuffer = GetParam();
  });
  int ids[] = {AI(0)};
  r.dev->setupInputFrame(ids, 1);
  r.dev->startDataAcquisition(0, 1000.0f, 0);
  r.advanceMs(10.5);
  r.dev->stopDataAcquisition();
  r.dev->setAnalogInputParameters(AI(0), RANGE(1), -1);  // +-1 V from now on
  Records rec(*r.dev, 16);
  ASSERT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 10);
  for (int f = 0; f < 10; ++f) {
    EXPECT_NEAR(rec.v[static_cast<size_t>(f * 21)], 0.5, 20.0 / 65535) << f;
  }
  r.dev->startDataAcquisition(0, 1000.0f, 0);
  r.advanceMs(3.5);
  ASSERT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 3);
  for (int f = 0; f < 3; ++f) {
    EXPECT_NEAR(rec.v[static_cast<size_t>(f * 21)], 0.5, 2.0 / 65535) << f;
  }
}

// A device whose buffer does not run empty while nothing is sampled fails
// the mask change after a few reads, and the previous mask stays in force.
TEST_P(StaleFrames, ABufferThatDoesNotRunEmptyFailsTheMaskChangeClearly) {
  auto r = rampRig(GetParam());
  int first[] = {AI(0)};
  r.dev->setupInputFrame(first, 1);
  r.dev->startDataAcquisition(0, 1000.0f, 0);
  r.advanceMs(5.5);
  r.dev->stopDataAcquisition();
  qsim::Faults stuck;
  stuck.inputStatusOverride = 6;  // the count never falls
  r.model->setFaults(stuck);
  int reads = 0;
  r.raw->setTransferHook([&](qsim::Direction d, size_t) { reads += d == qsim::Direction::In; });
  int second[] = {AI(1), DP(0)};
  EXPECT_THROW_MSG(r.dev->setupInputFrame(second, 2), std::runtime_error,
                   "The device's input buffer does not run empty.");
  r.raw->setTransferHook(nullptr);
  EXPECT_LE(reads, 8);
  EXPECT_EQ(r.dev->getState().inputMask, (std::vector<uint8_t>{0}));
  EXPECT_EQ(r.model->inputMask(), (std::vector<uint8_t>{0}));
  r.model->setFaults(qsim::Faults{});
  r.dev->setupInputFrame(second, 2);
  Records rec(*r.dev, 16);
  EXPECT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 0);
}

// One status read and at most one block transfer per call, whatever came
// before: the checks above cost nothing while an acquisition streams.
TEST_P(StaleFrames, StreamingCostsOneStatusReadAndOneBlockPerCall) {
  auto r = rampRig(GetParam());
  int ids[] = {AI(0), AI(1), DP(0)};
  r.dev->setupInputFrame(ids, 3);
  r.dev->startDataAcquisition(0, 1000.0f, 0);
  int requests = 0;
  r.raw->setTransferHook([&](qsim::Direction d, size_t) { requests += d == qsim::Direction::Out; });
  Records rec(*r.dev, 682);
  for (int call = 0; call < 20; ++call) {
    r.advanceMs(call % 3 == 0 ? 0.0 : 4.0);
    requests = 0;
    const int n = r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1);
    EXPECT_EQ(requests, n > 0 ? 2 : 1) << "call " << call;
  }
  r.raw->setTransferHook(nullptr);
}

TEST(BlockingRead, FramesBufferedBeforeAStopCanStillBeRead) {
  auto r = rig::make(Family::Ka);
  int ids[] = {AI(0), CNT};
  r.dev->setupInputFrame(ids, 2);
  r.dev->startDataAcquisition(0, 1000.0f, 0);
  r.advanceMs(12.5);
  r.dev->stopDataAcquisition();
  Records rec(*r.dev, 12);
  r.dev->readBlocking(rec.v.data(), rec.p.data(), 12);
  EXPECT_NE(rec.v[11 * 21], kSentinel);
  EXPECT_THROW_MSG(r.dev->readBlocking(rec.v.data(), rec.p.data(), 1), std::runtime_error,
                   "No data acquisition running.");
}

}  // namespace
