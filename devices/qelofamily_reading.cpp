// Reading input frames: the demultiplexer, buffered reads (non-blocking and
// blocking) and the single frame sampled on demand.
#include <qelomsr/qelomsr.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>

#include "comm-api/src/api/protocol.h"
#include "devices/family_registers.h"
#include "devices/qelofamily.h"

using namespace familyregs;

namespace {
// Word `src` of every frame (`stride` bytes apart) into slot `dst` of every
// record (`slots` apart), through `convert`.
template <typename Out, typename Convert>
void demuxColumn(const uint8_t* src, size_t stride, size_t frames, Out* dst, size_t slots,
                 Convert convert) {
  for (size_t f = 0; f < frames; ++f) dst[f * slots] = convert(le16(src + f * stride));
}

uint16_t rawWord(uint16_t word) { return word; }
}  // namespace

void QeloFamily::demuxFrame(const uint8_t* raw, float* values, int* ports) const {
  demuxFrames(raw, 1, state.inputMask.data(), state.inputMask.size(), state.analogRange.data(),
              values, ports);
}

void QeloFamily::demuxFrames(const uint8_t* raw, int frames, const uint8_t* mask, size_t length,
                             const DeviceState::AnalogRange* ranges, float* values,
                             int* ports) const {
  const size_t stride = 2 * length;
  const size_t n = static_cast<size_t>(frames);
  const size_t v = static_cast<size_t>(table.valueSlots);
  const size_t p = static_cast<size_t>(table.portSlots);
  for (size_t i = 0; i < length; ++i) {
    const uint8_t code = mask[i];
    const uint8_t* src = raw + 2 * i;
    if ((code & 0x80) == 0) {
      const size_t c = code & 0x3F;
      const InputCalibrator* cal = inputCalibrators[c][ranges[c]].get();
      // The families' calibrator classes convert inline; any other class
      // through its virtual calibrate.
      if (const auto* dual = dynamic_cast<const DualPointInputCalibrator*>(cal)) {
        demuxColumn(src, stride, n, values + c, v, [dual](int w) { return dual->convert(w); });
      } else if (const auto* simple = dynamic_cast<const SimpleInputCalibrator*>(cal)) {
        demuxColumn(src, stride, n, values + c, v, [simple](int w) { return simple->convert(w); });
      } else {
        demuxColumn(src, stride, n, values + c, v, [cal](int w) { return cal->calibrate(w); });
      }
    } else if ((code & 0xC0) == 0x80) {
      demuxColumn(src, stride, n, ports + (code & 0x3F), p, rawWord);
    } else if (code == kCodeCounterHigh && i + 1 < length) {
      int* dst = ports + table.counterSlot;
      for (size_t f = 0; f < n; ++f) {
        const uint8_t* word = src + f * stride;
        dst[f * p] =
            static_cast<int32_t>((static_cast<uint32_t>(le16(word)) << 16) | le16(word + 2));
      }
      ++i;  // the low word (code 0xC1) belongs to the counter
    } else if (code == kCodeTrigger) {
      demuxColumn(src, stride, n, ports + table.triggerSlot, p, rawWord);
    }
  }
}

