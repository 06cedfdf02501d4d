// Analog loopbacks: an input wired to an analog output reads the voltage the
// output drives, frame by frame while the Vel plays its output buffer.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "qsim/model.h"
#include "wire.h"

using namespace qsim;
using namespace simtest;

namespace {

struct Bench {
  explicit Bench(DeviceConfig cfg)
      : clock(std::make_shared<ManualClock>(kSec)),
        model(std::make_shared<DeviceModel>(std::move(cfg), clock)),
        wire{model} {}
  std::shared_ptr<ManualClock> clock;
  std::shared_ptr<DeviceModel> model;
  Wire wire;
};

TEST(SimAnalogLoopback, InputReadsTheVoltageTheOutputDrives) {
  DeviceConfig cfg = defaultConfig(Family::Ka);
  cfg.analogLoopbacks = {{1, 3}};  // AO-1 wired to AI-3
  Bench b(cfg);
  b.wire.writeBlock(0x44, {0xE7, 0x0B});  // DAC code 3047
  const double volts = b.model->dacVoltage(1);
  EXPECT_GT(volts, 4.0);
  EXPECT_DOUBLE_EQ(b.model->inputVoltage(3, b.model->nowNs()), volts);
  // The single-frame read converts it like any signal; AI-2 keeps its sine.
  b.wire.writeBlock(0x18, {0x03});
  EXPECT_EQ(le16(b.wire.readBlock(0x20, 2).data()), b.model->rawCodeForVoltage(3, 0, volts));
  // The differential pair AI-2/AI-3 sees the output through its second input.
  const int64_t t = b.model->nowNs();
  EXPECT_DOUBLE_EQ(b.model->inputVoltage(14 + 1, t), b.model->inputVoltage(2, t) - volts);
}

TEST(SimAnalogLoopback, EachInputFrameSeesTheOutputFramePlayedAtItsTick) {
  DeviceConfig cfg = defaultConfig(Family::Vel);
  cfg.analogLoopbacks = {{0, 0}};
  Bench b(cfg);
  b.wire.writeBlock(0x1C, {0x00});  // output frame: AO-0
  const std::vector<uint16_t> codes = {100, 2047, 4000, 1234, 3210};
  std::vector<uint8_t> queued;
  for (uint16_t c : codes) {
    queued.push_back(static_cast<uint8_t>(c));
    queued.push_back(static_cast<uint8_t>(c >> 8));
  }
  b.wire.writeBlock(0x04, queued);
  b.wire.writeBlock(0x18, {0x00});  // input frame: AI-0
  b.wire.writeRegister(0x50, 1000000);
  b.wire.writeRegister(0x54, 0);
  b.wire.writeRegister(0x58, 1);
  b.clock->advanceNs(static_cast<int64_t>(codes.size()) * kMs);
  ASSERT_EQ(b.wire.readRegister(0x08), 2 * codes.size());
  const auto frames = b.wire.readBlock(0x00, static_cast<uint32_t>(2 * codes.size()));
  // The expected codes come from the output record and the input record of
  // range 0, each applied on its own: AO code -> volts -> AI code.
  Bench ref(defaultConfig(Family::Vel));
  for (size_t k = 0; k < codes.size(); ++k) {
    ref.wire.writeBlock(0x40, {queued[2 * k], queued[2 * k + 1]});
    EXPECT_EQ(le16(frames.data() + 2 * k),
              ref.model->rawCodeForVoltage(0, 0, ref.model->dacVoltage(0)))
        << "frame " << k;
  }
  EXPECT_EQ(b.model->outputFramesApplied(), codes.size());
}

TEST(SimAnalogLoopback, JsonFormAndItsChecks) {
  const auto c = configFromJson(
      nlohmann::json::parse(R"({"family": "vel", "analogLoopbacks": [{"from": 0, "to": 5}]})"));
  ASSERT_EQ(c.analogLoopbacks.size(), 1u);
  EXPECT_EQ(c.analogLoopbacks[0].from, 0);
  EXPECT_EQ(c.analogLoopbacks[0].to, 5);
  EXPECT_EQ(configToJson(configFromJson(configToJson(c))), configToJson(c));
  const char* bad[] = {
      R"({"family": "vel", "analogLoopbacks": [{"from": 1, "to": 0}]})",  // Vel has AO-0 only
      R"({"family": "vel", "analogLoopbacks": [{"from": 0, "to": 6}]})",  // six inputs
      R"({"family": "rix", "analogLoopbacks": [{"from": 0, "to": 0}]})",  // no output
      R"({"family": "ka", "analogLoopbacks": [{"from": 0}]})",
  };
  for (const char* text : bad) {
    EXPECT_THROW(configFromJson(nlohmann::json::parse(text)), std::invalid_argument) << text;
  }
}

}  // namespace
