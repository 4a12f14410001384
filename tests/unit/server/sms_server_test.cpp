#include "server/outputs/sms_server.h"

#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "common/line_socket.h"
#include "common/local_time.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using namespace std::chrono_literals;

TEST(SmsClientTimer, GreetingWaitThenSilenceLimitEachLineRestartsItAcrossTheTickWrap) {
  SmsClientTimer quiet(20000, 30000, 1000);
  EXPECT_FALSE(quiet.timedOut(20999));
  EXPECT_TRUE(quiet.awaitingGreeting());
  EXPECT_FALSE(quiet.timedOut(21000));  // no greeting: texts may come, silence counts from here
  EXPECT_FALSE(quiet.awaitingGreeting());
  EXPECT_FALSE(quiet.timedOut(50999));
  EXPECT_TRUE(quiet.timedOut(51000));

  const uint32_t start = 0xFFFFF000u;
  SmsClientTimer busy(20000, 30000, start);
  busy.lineCame(start + 5000);   // the greeting
  busy.lineCame(start + 30000);  // a heartbeat, after the counter wrapped
  EXPECT_FALSE(busy.timedOut(start + 59999));
  EXPECT_TRUE(busy.timedOut(start + 60000));
}

class SmsServerTest : public testing::Test {
 protected:
  void SetUp() override {
    // 7 December, 14:05:09 local time: the log is 07_12.log.
    tm t{};
    t.tm_year = 123;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = 14;
    t.tm_min = 5;
    t.tm_sec = 9;
    t.tm_isdst = -1;
    WallClock::pinForTest(std::chrono::system_clock::from_time_t(::mktime(&t)));
    std::filesystem::create_directory(dir_ / "SMSLog");
  }
  void TearDown() override {
    server_.reset();
    WallClock::pinForTest(std::nullopt);
  }

  void start(SmsSettings settings = {}) {
    settings.port = 0;
    settings.logDir = dir_ / "SMSLog";
    server_ = std::make_unique<TSmsListThrd>(
        settings,
        [this](const std::string& text) {
          std::lock_guard g(lock_);
          handed_.push_back(text);
          return taken_;
        },
        &changed_);
    ASSERT_TRUE(server_->listening());
  }
  void attach(LineSocket& client) {
    ASSERT_EQ(client.connect("127.0.0.1", server_->port(), 10000), 0);
    std::string banner;
    ASSERT_EQ(client.receiveLine(banner, LineEnd::CrLf, 10000), 0);
    EXPECT_EQ(banner, "IP-Server-SMS V0.0");
  }
  // The next line from the server, or the error that ended the wait.
  static std::string answer(LineSocket& client) {
    std::string line;
    const int err = client.receiveLine(line, LineEnd::CrLf, 10000);
    return err == 0 ? line : "error " + std::to_string(err);
  }
  bool waitForCount(size_t n) {
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(5ms)) {
      if (server_->clientCount() == n) return true;
    }
    return false;
  }
  std::vector<std::string> handed() {
    std::lock_guard g(lock_);
    return handed_;
  }
  std::string log() const { return test::readFile(dir_ / "SMSLog" / "07_12.log"); }

  test::TempDir dir_;
  std::mutex lock_;
  std::vector<std::string> handed_;
  size_t taken_ = 1;
  std::atomic<uint8_t> changed_{0};
  std::unique_ptr<TSmsListThrd> server_;
};

