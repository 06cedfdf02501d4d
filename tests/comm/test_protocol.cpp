// Wire bytes of the register protocol with the system's numbers: 64-byte
// headers, payloads padded to 64 bytes, at most 8192 data bytes per request.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>

#include "comm-api/src/api/logging.h"
#include "comm-api/src/api/protocol.h"
#include "tests/comm/recording_device.h"

namespace {

class ProtocolWire : public ::testing::Test {
 protected:
  void SetUp() override { commapi::_resetDiagnosticsForTest(); }

  Bytes prefix(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + n); }
  Bytes slice(const Bytes& b, size_t from, size_t n) {
    return Bytes(b.begin() + from, b.begin() + from + n);
  }

  std::shared_ptr<RecordingDevice> rec = std::make_shared<RecordingDevice>();
  std::shared_ptr<commapi::ProtocolDevice> dev =
      commapi::createProtocolDevice(rec, 64, 64, 8192, 0);
};

TEST_F(ProtocolWire, RegisterWriteIsOne128ByteMessage) {
  dev->writeRegister(0xF0000020, 0x12345678);
  ASSERT_EQ(rec->events.size(), 1u);
  const Bytes& m = rec->events[0].bytes;
  ASSERT_TRUE(rec->events[0].write);
  ASSERT_EQ(m.size(), 128u);
  EXPECT_EQ(prefix(m, 8), (Bytes{0x04, 0x00, 0x00, 0xc0, 0x20, 0x00, 0x00, 0xf0}));
  EXPECT_EQ(slice(m, 64, 4), (Bytes{0x78, 0x56, 0x34, 0x12}));
  // Reserved header bytes and padding carry nothing.
  EXPECT_EQ(slice(m, 8, 56), Bytes(56, 0));
  EXPECT_EQ(slice(m, 68, 60), Bytes(60, 0));
}

TEST_F(ProtocolWire, RegisterReadIsRequestThenResponse) {
  rec->responses.push_back({0x78, 0x56, 0x34, 0x12, 0xAA});
  EXPECT_EQ(dev->readRegister(0xF0000004), 0x12345678u);
  ASSERT_EQ(rec->events.size(), 2u);
  ASSERT_TRUE(rec->events[0].write);
  EXPECT_EQ(rec->events[0].bytes.size(), 64u);
  EXPECT_EQ(prefix(rec->events[0].bytes, 8),
            (Bytes{0x04, 0x00, 0x00, 0x40, 0x04, 0x00, 0x00, 0xf0}));
  EXPECT_FALSE(rec->events[1].write);
  EXPECT_EQ(rec->events[1].size, 64);
}

TEST_F(ProtocolWire, ShortReadCopiesOnlyTheRequestedBytes) {
  Bytes resp(64);
  std::iota(resp.begin(), resp.end(), 1);
  rec->responses.push_back(resp);
  unsigned char buf[8];
  std::memset(buf, 0x55, sizeof buf);
  dev->_readBlock(0x100, buf, 5, 0);
  EXPECT_EQ(Bytes(buf, buf + 8), (Bytes{1, 2, 3, 4, 5, 0x55, 0x55, 0x55}));
  EXPECT_EQ(prefix(rec->events[0].bytes, 8), header(0x40000005, 0x100));
  EXPECT_EQ(rec->events[1].size, 64);
}

TEST_F(ProtocolWire, ZeroByteBlocksTouchNothing) {
  dev->_writeBlock(0x10, nullptr, 0, 0);
  dev->_readBlock(0x10, nullptr, 0, 0);
  EXPECT_TRUE(rec->events.empty());
}

// Blocks split into requests of at most 8192 bytes, ascending, one after the
// other; with flags bit 0 every request goes to the start address.
struct SplitCase {
  int count;
  int flags;
  std::vector<std::pair<unsigned, unsigned>> requests;  // (control word, address)
};

void PrintTo(const SplitCase& c, std::ostream* os) {
  *os << c.count << " bytes, flags " << c.flags;
}

