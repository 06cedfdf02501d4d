// Devices on one timeline, through their registers: trigger wires between
// them (frame sync on out-b, start sync on out-a, no edge without a wire, a
// source that loses power), their own crystals (clockPpm) and signals that
// are one voltage at one instant for every device.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>

#include "qsim/model.h"
#include "qsim/timeline.h"
#include "wire.h"

using namespace qsim;
using namespace simtest;

namespace {

constexpr int32_t kPeriod10kHz = 100 * kUs;
constexpr uint32_t kInA = 2, kInB = 4, kInC = 6, kOutA = 9, kOutB = 1;  // Ka codes of 0x4C
constexpr uint32_t kRun = 1, kOnTrigger = 2;

// One Ka on the bench's timeline, driven through its registers.
struct Device {
  std::shared_ptr<DeviceModel> model;
  Wire wire;
  std::deque<uint16_t> frames;  // AI-0 words read so far, not yet compared

  void start(uint32_t triggerCode, int32_t periodNs, uint32_t mode) {
    wire.writeRegister(0x4C, triggerCode);
    wire.writeBlock(0x18, {0x00});  // AI-0 alone: one word per frame
    wire.writeRegister(0x50, static_cast<uint32_t>(periodNs));
    wire.writeRegister(0x54, 0);
    wire.writeRegister(0x58, mode);
  }
  // Every frame buffered now.
  void drain() {
    const uint32_t bytes = wire.readRegister(0x08) & 0x3FFFFFFF;
    const auto r = wire.readBlock(0x00, bytes);
    for (size_t i = 0; i + 1 < r.size() && i < bytes; i += 2) frames.push_back(le16(&r[i]));
  }
};

struct Bench {
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(kSec);
  std::shared_ptr<Timeline> timeline = std::make_shared<Timeline>(clock);
  std::deque<Device> devices;

