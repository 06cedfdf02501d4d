// The hades logging facility: console colours, line formats, sinks, the date
// formatter and the path splitter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <thread>
#include <vector>

#include "hades/src/libs/hades/console.h"
#include "hades/src/libs/hades/filetls.h"
#include "hades/src/libs/hades/logging.h"
#include "hades/src/libs/hades/stringtls.h"
#include "hades/src/libs/hades/timetls.h"
#include "tests/comm/capture.h"

namespace hl = hades::logging;
using hades::con_color;
using ::testing::ElementsAre;

namespace {

const char* const kEsc = "\x1b";
const std::string kStamp = R"(\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d:\d\d\d)";

std::string esc(const std::string& body) { return kEsc + ("[0;" + body + "m"); }
// The same sequence as a regular expression.
std::string escRe(const std::string& body) { return "\\x1b\\[0;" + body + "m"; }

struct Line {
  hl::log_level level;
  std::string stamp;
  std::string text;
};

// Records every line it receives while connected.
class SinkRecorder {
 public:
  SinkRecorder()
      : c_(hl::enable_log_sink([this](hl::log_level l, const std::string& s, const std::string& t) {
          lines.push_back({l, s, t});
        })) {}
  ~SinkRecorder() { hl::disable_log_sink(c_); }
  SinkRecorder(const SinkRecorder&) = delete;
  SinkRecorder& operator=(const SinkRecorder&) = delete;
  std::vector<Line> lines;

 private:
  boost::signals2::connection c_;
};

bool fullMatch(const std::string& text, const std::string& re) {
  return std::regex_match(text, std::regex(re));
}

TEST(ConsoleColor, EscapeSequencesPerCode) {
  struct Case {
    int code;
    std::string expected;
  };
  // Background first at default, then foreground codes, then backgrounds,
  // each on the colour memory the previous one left.
  const std::vector<Case> cases = {
      {-1, "0;39;49"}, {-2, "0;39;49"}, {0, "0;30;49"},  {1, "0;34;49"},  {2, "0;32;49"},
      {3, "0;36;49"},  {4, "0;31;49"},  {5, "0;35;49"},  {6, "0;33;49"},  {7, "0;37;49"},
      {8, "1;30;49"},  {9, "1;34;49"},  {10, "1;32;49"}, {12, "1;31;49"}, {13, "1;35;49"},
      {14, "1;33;49"}, {15, "1;37;49"}, {16, "1;37;40"}, {17, "1;37;44"}, {20, "1;37;41"},
      {28, "1;37;41"}, {30, "1;37;43"}, {31, "1;37;47"}, {99, "1;37;47"}, {-1, "0;39;47"},
      {-2, "0;39;49"},
  };
  for (const Case& c : cases) {
    CoutCapture cap;
    std::ostringstream other;
    std::ostream& returned = other << con_color(c.code);
    EXPECT_EQ(&returned, &other);
    EXPECT_EQ(other.str(), "") << "the sequence goes to standard output";
    EXPECT_EQ(cap.text(), esc(c.expected)) << "code " << c.code;
  }
}

TEST(ConsoleColor, NamedConstantsOfTheLevels) {
  CoutCapture cap;
  std::cout << hades::con_colors::ccb_default << hades::con_colors::ccf_lightred
            << hades::con_colors::ccf_white << hades::con_colors::ccf_default;
  EXPECT_EQ(cap.text(), esc("0;39;49") + esc("1;31;49") + esc("1;37;49") + esc("0;39;49"));
}

TEST(Logging, LevelTags) {
  EXPECT_EQ(hl::to_string(hl::error), "ERR");
  EXPECT_EQ(hl::to_string(hl::warning), "WRN");
  EXPECT_EQ(hl::to_string(hl::info), "INF");
  EXPECT_EQ(hl::to_string(hl::debug), "DBG");
  EXPECT_EQ(hl::to_string(hl::dump), "DMP");
  EXPECT_EQ(hl::to_string(static_cast<hl::log_level>(5)), "UNK");
  EXPECT_EQ(hl::to_string(static_cast<hl::log_level>(-1)), "UNK");
}

TEST(Logging, ConsoleLineInColoursOnATerminal) {
  std::string before;
  {
    CoutCapture cap;
    hl::__log(hl::info, "probe", "x.cpp", 1);
    before = cap.text();
  }
  hl::enable_console_log("");
  TerminalOn terminal(STDOUT_FILENO, true);
  ASSERT_TRUE(terminal.active());
  CoutCapture cap;
  hl::__log(hl::info, "USB: Enumerate", "dir/file.cpp", 12);
  const std::string expected = escRe("1;37;49") + kStamp + escRe("1;32;49") + R"( \[INF\] )" +
                               escRe("1;37;49") + "USB: Enumerate" + escRe("0;39;49") + "\n";
  // Earlier tests of this process may have connected console sinks too.
  const size_t sinks = countOf(before, "probe") + 1;
  std::string all;
  for (size_t i = 0; i < sinks; ++i) all += expected;
  EXPECT_TRUE(fullMatch(cap.text(), all)) << cap.text();
}

// Off a terminal (a file, a pipe) the same line carries no escape sequence,
// on standard output or, once switched there, on standard error.
TEST(Logging, ConsoleLineWithoutColoursOffATerminal) {
  hl::enable_console_log("");
  for (bool toError : {false, true}) {
    SCOPED_TRACE(toError ? "standard error" : "standard output");
    hl::set_console_log_stream(toError ? hl::console_stream::standard_error
                                       : hl::console_stream::standard_output);
    TerminalOn notTerminal(toError ? STDERR_FILENO : STDOUT_FILENO, false);
    ASSERT_TRUE(notTerminal.active());
    CoutCapture out;
    CerrCapture err;
    hl::__log(hl::info, "USB: Enumerate", "dir/file.cpp", 12);
    const std::string& text = toError ? err.text() : out.text();
    const std::string& other = toError ? out.text() : err.text();
    EXPECT_EQ(text.find(kEsc), std::string::npos) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("^" + kStamp + R"( \[INF\] USB: Enumerate\n)")))
        << text;
    EXPECT_EQ(other, "");
  }
  hl::set_console_log_stream(hl::console_stream::standard_output);
}

