// The data file writers on their own: what a CSV and an HDF5 recording hold,
// read back as text and through the HDF5 C library, also when the file
// cannot grow (a file size limit in a child process) and when the writer is
// killed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <limits>
#include <regex>

#include "hdf5_file.h"
#include "recording.h"
#include "text_files.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

using namespace qtest;

const std::string kTempDir = QELOMSR_TEST_TMPDIR;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A Ka-like frame: two analog inputs (one on the 10 mV range, uncalibrated),
// a port and the counter.
qrec::Column column(const char* name, double minVolts = kNaN, double maxVolts = kNaN) {
  qrec::Column c;
  c.name = name;
  c.analog = !std::isnan(minVolts);
  c.rangeMinVolts = minVolts;
  c.rangeMaxVolts = maxVolts;
  return c;
}

qrec::RecordingInfo info() {
  qrec::RecordingInfo i;
  i.columns = {column("AI-0", -10.0, 10.0), column("AI-0/AI-1", -0.01f, 0.01f), column("DP-0"),
               column("CNT")};
  i.columns[0].clipLowVolts = -10.0f;
  i.columns[0].clipHighVolts = 9.9996948f;
  i.columns[1].calibrated = false;
  i.rateHz = 1000.0;
  i.device = "USB:1-0-3";
  i.family = "Ka";
  i.serial = "QeloKa@KA1X-004711";
  i.firmware = "1.4";
  i.startTime = "2026-12-09T11:45:53.123+00:00";
  return i;
}

// Values that a 1 uV or %.6f text would change: single converter steps of
// the 10 mV range, values close to a range limit, the largest count.
struct Frame {
  double time;
  float ai0, diff;
  int port;
  double count;
};
const Frame kFrames[] = {
    {0.0, 1.2345678f, 3.0517578e-07f, 0x5A, 0.0},
    {0.001, -9.9996948f, -6.1035156e-07f, 0, 4294967295.0},
    {0.002, 0.1f, 0.0099996948f, 255, 2147483648.0},
    {1e-05, -0.0f, 1.5258789e-07f, 1, 1.0},
};

void writeFrames(qrec::Recording& r) {
  for (const Frame& f : kFrames) {
    const double row[] = {f.ai0, f.diff, static_cast<double>(f.port), f.count};
    r.frame(f.time, row);
  }
}

TEST(RecordingCsv, HeaderSaysWhatTheRecordingIsAndTheTrailerWhatItHolds) {
  const std::string path = kTempDir + "/layout.csv";
  auto r = qrec::createCsv(path, info());
  const double clippedRow[] = {9.9996948, 0.0, 0.0, 0.0};
  r->frame(0.0, clippedRow);
  r->frame(0.001, clippedRow);
  const double lowRow[] = {-10.0, 0.0, 0.0, 0.0};
  r->frame(0.002, lowRow);
  r->close();
  EXPECT_THAT(
      lines(readFile(path)),
      ElementsAre("# qelomsr recording, format 2",
                  "# device USB:1-0-3, family Ka, serial QeloKa@KA1X-004711, firmware 1.4",
                  "# start_time 2026-12-09T11:45:53.123+00:00", "# rate_hz 1000",
                  "# range AI-0 -10 .. 10 V", "# range AI-0/AI-1 -0.01 .. 0.01 V",
                  "# uncalibrated AI-0/AI-1: nominal conversion (erased calibration record)",
                  "time_s,AI-0,AI-0/AI-1,DP-0,CNT", "0,9.999695,0,0,0", "0.001,9.999695,0,0,0",
                  "0.002,-10,0,0,0", "# clipped AI-0 3", "# clipped AI-0/AI-1 0",
                  "# end: 3 frames"));
  EXPECT_EQ(r->clipped(), (std::vector<long long>{3, 0, 0, 0}));
}

