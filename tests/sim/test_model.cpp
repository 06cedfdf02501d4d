// Register contracts of the device models: wire format, register map,
// calibration memory, conversions, ports, counter and faults.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>

#include "qsim/model.h"
#include "wire.h"

using namespace qsim;
using namespace simtest;

namespace {

struct Fixture {
  explicit Fixture(DeviceConfig cfg = defaultConfig(Family::Ka))
      : clock(std::make_shared<ManualClock>(5 * kSec)),
        model(std::make_shared<DeviceModel>(std::move(cfg), clock)),
        wire{model} {}
  std::shared_ptr<ManualClock> clock;
  std::shared_ptr<DeviceModel> model;
  Wire wire;
};

TEST(SimWire, RepliesArePaddedToWholeBlocksAndCountZeroRepliesNothing) {
  Fixture f;
  struct Case {
    uint32_t count;
    size_t reply;
  } cases[] = {{1, 64}, {4, 64}, {64, 64}, {65, 128}, {696, 704}, {4096, 4096}};
  for (const Case& c : cases) {
    EXPECT_EQ(f.wire.readBlock(0x08004000, c.count).size(), c.reply) << c.count;
  }
  const auto msg = request(false, 0xF0000004, 0, true);
  EXPECT_EQ(f.model->bulkOut(msg.data(), msg.size()), kOutOk);
  uint8_t buf[64];
  EXPECT_EQ(f.model->bulkIn(buf, sizeof buf), kInPending);
  EXPECT_EQ(f.model->malformedRequests(), 0u);
}

TEST(SimWire, ABusResetForgetsRepliesOfThePreviousHost) {
  Fixture f;
  const auto msg = request(false, 0xF0000004, 4, true);
  ASSERT_EQ(f.model->bulkOut(msg.data(), msg.size()), kOutOk);
  f.model->busReset();
  uint8_t buf[64];
  EXPECT_EQ(f.model->bulkIn(buf, sizeof buf), kInPending);
  ASSERT_EQ(f.model->bulkOut(msg.data(), msg.size()), kOutOk);
  EXPECT_EQ(f.model->bulkIn(buf, sizeof buf), 64);
  EXPECT_EQ(f.model->bulkIn(buf, sizeof buf), kInPending) << "exactly one reply per request";
}

TEST(SimWire, MalformedRequestsAreIgnoredAndCounted) {
  Fixture f;
  std::vector<std::vector<uint8_t>> bad;
  bad.push_back(std::vector<uint8_t>(10, 0));  // short header
  auto w = request(true, 0xC8, 4, true, {1, 0, 0, 0});
  w.resize(64 + 4);  // payload not padded
  bad.push_back(w);
  auto w2 = request(true, 0xC8, 100, true, std::vector<uint8_t>(100, 1));
  w2.resize(128);  // 100 bytes need 128 of payload
  bad.push_back(w2);
  auto r = request(false, 0xF0000004, 4, true);
  r.resize(128);  // a read request is a bare header
  bad.push_back(r);
  bad.push_back(request(false, 0x00, 0x3FFFFFFF, true));  // absurd read size
  for (const auto& m : bad) EXPECT_EQ(f.model->bulkOut(m.data(), m.size()), kOutOk);
  EXPECT_EQ(f.model->bulkOut(nullptr, 0), kOutOk);
  EXPECT_EQ(f.model->malformedRequests(), bad.size() + 1);
  EXPECT_TRUE(f.model->writeLog().empty());
  EXPECT_FALSE(f.model->led());
  uint8_t buf[64];
  EXPECT_EQ(f.model->bulkIn(buf, sizeof buf), kInPending);
}

// Random requests at the known addresses and random lengths: the model must
// stay consistent (ASan/UBSan builds check the memory side).
TEST(SimWire, RandomRequestsNeverBreakTheModel) {
  const uint32_t addresses[] = {
      0x00,       0x04,       0x08,       0x09,       0x0C,       0x10,       0x12,
      0x14,       0x16,       0x17,       0x18,       0x1C,       0x20,       0x24,
      0x28,       0x2C,       0x40,       0x44,       0x4C,       0x50,       0x54,
      0x58,       0x5C,       0x70,       0xC0,       0xC4,       0xC8,       0x100,
      0xF0000004, 0xF0000008, 0xF0000020, 0xF0000030, 0x08004000, 0x080043FF, 0x08004400};
  std::mt19937 rng(1234);
  for (Family fam : {Family::Ka, Family::Vel, Family::Rix}) {
    Fixture f(defaultConfig(fam));
    for (int i = 0; i < 5000; ++i) {
      const uint32_t addr = addresses[rng() % (sizeof addresses / sizeof addresses[0])];
      const uint32_t count = rng() % 300;
      const bool write = rng() % 2 == 0;
      std::vector<uint8_t> payload(count);
      for (auto& b : payload) b = static_cast<uint8_t>(rng());
      auto msg = request(write, addr, count, rng() % 4 != 0, payload);
      if (rng() % 8 == 0) msg.resize(rng() % (msg.size() + 1));  // damaged length
      f.model->bulkOut(msg.data(), msg.size());
      uint8_t in[512];
      while (f.model->bulkIn(in, sizeof in) > 0) {
      }
      f.clock->advanceNs(static_cast<int64_t>(rng() % 100000));
      if (i % 97 == 0) f.model->pulseTrigger();
    }
    // Still answering correctly afterwards.
    EXPECT_EQ(f.wire.readRegister(0x09), f.model->config().inputCapacity);
  }
}

TEST(SimWire, WritesAreLoggedWithAddressIncrementAndUnpaddedBytes) {
  Fixture f;
  f.wire.writeBlock(0x5C, {3, 0x45, 0x23});
  f.wire.writeBlock(0x12345678, {9, 8}, false);
  const auto log = f.model->writeLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].address, 0x5Cu);
  EXPECT_TRUE(log[0].increment);
  EXPECT_EQ(log[0].bytes, (std::vector<uint8_t>{3, 0x45, 0x23}));
  EXPECT_EQ(log[1].address, 0x12345678u);
  EXPECT_FALSE(log[1].increment);
  EXPECT_EQ(f.model->channelDelay(3), 0x2345);
  EXPECT_EQ(f.wire.readRegister(0x12345678), 0u);  // unknown: zeros
}

