// Comlan --headless between the real ORV_Serv (one output channel) and a device on a
// pseudo-terminal made by the test.

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/line_socket.h"
#include "common/ticks.h"
#include "common/unique_fd.h"
#include "tests/support/pty_peer.h"
#include "tests/support/module_peer.h"
#include "tests/support/output_peer.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/queue_waits.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

constexpr int kStartMs = 15000;
constexpr int kWaitMs = 10000;
constexpr int kExitMs = 10000;
// The server drops a connection that leaves a line unanswered for 5 s; Comlan connects again.
constexpr int kResendMs = 20000;

constexpr const char* kChannelAnswer = test::kChannelFound;
constexpr const char* kLinkLine = "5011 181234  FF     ";
constexpr const char* kEvent = "M06,1234,13001015:081226 101112";
constexpr const char* kEventLine = "5011 181234E13001015";
constexpr const char* kDatedEventLine = "5011 181234E1300101510:11:12-08/12";

// The device end of a pseudo-terminal.
class Device : public test::PtyPeer {
 public:
  const std::string& name() const { return path(); }
  std::string frame(int timeoutMs = kWaitMs) { return PtyPeer::frame(kDc4, timeoutMs); }
  void answer(char byte) { send(std::string_view(&byte, 1)); }
  // Takes the next frame, answers it, and returns it.
  std::string take(char reply = kAck) {
    std::string f = frame();
    answer(reply);
    return f;
  }
};

class Comlan : public testing::Test {
 protected:
  bool startServer() {
    for (int attempt = 0; attempt < 3; ++attempt) {
      gprsPort_ = test::freePort();
      outPort_ = test::freePort();
      if (gprsPort_ == 0 || outPort_ == 0 || gprsPort_ == outPort_) continue;
      serverDir_.write("ORV_Serv.ini",
                       "[Options]\nU_Fl=0\n[GPRS0]\nPort=" + std::to_string(gprsPort_) +
                           "\nLine=1\n[Out]\nPort=" + std::to_string(outPort_) +
                           "\n[Client0]\nId=Bank\n");
      if (launchServer()) return true;
      if (HasFailure()) return false;
      stopServer();
    }
    ADD_FAILURE() << "no free ports could be bound";
    return false;
  }
  bool launchServer() {
    server_ = std::make_unique<test::Process>(
        ORV_SERV_PATH, std::vector<std::string>{"--headless", "--dir", serverDir_.path().string()});
    if (!server_->waitForLine("running:", kStartMs)) {
      ADD_FAILURE() << "the server did not start:\n" << server_->output();
      return false;
    }
    return server_->output().find("output server listening on port " + std::to_string(outPort_) +
                                  "\n") != std::string::npos;
  }
  void stopServer() {
    if (!server_) return;
    server_->signal(SIGTERM);
    EXPECT_TRUE(server_->waitExit(kExitMs).has_value());
    serverLog_ += server_->output();
    server_.reset();
  }

  void startComlan(uint16_t port, const std::string& opt = "") {
    comlanDir_.write("Comlan.ini", "[Com]\nPort=3\nBaudRate=115200\n[TCP]\nHost=127.0.0.1\nPort=" +
                                       std::to_string(port) + "\nId=Bank\n[Opt]\n" + opt +
                                       "[Ports]\nCOM3=" + device_.name() + "\n");
    comlan_ = std::make_unique<test::Process>(
        COMLAN_PATH, std::vector<std::string>{"--headless", "--dir", comlanDir_.path().string()});
    ASSERT_TRUE(comlan_->waitForLine("running: bridging", kStartMs)) << comlan_->output();
  }

  // Connects a module that feeds the channel; its link line comes first.
  testing::AssertionResult connectFeeder() {
    testing::AssertionResult connected = feeder_.connect(gprsPort_);
    if (!connected) return connected;
    return feeder_.identify("a1234,1234");
  }
  testing::AssertionResult push(const char* event) {
    const std::string answer = feeder_.say(event);
    if (answer == "0") return testing::AssertionSuccess();
    return testing::AssertionFailure() << "event answered '" << answer << "'";
  }

  void TearDown() override {
    if (comlan_) {
      comlan_->signal(SIGTERM);
      EXPECT_EQ(comlan_->waitExit(kExitMs), std::optional<int>(0)) << "Comlan after SIGTERM";
    }
    stopServer();
    if (HasFailure()) {
      std::printf("--- ORV_Serv ---\n%s--- Comlan ---\n%s--- end ---\n", serverLog_.c_str(),
                  comlan_ ? comlan_->output().c_str() : "");
    }
  }