TEST(RecordingCsv, EveryNumberReadsBackExactly) {
  const std::string path = kTempDir + "/recording.csv";
  auto r = qrec::createCsv(path, info());
  writeFrames(*r);
  r->close();
  const auto rows = dataRows(readFile(path));
  ASSERT_EQ(rows.size(), std::size(kFrames));
  for (size_t i = 0; i < std::size(kFrames); ++i) {
    const auto c = cells(rows[i]);
    ASSERT_EQ(c.size(), 5u) << rows[i];
    EXPECT_EQ(std::strtod(c[0].c_str(), nullptr), kFrames[i].time) << rows[i];
    EXPECT_EQ(std::strtof(c[1].c_str(), nullptr), kFrames[i].ai0) << rows[i];
    EXPECT_EQ(std::strtof(c[2].c_str(), nullptr), kFrames[i].diff) << rows[i];
    EXPECT_EQ(c[3], std::to_string(kFrames[i].port));
    EXPECT_EQ(std::strtod(c[4].c_str(), nullptr), kFrames[i].count) << rows[i];
    // Shortest: a float32 needs at most 9 significant digits, and no exponent.
    std::string digits;
    for (char ch : c[2])
      if (ch >= '0' && ch <= '9' && (ch != '0' || !digits.empty())) digits += ch;
    EXPECT_LE(digits.size(), 9u) << c[2];
    EXPECT_EQ(c[2].find('e'), std::string::npos) << c[2];
  }
  EXPECT_EQ(rows[0], "0,1.2345678,0.00000030517577,90,0");
  EXPECT_EQ(rows[1].substr(rows[1].rfind(',')), ",4294967295");
}

TEST(RecordingCsv, AGapIsOneLineAtItsPlaceHoweverOftenItIsMarked) {
  const std::string path = kTempDir + "/gap.csv";
  auto r = qrec::createCsv(path, info());
  const double row[] = {1.0, 0.0, 0.0, 0.0};
  r->frame(0.0, row);
  r->frame(0.001, row);
  for (int i = 0; i < 3; ++i) r->gap();  // restarts that overflowed again at once
  r->frame(0.5, row);
  r->close();
  const auto all = lines(readFile(path));
  const auto marker = std::find(all.begin(), all.end(),
                                "# overrun after 2 frames: frames lost; acquisition restarted");
  ASSERT_NE(marker, all.end()) << readFile(path);
  EXPECT_EQ(std::count_if(all.begin(), all.end(),
                          [](const std::string& l) { return l.rfind("# overrun", 0) == 0; }),
            1);
  EXPECT_EQ(marker[1].substr(0, 4), "0.5,");
  EXPECT_EQ(r->gaps(), std::vector<long long>{2});
}

TEST(RecordingCsv, AClosedPipeIsReportedAsSuch) {
  std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  std::FILE* writer = fdopen(fds[1], "w");
  ASSERT_NE(writer, nullptr);
  try {
    auto r = qrec::writeCsv(writer, "standard output", info());
    const double row[] = {1.0, 0.0, 0.0, 0.0};
    for (int i = 0; i < 100000; ++i) r->frame(i * 0.001, row);
    r->close();
    ADD_FAILURE() << "writing into a pipe without a reader succeeded";
  } catch (const qrec::RecordingError& e) {
    EXPECT_TRUE(e.brokenPipe()) << e.what();
  }
  std::fclose(writer);
}

TEST(Recording, FilesThatCannotBeCreatedGiveTheSystemsReason) {
  for (const char* name : {"/no/such/dir/run.csv", "/no/such/dir/run.h5"}) {
    try {
      qrec::createRecording(name, info());
      ADD_FAILURE() << name;
    } catch (const qrec::RecordingError& e) {
      EXPECT_THAT(e.what(), HasSubstr(name));
      EXPECT_THAT(e.what(), HasSubstr("No such file or directory"));
    }
    EXPECT_THROW(qrec::checkCanCreate(name, {}), qrec::RecordingError);
  }
}

