// Address dispatch of read and write requests, and the peripheral reset.
#include "register_map.h"

#include <algorithm>
#include <cstring>

#include "registers.h"

namespace qsim {

void RegisterMap::resetPeripherals(uint32_t mask, int64_t now) {
  p_.io.reset(mask, now);
  p_.acq.reset(mask, now);
  if (mask & kResetTrigger) p_.trigger.reset(now);
  if (mask & kResetFrontEnd) p_.front.reset();
}

bool RegisterMap::readRegister(uint32_t addr, uint32_t& v) const {
  const Layout& lay = p_.lay;
  switch (addr) {
    case kVersion:
      v = p_.memories.versionWord();
      return true;
    case kCalibrationPointer:
      v = p_.memories.calibrationBase();
      return true;
    case kInputStatus:
      v = p_.acq.inputStatus();
      return true;
    case kInputCapacity:
      v = static_cast<uint32_t>(p_.acq.input.capacity());
      return true;
    case kOutputStatus:
      if (!lay.outputBuffer) return false;
      v = p_.acq.outputStatus();
      return true;
    case kFramePeriod:
      v = static_cast<uint32_t>(p_.acq.periodReg);
      return true;
    case kFrameCount:
      v = p_.acq.frameCountReg;
      return true;
    case kCounterValue:
      if (!lay.counter) return false;
      v = p_.io.counterAt(p_.clock.nowNs());
      return true;
    case kLed:
      if (!lay.led) return false;
      v = p_.io.ledOn ? 1 : 0;
      return true;
    case kWatchdog:
      if (!lay.watchdog) return false;
      v = p_.io.watchdogReg;
      return true;
    case kTriggerConfig:
      v = p_.trigger.code();
      return true;
    default:
      return false;
  }
}

void RegisterMap::read(uint32_t addr, uint32_t count, bool increment, int64_t now, uint8_t* out) {
  const DeviceConfig& cfg = p_.cfg;
  const Layout& lay = p_.lay;
  uint32_t reg = 0;
  uint8_t byte = 0;
  if (readRegister(addr, reg)) {
    uint8_t word[4];
    put32(word, reg);
    std::memcpy(out, word, std::min<size_t>(4, count));
  } else if (p_.memories.byteAt(addr, byte)) {
    for (uint32_t i = 0; i < count; ++i) {
      if (!p_.memories.byteAt(increment ? addr + i : addr, byte)) byte = 0;
      out[i] = byte;
    }
  } else if (addr == kInputBuffer) {
    p_.acq.popInput(out, count);
  } else if (addr == kConversion) {
    p_.acq.convert(now, out, count);
  } else if (addr >= kPortLevels && addr < kPortLevels + static_cast<uint32_t>(lay.ports)) {
    out[0] = p_.io.pins(static_cast<int>(addr - kPortLevels));
  } else if (addr == kDelayBlock && cfg.family != Family::Rix && !cfg.faults.noDelayBlock) {
    uint8_t block[10];
    for (size_t i = 0; i < 5; ++i) put16(block + 2 * i, cfg.delayBlock[i]);
    std::memcpy(out, block, std::min<size_t>(10, count));
  } else if (addr == kTemperature && lay.temperature) {
    uint8_t word[2];
    put16(word, p_.io.temperatureWord());
    std::memcpy(out, word, std::min<size_t>(2, count));
  }
  // Any other address reads zeros.
}

void RegisterMap::write(uint32_t addr, bool increment, const uint8_t* data, uint32_t count,
                        int64_t now) {
  p_.diag.logWrite(addr, increment, data, count);
  if (count == 0) return;
  const DeviceConfig& cfg = p_.cfg;
  const Layout& lay = p_.lay;
  AnalogFrontEnd& front = p_.front;
  Peripherals& io = p_.io;
  Acquisition& acq = p_.acq;
  uint32_t v = 0;
  for (uint32_t i = 0; i < std::min<uint32_t>(4, count); ++i) v |= uint32_t{data[i]} << (8 * i);
  const auto u16 = [&](uint32_t at) {
    return static_cast<uint16_t>(data[at] | (at + 1 < count ? data[at + 1] << 8 : 0));
  };
  const uint32_t portCount = static_cast<uint32_t>(lay.ports);
  if (addr == kPeripheralReset) {
    resetPeripherals(v, now);
  } else if (addr >= kOutputEnable && addr < kOutputEnable + portCount) {
    io.oe[addr - kOutputEnable] = data[0];
  } else if (addr >= kPortLevels && addr < kPortLevels + portCount) {
    io.latch[addr - kPortLevels] = data[0];
  } else if (addr == kInputSequence) {
    acq.inMask.assign(data, data + std::min<uint32_t>(count, 256));
  } else if (addr == kOutputMask) {
    acq.outMask.assign(data, data + std::min<uint32_t>(count, 256));
  } else if (addr == kOutputFrame) {
    io.applyOutputFrame(acq.outMask, data, count);
  } else if (addr == kChannelRange && lay.ranges && count >= 2) {
    if (data[0] < lay.channels() && data[1] < 4) {
      front.range[data[0]] = data[1];
    } else {
      p_.diag.fault("range setting for a channel or range that does not exist");
    }
  } else if (addr == kChannelDelay && lay.ranges && count >= 3) {
    if (data[0] < lay.channels()) {
      front.delay[data[0]] = data[1] | data[2] << 8;
    } else {
      p_.diag.fault("delay setting for a channel that does not exist");
    }
  } else if ((addr == kDac0 || addr == kDac1) && (addr - kDac0) / 4 < uint32_t(lay.dacs)) {
    io.dac[(addr - kDac0) / 4] = u16(0) & 0x0FFF;
  } else if (addr == kTriggerConfig) {
    p_.trigger.setCode(v, now);
  } else if (addr == kFramePeriod) {
    acq.setPeriod(static_cast<int32_t>(v));
  } else if (addr == kFrameCount) {
    acq.frameCountReg = v;
  } else if (addr == kAcqControl) {
    acq.control(v, now);
  } else if (addr == kCounterControl && cfg.family == Family::Ka) {
    if (!io.counterControl(v == 1, v == 0, v == 255, now)) {
      p_.diag.fault("unknown counter control value");
    }
  } else if (addr == kCounterValue && cfg.family == Family::Rix) {
    if (!io.counterControl(v == 3 || v == 5 || v == 7, v == 0, v == 8, now)) {
      p_.diag.fault("unknown counter control value");
    }
  } else if (addr == kLed && lay.led) {
    io.ledOn = v != 0;
  } else if (addr == kWatchdog && lay.watchdog) {
    io.watchdogReg = v;
  } else if (addr == kOutputBuffer && lay.outputBuffer) {
    acq.queueOutput(data, count);
  }
  // Anything else is recorded and ignored.
}

}  // namespace qsim
