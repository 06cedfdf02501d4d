// Device JSON format and the in-process raw device.
#include <gtest/gtest.h>

#include <fstream>

#include "qsim/inprocess.h"
#include "qsim/model.h"
#include "wire.h"

using namespace qsim;
using namespace simtest;

namespace {

TEST(SimConfig, DefaultsFitTheirFamilies) {
  for (Family fam : {Family::Ka, Family::Vel, Family::Rix}) {
    const DeviceConfig c = defaultConfig(fam);
    EXPECT_NO_THROW(validateConfig(c)) << familyName(fam);
    EXPECT_EQ(c.firmware, 0x0104);
    EXPECT_FALSE(c.serial.empty());
    EXPECT_EQ(c.counterRateHz, 1000.0);
  }
  EXPECT_EQ(defaultConfig(Family::Ka).productId, 0x3201);
  EXPECT_EQ(defaultConfig(Family::Rix).productId, 0x3202);
  EXPECT_EQ(defaultConfig(Family::Vel).productId, 0x3204);
}

TEST(SimConfig, JsonRoundTripAndOverrides) {
  DeviceConfig c = defaultConfig(Family::Vel);
  c.serial = "X-1";
  c.loopbacks = {{1, 0}};
  c.signals[2] = Signal::noise(0.25, 99, 1.0);
  c.faults.shortIn = true;
  c.faults.inputStatusOverride = 7;
  c.triggerSource = TriggerSource{250.0, 1000, 12};
  const DeviceConfig back = configFromJson(configToJson(c));
  EXPECT_EQ(configToJson(back), configToJson(c));

  const auto j = nlohmann::json::parse(R"({
    "family": "rix", "serial": "R-9", "firmware": "0x0103", "inputCapacity": 2048,
    "signals": [null, {"kind": "ramp", "amplitude": 1.0, "frequency": 2.0, "offset": 1.5}],
    "faults": {"erasedCalibration": true}
  })");
  const DeviceConfig r = configFromJson(j);
  EXPECT_EQ(r.family, Family::Rix);
  EXPECT_EQ(r.serial, "R-9");
  EXPECT_EQ(r.firmware, 0x0103);
  EXPECT_EQ(r.inputCapacity, 2048u);
  EXPECT_EQ(r.signals[0].kind, defaultConfig(Family::Rix).signals[0].kind);
  EXPECT_EQ(r.signals[1].kind, Signal::Kind::Ramp);
  EXPECT_TRUE(r.faults.erasedCalibration);
}

TEST(SimConfig, BadJsonIsRefusedWithAClearError) {
  const char* bad[] = {
      R"({"family": "zeta"})",
      R"({"serail": "typo"})",
      R"({"inputCapacity": "lots"})",
      R"({"inputCapacity": 0})",
      R"({"family": "vel", "loopbacks": [{"from": 0, "to": 2}]})",
      R"({"inputRecords": [[1, 2, 3]]})",
      R"({"faults": {"melt": true}})",
      R"({"signals": [{"kind": "square"}]})",
      R"({"triggerSource": {"frequencyHz": 0}})",
      R"({"triggerSource": {"frequencyHz": 2000000}})",
      R"({"triggerSource": {"frequencyHz": 1000, "widthNs": 1000000}})",
      R"({"triggerSource": {"widthNs": 10}})",
      R"({"triggerSource": {"frequencyHz": 10, "phase": 1}})",
      R"({"triggerSource": 5})",
      R"([1, 2])",
  };
  for (const char* text : bad) {
    EXPECT_THROW(configFromJson(nlohmann::json::parse(text)), std::invalid_argument) << text;
  }
}

TEST(SimConfig, ExampleFileParses) {
  std::ifstream in(QSIM_EXAMPLE_JSON);
  ASSERT_TRUE(in.good()) << QSIM_EXAMPLE_JSON;
  const auto j = nlohmann::json::parse(in);
  std::vector<Family> families;
  for (const auto& entry : j.at("topology")) {
    if (entry.contains("device")) families.push_back(configFromJson(entry["device"]).family);
  }
  EXPECT_EQ(families, (std::vector<Family>{Family::Ka, Family::Vel, Family::Rix}));
}

struct InProcess : ::testing::Test {
  std::shared_ptr<DeviceModel> model =
      std::make_shared<DeviceModel>(defaultConfig(Family::Ka), std::make_shared<ManualClock>());
  InProcessRawDevice dev{model, "SIM:3"};
};

TEST_F(InProcess, IdentityAndRegisterRead) {
  EXPECT_EQ(dev.getUniqueId(), "SIM:3");
  EXPECT_EQ(dev.getConnectionType(), 0);
  EXPECT_EQ(dev.getIntProperty(0), 0x1209);
  EXPECT_EQ(dev.getIntProperty(1), 0x3201);
  EXPECT_EQ(dev.getIntProperty(2), 0);
  dev.open();
  const auto req = request(false, 0xF0000004, 4, true);
  dev.write(req.data(), static_cast<int>(req.size()));
  unsigned char reply[64];
  dev.read(reply, 64);
  EXPECT_EQ(le32(reply), 0x00010400u);
}

TEST_F(InProcess, OpenFailsLikeUsbForHeldOrUnpluggedDevices) {
  Faults f;
  f.interfaceHeld = true;
  model->setFaults(f);
  try {
    dev.open();
    FAIL() << "open succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "Can't claim device (run as root or adjust udev rules): LIBUSB_ERROR_BUSY");
  }
  model->unplug();
  EXPECT_THROW(dev.open(), std::runtime_error);
  EXPECT_FALSE(dev.isOpen());
}

TEST_F(InProcess, MissingReplyTimesOutAndShortTransfersAreJoined) {
  dev.open();
  unsigned char buf[64];
  try {
    dev.read(buf, 64);
    FAIL() << "read succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "Failed to read data from device (using bulk transfer).: LIBUSB_ERROR_TIMEOUT");
  }
  Faults f;
  f.shortIn = true;
  model->setFaults(f);
  std::vector<std::pair<Direction, size_t>> seen;
  dev.setTransferHook([&](Direction d, size_t n) { seen.emplace_back(d, n); });
  const auto req = request(false, 0x09, 4, true);
  dev.write(req.data(), static_cast<int>(req.size()));
  dev.read(buf, 64);
  EXPECT_EQ(le32(buf), 65536u);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::make_pair(Direction::Out, size_t{64}));
  EXPECT_EQ(seen[1], std::make_pair(Direction::In, size_t{32}));
  EXPECT_EQ(seen[2], std::make_pair(Direction::In, size_t{32}));
  model->unplug();
  EXPECT_THROW(dev.write(req.data(), 64), std::runtime_error);
  EXPECT_THROW(dev.read(buf, 64), std::runtime_error);
}

}  // namespace
