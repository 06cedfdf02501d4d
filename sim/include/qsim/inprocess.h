// commapi::RawDevice that talks to a device model in the same process: the
// fast transport for unit tests and benchmarks of the library.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "comm-api/src/api/rawdevice.h"
#include "qsim/usb_function.h"

namespace qsim {

enum class Direction { Out, In };

// Called once per bulk transfer with its direction and byte count, after the
// transfer reached the device (OUT) or returned bytes (IN). It may sleep or
// account time to model bus timing.
using TransferHook = std::function<void(Direction, size_t bytes)>;

class InProcessRawDevice : public commapi::RawDevice {
 public:
  InProcessRawDevice(std::shared_ptr<UsbFunction> function, std::string uniqueId);
  ~InProcessRawDevice() override;

  int getConnectionType() const override;  // 0, as the USB transport
  std::string getUniqueId() const override;
  // Fails like the USB transport for an unplugged device or a held interface.
  void open() override;
  void close() override;
  // write -> one bulkOut; read -> bulkIn until len bytes. A missing reply
  // (kInPending) fails at once as a timeout, a vanished device as no device.
  void write(const unsigned char* data, int len) override;
  void read(unsigned char* data, int len) override;
  void setTimeout(int ms) override;
  int getTimeout() const override;
  int getIntProperty(int id) const override;

  void setTransferHook(TransferHook hook);
  bool isOpen() const;

 private:
  std::shared_ptr<UsbFunction> function_;
  std::string uniqueId_;
  TransferHook hook_;
  int timeoutMs_ = 1000;
  bool open_ = false;
};

}  // namespace qsim
