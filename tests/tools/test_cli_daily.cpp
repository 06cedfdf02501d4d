// The tool as a daily instrument against the emulated devices: it changes no
// device it only looks at, says which device it opened, keeps state within a
// session, writes data files that keep every bit the device delivered, keeps
// the library's log out of its data, and reports what it actually did.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "cli_run.h"

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace qtest;

namespace {

using CliDaily = BusTest;

// Every message on stderr starts its own line (none is glued to a progress line).
void expectMessagesOnFreshLines(const std::string& err) {
  for (const auto& line : lines(err)) {
    const size_t at = line.find("qelomsr:");
    EXPECT_TRUE(at == std::string::npos || at == 0) << "message inside a line: " << line;
  }
}

// ---- opening ------------------------------------------------------------------

TEST_F(CliDaily, ListWritesNothingToAnyDevice) {
  // The library's protocol dump records every block it sends (">") and
  // receives ("<"); opening a device sends the peripheral reset.
  const std::string dump = kTempDir + "/list.dump";
  std::remove(dump.c_str());
  const auto list = onBus({"list"}, "", {"COMMAPI_DUMPFILE=" + dump});
  ASSERT_EQ(list.exitCode, 0) << describe(list);
  EXPECT_THAT(list.out, ContainsRegex("USB:1-0-3 +Ka +KA1X-004711 +1\\.4 +available\n"));
  EXPECT_THAT(list.out, ContainsRegex("USB:1-0-2-1 +Vel +VEL1X-004712 +1\\.4 +available\n"));
  EXPECT_THAT(list.out, ContainsRegex("USB:1-0-2-4 +Rix +RIX1X-004713 +1\\.4 +available\n"));
  const std::string listed = readFile(dump);
  EXPECT_THAT(listed, HasSubstr("< 0xf0000004:"));  // the version reads were dumped
  for (const auto& line : lines(listed)) EXPECT_NE(line.rfind(">", 0), 0u) << line;

  std::remove(dump.c_str());
  const auto dio = onBus({"dio", "USB:1-0-3"}, "", {"COMMAPI_DUMPFILE=" + dump});
  ASSERT_EQ(dio.exitCode, 0) << describe(dio);
  EXPECT_THAT(readFile(dump), HasSubstr("> 0xf0000020:ffffffff"));
}

TEST_F(CliDaily, DevicesAreChosenByIdentifierFamilyOrSerialAndNamed) {
  struct Case {
    std::string text, identifier, family, serial;
  };
  const Case cases[] = {
      {"USB:1-0-3", "USB:1-0-3", "Ka", "QeloKa@KA1X-004711"},
      {"usb:1-0-2-4", "USB:1-0-2-4", "Rix", "QeloPilex@RIX1X-004713"},
      {"ka", "USB:1-0-3", "Ka", "QeloKa@KA1X-004711"},
      {"VEL", "USB:1-0-2-1", "Vel", "QeloVel@VEL1X-004712"},
      {"rix:0", "USB:1-0-2-4", "Rix", "QeloPilex@RIX1X-004713"},
      {"KA1X-004711", "USB:1-0-3", "Ka", "QeloKa@KA1X-004711"},
      {"vel1x-004712", "USB:1-0-2-1", "Vel", "QeloVel@VEL1X-004712"},
      {"QeloPilex@RIX1X-004713", "USB:1-0-2-4", "Rix", "QeloPilex@RIX1X-004713"},
  };
  for (const Case& c : cases) {
    const auto r = onBus({"dio", c.text});
    ASSERT_EQ(r.exitCode, 0) << c.text << "\n" << describe(r);
    EXPECT_THAT(r.err, HasSubstr("qelomsr: opened " + c.identifier + " (" + c.family + ", serial " +
                                 c.serial + ", firmware 1.4)"))
        << c.text;
  }
  // A serial number with another family's prefix names no device.
  const auto wrong = onBus({"dio", "QeloVel@KA1X-004711"});
  EXPECT_EQ(wrong.exitCode, 1) << describe(wrong);
  EXPECT_THAT(wrong.err, HasSubstr("no device 'QeloVel@KA1X-004711'"));
}

TEST_F(CliDaily, AnUnknownDeviceIsNamedWithTheAttachedOnes) {
  for (const std::string text : {"USB:9-9", "rix:1", "bogus", "ka:x", "KA1X-004712"}) {
    const auto r = onBus({"read", text, "AI-0"});
    EXPECT_EQ(r.exitCode, 1) << text << "\n" << describe(r);
    EXPECT_THAT(r.err, HasSubstr(text)) << text;
    EXPECT_THAT(r.err, HasSubstr("USB:1-0-3 (Ka, KA1X-004711)")) << text;
    EXPECT_THAT(r.err, HasSubstr("USB:1-0-2-1 (Vel, VEL1X-004712)")) << text;
    EXPECT_THAT(r.err, HasSubstr("USB:1-0-2-4 (Rix, RIX1X-004713)")) << text;
    EXPECT_THAT(r.err, Not(HasSubstr("qelomsr: opened"))) << text;
    EXPECT_TRUE(r.out.empty()) << text;
  }
}

TEST_F(CliDaily, AFamilyWithSeveralDevicesNeedsTheirPosition) {
  const auto ambiguous = onBus({"dio", "ka"}, "two_ka.json");
  EXPECT_EQ(ambiguous.exitCode, 1) << describe(ambiguous);
  EXPECT_THAT(ambiguous.err, HasSubstr("'ka' is ambiguous"));
  EXPECT_THAT(ambiguous.err, ContainsRegex("ka:[01] = USB:1-0-3"));
  // The positions follow the identifiers; ka:N opens the device the message names.
  EXPECT_THAT(ambiguous.err, HasSubstr("ka:0 = USB:1-0-3, ka:1 = USB:1-0-4"));
  const auto second = onBus({"dio", "ka:1"}, "two_ka.json");
  ASSERT_EQ(second.exitCode, 0) << describe(second);
  EXPECT_THAT(second.err, HasSubstr("opened USB:1-0-4 (Ka, serial QeloKa@KA1X-ERASED"));
}

TEST_F(CliDaily, HelpSaysOpeningResetsAndListsTheExitCodes) {
  const auto top = cli({"--help"});
  ASSERT_EQ(top.exitCode, 0);
  for (const char* code : {"130", "143", "141"}) EXPECT_THAT(top.out, HasSubstr(code));
  EXPECT_THAT(top.out, HasSubstr("session"));
  for (const char* sub :
       {"info", "read", "write", "dio", "counter", "stream", "bench", "session"}) {
    const auto help = cli({sub, "--help"});
    ASSERT_EQ(help.exitCode, 0) << sub;
    EXPECT_THAT(help.out, HasSubstr("resets its peripherals")) << sub;
  }
  EXPECT_THAT(cli({"list", "--help"}).out, HasSubstr("Opens no device"));
}

// ---- sessions -----------------------------------------------------------------

TEST_F(CliDaily, ASessionKeepsTheDeviceStateBetweenItsCommands) {
  const std::string script = kTempDir + "/session.txt";
  writeFile(script,
            "# the counter counts at 1000 Hz once enabled\n"
            "counter CNT --enable\n"
            "\n"
            "sleep 0.5\n"
            "counter CNT   # still enabled\n"
            "dio DP-0 --oe 0xFF --write 0x5A\n"
            "dio 'DP-0'\n");
  const auto r = onBus({"session", "USB:1-0-3", script});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto rows = lines(r.out);
  ASSERT_EQ(rows.size(), 4u) << r.out;
  long long first = -1, second = -1;
  ASSERT_EQ(std::sscanf(rows[0].c_str(), "CNT %lld enabled", &first), 1) << rows[0];
  ASSERT_EQ(std::sscanf(rows[1].c_str(), "CNT %lld enabled", &second), 1) << rows[1];
  // At least half a second passed between the reads, whatever the load.
  EXPECT_GE(second - first, 450) << rows[0] << " / " << rows[1];
  EXPECT_EQ(rows[3], "DP-0   0x5A 01011010");
  // Opened once, said once.
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("qelomsr: opened USB:1-0-3 (Ka"));
}

