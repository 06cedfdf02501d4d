// Family layouts, default device configurations and the device JSON.
#include "qsim/config.h"

#include <qelomsr/qelomsr.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "layout.h"
#include "qsim/clock.h"

namespace qsim {

int64_t SteadyClock::nowNs() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

const Layout& layoutOf(Family family) {
  static const Layout ka{14,   7,     3,    {0xFF, 0xFF, 0x0F},   2,     true, true, true,
                         true, false, true, QELOMSR_USB_PID_KA1X, 65536, "KA"};
  static const Layout vel{6,     3,    2,    {0xFF, 0xFF, 0x00},    1,     false, true, true,
                          false, true, true, QELOMSR_USB_PID_VEL1X, 32768, "VEL"};
  static const Layout rix{6,     0,     1,     {0x07, 0x00, 0x00},    0,     true, false, false,
                          false, false, false, QELOMSR_USB_PID_RIX1X, 16384, "RIX"};
  switch (family) {
    case Family::Ka:
      return ka;
    case Family::Vel:
      return vel;
    case Family::Rix:
      return rix;
  }
  return ka;
}

const char* familyName(Family family) {
  switch (family) {
    case Family::Ka:
      return "ka";
    case Family::Vel:
      return "vel";
    case Family::Rix:
      return "rix";
  }
  return "ka";
}

Family familyFromName(const std::string& name) {
  if (name == "ka") return Family::Ka;
  if (name == "vel") return Family::Vel;
  if (name == "rix") return Family::Rix;
  throw std::invalid_argument("unknown device family '" + name + "' (ka, vel or rix)");
}

// ---- defaults ----------------------------------------------------------------

DeviceConfig defaultConfig(Family family) {
  const Layout& lay = layoutOf(family);
  DeviceConfig c;
  c.family = family;
  c.productId = lay.productId;
  c.serial =
      std::string(lay.serialPrefix) + "1X-00" + std::to_string(4711 + static_cast<int>(family));
  c.firmware = 0x0104;
  c.inputCapacity = lay.inputCapacity;
  c.portInputs.assign(static_cast<size_t>(lay.ports), 0);
  if (family == Family::Rix) {
    c.calibrationAddress = kRixCalibrationAddress;
    // AI-0..AI-3 a little off nominal; VBUSREF sits behind a 1:2 divider.
    for (int n = 0; n < 4; ++n) {
      c.simpleRecords.push_back(
          {static_cast<uint32_t>(2 + n),
           static_cast<uint32_t>(std::lround(268435456.0 * (1.0 + 0.0015 * (n + 1))))});
      c.signals.push_back(Signal::sine(0.3 + 0.3 * n, n + 1.0, 1.65));
    }
    c.simpleRecords.push_back({4, static_cast<uint32_t>(std::lround(268435456.0 * 2.004))});
    c.simpleRecords.push_back({3, static_cast<uint32_t>(std::lround(268435456.0 * 0.998))});
    c.signals.push_back(Signal::dc(5.0));  // VBUSREF
    c.signals.push_back(Signal::dc(2.5));  // VREF
    return c;
  }
  c.delayBlock = {10, 20, 40, 80, 160};
  for (int i = 0; i < lay.dacs; ++i) {
    c.outputRecords.push_back({static_cast<uint16_t>(4091 - 2 * i), static_cast<uint16_t>(2049 + i),
                               static_cast<uint16_t>(3 + i), 0xFFFF});
  }
  for (int ch = 0; ch < lay.channels(); ++ch) {
    for (int r = 0; r < 4; ++r) {
      CodeRecord rec;
      rec.positive = static_cast<uint16_t>(0xFFFF - 30 - (ch * 5 + r) % 23);
      rec.zero = static_cast<uint16_t>(0x8000 + (ch * 7 + r * 3) % 41 - 20);
      rec.negative = static_cast<uint16_t>(25 + (ch * 3 + r * 11) % 19);
      c.inputRecords.push_back(rec);
    }
  }
  if (family == Family::Ka) c.referenceCurrents = {200130, 9987};
  // AI-n: sine of (n + 1) Hz with amplitude 0.6 (n + 1) V.
  for (int n = 0; n < lay.singleEnded; ++n) {
    c.signals.push_back(Signal::sine(0.6 * (n + 1), n + 1.0));
  }
  return c;
}

void validateConfig(const DeviceConfig& c) {
  const Layout& lay = layoutOf(c.family);
  auto need = [](bool ok, const std::string& what) {
    if (!ok) throw std::invalid_argument("device config: " + what);
  };
  const size_t records = c.family == Family::Rix ? 0 : static_cast<size_t>(lay.channels()) * 4;
  need(c.inputRecords.size() == records,
       "inputRecords must hold " + std::to_string(records) + " records");
  need(c.outputRecords.size() == static_cast<size_t>(lay.dacs),
       "outputRecords must hold " + std::to_string(lay.dacs) + " records");
  const size_t simple = c.family == Family::Rix ? 6 : 0;
  need(c.simpleRecords.size() == simple,
       "simpleRecords must hold " + std::to_string(simple) + " records");
  need(c.signals.size() == static_cast<size_t>(lay.singleEnded),
       "signals must hold " + std::to_string(lay.singleEnded) + " entries");
  need(c.portInputs.size() == static_cast<size_t>(lay.ports),
       "portInputs must hold " + std::to_string(lay.ports) + " entries");
  for (const Loopback& l : c.loopbacks) {
    need(l.from >= 0 && l.from < lay.ports && l.to >= 0 && l.to < lay.ports && l.from != l.to,
         "loopback between ports that do not exist");
  }
  for (const AnalogLoopback& l : c.analogLoopbacks) {
    need(l.from >= 0 && l.from < lay.dacs && l.to >= 0 && l.to < lay.singleEnded,
         "analog loopback between an output and an input that do not exist");
  }
  need(c.serial.size() < 0xFFFF, "serial too long");
  need(c.inputCapacity > 0 && c.inputCapacity <= (1u << 26), "inputCapacity out of 1..2^26");
  need(c.outputCapacity > 0 && c.outputCapacity <= (1u << 26), "outputCapacity out of 1..2^26");
  need(std::isfinite(c.counterRateHz) && c.counterRateHz >= 0, "counterRateHz must be >= 0");
  need(c.minFramePeriodNs > 0, "minFramePeriodNs must be > 0");
  need(c.timerResolutionNs > 0, "timerResolutionNs must be > 0");
  need(std::isfinite(c.clockPpm) && std::fabs(c.clockPpm) <= kMaxClockPpm,
       "clockPpm must be within -1000..1000");
  need(std::isfinite(c.temperatureC), "temperatureC must be finite");
  if (c.triggerSource) validateTriggerSource(*c.triggerSource);
}

int64_t TriggerSource::periodNs() const { return std::llround(1e9 / frequencyHz); }

int64_t TriggerSource::highNs() const { return widthNs != 0 ? widthNs : periodNs() / 2; }

void validateTriggerSource(const TriggerSource& s) {
  auto need = [](bool ok, const std::string& what) {
    if (!ok) throw std::invalid_argument("trigger source: " + what);
  };
  need(std::isfinite(s.frequencyHz) && s.frequencyHz > 0 && s.frequencyHz <= 1e6,
       "frequencyHz must be above 0 and at most 1000000");
  need(s.widthNs >= 0 && s.widthNs < s.periodNs(), "widthNs must be shorter than the period");
}

// ---- JSON --------------------------------------------------------------------

namespace {

using nlohmann::json;

// Numbers may be given as JSON numbers or as strings ("0x08004000").
uint64_t toUnsigned(const json& j, const char* key) {
  if (j.is_number_unsigned()) return j.get<uint64_t>();
  if (j.is_number_integer() && j.get<int64_t>() >= 0) return j.get<uint64_t>();
  if (j.is_string()) {
    const std::string s = j.get<std::string>();
    size_t used = 0;
    uint64_t v = 0;
    try {
      v = std::stoull(s, &used, 0);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == s.size() && !s.empty()) return v;
  }
  throw std::invalid_argument(std::string("device config: '") + key +
                              "' must be an unsigned number");
}

template <typename T>
T toUnsignedOf(const json& j, const char* key) {
  const uint64_t v = toUnsigned(j, key);
  if (v > static_cast<uint64_t>(std::numeric_limits<T>::max())) {
    throw std::invalid_argument(std::string("device config: '") + key + "' out of range");
  }
  return static_cast<T>(v);
}

double toDouble(const json& j, const char* key) {
  if (!j.is_number()) {
    throw std::invalid_argument(std::string("device config: '") + key + "' must be a number");
  }
  return j.get<double>();
}

bool toBool(const json& j, const char* key) {
  if (!j.is_boolean()) {
    throw std::invalid_argument(std::string("device config: '") + key + "' must be true or false");
  }
  return j.get<bool>();
}

const json& arrayOf(const json& j, const char* key) {
  if (!j.is_array()) {
    throw std::invalid_argument(std::string("device config: '") + key + "' must be an array");
  }
  return j;
}

CodeRecord codeRecordFrom(const json& j) {
  const json& a = arrayOf(j, "record");
  if (a.size() != 3 && a.size() != 4) {
    throw std::invalid_argument("device config: a code record is [positive, zero, negative]");
  }
  CodeRecord r;
  r.positive = toUnsignedOf<uint16_t>(a[0], "record");
  r.zero = toUnsignedOf<uint16_t>(a[1], "record");
  r.negative = toUnsignedOf<uint16_t>(a[2], "record");
  if (a.size() == 4) r.reserved = toUnsignedOf<uint16_t>(a[3], "record");
  return r;
}

const char* kindName(Signal::Kind k) {
  switch (k) {
    case Signal::Kind::Dc:
      return "dc";
    case Signal::Kind::Sine:
      return "sine";
    case Signal::Kind::Ramp:
      return "ramp";
    case Signal::Kind::Noise:
      return "noise";
  }
  return "dc";
}

void faultsFrom(const json& j, Faults& f) {
  if (!j.is_object()) throw std::invalid_argument("device config: 'faults' must be an object");
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string& k = it.key();
    bool* flag = nullptr;
    if (k == "stall") flag = &f.stall;
    if (k == "shortIn") flag = &f.shortIn;
    if (k == "unplugged") flag = &f.unplugged;
    if (k == "garbage") flag = &f.garbage;
    if (k == "forceOverflow") flag = &f.forceOverflow;
    if (k == "interfaceHeld") flag = &f.interfaceHeld;
    if (k == "firmwareMajor2") flag = &f.firmwareMajor2;
    if (k == "erasedCalibration") flag = &f.erasedCalibration;
    if (k == "noDelayBlock") flag = &f.noDelayBlock;
    if (k == "serialUnconfigured") flag = &f.serialUnconfigured;
    if (k == "lateReply") flag = &f.lateReply;
    if (k == "staleReply") flag = &f.staleReply;
    if (k == "keepInputBuffer") flag = &f.keepInputBuffer;
    if (flag != nullptr) {
      *flag = toBool(*it, k.c_str());
    } else if (k == "inputStatusOverride") {
      if (it->is_null()) {
        f.inputStatusOverride.reset();
      } else {
        f.inputStatusOverride = toUnsignedOf<uint32_t>(*it, "inputStatusOverride");
      }
    } else {
      throw std::invalid_argument("device config: unknown fault '" + k + "'");
    }
  }
}

// null, or {"frequencyHz": f, "widthNs": w, "count": n} (widthNs and count optional).
void triggerSourceFrom(const json& j, std::optional<TriggerSource>& out) {
  if (j.is_null()) {
    out.reset();
    return;
  }
  if (!j.is_object() || !j.contains("frequencyHz")) {
    throw std::invalid_argument(
        "device config: 'triggerSource' is null or {\"frequencyHz\": f, \"widthNs\": w, "
        "\"count\": n}");
  }
  TriggerSource s;
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string& k = it.key();
    if (k == "frequencyHz") {
      s.frequencyHz = toDouble(*it, "frequencyHz");
    } else if (k == "widthNs") {
      s.widthNs = static_cast<int64_t>(toUnsignedOf<uint32_t>(*it, "widthNs"));
    } else if (k == "count") {
      s.count = toUnsigned(*it, "count");
    } else {
      throw std::invalid_argument("device config: unknown key '" + k + "' in 'triggerSource'");
    }
  }
  out = s;
}

