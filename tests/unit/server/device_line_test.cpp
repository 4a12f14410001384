// The dialogue of a GSM receiver device thread, from the device's side of a real connection:
// answers, carried texts and their turns, the console's commands and transfers, unsent texts.

#include "server/inputs/device_line.h"

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "common/hex_record.h"
#include "common/operator_questions.h"
#include "common/ticks.h"
#include "server/modules/module_console.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

constexpr int kWaitMs = 10000;
constexpr int kQuietMs = 300;
const std::string kAckByte(1, kAck);

// The operator who answers every question with `yes`.
class ScriptedOperator : public OperatorQuestions {
 public:
  explicit ScriptedOperator(bool yes) : yes_(yes) {}
  bool askTimed(std::string_view question, int, bool, std::string_view) override {
    asked.emplace_back(question);
    return yes_;
  }
  void showMessage(std::string_view, std::string_view) override {}
  std::vector<std::string> asked;

 private:
  bool yes_;
};

class DeviceDialogue : public testing::Test {
 protected:
  void SetUp() override {
    context_.console = &console_;
    context_.programDir = dir_.path();
    context_.downloadIdleMs = 800;
  }
  void TearDown() override { stop(); }

  // A device connected over TCP, past the start text.
  void attach() {
    LineSocket listener;
    ASSERT_EQ(listener.listen(0, "test device port"), 0);
    ASSERT_EQ(device_.connect("127.0.0.1", listener.localPort(), kWaitMs), 0);
    ASSERT_TRUE(listener.waitForConnection(kWaitMs));
    LineSocket served;
    ASSERT_EQ(listener.accept(served), 0);
    thread_ = std::make_unique<TTcpComThrd>(context_, std::move(served));
    thread_->start();
    std::string start;
    ASSERT_EQ(device_.receiveLine(start, LineEnd::CrLf, kWaitMs), 0);
    ASSERT_EQ(start, "VX2810mk V1.02");
  }
  void stop() {
    if (!thread_) return;
    thread_->requestStop();
    thread_->join();
    thread_.reset();
  }

  void say(std::string_view message) { ASSERT_EQ(device_.send(std::string(message) + kDc4), 0); }
  // The next answer when it is a bare ACK.
  bool bareAck() {
    char b = 0;
    return device_.receiveByte(b, kWaitMs) == 0 && b == kAck;
  }
  // The next answer when it carries a text: that text.
  std::string carried() {
    std::string bytes;
    if (device_.receiveLine(bytes, LineEnd::Dc4, kWaitMs) != 0) return "(nothing)";
    if (bytes.empty() || bytes[0] != kAck) return "(no ACK first) " + bytes;
    return bytes.substr(1);
  }
  bool quiet(int ms = kQuietMs) {
    char b = 0;
    return device_.receiveByte(b, ms) == kWsaTimedOut;
  }
  std::string line() {
    std::string l;
    return device_.receiveLine(l, LineEnd::CrLf, kWaitMs) == 0 ? l : "(nothing)";
  }
  bool waitForFlag() {
    for (uint32_t start = ticks(); ticksSince(start) < static_cast<uint32_t>(kWaitMs);) {
      if (console_.answerFlag.load() != 0) return true;
      usleep(2000);
    }
    return false;
  }

  test::TempDir dir_;
  ModuleConsole console_;
  DeviceLineContext context_;
  LineSocket device_;
  std::unique_ptr<TComThrd> thread_;
};

TEST_F(DeviceDialogue, EveryMessageGetsExactlyOneAnswerAndALoneDc4None) {
  attach();
  say("5011 181234E13001015");
  EXPECT_TRUE(bareAck());
  say("@");
  EXPECT_TRUE(bareAck());
  say("short");
  EXPECT_TRUE(bareAck());
  ASSERT_EQ(device_.send(std::string(50, kDc4)), 0);  // a storm of empty messages
  EXPECT_TRUE(quiet());
  say("1011      0000 A  21");
  EXPECT_TRUE(bareAck());
  EXPECT_TRUE(quiet());
}

