#include "client/tcp_echo_thrd.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "tests/support/temp_dir.h"

namespace orv {
namespace {

constexpr int kWait = 5000;  // bound for anything that is expected to happen

bool waitUntil(const std::function<bool()>& done, int ms = kWait) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::vector<std::string> linesOf(tChannelBuffers& b) {
  return b.withLines(
      [](std::deque<std::string>& l) { return std::vector<std::string>(l.begin(), l.end()); });
}

EchoTimings fast() {
  EchoTimings t;
  t.afterConnectMs = 0;
  t.bannerMs = 300;
  t.receiveMs = 100;
  t.reconnectPauses = 1;
  t.reconnectPauseMs = 20;
  t.lifeStart = 50;
  return t;
}

// The server end of the output port: accepts the library and plays the server's part.
class FakeServer {
 public:
  FakeServer() { EXPECT_EQ(listener.listen(0, "fake output server"), 0); }
  uint16_t port() const { return listener.localPort(); }

  // Accepts one connection, sends the banner and returns the channel name.
  std::string attach() {
    EXPECT_TRUE(listener.waitForConnection(kWait));
    EXPECT_EQ(listener.accept(peer), 0);
    EXPECT_EQ(peer.send("IP-Server V0.0\r\n"), 0);
    return receive();
  }
  std::string receive(int ms = kWait) {
    std::string line;
    last = peer.receiveLine(line, LineEnd::CrLf, ms);
    return line;
  }
  // Sends a line and returns the client's reply.
  std::string exchange(const std::string& line) {
    EXPECT_EQ(peer.send(line + "\r\n"), 0);
    return receive();
  }

  LineSocket listener;
  LineSocket peer;
  int last = 0;
};

class EchoThreadTest : public testing::Test {
 protected:
  void start(EchoTimings t = fast()) {
    thread =
        std::make_unique<TTCPEchoThrd>(buffers, "127.0.0.1", server.port(), "Bank", dir.path(), t);
  }
  void TearDown() override { thread.reset(); }

  test::TempDir dir;
  FakeServer server;
  tChannelBuffers buffers;
  std::unique_ptr<TTCPEchoThrd> thread;
};

TEST_F(EchoThreadTest, AcknowledgesEveryLineOnceAndBuffersIt) {
  ASSERT_TRUE(buffers.addCommand("16:1234:XYZ"));
  start();
  EXPECT_EQ(server.attach(), "Bank");
  EXPECT_EQ(server.exchange("1011      0000 R  51"), "0")
      << "the server ignores this reply, so the command must wait";
  EXPECT_EQ(server.exchange("systime46001.5"), "0") << "nor may it ride on a time sync";
  EXPECT_EQ(server.exchange("5011 181234E13001003"), "016:1234:XYZ");
  EXPECT_EQ(server.exchange("@"), "0");
  EXPECT_EQ(server.exchange("S01A[#12|Nri1/ba01]"), "0");
  EXPECT_EQ(server.exchange("3011      1234ri a"), "0");
  EXPECT_EQ(server.exchange("5abc"), "0");
  ASSERT_TRUE(waitUntil([&] { return buffers.lineCount() == 7; }));
  EXPECT_EQ(linesOf(buffers), (std::vector<std::string>{
                                  "1011      0000 R  51", "SYSTIME46001.5", "5011 181234E13001003",
                                  "@", "S01A[#12|Nri1/ba01]", "3011      1234ri a", "5ABC"}));
  std::vector<HostRow> rows = buffers.hosts();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].ip, "127.0.0.1");
  EXPECT_EQ(rows[0].lastMessage, "5abc");
  EXPECT_EQ(rows[0].mCnt, fast().lifeStart);

  const std::string log = test::readFile(TenDayLog(dir.path()).currentFile());
  EXPECT_EQ(
      log,
      "1011      0000 R  51\r\nsystime46001.5\r\n5011 181234E13001003\r\nS01A[#12|Nri1/ba01]\r\n"
      "3011      1234ri a\r\n5abc\r\n")
      << "everything but heartbeats, as received";
  EXPECT_EQ(server.receive(150), "");
  EXPECT_EQ(server.last, kWsaTimedOut) << "exactly one reply per line";
}

TEST_F(EchoThreadTest, SendsCommandsAloneWhileTheServerIsIdle) {
  start();
  server.attach();
  server.exchange("1011      0000 R  51");
  ASSERT_TRUE(buffers.addCommand("16:1234:XYZ\r\n0"));
  EXPECT_EQ(server.receive(), "016:1234:XYZ") << "a line break cannot start a second reply";
  EXPECT_EQ(server.receive(300), "");
  EXPECT_EQ(server.last, kWsaTimedOut);
  EXPECT_FALSE(buffers.hasCommand());
}

