// USB bulk timing: packet counts of the register protocol's messages, the frame
// rate a bus can carry for a readNonBlocking loop, and a timer that makes each
// transfer of a transport take as long as the bus would need for it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qbench {

// One bulk endpoint pair on a bus: packets of packetBytes, at most
// packetsPerInterval bulk packets per (micro)frame of intervalNs.
struct UsbBusSpec {
  const char* name;
  int packetBytes;
  int packetsPerInterval;
  std::int64_t intervalNs;

  // Time one packet occupies when the bus is saturated.
  double packetNs() const { return static_cast<double>(intervalNs) / packetsPerInterval; }
  double packetsPerSecond() const { return packetsPerInterval * 1e9 / intervalNs; }
};

// USB 2.0 full speed: 64-byte packets, 19 per 1 ms frame (1.216 MB/s).
constexpr UsbBusSpec kFullSpeed{"full-speed", 64, 19, 1000000};
// USB 2.0 high speed: 512-byte packets, 13 per 125 us microframe (53.248 MB/s).
constexpr UsbBusSpec kHighSpeed{"high-speed", 512, 13, 125000};

// Framing of the register protocol as the library uses it: 64-byte request
// headers, payloads padded to multiples of 64 bytes.
constexpr int kHeaderBytes = 64;
constexpr int kPayloadBlockBytes = 64;

// Packets of one message: ceil(bytes / packet), and a zero-length message
// still costs one (zero-length) packet.
std::int64_t packetsForMessage(const UsbBusSpec& bus, std::int64_t bytes);

// Bytes on the wire of the reply to a read of `count` data bytes.
std::int64_t replyBytes(std::int64_t count);

// Packets of one readNonBlocking that delivers `frames` frames of `frameBytes`:
// the status register read (request and reply) plus the block read (request
// and padded reply). With frames == 0 only the status read goes on the wire.
std::int64_t packetsPerRead(const UsbBusSpec& bus, int frames, int frameBytes);

struct BusCeiling {
  double framesPerSecond = 0;  // the most frames per second the loop can move
  int framesPerCall = 0;       // frames per readNonBlocking at that rate
  std::int64_t packetsPerCall = 0;
};

// The highest frame rate a back-to-back readNonBlocking loop can sustain on
// the bus when every call moves at most perCallLimitBytes of frame data:
// the best n / (packets(n) * packet time) over 1 <= n <= limit / frameBytes.
BusCeiling busCeiling(const UsbBusSpec& bus, int frameBytes, int perCallLimitBytes);

// Makes every transfer last as long as the bus would need for it. The bus
// carries one packet per packetNs (saturated bulk throughput); a transfer
// starts when it is issued and the bus has finished the transfers before
// it, and occupies the bus for its packets. An IN transfer returns when
// its last packet has arrived. An OUT transfer only books its slots (the
// reply that the protocol reads next is scheduled after them, so the caller
// waits once per request) and waits only when the caller runs more than one
// bus interval ahead of the bus.
class BusTimer {
 public:
  // spinNs: the last part of every wait is spent spinning instead of
  // sleeping, for waits too short for the scheduler (high speed).
  explicit BusTimer(const UsbBusSpec& bus, std::int64_t spinNs = 0);

  // Notes that the host issues a transfer now. The device's own work on the
  // transfer (the emulator runs on the host's thread) then overlaps with the
  // bus time, as it does on real hardware; without it the transfer counts as
  // issued when transfer() is called.
  void issue();

  // Blocks the caller until the bus has carried `bytes` in the given direction.
  void transfer(bool in, std::size_t bytes);

  struct Stats {
    std::int64_t transfers = 0;
    std::int64_t packets = 0;
    std::int64_t waits = 0;
    std::int64_t lateNs = 0;     // sum over waits of (wake-up - deadline)
    std::int64_t maxLateNs = 0;  // the worst single wake-up
  };
  const Stats& stats() const { return stats_; }
  void resetStats() { stats_ = Stats{}; }
  const UsbBusSpec& bus() const { return bus_; }

 private:
  void waitUntil(std::int64_t deadlineNs);

  UsbBusSpec bus_;
  std::int64_t spinNs_;
  double packetNs_;
  std::int64_t epochNs_;
  std::int64_t issuedNs_ = -1;  // from issue(), until the next transfer()
  double busFreeNs_ = 0;        // when the bus has carried everything booked, from epochNs_
  Stats stats_;
};

// CLOCK_MONOTONIC in nanoseconds (the clock of std::chrono::steady_clock).
std::int64_t monotonicNs();

}  // namespace qbench
