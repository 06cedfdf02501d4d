// Fuzz target: the device families against a device whose every reply comes
// from the fuzzer. The raw device below understands just enough of the
// register protocol to check each request the library sends (header, byte
// count, padding) and answers each read request with fuzzer bytes: status
// words, counts, calibration blocks, serial lengths, frame data. A family is
// opened over it and then driven through a fuzzer-chosen sequence of its
// operations with exactly sized caller arrays. Faults: any out-of-bounds
// access or undefined behaviour (the sanitizers), a malformed request, a read
// of a different size than requested, an exception that is not a
// std::exception, a result outside its documented bounds, or a hang.
//
// Input layout: the reply bytes are taken from the front of the input, the
// operations and their arguments from the back (FuzzedDataProvider).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "comm-api/src/api/protocol.h"
#include "comm-api/src/api/rawdevice.h"
#include "devices/qeloka1x.h"
#include "devices/qelorix1x.h"
#include "devices/qelovel1x.h"
#include "fuzz_common.h"

namespace {

constexpr int kHeaderSize = 64;
constexpr int kBlockSize = 64;
constexpr int kMaxPayload = 8192;
// Replies per input; a device that keeps answering "nothing buffered" must
// not keep a polling call busy longer than this.
constexpr int kMaxReplies = 400;
constexpr int kMaxOperations = 48;

int padded(int count) { return (count + kBlockSize - 1) / kBlockSize * kBlockSize; }

uint32_t le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

class FuzzRawDevice : public commapi::RawDevice {
 public:
  explicit FuzzRawDevice(FuzzedDataProvider& in) : in_(in) {}

  int getConnectionType() const override { return 0; }
  std::string getUniqueId() const override { return "USB:9-0-1"; }
  void open() override {}
  void close() override {}
  void setTimeout(int ms) override { timeout_ = ms; }
  int getTimeout() const override { return timeout_; }
  int getIntProperty(int id) const override { return id == 0 ? 0x1209 : 0; }

  void write(const unsigned char* data, int len) override {
    if (expectedRead_ >= 0) qfuzz::fail("request sent before the previous response was read");
    if (len < kHeaderSize) qfuzz::fail("request shorter than its header");
    const uint32_t control = le32(data);
    const int count = static_cast<int>(control & 0x3FFFFFFFu);
    if (count > kMaxPayload) qfuzz::fail("request carries more than the maximum payload");
    if ((control & 0x80000000u) != 0) {
      if (len != kHeaderSize + padded(count)) qfuzz::fail("write request of the wrong length");
    } else {
      if (len != kHeaderSize) qfuzz::fail("read request longer than its header");
      expectedRead_ = padded(count);
      expectedCount_ = count;
    }
  }

  void read(unsigned char* data, int len) override {
    if (expectedRead_ < 0) qfuzz::fail("read without a read request");
    if (len != expectedRead_) qfuzz::fail("response read with the wrong length");
    const int count = expectedCount_;
    expectedRead_ = -1;
    if (++replies_ > kMaxReplies) throw std::runtime_error("Fuzz device: no more replies.");
    // One leading byte chooses how the transfer ends.
    const std::vector<uint8_t> kind = in_.ConsumeBytes<uint8_t>(1);
    if (kind.empty()) throw std::runtime_error("Fuzz device: out of replies (timeout).");
    if (kind[0] >= 250) throw std::runtime_error("Fuzz device: transfer failed.");
    const std::vector<uint8_t> reply = in_.ConsumeBytes<uint8_t>(static_cast<size_t>(count));
    if (reply.size() != static_cast<size_t>(count)) {
      throw std::runtime_error("Fuzz device: short reply (timeout).");
    }
    if (count > 0) std::memcpy(data, reply.data(), reply.size());
    std::memset(data + count, 0xA5, static_cast<size_t>(len - count));
  }

