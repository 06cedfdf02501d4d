// The data file writers on their own: what a CSV and an HDF5 recording hold,
// read back as text and through the HDF5 C library.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hdf5.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <regex>
#include <sstream>

#include "recording.h"

using ::testing::HasSubstr;

namespace {

const std::string kTempDir = QELOMSR_TEST_TMPDIR;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> result;
  std::istringstream in(line);
  for (std::string cell; std::getline(in, cell, ',');) result.push_back(cell);
  return result;
}

// A Ka-like frame: two analog inputs (one on the 10 mV range), a port and
// the counter.
qrec::RecordingInfo info() {
  qrec::RecordingInfo i;
  i.columns = {{"AI-0", true, -10.0, 10.0},
               {"AI-0/AI-1", true, -0.01f, 0.01f},
               {"DP-0", false, kNaN, kNaN},
               {"CNT", false, kNaN, kNaN}};
  i.rateHz = 1000.0;
  i.device = "USB:1-0-3";
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

TEST(RecordingCsv, EveryNumberReadsBackExactly) {
  const std::string path = kTempDir + "/recording.csv";
  auto r = qrec::createCsv(path, info());
  writeFrames(*r);
  r->close();
  const auto rows = lines(readFile(path));
  ASSERT_EQ(rows.size(), 1 + std::size(kFrames));
  EXPECT_EQ(rows[0], "time_s,AI-0,AI-0/AI-1,DP-0,CNT");
  for (size_t i = 0; i < std::size(kFrames); ++i) {
    const auto cells = fields(rows[i + 1]);
    ASSERT_EQ(cells.size(), 5u) << rows[i + 1];
    EXPECT_EQ(std::strtod(cells[0].c_str(), nullptr), kFrames[i].time) << rows[i + 1];
    EXPECT_EQ(std::strtof(cells[1].c_str(), nullptr), kFrames[i].ai0) << rows[i + 1];
    EXPECT_EQ(std::strtof(cells[2].c_str(), nullptr), kFrames[i].diff) << rows[i + 1];
    EXPECT_EQ(cells[3], std::to_string(kFrames[i].port));
    EXPECT_EQ(std::strtod(cells[4].c_str(), nullptr), kFrames[i].count) << rows[i + 1];
    // Shortest: a float32 needs at most 9 significant digits, and no exponent.
    std::string digits;
    for (char c : cells[2])
      if (c >= '0' && c <= '9' && (c != '0' || !digits.empty())) digits += c;
    EXPECT_LE(digits.size(), 9u) << cells[2];
    EXPECT_EQ(cells[2].find('e'), std::string::npos) << cells[2];
  }
  EXPECT_EQ(rows[1], "0,1.2345678,0.00000030517577,90,0");
  EXPECT_EQ(rows[2].substr(rows[2].rfind(',')), ",4294967295");
}

TEST(RecordingCsv, AGapIsOneFieldBeforeTheNextRow) {
  const std::string path = kTempDir + "/gap.csv";
  auto r = qrec::createCsv(path, info());
  const double row[] = {1.0, 0.0, 0.0, 0.0};
  r->frame(0.0, row);
  r->frame(0.001, row);
  r->gap();
  r->frame(0.5, row);
  r->close();
  const auto rows = lines(readFile(path));
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[3], "# overrun after 2 frames: frames lost; acquisition restarted");
  EXPECT_EQ(rows[3].find(','), std::string::npos);
  EXPECT_EQ(rows[4].substr(0, 4), "0.5,");
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
  }
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

// ---- HDF5 read back ---------------------------------------------------------