TEST(Recording, AnExistingFileIsReplacedOnlyWhenAsked) {
  for (const std::string name : {"exists.csv", "exists.h5"}) {
    const std::string path = kTempDir + "/" + name;
    writeFile(path, "precious\n");
    qrec::FileOptions keep;
    keep.overwrite = false;
    try {
      qrec::checkCanCreate(path, keep);
      ADD_FAILURE() << "checked: " << path;
    } catch (const qrec::RecordingError& e) {
      EXPECT_TRUE(e.exists()) << e.what();
    }
    try {
      qrec::createRecording(path, info(), keep);
      ADD_FAILURE() << "created: " << path;
    } catch (const qrec::RecordingError& e) {
      EXPECT_TRUE(e.exists()) << e.what();
    }
    EXPECT_EQ(readFile(path), "precious\n");
    qrec::createRecording(path, info())->close();  // the default replaces it
    EXPECT_NE(readFile(path), "precious\n");
  }
  qrec::FileOptions keep;
  keep.overwrite = false;
  qrec::checkCanCreate("/dev/null", keep);  // a device is written to, not replaced
  qrec::createCsv("/dev/null", info(), keep)->close();
}

TEST(Recording, FormatChosenByExtension) {
  for (const char* name : {"a.h5", "b.HDF5", "c.hdf5"}) EXPECT_TRUE(qrec::isHdf5Path(name));
  for (const char* name : {"a.csv", "h5", "a.h5.csv", "a.txt"})
    EXPECT_FALSE(qrec::isHdf5Path(name)) << name;
}

TEST(Recording, StartTimeIsIso8601WithMillisecondsAndOffset) {
  EXPECT_TRUE(std::regex_match(
      qrec::isoTimeNow(),
      std::regex(
          "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}[+-][0-9]{2}:[0-9]{2}")))
      << qrec::isoTimeNow();
}

TEST(Recording, Float32LimitsReadAsTheirShortestDecimal) {
  EXPECT_EQ(qrec::numberText(static_cast<float>(-0.01f)), "-0.01");
  EXPECT_EQ(qrec::float32Decimal(static_cast<double>(-0.01f)), -0.01);
  EXPECT_EQ(qrec::float32Decimal(3.3), 3.3);
  EXPECT_TRUE(std::isnan(qrec::float32Decimal(kNaN)));
}

// ---- HDF5 read back ---------------------------------------------------------

TEST(RecordingHdf5, DatasetsAndAttributes) {
  const std::string path = kTempDir + "/recording.h5";
  qrec::RecordingInfo columns = info();
  columns.columns[0].clipLowVolts = -9.9996948f;  // kFrames[1] is clipped
  auto r = qrec::createRecording(path, columns);
  writeFrames(*r);
  r->close();

  Hdf5File f(path);
  ASSERT_TRUE(f.ok());
  std::vector<hsize_t> dims;
  const auto data = f.dataset("data", &dims);
  EXPECT_TRUE(f.lastWasFloat64());  // ports and the counter are exact in float64
  ASSERT_EQ(dims, (std::vector<hsize_t>{std::size(kFrames), 4}));
  const auto time = f.dataset("time_s", &dims);
  ASSERT_EQ(dims, std::vector<hsize_t>{std::size(kFrames)});
  for (size_t i = 0; i < std::size(kFrames); ++i) {
    EXPECT_EQ(time[i], kFrames[i].time);
    EXPECT_EQ(data[i * 4 + 0], static_cast<double>(kFrames[i].ai0));
    EXPECT_EQ(data[i * 4 + 1], static_cast<double>(kFrames[i].diff));
    EXPECT_EQ(data[i * 4 + 2], kFrames[i].port);
    EXPECT_EQ(data[i * 4 + 3], kFrames[i].count);
  }
  EXPECT_EQ(f.numbers("format", &dims), std::vector<double>{2});
  EXPECT_EQ(f.strings("channels"), (std::vector<std::string>{"AI-0", "AI-0/AI-1", "DP-0", "CNT"}));
  EXPECT_EQ(f.strings("units"), (std::vector<std::string>{"V", "V", "raw", "raw"}));
  EXPECT_EQ(f.strings("device"), std::vector<std::string>{"USB:1-0-3"});
  EXPECT_EQ(f.strings("devices"), std::vector<std::string>(4, "USB:1-0-3"));
  EXPECT_EQ(f.strings("serial"), std::vector<std::string>{"QeloKa@KA1X-004711"});
  EXPECT_EQ(f.strings("firmware"), std::vector<std::string>{"1.4"});
  EXPECT_EQ(f.strings("start_time"), std::vector<std::string>{"2026-12-09T11:45:53.123+00:00"});
  EXPECT_EQ(f.numbers("rate_hz", &dims), std::vector<double>{1000.0});
  EXPECT_TRUE(dims.empty());  // a scalar
  EXPECT_EQ(f.numbers("calibrated", &dims), (std::vector<double>{1, 0, 1, 1}));
  const auto ranges = f.numbers("ranges", &dims);
  ASSERT_EQ(dims, (std::vector<hsize_t>{4, 2}));
  EXPECT_EQ(ranges[0], -10.0);
  EXPECT_EQ(ranges[1], 10.0);
  EXPECT_EQ(ranges[2], -0.01);  // the shortest decimal of the float32 limit
  EXPECT_EQ(ranges[3], 0.01);
  for (int i = 4; i < 8; ++i) EXPECT_TRUE(std::isnan(ranges[i])) << i;
  EXPECT_TRUE(f.dataset("gaps", &dims).empty());
  EXPECT_EQ(dims, std::vector<hsize_t>{0});
  EXPECT_EQ(f.dataset("clipped", &dims), (std::vector<double>{1, 0, 0, 0}));
}

