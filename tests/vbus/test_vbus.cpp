// The virtual bus against plain libusb: topology and ids, claims, transfers,
// timeouts, stalls, overflow, unplug and replug.
#include <dirent.h>
#include <gtest/gtest.h>
#include <libusb.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "loopback_function.h"
#include "qsim/vbus_gtest.h"

namespace {

using qsim::vbustest::bus;
using qsim::vbustest::waitForPort;
using qsim::vbustest::waitUntil;
using vbustest::LoopbackFunction;

// Transfers that must succeed get a bound no loaded host reaches; the
// timeout tests give their own short one to a device that never answers.
constexpr unsigned kTimeoutMs = 30000;

struct Placement {
  const char* port;
  uint16_t productId;
  const char* uniqueId;
};

const Placement kDevices[] = {
    {"1-3", 0x3201, "USB:1-0-3"},
    {"1-2.1", 0x3204, "USB:1-0-2-1"},
    {"1-2.4", 0x3202, "USB:1-0-2-4"},
};

class LibUsbBus : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(libusb_init(&ctx_), 0);
    for (const auto& d : kDevices) {
      if (bus().function(d.port)) bus().remove(d.port);
    }
    for (const auto& d : kDevices) {
      auto f = std::make_shared<LoopbackFunction>(d.productId);
      functions_.push_back(f);
      bus().addDevice(d.port, f);
    }
    for (const auto& d : kDevices) ASSERT_TRUE(waitForPort(d.port, true)) << d.port;
  }

  void TearDown() override {
    for (auto* h : handles_) libusb_close(h);
    for (const auto& d : kDevices) {
      if (bus().function(d.port)) bus().remove(d.port);
    }
    for (const auto& d : kDevices) EXPECT_TRUE(waitForPort(d.port, false)) << d.port;
    libusb_exit(ctx_);
  }

  LoopbackFunction& fn(size_t i) { return *functions_[i]; }

  libusb_device* find(const std::string& port) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx_, &list);
    libusb_device* found = nullptr;
    for (ssize_t i = 0; i < n; ++i) {
      if (qsim::vbustest::portPathOf(list[i]) == port) found = libusb_ref_device(list[i]);
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    return found;
  }

  // Opened and claimed handle of the device at a port (closed by TearDown).
  libusb_device_handle* open(const std::string& port, bool claim = true) {
    libusb_device* dev = find(port);
    EXPECT_NE(dev, nullptr) << port;
    if (dev == nullptr) return nullptr;
    libusb_device_handle* h = nullptr;
    const int r = libusb_open(dev, &h);
    libusb_unref_device(dev);
    EXPECT_EQ(r, 0) << libusb_error_name(r);
    if (r != 0) return nullptr;
    handles_.push_back(h);
    if (claim) {
      EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    }
    return h;
  }

  void forget(libusb_device_handle* h) {
    handles_.erase(std::find(handles_.begin(), handles_.end(), h));
  }

  libusb_context* ctx_ = nullptr;
  std::vector<std::shared_ptr<LoopbackFunction>> functions_;
  std::vector<libusb_device_handle*> handles_;
};

int bulk(libusb_device_handle* h, unsigned char ep, std::vector<uint8_t>& data, int* moved,
         unsigned timeout = kTimeoutMs) {
  return libusb_bulk_transfer(h, ep, data.data(), static_cast<int>(data.size()), moved, timeout);
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

TEST_F(LibUsbBus, TopologyGivesIdsFromBusAndPortChain) {
  for (const auto& d : kDevices) {
    libusb_device* dev = find(d.port);
    ASSERT_NE(dev, nullptr) << d.port;
    EXPECT_EQ(qsim::vbustest::uniqueIdOf(dev), d.uniqueId);
    libusb_device_descriptor desc{};
    ASSERT_EQ(libusb_get_device_descriptor(dev, &desc), 0);
    EXPECT_EQ(desc.idVendor, 0x1209);
    EXPECT_EQ(desc.idProduct, d.productId);
    libusb_config_descriptor* cfg = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(dev, &cfg), 0);
    ASSERT_EQ(cfg->bNumInterfaces, 1);
    const libusb_interface_descriptor& alt = cfg->interface[0].altsetting[0];
    ASSERT_EQ(alt.bNumEndpoints, 2);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x02);
    EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x81);
    EXPECT_EQ(alt.endpoint[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
    EXPECT_EQ(alt.endpoint[1].wMaxPacketSize, 512);
    libusb_free_config_descriptor(cfg);
    libusb_unref_device(dev);
  }
  // The root hub reports port 0 and no parent; the hub sits at root port 2.
  libusb_device* root = find("usb1");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(libusb_get_port_number(root), 0);
  EXPECT_EQ(libusb_get_parent(root), nullptr);
  libusb_unref_device(root);
  libusb_device* hub = find("1-2");
  ASSERT_NE(hub, nullptr);
  EXPECT_EQ(qsim::vbustest::uniqueIdOf(hub), "USB:1-0-2");
  libusb_unref_device(hub);
}