class Hdf5File {
 public:
  explicit Hdf5File(const std::string& path)
      : file_(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT)) {}
  ~Hdf5File() {
    if (file_ >= 0) H5Fclose(file_);
  }
  bool ok() const { return file_ >= 0; }

  // A dataset's dimensions and its values as doubles.
  std::vector<double> dataset(const char* name, std::vector<hsize_t>* dims) const {
    const hid_t d = H5Dopen2(file_, name, H5P_DEFAULT);
    const hid_t space = H5Dget_space(d);
    dims->assign(static_cast<size_t>(H5Sget_simple_extent_ndims(space)), 0);
    H5Sget_simple_extent_dims(space, dims->data(), nullptr);
    hsize_t n = 1;
    for (hsize_t x : *dims) n *= x;
    std::vector<double> values(n);
    if (n > 0) H5Dread(d, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
    const hid_t type = H5Dget_type(d);
    isDouble_ = H5Tequal(type, H5T_IEEE_F64LE) > 0;
    H5Tclose(type);
    H5Sclose(space);
    H5Dclose(d);
    return values;
  }
  bool lastWasFloat64() const { return isDouble_; }

  std::vector<std::string> strings(const char* name) const {
    const hid_t d = H5Dopen2(file_, "data", H5P_DEFAULT);
    const hid_t a = H5Aopen(d, name, H5P_DEFAULT);
    const hid_t space = H5Aget_space(a);
    const hssize_t n = H5Sget_simple_extent_npoints(space);
    const hid_t type = H5Aget_type(a);
    std::vector<char*> texts(static_cast<size_t>(n), nullptr);
    const hid_t memType = H5Tcopy(H5T_C_S1);
    H5Tset_size(memType, H5T_VARIABLE);
    H5Tset_cset(memType, H5T_CSET_UTF8);
    std::vector<std::string> result;
    if (H5Tis_variable_str(type) > 0 && H5Tget_cset(type) == H5T_CSET_UTF8 &&
        H5Aread(a, memType, texts.data()) >= 0) {
      for (char* t : texts) result.push_back(t != nullptr ? t : "");
      H5Dvlen_reclaim(memType, space, H5P_DEFAULT, texts.data());
    }
    H5Tclose(memType);
    H5Tclose(type);
    H5Sclose(space);
    H5Aclose(a);
    H5Dclose(d);
    return result;
  }

  std::vector<double> numbers(const char* name, std::vector<hsize_t>* dims) const {
    const hid_t d = H5Dopen2(file_, "data", H5P_DEFAULT);
    const hid_t a = H5Aopen(d, name, H5P_DEFAULT);
    const hid_t space = H5Aget_space(a);
    dims->assign(static_cast<size_t>(H5Sget_simple_extent_ndims(space)), 0);
    H5Sget_simple_extent_dims(space, dims->data(), nullptr);
    std::vector<double> values(static_cast<size_t>(H5Sget_simple_extent_npoints(space)));
    if (!values.empty()) H5Aread(a, H5T_NATIVE_DOUBLE, values.data());
    H5Sclose(space);
    H5Aclose(a);
    H5Dclose(d);
    return values;
  }

 private:
  hid_t file_;
  mutable bool isDouble_ = false;
};

TEST(RecordingHdf5, DatasetsAndAttributes) {
  const std::string path = kTempDir + "/recording.h5";
  auto r = qrec::createRecording(path, info());
  writeFrames(*r);
  r->close();

  Hdf5File f(path);
  ASSERT_TRUE(f.ok());
  std::vector<hsize_t> dims;
  const auto data = f.dataset("data", &dims);
  EXPECT_TRUE(f.lastWasFloat64());
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
  EXPECT_EQ(f.strings("channels"), (std::vector<std::string>{"AI-0", "AI-0/AI-1", "DP-0", "CNT"}));
  EXPECT_EQ(f.strings("units"), (std::vector<std::string>{"V", "V", "raw", "raw"}));
  EXPECT_EQ(f.strings("device"), std::vector<std::string>{"USB:1-0-3"});
  EXPECT_EQ(f.strings("serial"), std::vector<std::string>{"QeloKa@KA1X-004711"});
  EXPECT_EQ(f.strings("firmware"), std::vector<std::string>{"1.4"});
  EXPECT_EQ(f.strings("start_time"), std::vector<std::string>{"2026-12-09T11:45:53.123+00:00"});
  EXPECT_EQ(f.numbers("rate_hz", &dims), std::vector<double>{1000.0});
  EXPECT_TRUE(dims.empty());  // a scalar
  const auto ranges = f.numbers("ranges", &dims);
  ASSERT_EQ(dims, (std::vector<hsize_t>{4, 2}));
  EXPECT_EQ(ranges[0], -10.0);
  EXPECT_EQ(ranges[1], 10.0);
  EXPECT_EQ(ranges[3], static_cast<double>(0.01f));
  for (int i = 4; i < 8; ++i) EXPECT_TRUE(std::isnan(ranges[i])) << i;
  EXPECT_TRUE(f.numbers("gaps", &dims).empty());
  EXPECT_EQ(dims, std::vector<hsize_t>{0});
}

TEST(RecordingHdf5, GrowsAcrossChunksAndKeepsTheGaps) {
  const std::string path = kTempDir + "/chunks.h5";
  const long long frames = 3 * 4096 + 17;
  auto r = qrec::createRecording(path, info());
  for (long long i = 0; i < frames; ++i) {
    if (i == 5000 || i == 9000) r->gap();
    const double row[] = {static_cast<double>(static_cast<float>(i * 1e-4)), 0.0,
                          static_cast<double>(i & 0xFF), static_cast<double>(i)};
    r->frame(static_cast<double>(i) / 1000.0, row);
  }
  r->close();

  Hdf5File f(path);
  ASSERT_TRUE(f.ok());
  std::vector<hsize_t> dims;
  const auto data = f.dataset("data", &dims);
  ASSERT_EQ(dims, (std::vector<hsize_t>{static_cast<hsize_t>(frames), 4}));
  const auto time = f.dataset("time_s", &dims);
  ASSERT_EQ(dims[0], static_cast<hsize_t>(frames));
  for (long long i = 0; i < frames; i += 611) {
    EXPECT_EQ(data[i * 4 + 3], static_cast<double>(i));
    EXPECT_EQ(time[i], static_cast<double>(i) / 1000.0);
  }
  EXPECT_EQ(f.numbers("gaps", &dims), (std::vector<double>{5000, 9000}));
}

}  // namespace
