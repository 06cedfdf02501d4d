// The implementation shared by the three device families. A family is this
// class driven by its FamilyTable plus the few hooks it overrides.
#pragma once

#include <array>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "api/qelomsrdevice.h"
#include "devices/calibration.h"

// Everything that differs between the families as data. Each family fills
// one table field by field, by name (see qeloka1x.cpp); a field a family
// leaves alone keeps the default below (none of that peripheral).
struct FamilyTable {
  const char* serialPrefix = "";                  // "QeloKa@"
  std::array<int16_t, 9> parameters{};            // getDeviceParameter 0..8
  int singleEndedInputs = 0;                      // channel indexes 0..n-1
  int differentialInputs = 0;                     // channel indexes n..n+d-1
  const char* const* singleEndedNames = nullptr;  // names of AI-n, or nullptr for "AI-n"
  int rangeCount = 0;                             // input ranges per channel
  int analogOutputs = 0;
  int digitalPorts = 0;
  std::array<int, 3> portIoCounts{};  // IOs per digital port
  bool hasCounter = false;
  bool hasLed = false;
  int currentSources = 0;
  const char* const* currentNames = nullptr;  // names of the current sources
  bool watchdog = false;                      // watchdog operations supported
  bool outputStreaming = false;               // writeNonBlocking / writeBlocking supported
  // Counter control: the register that takes the reset code, and the code.
  unsigned counterResetRegister = 0;
  unsigned counterResetCode = 0;
  // Calibration block found through register 0xF0000030 (dual-point families).
  int outputRecordOffset = 0;
  int dualPointOffset = 0;
  int currentOffset = 0;  // offset of the u32 current values; used when currentSources > 0
  // Caller's frame record and the per-call transfer limit of readNonBlocking.
  int valueSlots = 0;
  int portSlots = 0;
  int counterSlot = 0;
  int triggerSlot = 0;
  int readLimitBytes = 0;
};

class QeloFamily : public QeloMsrDevice {
 public:
  static constexpr int kMaxChannels = 21;
  static constexpr int kRangeIndexes = 4;

  // Cached configuration of the device and the flags of the streaming state.
  // Each family uses the fields its peripherals need; the others keep their
  // reset values.
  struct DeviceState {
    enum AnalogRange : int32_t { Range10V = 0, Range1V = 1, Range100mV = 2, Range10mV = 3 };

    bool acquisitionActive = false;
    bool generationActive = false;
    std::array<AnalogRange, kMaxChannels> analogRange{};
    std::array<int32_t, kMaxChannels> interChannelDelay{};
    std::array<int32_t, kRangeIndexes> defaultInterChannelDelay{};
    int32_t minInterChannelDelay = 0;
    std::array<bool, 1> triggerEnable{};
    std::array<int32_t, 1> triggerConfig{};
    std::array<bool, 1> counterEnable{};
    std::array<int32_t, 1> counterConfig{};
    std::array<float, 2> referenceCurrent{};
    std::vector<uint8_t> inputMask;
    std::vector<uint8_t> outputMask;
    bool inputMaskValid = false;
    // The frames in the device's input buffer: sampled under the mask and the
    // ranges in force when their acquisition started, which stay latched here
    // until the buffer is emptied. While the flag is set the buffer may hold
    // frames (an acquisition ran since it was last emptied); opening or
    // resetting the device empties it. The mask is empty when their layout
    // is not known.
    std::vector<uint8_t> acquisitionMask;
    std::array<AnalogRange, kMaxChannels> acquisitionRange{};
    bool inputBufferMayHoldFrames = false;
    // Bookkeeping of the running acquisition, for the bounds of readBlocking.
    int acquisitionFrameCount = 0;    // frame count given at start; <= 0 is unbounded
    long long framesDelivered = 0;    // frames handed to the caller since start
    int acquisitionPeriodNs = -1;     // period in effect; -1 for the frame sample trigger
    unsigned acquisitionControl = 0;  // value written to the control register at start
    // The overflow and early-trigger bits of the first status read since the
    // start that reported one, and how many of the whole frames the device
    // held at that read are still to be handed out before the error is.
    unsigned statusFault = 0;
    long long framesBeforeFault = 0;

    DeviceState() { reset(); }
    // State after opening; keeps the delay block values and reference currents.
    void reset();
    int getDefaultInterChannelDelay(int rangeIndex) const;
    void setDefaultInterChannelDelay(int rangeIndex, int delay);
  };

  QeloFamily(std::shared_ptr<commapi::ProtocolDevice> device, const std::string& identifier,
             const FamilyTable& table);

