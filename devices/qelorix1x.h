// Rix family: six unipolar inputs with one fixed range and offset/gain
// calibration, one 3-IO digital port, a counter and a trigger that exclude
// each other. No outputs, ranges, delays, LED, temperature or watchdog.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "devices/qelofamily.h"

class QeloRix1x : public QeloFamily {
 public:
  QeloRix1x(std::shared_ptr<commapi::ProtocolDevice> device, const std::string& identifier);

  // No selectable range or delay: validates the input and returns the delay.
  int setAnalogInputParameters(int inputId, int rangeId, int interChannelDelay) override;
  int getDefaultAnalogInputInterChannelDelay(int inputId, int rangeId) override;
  // Absent peripherals: succeed without effect.
  void writeAnalogOutput(int outputId, float value) override;
  void setLed(int ledId, bool on) override;
  void getTemperature(float* temperature) override;

  // Trigger and counter with their own enables and configurations.
  void setTriggerConfig(int triggerId, int triggerConfigId) override;
  void setTriggerEnable(int triggerId, bool enable) override;
  bool getTriggerEnable(int triggerId) override;
  void setCounterConfig(int counterId, int counterConfigId) override;
  int getCounterConfig(int counterId) override;
  void setCounterEnable(int counterId, bool enable) override;

 protected:
  void loadCalibration() override;
  std::pair<float, float> rangeLimits(int ioIndex, int rangeIndex) const override;

  // Write the trigger or counter register from the cached state.
  void updateTrigger(int index);
  void updateCounter(int index);
};
