// The device models on the virtual bus, reached through plain libusb: the
// register protocol arrives intact and the models' faults show as libusb
// errors.
#include <gtest/gtest.h>
#include <libusb.h>

#include <cstring>
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

}  // namespace
