// Fuzz target: stream records as a logger or client reads them from a
// broker. Whatever parseBlock accepts is written again with the server's
// BlockWriter and must read back the same (header, channels, every sample
// and time); whatever it refuses must be refused with a ContractError.
// Faults: any crash or sanitizer report, any other exception, a read past
// the buffer, a round trip that changes a value.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "contract.h"

namespace {

[[noreturn]] void fault(const char* what) {
  std::fprintf(stderr, "fuzz fault: %s\n", what);
  std::abort();
}

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact copy, so that ASan sees any read beyond the record.
  std::vector<uint8_t> record(data, data + size);
  qmqtt::BlockView view;
  try {
    view = qmqtt::parseBlock(record.data(), record.size());
  } catch (const qmqtt::ContractError&) {
    return 0;
  }
  const qmqtt::BlockHeader& h = view.header;
  double sum = 0;
  for (uint32_t f = 0; f < h.frameCount; ++f) {
    sum += view.time(f);
    for (size_t c = 0; c < view.channels.size(); ++c) sum += view.value(f, c);
  }
  (void)sum;
  if (h.kind != qmqtt::BlockKind::Frames) return 0;

  // Written again the server's way (a new writer starts at sequence 0).
  qmqtt::BlockWriter writer(view.channels, h.streamId, h.rateHz, h.startUnixNs,
                            std::max<uint32_t>(h.frameCount, 1));
  writer.beginFrames(h.firstFrame, h.segmentStartS, h.segmentFrame);
  std::vector<uint32_t> cells(view.channels.size());
  for (uint32_t f = 0; f < h.frameCount; ++f) {
    for (size_t c = 0; c < cells.size(); ++c) {
      if (view.channels[c].type == qmqtt::SampleType::Volts) {
        const float v = view.volts(f, c);
        std::memcpy(&cells[c], &v, 4);
      } else {
        cells[c] = view.raw(f, c);
      }
    }
    writer.addFrame(cells.data(), view.time(f));
  }
  if (h.frameCount == 0) return 0;
  const std::vector<uint8_t> again = writer.finishFrames();
  const qmqtt::BlockView back = qmqtt::parseBlock(again.data(), again.size());
  if (back.header.frameCount != h.frameCount || back.header.firstFrame != h.firstFrame ||
      back.header.streamId != h.streamId || !same(back.header.rateHz, h.rateHz) ||
      back.channels.size() != view.channels.size())
    fault("the header changed on the way round");
  for (size_t c = 0; c < view.channels.size(); ++c)
    if (back.channels[c].name != view.channels[c].name ||
        back.channels[c].type != view.channels[c].type)
      fault("a channel changed on the way round");
  for (uint32_t f = 0; f < h.frameCount; ++f) {
    if (h.rateHz < 0 && !same(back.time(f), view.time(f))) fault("a frame time changed");
    for (size_t c = 0; c < view.channels.size(); ++c)
      if (back.raw(f, c) != view.raw(f, c)) fault("a sample changed on the way round");
  }
  return 0;
}
