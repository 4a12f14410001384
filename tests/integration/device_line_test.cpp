// The GSM receiver device line of the real ORV_Serv, on a pseudo-terminal and over TCP, and the
// SMS port that feeds it.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "common/line_socket.h"
#include "common/ticks.h"
#include "common/unique_fd.h"
#include "tests/support/output_peer.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/pty_peer.h"
#include "tests/support/queue_files.h"
#include "tests/support/queue_waits.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using test::freePort;

constexpr int kWaitMs = 10000;
constexpr int kQuietMs = 300;
constexpr int kCom = 5;
const std::string kAckByte(1, kAck);

// The device's end of a pseudo-terminal whose other end the server opens as COM 5.
class PtyDevice : public test::PtyPeer {
 public:
  void say(std::string_view message) { ASSERT_TRUE(send(std::string(message) + kDc4)); }
  std::string readUntil(std::string_view want, int timeoutMs = kWaitMs) {
    return PtyPeer::readUntil(want, timeoutMs);
  }
  bool bareAck() { return readUntil(kAckByte) == kAckByte; }
  // The text an answer carries.
  std::string carried() {
    std::string got = readUntil(std::string(1, kDc4));
    if (got.size() < 2 || got[0] != kAck || got.back() != kDc4) return "(not carried) " + got;
    return got.substr(1, got.size() - 2);
  }
  bool quiet(int ms = kQuietMs) { return PtyPeer::quiet(ms); }
};

class DeviceLine : public testing::Test {
 protected:
  // A server whose line GPRS0 has `gprs` (its device on COM 5 unless told otherwise), channels
  // Bank (everything), Acc0 (account-0 events only) and Phone (callers +3706...).
  void start(std::string gprs = "", std::string extra = "") {
    startWith("[Ports]\nCOM" + std::to_string(kCom) + "=" + device_.path() +
              "\n[GPRS0]\nPort=0\nCom=" + std::to_string(kCom) + "\nLine=2\n" + gprs +
              "\n[Out]\nPort=" + std::to_string(outPort_) +
              "\n[Sms]\nPort=" + std::to_string(smsPort_) +
              "\n[Client0]\nId=Bank\n"
              "[Client1]\nId=Acc0\nFlt0=none;none;0;1;0\n"
              "[Client2]\nId=Phone\nFlt0=none;+3706*;0;0;0\n" +
              extra);
  }
  void startWith(const std::string& ini) {
    dir_.write("ORV_Serv.ini", ini);
    std::filesystem::create_directories(dir_ / "Orv_Serv");
    std::filesystem::create_directories(dir_ / "SMSLog");
    restart();
  }
  void restart() {
    server_ = std::make_unique<test::Process>(
        ORV_SERV_PATH, std::vector<std::string>{"--headless", "--dir", dir_.path().string()});
    ASSERT_TRUE(server_->waitForLine("running:", kWaitMs)) << server_->output();
  }
  void stopServer() { EXPECT_TRUE(test::stopsCleanly(*server_, kWaitMs)); }
  void TearDown() override {
    if (server_) stopServer();
  }
  void expectStartText() {
    EXPECT_EQ(device_.readUntil("VX2810mk V1.02\r\n"), "VX2810mk V1.02\r\n") << server_->output();
  }
  std::string deviceLog() { return test::readFiles(dir_ / "Orv_Serv"); }
  // An SMS client past the banner and its greeting.
  void smsClient(LineSocket& client) {
    ASSERT_EQ(client.connect("127.0.0.1", smsPort_, kWaitMs), 0) << server_->output();
    std::string banner;
    ASSERT_EQ(client.receiveLine(banner, LineEnd::CrLf, kWaitMs), 0);
    ASSERT_EQ(banner, "IP-Server-SMS V0.0");
    ASSERT_EQ(client.send("hello from the test\r\n"), 0);
  }
  std::string smsLog() { return test::readFiles(dir_ / "SMSLog"); }
  std::string smsSay(LineSocket& client, const std::string& line) {
    EXPECT_EQ(client.send(line + "\r\n"), 0);
    std::string answer;
    return client.receiveLine(answer, LineEnd::CrLf, kWaitMs) == 0 ? answer : "(no answer)";
  }

