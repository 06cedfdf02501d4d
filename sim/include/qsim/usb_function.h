// Device side of one emulated USB device: what a transport (the in-process
// raw device or the virtual USB bus) needs from a device model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qsim {

// Results of UsbFunction::bulkIn besides a byte count.
enum : int {
  kInPending = -1,  // nothing to send yet: the IN transfer waits (host times out)
  kInGone = -2,     // device unplugged: the transfer fails as for a vanished device
  kInStall = -3,    // endpoint halted (EPIPE)
};

// Results of UsbFunction::bulkOut.
enum : int {
  kOutOk = 0,
  kOutGone = -2,
  kOutStall = -3,
};

class UsbFunction {
 public:
  virtual ~UsbFunction() = default;
  virtual uint16_t vendorId() const = 0;
  virtual uint16_t productId() const = 0;
  // The serial number string of the USB descriptors (empty: none of its own).
  virtual std::string serialNumber() const { return {}; }
  // One bulk OUT transfer to endpoint 0x02 (a whole request message as the
  // host sent it). Thread-safe.
  virtual int bulkOut(const uint8_t* data, size_t len) = 0;
  // One bulk IN transfer from endpoint 0x81 with room for len bytes. Returns
  // the number of bytes written to data (a short transfer may return fewer
  // than are queued; the rest is delivered by later transfers) or one of the
  // kIn* codes. Thread-safe.
  virtual int bulkIn(uint8_t* data, size_t len) = 0;
  // True while another program holds interface 0 (claim answers EBUSY).
  virtual bool interfaceHeld() const = 0;
  // True after unplug(): every transfer fails as for a vanished device.
  virtual bool unplugged() const = 0;
  // The device was (re)attached to a bus: like a real device after power-up,
  // it forgets replies that were still waiting for the previous host.
  virtual void busReset() {}
  // The bus plugs the device in (true) or takes it out (false): out of its
  // port it has no power.
  virtual void setAttached(bool /*attached*/) {}
};

}  // namespace qsim
