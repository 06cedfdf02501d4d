// The central logger's bookkeeping without a broker: records as a server
// makes them, some lost, some delivered twice, a device overrun; the file
// must hold every frame that came, once, with a gap wherever frames are
// missing and nowhere else.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "broker.h"
#include "h5_file.h"
#include "stream_logger.h"

namespace {

using qmqtt::BlockChannel;
using qmqtt::BlockWriter;

std::vector<BlockChannel> channels() {
  return {{"AI-0", qmqtt::SampleType::Volts, 0, -10.0f, 10.0f},
          {"CNT", qmqtt::SampleType::Raw, 0, std::nanf(""), std::nanf("")}};
}

uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

// The frames record of frames [first, first + count) of a 100 Hz stream:
// AI-0 = frame / 1000 V, CNT = 10 x frame.
std::vector<uint8_t> frames(BlockWriter& w, uint64_t first, uint32_t count) {
  w.beginFrames(first, 0.0, first);
  for (uint64_t f = first; f < first + count; ++f) {
    const uint32_t cells[2] = {bits(static_cast<float>(f) / 1000.0f),
                               static_cast<uint32_t>(10 * f)};
    w.addFrame(cells, static_cast<double>(f) / 100.0);
  }
  return w.finishFrames();
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Logger, MissingRecordsAndOverrunsBecomeGapsAtTheirRowsAndRepeatsAreWrittenOnce) {
  const std::string dir = qtest::makeTempDir(QELOMSR_TEST_TMPDIR, "logger");
  std::FILE* log = std::tmpfile();
  qrecord::StreamLogger logger(dir, log);
  logger.info("stand1", "USB:1-0-3",
              R"({"device":"USB:1-0-3","serial":"QeloKa@KA1X-1","firmware":"1.4"})");
  BlockWriter w(channels(), 3, 100.0, 1796855421178309075LL, 64);
  auto send = [&](const std::vector<uint8_t>& r) {
    logger.record("stand1", "USB:1-0-3", r.data(), r.size());
  };
  send(frames(w, 0, 10));
  const auto twice = frames(w, 10, 10);
  send(twice);
  send(twice);        // QoS 1 delivered it again
  frames(w, 20, 10);  // lost on the way
  send(frames(w, 30, 10));
  send(w.gap(40));  // the device overran after frame 39
  send(frames(w, 40, 10));
  send(w.end(50));

  const auto summaries = logger.files();
  ASSERT_EQ(summaries.size(), 1u);
  EXPECT_FALSE(summaries[0].open);
  EXPECT_FALSE(summaries[0].complete);
  EXPECT_EQ(filesIn(dir).size(), 1u);
  EXPECT_NE(summaries[0].path.find("stand1_USB-1-0-3_"), std::string::npos);
  EXPECT_NE(summaries[0].path.find("_s3.h5"), std::string::npos);

  qtest::H5File file(summaries[0].path);
  ASSERT_TRUE(file.ok());
  std::vector<hsize_t> dims;
  const auto data = file.dataset("data", &dims);
  ASSERT_EQ(dims, (std::vector<hsize_t>{40, 2}));
  const auto time = file.dataset("time_s", &dims);
  const uint64_t expected[] = {0, 10, 30, 40};  // first frame of each run written
  size_t row = 0;
  for (uint64_t run : expected)
    for (uint64_t f = run; f < run + 10; ++f, ++row) {
      EXPECT_EQ(data[2 * row], static_cast<double>(static_cast<float>(f) / 1000.0f)) << row;
      EXPECT_EQ(data[2 * row + 1], 10.0 * static_cast<double>(f)) << row;
      EXPECT_EQ(time[row], static_cast<double>(f) / 100.0) << row;
    }
  EXPECT_EQ(file.gaps(), (std::vector<long long>{20, 30}));
  EXPECT_EQ(file.strings("channels"), (std::vector<std::string>{"AI-0", "CNT"}));
  EXPECT_EQ(file.strings("device"), std::vector<std::string>{"USB:1-0-3"});
  EXPECT_EQ(file.strings("serial"), std::vector<std::string>{"QeloKa@KA1X-1"});
  EXPECT_EQ(file.numbers("rate_hz"), std::vector<double>{100.0});
  std::fclose(log);
}

TEST(Logger, AStreamWhoseEndRecordNeverCameIsClosedWithItsMissingTailMarked) {
  const std::string dir = qtest::makeTempDir(QELOMSR_TEST_TMPDIR, "logger");
  std::FILE* log = std::tmpfile();
  qrecord::StreamLogger logger(dir, log);
  BlockWriter w(channels(), 1, 100.0, 1796855421000000000LL, 64);
  const auto first = frames(w, 0, 10);
  logger.record("n", "USB:1-0-4", first.data(), first.size());
  // The server says the stream ended after 25 frames; records 10..24 and the
  // end record never come.
  logger.state(
      "n", "USB:1-0-4",
      R"({"acquiring":false,"stream":null,"lastStream":{"id":1,"startUnixNs":1796855421000000000,"frames":25}})");
  logger.flush(qrecord::StreamLogger::Clock::now());
  ASSERT_TRUE(logger.files()[0].open) << "closed before its last records had a chance";
  logger.flush(qrecord::StreamLogger::Clock::now() + std::chrono::seconds(6));
  const auto summaries = logger.files();
  ASSERT_EQ(summaries.size(), 1u);
  EXPECT_FALSE(summaries[0].open);
  EXPECT_EQ(summaries[0].frames, 10);
  EXPECT_EQ(summaries[0].gaps, std::vector<long long>{10});

  // A new stream gets a file of its own; a complete one says so.
  BlockWriter next(channels(), 2, 100.0, 1796855422000000000LL, 64);
  const auto a = frames(next, 0, 5);
  const auto end = next.end(5);
  logger.record("n", "USB:1-0-4", a.data(), a.size());
  logger.record("n", "USB:1-0-4", end.data(), end.size());
  ASSERT_EQ(logger.files().size(), 2u);
  EXPECT_TRUE(logger.files()[1].complete);
  EXPECT_TRUE(logger.files()[1].gaps.empty());
  EXPECT_EQ(filesIn(dir).size(), 2u);
  std::fclose(log);
}

}  // namespace
