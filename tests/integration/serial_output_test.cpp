// The serial output: the "Com" channel sent to a receiver-output device on a pseudo-terminal,
// first on the output list in this process, then wired into the real ORV_Serv.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/ini_file.h"
#include "common/line_socket.h"
#include "common/local_time.h"
#include "common/ticks.h"
#include "common/unique_fd.h"
#include "server/outputs/output_item.h"
#include "server/outputs/output_list.h"
#include "server/outputs/serial_output.h"
#include "tests/support/checksums.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/pty_peer.h"
#include "tests/support/queue_files.h"
#include "tests/support/queue_waits.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

constexpr int kWaitMs = 10000;
constexpr int kQuietMs = 300;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr char kDc4 = 0x14;

// The device's end of a pseudo-terminal whose other end the server opens as its port.
class PtyDevice : public test::PtyPeer {
 public:
  void send(std::string_view bytes) { ASSERT_TRUE(PtyPeer::send(bytes)); }
  // The next frame without its DC4, or "(none: ...)" when none came within the time.
  std::string frame(int timeoutMs = kWaitMs) { return PtyPeer::frame(kDc4, timeoutMs); }
  bool quiet(int ms = kQuietMs) { return PtyPeer::quiet(ms); }
};

class RecordingOperator : public OperatorQuestions {
 public:
  bool askTimed(std::string_view, int, bool safeAnswer, std::string_view) override {
    return safeAnswer;
  }
  void showMessage(std::string_view title, std::string_view text) override {
    std::lock_guard lock(lock_);
    messages.push_back(std::string(title) + ": " + std::string(text));
  }
  std::mutex lock_;
  std::vector<std::string> messages;
};

bool waitFor(const std::function<bool()>& done, int timeoutMs = kWaitMs) {
  for (uint32_t start = ticks(); ticksSince(start) < static_cast<uint32_t>(timeoutMs);) {
    if (done()) return true;
    ::usleep(5000);
  }
  return done();
}

// --- the serial output on an output list of this process --------------------------------------

class SerialOutput : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(device_.path().empty());
    ini_.emplace(dir_.write("ORV_Serv.ini", "[Ports]\nCOM6=" + device_.path() + "\n"));
    list_ = std::make_unique<tOList>(*ini_, true, dir_.path());
    ASSERT_EQ(list_->items().front()->id(), "Com");
  }
  void TearDown() override {
    output_.reset();
    list_.reset();
  }
  tOItem& com() { return *list_->items().front(); }
  void start(int64_t syncIntervalMs = 0, int com = 6) {
    SerialOutputSettings s;
    s.com = com;
    s.serial.baud = 38400;
    s.syncIntervalMs = syncIntervalMs;
    output_ = std::make_unique<TOutThrd>(*ini_, s, this->com(), operator_);
  }
  void push(std::string_view line) { list_->pushLine(line, EventKeys{}); }

  test::TempDir dir_;
  PtyDevice device_;
  std::optional<IniFile> ini_;
  RecordingOperator operator_;
  std::unique_ptr<tOList> list_;
  std::unique_ptr<TOutThrd> output_;
};

TEST_F(SerialOutput, FramesAreCutAtStarOrDc4AndEachAckRemovesItsLineInOrder) {
  push("E130*123");
  push("R401 12");
  push(
      "AB\x14"
      "CD*x");
  // The longest SyncP there is: no time sync comes in the way.
  start(int64_t{71582} * 60000);
  ASSERT_TRUE(output_->serving());
  EXPECT_EQ(com().clientCount.load(), 1);

  EXPECT_EQ(device_.frame(), "E130");
  // Until the ACK the line stays first in the queue, and nothing else goes out.
  EXPECT_TRUE(device_.quiet());
  EXPECT_EQ(com().count(), 3u);
  device_.send(std::string(1, kAck));
  EXPECT_EQ(device_.frame(), "R401 12");
  device_.send(std::string(1, kAck));
  EXPECT_EQ(device_.frame(), "AB");
  device_.send(std::string(1, kAck));
  EXPECT_TRUE(waitFor([&] { return com().count() == 0; }));

  // An idle output sends a new line at once.
  push("E999");
  EXPECT_EQ(device_.frame(), "E999");
  device_.send(std::string(1, kAck));
  EXPECT_TRUE(test::waitForQueue(dir_.path(), "Com", {}, kWaitMs));
}

TEST_F(SerialOutput, NakOrJunkSendsTheSameLineAgainAndRemovesNothing) {
  push("E130 first");
  push("E130 second");
  start();
  EXPECT_EQ(device_.frame(), "E130 first");
  device_.send(std::string(1, kNak));
  EXPECT_EQ(device_.frame(), "E130 first");
  // An ACK followed by more bytes is no acknowledgement either.
  device_.send(std::string{kAck, kAck});
  EXPECT_EQ(device_.frame(), "E130 first");
  device_.send(std::string(255, 'J'));
  EXPECT_EQ(device_.frame(), "E130 first");
  EXPECT_EQ(com().count(), 2u);

  // A device that answers junk at once, every time: the resends are paced, not a busy loop.
  int resends = 0;
  for (uint32_t start = ticks(); ticksSince(start) < 1000;) {
    device_.send(std::string(255, 'J'));
    if (device_.frame(2000) != "E130 first") break;
    ++resends;
  }
  EXPECT_GT(resends, 0);
  EXPECT_LE(resends, 30);
  EXPECT_EQ(com().count(), 2u);

  device_.send(std::string(1, kAck));
  EXPECT_EQ(device_.frame(), "E130 second");
  EXPECT_EQ(com().count(), 1u);
}

