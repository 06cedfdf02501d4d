// The switchable clock: real time until it is stopped, then only what it is
// advanced by, and never backwards across switches.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "qsim/clock.h"
#include "qsim/model.h"
#include "wire.h"

using namespace qsim;
using namespace simtest;

namespace {

TEST(SimClock, ManualStandsStillAndMovesOnlyWhenAdvanced) {
  SwitchableClock clock(true);
  EXPECT_TRUE(clock.manual());
  EXPECT_EQ(clock.nowNs(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));  // real time passes, the clock not
  EXPECT_EQ(clock.nowNs(), 0);
  clock.advanceNs(10 * kMs);
  clock.advanceNs(0);
  EXPECT_EQ(clock.nowNs(), 10 * kMs);
  EXPECT_THROW(clock.advanceNs(-1), std::invalid_argument);
  EXPECT_EQ(clock.nowNs(), 10 * kMs);
}

TEST(SimClock, SwitchesKeepTimeMonotonic) {
  SwitchableClock clock;
  EXPECT_FALSE(clock.manual());
  EXPECT_THROW(clock.advanceNs(kMs), std::logic_error) << "a clock on real time cannot be moved";
  const int64_t a = clock.nowNs();
  const int64_t b = clock.nowNs();
  EXPECT_GE(b, a);
  clock.setManual(true);
  const int64_t frozen = clock.nowNs();
  EXPECT_GE(frozen, b);
  clock.advanceNs(100 * kSec);
  clock.setManual(false);
  // Real time goes on from where the manual clock stood.
  EXPECT_GE(clock.nowNs(), frozen + 100 * kSec);
  clock.setManual(true);
  clock.setManual(true);  // no change
  const int64_t again = clock.nowNs();
  EXPECT_GE(again, frozen + 100 * kSec);
  EXPECT_EQ(clock.nowNs(), again);
}

TEST(SimClock, ModelOnAStoppedClockProducesFramesOnlyWhenAdvanced) {
  auto clock = std::make_shared<SwitchableClock>();
  auto model = std::make_shared<DeviceModel>(defaultConfig(Family::Rix), clock);
  Wire wire{model};
  clock->setManual(true);
  wire.writeBlock(0x18, {0x00});
  wire.writeRegister(0x50, 1000000);  // 1 kHz
  wire.writeRegister(0x54, 0);
  wire.writeRegister(0x58, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(model->framesProduced(), 0u);
  clock->advanceNs(7 * kMs + 500 * kUs);
  EXPECT_EQ(model->framesProduced(), 7u);
  EXPECT_EQ(wire.readRegister(0x08), 14u);
}

}  // namespace