TEST(RecordingHdf5, AnalogColumnsAloneAreStoredAsFloat32Compressed) {
  const std::string path = kTempDir + "/float32.h5";
  qrec::RecordingInfo analog = info();
  analog.columns.resize(2);
  qrec::FileOptions options;
  options.compress = true;
  auto r = qrec::createRecording(path, analog, options);
  const int frames = 5000;
  for (int i = 0; i < frames; ++i) {
    const double row[] = {static_cast<float>(std::sin(i * 0.01)), 3.0517578e-07f};
    r->frame(i / 1000.0, row);
  }
  r->close();
  Hdf5File f(path);
  ASSERT_TRUE(f.ok());
  std::vector<hsize_t> dims;
  const auto data = f.dataset("data", &dims);
  EXPECT_TRUE(f.lastWasFloat32());
  ASSERT_EQ(dims, (std::vector<hsize_t>{frames, 2}));
  EXPECT_EQ(data[2 * 1234], static_cast<float>(std::sin(1234 * 0.01)));
  EXPECT_EQ(data[2 * 1234 + 1], static_cast<double>(3.0517578e-07f));
  EXPECT_THAT(f.filters("data"), ElementsAre(H5Z_FILTER_SHUFFLE, H5Z_FILTER_DEFLATE));
  // About a second of frames per chunk, at most 64 KiB.
  EXPECT_EQ(f.chunk("data"), (std::vector<hsize_t>{1000, 2}));
}

TEST(RecordingHdf5, GrowsAcrossChunksAndKeepsOneGapPerPlace) {
  const std::string path = kTempDir + "/chunks.h5";
  const long long frames = 3 * 4096 + 17;
  auto r = qrec::createRecording(path, info());
  for (long long i = 0; i < frames; ++i) {
    if (i == 5000 || i == 9000) {
      r->gap();
      r->gap();
    }
    const double row[] = {static_cast<double>(static_cast<float>(i * 1e-4)), 0.0,
                          static_cast<double>(i & 0xFF), static_cast<double>(i)};
    r->frame(static_cast<double>(i) / 1000.0, row);
    if (i % 3000 == 0) r->flush();
  }
  r->close();

  Hdf5File f(path);
  ASSERT_TRUE(f.ok());
  std::vector<hsize_t> dims;
  const auto data = f.dataset("data", &dims);
  ASSERT_EQ(dims, (std::vector<hsize_t>{static_cast<hsize_t>(frames), 4}));
  const auto time = f.dataset("time_s", &dims);
  ASSERT_EQ(dims[0], static_cast<hsize_t>(frames));
  for (long long i = 0; i < frames; ++i) {
    ASSERT_EQ(data[i * 4 + 3], static_cast<double>(i));
    ASSERT_EQ(time[i], static_cast<double>(i) / 1000.0);
  }
  EXPECT_EQ(f.dataset("gaps", &dims), (std::vector<double>{5000, 9000}));
}

