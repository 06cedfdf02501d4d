// A GoogleMock stand-in for a device family behind the C interface.
#pragma once

#include <gmock/gmock.h>

#include <memory>
#include <string>
#include <utility>

#include "api/qelomsrdevice.h"

class MockDevice : public QeloMsrDevice {
 public:
  MockDevice() : QeloMsrDevice(nullptr) {}
  MOCK_METHOD(void, open, (), (override));
  MOCK_METHOD(void, close, (), (override));
  MOCK_METHOD(std::string, getIdentifier, (), (const, override));
  MOCK_METHOD(void, resetDevice, (), (override));
  MOCK_METHOD(void, resetPeripherals, (int), (override));
  MOCK_METHOD(int, getDeviceParameter, (int), (override));
  MOCK_METHOD(int, enumerateRanges, (int, int), (override));
  using FloatPair = std::pair<float, float>;
  MOCK_METHOD(FloatPair, getRangeMinMax, (int, int), (override));
  MOCK_METHOD(int, getDigitalPortIoCount, (int), (override));
  MOCK_METHOD(std::string, getPeripheralName, (int), (override));
  MOCK_METHOD(std::string, getDigitalPortIoName, (int, int), (override));
  MOCK_METHOD(int, getDefaultAnalogInputInterChannelDelay, (int, int), (override));
  MOCK_METHOD(int, getMinAnalogInputInterChannelDelay, (int), (override));
  MOCK_METHOD(void, getSerialNumber, (void*), (override));
  MOCK_METHOD(void, getTemperature, (float*), (override));
  MOCK_METHOD(void, setLed, (int, bool), (override));
  MOCK_METHOD(float, getReferenceCurrent, (int), (override));
  MOCK_METHOD(void, setWatchdogTimeout, (unsigned int), (override));
  MOCK_METHOD(unsigned int, getWatchdogTimeout, (), (override));
  MOCK_METHOD(void, setDigitalPortOutputEnableMask, (int, int), (override));
  MOCK_METHOD(int, setAnalogInputParameters, (int, int, int), (override));
  MOCK_METHOD(int, getAnalogInputRange, (int), (override));
  MOCK_METHOD(int, getAnalogInputInterChannelDelay, (int), (override));
  MOCK_METHOD(void, setTriggerConfig, (int, int), (override));
  MOCK_METHOD(int, getTriggerConfig, (int), (override));
  MOCK_METHOD(void, setTriggerEnable, (int, bool), (override));
  MOCK_METHOD(bool, getTriggerEnable, (int), (override));
  MOCK_METHOD(void, resetCounter, (int), (override));
  MOCK_METHOD(void, setCounterConfig, (int, int), (override));
  MOCK_METHOD(int, getCounterConfig, (int), (override));
  MOCK_METHOD(void, setCounterEnable, (int, bool), (override));
  MOCK_METHOD(bool, getCounterEnable, (int), (override));
  MOCK_METHOD(int, calculateMaxBufferedInputFrames, (), (override));
  MOCK_METHOD(void, setupInputFrame, (int*, int), (override));
  MOCK_METHOD(float, startDataAcquisition, (int, float, int), (override));
  MOCK_METHOD(void, stopDataAcquisition, (), (override));
  MOCK_METHOD(void, readBlocking, (float*, int*, int), (override));
  MOCK_METHOD(int, readNonBlocking, (float*, int*, int), (override));
  MOCK_METHOD(int, readDigitalPort, (int), (override));
  MOCK_METHOD(float, readAnalogInput, (int), (override));
  MOCK_METHOD(void, readFrame, (float*, int*), (override));
  MOCK_METHOD(long long, readCounter, (int), (override));
  MOCK_METHOD(void, setupOutputFrame, (int*, int), (override));
  MOCK_METHOD(void, writeDigitalPort, (int, int), (override));
  MOCK_METHOD(void, writeBlocking, (float*, int*, int), (override));
  MOCK_METHOD(int, writeNonBlocking, (float*, int*, int), (override));
  MOCK_METHOD(void, writeAnalogOutput, (int, float), (override));
  MOCK_METHOD(void, writeFrame, (float*, int*), (override));
  MOCK_METHOD(void, readBlock, (unsigned int, void*, int), (override));
  MOCK_METHOD(void, writeBlock, (unsigned int, void*, int), (override));
  MOCK_METHOD(void, readRegister, (unsigned int, unsigned int*), (override));
  MOCK_METHOD(void, writeRegister, (unsigned int, unsigned int), (override));
};
