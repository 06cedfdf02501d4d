// A failure the panel reports to the page: an HTTP status and a message that
// says what went wrong, shown where the user acted.
#pragma once

#include <stdexcept>
#include <string>

namespace qpanel {

class PanelError : public std::runtime_error {
 public:
  PanelError(int status, const std::string& message)
      : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
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

}  // namespace qpanel