TEST(Logging, StandardErrorIsColouredOnATerminal) {
  hl::enable_console_log("");
  hl::set_console_log_stream(hl::console_stream::standard_error);
  {
    TerminalOn terminal(STDERR_FILENO, true);
    ASSERT_TRUE(terminal.active());
    CerrCapture err;
    hl::__log(hl::debug, "trace line", "f.c", 1);
    EXPECT_NE(err.text().find(esc("1;35;49") + " [DBG] " + esc("1;37;49") + "trace line"),
              std::string::npos)
        << err.text();
  }
  hl::set_console_log_stream(hl::console_stream::standard_output);
}

TEST(Logging, UnknownLevelHasNoLevelColour) {
  hl::enable_console_log("");
  TerminalOn terminal(STDOUT_FILENO, true);
  CoutCapture cap;
  hl::__log(static_cast<hl::log_level>(9), "odd", "f.c", 3);
  const std::string one = escRe("1;37;49") + kStamp + R"( \[UNK\] )" + escRe("1;37;49") + "odd" +
                          escRe("0;39;49") + "\n";
  EXPECT_TRUE(std::regex_search(cap.text(), std::regex("^" + one))) << cap.text();
}

TEST(Logging, SecondConsoleSinkDoublesLinesWithTheLastPrefix) {
  hl::enable_console_log("first");
  size_t before;
  {
    CoutCapture cap;
    hl::__log(hl::info, "count me", "f.c", 1);
    before = countOf(cap.text(), "count me");
  }
  hl::enable_console_log("second");
  CoutCapture cap;
  hl::__log(hl::info, "count me", "f.c", 1);
  EXPECT_EQ(countOf(cap.text(), "count me"), before + 1);
  EXPECT_EQ(countOf(cap.text(), "<second> count me"), before + 1);
  EXPECT_EQ(countOf(cap.text(), "<first>"), 0u);
}

