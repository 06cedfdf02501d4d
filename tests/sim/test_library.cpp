// The library's own protocol and family classes against the models, checked
// against what the model knows physically (voltages, codes, latches, frames).
#include <gtest/gtest.h>
#include <qelomsr/qelomsr.h>

#include <cstring>

#include "comm-api/src/api/protocol.h"
#include "devices/qeloka1x.h"
#include "devices/qelorix1x.h"
#include "devices/qelovel1x.h"
#include "qsim/inprocess.h"
#include "qsim/model.h"
#include "wire.h"

using namespace qsim;
using namespace simtest;

namespace {

struct Rig {
  explicit Rig(DeviceConfig cfg)
      : clock(std::make_shared<ManualClock>(kSec)),
        model(std::make_shared<DeviceModel>(std::move(cfg), clock)),
        raw(std::make_shared<InProcessRawDevice>(model, "SIM:0")),
        protocol(commapi::createProtocolDevice(raw, 64, 64, 8192, 0)) {}
  std::shared_ptr<ManualClock> clock;
  std::shared_ptr<DeviceModel> model;
  std::shared_ptr<InProcessRawDevice> raw;
  std::shared_ptr<commapi::ProtocolDevice> protocol;
};

TEST(SimLibrary, ProtocolRegistersBlocksAndChunks) {
  Rig r(defaultConfig(Family::Ka));
  r.raw->open();
  EXPECT_EQ(r.protocol->readRegister(0xF0000004), 0x00010400u);
  EXPECT_EQ(r.protocol->readRegister(0x09), 65536u);
  r.protocol->writeRegister(0xC8, 1);
  EXPECT_TRUE(r.model->led());
  Wire wire{r.model};
  const auto truth = wire.readBlock(0x08004000, 696);
  std::vector<unsigned char> block(696);
  r.protocol->_readBlock(0x08004000, block.data(), 696, 0);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), truth.begin()));
  // 8193 bytes: two requests, the second one at +8192 (outside the 1 KiB flash: zeros).
  r.model->clearWriteLog();
  std::vector<unsigned char> big(8193, 0x11);
  r.protocol->_writeBlock(0x08004000, big.data(), 8193, 0);
  const auto log = r.model->writeLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].address, 0x08006000u);
  EXPECT_EQ(log[1].bytes.size(), 1u);
  EXPECT_EQ(r.model->malformedRequests(), 0u);
  Faults f;
  f.shortIn = true;
  r.model->setFaults(f);
  EXPECT_EQ(r.protocol->readRegister(0xF0000030), 0x08004000u);
  f.stall = true;
  r.model->setFaults(f);
  EXPECT_THROW(r.protocol->readRegister(0x08), std::runtime_error);
}

TEST(SimLibrary, KaSingleReadsOutputsAndPorts) {
  DeviceConfig cfg = defaultConfig(Family::Ka);
  cfg.signals[0] = Signal::dc(5.0);
  cfg.signals[1] = Signal::dc(-2.0);
  cfg.signals[3] = Signal::dc(0.5);
  cfg.loopbacks = {{0, 1}};
  Rig r(cfg);
  QeloKa1x ka(r.protocol, "SIM:0");
  ka.open();
  EXPECT_NEAR(ka.readAnalogInput(QELOMSR_ID_ANALOG_INPUT(0)), 5.0, 1e-3);
  EXPECT_NEAR(ka.readAnalogInput(QELOMSR_ID_DIFF_INPUT(0)), 7.0, 1e-3);
  ka.setAnalogInputParameters(QELOMSR_ID_ANALOG_INPUT(3), QELOMSR_RANGE_1V, -1);
  EXPECT_EQ(r.model->channelRange(3), 1);
  EXPECT_NEAR(ka.readAnalogInput(QELOMSR_ID_ANALOG_INPUT(3)), 0.5, 1e-4);
  ka.writeAnalogOutput(QELOMSR_ID_ANALOG_OUTPUT(0), 5.0f);
  EXPECT_NEAR(r.model->dacVoltage(0), 5.0, 10.0 / 2042);
  ka.setDigitalPortOutputEnableMask(QELOMSR_ID_DIGITAL_PORT(0), 0xFF);
  ka.writeDigitalPort(QELOMSR_ID_DIGITAL_PORT(0), 0xA5);
  EXPECT_EQ(r.model->portLatch(0), 0xA5);
  EXPECT_EQ(ka.readDigitalPort(QELOMSR_ID_DIGITAL_PORT(1)), 0xA5);
  char serial[1024];
  ka.getSerialNumber(serial);
  EXPECT_STREQ(serial, "QeloKa@KA1X-004711");
  float t = 0;
  ka.getTemperature(&t);
  EXPECT_EQ(t, 25.0f);
  EXPECT_NEAR(ka.getReferenceCurrent(QELOMSR_ID_CURRENT_SOURCE(0)), 200.13, 1e-4);
}

