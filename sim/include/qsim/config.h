// Configuration of one emulated device: identity, calibration memory, the
// signals on its inputs, buffer sizes and the faults it starts with.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace qsim {

enum class Family { Ka, Vel, Rix };

// Lower-case name used in JSON and messages: "ka", "vel", "rix".
const char* familyName(Family family);
Family familyFromName(const std::string& name);  // throws std::invalid_argument

// A waveform on one single-ended analog input, evaluated at the sample time t
// (seconds since its timeline started, qsim/timeline.h; a model made without
// one has a timeline of its own that starts at its creation):
//   Dc:    offset
//   Sine:  offset + amplitude * sin(2 pi frequency t + phase)        (phase in radians)
//   Ramp:  offset + amplitude * (2 frac(frequency t + phase / 2pi) - 1), a sawtooth
//          from offset - amplitude to offset + amplitude
//   Noise: offset + amplitude * u, u uniform in [-1, 1), a pure function of (seed, t in ns)
struct Signal {
  enum class Kind { Dc, Sine, Ramp, Noise };
  Kind kind = Kind::Dc;
  double amplitude = 0.0;
  double frequency = 0.0;
  double offset = 0.0;
  double phase = 0.0;
  uint32_t seed = 1;

  static Signal dc(double volts);
  static Signal sine(double amplitude, double frequency, double offset = 0.0, double phase = 0.0);
  static Signal ramp(double amplitude, double frequency, double offset = 0.0);
  static Signal noise(double amplitude, uint32_t seed, double offset = 0.0);
  double valueAt(int64_t tNs) const;
};

// Dual-point record of one channel and range, and output record of one DAC:
// codes at +full scale, 0 V, -full scale (8 bytes in memory, last u16 reserved).
struct CodeRecord {
  uint16_t positive = 0xFFFF;
  uint16_t zero = 0xFFFF;
  uint16_t negative = 0xFFFF;
  uint16_t reserved = 0xFFFF;
};

// Rix simple record: raw code of 0 V and gain with 28 fraction bits.
struct SimpleRecord {
  uint32_t offset = 0xFFFFFFFF;
  uint32_t gain = 0xFFFFFFFF;
};

// Port `to` sees the driven outputs of port `from` on its input pins.
struct Loopback {
  int from = 0;
  int to = 0;
};

// Pulses on the trigger input that come by themselves, for demos and
// benchmarks: rising edges at start + k / frequencyHz (k = 1, 2, ...), each
// high for widthNs (0: half the period), `count` of them (0: no end). Start is
// the creation of the model, or the moment the source is switched on.
struct TriggerSource {
  double frequencyHz = 0.0;  // 0 < frequencyHz <= 1 MHz
  int64_t widthNs = 0;
  uint64_t count = 0;
  int64_t periodNs() const;  // 1e9 / frequencyHz, rounded
  int64_t highNs() const;    // widthNs, or half the period
};

// Single-ended input `to` is wired to analog output `from`: it reads the
// output's voltage (through the output record) instead of its signal.
struct AnalogLoopback {
  int from = 0;
  int to = 0;
};

// Faults that can be switched while the model runs (DeviceModel::setFaults).
struct Faults {
  bool stall = false;               // requests are swallowed, no reply: the host times out
  bool shortIn = false;             // every IN transfer delivers half a reply
  bool unplugged = false;           // every transfer fails as for a vanished device
  bool garbage = false;             // read replies are random bytes of the right length
  bool forceOverflow = false;       // input status reports overflow (bit 31)
  bool interfaceHeld = false;       // another program holds interface 0
  bool firmwareMajor2 = false;      // version word reports firmware 2.x
  bool erasedCalibration = false;   // calibration memory reads all 0xFF
  bool noDelayBlock = false;        // version word bit 31 set, delay block absent
  bool serialUnconfigured = false;  // serial length word 0xFFFF (erased)
  // A reply is withheld from the first IN transfer that asks for it (the host
  // times out) and waits for the next one, as from a device that answers late.
  bool lateReply = false;
  // Switching it on (or starting with it) queues the reply to a read of the
  // input capacity that no host asked for, as a program leaves it that ended
  // between a request and its reply. The queue survives hosts; a replug
  // clears it.
  bool staleReply = false;
  // A start keeps the frames an earlier acquisition left in the input buffer
  // (only the peripheral reset and reading empty it).
  bool keepInputBuffer = false;
  std::optional<uint32_t> inputStatusOverride;  // register 0x08 reads this value verbatim
};