class ProtocolSplit : public ProtocolWire, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(ProtocolSplit, WriteFramesEveryChunk) {
  const SplitCase& c = GetParam();
  Bytes data(c.count);
  for (int i = 0; i < c.count; ++i) data[i] = static_cast<unsigned char>(i * 7 + 3);
  dev->_writeBlock(0x20000000, data.data(), c.count, c.flags);
  ASSERT_EQ(rec->events.size(), c.requests.size());
  size_t offset = 0;
  for (size_t i = 0; i < c.requests.size(); ++i) {
    const Bytes& m = rec->events[i].bytes;
    ASSERT_TRUE(rec->events[i].write);
    EXPECT_EQ(prefix(m, 8), header(c.requests[i].first | 0x80000000u, c.requests[i].second));
    const size_t n = c.requests[i].first & 0x3FFFFFFFu;
    EXPECT_EQ(m.size(), 64 + (n + 63) / 64 * 64);
    EXPECT_EQ(slice(m, 64, n), slice(data, offset, n));
    offset += n;
  }
}

TEST_P(ProtocolSplit, ReadFramesEveryChunkAndAssemblesInOrder) {
  const SplitCase& c = GetParam();
  Bytes expected;
  for (const auto& r : c.requests) {
    const size_t n = r.first & 0x3FFFFFFFu;
    Bytes resp((n + 63) / 64 * 64);
    for (size_t i = 0; i < resp.size(); ++i) resp[i] = static_cast<unsigned char>(i + n);
    expected.insert(expected.end(), resp.begin(), resp.begin() + n);
    rec->responses.push_back(resp);
  }
  Bytes got(c.count + 1, 0x5A);
  dev->_readBlock(0x20000000, got.data(), c.count, c.flags);
  EXPECT_EQ(got.back(), 0x5A) << "wrote past the block";
  got.pop_back();
  EXPECT_EQ(got, expected);
  ASSERT_EQ(rec->events.size(), 2 * c.requests.size());
  for (size_t i = 0; i < c.requests.size(); ++i) {
    const RecordingDevice::Event& req = rec->events[2 * i];
    const RecordingDevice::Event& resp = rec->events[2 * i + 1];
    ASSERT_TRUE(req.write);
    EXPECT_EQ(req.bytes.size(), 64u);
    EXPECT_EQ(prefix(req.bytes, 8), header(c.requests[i].first, c.requests[i].second));
    ASSERT_FALSE(resp.write);
    EXPECT_EQ(resp.size, static_cast<int>(((c.requests[i].first & 0x3FFFFFFFu) + 63) / 64 * 64));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ProtocolSplit,
    ::testing::Values(
        SplitCase{5, 0, {{0x40000005, 0x20000000}}}, SplitCase{64, 0, {{0x40000040, 0x20000000}}},
        SplitCase{8192, 0, {{0x40002000, 0x20000000}}},
        SplitCase{8193, 0, {{0x40002000, 0x20000000}, {0x40000001, 0x20002000}}},
        SplitCase{8193, 1, {{0x00002000, 0x20000000}, {0x00000001, 0x20000000}}},
        SplitCase{16385,
                  0,
                  {{0x40002000, 0x20000000}, {0x40002000, 0x20002000}, {0x40000001, 0x20004000}}}));

TEST_F(ProtocolWire, NegativeCountsNeverReachTheWire) {
  unsigned char buf[4] = {};
  commapi::Protocol p(64, 64, 8192, 0);
  for (int count : {-1, -5, -8193}) {
    const std::string msg = "Invalid block size: " + std::to_string(count) + ".";
    try {
      dev->_writeBlock(0, buf, count, 0);
      ADD_FAILURE() << "write of " << count << " accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(e.what(), msg);
    }
    EXPECT_THROW(dev->_readBlock(0, buf, count, 0), std::invalid_argument);
    EXPECT_THROW(p.outBlock(rec.get(), 0, buf, count, 0), std::invalid_argument);
    EXPECT_THROW(p.inBlock(rec.get(), 0, buf, count, 0), std::invalid_argument);
  }
  // A single request never carries more than the maximum payload.
  Bytes big(8193);
  EXPECT_THROW(p.outBlock(rec.get(), 0, big.data(), 8193, 0), std::invalid_argument);
  EXPECT_THROW(dev->_readBlock(0, nullptr, 4, 0), std::invalid_argument);
  EXPECT_TRUE(rec->events.empty());
}

// A device that takes `accept` requests and then fails: enough to watch a
// huge block being cut into requests without moving all of it.
class FailingAfter : public RecordingDevice {
 public:
  explicit FailingAfter(int accept) : accept_(accept) {}
  void write(const unsigned char* data, int) override {
    if (accept_-- <= 0) throw std::runtime_error("device gone");
    headers.push_back(Bytes(data, data + 8));
  }
  void read(unsigned char* data, int len) override { std::memset(data, 0x5A, len); }
  std::vector<Bytes> headers;

 private:
  int accept_;
};

// Blocks of 2^30 bytes and more are cut into requests like any other block:
// only one request's byte count has to fit its 30 bits.
TEST(ProtocolHugeBlocks, AreCutIntoRequestsLikeAnyBlock) {
  const size_t span = size_t{1} << 31;  // address space only; the first pages are touched
  void* mem = mmap(nullptr, span, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  auto* data = static_cast<unsigned char*>(mem);
  for (int count : {1 << 30, std::numeric_limits<int>::max()}) {
    for (bool read : {false, true}) {
      auto device = std::make_shared<FailingAfter>(3);
      auto dev = commapi::createProtocolDevice(device, 64, 64, 8192, 0);
      const auto call = [&] {
        if (read) {
          dev->_readBlock(0x10000, data, count, 0);
        } else {
          dev->_writeBlock(0x10000, data, count, 0);
        }
      };
      EXPECT_THROW(call(), std::runtime_error) << count;
      const unsigned control = 0x40000000u | (read ? 0u : 0x80000000u) | 8192u;
      ASSERT_EQ(device->headers.size(), 3u) << count;
      for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(device->headers[i], header(control, 0x10000 + 8192 * i)) << count << " " << i;
      }
      if (read) {
        EXPECT_EQ(data[3 * 8192 - 1], 0x5A);
        EXPECT_EQ(data[3 * 8192], 0);
        std::memset(data, 0, 3 * 8192);
      }
    }
  }
  munmap(mem, span);
}

TEST_F(ProtocolWire, FailedTransferLeavesProtocolUsable) {
  rec->failReads = true;
  unsigned char buf[4];
  EXPECT_THROW(dev->_readBlock(0x40, buf, 4, 0), std::runtime_error);
  rec->failReads = false;
  rec->events.clear();
  dev->writeRegister(0x44, 1);
  ASSERT_EQ(rec->events.size(), 1u);
  EXPECT_EQ(prefix(rec->events[0].bytes, 8), header(0xC0000004, 0x44));
}

TEST(ProtocolConstruction, RejectsImpossibleFraming) {
  auto rec = std::make_shared<RecordingDevice>();
  EXPECT_THROW(commapi::Protocol(7, 64, 8192, 0), std::invalid_argument);
  EXPECT_THROW(commapi::Protocol(64, 0, 8192, 0), std::invalid_argument);
  EXPECT_THROW(commapi::Protocol(64, 64, 0, 0), std::invalid_argument);
  EXPECT_THROW(commapi::Protocol(64, 64, 1 << 30, 0), std::invalid_argument);
  EXPECT_THROW(commapi::createProtocolDevice(nullptr, 64, 64, 8192, 0), std::invalid_argument);
  commapi::Protocol p(64, 64, 8192, 0);
  EXPECT_EQ(p.getNextPayloadGranularity(0), 0);
  EXPECT_EQ(p.getNextPayloadGranularity(1), 64);
  EXPECT_EQ(p.getNextPayloadGranularity(64), 64);
  EXPECT_EQ(p.getNextPayloadGranularity(65), 128);
}

// A device that accepts everything and answers zeros, allocating nothing.
class SilentDevice : public RecordingDevice {
 public:
  void write(const unsigned char*, int) override {}
  void read(unsigned char* data, int len) override { std::memset(data, 0, len); }
};

std::atomic<long> allocations{0};
std::atomic<bool> counting{false};

TEST(ProtocolHotPath, SteadyStateAllocatesNothing) {
  commapi::_resetDiagnosticsForTest();
  auto raw = std::make_shared<SilentDevice>();
  commapi::ProtocolDevice dev(raw, 64, 64, 8192, 0);
  Bytes block(20000);
  dev._readBlock(0, block.data(), 20000, 0);  // diagnostics read the environment here
  counting = true;
  for (int i = 0; i < 10; ++i) {
    dev.writeRegister(0x10, i);
    dev.readRegister(0x10);
    dev._writeBlock(0x1000, block.data(), 20000, 0);
    dev._readBlock(0x1000, block.data(), 20000, 0);
    dev._readBlock(0x1000, block.data(), 3, 1);
  }
  counting = false;
  EXPECT_EQ(allocations.load(), 0);
}

}  // namespace

void* operator new(std::size_t n) {
  if (counting) ++allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
