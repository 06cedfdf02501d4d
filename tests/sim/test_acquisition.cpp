// Acquisition engine against a manual clock: frame pacing, frame count,
// capacity and overflow, start on trigger, frame sample trigger, Vel output.
#include <gtest/gtest.h>

#include "qsim/model.h"
#include "wire.h"

using namespace qsim;
using namespace simtest;

namespace {

struct Acq {
  explicit Acq(DeviceConfig cfg = defaultConfig(Family::Ka))
      : clock(std::make_shared<ManualClock>(kSec)),
        model(std::make_shared<DeviceModel>(std::move(cfg), clock)),
        wire{model} {}
  void start(const std::vector<uint8_t>& mask, int32_t periodNs, uint32_t count, uint32_t mode) {
    wire.writeBlock(0x18, mask);
    wire.writeRegister(0x50, static_cast<uint32_t>(periodNs));
    wire.writeRegister(0x54, count);
    wire.writeRegister(0x58, mode);
  }
  uint32_t status() { return wire.readRegister(0x08); }
  std::shared_ptr<ManualClock> clock;
  std::shared_ptr<DeviceModel> model;
  Wire wire;
};

TEST(SimAcquisition, PeriodReadBack) {
  struct Case {
    int64_t resolution;
    int32_t written;
    int32_t readBack;
  } cases[] = {{1, 10000, 10000},
               {1, 9999, -2},
               {1, 0, -2},
               {1, -5, -2},
               {1, -1, -1},
               {1, 333333333, 333333333},
               {1000, 333333, 333000},
               {1000, 333500, 334000},
               {1000, 10001, 10000},
               {4096, 10000, 12288}};
  for (const Case& c : cases) {
    DeviceConfig cfg = defaultConfig(Family::Ka);
    cfg.timerResolutionNs = c.resolution;
    Acq a(cfg);
    a.wire.writeRegister(0x50, static_cast<uint32_t>(c.written));
    EXPECT_EQ(static_cast<int32_t>(a.wire.readRegister(0x50)), c.readBack)
        << c.written << " at resolution " << c.resolution;
  }
}

TEST(SimAcquisition, FramesArePacedByTheClock) {
  Acq a;
  const int64_t t0 = a.model->nowNs();
  a.start({0x00, 0x81}, 1000000, 0, 1);
  EXPECT_EQ(a.status(), 0u);
  a.clock->advanceNs(10 * kMs + 500 * kUs);
  EXPECT_EQ(a.status(), 40u);  // 10 frames of 4 bytes
  const auto data = a.wire.readBlock(0x00, 8);
  // Frame k is sampled at t0 + (k + 1) ms.
  EXPECT_EQ(le16(&data[0]), a.model->rawCode(0, t0 + kMs));
  EXPECT_EQ(le16(&data[4]), a.model->rawCode(0, t0 + 2 * kMs));
  EXPECT_EQ(a.status(), 32u);
  a.clock->advanceNs(500 * kUs);
  EXPECT_EQ(a.status(), 36u);
  EXPECT_EQ(a.model->framesProduced(), 11u);
  EXPECT_EQ(a.model->acquisitionState(), AcquisitionState::Running);
  a.wire.writeRegister(0x58, 0);
  a.clock->advanceNs(kSec);
  EXPECT_EQ(a.status(), 36u);  // stopped: no more frames, the rest stays readable
}

TEST(SimAcquisition, InputBufferPopsWholeFramesOnly) {
  Acq a;
  a.start({0x00, 0x01, 0xE0}, 10000, 0, 1);
  a.clock->advanceNs(30 * kUs);
  EXPECT_EQ(a.status(), 18u);
  const auto r = a.wire.readBlock(0x00, 10);  // room for 1.67 frames: one is taken
  EXPECT_EQ(a.status(), 12u);
  EXPECT_EQ(r[6], 0);  // the bytes after the whole frame are zero
  EXPECT_EQ(r[7], 0);
}

TEST(SimAcquisition, AStartClearsTheInputBufferUnlessTheDeviceKeepsIt) {
  for (bool keep : {false, true}) {
    DeviceConfig cfg = defaultConfig(Family::Ka);
    cfg.faults.keepInputBuffer = keep;
    Acq a(cfg);
    a.start({0x00}, 1000000, 0, 1);
    a.clock->advanceNs(5 * kMs + 500 * kUs);
    a.wire.writeRegister(0x58, 0);
    EXPECT_EQ(a.status(), 10u);
    a.start({0x00, 0x01}, 1000000, 0, 1);
    EXPECT_EQ(a.status(), keep ? 10u : 0u) << "keep " << keep;
    a.clock->advanceNs(kMs);
    EXPECT_EQ(a.status(), keep ? 14u : 4u) << "keep " << keep;
  }
}

TEST(SimAcquisition, FrameCountEndsTheAcquisition) {
  Acq a;
  a.start({0x03}, 10000, 5, 1);
  a.clock->advanceNs(kSec);
  EXPECT_EQ(a.status(), 10u);
  EXPECT_EQ(a.model->acquisitionState(), AcquisitionState::Finished);
}

TEST(SimAcquisition, CounterAndPortsInFrames) {
  DeviceConfig cfg = defaultConfig(Family::Ka);
  cfg.counterRateHz = 100000.0;
  cfg.portInputs = {0x5A, 0, 0};
  Acq a(cfg);
  a.wire.writeRegister(0xC4, 1);
  a.start({0x80, 0xC0, 0xC1}, 1000000000, 0, 1);
  a.clock->advanceNs(kSec);  // 100000 counts = 0x000186A0
  const auto r = a.wire.readBlock(0x00, 6);
  EXPECT_EQ(le16(&r[0]), 0x5A);
  EXPECT_EQ(le16(&r[2]), 0x0001);
  EXPECT_EQ(le16(&r[4]), 0x86A0);
}

TEST(SimAcquisition, OverflowWhenTheBufferIsFullIsStickyUntilTheNextStart) {
  DeviceConfig cfg = defaultConfig(Family::Ka);
  cfg.inputCapacity = 64;
  Acq a(cfg);
  EXPECT_EQ(a.wire.readRegister(0x09), 64u);
  a.start({0x00, 0x01}, 10000, 0, 1);
  a.clock->advanceNs(200 * kUs);  // 20 frames, 16 fit
  EXPECT_EQ(a.status(), 0x80000000u | 64u);
  EXPECT_EQ(a.model->framesProduced(), 16u);
  EXPECT_EQ(a.model->framesDropped(), 4u);
  a.wire.readBlock(0x00, 64);
  EXPECT_EQ(a.status(), 0x80000000u);
  // A long unattended run is bounded work.
  a.clock->advanceNs(3600 * kSec);
  EXPECT_EQ(a.model->framesDropped(), 4u + 360000000u - 16u);
  a.wire.writeRegister(0x58, 0);
  a.wire.writeRegister(0x58, 1);
  EXPECT_EQ(a.status(), 0u);
}

TEST(SimAcquisition, StartOnTrigger) {
  Acq a;
  a.start({0x00}, 1000000, 0, 2);
  a.clock->advanceNs(5 * kMs);
  EXPECT_EQ(a.status(), 0u);
  EXPECT_EQ(a.model->acquisitionState(), AcquisitionState::WaitingForTrigger);
  a.model->pulseTrigger();
  a.clock->advanceNs(3 * kMs + 999 * kUs);
  EXPECT_EQ(a.status(), 6u);
  EXPECT_EQ(a.model->acquisitionState(), AcquisitionState::Running);
}

TEST(SimAcquisition, TriggerConfiguredAsOutputIgnoresPulses) {
  Acq a;
  a.wire.writeRegister(0x4C, 9);
  a.start({0x00}, 1000000, 0, 2);
  a.model->pulseTrigger();
  a.clock->advanceNs(5 * kMs);
  EXPECT_EQ(a.model->acquisitionState(), AcquisitionState::WaitingForTrigger);
}

TEST(SimAcquisition, FrameSampleTriggerAndEarlyTrigger) {
  Acq a;
  a.start({0x00, 0xE0}, -1, 3, 1);
  EXPECT_EQ(a.wire.readRegister(0x50), 0xFFFFFFFFu);
  a.clock->advanceNs(kSec);
  EXPECT_EQ(a.status(), 0u);
  const int64_t t1 = a.model->nowNs();
  a.model->pulseTrigger();
  a.clock->advanceNs(20 * kUs);
  a.model->pulseTrigger();
  const auto r = a.wire.readBlock(0x00, 4);
  EXPECT_EQ(le16(&r[0]), a.model->rawCode(0, t1));
  EXPECT_EQ(le16(&r[2]), 1);  // the trigger line is high while it samples
  EXPECT_EQ(a.status(), 4u);
  a.clock->advanceNs(5 * kUs);  // faster than the 10 us minimum period
  a.model->pulseTrigger();
  EXPECT_EQ(a.status(), 0x40000000u | 4u);
  a.clock->advanceNs(kMs);
  a.model->pulseTrigger();
  a.model->pulseTrigger();  // beyond the frame count of 3 (and early): no frame
  EXPECT_EQ(a.status() & 0x3FFFFFFF, 8u);
  EXPECT_EQ(a.model->acquisitionState(), AcquisitionState::Finished);
}

TEST(SimAcquisition, SingleFrameAt0x20FollowsTheInputSequence) {
  Acq a;
  a.model->setPortInput(2, 0x0B);
  a.wire.writeBlock(0x18, {0x02, 0x82, 0xE0});
  const auto r = a.wire.readBlock(0x20, 6);
  EXPECT_EQ(le16(&r[0]), a.model->rawCode(2, a.model->nowNs()));
  EXPECT_EQ(le16(&r[2]), 0x0B);
  EXPECT_EQ(le16(&r[4]), 0);
  EXPECT_EQ(a.model->inputMask(), (std::vector<uint8_t>{0x02, 0x82, 0xE0}));
}

TEST(SimAcquisition, StartNeedsAMaskAndAValidPeriod) {
  Acq a;
  a.wire.writeRegister(0x50, 5000);  // rejected
  a.wire.writeBlock(0x18, {0});
  a.wire.writeRegister(0x58, 1);
  EXPECT_EQ(a.model->acquisitionState(), AcquisitionState::Idle);
  a.wire.writeRegister(0x58, 3);  // Vel only
  EXPECT_EQ(a.model->acquisitionState(), AcquisitionState::Idle);
  EXPECT_GE(a.model->malformedRequests(), 2u);
}

TEST(SimOutput, VelOutputBufferIsPlayedOnePerInputFrame) {
  DeviceConfig cfg = defaultConfig(Family::Vel);
  cfg.outputCapacity = 64;
  Acq a(cfg);
  a.wire.writeBlock(0x1C, {0x00, 0x81});
  EXPECT_EQ(a.wire.readRegister(0x0C), 64u);
  a.wire.writeBlock(0x04, {0x00, 0x01, 0x11, 0x00, 0x00, 0x02, 0x22, 0x00, 0x00, 0x03, 0x33, 0});
  EXPECT_EQ(a.wire.readRegister(0x0C), 52u);
  a.start({0x00}, 1000000, 0, 1);
  a.clock->advanceNs(2 * kMs);
  EXPECT_EQ(a.model->dacCode(0), 0x200);
  EXPECT_EQ(a.model->portLatch(1), 0x22);
  EXPECT_EQ(a.wire.readRegister(0x0C), 60u);
  a.clock->advanceNs(2 * kMs);  // the third frame, then nothing left
  EXPECT_EQ(a.model->dacCode(0), 0x300);
  EXPECT_EQ(a.wire.readRegister(0x0C), 0x80000000u | 64u);
  // More than fits is cut to whole frames that fit.
  a.wire.writeBlock(0x04, std::vector<uint8_t>(100, 0));
  EXPECT_EQ(a.model->outputBufferedBytes(), 64u);
}

TEST(SimOutput, OutputFrameAt0x24IsAppliedAtOnce) {
  Acq a;
  a.wire.writeBlock(0x1C, {0x00, 0x01, 0x82});
  a.wire.writeBlock(0x24, {0xFF, 0x07, 0x00, 0x04, 0x45, 0x23});
  EXPECT_EQ(a.model->dacCode(0), 2047);
  EXPECT_EQ(a.model->dacCode(1), 1024);
  EXPECT_EQ(a.model->portLatch(2), 0x45);
  EXPECT_EQ(a.model->outputMask(), (std::vector<uint8_t>{0x00, 0x01, 0x82}));
}

TEST(SimAcquisition, VelGatedModeSamplesWhileTheTriggerIsHigh) {
  Acq a(defaultConfig(Family::Vel));
  a.start({0x00}, 1000000, 0, 3);
  a.clock->advanceNs(5 * kMs);
  EXPECT_EQ(a.status(), 0u);
  a.model->setTriggerLevel(true);
  a.clock->advanceNs(3 * kMs);
  a.model->setTriggerLevel(false);
  a.clock->advanceNs(3 * kMs);
  EXPECT_EQ(a.status(), 6u);
}

}  // namespace
