#include "bench/common/bus_model.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace qbench {

std::int64_t monotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::int64_t packetsForMessage(const UsbBusSpec& bus, std::int64_t bytes) {
  if (bytes <= 0) return 1;
  return (bytes + bus.packetBytes - 1) / bus.packetBytes;
}

std::int64_t replyBytes(std::int64_t count) {
  return (count + kPayloadBlockBytes - 1) / kPayloadBlockBytes * kPayloadBlockBytes;
}

std::int64_t packetsPerRead(const UsbBusSpec& bus, int frames, int frameBytes) {
  // Status register: 64-byte request, 4 data bytes padded to a 64-byte reply.
  std::int64_t packets =
      packetsForMessage(bus, kHeaderBytes) + packetsForMessage(bus, replyBytes(4));
  if (frames > 0) {
    const std::int64_t data = static_cast<std::int64_t>(frames) * frameBytes;
    packets += packetsForMessage(bus, kHeaderBytes) + packetsForMessage(bus, replyBytes(data));
  }
  return packets;
}

BusCeiling busCeiling(const UsbBusSpec& bus, int frameBytes, int perCallLimitBytes) {
  BusCeiling best;
  if (frameBytes <= 0) return best;
  const int maxFrames = perCallLimitBytes / frameBytes;
  for (int n = 1; n <= maxFrames; ++n) {
    const std::int64_t packets = packetsPerRead(bus, n, frameBytes);
    const double fps = n * bus.packetsPerSecond() / static_cast<double>(packets);
    if (fps > best.framesPerSecond) best = BusCeiling{fps, n, packets};
  }
  return best;
}

BusTimer::BusTimer(const UsbBusSpec& bus, std::int64_t spinNs)
    : bus_(bus), spinNs_(spinNs), packetNs_(bus.packetNs()), epochNs_(monotonicNs()) {}

void BusTimer::issue() { issuedNs_ = monotonicNs(); }

void BusTimer::transfer(bool in, std::size_t bytes) {
  const std::int64_t packets = packetsForMessage(bus_, static_cast<std::int64_t>(bytes));
  const std::int64_t now = monotonicNs();
  const std::int64_t issued = issuedNs_ >= 0 ? issuedNs_ : now;
  issuedNs_ = -1;
  // The bus carries one packet per packetNs; a transfer starts when the bus
  // is free and the caller has issued it.
  const double start = std::max(busFreeNs_, static_cast<double>(issued - epochNs_));
  busFreeNs_ = start + static_cast<double>(packets) * packetNs_;
  const std::int64_t end = epochNs_ + static_cast<std::int64_t>(std::ceil(busFreeNs_));
  ++stats_.transfers;
  stats_.packets += packets;
  if (in) {
    waitUntil(end);
  } else if (end - now > bus_.intervalNs) {
    waitUntil(end - bus_.intervalNs);
  }
}

void BusTimer::waitUntil(std::int64_t deadlineNs) {
  const std::int64_t sleepUntil = deadlineNs - spinNs_;
  if (sleepUntil > monotonicNs()) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(sleepUntil / 1000000000);
    ts.tv_nsec = static_cast<long>(sleepUntil % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
  }
  std::int64_t now = monotonicNs();
  while (now < deadlineNs) now = monotonicNs();
  const std::int64_t late = now - deadlineNs;
  ++stats_.waits;
  stats_.lateNs += late;
  stats_.maxLateNs = std::max(stats_.maxLateNs, late);
}

}  // namespace qbench