TEST_F(CliDaily, ASessionStopsAtTheFirstFailingLine) {
  struct Case {
    std::string script;
    int exitCode;
    std::string message;
  };
  const Case cases[] = {
      {"dio DP-0\nfrobnicate\ndio DP-1\n", 2, "session line 2: frobnicate"},
      {"dio DP-0\nread AI-0:5V\ndio DP-1\n", 2, "'5V' is not a range of AI-0"},
      {"dio DP-0\nwrite AO-0 'ten volts'\ndio DP-1\n", 2, "'ten volts' is not a valid voltage"},
      {"dio DP-0\nsleep -1\ndio DP-1\n", 2, "'-1' is not a number of seconds >= 0"},
      {"dio DP-0\nsleep nan\ndio DP-1\n", 2, "'nan' is not a number of seconds >= 0"},
      {"dio DP-0\nsleep 1e400\ndio DP-1\n", 2, "'1e400' is not a number of seconds >= 0"},
      {"dio DP-0\ndio 'DP-1\ndio DP-1\n", 2, "unterminated quote"},
  };
  for (const Case& c : cases) {
    const std::string script = kTempDir + "/failing_session.txt";
    writeFile(script, c.script);
    const auto r = onBus({"session", "ka", script});
    EXPECT_EQ(r.exitCode, c.exitCode) << c.script << describe(r);
    EXPECT_THAT(r.err, HasSubstr(c.message)) << c.script;
    EXPECT_THAT(r.out, HasSubstr("DP-0")) << c.script;
    EXPECT_THAT(r.out, Not(HasSubstr("DP-1"))) << c.script;
  }
  const auto missing = onBus({"session", "ka", kTempDir + "/no_such_session.txt"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_THAT(missing.err, HasSubstr("No such file or directory"));
}

TEST_F(CliDaily, CtrlCEndsASessionAlsoDuringSleep) {
  const std::string script = kTempDir + "/sleepy_session.txt";
  writeFile(script, "dio DP-0\nsleep 600\ndio DP-1\n");
  const auto r =
      whileRunning("sleepy_session", "opened", "kill -INT $pid", {"session", "ka", script});
  EXPECT_EQ(r.exitCode, 130) << describe(r);
  EXPECT_THAT(r.out, Not(HasSubstr("DP-1")));
  EXPECT_THAT(r.err, Not(HasSubstr("error")));
}

// ---- what the commands report -----------------------------------------------

TEST_F(CliDaily, AClampedOutputIsReportedAtItsLimit) {
  struct Case {
    std::string volts, reported;
  };
  // The ends of the converter's scale give the range's limits exactly.
  const Case cases[] = {{"12", "10"}, {"-12.5", "-10"}};
  for (const Case& c : cases) {
    const auto r = onBus({"write", "USB:1-0-3", "AO-0", "--", c.volts});
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_EQ(r.out, "AO-0       " + c.reported + " V\n") << c.volts;
    EXPECT_THAT(r.err, HasSubstr("warning: " + c.volts +
                                 " V is outside the range of AO-0 (-10 .. "
                                 "10 V): the output is clamped at " +
                                 c.reported + " V"));
  }
  const auto inside = onBus({"write", "USB:1-0-3", "AO-0", "2.5"});
  EXPECT_THAT(inside.err, Not(HasSubstr("warning")));
}

TEST_F(CliDaily, MissingPeripheralsAreNamedForTheFamily) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"write", "rix", "AO-0", "1"}, "the Rix has no analog output"},
      {{"counter", "vel"}, "the Vel has no counter"},
      {{"read", "ka", "AI-0:5V"}, "choose from: 10V (-10 .. 10 V), 1V (-1 .. 1 V), 100mV"},
      {{"read", "ka", "DP-0"}, "not a suitable peripheral"},
      {{"stream", "ka", "--channels", "AI-0,AI-0", "--rate", "10", "--frames", "1"},
       "AI-0 is given twice"},
      {{"stream", "ka", "--channels", "DP-0:1V", "--rate", "10", "--frames", "1"},
       "DP-0 has no ranges"},
  };
  for (const Case& c : cases) {
    const auto r = onBus(c.args);
    EXPECT_EQ(r.exitCode, 2) << describe(r);
    EXPECT_THAT(r.err, HasSubstr(c.message));
    EXPECT_THAT(r.err, Not(HasSubstr("(choose from: )")));
  }
}