// Bound of DeviceConfig::clockPpm either way: a poor crystal, not a broken one.
constexpr double kMaxClockPpm = 1000.0;

struct DeviceConfig {
  Family family = Family::Ka;
  uint16_t vendorId = 0x1209;
  uint16_t productId = 0x3201;               // follows the family in defaultConfig()
  std::string serial;                        // text of the serial block
  uint16_t firmware = 0x0104;                // bits 8..23 of the version word (major.minor)
  uint32_t calibrationAddress = 0x08004000;  // Ka/Vel: register 0xF0000030; Rix: fixed 0x08004400
  std::array<uint16_t, 5> delayBlock{};      // min delay, defaults of ranges 0..3 (Ka/Vel)
  std::vector<CodeRecord> outputRecords;     // Ka 2, Vel 1, Rix 0
  std::vector<CodeRecord> inputRecords;      // Ka 21 x 4, Vel 9 x 4 (channel * 4 + range)
  std::vector<SimpleRecord> simpleRecords;   // Rix 6
  std::array<uint32_t, 2> referenceCurrents{};  // Ka, thousandths of a microampere
  std::vector<Signal> signals;                  // one per single-ended input (Ka 14, Vel 6, Rix 6)
  std::vector<uint8_t> portInputs;              // external levels on each port's pins
  std::vector<Loopback> loopbacks;
  std::vector<AnalogLoopback> analogLoopbacks;
  uint32_t inputCapacity = 65536;    // register 0x09, bytes
  uint32_t outputCapacity = 8192;    // Vel output buffer, bytes
  double counterRateHz = 1000.0;     // events per second while the counter is enabled
  int64_t minFramePeriodNs = 10000;  // shorter periods read back -2
  int64_t timerResolutionNs = 1;     // accepted periods are rounded to multiples of this
  // Timebase error of the device's crystal in parts per million (|ppm| <=
  // 1000, applied to 0.001 ppm): a fast clock (> 0) runs its frame timer
  // fast, so it takes frame k at start + (k + 1) period / (1 + ppm 1e-6) of
  // the timeline, earlier than a device with 0.
  double clockPpm = 0.0;
  double temperatureC = 25.0;
  std::optional<TriggerSource> triggerSource;  // none: the trigger input idles low
  Faults faults;
};

// Realistic device of the family: non-erased calibration, a serial number,
// firmware 1.4, a distinct waveform on every input (see sim/README.md).
DeviceConfig defaultConfig(Family family);

// Throws std::invalid_argument when the config does not fit its family.
void validateConfig(const DeviceConfig& config);
// Throws std::invalid_argument for a source out of its bounds.
void validateTriggerSource(const TriggerSource& source);

// JSON form documented in sim/README.md. Missing keys take the family's
// defaults; unknown keys and wrong types throw std::invalid_argument.
DeviceConfig configFromJson(const nlohmann::json& json);
nlohmann::json configToJson(const DeviceConfig& config);

// One entry of "signals": {"kind": "sine", "amplitude": 1.5, ...}; missing
// keys are 0 (seed 1). Throws std::invalid_argument for unknown keys, kinds
// and wrong types. signalToJson writes every key.
Signal signalFromJson(const nlohmann::json& json);
nlohmann::json signalToJson(const Signal& signal);

}  // namespace qsim
