// The abstract device interface that every device family implements.
#pragma once

#include <memory>
#include <string>
#include <utility>

namespace commapi {
class ProtocolDevice;
}

// Identifier space 0x7A50kknn: kk selects the kind, nn numbers the items.
namespace qelomsr_ids {
constexpr int kDigitalPort = 0x7A501000;
constexpr int kAnalogInput = 0x7A501100;
constexpr int kDiffInput = 0x7A501200;
constexpr int kAnalogOutput = 0x7A501300;
constexpr int kRange = 0x7A501400;
constexpr int kRangeNone = 0x7A5014FF;
constexpr int kCounter = 0x7A501500;
constexpr int kTrigger = 0x7A501600;
constexpr int kCurrentSource = 0x7A501700;
constexpr int kLed = 0x7A501800;
constexpr int kTriggerConfig = 0x7A501900;
constexpr int kCounterConfig = 0x7A501A00;
}  // namespace qelomsr_ids

class QeloMsrDevice {
 public:
  explicit QeloMsrDevice(std::shared_ptr<commapi::ProtocolDevice> device)
      : device(std::move(device)) {}
  virtual ~QeloMsrDevice() = default;

  QeloMsrDevice(const QeloMsrDevice&) = delete;
  QeloMsrDevice& operator=(const QeloMsrDevice&) = delete;

  virtual void open() = 0;
  virtual void close() = 0;
  virtual std::string getIdentifier() const = 0;
  virtual void resetDevice() = 0;
  virtual void resetPeripherals(int mask) = 0;
  virtual int getDeviceParameter(int index) = 0;
  virtual int enumerateRanges(int peripheralId, int index) = 0;
  virtual std::pair<float, float> getRangeMinMax(int peripheralId, int rangeId) = 0;
  virtual int getDigitalPortIoCount(int portId) = 0;
  virtual std::string getPeripheralName(int peripheralId) = 0;
  virtual std::string getDigitalPortIoName(int portId, int io) = 0;
  virtual int getDefaultAnalogInputInterChannelDelay(int inputId, int rangeId) = 0;
  virtual int getMinAnalogInputInterChannelDelay(int inputId) = 0;
  virtual void getSerialNumber(void* buffer) = 0;
  virtual void getTemperature(float* temperature) = 0;
  virtual void setLed(int ledId, bool on) = 0;
  virtual float getReferenceCurrent(int currentId) = 0;
  virtual void setWatchdogTimeout(unsigned int timeout250ms) = 0;
  virtual unsigned int getWatchdogTimeout() = 0;
  virtual void setDigitalPortOutputEnableMask(int portId, int mask) = 0;
  virtual int setAnalogInputParameters(int inputId, int rangeId, int interChannelDelay) = 0;
  virtual int getAnalogInputRange(int inputId) = 0;
  virtual int getAnalogInputInterChannelDelay(int inputId) = 0;
  virtual void setTriggerConfig(int triggerId, int triggerConfigId) = 0;
  virtual int getTriggerConfig(int triggerId) = 0;
  virtual void setTriggerEnable(int triggerId, bool enable) = 0;
  virtual bool getTriggerEnable(int triggerId) = 0;
  virtual void resetCounter(int counterId) = 0;
  virtual void setCounterConfig(int counterId, int counterConfigId) = 0;
  virtual int getCounterConfig(int counterId) = 0;
  virtual void setCounterEnable(int counterId, bool enable) = 0;
  virtual bool getCounterEnable(int counterId) = 0;
  virtual int calculateMaxBufferedInputFrames() = 0;
  virtual void setupInputFrame(int* ios, int iosCount) = 0;
  virtual float startDataAcquisition(int external, float frameRate, int frameCount) = 0;
  virtual void stopDataAcquisition() = 0;
  virtual void readBlocking(float* vbuffer, int* buffer, int frameCount) = 0;
  virtual int readNonBlocking(float* vbuffer, int* buffer, int maxFrames) = 0;
  virtual int readDigitalPort(int portId) = 0;
  virtual float readAnalogInput(int inputId) = 0;
  virtual void readFrame(float* vbuffer, int* buffer) = 0;
  virtual long long readCounter(int counterId) = 0;
  virtual void setupOutputFrame(int* ios, int iosCount) = 0;
  virtual void writeDigitalPort(int portId, int value) = 0;
  virtual void writeBlocking(float* vbuffer, int* buffer, int frameCount) = 0;
  virtual int writeNonBlocking(float* vbuffer, int* buffer, int frameCount) = 0;
  virtual void writeAnalogOutput(int outputId, float value) = 0;
  virtual void writeFrame(float* vbuffer, int* buffer) = 0;
  virtual void readBlock(unsigned int address, void* buffer, int size) = 0;
  virtual void writeBlock(unsigned int address, void* buffer, int size) = 0;
  virtual void readRegister(unsigned int address, unsigned int* value) = 0;
  virtual void writeRegister(unsigned int address, unsigned int value) = 0;

  // 1e9 / periodTime in double, rounded to float; periodTime must be >= 1.
  float calculateFrameRateFromPeriodTime(int periodTime) const;
  // trunc(1e9 / frameRate) in double; frameRate must be >= 1 and finite, and
  // the period must come out at 1 ns or more.
  int calculatePeriodTimeFromFrameRate(float frameRate) const;

 protected:
  std::shared_ptr<commapi::ProtocolDevice> device;
};
