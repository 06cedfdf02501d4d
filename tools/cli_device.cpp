#include "cli_device.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qcli {

namespace {

thread_local const FailureSubject* _subject = nullptr;

// The libusb error names behind the library's USB texts ("...: LIBUSB_ERROR_BUSY").
struct UsbErrorName {
  const char* name;
  UsbFailure failure;
};
constexpr UsbErrorName kUsbErrorNames[] = {{"LIBUSB_ERROR_NO_DEVICE", UsbFailure::Unplugged},
                                           {"LIBUSB_ERROR_BUSY", UsbFailure::InUse},
                                           {"LIBUSB_ERROR_TIMEOUT", UsbFailure::NotAnswering},
                                           {"LIBUSB_ERROR_PIPE", UsbFailure::Stalled},
                                           {"LIBUSB_ERROR_ACCESS", UsbFailure::NoAccess}};

std::string withFailure(const std::string& message, const std::string& device, UsbFailure failure) {
  if (device.empty() || failure == UsbFailure::None) return message;
  return failureText(failure, device) + ": " + message;
}

}  // namespace

UsbFailure usbFailureOf(const std::string& libraryMessage) {
  for (const UsbErrorName& e : kUsbErrorNames)
    if (libraryMessage.find(e.name) != std::string::npos) return e.failure;
  return libraryMessage.find("LIBUSB_ERROR") != std::string::npos ? UsbFailure::Failed
                                                                  : UsbFailure::None;
}

std::string failureText(UsbFailure failure, const std::string& identifier) {
  switch (failure) {
    case UsbFailure::None:
      return identifier;
    case UsbFailure::Unplugged:
      return identifier + " was unplugged";
    case UsbFailure::InUse:
      return identifier + " is in use by another program";
    case UsbFailure::NotAnswering:
      return identifier + " does not answer";
    case UsbFailure::Stalled:
      return identifier + " refused the transfer (endpoint stall)";
    case UsbFailure::NoAccess:
      return identifier +
             " cannot be opened: no permission (install the udev rules, see "
             "docs/usage.md)";
    case UsbFailure::Failed:
      break;
  }
  return "a USB transfer with " + identifier + " failed";
}

ApiError::ApiError(int errorId, int errorClass, const std::string& message,
                   const std::string& device)
    : ApiError(errorId, errorClass, message, device, usbFailureOf(message)) {}

ApiError::ApiError(int errorId, int errorClass, const std::string& message,
                   const std::string& device, UsbFailure failure)
    : std::runtime_error(withFailure(message, device, failure)),
      errorId_(errorId),
      errorClass_(errorClass),
      libraryMessage_(message),
      device_(device),
      failure_(failure) {}

bool isOverflow(const ApiError& e) {
  return e.errorClass() == QELOMSR_ERROR_CLASS_RUNTIME &&
         std::string(e.what()) == "Buffer overflow.";
}

ApiError ApiError::about(const std::string& identifier, UsbFailure failure) const {
  return ApiError(errorId_, errorClass_, libraryMessage_, identifier, failure);
}

FailureSubject::FailureSubject(std::string identifier)
    : identifier_(std::move(identifier)), outer_(_subject) {
  _subject = this;
}

FailureSubject::~FailureSubject() { _subject = outer_; }

ApiError errorFor(int rc) {
  char message[512] = {0};
  int errorClass = QELOMSR_ERROR_CLASS_NO_RECORD;
  __wrapper_error(rc, message, static_cast<int>(sizeof message), &errorClass);
  return ApiError(rc, errorClass, message, _subject != nullptr ? _subject->identifier_ : "");
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

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The library's name of the LED, which the tool calls LED as the rest of the
// tool, the panel and the documentation do.
constexpr const char* kLibraryLedName = "Indicator";

}  // namespace

Device::Device(Device&& other) noexcept
    : handle_(other.handle_),
      entry_(std::move(other.entry_)),
      peripherals_(std::move(other.peripherals_)),
      peripheralsKnown_(other.peripheralsKnown_),
      outputEnableMasks_(std::move(other.outputEnableMasks_)) {
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
      if (name[0] == '\0') continue;
      peripherals_.push_back({k.kind + n, k.kind == kKindLed ? std::string("LED") : name});
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
  for (const auto& p : all)
    if (kindOf(p.id) == kKindLed && wanted == lower(kLibraryLedName) && accepted(p.id)) return p.id;
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

int Device::resolveRange(int peripheralId, const std::string& text) const {
  const std::vector<int> available = ranges(peripheralId);
  const double limit = parseRangeLimit(text);
  if (limit > 0) {
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
  if (limit > 0)
    throw UsageError("'" + text + "' is not a range of " + nameOf(peripheralId) +
                     " (choose from: " + known + ")");
  throw UsageError("'" + text + "' is not a range: " + kRangeSpellings + " (" +
                   nameOf(peripheralId) + " has: " + known + ")");
}

std::string Device::describeRange(int peripheralId, int rangeId) const {
  const RangeLimits r = limits(peripheralId, rangeId);
  char text[64];
  std::snprintf(text, sizeof text, "%g .. %g V", static_cast<double>(r.minVolts),
                static_cast<double>(r.maxVolts));
  return text;
}

int Device::valueSlot(int inputId) const {
  if (kindOf(inputId) == kKindDiffInput)
    return parameter(QELOMSR_PARAM_SINGLE_ENDED_INPUTS) + (inputId & 0xFF);
  return inputId & 0xFF;
}

int Device::outputEnableMask(int portId) const {
  for (const auto& m : outputEnableMasks_)
    if (m.first == portId) return m.second;
  return 0;
}

void Device::setOutputEnableMask(int portId, int mask) const {
  check(QeloMsrSetDigitalPortOutputEnableMask(handle_, portId, mask));
  for (auto& m : outputEnableMasks_)
    if (m.first == portId) {
      m.second = mask;
      return;
    }
  outputEnableMasks_.emplace_back(portId, mask);
}

}  // namespace qcli
