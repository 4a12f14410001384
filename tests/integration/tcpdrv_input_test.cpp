// The TcpDrv input of the real ORV_Serv: receiver lines in, ACK bytes out, lines queued.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

#include "common/line_socket.h"
#include "common/local_time.h"
#include "common/ten_day_log.h"
#include "common/ticks.h"
#include "tests/support/checksums.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/queue_waits.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using test::freePort;
using test::withTcpDrvChecksum;

constexpr int kWaitMs = 10000;

class TcpDrvInput : public testing::Test {
 protected:
  void start(std::string_view extra = "", int lifeTime = 20) {
    port_ = freePort();
    dir_.write("ORV_Serv.ini",
               "[GPRS0]\nPort=0\n[Out]\nPort=" + std::to_string(freePort()) +
                   "\n[Client0]\nId=Bank\nQSize=1000\n[Client1]\nId=Sia\nFlt0=*;;0;0;2\n"
                   "[TcpDrv]\nPort=" +
                   std::to_string(port_) + "\nLine=1\nLifeTime=" + std::to_string(lifeTime) + "\n" +
                   std::string(extra));
    std::filesystem::create_directory(dir_ / "Orv_TcpDrv");
    server_ = std::make_unique<test::Process>(
        ORV_SERV_PATH, std::vector<std::string>{"--headless", "--dir", dir_.path().string()});
    ASSERT_TRUE(server_->waitForLine("running:", kWaitMs)) << server_->output();
    ASSERT_EQ(sender_.connect("127.0.0.1", port_, 2000), 0) << server_->output();
  }
  void TearDown() override {
    if (server_) {
      EXPECT_TRUE(test::stopsCleanly(*server_, kWaitMs));
    }
  }