int QeloFamily::readNonBlocking(float* vbuffer, int* buffer, int maxFrames) {
  if (state.inputMask.empty()) throw std::logic_error("No or invalid read mask specified.");
  if (maxFrames < -1) throw std::invalid_argument("Frame count must be >= 0 or -1.");
  // Buffered frames are split by the mask they were sampled under.
  const std::vector<uint8_t>& mask = state.acquisitionMask;
  const int frameBytes = 2 * static_cast<int>(std::max<size_t>(mask.size(), 1));
  int n = table.readLimitBytes / frameBytes;
  if (maxFrames != -1 && maxFrames < n) n = maxFrames;
  const unsigned status = device->readRegister(kRegInputStatus);
  // An overflow or an early trigger leaves the frames the device kept intact:
  // the whole frames it holds at the first report are handed out first, in
  // order, and the error comes with the first call that finds none of them
  // left. Under an overflow these are exactly the frames before the first
  // lost one (a full buffer drops new frames, and frames stored once room
  // frees come after the gap), so the frames delivered before the error
  // count up to the gap.
  const unsigned bytes = status & kStatusBytes;
  const long long held = mask.empty() ? 0 : bytes / static_cast<unsigned>(frameBytes);
  const unsigned faults = status & (kStatusOverflow | kStatusEarlyTrigger);
  if (faults != 0 && state.statusFault == 0) {
    state.statusFault = faults;
    state.framesBeforeFault = held;
  }
  if (state.statusFault != 0) {
    // Frames the device no longer holds are not coming any more.
    state.framesBeforeFault = std::min(state.framesBeforeFault, held);
    if (state.framesBeforeFault == 0) {
      if ((state.statusFault & kStatusOverflow) != 0) throw std::runtime_error("Buffer overflow.");
      throw std::runtime_error(
          "A frame sample trigger has been detected to early, reduce trigger frequency.");
    }
  }
  if (mask.empty()) {
    // No acquisition ran since the buffer was emptied: whatever the device
    // reports now was not sampled under a mask this library knows.
    if (bytes != 0)
      throw std::runtime_error("The device buffers frames of an unknown input frame.");
    return 0;
  }
  // The device's byte count only ever lowers n: the transfer and the caller's
  // arrays stay within the per-call limit whatever the device reports.
  n = static_cast<int>(std::min<long long>(n, held));
  if (state.statusFault != 0) n = static_cast<int>(std::min<long long>(n, state.framesBeforeFault));
  if (n == 0) return 0;
  const size_t v = static_cast<size_t>(table.valueSlots);
  const size_t p = static_cast<size_t>(table.portSlots);
  std::fill_n(vbuffer, v * static_cast<size_t>(n), 0.0f);
  std::fill_n(buffer, p * static_cast<size_t>(n), 0);
  readBytes(kRegInputBuffer, readBuffer.data(), n * frameBytes);
  demuxFrames(readBuffer.data(), n, mask.data(), mask.size(), state.acquisitionRange.data(),
              vbuffer, buffer);
  state.framesDelivered += n;
  if (state.statusFault != 0) state.framesBeforeFault -= n;
  return n;
}

void QeloFamily::readBlocking(float* vbuffer, int* buffer, int frameCount) {
  if (frameCount < 1) throw std::invalid_argument("Frame counter must be > 0.");
  auto lastProgress = std::chrono::steady_clock::now();
  const size_t v = static_cast<size_t>(table.valueSlots);
  const size_t p = static_cast<size_t>(table.portSlots);
  int remaining = frameCount;
  for (;;) {
    if (state.acquisitionActive && state.acquisitionFrameCount > 0 &&
        state.acquisitionFrameCount - state.framesDelivered < remaining) {
      throw std::runtime_error("The data acquisition ends before the requested frames arrive: " +
                               std::to_string(state.acquisitionFrameCount - state.framesDelivered) +
                               " frames remain, " + std::to_string(remaining) + " asked for.");
    }
    const int k = readNonBlocking(vbuffer, buffer, remaining);
    pollPause();
    if (k == remaining) return;
    remaining -= k;
    vbuffer += static_cast<size_t>(k) * v;
    buffer += static_cast<size_t>(k) * p;
    const auto now = std::chrono::steady_clock::now();
    if (k > 0) {
      lastProgress = now;
    } else if (!state.acquisitionActive) {
      throw std::runtime_error("No data acquisition running.");
    } else if (const long long limit = blockingStallLimitMs();
               limit > 0 && now - lastProgress >= std::chrono::milliseconds(limit)) {
      throwStalled("delivered", limit);
    }
  }
}

void QeloFamily::readFrame(float* vbuffer, int* buffer) {
  checkNoDataAcquisition();
  ensureInputMaskValid();
  if (state.inputMask.empty()) throw std::logic_error("No or invalid read mask specified.");
  std::fill_n(vbuffer, table.valueSlots, 0.0f);
  std::fill_n(buffer, table.portSlots, 0);
  const int frameBytes = 2 * static_cast<int>(state.inputMask.size());
  readBytes(kRegConversion, readBuffer.data(), frameBytes);
  demuxFrame(readBuffer.data(), vbuffer, buffer);
}
