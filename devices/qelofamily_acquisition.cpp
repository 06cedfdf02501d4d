// Input frames and acquisition control: the input mask, the buffer capacity,
// the discard of frames a new mask or start must not see, starting and
// stopping, and the stall limit of the blocking calls for the running
// acquisition.
#include <qelomsr/qelomsr.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "comm-api/src/api/protocol.h"
#include "devices/family_registers.h"
#include "devices/qelofamily.h"

namespace ids = qelomsr_ids;
using namespace familyregs;

namespace {

// The caller's stall limit from the environment, read once per process: ms
// (0: no limit), or -1 when the variable is unset or not a number >= 0.
long long environmentStallLimitMs() {
  static const long long limit = [] {
    const char* text = std::getenv(QELOMSR_BLOCKING_TIMEOUT_ENV);
    if (text == nullptr || *text == '\0') return -1LL;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || value < 0) return -1LL;
    return value;
  }();
  return limit;
}

// Acquisition control values that make the trigger line pace the frames.
constexpr unsigned kControlStartOnTrigger = 2;
constexpr unsigned kControlGated = 3;  // Vel

}  // namespace

// ---- input frames and acquisition ------------------------------------------------------

std::vector<uint8_t> QeloFamily::buildMask(const int* ios, int count,
                                           int (QeloFamily::*validate)(int) const) const {
  std::vector<uint8_t> mask;
  for (int i = 0; i < count; ++i) {
    // Codes of 256 and more carry several bytes, low byte first.
    for (int code = (this->*validate)(ios[i]);; code >>= 8) {
      mask.push_back(static_cast<uint8_t>(code & 0xFF));
      if (code < 256) break;
    }
  }
  std::sort(mask.begin(), mask.end());
  if (std::adjacent_find(mask.begin(), mask.end()) != mask.end()) {
    throw std::invalid_argument("Every channel could only be once in the mask.");
  }
  return mask;
}

void QeloFamily::setupInputFrame(int* ios, int iosCount) {
  if (iosCount <= 0) throw std::invalid_argument("At least one input must be specified.");
  checkNoDataAcquisition();
  std::vector<uint8_t> mask = buildMask(ios, iosCount, &QeloFamily::checkInPortIsValid);
  // Frames of a stopped acquisition stay readable while the mask is the one
  // they were sampled under.
  if (mask != state.acquisitionMask) discardBufferedFrames();
  state.inputMask = std::move(mask);
  state.inputMaskValid = false;
  writeBytes(kRegInputSequence, state.inputMask.data(), static_cast<int>(state.inputMask.size()));
  state.inputMaskValid = true;
}

void QeloFamily::ensureInputMaskValid() {
  if (state.inputMaskValid || state.inputMask.empty()) return;
  writeBytes(kRegInputSequence, state.inputMask.data(), static_cast<int>(state.inputMask.size()));
  state.inputMaskValid = true;
}

void QeloFamily::discardBufferedFrames() {
  if (!state.inputBufferMayHoldFrames) return;
  // Whole frames of the latched mask where it is known, up to the per-call
  // limit; a remainder shorter than a frame, or everything when the layout
  // is unknown, as the device reports it (all of it is dropped anyway).
  const unsigned frameBytes =
      state.acquisitionMask.empty() ? 1u : 2u * static_cast<unsigned>(state.acquisitionMask.size());
  const unsigned limit = static_cast<unsigned>(table.readLimitBytes) / frameBytes * frameBytes;
  // The device samples nothing now, so its count falls with every read, for
  // as many reads as the buffer needs. A frame still in flight may hold it
  // once; a count that twice in a row does not fall below its lowest value
  // does not fall any more. A sound device gives back what it reported, so
  // reading twice that (and two reads more) never ends a drain that works.
  unsigned lowest = std::numeric_limits<unsigned>::max();
  int standing = 0;
  long long budget = -1;
  for (;;) {
    const unsigned buffered = device->readRegister(kRegInputStatus) & kStatusBytes;
    if (buffered == 0) {
      state.acquisitionMask.clear();
      state.inputBufferMayHoldFrames = false;
      state.framesBeforeFault = 0;
      return;
    }
    if (buffered < lowest) {
      lowest = buffered;
      standing = 0;
    } else if (++standing >= 2) {
      break;
    }
    if (budget < 0) budget = 2LL * buffered + 2LL * limit;
    const unsigned whole = std::min(buffered / frameBytes * frameBytes, limit);
    const unsigned bytes = whole > 0 ? whole : std::min(buffered, limit);
    budget -= bytes;
    if (budget < 0) break;
    readBytes(kRegInputBuffer, readBuffer.data(), static_cast<int>(bytes));
  }
  throw std::runtime_error("The device's input buffer does not run empty.");
}

