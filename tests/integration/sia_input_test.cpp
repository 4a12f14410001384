// The SIA DC-09 receiver of the real ORV_Serv: frames in, answers out, known messages queued.
//
// The frames are built here with a CRC of the test's own, so that a fault in the receiver's CRC
// or framing is not mirrored by the test.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include "common/line_socket.h"
#include "common/ticks.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/queue_waits.h"
#include "tests/support/sia_frames.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using test::freePort;

constexpr int kWaitMs = 10000;
// How long a frame that must stay unanswered is watched.
constexpr int kSilenceMs = 1000;

const std::string kExample = "\"ADM-CID\"0001R0L0#1234[#1234|1130 01 015]";

std::string standardFrame(std::string_view message) {
  char head[16];
  std::snprintf(head, sizeof head, "\n%04X0%03zX", test::siaCrc16(message), message.size());
  return head + std::string(message) + "\r";
}

std::string cid(int seq, std::string_view data = "#1234|1130 01 015") {
  char header[32];
  std::snprintf(header, sizeof header, "%04dR0L0#1234", seq);
  return "\"ADM-CID\"" + std::string(header) + "[" + std::string(data) + "]";
}

std::string rawAck(int seq) {
  char header[32];
  std::snprintf(header, sizeof header, "\"ACK\"%04dR0L0#1234[]", seq);
  return test::rawSiaFrame(header);
}

std::string visible(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
    }
  }
  return out;
}

class SiaInput : public testing::Test {
 protected:
  void start(int line = 1, int lifeTime = 20) {
    if (server_) stopServer();
    port_ = freePort();
    dir_.write("ORV_Serv.ini",
               "[GPRS0]\nPort=0\n[Out]\nPort=" + std::to_string(freePort()) +
                   "\n[Client0]\nId=Bank\nQSize=1000\n[Client1]\nId=Sia\nFlt0=*;;0;0;2\n"
                   "[Client2]\nId=Tcp\nFlt0=*;;0;0;1\n[SiaIp]\nPort=" +
                   std::to_string(port_) + "\nLine=" + std::to_string(line) +
                   "\nLifeTime=" + std::to_string(lifeTime) + "\n");
    std::filesystem::create_directory(dir_ / "Orv_Sia");
    server_ = std::make_unique<test::Process>(
        ORV_SERV_PATH, std::vector<std::string>{"--headless", "--dir", dir_.path().string()});
    ASSERT_TRUE(server_->waitForLine("running:", kWaitMs)) << server_->output();
    sender_ = LineSocket();
    ASSERT_EQ(sender_.connect("127.0.0.1", port_, 2000), 0) << output();
  }
  void stopServer() {
    sender_.close();
    EXPECT_TRUE(test::stopsCleanly(*server_, kWaitMs));
    // Every failure of the test, wherever it was found, comes with what the server printed.
    if (HasFailure()) std::fprintf(stderr, "server output:\n%s\n", server_->output().c_str());
    server_.reset();
  }
  void TearDown() override {
    if (server_) stopServer();
  }

  // What the server printed so far, after a short read of whatever is pending.
  std::string output() {
    server_->waitForLine("\x01 never printed", 50);
    return server_->output();
  }

  std::string exchange(const std::string& bytes, int waitMs = kWaitMs) {
    EXPECT_EQ(sender_.send(bytes), 0);
    return test::readSiaAnswer(sender_, waitMs);
  }
  // Sends the example frame with sequence `seq` and expects its ACK before anything else, so
  // that everything sent before it has been handled.
  void settle(int seq) {
    ASSERT_EQ(visible(exchange(test::rawSiaFrame(cid(seq)))), visible(rawAck(seq))) << output();
  }
  // The queue file's lines once it holds at least `count`, within a bounded wait.
  std::vector<std::string> queued(const char* channel, size_t count) {
    return test::queuedAtLeast(dir_.path(), channel, count, kWaitMs);
  }
  // Everything in the receiver's log directory.
  std::string log() { return test::readFiles(dir_ / "Orv_Sia"); }

  test::TempDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<test::Process> server_;
  LineSocket sender_;
};

TEST_F(SiaInput, TheExampleFrameIsAnsweredByteForByteAndQueued) {
  start();
  const std::string frame = std::string("\n\x9D\x10", 3) + "0029" + kExample + "\r";
  ASSERT_EQ(frame, test::rawSiaFrame(kExample));  // the test's own framing agrees with the example
  EXPECT_EQ(visible(exchange(frame)),
            visible(std::string("\n\xDB\xE7", 3) + "0014\"ACK\"0001R0L0#1234[]\r"));
  EXPECT_EQ(queued("Bank", 1), std::vector<std::string>{"5001 181234E13001015"});
  // The channel that takes SIA events has it too; the one for TcpDrv events does not.
  EXPECT_EQ(queued("Sia", 1), std::vector<std::string>{"5001 181234E13001015"});
  EXPECT_FALSE(std::filesystem::exists(dir_ / "Tcp.out"));
}

