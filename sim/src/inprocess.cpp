#include "qsim/inprocess.h"

#include <stdexcept>
#include <utility>

namespace qsim {

namespace {
// Texts of the USB transport, so callers see the same failures on both.
const char kReadFailed[] = "Failed to read data from device (using bulk transfer).";
const char kWriteFailed[] = "Failed to write data to device (using bulk transfer).";

[[noreturn]] void fail(const char* what, const char* errorName) {
  throw std::runtime_error(std::string(what) + ": " + errorName);
}
}  // namespace

InProcessRawDevice::InProcessRawDevice(std::shared_ptr<UsbFunction> function, std::string uniqueId)
    : function_(std::move(function)), uniqueId_(std::move(uniqueId)) {
  if (!function_) throw std::invalid_argument("InProcessRawDevice needs a device model");
}

InProcessRawDevice::~InProcessRawDevice() = default;

int InProcessRawDevice::getConnectionType() const { return 0; }

std::string InProcessRawDevice::getUniqueId() const { return uniqueId_; }

void InProcessRawDevice::open() {
  close();
  if (function_->unplugged()) fail("Can't open device", "LIBUSB_ERROR_NO_DEVICE");
  if (function_->interfaceHeld()) {
    fail("Can't claim device (run as root or adjust udev rules)", "LIBUSB_ERROR_BUSY");
  }
  open_ = true;
}

void InProcessRawDevice::close() { open_ = false; }

void InProcessRawDevice::write(const unsigned char* data, int len) {
  if (!open_) fail(kWriteFailed, "LIBUSB_ERROR_NO_DEVICE");
  if (len < 0 || (data == nullptr && len > 0)) {
    fail(kWriteFailed, "LIBUSB_ERROR_INVALID_PARAM");
  }
  const int rc = function_->bulkOut(data, static_cast<size_t>(len));
  if (rc == kOutGone) fail(kWriteFailed, "LIBUSB_ERROR_NO_DEVICE");
  if (rc == kOutStall) fail(kWriteFailed, "LIBUSB_ERROR_PIPE");
  if (hook_) hook_(Direction::Out, static_cast<size_t>(len));
}

void InProcessRawDevice::read(unsigned char* data, int len) {
  if (!open_) fail(kReadFailed, "LIBUSB_ERROR_NO_DEVICE");
  if (len < 0 || (data == nullptr && len > 0)) fail(kReadFailed, "LIBUSB_ERROR_INVALID_PARAM");
  int done = 0;
  while (done < len) {
    const int rc = function_->bulkIn(data + done, static_cast<size_t>(len - done));
    if (rc == kInPending || rc == 0) fail(kReadFailed, "LIBUSB_ERROR_TIMEOUT");
    if (rc == kInGone) fail(kReadFailed, "LIBUSB_ERROR_NO_DEVICE");
    if (rc == kInStall) fail(kReadFailed, "LIBUSB_ERROR_PIPE");
    if (rc < 0 || rc > len - done) fail(kReadFailed, "LIBUSB_ERROR_OVERFLOW");
    done += rc;
    if (hook_) hook_(Direction::In, static_cast<size_t>(rc));
  }
}

void InProcessRawDevice::setTimeout(int ms) { timeoutMs_ = ms; }

int InProcessRawDevice::getTimeout() const { return timeoutMs_; }

int InProcessRawDevice::getIntProperty(int id) const {
  if (id == 0) return function_->vendorId();
  if (id == 1) return function_->productId();
  return 0;
}

void InProcessRawDevice::setTransferHook(TransferHook hook) { hook_ = std::move(hook); }

bool InProcessRawDevice::isOpen() const { return open_; }

}  // namespace qsim