TEST(SimWire, WriteLogKeepsTheNewestWritesWithinItsBounds) {
  Fixture f;
  for (uint32_t i = 0; i < 2000; ++i) {
    std::vector<uint8_t> payload(4096, static_cast<uint8_t>(i));
    f.wire.writeBlock(0x7000 + i, payload);
  }
  const auto log = f.model->writeLog();
  size_t bytes = 0;
  for (const auto& w : log) bytes += w.bytes.size();
  EXPECT_LE(bytes, 4u << 20);
  EXPECT_GT(log.size(), 500u);
  EXPECT_EQ(log.back().address, 0x7000u + 1999);
}

TEST(SimWire, MemoryChunksFollowTheAddressWithAndWithoutIncrement) {
  Fixture f;
  const auto whole = f.wire.readBlock(0x08004000, 696);
  const auto tail = f.wire.readBlock(0x08004000 + 600, 96);
  EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 96, whole.begin() + 600));
  const auto fixed = f.wire.readBlock(0x08004000 + 17, 8, false);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(fixed[i], whole[17]) << i;
}

TEST(SimRegisters, StatusAndCapacityAreDistinctRegisters) {
  Fixture f;
  EXPECT_EQ(f.wire.readRegister(0x08), 0u);
  EXPECT_EQ(f.wire.readRegister(0x09), 65536u);
  DeviceConfig c = defaultConfig(Family::Rix);
  c.inputCapacity = 4096;
  Fixture r(c);
  EXPECT_EQ(r.wire.readRegister(0x09), 4096u);
}

TEST(SimRegisters, VersionWordAndItsFaults) {
  Fixture f;
  EXPECT_EQ(f.wire.readRegister(0xF0000004), 0x00010400u);
  Faults x;
  x.noDelayBlock = true;
  x.firmwareMajor2 = true;
  f.model->setFaults(x);
  EXPECT_EQ(f.wire.readRegister(0xF0000004), 0x80020400u);
  EXPECT_EQ(f.wire.readBlock(0x2C, 10), std::vector<uint8_t>(64, 0));
}