  // A server and Comlan bridging its channel Bank, with a module connected to feed it: the channel
  // answer and the module's link line have reached the device and been taken.
  void bridgeWithFeeder(const std::string& opt = "") {
    ASSERT_TRUE(startServer());
    startComlan(outPort_, opt);
    EXPECT_EQ(device_.take(), kChannelAnswer);
    ASSERT_TRUE(connectFeeder());
    EXPECT_EQ(device_.take(), kLinkLine);
  }

  test::TempDir serverDir_;
  test::TempDir comlanDir_;
  Device device_;
  test::ModulePeer feeder_;
  std::unique_ptr<test::Process> server_;
  std::unique_ptr<test::Process> comlan_;
  std::string serverLog_;
  uint16_t gprsPort_ = 0;
  uint16_t outPort_ = 0;
};

TEST_F(Comlan, DatedLinesReachTheDeviceWithoutTheirDateAndLeaveTheQueueOnAck) {
  ASSERT_NO_FATAL_FAILURE(bridgeWithFeeder());
  EXPECT_NE(comlan_->output().find("Comlan  Port=" + std::to_string(outPort_) + " host=127.0.0.1"),
            std::string::npos);
  ASSERT_TRUE(push(kEvent));
  EXPECT_EQ(device_.take(), kEventLine);
  EXPECT_TRUE(test::waitForQueue(serverDir_.path(), "Bank", {}, kWaitMs));
}

TEST_F(Comlan, RemoveDtOffSendsTheDateAlong) {
  ASSERT_NO_FATAL_FAILURE(bridgeWithFeeder("RemoveDt=0\n"));
  ASSERT_TRUE(push(kEvent));
  EXPECT_EQ(device_.take(), kDatedEventLine);
  EXPECT_TRUE(test::waitForQueue(serverDir_.path(), "Bank", {}, kWaitMs));
}

TEST_F(Comlan, ANakKeepsTheLineForTheNextConnection) {
  ASSERT_NO_FATAL_FAILURE(bridgeWithFeeder());
  ASSERT_TRUE(push(kEvent));
  EXPECT_EQ(device_.take(kNak), kEventLine);
  EXPECT_TRUE(test::waitForQueue(serverDir_.path(), "Bank", {kDatedEventLine}, kWaitMs));
  // The server gives up on the connection, Comlan connects again and gets the line again.
  EXPECT_EQ(device_.frame(kResendMs), kChannelAnswer);
  device_.answer(kAck);
  EXPECT_EQ(device_.take(), kEventLine);
  EXPECT_TRUE(test::waitForQueue(serverDir_.path(), "Bank", {}, kWaitMs));
}

TEST_F(Comlan, AServerRestartIsSurvivedWithoutLoss) {
  ASSERT_NO_FATAL_FAILURE(bridgeWithFeeder());
  ASSERT_TRUE(push(kEvent));
  EXPECT_EQ(device_.take(kNak), kEventLine);  // still queued when the server goes
  EXPECT_TRUE(test::waitForQueue(serverDir_.path(), "Bank", {kDatedEventLine}, kWaitMs));

  stopServer();
  ASSERT_TRUE(launchServer()) << "the ports of the first run were taken";
  EXPECT_EQ(device_.frame(kResendMs), kChannelAnswer);
  device_.answer(kAck);
  EXPECT_EQ(device_.take(), kEventLine);
  EXPECT_TRUE(test::waitForQueue(serverDir_.path(), "Bank", {}, kWaitMs));
}

TEST_F(Comlan, HeartbeatsAndTimeSyncsAreAnswered) {
  LineSocket listener;
  ASSERT_EQ(listener.listen(0, "stand-in output server"), 0);
  startComlan(listener.localPort());
  ASSERT_TRUE(listener.waitForConnection(kWaitMs));
  LineSocket conn;
  ASSERT_EQ(listener.accept(conn), 0);
  conn.send(std::string(test::kOutputBanner) + "\r\n");
  std::string line;
  ASSERT_EQ(conn.receiveLine(line, LineEnd::CrLf, kWaitMs), 0);
  EXPECT_EQ(line, "Bank");

  // With SyncFl off the clock is left alone, and the line answered.
  conn.send("systime46001.5\r\n");
  ASSERT_EQ(conn.receiveLine(line, LineEnd::CrLf, kWaitMs), 0);
  EXPECT_EQ(line, "0");
  EXPECT_EQ(comlan_->output().find("SetLocalTime"), std::string::npos);

  // The heartbeat is the test line on the device, answered once the device ACKs it.
  conn.send("@\r\n");
  EXPECT_EQ(device_.take(), "1011           @    ");
  ASSERT_EQ(conn.receiveLine(line, LineEnd::CrLf, kWaitMs), 0);
  EXPECT_EQ(line, "0");
}

}  // namespace
}  // namespace orv
