// Streams of a served device on the manual clock: every frame the device
// took arrives once, in order, with the values the emulator applied; an
// overrun is a gap record at its frame; the end record counts the frames.
#include <cmath>

#include "serve_fixture.h"

namespace qtest {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

class Stream : public ServeFixture {
 protected:
  // Checks the records of a finished stream: sequence numbers from 0 without
  // a hole, frames without a hole, the end record counting them; returns the
  // frames records' rows in order.
  std::vector<std::vector<double>> wholeStream(const std::vector<TestBlock>& records,
                                               std::vector<double>* times = nullptr) {
    std::vector<std::vector<double>> rows;
    uint64_t next = 0;
    for (size_t i = 0; i < records.size(); ++i) {
      const TestBlock& r = records[i];
      EXPECT_EQ(r.sequence, i) << "a record is missing before " << r.sequence;
      EXPECT_EQ(r.firstFrame, next) << "record " << r.sequence;
      if (r.kind == 2) {
        EXPECT_EQ(i + 1, records.size()) << "records after the end record";
        break;
      }
      EXPECT_EQ(r.kind, 0) << "record " << r.sequence;
      rows.insert(rows.end(), r.rows.begin(), r.rows.end());
      if (times) times->insert(times->end(), r.times.begin(), r.times.end());
      next += r.frames;
    }
    EXPECT_FALSE(records.empty());
    if (!records.empty()) {
      EXPECT_EQ(records.back().kind, 2) << "no end record";
    }
    return rows;
  }
};

TEST_F(Stream, EveryFrameArrivesOnceInOrderWithTheEmulatorsValues) {
  manualClock();
  serve(true);
  Probe& p = probe();
  waitOpen(p);
  ASSERT_EQ(call(p, {{"op", "counter"}, {"enable", true}})["ok"], true);
  const json start =
      call(p, {{"op", "start"}, {"channels", {"AI-0", "AI-1:1V", "DP-0", "CNT"}}, {"rateHz", 100}});
  ASSERT_EQ(start["ok"], true) << start.dump();
  EXPECT_EQ(start["rateHz"], 100.0);
  const uint32_t id = start["stream"];
  const json state = waitState(p, [](const json& s) { return s.value("acquiring", false); });
  EXPECT_EQ(state["polling"]["active"], false);
  EXPECT_FALSE(state["polling"]["why"].is_null());

  produce(std::chrono::seconds(10), milliseconds(500));
  ASSERT_TRUE(p.waitUntil([&] { return framesReceived(p, id) >= 1000; }));
  const json stop = call(p, {{"op", "stop"}});
  ASSERT_EQ(stop["ok"], true) << stop.dump();
  ASSERT_TRUE(p.waitUntil([&] { return endReceived(p, id); }));

  const auto records = blocks(p, id);
  std::vector<double> times;
  const auto rows = wholeStream(records, &times);
  ASSERT_EQ(rows.size(), 1000u);  // 10 s at 100 Hz, every frame read before the stop
  EXPECT_EQ(records.back().firstFrame, 1000u);
  EXPECT_EQ(stop["frames"], 1000);
  const TestBlock& first = records.front();
  EXPECT_EQ(first.names, (std::vector<std::string>{"AI-0", "AI-1", "DP-0", "CNT"}));
  EXPECT_EQ(first.types, (std::vector<int>{0, 0, 1, 1}));
  EXPECT_EQ(first.rangeMax[1], 1.0f);
  EXPECT_TRUE(std::isnan(first.rangeMin[2]));
  EXPECT_EQ(first.rateHz, 100.0);
  for (size_t k = 0; k < rows.size(); ++k) {
    EXPECT_NEAR(rows[k][0], kAi0Volts, 1e-3) << "frame " << k;
    EXPECT_NEAR(rows[k][1], kAi1Volts, 1e-4) << "frame " << k;
    EXPECT_EQ(rows[k][2], kDp0Pins) << "frame " << k;
    // 1000 counts per second of device time, 100 frames per second.
    if (k > 0) {
      EXPECT_EQ(rows[k][3] - rows[k - 1][3], 10) << "frame " << k;
    }
    EXPECT_EQ(times[k], static_cast<double>(k) / 100.0) << "frame " << k;
  }
}

TEST_F(Stream, AFrameCountEndsTheStreamWithItsEndRecord) {
  manualClock();
  serve(true);
  Probe& p = probe();
  waitOpen(p);
  const json start =
      call(p, {{"op", "start"}, {"channels", {"DP-0"}}, {"rateHz", 1000}, {"frames", 250}});
  ASSERT_EQ(start["ok"], true) << start.dump();
  const uint32_t id = start["stream"];
  advance(std::chrono::seconds(1));
  ASSERT_TRUE(p.waitUntil([&] { return endReceived(p, id); }));
  const auto rows = wholeStream(blocks(p, id));
  EXPECT_EQ(rows.size(), 250u);
  const json state = waitState(p, [](const json& s) { return !s.value("acquiring", true); });
  EXPECT_EQ(state["lastStream"]["frames"], 250);
  EXPECT_EQ(state["lastStream"]["id"], id);
  EXPECT_EQ(state["polling"]["active"], true);
}

TEST_F(Stream, ADeviceOverrunIsAGapRecordAtItsFrame) {
  manualClock();
  // 4 KiB of buffer: 2048 frames of one channel.
  serve(true, size_t{64} << 20, 4096);
  Probe& p = probe();
  waitOpen(p);
  const json start = call(p, {{"op", "start"}, {"channels", {"AI-0"}}, {"rateHz", 1000}});
  ASSERT_EQ(start["ok"], true) << start.dump();
  const uint32_t id = start["stream"];
  produce(milliseconds(600), milliseconds(300));
  ASSERT_TRUE(p.waitUntil([&] { return framesReceived(p, id) >= 600; }));
  advance(std::chrono::seconds(5));  // far more than the buffer holds
  ASSERT_TRUE(p.waitUntil([&] {
    for (const auto& b : blocks(p, id))
      if (b.kind == 1) return true;
    return false;
  }));
  // The server starts the acquisition again.
  ASSERT_TRUE(qsim::vbustest::waitUntil([&] {
    return device().acquisitionState() == qsim::AcquisitionState::Running &&
           device().framesDropped() == 0;
  }));
  produce(milliseconds(600), milliseconds(300));
  ASSERT_EQ(call(p, {{"op", "stop"}})["ok"], true);
  ASSERT_TRUE(p.waitUntil([&] { return endReceived(p, id); }));

  const auto records = blocks(p, id);
  uint64_t next = 0;
  int gaps = 0;
  double lastTime = -1;
  for (size_t i = 0; i < records.size(); ++i) {
    const TestBlock& r = records[i];
    EXPECT_EQ(r.sequence, i);
    EXPECT_EQ(r.firstFrame, next) << "record " << r.sequence << " kind " << r.kind;
    if (r.kind == 1) ++gaps;
    for (double t : r.times) {
      EXPECT_GT(t, lastTime) << "time runs backwards at record " << r.sequence;
      lastTime = t;
    }
    for (const auto& row : r.rows) EXPECT_NEAR(row[0], kAi0Volts, 1e-3);
    next += r.frames;
  }
  EXPECT_EQ(gaps, 1);
  EXPECT_EQ(records.back().kind, 2);
  EXPECT_EQ(records.back().firstFrame, next);
  EXPECT_GE(next, 1200u);  // the frames before the overrun and after it
  const json state = waitState(p, [](const json& s) { return !s.value("acquiring", true); });
  EXPECT_EQ(state["lastStream"]["overruns"], 1) << state.dump();
}

}  // namespace
}  // namespace qtest