TEST(SimRegisters, SerialBlockAndUnconfiguredSerial) {
  DeviceConfig c = defaultConfig(Family::Vel);
  c.serial = "ABC";
  Fixture f(c);
  const auto r = f.wire.readBlock(0xF0000008, 5);
  EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.begin() + 5),
            (std::vector<uint8_t>{3, 0, 'A', 'B', 'C'}));
  Faults x;
  x.serialUnconfigured = true;
  f.model->setFaults(x);
  EXPECT_EQ(le16(f.wire.readBlock(0xF0000008, 2).data()), 0xFFFF);
}

TEST(SimRegisters, KaCalibrationBlockHoldsTheConfiguredRecords) {
  DeviceConfig c = defaultConfig(Family::Ka);
  c.outputRecords[1] = {4000, 2000, 100, 0xFFFF};
  c.inputRecords[17 * 4 + 2] = {60000, 32800, 5000, 0xFFFF};
  c.referenceCurrents = {200130, 9987};
  Fixture f(c);
  EXPECT_EQ(f.wire.readRegister(0xF0000030), 0x08004000u);
  const auto b = f.wire.readBlock(0x08004000, 696);
  EXPECT_EQ(le16(&b[8]), 4000);
  EXPECT_EQ(le16(&b[10]), 2000);
  EXPECT_EQ(le16(&b[12]), 100);
  const size_t rec = 16 + 32 * 17 + 8 * 2;
  EXPECT_EQ(le16(&b[rec]), 60000);
  EXPECT_EQ(le16(&b[rec + 2]), 32800);
  EXPECT_EQ(le16(&b[rec + 4]), 5000);
  EXPECT_EQ(le32(&b[688]), 200130u);
  EXPECT_EQ(le32(&b[692]), 9987u);
  Faults x;
  x.erasedCalibration = true;
  f.model->setFaults(x);
  const auto e = f.wire.readBlock(0x08004000, 696);
  EXPECT_TRUE(std::all_of(e.begin(), e.begin() + 696, [](uint8_t v) { return v == 0xFF; }));
}

TEST(SimRegisters, RixCalibrationBlockAndDelayBlock) {
  Fixture r(defaultConfig(Family::Rix));
  const auto b = r.wire.readBlock(0x08004400, 48);
  const auto cfg = r.model->config();
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(le32(&b[8 * i]), cfg.simpleRecords[i].offset);
    EXPECT_EQ(le32(&b[8 * i + 4]), cfg.simpleRecords[i].gain);
  }
  // VBUSREF sits behind a divider: its gain is about 2.0.
  EXPECT_NEAR(cfg.simpleRecords[4].gain / 268435456.0, 2.0, 0.01);
  Fixture k;
  const auto d = k.wire.readBlock(0x2C, 10);
  EXPECT_EQ(le16(&d[0]), 10);
  EXPECT_EQ(le16(&d[2]), 20);
  EXPECT_EQ(le16(&d[8]), 160);
}

// Raw codes by hand: code = zero + v / R * (positive - zero) for v >= 0 and
// zero + v / R * (zero - negative) below 0, rounded, clamped to 16 bits.
TEST(SimConversion, DualPointRecordsGiveHandComputedCodes) {
  DeviceConfig c = defaultConfig(Family::Ka);
  c.inputRecords[0 * 4 + 0] = {60000, 32800, 5000, 0};
  c.inputRecords[0 * 4 + 1] = {65000, 32000, 1000, 0};
  c.inputRecords[14 * 4 + 0] = {60000, 32800, 5000, 0};
  c.signals[0] = Signal::dc(5.0);
  c.signals[1] = Signal::dc(3.0);
  Fixture f(c);
  struct Case {
    double volts;
    int range;
    uint16_t code;
  } cases[] = {{5.0, 0, 46400}, {10.0, 0, 60000}, {-10.0, 0, 5000},
               {0.0, 0, 32800}, {12.0, 0, 65440}, {20.0, 0, 65535},
               {-20.0, 0, 0},   {0.5, 1, 48500},  {-0.25, 1, 24250}};
  for (const Case& k : cases) {
    EXPECT_EQ(f.model->rawCodeForVoltage(0, k.range, k.volts), k.code) << k.volts;
  }
  // Through the wire: single conversion of AI-0 in range 0, then range 1 (clipped).
  f.wire.writeBlock(0x18, {0});
  EXPECT_EQ(le16(f.wire.readBlock(0x20, 2).data()), 46400);
  f.wire.writeBlock(0x28, {0, 1});
  EXPECT_EQ(f.model->channelRange(0), 1);
  EXPECT_EQ(le16(f.wire.readBlock(0x20, 2).data()), 65535);
  // Differential channel 14 = AI-0 - AI-1 = 2 V.
  f.wire.writeBlock(0x18, {14});
  EXPECT_EQ(le16(f.wire.readBlock(0x20, 2).data()), 38240);
}