void applyJson(const json& j, DeviceConfig& c) {
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string& k = it.key();
    const json& v = *it;
    if (k == "family") {
      continue;
    } else if (k == "vendorId") {
      c.vendorId = toUnsignedOf<uint16_t>(v, "vendorId");
    } else if (k == "productId") {
      c.productId = toUnsignedOf<uint16_t>(v, "productId");
    } else if (k == "serial") {
      if (!v.is_string()) throw std::invalid_argument("device config: 'serial' must be a string");
      c.serial = v.get<std::string>();
    } else if (k == "firmware") {
      c.firmware = toUnsignedOf<uint16_t>(v, "firmware");
    } else if (k == "calibrationAddress") {
      c.calibrationAddress = toUnsignedOf<uint32_t>(v, "calibrationAddress");
    } else if (k == "delayBlock") {
      const json& a = arrayOf(v, "delayBlock");
      if (a.size() != 5) throw std::invalid_argument("device config: 'delayBlock' needs 5 values");
      for (size_t i = 0; i < 5; ++i) c.delayBlock[i] = toUnsignedOf<uint16_t>(a[i], "delayBlock");
    } else if (k == "outputRecords" || k == "inputRecords") {
      std::vector<CodeRecord>& dst = k == "outputRecords" ? c.outputRecords : c.inputRecords;
      dst.clear();
      for (const json& r : arrayOf(v, k.c_str())) dst.push_back(codeRecordFrom(r));
    } else if (k == "simpleRecords") {
      c.simpleRecords.clear();
      for (const json& r : arrayOf(v, "simpleRecords")) {
        if (!r.is_array() || r.size() != 2) {
          throw std::invalid_argument("device config: a simple record is [offset, gain]");
        }
        c.simpleRecords.push_back(
            {toUnsignedOf<uint32_t>(r[0], "offset"), toUnsignedOf<uint32_t>(r[1], "gain")});
      }
    } else if (k == "referenceCurrents") {
      const json& a = arrayOf(v, "referenceCurrents");
      if (a.size() != 2) {
        throw std::invalid_argument("device config: 'referenceCurrents' needs 2 values");
      }
      for (size_t i = 0; i < 2; ++i) {
        c.referenceCurrents[i] = toUnsignedOf<uint32_t>(a[i], "referenceCurrents");
      }
    } else if (k == "signals") {
      // Entry i replaces the signal of input i; null keeps the default.
      const json& a = arrayOf(v, "signals");
      if (a.size() > c.signals.size()) {
        throw std::invalid_argument("device config: more signals than inputs");
      }
      for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].is_null()) continue;
        try {
          c.signals[i] = signalFromJson(a[i]);
        } catch (const std::invalid_argument& e) {
          const std::string what = e.what();
          if (what.rfind("device config: ", 0) == 0) throw;
          throw std::invalid_argument("device config: signal " + std::to_string(i) + ": " + what);
        }
      }
    } else if (k == "portInputs") {
      c.portInputs.clear();
      for (const json& p : arrayOf(v, "portInputs")) {
        c.portInputs.push_back(toUnsignedOf<uint8_t>(p, "portInputs"));
      }
    } else if (k == "loopbacks") {
      c.loopbacks.clear();
      for (const json& l : arrayOf(v, "loopbacks")) {
        if (!l.is_object() || !l.contains("from") || !l.contains("to") || l.size() != 2) {
          throw std::invalid_argument("device config: a loopback is {\"from\": p, \"to\": q}");
        }
        c.loopbacks.push_back({static_cast<int>(toUnsignedOf<uint8_t>(l["from"], "from")),
                               static_cast<int>(toUnsignedOf<uint8_t>(l["to"], "to"))});
      }
    } else if (k == "analogLoopbacks") {
      c.analogLoopbacks.clear();
      for (const json& l : arrayOf(v, "analogLoopbacks")) {
        if (!l.is_object() || !l.contains("from") || !l.contains("to") || l.size() != 2) {
          throw std::invalid_argument(
              "device config: an analog loopback is {\"from\": output, \"to\": input}");
        }
        c.analogLoopbacks.push_back({static_cast<int>(toUnsignedOf<uint8_t>(l["from"], "from")),
                                     static_cast<int>(toUnsignedOf<uint8_t>(l["to"], "to"))});
      }
    } else if (k == "inputCapacity") {
      c.inputCapacity = toUnsignedOf<uint32_t>(v, "inputCapacity");
    } else if (k == "outputCapacity") {
      c.outputCapacity = toUnsignedOf<uint32_t>(v, "outputCapacity");
    } else if (k == "counterRateHz") {
      c.counterRateHz = toDouble(v, "counterRateHz");
    } else if (k == "minFramePeriodNs") {
      c.minFramePeriodNs = static_cast<int64_t>(toUnsignedOf<uint32_t>(v, "minFramePeriodNs"));
    } else if (k == "timerResolutionNs") {
      c.timerResolutionNs = static_cast<int64_t>(toUnsignedOf<uint32_t>(v, "timerResolutionNs"));
    } else if (k == "clockPpm") {
      c.clockPpm = toDouble(v, "clockPpm");
    } else if (k == "temperatureC") {
      c.temperatureC = toDouble(v, "temperatureC");
    } else if (k == "triggerSource") {
      triggerSourceFrom(v, c.triggerSource);
    } else if (k == "faults") {
      faultsFrom(v, c.faults);
    } else {
      throw std::invalid_argument("device config: unknown key '" + k + "'");
    }
  }
}

