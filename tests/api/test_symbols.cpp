// The shared library exports exactly the 55 functions of the C interface.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::set<std::string> kExported = {
    "QeloMsrGetApiVersion",
    "__wrapper_error",
    "QeloMsrBeginEnumerate",
    "QeloMsrBeginEnumerateNetwork",
    "QeloMsrGetIdentifier",
    "QeloMsrOpen",
    "QeloMsrClose",
    "QeloMsrResetDevice",
    "QeloMsrResetPeripherals",
    "QeloMsrGetDeviceParameter",
    "QeloMsrGetSerialNumber",
    "QeloMsrGetPeripheralName",
    "QeloMsrGetTemperature",
    "QeloMsrSetLed",
    "QeloMsrGetReferenceCurrent",
    "QeloMsrSetWatchdogTimeout",
    "QeloMsrGetWatchdogTimeout",
    "QeloMsrEnumerateRanges",
    "QeloMsrGetRangeMinMax",
    "QeloMsrGetDefaultAnalogInputInterChannelDelay",
    "QeloMsrGetMinAnalogInputInterChannelDelay",
    "QeloMsrSetAnalogInputParameters",
    "QeloMsrGetAnalogInputParameters",
    "QeloMsrReadAnalogInput",
    "QeloMsrWriteAnalogOutput",
    "QeloMsrGetDigitalPortIoCount",
    "QeloMsrGetDigitalPortIoName",
    "QeloMsrSetDigitalPortOutputEnableMask",
    "QeloMsrReadDigitalPort",
    "QeloMsrWriteDigitalPort",
    "QeloMsrSetTriggerConfig",
    "QeloMsrGetTriggerConfig",
    "QeloMsrSetTriggerEnable",
    "QeloMsrGetTriggerEnable",
    "QeloMsrResetCounter",
    "QeloMsrSetCounterConfig",
    "QeloMsrGetCounterConfig",
    "QeloMsrSetCounterEnable",
    "QeloMsrGetCounterEnable",
    "QeloMsrReadCounter",
    "QeloMsrCalculateMaxBufferedInputFrames",
    "QeloMsrSetupInputFrame",
    "QeloMsrStartDataAcquisition",
    "QeloMsrStopDataAcquisition",
    "QeloMsrReadBlocking",
    "QeloMsrReadNonBlocking",
    "QeloMsrReadFrame",
    "QeloMsrSetupOutputFrame",
    "QeloMsrWriteFrame",
    "QeloMsrWriteBlocking",
    "QeloMsrWriteNonBlocking",
    "__QeloMsrReadBlock",
    "__QeloMsrWriteBlock",
    "__QeloMsrReadRegister",
    "__QeloMsrWriteRegister",
};

TEST(SharedLibrary, ExportsExactlyTheCInterface) {
  ASSERT_EQ(kExported.size(), 55u);
  const std::string command = std::string("nm -D --defined-only ") + QELOMSR_LIBRARY_PATH;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> found;
  char line[1024];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string address, kind, name;
    fields >> address >> kind >> name;
    if (name.empty()) continue;
    // Version nodes of the linker script carry no code.
    if (kind == "A") continue;
    found.insert(name);
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(found, kExported);
}

}  // namespace