TEST(SimConversion, RixSimpleRecordsGiveHandComputedCodes) {
  DeviceConfig c = defaultConfig(Family::Rix);
  c.simpleRecords[0] = {10, 0x10000000};
  c.simpleRecords[1] = {0xFFFFFFFF, 0xFFFFFFFF};  // erased: nominal converter
  c.signals[0] = Signal::dc(1.65);
  c.signals[1] = Signal::dc(3.3);
  Fixture f(c);
  f.wire.writeBlock(0x18, {0});
  EXPECT_EQ(le16(f.wire.readBlock(0x20, 2).data()), 2058);  // 10 + 1.65 * 4095 / 3.3
  f.wire.writeBlock(0x18, {1});
  EXPECT_EQ(le16(f.wire.readBlock(0x20, 2).data()), 4095);
  // VBUSREF 5.0 V through gain 2.004, offset 4: 4 + 5 * 4095 / (3.3 * 2.004) = 3100.07.
  f.wire.writeBlock(0x18, {4});
  EXPECT_EQ(le16(f.wire.readBlock(0x20, 2).data()), 3100);
  // VREF 2.5 V through gain 0.998, offset 3: 3 + 2.5 * 4095 / (3.3 * 0.998) = 3111.5.
  f.wire.writeBlock(0x18, {5});
  EXPECT_NEAR(le16(f.wire.readBlock(0x20, 2).data()), 3111.5, 0.6);
  EXPECT_EQ(f.model->rawCodeForVoltage(0, 0, 5.0), 4095);  // 12-bit converter
}

TEST(SimConversion, DefaultSignalsAreDistinctSinesWithinRange) {
  Fixture f;
  const int64_t t = f.model->nowNs() + 123 * kMs;
  for (int ch = 0; ch < 14; ++ch) {
    const double expected = 0.6 * (ch + 1) * std::sin(6.283185307179586 * (ch + 1) * 0.123);
    EXPECT_NEAR(f.model->inputVoltage(ch, t), expected, 1e-9) << ch;
  }
  EXPECT_NEAR(f.model->inputVoltage(14, t),
              f.model->inputVoltage(0, t) - f.model->inputVoltage(1, t), 1e-12);
  Fixture r(defaultConfig(Family::Rix));
  EXPECT_EQ(r.model->inputVoltage(4, t), 5.0);
  EXPECT_EQ(r.model->inputVoltage(5, t), 2.5);
}

TEST(SimPeripherals, PortsWithWidthsAndLoopback) {
  DeviceConfig c = defaultConfig(Family::Ka);
  c.loopbacks = {{0, 1}};
  c.portInputs = {0x00, 0x3C, 0xFF};
  Fixture f(c);
  f.wire.writeBlock(0x10, {0xF0});  // DP-0 drives its upper nibble
  f.wire.writeBlock(0x14, {0xA5});
  EXPECT_EQ(f.model->portLatch(0), 0xA5);
  EXPECT_EQ(f.wire.readBlock(0x14, 1)[0], 0xA0);  // (0xA5 & 0xF0) | (0x00 & 0x0F)
  // DP-1 sees DP-0's driven nibble, its own external levels elsewhere.
  EXPECT_EQ(f.wire.readBlock(0x15, 1)[0], 0xAC);
  f.wire.writeBlock(0x11, {0x03});
  f.wire.writeBlock(0x15, {0x01});
  EXPECT_EQ(f.model->portPins(1), 0xAD);
  EXPECT_EQ(f.wire.readBlock(0x16, 1)[0], 0x0F);  // DP-2 has 4 pins
  EXPECT_EQ(f.model->portOutputEnable(1), 0x03);
}

