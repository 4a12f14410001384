#include "common/line_socket.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <latch>
#include <string>
#include <thread>
#include <vector>

namespace orv {
namespace {

constexpr int kWait = 5000;  // bound for anything that is expected to happen
constexpr int kShort = 30;   // for a receive that must time out: nothing more is on its way

// Waits until new bytes can be read, so that a short receive after it is certain to see them.
void waitReadable(const LineSocket& s) {
  pollfd p{s.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, kWait), 1) << "nothing arrived";
}

std::string terminatorOf(LineEnd end) {
  switch (end) {
    case LineEnd::Cr:
      return "\r";
    case LineEnd::CrLf:
      return "\r\n";
    case LineEnd::Dc4:
      return std::string(1, kDc4);
  }
  return {};
}

// A connected pair on loopback: `client` connected to `listener`, `server` its accepted end.
class LineSocketTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(listener.listen(0, "test listener"), 0);
    ASSERT_NE(listener.localPort(), 0);
    ASSERT_EQ(client.connect("127.0.0.1", listener.localPort(), kWait), 0);
    ASSERT_TRUE(listener.waitForConnection(kWait));
    ASSERT_EQ(listener.accept(server), 0);
  }

  // One segment from the client, there for the server to read when this returns.
  void deliver(std::string_view data) {
    ASSERT_EQ(client.send(data), 0);
    waitReadable(server);
  }

  std::string receive(LineEnd end = LineEnd::CrLf) {
    std::string line;
    EXPECT_EQ(server.receiveLine(line, end, kWait), 0);
    return line;
  }

  void expectNothingMore(LineEnd end = LineEnd::CrLf) {
    std::string line = "untouched";
    EXPECT_EQ(server.receiveLine(line, end, kShort), kWsaTimedOut);
    EXPECT_EQ(line, "");
    EXPECT_EQ(server.lastError(), kWsaTimedOut);
  }

  LineSocket listener, server, client;
};

TEST_F(LineSocketTest, BothEndsKnowTheirPeer) {
  EXPECT_EQ(server.peerAddress(), "127.0.0.1");
  EXPECT_EQ(server.peerPort(), client.localPort());
  EXPECT_EQ(client.peerPort(), listener.localPort());
}

TEST_F(LineSocketTest, TimedOutReceiveKeepsThePartialLine) {
  deliver("hel");
  expectNothingMore();
  EXPECT_EQ(server.bufferedBytes(), 3u);
  EXPECT_TRUE(server.isOpen());
  deliver("lo\r\n");
  EXPECT_EQ(receive(), "hello");
  EXPECT_EQ(server.bufferedBytes(), 0u);
}

TEST_F(LineSocketTest, TerminatorSplitAcrossSegmentsIsFound) {
  deliver("abc\r");
  expectNothingMore();
  deliver("\n");
  EXPECT_EQ(receive(), "abc");

  // The first CR is data; the terminator is the CR LF that spans both segments.
  deliver("ab\r");
  expectNothingMore();
  deliver("\r\n");
  EXPECT_EQ(receive(), "ab\r");
}

TEST_F(LineSocketTest, ChangingTheTerminatorSearchesTheBufferedBytesAgain) {
  deliver(std::string("ab") + kDc4 + "cd");
  expectNothingMore(LineEnd::CrLf);
  std::string line;
  EXPECT_EQ(server.receiveLine(line, LineEnd::Dc4, kShort), 0);
  EXPECT_EQ(line, "ab");
  EXPECT_EQ(server.bufferedBytes(), 2u);
}

TEST_F(LineSocketTest, ReceiveByteTakesBufferedBytesFirst) {
  deliver("xy\r\nz");
  EXPECT_EQ(receive(), "xy");
  EXPECT_EQ(server.bufferedBytes(), 1u);
  deliver("w");
  char byte = 0;
  ASSERT_EQ(server.receiveByte(byte, kWait), 0);
  EXPECT_EQ(byte, 'z');
  ASSERT_EQ(server.receiveByte(byte, kWait), 0);
  EXPECT_EQ(byte, 'w');
  EXPECT_EQ(server.receiveByte(byte, kShort), kWsaTimedOut);

  // A byte taken from a partly searched line leaves the rest of it intact.
  deliver("ab");
  expectNothingMore();
  ASSERT_EQ(server.receiveByte(byte, kWait), 0);
  EXPECT_EQ(byte, 'a');
  deliver("\r\n");
  EXPECT_EQ(receive(), "b");
}

TEST_F(LineSocketTest, PeerCloseIsConnResetAfterTheLastFullLine) {
  ASSERT_EQ(client.send("last\r\npartial"), 0);
  client.close();
  EXPECT_EQ(receive(), "last");
  std::string line;
  EXPECT_EQ(server.receiveLine(line, LineEnd::CrLf, kWait), kWsaConnReset);
  EXPECT_EQ(server.lastError(), 10054);
  // What the peer sent before closing is still there to read.
  char byte = 0;
  EXPECT_EQ(server.receiveByte(byte, kWait), 0);
  EXPECT_EQ(byte, 'p');
}