json codeRecordsJson(const std::vector<CodeRecord>& records) {
  json a = json::array();
  for (const CodeRecord& r : records) a.push_back({r.positive, r.zero, r.negative, r.reserved});
  return a;
}

}  // namespace

Signal signalFromJson(const json& j) {
  if (!j.is_object()) throw std::invalid_argument("a signal must be an object");
  Signal s;
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string& k = it.key();
    if (k == "kind") {
      const std::string v = it->is_string() ? it->get<std::string>() : "";
      if (v == "dc") {
        s.kind = Signal::Kind::Dc;
      } else if (v == "sine") {
        s.kind = Signal::Kind::Sine;
      } else if (v == "ramp") {
        s.kind = Signal::Kind::Ramp;
      } else if (v == "noise") {
        s.kind = Signal::Kind::Noise;
      } else {
        throw std::invalid_argument("signal kind must be dc, sine, ramp or noise");
      }
    } else if (k == "amplitude") {
      s.amplitude = toDouble(*it, "amplitude");
    } else if (k == "frequency") {
      s.frequency = toDouble(*it, "frequency");
    } else if (k == "offset") {
      s.offset = toDouble(*it, "offset");
    } else if (k == "phase") {
      s.phase = toDouble(*it, "phase");
    } else if (k == "seed") {
      s.seed = toUnsignedOf<uint32_t>(*it, "seed");
    } else {
      throw std::invalid_argument("unknown signal key '" + k +
                                  "' (kind, amplitude, frequency, offset, phase, seed)");
    }
  }
  return s;
}