 private:
  FuzzedDataProvider& in_;
  int timeout_ = 1000;
  int expectedRead_ = -1;
  int expectedCount_ = 0;
  int replies_ = 0;
};

struct Layout {
  int valueSlots;
  int portSlots;
  int readLimit;
};

template <typename T>
std::vector<T> exactly(long n) {
  return std::vector<T>(static_cast<size_t>(n > 0 ? n : 1));
}

void runOperation(FuzzedDataProvider& in, QeloFamily& dev, const Layout& layout) {
  using qfuzz::pickCount;
  using qfuzz::pickId;
  const int frameWords = static_cast<int>(dev.getState().inputMask.size());
  // Arguments are drawn one statement at a time: the order in which a call's
  // arguments are evaluated is unspecified, and seeds must replay the same.
  int a = 0;
  int b = 0;
  unsigned address = 0;
  switch (in.ConsumeIntegralInRange<int>(0, qfuzz::op::kLast)) {
    case 0:
      dev.resetDevice();
      break;
    case 1:
      dev.resetPeripherals(in.ConsumeIntegral<int>());
      break;
    case 2:
      dev.getDeviceParameter(in.ConsumeIntegralInRange<int>(-2, 10));
      break;
    case 3:
      a = pickId(in);
      dev.enumerateRanges(a, in.ConsumeIntegralInRange<int>(-2, 6));
      break;
    case 4:
      a = pickId(in);
      dev.getRangeMinMax(a, pickId(in));
      break;
    case 5:
      dev.getDigitalPortIoCount(pickId(in));
      break;
    case 6:
      dev.getPeripheralName(pickId(in));
      break;
    case 7:
      a = pickId(in);
      dev.getDigitalPortIoName(a, in.ConsumeIntegralInRange<int>(-2, 40));
      break;
    case 8:
      a = pickId(in);
      dev.getDefaultAnalogInputInterChannelDelay(a, pickId(in));
      break;
    case 9:
      dev.getMinAnalogInputInterChannelDelay(pickId(in));
      break;
    case qfuzz::op::kSerialNumber: {
      std::vector<char> serial(1024);
      dev.getSerialNumber(serial.data());
      if (std::memchr(serial.data(), '\0', serial.size()) == nullptr) {
        qfuzz::fail("serial number text without its terminating NUL");
      }
      break;
    }
    case qfuzz::op::kTemperature: {
      float t = 0;
      dev.getTemperature(&t);
      break;
    }
    case 12:
      a = pickId(in);
      dev.setLed(a, in.ConsumeBool());
      break;
    case 13:
      dev.getReferenceCurrent(pickId(in));
      break;
    case 14:
      dev.setWatchdogTimeout(in.ConsumeIntegral<unsigned>());
      break;
    case 15:
      dev.getWatchdogTimeout();
      break;
    case 16:
      a = pickId(in);
      dev.setDigitalPortOutputEnableMask(a, in.ConsumeIntegral<int>());
      break;
    case 17:
      a = pickId(in);
      b = pickId(in);
      dev.setAnalogInputParameters(a, b, pickCount(in, 5000));
      break;
    case 18:
      dev.getAnalogInputRange(pickId(in));
      break;
    case 19:
      dev.getAnalogInputInterChannelDelay(pickId(in));
      break;
    case 20:
      a = pickId(in);
      dev.setTriggerConfig(a, pickId(in));
      break;
    case 21:
      dev.getTriggerConfig(pickId(in));
      break;
    case 22:
      a = pickId(in);
      dev.setTriggerEnable(a, in.ConsumeBool());
      break;
    case 23:
      dev.getTriggerEnable(pickId(in));
      break;
    case 24:
      dev.resetCounter(pickId(in));
      break;
    case 25:
      a = pickId(in);
      dev.setCounterConfig(a, pickId(in));
      break;
    case 26:
      dev.getCounterConfig(pickId(in));
      break;
    case 27:
      a = pickId(in);
      dev.setCounterEnable(a, in.ConsumeBool());
      break;
    case 28:
      dev.getCounterEnable(pickId(in));
      break;
    case 29:
      dev.calculateMaxBufferedInputFrames();
      break;
    case qfuzz::op::kSetupInputFrame:
    case 31: {
      const int count = in.ConsumeIntegralInRange<int>(-1, 24);
      std::vector<int> ios = exactly<int>(count);
      for (int& id : ios) id = pickId(in);
      dev.setupInputFrame(ios.data(), count);
      break;
    }
    case qfuzz::op::kStartAcquisition: {
      a = in.ConsumeIntegralInRange<int>(-1, 3);
      const float rate = qfuzz::pickRate(in);
      dev.startDataAcquisition(a, rate, pickCount(in, 1000));
      break;
    }
    case qfuzz::op::kStopAcquisition:
      dev.stopDataAcquisition();
      break;
    case qfuzz::op::kReadBlocking: {
      const int frames = in.ConsumeIntegralInRange<int>(-1, 64);
      std::vector<float> values = exactly<float>(static_cast<long>(frames) * layout.valueSlots);
      std::vector<int> ports = exactly<int>(static_cast<long>(frames) * layout.portSlots);
      dev.readBlocking(values.data(), ports.data(), frames);
      break;
    }
    case qfuzz::op::kReadNonBlocking:
    case 36: {
      // -1 asks for everything buffered: the caller's arrays hold the
      // per-call maximum for the current frame.
      const int perCall = frameWords > 0 ? layout.readLimit / (2 * frameWords) : 1;
      const int maxFrames = in.ConsumeBool() ? -1 : in.ConsumeIntegralInRange<int>(0, 3000);
      const long frames = maxFrames < 0 ? perCall : maxFrames;
      std::vector<float> values = exactly<float>(frames * layout.valueSlots);
      std::vector<int> ports = exactly<int>(frames * layout.portSlots);
      const int n = dev.readNonBlocking(values.data(), ports.data(), maxFrames);
      if (n < 0 || n > frames || n > perCall) qfuzz::fail("readNonBlocking count out of bounds");
      break;
    }
    case 37:
      dev.readDigitalPort(pickId(in));
      break;
    case qfuzz::op::kReadAnalogInput:
      dev.readAnalogInput(pickId(in));
      break;
    case qfuzz::op::kReadFrame: {
      std::vector<float> values = exactly<float>(layout.valueSlots);
      std::vector<int> ports = exactly<int>(layout.portSlots);
      dev.readFrame(values.data(), ports.data());
      break;
    }
    case qfuzz::op::kReadCounter:
      dev.readCounter(pickId(in));
      break;
    case qfuzz::op::kSetupOutputFrame: {
      const int count = in.ConsumeIntegralInRange<int>(-1, 8);
      std::vector<int> ios = exactly<int>(count);
      for (int& id : ios) id = pickId(in);
      dev.setupOutputFrame(ios.data(), count);
      break;
    }
    case 42:
      a = pickId(in);
      dev.writeDigitalPort(a, in.ConsumeIntegral<int>());
      break;
    case 43:
    case 44: {
      const int frames = in.ConsumeIntegralInRange<int>(-1, 3000);
      std::vector<float> values = exactly<float>(frames);
      std::vector<int> ports = exactly<int>(2L * frames);
      for (float& v : values) v = qfuzz::pickVolts(in);
      if (in.ConsumeBool()) {
        const int n = dev.writeNonBlocking(values.data(), ports.data(), frames);
        if (n < 0 || n > frames) qfuzz::fail("writeNonBlocking count out of bounds");
      } else {
        dev.writeBlocking(values.data(), ports.data(), frames > 64 ? 64 : frames);
      }
      break;
    }
    case 45:
      a = pickId(in);
      dev.writeAnalogOutput(a, qfuzz::pickVolts(in));
      break;
    case qfuzz::op::kWriteFrame: {
      const FamilyTable& table = dev.getTable();
      std::vector<float> values = exactly<float>(table.analogOutputs);
      std::vector<int> ports = exactly<int>(table.digitalPorts);
      for (float& v : values) v = qfuzz::pickVolts(in);
      for (int& p : ports) p = in.ConsumeIntegral<int>();
      dev.writeFrame(values.data(), ports.data());
      break;
    }
    case 47:
    case 48: {
      const int size = in.ConsumeIntegralInRange<int>(-2, 20000);
      std::vector<unsigned char> block = exactly<unsigned char>(size);
      const unsigned address = in.ConsumeIntegral<unsigned>();
      if (in.ConsumeBool()) {
        dev.readBlock(address, block.data(), size);
      } else {
        dev.writeBlock(address, block.data(), size);
      }
      break;
    }
    case 49: {
      unsigned value = 0;
      dev.readRegister(in.ConsumeIntegral<unsigned>(), &value);
      break;
    }
    case 50:
      address = in.ConsumeIntegral<unsigned>();
      dev.writeRegister(address, in.ConsumeIntegral<unsigned>());
      break;
    default:
      dev.getIdentifier();
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int family = in.ConsumeIntegralInRange<int>(0, 2);
  auto raw = std::make_shared<FuzzRawDevice>(in);
  auto protocol = commapi::createProtocolDevice(raw, kHeaderSize, kBlockSize, kMaxPayload, 0);
  std::unique_ptr<QeloFamily> dev;
  Layout layout{};
  switch (family) {
    case 0:
      dev.reset(new QeloKa1x(protocol, "USB:9-0-1"));
      layout = {21, 5, 4096};
      break;
    case 1:
      dev.reset(new QeloVel1x(protocol, "USB:9-0-1"));
      layout = {9, 3, 4096};
      break;
    default:
      dev.reset(new QeloRix1x(protocol, "USB:9-0-1"));
      layout = {6, 3, 2048};
      break;
  }
  try {
    dev->open();
  } catch (const std::exception&) {
    return 0;  // the C interface never hands out a device whose open failed
  } catch (...) {
    qfuzz::fail("open threw something that is not a std::exception");
  }
  for (int op = 0; op < kMaxOperations && in.remaining_bytes() > 0; ++op) {
    try {
      runOperation(in, *dev, layout);
    } catch (const std::exception& e) {
      if (e.what() == nullptr || e.what()[0] == '\0') qfuzz::fail("exception without a message");
    } catch (...) {
      qfuzz::fail("an operation threw something that is not a std::exception");
    }
  }
  try {
    dev->close();
  } catch (...) {
    // close may fail on a bad reply; the device is destroyed anyway
  }
  return 0;
}
