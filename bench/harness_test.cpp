// The measuring instruments themselves: the allocation counter (with the
// counting operator new linked in) and the recording/replaying transport.
#include <benchmark/benchmark.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/common/alloc_counter.h"
#include "bench/common/emulated_device.h"

namespace qbench {
namespace {

// An opaque use, so that the compiler keeps the allocation.
template <typename T>
void keep(T* p) {
  benchmark::DoNotOptimize(p);
}

TEST(AllocCounter, CountsEveryFormOfNewAndNothingWhilePaused) {
  alloc::start();
  int* a = new int(1);
  keep(a);
  int* b = new int[8];
  keep(b);
  int* c = new (std::nothrow) int(2);
  keep(c);
  struct alignas(64) Wide {
    char bytes[64];
  };
  Wide* d = new Wide;
  keep(d);
  std::string text(100, 'x');  // one heap buffer
  keep(text.data());
  {
    alloc::Pause pause;
    std::vector<int> notCounted(50);
    keep(notCounted.data());
  }
  const std::int64_t counted = alloc::stop();
  delete a;
  delete[] b;
  delete c;
  delete d;
  EXPECT_EQ(counted, 5);
  // Not counting after stop().
  std::vector<int> after(10);
  keep(after.data());
  EXPECT_EQ(alloc::count(), 5);
}

// A transport that answers every read with a numbered reply and logs writes.
class ScriptedDevice : public commapi::RawDevice {
 public:
  int getConnectionType() const override { return 0; }
  std::string getUniqueId() const override { return "TEST"; }
  void open() override {}
  void close() override {}
  void write(const unsigned char*, int len) override { writes.push_back(len); }
  void read(unsigned char* data, int len) override {
    std::memset(data, ++reads, static_cast<size_t>(len));
  }
  void setTimeout(int) override {}
  int getTimeout() const override { return 1000; }
  int getIntProperty(int) const override { return 0; }

  std::vector<int> writes;
  int reads = 0;
};

TEST(MeteredRawDevice, ReplaysRecordedRepliesInTurnWithoutTheDevice) {
  auto inner = std::make_shared<ScriptedDevice>();
  MeteredRawDevice metered(inner, nullptr);
  unsigned char request[64] = {};
  unsigned char reply[128] = {};

  EXPECT_THROW(metered.setMode(MeteredRawDevice::Mode::Replay), std::logic_error);

  metered.setMode(MeteredRawDevice::Mode::Record);
  metered.write(request, 64);
  metered.read(reply, 64);  // reply 1: all bytes 1
  metered.write(request, 64);
  metered.read(reply, 128);  // reply 2: all bytes 2
  metered.setMode(MeteredRawDevice::Mode::Replay);

  for (int round = 0; round < 2; ++round) {
    metered.write(request, 64);
    std::memset(reply, 0, sizeof reply);
    metered.read(reply, 64);
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(reply[63], 1);
    EXPECT_EQ(reply[64], 0);  // nothing beyond the recorded length
    metered.write(request, 64);
    metered.read(reply, 128);
    EXPECT_EQ(reply[127], 2);
  }
  EXPECT_EQ(inner->writes.size(), 2u);  // replayed writes went nowhere
  EXPECT_EQ(inner->reads, 2);

  // A read of another length than the recording is out of step.
  EXPECT_THROW(metered.read(reply, 32), std::logic_error);

  metered.setMode(MeteredRawDevice::Mode::Pass);
  metered.read(reply, 64);
  EXPECT_EQ(reply[0], 3);
}

TEST(MeteredRawDevice, EmulatorTransfersAreNotCountedAsAllocations) {
  // The scripted device allocates inside its write; the wrapper pauses the
  // count there.
  class Allocating : public ScriptedDevice {
   public:
    void write(const unsigned char* data, int len) override {
      copies.emplace_back(data, data + len);
    }
    std::vector<std::vector<unsigned char>> copies;
  };
  auto inner = std::make_shared<Allocating>();
  MeteredRawDevice metered(inner, nullptr);
  inner->copies.reserve(4);
  unsigned char request[64] = {};
  alloc::start();
  metered.write(request, 64);
  EXPECT_EQ(alloc::stop(), 0);
  EXPECT_EQ(inner->copies.size(), 1u);
}

}  // namespace
}  // namespace qbench
