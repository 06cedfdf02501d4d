#include "cli_device.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qcli {

ApiError::ApiError(int errorId, int errorClass, const std::string& message)
    : std::runtime_error(message), errorId_(errorId), errorClass_(errorClass) {}

ApiError errorFor(int rc) {
  char message[512] = {0};
  int errorClass = QELOMSR_ERROR_CLASS_NO_RECORD;
  __wrapper_error(rc, message, static_cast<int>(sizeof message), &errorClass);
  return ApiError(rc, errorClass, message);
}

void check(int rc) {
  if (rc != 0) throw errorFor(rc);
}

const char* errorClassName(int errorClass) {
  switch (errorClass) {
    case QELOMSR_ERROR_CLASS_OUT_OF_RANGE:
      return "out of range";
    case QELOMSR_ERROR_CLASS_INVALID_ARGUMENT:
      return "invalid argument";
    case QELOMSR_ERROR_CLASS_LOGIC:
      return "not possible";
    case QELOMSR_ERROR_CLASS_RUNTIME:
      return "device error";
    case QELOMSR_ERROR_CLASS_BAD_ALLOC:
      return "out of memory";
    case QELOMSR_ERROR_CLASS_EXCEPTION:
      return "internal error";
    case QELOMSR_ERROR_CLASS_NO_RECORD:
      return "no error record";
    default:
      return "unknown error";
  }
}

const FamilyInfo& familyInfo(int typeCode) {
  static const FamilyInfo ka = [] {
    FamilyInfo f{};
    f.name = "Ka";
    f.valueSlots = QELOMSR_KA_VALUE_SLOTS;
    f.portSlots = QELOMSR_KA_PORT_SLOTS;
    f.counterSlot = QELOMSR_KA_COUNTER_SLOT;
    f.triggerSlot = QELOMSR_KA_TRIGGER_SLOT;
    f.readLimitBytes = QELOMSR_KA_READ_LIMIT_BYTES;
    f.temperatureSensor = true;
    f.outputRecordOffset = 0;
    f.inputRecordOffset = 16;
    f.rangesPerRecordRow = 4;
    return f;
  }();
  static const FamilyInfo vel = [] {
    FamilyInfo f{};
    f.name = "Vel";
    f.valueSlots = QELOMSR_VEL_VALUE_SLOTS;
    f.portSlots = QELOMSR_VEL_PORT_SLOTS;
    f.counterSlot = -1;
    f.triggerSlot = QELOMSR_VEL_TRIGGER_SLOT;
    f.readLimitBytes = QELOMSR_VEL_READ_LIMIT_BYTES;
    f.temperatureSensor = true;
    f.outputRecordOffset = 0;
    f.inputRecordOffset = 8;
    f.rangesPerRecordRow = 4;
    return f;
  }();
  static const FamilyInfo rix = [] {
    FamilyInfo f{};
    f.name = "Rix";
    f.valueSlots = QELOMSR_RIX_VALUE_SLOTS;
    f.portSlots = QELOMSR_RIX_PORT_SLOTS;
    f.counterSlot = QELOMSR_RIX_COUNTER_SLOT;
    f.triggerSlot = QELOMSR_RIX_TRIGGER_SLOT;
    f.readLimitBytes = QELOMSR_RIX_READ_LIMIT_BYTES;
    f.temperatureSensor = false;
    f.calibrationAddress = 0x08004400;
    f.simpleCalibration = true;
    f.rangesPerRecordRow = 1;
    return f;
  }();
  switch (typeCode) {
    case QELOMSR_TYPE_KA1X:
      return ka;
    case QELOMSR_TYPE_VEL1X:
      return vel;
    case QELOMSR_TYPE_RIX1X:
      return rix;
    default: {
      char text[64];
      std::snprintf(text, sizeof text, "Unknown device type 0x%08X.", typeCode);
      throw std::runtime_error(text);
    }
  }
}