TEST_F(CliDaily, InfoShowsOnlyWhatTheDeviceHasAndErasedCalibrationAsSuch) {
  const auto rix = onBus({"info", "rix"});
  ASSERT_EQ(rix.exitCode, 0) << describe(rix);
  EXPECT_THAT(rix.out, Not(HasSubstr("temperature")));
  const auto ka = onBus({"info", "ka"});
  ASSERT_EQ(ka.exitCode, 0) << describe(ka);
  EXPECT_THAT(ka.out, HasSubstr("temperature   25.00 degC"));
  // The emulated Ka stores 200130 thousandths of a microampere.
  EXPECT_THAT(ka.out, ContainsRegex("200uA +0x7A501700  reference current 200.130 uA"));
  const auto erased = onBus({"info", "usb:1-0-4"}, "two_ka.json");
  ASSERT_EQ(erased.exitCode, 0) << describe(erased);
  EXPECT_THAT(erased.out, ContainsRegex("200uA +0x7A501700  reference current uncalibrated"));
  EXPECT_THAT(erased.out, Not(HasSubstr("4294967")));
}

TEST_F(CliDaily, ReadTakesARangePerInput) {
  // AI-0 of the first Ka carries 5 mV DC: one converter step of the 10 mV
  // range is 0.3 uV, of the 10 V range 0.3 mV.
  const auto r = onBus({"read", "USB:1-0-3", "AI-0:10mV", "AI-0", "AI-0:10 mV", "--range", "10V"},
                       "two_ka.json");
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto rows = lines(r.out);
  ASSERT_EQ(rows.size(), 3u) << r.out;
  double fine = 0, coarse = 0, again = 0;
  ASSERT_EQ(std::sscanf(rows[0].c_str(), "AI-0 %lf V", &fine), 1) << rows[0];
  ASSERT_EQ(std::sscanf(rows[1].c_str(), "AI-0 %lf V", &coarse), 1) << rows[1];
  ASSERT_EQ(std::sscanf(rows[2].c_str(), "AI-0 %lf V", &again), 1) << rows[2];
  EXPECT_NEAR(fine, 0.005, 1e-6);
  EXPECT_NEAR(again, 0.005, 1e-6);
  EXPECT_NEAR(coarse, 0.005, 1e-3);
  EXPECT_GT(std::fabs(coarse - 0.005), 1e-6) << "the 10 V range cannot resolve 5 mV this finely";
}