TEST_F(DeviceDialogue, AQueuedTextWaitsForAMessageAndHasThreeTurns) {
  attach();
  ASSERT_TRUE(thread_->queueText("+37061234567 Alarm"));
  EXPECT_TRUE(quiet()) << "a text goes out only with an answer";
  for (int turn = 0; turn < 3; ++turn) {
    say("@");
    EXPECT_EQ(carried(), "+37061234567 Alarm") << "turn " << turn;
  }
  say("@");
  EXPECT_TRUE(bareAck()) << "dropped after its three turns";
  EXPECT_EQ(thread_->queuedCount(), 0u);

  // Taken by the device: removed at once, the device's ACK is answered bare.
  ASSERT_TRUE(thread_->queueText("first"));
  ASSERT_TRUE(thread_->queueText("second"));
  say("@");
  EXPECT_EQ(carried(), "first");
  say(kAckByte);
  EXPECT_TRUE(bareAck());
  say("@");
  EXPECT_EQ(carried(), "second");
  say(kAckByte);
  EXPECT_TRUE(bareAck());
  say("@");
  EXPECT_TRUE(bareAck());
}

TEST_F(DeviceDialogue, ModeCommandEndsByItsReplyAndGivesThePlainTextAfterItAllItsTurns) {
  attach();
  // Answered.
  console_.answerFlag = 0;
  ASSERT_TRUE(thread_->queueText("mode?"));
  say("@");
  EXPECT_EQ(carried(), "mode?");
  say("_mode 1");
  ASSERT_TRUE(waitForFlag());
  EXPECT_EQ(console_.answerFlag.load(), 1);
  EXPECT_EQ(thread_->commandReply(), "_mode 1");
  EXPECT_TRUE(quiet()) << "a reply is not a message to answer";

  // The module's object is armed.
  console_.answerFlag = 0;
  ASSERT_TRUE(thread_->queueText("0000:ncode 1234"));
  say("@");
  EXPECT_EQ(carried(), "0000:ncode 1234");
  say("STAT ERR");
  ASSERT_TRUE(waitForFlag());
  EXPECT_EQ(console_.answerFlag.load(), -2);

  // Three replies that say nothing: three sends, then no answer.
  console_.answerFlag = 0;
  ASSERT_TRUE(thread_->queueText("mode?"));
  say("@");
  for (int attempt = 0; attempt < 3; ++attempt) {
    EXPECT_EQ(carried(), "mode?") << attempt;
    say("something else");
  }
  ASSERT_TRUE(waitForFlag());
  EXPECT_EQ(console_.answerFlag.load(), -1);

  // The text after the commands still has three turns.
  ASSERT_TRUE(thread_->queueText("sms"));
  for (int turn = 0; turn < 3; ++turn) {
    say("@");
    EXPECT_EQ(carried(), "sms") << "turn " << turn;
  }
  say("@");
  EXPECT_TRUE(bareAck());
}