TEST_F(SiaInput, TheStandardFramingIsAnsweredInTheStandardFraming) {
  start();
  ASSERT_EQ(standardFrame(kExample), "\n9D100029" + kExample + "\r");
  EXPECT_EQ(visible(exchange(standardFrame(kExample))),
            visible("\nDBE70014\"ACK\"0001R0L0#1234[]\r"));
  EXPECT_EQ(queued("Bank", 1), std::vector<std::string>{"5001 181234E13001015"});
}

TEST_F(SiaInput, AChangedDataByteIsLoggedAndNotAnswered) {
  start();
  std::string changed = test::rawSiaFrame(cid(1));
  changed[changed.size() - 4] = '6';  // "015" becomes "065", the CRC stays
  EXPECT_EQ(visible(exchange(changed, kSilenceMs)), "");
  settle(2);
  EXPECT_EQ(queued("Bank", 1), std::vector<std::string>{"5001 181234E13001015"});
  const std::string log = this->log();
  EXPECT_NE(log.find(" " + changed.substr(0, changed.size() - 1) + "\r\n"), std::string::npos)
      << visible(log);
}

TEST_F(SiaInput, ACarriageReturnAmongTheRawCrcBytesIsPartOfTheFrame) {
  start();
  // Sequence numbers that put 0x0D into the high and into the low CRC byte.
  int high = 0, low = 0;
  for (int seq = 1; seq <= 9999 && (!high || !low); ++seq) {
    const uint16_t crc = test::siaCrc16(cid(seq));
    if (!high && crc >> 8 == 0x0D) high = seq;
    if (!low && (crc & 0xFF) == 0x0D) low = seq;
  }
  ASSERT_TRUE(high && low);
  EXPECT_EQ(visible(exchange(test::rawSiaFrame(cid(high)))), visible(rawAck(high)));
  EXPECT_EQ(visible(exchange(test::rawSiaFrame(cid(low)))), visible(rawAck(low)));
  // Split right after that CR, the rest following a little later.
  const std::string split = test::rawSiaFrame(cid(low));
  ASSERT_EQ(sender_.send(split.substr(0, 3)), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(visible(exchange(split.substr(3))), visible(rawAck(low)));
  // Behind NUL bytes that some transmitters send between frames.
  EXPECT_EQ(visible(exchange(std::string(12, '\0') + test::rawSiaFrame(cid(low)))),
            visible(rawAck(low)));
  EXPECT_EQ(queued("Bank", 4).size(), 4u);
}

TEST_F(SiaInput, TheEventQualifier) {
  start();
  EXPECT_EQ(visible(exchange(test::rawSiaFrame(cid(1, "#1234|3130 01 015")))), visible(rawAck(1)));
  EXPECT_EQ(visible(exchange(test::rawSiaFrame(cid(2, "#1234|6130 01 015")))), visible(rawAck(2)));
  EXPECT_EQ(queued("Bank", 2),
            (std::vector<std::string>{"5001 181234R13001015", "5001 181234613001015"}));
}

TEST_F(SiaInput, ASiaDcsBlockGetsItsHash) {
  start();
  const std::string m = "\"SIA-DCS\"0002R0L0#1234[1234|NRI01BA01]";
  EXPECT_EQ(visible(exchange(test::rawSiaFrame(m))),
            visible(test::rawSiaFrame("\"ACK\"0002R0L0#1234[]")));
  EXPECT_EQ(queued("Bank", 1), std::vector<std::string>{"S001[#1234|NRI01BA01]"});
}

TEST_F(SiaInput, NullIsAcknowledgedAndQueued) {
  start();
  const std::string m = "\"NULL\"0003R0L0#1234[]";
  EXPECT_EQ(visible(exchange(standardFrame(m))), visible(standardFrame("\"ACK\"0003R0L0#1234[]")));
  EXPECT_EQ(queued("Bank", 1), std::vector<std::string>{"#0|1 @      "});
}

TEST_F(SiaInput, TheLineNumberGoesIntoCharacterFourAsOneHexDigit) {
  for (auto [line, digit] : {std::pair{10, 'A'}, std::pair{17, '1'}}) {
    if (server_) stopServer();  // it writes its queue files on the way out
    std::filesystem::remove(dir_ / "Bank.out");
    std::filesystem::remove(dir_ / "Sia.out");
    start(line);
    settle(1);
    std::vector<std::string> lines = queued("Bank", 1);
    ASSERT_EQ(lines.size(), 1u) << "Line=" << line;
    EXPECT_EQ(lines[0], std::string("500") + digit + " 181234E13001015") << "Line=" << line;
  }
}

TEST_F(SiaInput, ATimeStampFarFromTheClockIsAccepted) {
  start();
  const std::string m = cid(1) + "_12:00:00,01-01-2000";
  EXPECT_EQ(visible(exchange(test::rawSiaFrame(m))), visible(rawAck(1)));
  EXPECT_EQ(queued("Bank", 1), std::vector<std::string>{"5001 181234E13001015"});
}

TEST_F(SiaInput, ALongDataBlockIsCut) {
  start();
  const std::string block = "#1234|NRI01BA01" + std::string(285, 'x');  // 300 characters
  ASSERT_EQ(visible(exchange(test::rawSiaFrame("\"SIA-DCS\"0001R0L0#1234[" + block + "]"))),
            visible(test::rawSiaFrame("\"ACK\"0001R0L0#1234[]")));
  ASSERT_EQ(
      visible(exchange(test::rawSiaFrame(cid(2, "#1234|1130 01 015" + std::string(283, '9'))))),
      visible(rawAck(2)));
  std::vector<std::string> lines = queued("Bank", 2);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "S001[" + block.substr(0, 255) + "]");
  EXPECT_EQ(lines[0].size(), 261u);
  EXPECT_EQ(lines[1], "5001 181234E13001015");
}