TEST_F(SerialOutput, AStaleAckBeforeTheFrameDoesNotAcknowledgeIt) {
  start();
  // A late answer to something earlier waits in the port before the next line goes out.
  device_.send(std::string(1, kAck));
  ASSERT_TRUE(waitFor([&] {
    int unread = 0;
    return ::ioctl(device_.slave(), FIONREAD, &unread) == 0 && unread > 0;
  }));
  push("E130 late");
  EXPECT_EQ(device_.frame(), "E130 late");
  EXPECT_TRUE(device_.quiet());
  EXPECT_EQ(com().count(), 1u);
  device_.send(std::string(1, kAck));
  EXPECT_TRUE(waitFor([&] { return com().count() == 0; }));
}

TEST_F(SerialOutput, AnAckToTheTimeSyncRemovesNoLine) {
  push("E130 kept");
  start(200);
  // The line is refused until the sync comes; the first sync is due one interval after start.
  std::string frame;
  for (int i = 0; i < 100; ++i) {
    frame = device_.frame();
    if (frame.rfind("systime", 0) == 0) break;
    ASSERT_EQ(frame, "E130 kept");
    device_.send(std::string(1, kNak));
  }
  ASSERT_EQ(frame.rfind("systime", 0), 0u) << frame;
  const std::optional<double> day = parseDayNumber(frame.substr(7));
  ASSERT_TRUE(day) << frame;
  EXPECT_LT(std::fabs(*day - dayNumberNow()), 1.0 / 24 / 60);  // within a minute
  device_.send(std::string(1, kAck));
  EXPECT_EQ(device_.frame(), "E130 kept");
  EXPECT_EQ(com().count(), 1u);
}

TEST_F(SerialOutput, StopEndsTheAnswerWaitAtOnceAndKeepsTheLine) {
  push("E130 unanswered");
  start();
  EXPECT_EQ(device_.frame(), "E130 unanswered");
  const uint32_t before = ticks();
  output_->stop();
  EXPECT_LT(ticksSince(before), 1000u);  // the answer wait is 5 s
  EXPECT_EQ(com().clientCount.load(), 0);
  EXPECT_EQ(com().count(), 1u);
}

TEST_F(SerialOutput, ASilentDeviceIsDetachedAndGetsTheSameFrameAfterFiveSeconds) {
  push("E130 again");
  start();
  EXPECT_EQ(device_.frame(), "E130 again");
  const uint32_t sentAt = ticks();
  EXPECT_EQ(device_.frame(TOutThrd::kReplyWaitMs + kWaitMs), "E130 again");
  EXPECT_GE(ticksSince(sentAt), static_cast<uint32_t>(TOutThrd::kReplyWaitMs - 100));
  EXPECT_EQ(com().clientCount.load(), 0);
  EXPECT_EQ(com().count(), 1u);
  device_.send(std::string(1, kAck));
  EXPECT_TRUE(waitFor([&] { return com().count() == 0 && com().clientCount.load() == 1; }));
}

TEST_F(SerialOutput, APortThatCannotBeOpenedTellsTheOperatorAndRunsNothing) {
  for (int com : {7, 0}) {
    ini_.emplace(dir_.write("ORV_Serv.ini", "[Ports]\nCOM7=" + (dir_ / "missing").string() + "\n"));
    start(0, com);
    EXPECT_FALSE(output_->serving());
    EXPECT_EQ(this->com().clientCount.load(), 0);
    output_.reset();
  }
  EXPECT_EQ(operator_.messages, (std::vector<std::string>{"Error: Cannot open Com port!",
                                                          "Error: Cannot open Com port!"}));
}

// --- wired into ORV_Serv -------------------------------------------------------------------

class SerialOutputServer : public testing::Test {
 protected:
  void start(const std::string& comPath, std::string_view out = "") {
    tcpPort_ = test::freePort();
    dir_.write("ORV_Serv.ini", "[Ports]\nCOM6=" + comPath + "\n[GPRS0]\nPort=0\n[Out]\nComOn=1\n" +
                                   "Com=6\nPort=" + std::to_string(test::freePort()) + "\n" +
                                   std::string(out) + "[TcpDrv]\nPort=" + std::to_string(tcpPort_) +
                                   "\nLine=1\n");
    std::filesystem::create_directory(dir_ / "Orv_TcpDrv");
    server_ = std::make_unique<test::Process>(
        ORV_SERV_PATH, std::vector<std::string>{"--headless", "--dir", dir_.path().string()});
    ASSERT_TRUE(server_->waitForLine("running:", kWaitMs)) << server_->output();
    ASSERT_EQ(sender_.connect("127.0.0.1", tcpPort_, 2000), 0) << server_->output();
  }
  void stopServer() {
    if (!server_) return;
    EXPECT_TRUE(test::stopsCleanly(*server_, kWaitMs));
    server_.reset();
  }
  void TearDown() override { stopServer(); }