TEST_F(DeviceDialogue, DownloadFillsTheImageAndJudgesTheRecordCount) {
  attach();
  const uint8_t a[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const uint8_t b[4] = {0xAA, 0xBB, 0xCC, 0xDD};

  console_.answerFlag = 0;
  ASSERT_TRUE(thread_->queueText("0000:lcfg"));
  say("@");
  EXPECT_EQ(carried(), "0000:lcfg");
  say("#4" + encodeHexRecord(0x0100, a));
  say(std::string(1, kDc4));  // nothing, and not a record
  say("#4" + encodeHexRecord(0x1FED, b));
  say("#4:04002000010G0304F0");  // damaged: counted, not stored
  say("C/3");
  ASSERT_TRUE(waitForFlag());
  EXPECT_EQ(console_.answerFlag.load(), 1);
  {
    std::lock_guard lock(console_.imageLock);
    EXPECT_EQ(console_.deviceImage[0x0100], 1);
    EXPECT_EQ(console_.deviceImage[0x010F], 16);
    EXPECT_EQ(console_.deviceImage[0x1FEE], 0xBB);
    EXPECT_EQ(console_.deviceImage[0x1FF0], 0xFF) << "addresses past 0x1FEF are not taken";
    EXPECT_EQ(console_.deviceImage[0x0000], 0xFF);
    EXPECT_EQ(console_.deviceImage[0x0020], 0xFF);
  }

  // Fewer records than the device counted: incomplete. So is a count that is no number.
  for (std::string end : {"C/5", "C/"}) {
    console_.answerFlag = 0;
    ASSERT_TRUE(thread_->queueText("0000:lcfg"));
    say("@");
    EXPECT_EQ(carried(), "0000:lcfg");
    say("#4" + encodeHexRecord(0x0000, a));
    say(end);
    ASSERT_TRUE(waitForFlag()) << end;
    EXPECT_EQ(console_.answerFlag.load(), 2) << end;
  }

  // The module refuses: the reply carries "ERR".
  console_.answerFlag = 0;
  ASSERT_TRUE(thread_->queueText("0000:lcfg"));
  say("@");
  EXPECT_EQ(carried(), "0000:lcfg");
  say("lcfg ERR 3");
  ASSERT_TRUE(waitForFlag());
  EXPECT_EQ(console_.answerFlag.load(), 1);
  EXPECT_EQ(thread_->commandReply(), "lcfg ERR 3");

  // A device that stops talking: incomplete after the idle limit, and the line goes on.
  console_.answerFlag = 0;
  ASSERT_TRUE(thread_->queueText("0000:lcfg"));
  say("@");
  EXPECT_EQ(carried(), "0000:lcfg");
  ASSERT_TRUE(waitForFlag());
  EXPECT_EQ(console_.answerFlag.load(), 2);
  say("@");
  EXPECT_TRUE(bareAck());
}

TEST_F(DeviceDialogue, AStopInTheMiddleOfADownloadEndsTheThreadPromptly) {
  context_.downloadIdleMs = 600000;
  attach();
  ASSERT_TRUE(thread_->queueText("0000:lcfg"));
  say("@");
  EXPECT_EQ(carried(), "0000:lcfg");
  const uint32_t start = ticks();
  stop();
  EXPECT_LT(ticksSince(start), 3000u);
}

TEST_F(DeviceDialogue, UploadSendsTheImageWithoutBlankBlocks) {
  {
    std::lock_guard lock(console_.imageLock);
    console_.deviceImage.fill(0xFF);
    console_.deviceImage[0x0005] = 0x42;
    for (int i = 0; i < 16; ++i) console_.deviceImage[0x0010 + i] = 0x00;  // all zero: left out
    console_.deviceImage[0x1FE1] = 0x07;
    console_.deviceImage[0x3000] = 0x07;  // beyond what transfers carry
  }
  attach();
  console_.answerFlag = 0;
  ASSERT_TRUE(thread_->queueText("0000:scfg"));
  say("@");
  EXPECT_EQ(carried(), "0000:scfg");
  say("Wait for hex..");
  std::vector<std::string> lines;
  for (std::string l = line(); l.rfind("C/", 0) != 0 && l != "(nothing)"; l = line())
    lines.push_back(l);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(lines[0].starts_with(":10000000FFFFFFFFFF42"));
  EXPECT_TRUE(lines[1].starts_with(":101FE000FF07"));
  EXPECT_EQ(lines[2], ":00000001FF");
  EXPECT_EQ(lines[3], "");
  say("OK");
  ASSERT_TRUE(waitForFlag());
  EXPECT_EQ(console_.answerFlag.load(), 1);
}

TEST_F(DeviceDialogue, FirmwareLinesArePacedAndCounted) {
  const auto file = dir_.write("fw.hex", ":10000000AA\r\n\r\n:10001000BB\n");
  attach();
  console_.answerFlag = 0;
  ASSERT_TRUE(thread_->queueText("0000:sfirm|" + file.string()));
  say("@");
  EXPECT_EQ(carried(), "0000:sfirm");
  say("Wait for hex..");
  const uint32_t start = ticks();
  EXPECT_EQ(line(), ":10000000AA");
  EXPECT_EQ(line(), ":10001000BB");
  EXPECT_EQ(line(), "");
  EXPECT_EQ(line(), "C/2");
  EXPECT_GE(ticksSince(start), 20u);
  say("C/2 OK");
  say("Update done");
  say("Restart");
  ASSERT_TRUE(waitForFlag());
  EXPECT_EQ(console_.answerFlag.load(), 1);
  EXPECT_EQ(thread_->commandReply(), "Restart");

  // A file that cannot be read is no update.
  console_.answerFlag = 0;
  ASSERT_TRUE(thread_->queueText("0000:sfirm|" + (dir_ / "missing.hex").string()));
  say("@");
  EXPECT_EQ(carried(), "0000:sfirm");
  say("Wait for hex..");
  EXPECT_EQ(line(), "");
  EXPECT_EQ(line(), "C/0");
  say("x");
  say("y");
  say("z");
  ASSERT_TRUE(waitForFlag());
  EXPECT_EQ(console_.answerFlag.load(), -1);
}

TEST_F(DeviceDialogue, UnsentTextsOutliveTheThreadAndComeBackUnlessTheOperatorDeletesThem) {
  attach();
  ASSERT_TRUE(thread_->queueText("one"));
  ASSERT_TRUE(thread_->queueText("two"));
  stop();
  EXPECT_EQ(dir_.read("SMS.buf"), "one\r\ntwo\r\n");

  // Kept (the safe answer): the next device sends them, and the file is gone.
  ScriptedOperator keep(false);
  context_.questions = &keep;
  std::filesystem::rename(dir_ / "SMS.buf", dir_ / "sms.BUF");
  device_.close();
  attach();
  say("@");
  EXPECT_EQ(carried(), "one");
  EXPECT_EQ(keep.asked, std::vector<std::string>{"Delete unsent messages?"});
  EXPECT_FALSE(std::filesystem::exists(dir_ / "sms.BUF"));
  stop();

  // Deleted: nothing comes back.
  ScriptedOperator drop(true);
  context_.questions = &drop;
  device_.close();
  attach();
  say("@");
  EXPECT_TRUE(bareAck());
  EXPECT_FALSE(std::filesystem::exists(dir_ / "SMS.buf"));
}

TEST_F(DeviceDialogue, ASavedFileOfJunkCostsBoundedMemoryAndKeepsItsTexts) {
  std::string junk = "ok\r\n" + std::string(1 << 20, 'x') + "\r\n" + std::string("\0\1\2\xff", 4) +
                     "\r\nlast\r\n";
  dir_.write("SMS.buf", junk);
  testing::internal::CaptureStderr();
  attach();
  say("@");
  EXPECT_EQ(carried(), "ok");
  say(kAckByte);
  EXPECT_TRUE(bareAck());
  say("@");
  EXPECT_EQ(carried(), std::string("\0\1\2\xff", 4));
  stop();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("left out"), std::string::npos) << err;
}