namespace {

DeviceEntry entryAt(int index) {
  std::vector<char> ident(QELOMSR_TEXT_BUFFER_SIZE);
  std::vector<char> version(QELOMSR_TEXT_BUFFER_SIZE);
  DeviceEntry entry;
  entry.index = index;
  check(QeloMsrGetIdentifier(index, ident.data(), 0, &entry.type, version.data()));
  ident.back() = '\0';
  version.back() = '\0';
  entry.identifier = ident.data();
  entry.firmware = version.data();
  return entry;
}

bool isIndex(const std::string& text) {
  return !text.empty() && text.size() <= 6 &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Identifier kinds that name peripherals, in the order they are listed, with
// what a user calls them.
struct KindName {
  int kind;
  const char* noun;
};
constexpr KindName kPeripheralKinds[] = {{kKindAnalogInput, "analog input"},
                                         {kKindDiffInput, "differential input"},
                                         {kKindAnalogOutput, "analog output"},
                                         {kKindDigitalPort, "digital port"},
                                         {kKindCounter, "counter"},
                                         {kKindTrigger, "trigger"},
                                         {kKindCurrentSource, "current source"},
                                         {kKindLed, "LED"}};
// Items of one kind are numbered from 0 without gaps; no family has more.
constexpr int kMaxItemsPerKind = 64;

const char* nounOf(int kind) {
  for (const auto& k : kPeripheralKinds)
    if (k.kind == kind) return k.noun;
  return "peripheral";
}

std::string attachedList(const std::vector<DeviceEntry>& entries) {
  if (entries.empty()) return "no devices are attached";
  std::string text = "attached:";
  for (const auto& e : entries)
    text += " " + std::to_string(e.index) + " = " + e.identifier + " (" + familyInfo(e.type).name +
            ")" + (&e == &entries.back() ? "" : ",");
  return text;
}

[[noreturn]] void noSuchDevice(const std::vector<DeviceEntry>& entries, const std::string& why) {
  throw std::runtime_error(why + "; " + attachedList(entries) +
                           " (a device in use by another program is not listed)");
}

}  // namespace

std::vector<DeviceEntry> enumerateDevices() {
  int count = 0;
  check(QeloMsrBeginEnumerate(&count, QELOMSR_TYPE_ALL));
  std::vector<DeviceEntry> entries;
  entries.reserve(static_cast<size_t>(std::max(count, 0)));
  for (int i = 0; i < count; ++i) entries.push_back(entryAt(i));
  return entries;
}

DeviceEntry selectDevice(const std::vector<DeviceEntry>& entries, const std::string& text) {
  if (isIndex(text)) {
    const size_t index = static_cast<size_t>(std::atoi(text.c_str()));
    if (index < entries.size()) return entries[index];
    noSuchDevice(entries, "no device with index " + text);
  }
  const std::string wanted = lower(text);
  for (const auto& e : entries)
    if (lower(e.identifier) == wanted) return e;
  // A family name with an optional position among its devices: ka, rix:1.
  const size_t colon = wanted.find(':');
  const std::string family = wanted.substr(0, colon);
  const std::string position = colon == std::string::npos ? "" : wanted.substr(colon + 1);
  for (int type : {QELOMSR_TYPE_KA1X, QELOMSR_TYPE_VEL1X, QELOMSR_TYPE_RIX1X}) {
    const FamilyInfo& info = familyInfo(type);
    if (family != lower(info.name)) continue;
    if (colon != std::string::npos && !isIndex(position)) break;
    std::vector<DeviceEntry> members;
    for (const auto& e : entries)
      if (e.type == type) members.push_back(e);
    if (colon == std::string::npos) {
      if (members.size() == 1) return members[0];
      if (members.empty()) noSuchDevice(entries, std::string("no ") + info.name + " device");
      std::string choices;
      for (size_t i = 0; i < members.size(); ++i)
        choices +=
            (i ? ", " : "") + family + ":" + std::to_string(i) + " = " + members[i].identifier;
      throw std::runtime_error("'" + text + "' is ambiguous: " + std::to_string(members.size()) +
                               " " + info.name + " devices are attached (" + choices + ")");
    }
    const size_t n = static_cast<size_t>(std::atoi(position.c_str()));
    if (n < members.size()) return members[n];
    noSuchDevice(entries, "no device '" + text + "': " + std::to_string(members.size()) + " " +
                              info.name + " device" + (members.size() == 1 ? " is" : "s are") +
                              " attached");
  }
  noSuchDevice(entries, "no device '" + text + "'");
}

Device Device::open(const std::string& text) {
  return open(selectDevice(enumerateDevices(), text));
}

Device Device::open(const DeviceEntry& entry) {
  int handle = 0;
  check(QeloMsrOpen(entry.identifier.c_str(), &handle));
  return Device(handle, entry);
}

Device::Device(Device&& other) noexcept
    : handle_(other.handle_),
      entry_(std::move(other.entry_)),
      peripherals_(std::move(other.peripherals_)),
      peripheralsKnown_(other.peripheralsKnown_) {
  other.handle_ = 0;
}

Device::~Device() {
  if (handle_ != 0) QeloMsrClose(handle_);
}

std::string Device::serialNumber() const {
  std::vector<char> buffer(QELOMSR_TEXT_BUFFER_SIZE);
  check(QeloMsrGetSerialNumber(handle_, buffer.data()));
  buffer.back() = '\0';
  return buffer.data();
}

int Device::parameter(int index) const {
  int value = -1;
  check(QeloMsrGetDeviceParameter(handle_, index, &value));
  return value;
}

std::string Device::describe() const {
  return entry_.identifier + " (" + family().name + ", serial " + serialNumber() + ", firmware " +
         entry_.firmware + ")";
}

const std::vector<Peripheral>& Device::peripherals() const {
  if (peripheralsKnown_) return peripherals_;
  char name[128];
  for (const auto& k : kPeripheralKinds) {
    for (int n = 0; n < kMaxItemsPerKind; ++n) {
      if (QeloMsrGetPeripheralName(handle_, k.kind + n, name, static_cast<int>(sizeof name)) != 0)
        break;
      if (name[0] != '\0') peripherals_.push_back({k.kind + n, name});
    }
  }
  peripheralsKnown_ = true;
  return peripherals_;
}

int Device::resolve(const std::string& text, std::initializer_list<int> kinds) const {
  auto accepted = [&](int id) {
    return kinds.size() == 0 || std::find(kinds.begin(), kinds.end(), kindOf(id)) != kinds.end();
  };
  const auto& all = peripherals();
  for (const auto& p : all)
    if (p.name == text && accepted(p.id)) return p.id;
  const std::string wanted = lower(text);
  for (const auto& p : all)
    if (lower(p.name) == wanted && accepted(p.id)) return p.id;
  if (wanted.rfind("0x", 0) == 0) {
    const long long value = parseInteger(text, "peripheral identifier");
    for (const auto& p : all)
      if (p.id == value && accepted(p.id)) return p.id;
  }
  std::string known;
  for (const auto& p : all) {
    if (!accepted(p.id)) continue;
    if (!known.empty()) known += ", ";
    known += p.name;
  }
  if (known.empty())
    throw UsageError(std::string("the ") + family().name + " has no " +
                     (kinds.size() == 0 ? "peripherals" : nounOf(*kinds.begin())));
  throw UsageError("'" + text + "' is not a suitable peripheral of " + entry_.identifier +
                   " (choose from: " + known + ")");
}

std::string Device::nameOf(int id) const {
  for (const auto& p : peripherals())
    if (p.id == id) return p.name;
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(id));
  return text;
}

