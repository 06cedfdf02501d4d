// Heap allocations per call in steady state, counted by the replaced global
// operator new of this program (alloc_new.cpp). The emulator's side of every
// transfer is not counted (MeteredRawDevice pauses counting there). Each
// benchmark warms up first; the allocations of the very first call are kept
// as the cold figure.
#include <benchmark/benchmark.h>
#include <qelomsr/qelomsr.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/common/alloc_counter.h"
#include "bench/common/emulated_device.h"
#include "bench/common/masks.h"

namespace qbench {
namespace {

constexpr int kWarmUpCalls = 16;
constexpr float kFrameRate = 10000.0f;
constexpr std::int64_t kFramePeriodNs = 100000;

// Runs `call` under the counter: once cold, kWarmUpCalls times to warm up,
// then once per benchmark iteration. `between` runs outside the count.
void countAllocations(benchmark::State& state, const std::function<void()>& call,
                      const std::function<void()>& between) {
  alloc::start();
  call();
  const std::int64_t cold = alloc::stop();
  for (int i = 0; i < kWarmUpCalls; ++i) {
    between();
    call();
  }
  std::int64_t total = 0;
  for (auto _ : state) {
    between();
    alloc::start();
    call();
    total += alloc::stop();
  }
  state.counters["allocs_per_call"] =
      static_cast<double>(total) / static_cast<double>(state.iterations());
  state.counters["cold_allocs"] = static_cast<double>(cold);
}

void BM_ReadNonBlocking(benchmark::State& state) {
  try {
    EmulatedKa ka;
    const BenchMask& mask = benchMask("mixed");
    std::vector<int> ids = mask.ids;
    check(QeloMsrSetupInputFrame(ka.handle(), ids.data(), static_cast<int>(ids.size())), "setup");
    float rate = 0;
    check(QeloMsrStartDataAcquisition(ka.handle(), 0, kFrameRate, 0, &rate), "start");
    std::vector<float> values(static_cast<size_t>(kMaxFramesPerCall) * kKaValueSlots);
    std::vector<int> ports(static_cast<size_t>(kMaxFramesPerCall) * kKaPortSlots);
    const int frames = mask.framesPerCall();
    int n = 0;
    countAllocations(
        state,
        [&] {
          check(QeloMsrReadNonBlocking(ka.handle(), values.data(), ports.data(), &n), "read");
        },
        [&] { ka.advanceClockNs(frames * kFramePeriodNs); });
    if (n != frames) state.SkipWithError("the emulator did not have a full call buffered");
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

void BM_ReadFrame(benchmark::State& state) {
  try {
    EmulatedKa ka;
    std::vector<int> ids = benchMask("mixed").ids;
    check(QeloMsrSetupInputFrame(ka.handle(), ids.data(), static_cast<int>(ids.size())), "setup");
    float values[kKaValueSlots];
    int ports[kKaPortSlots];
    countAllocations(
        state, [&] { check(QeloMsrReadFrame(ka.handle(), values, ports), "read frame"); }, [] {});
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

void BM_WriteFrame(benchmark::State& state) {
  try {
    EmulatedKa ka;
    int ids[] = {QELOMSR_ID_ANALOG_OUTPUT(0), QELOMSR_ID_ANALOG_OUTPUT(1),
                 QELOMSR_ID_DIGITAL_PORT(0), QELOMSR_ID_DIGITAL_PORT(1),
                 QELOMSR_ID_DIGITAL_PORT(2)};
    check(QeloMsrSetupOutputFrame(ka.handle(), ids, 5), "setup output frame");
    float values[kKaValueSlots] = {1.25f, -2.5f};
    int ports[kKaPortSlots] = {0x0F, 0xA5, 0x03};
    countAllocations(
        state, [&] { check(QeloMsrWriteFrame(ka.handle(), values, ports), "write frame"); }, [] {});
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

void BM_ReadAnalogInput(benchmark::State& state) {
  try {
    EmulatedKa ka;
    float value = 0;
    countAllocations(
        state,
        [&] {
          check(QeloMsrReadAnalogInput(ka.handle(), QELOMSR_ID_ANALOG_INPUT(3), &value), "ai");
        },
        [] {});
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

// The protocol's register read on its own (the version register).
void BM_ReadRegister(benchmark::State& state) {
  try {
    EmulatedKa ka;
    unsigned value = 0;
    countAllocations(
        state, [&] { value = ka.protocol().readRegister(0xF0000004); }, [] {});
    benchmark::DoNotOptimize(value);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

// The same through the exported raw register function.
void BM_CReadRegister(benchmark::State& state) {
  try {
    EmulatedKa ka;
    unsigned value = 0;
    countAllocations(
        state, [&] { check(__QeloMsrReadRegister(ka.handle(), 0xF0000004, &value), "reg"); },
        [] {});
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

// A failing call stores an error record (message text, registry entry): it
// allocates by design, which shows that the counter sees the library's own
// allocations through the C interface.
void BM_ErrorPath(benchmark::State& state) {
  int value = 0;
  countAllocations(
      state, [&] { benchmark::DoNotOptimize(QeloMsrGetDeviceParameter(0, 0, &value)); }, [] {});
}

}  // namespace
}  // namespace qbench

BENCHMARK(qbench::BM_ReadNonBlocking)->Name("BM_Allocations/read_nonblocking");
BENCHMARK(qbench::BM_ReadFrame)->Name("BM_Allocations/read_frame");
BENCHMARK(qbench::BM_WriteFrame)->Name("BM_Allocations/write_frame");
BENCHMARK(qbench::BM_ReadAnalogInput)->Name("BM_Allocations/read_analog_input");
BENCHMARK(qbench::BM_ReadRegister)->Name("BM_Allocations/read_register");
BENCHMARK(qbench::BM_CReadRegister)->Name("BM_Allocations/c_read_register");
BENCHMARK(qbench::BM_ErrorPath)->Name("BM_Allocations/error_path");

// The counter must see allocations at all, or every figure above would read 0.
bool counterWorks() {
  qbench::alloc::start();
  int* p = new int(7);
  benchmark::DoNotOptimize(p);
  delete p;
  std::vector<double> v(16);
  benchmark::DoNotOptimize(v.data());
  return qbench::alloc::stop() == 2;
}

int main(int argc, char** argv) {
  if (!counterWorks()) {
    std::fprintf(stderr, "the replaced operator new does not count: figures would be void\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
