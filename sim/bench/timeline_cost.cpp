// What one shared timeline and trigger wires cost: three Ka devices take one
// minute of emulated time at 10 kHz (AI-0 and AI-1 in every frame) on a
// manual clock, read out every 100 ms as a host would, in four set-ups:
// each device on a timeline of its own, all on one timeline without wires,
// frame sync (one source on out-b, two receivers sampling on its edges) and
// start sync (one source on out-a, two receivers starting on it). Prints the
// host time of the minute and per frame taken.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "qsim/clock.h"
#include "qsim/model.h"
#include "qsim/timeline.h"

namespace {

using qsim::DeviceModel;

constexpr int64_t kMs = 1000000;
constexpr int32_t kPeriodNs = 100000;  // 10 kHz
constexpr uint32_t kInA = 2, kInC = 6, kOutA = 9, kOutB = 1;

// Register access through the device's USB side, as a transport does.
struct Port {
  std::shared_ptr<DeviceModel> model;
  std::vector<uint8_t> msg = std::vector<uint8_t>(64 + 8192);
  std::vector<uint8_t> reply = std::vector<uint8_t>(1 << 20);

  void request(bool write, uint32_t address, const std::vector<uint8_t>& payload, uint32_t count) {
    std::memset(msg.data(), 0, 64);
    const uint32_t control = count | 0x40000000u | (write ? 0x80000000u : 0u);
    std::memcpy(msg.data(), &control, 4);
    std::memcpy(msg.data() + 4, &address, 4);
    if (write) std::memcpy(msg.data() + 64, payload.data(), payload.size());
    model->bulkOut(msg.data(), write ? 64 + (count + 63) / 64 * 64 : 64);
  }
  void write(uint32_t address, uint32_t value) {
    request(true, address,
            {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)}, 4);
  }
  uint32_t read(uint32_t address, uint32_t count) {
    request(false, address, {}, count);
    uint32_t got = 0;
    for (int n; got < count && (n = model->bulkIn(reply.data() + got, reply.size() - got)) > 0;) {
      got += static_cast<uint32_t>(n);
    }
    return got;
  }
  void start(uint32_t triggerCode, int32_t periodNs, uint32_t mode) {
    write(0x4C, triggerCode);
    request(true, 0x18, {0x00, 0x01}, 2);
    write(0x50, static_cast<uint32_t>(periodNs));
    write(0x54, 0);
    write(0x58, mode);
  }
  void drain() {
    read(0x08, 4);
    uint32_t status = 0;
    std::memcpy(&status, reply.data(), 4);
    read(0x00, status & 0x3FFFFFFF);
  }
};

enum class Setup { OwnTimelines, OneTimeline, FrameSync, StartSync };

void run(const char* name, Setup setup) {
  auto clock = std::make_shared<qsim::ManualClock>();
  auto shared = std::make_shared<qsim::Timeline>(clock);
  std::vector<Port> ports;
  for (int i = 0; i < 3; ++i) {
    qsim::DeviceConfig cfg = qsim::defaultConfig(qsim::Family::Ka);
    cfg.clockPpm = i == 0 ? 50 : -50;
    ports.push_back({setup == Setup::OwnTimelines ? std::make_shared<DeviceModel>(cfg, clock)
                                                  : std::make_shared<DeviceModel>(cfg, shared)});
  }
  if (setup == Setup::FrameSync || setup == Setup::StartSync) {
    shared->wire({"source", ports[0].model.get()},
                 {{"a", ports[1].model.get()}, {"b", ports[2].model.get()}});
  }
  for (int i = 1; i < 3; ++i) {
    if (setup == Setup::FrameSync) {
      ports[static_cast<size_t>(i)].start(kInC, -1, 1);
    } else if (setup == Setup::StartSync) {
      ports[static_cast<size_t>(i)].start(kInA, kPeriodNs, 2);
    } else {
      ports[static_cast<size_t>(i)].start(kInA, kPeriodNs, 1);
    }
  }
  ports[0].start(setup == Setup::FrameSync ? kOutB : kOutA, kPeriodNs, 1);
  const auto begin = std::chrono::steady_clock::now();
  for (int step = 0; step < 600; ++step) {
    clock->advanceNs(100 * kMs);
    for (Port& p : ports) p.drain();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  uint64_t frames = 0;
  for (Port& p : ports) frames += p.model->framesProduced() + p.model->framesDropped();
  std::printf("%-34s %8.3f s per emulated minute %8.1f ns per frame (%llu frames)\n", name, seconds,
              1e9 * seconds / static_cast<double>(frames), static_cast<unsigned long long>(frames));
}

}  // namespace

int main() {
  std::printf("Three Ka devices, 60 s at 10 kHz, AI-0 and AI-1, read every 100 ms:\n");
  run("each on a timeline of its own", Setup::OwnTimelines);
  run("one timeline, no wires", Setup::OneTimeline);
  run("frame sync (out-b -> in-c)", Setup::FrameSync);
  run("start sync (out-a -> in-a, mode 2)", Setup::StartSync);
  return 0;
}
