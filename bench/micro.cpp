// Throughput of demultiplexing and cost of the call frame, each beside a
// baseline measured in the same run:
//  - BM_ReadNonBlocking/<mask>: QeloMsrReadNonBlocking on the in-process
//    emulator with no transport latency; the emulator's manual clock is
//    advanced by exactly the frames each call takes, so every call finds the
//    same full block buffered.
//  - BM_ReadNonBlockingReplay/<mask>: the same call on replayed emulator
//    replies (no emulator work at all), as a cross-check.
//  - BM_EmulatorRead/<mask>: the same status read and block read through the
//    protocol alone, with the same clock advance (what the emulator and the
//    transport cost; subtracted from the call to get the library's share).
//  - BM_Memcpy/<mask>: a memcpy of the same frame bytes.
//  - BM_GetDeviceParameter (a call that touches no device), BM_ErrorPath (a
//    failing call that stores an error record) and BM_LockLookupCopy (one
//    mutex lock, one std::map lookup and one shared_ptr copy).
#include <benchmark/benchmark.h>
#include <qelomsr/qelomsr.h>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "bench/common/emulated_device.h"
#include "bench/common/masks.h"

namespace qbench {
namespace {

constexpr unsigned kInputBufferAddress = 0x00;
constexpr unsigned kInputStatusRegister = 0x08;
// Frame rate of the streaming benchmarks on the manual clock; only the ratio
// of clock advance to frame period matters.
constexpr float kFrameRate = 10000.0f;
constexpr std::int64_t kFramePeriodNs = 100000;

// Whether the first frame record holds the voltages the emulator injects
// (inputs are DC, so every frame carries the same values), within a few codes
// of the +-10 V range: a benchmark of a broken path would measure nothing.
bool recordMatchesEmulator(const BenchMask& mask, const EmulatedKa& ka, const float* values) {
  constexpr double kTolerance = 0.005;
  for (int id : mask.ids) {
    int channel = -1;
    if (id >= QELOMSR_ID_ANALOG_INPUT(0) && id <= QELOMSR_ID_ANALOG_INPUT(13)) {
      channel = id - QELOMSR_ID_ANALOG_INPUT(0);
    } else if (id >= QELOMSR_ID_DIFF_INPUT(0) && id <= QELOMSR_ID_DIFF_INPUT(6)) {
      channel = 14 + id - QELOMSR_ID_DIFF_INPUT(0);
    }
    if (channel < 0) continue;
    if (std::fabs(values[channel] - ka.injectedVoltage(channel)) > kTolerance) return false;
  }
  return true;
}

// An emulated Ka acquiring `mask`, with one full call's worth of frames buffered.
struct Streaming {
  explicit Streaming(const BenchMask& mask) : ka(), frames(mask.framesPerCall()) {
    std::vector<int> ids = mask.ids;
    check(QeloMsrSetupInputFrame(ka.handle(), ids.data(), static_cast<int>(ids.size())),
          "setup input frame");
    float rate = 0;
    check(QeloMsrStartDataAcquisition(ka.handle(), 0, kFrameRate, 0, &rate), "start");
    refill(frames);
  }
  void refill(int consumed) { ka.advanceClockNs(consumed * kFramePeriodNs); }