  test::TempDir dir_;
  PtyDevice device_;
  uint16_t outPort_ = freePort();
  uint16_t smsPort_ = freePort();
  std::unique_ptr<test::Process> server_;
};

class DeviceLineSlow : public DeviceLine {};

TEST_F(DeviceLine, EventsAreAcknowledgedLoggedAndQueuedWithTheLineDigitAndAccount) {
  start();
  expectStartText();
  device_.say("5011 181234E13001015");
  EXPECT_TRUE(device_.bareAck());
  device_.say("1011      0000 A  21");
  EXPECT_TRUE(device_.bareAck());
  device_.say("1011      12AB A  21");
  EXPECT_TRUE(device_.bareAck());
  device_.say("@poll");  // answered, neither logged nor queued
  EXPECT_TRUE(device_.bareAck());
  device_.say("0123456789");  // logged, too short to be an event
  EXPECT_TRUE(device_.bareAck());

  EXPECT_TRUE(test::waitForQueue(
      dir_.path(), "Bank", {"5012 181234E13001015", "1012      FFFF A  21", "1012      12AB A  21"},
      kWaitMs));
  EXPECT_TRUE(test::waitForQueue(dir_.path(), "Acc0", {"1012      FFFF A  21"}, kWaitMs));
  const std::string log = deviceLog();
  EXPECT_NE(log.find(" 5011 181234E13001015 Id=Com\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" 0123456789 Id=Com\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("@poll"), std::string::npos) << log;
}

TEST_F(DeviceLine, TheCallerNumberOfTheLastUMessageServesThePhoneFilter) {
  start();
  expectStartText();
  device_.say("U12345678+37061234567FFFF");
  EXPECT_TRUE(device_.bareAck());
  device_.say("5011 181234E13001001");
  EXPECT_TRUE(device_.bareAck());
  device_.say("U12345678+4915112345FFFFF");
  EXPECT_TRUE(device_.bareAck());
  device_.say("5011 181234E13001002");
  EXPECT_TRUE(device_.bareAck());
  EXPECT_TRUE(test::waitForQueueLine(dir_.path(), "Bank", "5012 181234E13001002", kWaitMs));
  // A "U" message long enough is an event line too, and the number it brings already counts.
  EXPECT_EQ(test::queuedLines(dir_.path(), "Phone"),
            (std::vector<std::string>{"U12245678+37061234567FFFF", "5012 181234E13001001"}));
}

TEST_F(DeviceLine, ThePortIsSetUpAsTheLineSays) {
  start("Baud=19200\nStopBits=2\nFlowCtrl=2\n");
  expectStartText();
  termios t{};
  ASSERT_EQ(::tcgetattr(device_.slave(), &t), 0);
  EXPECT_EQ(::cfgetispeed(&t), B19200);
  // A pseudo-terminal keeps CS8 without parity whatever it is told; the port's own tests check
  // data bits and parity.
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_FALSE(t.c_lflag & ICANON) << "raw";
}

TEST_F(DeviceLine, ALineWhosePortDoesNotOpenRunsWithoutItsDeviceAndSaysWhy) {
  const std::filesystem::path notAPort = dir_.write("not-a-port", "");
  startWith("[Ports]\nCOM5=" + notAPort.string() +
            "\n[GPRS0]\nPort=0\nCom=5\n[Sms]\nPort=" + std::to_string(smsPort_) +
            "\n[Out]\nPort=" + std::to_string(outPort_) + "\n[Client0]\nId=Bank\n");
  EXPECT_TRUE(server_->waitForOutput("COM5 (" + notAPort.string() + "): cannot open", kWaitMs))
      << server_->output();
  LineSocket sms;
  EXPECT_NE(sms.connect("127.0.0.1", smsPort_, 1000), 0) << "no SMS port without a device";
}

TEST_F(DeviceLine, SmsTextsWaitForTheDeviceAndOutliveARestart) {
  start();
  expectStartText();
  LineSocket sms;
  smsClient(sms);
  EXPECT_EQ(smsSay(sms, "+37061234567 Door open"), "0");
  EXPECT_EQ(smsSay(sms, "@"), "0");
  EXPECT_EQ(smsSay(sms, "+37061234567 Second"), "0");
  EXPECT_TRUE(device_.quiet()) << "a text goes out only with an answer";
  device_.say("@");
  EXPECT_EQ(device_.carried(), "+37061234567 Door open");
  device_.say(kAckByte);  // the device took it
  EXPECT_TRUE(device_.bareAck());
  const std::string log = smsLog();
  EXPECT_NE(log.find(" <-+37061234567 Door open\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" ->0\r\n"), std::string::npos) << log;

  // Queued but not sent: kept in SMS.buf over the restart and sent again (nobody to ask).
  EXPECT_EQ(smsSay(sms, "+37061234567 Third"), "0");
  sms.close();
  stopServer();
  EXPECT_EQ(test::readFile(dir_ / "SMS.buf"), "+37061234567 Second\r\n+37061234567 Third\r\n");
  restart();
  // Asked by the device thread, with nobody to answer: the texts are kept.
  EXPECT_TRUE(server_->waitForOutput("\"Delete unsent messages?\" no operator to ask: answered No",
                                     kWaitMs))
      << server_->output();
  expectStartText();
  device_.say("@");
  EXPECT_EQ(device_.carried(), "+37061234567 Second");
  device_.say(kAckByte);
  EXPECT_TRUE(device_.bareAck());
  device_.say("@");
  EXPECT_EQ(device_.carried(), "+37061234567 Third");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "SMS.buf"));
}

TEST_F(DeviceLine, ATextForAFirstLineWithoutDeviceIsAnsweredAndLoggedAsDropped) {
  // The device is on the second line; the first has none.
  startWith("[Ports]\nCOM5=" + device_.path() +
            "\n[GPRS0]\nPort=0\n[GPRS1]\nPort=0\nCom=5\n[Sms]\nPort=" + std::to_string(smsPort_) +
            "\n[Out]\nPort=" + std::to_string(outPort_) + "\n[Client0]\nId=Bank\n");
  LineSocket sms;
  smsClient(sms);
  EXPECT_EQ(smsSay(sms, "lost text"), "0");
  ASSERT_TRUE(server_->waitForLine("lost text", kWaitMs)) << server_->output();
  const std::string log = smsLog();
  EXPECT_NE(log.find("dropped"), std::string::npos) << log;
  EXPECT_NE(log.find("lost text"), std::string::npos) << log;
}

TEST_F(DeviceLine, ADeviceOverTcpAndCommandsFromAClientForNoModule) {
  const uint16_t devicePort = freePort();
  start("TcpOn=1\nTcpPort=" + std::to_string(devicePort) + "\n");
  LineSocket device;
  ASSERT_EQ(device.connect("127.0.0.1", devicePort, kWaitMs), 0) << server_->output();
  std::string startText;
  ASSERT_EQ(device.receiveLine(startText, LineEnd::CrLf, kWaitMs), 0);
  EXPECT_EQ(startText, "VX2810mk V1.02");
  char b = 0;
  for (const char* event : {"5011 181234E13001015", "5011 181234E13001016"}) {
    ASSERT_EQ(device.send(event + std::string(1, kDc4)), 0);
    ASSERT_EQ(device.receiveByte(b, kWaitMs), 0);
    EXPECT_EQ(b, kAck);
  }

  // A client's command for an identifier that no module of line 2 has goes to the device.
  test::OutputPeer client;
  ASSERT_TRUE(client.attach(outPort_, "Bank"));
  EXPECT_EQ(client.next(), "5012 181234E13001015");
  ASSERT_TRUE(client.reply("#2:0000:mode?"));
  // The next line comes once the reply has been dealt with.
  EXPECT_EQ(client.next(), "5012 181234E13001016");
  ASSERT_EQ(device.send("@" + std::string(1, kDc4)), 0);
  std::string carried;
  ASSERT_EQ(device.receiveLine(carried, LineEnd::Dc4, kWaitMs), 0);
  EXPECT_EQ(carried, kAckByte + "0000:mode?");
  ASSERT_EQ(device.send("_mode 1" + std::string(1, kDc4)), 0);
  // The command is over: the next message gets a bare ACK.
  ASSERT_EQ(device.send("@" + std::string(1, kDc4)), 0);
  ASSERT_EQ(device.receiveByte(b, kWaitMs), 0);
  EXPECT_EQ(b, kAck);
  EXPECT_EQ(device.receiveByte(b, kQuietMs), kWsaTimedOut);
}

TEST_F(DeviceLine, AReloadOpensThePortAgainAndTheDialogueStartsAnew) {
  start();
  expectStartText();
  device_.say("5011 181234E13001001");
  EXPECT_TRUE(device_.bareAck());
  server_->signal(SIGHUP);
  ASSERT_TRUE(server_->waitForLine("configuration reloaded", kWaitMs)) << server_->output();
  expectStartText();
  device_.say("5011 181234E13001002");
  EXPECT_TRUE(device_.bareAck());
  EXPECT_TRUE(test::waitForQueueLine(dir_.path(), "Bank", "5012 181234E13001002", kWaitMs));
}

TEST_F(DeviceLine, ATcpDeviceThatNeverEndsAMessageIsCutOffAndTheNextOneServed) {
  const uint16_t devicePort = freePort();
  start("TcpOn=1\nTcpPort=" + std::to_string(devicePort) + "\n");
  LineSocket flood;
  ASSERT_EQ(flood.connect("127.0.0.1", devicePort, kWaitMs), 0) << server_->output();
  flood.send(std::string(1 << 20, 'x'), 5000);  // may fail once the server has closed
  ASSERT_TRUE(server_->waitForOutput("connection ended", kWaitMs)) << server_->output();

  LineSocket device;
  ASSERT_EQ(device.connect("127.0.0.1", devicePort, kWaitMs), 0);
  std::string startText;
  ASSERT_EQ(device.receiveLine(startText, LineEnd::CrLf, kWaitMs), 0);
  ASSERT_EQ(device.send("5011 181234E13001015" + std::string(1, kDc4)), 0);
  char b = 0;
  ASSERT_EQ(device.receiveByte(b, kWaitMs), 0);
  EXPECT_EQ(b, kAck);
}

TEST_F(DeviceLineSlow, SilenceOfMoreThanThreeMinutesIsReportedOnceAndItsEndOnce) {
  start();
  expectStartText();
  device_.say("@");
  ASSERT_TRUE(device_.bareAck());
  ASSERT_TRUE(test::waitForQueue(dir_.path(), "Bank", {"1012      FFFF A  05"}, 200000))
      << server_->output();
  // Still only once after more time.
  EXPECT_TRUE(device_.quiet(5000));
  EXPECT_EQ(test::queuedLines(dir_.path(), "Bank"),
            std::vector<std::string>{"1012      FFFF A  05"});
  device_.say("@");
  EXPECT_TRUE(device_.bareAck());
  device_.say("@");
  EXPECT_TRUE(device_.bareAck());
  EXPECT_TRUE(test::waitForQueue(dir_.path(), "Bank",
                                 {"1012      FFFF A  05", "1012      FFFF R  06"}, kWaitMs));
}

}  // namespace
}  // namespace orv
