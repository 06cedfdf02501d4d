// Measures the highest frame rate at which readNonBlocking keeps up with the
// in-process emulator (real clock) for 1, 4 and 21 analog channels of a Ka
// device, without an overflow of the device's input buffer.
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "comm-api/src/api/protocol.h"
#include "devices/qeloka1x.h"
#include "qsim/config.h"
#include "qsim/inprocess.h"
#include "qsim/model.h"

namespace {

// Streams for `seconds` of wall time; true when no overflow occurred.
bool sustains(int channels, double rate, double seconds) {
  qsim::DeviceConfig config = qsim::defaultConfig(qsim::Family::Ka);
  config.minFramePeriodNs = 100;
  auto model = std::make_shared<qsim::DeviceModel>(config);
  auto raw = std::make_shared<qsim::InProcessRawDevice>(model, "USB:1-0-3");
  QeloKa1x dev(commapi::createProtocolDevice(raw, 64, 64, 8192, 0), "USB:1-0-3");
  dev.open();
  std::vector<int> ids;
  for (int c = 0; c < channels; ++c) {
    ids.push_back(c < 14 ? 0x7A501100 + c : 0x7A501200 + (c - 14));
  }
  dev.setupInputFrame(ids.data(), static_cast<int>(ids.size()));
  std::vector<float> v(2048 * 21);
  std::vector<int> p(2048 * 5);
  dev.startDataAcquisition(0, static_cast<float>(rate), 0);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  try {
    while (std::chrono::steady_clock::now() < end) dev.readNonBlocking(v.data(), p.data(), -1);
  } catch (const std::runtime_error&) {
    return false;
  }
  return model->framesDropped() == 0;
}

}  // namespace

int main() {
  for (int channels : {1, 4, 21}) {
    double good = 0, bad = 0;
    for (double rate = 1000; rate <= 1e7; rate *= 2) {
      if (!sustains(channels, rate, 0.3)) {
        bad = rate;
        break;
      }
      good = rate;
    }
    if (bad == 0) bad = good * 2;
    for (int i = 0; i < 6; ++i) {
      const double mid = (good + bad) / 2;
      (sustains(channels, mid, 0.3) ? good : bad) = mid;
    }
    std::printf("%2d channels: sustained %.0f frames/s (%.1f MB/s of frame data)\n", channels, good,
                good * 2 * channels / 1e6);
  }
  return 0;
}
