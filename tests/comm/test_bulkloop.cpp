// The USB transfer loop: short transfers are completed, nothing is written
// past the caller's buffer, a transfer that reports too much is refused, and a
// device that only sends empty packets cannot keep the caller forever.
#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>
#include <vector>

#include "comm-api/src/api/bulkloop.h"

namespace {

struct Step {
  int result;  // libusb result code
  int moved;   // bytes the "device" reports as moved
};

// Simulates libusb_bulk_transfer: fills what it reports as moved with a
// running counter (never beyond the length it was given) and records lengths.
struct FakeTransfer {
  std::deque<Step> steps;
  std::vector<int> lengths;
  unsigned char next = 1;

  int operator()(unsigned char* p, int n, int* moved) {
    lengths.push_back(n);
    const Step s = steps.empty() ? Step{0, n} : steps.front();
    if (!steps.empty()) steps.pop_front();
    for (int i = 0; i < std::min(s.moved, n); ++i) p[i] = next++;
    *moved = s.moved;
    return s.result;
  }
};

void check(int result) {
  if (result < 0) throw std::runtime_error("error " + std::to_string(result));
}
void stalled() { throw std::runtime_error("stalled"); }

TEST(BulkLoop, ShortTransfersAreCompletedInOrder) {
  FakeTransfer t;
  t.steps = {{0, 32}, {0, 32}};
  std::vector<unsigned char> buf(65, 0xAA);
  commapi::transferExactly(buf.data(), 64, t, check, stalled);
  EXPECT_EQ(t.lengths, (std::vector<int>{64, 32}));
  for (int i = 0; i < 64; ++i) EXPECT_EQ(buf[i], i + 1);
  EXPECT_EQ(buf[64], 0xAA);
}

TEST(BulkLoop, TooMuchTransferredIsALogicError) {
  FakeTransfer t;
  t.steps = {{0, 40}, {0, 40}};
  std::vector<unsigned char> buf(65, 0xAA);
  try {
    commapi::transferExactly(buf.data(), 64, t, check, stalled);
    FAIL() << "accepted";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Invalid transfer size (to much transferred).");
  }
  EXPECT_EQ(t.lengths, (std::vector<int>{64, 24})) << "each transfer gets exactly what remains";
  EXPECT_EQ(buf[64], 0xAA);
}

TEST(BulkLoop, ErrorsPassThroughAfterPartialData) {
  FakeTransfer t;
  t.steps = {{0, 10}, {-7, 0}};
  std::vector<unsigned char> buf(64);
  EXPECT_THROW(commapi::transferExactly(buf.data(), 64, t, check, stalled), std::runtime_error);
  EXPECT_EQ(t.lengths.size(), 2u);
}

TEST(BulkLoop, EmptyTransfersAreBounded) {
  FakeTransfer t;
  for (int i = 0; i < 1000; ++i) t.steps.push_back({0, 0});
  std::vector<unsigned char> buf(8);
  EXPECT_THROW(commapi::transferExactly(buf.data(), 8, t, check, stalled), std::runtime_error);
  EXPECT_EQ(static_cast<int>(t.lengths.size()), commapi::kMaxEmptyTransfers);
  // A few empty packets between data are tolerated.
  FakeTransfer u;
  u.steps = {{0, 0}, {0, 4}, {0, 0}, {0, 4}};
  commapi::transferExactly(buf.data(), 8, u, check, stalled);
  EXPECT_EQ(u.lengths.size(), 4u);
}

// ---- draining the IN endpoint ------------------------------------------------------------

constexpr int kTimeout = commapi::kTransferTimeout;
constexpr int kOverflow = commapi::kTransferOverflow;

struct DrainCase {
  const char* name;
  std::vector<Step> steps;  // then every further transfer times out empty
  long long dropped;        // -1: the drain throws
  size_t transfers;
};

class Drain : public ::testing::TestWithParam<DrainCase> {};

TEST_P(Drain, DropsWhatIsPendingAndStopsWhenNothingIs) {
  const DrainCase& c = GetParam();
  FakeTransfer t;
  t.steps.assign(c.steps.begin(), c.steps.end());
  t.steps.push_back({kTimeout, 0});
  std::vector<unsigned char> scratch(256);
  const auto drain = [&] {
    return commapi::drainPending(
        scratch.data(), 256, t, check, [] { return false; },
        [] { throw std::runtime_error("endless"); });
  };
  if (c.dropped < 0) {
    EXPECT_THROW(drain(), std::runtime_error);
  } else {
    EXPECT_EQ(drain(), c.dropped);
  }
  EXPECT_EQ(t.lengths.size(), c.transfers);
  for (int n : t.lengths) EXPECT_EQ(n, 256) << "every transfer offers the whole scratch buffer";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Drain,
    ::testing::Values(DrainCase{"nothing_pending", {}, 0, 1},
                      DrainCase{"one_reply", {{0, 64}}, 64, 2},
                      DrainCase{
                          "several_replies_and_a_large_one", {{0, 64}, {0, 256}, {0, 192}}, 512, 4},
                      // A timeout after data still moved the data: the loop goes on.
                      DrainCase{"data_then_timeout", {{kTimeout, 64}, {0, 64}}, 128, 3},
                      // A reply larger than the scratch buffer: its rest is lost anyway.
                      DrainCase{"overflow", {{kOverflow, 256}, {kOverflow, 0}}, 256, 3},
                      DrainCase{"empty_packet", {{0, 0}, {0, 64}}, 64, 3},
                      DrainCase{"device_gone", {{0, 64}, {-4, 0}}, -1, 2}),
    [](const ::testing::TestParamInfo<DrainCase>& info) { return info.param.name; });

// A device may queue any number of replies: the drain takes them all, and
// only the time bound (here: expiring after a given number of transfers)
// ends a device that never stops sending.
TEST(Drain, BoundedByTimeNotByTheNumberOfReplies) {
  for (int queued : {1023, 1024, 1025, 5000}) {
    SCOPED_TRACE(queued);
    FakeTransfer t;
    for (int i = 0; i < queued; ++i) t.steps.push_back({0, 64});
    t.steps.push_back({kTimeout, 0});
    std::vector<unsigned char> scratch(64);
    const long long dropped = commapi::drainPending(
        scratch.data(), 64, t, check, [] { return false; },
        [] { throw std::runtime_error("endless"); });
    EXPECT_EQ(dropped, 64LL * queued);
    EXPECT_EQ(t.lengths.size(), static_cast<size_t>(queued) + 1);
  }
  FakeTransfer endless;
  for (int i = 0; i < 5000; ++i) endless.steps.push_back({0, 64});
  std::vector<unsigned char> scratch(64);
  int clock = 0;
  EXPECT_THROW(commapi::drainPending(
                   scratch.data(), 64, endless, check, [&] { return ++clock >= 300; },
                   [] { throw std::runtime_error("endless"); }),
               std::runtime_error);
  EXPECT_EQ(endless.lengths.size(), 300u);
}

}  // namespace