TEST_F(LibUsbBus, BusListsWhatLibusbSees) {
  std::vector<std::string> present;
  for (const auto& e : bus().list()) {
    if (!e.hub && e.present) present.push_back(e.uniqueId);
  }
  for (const auto& d : kDevices) {
    EXPECT_NE(std::find(present.begin(), present.end(), d.uniqueId), present.end());
  }
}

TEST_F(LibUsbBus, RequestReachesDeviceAndReplyComesBack) {
  libusb_device_handle* h = open("1-3");
  ASSERT_NE(h, nullptr);
  // Up to beyond libusb's 16 KiB split size: one transfer stays one message.
  for (size_t size : {size_t{64}, size_t{128}, size_t{8256}, size_t{40000}}) {
    std::vector<uint8_t> out = pattern(size, static_cast<uint8_t>(size));
    int moved = 0;
    ASSERT_EQ(bulk(h, 0x02, out, &moved), 0);
    EXPECT_EQ(moved, static_cast<int>(size));
    std::vector<uint8_t> in(size, 0);
    ASSERT_EQ(bulk(h, 0x81, in, &moved), 0);
    EXPECT_EQ(moved, static_cast<int>(size));
    EXPECT_EQ(in, out) << size;
    // The device received exactly the bytes that were sent.
    EXPECT_EQ(fn(0).received().back(), out);
  }
}

TEST_F(LibUsbBus, ShortTransferDeliversWhatTheDeviceSent) {
  libusb_device_handle* h = open("1-3");
  ASSERT_NE(h, nullptr);
  fn(0).echo = false;
  fn(0).chunk = 32;
  const std::vector<uint8_t> reply = pattern(64, 3);
  fn(0).queueReply(reply);
  std::vector<uint8_t> first(64, 0), second(64, 0);
  int moved = 0;
  ASSERT_EQ(bulk(h, 0x81, first, &moved), 0);
  ASSERT_EQ(moved, 32);
  ASSERT_EQ(bulk(h, 0x81, second, &moved), 0);
  ASSERT_EQ(moved, 32);
  EXPECT_TRUE(std::equal(reply.begin(), reply.begin() + 32, first.begin()));
  EXPECT_TRUE(std::equal(reply.begin() + 32, reply.end(), second.begin()));
}

TEST_F(LibUsbBus, ReplyLongerThanBufferOverflows) {
  libusb_device_handle* h = open("1-3");
  ASSERT_NE(h, nullptr);
  fn(0).echo = false;
  fn(0).queueReply(pattern(64, 1));
  std::vector<uint8_t> in(32, 0);
  int moved = 0;
  EXPECT_EQ(bulk(h, 0x81, in, &moved), LIBUSB_ERROR_OVERFLOW);
}

