// Ports, analog outputs, counter, LED, watchdog and temperature.
#include "peripherals.h"

#include <algorithm>
#include <cmath>

#include "registers.h"

namespace qsim {

uint8_t Peripherals::externalOf(int p) const {
  uint8_t ext = cfg_.portInputs[static_cast<size_t>(p)];
  for (const Loopback& l : cfg_.loopbacks) {
    if (l.to != p) continue;
    const uint8_t driven = oe[static_cast<size_t>(l.from)];
    ext = static_cast<uint8_t>((latch[static_cast<size_t>(l.from)] & driven) | (ext & ~driven));
  }
  return ext;
}

uint8_t Peripherals::pins(int p) const {
  if (p < 0 || p >= lay_.ports) return 0;
  const size_t i = static_cast<size_t>(p);
  const uint8_t level = static_cast<uint8_t>((latch[i] & oe[i]) | (externalOf(p) & ~oe[i]));
  return static_cast<uint8_t>(level & lay_.portWidth[i]);
}

uint32_t Peripherals::counterAt(int64_t t) const {
  if (!counterOn || t <= counterSince) return counterBase;
  const double events =
      std::floor(static_cast<double>(t - counterSince) * cfg_.counterRateHz / 1e9);
  return counterBase + static_cast<uint32_t>(static_cast<uint64_t>(events));
}

void Peripherals::foldCounter(int64_t now) {
  counterBase = counterAt(now);
  counterSince = now;
}

bool Peripherals::counterControl(bool on, bool off, bool reset, int64_t now) {
  if (!on && !off && !reset) return false;
  foldCounter(now);
  if (reset) counterBase = 0;
  if (on) counterOn = true;
  if (off) counterOn = false;
  return true;
}

uint16_t Peripherals::dacZero(int out) const {
  const CodeRecord& rec = cfg_.outputRecords[static_cast<size_t>(out)];
  return erased(rec) ? 2047 : rec.zero;
}

double Peripherals::dacVolts(int out) const {
  CodeRecord rec = cfg_.outputRecords[static_cast<size_t>(out)];
  if (erased(rec)) rec = {4095, 2047, 0, 0xFFFF};
  const double code = dac[static_cast<size_t>(out)];
  if (code >= rec.zero) {
    return rec.positive == rec.zero ? 0.0 : (code - rec.zero) * 10.0 / (rec.positive - rec.zero);
  }
  return rec.zero == rec.negative ? 0.0 : -(rec.zero - code) * 10.0 / (rec.zero - rec.negative);
}

void Peripherals::applyOutputFrame(const std::vector<uint8_t>& mask, const uint8_t* frame,
                                   size_t bytes) {
  for (size_t i = 0; i < mask.size() && 2 * i + 1 < bytes; ++i) {
    const uint8_t code = mask[i];
    const uint16_t word = static_cast<uint16_t>(frame[2 * i] | frame[2 * i + 1] << 8);
    const int idx = code & 0x7F;
    if ((code & 0x80) == 0) {
      if (idx < lay_.dacs) dac[static_cast<size_t>(idx)] = word & 0x0FFF;
    } else if (idx < lay_.ports) {
      latch[static_cast<size_t>(idx)] = static_cast<uint8_t>(word);
    }
  }
  ++outApplied;
}

uint16_t Peripherals::temperatureWord() const {
  const double mag = std::min(std::fabs(cfg_.temperatureC) * 128.0, 32767.0);
  uint16_t t = static_cast<uint16_t>(std::lround(mag));
  if (cfg_.temperatureC < 0) t |= 0x8000;
  return t;
}

void Peripherals::reset(uint32_t mask, int64_t now) {
  if (mask & kResetPorts) {
    oe.fill(0);
    latch.fill(0);
  }
  if (mask & kResetDacs) {
    for (int i = 0; i < lay_.dacs; ++i) dac[static_cast<size_t>(i)] = dacZero(i);
  }
  if (mask & kResetLed) ledOn = false;
  if (mask & kResetCounter) {
    counterOn = false;
    counterBase = 0;
    counterSince = now;
  }
  if (mask & kResetWatchdog) watchdogReg = 0;
}

}  // namespace qsim
