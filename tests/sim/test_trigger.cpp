// The trigger input against a manual clock: what each configuration makes of
// an edge, pulse trains on the device's timeline, the early-trigger bit, the
// gate of Vel's mode 3, what an output configuration drives, and the
// self-running source.
#include <gtest/gtest.h>

#include "qsim/model.h"
#include "wire.h"

using namespace qsim;
using namespace simtest;

namespace {

struct Dev {
  explicit Dev(DeviceConfig cfg = defaultConfig(Family::Ka))
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
  uint32_t bytes() { return status() & 0x3FFFFFFF; }
  std::shared_ptr<ManualClock> clock;
  std::shared_ptr<DeviceModel> model;
  Wire wire;
};

// Rix trigger codes are written with the enable bit by the host; Ka and Vel
// share theirs.
struct Configuration {
  const char* name;
  uint32_t kaVel;
  uint32_t rix;
  TriggerEvents events;
  TriggerDrive drive;
};

const Configuration kConfigurations[] = {
    {"0x7A501902 in-a", 2, 0x03, TriggerEvents::Rising, TriggerDrive::None},
    {"0x7A501903 in-b", 4, 0x05, TriggerEvents::Falling, TriggerDrive::None},
    {"0x7A501904 in-c", 6, 0x07, TriggerEvents::Both, TriggerDrive::None},
    {"0x7A501900 out", 9, 0x19, TriggerEvents::None, TriggerDrive::WhileRunning},
    {"0x7A501901 out", 1, 0x09, TriggerEvents::None, TriggerDrive::EveryFrame},
    {"Rix disabled / unknown", 0, 0x00, TriggerEvents::None, TriggerDrive::None},
    {"Rix enabled, no config", 3, 0x01, TriggerEvents::None, TriggerDrive::None},
};

TEST(SimTrigger, EachConfigurationTurnsOnePulseIntoItsEvents) {
  for (Family family : {Family::Ka, Family::Vel, Family::Rix}) {
    for (const Configuration& c : kConfigurations) {
      Dev d(defaultConfig(family));
      d.wire.writeRegister(0x4C, family == Family::Rix ? c.rix : c.kaVel);
      const TriggerState s = d.model->triggerState();
      EXPECT_EQ(s.events, c.events) << c.name;
      EXPECT_EQ(s.drive, c.drive) << c.name;
      EXPECT_EQ(s.output, c.drive != TriggerDrive::None) << c.name;
      // Frame sample trigger; a pulse 40 us wide, so that both edges of it
      // could take a frame.
      d.start({0x00, 0xE0}, -1, 0, 1);
      const int64_t rise = d.model->nowNs();
      d.model->pulseTriggers(1, 80 * kUs);
      d.clock->advanceNs(kMs);
      const uint32_t frames =
          c.events == TriggerEvents::Both ? 2 : (c.events == TriggerEvents::None ? 0 : 1);
      ASSERT_EQ(d.status(), 4 * frames) << familyName(family) << " " << c.name;
      if (frames == 0) continue;
      const auto r = d.wire.readBlock(0x00, 4 * frames);
      // Sampled at the event: the rising edge reads the line high, the
      // falling edge (40 us later) low.
      const int64_t at = c.events == TriggerEvents::Falling ? rise + 40 * kUs : rise;
      EXPECT_EQ(le16(&r[0]), d.model->rawCode(0, at)) << c.name;
      EXPECT_EQ(le16(&r[2]), c.events == TriggerEvents::Falling ? 0 : 1) << c.name;
      if (frames == 2) {
        EXPECT_EQ(le16(&r[4]), d.model->rawCode(0, rise + 40 * kUs));
        EXPECT_EQ(le16(&r[6]), 0);
      }
    }
  }
}

TEST(SimTrigger, APulseTrainTakesDeviceTimeAndGivesOneFramePerPulse) {
  Dev d;
  d.start({0x03}, -1, 0, 1);
  d.model->pulseTriggers(5);  // 20 us apart (twice the 10 us minimum frame period)
  EXPECT_EQ(d.status(), 2u);  // the first pulse at once
  TriggerState s = d.model->triggerState();
  EXPECT_TRUE(s.level);
  EXPECT_EQ(s.pendingChanges, 9u);
  d.clock->advanceNs(50 * kUs);
  EXPECT_EQ(d.status(), 6u);
  d.model->pulseTriggers(2);  // queued behind the rest of the first train
  d.clock->advanceNs(kMs);
  EXPECT_EQ(d.status(), 14u);  // 7 frames, no early trigger
  s = d.model->triggerState();
  EXPECT_FALSE(s.level);
  EXPECT_EQ(s.pendingChanges, 0u);
  EXPECT_EQ(d.model->framesProduced(), 7u);
}

TEST(SimTrigger, PulsesFasterThanAFrameSetTheEarlyBit) {
  struct Case {
    int64_t periodNs;
    uint32_t status;
  } cases[] = {
      {10 * kUs, 3 * 2},               // exactly the minimum frame period: three frames
      {8 * kUs, 0x40000000u | 2 * 2},  // at 0, 8 (early) and 16 us: two frames
      {2 * kUs, 0x40000000u | 2 * 2},  // at 0, 2, 4, 6, 8 (early) and 10 us: two frames
  };
  for (const Case& c : cases) {
    Dev d;
    d.start({0x03}, -1, 0, 1);
    d.model->pulseTriggers(c.periodNs == 2 * kUs ? 6 : 3, c.periodNs);
    d.clock->advanceNs(kMs);
    EXPECT_EQ(d.status(), c.status) << c.periodNs;
  }
}

TEST(SimTrigger, StartOnTriggerWaitsForTheEventOfItsConfiguration) {
  // in-b: the falling edge starts; the timer runs from that instant.
  Dev d;
  d.wire.writeRegister(0x4C, 4);
  d.start({0x00}, 1000000, 0, 2);
  d.model->setTriggerLevel(true);
  d.clock->advanceNs(5 * kMs);
  EXPECT_EQ(d.model->acquisitionState(), AcquisitionState::WaitingForTrigger);
  const int64_t fall = d.model->nowNs();
  d.model->setTriggerLevel(false);
  d.clock->advanceNs(2 * kMs);
  EXPECT_EQ(d.status(), 4u);
  const auto r = d.wire.readBlock(0x00, 4);
  EXPECT_EQ(le16(&r[0]), d.model->rawCode(0, fall + kMs));
}

TEST(SimTrigger, AHeldHighLineGetsNoPulses) {
  Dev d;
  d.start({0x00}, -1, 0, 1);
  d.model->setTriggerLevel(true);  // one rising edge: one frame
  d.model->pulseTriggers(3);
  d.clock->advanceNs(kMs);
  EXPECT_EQ(d.status(), 2u);
  EXPECT_TRUE(d.model->triggerState().heldHigh);
}

TEST(SimTrigger, VelGateFollowsTheConfiguredLevel) {
  // in-b gates on the low level: frames while the line is low.
  Dev d(defaultConfig(Family::Vel));
  d.wire.writeRegister(0x4C, 4);
  d.model->setTriggerLevel(true);
  d.start({0x00, 0xE0}, 1000000, 0, 3);
  d.clock->advanceNs(5 * kMs);
  EXPECT_EQ(d.status(), 0u);
  d.model->setTriggerLevel(false);
  d.clock->advanceNs(3 * kMs);
  d.model->setTriggerLevel(true);
  d.clock->advanceNs(3 * kMs);
  EXPECT_EQ(d.status(), 12u);
  const auto r = d.wire.readBlock(0x00, 12);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(le16(&r[4 * i + 2]), 0) << i;
}

TEST(SimTrigger, OutputConfigurationsDriveTheLine) {
  {
    Dev d;  // 0x7A501900: high while an acquisition runs
    d.wire.writeRegister(0x4C, 9);
    EXPECT_FALSE(d.model->triggerState().level);
    d.start({0x00, 0xE0}, 1000000, 3, 1);
    EXPECT_TRUE(d.model->triggerState().level);
    d.clock->advanceNs(10 * kMs);  // three frames, then finished
    EXPECT_FALSE(d.model->triggerState().level);
    const auto r = d.wire.readBlock(0x00, 12);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(le16(&r[4 * i + 2]), 1) << i;
  }
  {
    Dev d;  // 0x7A501901: toggles at every frame
    d.wire.writeRegister(0x4C, 1);
    d.start({0xE0}, 1000000, 0, 1);
    d.clock->advanceNs(3 * kMs);
    EXPECT_TRUE(d.model->triggerState().level);
    d.clock->advanceNs(kMs);
    EXPECT_FALSE(d.model->triggerState().level);
    const auto r = d.wire.readBlock(0x00, 8);
    EXPECT_EQ(le16(&r[0]), 0);  // each frame reads the level before its own toggle
    EXPECT_EQ(le16(&r[2]), 1);
    EXPECT_EQ(le16(&r[4]), 0);
    EXPECT_EQ(le16(&r[6]), 1);
    // The external driver changes nothing on an output.
    d.model->setTriggerLevel(true);
    EXPECT_FALSE(d.model->triggerState().level);
    EXPECT_TRUE(d.model->triggerState().heldHigh);
  }
}

TEST(SimTrigger, SelfRunningSourceSamplesAtItsOwnEdges) {
  DeviceConfig cfg = defaultConfig(Family::Rix);
  cfg.triggerSource = TriggerSource{1000.0, 0, 5};  // 5 pulses, 1 ms apart
  Dev d(cfg);
  const int64_t epoch = d.model->nowNs();
  d.wire.writeRegister(0x4C, 0x03);
  d.start({0x01}, -1, 0, 1);
  d.clock->advanceNs(kSec);
  ASSERT_EQ(d.status(), 10u);
  const auto r = d.wire.readBlock(0x00, 10);
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(le16(&r[2 * k]), d.model->rawCode(1, epoch + (k + 1) * kMs)) << k;
  }
  // Switched on again at run time: the first edge one period later.
  d.model->setTriggerSource(TriggerSource{100.0, 0, 0});
  d.clock->advanceNs(35 * kMs);
  EXPECT_EQ(d.status(), 6u);
  EXPECT_EQ(d.model->triggerState().source->frequencyHz, 100.0);
  d.model->setTriggerSource(std::nullopt);
  d.clock->advanceNs(kSec);
  EXPECT_EQ(d.status(), 6u);
}