int QeloFamily::calculateMaxBufferedInputFrames() {
  if (state.inputMask.empty()) throw std::logic_error("Unknown input frame.");
  const long long capacity = device->readRegister(kRegInputCapacity);
  const long long frameBytes = 2 * static_cast<long long>(state.inputMask.size());
  return static_cast<int>(
      std::min<long long>((capacity - 1) / frameBytes, std::numeric_limits<int>::max()));
}

unsigned QeloFamily::acquisitionControl(int external, bool /*triggerIsOutput*/) const {
  return external != 0 ? 2u : 1u;
}

float QeloFamily::startDataAcquisition(int external, float frameRate, int frameCount) {
  checkNoDataAcquisition();
  if (state.inputMask.empty()) throw std::logic_error("No mask defined.");
  if (frameCount > calculateMaxBufferedInputFrames()) {
    throw std::invalid_argument("Frame count too high.");
  }
  const int trigger = getTriggerConfig(ids::kTrigger);
  const bool triggerIsOutput = trigger == ids::kTriggerConfig || trigger == ids::kTriggerConfig + 1;
  const bool sampleTrigger = frameRate == -1.0f;
  if (triggerIsOutput && (external != 0 || sampleTrigger)) {
    throw std::logic_error("Trigger is set to output, can't use as source.");
  }
  // A disabled trigger (Rix) delivers no event: the acquisition would wait forever.
  if ((external != 0 || sampleTrigger) && !getTriggerEnable(ids::kTrigger)) {
    throw std::logic_error("Trigger is disabled, can't use as source.");
  }
  const unsigned control = acquisitionControl(external, triggerIsOutput);
  ensureInputMaskValid();
  const int period = sampleTrigger ? -1 : calculatePeriodTimeFromFrameRate(frameRate);

  device->writeRegister(kRegFramePeriod, static_cast<unsigned>(period));
  int effectivePeriod = period;
  if (!sampleTrigger) {
    effectivePeriod = static_cast<int>(device->readRegister(kRegFramePeriod));
    if (effectivePeriod == -2) throw std::invalid_argument("Invalid frequency.");
  }
  // The first frame read after the start is the first one sampled for it,
  // whatever the device does with its buffer on a stop or start.
  discardBufferedFrames();
  device->writeRegister(kRegFrameCount, static_cast<unsigned>(frameCount));
  state.acquisitionMask = state.inputMask;
  state.acquisitionRange = state.analogRange;
  state.inputBufferMayHoldFrames = true;
  device->writeRegister(kRegAcquisitionControl, control);
  state.acquisitionActive = true;
  state.acquisitionFrameCount = frameCount;
  state.framesDelivered = 0;
  state.statusFault = 0;
  state.framesBeforeFault = 0;
  state.acquisitionPeriodNs = effectivePeriod;
  state.acquisitionControl = control;
  if (sampleTrigger) return -1.0f;
  return calculateFrameRateFromPeriodTime(effectivePeriod);
}

void QeloFamily::stopDataAcquisition() {
  if (!state.acquisitionActive) return;
  device->writeRegister(kRegAcquisitionControl, 0);
  state.acquisitionActive = false;
}

bool QeloFamily::awaitsTrigger() const {
  if (!state.acquisitionActive) return false;
  if (state.acquisitionPeriodNs == -1 || state.acquisitionControl == kControlGated) return true;
  return state.acquisitionControl == kControlStartOnTrigger && state.framesDelivered == 0;
}

long long QeloFamily::blockingStallLimitMs() const {
  const long long fromEnvironment = environmentStallLimitMs();
  // A trigger comes when the caller's outside world sends it: only the
  // caller's own bound applies to the wait for it.
  if (awaitsTrigger()) return std::max(fromEnvironment, 0LL);
  const long long configured =
      fromEnvironment >= 0 ? fromEnvironment : QELOMSR_BLOCKING_TIMEOUT_DEFAULT_MS;
  if (configured == 0) return 0;
  if (state.acquisitionActive && state.acquisitionPeriodNs > 0) {
    // Never shorter than 100 frame periods of the running acquisition.
    const long long periods = (100LL * state.acquisitionPeriodNs + 999999) / 1000000;
    return std::max(configured, periods);
  }
  return configured;
}

void QeloFamily::throwStalled(const char* what, long long limitMs) const {
  std::string text =
      std::string("The device ") + what + " no frame for " + std::to_string(limitMs) + " ms";
  if (awaitsTrigger()) text += " while the data acquisition waits for its trigger";
  throw std::runtime_error(text + ".");
}