TEST_F(EchoThreadTest, NoCommandAloneWhileALineIsHalfIn) {
  start();
  server.attach();
  server.exchange("1011      0000 R  51");
  ASSERT_EQ(server.peer.send("5011 1812"), 0);
  ASSERT_TRUE(buffers.addCommand("16:1234:XYZ"));
  EXPECT_EQ(server.receive(400), "");
  EXPECT_EQ(server.last, kWsaTimedOut) << "several receive time-outs pass";
  EXPECT_EQ(server.exchange("34E13001003"), "016:1234:XYZ")
      << "the command rides on the acknowledgement";
}

TEST_F(EchoThreadTest, ThreeFailedAttemptsReportTheLinkOnceAndTheNextConnectReportsItBack) {
  start();
  // Attempts that end before the banner: accepted and closed at once.
  for (int attempts = 0; attempts < 6; ++attempts) {
    ASSERT_TRUE(server.listener.waitForConnection(kWait));
    LineSocket c;
    ASSERT_EQ(server.listener.accept(c), 0);
    c.close();
  }
  ASSERT_TRUE(waitUntil([&] { return buffers.lineCount() >= 1; }));
  EXPECT_EQ(linesOf(buffers), std::vector<std::string>{kLinkLostLine});
  EXPECT_EQ(server.attach(), "Bank");
  ASSERT_TRUE(waitUntil([&] { return buffers.lineCount() == 2; }));
  EXPECT_EQ(linesOf(buffers)[1], kLinkBackLine);
}

TEST_F(EchoThreadTest, SilentServerIsLeftAndReconnected) {
  EchoTimings t = fast();
  t.lifeStart = 3;  // three receive time-outs without a line
  start(t);
  server.attach();
  EXPECT_EQ(server.exchange("5011 181234E13001003"), "0");
  const auto quiet = std::chrono::steady_clock::now();
  server.receive();
  EXPECT_NE(server.last, 0) << "the client closed";
  EXPECT_GE(std::chrono::steady_clock::now() - quiet, std::chrono::milliseconds(250));
  EXPECT_TRUE(buffers.hosts().empty());
  EXPECT_EQ(server.attach(), "Bank") << "reconnected at once";
  EXPECT_EQ(linesOf(buffers), std::vector<std::string>{"5011 181234E13001003"})
      << "no failure to report";
}

TEST_F(EchoThreadTest, EndlessLineEndsTheConnectionWithoutBufferingIt) {
  start();
  server.attach();
  const std::string chunk(64 * 1024, 'x');
  int err = 0;
  for (int i = 0; i < 160 && err == 0; ++i) err = server.peer.send(chunk, 2000);  // up to 10 MiB
  EXPECT_NE(err, 0) << "the client went away";
  EXPECT_EQ(server.attach(), "Bank");
  EXPECT_EQ(buffers.lineCount(), 0u);
}

TEST_F(EchoThreadTest, StopsAtOnceWhileWaitingForALine) {
  EchoTimings t = fast();
  t.receiveMs = 60000;
  start(t);
  server.attach();
  const auto begin = std::chrono::steady_clock::now();
  thread->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
  EXPECT_TRUE(buffers.hosts().empty());
}

TEST(EchoThreadLimitTest, FullBufferLeavesLinesWithTheServerUntilTheHostTakesSome) {
  test::TempDir dir;
  FakeServer server;
  tChannelBuffers buffers(3);
  EchoTimings t = fast();
  t.slowDownAbove = 1000;
  TTCPEchoThrd thread(buffers, "127.0.0.1", server.port(), "Bank", dir.path(), t);
  server.attach();
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(server.exchange("5011 181234E1300100" + std::to_string(i)), "0");
  EXPECT_EQ(server.peer.send("5011 181234E13001003\r\n"), 0);
  EXPECT_EQ(server.receive(300), "");
  EXPECT_EQ(server.last, kWsaTimedOut) << "not acknowledged while the buffer is full";
  EXPECT_EQ(buffers.lineCount(), 3u);
  buffers.withLines([](std::deque<std::string>& l) { l.pop_front(); });
  EXPECT_EQ(server.receive(), "0");
  ASSERT_TRUE(waitUntil([&] { return buffers.lineCount() == 3; }));
  EXPECT_EQ(linesOf(buffers).back(), "5011 181234E13001003");
}

TEST(ChannelBuffersTest, CommandsAreCutAtLineBreaksAndBounded) {
  tChannelBuffers b;
  EXPECT_TRUE(b.addCommand("1:AB\n0"));
  EXPECT_EQ(b.takeCommand(), "1:AB");
  EXPECT_FALSE(b.addCommand(""));
  EXPECT_FALSE(b.addCommand("\r\n1:AB"));
  EXPECT_FALSE(b.hasCommand());
  EXPECT_FALSE(b.addCommand(std::string(tChannelBuffers::kMaxCommand + 1, 'x')));
  for (size_t i = 0; i < tChannelBuffers::kMaxCommands; ++i) ASSERT_TRUE(b.addCommand("c"));
  EXPECT_FALSE(b.addCommand("one too many"));
  b.pushLine(std::string(1000, 'y'));
  EXPECT_EQ(linesOf(b)[0].size(), tChannelBuffers::kMaxLineKept);
}

}  // namespace
}  // namespace orv