TEST(Logging, SourceLocationOnlyForErrorsAndWarnings) {
  SinkRecorder rec;
  hl::__log(hl::error, "bad", "C:\\src\\x.ext", 10);
  hl::__log(hl::warning, "hm", "dir/Makefile", 7);
  hl::__log(hl::info, "fine", "dir/a.cpp", 8);
  hl::__log(hl::debug, "dbg", "dir/a.cpp", 9);
  hl::__log(hl::dump, "dmp", "dir/a.cpp", 10);
  hl::__log(static_cast<hl::log_level>(-3), "neg", "a/b.h", 2);
  ASSERT_EQ(rec.lines.size(), 6u);
  EXPECT_EQ(rec.lines[0].text, "bad [x.ext:10]");
  EXPECT_EQ(rec.lines[1].text, "hm [Makefile.:7]");
  EXPECT_EQ(rec.lines[2].text, "fine");
  EXPECT_EQ(rec.lines[3].text, "dbg");
  EXPECT_EQ(rec.lines[4].text, "dmp");
  EXPECT_EQ(rec.lines[5].text, "neg [b.h:2]");
  EXPECT_EQ(rec.lines[0].level, hl::error);
  EXPECT_EQ(rec.lines[4].level, hl::dump);
  for (const Line& l : rec.lines) EXPECT_TRUE(fullMatch(l.stamp, kStamp)) << l.stamp;
}

TEST(Logging, HostSinksInConnectionOrderAndDisconnect) {
  std::vector<std::string> calls;
  auto a = hl::enable_log_sink(
      [&](hl::log_level, const std::string&, const std::string& t) { calls.push_back("a:" + t); });
  auto b = hl::enable_log_sink(
      [&](hl::log_level, const std::string&, const std::string& t) { calls.push_back("b:" + t); });
  hl::__log(hl::info, "1", "f", 0);
  hl::disable_log_sink(a);
  hl::disable_log_sink(a);                              // already disconnected
  hl::disable_log_sink(boost::signals2::connection());  // empty
  hl::__log(hl::info, "2", "f", 0);
  hl::disable_log_sink(b);
  hl::__log(hl::info, "3", "f", 0);
  EXPECT_THAT(calls, ElementsAre("a:1", "b:1", "b:2"));
  EXPECT_THROW(hl::enable_log_sink(hl::log_sink()), std::invalid_argument);
}

TEST(Logging, ThrowingSinkStopsThisLineOnlyAndReleasesTheLock) {
  std::vector<std::string> later;
  auto thrower = hl::enable_log_sink([](hl::log_level, const std::string&, const std::string& t) {
    if (t == "boom") throw std::runtime_error("sink failed");
  });
  SinkRecorder rec;
  EXPECT_THROW(hl::__log(hl::info, "boom", "f", 0), std::runtime_error);
  EXPECT_TRUE(rec.lines.empty());
  hl::__log(hl::info, "after", "f", 0);  // would deadlock if the lock were still held
  ASSERT_EQ(rec.lines.size(), 1u);
  EXPECT_EQ(rec.lines[0].text, "after");
  hl::disable_log_sink(thrower);
}

TEST(Logging, FileSinkAppendsOnlyWithAFileName) {
  TempFile file;
  hl::set_log_filename("");
  hl::enable_file_log();
  hl::enable_debug_log();
  hl::__log(hl::info, "lost", "f", 0);
  hl::set_log_filename(file.path());
  hl::__log(hl::info, "first", "f", 0);
  hl::__log(hl::error, "second", "d/e.cpp", 5);
  hl::set_log_filename("/nonexistent-dir/qelomsr/x.log");
  EXPECT_NO_THROW(hl::__log(hl::info, "nowhere", "f", 0));
  hl::set_log_filename("");
  hl::__log(hl::info, "lost too", "f", 0);
  // Earlier tests of this process may have connected the file sink too.
  const std::string one = kStamp + R"( \[INF\] first\n)";
  const std::string two = kStamp + R"( \[ERR\] second \[e\.cpp:5\]\n)";
  EXPECT_TRUE(std::regex_match(file.contents(), std::regex("(" + one + ")+(" + two + ")+")))
      << file.contents();
}