  // Pushes an event through the TcpDrv input; true once the input acknowledged it.
  bool push(const std::string& text) {
    if (sender_.send(test::withTcpDrvChecksum(text) + "\r\n") != 0) return false;
    char b = 0;
    return sender_.receiveByte(b, kWaitMs) == 0 && b == kAck;
  }
  static std::string frameOf(const std::string& queued) {
    return queued.substr(0, queued.find('*'));
  }

  test::TempDir dir_;
  PtyDevice device_;
  uint16_t tcpPort_ = 0;
  LineSocket sender_;
  std::unique_ptr<test::Process> server_;
};

TEST_F(SerialOutputServer, PushedEventsReachTheDeviceInOrderWithHardwareHandshake) {
  start(device_.path(), "FlowCtrl=2\n");
  ASSERT_TRUE(server_->waitForOutput("serial output on COM6", kWaitMs)) << server_->output();
  termios t{};
  ASSERT_EQ(::tcgetattr(device_.slave(), &t), 0);
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);

  ASSERT_TRUE(push("5011 18 1234E13001001"));
  ASSERT_TRUE(push("5011 18 1234E13001002"));
  const std::vector<std::string> queued = test::queuedAtLeast(dir_.path(), "Com", 2, kWaitMs);
  ASSERT_EQ(queued.size(), 2u);
  for (const std::string& line : queued) {
    EXPECT_EQ(device_.frame(), frameOf(line));
    device_.send(std::string(1, kAck));
  }
  EXPECT_TRUE(test::waitForQueue(dir_.path(), "Com", {}, kWaitMs));
}

TEST_F(SerialOutputServer, UnsentLinesStayInTheQueueFileAcrossAStop) {
  start(device_.path());
  ASSERT_TRUE(push("5011 18 1234E13001001"));
  ASSERT_TRUE(push("5011 18 1234E13001002"));
  const std::vector<std::string> queued = test::queuedAtLeast(dir_.path(), "Com", 2, kWaitMs);
  EXPECT_EQ(device_.frame(), frameOf(queued.at(0)));
  // Unanswered: the server stops in the middle of the answer wait.
  stopServer();
  EXPECT_EQ(test::queuedLines(dir_.path(), "Com"), queued);

  // The next run sends them again, oldest first.
  start(device_.path());
  EXPECT_EQ(device_.frame(), frameOf(queued.at(0)));
  device_.send(std::string(1, kAck));
  EXPECT_EQ(device_.frame(), frameOf(queued.at(1)));
}

TEST_F(SerialOutputServer, APortThatCannotBeOpenedIsReportedAndTheChannelStillQueues) {
  start((dir_ / "no-such-port").string());
  EXPECT_TRUE(server_->waitForOutput("Cannot open Com port!", kWaitMs)) << server_->output();
  ASSERT_TRUE(push("5011 18 1234E13001001"));
  EXPECT_TRUE(test::waitForQueueUntil(
      dir_.path(), "Com", [](const std::vector<std::string>& q) { return q.size() == 1; },
      kWaitMs));
}

// --- orv-comsink, the device the benchmarks use ----------------------------------------------

TEST(ComsinkTool, AnswersAsToldAndDropsAnOversizedFrame) {
  test::Process sink(ORV_COMSINK_PATH, {"--pty", "--nak-every", "2", "--count", "3"});
  const std::optional<std::string> ptyLine = sink.waitForLine("pty: ", kWaitMs);
  ASSERT_TRUE(ptyLine) << sink.output();
  const std::string path = ptyLine->substr(ptyLine->find("pty: ") + 5);
  UniqueFd port(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(port.valid()) << path;
  auto answer = [&](std::string_view bytes) {
    EXPECT_EQ(::write(port.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    pollfd p{port.get(), POLLIN, 0};
    char b = 0;
    return ::poll(&p, 1, kWaitMs) == 1 && ::read(port.get(), &b, 1) == 1 ? b : '\0';
  };
  EXPECT_EQ(answer("E130\x14"), kAck);
  EXPECT_EQ(answer("E131\x14"), kNak);
  // More than 64 KiB without a DC4 is no frame; what follows its DC4 is.
  EXPECT_EQ(answer(std::string(70000, 'x') + "\x14" + "E132\x14"), kAck);
  EXPECT_EQ(sink.waitExit(kWaitMs), 0) << sink.output();
  size_t at = 0;  // the frames in order; diagnostics on stderr may come between them
  for (const char* frame : {"frame: E130\n", "frame: E131\n", "frame: E132\n"}) {
    at = sink.output().find(frame, at);
    ASSERT_NE(at, std::string::npos) << frame << sink.output();
  }
  EXPECT_NE(sink.output().find("without a DC4; dropped"), std::string::npos) << sink.output();
  EXPECT_NE(sink.output().find("frames 3 acked 2 "), std::string::npos) << sink.output();
}

}  // namespace
}  // namespace orv
