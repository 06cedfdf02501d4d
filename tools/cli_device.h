// Thin C++ layer of the command-line tool over the public C interface: error
// records become exceptions, devices are opened by identifier or list index
// and peripherals are named as the device names them.
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

// Frame record layout and per-call read limit of a device family.
struct FamilyInfo {
  const char* name;
  int valueSlots;
  int portSlots;
  int counterSlot;  // -1: the family has no counter
  int triggerSlot;
  int readLimitBytes;
};
// The family of a device type code; throws std::runtime_error for a code the
// tool does not know.
const FamilyInfo& familyInfo(int typeCode);

// One entry of the library's enumeration list.
struct DeviceEntry {
  int index = 0;
  std::string identifier;
  int type = 0;
  std::string firmware;
};

// Enumerates every attached device of all families.
std::vector<DeviceEntry> enumerateDevices();

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

// An open device; closes its handle when destroyed.
class Device {
 public:
  // Opens the device named by an identifier ("USB:1-0-3") or by its index
  // in a fresh enumeration ("0").
  static Device open(const std::string& identifierOrIndex);
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
  // Every peripheral the device names, in identifier order (asked once).
  const std::vector<Peripheral>& peripherals() const;
  // The identifier of a peripheral given by its name ("AI-3", "ai-3") or as
  // a number ("0x7A501103"); throws UsageError when the device has no such
  // peripheral. kinds, when not empty, restricts the accepted identifier kinds.
  int resolve(const std::string& text, std::initializer_list<int> kinds = {}) const;
  std::string nameOf(int id) const;
  // The ranges an analog input or output offers, in device order.
  std::vector<int> ranges(int peripheralId) const;
  // A range given as an index ("0") or by its upper limit ("10V", "100mV",
  // "3.3"); throws UsageError when the peripheral has no such range.
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

// Parses an integer in decimal, hex (0x..) or octal (0..) notation; throws
// UsageError naming what for.
long long parseInteger(const std::string& text, const char* what);
// Parses a floating-point number; throws UsageError naming what for.
double parseNumber(const std::string& text, const char* what);

}  // namespace qcli
