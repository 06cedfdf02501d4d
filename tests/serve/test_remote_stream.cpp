// qelomsr --broker URL stream NODE/ID: a stream of a served device written
// here, into the same files as a local stream. The emulated Ka holds DC
// values, so every row can be checked against what the device measured.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "h5_file.h"
#include "served_ka.h"
#include "vbus_control.h"

namespace qtest {
namespace {

using RemoteStream = ServedKa;

class RemoteStreamReadOnly : public ServedKa {
 protected:
  RemoteStreamReadOnly() { allowControl_ = false; }
};

class RemoteStreamManualClock : public ServedKa {
 protected:
  RemoteStreamManualClock() { manualClock_ = true; }
  void advance(const char* by) {
    ASSERT_NE(vbusControl(dir_ + "/control", std::string("clock advance ") + by).find("ok"),
              std::string::npos);
  }
  bool running() {
    return vbusControl(dir_ + "/control", "state 1-3").find("acquisition running\n") !=
           std::string::npos;
  }
};

struct Rows {
  std::vector<std::vector<double>> values;  // time, then a value per channel
  std::string comments;                     // the # lines
  std::vector<size_t> gaps;                 // rows before which frames were lost
  bool complete = true;                     // every line ends with a newline
};

Rows readCsv(const std::string& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Rows rows;
  rows.complete = text.empty() || text.back() == '\n';
  text.resize(text.rfind('\n') + 1);  // a line being written is not a row yet
  std::istringstream lines(text);
  bool header = true;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("#", 0) == 0) {
      rows.comments += line + "\n";
      if (line.rfind("# overrun", 0) == 0) rows.gaps.push_back(rows.values.size());
    } else if (header) {
      header = false;  // the column names
    } else {
      std::vector<double> row;
      std::istringstream cells(line);
      for (std::string cell; std::getline(cells, cell, ',');) row.push_back(std::stod(cell));
      rows.values.push_back(row);
    }
  }
  return rows;
}

Rows readHdf5(const std::string& path) {
  H5File file(path);
  Rows rows;
  if (!file.ok()) return rows;
  std::vector<hsize_t> dims;
  const auto time = file.dataset("time_s", &dims);
  const auto data = file.dataset("data", &dims);
  for (size_t r = 0; r < time.size(); ++r) {
    std::vector<double> row = {time[r]};
    for (size_t c = 0; c < dims[1]; ++c) row.push_back(data[r * dims[1] + c]);
    rows.values.push_back(row);
  }
  EXPECT_TRUE(file.gaps().empty()) << path;
  return rows;
}

// Row r is frame r at 100 Hz of AI-0 (1.25 V), AI-1 (AO-0 wired to it) and
// DP-0 (lines 0-3 driven, 4-7 pulled).
void expectFrames(const Rows& rows, size_t frames, double ao0Volts, int dp0) {
  ASSERT_EQ(rows.values.size(), frames);
  for (size_t r = 0; r < frames; ++r) {
    const auto& row = rows.values[r];
    ASSERT_EQ(row.size(), 4u) << "row " << r;
    EXPECT_NEAR(row[0], static_cast<double>(r) / 100.0, 1e-9) << "row " << r;
    EXPECT_NEAR(row[1], 1.25, 2e-3) << "row " << r;
    EXPECT_NEAR(row[2], ao0Volts, 5e-3) << "row " << r;
    EXPECT_EQ(row[3], dp0) << "row " << r;
  }
}

bool exists(const std::string& path) {
  struct stat s {};
  return stat(path.c_str(), &s) == 0;
}

TEST_F(RemoteStream, WritesTheFramesAskedWithWhatThePreviousCommandsSet) {
  // Set through the broker before: the stream must not reset the device.
  ok({"write", "stand3/ka", "AO-0", "2.5", "-q"});
  ok({"dio", "stand3/ka", "DP-0", "--oe", "0x0F", "--write", "0x05", "-q"});
  for (const char* name : {"s.h5", "s.csv"}) {
    const std::string path = dir_ + "/" + name;
    const std::string said = ok({"stream", "stand3/ka", "--channels", "AI-0,AI-1,DP-0", "--range",
                                 "10V", "--rate", "100", "--frames", "50", "--out", path});
    EXPECT_NE(said.find("qelomsr: 50 frames at 100 Hz (device rate)"), std::string::npos) << said;
    EXPECT_NE(said.find("qelomsr: clipped samples: AI-0 0, AI-1 0"), std::string::npos) << said;
    const Rows rows = std::string(name) == "s.csv" ? readCsv(path) : readHdf5(path);
    expectFrames(rows, 50, 2.5, 0x55);
    if (std::string(name) == "s.csv") {
      EXPECT_TRUE(rows.complete);
      EXPECT_NE(rows.comments.find("# end: 50 frames"), std::string::npos) << rows.comments;
      EXPECT_NE(rows.comments.find("# device USB:1-0-3, family Ka, serial QeloKa@KA1X-REMOTE"),
                std::string::npos)
          << rows.comments;
    }
    // The file is there: refused before anything is started.
    std::string again;
    EXPECT_EQ(tool({"stream", "stand3/ka", "--channels", "AI-0", "--rate", "100", "--frames", "5",
                    "--out", path},
                   again),
              1)
        << again;
    EXPECT_NE(again.find("exists: give --overwrite"), std::string::npos) << again;
    EXPECT_EQ(again.find("reached"), std::string::npos) << again;
  }
  // --seconds counts frames at the device's rate, as a local stream does.
  const std::string path = dir_ + "/seconds.csv";
  ok({"stream", "stand3/ka", "--channels", "AI-0,AI-1,DP-0", "--range", "10V", "--rate", "100",
      "--seconds", "0.3", "--out", path, "-q"});
  expectFrames(readCsv(path), 30, 2.5, 0x55);
}