TEST_F(SmsServerTest, GreetingIsOnlyLoggedTextsAreHandedOffHeartbeatsAndTextsAnswered) {
  start();
  LineSocket client;
  attach(client);
  ASSERT_EQ(client.send("hello\r\ntext one\r\n"), 0);  // greeting and a text in one read
  EXPECT_EQ(answer(client), "0");
  ASSERT_EQ(client.send("@alive\r\n\r\ntext two\r\n"), 0);  // the empty line gets no "0"
  EXPECT_EQ(answer(client), "0");
  EXPECT_EQ(answer(client), "0");
  EXPECT_EQ(handed(), (std::vector<std::string>{"text one", "text two"}));
  client.close();
  ASSERT_TRUE(waitForCount(0));
  EXPECT_EQ(log(),
            "14:05:09 Connected\r\n14:05:09 -> IP-Server-SMS V0.0\r\n14:05:09 <-hello\r\n"
            "14:05:09 <-text one\r\n14:05:09 ->0\r\n14:05:09 <-@alive\r\n14:05:09 ->0\r\n"
            "14:05:09 <-text two\r\n14:05:09 ->0\r\n"
            "14:05:09 Connection closed by peer\r\n14:05:09 Disconnected\r\n");
}

TEST_F(SmsServerTest, ClientCountFollowsAttachAndLeaveAndFlagsEachChange) {
  start();
  LineSocket a, b;
  attach(a);
  attach(b);
  EXPECT_EQ(server_->clientCount(), 2u);
  EXPECT_EQ(changed_.exchange(0), 1);
  a.close();
  ASSERT_TRUE(waitForCount(1));
  EXPECT_EQ(changed_.exchange(0), 1);
  EXPECT_EQ(smsCounterText(server_->clientCount()), "SMS 1");
}

TEST_F(SmsServerTest, TextNoDeviceTookIsLoggedAsDroppedOnStderrTooAndStillAnswered) {
  taken_ = 0;
  start();
  LineSocket client;
  attach(client);
  testing::internal::CaptureStderr();
  ASSERT_EQ(client.send("hi\r\n@beat\r\nfire zone 3\r\n"), 0);
  EXPECT_EQ(answer(client), "0");
  EXPECT_EQ(answer(client), "0");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("no GSM receiver on the first line: fire zone 3\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("@beat"), std::string::npos) << err;
  EXPECT_NE(log().find("14:05:09 <-fire zone 3\r\n"
                       "14:05:09 dropped, no GSM receiver on the first line: fire zone 3\r\n"
                       "14:05:09 ->0\r\n"),
            std::string::npos)
      << log();
}

TEST_F(SmsServerTest, SilentClientsAreDroppedWithOrWithoutAGreeting) {
  SmsSettings settings;
  settings.greetingWaitMs = 100;
  settings.idleLimitMs = 300;
  start(settings);
  LineSocket greeted, mute;
  attach(greeted);
  attach(mute);
  ASSERT_EQ(greeted.send("hello\r\n"), 0);
  EXPECT_EQ(answer(greeted), "error 10054");
  EXPECT_EQ(answer(mute), "error 10054");
  ASSERT_TRUE(waitForCount(0));
  const std::string entries = log();
  EXPECT_NE(entries.find("Timed out\r\n14:05:09 Disconnected\r\n14:05:09 Timed out\r\n"
                         "14:05:09 Disconnected\r\n"),
            std::string::npos)
      << entries;
}

TEST_F(SmsServerTest, InputWithoutLineEndIsCutOffWithOneDiagnostic) {
  start();
  LineSocket client;
  attach(client);
  testing::internal::CaptureStderr();
  (void)client.send(std::string(1 << 20, 'x'));  // fails once the server has cut it off
  EXPECT_NE(answer(client), "0");
  ASSERT_TRUE(waitForCount(0));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("without a line end; closed\n"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_TRUE(handed().empty());
  LineSocket next;  // the server goes on
  attach(next);
}

TEST_F(SmsServerTest, StopEndsAttachedClientsAndLogsWhy) {
  start();
  LineSocket a, b;
  attach(a);
  attach(b);
  const auto before = std::chrono::steady_clock::now();
  server_->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  EXPECT_EQ(server_->clientCount(), 0u);
  EXPECT_NE(answer(a), "0");
  EXPECT_NE(answer(b), "0");
  const std::string entries = log();
  EXPECT_NE(entries.find("Server stopped\r\n14:05:09 Disconnected\r\n14:05:09 Server stopped\r\n"),
            std::string::npos)
      << entries;
}

}  // namespace
}  // namespace orv
