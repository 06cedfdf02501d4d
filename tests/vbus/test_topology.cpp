// Port paths, unique ids, sysfs paths and descriptors of the virtual bus.
#include <gtest/gtest.h>

#include <stdexcept>

#include "qsim/vbus.h"
#include "vbus_topology.h"

namespace {

using qsim::PortPath;

TEST(PortPath, ValidPathsGiveIdsAndSysfsPaths) {
  struct Case {
    const char* text;
    const char* canonical;
    const char* uniqueId;
    const char* sysPath;
  };
  const Case cases[] = {
      {"1-3", "1-3", "USB:1-0-3", "/devices/usb1/1-3"},
      {"1-2.4", "1-2.4", "USB:1-0-2-4", "/devices/usb1/1-2/1-2.4"},
      {"2-1.15.3", "2-1.15.3", "USB:2-0-1-15-3", "/devices/usb2/2-1/2-1.15/2-1.15.3"},
      {"usb1", "usb1", "USB:1-0", "/devices/usb1"},
      {"USB:1-0-2-4", "1-2.4", "USB:1-0-2-4", "/devices/usb1/1-2/1-2.4"},
      {"USB:1-0", "usb1", "USB:1-0", "/devices/usb1"},
  };
  for (const auto& c : cases) {
    const PortPath p = PortPath::parse(c.text);
    EXPECT_EQ(p.text, c.canonical) << c.text;
    EXPECT_EQ(p.uniqueId(), c.uniqueId) << c.text;
    EXPECT_EQ(qsim::sysPathOf(p), c.sysPath) << c.text;
  }
  EXPECT_EQ(qsim::VirtualBus::uniqueIdOf("1-2.1"), "USB:1-0-2-1");
}

TEST(PortPath, MalformedPathsAreRefused) {
  for (const char* bad :
       {"", "1", "1-", "1-0", "1-16", "0-1", "10-1", "1-2.", "1-.2", "1-2-3", "a-1", "1-2.4x",
        "usb", "usb0", "USB:1-1-2", "USB:1-0-", "1-1.1.1.1.1.1.1.1", "1-99999999999"}) {
    EXPECT_THROW(PortPath::parse(bad), std::invalid_argument) << bad;
  }
}

TEST(PortPath, ParentsAndSubtrees) {
  const PortPath dev = PortPath::parse("1-2.4");
  EXPECT_EQ(dev.parent().text, "1-2");
  EXPECT_EQ(dev.parent().parent().text, "usb1");
  EXPECT_THROW(dev.parent().parent().parent(), std::logic_error);
  EXPECT_TRUE(dev.within(PortPath::parse("1-2")));
  EXPECT_TRUE(dev.within(dev));
  EXPECT_TRUE(dev.within(PortPath::parse("usb1")));
  EXPECT_FALSE(dev.within(PortPath::parse("1-3")));
  EXPECT_FALSE(dev.within(PortPath::parse("usb2")));
  EXPECT_FALSE(PortPath::parse("1-2").within(dev));
}

TEST(Descriptors, FunctionHasOneInterfaceWithTwoBulkEndpoints) {
  const auto d = qsim::functionDescriptors(0x1209, 0x3204, 512);
  ASSERT_EQ(d.size(), 18u + 9 + 9 + 7 + 7);
  EXPECT_EQ(qsim::descriptorVendor(d), 0x1209);
  EXPECT_EQ(qsim::descriptorProduct(d), 0x3204);
  EXPECT_EQ(d[18 + 2] | (d[18 + 3] << 8), 32);  // wTotalLength
  EXPECT_EQ(d[18 + 9 + 4], 2);                  // bNumEndpoints
  EXPECT_EQ(d[18 + 18 + 2], 0x02);
  EXPECT_EQ(d[18 + 25 + 2], 0x81);
}

TEST(Descriptors, StringsAreUtf16AndBounded) {
  const PortPath p = PortPath::parse("1-3");
  const qsim::UsbStrings strings = qsim::functionStrings(p, 0x3201, "KA1X-1");
  uint8_t buf[256];
  ASSERT_EQ(qsim::stringDescriptor(strings, 0, buf, sizeof buf), 4u);
  EXPECT_EQ(buf[2], 0x09);
  const size_t n = qsim::stringDescriptor(strings, 2, buf, sizeof buf);
  ASSERT_EQ(n, 2u + 2 * 8);  // "QeloKa1x"
  EXPECT_EQ(buf[0], n);
  EXPECT_EQ(buf[2], 'Q');
  EXPECT_EQ(buf[3], 0);
  ASSERT_EQ(qsim::stringDescriptor(strings, 3, buf, sizeof buf), 2u + 2 * 6);  // the serial
  EXPECT_EQ(buf[2 + 2 * 5], '1');
  EXPECT_EQ(qsim::stringDescriptor(strings, 9, buf, sizeof buf), 0u);
  EXPECT_EQ(qsim::stringDescriptor(strings, 1, buf, 6), 6u);  // truncated to room
  // Without a serial of its own a device is named by its port.
  EXPECT_EQ(qsim::functionStrings(p, 0x3201, "").serial, "VB1-3");
}

}  // namespace