TEST_F(SiaInput, TwoFramesInOneWriteAndOneFrameInTwoWrites) {
  start();
  ASSERT_EQ(sender_.send(test::rawSiaFrame(cid(1)) + standardFrame(cid(2))), 0);
  EXPECT_EQ(visible(test::readSiaAnswer(sender_, kWaitMs)), visible(rawAck(1)));
  EXPECT_EQ(visible(test::readSiaAnswer(sender_, kWaitMs)),
            visible(standardFrame("\"ACK\"0002R0L0#1234[]")));

  const std::string frame = standardFrame(cid(3));
  ASSERT_EQ(sender_.send(frame.substr(0, 20)), 0);
  EXPECT_EQ(visible(test::readSiaAnswer(sender_, 300)), "");
  EXPECT_EQ(visible(exchange(frame.substr(20))), visible(standardFrame("\"ACK\"0003R0L0#1234[]")));
  EXPECT_EQ(queued("Bank", 3).size(), 3u);
}

TEST_F(SiaInput, AnEncryptedFrameIsAnsweredDuhAndNotQueued) {
  start();
  const std::string m =
      "\"*SIA-DCS\"0005R0L0#1234[C81B7F2F0BD6F1A2E0A1B2C3D4E5F60718293A4B5C6D7E8F";
  EXPECT_EQ(visible(exchange(test::rawSiaFrame(m))),
            visible(test::rawSiaFrame("\"DUH\"0005R0L0#1234[]")));
  EXPECT_EQ(visible(exchange(standardFrame(m))), visible(standardFrame("\"DUH\"0005R0L0#1234[]")));
  settle(6);
  EXPECT_EQ(queued("Bank", 1), std::vector<std::string>{"5001 181234E13001015"});
}

TEST_F(SiaInput, AFrameWithoutTheGrammarGetsNoAnswer) {
  start();
  EXPECT_EQ(visible(exchange(test::rawSiaFrame("\"ADM-CID\"0001R0L0#1234"), kSilenceMs)), "");
  EXPECT_EQ(visible(exchange(standardFrame("ADM-CID0001R0L0#1234[#1234|1130 01 015]"), kSilenceMs)),
            "");
  settle(2);
  EXPECT_EQ(queued("Bank", 1).size(), 1u);
}

TEST_F(SiaInput, AMebibyteWithoutCarriageReturnEndsOnlyThatConnection) {
  start();
  LineSocket other;
  ASSERT_EQ(other.connect("127.0.0.1", port_, 2000), 0);
  const std::string junk(1 << 20, 'x');
  sender_.send(junk, 5000);  // fails part way once the server has closed
  char b = 0;
  EXPECT_NE(sender_.receiveByte(b, 5000), kWsaTimedOut);  // closed by the server
  ASSERT_TRUE(server_->waitForLine("without a line end", kWaitMs)) << server_->output();
  ASSERT_EQ(other.send(test::rawSiaFrame(cid(1))), 0);
  EXPECT_EQ(visible(test::readSiaAnswer(other, kWaitMs)), visible(rawAck(1))) << output();
}

