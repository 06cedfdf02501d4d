// The tool's device commands with --broker, as processes against a device
// served by its serial number: the values are the emulator's, and what one
// command sets is still set for the next, because the server keeps the
// device open.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "served_ka.h"

namespace qtest {
namespace {

using nlohmann::json;

using RemoteCommands = ServedKa;

TEST_F(RemoteCommands, ReadTheDeviceThroughTheBrokerByIdentifierSerialOrFamily) {
  for (const char* name : {"stand3/USB:1-0-3", "stand3/usb:1-0-3", "stand3/KA1X-REMOTE",
                           "stand3/QeloKa@KA1X-REMOTE", "stand3/ka", "stand3/ka:0"}) {
    const std::string said = ok({"read", name, "AI-0", "--range", "10V", "--json", "-q"});
    const json read = json::parse(said, nullptr, false);
    ASSERT_FALSE(read.is_discarded()) << said;
    EXPECT_EQ(read["device"], "stand3/USB:1-0-3") << name;
    ASSERT_EQ(read["readings"].size(), 1u) << said;
    const json& r = read["readings"][0];
    EXPECT_NEAR(r["volts"].get<double>(), 1.25, 2e-3) << said;
    EXPECT_EQ(r["calibrated"], true);
    EXPECT_EQ(r["clipped"], false);
    EXPECT_EQ(r["range"]["max_volts"], 10.0);
  }
}

TEST_F(RemoteCommands, WhatOneCommandSetsIsStillSetForTheNext) {
  // DP-0: lines 0-3 driven to 0101, lines 4-7 inputs pulled to 0101 (0x5A).
  // (and a warning: lines 4-7 are inputs)
  const std::string driven = ok({"dio", "stand3/ka", "DP-0", "--oe", "0x0F", "--write", "0x05"});
  EXPECT_NE(driven.find("\nDP-0   0x55 01010101\n"), std::string::npos) << driven;
  EXPECT_NE(driven.find("lines 11110000 of DP-0 are inputs"), std::string::npos) << driven;
  // A command of its own: opening the device here would have made every
  // line an input again (0x5A).
  EXPECT_EQ(ok({"dio", "stand3/ka", "DP-0", "-q"}), "DP-0   0x55 01010101\n");
  ok({"counter", "stand3/ka", "--enable", "-q"});
  EXPECT_EQ(json::parse(ok({"counter", "stand3/ka", "--json", "-q"}))["enabled"], true);
  const std::string written = ok({"write", "stand3/ka", "AO-0", "2.5", "-q"});
  EXPECT_EQ(written.rfind("AO-0       2.", 0), 0u) << written;
  // Beyond the range: clamped and said so, as on a device opened here.
  const std::string clamped = ok({"write", "stand3/ka", "AO-0", "99", "-q"});
  EXPECT_NE(clamped.find("clamped at 10 V"), std::string::npos) << clamped;
}

TEST_F(RemoteCommands, WhatCannotBeReachedIsAClearError) {
  struct Case {
    std::vector<std::string> words;
    int code;
    const char* says;
  };
  const Case cases[] = {
      {{"read", "stand3/KA1X-NONE", "AI-0"},
       1,
       "serves no device 'KA1X-NONE'; it serves USB:1-0-3"},
      {{"read", "stand3/0", "AI-0"}, 2, "bare number"},
      {{"read", "USB:1-0-3", "AI-0"}, 2, "NODE/ID"},
      {{"read", "nowhere/ka", "AI-0"}, 1, "no node 'nowhere'"},
      {{"read", "stand3/ka", "AI-99"}, 1, "AI-99"},
      {{"stream", "--sync", "stand3/ka,stand3/ka", "--channels", "AI-0", "--rate", "10", "--frames",
        "5"},
       2,
       "needs the devices on this machine"},
  };
  for (const Case& c : cases) {
    std::string said;
    EXPECT_EQ(tool(c.words, said), c.code) << said;
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
  }
  // The server takes devices by the same names, and refuses a bare number.
  EXPECT_NE(server_->output().find("--device KA1X-REMOTE is USB:1-0-3"), std::string::npos)
      << server_->output();
  Child numbered({kCli, "serve", "--broker", broker_.url(), "--device", "0"}, dir_ + "/n.log");
  EXPECT_EQ(numbered.wait(std::chrono::seconds(60)), 2) << numbered.output();
  EXPECT_NE(numbered.output().find("bare number"), std::string::npos) << numbered.output();
}

}  // namespace
}  // namespace qtest