std::vector<int> Device::ranges(int peripheralId) const {
  std::vector<int> result;
  // A device lists a handful of ranges; the bound only guards the loop.
  for (int index = 0; index < 32; ++index) {
    int rangeId = QELOMSR_ID_RANGE_NONE;
    check(QeloMsrEnumerateRanges(handle_, peripheralId, index, &rangeId));
    if (rangeId == QELOMSR_ID_RANGE_NONE) break;
    result.push_back(rangeId);
  }
  return result;
}

RangeLimits Device::limits(int peripheralId, int rangeId) const {
  RangeLimits r;
  check(QeloMsrGetRangeMinMax(handle_, peripheralId, rangeId, &r.minVolts, &r.maxVolts));
  return r;
}

std::string rangeName(float maxVolts) {
  const double v = static_cast<double>(maxVolts);
  char text[32];
  if (v >= 1.0 || v <= 0.0)
    std::snprintf(text, sizeof text, "%gV", v);
  else
    std::snprintf(text, sizeof text, "%gmV", v * 1000.0);
  return text;
}

int Device::resolveRange(int peripheralId, const std::string& text) const {
  const std::vector<int> available = ranges(peripheralId);
  // NUMBER [V|mV], the number being the upper limit; "+-" or "±" may lead.
  std::string number = lower(text);
  number.erase(std::remove(number.begin(), number.end(), ' '), number.end());
  if (number.rfind("+-", 0) == 0) number.erase(0, 2);
  if (number.rfind("\xC2\xB1", 0) == 0) number.erase(0, 2);  // ±
  double scale = 1.0;
  if (number.size() > 2 && number.compare(number.size() - 2, 2, "mv") == 0) {
    scale = 1e-3;
    number.resize(number.size() - 2);
  } else if (number.size() > 1 && number.back() == 'v') {
    number.resize(number.size() - 1);
  }
  char* end = nullptr;
  const double limit = std::strtod(number.c_str(), &end) * scale;
  if (!number.empty() && end != nullptr && *end == '\0' && limit > 0) {
    for (int rangeId : available) {
      const double hi = static_cast<double>(limits(peripheralId, rangeId).maxVolts);
      if (std::fabs(hi - limit) <= 1e-3 * limit) return rangeId;
    }
  }
  std::string known;
  for (int rangeId : available) {
    if (!known.empty()) known += ", ";
    known += rangeName(limits(peripheralId, rangeId).maxVolts) + " (" +
             describeRange(peripheralId, rangeId) + ")";
  }
  throw UsageError("'" + text + "' is not a range of " + nameOf(peripheralId) +
                   " (choose from: " + known + ")");
}