  Device& add(double clockPpm = 0.0, uint32_t inputCapacity = 65536) {
    DeviceConfig cfg = defaultConfig(Family::Ka);
    cfg.clockPpm = clockPpm;
    cfg.inputCapacity = inputCapacity;
    // A fast sine, so that samples taken a few ns apart differ.
    cfg.signals[0] = Signal::sine(9.0, 1234.5);
    auto model = std::make_shared<DeviceModel>(cfg, timeline);
    devices.push_back({model, Wire{model}, {}});
    return devices.back();
  }
  void connect(Device& from, const std::vector<Device*>& to) {
    std::vector<WireEnd> ends;
    for (Device* d : to) ends.push_back({"receiver", d->model.get()});
    timeline->wire({"source", from.model.get()}, ends);
  }
};

// Frames a free-running timer takes in `seconds` at `rateHz` with its crystal off by ppm.
int64_t framesIn(double seconds, double rateHz, double ppm) {
  return static_cast<int64_t>(std::floor(seconds * rateHz * (1 + ppm * 1e-6)));
}

TEST(SimTimeline, FrameSyncSamplesAtTheSourcesFramesForAMinute) {
  Bench b;
  Device& source = b.add(+50);
  Device& receiver = b.add(-50);
  Device& alone = b.add(-50);  // same settings, its own timer: drifts away
  b.connect(source, {&receiver});
  receiver.start(kInC, -1, kRun);  // every edge samples a frame
  source.start(kOutB, kPeriod10kHz, kRun);
  alone.start(kInA, kPeriod10kHz, kRun);

  int64_t compared = 0, aloneDiffers = 0;
  for (int step = 0; step < 600; ++step) {
    b.clock->advanceNs(100 * kMs);
    for (Device* d : {&source, &receiver, &alone}) d->drain();
    ASSERT_EQ(receiver.frames.size(), source.frames.size()) << "after " << step + 1 << " steps";
    for (; !source.frames.empty(); ++compared) {
      ASSERT_EQ(receiver.frames.front(), source.frames.front()) << "frame " << compared;
      if (!alone.frames.empty()) {
        aloneDiffers += alone.frames.front() != source.frames.front();
        alone.frames.pop_front();
      }
      source.frames.pop_front();
      receiver.frames.pop_front();
    }
  }
  EXPECT_NEAR(compared, framesIn(60, 1e4, +50), 1);
  EXPECT_EQ(receiver.wire.readRegister(0x08) & 0x40000000u, 0u) << "no event came early";
  EXPECT_GT(aloneDiffers, 0);
}

TEST(SimTimeline, StartSyncStartsWithTheSourceAndDriftsByThePpmFigures) {
  struct Case {
    double sourcePpm, receiverPpm;
  } cases[] = {{0, 0}, {+50, -50}, {-20, +80}};
  for (const Case& c : cases) {
    Bench b;
    Device& source = b.add(c.sourcePpm, 1u << 21);
    Device& receiver = b.add(c.receiverPpm, 1u << 21);
    b.connect(source, {&receiver});
    receiver.start(kInA, kPeriod10kHz, kOnTrigger);
    b.clock->advanceNs(kSec);
    EXPECT_EQ(receiver.model->acquisitionState(), AcquisitionState::WaitingForTrigger);
    source.start(kOutA, kPeriod10kHz, kRun);
    EXPECT_EQ(receiver.model->acquisitionState(), AcquisitionState::Running);
    b.clock->advanceNs(60 * kSec);
    const int64_t s = static_cast<int64_t>(source.model->framesProduced());
    const int64_t r = static_cast<int64_t>(receiver.model->framesProduced());
    EXPECT_NEAR(s, framesIn(60, 1e4, c.sourcePpm), 1) << c.sourcePpm;
    EXPECT_NEAR(r, framesIn(60, 1e4, c.receiverPpm), 1) << c.receiverPpm;
    EXPECT_NEAR(s - r, framesIn(60, 1e4, c.sourcePpm) - framesIn(60, 1e4, c.receiverPpm), 1);
    if (c.sourcePpm == c.receiverPpm) {
      // Same crystal, same start instant: the same samples.
      source.drain();
      receiver.drain();
      EXPECT_EQ(source.frames, receiver.frames);
    }
  }
}

TEST(SimTimeline, FrameSyncLeftAloneForAnHourCatchesUpInOneStep) {
  Bench b;
  Device& source = b.add(+50, 4096);
  Device& both = b.add(0, 4096);      // in-c: every frame of the source
  Device& rising = b.add(0, 4096);    // in-a: every other one
  Device& ownTimer = b.add(0, 4096);  // runs on its own; the wire changes nothing for it
  b.connect(source, {&both, &rising, &ownTimer});
  both.start(kInC, -1, kRun);
  rising.start(kInA, -1, kRun);
  ownTimer.start(kInA, kPeriod10kHz, kRun);
  source.start(kOutB, 20 * kUs, kRun);  // 50 kHz
  b.clock->advanceNs(3600 * kSec);      // 180 million frames nobody reads
  const auto taken = [](Device& d) { return d.model->framesProduced() + d.model->framesDropped(); };
  const uint64_t frames = static_cast<uint64_t>(framesIn(3600, 5e4, +50));
  EXPECT_EQ(taken(source), frames);
  EXPECT_EQ(taken(both), frames);
  EXPECT_EQ(taken(rising), (frames + 1) / 2);
  EXPECT_EQ(taken(ownTimer), static_cast<uint64_t>(framesIn(3600, 1e4, 0)));
  for (Device* d : {&source, &both, &rising, &ownTimer}) {
    EXPECT_EQ(d->wire.readRegister(0x08) >> 30, 2u) << "overflow, nothing early";
  }
  // Read out, they go on in step.
  source.start(kOutB, 20 * kUs, kRun);
  both.start(kInC, -1, kRun);
  b.clock->advanceNs(kMs);
  source.drain();
  both.drain();
  EXPECT_EQ(source.frames.size(), 50u);
  EXPECT_EQ(both.frames, source.frames);
}

TEST(SimTimeline, AReceiverWithoutAWireSeesNoEdge) {
  for (bool wiredElsewhere : {false, true}) {
    Bench b;
    Device& source = b.add();
    Device& receiver = b.add();
    Device& other = b.add();
    if (wiredElsewhere) b.connect(source, {&other});
    receiver.start(kInC, -1, kRun);
    other.start(kInC, -1, kRun);
    source.start(kOutB, kPeriod10kHz, kRun);
    b.clock->advanceNs(10 * kMs);
    EXPECT_EQ(receiver.model->framesProduced(), 0u) << wiredElsewhere;
    EXPECT_FALSE(receiver.model->triggerState().wired);
    EXPECT_EQ(other.model->framesProduced(), wiredElsewhere ? 100u : 0u);
  }
}

TEST(SimTimeline, ASourceThatLosesPowerLeavesTheLineToTheReceiversDriver) {
  struct Case {
    const char* how;
    bool driverHigh;
  } cases[] = {{"unplugged from its bus", false},
               {"unplugged from its bus", true},
               {"unplugged fault", false},
               {"unplugged fault", true}};
  for (const Case& c : cases) {
    Bench b;
    Device& source = b.add();
    Device& receiver = b.add();
    b.connect(source, {&receiver});
    receiver.model->setTriggerLevel(c.driverHigh);
    source.wire.writeRegister(0x4C, kOutA);  // drives the wire low until it runs
    receiver.start(kInB, -1, kRun);          // a falling edge samples a frame
    source.start(kOutA, kPeriod10kHz, kRun);
    EXPECT_TRUE(receiver.model->triggerState().level) << "the source drives it high";
    b.clock->advanceNs(kMs);
    if (std::string(c.how) == "unplugged fault") {
      source.model->unplug();
    } else {
      source.model->setAttached(false);
    }
    const TriggerState s = receiver.model->triggerState();
    EXPECT_FALSE(s.wired) << c.how;
    EXPECT_EQ(s.level, c.driverHigh) << c.how;
    EXPECT_EQ(receiver.model->framesProduced(), c.driverHigh ? 0u : 1u) << c.how;
    EXPECT_TRUE(b.timeline->wires().at(0).driven == false);
  }
}

TEST(SimTimeline, ASignalIsOneVoltageAtOneInstantForEveryDevice) {
  Bench b;
  Device& early = b.add();
  b.clock->advanceNs(300 * kMs);
  Device& late = b.add();
  // A device on a timeline of its own starts its signals at its creation.
  DeviceConfig cfg = defaultConfig(Family::Ka);
  cfg.signals[0] = Signal::sine(9.0, 1234.5);
  auto own = std::make_shared<DeviceModel>(cfg, b.clock);
  b.clock->advanceNs(123 * kUs);
  const int64_t t = b.clock->nowNs();
  EXPECT_EQ(early.model->inputVoltage(0, t), late.model->inputVoltage(0, t));
  EXPECT_NE(early.model->inputVoltage(0, t), own->inputVoltage(0, t));
  // What the converters read now (one frame sampled on request, 0x20).
  early.wire.writeBlock(0x18, {0x00});
  late.wire.writeBlock(0x18, {0x00});
  EXPECT_EQ(early.wire.readBlock(0x20, 2), late.wire.readBlock(0x20, 2));
}

TEST(SimTimeline, WiresAreRefusedWhenTheyMakeNoSense) {
  Bench b;
  Device& a = b.add();
  Device& c = b.add();
  Device& d = b.add();
  auto elsewhere = std::make_shared<DeviceModel>(defaultConfig(Family::Ka));
  const WireEnd A{"A", a.model.get()}, C{"C", c.model.get()}, D{"D", d.model.get()};
  b.timeline->wire(A, {C});
  struct Case {
    WireEnd from;
    std::vector<WireEnd> to;
    const char* says;
  } cases[] = {
      {D, {D}, "D is wired to itself"},
      {D, {}, "a wire from D needs a receiver"},
      {D, {C}, "C already receives on the wire from A"},
      {C, {D}, "C receives on the wire from A"},
      {D, {A}, "A is the source of a wire to C"},
      {A, {D, D}, "D is on the wire from A twice"},
      {A, {{"X", elsewhere.get()}}, "no device 'X' on this timeline"},
  };
  for (const Case& k : cases) {
    try {
      b.timeline->wire(k.from, k.to);
      ADD_FAILURE() << "accepted: " << k.says;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(k.says), std::string::npos) << e.what();
    }
  }
  const auto w = b.timeline->wires();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].from, "A");
  EXPECT_EQ(w[0].to, std::vector<std::string>{"C"});
}

}  // namespace
