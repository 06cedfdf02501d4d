// Thin C++ layer of the command-line tool over the public C interface: error
// records become exceptions, devices are chosen by identifier, family or list
// index, and peripherals and ranges are named as the device names them.
#pragma once

#include <qelomsr/qelomsr.h>

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qcli {

// A failed library call: the text and class of its error record.
class ApiError : public std::runtime_error {
 public:
  ApiError(int errorId, int errorClass, const std::string& message);
  int errorId() const { return errorId_; }
  int errorClass() const { return errorClass_; }

 private:
  int errorId_;
  int errorClass_;
};

// A bad command line argument that only shows up once the device is known
// (an unknown peripheral name, a range the input does not have, ...).
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws ApiError for a non-zero return code of the library.
void check(int rc);
// Reads the error record of a non-zero return code into an ApiError.
ApiError errorFor(int rc);
// Short English name of an error class ("invalid argument", ...).
const char* errorClassName(int errorClass);

// What the tool needs to know of a device family beyond the C interface.
struct FamilyInfo {
  const char* name;  // Ka, Vel, Rix
  int valueSlots;    // frame record layout
  int portSlots;
  int counterSlot;  // -1: the family has no counter
  int triggerSlot;
  int readLimitBytes;      // per QeloMsrReadNonBlocking call
  bool temperatureSensor;  // QeloMsrGetTemperature measures something
  // Where the calibration records lie in device memory (read by
  // CalibrationView): at calibrationAddress, or at the address register
  // 0xF0000030 holds when that is 0; dual-point input and output records
  // (Ka, Vel) or simple records (Rix), one per channel and range index.
  unsigned calibrationAddress;
  bool simpleCalibration;
  int outputRecordOffset;  // dual-point families: records of AO-0, AO-1, ...
  int inputRecordOffset;   // records of channel c, range r at + 8 * (rangesPerRecordRow * c + r)
  int rangesPerRecordRow;
};
// The family of a device type code; throws std::runtime_error for a code the
// tool does not know.
const FamilyInfo& familyInfo(int typeCode);

// One entry of the library's enumeration list. Enumerating reads the version
// register of each device and writes nothing.
struct DeviceEntry {
  int index = 0;
  std::string identifier;
  int type = 0;
  std::string firmware;
};

// Enumerates every attached device of all families.
std::vector<DeviceEntry> enumerateDevices();

// The entry named by text: an index of the list ("0"), an identifier in any
// case ("usb:1-0-3"), or a family with an optional position among the
// devices of that family ("ka", "rix:1"). Throws std::runtime_error naming
// the text and listing the attached devices when nothing matches.
DeviceEntry selectDevice(const std::vector<DeviceEntry>& entries, const std::string& text);

// A peripheral of the identifier space with the name the device gives it.
struct Peripheral {
  int id;
  std::string name;
};

// Identifier kinds (0x7A50kk00) that name peripherals.
constexpr int kKindDigitalPort = QELOMSR_ID_DIGITAL_PORT(0);
constexpr int kKindAnalogInput = QELOMSR_ID_ANALOG_INPUT(0);
constexpr int kKindDiffInput = QELOMSR_ID_DIFF_INPUT(0);
constexpr int kKindAnalogOutput = QELOMSR_ID_ANALOG_OUTPUT(0);
constexpr int kKindCounter = QELOMSR_ID_COUNTER;
constexpr int kKindTrigger = QELOMSR_ID_TRIGGER;
constexpr int kKindCurrentSource = QELOMSR_ID_CURRENT_SOURCE(0);
constexpr int kKindLed = QELOMSR_ID_LED;
inline int kindOf(int id) { return id & ~0xFF; }
inline bool isAnalogInput(int id) {
  return kindOf(id) == kKindAnalogInput || kindOf(id) == kKindDiffInput;
}

// The limits of a range in volts.
struct RangeLimits {
  float minVolts = 0;
  float maxVolts = 0;
};

// An open device; closes its handle when destroyed. Opening resets the
// device's peripherals.
class Device {
 public:
  // Opens the device that selectDevice picks from a fresh enumeration.
  static Device open(const std::string& text);
  // Opens an entry of the latest enumeration.
  static Device open(const DeviceEntry& entry);

  Device(Device&& other) noexcept;
  Device& operator=(Device&&) = delete;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device();

  int handle() const { return handle_; }
  const DeviceEntry& entry() const { return entry_; }
  const FamilyInfo& family() const { return familyInfo(entry_.type); }

  std::string serialNumber() const;
  int parameter(int index) const;
  // "USB:1-0-3 (Ka, serial QeloKa@KA1X-004711, firmware 1.4)".
  std::string describe() const;
  // Every peripheral the device names, in identifier order (asked once).
  const std::vector<Peripheral>& peripherals() const;
  // The identifier of a peripheral given by its name ("AI-3", "ai-3") or as
  // a number ("0x7A501103"); throws UsageError when the device has no such
  // peripheral. kinds, when not empty, restricts the accepted identifier kinds.
  int resolve(const std::string& text, std::initializer_list<int> kinds = {}) const;
  std::string nameOf(int id) const;
  // The ranges an analog input or output offers, in device order.
  std::vector<int> ranges(int peripheralId) const;
  RangeLimits limits(int peripheralId, int rangeId) const;
  // A range given by its upper limit with or without a unit ("10V", "100mV",
  // "0.1", "3.3V"); throws UsageError listing the ranges of the peripheral
  // when it has no such range.
  int resolveRange(int peripheralId, const std::string& text) const;
  // Human readable limits of a range ("-10 .. 10 V").
  std::string describeRange(int peripheralId, int rangeId) const;
  // The value slot of an analog input in a frame record.
  int valueSlot(int inputId) const;

 private:
  Device(int handle, DeviceEntry entry) : handle_(handle), entry_(std::move(entry)) {}
  int handle_;
  DeviceEntry entry_;
  mutable std::vector<Peripheral> peripherals_;
  mutable bool peripheralsKnown_ = false;
};

// The name of a range by its upper limit, in the grammar resolveRange reads:
// 10V, 100mV, 3.3V.
std::string rangeName(float maxVolts);

// A peripheral with an optional range: "AI-0:10mV" or "AI-1".
struct ChannelSpec {
  std::string name;
  std::string range;  // empty: none given
};
ChannelSpec parseChannelSpec(const std::string& text);

// Parses an integer in decimal, hex (0x..) or octal (0..) notation; throws
// UsageError naming what for.
long long parseInteger(const std::string& text, const char* what);
// Parses a finite floating-point number; throws UsageError naming what for.
double parseNumber(const std::string& text, const char* what);

}  // namespace qcli