std::string Device::describeRange(int peripheralId, int rangeId) const {
  const RangeLimits r = limits(peripheralId, rangeId);
  char text[64];
  std::snprintf(text, sizeof text, "%g .. %g V", static_cast<double>(r.minVolts),
                static_cast<double>(r.maxVolts));
  return text;
}

ChannelSpec parseChannelSpec(const std::string& text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return {text, ""};
  if (colon == 0 || colon + 1 == text.size())
    throw UsageError("'" + text + "' is not a channel: write NAME or NAME:RANGE (AI-0:10mV)");
  return {text.substr(0, colon), text.substr(colon + 1)};
}

int Device::valueSlot(int inputId) const {
  if (kindOf(inputId) == kKindDiffInput)
    return parameter(QELOMSR_PARAM_SINGLE_ENDED_INPUTS) + (inputId & 0xFF);
  return inputId & 0xFF;
}

long long parseInteger(const std::string& text, const char* what) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 0);
  if (text.empty() || end == nullptr || *end != '\0' || errno != 0)
    throw UsageError(std::string("'") + text + "' is not a valid " + what);
  return value;
}

double parseNumber(const std::string& text, const char* what) {
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end == nullptr || *end != '\0' || errno != 0 || !std::isfinite(value))
    throw UsageError(std::string("'") + text + "' is not a valid " + what);
  return value;
}

}  // namespace qcli
