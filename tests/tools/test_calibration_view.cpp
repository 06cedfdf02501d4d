// The tool's view of a device's calibration records against what the emulated
// device really does: the voltage its DAC produces, the value it reads with
// its converter at the end of the scale, and which records are erased.
#include <gtest/gtest.h>

#include "calibration_view.h"
#include "qsim/config.h"
#include "qsim/model.h"
#include "qsim/vbus_gtest.h"

namespace {

using qsim::vbustest::kKaPort;
using qsim::vbustest::kRixPort;
using qsim::vbustest::kVelPort;

class CalibrationViewTest : public qsim::vbustest::VbusFixture {
 protected:
  static qcli::Device open(const std::string& identifier) { return qcli::Device::open(identifier); }
};

TEST_F(CalibrationViewTest, ProducedOutputVoltageIsWhatTheDacDrives) {
  struct Case {
    const char* identifier;
    const char* port;
    int output;
  };
  const Case devices[] = {
      {"USB:1-0-3", kKaPort, 0}, {"USB:1-0-3", kKaPort, 1}, {"USB:1-0-2-1", kVelPort, 0}};
  const float requests[] = {0.003f, -0.003f, 0.0f, 1.0f, -4.321f, 9.99f, -10.0f, 10.0f};
  for (const Case& c : devices) {
    qcli::Device device = open(c.identifier);
    const qcli::CalibrationView view = qcli::CalibrationView::read(device);
    const int id = QELOMSR_ID_ANALOG_OUTPUT(c.output);
    for (float volts : requests) {
      qcli::check(QeloMsrWriteAnalogOutput(device.handle(), id, volts));
      const qcli::OutputScale& scale = view.output(id);
      EXPECT_EQ(scale.code(volts), model(c.port).dacCode(c.output)) << c.port << " " << volts;
      EXPECT_NEAR(scale.producedVolts(volts), model(c.port).dacVoltage(c.output), 1e-9)
          << c.port << " AO-" << c.output << " asked " << volts;
    }
  }
}

TEST_F(CalibrationViewTest, ASampleAtTheEndOfTheScaleIsClippedAndOneInsideIsNot) {
  struct Case {
    const char* identifier;
    const char* port;
    int input;
    int rangeIndex;
    double volts;
    bool clipped;
  };
  const Case cases[] = {
      {"USB:1-0-3", kKaPort, 0, 3, 1.25, true},     // 1.25 V on the 10 mV range
      {"USB:1-0-3", kKaPort, 0, 3, -1.25, true},    // ... and below it
      {"USB:1-0-3", kKaPort, 0, 3, 0.005, false},   // inside the range
      {"USB:1-0-3", kKaPort, 2, 0, 19.98, true},    // beyond 10 V
      {"USB:1-0-2-1", kVelPort, 1, 1, 0.5, false},  // inside 1 V
      {"USB:1-0-2-1", kVelPort, 1, 1, 3.0, true},   // beyond it
      {"USB:1-0-2-4", kRixPort, 0, 0, 1.0, false},  // Rix 0 .. 3.3 V
      {"USB:1-0-2-4", kRixPort, 0, 0, 5.0, true},   // past the converter's top
      {"USB:1-0-2-4", kRixPort, 1, 0, -0.5, true},  // below its bottom
  };
  for (const Case& c : cases) {
    model(c.port).setSignal(c.input, qsim::Signal::dc(c.volts));
    qcli::Device device = open(c.identifier);
    const qcli::CalibrationView view = qcli::CalibrationView::read(device);
    const int id = QELOMSR_ID_ANALOG_INPUT(c.input);
    const int range = QELOMSR_ID_RANGE(c.rangeIndex);
    int delay = 0;
    qcli::check(QeloMsrSetAnalogInputParameters(device.handle(), id, range, -1, &delay));
    float value = 0;
    qcli::check(QeloMsrReadAnalogInput(device.handle(), id, &value));
    const qcli::InputScale& scale = view.input(id, range);
    EXPECT_EQ(scale.clipped(value), c.clipped) << c.port << " AI-" << c.input << " " << c.volts;
    const uint16_t code = model(c.port).rawCodeForVoltage(c.input, c.rangeIndex, c.volts);
    const bool atEnd = code == 0 || code == (c.port == std::string(kRixPort) ? 4095 : 65535);
    EXPECT_EQ(atEnd, c.clipped) << "the case itself is wrong: code " << code;
  }
}

TEST_F(CalibrationViewTest, ErasedRecordsAreNamedAndFactoryRecordsAreNot) {
  for (const char* identifier : {"USB:1-0-3", "USB:1-0-2-1", "USB:1-0-2-4"}) {
    qcli::Device device = open(identifier);
    EXPECT_TRUE(qcli::CalibrationView::read(device).uncalibrated().empty()) << identifier;
  }
  for (const char* port : {kKaPort, kVelPort, kRixPort}) {
    qsim::Faults faults = model(port).faults();
    faults.erasedCalibration = true;
    model(port).setFaults(faults);
  }
  struct Case {
    const char* identifier;
    size_t inputs;
    size_t outputs;
  };
  for (const Case& c :
       {Case{"USB:1-0-3", 21, 2}, Case{"USB:1-0-2-1", 9, 1}, Case{"USB:1-0-2-4", 6, 0}}) {
    qcli::Device device = open(c.identifier);
    const qcli::CalibrationView view = qcli::CalibrationView::read(device);
    size_t inputs = 0, outputs = 0;
    for (const auto& u : view.uncalibrated()) {
      EXPECT_TRUE(u.allRanges) << u.name;
      (qcli::isAnalogInput(u.id) ? inputs : outputs)++;
    }
    EXPECT_EQ(inputs, c.inputs) << c.identifier;
    EXPECT_EQ(outputs, c.outputs) << c.identifier;
    EXPECT_EQ(view.describeUncalibrated(QELOMSR_ID_ANALOG_INPUT(3)), "AI-3");
  }
}

}  // namespace
