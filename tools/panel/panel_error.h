// A failure the panel reports to the page: an HTTP status and a message that
// says what went wrong, shown where the user acted.
#pragma once

#include <stdexcept>
#include <string>

namespace qpanel {

class PanelError : public std::runtime_error {
 public:
  // code: a word the page acts on ("unsaved": it may ask and try again), or "".
  PanelError(int status, const std::string& message, std::string code = "")
      : std::runtime_error(message), status_(status), code_(std::move(code)) {}
  int status() const { return status_; }
  const std::string& code() const { return code_; }

 private:
  int status_;
  std::string code_;
};

// Statuses used for failures.
constexpr int kBadRequest = 400;      // malformed or invalid input; nothing changed
constexpr int kNotFound = 404;        // no such device, session or peripheral
constexpr int kConflict = 409;        // busy (another page) or not possible now
constexpr int kDeviceFailed = 502;    // the device or its connection failed
constexpr int kNotConnected = 503;    // the device is gone; the panel waits for it
constexpr int kDeviceTimedOut = 504;  // the device did not answer in time

// The status for a failed library call, by its error class.
int statusForErrorClass(int errorClass);

// What happened to an open device's connection, then the library's text:
// "USB:1-0-3 was unplugged. (Failed to write ...: LIBUSB_ERROR_NO_DEVICE)".
std::string connectionFailureText(const std::string& identifier, const std::string& libraryText);
// Why a device could not be opened, then the library's text: "USB:1-0-3 is in
// use by another program. (Can't claim device ...)".
std::string openFailureText(const std::string& identifier, const std::string& libraryText);

}  // namespace qpanel
