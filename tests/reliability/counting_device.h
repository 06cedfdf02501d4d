// A thread-aware stand-in for a device family behind the C interface. Every
// operation counts itself and checks that no other device operation of the
// process runs at the same time: the library's call lock must serialise all
// device work, so an overlap is a fault of the call frame.
//
// Deterministic replies let a caller check what it got back:
//   getDeviceParameter(p)        p < 0 throws std::out_of_range, else p * 100 + tag
//   getPeripheralName(id)        "P-<tag>-<id>"; id < 0 throws std::invalid_argument
//   readRegister / writeRegister a private register file
//   readNonBlocking              one frame: value slot 0 = tag, port slot 0 = call number
//   setLed(id, on)               id < 0 throws std::logic_error
//   getTemperature               throws std::runtime_error "Fake transport failure."
// Everything else succeeds and returns 0.
#pragma once

#include <atomic>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "api/qelomsrdevice.h"

namespace reltest {

// Process-wide overlap detector shared by all counting devices.
inline std::atomic<int>& devicesInside() {
  static std::atomic<int> inside{0};
  return inside;
}
inline std::atomic<long>& overlaps() {
  static std::atomic<long> count{0};
  return count;
}

class CountingDevice : public QeloMsrDevice {
 public:
  explicit CountingDevice(int tag) : QeloMsrDevice(nullptr), tag_(tag) {}

  int tag() const { return tag_; }
  long succeeded() const { return succeeded_.load(); }
  long failed() const { return failed_.load(); }
  long closes() const { return closes_.load(); }

  void open() override {
    op([] {});
  }
  void close() override { closes_.fetch_add(1); }
  std::string getIdentifier() const override { return "FAKE:" + std::to_string(tag_); }
  void resetDevice() override {
    op([] {});
  }
  void resetPeripherals(int) override {
    op([] {});
  }
  int getDeviceParameter(int index) override {
    return op([&] {
      if (index < 0) throw std::out_of_range("Fake parameter out of range.");
      return index * 100 + tag_;
    });
  }
  int enumerateRanges(int, int) override {
    return op([] { return 0; });
  }
  std::pair<float, float> getRangeMinMax(int, int) override {
    return op([] { return std::make_pair(-1.0f, 1.0f); });
  }
  int getDigitalPortIoCount(int) override {
    return op([] { return 8; });
  }
  std::string getPeripheralName(int id) override {
    return op([&] {
      if (id < 0) throw std::invalid_argument("Fake peripheral id.");
      return "P-" + std::to_string(tag_) + "-" + std::to_string(id);
    });
  }
  std::string getDigitalPortIoName(int, int) override {
    return op([] { return std::string(); });
  }
  int getDefaultAnalogInputInterChannelDelay(int, int) override {
    return op([] { return 0; });
  }
  int getMinAnalogInputInterChannelDelay(int) override {
    return op([] { return 0; });
  }
  void getSerialNumber(void* buffer) override {
    op([&] { std::memset(buffer, 0, 1024); });
  }
  void getTemperature(float*) override {
    op([]() -> void { throw std::runtime_error("Fake transport failure."); });
  }
  void setLed(int ledId, bool) override {
    op([&] {
      if (ledId < 0) throw std::logic_error("Fake LED refused.");
    });
  }
  float getReferenceCurrent(int) override {
    return op([] { return 0.0f; });
  }
  void setWatchdogTimeout(unsigned int) override {
    op([] {});
  }
  unsigned int getWatchdogTimeout() override {
    return op([] { return 0u; });
  }
  void setDigitalPortOutputEnableMask(int, int) override {
    op([] {});
  }
  int setAnalogInputParameters(int, int, int) override {
    return op([] { return 0; });
  }
  int getAnalogInputRange(int) override {
    return op([] { return 0; });
  }
  int getAnalogInputInterChannelDelay(int) override {
    return op([] { return 0; });
  }
  void setTriggerConfig(int, int) override {
    op([] {});
  }
  int getTriggerConfig(int) override {
    return op([] { return 0; });
  }
  void setTriggerEnable(int, bool) override {
    op([] {});
  }
  bool getTriggerEnable(int) override {
    return op([] { return false; });
  }
  void resetCounter(int) override {
    op([] {});
  }
  void setCounterConfig(int, int) override {
    op([] {});
  }
  int getCounterConfig(int) override {
    return op([] { return 0; });
  }
  void setCounterEnable(int, bool) override {
    op([] {});
  }
  bool getCounterEnable(int) override {
    return op([] { return false; });
  }
  int calculateMaxBufferedInputFrames() override {
    return op([] { return 0; });
  }
  void setupInputFrame(int*, int) override {
    op([] {});
  }
  float startDataAcquisition(int, float, int) override {
    return op([] { return 0.0f; });
  }
  void stopDataAcquisition() override {
    op([] {});
  }
  void readBlocking(float*, int*, int) override {
    op([] {});
  }
  int readNonBlocking(float* vbuffer, int* buffer, int) override {
    return op([&] {
      vbuffer[0] = static_cast<float>(tag_);
      buffer[0] = static_cast<int>(++reads_);
      return 1;
    });
  }
  int readDigitalPort(int) override {
    return op([] { return 0; });
  }
  float readAnalogInput(int) override {
    return op([] { return 0.0f; });
  }
  void readFrame(float*, int*) override {
    op([] {});
  }
  long long readCounter(int) override {
    return op([] { return 0LL; });
  }
  void setupOutputFrame(int*, int) override {
    op([] {});
  }
  void writeDigitalPort(int, int) override {
    op([] {});
  }
  void writeBlocking(float*, int*, int) override {
    op([] {});
  }
  int writeNonBlocking(float*, int*, int) override {
    return op([] { return 0; });
  }
  void writeAnalogOutput(int, float) override {
    op([] {});
  }
  void writeFrame(float*, int*) override {
    op([] {});
  }
  void readBlock(unsigned int, void*, int) override {
    op([] {});
  }
  void writeBlock(unsigned int, void*, int) override {
    op([] {});
  }
  void readRegister(unsigned int address, unsigned int* value) override {
    op([&] { *value = registers_[address]; });
  }
  void writeRegister(unsigned int address, unsigned int value) override {
    op([&] { registers_[address] = value; });
  }

 private:
  // Runs one operation body, marks the process-wide "inside a device" state
  // around it and counts how it ended. The plain members (registers_, reads_)
  // are deliberately unsynchronised: only the call lock protects them, so a
  // missing lock shows up under ThreadSanitizer as well as in overlaps().
  template <typename Body>
  auto op(Body&& body) -> decltype(body()) {
    struct Inside {
      Inside() {
        if (devicesInside().fetch_add(1) != 0) overlaps().fetch_add(1);
      }
      ~Inside() { devicesInside().fetch_sub(1); }
    } inside;
    try {
      auto done = [&] { succeeded_.fetch_add(1); };
      if constexpr (std::is_void<decltype(body())>::value) {
        body();
        done();
      } else {
        auto result = body();
        done();
        return result;
      }
    } catch (...) {
      failed_.fetch_add(1);
      throw;
    }
  }

  const int tag_;
  std::atomic<long> succeeded_{0};
  std::atomic<long> failed_{0};
  std::atomic<long> closes_{0};
  std::map<unsigned int, unsigned int> registers_;
  long reads_ = 0;
};

}  // namespace reltest