TEST_F(LineSocketTest, ShutdownFromAnotherThreadEndsABlockingReceive) {
  std::latch blocking(1);
  int result = 0;
  std::jthread reader([&] {
    std::string line;
    server.receiveLine(line, LineEnd::CrLf, kWait);  // the "go" line
    blocking.count_down();
    result = server.receiveLine(line, LineEnd::CrLf, 4 * kWait);
  });
  ASSERT_EQ(client.send("go\r\n"), 0);
  blocking.wait();
  server.shutdown();
  reader.join();
  EXPECT_EQ(result, kWsaConnReset);
  std::string line;
  EXPECT_EQ(client.receiveLine(line, LineEnd::CrLf, kWait), kWsaConnReset);
}

struct FramingCase {
  LineEnd end;
  std::string wire;
  std::vector<std::string> lines;
};

class LineSocketFraming : public LineSocketTest, public testing::WithParamInterface<FramingCase> {};

TEST_P(LineSocketFraming, OneSegmentGivesOneLinePerCall) {
  const FramingCase& c = GetParam();
  deliver(c.wire);
  for (const std::string& expected : c.lines) EXPECT_EQ(receive(c.end), expected);
  expectNothingMore(c.end);
  EXPECT_EQ(server.bufferedBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Terminators, LineSocketFraming,
    testing::Values(FramingCase{LineEnd::CrLf,
                                "one\r\ntwo\rstill two\r\n\r\nlast\r\n",
                                {"one", "two\rstill two", "", "last"}},
                    FramingCase{LineEnd::Cr, "one\rtwo\r\r", {"one", "two", ""}},
                    FramingCase{LineEnd::Dc4, "one\x14two\r\nthree\x14", {"one", "two\r\nthree"}}));

class LineSocketLimit : public LineSocketTest, public testing::WithParamInterface<LineEnd> {
 protected:
  // A peer thread, as the receiver may stop reading before everything is sent.
  void sendFromPeer(std::string data) {
    peer = std::jthread([this, data = std::move(data)] { client.send(data, kWait); });
  }
  std::jthread peer;
};

TEST_P(LineSocketLimit, LineOfExactlyTheLimitIsAccepted) {
  const std::string term = terminatorOf(GetParam());
  sendFromPeer(std::string(LineSocket::kMaxLine, 'y') + term + "next" + term);
  EXPECT_EQ(receive(GetParam()), std::string(LineSocket::kMaxLine, 'y'));
  EXPECT_EQ(receive(GetParam()), "next");
}

TEST_P(LineSocketLimit, OneByteMoreClosesTheConnectionWithADiagnostic) {
  const std::string peerPort = std::to_string(client.localPort());
  testing::internal::CaptureStderr();
  sendFromPeer(std::string(LineSocket::kMaxLine + 1, 'y') + terminatorOf(GetParam()));
  std::string line;
  const int result = server.receiveLine(line, GetParam(), kWait);
  peer.join();
  const std::string diagnostic = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, kErrLineTooLong);
  EXPECT_EQ(server.lastError(), kErrLineTooLong);
  EXPECT_FALSE(server.isOpen());
  EXPECT_EQ(server.bufferedBytes(), 0u);
  EXPECT_NE(diagnostic.find("127.0.0.1:" + peerPort), std::string::npos) << diagnostic;
}

INSTANTIATE_TEST_SUITE_P(Terminators, LineSocketLimit,
                         testing::Values(LineEnd::Cr, LineEnd::CrLf, LineEnd::Dc4));

TEST_F(LineSocketTest, ListenOnAPortInUseNamesThePort) {
  const uint16_t port = listener.localPort();
  LineSocket second;
  testing::internal::CaptureStderr();
  EXPECT_EQ(second.listen(port, "GPRS0"), kWsaAddressInUse);
  const std::string diagnostic = testing::internal::GetCapturedStderr();
  EXPECT_EQ(second.lastError(), 10048);
  EXPECT_FALSE(second.isOpen());
  EXPECT_NE(diagnostic.find("GPRS0"), std::string::npos) << diagnostic;
  EXPECT_NE(diagnostic.find("port " + std::to_string(port)), std::string::npos) << diagnostic;
}

TEST(LineSocketConnect, ClosedPortIsRefused) {
  LineSocket probe;
  ASSERT_EQ(probe.listen(0, "probe"), 0);
  const uint16_t port = probe.localPort();
  probe.close();
  LineSocket socket;
  EXPECT_EQ(socket.connect("127.0.0.1", port, kWait), kWsaConnRefused);
  EXPECT_FALSE(socket.isOpen());
  std::string line;
  EXPECT_EQ(socket.receiveLine(line, LineEnd::CrLf, kShort), kWsaNotConnected);
  EXPECT_EQ(socket.send("x"), kWsaNotConnected);
}

}  // namespace
}  // namespace orv
