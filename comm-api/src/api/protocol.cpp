#include "comm-api/src/api/protocol.h"

#include <time.h>

#include <algorithm>
#include <boost/format.hpp>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "comm-api/src/api/logging.h"

namespace commapi {

namespace {

constexpr unsigned kWriteBit = 0x80000000u;      // direction: host to device
constexpr unsigned kIncrementBit = 0x40000000u;  // consecutive addresses
constexpr int kFixedAddressFlag = 1;             // flags bit 0
constexpr int kMaxCount = (1 << 30) - 1;         // the byte count field has 30 bits

void putLittleEndian(unsigned char* p, unsigned value) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
  p[2] = static_cast<unsigned char>(value >> 16);
  p[3] = static_cast<unsigned char>(value >> 24);
}

unsigned getLittleEndian(const unsigned char* p) {
  return static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8 |
         static_cast<unsigned>(p[2]) << 16 | static_cast<unsigned>(p[3]) << 24;
}

// A request needs a device; a block count must be non-negative, and a single
// request carries at most `limit` bytes (a whole block any int count: it is
// cut into requests). Data may be null only for an empty block.
void checkBlock(const RawDevice* dev, const void* data, int count, int limit) {
  if (dev == nullptr) throw std::invalid_argument("Invalid raw device.");
  if (count < 0 || count > limit)
    throw std::invalid_argument((boost::format("Invalid block size: %i.") % count).str());
  if (data == nullptr && count > 0) throw std::invalid_argument("Invalid data pointer.");
}

// Sleeps `ms` milliseconds; an interrupted sleep continues for the time left.
void sleepMs(int ms) {
  timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

Protocol::Protocol(int hs_, int bs_, int mps_, int rwct_)
    : hs(hs_), bs(bs_), mps(mps_), rwct(rwct_) {
  if (hs < 8 || hs > kMaxCount)
    throw std::invalid_argument((boost::format("Invalid header size: %i.") % hs).str());
  if (bs <= 0 || bs > kMaxCount)
    throw std::invalid_argument((boost::format("Invalid payload block size: %i.") % bs).str());
  if (mps <= 0 || mps > kMaxCount)
    throw std::invalid_argument((boost::format("Invalid maximum payload size: %i.") % mps).str());
  // The largest request is allocated once; every later request reuses it.
  buffer.reserve(static_cast<std::size_t>(hs) + getNextPayloadGranularity(mps));
}

void Protocol::buildHeader(bool read, unsigned address, unsigned count, int flags,
                           std::vector<unsigned char>& buf) {
  if (buf.size() < 8) throw std::logic_error("Protocol header buffer too small.");
  unsigned control = count;
  if (!read) control |= kWriteBit;
  if ((flags & kFixedAddressFlag) == 0) control |= kIncrementBit;
  putLittleEndian(buf.data(), control);
  putLittleEndian(buf.data() + 4, address);
}

int Protocol::getNextPayloadGranularity(int count) const {
  const int rest = count % bs;
  return rest == 0 ? count : count + (bs - rest);
}

void Protocol::outBlock(RawDevice* dev, unsigned address, const unsigned char* data, int count,
                        int flags) {
  checkBlock(dev, data, count, mps);
  const std::size_t payload = static_cast<std::size_t>(getNextPayloadGranularity(count));
  const std::size_t total = static_cast<std::size_t>(hs) + payload;
  buffer.resize(total);
  buildHeader(false, address, static_cast<unsigned>(count), flags, buffer);
  // Reserved header bytes and padding are cleared, so no earlier traffic is
  // repeated to the device.
  std::fill(buffer.begin() + 8, buffer.begin() + hs, 0);
  if (count > 0) std::memcpy(buffer.data() + hs, data, static_cast<std::size_t>(count));
  std::fill(buffer.begin() + hs + count, buffer.end(), 0);
  dev->write(buffer.data(), static_cast<int>(total));
}

void Protocol::inBlock(RawDevice* dev, unsigned address, unsigned char* data, int count,
                       int flags) {
  checkBlock(dev, data, count, mps);
  buffer.resize(static_cast<std::size_t>(hs));
  buildHeader(true, address, static_cast<unsigned>(count), flags, buffer);
  std::fill(buffer.begin() + 8, buffer.end(), 0);
  dev->write(buffer.data(), hs);
  if (rwct > 0) sleepMs(rwct);
  const int payload = getNextPayloadGranularity(count);
  if (payload == 0) return;
  buffer.resize(static_cast<std::size_t>(payload));
  dev->read(buffer.data(), payload);
  std::memcpy(data, buffer.data(), static_cast<std::size_t>(count));
}

void Protocol::writeBlock(RawDevice* dev, unsigned address, const unsigned char* data, int count,
                          int flags) {
  checkBlock(dev, data, count, std::numeric_limits<int>::max());
  if (isTrace())
    _tr((boost::format("PRT: Write %i bytes to address 0x%08x") % count % address).str());
  if (isDump()) _dp(false, address, data, count);
  unsigned current = address;
  int remaining = count;
  while (remaining > 0) {
    const int chunk = std::min(remaining, mps);
    outBlock(dev, current, data, chunk, flags);
    if ((flags & kFixedAddressFlag) == 0) current += static_cast<unsigned>(chunk);
    data += chunk;
    remaining -= chunk;
  }
}

void Protocol::readBlock(RawDevice* dev, unsigned address, unsigned char* data, int count,
                         int flags) {
  checkBlock(dev, data, count, std::numeric_limits<int>::max());
  if (isTrace())
    _tr((boost::format("PRT: Read %i bytes from address 0x%08x") % count % address).str());
  unsigned current = address;
  unsigned char* out = data;
  int remaining = count;
  while (remaining > 0) {
    const int chunk = std::min(remaining, mps);
    inBlock(dev, current, out, chunk, flags);
    if ((flags & kFixedAddressFlag) == 0) current += static_cast<unsigned>(chunk);
    out += chunk;
    remaining -= chunk;
  }
  if (isDump()) _dp(true, address, data, count);
}

void Protocol::writeRegister(RawDevice* dev, unsigned address, unsigned value) {
  unsigned char bytes[4];
  putLittleEndian(bytes, value);
  writeBlock(dev, address, bytes, 4, 0);
}

unsigned Protocol::readRegister(RawDevice* dev, unsigned address) {
  unsigned char bytes[4];
  readBlock(dev, address, bytes, 4, 0);
  return getLittleEndian(bytes);
}

ProtocolDevice::ProtocolDevice(const std::shared_ptr<RawDevice>& raw, int hs, int bs, int mps,
                               int rwct)
    : rawDevice(raw), protocol(std::make_shared<Protocol>(hs, bs, mps, rwct)) {
  if (!rawDevice) throw std::invalid_argument("Invalid raw device.");
}

RawDevice* ProtocolDevice::raw() const {
  if (!rawDevice) throw std::logic_error("Protocol device has no raw device.");
  return rawDevice.get();
}

void ProtocolDevice::_writeBlock(unsigned address, const unsigned char* data, int count,
                                 int flags) {
  protocol->writeBlock(raw(), address, data, count, flags);
}

void ProtocolDevice::_readBlock(unsigned address, unsigned char* data, int count, int flags) {
  protocol->readBlock(raw(), address, data, count, flags);
}

void ProtocolDevice::writeRegister(unsigned address, unsigned value) {
  protocol->writeRegister(raw(), address, value);
}

unsigned ProtocolDevice::readRegister(unsigned address) {
  return protocol->readRegister(raw(), address);
}

std::shared_ptr<ProtocolDevice> createProtocolDevice(const std::shared_ptr<RawDevice>& raw, int hs,
                                                     int bs, int mps, int rwct) {
  if (isLogging())
    _lg((boost::format("PRT: Create protocol device: hs: %i, bs: %i, mps: %i, rwct: %i") % hs % bs %
         mps % rwct)
            .str());
  return std::make_shared<ProtocolDevice>(raw, hs, bs, mps, rwct);
}

}  // namespace commapi