TEST(Logging, LinesFromManyThreadsArriveWholeAndOnce) {
  std::vector<std::string> got;  // appended under the facility's lock
  auto c = hl::enable_log_sink(
      [&](hl::log_level, const std::string&, const std::string& t) { got.push_back(t); });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        const std::string text = "thread " + std::to_string(t) + " line " + std::to_string(i);
        hl::__log(hl::debug, text.c_str(), "f", 0);
      }
    });
  for (std::thread& th : threads) th.join();
  hl::disable_log_sink(c);
  ASSERT_EQ(got.size(), 800u);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(std::unique(got.begin(), got.end()), got.end());
  for (const std::string& line : got) EXPECT_TRUE(fullMatch(line, R"(thread \d line \d+)"));
}

class DateTime : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    if (tz) oldTz_ = tz;
    hadTz_ = tz != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (hadTz_)
      setenv("TZ", oldTz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string oldTz_;
  bool hadTz_ = false;
};

TEST_F(DateTime, FormatsEveryField) {
  const hades::timetls::datetimeinfo t(1614953229, 42);  // 2021-03-05 14:07:09 UTC
  EXPECT_EQ(t.format_datetime(".", ":", " "), "2021.03.05 14:07:09:042");
  EXPECT_EQ(t.format("%y-%m-%d %h|%M|%s %f %% x"), "2021-03-05 14|07|09 042 % x");
  EXPECT_EQ(hades::timetls::datetimeinfo(0, 5).format("%f"), "005");
  EXPECT_EQ(hades::timetls::datetimeinfo(0, 999).format("%f"), "999");
  EXPECT_EQ(hades::timetls::datetimeinfo(1700000000, 0).format_datetime("/", "-", "T"),
            "2023/11/14T22-13-20-000");
}

TEST_F(DateTime, UnknownSpecifierThrowsWithSourceLocation) {
  const hades::timetls::datetimeinfo t(0, 0);
  for (const char* pattern : {"%q", "ok %Y", "%"}) {
    try {
      t.format(pattern);
      ADD_FAILURE() << pattern << " accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_TRUE(fullMatch(
          e.what(), R"(Invalid format specifier in datetimeinfo::format\(\) \[timetls\.cpp:\d+\])"))
          << e.what();
    }
  }
}

TEST(PathSplit, Cases) {
  struct Case {
    std::string path, drive, directory, name, extension;
  };
  const std::vector<Case> cases = {
      {"C:\\src\\x.ext", "C:", "/src", "x", "ext"},
      {"dir/Makefile", "", "dir", "Makefile", ""},
      {"a//b\\\\c.tar.gz", "", "a/b", "c.tar", "gz"},
      {"name", "", "", "name", ""},
      {"/abs/.hidden", "", "/abs", "", "hidden"},
      {"", "", "", "", ""},
      {"C:file.txt", "C:", "", "file", "txt"},
      {"ab:c/d.e", "", "ab:c", "d", "e"},
      {"\\\\server\\share\\f.c", "", "/server/share", "f", "c"},
      {"dir.d/file", "", "dir.d", "file", ""},
      {"/trailing/", "", "/trailing", "", ""},
  };
  for (const Case& c : cases) {
    const hades::filetls::path_elements e = hades::filetls::path_split(c.path);
    EXPECT_EQ(e.drive, c.drive) << c.path;
    EXPECT_EQ(e.directory, c.directory) << c.path;
    EXPECT_EQ(e.name, c.name) << c.path;
    EXPECT_EQ(e.extension, c.extension) << c.path;
  }
}

TEST(StringReplace, NonOverlappingLeftToRight) {
  using hades::stringtls::replace;
  EXPECT_EQ(replace("////", "//", "/"), "//");
  EXPECT_EQ(replace("aaa", "aa", "b"), "ba");
  EXPECT_EQ(replace("abc", "", "x"), "abc");
  EXPECT_EQ(replace("a\\b\\c", "\\", "/"), "a/b/c");
  EXPECT_EQ(hades::filetls::unify_path("a\\\\\\/b"), "a/b");
}

}  // namespace
