// Slow logging with read --every: rows of single reads on a schedule of the
// host's clock, into CSV or HDF5, never skipping a row, saying when a row
// came late, and ending on a complete row when interrupted.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "cli_run.h"

using ::testing::HasSubstr;
using ::testing::Not;
using namespace qtest;

namespace {

using CliReadEvery = BusTest;

// The data rows of a CSV recording (comment lines skipped).
std::vector<std::vector<double>> dataRows(const std::string& csv, std::string& header) {
  std::vector<std::vector<double>> rows;
  header.clear();
  for (const auto& line : lines(csv)) {
    if (line.empty() || line[0] == '#') continue;
    if (header.empty()) {
      header = line;
      continue;
    }
    std::vector<double> row;
    for (const auto& cell : cells(line)) row.push_back(std::stod(cell));
    rows.push_back(row);
  }
  return rows;
}

TEST_F(CliReadEvery, RowsFollowTheScheduleIntoCsv) {
  // two_ka.json: AI-0 of the first Ka carries 5 mV DC, AI-1 an 8 mV sine.
  const std::string path = kTempDir + "/every.csv";
  std::remove(path.c_str());
  const auto r = onBus({"read", "ka:0", "AI-0", "AI-1:10mV", "--every", "100ms", "--count", "5",
                        "--average", "3", "--out", path},
                       "two_ka.json");
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  // A loaded host may take a row late; that is counted, never a failure here.
  EXPECT_THAT(r.err, ::testing::ContainsRegex("qelomsr: 5 rows every 100ms written to " + path +
                                              ", [0-5] late"));
  std::string header;
  const auto rows = dataRows(readFile(path), header);
  EXPECT_EQ(header, "time_s,AI-0,AI-1");
  ASSERT_EQ(rows.size(), 5u) << readFile(path);
  for (size_t k = 0; k < rows.size(); ++k) {
    // Row k is due k * 100 ms after the first; never taken before.
    EXPECT_GE(rows[k][0], 0.1 * static_cast<double>(k) - 1e-9) << "row " << k;
    if (k > 0) {
      EXPECT_GT(rows[k][0], rows[k - 1][0]);
    }
    EXPECT_NEAR(rows[k][1], 0.005, 0.001) << "row " << k;
    EXPECT_LE(std::abs(rows[k][2]), 0.0081) << "row " << k;
  }
  EXPECT_EQ(rows[0][0], 0.0);
}

TEST_F(CliReadEvery, Hdf5FilesAndStandardOutputWorkAsForStreams) {
  const std::string path = kTempDir + "/every.h5";
  std::remove(path.c_str());
  const auto r =
      onBus({"read", "rix", "VREF", "--every", "0.05s", "--count", "3", "--out", path, "-q"});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  // -q leaves out the summary; a warning that a row came late (a loaded
  // host) is still said.
  EXPECT_THAT(r.err, Not(HasSubstr("written to"))) << r.err;
  for (const auto& line : lines(r.err)) EXPECT_THAT(line, HasSubstr("late")) << r.err;
  const auto dump = runProcess({"/usr/bin/python3", kSourceDir + "/h5_summary.py", path});
  ASSERT_EQ(dump.exitCode, 0) << describe(dump);
  const auto h5 = nlohmann::json::parse(dump.out);
  EXPECT_EQ(h5["data"]["shape"], nlohmann::json::array({3, 1}));
  EXPECT_EQ(h5["attrs"]["channels"], nlohmann::json::array({"VREF"}));
  EXPECT_EQ(h5["attrs"]["rate_hz"], 20.0);
  EXPECT_NEAR(h5["mean"][0].get<double>(), 2.5, 0.02);  // the Rix's VREF

  const auto out = onBus({"read", "rix", "VREF", "--every", "10ms", "--count", "2", "-q"});
  ASSERT_EQ(out.exitCode, 0) << describe(out);
  std::string header;
  const auto rows = dataRows(out.out, header);
  EXPECT_EQ(header, "time_s,VREF");
  EXPECT_EQ(rows.size(), 2u) << out.out;
}

TEST_F(CliReadEvery, ARowThatTakesLongerThanThePeriodIsReportedNotSkipped) {
  // 200 reads per value cannot take less than 1 ms on any host (each is a
  // USB request and its reply), so every row after the first comes late.
  const std::string path = kTempDir + "/late.csv";
  const auto r = onBus(
      {"read", "ka", "AI-0", "--every", "1ms", "--count", "4", "--average", "200", "--out", path});
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  for (int k = 1; k < 4; ++k)
    EXPECT_THAT(r.err, ::testing::ContainsRegex("warning: row " + std::to_string(k) +
                                                " is [0-9.e-]+ s late: reading row " +
                                                std::to_string(k - 1) +
                                                " took [0-9.e-]+ s, "
                                                "longer than --every 1ms"))
        << r.err;
  EXPECT_THAT(r.err, HasSubstr("4 rows every 1ms written to " + path + ", 3 late"));
  std::string header;
  EXPECT_EQ(dataRows(readFile(path), header).size(), 4u);
}

TEST_F(CliReadEvery, ClippedRowsAreWarnedAndCounted) {
  const std::string path = kTempDir + "/clipped.csv";
  const auto r =
      onBus({"read", "USB:1-0-3", "AI-0:1V", "--every", "10ms", "--count", "3", "--out", path},
            "calibration_faults.json");
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("warning: AI-0 reads at the end of its range (-1 .. 1 V) in row 0"));
  EXPECT_THAT(r.err, HasSubstr(", AI-0 clipped in 3 rows"));
  const auto erased =
      onBus({"read", "USB:1-0-4", "AI-0", "--every", "10ms", "--count", "1", "--out", path},
            "calibration_faults.json");
  EXPECT_THAT(erased.err, HasSubstr("warning: AI-0 is uncalibrated in its range 10V"));
}

TEST_F(CliReadEvery, InterruptedLoggingEndsOnACompleteRow) {
  const std::string path = kTempDir + "/interrupted_every.csv";
  std::remove(path.c_str());
  // Signalled once the file holds two rows.
  const auto r =
      whileRunning("interrupted_every", "opened",
                   "for i in $(seq 1 1200); do [ \"$(grep -c '^[0-9]' " + path +
                       " 2>/dev/null)\" -ge 2 ] && break; sleep 0.05; done; kill -INT $pid",
                   {"read", "ka", "AI-0", "AI-1", "--every", "50ms", "--out", path});
  EXPECT_EQ(r.exitCode, 130) << describe(r);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.err, m, std::regex("qelomsr: ([0-9]+) rows every 50ms")))
      << r.err;
  EXPECT_THAT(r.err, HasSubstr(", interrupted"));
  const std::string csv = readFile(path);
  ASSERT_FALSE(csv.empty());
  EXPECT_EQ(csv.back(), '\n');
  std::string header;
  const auto rows = dataRows(csv, header);
  EXPECT_EQ(rows.size(), std::stoull(m[1].str()));
  EXPECT_GE(rows.size(), 2u);
  for (const auto& row : rows) EXPECT_EQ(row.size(), 3u);
}

}  // namespace
