// Output frames: the output mask, single-frame writes and output streaming.
#include <qelomsr/qelomsr.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "comm-api/src/api/protocol.h"
#include "devices/family_registers.h"
#include "devices/qelofamily.h"

using namespace familyregs;

void QeloFamily::setupOutputFrame(int* ios, int iosCount) {
  if (iosCount <= 0) throw std::invalid_argument("At least one output must be specified.");
  checkNoDataGeneration();
  state.outputMask = buildMask(ios, iosCount, &QeloFamily::checkOutPortIsValid);
  writeBytes(kRegOutputMask, state.outputMask.data(), static_cast<int>(state.outputMask.size()));
}

void QeloFamily::muxFrame(const float* values, const int* ports, uint8_t* raw) const {
  const uint8_t* mask = state.outputMask.data();
  const size_t length = state.outputMask.size();
  for (size_t i = 0; i < length; ++i) {
    const size_t slot = mask[i] & 0x7F;
    const unsigned word = (mask[i] & 0x80) != 0
                              ? static_cast<unsigned>(ports[slot]) & 0xFFFFu
                              : outputCalibrators[slot][0]->calibrate(values[slot]);
    putLe16(raw + 2 * i, word);
  }
}

void QeloFamily::writeFrame(float* vbuffer, int* buffer) {
  checkNoDataGeneration();
  if (state.outputMask.empty()) throw std::logic_error("No or invalid write mask specified.");
  muxFrame(vbuffer, buffer, writeBuffer.data());
  writeBytes(kRegOutputFrame, writeBuffer.data(), 2 * static_cast<int>(state.outputMask.size()));
}

int QeloFamily::writeNonBlocking(float* vbuffer, int* buffer, int frameCount) {
  if (!table.outputStreaming) throw std::logic_error("Not supported.");
  if (state.outputMask.empty()) throw std::logic_error("No or invalid write mask specified.");
  if (frameCount < 0) throw std::invalid_argument("Frame count must be >= 0.");
  const unsigned status = device->readRegister(kRegOutputStatus);
  if ((status & kStatusUnderrun) != 0) throw std::runtime_error("Buffer underrun");
  const unsigned frameBytes = 2 * static_cast<unsigned>(state.outputMask.size());
  const unsigned n = std::min(
      {kWriteLimitBytes / frameBytes, static_cast<unsigned>(frameCount), status / frameBytes});
  if (n == 0) return 0;
  // Streamed frame i takes one value slot and two port slots.
  for (unsigned i = 0; i < n; ++i) {
    muxFrame(vbuffer + i, buffer + 2 * static_cast<size_t>(i),
             writeBuffer.data() + static_cast<size_t>(i) * frameBytes);
  }
  writeBytes(kRegOutputBuffer, writeBuffer.data(), static_cast<int>(n * frameBytes));
  return static_cast<int>(n);
}

void QeloFamily::writeBlocking(float* vbuffer, int* buffer, int frameCount) {
  if (!table.outputStreaming) throw std::logic_error("Not supported.");
  if (frameCount < 0) throw std::invalid_argument("Frame count must be >= 0.");
  if (frameCount == 0) return;
  auto lastProgress = std::chrono::steady_clock::now();
  int remaining = frameCount;
  while (remaining != 0) {
    const int k = writeNonBlocking(vbuffer, buffer, remaining);
    remaining -= k;
    pollPause();
    vbuffer += k;
    buffer += 2 * static_cast<size_t>(k);
    const auto now = std::chrono::steady_clock::now();
    if (k > 0) {
      lastProgress = now;
    } else if (const long long limit = blockingStallLimitMs();
               limit > 0 && now - lastProgress >= std::chrono::milliseconds(limit)) {
      throwStalled("accepted", limit);
    }
  }
}
