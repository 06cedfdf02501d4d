// The device's input buffer in trouble, against the in-process emulator on a
// manual clock: an overrun and an early trigger hand out every frame the
// device kept before the error, a stop that leaves megabytes behind does not
// stop the next start, and a freshly opened or reset device (whose buffer
// the reset emptied) takes a mask and a start whatever its status says.
#include <gtest/gtest.h>
#include <qelomsr/qelomsr.h>

#include <stdexcept>
#include <string>

#include "tests/devices/rig.h"

namespace {

using qsim::Family;
using namespace ids;
using rig::kSentinel;
using rig::Records;

const char* const kEarly =
    "A frame sample trigger has been detected to early, reduce trigger frequency.";

// Reads with readNonBlocking (advancing the clock by `stepMs` after each
// call, so that the device stores new frames in the room each read frees)
// until a call fails; returns the frames read and the error text.
std::pair<int, std::string> readUntilError(rig::Rig& r, Records& rec, double stepMs) {
  const size_t v = static_cast<size_t>(r.dev->getTable().valueSlots);
  const size_t p = static_cast<size_t>(r.dev->getTable().portSlots);
  int got = 0;
  for (int call = 0; call < 1000; ++call) {
    try {
      got += r.dev->readNonBlocking(rec.v.data() + got * v, rec.p.data() + got * p, -1);
    } catch (const std::runtime_error& e) {
      return {got, e.what()};
    }
    r.advanceMs(stepMs);
  }
  return {got, "(no error)"};
}

// A full buffer drops new frames and keeps the old ones: every kept frame
// arrives, in order and with the value its sample time gives, then one
// "Buffer overflow." on the first call that finds none of them left. The
// frames stored once reads free room lie after the gap and never pose as
// frames before it, so the frames delivered count up to the first lost one.
TEST(Overrun, EveryFrameTheDeviceKeptArrivesThenTheError) {
  auto r = rig::make(Family::Ka, [](qsim::DeviceConfig& c) {
    c.inputCapacity = 4096;
    c.signals[0] = qsim::Signal::ramp(9.0, 0.2);
  });
  int ids[] = {AI(0)};
  r.dev->setupInputFrame(ids, 1);
  const int64_t start = r.model->nowNs();
  r.dev->startDataAcquisition(0, 1000.0f, 0);
  const int64_t period = r.model->framePeriodNs();
  r.advanceMs(3000);
  const int kept = static_cast<int>(r.model->framesProduced());
  ASSERT_EQ(kept, 4096 / 2);
  ASSERT_GT(r.model->framesDropped(), 0u);

  Records rec(*r.dev, 2 * kept + 2048);
  const auto result = readUntilError(r, rec, 50.0);
  EXPECT_EQ(result.second, "Buffer overflow.");
  ASSERT_EQ(result.first, kept);
  for (int f = 0; f < kept; ++f) {
    ASSERT_NEAR(rec.v[static_cast<size_t>(f * 21)],
                r.model->inputVoltage(0, start + (f + 1) * period), 20.0 / 65535 * 1.01)
        << "frame " << f;
  }
  EXPECT_EQ(rec.v[static_cast<size_t>(kept * 21)], kSentinel);
  EXPECT_GT(r.model->inputBufferedBytes(), 0u) << "frames after the gap stay in the device";
  EXPECT_THROW_MSG(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), std::runtime_error,
                   "Buffer overflow.");
  EXPECT_TRUE(r.dev->getState().acquisitionActive);

  // A restart begins afresh: its frames arrive as usual.
  r.dev->stopDataAcquisition();
  r.dev->startDataAcquisition(0, 1000.0f, 0);
  r.advanceMs(4.5);
  EXPECT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 4);
}

// readBlocking the same: the kept frames stay in the caller's arrays.
TEST(Overrun, ABlockingReadKeepsTheFramesBeforeTheError) {
  auto r = rig::make(Family::Rix, [](qsim::DeviceConfig& c) { c.inputCapacity = 1024; });
  int ids[] = {AI(1), DP(0)};
  r.dev->setupInputFrame(ids, 2);
  r.dev->startDataAcquisition(0, 1000.0f, 0);
  r.advanceMs(1000);
  const int kept = static_cast<int>(r.model->framesProduced());
  ASSERT_EQ(kept, 1024 / 4);
  Records rec(*r.dev, kept + 10);
  EXPECT_THROW_MSG(r.dev->readBlocking(rec.v.data(), rec.p.data(), kept + 10), std::runtime_error,
                   "Buffer overflow.");
  EXPECT_NE(rec.v[static_cast<size_t>((kept - 1) * QELOMSR_RIX_VALUE_SLOTS + 1)], kSentinel);
  EXPECT_EQ(rec.v[static_cast<size_t>(kept * QELOMSR_RIX_VALUE_SLOTS + 1)], kSentinel);
}

