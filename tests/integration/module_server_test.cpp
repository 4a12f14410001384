// Starts the real ORV_Serv --headless with a GPRS line on a free port and talks to it as alarm
// modules do, over real sockets on 127.0.0.1.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/hex_record.h"
#include "common/line_socket.h"
#include "common/socket_error.h"
#include "common/unique_fd.h"
#include "tests/support/checksums.h"
#include "tests/support/elapsed.h"
#include "tests/support/module_peer.h"
#include "tests/support/output_peer.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/queue_files.h"
#include "tests/support/queue_waits.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text_lines.h"

namespace orv {
namespace {

using test::Clock;
using test::countStartingWith;
using test::freePort;
using test::joined;
using test::msSince;
using test::withModuleChecksum;
using Module = test::ModulePeer;

constexpr int kStartMs = 15000;
constexpr int kAnswerMs = test::kModuleAnswerMs;
constexpr int kQueueMs = 5000;
constexpr int kExitMs = 10000;
constexpr const char* kBanner = test::kModuleBanner;

bool isTimeAnswer(const std::string& answer) {
  static const std::regex kTime(R"(1[^:]*:99\.c\d{12})");
  return std::regex_match(answer, kTime);
}

// The module sets its clock from the twelve digits DDMMYYHHMMSS: they must be our local time,
// read between `before` and `after` (a midnight in between is fine).
testing::AssertionResult isLocalTimeBetween(const std::string& digits, time_t before,
                                            time_t after) {
  if (digits.size() != 12) return testing::AssertionFailure() << "'" << digits << "'";
  for (time_t t = before - 1; t <= after + 1; ++t) {
    tm local{};
    ::localtime_r(&t, &local);
    char expected[64];
    std::snprintf(expected, sizeof expected, "%02d%02d%02d%02d%02d%02d", local.tm_mday,
                  local.tm_mon + 1, local.tm_year % 100, local.tm_hour, local.tm_min, local.tm_sec);
    if (digits == expected) return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "'" << digits << "' is not the local time now";
}

class ModuleServer : public testing::Test {
 protected:
  // Starts the server with one GPRS line on a free port: `gprs` holds more keys of that line's
  // section, `rest` further sections. The output server (there is one as soon as a channel is
  // configured) gets a free port too.
  bool start(std::string_view gprs = "", std::string_view rest = "") {
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = freePort();
      outPort_ = freePort();
      if (port_ == 0 || outPort_ == 0 || port_ == outPort_) continue;
      dir_.write("ORV_Serv.ini", "[GPRS0]\nPort=" + std::to_string(port_) + "\n" +
                                     std::string(gprs) + "[Out]\nPort=" + std::to_string(outPort_) +
                                     "\n" + std::string(rest));
      server_ = std::make_unique<test::Process>(
          ORV_SERV_PATH, std::vector<std::string>{"--headless", "--dir", dir_.path().string()});
      if (!server_->waitForLine("running:", kStartMs)) {
        ADD_FAILURE() << "the server did not start:\n" << server_->output();
        return false;
      }
      if (output().find("cannot listen on port") == std::string::npos &&
          output().find("module server listening on port " + std::to_string(port_) + "\n") !=
              std::string::npos) {
        return true;
      }
      server_.reset();  // someone took a port in the meantime: other ones
    }
    ADD_FAILURE() << "no free ports could be bound";
    return false;
  }

  // Every test ends with a clean stop; a sanitizer report anywhere in the run fails it.
  void TearDown() override {
    if (!server_) return;
    EXPECT_TRUE(test::stopsCleanly(*server_, kExitMs));
    if (HasFailure()) {
      std::printf("--- ORV_Serv output ---\n%s--- end ---\n", server_->output().c_str());
    }
  }

  const std::string& output() const { return server_->output(); }

  // Connects a module and reads the banner.
  bool connect(Module& m) {
    testing::AssertionResult connected = m.connect(port_);
    if (!connected) ADD_FAILURE() << connected.message();
    return static_cast<bool>(connected);
  }

  std::vector<std::string> queue(std::string_view id) const {
    return test::queuedLines(dir_.path(), id);
  }

  // Polls the queue file of channel `id` until `done` holds for its lines.
  testing::AssertionResult waitForQueue(
      std::string_view id, const std::function<bool(const std::vector<std::string>&)>& done) {
    return test::waitForQueueUntil(dir_.path(), id, done, kQueueMs);
  }

  testing::AssertionResult waitForQueueLine(std::string_view id, std::string_view prefix) {
    return test::waitForQueueLine(dir_.path(), id, prefix, kQueueMs);
  }

  // Attaches an output client to a channel the way monitoring software does; its reply to the
  // channel's answer is "A".
  testing::AssertionResult attachClient(test::OutputPeer& client, std::string_view channel) {
    return client.attach(outPort_, channel, "A");
  }

  // A client's command reaches the module's queue a moment after the client sent it.
  static std::string pollForCommand(Module& m) { return m.pollForCommand(kAnswerMs); }

  test::TempDir dir_;
  std::unique_ptr<test::Process> server_;
  uint16_t port_ = 0;
  uint16_t outPort_ = 0;
};

// Tests that wait for the server's minute-long timers.
class ModuleServerSlow : public ModuleServer {};

TEST_F(ModuleServer, GreetsEveryConnectionWithTheBanner) {
  ASSERT_TRUE(start());
  // The banner must end in CR LF and be all that comes before the module speaks.
  Module m;
  ASSERT_EQ(m.socket.connect("127.0.0.1", port_, kAnswerMs), 0);
  std::string banner;
  ASSERT_EQ(m.socket.receiveLine(banner, LineEnd::CrLf, kAnswerMs), 0);
  EXPECT_EQ(banner, kBanner);
  EXPECT_EQ(m.socket.bufferedBytes(), 0u);
  Module second;
  EXPECT_TRUE(connect(second));
}

TEST_F(ModuleServer, IdentificationAndTimeRequestsGetTheLocalTime) {
  ASSERT_TRUE(start());
  Module m;
  ASSERT_TRUE(connect(m));
  const std::regex answer(R"(1ABC123:99\.c(\d{12}))");
  std::smatch match;

  time_t before = ::time(nullptr);
  std::string a = m.say("aABC123,1F2A");
  time_t after = ::time(nullptr);
  ASSERT_TRUE(std::regex_match(a, match, answer)) << a;
  EXPECT_TRUE(isLocalTimeBetween(match[1], before, after));

  // The identifier from the identification is used from then on.
  before = ::time(nullptr);
  std::string t = m.say("T");
  after = ::time(nullptr);
  ASSERT_TRUE(std::regex_match(t, match, answer)) << t;
  EXPECT_TRUE(isLocalTimeBetween(match[1], before, after));

  Module other;
  ASSERT_TRUE(connect(other));
  std::string i = other.say("IXYZ9");
  EXPECT_TRUE(std::regex_match(i, std::regex(R"(1XYZ9:99\.c\d{12})"))) << i;

  // Identifications without an identifier or without an account are still answered.
  for (const char* line : {"a,1234", "a1234"}) {
    Module odd;
    ASSERT_TRUE(connect(odd));
    std::string reply = odd.say(line);
    EXPECT_TRUE(isTimeAnswer(reply)) << line << " -> " << reply;
  }
}

TEST_F(ModuleServer, AccountZeroGetsTheTimeAtMostOncePerTOut) {
  ASSERT_TRUE(start("", "[Sock]\nTOut=2\n"));
  Module m;
  ASSERT_TRUE(connect(m));
  ASSERT_TRUE(isTimeAnswer(m.say("IZERO1")));

  Clock::time_point firstPoll = Clock::now();
  std::string first = m.say("Q");
  ASSERT_TRUE(isTimeAnswer(first)) << first;
  std::string second = m.say("Q");
  EXPECT_FALSE(isTimeAnswer(second)) << second;
  EXPECT_EQ(second, "1ZERO1:99.c3");

  // Keep polling: the time comes back only once more than TOut has passed since it was sent.
  long gap = -1;
  while (msSince(firstPoll) < 6000) {
    std::string reply = m.say("Q");
    if (isTimeAnswer(reply)) {
      gap = msSince(firstPoll);
      break;
    }
    EXPECT_EQ(reply, "0");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_GE(gap, 2000) << "the time came again too early";
  EXPECT_LE(gap, 4000) << "the time did not come again";
}

TEST_F(ModuleServer, StartCommandsGoOutOneAPollInKeyOrder) {
  ASSERT_TRUE(start("", "[StartCmd]\na=x\nb=y\n"));
  Module m;
  ASSERT_TRUE(connect(m));
  ASSERT_TRUE(isTimeAnswer(m.say("aABC123,1F2A")));
  EXPECT_EQ(m.say("Q"), "2ABC123:x");
  EXPECT_EQ(m.say("Q"), "2ABC123:y");
  EXPECT_EQ(m.say("Q"), "1ABC123:99.c3");
  EXPECT_EQ(m.say("Q"), "0");
  EXPECT_EQ(m.say("Q"), "0");

  // Every connection gets its own set.
  Module next;
  ASSERT_TRUE(connect(next));
  ASSERT_TRUE(isTimeAnswer(next.say("aDEF456,1F2B")));
  EXPECT_EQ(next.say("Q"), "2DEF456:x");
}

TEST_F(ModuleServer, ACommandWithOthersBehindItStartsNoTransfer) {
  ASSERT_TRUE(start("", "[StartCmd]\na=0000:lcfg\n"));
  Module m;
  ASSERT_TRUE(connect(m));
  ASSERT_TRUE(isTimeAnswer(m.say("aCFG1,1F2A")));
  EXPECT_EQ(m.say("Q"), "2CFG1:0000:lcfg");
  // Had a download begun, this poll would be taken as a record and go unanswered.
  EXPECT_EQ(m.say("Q"), "1CFG1:99.c3");
  EXPECT_EQ(m.say("Q"), "0");
}

TEST_F(ModuleServer, StartCommandsAreDroppedForAnAccountOutsideTheFilter) {
  ASSERT_TRUE(start("", "[AccFilter]\nk=$1000,$1FFF\n[StartCmd]\na=x\nb=y\n"));
  Module outside;
  ASSERT_TRUE(connect(outside));
  ASSERT_TRUE(isTimeAnswer(outside.say("aOUT1,2F00")));
  Module inside;
  ASSERT_TRUE(connect(inside));
  ASSERT_TRUE(isTimeAnswer(inside.say("aIN1,1F2A")));

  for (int i = 0; i < 5; ++i) EXPECT_EQ(outside.say("Q"), "0") << "poll " << i;
  EXPECT_EQ(inside.say("Q"), "2IN1:x");
  EXPECT_EQ(inside.say("Q"), "2IN1:y");
  EXPECT_EQ(inside.say("Q"), "1IN1:99.c3");
  EXPECT_EQ(inside.say("Q"), "0");
}

TEST_F(ModuleServer, EventsReachEveryQueueOnlyWithARightChecksum) {
  ASSERT_TRUE(start("Line=1\n", "[Client0]\nId=Bank\n[Client1]\nId=Second\n"));
  Module m;
  ASSERT_TRUE(connect(m));
  ASSERT_TRUE(isTimeAnswer(m.say("aABC123,1234")));

  EXPECT_EQ(m.say(withModuleChecksum("M01,1234,E13001003")), "0");
  for (const char* id : {"Bank", "Second"}) {
    EXPECT_TRUE(waitForQueueLine(id, "5011 181234  E1"));
  }

  // Every kind of bad checksum is left unanswered, so that the module keeps the event and
  // repeats it, and is delivered nowhere; the connection reads on.
  std::string bad = withModuleChecksum("M01,1234,E60200000");
  bad.back() = bad.back() == '0' ? '1' : '0';
  for (const std::string& refused :
       {bad, std::string("M01,1234,E60200000*G0"), std::string("M01,1234,E60200000*5")}) {
    EXPECT_EQ(m.say(refused, 300), "<no answer: " + describeSocketError(kWsaTimedOut) + ">")
        << refused;
  }
  ASSERT_TRUE(server_->waitForLine("wrong checksum not acknowledged", kAnswerMs));
  // The module's repeat with the right checksum is taken once.
  EXPECT_EQ(m.say(withModuleChecksum("M01,1234,E60200000")), "0");
  // Status reports are no events either.
  EXPECT_EQ(m.say("MV:12.6;CSQ:18"), "0");

  // Lines are handed on in order: once this one is in, anything before it would be too.
  EXPECT_EQ(m.say(withModuleChecksum("M01,1234,R40101012")), "0");
  const std::vector<std::string> expected = {
      "U011  1234ABC123FFFFFFFFFFFF", "5011 181234  FF     ",  // the link event
      "U011  1234ABC123FFFFFFFFFFFF", "5011 181234  E1     ",
      "U011  1234ABC123FFFFFFFFFFFF", "5011 181234  E6     ",
      "U011  1234ABC123FFFFFFFFFFFF", "5011 181234  R4     "};
  for (const char* id : {"Bank", "Second"}) {
    EXPECT_TRUE(waitForQueueLine(id, "5011 181234  R4"));
    EXPECT_EQ(queue(id), expected) << id << ":\n" << joined(queue(id));
  }
}

TEST_F(ModuleServer, RefusedEventsDoNotHoldUpTheLinesBehindThem) {
  ASSERT_TRUE(start("Line=1\n", "[Client0]\nId=Bank\n"));
  Module m;
  ASSERT_TRUE(connect(m));
  ASSERT_TRUE(isTimeAnswer(m.say("aABC123,1234")));
  // Bad events and a good one in one write: only the good one is answered.
  std::string burst;
  for (int i = 0; i < 500; ++i) burst += "M01,1234,E13001003*00\r\n";
  burst += withModuleChecksum("M01,1234,E13001009") + "\r\n";
  ASSERT_TRUE(m.send(burst));
  EXPECT_EQ(m.answer(), "0");
  EXPECT_TRUE(waitForQueueLine("Bank", "5011 181234  E1"));
  // Exactly one answer came for the burst: the next line's answer is its own.
  EXPECT_TRUE(isTimeAnswer(m.say("T")));
}

TEST_F(ModuleServer, LinkEventComesWithTheIdentificationOnly) {
  ASSERT_TRUE(start("Line=1\nSyncP=1\n", "[Client0]\nId=Bank\n"));
  Module m;
  ASSERT_TRUE(connect(m));
  ASSERT_TRUE(isTimeAnswer(m.say("aLINK01,1F2A")));
  EXPECT_TRUE(waitForQueueLine("Bank", "5011 181F2A  FF"));

  // A module without an account has no link event.
  Module zero;
  ASSERT_TRUE(connect(zero));
  ASSERT_TRUE(isTimeAnswer(zero.say("IZERO2")));
  zero.say("Q");
  zero.say("Q");

  for (int i = 0; i < 4; ++i) m.say("Q");
  EXPECT_EQ(m.say(withModuleChecksum("M01,1F2A,R40101012")), "0");
  ASSERT_TRUE(waitForQueueLine("Bank", "5011 181F2A  R4"));
  std::vector<std::string> lines = queue("Bank");
  EXPECT_EQ(countStartingWith(lines, "5011 18"), 2u) << joined(lines);
  EXPECT_EQ(countStartingWith(lines, "5011 181F2A  FF     "), 1u) << joined(lines);
  EXPECT_EQ(countStartingWith(lines, "U011  1F2ALINK01FFFF"), 2u) << joined(lines);
}

TEST_F(ModuleServer, ConfigurationTravelsDownAndUpByClientCommands) {
  ASSERT_TRUE(start("Line=1\n", "[Client0]\nId=Bank\n"));
  Module m;
  ASSERT_TRUE(connect(m));
  ASSERT_TRUE(isTimeAnswer(m.say("aCFG1,1F2A")));
  ASSERT_EQ(m.say("Q"), "1CFG1:99.c3");
  ASSERT_TRUE(waitForQueueLine("Bank", "5011 181F2A  FF"));

  // A client sends commands in its replies to the channel's lines, or on their own.
  test::OutputPeer client;
  ASSERT_TRUE(attachClient(client, "Bank"));
  std::string line;
  ASSERT_EQ(client.socket.receiveLine(line, LineEnd::CrLf, kAnswerMs), 0);
  EXPECT_EQ(line, "U011  1F2ACFG1FFFFFFFFFFFFFF");
  ASSERT_EQ(client.socket.send("A1:CFG1:0000:lcfg\r\n"), 0);
  ASSERT_EQ(client.socket.receiveLine(line, LineEnd::CrLf, kAnswerMs), 0);
  EXPECT_EQ(line, "5011 181F2A  FF     ");
  ASSERT_EQ(client.socket.send("A\r\n"), 0);

  // Sent alone, the command starts the download: records and the closing line go unanswered.
  ASSERT_EQ(pollForCommand(m), "1CFG1:0000:lcfg");
  std::vector<uint8_t> counting(16), blank(16, 0xFF), last(16, 0xA5);
  for (size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<uint8_t>(i);
  const std::string_view text = "ORV test record!";
  std::vector<uint8_t> textBytes(text.begin(), text.end());
  const std::string r0 = encodeHexRecord(0x0000, counting);
  const std::string r1 = encodeHexRecord(0x0100, textBytes);
  const std::string r2 = encodeHexRecord(0x0200, blank);
  const std::string r3 = encodeHexRecord(0x03F0, last);
  // A line in the same segment as the closing one is the first to get an answer.
  ASSERT_TRUE(
      m.send("#4" + r0 + "\r\n#4" + r1 + "\r\n#4" + r2 + "\r\n#4" + r3 + "\r\nC/4\r\nT\r\n"));
  EXPECT_TRUE(isTimeAnswer(m.answer()));

  // The upload sends back what the download stored; blocks of 0xFF stay out.
  ASSERT_EQ(client.socket.send("A1:CFG1:0000:scfg\r\n"), 0);
  ASSERT_EQ(pollForCommand(m), "1CFG1:0000:scfg");
  ASSERT_TRUE(m.send("Wait for hex\r\n"));
  std::vector<std::string> upload;
  while (upload.size() < 10 && (upload.empty() || !upload.back().starts_with("C/"))) {
    upload.push_back(m.answer());
    if (upload.back().starts_with("<")) break;
  }
  EXPECT_EQ(upload, (std::vector<std::string>{r0, r1, r3, ":00000001FF", "", "C/4"}));
  ASSERT_TRUE(m.send("CFG OK\r\nT\r\n"));
  EXPECT_TRUE(isTimeAnswer(m.answer()));

  // The firmware question: its answer is acknowledged with "0".
  ASSERT_EQ(client.socket.send("A1:CFG1:0000:mode?\r\n"), 0);
  ASSERT_EQ(pollForCommand(m), "1CFG1:0000:mode?");
  EXPECT_EQ(m.say("v.32_mode0 CODE 0000"), "0");
  EXPECT_EQ(m.say("Q"), "0");
}

TEST_F(ModuleServer, ModulesThatLeaveAtOnceDisturbNoOthers) {
  ASSERT_TRUE(start());
  Module steady;
  ASSERT_TRUE(connect(steady));
  ASSERT_TRUE(isTimeAnswer(steady.say("aSTEADY,1F2A")));

  for (int i = 0; i < 10; ++i) {
    // Closes after the banner, closes before reading it, and resets the connection.
    Module gone;
    ASSERT_TRUE(connect(gone));
    gone.socket.close();
    Module early;
    ASSERT_EQ(early.socket.connect("127.0.0.1", port_, kAnswerMs), 0);
    early.socket.close();
    Module reset;
    ASSERT_EQ(reset.socket.connect("127.0.0.1", port_, kAnswerMs), 0);
    linger hard{1, 0};
    ::setsockopt(reset.socket.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    reset.socket.close();
    EXPECT_EQ(steady.say("Q"), i == 0 ? "1STEADY:99.c3" : "0");
  }

  std::this_thread::sleep_for(std::chrono::seconds(1));  // past the next sweep of the line
  Module fresh;
  ASSERT_TRUE(connect(fresh));
  EXPECT_TRUE(isTimeAnswer(fresh.say("aFRESH,1F2B")));
  EXPECT_EQ(fresh.say("Q"), "1FRESH:99.c3");
  EXPECT_EQ(steady.say("Q"), "0");
}

TEST_F(ModuleServer, SigtermWithFiftyModulesClosesEveryConnection) {
  ASSERT_TRUE(start());
  std::vector<Module> modules(50);
  for (size_t n = 0; n < modules.size(); ++n) {
    ASSERT_TRUE(connect(modules[n]));
    char line[32];
    std::snprintf(line, sizeof line, "aSTOP%02zu,%04zX", n, 0x1000 + n);
    ASSERT_TRUE(isTimeAnswer(modules[n].say(line))) << line;
  }

  Clock::time_point start = Clock::now();
  server_->signal(SIGTERM);
  std::optional<int> code = server_->waitExit(kExitMs);
  ASSERT_TRUE(code.has_value()) << "still running after SIGTERM";
  EXPECT_EQ(*code, 0);
  EXPECT_LE(msSince(start), 5000);
  for (size_t n = 0; n < modules.size(); ++n) {
    std::string line;
    int rc = modules[n].socket.receiveLine(line, LineEnd::CrLf, 1000);
    EXPECT_EQ(rc, kWsaConnReset) << "module " << n << ": " << describeSocketError(rc);
  }
}

TEST_F(ModuleServer, CutsOffAModuleSendingTooMuchWithoutALineEnd) {
  ASSERT_TRUE(start());
  Module flood;
  ASSERT_TRUE(connect(flood));
  flood.send(std::string(70 * 1024, 'A'));  // may fail once the server has closed
  EXPECT_TRUE(flood.closedWithin(kAnswerMs));
  std::optional<std::string> diagnostic = server_->waitForLine("sent more than", kAnswerMs);
  ASSERT_TRUE(diagnostic.has_value());
  EXPECT_NE(diagnostic->find("127.0.0.1"), std::string::npos) << *diagnostic;

  Module next;
  ASSERT_TRUE(connect(next));
  EXPECT_TRUE(isTimeAnswer(next.say("aNEXT,1F2A")));
}

TEST_F(ModuleServer, AnswersLinesWithNulAndFfBytesAndLongLines) {
  ASSERT_TRUE(start("Line=1\n", "[Client0]\nId=Bank\n"));
  using namespace std::string_literals;
  Module m;
  ASSERT_TRUE(connect(m));
  EXPECT_TRUE(isTimeAnswer(m.say("aNUL\0ID\xFF,1234"s)));
  EXPECT_EQ(m.say("Q\0\xFF"s), "1NUL\0ID\xFF:99.c3"s);
  EXPECT_EQ(m.say("\0Q"s), "0");
  EXPECT_EQ(m.say("M01,1234,E13\0\xFF"
                  "01003"s),
            "0");
  EXPECT_EQ(m.say("\xFF\xFE\x01\0x"s), "0");
  EXPECT_EQ(m.say("MV:\0\xFF;CSQ:\xFF"s), "0");
  EXPECT_EQ(m.say(withModuleChecksum("M01,1234,E1\xFF\0"
                                     "3001"s)),
            "0");

  // Around the read size of 1,024 bytes, the line end on either side of it.
  for (size_t size : {1023u, 1024u, 1025u, 4000u}) {
    std::string line = "M01,1234,E13001003";
    line.resize(size, 'x');
    EXPECT_EQ(m.say(line), "0") << size << " bytes";
  }
  Module longId;
  ASSERT_TRUE(connect(longId));
  std::string ident = "a" + std::string(1017, 'L') + ",12AB";
  ASSERT_EQ(ident.size(), 1023u);
  std::string reply = longId.say(ident);
  EXPECT_EQ(reply.substr(0, 20), "1" + std::string(19, 'L'));
  EXPECT_TRUE(isTimeAnswer(reply)) << reply.size() << " bytes";
  EXPECT_EQ(longId.say(withModuleChecksum("M01,12AB,E13001003")), "0");
  // The identity line has room for 18 characters of the identifier.
  EXPECT_TRUE(waitForQueueLine("Bank", "U011  12AB" + std::string(18, 'L')));

  Module after;
  ASSERT_TRUE(connect(after));
  EXPECT_TRUE(isTimeAnswer(after.say("aAFTER,1F2A")));
  EXPECT_EQ(m.say("Q"), "0");
}

TEST_F(ModuleServer, LinesBehindAnEmptyLineInTheSameSegmentAreAnswered) {
  ASSERT_TRUE(start());
  Module m;
  ASSERT_TRUE(connect(m));
  ASSERT_TRUE(m.send("\r\naPIPE,1F2A\r\n\r\n\r\nQ\r\nQ\r\n\r\n"));
  EXPECT_TRUE(isTimeAnswer(m.answer()));
  EXPECT_EQ(m.answer(), "1PIPE:99.c3");
  EXPECT_EQ(m.answer(), "0");
  EXPECT_EQ(m.socket.bufferedBytes(), 0u);
  EXPECT_EQ(m.say("Q"), "0");
}

TEST_F(ModuleServer, AnswersEveryLineOfALargeBurst) {
  ASSERT_TRUE(start());
  Module m;
  ASSERT_TRUE(connect(m));
  // Empty lines first, so that the burst piles up in the server's buffer; a nearly full
  // buffer of short lines, each with a long answer, so that answers back up as well.
  constexpr size_t kLines = 30000;
  std::string burst(30, '\n');
  for (size_t i = 0; i < kLines; ++i) burst += "T\n";
  ASSERT_LT(burst.size(), 64u * 1024);
  ASSERT_TRUE(m.send(burst));
  size_t answered = 0;
  while (answered < kLines) {
    std::string a = m.answer(10000);
    if (!a.starts_with("1:99.c") || a.size() != 18) {
      ADD_FAILURE() << "answer " << answered << ": " << a;
      break;
    }
    ++answered;
  }
  EXPECT_EQ(answered, kLines);
  Module after;
  ASSERT_TRUE(connect(after));
  EXPECT_TRUE(isTimeAnswer(after.say("aAFTER,1F2A")));
}

TEST_F(ModuleServer, SimulatorWithTwentyModulesSeesNoErrors) {
  ASSERT_TRUE(start("Line=1\n", "[StartCmd]\na=x\n[Client0]\nId=Bank\nQSize=100000\n"));
  test::Process sim(ORV_MODSIM_PATH,
                    {"--port", std::to_string(port_), "--connections", "20", "--seconds", "2",
                     "--poll-ms", "100", "--events", "50", "--account", "2000"});
  std::optional<int> code = sim.waitExit(20000);
  ASSERT_TRUE(code.has_value()) << sim.output();
  EXPECT_EQ(*code, 0) << sim.output();
  EXPECT_NE(sim.output().find("connected 20 failed 0 closed-by-server 0"), std::string::npos)
      << sim.output();
  EXPECT_NE(sim.output().find(" commands 20 "), std::string::npos) << sim.output();
  EXPECT_NE(sim.output().find(" errors 0\n"), std::string::npos) << sim.output();

  // Every module's link event reached the queue.
  EXPECT_TRUE(waitForQueue("Bank", [](const auto& lines) {
    for (unsigned n = 0; n < 20; ++n) {
      char link[32];
      std::snprintf(link, sizeof link, "5011 18%04X  FF", 0x2000 + n);
      if (countStartingWith(lines, link) != 1) return false;
    }
    return true;
  }));
}

TEST_F(ModuleServerSlow, ClosesASilentModuleAfterItsLifeTime) {
  ASSERT_TRUE(start("LifeTime=1\n"));
  Module silent;
  ASSERT_TRUE(connect(silent));
  ASSERT_TRUE(isTimeAnswer(silent.say("aSILENT,1F2A")));
  Clock::time_point lastLine = Clock::now();
  Module talking;
  ASSERT_TRUE(connect(talking));
  ASSERT_TRUE(isTimeAnswer(talking.say("aTALK,1F2B")));

  // The other module's lines keep it alive; they must not keep the silent one alive too.
  bool closed = false;
  while (msSince(lastLine) < 64000) {
    EXPECT_NE(talking.say("Q").substr(0, 1), "<");
    std::string line;
    int rc = silent.socket.receiveLine(line, LineEnd::CrLf, 2000);
    if (rc != kWsaTimedOut) {
      EXPECT_EQ(rc, kWsaConnReset) << describeSocketError(rc);
      closed = true;
      break;
    }
  }
  long after = msSince(lastLine);
  EXPECT_TRUE(closed) << "still open after " << after << " ms";
  EXPECT_GE(after, 59500);
  EXPECT_LE(after, 63000);
  EXPECT_EQ(talking.say("Q"), "0");
}

TEST_F(ModuleServerSlow, LinkEventRepeatsOncePerSyncP) {
  ASSERT_TRUE(start("Line=1\nSyncP=1\n", "[Client0]\nId=Bank\n"));
  Module m;
  ASSERT_TRUE(connect(m));
  Clock::time_point identified = Clock::now();
  ASSERT_TRUE(isTimeAnswer(m.say("aLINK02,1F2A")));
  ASSERT_TRUE(waitForQueueLine("Bank", "5011 181F2A  FF"));

  long second = -1;
  while (msSince(identified) < 66000) {
    m.say("Q");
    if (countStartingWith(queue("Bank"), "5011 181F2A  FF") >= 2) {
      second = msSince(identified);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  EXPECT_GE(second, 60000);
  EXPECT_LE(second, 63000);
  EXPECT_EQ(countStartingWith(queue("Bank"), "5011 181F2A  FF"), 2u) << joined(queue("Bank"));
}

}  // namespace
}  // namespace orv
