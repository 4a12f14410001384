// Starts the real ORV_Serv --headless with an output port and a GPRS line on free ports, feeds
// lines into its channels as an alarm module does, and reads them back as monitoring software,
// a forwarding peer and orv-outcat do, over real sockets on 127.0.0.1.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/line_socket.h"
#include "common/local_time.h"
#include "common/socket_error.h"
#include "common/unique_fd.h"
#include "tests/support/elapsed.h"
#include "tests/support/module_peer.h"
#include "tests/support/output_peer.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/queue_waits.h"
#include "tests/support/socket_waits.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text_lines.h"

namespace orv {
namespace {

using test::Clock;
using test::freePort;
using test::joined;
using test::kChannelFound;
using test::kChannelMissing;
using test::msSince;
using test::splitLines;
using Module = test::ModulePeer;
using Peer = test::OutputPeer;

constexpr int kStartMs = 15000;
constexpr int kAnswerMs = test::kOutputAnswerMs;
constexpr int kQueueMs = 5000;
constexpr int kExitMs = 10000;

constexpr const char* kBanner = test::kOutputBanner;
// What the feeder module's identification puts into every channel: its link event.
constexpr const char* kLinkLine = "5011 181234  FF     ";

// Event n of the feeder module (account 1234 on Line=1) and the output line it becomes.
std::string eventText(int n) {
  char text[32];
  std::snprintf(text, sizeof text, "M06,1234,1300%04d", n);
  return text;
}
std::string eventLine(int n) {
  char text[32];
  std::snprintf(text, sizeof text, "5011 181234E1300%04d", n);
  return text;
}

// Processor time the process has used so far, in seconds.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return -1;
  std::istringstream fields(stat.substr(paren + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int n = 3; fields >> field; ++n) {
    if (n == 14) utime = std::stoull(field);
    if (n == 15) {
      stime = std::stoull(field);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Connects to 127.0.0.1:port from another loopback address and collects what the server sends
// until it closes; std::nullopt while it is still open after the wait.
struct ServerSetup {
  std::string gprs = "Line=1\n";  // more keys of [GPRS0]
  std::string gprs2;              // keys of a second line [GPRS1]; none when empty
  std::string out;                // more keys of [Out]
  std::string rest = "[Client0]\nId=Bank\n";
};

ServerSetup withChannels(std::string sections) {
  ServerSetup s;
  s.rest = std::move(sections);
  return s;
}

class OutputServer : public testing::Test {
 protected:
  bool start(const ServerSetup& setup) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      gprsPort_ = freePort();
      gprs2Port_ = setup.gprs2.empty() ? 0 : freePort();
      outPort_ = freePort();
      std::set<uint16_t> distinct{gprsPort_, outPort_};
      if (!setup.gprs2.empty()) distinct.insert(gprs2Port_);
      if (distinct.count(0) || distinct.size() != (setup.gprs2.empty() ? 2u : 3u)) continue;
      std::string ini =
          "[Options]\nU_Fl=0\n[GPRS0]\nPort=" + std::to_string(gprsPort_) + "\n" + setup.gprs;
      if (!setup.gprs2.empty()) {
        ini += "[GPRS1]\nPort=" + std::to_string(gprs2Port_) + "\n" + setup.gprs2;
      }
      ini += "[Out]\nPort=" + std::to_string(outPort_) + "\n" + setup.out + setup.rest;
      dir_.write("ORV_Serv.ini", ini);
      if (launch()) return true;
      if (HasFailure()) return false;
      stop();  // a port went to someone else in the meantime: other ones
    }
    ADD_FAILURE() << "no free ports could be bound";
    return false;
  }

  // Starts the server on the directory as it is; false (without a failure) when one of its
  // ports was taken.
  bool launch() {
    server_ = std::make_unique<test::Process>(
        ORV_SERV_PATH, std::vector<std::string>{"--headless", "--dir", dir_.path().string()});
    if (!server_->waitForLine("running:", kStartMs)) {
      ADD_FAILURE() << "the server did not start:\n" << server_->output();
      return false;
    }
    auto has = [&](const std::string& text) { return output().find(text) != std::string::npos; };
    return has("output server listening on port " + std::to_string(outPort_) + "\n") &&
           has("module server listening on port " + std::to_string(gprsPort_) + "\n") &&
           (gprs2Port_ == 0 ||
            has("module server listening on port " + std::to_string(gprs2Port_) + "\n"));
  }

  // SIGTERM, a clean exit, and no sanitizer report.
  void stop() {
    if (!server_) return;
    EXPECT_TRUE(test::stopsCleanly(*server_, kExitMs));
    earlierRuns_ += server_->output() + "--- (stopped) ---\n";
    server_.reset();
  }

  void restart() {
    stop();
    ASSERT_TRUE(launch()) << "the ports of the first run were taken:\n" << output();
  }

  void TearDown() override {
    stop();
    if (HasFailure()) std::printf("--- ORV_Serv output ---\n%s--- end ---\n", earlierRuns_.c_str());
  }

  const std::string& output() const { return server_->output(); }

  testing::AssertionResult diagnostic(std::string_view text, int timeoutMs = kAnswerMs) {
    if (server_->waitForLine(text, timeoutMs)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "no diagnostic '" << text << "' in:\n" << output();
  }

  testing::AssertionResult connectModule(Module& m, uint16_t port, std::string_view ident) {
    testing::AssertionResult connected = m.connect(port);
    if (!connected) return connected;
    return m.identify(ident);
  }
  // The module that feeds the channels: once identified, its link line is in every channel.
  testing::AssertionResult connectFeeder(Module& m) {
    return connectModule(m, gprsPort_, "a1234,1234");
  }
  testing::AssertionResult push(Module& feeder, int first, int last) {
    for (int n = first; n <= last; ++n) {
      std::string answer = feeder.say(eventText(n));
      if (answer != "0") return testing::AssertionFailure() << "event " << n << ": " << answer;
    }
    return testing::AssertionSuccess();
  }

  // Connects, names the channel, reads its answer and replies to it.
  testing::AssertionResult attach(Peer& client, std::string_view channel) {
    return client.attach(outPort_, channel);
  }

  // Waits until the queue file of channel `id` holds exactly `expected`.
  testing::AssertionResult waitForQueue(std::string_view id,
                                        const std::vector<std::string>& expected) {
    return test::waitForQueue(dir_.path(), id, expected, kQueueMs);
  }

  test::TempDir dir_;
  std::unique_ptr<test::Process> server_;
  std::string earlierRuns_;
  uint16_t gprsPort_ = 0;
  uint16_t gprs2Port_ = 0;
  uint16_t outPort_ = 0;
};

// Tests that wait for the minute-long and half-minute timers of the output server.
class OutputServerSlow : public OutputServer {};

std::string clientLog(const std::filesystem::path& dir) {
  std::string all;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    all += test::readFile(entry.path());
  }
  return all;
}

TEST_F(OutputServer, BankChannelHandsOutEachLineOnlyAfterTheReplyToThePrevious) {
  std::filesystem::create_directory(dir_ / "Orv_Serv_c");
  ASSERT_TRUE(start(ServerSetup()));
  Module feeder;
  ASSERT_TRUE(connectFeeder(feeder));
  ASSERT_TRUE(push(feeder, 1, 1));

  Peer client;
  ASSERT_EQ(client.socket.connect("127.0.0.1", outPort_, kAnswerMs), 0);
  EXPECT_EQ(client.next(), kBanner);
  EXPECT_TRUE(client.quietFor(300)) << "before the channel was named";
  ASSERT_TRUE(client.reply("Bank"));
  EXPECT_EQ(client.next(), kChannelFound);
  ASSERT_TRUE(client.reply("0"));

  EXPECT_EQ(client.next(), kLinkLine);
  EXPECT_TRUE(client.quietFor(500)) << "the second line came before the reply to the first";
  ASSERT_TRUE(client.reply("0"));
  EXPECT_EQ(client.next(), eventLine(1));
  ASSERT_TRUE(client.reply("0"));
  EXPECT_TRUE(waitForQueue("Bank", {}));

  // A line queued while the client waits goes out at once, not with the next heartbeat.
  ASSERT_TRUE(push(feeder, 2, 2));
  EXPECT_EQ(client.next(kAnswerMs), eventLine(2));
  ASSERT_TRUE(client.reply("0"));
  EXPECT_TRUE(waitForQueue("Bank", {}));
  client.socket.close();

  Clock::time_point start = Clock::now();
  std::string log;
  while (msSince(start) < kAnswerMs) {
    log = clientLog(dir_ / "Orv_Serv_c");
    if (log.find(" Close Bank 127.0.0.1\r\n") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::vector<std::string> entries = splitLines(log);
  ASSERT_EQ(entries.size(), 2u) << log;
  EXPECT_TRUE(std::regex_match(entries[0], std::regex(R"(\S+ \S+ Open Bank 127\.0\.0\.1)")))
      << entries[0];
  EXPECT_TRUE(std::regex_match(entries[1], std::regex(R"(\S+ \S+ Close Bank 127\.0\.0\.1)")))
      << entries[1];
}

TEST_F(OutputServer, ClientThatDoesNotReplyIsDroppedAfterFiveSecondsAndTheLineGoesToTheNext) {
  ASSERT_TRUE(start(ServerSetup()));
  Module feeder;
  ASSERT_TRUE(connectFeeder(feeder));
  ASSERT_TRUE(push(feeder, 1, 1));

  Peer silent;
  ASSERT_TRUE(attach(silent, "Bank"));
  ASSERT_EQ(silent.next(), kLinkLine);
  Clock::time_point sent = Clock::now();
  std::vector<std::string> more;
  EXPECT_TRUE(silent.closedWithin(10000, &more));
  long after = msSince(sent);
  EXPECT_GE(after, 4500);
  EXPECT_LE(after, 7500);
  EXPECT_TRUE(more.empty()) << joined(more);
  EXPECT_TRUE(diagnostic("connection closed"));

  Peer next;
  ASSERT_TRUE(attach(next, "Bank"));
  EXPECT_EQ(next.next(), kLinkLine);
  ASSERT_TRUE(next.reply("0"));
  EXPECT_EQ(next.next(), eventLine(1));
  ASSERT_TRUE(next.reply("0"));
  EXPECT_TRUE(waitForQueue("Bank", {}));
}

TEST_F(OutputServer, EmptyReplyBringsTheSameLineAgain) {
  ASSERT_TRUE(start(ServerSetup()));
  Module feeder;
  ASSERT_TRUE(connectFeeder(feeder));
  ASSERT_TRUE(push(feeder, 1, 2));

  Peer client;
  ASSERT_TRUE(attach(client, "Bank"));
  EXPECT_EQ(client.next(), kLinkLine);
  ASSERT_TRUE(client.reply(""));
  EXPECT_EQ(client.next(), kLinkLine);
  ASSERT_TRUE(client.reply(""));
  EXPECT_EQ(client.next(), kLinkLine);
  ASSERT_TRUE(client.reply("0"));
  EXPECT_EQ(client.next(), eventLine(1));
  // Any one character acknowledges.
  ASSERT_TRUE(client.reply("x"));
  EXPECT_EQ(client.next(), eventLine(2));
  ASSERT_TRUE(client.reply("0"));
  EXPECT_TRUE(waitForQueue("Bank", {}));
}

TEST_F(OutputServer, UnknownChannelGetsTheTLineAfterASecondAndIsClosed) {
  ASSERT_TRUE(start(ServerSetup()));
  Module feeder;
  ASSERT_TRUE(connectFeeder(feeder));

  Peer client;
  ASSERT_EQ(client.socket.connect("127.0.0.1", outPort_, kAnswerMs), 0);
  ASSERT_EQ(client.next(), kBanner);
  Clock::time_point named = Clock::now();
  ASSERT_TRUE(client.reply("Nobody"));
  EXPECT_EQ(client.next(4000), kChannelMissing);
  long after = msSince(named);
  EXPECT_GE(after, 900);
  EXPECT_LE(after, 3000);
  std::vector<std::string> more;
  EXPECT_TRUE(client.closedWithin(3000, &more));
  EXPECT_TRUE(more.empty()) << joined(more);
  EXPECT_TRUE(diagnostic("no channel 'Nobody'"));
  // The other channel's lines stay where they are.
  EXPECT_TRUE(waitForQueue("Bank", {kLinkLine}));
}

TEST_F(OutputServer, ClientListComparesAddressesByNumberAndRefusesOthersWithoutABanner) {
  ASSERT_TRUE(start(withChannels("[Client0]\nId=Bank\n[CList]\na=127.000.000.001\n")));
  Module feeder;
  ASSERT_TRUE(connectFeeder(feeder));

  UniqueFd outsider = test::connectFrom("127.0.0.2", outPort_);
  ASSERT_TRUE(outsider.valid());
  std::optional<std::string> refused = test::receivedUntilClosed(outsider.get(), kAnswerMs);
  ASSERT_TRUE(refused.has_value()) << "a peer outside [CList] was kept open";
  EXPECT_EQ(*refused, "") << "a refused peer got bytes";
  EXPECT_TRUE(diagnostic("127.0.0.2 refused: not in [CList]"));

  Peer admitted;
  ASSERT_TRUE(attach(admitted, "Bank"));
  EXPECT_EQ(admitted.next(), kLinkLine);
  ASSERT_TRUE(admitted.reply("0"));
  EXPECT_TRUE(waitForQueue("Bank", {}));
}

TEST_F(OutputServer, ClientCommandsReachTheModuleOnTheLineTheyName) {
  ServerSetup lines;
  lines.gprs = "Line=16\n";
  lines.gprs2 = "Line=3\n";
  ASSERT_TRUE(start(lines));
  // The same module identifier on both lines: only the line number tells them apart.
  Module on16, on3;
  ASSERT_TRUE(connectModule(on16, gprsPort_, "a1234,1234"));
  ASSERT_TRUE(connectModule(on3, gprs2Port_, "a1234,1234"));
  ASSERT_EQ(on16.say("Q"), "11234:99.c3");
  ASSERT_EQ(on3.say("Q"), "11234:99.c3");

  Peer client;
  ASSERT_TRUE(attach(client, "Bank"));
  // Each client line the server takes in turn; once it names an absent module, every line
  // before it has been handed on.
  auto handedOn = [&](int line) {
    client.reply("#" + std::to_string(line) + ":NOBODY:X");
    return diagnostic("command for 'NOBODY' on line " + std::to_string(line));
  };

  // A reply to a line: the first character goes, the rest names line, module and command.
  std::string first = client.next();
  ASSERT_TRUE(first.starts_with("501")) << first;
  ASSERT_TRUE(client.reply("#16:1234:XYZ"));
  std::string second = client.next();  // sent once the reply was dealt with
  ASSERT_TRUE(second.starts_with("501")) << second;
  EXPECT_EQ(on16.say("Q"), "11234:XYZ");
  EXPECT_EQ(on3.say("Q"), "0");

  // Without a line number: line 16.
  ASSERT_TRUE(client.reply("#1234:ABC"));
  ASSERT_TRUE(handedOn(16));
  EXPECT_EQ(on16.say("Q"), "11234:ABC");
  EXPECT_EQ(on3.say("Q"), "0");

  // The second line has its own number; two commands queued go out as "2..." then "1...".
  ASSERT_EQ(client.socket.send("#3:1234:DEF\r\n#3:1234:GHI\r\n"), 0);
  ASSERT_TRUE(handedOn(3));
  EXPECT_EQ(on3.say("Q"), "21234:DEF");
  EXPECT_EQ(on3.say("Q"), "11234:GHI");
  EXPECT_EQ(on3.say("Q"), "0");
  EXPECT_EQ(on16.say("Q"), "0");

  // A line number no GPRS line has reaches nobody.
  ASSERT_TRUE(client.reply("#7:1234:LOST"));
  EXPECT_TRUE(diagnostic("no GPRS line with Line=7"));
  EXPECT_EQ(on16.say("Q"), "0");
  EXPECT_EQ(on3.say("Q"), "0");
  EXPECT_TRUE(waitForQueue("Bank", {}));
}

TEST_F(OutputServer, TwoClientsOnOneChannelShareTheQueueWithoutLosingOrSkippingALine) {
  ASSERT_TRUE(start(withChannels("[Client0]\nId=Bank\nQSize=1000\n")));
  constexpr int kEvents = 60;
  std::vector<std::string> expected{kLinkLine};
  for (int n = 1; n <= kEvents; ++n) expected.push_back(eventLine(n));

  struct Reader {
    Peer client;
    std::vector<std::string> got;
    std::thread thread;
  };
  Reader readers[2];
  for (Reader& r : readers) ASSERT_TRUE(attach(r.client, "Bank"));
  std::atomic<bool> done{false};
  std::mutex lock;
  std::set<std::string> everyone;  // what either of them got
  for (Reader& r : readers) {
    r.thread = std::thread([&r, &done, &lock, &everyone] {
      while (!done.load()) {
        std::string line;
        int rc = r.client.socket.receiveLine(line, LineEnd::CrLf, 100);
        if (rc == kWsaTimedOut) continue;
        if (rc != 0) break;
        r.got.push_back(line);
        {
          std::lock_guard guard(lock);
          everyone.insert(line);
        }
        r.client.reply("0");
      }
    });
  }
  Module feeder;
  bool fed = connectFeeder(feeder) && push(feeder, 1, kEvents);
  Clock::time_point start = Clock::now();
  auto allSeen = [&] {
    std::lock_guard guard(lock);
    return everyone.size() >= expected.size();
  };
  while (fed && !allSeen() && msSince(start) < 20000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // The last reply may still be on its way.
  bool drained = fed && waitForQueue("Bank", {});
  done.store(true);
  for (Reader& r : readers) r.thread.join();
  ASSERT_TRUE(fed);
  EXPECT_TRUE(drained);

  std::map<std::string, size_t> index;
  for (size_t i = 0; i < expected.size(); ++i) index[expected[i]] = i;
  std::set<size_t> seen;
  for (const Reader& r : readers) {
    long previous = -1;
    for (const std::string& line : r.got) {
      auto it = index.find(line);
      ASSERT_NE(it, index.end()) << "unknown line '" << line << "'";
      EXPECT_GT(static_cast<long>(it->second), previous) << "out of order:\n" << joined(r.got);
      previous = static_cast<long>(it->second);
      seen.insert(it->second);
    }
  }
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_TRUE(seen.count(i)) << "nobody got '" << expected[i] << "'";
  }
}

TEST_F(OutputServer, LinesOfSimulatedModulesReachOutcat) {
  ASSERT_TRUE(start(withChannels("[Client0]\nId=Bank\nQSize=100000\n")));
  test::Process sim(ORV_MODSIM_PATH,
                    {"--port", std::to_string(gprsPort_), "--connections", "5", "--seconds", "2",
                     "--poll-ms", "100", "--events", "100", "--account", "2000"});
  std::optional<int> simExit = sim.waitExit(20000);
  ASSERT_TRUE(simExit.has_value()) << sim.output();
  ASSERT_EQ(*simExit, 0) << sim.output();
  EXPECT_NE(sim.output().find(" errors 0\n"), std::string::npos) << sim.output();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(sim.output(), m, std::regex(R"( events (\d+) )"))) << sim.output();
  const long events = std::stol(m[1]);
  ASSERT_GT(events, 50) << sim.output();
  const long total = events + 5;  // and every module's link event

  ASSERT_TRUE(test::waitForQueueUntil(
      dir_.path(), "Bank",
      [&](const auto& lines) { return static_cast<long>(lines.size()) == total; }, kQueueMs))
      << sim.output();

  test::Process cat(ORV_OUTCAT_PATH, {"--port", std::to_string(outPort_), "--count",
                                      std::to_string(total), "--quiet", "Bank"});
  std::optional<int> catExit = cat.waitExit(30000);
  ASSERT_TRUE(catExit.has_value()) << cat.output();
  EXPECT_EQ(*catExit, 0) << cat.output();
  EXPECT_NE(cat.output().find("lines " + std::to_string(total) + " "), std::string::npos)
      << cat.output();
  EXPECT_TRUE(waitForQueue("Bank", {}));
}

TEST_F(OutputServer, RestartInTheMiddleLosesNoLine) {
  ASSERT_TRUE(start(ServerSetup()));
  Module feeder;
  ASSERT_TRUE(connectFeeder(feeder));
  ASSERT_TRUE(push(feeder, 1, 4));
  feeder.socket.close();

  Peer before;
  ASSERT_TRUE(attach(before, "Bank"));
  EXPECT_EQ(before.next(), kLinkLine);
  ASSERT_TRUE(before.reply("0"));
  EXPECT_EQ(before.next(), eventLine(1));
  ASSERT_TRUE(before.reply("0"));
  // Line 2 is out and not acknowledged when the server stops.
  EXPECT_EQ(before.next(), eventLine(2));
  ASSERT_TRUE(waitForQueue("Bank", {eventLine(2), eventLine(3), eventLine(4)}));

  ASSERT_NO_FATAL_FAILURE(restart());
  EXPECT_NE(output().find("'Bank': 3 queued lines loaded"), std::string::npos);
  EXPECT_TRUE(before.closedWithin(1000));
  Peer after;
  ASSERT_TRUE(attach(after, "Bank"));
  for (int n = 2; n <= 4; ++n) {
    EXPECT_EQ(after.next(), eventLine(n));
    ASSERT_TRUE(after.reply("0"));
  }
  EXPECT_TRUE(after.quietFor(300));
  EXPECT_TRUE(waitForQueue("Bank", {}));
}

// The far end of a forwarder: the test listens, the output item connects.
class OutputServerForwarding : public OutputServer {
 protected:
  bool startForwarding() {
    if (listener_.listen(0, "forward peer") != 0) return false;
    return start(withChannels("[Client0]\nId=Bank\nHost=127.0.0.1\nPort=" +
                              std::to_string(listener_.localPort()) + "\n"));
  }
  testing::AssertionResult accept(Peer& peer, int timeoutMs = 8000) {
    if (!listener_.waitForConnection(timeoutMs)) {
      return testing::AssertionFailure() << "the forwarder did not connect";
    }
    int rc = listener_.accept(peer.socket);
    if (rc != 0) return testing::AssertionFailure() << "accept: " << describeSocketError(rc);
    return testing::AssertionSuccess();
  }

  LineSocket listener_;
};

TEST_F(OutputServerForwarding, RemovesALineOnlyOnTheReplyZero) {
  ASSERT_TRUE(startForwarding());
  Peer peer;
  ASSERT_TRUE(accept(peer));
  Module feeder;
  ASSERT_TRUE(connectFeeder(feeder));

  EXPECT_EQ(peer.next(), kLinkLine);
  for (const char* other : {"1", "", "00"}) {
    ASSERT_TRUE(peer.reply(other));
    EXPECT_EQ(peer.next(), kLinkLine) << "after the reply '" << other << "'";
  }
  ASSERT_TRUE(peer.reply("0"));
  EXPECT_TRUE(peer.quietFor(300));
  ASSERT_TRUE(push(feeder, 1, 2));
  EXPECT_EQ(peer.next(), eventLine(1));
  ASSERT_TRUE(peer.reply("0"));
  EXPECT_EQ(peer.next(), eventLine(2));
  ASSERT_TRUE(peer.reply("0"));
  EXPECT_TRUE(peer.quietFor(300));
}

TEST_F(OutputServerForwarding, SendsTheLineAgainAfterLosingItsPeer) {
  ASSERT_TRUE(startForwarding());
  Module feeder;
  {
    Peer first;
    ASSERT_TRUE(accept(first));
    ASSERT_TRUE(connectFeeder(feeder));
    EXPECT_EQ(first.next(), kLinkLine);
  }  // gone without a reply
  Peer second;
  ASSERT_TRUE(accept(second));
  EXPECT_EQ(second.next(), kLinkLine);
  ASSERT_TRUE(second.reply("0"));

  // Gone between two lines: the forwarder finds out with the next one and sends it again.
  second.socket.close();
  ASSERT_TRUE(push(feeder, 1, 1));
  Peer third;
  ASSERT_TRUE(accept(third));
  EXPECT_EQ(third.next(), eventLine(1));
  ASSERT_TRUE(third.reply("0"));

  // Still connected but silent: dropped after the reply wait, and the line comes again.
  ASSERT_TRUE(push(feeder, 2, 2));
  EXPECT_EQ(third.next(), eventLine(2));
  Clock::time_point sent = Clock::now();
  std::vector<std::string> more;
  EXPECT_TRUE(third.closedWithin(6000, &more));
  long after = msSince(sent);
  EXPECT_GE(after, 1500);
  EXPECT_LE(after, 4000);
  EXPECT_TRUE(more.empty()) << joined(more);
  Peer fourth;
  ASSERT_TRUE(accept(fourth));
  EXPECT_EQ(fourth.next(), eventLine(2));
  ASSERT_TRUE(fourth.reply("0"));
  EXPECT_TRUE(fourth.quietFor(300));
}

TEST_F(OutputServerForwarding, RetriesAFailedConnection) {
  const uint16_t port = freePort();
  ASSERT_NE(port, 0);
  ASSERT_TRUE(start(
      withChannels("[Client0]\nId=Bank\nHost=127.0.0.1\nPort=" + std::to_string(port) + "\n")));
  ASSERT_TRUE(diagnostic("forwarder cannot reach 127.0.0.1:" + std::to_string(port)));
  Module feeder;
  ASSERT_TRUE(connectFeeder(feeder));
  ASSERT_EQ(listener_.listen(port, "forward peer"), 0);
  Peer peer;
  ASSERT_TRUE(accept(peer, 9000));
  EXPECT_TRUE(diagnostic("forwarder connected to 127.0.0.1:" + std::to_string(port)));
  EXPECT_EQ(peer.next(), kLinkLine);
  ASSERT_TRUE(peer.reply("0"));
}

TEST_F(OutputServerForwarding, AFullListKeepsTheLineThatWasNotSentYet) {
  ASSERT_TRUE(startForwarding());
  Peer peer;
  ASSERT_TRUE(accept(peer));
  Module feeder;
  ASSERT_TRUE(connectFeeder(feeder));
  EXPECT_EQ(peer.next(), kLinkLine);

  // While the link line waits for its reply, 101 lines push it out of the full list.
  Clock::time_point sent = Clock::now();
  ASSERT_TRUE(push(feeder, 1, 101));
  ASSERT_LT(msSince(sent), 1500) << "the pushes took too long to stay within the reply wait";
  ASSERT_TRUE(peer.reply("0"));
  EXPECT_EQ(peer.next(), eventLine(1));
  ASSERT_TRUE(peer.reply("0"));
  EXPECT_EQ(peer.next(), eventLine(2));
  ASSERT_TRUE(peer.reply("0"));
}

TEST_F(OutputServer, OverlongChannelNameClosesThatConnectionAndOthersAreStillServed) {
  ASSERT_TRUE(start(ServerSetup()));
  Peer steady;
  ASSERT_TRUE(attach(steady, "Bank"));

  Peer flood;
  ASSERT_EQ(flood.socket.connect("127.0.0.1", outPort_, kAnswerMs), 0);
  ASSERT_EQ(flood.next(), kBanner);
  flood.socket.send(std::string(100 * 1024, 'B') + "\r\n", 3000);  // may fail once closed
  std::vector<std::string> more;
  EXPECT_TRUE(flood.closedWithin(kAnswerMs, &more));
  EXPECT_TRUE(more.empty()) << joined(more);
  std::optional<std::string> said = server_->waitForLine("bytes without a line end", kAnswerMs);
  ASSERT_TRUE(said.has_value()) << output();
  EXPECT_NE(said->find("127.0.0.1:"), std::string::npos) << *said;

  Module feeder;
  ASSERT_TRUE(connectFeeder(feeder));
  EXPECT_EQ(steady.next(), kLinkLine);
  ASSERT_TRUE(steady.reply("0"));
  // Taken off the queue before the next client comes, which would otherwise be sent it too.
  ASSERT_TRUE(waitForQueue("Bank", {}));
  Peer later;
  ASSERT_TRUE(attach(later, "Bank"));
  ASSERT_TRUE(push(feeder, 1, 1));
  // Both are on the channel now; whoever replies first takes the line.
  EXPECT_EQ(steady.next(), eventLine(1));
  EXPECT_EQ(later.next(), eventLine(1));
  ASSERT_TRUE(later.reply("0"));
  ASSERT_TRUE(steady.reply("0"));
  EXPECT_TRUE(waitForQueue("Bank", {}));
}

TEST_F(OutputServer, PartOfALineFromAnIdleClientIsKeptWithoutBusyWaiting) {
  ASSERT_TRUE(start(ServerSetup()));
  Peer client;
  ASSERT_TRUE(attach(client, "Bank"));
  ASSERT_EQ(client.socket.send("#9:12"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the part has arrived

  double before = cpuSeconds(server_->pid());
  std::this_thread::sleep_for(std::chrono::seconds(2));
  double used = cpuSeconds(server_->pid()) - before;
  EXPECT_LT(used, 0.5) << "the server used " << used << " s of processor time in 2 s idling";

  // The rest completes the line.
  ASSERT_EQ(client.socket.send("34:X\r\n"), 0);
  EXPECT_TRUE(diagnostic("command for '1234': no GPRS line with Line=9"));
  Module feeder;
  ASSERT_TRUE(connectFeeder(feeder));
  EXPECT_EQ(client.next(), kLinkLine);
  ASSERT_TRUE(client.reply("0"));
}

TEST_F(OutputServer, ClientThatNeverReadsDoesNotHoldUpAnotherChannel) {
  ASSERT_TRUE(start(withChannels("[Client0]\nId=Bank\n[Client1]\nId=Other\n")));
  Peer stuck, reader;
  ASSERT_TRUE(attach(stuck, "Bank"));
  ASSERT_TRUE(attach(reader, "Other"));

  constexpr int kEvents = 20;
  std::vector<std::string> expected{kLinkLine};
  for (int n = 1; n <= kEvents; ++n) expected.push_back(eventLine(n));
  Clock::time_point start = Clock::now();
  Module feeder;
  ASSERT_TRUE(connectFeeder(feeder));
  ASSERT_TRUE(push(feeder, 1, kEvents));
  std::vector<std::string> got;
  while (got.size() < expected.size()) {
    std::string line = reader.next();
    got.push_back(line);
    if (line.starts_with("<")) break;
    reader.reply("0");
  }
  EXPECT_EQ(got, expected);
  // All of it well before the stuck client's reply wait ran out.
  EXPECT_LT(msSince(start), 4000);

  EXPECT_TRUE(stuck.closedWithin(10000));
  EXPECT_TRUE(waitForQueue("Bank", expected));
  EXPECT_TRUE(waitForQueue("Other", {}));
}

TEST_F(OutputServer, SilentClientsMakeRoomAndNamedOnesKeepTheirs) {
  std::filesystem::create_directory(dir_ / "Orv_Serv_c");
  ServerSetup open;
  open.out = "PerAddress=0\n";  // every peer here comes from 127.0.0.1
  ASSERT_TRUE(start(open));
  Peer named;
  ASSERT_TRUE(attach(named, "Bank"));
  // More silent connections than there are client slots: each one past the limit makes the
  // oldest silent one leave, never the named client.
  constexpr size_t kIdle = 300;
  std::vector<std::unique_ptr<LineSocket>> idle;
  for (size_t i = 0; i < kIdle; ++i) {
    idle.push_back(std::make_unique<LineSocket>());
    ASSERT_EQ(idle.back()->connect("127.0.0.1", outPort_, kAnswerMs), 0) << "connection " << i;
  }
  ASSERT_TRUE(diagnostic("closed to make room: it sent nothing valid yet", 10000));

  // A new client is served at once while the silent ones are held.
  Clock::time_point begin = Clock::now();
  auto client = std::make_unique<Peer>();
  ASSERT_TRUE(attach(*client, "Bank"));
  EXPECT_LT(msSince(begin), 1000);

  // The named client is still there (nothing was queued, so nothing came).
  EXPECT_TRUE(test::quietFor(named.socket, 300));
  idle.clear();
  client.reset();

  // Connections that left before naming a channel opened none.
  stop();
  EXPECT_EQ(earlierRuns_.find("no channel ''"), std::string::npos);
  for (const std::string& entry : splitLines(clientLog(dir_ / "Orv_Serv_c"))) {
    EXPECT_NE(entry.find(" Bank 127.0.0.1"), std::string::npos) << entry;
  }
}

TEST_F(OutputServerSlow, HeartbeatAfterThirtyIdleSecondsDropsAClientThatDoesNotAnswer) {
  // An item without an Id is the channel of a client that names none.
  ASSERT_TRUE(start(withChannels("[Client0]\nId=Bank\n[Client1]\nQSize=10\n")));
  Peer answering, silent, unnamed;
  ASSERT_TRUE(attach(answering, "Bank"));
  ASSERT_TRUE(attach(silent, "Bank"));
  ASSERT_TRUE(attach(unnamed, ""));
  Clock::time_point attached = Clock::now();

  EXPECT_EQ(answering.next(40000), "@");
  long at = msSince(attached);
  EXPECT_GE(at, 29500);
  EXPECT_LE(at, 34000);
  ASSERT_TRUE(answering.reply("0"));
  EXPECT_EQ(silent.next(5000), "@");
  Clock::time_point silentSince = Clock::now();
  std::vector<std::string> more;
  EXPECT_TRUE(silent.closedWithin(10000, &more));
  long after = msSince(silentSince);
  EXPECT_GE(after, 4000);
  EXPECT_LE(after, 7500);
  EXPECT_TRUE(more.empty()) << joined(more);

  // No heartbeat without a channel name.
  EXPECT_TRUE(unnamed.quietFor(static_cast<int>(std::max(0L, 36000 - msSince(attached)))));
  // The answering client is still attached and served.
  Module feeder;
  ASSERT_TRUE(connectFeeder(feeder));
  EXPECT_EQ(answering.next(), kLinkLine);
  ASSERT_TRUE(answering.reply("0"));
}

TEST_F(OutputServerSlow, TimeSyncComesEverySyncPMinutes) {
  ServerSetup timed;
  timed.out = "SyncP=1\n";
  ASSERT_TRUE(start(timed));
  Peer client;
  ASSERT_TRUE(attach(client, "Bank"));
  Clock::time_point attached = Clock::now();

  std::string sync;
  long at = -1;
  while (msSince(attached) < 70000) {
    std::string line = client.next(10000);
    if (line == "@") {
      client.reply("0");
      continue;
    }
    if (line.starts_with("<")) continue;
    sync = line;
    at = msSince(attached);
    break;
  }
  ASSERT_TRUE(sync.starts_with("systime")) << "'" << sync << "'";
  EXPECT_GE(at, 59500);
  EXPECT_LE(at, 63000);
  std::optional<double> day = parseDayNumber(std::string_view(sync).substr(7));
  ASSERT_TRUE(day.has_value()) << sync;
  EXPECT_NEAR(*day, dayNumberNow(), 2.0 / (24 * 60)) << sync;
  ASSERT_TRUE(client.reply("0"));

  Module feeder;
  ASSERT_TRUE(connectFeeder(feeder));
  std::string line = client.next();
  while (line == "@") {
    client.reply("0");
    line = client.next();
  }
  EXPECT_EQ(line, kLinkLine);
  ASSERT_TRUE(client.reply("0"));
}

}  // namespace
}  // namespace orv