// ---- data files -----------------------------------------------------------------

TEST_F(CliDaily, A10mVCsvKeepsSubMicrovoltSteps) {
  // AI-2 of the first Ka: an 8 mV sine of 0.01 Hz, which moves by about one
  // converter step of the 10 mV range (0.3 uV) per millisecond.
  const std::string path = kTempDir + "/fine.csv";
  const auto r = onBus({"stream", "USB:1-0-3", "--channels", "AI-2:10mV", "--rate", "1000",
                        "--frames", "400", "--out", path, "--overwrite"},
                       "two_ka.json");
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto rows = dataRows(readFile(path));
  ASSERT_EQ(rows.size(), 400u);
  std::set<float> values;
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto c = cells(rows[i]);
    ASSERT_EQ(c.size(), 2u) << rows[i];
    const float v = std::strtof(c[1].c_str(), nullptr);
    // The text is the shortest one of that float32 (without an exponent):
    // nothing lost, nothing invented.
    char shortest[32];
    *std::to_chars(shortest, shortest + sizeof shortest, v, std::chars_format::fixed).ptr = '\0';
    EXPECT_EQ(c[1], shortest);
    EXPECT_LE(std::fabs(v), 0.0081f) << rows[i];
    values.insert(v);
  }
  ASSERT_GT(values.size(), 10u);
  float smallestStep = 1.0f;
  for (auto it = std::next(values.begin()); it != values.end(); ++it)
    smallestStep = std::min(smallestStep, *it - *std::prev(it));
  EXPECT_LT(smallestStep, 1e-6f);
}

