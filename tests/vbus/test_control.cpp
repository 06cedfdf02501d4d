// The control channel: commands over the UNIX socket drive the bus.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "loopback_function.h"
#include "qsim/vbus_control.h"
#include "qsim/vbus_gtest.h"

namespace {

using qsim::vbustest::bus;
using qsim::vbustest::waitForPort;

class Control : public ::testing::Test {
 protected:
  void SetUp() override {
    if (bus().function("1-5")) bus().remove("1-5");
    function_ = std::make_shared<vbustest::LoopbackFunction>(0x3201);
    bus().addDevice("1-5", function_);
    path_ = bus().rootDir() + "/control-test.sock";
    control_ = std::make_unique<qsim::VbusControl>(
        bus(), path_, [this](const std::string& port, const std::string& name, bool on) {
          if (name != "held") throw std::invalid_argument("unknown fault " + name);
          std::lock_guard<std::mutex> lock(m_);  // written on the control thread
          lastPort_ = port;
          function_->held = on;
        });
  }
  void TearDown() override {
    control_.reset();
    bus().remove("1-5");
  }

  std::shared_ptr<vbustest::LoopbackFunction> function_;
  std::string path_;
  std::unique_ptr<qsim::VbusControl> control_;
  std::mutex m_;
  std::string lastPort_;
  std::vector<std::string> lastArgs_;
};

TEST_F(Control, CommandsOverTheSocketUnplugReplugAndSwitchFaults) {
  EXPECT_EQ(qsim::vbusControlRequest(path_, "unplug 1-5"), "ok\n");
  EXPECT_TRUE(waitForPort("1-5", false));
  const std::string listing = qsim::vbusControlRequest(path_, "list");
  EXPECT_NE(listing.find("1-5 USB:1-0-5 1209:3201 device unplugged\n"), std::string::npos)
      << listing;
  EXPECT_EQ(listing.substr(listing.size() - 3), "ok\n");
  EXPECT_EQ(qsim::vbusControlRequest(path_, "replug USB:1-0-5"), "ok\n");
  EXPECT_TRUE(waitForPort("1-5", true));
  EXPECT_EQ(qsim::vbusControlRequest(path_, "fault 1-5 held on"), "ok\n");
  EXPECT_TRUE(function_->held);
  {
    std::lock_guard<std::mutex> lock(m_);
    EXPECT_EQ(lastPort_, "1-5");
  }
  EXPECT_EQ(qsim::vbusControlRequest(path_, "fault 1-5 held off"), "ok\n");
  EXPECT_FALSE(function_->held);
}

TEST_F(Control, BadCommandsAreAnsweredWithErrors) {
  for (const char* bad :
       {"frobnicate", "unplug", "unplug 1-5 extra", "unplug 1-77", "unplug x", "fault 1-5 held",
        "fault 1-5 held maybe", "fault 1-5 nosuch on", "fault 1-6 held on", "list more"}) {
    const std::string reply = control_->execute(bad);
    EXPECT_EQ(reply.compare(0, 6, "error "), 0) << bad << " -> " << reply;
    EXPECT_EQ(reply.back(), '\n');
  }
}

TEST_F(Control, CommandsAddedByTheHostGetTheirWords) {
  control_->addCommand("echo", [this](const std::vector<std::string>& args) {
    std::lock_guard<std::mutex> lock(m_);  // runs on the control thread
    lastArgs_ = args;
    if (args.empty()) throw std::invalid_argument("nothing to echo");
    std::string out;
    for (const auto& a : args) out += a + "\n";
    return out;
  });
  control_->addCommand("quiet", [](const std::vector<std::string>&) { return std::string("x"); });
  EXPECT_EQ(qsim::vbusControlRequest(path_, "echo  a  b"), "a\nb\nok\n");
  {
    std::lock_guard<std::mutex> lock(m_);
    EXPECT_EQ(lastArgs_, (std::vector<std::string>{"a", "b"}));
  }
  EXPECT_EQ(qsim::vbusControlRequest(path_, "echo"), "error nothing to echo\n");
  EXPECT_EQ(control_->execute("quiet"), "x\nok\n") << "the reply ends its last line";
  // The built-in commands come first.
  control_->addCommand("list", [](const std::vector<std::string>&) { return std::string(); });
  EXPECT_NE(control_->execute("list").find("1-5 USB:1-0-5"), std::string::npos);
}

TEST_F(Control, SeveralCommandsOnOneConnectionAndLongLines) {
  // Two commands on one connection, answered in order.
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const std::string two = "kick 1-5\nbogus\n";
  ASSERT_EQ(send(fd, two.data(), two.size(), 0), static_cast<ssize_t>(two.size()));
  std::string reply;
  ASSERT_TRUE(qsim::vbustest::waitUntil([&] {
    char buf[256];
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) reply.append(buf, static_cast<size_t>(n));
    return reply.find("error") != std::string::npos && reply.back() == '\n';
  }));
  close(fd);
  EXPECT_EQ(reply, "ok\nerror unknown command: bogus\n");
  EXPECT_EQ(qsim::vbusControlRequest(path_, std::string(5000, 'x')), "error line too long\n");
  EXPECT_THROW(qsim::vbusControlRequest(bus().rootDir() + "/nothing.sock", "list"),
               std::runtime_error);
}

}  // namespace
