// The bus arithmetic behind the streaming ceiling, checked against packet
// counts worked out by hand from the USB packet sizes and the protocol framing.
#include "bench/common/bus_model.h"

#include <gtest/gtest.h>

namespace qbench {
namespace {

TEST(BusModel, MessagePacketCounts) {
  struct Case {
    const UsbBusSpec* bus;
    std::int64_t bytes;
    std::int64_t packets;
  };
  const Case cases[] = {
      {&kFullSpeed, 0, 1},    {&kFullSpeed, 1, 1},     {&kFullSpeed, 64, 1},
      {&kFullSpeed, 65, 2},   {&kFullSpeed, 4096, 64}, {&kFullSpeed, 4160, 65},
      {&kHighSpeed, 64, 1},   {&kHighSpeed, 512, 1},   {&kHighSpeed, 513, 2},
      {&kHighSpeed, 4096, 8}, {&kHighSpeed, 8256, 17},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(packetsForMessage(*c.bus, c.bytes), c.packets) << c.bus->name << " " << c.bytes;
  }
}

TEST(BusModel, ReadNonBlockingPacketCounts) {
  // Status read: 64-byte request + 64-byte reply; block read of 97 frames of
  // 42 bytes: 64-byte request + 4074 bytes padded to 4096.
  EXPECT_EQ(packetsPerRead(kFullSpeed, 0, 42), 2);
  EXPECT_EQ(packetsPerRead(kFullSpeed, 97, 42), 2 + 1 + 64);
  EXPECT_EQ(packetsPerRead(kHighSpeed, 97, 42), 2 + 1 + 8);
  // 3 frames of 2 bytes: the 6 data bytes travel in one padded 64-byte reply.
  EXPECT_EQ(packetsPerRead(kFullSpeed, 3, 2), 4);
}

TEST(BusModel, CeilingPicksTheBestFramesPerCall) {
  // Full speed, 2-byte frames: 2048 frames in 64 + 3 packets.
  BusCeiling one = busCeiling(kFullSpeed, 2, 4096);
  EXPECT_EQ(one.framesPerCall, 2048);
  EXPECT_EQ(one.packetsPerCall, 67);
  EXPECT_NEAR(one.framesPerSecond, 2048.0 * 19000 / 67, 1e-6);
  // 42-byte frames: 96 frames fill exactly 63 packets (4032 bytes), which
  // beats 97 frames in 64 packets: 96/66 > 97/67.
  BusCeiling full = busCeiling(kFullSpeed, 42, 4096);
  EXPECT_EQ(full.framesPerCall, 96);
  EXPECT_EQ(full.packetsPerCall, 66);
  EXPECT_NEAR(full.framesPerSecond, 96.0 * 19000 / 66, 1e-6);
  // High speed: 13 packets per 125 us.
  BusCeiling hs = busCeiling(kHighSpeed, 42, 4096);
  EXPECT_NEAR(hs.framesPerSecond, 97.0 * 104000 / 11, 1e-6);
  // A frame larger than the per-call limit cannot be moved at all.
  EXPECT_EQ(busCeiling(kFullSpeed, 5000, 4096).framesPerSecond, 0.0);
}

TEST(BusModel, TimerChargesBusTimeForInTransfers) {
  // 19 full-speed packets (one bus frame, 1 ms) must take at least that long;
  // the OUT transfer before it only books its slot.
  BusTimer timer(kFullSpeed);
  const std::int64_t start = monotonicNs();
  timer.transfer(false, 64);
  timer.transfer(true, 18 * 64);
  const std::int64_t elapsed = monotonicNs() - start;
  EXPECT_GE(elapsed, 1000000 - static_cast<std::int64_t>(kFullSpeed.packetNs()));
  EXPECT_EQ(timer.stats().packets, 19);
  EXPECT_EQ(timer.stats().waits, 1);
}

}  // namespace
}  // namespace qbench