TEST(SimPeripherals, DacLedWatchdogTemperatureAndReset) {
  DeviceConfig c = defaultConfig(Family::Ka);
  c.outputRecords[0] = {4047, 2047, 47, 0};
  c.temperatureC = -25.0;
  Fixture f(c);
  f.wire.writeBlock(0x40, {0xE7, 0x0B});  // 3047
  EXPECT_EQ(f.model->dacCode(0), 3047);
  EXPECT_DOUBLE_EQ(f.model->dacVoltage(0), 5.0);
  f.wire.writeBlock(0x44, {0xFF, 0xFF});
  EXPECT_EQ(f.model->dacCode(1), 0x0FFF);  // 12-bit converter
  f.wire.writeRegister(0xC8, 1);
  EXPECT_TRUE(f.model->led());
  f.wire.writeRegister(0x100, 40);
  EXPECT_EQ(f.model->watchdog(), 40u);
  EXPECT_EQ(f.wire.readRegister(0x100), 40u);
  EXPECT_EQ(le16(f.wire.readBlock(0x70, 2).data()), 0x8C80);
  f.model->setTemperature(25.0);
  EXPECT_EQ(le16(f.wire.readBlock(0x70, 2).data()), 0x0C80);
  f.wire.writeBlock(0x10, {0xFF});
  f.wire.writeBlock(0x18, {1, 2});
  f.wire.writeRegister(0x4C, 4);
  f.wire.writeRegister(0xF0000020, 0xFFFFFFFF);
  EXPECT_FALSE(f.model->led());
  EXPECT_EQ(f.model->watchdog(), 0u);
  EXPECT_EQ(f.model->portOutputEnable(0), 0);
  EXPECT_EQ(f.model->dacCode(0), 2047);  // 0 V
  EXPECT_TRUE(f.model->inputMask().empty());
  EXPECT_EQ(f.model->triggerConfigCode(), 2u);
}

TEST(SimPeripherals, RixHasNoDacLedOrWatchdog) {
  Fixture r(defaultConfig(Family::Rix));
  r.wire.writeRegister(0xC8, 1);
  r.wire.writeRegister(0x100, 5);
  EXPECT_FALSE(r.model->led());
  EXPECT_EQ(r.wire.readRegister(0x100), 0u);
  EXPECT_EQ(r.wire.readBlock(0x70, 2)[0], 0);
  EXPECT_THROW(r.model->dacCode(0), std::out_of_range);
}

TEST(SimCounter, KaCountsAtItsRateWhileEnabled) {
  Fixture f;
  f.wire.writeRegister(0xC4, 1);
  f.clock->advanceNs(1500 * kMs);
  EXPECT_EQ(f.wire.readRegister(0xC0), 1500u);
  f.wire.writeRegister(0xC4, 0);
  f.clock->advanceNs(kSec);
  EXPECT_EQ(f.model->counterValue(), 1500u);
  f.wire.writeRegister(0xC4, 255);
  EXPECT_EQ(f.wire.readRegister(0xC0), 0u);
  f.model->setCounterRate(250.0);
  f.wire.writeRegister(0xC4, 1);
  f.clock->advanceNs(4 * kSec);
  EXPECT_EQ(f.model->counterValue(), 1000u);
}

TEST(SimCounter, RixControlCodes) {
  Fixture r(defaultConfig(Family::Rix));
  struct Step {
    uint32_t control;
    int64_t wait;
    uint32_t expected;
  } steps[] = {
      {0, kSec, 0}, {5, kSec, 1000}, {0, kSec, 1000}, {7, 2 * kSec, 3000}, {8, kSec, 1000}};
  for (const Step& s : steps) {
    r.wire.writeRegister(0xC0, s.control);
    r.clock->advanceNs(s.wait);
    EXPECT_EQ(r.wire.readRegister(0xC0), s.expected) << s.control;
  }
}