TEST_F(LibUsbBus, SilentDeviceTimesOutAndTheUrbIsDiscarded) {
  libusb_device_handle* h = open("1-3");
  ASSERT_NE(h, nullptr);
  std::vector<uint8_t> in(64, 0);
  int moved = -1;
  EXPECT_EQ(bulk(h, 0x81, in, &moved, 50), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(moved, 0);
  EXPECT_EQ(bus().stats("1-3").discarded, 1u);
  // The cancelled transfer must not swallow the reply to the next request.
  std::vector<uint8_t> out = pattern(64, 9);
  ASSERT_EQ(bulk(h, 0x02, out, &moved), 0);
  ASSERT_EQ(bulk(h, 0x81, in, &moved), 0);
  EXPECT_EQ(in, out);
}

TEST_F(LibUsbBus, WaitingReadIsServedByTheNextRequest) {
  libusb_device_handle* h = open("1-2.4");
  ASSERT_NE(h, nullptr);
  std::vector<uint8_t> in(64, 0);
  auto reader = std::async(std::launch::async, [&] {
    int moved = 0;
    const int r = bulk(h, 0x81, in, &moved);
    return r == 0 ? moved : r;
  });
  ASSERT_TRUE(waitUntil([] { return bus().stats("1-2.4").pendingIn == 1; }));
  libusb_device_handle* writer = h;  // same handle: libusb allows concurrent transfers
  std::vector<uint8_t> out = pattern(64, 5);
  int moved = 0;
  ASSERT_EQ(bulk(writer, 0x02, out, &moved), 0);
  EXPECT_EQ(reader.get(), 64);
  EXPECT_EQ(in, out);
}

TEST_F(LibUsbBus, StalledEndpointsReportPipe) {
  libusb_device_handle* h = open("1-3");
  ASSERT_NE(h, nullptr);
  std::vector<uint8_t> buf(64, 0);
  int moved = 0;
  fn(0).stallIn = true;
  EXPECT_EQ(bulk(h, 0x81, buf, &moved), LIBUSB_ERROR_PIPE);
  fn(0).stallOut = true;
  EXPECT_EQ(bulk(h, 0x02, buf, &moved), LIBUSB_ERROR_PIPE);
  fn(0).stallIn = false;
  fn(0).stallOut = false;
  EXPECT_EQ(libusb_clear_halt(h, 0x81), 0);
  ASSERT_EQ(bulk(h, 0x02, buf, &moved), 0);
  EXPECT_EQ(bulk(h, 0x81, buf, &moved), 0);
}

TEST_F(LibUsbBus, ClaimIsRefusedWhileAnotherHolds) {
  // Held by another program (the device says so).
  fn(1).held = true;
  libusb_device_handle* a = open("1-2.1", false);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(libusb_claim_interface(a, 0), LIBUSB_ERROR_BUSY);
  fn(1).held = false;
  ASSERT_EQ(libusb_claim_interface(a, 0), 0);
  // Held by another client: claims are exclusive per open handle.
  libusb_device_handle* b = open("1-2.1", false);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(libusb_claim_interface(b, 0), LIBUSB_ERROR_BUSY);
  std::vector<uint8_t> buf(64, 0);
  int moved = 0;
  // usbfs refuses the transfer (EBUSY), which libusb reports as an I/O error.
  EXPECT_EQ(bulk(b, 0x02, buf, &moved), LIBUSB_ERROR_IO);
  EXPECT_TRUE(fn(1).received().empty());
  ASSERT_EQ(libusb_release_interface(a, 0), 0);
  EXPECT_EQ(libusb_claim_interface(b, 0), 0);
  // A holder that closes without releasing frees the interface too.
  ASSERT_EQ(libusb_release_interface(b, 0), 0);
  ASSERT_EQ(libusb_claim_interface(a, 0), 0);
  libusb_close(a);
  forget(a);
  EXPECT_TRUE(waitUntil([&] { return libusb_claim_interface(b, 0) == 0; }));
}

TEST_F(LibUsbBus, HubsRefuseClaims) {
  libusb_device_handle* h = open("1-2", false);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_BUSY);
}

TEST_F(LibUsbBus, StringDescriptorsNameTheDevice) {
  libusb_device_handle* h = open("1-2.4", false);
  ASSERT_NE(h, nullptr);
  unsigned char text[64] = {};
  ASSERT_GT(libusb_get_string_descriptor_ascii(h, 2, text, sizeof text), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "QeloRix1x");
}

