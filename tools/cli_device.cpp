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
  static const FamilyInfo ka{"Ka",
                             QELOMSR_KA_VALUE_SLOTS,
                             QELOMSR_KA_PORT_SLOTS,
                             QELOMSR_KA_COUNTER_SLOT,
                             QELOMSR_KA_TRIGGER_SLOT,
                             QELOMSR_KA_READ_LIMIT_BYTES};
  static const FamilyInfo vel{"Vel", QELOMSR_VEL_VALUE_SLOTS,  QELOMSR_VEL_PORT_SLOTS,
                              -1,    QELOMSR_VEL_TRIGGER_SLOT, QELOMSR_VEL_READ_LIMIT_BYTES};
  static const FamilyInfo rix{"Rix",
                              QELOMSR_RIX_VALUE_SLOTS,
                              QELOMSR_RIX_PORT_SLOTS,
                              QELOMSR_RIX_COUNTER_SLOT,
                              QELOMSR_RIX_TRIGGER_SLOT,
                              QELOMSR_RIX_READ_LIMIT_BYTES};
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

// Identifier kinds that name peripherals, in the order they are listed.
constexpr int kPeripheralKinds[] = {kKindAnalogInput,   kKindDiffInput, kKindAnalogOutput,
                                    kKindDigitalPort,   kKindCounter,   kKindTrigger,
                                    kKindCurrentSource, kKindLed};
// Items of one kind are numbered from 0 without gaps; no family has more.
constexpr int kMaxItemsPerKind = 64;

}  // namespace

std::vector<DeviceEntry> enumerateDevices() {
  int count = 0;
  check(QeloMsrBeginEnumerate(&count, QELOMSR_TYPE_ALL));
  std::vector<DeviceEntry> entries;
  entries.reserve(static_cast<size_t>(std::max(count, 0)));
  for (int i = 0; i < count; ++i) entries.push_back(entryAt(i));
  return entries;
}

Device Device::open(const std::string& identifierOrIndex) {
  int count = 0;
  check(QeloMsrBeginEnumerate(&count, QELOMSR_TYPE_ALL));
  DeviceEntry entry;
  if (isIndex(identifierOrIndex)) {
    entry = entryAt(std::atoi(identifierOrIndex.c_str()));
  } else {
    // The library decides whether the identifier is known; the entry is only
    // looked up for the type code and firmware text.
    entry.identifier = identifierOrIndex;
    for (int i = 0; i < count; ++i) {
      DeviceEntry candidate = entryAt(i);
      if (candidate.identifier == identifierOrIndex) {
        entry = candidate;
        break;
      }
    }
  }
  return open(entry);
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

const std::vector<Peripheral>& Device::peripherals() const {
  if (peripheralsKnown_) return peripherals_;
  char name[128];
  for (int kind : kPeripheralKinds) {
    for (int n = 0; n < kMaxItemsPerKind; ++n) {
      if (QeloMsrGetPeripheralName(handle_, kind + n, name, static_cast<int>(sizeof name)) != 0)
        break;
      if (name[0] != '\0') peripherals_.push_back({kind + n, name});
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
  if (lower(text).rfind("0x", 0) == 0) {
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

int Device::resolveRange(int peripheralId, const std::string& text) const {
  const std::vector<int> available = ranges(peripheralId);
  if (isIndex(text)) {
    const size_t index = static_cast<size_t>(std::atoi(text.c_str()));
    if (index < available.size()) return available[index];
  } else {
    std::string number = lower(text);
    double scale = 1.0;
    if (number.size() > 2 && number.compare(number.size() - 2, 2, "mv") == 0) {
      scale = 1e-3;
      number.resize(number.size() - 2);
    } else if (number.size() > 1 && number.back() == 'v') {
      number.resize(number.size() - 1);
    }
    if (number.rfind("+-", 0) == 0) number.erase(0, 2);
    char* end = nullptr;
    const double limit = std::strtod(number.c_str(), &end) * scale;
    if (!number.empty() && end != nullptr && *end == '\0' && limit > 0) {
      for (int rangeId : available) {
        float lo = 0, hi = 0;
        check(QeloMsrGetRangeMinMax(handle_, peripheralId, rangeId, &lo, &hi));
        if (std::fabs(hi - limit) <= 1e-3 * limit) return rangeId;
      }
    }
  }
  std::string known;
  for (size_t i = 0; i < available.size(); ++i) {
    if (!known.empty()) known += ", ";
    known += std::to_string(i) + " (" + describeRange(peripheralId, available[i]) + ")";
  }
  throw UsageError("'" + text + "' is not a range of " + nameOf(peripheralId) +
                   " (choose from: " + known + ")");
}

std::string Device::describeRange(int peripheralId, int rangeId) const {
  float lo = 0, hi = 0;
  check(QeloMsrGetRangeMinMax(handle_, peripheralId, rangeId, &lo, &hi));
  char text[64];
  std::snprintf(text, sizeof text, "%g .. %g V", static_cast<double>(lo), static_cast<double>(hi));
  return text;
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
