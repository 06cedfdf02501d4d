// What the everyday commands report, checked against what the emulated
// devices hold and measure: the voltage an output really produces, ports
// written while their lines are inputs, clipped and uncalibrated readings,
// and the JSON documents of --json.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli_run.h"

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace qtest;

namespace {

using CliReports = BusTest;

// Runs the tool with args under the runner, then asks the emulator for the
// state of the device at port: "name value" pairs.
std::map<std::string, std::string> stateAfter(const std::vector<std::string>& args,
                                              const std::string& port, ProcessResult& tool) {
  std::string command = "\"$0\"";
  for (size_t i = 0; i < args.size(); ++i) command += " \"${" + std::to_string(i + 2) + "}\"";
  command += " >\"$1\".out 2>\"$1\".err; echo \"status $?\"; \"$QELOMSR_RUNNER\" ctl state " + port;
  std::vector<std::string> argv{
      kRunner, "--",    "/usr/bin/env", "QELOMSR_RUNNER=" + kRunner, "/bin/bash",
      "-c",    command, kCli,           kTempDir + "/state_after"};
  argv.insert(argv.end(), args.begin(), args.end());
  const ProcessResult r = runProcess(argv);
  tool.out = readFile(kTempDir + "/state_after.out");
  tool.err = readFile(kTempDir + "/state_after.err");
  tool.exitCode = r.out.find("status 0\n") != std::string::npos ? 0 : 1;
  std::map<std::string, std::string> values;
  std::istringstream in(r.out);
  for (std::string name, value; in >> name >> value;) values[name] = value;
  return values;
}

TEST_F(CliReports, WriteReportsTheVoltageTheConverterProduces) {
  struct Case {
    const char* device;
    const char* port;
    const char* output;
    const char* volts;
  };
  const Case cases[] = {{"ka", "1-3", "AO-0", "0.003"},    {"ka", "1-3", "AO-1", "-2.5"},
                        {"ka", "1-3", "AO-0", "1.25V"},    {"vel", "1-2.1", "AO-0", "-4.321"},
                        {"vel", "1-2.1", "AO-0", "500mV"}, {"ka", "1-3", "AO-0", "0"}};
  for (const Case& c : cases) {
    ProcessResult tool;
    auto state = stateAfter({"write", c.device, c.output, "-q", "--", c.volts}, c.port, tool);
    ASSERT_EQ(tool.exitCode, 0) << c.volts << "\n" << describe(tool);
    const std::string dac = std::string("dac") + c.output[3] + "Volts";
    ASSERT_FALSE(state[dac].empty()) << dac;
    // The emulator gives the DAC's voltage through its own record with six
    // decimals.
    const double produced = std::stod(state[dac]);
    float printed = 0;
    char name[16] = {0};
    ASSERT_EQ(std::sscanf(tool.out.c_str(), "%15s %f V", name, &printed), 2) << tool.out;
    EXPECT_STREQ(name, c.output);
    EXPECT_NEAR(printed, produced, 1e-6) << tool.out;
    const double asked = std::strtod(c.volts, nullptr) * (std::strstr(c.volts, "mV") ? 1e-3 : 1);
    if (std::fabs(produced - asked) > 1e-6) {
      EXPECT_THAT(tool.out, HasSubstr("(asked "));
      EXPECT_THAT(tool.out, HasSubstr(" V: the nearest the 12-bit converter gives)\n"));
    } else {
      EXPECT_THAT(tool.out, Not(HasSubstr("asked"))) << tool.out;
    }
    EXPECT_TRUE(tool.err.empty()) << tool.err;
  }
}

TEST_F(CliReports, LevelsWrittenToInputLinesAreWarnedAbout) {
  struct Case {
    std::string lines;   // session lines, the last one checked
    std::string inputs;  // the input lines the warning names; empty: no warning
    std::string read;
  };
  const Case cases[] = {
      {"dio DP-0 --write 0x5A", "11111111", "DP-0   0x00 00000000"},
      {"dio DP-0 --oe 0x0F --write 0x5A", "11110000", "DP-0   0x0A 00001010"},
      {"dio DP-0 --oe 0xFF --write 0x5A", "", "DP-0   0x5A 01011010"},
      // The session knows what it enabled before.
      {"dio DP-2 --oe 0x0F\ndio DP-2 --write 0x5", "", "DP-2   0x05 0101"},
  };
  for (const Case& c : cases) {
    const std::string script = kTempDir + "/dio_warning.txt";
    writeFile(script, c.lines + "\n");
    const auto r = onBus({"session", "ka", script, "-q"});
    ASSERT_EQ(r.exitCode, 0) << c.lines << "\n" << describe(r);
    EXPECT_EQ(lines(r.out).back(), c.read) << c.lines;
    if (c.inputs.empty()) {
      EXPECT_TRUE(r.err.empty()) << c.lines << "\n" << r.err;
    } else {
      EXPECT_THAT(r.err, HasSubstr("were written but the lines " + c.inputs)) << c.lines << "\n"
                                                                              << r.err;
      EXPECT_THAT(r.err, HasSubstr("add --oe MASK to drive them")) << r.err;
    }
  }
}

TEST_F(CliReports, ClippedAndUncalibratedReadingsSaySo) {
  // calibration_faults.json: 1.25 V on AI-0 of both Kas, the second Ka and
  // the Rix with erased calibration records (nominal conversion).
  struct Case {
    std::vector<std::string> args;
    std::string warning;  // empty: none
  };
  const Case cases[] = {
      {{"read", "USB:1-0-3", "AI-0"}, ""},
      {{"read", "USB:1-0-3", "AI-0:10mV"}, "AI-0 reads at the end of its range (-0.01 .. 0.01 V)"},
      {{"read", "USB:1-0-3", "AI-0:1V"}, "AI-0 reads at the end of its range (-1 .. 1 V)"},
      {{"read", "USB:1-0-4", "AI-0"}, "AI-0 is uncalibrated in its range 10V"},
      {{"read", "USB:1-0-5", "VBUSREF"}, "VBUSREF is uncalibrated in its range 6.6V"},
  };
  for (const Case& c : cases) {
    const auto r = onBus(c.args, "calibration_faults.json");
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    if (c.warning.empty())
      EXPECT_THAT(r.err, Not(HasSubstr("warning"))) << r.err;
    else
      EXPECT_THAT(r.err, HasSubstr("qelomsr: warning: " + c.warning)) << r.err;
  }
}

TEST_F(CliReports, ReadAndCounterJsonCarryTheValuesAndTheirState) {
  const auto read =
      onBus({"read", "USB:1-0-3", "AI-0", "AI-0:1V", "--json", "-q"}, "calibration_faults.json");
  ASSERT_EQ(read.exitCode, 0) << describe(read);
  const auto doc = nlohmann::json::parse(read.out);
  EXPECT_EQ(doc["device"], "USB:1-0-3");
  ASSERT_EQ(doc["readings"].size(), 2u);
  const auto& inRange = doc["readings"][0];
  EXPECT_EQ(inRange["input"], "AI-0");
  EXPECT_NEAR(inRange["volts"].get<double>(), 1.25, 0.001);
  EXPECT_EQ(inRange["range"],
            nlohmann::json::parse(R"({"name": "10V", "min_volts": -10.0, "max_volts": 10.0})"));
  EXPECT_EQ(inRange["calibrated"], true);
  EXPECT_EQ(inRange["clipped"], false);
  const auto& clipped = doc["readings"][1];
  EXPECT_EQ(clipped["range"]["name"], "1V");
  EXPECT_EQ(clipped["clipped"], true);
  EXPECT_GE(clipped["volts"].get<double>(), 1.0);
  // float32 limits appear as their shortest decimal, not as float noise.
  const auto fine = onBus({"read", "ka", "AI-0:10mV", "--json", "-q"});
  EXPECT_THAT(fine.out, HasSubstr("\"min_volts\":-0.01,\"max_volts\":0.01}"));

  const auto counter = onBus({"counter", "ka", "--enable", "--json"});
  ASSERT_EQ(counter.exitCode, 0) << describe(counter);
  const auto c = nlohmann::json::parse(counter.out);
  EXPECT_EQ(c["device"], "USB:1-0-3");
  EXPECT_EQ(c["counter"], "CNT");
  EXPECT_TRUE(c["count"].is_number_integer());
  EXPECT_EQ(c["enabled"], true);
  EXPECT_THAT(counter.err, HasSubstr("opened USB:1-0-3"));  // -q was not given
}

TEST_F(CliReports, InfoSaysWhatIsUncalibratedAndWhatTheTriggerAndLedAre) {
  const auto erased = onBus({"info", "USB:1-0-4"}, "calibration_faults.json");
  ASSERT_EQ(erased.exitCode, 0) << describe(erased);
  EXPECT_THAT(erased.out, HasSubstr("calibration   uncalibrated (erased records, nominal "
                                    "conversion): AI-0, AI-1,"));
  EXPECT_THAT(erased.out, HasSubstr("AI-12/AI-13, AO-0, AO-1\n"));
  EXPECT_THAT(erased.out, ContainsRegex("AO-0 +0x7A501300  ranges: .*; uncalibrated"));
  EXPECT_THAT(erased.out,
              ContainsRegex("AI-0 +0x7A501100  range .*10V \\[-10 .. 10 V, uncalibrated\\]"));
  const auto ka = onBus({"info", "USB:1-0-3"}, "calibration_faults.json");
  EXPECT_THAT(ka.out, HasSubstr("calibration   every input and output calibrated\n"));
  EXPECT_THAT(ka.out, ContainsRegex("TRG +0x7A501600  config input A \\(0x7A501902\\)\n"));
  EXPECT_THAT(ka.out, ContainsRegex("LED +0x7A501800  off after opening"));
  EXPECT_THAT(ka.out, Not(HasSubstr("Indicator")));

  const auto rix = onBus({"info", "rix"});
  ASSERT_EQ(rix.exitCode, 0) << describe(rix);
  EXPECT_THAT(rix.out, ContainsRegex("TRG +0x7A501600  disabled \\(config input A"));

  const auto json = onBus({"info", "USB:1-0-5", "--json", "-q"}, "calibration_faults.json");
  ASSERT_EQ(json.exitCode, 0) << describe(json);
  const auto doc = nlohmann::json::parse(json.out);
  for (const char* key : {"identifier", "family", "type", "firmware", "serial", "usb_serial",
                          "parameters", "uncalibrated", "peripherals"})
    EXPECT_TRUE(doc.contains(key)) << key;
  EXPECT_EQ(doc["family"], "Rix");
  EXPECT_FALSE(doc.contains("temperature_celsius"));  // the Rix has no sensor
  EXPECT_EQ(doc["parameters"]["single_ended_inputs"], 6);
  EXPECT_EQ(doc["uncalibrated"].size(), 6u);
  EXPECT_EQ(doc["uncalibrated"][4]["name"], "VBUSREF");
  EXPECT_EQ(doc["uncalibrated"][4]["all_ranges"], true);
  bool sawTrigger = false, sawVref = false;
  for (const auto& p : doc["peripherals"]) {
    if (p["name"] == "TRG") {
      sawTrigger = true;
      EXPECT_EQ(p["kind"], "trigger");
      EXPECT_EQ(p["enabled"], false);
      EXPECT_EQ(p["config"], "in-a");
    }
    if (p["name"] == "VREF") {
      sawVref = true;
      EXPECT_EQ(p["kind"], "analog-input");
      EXPECT_EQ(p["range"]["max_volts"], 3.3);
      EXPECT_EQ(p["ranges"][0]["calibrated"], false);
    }
  }
  EXPECT_TRUE(sawTrigger && sawVref) << json.out;
}

}  // namespace