  void open() override;
  void close() override;
  std::string getIdentifier() const override;
  void resetDevice() override;
  void resetPeripherals(int mask) override;
  int getDeviceParameter(int index) override;
  int enumerateRanges(int peripheralId, int index) override;
  std::pair<float, float> getRangeMinMax(int peripheralId, int rangeId) override;
  int getDigitalPortIoCount(int portId) override;
  std::string getPeripheralName(int peripheralId) override;
  std::string getDigitalPortIoName(int portId, int io) override;
  int getDefaultAnalogInputInterChannelDelay(int inputId, int rangeId) override;
  int getMinAnalogInputInterChannelDelay(int inputId) override;
  void getSerialNumber(void* buffer) override;
  void getTemperature(float* temperature) override;
  void setLed(int ledId, bool on) override;
  float getReferenceCurrent(int currentId) override;
  void setWatchdogTimeout(unsigned int timeout250ms) override;
  unsigned int getWatchdogTimeout() override;
  void setDigitalPortOutputEnableMask(int portId, int mask) override;
  int setAnalogInputParameters(int inputId, int rangeId, int interChannelDelay) override;
  int getAnalogInputRange(int inputId) override;
  int getAnalogInputInterChannelDelay(int inputId) override;
  void setTriggerConfig(int triggerId, int triggerConfigId) override;
  int getTriggerConfig(int triggerId) override;
  void setTriggerEnable(int triggerId, bool enable) override;
  bool getTriggerEnable(int triggerId) override;
  void resetCounter(int counterId) override;
  void setCounterConfig(int counterId, int counterConfigId) override;
  int getCounterConfig(int counterId) override;
  void setCounterEnable(int counterId, bool enable) override;
  bool getCounterEnable(int counterId) override;
  int calculateMaxBufferedInputFrames() override;
  void setupInputFrame(int* ios, int iosCount) override;
  float startDataAcquisition(int external, float frameRate, int frameCount) override;
  void stopDataAcquisition() override;
  void readBlocking(float* vbuffer, int* buffer, int frameCount) override;
  int readNonBlocking(float* vbuffer, int* buffer, int maxFrames) override;
  int readDigitalPort(int portId) override;
  float readAnalogInput(int inputId) override;
  void readFrame(float* vbuffer, int* buffer) override;
  long long readCounter(int counterId) override;
  void setupOutputFrame(int* ios, int iosCount) override;
  void writeDigitalPort(int portId, int value) override;
  void writeBlocking(float* vbuffer, int* buffer, int frameCount) override;
  int writeNonBlocking(float* vbuffer, int* buffer, int frameCount) override;
  void writeAnalogOutput(int outputId, float value) override;
  void writeFrame(float* vbuffer, int* buffer) override;
  void readBlock(unsigned int address, void* buffer, int size) override;
  void writeBlock(unsigned int address, void* buffer, int size) override;
  void readRegister(unsigned int address, unsigned int* value) override;
  void writeRegister(unsigned int address, unsigned int value) override;

  // Read-only views for diagnostics and tests.
  const DeviceState& getState() const { return state; }
  const FamilyTable& getTable() const { return table; }
  unsigned getFirmwareVersion() const { return firmwareVersion; }

  // Validators: map an identifier to an index or code, or throw. No side effects.
  void checkNoDataAcquisition() const;
  void checkNoDataGeneration() const;
  int checkDigitalPortIdValid(int id) const;
  int checkAnalogInPortIsValid(int id) const;
  int checkAnalogIoPortIsValid(int id) const;
  int checkAnalogOutPortIsValid(int id) const;
  int checkInPortIsValid(int id) const;
  int checkOutPortIsValid(int id) const;
  int checkTriggerIsValid(int id) const;
  int checkCounterIsValid(int id) const;

 protected:
  // Builds the calibrators (and, for the dual-point families, reads the
  // version word and the delay block); called by open() after the reset.
  virtual void loadCalibration();
  // Lower and upper limit of range index r of channel index (or 256 + output).
  virtual std::pair<float, float> rangeLimits(int ioIndex, int rangeIndex) const;
  // Value for the acquisition control register 0x58.
  virtual unsigned acquisitionControl(int external, bool triggerIsOutput) const;

  void ensureInputMaskValid();
  // Reads and drops what the device's input buffer holds (when it may hold
  // anything), so that no frame sampled under an earlier mask reaches a
  // caller; clears the latched acquisition mask.
  void discardBufferedFrames();
  // Splits one raw frame (2 x mask length bytes) sampled under the current
  // input mask and ranges into a caller frame record.
  void demuxFrame(const uint8_t* raw, float* values, int* ports) const;
  // The same for `frames` consecutive raw frames sampled under `mask` (of
  // `length` codes) and `ranges` into consecutive records, word by word of
  // the mask: each word's slot, calibrator and conversion are looked up once
  // per call instead of once per sample.
  void demuxFrames(const uint8_t* raw, int frames, const uint8_t* mask, size_t length,
                   const DeviceState::AnalogRange* ranges, float* values, int* ports) const;
  // Builds one raw output frame from the caller's value and port slots.
  void muxFrame(const float* values, const int* ports, uint8_t* raw) const;

  // Byte-block helpers on the protocol device (incrementing addresses).
  void writeBytes(unsigned address, const uint8_t* data, int count);
  void readBytes(unsigned address, uint8_t* data, int count);

  DeviceState state;
  std::string identifier;
  unsigned firmwareVersion = 0;
  CalibrateManager<boost::shared_ptr<InputCalibrator>> inputCalibrators;
  CalibrateManager<boost::shared_ptr<OutputCalibrator>> outputCalibrators;

 private:
  // Index of the item of that kind, or -1 when the family has no such item.
  int findDigitalPort(int id) const;
  int findAnalogInput(int id) const;
  int findAnalogOutput(int id) const;
  // Builds a sorted, duplicate-free mask from caller ids through a validator.
  std::vector<uint8_t> buildMask(const int* ios, int count,
                                 int (QeloFamily::*validate)(int) const) const;
  // The running acquisition waits for the trigger line: every frame under
  // the frame sample trigger or a gate, the first one after a start on the
  // trigger.
  bool awaitsTrigger() const;
  // Stall limit of the blocking calls in ms (0: none) for the running
  // acquisition, and the error thrown when it passes.
  long long blockingStallLimitMs() const;
  [[noreturn]] void throwStalled(const char* what, long long limitMs) const;

  const FamilyTable& table;
  // Reused transfer buffers: streaming allocates nothing per call.
  std::vector<uint8_t> readBuffer;
  std::vector<uint8_t> writeBuffer;
};
