// The three families against the in-process emulator: identity tables,
// refused identifiers, check order, cached state, and physical truth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <typeinfo>
#include <vector>

#include "tests/devices/rig.h"

namespace {

using qsim::Family;
using namespace ids;

const Family kFamilies[] = {Family::Ka, Family::Vel, Family::Rix};

std::vector<qsim::WriteRecord> writesTo(const qsim::DeviceModel& model, uint32_t address) {
  std::vector<qsim::WriteRecord> out;
  for (const auto& w : model.writeLog()) {
    if (w.address == address) out.push_back(w);
  }
  return out;
}

uint32_t registerValue(const qsim::WriteRecord& w) {
  uint32_t v = 0;
  for (size_t i = 0; i < w.bytes.size() && i < 4; ++i) v |= uint32_t{w.bytes[i]} << (8 * i);
  return v;
}

// ---- identity tables -------------------------------------------------------------

TEST(Families, DeviceParameters) {
  const std::vector<std::pair<Family, std::vector<int>>> cases = {
      {Family::Ka, {14, 7, 2, 3, 1, 1, 2048, 2, 1}},
      {Family::Vel, {6, 3, 1, 2, 0, 1, 2048, 0, 0}},
      {Family::Rix, {6, 0, 0, 1, 1, 1, 1024, 0, 0}}};
  for (const auto& c : cases) {
    auto r = rig::make(c.first);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(r.dev->getDeviceParameter(i), c.second[i]) << i;
    EXPECT_EQ(r.dev->getDeviceParameter(9), -1);
    EXPECT_EQ(r.dev->getDeviceParameter(-1), -1);
    EXPECT_EQ(r.dev->getIdentifier(), "USB:1-0-3");
  }
}

struct NameCase {
  Family family;
  int id;
  const char* name;  // nullptr: refused with "Invalid peripheral id."
};

TEST(Families, PeripheralNames) {
  const NameCase cases[] = {{Family::Ka, DP(0), "DP-0"},
                            {Family::Ka, DP(2), "DP-2"},
                            {Family::Ka, AI(13), "AI-13"},
                            {Family::Ka, DIFF(0), "AI-0/AI-1"},
                            {Family::Ka, DIFF(6), "AI-12/AI-13"},
                            {Family::Ka, AO(1), "AO-1"},
                            {Family::Ka, CNT, "CNT"},
                            {Family::Ka, TRG, "TRG"},
                            {Family::Ka, CUR(0), "200uA"},
                            {Family::Ka, CUR(1), "10uA"},
                            {Family::Ka, LED, "Indicator"},
                            {Family::Ka, DP(3), nullptr},
                            {Family::Ka, AI(14), nullptr},
                            {Family::Ka, DIFF(7), nullptr},
                            {Family::Ka, CUR(2), nullptr},
                            {Family::Ka, RANGE(0), nullptr},
                            {Family::Vel, DP(1), "DP-1"},
                            {Family::Vel, AI(5), "AI-5"},
                            {Family::Vel, DIFF(2), "AI-4/AI-5"},
                            {Family::Vel, AO(0), "AO-0"},
                            {Family::Vel, TRG, "TRG"},
                            {Family::Vel, LED, "Indicator"},
                            {Family::Vel, CNT, nullptr},
                            {Family::Vel, AO(1), nullptr},
                            {Family::Vel, CUR(0), nullptr},
                            {Family::Vel, DP(2), nullptr},
                            {Family::Rix, AI(3), "AI-3"},
                            {Family::Rix, AI(4), "VBUSREF"},
                            {Family::Rix, AI(5), "VREF"},
                            {Family::Rix, DP(0), "DP-0"},
                            {Family::Rix, CNT, "CNT"},
                            {Family::Rix, TRG, "TRG"},
                            {Family::Rix, AO(0), nullptr},
                            {Family::Rix, LED, nullptr},
                            {Family::Rix, DIFF(0), nullptr},
                            {Family::Rix, AI(6), nullptr}};
  for (const auto& c : cases) {
    auto r = rig::make(c.family, nullptr, false);
    SCOPED_TRACE(std::string(rig::name(c.family)) + " " + std::to_string(c.id));
    if (c.name != nullptr) {
      EXPECT_EQ(r.dev->getPeripheralName(c.id), c.name);
    } else {
      EXPECT_THROW_MSG(r.dev->getPeripheralName(c.id), std::invalid_argument,
                       "Invalid peripheral id.");
    }
  }
}

TEST(Families, DigitalPortIosAndNames) {
  struct Case {
    Family family;
    int port;
    int count;
    const char* lastName;
  };
  const Case cases[] = {{Family::Ka, DP(0), 8, "IO-7"},
                        {Family::Ka, DP(1), 8, "IO-15"},
                        {Family::Ka, DP(2), 4, "IO-19"},
                        {Family::Vel, DP(1), 8, "IO-15"},
                        {Family::Rix, DP(0), 3, "IO-2"}};
  for (const auto& c : cases) {
    auto r = rig::make(c.family, nullptr, false);
    EXPECT_EQ(r.dev->getDigitalPortIoCount(c.port), c.count);
    EXPECT_EQ(r.dev->getDigitalPortIoName(c.port, c.count - 1), c.lastName);
    EXPECT_THROW_MSG(r.dev->getDigitalPortIoName(c.port, c.count), std::invalid_argument,
                     "Invalid IO of digital port.");
    EXPECT_THROW_MSG(r.dev->getDigitalPortIoName(c.port, -1), std::invalid_argument,
                     "Invalid IO of digital port.");
  }
  auto ka = rig::make(Family::Ka, nullptr, false);
  EXPECT_THROW_MSG(ka.dev->getDigitalPortIoName(DP(3), 0), std::invalid_argument,
                   "Invalid digital port id.");
}

TEST(Families, RangeEnumerationAndLimits) {
  struct Case {
    Family family;
    int id;
    std::vector<int> ranges;
  };
  const Case cases[] = {{Family::Ka, AI(0), {RANGE(0), RANGE(1), RANGE(2), RANGE(3)}},
                        {Family::Ka, DIFF(6), {RANGE(0), RANGE(1), RANGE(2), RANGE(3)}},
                        {Family::Ka, AO(1), {RANGE(0)}},
                        {Family::Vel, DIFF(2), {RANGE(0), RANGE(1), RANGE(2), RANGE(3)}},
                        {Family::Vel, AO(0), {RANGE(0)}},
                        {Family::Rix, AI(5), {RANGE(0)}}};
  for (const auto& c : cases) {
    auto r = rig::make(c.family, nullptr, false);
    int i = 0;
    for (; i < static_cast<int>(c.ranges.size()); ++i) {
      EXPECT_EQ(r.dev->enumerateRanges(c.id, i), c.ranges[static_cast<size_t>(i)]);
    }
    EXPECT_EQ(r.dev->enumerateRanges(c.id, i), kRangeNone);
    EXPECT_EQ(r.dev->enumerateRanges(c.id, i + 1), kRangeNone);
    EXPECT_EQ(r.dev->enumerateRanges(c.id, -1), kRangeNone);
  }
  auto ka = rig::make(Family::Ka, nullptr, false);
  EXPECT_EQ(ka.dev->getRangeMinMax(AI(0), RANGE(0)), std::make_pair(-10.0f, 10.0f));
  EXPECT_EQ(ka.dev->getRangeMinMax(AO(0), RANGE(3)), std::make_pair(-0.01f, 0.01f));
  EXPECT_EQ(ka.dev->getRangeMinMax(DIFF(1), RANGE(2)), std::make_pair(-0.1f, 0.1f));
  EXPECT_THROW_MSG(ka.dev->getRangeMinMax(AI(0), RANGE(4)), std::out_of_range, "Invalid range.");
  EXPECT_THROW_MSG(ka.dev->enumerateRanges(CNT, 0), std::invalid_argument,
                   "Invalid analog io-port id.");
  auto rix = rig::make(Family::Rix, nullptr, false);
  EXPECT_EQ(rix.dev->getRangeMinMax(AI(4), RANGE(0)), std::make_pair(0.0f, 6.6f));
  EXPECT_EQ(rix.dev->getRangeMinMax(AI(0), RANGE(0)), std::make_pair(0.0f, 3.3f));
  EXPECT_THROW_MSG(rix.dev->getRangeMinMax(AI(0), RANGE(1)), std::out_of_range, "Invalid range.");
  EXPECT_THROW_MSG(rix.dev->enumerateRanges(AO(0), 0), std::invalid_argument,
                   "Invalid analog io-port id.");
}

// ---- refused identifiers -------------------------------------------------------------

enum class Kind { InvalidArgument, OutOfRange, Logic, Runtime };

struct Refusal {
  Family family;
  const char* what;
  std::function<void(QeloFamily&)> call;
  Kind kind;
  const char* message;
};

void expectRefusal(const Refusal& c, QeloFamily& dev) {
  SCOPED_TRACE(std::string(rig::name(c.family)) + ": " + c.what);
  try {
    c.call(dev);
    ADD_FAILURE() << "accepted";
  } catch (const std::exception& e) {
    const std::type_info& expected = c.kind == Kind::InvalidArgument ? typeid(std::invalid_argument)
                                     : c.kind == Kind::OutOfRange    ? typeid(std::out_of_range)
                                     : c.kind == Kind::Logic         ? typeid(std::logic_error)
                                                                     : typeid(std::runtime_error);
    EXPECT_EQ(typeid(e), expected) << e.what();
    EXPECT_STREQ(e.what(), c.message);
  }
}

TEST(Families, RefusedIdentifiers) {
  const Kind IA = Kind::InvalidArgument, OR = Kind::OutOfRange, LE = Kind::Logic,
             RE = Kind::Runtime;
  const Refusal cases[] = {
      {Family::Ka, "AI-14", [](QeloFamily& d) { d.readAnalogInput(0x7A50110E); }, IA,
       "Invalid analog in-port id."},
      {Family::Ka, "AI-255", [](QeloFamily& d) { d.readAnalogInput(0x7A5011FF); }, IA,
       "Invalid analog in-port id."},
      {Family::Ka, "DIFF-7", [](QeloFamily& d) { d.readAnalogInput(DIFF(7)); }, IA,
       "Invalid analog in-port id."},
      {Family::Ka, "AO as input", [](QeloFamily& d) { d.getAnalogInputRange(AO(0)); }, IA,
       "Invalid analog in-port id."},
      {Family::Ka, "range 4",
       [](QeloFamily& d) { d.setAnalogInputParameters(AI(0), RANGE(4), -1); }, OR,
       "Invalid range id"},
      {Family::Ka, "default delay range",
       [](QeloFamily& d) { d.getDefaultAnalogInputInterChannelDelay(AI(0), kRangeNone); }, OR,
       "Invalid range id."},
      {Family::Ka, "DP-3", [](QeloFamily& d) { d.readDigitalPort(DP(3)); }, IA,
       "Invalid digital port id."},
      {Family::Ka, "AO-2", [](QeloFamily& d) { d.writeAnalogOutput(AO(2), 1.0f); }, IA,
       "Invalid analog out-port id."},
      {Family::Ka, "LED 1", [](QeloFamily& d) { d.setLed(LED + 1, true); }, IA,
       "Invalid led specified."},
      {Family::Ka, "current 2", [](QeloFamily& d) { d.getReferenceCurrent(CUR(2)); }, IA,
       "Invalid current source specified."},
      {Family::Ka, "trigger id", [](QeloFamily& d) { d.getTriggerConfig(CNT); }, IA,
       "Invalid trigger id."},
      {Family::Ka, "counter id", [](QeloFamily& d) { d.readCounter(TRG); }, IA,
       "Invalid counter id."},
      {Family::Ka, "trigger config", [](QeloFamily& d) { d.setTriggerConfig(TRG, TCFG(5)); }, OR,
       "Invalid trigger config id."},
      {Family::Ka, "trigger enable", [](QeloFamily& d) { d.setTriggerEnable(TRG, true); }, LE,
       "Not supported."},
      {Family::Ka, "counter config", [](QeloFamily& d) { d.setCounterConfig(CNT, CCFG(0)); }, LE,
       "Not supported."},
      {Family::Ka, "get counter config", [](QeloFamily& d) { d.getCounterConfig(CNT); }, LE,
       "Not supported."},
      {Family::Ka, "input frame AO",
       [](QeloFamily& d) {
         int ios[] = {AI(0), AO(0)};
         d.setupInputFrame(ios, 2);
       },
       IA, "Invalid in-port id."},
      {Family::Ka, "output frame AI",
       [](QeloFamily& d) {
         int ios[] = {AI(0)};
         d.setupOutputFrame(ios, 1);
       },
       IA, "Invalid out-port id."},
      {Family::Ka, "streaming", [](QeloFamily& d) { d.writeNonBlocking(nullptr, nullptr, 1); }, LE,
       "Not supported."},
      {Family::Vel, "AI-6", [](QeloFamily& d) { d.readAnalogInput(AI(6)); }, IA,
       "Invalid analog in-port id."},
      {Family::Vel, "AO-1", [](QeloFamily& d) { d.writeAnalogOutput(AO(1), 1.0f); }, IA,
       "Invalid analog out-port id."},
      {Family::Vel, "DP-2", [](QeloFamily& d) { d.getDigitalPortIoName(DP(2), 0); }, IA,
       "Invalid digital port id."},
      {Family::Vel, "current", [](QeloFamily& d) { d.getReferenceCurrent(CUR(0)); }, IA,
       "Invalid current source specified."},
      {Family::Vel, "watchdog", [](QeloFamily& d) { d.setWatchdogTimeout(4); }, RE,
       "Not supported by this device."},
      {Family::Vel, "get watchdog", [](QeloFamily& d) { d.getWatchdogTimeout(); }, RE,
       "Not supported by this device."},
      {Family::Vel, "read counter", [](QeloFamily& d) { d.readCounter(CNT); }, LE, "No counter"},
      {Family::Vel, "reset counter", [](QeloFamily& d) { d.resetCounter(CNT); }, LE, "No counter"},
      {Family::Vel, "counter config", [](QeloFamily& d) { d.getCounterConfig(CNT); }, LE,
       "Not supported."},
      {Family::Vel, "input frame CNT",
       [](QeloFamily& d) {
         int ios[] = {CNT};
         d.setupInputFrame(ios, 1);
       },
       IA, "Invalid in-port id."},
      {Family::Vel, "output frame AO-1",
       [](QeloFamily& d) {
         int ios[] = {AO(1)};
         d.setupOutputFrame(ios, 1);
       },
       IA, "Invalid out-port id."},
      {Family::Rix, "AI-6", [](QeloFamily& d) { d.setAnalogInputParameters(AI(6), RANGE(0), -1); },
       IA, "Invalid analog in-port id."},
      {Family::Rix, "DP-0 IO 3", [](QeloFamily& d) { d.getDigitalPortIoName(DP(0), 3); }, IA,
       "Invalid IO of digital port."},
      {Family::Rix, "current", [](QeloFamily& d) { d.getReferenceCurrent(CUR(1)); }, IA,
       "Invalid current source specified."},
      {Family::Rix, "watchdog", [](QeloFamily& d) { d.getWatchdogTimeout(); }, RE,
       "Not supported by this device."},
      {Family::Rix, "counter id", [](QeloFamily& d) { d.setCounterEnable(TRG, true); }, IA,
       "Invalid counter id."},
      {Family::Rix, "output frame AO",
       [](QeloFamily& d) {
         int ios[] = {AO(0)};
         d.setupOutputFrame(ios, 1);
       },
       IA, "Invalid out-port id."},
      {Family::Rix, "streaming", [](QeloFamily& d) { d.writeBlocking(nullptr, nullptr, 1); }, LE,
       "Not supported."},
  };
  for (const auto& c : cases) {
    auto r = rig::make(c.family);
    r.model->clearWriteLog();
    expectRefusal(c, *r.dev);
    // A refused call never reaches the device (the refused trigger configuration
    // is the one documented exception: recorded, not written).
    EXPECT_TRUE(r.model->writeLog().empty()) << c.what;
  }
}

// While an acquisition runs, the acquisition check comes before the identifier.
TEST(Families, AcquisitionCheckComesFirst) {
  const char* busy = "Not possible when data acquisition is active.";
  for (Family f : kFamilies) {
    auto r = rig::make(f);
    int ios[] = {AI(0)};
    r.dev->setupInputFrame(ios, 1);
    r.dev->startDataAcquisition(0, 100.0f, 0);
    SCOPED_TRACE(rig::name(f));
    EXPECT_THROW_MSG(r.dev->setAnalogInputParameters(AI(99), RANGE(0), -1), std::logic_error, busy);
    EXPECT_THROW_MSG(r.dev->readAnalogInput(AI(99)), std::logic_error, busy);
    EXPECT_THROW_MSG(r.dev->setTriggerConfig(CNT, TCFG(0)), std::logic_error, busy);
    EXPECT_THROW_MSG(r.dev->setDigitalPortOutputEnableMask(DP(9), 1), std::logic_error, busy);
    int bad[] = {AI(99)};
    EXPECT_THROW_MSG(r.dev->setupInputFrame(bad, 1), std::logic_error, busy);
    EXPECT_THROW_MSG(r.dev->startDataAcquisition(0, 100.0f, 0), std::logic_error, busy);
    if (f == Family::Rix) {
      EXPECT_THROW_MSG(r.dev->setCounterEnable(TRG, true), std::logic_error, busy);
      EXPECT_THROW_MSG(r.dev->setTriggerEnable(CNT, true), std::logic_error, busy);
      float t = 1.0f;
      r.dev->getTemperature(&t);
      EXPECT_EQ(t, 0.0f);
    } else {
      float t = 0.0f;
      EXPECT_THROW_MSG(r.dev->getTemperature(&t), std::logic_error, busy);
    }
    // Ports and the counter stay available.
    EXPECT_NO_THROW(r.dev->readDigitalPort(DP(0)));
    EXPECT_NO_THROW(r.dev->writeDigitalPort(DP(0), 1));
    if (f != Family::Vel) {
      EXPECT_NO_THROW(r.dev->readCounter(CNT));
    }
    r.dev->stopDataAcquisition();
    EXPECT_NO_THROW(r.dev->readAnalogInput(AI(0)));
  }
}

// ---- cached state ------------------------------------------------------------------------

TEST(Families, CacheIsUpdatedBeforeTheDeviceWrite) {
  auto r = rig::make(Family::Ka);
  qsim::Faults gone;
  gone.unplugged = true;
  r.model->setFaults(gone);
  EXPECT_THROW(r.dev->setAnalogInputParameters(AI(3), RANGE(1), 500), std::runtime_error);
  EXPECT_EQ(r.dev->getAnalogInputRange(AI(3)), RANGE(1));
  EXPECT_EQ(r.dev->getAnalogInputInterChannelDelay(AI(3)), 500);
  EXPECT_THROW(r.dev->setTriggerConfig(TRG, TCFG(3)), std::runtime_error);
  EXPECT_EQ(r.dev->getTriggerConfig(TRG), TCFG(3));
}

TEST(Families, RefusedTriggerConfigurationChangesNothing) {
  for (Family f : {Family::Ka, Family::Vel}) {
    auto r = rig::make(f);
    int ids[] = {AI(0)};
    r.dev->setupInputFrame(ids, 1);
    r.dev->setTriggerConfig(TRG, TCFG(1));  // the line drives an output
    const uint32_t code = r.model->triggerConfigCode();
    for (int refused : {TCFG(5), TCFG(2) + 0x100, -1}) {
      r.model->clearWriteLog();
      EXPECT_THROW_MSG(r.dev->setTriggerConfig(TRG, refused), std::out_of_range,
                       "Invalid trigger config id.");
      EXPECT_TRUE(r.model->writeLog().empty()) << rig::name(f);
      EXPECT_EQ(r.model->triggerConfigCode(), code) << rig::name(f);
      EXPECT_EQ(r.dev->getTriggerConfig(TRG), TCFG(1)) << rig::name(f);
      // The line is still an output, so it cannot start an acquisition.
      EXPECT_THROW_MSG(r.dev->startDataAcquisition(1, 100.0f, 0), std::logic_error,
                       "Trigger is set to output, can't use as source.");
      EXPECT_EQ(r.model->acquisitionState(), qsim::AcquisitionState::Idle) << rig::name(f);
    }
  }
}

TEST(Families, InterChannelDelays) {
  auto r = rig::make(Family::Ka);
  const int minimum = r.dev->getMinAnalogInputInterChannelDelay(0x12345678);
  const auto& cfg = r.model->config();
  EXPECT_EQ(minimum, cfg.delayBlock[0]);
  EXPECT_EQ(r.dev->getAnalogInputInterChannelDelay(AI(5)), cfg.delayBlock[1]);
  EXPECT_EQ(r.dev->getDefaultAnalogInputInterChannelDelay(AI(0), RANGE(2)), cfg.delayBlock[3]);

  EXPECT_EQ(r.dev->setAnalogInputParameters(AI(3), RANGE(1), -1), cfg.delayBlock[2]);
  EXPECT_EQ(r.model->channelRange(3), 1);
  EXPECT_EQ(r.model->channelDelay(3), cfg.delayBlock[2]);

  EXPECT_EQ(r.dev->setAnalogInputParameters(DIFF(3), RANGE(2), 0x1234), 0x1234);
  EXPECT_EQ(r.dev->getAnalogInputInterChannelDelay(DIFF(3)), 0x1234);
  EXPECT_EQ(r.model->channelDelay(17), 0x1234);
  EXPECT_EQ(r.model->channelRange(17), 2);

  EXPECT_EQ(r.dev->setAnalogInputParameters(AI(4), RANGE(0), minimum), minimum);
  if (minimum > 0) {
    EXPECT_THROW_MSG(r.dev->setAnalogInputParameters(AI(4), RANGE(3), minimum - 1),
                     std::invalid_argument, "Interchannel delay below minimum value.");
    EXPECT_EQ(r.dev->getAnalogInputRange(AI(4)), RANGE(0));
  }

  // resetPeripherals keeps the cache, resetDevice restores it.
  r.dev->resetPeripherals(1);
  EXPECT_EQ(r.dev->getAnalogInputRange(AI(3)), RANGE(1));
  r.dev->setTriggerConfig(TRG, TCFG(0));
  r.dev->resetDevice();
  EXPECT_EQ(r.dev->getAnalogInputRange(AI(3)), RANGE(0));
  EXPECT_EQ(r.dev->getAnalogInputInterChannelDelay(DIFF(3)), cfg.delayBlock[1]);
  EXPECT_EQ(r.dev->getTriggerConfig(TRG), TCFG(2));
}

// The device's delay register holds 16 bits: a longer delay is set as the
// longest one, and the call returns and caches what the device holds.
TEST(Families, DelaysAboveTheRegisterAreSetAsTheLongest) {
  for (Family f : {Family::Ka, Family::Vel}) {
    auto r = rig::make(f);
    for (int delay : {0xFFFF, 0x10000, 0x12345, std::numeric_limits<int>::max()}) {
      const int returned = r.dev->setAnalogInputParameters(AI(1), RANGE(0), delay);
      const int held = r.model->channelDelay(1);
      EXPECT_EQ(held, std::min(delay, 0xFFFF)) << rig::name(f) << " " << delay;
      EXPECT_EQ(returned, held) << rig::name(f) << " " << delay;
      EXPECT_EQ(r.dev->getAnalogInputInterChannelDelay(AI(1)), held) << rig::name(f);
    }
  }
}

TEST(Families, RixHasNoRangesOrDelays) {
  auto r = rig::make(Family::Rix);
  r.model->clearWriteLog();
  EXPECT_EQ(r.dev->setAnalogInputParameters(AI(2), 0x12345678, -1), -1);
  EXPECT_EQ(r.dev->setAnalogInputParameters(AI(2), RANGE(0), 77), 77);
  r.dev->writeAnalogOutput(AO(0), 1.0f);
  r.dev->setLed(LED, true);
  r.dev->setLed(0, true);
  EXPECT_TRUE(r.model->writeLog().empty());
  EXPECT_EQ(r.dev->getAnalogInputRange(AI(2)), RANGE(0));
  EXPECT_EQ(r.dev->getAnalogInputInterChannelDelay(AI(2)), 0);
  EXPECT_EQ(r.dev->getDefaultAnalogInputInterChannelDelay(AI(1), 0x1234), 0);
  EXPECT_EQ(r.dev->getMinAnalogInputInterChannelDelay(0), 0);
}

// ---- physical truth: analog inputs and outputs -----------------------------------------

double codeOfRange(Family f, int channel, int range) {
  if (f == Family::Rix) return (channel == 4 ? 6.6 : 3.3) / 4095.0;
  const double fullScale[] = {10.0, 1.0, 0.1, 0.01};
  return 2.0 * fullScale[range] / 65535.0;
}

TEST(Families, SingleReadsReturnTheInjectedVoltage) {
  for (Family f : kFamilies) {
    auto probe = rig::make(f, nullptr, false);
    const int se = probe.dev->getDeviceParameter(0);
    const int channels = se + probe.dev->getDeviceParameter(1);
    const int ranges = f == Family::Rix ? 1 : 4;
    for (int range = 0; range < ranges; ++range) {
      const double fs[] = {10.0, 1.0, 0.1, 0.01};
      auto r = rig::make(f, [&](qsim::DeviceConfig& c) {
        for (int i = 0; i < se; ++i) {
          // Bipolar ranges: within +-0.4 of full scale, so pairs stay in range too.
          const double v = f == Family::Rix ? (i == 4 ? 1.0 + 0.7 * i : 0.3 + 0.55 * i)
                                            : fs[range] * 0.4 * std::sin(1.3 * i + 0.5);
          c.signals[static_cast<size_t>(i)] = qsim::Signal::dc(v);
        }
      });
      for (int c = 0; c < channels; ++c) {
        const int id = c < se ? AI(c) : DIFF(c - se);
        if (f != Family::Rix) r.dev->setAnalogInputParameters(id, RANGE(range), -1);
        const float got = r.dev->readAnalogInput(id);
        const double truth = r.model->inputVoltage(c, r.model->nowNs());
        EXPECT_NEAR(got, truth, 1.01 * codeOfRange(f, c, range))
            << rig::name(f) << " channel " << c << " range " << range;
      }
    }
  }
}

TEST(Families, AnalogOutputsDriveTheDacVoltage) {
  for (Family f : {Family::Ka, Family::Vel}) {
    auto r = rig::make(f);
    const int outputs = r.dev->getDeviceParameter(2);
    for (int o = 0; o < outputs; ++o) {
      for (float v : {-9.9f, -5.0f, -0.3f, 0.0f, 2.5f, 7.77f, 9.9f}) {
        r.dev->writeAnalogOutput(AO(o), v);
        EXPECT_NEAR(r.model->dacVoltage(o), v, 20.0 / 4095.0) << rig::name(f) << " AO-" << o;
      }
      r.dev->writeAnalogOutput(AO(o), 50.0f);
      EXPECT_EQ(r.model->dacCode(o), 4095);
      r.dev->writeAnalogOutput(AO(o), std::nanf(""));
      EXPECT_EQ(r.model->dacCode(o), 0);
    }
  }
}

// An output whose record runs backwards (positive code below the zero code):
// an infinity drives the output to the end its sign names, as its finite
// neighbours do.
TEST(Families, InfinitiesDriveAReversedOutputToTheEndOfTheirSign) {
  for (Family f : {Family::Ka, Family::Vel}) {
    auto r = rig::make(f, [](qsim::DeviceConfig& c) {
      c.outputRecords[0] = qsim::CodeRecord{100, 2047, 4000, 0xFFFF};
    });
    const float inf = std::numeric_limits<float>::infinity();
    for (float sign : {1.0f, -1.0f}) {
      r.dev->writeAnalogOutput(AO(0), sign * 1e30f);
      const uint16_t neighbour = r.model->dacCode(0);
      r.dev->writeAnalogOutput(AO(0), sign * inf);
      EXPECT_EQ(r.model->dacCode(0), neighbour) << rig::name(f) << " sign " << sign;
      EXPECT_GT(sign * r.model->dacVoltage(0), 9.9) << rig::name(f) << " sign " << sign;
    }
  }
}

TEST(Families, ErasedCalibrationGivesDefaultCalibrators) {
  auto r = rig::make(Family::Ka, [](qsim::DeviceConfig& c) {
    c.faults.erasedCalibration = true;
    c.signals[0] = qsim::Signal::dc(-5.0);
  });
  EXPECT_FLOAT_EQ(r.dev->getReferenceCurrent(CUR(0)), 4294967.295f);
  EXPECT_FLOAT_EQ(r.dev->getReferenceCurrent(CUR(1)), 4294967.295f);
  // The converter itself is not nominal: the library now reports the nominal
  // conversion of whatever code the device produces.
  const int raw = r.model->rawCode(0, r.model->nowNs());
  const double nominal =
      raw < 0x8000 ? -10.0 * (0x8000 - raw) / 32768.0 : 10.0 * (raw - 0x8000) / 32767.0;
  EXPECT_NEAR(r.dev->readAnalogInput(AI(0)), nominal, 1e-5);
  EXPECT_NEAR(nominal, -5.0, 0.01);
  r.dev->writeAnalogOutput(AO(1), 0.0f);
  EXPECT_EQ(r.model->dacCode(1), 2047);

  auto rix = rig::make(Family::Rix, [](qsim::DeviceConfig& c) {
    c.faults.erasedCalibration = true;
    c.signals[1] = qsim::Signal::dc(1.5);
  });
  const int rawRix = rix.model->rawCode(1, rix.model->nowNs());
  EXPECT_NEAR(rix.dev->readAnalogInput(AI(1)), rawRix * 3.3 / 4095, 1e-5);
  EXPECT_NEAR(rawRix * 3.3 / 4095, 1.5, 0.01);
}

TEST(Families, ReferenceCurrentsFromTheCalibrationBlock) {
  auto r = rig::make(Family::Ka);
  const auto cfg = r.model->config();
  EXPECT_FLOAT_EQ(r.dev->getReferenceCurrent(CUR(0)),
                  static_cast<float>(cfg.referenceCurrents[0] / 1000.0));
  EXPECT_FLOAT_EQ(r.dev->getReferenceCurrent(CUR(1)),
                  static_cast<float>(cfg.referenceCurrents[1] / 1000.0));
}

// ---- physical truth: ports, counter, temperature, LED ---------------------------------

TEST(Families, DigitalLoopbackRoundTrips) {
  for (Family f : {Family::Ka, Family::Vel}) {
    auto r = rig::make(f, [](qsim::DeviceConfig& c) { c.loopbacks = {{0, 1}}; });
    r.dev->setDigitalPortOutputEnableMask(DP(0), 0x1FF);
    EXPECT_EQ(r.model->portOutputEnable(0), 0xFF);
    r.dev->setDigitalPortOutputEnableMask(DP(1), 0);
    for (int value : {0x5A, 0xA5, 0x100, 0x1FF}) {
      r.dev->writeDigitalPort(DP(0), value);
      EXPECT_EQ(r.model->portLatch(0), value & 0xFF);
      EXPECT_EQ(r.dev->readDigitalPort(DP(1)), value & 0xFF) << rig::name(f);
      EXPECT_EQ(r.dev->readDigitalPort(DP(0)), value & 0xFF);
    }
  }
  auto rix = rig::make(Family::Rix);
  rix.model->setPortInput(0, 0x5);
  EXPECT_EQ(rix.dev->readDigitalPort(DP(0)), rix.model->portPins(0));
}

TEST(Families, CounterReadsWhatTheDeviceCounted) {
  for (Family f : {Family::Ka, Family::Rix}) {
    auto r = rig::make(f);
    r.dev->resetCounter(CNT);
    r.dev->setCounterEnable(CNT, true);
    EXPECT_TRUE(r.dev->getCounterEnable(CNT));
    r.advanceMs(250);
    const long long counted = r.dev->readCounter(CNT);
    EXPECT_EQ(counted, static_cast<long long>(r.model->counterValue())) << rig::name(f);
    EXPECT_NEAR(static_cast<double>(counted), 250.0, 2.0);
    r.dev->resetCounter(CNT);
    EXPECT_EQ(r.dev->readCounter(CNT), static_cast<long long>(r.model->counterValue()));
    EXPECT_LT(r.dev->readCounter(CNT), 2);
  }
}

TEST(Families, KaCounterAndVelCounterRegisters) {
  auto r = rig::make(Family::Ka);
  r.model->clearWriteLog();
  r.dev->setCounterEnable(CNT, true);
  r.dev->resetCounter(CNT);
  auto w = writesTo(*r.model, 0xC4);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(registerValue(w[0]), 1u);
  EXPECT_EQ(registerValue(w[1]), 255u);

  auto vel = rig::make(Family::Vel);
  vel.model->clearWriteLog();
  vel.dev->setCounterEnable(0x12345, true);
  EXPECT_FALSE(vel.dev->getCounterEnable(CNT));
  EXPECT_TRUE(vel.dev->getTriggerEnable(CNT));
  EXPECT_TRUE(vel.model->writeLog().empty());
}

TEST(Families, TriggerConfigurationCodes) {
  const unsigned kaCodes[] = {9, 1, 2, 4, 6};
  for (Family f : {Family::Ka, Family::Vel}) {
    auto r = rig::make(f);
    for (int k = 0; k < 5; ++k) {
      r.dev->setTriggerConfig(TRG, TCFG(k));
      EXPECT_EQ(r.model->triggerConfigCode(), kaCodes[k]);
      EXPECT_EQ(r.dev->getTriggerConfig(TRG), TCFG(k));
    }
  }
  const unsigned rixCodes[] = {0x19, 0x09, 0x03, 0x05, 0x07};
  auto r = rig::make(Family::Rix);
  r.model->clearWriteLog();
  r.dev->setTriggerConfig(TRG, TCFG(0));
  EXPECT_TRUE(writesTo(*r.model, 0x4C).empty());
  r.dev->setTriggerEnable(TRG, true);
  EXPECT_EQ(r.model->triggerConfigCode(), 0x19u);
  for (int k = 1; k < 5; ++k) {
    r.dev->setTriggerConfig(TRG, TCFG(k));
    EXPECT_EQ(r.model->triggerConfigCode(), rixCodes[k]);
  }
  r.dev->setTriggerEnable(TRG, false);
  EXPECT_EQ(r.model->triggerConfigCode(), 0u);
  EXPECT_FALSE(r.dev->getTriggerEnable(TRG));
}

TEST(Families, RixCounterPassesThroughOffAndExcludesTheTrigger) {
  auto r = rig::make(Family::Rix);
  r.model->clearWriteLog();
  r.dev->setCounterConfig(CNT, CCFG(1));
  EXPECT_TRUE(writesTo(*r.model, 0xC0).empty());
  r.dev->setCounterEnable(CNT, true);
  auto w = writesTo(*r.model, 0xC0);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(registerValue(w[0]), 0u);
  EXPECT_EQ(registerValue(w[1]), 5u);
  EXPECT_TRUE(r.model->counterRunning());
  EXPECT_EQ(r.dev->getCounterConfig(CNT), CCFG(1));

  EXPECT_THROW_MSG(r.dev->setTriggerEnable(TRG, true), std::logic_error,
                   "Either trigger or counter can be enabled.");
  EXPECT_FALSE(r.dev->getTriggerEnable(TRG));
  r.dev->setTriggerEnable(TRG, false);  // disabling is always allowed
  r.dev->setCounterEnable(CNT, false);
  r.dev->setTriggerEnable(TRG, true);
  EXPECT_THROW_MSG(r.dev->setCounterEnable(CNT, true), std::logic_error,
                   "Either counter or trigger can be enabled.");
  EXPECT_FALSE(r.dev->getCounterEnable(CNT));

  r.model->clearWriteLog();
  r.dev->resetCounter(CNT);
  w = writesTo(*r.model, 0xC0);
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(registerValue(w[0]), 8u);
}

// A configuration id outside the tables would leave the Rix's counter
// counting nothing, or its trigger listening to nothing (a start on the
// trigger then waits for ever): refused, and the device keeps working.
TEST(Families, RixRefusesConfigurationsThatWouldSilenceCounterOrTrigger) {
  auto r = rig::make(Family::Rix);
  r.dev->setCounterConfig(CNT, CCFG(2));
  r.dev->setCounterEnable(CNT, true);
  for (int bad : {CCFG(3), 0x7A501AFF, 0x12345678}) {
    EXPECT_THROW_MSG(r.dev->setCounterConfig(CNT, bad), std::out_of_range,
                     "Invalid counter config id.");
  }
  EXPECT_EQ(r.dev->getCounterConfig(CNT), CCFG(2));
  const uint32_t before = r.model->counterValue();
  r.advanceMs(100);
  EXPECT_TRUE(r.model->counterRunning());
  EXPECT_GT(r.dev->readCounter(CNT), before) << "the counter still counts";
  r.dev->setCounterEnable(CNT, false);

  r.dev->setTriggerEnable(TRG, true);
  r.dev->setTriggerConfig(TRG, TCFG(4));
  for (int bad : {TCFG(5), 0x7A5019FF, 0x12345678}) {
    EXPECT_THROW_MSG(r.dev->setTriggerConfig(TRG, bad), std::out_of_range,
                     "Invalid trigger config id.");
  }
  EXPECT_EQ(r.dev->getTriggerConfig(TRG), TCFG(4));
  EXPECT_EQ(r.model->triggerConfigCode(), 0x07u);
  r.dev->setTriggerEnable(TRG, false);
  EXPECT_THROW_MSG(r.dev->setTriggerConfig(TRG, 0x7A5019FF), std::out_of_range,
                   "Invalid trigger config id.");
  r.dev->setTriggerEnable(TRG, true);
  EXPECT_EQ(r.model->triggerConfigCode(), 0x07u);

  // A start on the trigger still starts on the next edge.
  int ios[] = {AI(0)};
  r.dev->setupInputFrame(ios, 1);
  r.dev->startDataAcquisition(1, 1000.0f, 0);
  r.model->pulseTrigger();
  r.advanceMs(5.5);
  rig::Records rec(*r.dev, 1024);
  EXPECT_EQ(r.dev->readNonBlocking(rec.v.data(), rec.p.data(), -1), 5);
}

TEST(Families, TemperatureDecodesSignAndMagnitude) {
  for (Family f : {Family::Ka, Family::Vel}) {
    auto r = rig::make(f);
    for (double t : {25.0, -25.0, 36.6, -0.5, 0.0}) {
      r.model->setTemperature(t);
      float got = 99.0f;
      r.dev->getTemperature(&got);
      EXPECT_NEAR(got, t, 1.0 / 128) << rig::name(f);
    }
  }
}

TEST(Families, LedAndWatchdog) {
  auto r = rig::make(Family::Ka);
  r.dev->setLed(LED, true);
  EXPECT_TRUE(r.model->led());
  r.dev->setLed(LED, false);
  EXPECT_FALSE(r.model->led());
  r.dev->setWatchdogTimeout(40);
  EXPECT_EQ(r.model->watchdog(), 40u);
  EXPECT_EQ(r.dev->getWatchdogTimeout(), 40u);

  auto old = rig::make(Family::Ka, [](qsim::DeviceConfig& c) { c.firmware = 0x103; });
  EXPECT_EQ(old.dev->getFirmwareVersion(), 0x103u);
  EXPECT_THROW_MSG(old.dev->setWatchdogTimeout(4), std::runtime_error,
                   "Not supported by this firmware version.");
  EXPECT_THROW_MSG(old.dev->getWatchdogTimeout(), std::runtime_error,
                   "Not supported by this firmware version.");
}

// ---- open() against the emulator's fault settings ---------------------------------------

TEST(Families, VersionWordBit31SkipsTheDelayBlock) {
  auto r = rig::make(Family::Ka, [](qsim::DeviceConfig& c) { c.faults.noDelayBlock = true; });
  EXPECT_EQ(r.dev->getFirmwareVersion(), 0x104u);
  EXPECT_EQ(r.dev->getMinAnalogInputInterChannelDelay(0), 0);
  EXPECT_EQ(r.dev->getAnalogInputInterChannelDelay(AI(0)), 0);
}

std::vector<char> serialOf(QeloFamily& dev) {
  std::vector<char> buffer(1100, '#');
  dev.getSerialNumber(buffer.data());
  return buffer;
}

TEST(Families, SerialNumbers) {
  const std::pair<Family, const char*> prefixes[] = {
      {Family::Ka, "QeloKa@"}, {Family::Vel, "QeloVel@"}, {Family::Rix, "QeloPilex@"}};
  for (const auto& p : prefixes) {
    auto r = rig::make(p.first, [](qsim::DeviceConfig& c) { c.serial = "SN-0042"; });
    auto buffer = serialOf(*r.dev);
    EXPECT_STREQ(buffer.data(), (std::string(p.second) + "SN-0042").c_str());
    EXPECT_EQ(buffer[1023], 0);
    EXPECT_EQ(buffer[1024], '#');  // exactly 1024 bytes written

    auto erased =
        rig::make(p.first, [](qsim::DeviceConfig& c) { c.faults.serialUnconfigured = true; });
    EXPECT_STREQ(serialOf(*erased.dev).data(), (std::string(p.second) + "<UNCONFIGURED>").c_str());
  }
  auto empty = rig::make(Family::Ka, [](qsim::DeviceConfig& c) { c.serial = ""; });
  EXPECT_STREQ(serialOf(*empty.dev).data(), "QeloKa@");
}

TEST(Families, LongSerialIsTruncatedToFitTheBuffer) {
  auto r = rig::make(Family::Ka, [](qsim::DeviceConfig& c) { c.serial = std::string(3000, 'x'); });
  auto buffer = serialOf(*r.dev);
  EXPECT_EQ(std::strlen(buffer.data()), 1023u);
  EXPECT_EQ(std::string(buffer.data(), 7), "QeloKa@");
  EXPECT_EQ(buffer[1022], 'x');
  EXPECT_EQ(buffer[1023], 0);
  EXPECT_EQ(buffer[1024], '#');
}

TEST(Families, OpenAgainRebuildsAndCloseKeepsTheObject) {
  auto r = rig::make(Family::Vel);
  r.dev->setAnalogInputParameters(AI(1), RANGE(3), -1);
  r.dev->close();
  EXPECT_FALSE(r.raw->isOpen());
  EXPECT_EQ(r.dev->getIdentifier(), "USB:1-0-3");
  r.dev->open();
  EXPECT_TRUE(r.raw->isOpen());
  EXPECT_EQ(r.dev->getAnalogInputRange(AI(1)), RANGE(0));
}

TEST(Families, RawPassThroughs) {
  auto r = rig::make(Family::Ka);
  r.dev->writeRegister(0xC8, 1);
  EXPECT_TRUE(r.model->led());
  unsigned value = 0;
  r.dev->readRegister(0x100, &value);
  EXPECT_EQ(value, r.model->watchdog());
  unsigned char level = 0x3C;
  r.dev->writeBlock(0x10, &level, 1);
  EXPECT_EQ(r.model->portOutputEnable(0), 0x3C);
  r.dev->writeRegister(0x10, 0);  // the block write reached the same register
  EXPECT_EQ(r.model->portOutputEnable(0), 0);
  r.dev->writeBlock(0x14, &level, 1);
  unsigned char back = 0;
  r.dev->readBlock(0x14, &back, 1);
  EXPECT_EQ(back, r.model->portPins(0));
}

// ---- frame-rate conversions of the device interface -------------------------------------

TEST(FrameRate, ConversionsBetweenRateAndPeriod) {
  QeloKa1x dev(nullptr, "none");  // the conversions never touch the device
  EXPECT_EQ(dev.calculatePeriodTimeFromFrameRate(1000.0f), 1000000);
  EXPECT_EQ(dev.calculatePeriodTimeFromFrameRate(3.0f), 333333333);
  EXPECT_EQ(dev.calculatePeriodTimeFromFrameRate(1.0f), 1000000000);
  EXPECT_EQ(dev.calculatePeriodTimeFromFrameRate(1e9f), 1);
  EXPECT_EQ(dev.calculateFrameRateFromPeriodTime(30000), 33333.33203125f);
  EXPECT_EQ(dev.calculateFrameRateFromPeriodTime(1000000), 1000.0f);
  EXPECT_THROW_MSG(dev.calculatePeriodTimeFromFrameRate(0.5f), std::invalid_argument,
                   "Frame rate must be >= 1.");
  EXPECT_THROW_MSG(dev.calculatePeriodTimeFromFrameRate(std::nanf("")), std::invalid_argument,
                   "Frame rate must be >= 1.");
  EXPECT_THROW(dev.calculatePeriodTimeFromFrameRate(std::numeric_limits<float>::infinity()),
               std::invalid_argument);
  EXPECT_THROW(dev.calculatePeriodTimeFromFrameRate(2.5e9f), std::invalid_argument);
  EXPECT_THROW_MSG(dev.calculateFrameRateFromPeriodTime(0), std::invalid_argument,
                   "Period time must be >= 1.");
  EXPECT_THROW_MSG(dev.calculateFrameRateFromPeriodTime(-2), std::invalid_argument,
                   "Period time must be >= 1.");
}

}  // namespace
