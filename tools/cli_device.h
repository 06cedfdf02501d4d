// Thin C++ layer of the command-line tool over the public C interface: error
// records become exceptions that say what happened to which device, devices
// are chosen by identifier, family or serial number, and peripherals and
// ranges are named as the device names them.
#pragma once

#include <qelomsr/qelomsr.h>

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cli_values.h"
#include "usb_scan.h"

namespace qcli {

// What the USB layer reports behind a library failure (the libusb error
// name at the end of the library's text).
enum class UsbFailure {
  None,          // not a USB failure
  Unplugged,     // LIBUSB_ERROR_NO_DEVICE
  InUse,         // LIBUSB_ERROR_BUSY: another program holds the device
  NotAnswering,  // LIBUSB_ERROR_TIMEOUT
  Stalled,       // LIBUSB_ERROR_PIPE: the device refused the transfer
  NoAccess,      // LIBUSB_ERROR_ACCESS: no permission for the device node
  Failed,        // any other LIBUSB_ERROR
};
UsbFailure usbFailureOf(const std::string& libraryMessage);
// What happened, said of a device: "USB:1-0-3 was unplugged",
// "USB:1-0-3 is in use by another program", "USB:1-0-3 does not answer".
std::string failureText(UsbFailure failure, const std::string& identifier);

// A failed library call: the text and class of its error record. When the
// failure concerns a device (its identifier known), what() says first what
// happened to it and then the library's text:
// "USB:1-0-3 was unplugged: Failed to write data ...: LIBUSB_ERROR_NO_DEVICE".
class ApiError : public std::runtime_error {
 public:
  ApiError(int errorId, int errorClass, const std::string& message, const std::string& device = "");
  int errorId() const { return errorId_; }
  int errorClass() const { return errorClass_; }
  const std::string& libraryMessage() const { return libraryMessage_; }
  const std::string& device() const { return device_; }  // empty: not known
  UsbFailure usbFailure() const { return failure_; }
  // The same failure said of a device; with a failure of its own when the
  // reason is known otherwise (a device in use, which the library reports as
  // "Invalid identifier.").
  ApiError about(const std::string& identifier) const { return about(identifier, failure_); }
  ApiError about(const std::string& identifier, UsbFailure failure) const;

 private:
  ApiError(int errorId, int errorClass, const std::string& message, const std::string& device,
           UsbFailure failure);
  int errorId_;
  int errorClass_;
  std::string libraryMessage_;
  std::string device_;
  UsbFailure failure_;
};

// "Buffer overflow.": the device buffer overflowed, frames were lost.
bool isOverflow(const ApiError& e);

// Throws ApiError for a non-zero return code of the library.
void check(int rc);
// Reads the error record of a non-zero return code into an ApiError; said of
// the device of the innermost FailureSubject of this thread, if any.
ApiError errorFor(int rc);

// While alive, library failures read by errorFor() on this thread are said
// of this device ("USB:1-0-3 was unplugged: ..."). The tool runs every
// device command inside one.
class FailureSubject {
 public:
  explicit FailureSubject(std::string identifier);
  ~FailureSubject();
  FailureSubject(const FailureSubject&) = delete;
  FailureSubject& operator=(const FailureSubject&) = delete;

 private:
  std::string identifier_;
  const FailureSubject* outer_;
  friend ApiError errorFor(int rc);
};
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
  // The USB serial string (KA1X-004711); filled in by selectDevice and
  // attachedDevices, empty when unknown.
  std::string usbSerial;
};

// Enumerates every attached device of all families that the library can
// open (a device in use by another program or not answering is left out).
std::vector<DeviceEntry> enumerateDevices();

// A Qelo device seen on the bus, listed by the library or not.
struct AttachedDevice {
  DeviceEntry entry;  // index and firmware only when the library listed it
  // Why the library could not list it (InUse, NotAnswering, NoAccess);
  // None: listed, it can be opened.
  UsbFailure state = UsbFailure::None;
  bool available() const { return state == UsbFailure::None; }
};
// Every Qelo device on the buses, in the order of their identifiers: the
// library's list (entries, from enumerateDevices) joined with a read of the
// buses (usb_scan.h). A device the library did not list is probed as the
// library's enumeration probes it (interface 0 claimed and released at once)
// to tell a device in use from one that does not answer. Opens nothing
// through the library. Without libusb access, the library's list alone.
std::vector<AttachedDevice> attachedDevices(const std::vector<DeviceEntry>& entries);
// "in use by another program", "does not answer", ...; "" for None.
const char* stateText(UsbFailure state);

// The entry named by text, among the devices of attachedDevices(entries):
//  - an identifier, in any case ("usb:1-0-3");
//  - a serial number: the USB serial ("KA1X-004711") or the device's own
//    ("QeloKa@KA1X-004711"), exactly or, when only one matches, in any case;
//  - a family with an optional position among that family's devices on the
//    bus in identifier order ("ka", "rix:1"): stable while devices stay
//    where they are plugged, whether other devices are busy or not.
// A bare number is refused (UsageError): an index counts only the devices
// that could be opened and shifts when one is busy. Throws
// std::runtime_error naming the text and listing the devices on the bus when
// nothing matches, and ApiError saying so when the device named is in use by
// another program, does not answer or cannot be opened.
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
  // Opens an entry of the latest enumeration. A failure is said of the
  // device ("USB:1-0-3 is in use by another program: ...").
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
  // Every peripheral the device names, in identifier order (asked once). The
  // LED is called LED (the library names it "Indicator").
  const std::vector<Peripheral>& peripherals() const;
  // The identifier of a peripheral given by its name ("AI-3", "ai-3"; the LED
  // also as "Indicator") or as a number ("0x7A501103"); throws UsageError
  // when the device has no such peripheral. kinds, when not empty, restricts
  // the accepted identifier kinds.
  int resolve(const std::string& text, std::initializer_list<int> kinds = {}) const;
  std::string nameOf(int id) const;
  // The ranges an analog input or output offers, in device order.
  std::vector<int> ranges(int peripheralId) const;
  RangeLimits limits(int peripheralId, int rangeId) const;
  // A range given by its upper limit in the grammar of parseRangeLimit
  // ("10V", "100mV", "0.1", "3.3V"); throws UsageError listing the ranges of
  // the peripheral when it has no such range.
  int resolveRange(int peripheralId, const std::string& text) const;
  // Human readable limits of a range ("-10 .. 10 V").
  std::string describeRange(int peripheralId, int rangeId) const;
  // The value slot of an analog input in a frame record.
  int valueSlot(int inputId) const;
  // The output enable mask of a digital port as set through this object
  // since it was opened (opening resets every line to an input; the device
  // cannot report the mask).
  int outputEnableMask(int portId) const;
  void setOutputEnableMask(int portId, int mask) const;

 private:
  Device(int handle, DeviceEntry entry) : handle_(handle), entry_(std::move(entry)) {}
  int handle_;
  DeviceEntry entry_;
  mutable std::vector<Peripheral> peripherals_;
  mutable bool peripheralsKnown_ = false;
  mutable std::vector<std::pair<int, int>> outputEnableMasks_;  // port id, mask
};

}  // namespace qcli
