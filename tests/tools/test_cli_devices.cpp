// Which device a command reaches, and what the tool says when a device is in
// use by another program, does not answer, or goes away while it works:
// against the emulated devices of the virtual USB bus, with the faults the
// emulator makes on request.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli_run.h"

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace qtest;

namespace {

using CliDevices = BusTest;

// A session that holds the Ka open while `action` runs (shell text under the
// runner; "$cli" is the tool, "$pid" the session), then ends it.
ProcessResult whileTheKaIsHeld(const std::string& name, const std::string& action) {
  const std::string script = kTempDir + "/" + name + "_hold.txt";
  writeFile(script, "sleep 600\n");
  return whileRunning(name, "opened", action + "; kill -TERM $pid", {"session", "ka", script});
}

TEST_F(CliDevices, ADeviceInUseIsListedAsSuchAndNeverReplacedByAnother) {
  const auto r =
      whileTheKaIsHeld("busy",
                       "\"$cli\" list; \"$cli\" list --json; "
                       "\"$cli\" dio ka DP-0 --oe 0x7 --write 0x7 2>&1; echo \"ka $?\"; "
                       "\"$cli\" dio KA1X-004711 DP-0 2>&1; echo \"serial $?\"; "
                       "\"$cli\" dio USB:1-0-3 DP-0 2>&1; echo \"identifier $?\"; "
                       "\"$cli\" dio 0 DP-0 --oe 0x7 --write 0x7 2>&1; echo \"index $?\"");
  EXPECT_EQ(r.exitCode, 143) << describe(r);
  EXPECT_THAT(r.out, ContainsRegex("USB:1-0-3 +Ka +KA1X-004711 +- +in use by another program\n"));
  EXPECT_THAT(r.out, ContainsRegex("USB:1-0-2-4 +Rix +RIX1X-004713 +1\\.4 +available\n"));
  for (const char* how : {"ka", "serial", "identifier"}) {
    EXPECT_THAT(r.out, HasSubstr("qelomsr: error: USB:1-0-3 is in use by another program (Ka, "
                                 "KA1X-004711)\n" +
                                 std::string(how) + " 1\n"))
        << how;
  }
  // A bare number is refused: it once counted only the devices that could be
  // opened and drove the Rix's lines.
  EXPECT_THAT(r.out, HasSubstr("'0' looks like a list index"));
  EXPECT_THAT(r.out, HasSubstr("index 2\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("opened USB:1-0-2-4")));
  std::string json;
  for (const auto& line : lines(r.out))
    if (line.rfind("{\"devices\"", 0) == 0) json = line;
  const auto doc = nlohmann::json::parse(json);
  ASSERT_EQ(doc["devices"].size(), 3u) << json;
  const auto& ka = doc["devices"][2];
  EXPECT_EQ(ka["identifier"], "USB:1-0-3");
  EXPECT_EQ(ka["family"], "Ka");
  EXPECT_EQ(ka["type"], 0x7A500010);
  EXPECT_EQ(ka["serial"], "KA1X-004711");
  EXPECT_TRUE(ka["firmware"].is_null());
  EXPECT_EQ(ka["state"], "in-use");
  EXPECT_EQ(doc["devices"][0]["state"], "available");
  EXPECT_EQ(doc["devices"][0]["firmware"], "1.4");
}

TEST_F(CliDevices, AStalledDeviceIsListedAndKeepsItsFamilyPosition) {
  // ka:0 and ka:1 follow the identifiers of every Ka on the bus, so ka:1
  // names the stalled one and never slides to another device.
  const auto list = onBus({"list"}, "stalled_ka.json");
  ASSERT_EQ(list.exitCode, 0) << describe(list);
  EXPECT_THAT(list.out, ContainsRegex("USB:1-0-4 +Ka +KA1X-STALLED +- +does not answer\n"));
  EXPECT_THAT(list.out, ContainsRegex("USB:1-0-3 +Ka +KA1X-004711 +1\\.4 +available\n"));
  const auto stalled = onBus({"dio", "ka:1", "DP-0"}, "stalled_ka.json");
  EXPECT_EQ(stalled.exitCode, 1) << describe(stalled);
  EXPECT_THAT(stalled.err, HasSubstr("USB:1-0-4 does not answer (Ka, KA1X-STALLED)"));
  EXPECT_TRUE(stalled.out.empty());
  const auto first = onBus({"dio", "ka:0", "DP-0"}, "stalled_ka.json");
  EXPECT_EQ(first.exitCode, 0) << describe(first);
  EXPECT_THAT(first.err, HasSubstr("opened USB:1-0-3 (Ka"));
}

TEST_F(CliDevices, AFailureWhileWorkingSaysWhatHappenedToTheDeviceFirst) {
  // The session waits for its second line until the emulator has made the
  // fault, so the line meets the fault whatever the speed of the host.
  struct Case {
    const char* fault;
    const char* said;
    const char* libusb;
  };
  const Case cases[] = {
      {"unplug 1-3", "USB:1-0-3 was unplugged: ", "LIBUSB_ERROR_NO_DEVICE"},
      {"fault 1-3 stall on", "USB:1-0-3 does not answer: ", "LIBUSB_ERROR_TIMEOUT"},
  };
  for (const Case& c : cases) {
    const std::string err = kTempDir + "/failing_device.err";
    writeFile(err, "");
    const std::string script =
        "{ echo 'dio DP-0'; for i in $(seq 1 1200); do grep -q 'DP-0' \"$0\".out 2>/dev/null && "
        "break; sleep 0.05; done; \"$1\" ctl " +
        std::string(c.fault) +
        " >/dev/null; echo 'dio DP-1'; } | \"$2\" session ka >\"$0\".out 2>\"$0\"; "
        "echo \"status ${PIPESTATUS[1]}\"";
    const auto r = runProcess({kRunner, "--", "/bin/bash", "-c", script, err, kRunner, kCli});
    const std::string said = readFile(err);
    EXPECT_THAT(r.out, HasSubstr("status 1")) << c.fault << "\n" << describe(r) << said;
    EXPECT_THAT(said, HasSubstr("qelomsr: error: " + std::string(c.said))) << said;
    EXPECT_THAT(said, ContainsRegex(std::string(c.said) + ".*" + c.libusb + " \\(class 4")) << said;
  }
}

TEST_F(CliDevices, TheSerialNumberNamesTheSameDeviceWhereverItIsPlugged) {
  // two_ka.json: the second Ka carries the serial KA1X-ERASED.
  for (const std::string text : {"KA1X-ERASED", "QeloKa@KA1X-ERASED", "ka1x-erased"}) {
    const auto r = onBus({"info", text, "--json", "-q"}, "two_ka.json");
    ASSERT_EQ(r.exitCode, 0) << text << "\n" << describe(r);
    EXPECT_TRUE(r.err.empty()) << r.err;
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["identifier"], "USB:1-0-4") << text;
    EXPECT_EQ(doc["serial"], "QeloKa@KA1X-ERASED") << text;
    EXPECT_EQ(doc["usb_serial"], "KA1X-ERASED") << text;
  }
}

}  // namespace