  EmulatedKa ka;
  int frames;
};

// Checks the last call's values against the emulator's voltages and reports
// the throughput of a demultiplexing benchmark.
void finishDemux(benchmark::State& state, const BenchMask& mask, Streaming& s,
                 const std::vector<float>& values, std::int64_t frames) {
  if (!recordMatchesEmulator(mask, s.ka, values.data())) {
    state.SkipWithError("demultiplexed values differ from the injected voltages");
  }
  state.SetBytesProcessed(frames * mask.frameBytes());
  state.SetItemsProcessed(frames * mask.samplesPerFrame());
  state.counters["frame_bytes_per_call"] = s.frames * mask.frameBytes();
  state.counters["samples_per_call"] = s.frames * mask.samplesPerFrame();
}

void BM_ReadNonBlocking(benchmark::State& state, const char* maskName) {
  const BenchMask& mask = benchMask(maskName);
  try {
    Streaming s(mask);
    std::vector<float> values(static_cast<size_t>(kMaxFramesPerCall) * kKaValueSlots);
    std::vector<int> ports(static_cast<size_t>(kMaxFramesPerCall) * kKaPortSlots);
    std::int64_t frames = 0;
    for (auto _ : state) {
      int n = 0;
      int rc = QeloMsrReadNonBlocking(s.ka.handle(), values.data(), ports.data(), &n);
      if (rc != 0 || n != s.frames) {
        const std::string why = rc != 0 ? errorText(rc) : "short read: emulator buffer ran dry";
        state.SkipWithError(why.c_str());
        break;
      }
      benchmark::DoNotOptimize(values.data());
      frames += n;
      s.refill(n);
    }
    finishDemux(state, mask, s, values, frames);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

// The same call with the emulator's replies of one call recorded and played
// back: the library's whole cost without any emulator work.
void BM_ReadNonBlockingReplay(benchmark::State& state, const char* maskName) {
  const BenchMask& mask = benchMask(maskName);
  try {
    Streaming s(mask);
    std::vector<float> values(static_cast<size_t>(kMaxFramesPerCall) * kKaValueSlots);
    std::vector<int> ports(static_cast<size_t>(kMaxFramesPerCall) * kKaPortSlots);
    int n = 0;
    s.ka.transport().setMode(MeteredRawDevice::Mode::Record);
    check(QeloMsrReadNonBlocking(s.ka.handle(), values.data(), ports.data(), &n), "record");
    s.ka.transport().setMode(MeteredRawDevice::Mode::Replay);
    std::int64_t frames = 0;
    for (auto _ : state) {
      int rc = QeloMsrReadNonBlocking(s.ka.handle(), values.data(), ports.data(), &n);
      if (rc != 0 || n != s.frames) {
        const std::string why = rc != 0 ? errorText(rc) : "short read in the recording";
        state.SkipWithError(why.c_str());
        break;
      }
      benchmark::DoNotOptimize(values.data());
      frames += n;
    }
    s.ka.transport().setMode(MeteredRawDevice::Mode::Pass);
    finishDemux(state, mask, s, values, frames);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

void BM_EmulatorRead(benchmark::State& state, const char* maskName) {
  const BenchMask& mask = benchMask(maskName);
  try {
    Streaming s(mask);
    const int bytes = s.frames * mask.frameBytes();
    std::vector<unsigned char> raw(static_cast<size_t>(bytes));
    for (auto _ : state) {
      unsigned status = s.ka.protocol().readRegister(kInputStatusRegister);
      benchmark::DoNotOptimize(status);
      s.ka.protocol()._readBlock(kInputBufferAddress, raw.data(), bytes, 0);
      benchmark::DoNotOptimize(raw.data());
      s.refill(s.frames);
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["frame_bytes_per_call"] = bytes;
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

void BM_Memcpy(benchmark::State& state, const char* maskName) {
  const BenchMask& mask = benchMask(maskName);
  const int bytes = mask.framesPerCall() * mask.frameBytes();
  std::vector<unsigned char> from(static_cast<size_t>(bytes), 0x5a);
  std::vector<unsigned char> to(static_cast<size_t>(bytes));
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), static_cast<size_t>(bytes));
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["frame_bytes_per_call"] = bytes;
}

void BM_GetDeviceParameter(benchmark::State& state) {
  try {
    EmulatedKa ka;
    int value = 0;
    for (auto _ : state) {
      int rc = QeloMsrGetDeviceParameter(ka.handle(), QELOMSR_PARAM_SINGLE_ENDED_INPUTS, &value);
      benchmark::DoNotOptimize(rc);
      benchmark::DoNotOptimize(value);
    }
    if (value != 14) state.SkipWithError("unexpected number of single-ended inputs");
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

void BM_ErrorPath(benchmark::State& state) {
  // Handle 0 is never issued: the call fails in the handle lookup and stores
  // an error record ("Invalid handle.").
  int value = 0;
  for (auto _ : state) {
    int rc = QeloMsrGetDeviceParameter(0, QELOMSR_PARAM_SINGLE_ENDED_INPUTS, &value);
    benchmark::DoNotOptimize(rc);
  }
}

void BM_LockLookupCopy(benchmark::State& state) {
  // The handle table's own pointer type: boost::shared_ptr counts with atomic
  // instructions always, while std::shared_ptr skips them in a process that
  // has never started a thread, which no application using libusb is.
  struct Object {
    int payload = 0;
  };
  std::mutex mutex;
  std::map<int, boost::shared_ptr<Object>> table;
  for (int id = 1; id <= 4; ++id) table[id] = boost::make_shared<Object>();
  int key = 1;
  benchmark::DoNotOptimize(key);
  for (auto _ : state) {
    boost::shared_ptr<Object> copy;
    {
      std::lock_guard<std::mutex> lock(mutex);
      auto it = table.find(key);
      if (it != table.end()) copy = it->second;
    }
    benchmark::DoNotOptimize(copy);
  }
}

// QBENCH_ITERATIONS=n fixes every benchmark's iteration count, so that a
// profiler (valgrind --tool=callgrind) can difference two runs into a cost
// per call that does not depend on the machine's load.
void registerAll() {
  const char* fixed = std::getenv("QBENCH_ITERATIONS");
  const benchmark::IterationCount iterations = fixed != nullptr ? std::atoll(fixed) : 0;
  auto add = [iterations](benchmark::internal::Benchmark* b) {
    if (iterations > 0) b->Iterations(iterations);
  };
  for (const BenchMask& m : benchMasks()) {
    add(benchmark::RegisterBenchmark((std::string("BM_ReadNonBlocking/") + m.name).c_str(),
                                     BM_ReadNonBlocking, m.name));
    add(benchmark::RegisterBenchmark((std::string("BM_ReadNonBlockingReplay/") + m.name).c_str(),
                                     BM_ReadNonBlockingReplay, m.name));
    add(benchmark::RegisterBenchmark((std::string("BM_EmulatorRead/") + m.name).c_str(),
                                     BM_EmulatorRead, m.name));
    add(benchmark::RegisterBenchmark((std::string("BM_Memcpy/") + m.name).c_str(), BM_Memcpy,
                                     m.name));
  }
  add(benchmark::RegisterBenchmark("BM_GetDeviceParameter", BM_GetDeviceParameter));
  add(benchmark::RegisterBenchmark("BM_LockLookupCopy", BM_LockLookupCopy));
  add(benchmark::RegisterBenchmark("BM_ErrorPath", BM_ErrorPath));
}

}  // namespace
}  // namespace qbench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  qbench::registerAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