TEST(SimLibrary, KaAcquisitionDeliversTheSampledVoltages) {
  DeviceConfig cfg = defaultConfig(Family::Ka);
  cfg.timerResolutionNs = 1000;
  Rig r(cfg);
  QeloKa1x ka(r.protocol, "SIM:0");
  ka.open();
  ka.setCounterEnable(QELOMSR_ID_COUNTER, true);
  int ios[] = {QELOMSR_ID_ANALOG_INPUT(5), QELOMSR_ID_COUNTER};
  ka.setupInputFrame(ios, 2);
  const int64_t t0 = r.model->nowNs();
  EXPECT_EQ(ka.startDataAcquisition(0, 3.0f, 0), static_cast<float>(1e9 / 333333000.0));
  ka.stopDataAcquisition();
  EXPECT_EQ(ka.startDataAcquisition(0, 1000.0f, 0), 1000.0f);
  r.clock->advanceNs(10 * kMs + 500 * kUs);
  std::vector<float> v(21 * 2048);
  std::vector<int> p(5 * 2048);
  ASSERT_EQ(ka.readNonBlocking(v.data(), p.data(), -1), 10);
  for (int k = 0; k < 10; ++k) {
    const int64_t at = t0 + (k + 1) * kMs;
    EXPECT_NEAR(v[21 * k + 5], r.model->inputVoltage(5, at), 1e-3) << k;
    EXPECT_EQ(p[5 * k + 3], k + 1) << k;  // 1 kHz counter, one count per frame
  }
  ka.stopDataAcquisition();
}

TEST(SimLibrary, RixReferencesAndVelOutputStream) {
  Rig rix(defaultConfig(Family::Rix));
  QeloRix1x dev(rix.protocol, "SIM:0");
  dev.open();
  EXPECT_NEAR(dev.readAnalogInput(QELOMSR_ID_ANALOG_INPUT(4)), 5.0, 2e-3);
  EXPECT_NEAR(dev.readAnalogInput(QELOMSR_ID_ANALOG_INPUT(5)), 2.5, 1e-3);

  Rig vel(defaultConfig(Family::Vel));
  QeloVel1x v(vel.protocol, "SIM:0");
  v.open();
  int outs[] = {QELOMSR_ID_ANALOG_OUTPUT(0)};
  v.setupOutputFrame(outs, 1);
  float volts[] = {1.0f, 2.0f, 3.0f};
  int ports[6] = {};
  EXPECT_EQ(v.writeNonBlocking(volts, ports, 3), 3);
  int ins[] = {QELOMSR_ID_ANALOG_INPUT(0)};
  v.setupInputFrame(ins, 1);
  v.startDataAcquisition(0, 1000.0f, 0);
  vel.clock->advanceNs(2 * kMs);
  EXPECT_NEAR(vel.model->dacVoltage(0), 2.0, 10.0 / 2040);
  v.stopDataAcquisition();
}

}  // namespace