TEST(SimFaults, StallShortGarbageUnplugHeld) {
  Fixture f;
  Faults x;
  const auto pending = request(false, 0x09, 4, true);
  f.model->bulkOut(pending.data(), pending.size());  // its reply is never fetched
  x.stall = true;
  f.model->setFaults(x);
  EXPECT_TRUE(f.wire.readBlock(0xF0000004, 4).empty());
  f.model->setFaults(Faults{});
  EXPECT_EQ(f.wire.readRegister(0xF0000004), 0x00010400u);  // not the stale reply
  x = Faults{};
  x.shortIn = true;
  f.model->setFaults(x);
  const auto msg = request(false, 0xF0000004, 4, true);
  f.model->bulkOut(msg.data(), msg.size());
  uint8_t buf[64];
  EXPECT_EQ(f.model->bulkIn(buf, 64), 32);
  EXPECT_EQ(le32(buf), 0x00010400u);
  EXPECT_EQ(f.model->bulkIn(buf, 64), 32);
  EXPECT_EQ(f.model->bulkIn(buf, 64), kInPending);
  x = Faults{};
  x.garbage = true;
  f.model->setFaults(x);
  const auto g1 = f.wire.readBlock(0x08004000, 64);
  const auto g2 = f.wire.readBlock(0x08004000, 64);
  EXPECT_EQ(g1.size(), 64u);
  EXPECT_NE(g1, g2);
  x = Faults{};
  x.interfaceHeld = true;
  f.model->setFaults(x);
  EXPECT_TRUE(f.model->interfaceHeld());
  f.model->unplug();
  EXPECT_TRUE(f.model->unplugged());
  EXPECT_EQ(f.model->bulkOut(msg.data(), msg.size()), kOutGone);
  EXPECT_EQ(f.model->bulkIn(buf, 64), kInGone);
}

TEST(SimFaults, LateReplyIsWithheldFromTheFirstTransferThatAsks) {
  Fixture f;
  Faults x;
  x.lateReply = true;
  f.model->setFaults(x);
  const auto msg = request(false, 0xF0000004, 4, true);
  f.model->bulkOut(msg.data(), msg.size());
  uint8_t buf[64];
  EXPECT_EQ(f.model->bulkIn(buf, 64), kInPending);  // the host times out
  EXPECT_EQ(f.model->queuedReplies(), 1u);
  EXPECT_EQ(f.model->bulkIn(buf, 64), 64);  // and the reply comes after all
  EXPECT_EQ(le32(buf), 0x00010400u);
  EXPECT_EQ(f.model->queuedReplies(), 0u);
}

TEST(SimFaults, StaleReplyWaitsForTheNextHostUntilAReplug) {
  DeviceConfig cfg = defaultConfig(Family::Ka);
  cfg.faults.staleReply = true;
  Fixture f(cfg);
  ASSERT_EQ(f.model->queuedReplies(), 1u);
  uint8_t buf[64];
  EXPECT_EQ(f.model->bulkIn(buf, 64), 64);
  EXPECT_EQ(le32(buf), 65536u) << "the input capacity nobody asked for";
  Faults x = f.model->faults();
  f.model->setFaults(x);  // still on: nothing new
  EXPECT_EQ(f.model->queuedReplies(), 0u);
  x.staleReply = false;
  f.model->setFaults(x);
  x.staleReply = true;
  f.model->setFaults(x);
  f.model->setFaults(x);
  EXPECT_EQ(f.model->queuedReplies(), 1u);
  f.model->busReset();
  EXPECT_EQ(f.model->queuedReplies(), 0u);
  EXPECT_EQ(f.model->bulkIn(buf, 64), kInPending);
}

TEST(SimFaults, StatusOverrideAndForcedOverflow) {
  Fixture f;
  Faults x;
  x.inputStatusOverride = 7;  // 3.5 frames of 2 bytes
  f.model->setFaults(x);
  EXPECT_EQ(f.wire.readRegister(0x08), 7u);
  x = Faults{};
  x.forceOverflow = true;
  f.model->setFaults(x);
  EXPECT_EQ(f.wire.readRegister(0x08), 0x80000000u);
}

// The bus calls the model from its own thread while a test pokes it.
TEST(SimThreads, ConcurrentRequestsAndPokes) {
  Fixture f;
  std::thread poker([&] {
    for (int i = 0; i < 2000; ++i) {
      f.model->setPortInput(0, static_cast<uint8_t>(i));
      f.model->pulseTrigger();
      f.clock->advanceNs(kUs);
    }
  });
  for (int i = 0; i < 2000; ++i) {
    Wire w{f.model};
    EXPECT_EQ(w.readRegister(0x09), 65536u);
  }
  poker.join();
}

}  // namespace