TEST_F(SiaInput, StrayBytesAndBinaryGarbageDoNotCostTheNextFrame) {
  start();
  // Only LF CR; then the same right in front of a frame, in one write.
  EXPECT_EQ(visible(exchange("\n\r", kSilenceMs)), "");
  EXPECT_EQ(visible(exchange("\n\r" + test::rawSiaFrame(cid(1)))), visible(rawAck(1)));
  // Random bytes, LFs and CRs among them.
  std::mt19937 random(7);
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>(random() & 0xFF));
  for (int i = 0; i < 4096; i += 97) garbage[static_cast<size_t>(i)] = i % 2 ? '\r' : '\n';
  EXPECT_EQ(visible(exchange(garbage + "\r", kSilenceMs)), "");
  settle(2);
  EXPECT_EQ(visible(exchange(garbage + "\r" + test::rawSiaFrame(cid(3)))), visible(rawAck(3)));
  EXPECT_EQ(queued("Bank", 3).size(), 3u);
}

TEST_F(SiaInput, ControlBytesInADataBlockDoNotSplitTheQueuedLine) {
  start();
  const std::string m = "\"SIA-DCS\"0007R0L0#1234[#1234|NRI01\nBA01]";
  EXPECT_EQ(visible(exchange(test::rawSiaFrame(m))),
            visible(test::rawSiaFrame("\"ACK\"0007R0L0#1234[]")));
  settle(8);
  std::vector<std::string> lines = queued("Bank", 2);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(visible(lines[0]), "S001[#1234|NRI01 BA01]");
  EXPECT_EQ(lines[1], "5001 181234E13001015");
}

TEST_F(SiaInput, SiaSendWithFourConnectionsReportsNoErrors) {
  start();
  test::Process send(ORV_SIASEND_PATH, {"--port", std::to_string(port_), "--connections", "4",
                                        "--frames", "800", "--expect", "ACK"});
  std::optional<int> code = send.waitExit(60000);
  ASSERT_TRUE(code) << send.output();
  EXPECT_EQ(*code, 0) << send.output() << output();
  EXPECT_NE(send.output().find("sent 800 ack 800 "), std::string::npos) << send.output();
  EXPECT_NE(send.output().find(" errors 0 "), std::string::npos) << send.output();
  EXPECT_EQ(queued("Bank", 800).size(), 800u);
}

TEST_F(SiaInput, SiaSendWithBrokenCrcsGetsSilenceAndOneConnectionPerFrameGetsEveryAnswer) {
  start();
  test::Process bad(ORV_SIASEND_PATH, {"--port", std::to_string(port_), "--connections", "5",
                                       "--frames", "10", "--bad-crc", "--timeout", "500"});
  std::optional<int> code = bad.waitExit(30000);
  ASSERT_TRUE(code) << bad.output();
  EXPECT_EQ(*code, 0) << bad.output();
  EXPECT_NE(bad.output().find(" expected-none 10 answered-bad-crc 0 "), std::string::npos)
      << bad.output();

  test::Process each(ORV_SIASEND_PATH,
                     {"--port", std::to_string(port_), "--connections", "10", "--frames", "200",
                      "--per-frame", "--framing", "standard", "--expect", "ACK"});
  code = each.waitExit(60000);
  ASSERT_TRUE(code) << each.output();
  EXPECT_EQ(*code, 0) << each.output() << output();
  EXPECT_NE(each.output().find("sent 200 ack 200 "), std::string::npos) << each.output();
  EXPECT_EQ(queued("Bank", 200).size(), 200u);
}

class SiaInputSlow : public SiaInput {};

TEST_F(SiaInputSlow, AnIdleConnectionIsClosedAfterItsLifeTimeAndTheCloseLineLogged) {
  start(1, 1);
  settle(1);
  const uint32_t begin = ticks();
  char b = 0;
  EXPECT_EQ(sender_.receiveByte(b, 75000), kWsaConnReset);
  EXPECT_GE(ticksSince(begin), 59000u);
  EXPECT_LE(ticksSince(begin), 64000u);
  const std::string log = this->log();
  EXPECT_NE(log.find(" Close Id=1 Rx="), std::string::npos) << visible(log);
  EXPECT_NE(log.find(" Tx=28 Le=10060\r\n"), std::string::npos) << visible(log);
}

}  // namespace
}  // namespace orv