  // The ACK byte for a line, or 0 when none came within waitMs.
  char sendLine(const std::string& line, int waitMs = kWaitMs) {
    EXPECT_EQ(sender_.send(line + "\r\n"), 0);
    char b = 0;
    return sender_.receiveByte(b, waitMs) == 0 ? b : 0;
  }
  // The queue file's lines once it holds at least `count`, within a bounded wait.
  std::vector<std::string> queued(const char* channel, size_t count) {
    return test::queuedAtLeast(dir_.path(), channel, count, kWaitMs);
  }
  // Today's log once it holds `needle`, within a bounded wait: a line is logged after its ACK.
  std::string logWith(const std::string& needle) {
    const std::filesystem::path file = TenDayLog(dir_ / "Orv_TcpDrv").currentFile();
    std::string log;
    for (uint32_t start = ticks(); ticksSince(start) < static_cast<uint32_t>(kWaitMs);) {
      log = test::readFile(file);
      if (log.find(needle) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return log;
  }
  // Sends a right line after `steps` and waits for it, so that everything before it has been
  // handled when this returns.
  void settle() { ASSERT_EQ(sendLine(withTcpDrvChecksum("5011 18FFFFE99999999")), kAck); }

  test::TempDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<test::Process> server_;
  LineSocket sender_;
};

TEST_F(TcpDrvInput, ARightLineIsAckedLoggedNormalisedAndQueued) {
  start();
  ASSERT_EQ(sendLine(withTcpDrvChecksum("5011 181234E13001015")), kAck);
  std::vector<std::string> bank = queued("Bank", 1);
  ASSERT_EQ(bank.size(), 1u);
  // Line 1 writes its digit into character 4, and the checksum is made to match it again.
  EXPECT_EQ(bank[0], withTcpDrvChecksum("5011 181234E13001015"));
  EXPECT_TRUE(bank[0].starts_with("5011 181234E130"));
  const std::string entry = " " + withTcpDrvChecksum("5012 181234E13001015") + "\r\n";
  EXPECT_NE(logWith(entry).find(entry), std::string::npos);
  // A channel that takes only SIA events got nothing.
  EXPECT_FALSE(std::filesystem::exists(dir_ / "Sia.out"));
}

TEST_F(TcpDrvInput, BadOrMissingChecksumsAreRefusedAndTheRepeatTaken) {
  start();
  EXPECT_EQ(sendLine("5011 181234E13001015*00"), kNak);
  EXPECT_EQ(sendLine("5011 181234E13001015"), kNak);
  EXPECT_EQ(sendLine("5011 181234E13001015*"), kNak);
  EXPECT_EQ(sendLine("5011"), kNak);
  ASSERT_TRUE(server_->waitForLine("line refused (NAK), wrong checksum", kWaitMs));
  // The sender repeats the refused line with its right checksum: queued once.
  EXPECT_EQ(sendLine(withTcpDrvChecksum("5011 181234E13001015")), kAck);
  settle();
  EXPECT_EQ(queued("Bank", 2),
            (std::vector<std::string>{withTcpDrvChecksum("5011 181234E13001015"),
                                      withTcpDrvChecksum("5011 18FFFFE99999999")}));
}

TEST_F(TcpDrvInput, AnswersOfOneReadKeepTheOrderOfItsLines) {
  start();
  ASSERT_EQ(sender_.send(withTcpDrvChecksum("5011 181234E13001001") +
                         "\r\n5011 bad*00\r\n1011 status\r\n" +
                         withTcpDrvChecksum("5011 181234E13001002") + "\r\n"),
            0);
  std::string answers;
  for (int i = 0; i < 3; ++i) {
    char b = 0;
    ASSERT_EQ(sender_.receiveByte(b, kWaitMs), 0) << i;
    answers += b;
  }
  EXPECT_EQ(answers, std::string({kAck, kNak, kAck}));
  EXPECT_EQ(queued("Bank", 2).size(), 2u);
}

TEST_F(TcpDrvInput, OnlyLinesStartingWith5AreAnswered) {
  start();
  EXPECT_EQ(sendLine(withTcpDrvChecksum("1011 181234E13001015"), 300), 0);
  EXPECT_EQ(sendLine("", 300), 0);
  settle();
  EXPECT_EQ(queued("Bank", 1).size(), 1u);
}

TEST_F(TcpDrvInput, AccountsAndChecksumDigitsAreReadLeniently) {
  start("[Client2]\nId=Acc123\nFlt0=123;;0;0;1\n");
  ASSERT_EQ(sendLine(withTcpDrvChecksum("5011 18 123E13001015", true)), kAck);  // lower-case digits
  EXPECT_EQ(queued("Acc123", 1),
            std::vector<std::string>{withTcpDrvChecksum("5011 18 123E13001015")});
}

TEST_F(TcpDrvInput, ALineSplitOverTwoSegmentsIsReadWhole) {
  start();
  std::string line = withTcpDrvChecksum("5011 181234E13001015");
  ASSERT_EQ(sender_.send(line.substr(0, 7)), 0);
  char b = 0;
  EXPECT_EQ(sender_.receiveByte(b, 300), kWsaTimedOut);
  ASSERT_EQ(sender_.send(line.substr(7) + "\r\n"), 0);
  ASSERT_EQ(sender_.receiveByte(b, kWaitMs), 0);
  EXPECT_EQ(b, kAck);
  EXPECT_EQ(queued("Bank", 1), std::vector<std::string>{line});
}

TEST_F(TcpDrvInput, AFloodOfBadLinesCostsOnlyTheirNaks) {
  start();
  std::string burst;
  for (int i = 0; i < 2000; ++i) burst += "5011 181234E13001015*00\r\n";
  ASSERT_EQ(sender_.send(burst), 0);
  for (int i = 0; i < 2000; ++i) {
    char b = 0;
    ASSERT_EQ(sender_.receiveByte(b, kWaitMs), 0) << i;
    ASSERT_EQ(b, kNak);
  }
  settle();
  EXPECT_EQ(queued("Bank", 1).size(), 1u);
  // Two thousand refusals, but stderr holds only a handful of them.
  EXPECT_LT(std::count(server_->output().begin(), server_->output().end(), '\n'), 60);
}

TEST_F(TcpDrvInput, APeerWithoutLineEndsIsCutOffAndOthersGoOn) {
  start();
  std::string junk(70 * 1024, 'x');
  sender_.send(junk, 5000);
  std::string ignored;
  int err = sender_.receiveLine(ignored, LineEnd::CrLf, 5000);
  EXPECT_NE(err, kWsaTimedOut);  // the server closed the connection
  ASSERT_TRUE(server_->waitForLine("without a line end", kWaitMs)) << server_->output();
  LineSocket other;
  ASSERT_EQ(other.connect("127.0.0.1", port_, 2000), 0);
  ASSERT_EQ(other.send(withTcpDrvChecksum("5011 181234E13001015") + "\r\n"), 0);
  char b = 0;
  ASSERT_EQ(other.receiveByte(b, kWaitMs), 0);
  EXPECT_EQ(b, kAck);
}

TEST_F(TcpDrvInput, TwentySendersAtOnceAreAllAckedAndEveryLineQueuedAndLoggedOnce) {
  start();
  test::Process send(ORV_TCPDRV_SEND_PATH,
                     {"--port", std::to_string(port_), "--generate", "900", "--connections", "20"});
  std::optional<int> code = send.waitExit(60000);
  ASSERT_TRUE(code) << send.output();
  EXPECT_EQ(*code, 0) << send.output() << server_->output();
  EXPECT_NE(send.output().find("sent 900 acked 900 errors 0 "), std::string::npos) << send.output();
  std::vector<std::string> lines = queued("Bank", 900);
  ASSERT_EQ(lines.size(), 900u);
  std::set<std::string> distinct(lines.begin(), lines.end());
  EXPECT_EQ(distinct.size(), 900u) << "a line was queued twice";
  // Each log line is written whole although the loop writes a round's lines at once.
  // The log has the normalised lines ("2" in character 4), in the order they were queued.
  std::string last = lines.back();
  last[3] = '2';
  last = withTcpDrvChecksum(last.substr(0, last.find('*'))) + "\r\n";
  const std::string log = logWith(last);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 900);
}

class TcpDrvInputSlow : public TcpDrvInput {};

TEST_F(TcpDrvInputSlow, ASilentPeerIsClosedAfterItsLifeTime) {
  // A sender that has delivered a line is held to LifeTime, not to the first-line wait.
  start("", 1);
  settle();
  const uint32_t begin = ticks();
  std::string line;
  int err = sender_.receiveLine(line, LineEnd::CrLf, 75000);
  EXPECT_EQ(err, kWsaConnReset);
  EXPECT_GE(ticksSince(begin), 59000u);
  EXPECT_LE(ticksSince(begin), 64000u);
}

}  // namespace
}  // namespace orv