TEST_F(CliDaily, Hdf5FileHasTheDatasetsAndAttributes) {
  const std::string path = kTempDir + "/run.h5";
  std::remove(path.c_str());
  const auto r = onBus({"stream", "USB:1-0-3", "--channels", "AI-0:10mV,AI-1,DP-0,CNT", "--range",
                        "1V", "--rate", "1000", "--frames", "500", "--out", path, "-q"},
                       "two_ka.json");
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto dump = runProcess({"/usr/bin/python3", kSourceDir + "/h5_summary.py", path});
  ASSERT_EQ(dump.exitCode, 0) << describe(dump);
  const auto h5 = nlohmann::json::parse(dump.out);
  EXPECT_EQ(h5["data"]["shape"], nlohmann::json::array({500, 4}));
  EXPECT_EQ(h5["data"]["dtype"], "float64");
  EXPECT_EQ(h5["data"]["maxshape"], nlohmann::json::array({nullptr, 4}));
  EXPECT_EQ(h5["time_s"]["shape"], nlohmann::json::array({500}));
  const auto& a = h5["attrs"];
  EXPECT_EQ(a["channels"], nlohmann::json::array({"AI-0", "AI-1", "DP-0", "CNT"}));
  EXPECT_EQ(a["units"], nlohmann::json::array({"V", "V", "raw", "raw"}));
  EXPECT_EQ(a["rate_hz"], 1000.0);
  EXPECT_EQ(a["device"], "USB:1-0-3");
  EXPECT_EQ(a["serial"], "QeloKa@KA1X-004711");
  EXPECT_EQ(a["firmware"], "1.4");
  EXPECT_EQ(h5["gaps"], nlohmann::json::array());
  EXPECT_EQ(h5["gaps_dtype"], "int64");
  EXPECT_TRUE(std::regex_match(a["start_time"].get<std::string>(),
                               std::regex("20[0-9-]{8}T[0-9:]{8}\\.[0-9]{3}[+-][0-9]{2}:[0-9]{2}")))
      << a["start_time"];
  const auto& ranges = a["ranges"];  // NaN comes as null
  EXPECT_NEAR(ranges[0][0].get<double>(), -0.01, 1e-9);
  EXPECT_NEAR(ranges[0][1].get<double>(), 0.01, 1e-9);
  EXPECT_NEAR(ranges[1][1].get<double>(), 1.0, 1e-9);
  EXPECT_TRUE(ranges[2][0].is_null() && ranges[3][1].is_null()) << ranges;
  // What the emulator injected: 5 mV DC on AI-0, an 8 mV sine on AI-1.
  EXPECT_NEAR(h5["mean"][0].get<double>(), 0.005, 2e-6);
  EXPECT_NEAR(h5["max"][1].get<double>(), 0.008, 0.001);
  EXPECT_NEAR(h5["time_s"]["last"].get<double>(), 0.499, 1e-9);
}

TEST_F(CliDaily, ThePythonPackageReadsTheFilesAndWritesTheSameCsv) {
  const std::string csv = kTempDir + "/shared.csv", again = kTempDir + "/shared_again.csv";
  const std::string h5 = kTempDir + "/shared.h5";
  for (const std::string& path : {csv, h5}) {
    const auto r = onBus({"stream", "USB:1-0-3", "--channels", "AI-2:10mV,AI-0,DP-0,CNT,TRG",
                          "--rate", "1000", "--frames", "300", "--out", path, "-q", "--overwrite"},
                         "two_ka.json");
    ASSERT_EQ(r.exitCode, 0) << describe(r);
  }
  const auto py =
      runProcess({"/usr/bin/python3", kSourceDir + "/python_roundtrip.py", csv, again, h5});
  ASSERT_EQ(py.exitCode, 0) << describe(py);
  EXPECT_EQ(readFile(again), readFile(csv));  // the same layout, number for number
  const auto loaded = nlohmann::json::parse(py.out);
  EXPECT_EQ(loaded["csv"]["rows"], 300);
  const auto channels = nlohmann::json::array({"AI-2", "AI-0", "DP-0", "CNT", "TRG"});
  EXPECT_EQ(loaded["csv"]["channels"], channels);
  EXPECT_EQ(loaded["h5"]["channels"], channels);
  EXPECT_EQ(loaded["h5"]["units"], nlohmann::json::array({"V", "V", "raw", "raw", "raw"}));
  EXPECT_EQ(loaded["h5"]["rows"], 300);
  EXPECT_EQ(loaded["h5"]["rate"], 1000.0);
  EXPECT_EQ(loaded["h5"]["device"], "USB:1-0-3");
}

TEST_F(CliDaily, AnInterruptedHdf5StreamKeepsEveryFrameWritten) {
  const std::string path = kTempDir + "/interrupted.h5";
  std::remove(path.c_str());
  // At 100 Hz the device buffer holds about 100 s of these frames: no overrun
  // can end the stream before the signal, however slowly the host reads.
  const auto r = whileRunning("interrupted_h5", "[1-9][0-9]*/[0-9]+ frames", "kill -TERM $pid",
                              {"stream", "ka", "--channels", "AI-0,CNT", "--rate", "100",
                               "--seconds", "600", "--out", path, "--progress"});
  ASSERT_EQ(r.exitCode, 143) << describe(r);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.err, m, std::regex("qelomsr: ([0-9]+) frames at"))) << r.err;
  const auto dump = runProcess({"/usr/bin/python3", kSourceDir + "/h5_summary.py", path});
  ASSERT_EQ(dump.exitCode, 0) << describe(dump);
  const auto h5 = nlohmann::json::parse(dump.out);
  EXPECT_EQ(h5["data"]["shape"][0].get<long long>(), std::stoll(m[1].str()));
  EXPECT_GT(std::stoll(m[1].str()), 0);
  expectMessagesOnFreshLines(r.err);
}