TEST(SimTrigger, SourceEdgesAreCheapWhenNothingWaitsForThem) {
  DeviceConfig cfg = defaultConfig(Family::Ka);
  cfg.triggerSource = TriggerSource{1e6, 0, 0};
  Dev d(cfg);
  d.clock->advanceNs(3600 * kSec);  // 7.2e9 edges nobody listens to
  d.start({0x00, 0xE0}, 1000000, 2, 1);
  d.clock->advanceNs(2 * kMs + 100);  // ticks land in the high half of a pulse
  const auto r = d.wire.readBlock(0x00, 8);
  EXPECT_EQ(le16(&r[2]), 1);
  EXPECT_EQ(le16(&r[6]), 1);
}

TEST(SimTrigger, AFullBufferUnderTheSourceDropsFramesInConstantTime) {
  DeviceConfig cfg = defaultConfig(Family::Ka);
  cfg.inputCapacity = 64;                             // 32 frames of one word
  cfg.triggerSource = TriggerSource{100000.0, 0, 0};  // every 10 us: just not early
  {
    Dev d(cfg);
    d.start({0x00}, -1, 0, 1);
    d.clock->advanceNs(3600 * kSec);  // 360 million events
    EXPECT_EQ(d.status(), 0x80000000u | 64u);
    EXPECT_EQ(d.model->framesProduced(), 32u);
    EXPECT_EQ(d.model->framesDropped(), 360000000u - 32u);
    d.wire.readBlock(0x00, 64);
    d.clock->advanceNs(kMs);  // 100 more: 32 fit again
    EXPECT_EQ(d.model->framesProduced(), 64u);
    EXPECT_EQ(d.model->framesDropped(), 360000000u - 32u + 68u);
  }
  {
    Dev d(cfg);
    d.start({0x00}, -1, 1000, 1);  // the frame count ends it
    d.clock->advanceNs(3600 * kSec);
    EXPECT_EQ(d.model->acquisitionState(), AcquisitionState::Finished);
    EXPECT_EQ(d.model->framesProduced() + d.model->framesDropped(), 1000u);
  }
}

TEST(SimTrigger, ResetRestoresTheConfigurationNotTheExternalLevel) {
  Dev d;
  d.wire.writeRegister(0x4C, 6);
  d.model->setTriggerLevel(true);
  d.wire.writeRegister(0xF0000020, 0xFFFFFFFF);
  const TriggerState s = d.model->triggerState();
  EXPECT_EQ(s.code, 2u);
  EXPECT_TRUE(s.level);
  EXPECT_THROW(d.model->pulseTriggers(0), std::invalid_argument);
  EXPECT_THROW(d.model->pulseTriggers(1, 1), std::invalid_argument);
  EXPECT_THROW(d.model->setTriggerSource(TriggerSource{0.0, 0, 0}), std::invalid_argument);
}

}  // namespace
