// Calibration loading of the dual-point families: output and input records,
// reference currents, the version word and the delay block.
#include <qelomsr/qelomsr.h>

#include <array>

#include "comm-api/src/api/protocol.h"
#include "devices/family_registers.h"
#include "devices/qelofamily.h"

using namespace familyregs;

namespace {

constexpr int kCalibrationBlockSize = 696;
constexpr int kDelayBlockSize = 10;

}  // namespace

void QeloFamily::loadCalibration() {
  const unsigned address = device->readRegister(kRegCalibrationAddress);
  std::array<uint8_t, kCalibrationBlockSize> block{};
  readBytes(address, block.data(), kCalibrationBlockSize);

  for (int i = 0; i < table.analogOutputs; ++i) {
    const uint8_t* rec = block.data() + table.outputRecordOffset + kCalibrationRecordSize * i;
    outputCalibrators.addCalibrator(i, 0,
                                    boost::shared_ptr<OutputCalibrator>(new OutputCalibrator(
                                        le16(rec), le16(rec + 2), le16(rec + 4))));
  }
  const int channels = table.singleEndedInputs + table.differentialInputs;
  for (int c = 0; c < channels; ++c) {
    for (int r = 0; r < table.rangeCount; ++r) {
      const uint8_t* rec =
          block.data() + table.dualPointOffset + kCalibrationRecordSize * (kRangeIndexes * c + r);
      const double fullScale = kRangeFullScale[r];
      inputCalibrators.addCalibrator(
          c, r,
          boost::shared_ptr<InputCalibrator>(new DualPointInputCalibrator(
              le16(rec), le16(rec + 2), le16(rec + 4), fullScale, -fullScale)));
    }
  }
  for (int s = 0; s < table.currentSources; ++s) {
    const uint32_t raw = le32(block.data() + table.currentOffset + 4 * s);
    state.referenceCurrent[static_cast<size_t>(s)] = static_cast<float>(raw / 1000.0);
  }

  const unsigned version = device->readRegister(kRegVersion);
  if ((version & 0x80000000u) == 0) {
    std::array<uint8_t, kDelayBlockSize> delays{};
    readBytes(kRegDelayBlock, delays.data(), kDelayBlockSize);
    state.minInterChannelDelay = le16(delays.data());
    for (int r = 0; r < kRangeIndexes; ++r) {
      state.setDefaultInterChannelDelay(r, le16(delays.data() + 2 + 2 * r));
    }
  }
  firmwareVersion = (version >> 8) & 0xFFFF;
}