// ---- a file that cannot grow, a writer that is killed ------------------------

// What a writer in a child process reported.
struct ChildReport {
  int status = -1;
  std::string error;      // the RecordingError's text, once
  int errors = 0;         // RecordingErrors thrown (close() included)
  long long frames = -1;  // framesWritten() at the end
  std::vector<long long> clipped;
};

// Runs `work` in a child process whose files cannot grow past limitBytes
// (SIGXFSZ ignored, as the tool does: writes fail with EFBIG instead).
ChildReport underSizeLimit(rlim_t limitBytes,
                           const std::function<std::unique_ptr<qrec::Recording>()>& open,
                           long long frames) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{limitBytes, limitBytes};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::string report;
    int errors = 0;
    std::unique_ptr<qrec::Recording> r;
    try {
      r = open();
      for (long long i = 0; i < frames; ++i) {
        const double row[] = {i % 7 == 0 ? 9.9996948 : 0.25, 0.5, 1.0, static_cast<double>(i)};
        r->frame(static_cast<double>(i + 1) / 1000.0, row);
        if (i % 500 == 0) r->flush();
      }
    } catch (const qrec::RecordingError& e) {
      report = e.what();
      ++errors;
    }
    try {
      if (r) r->close();
    } catch (const qrec::RecordingError& e) {
      report += e.what();
      ++errors;
    }
    report = std::to_string(errors) + "\n" + std::to_string(r ? r->framesWritten() : -1) + "\n" +
             std::to_string(r ? r->clipped()[0] : -1) + "\n" + report;
    if (write(fds[1], report.data(), report.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
    text.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  ChildReport result;
  waitpid(pid, &result.status, 0);
  const auto parts = lines(text);
  if (parts.size() >= 3) {
    result.errors = std::stoi(parts[0]);
    result.frames = std::stoll(parts[1]);
    result.clipped = {std::stoll(parts[2])};
    for (size_t i = 3; i < parts.size(); ++i) result.error += parts[i];
  }
  return result;
}

TEST(RecordingCsv, AFullFileEndsOnItsLastCompleteRowWithTheTrailer) {
  const std::string path = kTempDir + "/full.csv";
  // Three sizes: the limit falls at different places of a row.
  for (rlim_t limit : {100000, 100037, 100071}) {
    std::remove(path.c_str());
    const auto report = underSizeLimit(
        limit, [&] { return qrec::createCsv(path, info()); }, 100000);
    ASSERT_EQ(report.status, 0);
    EXPECT_EQ(report.errors, 1) << report.error;  // reported once, not again by close()
    EXPECT_EQ(report.error, "writing '" + path + "' failed: file too large");
    const std::string text = readFile(path);
    ASSERT_EQ(text.back(), '\n');
    const auto rows = dataRows(text);
    EXPECT_EQ(static_cast<long long>(rows.size()), report.frames);
    for (size_t i = 0; i < rows.size(); ++i) {
      const auto c = cells(rows[i]);
      ASSERT_EQ(c.size(), 5u) << rows[i];
      ASSERT_EQ(c[4], std::to_string(i)) << rows[i];
    }
    // The clip counts are those of the rows in the file. The trailer would
    // need more room than the cut row left: the file ends on a row.
    EXPECT_EQ(report.clipped, std::vector<long long>{static_cast<long long>(rows.size() + 6) / 7});
    EXPECT_EQ(text.find("# end"), std::string::npos);
  }
}

TEST(RecordingCsv, NoSpaceLeftOnDeviceIsNamed) {
  qrec::FileOptions replace;
  try {
    qrec::createCsv("/dev/full", info(), replace);
    ADD_FAILURE() << "/dev/full took the header";
  } catch (const qrec::RecordingError& e) {
    EXPECT_STREQ(e.what(), "writing '/dev/full' failed: no space left on device");
  }
}

TEST(RecordingHdf5, AFullFileHoldsOnlyTheRowsWritten) {
  const std::string path = kTempDir + "/full.h5";
  for (rlim_t limit : {300000, 700000}) {
    std::remove(path.c_str());
    const auto report = underSizeLimit(
        limit, [&] { return qrec::createHdf5(path, info()); }, 100000);
    ASSERT_EQ(report.status, 0);
    EXPECT_EQ(report.errors, 1) << report.error;
    EXPECT_EQ(report.error, "writing '" + path + "' failed: file too large");
    ASSERT_GT(report.frames, 0);
    Hdf5File f(path);
    ASSERT_TRUE(f.ok());
    std::vector<hsize_t> dims;
    const auto data = f.dataset("data", &dims);
    ASSERT_EQ(dims[0], static_cast<hsize_t>(report.frames));
    const auto time = f.dataset("time_s", &dims);
    ASSERT_EQ(dims[0], static_cast<hsize_t>(report.frames));
    // Every row is the frame that was written there: no row of zeros.
    for (long long i = 0; i < report.frames; ++i) {
      ASSERT_EQ(data[i * 4 + 3], static_cast<double>(i)) << "row " << i;
      ASSERT_EQ(time[i], static_cast<double>(i + 1) / 1000.0) << "row " << i;
    }
    EXPECT_EQ(f.dataset("clipped", &dims)[0], static_cast<double>((report.frames + 6) / 7));
  }
}

// Starts a writer in a child process that appends frames without end and
// flushes once after `flushed` frames, says so through a pipe, then keeps
// appending without flushing until it is killed.
void killAfterFlush(const std::function<std::unique_ptr<qrec::Recording>()>& open,
                    long long flushed) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    auto r = open();
    for (long long i = 0;; ++i) {
      const double row[] = {static_cast<double>(i), 0.5, 1.0, static_cast<double>(i)};
      r->frame(static_cast<double>(i) / 1000.0, row);
      if (i + 1 == flushed) {
        r->flush();
        if (write(fds[1], "x", 1) != 1) _exit(2);
      }
    }
  }
  close(fds[1]);
  char c = 0;
  ASSERT_EQ(read(fds[0], &c, 1), 1);
  close(fds[0]);
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
}