TEST(DeviceSerial, BytesWithoutDc4AreDiscardedAndTheNextMessageIsAnswered) {
  int master = -1, slave = -1;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  std::optional<SerialPort> port = SerialPort::open(7, name, SerialSettings{});
  ASSERT_TRUE(port);
  test::TempDir dir;
  DeviceLineContext context;
  context.programDir = dir.path();
  testing::internal::CaptureStderr();
  auto thread = std::make_unique<TComThrd>(context, std::move(*port));
  thread->start();

  auto readUntil = [&](std::string_view want) {
    std::string got;
    for (uint32_t start = ticks(); ticksSince(start) < 10000u && got.find(want) == std::string::npos;) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
  };
  EXPECT_NE(readUntil("VX2810mk V1.02\r\n").find("VX2810mk V1.02\r\n"), std::string::npos);
  const std::string flood(30000, 'z');
  for (size_t at = 0; at < flood.size(); at += 1000) {
    ASSERT_EQ(::write(master, flood.data() + at, 1000), 1000);
    usleep(1000);
  }
  const std::string message = "5011 181234E13001015" + std::string(1, kDc4);
  // Sent after a pause, so that it does not ride on the tail of the discarded bytes.
  usleep(300000);
  ASSERT_EQ(::write(master, message.data(), message.size()), static_cast<ssize_t>(message.size()));
  EXPECT_EQ(readUntil(kAckByte), kAckByte);
  thread->requestStop();
  thread->join();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("without DC4 discarded"), std::string::npos) << err;
  ::close(master);
  ::close(slave);
}

}  // namespace
}  // namespace orv
