// Register protocol: 32-bit registers and byte blocks in a flat 32-bit device
// address space, framed as request header plus padded payload.
#pragma once

#include <memory>
#include <vector>

#include "rawdevice.h"

namespace commapi {

class Protocol {
 public:
  Protocol(int hs, int bs, int mps, int rwct);

  void buildHeader(bool read, unsigned address, unsigned count, int flags,
                   std::vector<unsigned char>& buffer);
  int getNextPayloadGranularity(int count) const;

  void outBlock(RawDevice* dev, unsigned address, const unsigned char* data, int count, int flags);
  void inBlock(RawDevice* dev, unsigned address, unsigned char* data, int count, int flags);
  void writeBlock(RawDevice* dev, unsigned address, const unsigned char* data, int count,
                  int flags);
  void readBlock(RawDevice* dev, unsigned address, unsigned char* data, int count, int flags);
  void writeRegister(RawDevice* dev, unsigned address, unsigned value);
  unsigned readRegister(RawDevice* dev, unsigned address);

  int headerSize() const { return hs; }
  int blockSize() const { return bs; }
  int maxPayloadSize() const { return mps; }
  int readWaitMs() const { return rwct; }

 private:
  int hs;
  int bs;
  int mps;
  int rwct;
  std::vector<unsigned char> buffer;
};

class ProtocolDevice {
 public:
  ProtocolDevice(const std::shared_ptr<RawDevice>& raw, int hs, int bs, int mps, int rwct);

  void _writeBlock(unsigned address, const unsigned char* data, int count, int flags);
  void _readBlock(unsigned address, unsigned char* data, int count, int flags);
  void writeRegister(unsigned address, unsigned value);
  unsigned readRegister(unsigned address);

  std::shared_ptr<RawDevice> rawDevice;

 private:
  // The raw device, or std::logic_error when it has been taken away.
  RawDevice* raw() const;

  std::shared_ptr<Protocol> protocol;
};

std::shared_ptr<ProtocolDevice> createProtocolDevice(const std::shared_ptr<RawDevice>& raw, int hs,
                                                     int bs, int mps, int rwct);

}  // namespace commapi