TEST_F(CliDaily, TheLibraryLogStaysOutOfTheData) {
  const auto r = onBus({"stream", "USB:1-0-3", "--channels", "AI-0,DP-0", "--rate", "1000",
                        "--frames", "200", "--out", "-"},
                       "", {"COMMAPI_LOGGING=1"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto rows = dataRows(r.out);
  ASSERT_EQ(rows.size(), 200u) << r.out.substr(0, 2000);
  EXPECT_EQ(columnLine(r.out), "time_s,AI-0,DP-0");
  for (const auto& line : lines(r.out))
    EXPECT_TRUE(line.rfind("# ", 0) == 0 || line == "time_s,AI-0,DP-0" ||
                std::regex_match(line, std::regex("[-0-9.]+,[-0-9.]+,[0-9]+")))
        << line;
  EXPECT_THAT(r.err, HasSubstr("USB: Enumerate"));  // the log went to stderr
}

TEST_F(CliDaily, ARefusedRateOrChannelLeavesTheFileAlone) {
  const std::string path = kTempDir + "/keep.csv";
  const std::vector<std::vector<std::string>> cases = {
      {"--channels", "AI-0", "--rate", "1000000"},
      {"--channels", "AI-0,XY-3", "--rate", "100"},
      {"--channels", "AI-0:3V", "--rate", "100"},
  };
  for (const auto& extra : cases) {
    writeFile(path, "precious\n");
    std::vector<std::string> args{"stream", "ka", "--frames", "10", "--out", path, "--overwrite"};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto r = onBus(args);
    EXPECT_EQ(r.exitCode, 2) << describe(r);
    EXPECT_EQ(readFile(path), "precious\n") << extra[1] << " " << extra[3];
  }
  writeFile(path, "precious\n");
  const auto rate = onBus({"stream", "ka", "--channels", "AI-0", "--rate", "1000000", "--frames",
                           "10", "--out", path, "--overwrite"});
  EXPECT_THAT(rate.err, HasSubstr("refused the frame rate 1e+06 Hz (Invalid frequency.)"));
}

TEST_F(CliDaily, FileErrorsCarryTheSystemsReason) {
  for (const std::string path : {"/no/such/dir/run.csv", "/no/such/dir/run.h5"}) {
    const auto r = onBus(
        {"stream", "ka", "--channels", "AI-0", "--rate", "100", "--frames", "10", "--out", path});
    EXPECT_EQ(r.exitCode, 1) << describe(r);
    EXPECT_THAT(r.err, HasSubstr("cannot create '" + path + "': No such file or directory"));
  }
}

TEST_F(CliDaily, AClosedPipeEndsTheStreamQuietly) {
  // 100 Hz: the device buffer holds minutes of frames, so only the closed
  // pipe can end the stream.
  const std::string command = kCli +
                              " stream ka --channels AI-0 --rate 100 --seconds 600 --out - "
                              "| head -n 8; echo \"status ${PIPESTATUS[0]}\"";
  const auto r = runProcess({kRunner, "--", "/bin/bash", "-c", command}, std::chrono::seconds(60));
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  const auto rows = lines(r.out);
  ASSERT_EQ(rows.size(), 9u) << r.out;
  EXPECT_EQ(columnLine(r.out), "time_s,AI-0");
  EXPECT_EQ(rows[8], "status 141");
  EXPECT_THAT(r.err, Not(HasSubstr("error")));
}

TEST_F(CliDaily, ErrorsDuringAStreamStartOnAFreshLineAndEndWithASummary) {
  const std::string path = kTempDir + "/failing.csv";
  std::remove(path.c_str());
  const auto r = whileRunning("failing_stream", "[1-9][0-9]*/[0-9]+ frames",
                              "$runner ctl fault 1-3 forceOverflow on >/dev/null",
                              {"stream", "ka", "--channels", "AI-0", "--rate", "100", "--seconds",
                               "600", "--out", path, "--progress"});
  EXPECT_EQ(r.exitCode, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("\nqelomsr: error: Buffer overflow. (class 4, device error)\n"));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      r.err, m, std::regex("qelomsr: ([0-9]+) frames written to [^ ]+ before the error")))
      << r.err;
  EXPECT_EQ(dataRows(readFile(path)).size(), std::stoull(m[1].str()));
  expectMessagesOnFreshLines(r.err);
}

}  // namespace
