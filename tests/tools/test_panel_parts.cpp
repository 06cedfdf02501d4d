// Parts of the browser panel that its HTTP and browser tests cannot drive to
// their limits: a recording that fills up, and a page that falls behind its
// event stream.
#include <gtest/gtest.h>

#include <chrono>

#include "event_hub.h"
#include "stream_record.h"

namespace {

using qpanel::EventHub;
using qpanel::StreamRecord;

qpanel::RecordInfo twoChannels() {
  qpanel::RecordInfo info;
  info.channels = {{"AI-0", true, -10, 10, {}}, {"DP-0", false, 0, 0, {}}};
  info.rateHz = 100;
  return info;
}

TEST(PanelStreamRecord, KeepsValuesExactlyAndGapsWhereFramesWereLost) {
  StreamRecord record(twoChannels(), 1 << 20);
  StreamRecord::Cell cells[2];
  cells[0].volts = 1.2501144f;
  cells[1].raw = 0xFFFFFFFFu;  // a counter near its end stays unsigned
  record.append(0.0, cells);
  record.markGap();
  record.markGap();  // one gap, however often it is reported
  record.append(0.5, cells);
  record.markGap();  // after the last row: not a gap of the rows written
  const auto view = record.view();
  ASSERT_EQ(view.rows, 2u);
  EXPECT_EQ(view.gaps, std::vector<size_t>{1});
  EXPECT_EQ(view.cell(1, 0).volts, 1.2501144f);
  EXPECT_EQ(view.cell(1, 1).raw, 0xFFFFFFFFu);
  EXPECT_EQ(view.seconds(1), 0.5);
  EXPECT_FALSE(view.full);
}

TEST(PanelStreamRecord, AFullRecordSaysSoAndKeepsWhatItHas) {
  // Room for exactly 3 rows of a time and two cells.
  StreamRecord record(twoChannels(), 3 * (sizeof(double) + 2 * sizeof(StreamRecord::Cell)));
  StreamRecord::Cell cells[2] = {};
  for (int i = 0; i < 3; ++i) {
    cells[0].volts = static_cast<float>(i);
    EXPECT_TRUE(record.append(i, cells));
  }
  EXPECT_FALSE(record.append(3, cells));
  const auto view = record.view();
  EXPECT_EQ(view.rows, 3u);
  EXPECT_TRUE(view.full);
  EXPECT_EQ(view.cell(2, 0).volts, 2.0f);
}

TEST(PanelStreamRecord, RowsSpanningStorageBlocksReadBack) {
  StreamRecord record(twoChannels(), size_t{64} << 20);
  StreamRecord::Cell cells[2];
  for (int i = 0; i < 20000; ++i) {
    cells[0].volts = static_cast<float>(i);
    cells[1].raw = static_cast<uint32_t>(i);
    record.append(i * 0.01, cells);
  }
  const auto view = record.view();
  ASSERT_EQ(view.rows, 20000u);
  for (size_t row : {0u, 8191u, 8192u, 19999u}) {
    EXPECT_EQ(view.cell(row, 0).volts, static_cast<float>(row));
    EXPECT_EQ(view.cell(row, 1).raw, row);
  }
}

TEST(PanelEventHub, AReaderThatFellBehindLearnsHowManyChunksItMissed) {
  EventHub hub;
  EventHub::Cursor cursor = hub.startCursor();
  for (size_t i = 0; i < EventHub::kMaxChunks + 5; ++i)
    hub.publishChunk("{\"n\":" + std::to_string(i) + "}");
  hub.publishSnapshot("{\"s\":1}");
  hub.publishSnapshot("{\"s\":2}");
  bool closed = true;
  const auto events = hub.wait(cursor, std::chrono::milliseconds(0), closed);
  EXPECT_FALSE(closed);
  ASSERT_EQ(events.size(), 1 + EventHub::kMaxChunks + 1);
  EXPECT_EQ(events.front().name, "missed");
  EXPECT_EQ(events.front().json, "{\"chunks\":5}");
  EXPECT_EQ(events[1].json, "{\"n\":5}");
  EXPECT_EQ(events.back().name, "snapshot");
  EXPECT_EQ(events.back().json, "{\"s\":2}");  // only the newest snapshot
  hub.close();
  EXPECT_TRUE(hub.wait(cursor, std::chrono::milliseconds(0), closed).empty());
  EXPECT_TRUE(closed);
}

}  // namespace
