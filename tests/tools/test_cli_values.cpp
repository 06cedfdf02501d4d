// The spellings the tool takes for numbers, voltages, ranges, durations and
// channels, and how it words library failures: exactly the documented forms,
// every refusal naming the accepted ones.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "cli_device.h"

using ::testing::HasSubstr;

namespace {

// Each text is refused with a UsageError whose message matches.
template <typename Parse>
void expectRefused(std::initializer_list<const char*> texts, Parse parse,
                   const ::testing::Matcher<std::string>& message) {
  for (const char* text : texts) {
    try {
      parse(text);
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const qcli::UsageError& e) {
      EXPECT_THAT(std::string(e.what()), message) << text;
    }
  }
}

TEST(CliValues, IntegersInDecimalHexAndBinaryOnly) {
  struct Case {
    const char* text;
    long long value;
  };
  const Case accepted[] = {
      {"0", 0},       {"90", 90},     {"-1", -1},
      {"0x5A", 0x5A}, {"0X5a", 0x5A}, {"0b01011010", 0x5A},
      {"255", 255},   {"-0x10", -16}, {"9223372036854775807", 9223372036854775807LL}};
  for (const Case& c : accepted) EXPECT_EQ(qcli::parseInteger(c.text, "mask"), c.value) << c.text;
  const char* refused[] = {"",   "010", "00", "0x",  "0b2",  "1.0",  "1e3",
                           " 5", "5 ",  "+5", "0o7", "five", "0x5G", "9223372036854775808"};
  for (const char* text : refused) {
    try {
      qcli::parseInteger(text, "mask");
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const qcli::UsageError& e) {
      EXPECT_THAT(e.what(), HasSubstr(std::string("'") + text + "'"));
      EXPECT_THAT(e.what(), ::testing::AnyOf(HasSubstr("hex (0x"), HasSubstr("too large")))
          << e.what();
    }
  }
}

TEST(CliValues, VoltagesAreDecimalsWithAnOptionalVOrMv) {
  struct Case {
    const char* text;
    double volts;
  };
  const Case accepted[] = {{"2.5", 2.5},    {"-0.5", -0.5},  {"+1", 1.0},    {".5", 0.5},
                           {"2.5V", 2.5},   {"2.5v", 2.5},   {"100mV", 0.1}, {"100mv", 0.1},
                           {"100 mV", 0.1}, {"1e-3", 0.001}, {"-2E1", -20},  {"3.", 3.0}};
  for (const Case& c : accepted) EXPECT_DOUBLE_EQ(qcli::parseVolts(c.text), c.volts) << c.text;
  // Hex, infinities and NaN are no voltages; MV would be megavolts.
  const char* refused[] = {"0x0A", "inf",   "-inf",  "nan", "",        "V",  "10MV",
                           "10Mv", "10 kV", "1e999", "1,5", "2.5 V V", "ten"};
  for (const char* text : refused) {
    try {
      qcli::parseVolts(text);
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const qcli::UsageError& e) {
      EXPECT_THAT(e.what(), HasSubstr("(2.5, -0.5, 2.5V, 100mV)")) << text;
    }
  }
}

TEST(CliValues, RangesAreUpperLimitsWithoutSignOrExponent) {
  struct Case {
    const char* text;
    double volts;  // negative: refused
  };
  const Case cases[] = {{"10V", 10},
                        {"10v", 10},
                        {"10", 10},
                        {"100mV", 0.1},
                        {"10 mV", 0.01},
                        {"0.01V", 0.01},
                        {"3.3V", 3.3},
                        {"\xC2\xB1"
                         "10V",
                         10},
                        {"+-1V", 1},
                        {"inf", -1},
                        {"nan", -1},
                        {"0x0A", -1},
                        {"10MV", -1},
                        {"1e1V", -1},
                        {"-10V", -1},
                        {"0V", -1},
                        {"", -1},
                        {"10 V V", -1},
                        {"1V:2V", -1}};
  for (const Case& c : cases) {
    const double got = qcli::parseRangeLimit(c.text);
    if (c.volts < 0)
      EXPECT_LT(got, 0) << c.text;
    else
      EXPECT_DOUBLE_EQ(got, c.volts) << c.text;
  }
}

TEST(CliValues, DurationsTakeSMsMinOrH) {
  struct Case {
    const char* text;
    double seconds;
  };
  const Case accepted[] = {{"10s", 10},  {"10", 10},       {"500ms", 0.5}, {"1.5min", 90},
                           {"2h", 7200}, {"0.25 s", 0.25}, {".1s", 0.1}};
  for (const Case& c : accepted)
    EXPECT_DOUBLE_EQ(qcli::parseDurationSeconds(c.text, "duration"), c.seconds) << c.text;
  // "m" could be minutes or milli; zero and negative durations never end.
  expectRefused(
      {"1m", "0", "0s", "-1s", "inf", "1e3s", "10x", "s", "", "1d"},
      [](const char* t) { qcli::parseDurationSeconds(t, "duration"); },
      HasSubstr("s, ms, min or h"));
}

TEST(CliValues, ChannelsTakeOneRangeAfterAColon) {
  const qcli::ChannelSpec plain = qcli::parseChannelSpec("AI-0/AI-1");
  EXPECT_EQ(plain.name, "AI-0/AI-1");
  EXPECT_EQ(plain.range, "");
  const qcli::ChannelSpec ranged = qcli::parseChannelSpec("AI-0:10 mV");
  EXPECT_EQ(ranged.name, "AI-0");
  EXPECT_EQ(ranged.range, "10 mV");
  expectRefused(
      {"AI-0:1V:2V", ":1V", "AI-0:", ""}, [](const char* t) { qcli::parseChannelSpec(t); },
      HasSubstr("NAME or NAME:RANGE"));
}

TEST(CliValues, SessionLinesSplitIntoWords) {
  using Words = std::vector<std::string>;
  EXPECT_EQ(qcli::splitSessionLine("dio DP-0  --oe 0xFF\t# comment"),
            (Words{"dio", "DP-0", "--oe", "0xFF"}));
  EXPECT_EQ(qcli::splitSessionLine("write AO-0 'ten volts' \"a \\\"b\" c\\ d e#f #x"),
            (Words{"write", "AO-0", "ten volts", "a \"b", "c d", "e#f"}));
  EXPECT_EQ(qcli::splitSessionLine("  # only a comment"), Words{});
  EXPECT_EQ(qcli::splitSessionLine("read ''"), (Words{"read", ""}));
  expectRefused(
      {"dio 'DP-1", "dio \"DP-1"}, [](const char* t) { qcli::splitSessionLine(t); },
      HasSubstr("unterminated quote"));
}

TEST(CliValues, UsbFailuresAreSaidOfTheDeviceBeforeTheLibrarysText) {
  struct Case {
    const char* library;
    const char* said;  // empty: the library's text alone
  };
  const Case cases[] = {
      {"Failed to write data to device (using bulk transfer).: LIBUSB_ERROR_NO_DEVICE",
       "USB:1-0-3 was unplugged: "},
      {"Can't claim device (run as root or adjust udev rules): LIBUSB_ERROR_BUSY",
       "USB:1-0-3 is in use by another program: "},
      {"Failed to read data from device (using bulk transfer).: LIBUSB_ERROR_TIMEOUT",
       "USB:1-0-3 does not answer: "},
      {"Can't open device: LIBUSB_ERROR_ACCESS", "USB:1-0-3 cannot be opened: no permission"},
      {"Failed to read data from device (using bulk transfer).: LIBUSB_ERROR_IO",
       "a USB transfer with USB:1-0-3 failed: "},
      {"Buffer overflow.", ""},
  };
  for (const Case& c : cases) {
    const qcli::ApiError plain(7, QELOMSR_ERROR_CLASS_RUNTIME, c.library);
    EXPECT_EQ(std::string(plain.what()), c.library);
    const qcli::ApiError said = plain.about("USB:1-0-3");
    const std::string text = said.what();
    EXPECT_EQ(said.libraryMessage(), c.library);
    EXPECT_EQ(said.errorClass(), QELOMSR_ERROR_CLASS_RUNTIME);
    if (*c.said == '\0') {
      EXPECT_EQ(text, c.library);
    } else {
      EXPECT_EQ(text.rfind(c.said, 0), 0u) << text;
      EXPECT_EQ(text.substr(text.size() - std::string(c.library).size()), c.library) << text;
    }
  }
  // The library says "Invalid identifier." for a device another program holds.
  const qcli::ApiError busy = qcli::ApiError(3, QELOMSR_ERROR_CLASS_RUNTIME, "Invalid identifier.")
                                  .about("USB:1-0-4", qcli::UsbFailure::InUse);
  EXPECT_STREQ(busy.what(), "USB:1-0-4 is in use by another program: Invalid identifier.");
}

TEST(CliValues, IdentifiersOrderByBusThenPortNumbers) {
  const char* ordered[] = {"USB:1-0-2-1", "USB:1-0-2-4", "USB:1-0-3", "USB:1-0-10", "USB:2-0-1"};
  for (size_t i = 0; i + 1 < std::size(ordered); ++i) {
    EXPECT_TRUE(qcli::identifierLess(ordered[i], ordered[i + 1])) << ordered[i];
    EXPECT_FALSE(qcli::identifierLess(ordered[i + 1], ordered[i])) << ordered[i];
  }
}

}  // namespace
