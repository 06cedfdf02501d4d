// The panel's defences against other local programs, below HTTP: where a
// request ends (and which requests are refused before any handler sees
// them), and workers that no single client or page can take all of.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "request_framing.h"
#include "work_pool.h"

namespace {

using qpanel::FramingLimits;
using qpanel::RequestFramer;
using qpanel::WorkPool;
using Result = RequestFramer::Result;

constexpr FramingLimits kLimits{256, 64};

struct FramingCase {
  const char* name;
  std::string bytes;
  Result result;
  size_t requestBytes;  // Complete: the request's length
  int status;           // Refused: the answer
};

std::string repeated(char c, size_t n) { return std::string(n, c); }

TEST(PanelRequestFraming, FindsTheEndOfARequestOrRefusesIt) {
  const std::string get = "GET /api/state HTTP/1.1\r\nHost: h\r\n\r\n";
  const std::string post = "POST /api/led HTTP/1.1\r\nContent-Length: 11\r\n\r\n{\"on\":true}";
  const std::string chunked =
      "POST /api/led HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5;ext=1\r\n{\"on\"\r\n6\r\n:true}\r\n0\r\n\r\n";
  const std::string chunkHead = "POST / HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n";
  const std::vector<FramingCase> cases = {
      {"a request without a body", get + "GET /next", Result::Complete, get.size(), 0},
      {"a body with its length", post + "GET /next", Result::Complete, post.size(), 0},
      {"a chunked body", chunked + "GET", Result::Complete, chunked.size(), 0},
      {"a head still coming", "GET / HTTP/1.1\r\nHost: h\r\n", Result::NeedMore, 0, 0},
      {"a body still coming", post.substr(0, post.size() - 1), Result::NeedMore, 0, 0},
      {"a head past its limit", "GET / HTTP/1.1\r\nX: " + repeated('a', 300), Result::Refused, 0,
       431},
      {"a length past the body limit", "POST / HTTP/1.1\r\nContent-Length: 65\r\n\r\n",
       Result::Refused, 0, 413},
      {"chunks past the body limit", chunkHead + "40\r\n" + repeated('x', 64) + "\r\n1\r\n",
       Result::Refused, 0, 413},
      {"one huge chunk", chunkHead + "ffffffff\r\n", Result::Refused, 0, 413},
      {"a chunk-size line past its limit", chunkHead + "1;" + repeated('e', 1100), Result::Refused,
       0, 400},
      {"chunk framing past the wire limit",
       chunkHead + "1;" + repeated('e', 1000) + "\r\nx\r\n1;" + repeated('e', 1000) + "\r\n",
       Result::Refused, 0, 413},
      {"a bare LF", "GET / HTTP/1.1\nHost: h\n\n", Result::Refused, 0, 400},
      {"a folded header", "GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n", Result::Refused, 0, 400},
      {"two lengths", "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nx",
       Result::Refused, 0, 400},
      {"a length that is no number", "POST / HTTP/1.1\r\nContent-Length: +1\r\n\r\nx",
       Result::Refused, 0, 400},
      {"length and chunks",
       "POST / HTTP/1.1\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n",
       Result::Refused, 0, 400},
      {"another transfer coding", "POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
       Result::Refused, 0, 501},
      {"a compressed body", "POST / HTTP/1.1\r\nContent-Encoding: gzip\r\n\r\n", Result::Refused, 0,
       415},
      {"an expectation", "POST / HTTP/1.1\r\nExpect: 100-continue\r\n\r\n", Result::Refused, 0,
       417},
      {"a chunk size with a sign", chunkHead + "+5\r\n", Result::Refused, 0, 400},
      {"chunk trailers", chunkHead + "0\r\nX: y\r\n\r\n", Result::Refused, 0, 400},
      {"no CRLF after chunk data", chunkHead + "1\r\nxyz", Result::Refused, 0, 400},
      {"a malformed request line", "GET /\r\n\r\n", Result::Refused, 0, 400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Whole, and byte by byte as a slow client sends it: the same outcome.
    RequestFramer whole(kLimits), bytewise(kLimits);
    const Result once = whole.scan(c.bytes.data(), c.bytes.size());
    Result r = Result::NeedMore;
    for (size_t n = 1; n <= c.bytes.size() && r == Result::NeedMore; ++n)
      r = bytewise.scan(c.bytes.data(), n);
    EXPECT_EQ(once, c.result);
    EXPECT_EQ(r, c.result);
    if (c.result == Result::Complete) {
      EXPECT_EQ(whole.requestBytes(), c.requestBytes);
      EXPECT_EQ(bytewise.requestBytes(), c.requestBytes);
    }
    if (c.result == Result::Refused) {
      EXPECT_EQ(whole.refusalStatus(), c.status);
      EXPECT_EQ(bytewise.refusalStatus(), c.status);
      EXPECT_FALSE(whole.refusalMessage().empty());
    }
  }
}

TEST(PanelRequestFraming, NamesTheRequestAndThePagesToken) {
  const std::string byHeader = "GET /api/state?x=1 HTTP/1.1\r\nx-panel-token:  abc \r\n\r\n";
  const std::string byQuery = "GET /api/events?a=b&token=0f1e HTTP/1.1\r\nHost: h\r\n\r\n";
  RequestFramer f(kLimits);
  ASSERT_EQ(f.scan(byHeader.data(), byHeader.size()), Result::Complete);
  EXPECT_EQ(f.method(), "GET");
  EXPECT_EQ(f.path(), "/api/state");
  EXPECT_EQ(f.token(), "abc");
  f.reset();
  ASSERT_EQ(f.scan(byQuery.data(), byQuery.size()), Result::Complete);
  EXPECT_EQ(f.path(), "/api/events");
  EXPECT_EQ(f.token(), "0f1e");
}

// Jobs that stay running until released, counted per key.
class Blocker {
 public:
  std::function<void()> job(const std::string& key) {
    return [this, key] {
      std::unique_lock<std::mutex> lock(mutex_);
      ++running_[key];
      changed_.notify_all();
      changed_.wait(lock, [this] { return released_; });
    };
  }
  bool waitRunning(const std::string& key, int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return running_[key] >= n; });
  }
  int running(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_[key];
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, int> running_;
  bool released_ = false;
};

TEST(PanelWorkPool, NoKeyTakesEveryWorkerAndOthersGetTheirTurn) {
  Blocker blocker;
  WorkPool pool({4, 2, 3, 100});
  // A busy client: two jobs run, three wait, the sixth is refused.
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(pool.submit("client", blocker.job("client")));
  EXPECT_FALSE(pool.submit("client", blocker.job("client")));
  ASSERT_TRUE(blocker.waitRunning("client", 2));
  // The page still finds free workers while the client's jobs wait.
  EXPECT_TRUE(pool.submit("page", blocker.job("page")));
  EXPECT_TRUE(pool.submit("page", blocker.job("page")));
  ASSERT_TRUE(blocker.waitRunning("page", 2));
  EXPECT_EQ(blocker.running("client"), 2);
  blocker.release();
  ASSERT_TRUE(blocker.waitRunning("client", 5));
  pool.stop();
}

TEST(PanelWorkPool, WithoutWaitingRoomAJobStartsAtOnceOrIsRefused) {
  Blocker blocker;
  WorkPool pool({3, 2, 0, 0});
  EXPECT_TRUE(pool.submit("a", blocker.job("a")));
  EXPECT_TRUE(pool.submit("a", blocker.job("a")));
  EXPECT_FALSE(pool.submit("a", blocker.job("a")));  // two per key
  EXPECT_TRUE(pool.submit("b", blocker.job("b")));
  EXPECT_FALSE(pool.submit("c", blocker.job("c")));  // every thread busy
  ASSERT_TRUE(blocker.waitRunning("a", 2));
  ASSERT_TRUE(blocker.waitRunning("b", 1));
  blocker.release();
  pool.stop();
  EXPECT_FALSE(pool.submit("a", blocker.job("a")));  // stopped
}

}  // namespace