TEST(RecordingCsv, AKilledWriterKeepsEveryFlushedRow) {
  const std::string path = kTempDir + "/killed.csv";
  for (long long flushed : {1, 777, 20000}) {
    killAfterFlush([&] { return qrec::createCsv(path, info()); }, flushed);
    std::string text = readFile(path);
    // Rows go out whole, but SIGKILL can cut a write short between two
    // pages: only the last line may lack its end (readers drop it).
    text.erase(text.rfind('\n') + 1);
    const auto rows = dataRows(text);
    ASSERT_GE(static_cast<long long>(rows.size()), flushed);
    for (size_t i = 0; i < rows.size(); ++i) {
      const auto c = cells(rows[i]);
      ASSERT_EQ(c.size(), 5u) << rows[i];
      ASSERT_EQ(c[4], std::to_string(i)) << rows[i];
    }
  }
}

TEST(RecordingHdf5, AKilledWriterLeavesEveryFlushedFrame) {
  const std::string path = kTempDir + "/killed.h5";
  killAfterFlush([&] { return qrec::createHdf5(path, info()); }, 2500);
  Hdf5File f(path);
  ASSERT_TRUE(f.ok());
  std::vector<hsize_t> dims;
  const auto data = f.dataset("data", &dims);
  ASSERT_GE(dims[0], 2500u);
  for (hsize_t i = 0; i < dims[0]; ++i) ASSERT_EQ(data[i * 4], static_cast<double>(i));
}

}  // namespace