TEST_F(RemoteStream, AStreamCutShortEndsOnCompleteRows) {
  struct Case {
    const char* how;
    int code;
    const char* says;
  };
  const Case cases[] = {
      {"SIGINT", 130, ", interrupted"},
      {"server killed", 1, "went offline"},
  };
  for (const Case& c : cases) {
    const std::string path = dir_ + "/cut" + std::to_string(runs_) + ".csv";
    Child stream(
        {kCli, "--broker", broker_.url(), "stream", "stand3/ka", "--channels", "AI-0,AI-1,DP-0",
         "--range", "10V", "--rate", "100", "--seconds", "3600", "--out", path},
        dir_ + "/tool" + std::to_string(runs_++) + ".log");
    Probe waiting(broker_.port());
    ASSERT_TRUE(waiting.waitUntil([&] { return readCsv(path).values.size() >= 20; },
                                  std::chrono::seconds(60)))
        << stream.output();
    if (std::string(c.how) == "SIGINT") {
      ::kill(stream.pid(), SIGINT);
    } else {
      server_.reset();  // SIGKILL: the broker publishes its last will
    }
    EXPECT_EQ(stream.wait(std::chrono::seconds(60)), c.code) << c.how << stream.output();
    EXPECT_NE(stream.output().find(c.says), std::string::npos) << stream.output();
    const Rows rows = readCsv(path);
    EXPECT_TRUE(rows.complete) << c.how;
    ASSERT_GE(rows.values.size(), 20u);
    expectFrames(rows, rows.values.size(), 0.0, 0x5A);
  }
}

TEST_F(RemoteStreamReadOnly, AStartTheServerRefusesIsAClearErrorAndLeavesNoFile) {
  const std::string path = dir_ + "/refused.h5";
  std::string said;
  EXPECT_EQ(tool({"stream", "stand3/ka", "--channels", "AI-0", "--rate", "100", "--frames", "10",
                  "--out", path},
                 said),
            1)
      << said;
  EXPECT_NE(said.find("--allow-control"), std::string::npos) << said;
  EXPECT_FALSE(exists(path));
}

TEST_F(RemoteStreamManualClock, AnOverrunIsAGapAtItsRowAndEndsTheStreamUnlessRestarted) {
  struct Case {
    bool restart;
    int code;
    const char* says;
  };
  const Case cases[] = {
      {true, 0, "qelomsr: 40000 frames at 1000 Hz"},
      {false, 1, "the device buffer overflowed; --restart-on-overrun"},
  };
  for (const Case& c : cases) {
    const std::string path = dir_ + "/overrun" + std::to_string(runs_) + ".csv";
    std::vector<std::string> words = {
        kCli,  "--broker", broker_.url(), "stream",   "stand3/ka", "--channels", "AI-0", "--range",
        "10V", "--rate",   "1000",        "--frames", "40000",     "--out",      path};
    if (c.restart) words.push_back("--restart-on-overrun");
    Child stream(words, dir_ + "/tool" + std::to_string(runs_++) + ".log");
    Probe waiting(broker_.port());
    // Once the device runs, one second of frames, then the clock stands until
    // they are in the file (the server sends a block every 100 ms of host
    // time): however slow the host, the device is far from the end of its
    // 40 s when the hour comes.
    ASSERT_TRUE(waiting.waitUntil([&] { return running(); })) << stream.output();
    advance("1s");
    ASSERT_TRUE(waiting.waitUntil([&] { return readCsv(path).values.size() >= 1000; }))
        << stream.output();
    // An hour without a read: the device keeps what fits in its buffer.
    advance("3600s");
    const auto finished = [&] {
      const std::string said = stream.output();
      return said.find(" frames at ") != std::string::npos ||
             said.find("error") != std::string::npos;
    };
    ASSERT_TRUE(waiting.waitUntil([&] {
      advance("2s");
      return finished();
    })) << stream.output();
    EXPECT_EQ(stream.wait(std::chrono::seconds(60)), c.code) << stream.output();
    EXPECT_NE(stream.output().find(c.says), std::string::npos) << stream.output();
    const Rows rows = readCsv(path);
    ASSERT_EQ(rows.gaps.size(), 1u) << rows.comments;
    const size_t gap = rows.gaps[0];
    EXPECT_GE(gap, 1000u);
    // Restarted: every frame asked; else nothing after the gap.
    EXPECT_EQ(c.restart ? 40000u : gap, rows.values.size());
    for (size_t r = 0; r < rows.values.size(); ++r) {
      if (r < gap) {
        EXPECT_NEAR(rows.values[r][0], static_cast<double>(r) / 1000.0, 1e-9);
      }
      if (r > 0) {
        EXPECT_GT(rows.values[r][0], rows.values[r - 1][0]) << "row " << r;
      }
      EXPECT_NEAR(rows.values[r][1], 1.25, 2e-3) << "row " << r;
    }
  }
}

}  // namespace
}  // namespace qtest
