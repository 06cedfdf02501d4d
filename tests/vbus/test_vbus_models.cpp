// The device models on the virtual bus, reached through plain libusb: the
// register protocol arrives intact and the models' faults show as libusb
// errors.
#include <gtest/gtest.h>
#include <libusb.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qsim/config.h"
#include "qsim/model.h"
#include "qsim/vbus_gtest.h"

namespace {

using namespace qsim::vbustest;

class ModelsOnBus : public VbusFixture {
 protected:
  void SetUp() override {
    VbusFixture::SetUp();
    ASSERT_EQ(libusb_init(&ctx_), 0);
  }
  void TearDown() override {
    if (handle_ != nullptr) libusb_close(handle_);
    libusb_exit(ctx_);
    VbusFixture::TearDown();
  }

  // Opens the device at a port; the claim result is returned.
  int open(const std::string& port) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx_, &list);
    int r = LIBUSB_ERROR_NOT_FOUND;
    for (ssize_t i = 0; i < n; ++i) {
      if (portPathOf(list[i]) == port && libusb_open(list[i], &handle_) == 0) {
        r = libusb_claim_interface(handle_, 0);
      }
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    return r;
  }

  // One register read as the library frames it: a 64-byte request, then a
  // 64-byte response whose first four bytes are the value.
  // The default bound is for replies that must come, whatever the load.
  int readRegister(uint32_t address, uint32_t* value, unsigned timeoutMs = 30000) {
    uint8_t request[64] = {};
    const uint32_t control = 4u | 0x40000000u;  // 4 bytes, incrementing, read
    std::memcpy(request, &control, 4);
    std::memcpy(request + 4, &address, 4);
    int moved = 0;
    int r = libusb_bulk_transfer(handle_, 0x02, request, sizeof request, &moved, timeoutMs);
    if (r != 0) return r;
    uint8_t response[64] = {};
    r = libusb_bulk_transfer(handle_, 0x81, response, sizeof response, &moved, timeoutMs);
    if (r != 0) return r;
    if (moved != 64) return LIBUSB_ERROR_IO;
    std::memcpy(value, response, 4);
    return 0;
  }

  libusb_context* ctx_ = nullptr;
  libusb_device_handle* handle_ = nullptr;
};

TEST_F(ModelsOnBus, VersionRegisterCarriesTheConfiguredFirmware) {
  for (const char* port : {kKaPort, kVelPort, kRixPort}) {
    ASSERT_EQ(open(port), 0) << port;
    uint32_t word = 0;
    ASSERT_EQ(readRegister(0xF0000004, &word), 0) << port;
    EXPECT_EQ((word >> 8) & 0xFFFF, model(port).config().firmware) << port;
    libusb_close(handle_);
    handle_ = nullptr;
  }
  EXPECT_EQ(ka().malformedRequests(), 0u);
}

TEST_F(ModelsOnBus, CustomDeviceIsReachable) {
  qsim::DeviceConfig config = qsim::defaultConfig(qsim::Family::Vel);
  config.firmware = 0x0203;
  add("1-2.2", config);
  ASSERT_EQ(open("1-2.2"), 0);
  uint32_t word = 0;
  ASSERT_EQ(readRegister(0xF0000004, &word), 0);
  EXPECT_EQ((word >> 8) & 0xFFFF, 0x0203u);
}

TEST_F(ModelsOnBus, FaultsShowAsLibusbErrors) {
  qsim::Faults held;
  held.interfaceHeld = true;
  ka().setFaults(held);
  EXPECT_EQ(open(kKaPort), LIBUSB_ERROR_BUSY);
  libusb_close(handle_);
  handle_ = nullptr;
  ka().setFaults({});
  ASSERT_EQ(open(kKaPort), 0);

  qsim::Faults stall;
  stall.stall = true;
  ka().setFaults(stall);
  uint32_t word = 0;
  EXPECT_EQ(readRegister(0xF0000004, &word, 100), LIBUSB_ERROR_TIMEOUT);
  ka().setFaults({});
  ASSERT_EQ(readRegister(0xF0000004, &word), 0);
  EXPECT_EQ((word >> 8) & 0xFFFF, ka().config().firmware);
}

TEST_F(ModelsOnBus, UnplugAndReplugThroughTheFixture) {
  ASSERT_EQ(open(kRixPort), 0);
  unplug(kRixPort);
  uint32_t word = 0;
  EXPECT_EQ(readRegister(0xF0000004, &word), LIBUSB_ERROR_NO_DEVICE);
  libusb_close(handle_);
  handle_ = nullptr;
  replug(kRixPort);
  ASSERT_EQ(open(kRixPort), 0);
  EXPECT_EQ(readRegister(0xF0000004, &word), 0);
}

// Content of a sysfs attribute of the testbed, without its final newline.
std::string sysfs(const std::string& entry, const std::string& attribute) {
  std::ifstream in(bus().rootDir() + "/sys/bus/usb/devices/" + entry + "/" + attribute);
  if (!in) return "<missing>";
  std::ostringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

TEST_F(ModelsOnBus, SysfsAttributesAndStringsAsAKernelGivesThem) {
  qsim::DeviceConfig config = qsim::defaultConfig(qsim::Family::Ka);
  config.serial = "KA-SYSFS-7";
  add("1-2.3", config);
  struct Case {
    const char* entry;
    const char* attribute;
    std::string value;
  } cases[] = {
      {"1-2.3", "manufacturer", "Qelo"},
      {"1-2.3", "product", "QeloKa1x"},
      {"1-2.3", "serial", "KA-SYSFS-7"},
      {"1-2.4", "serial", rix().config().serial},
      {"1-2.3", "bDeviceClass", "00"},
      {"1-2.3", "bNumInterfaces", " 1"},
      {"1-2.3", "bmAttributes", "80"},
      {"1-2.3", "bMaxPower", "100mA"},
      {"1-2.3", "speed", "480"},
      {"1-2.3", "version", " 2.00"},
      {"1-2.3", "devpath", "2.3"},
      {"1-2.3", "maxchild", "0"},
      {"1-2.3", "idProduct", "3201"},
      {"1-2.3:1.0", "bInterfaceClass", "ff"},
      {"1-2.3:1.0", "bNumEndpoints", "02"},
      {"1-2", "bDeviceClass", "09"},
      {"1-2", "maxchild", "15"},
      {"1-2:1.0", "bInterfaceClass", "09"},
      {"usb1", "devpath", "0"},
      {"usb1", "product", "Virtual USB root hub"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sysfs(c.entry, c.attribute), c.value) << c.entry << "/" << c.attribute;
  }
  // The string descriptors say the same as the attributes.
  ASSERT_EQ(open("1-2.3"), 0);
  unsigned char text[64] = {};
  ASSERT_GT(libusb_get_string_descriptor_ascii(handle_, 3, text, sizeof text), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "KA-SYSFS-7");
  ASSERT_GT(libusb_get_string_descriptor_ascii(handle_, 1, text, sizeof text), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "Qelo");
  // Unplugged, the device and its interface are gone; replugged, both are back.
  libusb_close(handle_);
  handle_ = nullptr;
  unplug("1-2.3");
  EXPECT_EQ(sysfs("1-2.3", "serial"), "<missing>");
  EXPECT_EQ(sysfs("1-2.3:1.0", "bInterfaceClass"), "<missing>");
  replug("1-2.3");
  EXPECT_EQ(sysfs("1-2.3:1.0", "bInterfaceClass"), "ff");
}

}  // namespace