json signalToJson(const Signal& s) {
  return {{"kind", kindName(s.kind)}, {"amplitude", s.amplitude}, {"frequency", s.frequency},
          {"offset", s.offset},       {"phase", s.phase},         {"seed", s.seed}};
}

DeviceConfig configFromJson(const json& j) {
  if (!j.is_object()) throw std::invalid_argument("device config must be a JSON object");
  Family family = Family::Ka;
  if (j.contains("family")) {
    if (!j["family"].is_string()) {
      throw std::invalid_argument("device config: 'family' must be a string");
    }
    family = familyFromName(j["family"].get<std::string>());
  }
  DeviceConfig c = defaultConfig(family);
  try {
    applyJson(j, c);
  } catch (const json::exception& e) {
    throw std::invalid_argument(std::string("device config: ") + e.what());
  }
  validateConfig(c);
  return c;
}

json configToJson(const DeviceConfig& c) {
  json j;
  j["family"] = familyName(c.family);
  j["vendorId"] = c.vendorId;
  j["productId"] = c.productId;
  j["serial"] = c.serial;
  j["firmware"] = c.firmware;
  j["calibrationAddress"] = c.calibrationAddress;
  j["delayBlock"] = c.delayBlock;
  j["outputRecords"] = codeRecordsJson(c.outputRecords);
  j["inputRecords"] = codeRecordsJson(c.inputRecords);
  json simple = json::array();
  for (const SimpleRecord& r : c.simpleRecords) simple.push_back({r.offset, r.gain});
  j["simpleRecords"] = simple;
  j["referenceCurrents"] = c.referenceCurrents;
  json signals = json::array();
  for (const Signal& s : c.signals) signals.push_back(signalToJson(s));
  j["signals"] = signals;
  j["portInputs"] = c.portInputs;
  json loops = json::array();
  for (const Loopback& l : c.loopbacks) loops.push_back({{"from", l.from}, {"to", l.to}});
  j["loopbacks"] = loops;
  json analogLoops = json::array();
  for (const AnalogLoopback& l : c.analogLoopbacks) {
    analogLoops.push_back({{"from", l.from}, {"to", l.to}});
  }
  j["analogLoopbacks"] = analogLoops;
  j["inputCapacity"] = c.inputCapacity;
  j["outputCapacity"] = c.outputCapacity;
  j["counterRateHz"] = c.counterRateHz;
  j["minFramePeriodNs"] = c.minFramePeriodNs;
  j["timerResolutionNs"] = c.timerResolutionNs;
  j["clockPpm"] = c.clockPpm;
  j["temperatureC"] = c.temperatureC;
  if (c.triggerSource) {
    j["triggerSource"] = {{"frequencyHz", c.triggerSource->frequencyHz},
                          {"widthNs", c.triggerSource->widthNs},
                          {"count", c.triggerSource->count}};
  } else {
    j["triggerSource"] = nullptr;
  }
  const Faults& f = c.faults;
  json faults = {{"stall", f.stall},
                 {"shortIn", f.shortIn},
                 {"unplugged", f.unplugged},
                 {"garbage", f.garbage},
                 {"forceOverflow", f.forceOverflow},
                 {"interfaceHeld", f.interfaceHeld},
                 {"firmwareMajor2", f.firmwareMajor2},
                 {"erasedCalibration", f.erasedCalibration},
                 {"noDelayBlock", f.noDelayBlock},
                 {"serialUnconfigured", f.serialUnconfigured},
                 {"lateReply", f.lateReply},
                 {"staleReply", f.staleReply},
                 {"keepInputBuffer", f.keepInputBuffer}};
  faults["inputStatusOverride"] =
      f.inputStatusOverride ? json(*f.inputStatusOverride) : json(nullptr);
  j["faults"] = faults;
  return j;
}

}  // namespace qsim
