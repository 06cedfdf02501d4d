// Abstract byte-message transport under the register protocol.
#pragma once

#include <memory>
#include <string>

namespace commapi {

class RawDevice {
 public:
  virtual ~RawDevice() = default;
  // Kind of transport; the USB implementation returns 0.
  virtual int getConnectionType() const = 0;
  // Location identifier under which the device was enumerated ("USB:1-0-3").
  virtual std::string getUniqueId() const = 0;
  // Makes the device ready for transfers; opening an open device reopens it.
  virtual void open() = 0;
  // Ends the connection; does nothing when not open; never throws.
  virtual void close() = 0;
  // Sends exactly len bytes as one message, or throws.
  virtual void write(const unsigned char* data, int len) = 0;
  // Receives exactly len bytes into data, or throws.
  virtual void read(unsigned char* data, int len) = 0;
  // Time limit for each single transfer, in milliseconds.
  virtual void setTimeout(int ms) = 0;
  virtual int getTimeout() const = 0;
  // id 0 = vendor id, id 1 = product id, any other id = 0.
  virtual int getIntProperty(int id) const = 0;
};

}  // namespace commapi