TEST_F(LibUsbBus, UnplugFailsTransfersAndReplugEnumeratesAgain) {
  libusb_device_handle* h = open("1-3");
  ASSERT_NE(h, nullptr);
  // A read waiting at the moment of the unplug fails as well.
  std::vector<uint8_t> in(64, 0);
  auto reader = std::async(std::launch::async, [&] {
    int moved = 0;
    return bulk(h, 0x81, in, &moved);
  });
  ASSERT_TRUE(waitUntil([] { return bus().stats("1-3").pendingIn == 1; }));
  bus().unplug("1-3");
  EXPECT_EQ(reader.get(), LIBUSB_ERROR_NO_DEVICE);
  std::vector<uint8_t> out = pattern(64, 2);
  int moved = 0;
  EXPECT_EQ(bulk(h, 0x02, out, &moved), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(bulk(h, 0x81, in, &moved), LIBUSB_ERROR_NO_DEVICE);
  ASSERT_TRUE(waitForPort("1-3", false));
  EXPECT_FALSE(bus().list().empty());

  bus().replug("1-3");
  ASSERT_TRUE(waitForPort("1-3", true));
  libusb_device_handle* again = open("1-3");
  ASSERT_NE(again, nullptr);
  ASSERT_EQ(bulk(again, 0x02, out, &moved), 0);
  ASSERT_EQ(bulk(again, 0x81, in, &moved), 0);
  EXPECT_EQ(in, out);
  // The old handle stays dead.
  EXPECT_EQ(bulk(h, 0x02, out, &moved), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(LibUsbBus, UnplugOfAHubTakesItsDevices) {
  bus().unplug("1-2");
  EXPECT_TRUE(waitForPort("1-2.1", false));
  EXPECT_TRUE(waitForPort("1-2.4", false));
  EXPECT_TRUE(waitForPort("1-2", false));
  EXPECT_TRUE(waitForPort("1-3", true));
  EXPECT_THROW(bus().replug("1-2.4"), std::logic_error);
  bus().replug("1-2");
  EXPECT_TRUE(waitForPort("1-2.1", true));
  EXPECT_TRUE(waitForPort("1-2.4", true));
}

TEST_F(LibUsbBus, FunctionThatVanishesReportsNoDevice) {
  libusb_device_handle* h = open("1-3");
  ASSERT_NE(h, nullptr);
  fn(0).gone = true;
  std::vector<uint8_t> buf(64, 0);
  int moved = 0;
  EXPECT_EQ(bulk(h, 0x02, buf, &moved), LIBUSB_ERROR_NO_DEVICE);
}

// Open descriptors of this process on device nodes of the bus: the bus keeps
// one per plugged device (its end of the node's FIFO).
size_t openNodeFds() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      char target[512] = {};
      const std::string link = std::string("/proc/self/fd/") + e->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
          std::strstr(target, "/dev/bus/usb/") != nullptr) {
        ++n;
      }
    }
    closedir(d);
  }
  return n;
}

TEST_F(LibUsbBus, ManyPlugCyclesDoNotAccumulateDescriptors) {
  bus().unplug("1-3");
  bus().replug("1-3");
  ASSERT_TRUE(waitForPort("1-3", true));
  ASSERT_TRUE(waitUntil([] { return bus().releaseRetired() == 0; }));
  const size_t before = openNodeFds();
  // Each change is awaited: umockdev's uevents queue up in a datagram socket
  // of a few entries, which a busy host may not drain as fast as a loop
  // unplugs.
  for (int i = 0; i < 40; ++i) {
    bus().unplug("1-3");
    ASSERT_TRUE(waitForPort("1-3", false));
    bus().replug("1-3");
    ASSERT_TRUE(waitForPort("1-3", true));
  }
  // The old plugs' clients let go when the host gets to it; then the bus
  // releases everything they held (handler, FIFO). (umockdev's own sockets
  // are not counted: on a busy host it was seen to keep the listening socket
  // of a detached handler now and then.)
  EXPECT_TRUE(waitUntil([] { return bus().releaseRetired() == 0; }))
      << "unplugged devices stay held";
  EXPECT_EQ(openNodeFds(), before);
  // The device still works after all that.
  libusb_device_handle* h = open("1-3");
  ASSERT_NE(h, nullptr);
  std::vector<uint8_t> out = pattern(64, 4), in(64, 0);
  int moved = 0;
  ASSERT_EQ(bulk(h, 0x02, out, &moved), 0);
  ASSERT_EQ(bulk(h, 0x81, in, &moved), 0);
  EXPECT_EQ(in, out);
}

TEST_F(LibUsbBus, BadAdditionsAreRefused) {
  auto f = std::make_shared<LoopbackFunction>(0x3201);
  EXPECT_THROW(bus().addDevice("1-3", f), std::invalid_argument);    // taken
  EXPECT_THROW(bus().addDevice("1-2", f), std::invalid_argument);    // a hub
  EXPECT_THROW(bus().addDevice("1-3.1", f), std::invalid_argument);  // behind a device
  EXPECT_THROW(bus().addDevice("1-5", nullptr), std::invalid_argument);
  EXPECT_THROW(bus().addDevice("x", f), std::invalid_argument);
  EXPECT_THROW(bus().unplug("1-9"), std::invalid_argument);
}

}  // namespace
