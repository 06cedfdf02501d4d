#include "bench/common/masks.h"

#include <qelomsr/qelomsr.h>

#include <cstring>
#include <stdexcept>

namespace qbench {

namespace {
std::vector<int> analogInputs(int count) {
  std::vector<int> ids;
  for (int i = 0; i < count; ++i) ids.push_back(QELOMSR_ID_ANALOG_INPUT(i));
  return ids;
}

std::vector<int> allKaInputs() {
  std::vector<int> ids = analogInputs(14);
  for (int j = 0; j < 7; ++j) ids.push_back(QELOMSR_ID_DIFF_INPUT(j));
  return ids;
}

std::vector<int> mixedInputs() {
  std::vector<int> ids = analogInputs(7);
  ids.push_back(QELOMSR_ID_DIFF_INPUT(5));
  for (int k = 0; k < 3; ++k) ids.push_back(QELOMSR_ID_DIGITAL_PORT(k));
  ids.push_back(QELOMSR_ID_COUNTER);
  ids.push_back(QELOMSR_ID_TRIGGER);
  return ids;
}
}  // namespace

const std::vector<BenchMask>& benchMasks() {
  static const std::vector<BenchMask> masks = {
      {"ka1", analogInputs(1), 1},
      {"ka4", analogInputs(4), 4},
      {"ka21", allKaInputs(), 21},
      // 8 analog + 3 ports + counter (2 words) + trigger.
      {"mixed", mixedInputs(), 14},
  };
  return masks;
}

const BenchMask& benchMask(const char* name) {
  for (const BenchMask& m : benchMasks()) {
    if (std::strcmp(m.name, name) == 0) return m;
  }
  throw std::invalid_argument(std::string("unknown mask ") + name);
}

}  // namespace qbench