// Under the frame sample trigger an event closer to the last one than the
// device can sample takes no frame and sets the early-trigger bit: the
// frames the device took are all delivered, then the error.
TEST(Overrun, FramesAroundAnEarlyTriggerArriveThenTheError) {
  auto r = rig::make(Family::Ka);
  int ids[] = {AI(0), TRG};
  r.dev->setupInputFrame(ids, 2);
  r.dev->startDataAcquisition(0, -1.0f, 0);
  r.model->pulseTriggers(4);
  r.advanceMs(1);
  r.model->pulseTriggers(2, 4000);  // the second edge 4 us after the first: too early
  r.advanceMs(1);
  r.model->pulseTriggers(3);
  r.advanceMs(1);
  ASSERT_EQ(r.model->framesProduced(), 8u);

  Records rec(*r.dev, 2048);
  const auto result = readUntilError(r, rec, 0.0);
  EXPECT_EQ(result.first, 8);
  EXPECT_EQ(result.second, kEarly);
  for (int f = 0; f < 8; ++f) EXPECT_EQ(rec.p[static_cast<size_t>(f * 5 + 4)], 1) << f;
  EXPECT_THROW_MSG(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), std::runtime_error,
                   kEarly);
}

// A stop can leave more behind than any fixed number of reads empties (here
// more than 1024 reads of the Rix's 2048 bytes): the next start empties it
// in one call, and its first frame is the first one sampled for it.
TEST(InputBuffer, AStartAfterLargeLeftoversSucceedsAtOnce) {
  auto r = rig::make(Family::Rix, [](qsim::DeviceConfig& c) {
    c.inputCapacity = 3u << 20;
    c.signals[0] = qsim::Signal::ramp(1.5, 3.0, 1.65);
  });
  int ids[] = {AI(0)};
  r.dev->setupInputFrame(ids, 1);
  r.dev->startDataAcquisition(0, 100000.0f, 0);
  r.advanceMs(11500);
  r.dev->stopDataAcquisition();
  ASSERT_GT(r.model->inputBufferedBytes(), 1024u * QELOMSR_RIX_READ_LIMIT_BYTES);

  const int64_t start = r.model->nowNs();
  ASSERT_NO_THROW(r.dev->startDataAcquisition(0, 1000.0f, 0));
  r.advanceMs(3.5);
  Records rec(*r.dev, 1024);
  ASSERT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 3);
  for (int f = 0; f < 3; ++f) {
    EXPECT_NEAR(rec.v[static_cast<size_t>(f * QELOMSR_RIX_VALUE_SLOTS)],
                r.model->inputVoltage(0, start + (f + 1) * 1000000), 2 * 3.3 / 4095)
        << f;
  }
}

// Opening and resetting the device empty its input buffer, so nothing is
// discarded before the first acquisition: a device whose status count stands
// still (here on an odd byte, with the early-trigger bit) takes the mask and
// the start, and the first read reports what the device reports.
TEST(InputBuffer, NothingIsDiscardedRightAfterOpeningOrReset) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "after resetDevice" : "after open");
    auto r = rig::make(Family::Ka,
                       [](qsim::DeviceConfig& c) { c.faults.inputStatusOverride = 0x40000001u; });
    if (reset) {
      int ids[] = {AI(2)};
      r.dev->setupInputFrame(ids, 1);
      r.dev->resetDevice();
    }
    int ids[] = {AI(0), TRG};
    EXPECT_NO_THROW(r.dev->setupInputFrame(ids, 2));
    EXPECT_EQ(r.model->inputMask(), (std::vector<uint8_t>{0x00, 0xE0}));
    EXPECT_NO_THROW(r.dev->startDataAcquisition(0, -1.0f, 0));
    Records rec(*r.dev, 16);
    EXPECT_THROW_MSG(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), std::runtime_error,
                     kEarly);
  }
}

}  // namespace
