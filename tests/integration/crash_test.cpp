// Killing the server while senders report: nothing acknowledged is lost.
//
// Module, TcpDrv and SIA senders report as fast as the server acknowledges, one event at a time,
// and the server is killed (SIGKILL) at a random moment; thirty rounds of that on the same
// program directory, whose channels already hold long queues, each round also with a kill while
// the server is still loading them. An event counts as acknowledged only when its answer reached
// the sender, and every such event must come out of every channel afterwards. The seed of a run
// is printed; ORV_CRASH_SEED repeats it.

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/line_socket.h"
#include "common/socket_error.h"
#include "common/ticks.h"
#include "tests/support/checksums.h"
#include "tests/support/module_peer.h"
#include "tests/support/output_peer.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/queue_files.h"
#include "tests/support/sia_frames.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using test::freePort;
using test::withModuleChecksum;
using test::withTcpDrvChecksum;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kRounds = 8;  // a sanitized server starts several times slower
#else
constexpr int kRounds = 30;
#endif
constexpr size_t kPrefilled = 200000;
constexpr int kModules = 4;
constexpr int kTcpDrvs = 2;
constexpr int kSias = 2;
constexpr int kStartMs = 15000;
constexpr int kAnswerMs = 5000;
// An acknowledgement waits for the disk, which a loaded machine may keep busy for a while; a
// kill ends the wait at once, so a long bound costs nothing.
constexpr int kAckMs = 15000;
constexpr int kExitMs = 10000;
// How long every sender may take to get its first acknowledgement of a round.
constexpr int kFirstAckMs = 10000;
constexpr int kMinKillDelayMs = 100;
constexpr int kMaxKillDelayMs = 700;

const char* const kChannels[] = {"ChanA", "ChanB"};

// Lines queued before the first start, never delivered: they must outlive every crash, in order.
// Account FFFF belongs to no sender.
std::string prefilledLine(size_t n) {
  char text[40];
  std::snprintf(text, sizeof text, "5011 18FFFFE130%08zu", n);
  return text;
}
bool isPrefilled(std::string_view line) {
  return line.starts_with("5011 18FFFFE130");
}

enum class Kind { Module, TcpDrv, Sia };

const char* kindName(Kind k) {
  switch (k) {
    case Kind::Module:
      return "module";
    case Kind::TcpDrv:
      return "TcpDrv";
    case Kind::Sia:
      return "SIA";
  }
  return "?";
}

struct Ports {
  uint16_t module = 0, tcpDrv = 0, sia = 0, out = 0;
};

// What the senders of one round share with the test: when the server is killed, and who has
// had an acknowledgement yet.
struct Round {
  std::atomic<bool> killed{false};
  std::mutex lock;
  std::condition_variable changed;
  int sendersAcked = 0;  // senders with at least one acknowledgement this round
};

// One connection that reports events one at a time. Its events are numbered across rounds, so
// that every event of the whole test is a different line.
struct Sender {
  Kind kind;
  std::string account;  // four hex digits, its own
  uint64_t next = 0;
  std::vector<std::string> acked;       // the queued lines of acknowledged events, in order
  std::vector<std::string> unanswered;  // sent, no answer: stored or not, either is right
  size_t roundAcks = 0;
  std::string fault;  // what went wrong while the server ran

  // The event's bytes on the wire and the line it becomes in a channel (Line=1 everywhere).
  struct Event {
    std::string wire, queued;
    int siaSeq = 0;
  };
  Event event(uint64_t n) const {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08llu", static_cast<unsigned long long>(n));
    Event e;
    switch (kind) {
      case Kind::Module:
        e.wire = withModuleChecksum("M06," + account + "," + digits) + "\r\n";
        e.queued = "5011 18" + account + "E" + digits;
        break;
      case Kind::TcpDrv:
        e.queued = withTcpDrvChecksum("5011 18" + account + "E130" + digits);
        e.wire = e.queued + "\r\n";
        break;
      case Kind::Sia: {
        e.siaSeq = static_cast<int>(1 + n % 9999);
        char head[32];
        std::snprintf(head, sizeof head, "\"SIA-DCS\"%04dR0L0#", e.siaSeq);
        const std::string block = "#" + account + "|NBA" + digits;
        e.wire = test::rawSiaFrame(head + account + "[" + block + "]");
        e.queued = "S001[" + block + "]";
        break;
      }
    }
    return e;
  }

  // Runs until the connection drops or the round's server is killed.
  void run(Round& round, const Ports& ports) {
    LineSocket s;
    auto failed = [&](const std::string& what, int rc) {
      // Once the kill is under way a dropped connection is what is expected.
      if (!round.killed.load()) fault = rc == 0 ? what : what + ": " + describeSocketError(rc);
    };
    const uint16_t port = kind == Kind::Module   ? ports.module
                          : kind == Kind::TcpDrv ? ports.tcpDrv
                                                 : ports.sia;
    if (int rc = s.connect("127.0.0.1", port, kAnswerMs); rc != 0) return failed("connect", rc);
    if (kind == Kind::Module) {
      std::string line;
      int rc = s.receiveLine(line, LineEnd::CrLf, kAnswerMs);
      if (rc != 0) return failed("banner", rc);
      if (line != test::kModuleBanner) return failed("banner '" + line + "'", 0);
      const std::string id = "CRASH" + account;
      rc = s.send("a" + id + "," + account + "\r\n");
      if (rc == 0) rc = s.receiveLine(line, LineEnd::CrLf, kAnswerMs);
      if (rc != 0) return failed("identification", rc);
      if (!line.starts_with("1" + id + ":99.c")) return failed("time answer '" + line + "'", 0);
    }
    while (!round.killed.load()) {
      const Event e = event(next++);
      if (int rc = s.send(e.wire, kAnswerMs); rc != 0) {
        unanswered.push_back(e.queued);
        return failed("send", rc);
      }
      int rc = 0;
      std::string answer;
      switch (kind) {
        case Kind::Module:
          rc = s.receiveLine(answer, LineEnd::CrLf, kAckMs);
          if (rc == 0 && answer != "0") {
            unanswered.push_back(e.queued);
            return failed("answer '" + answer + "' to " + e.queued, 0);
          }
          break;
        case Kind::TcpDrv: {
          char b = 0;
          rc = s.receiveByte(b, kAckMs);
          if (rc == 0 && b != kAck) {
            unanswered.push_back(e.queued);
            return failed("answer byte " + std::to_string(b) + " to " + e.queued, 0);
          }
          break;
        }
        case Kind::Sia: {
          answer = test::readSiaAnswer(s, kAckMs);
          char ack[48];
          std::snprintf(ack, sizeof ack, "\"ACK\"%04dR0L0#%s[]", e.siaSeq, account.c_str());
          if (answer.empty()) {
            rc = s.lastError() != 0 ? s.lastError() : kWsaTimedOut;
          } else if (answer != test::rawSiaFrame(ack)) {
            unanswered.push_back(e.queued);
            return failed("answer frame other than the ACK to " + e.queued, 0);
          }
          break;
        }
      }
      if (rc != 0) {
        unanswered.push_back(e.queued);
        return failed("answer to " + e.queued, rc);
      }
      acked.push_back(e.queued);
      if (++roundAcks == 1) {
        std::lock_guard lock(round.lock);
        ++round.sendersAcked;
        round.changed.notify_all();
      }
    }
  }
};

class CrashRecoverySlow : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* id : kChannels) {
      std::string text;
      text.reserve(kPrefilled * 24);
      for (size_t n = 0; n < kPrefilled; ++n) text += prefilledLine(n) + "\n";
      dir_.write(std::string(id) + ".out", text);
    }
    int n = 0;
    for (int i = 0; i < kModules; ++i) addSender(Kind::Module, "1A0", ++n);
    for (int i = 0; i < kTcpDrvs; ++i) addSender(Kind::TcpDrv, "2B0", ++n);
    for (int i = 0; i < kSias; ++i) addSender(Kind::Sia, "3C0", ++n);
    writeIni();
  }
  void addSender(Kind kind, const std::string& prefix, int n) {
    senders_.push_back(std::make_unique<Sender>());
    senders_.back()->kind = kind;
    senders_.back()->account = prefix + std::to_string(n % 10);
  }

  void TearDown() override {
    if (server_) {
      server_->signal(SIGKILL);
      server_->waitExit(kExitMs);
    }
    if (HasFailure()) {
      std::printf("--- ORV_Serv output (last runs) ---\n%s%s--- end ---\n", earlier_.c_str(),
                  server_ ? server_->output().c_str() : "");
    }
  }

  void writeIni() {
    ports_ = {freePort(), freePort(), freePort(), freePort()};
    dir_.write("ORV_Serv.ini", "[Options]\nU_Fl=0\n[GPRS0]\nPort=" + std::to_string(ports_.module) +
                                   "\nLine=1\n[TcpDrv]\nPort=" + std::to_string(ports_.tcpDrv) +
                                   "\nLine=1\n[SiaIp]\nPort=" + std::to_string(ports_.sia) +
                                   "\nLine=1\n[Out]\nPort=" + std::to_string(ports_.out) +
                                   "\nSyncP=0\n[Client1]\nId=ChanA\nQSize=2000000\n"
                                   "[Client2]\nId=ChanB\nQSize=2000000\n");
  }

  // Starts the server on the directory as it is, with other ports when one was taken.
  void launch() {
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (attempt > 0) writeIni();
      const uint32_t spawned = ticks();
      spawn();
      ASSERT_TRUE(server_->waitForLine("running:", kStartMs)) << server_->output();
      startMs_ = static_cast<int>(ticksSince(spawned));
      const std::string& out = server_->output();
      auto has = [&](const std::string& text) { return out.find(text) != std::string::npos; };
      if (has("module server listening on port " + std::to_string(ports_.module) + "\n") &&
          has("TcpDrv input listening on port " + std::to_string(ports_.tcpDrv) + "\n") &&
          has("SIA receiver listening on port " + std::to_string(ports_.sia) + "\n") &&
          has("output server listening on port " + std::to_string(ports_.out) + "\n")) {
        return;
      }
      kill();
    }
    FAIL() << "no free ports could be bound";
  }
  void spawn() {
    server_ = std::make_unique<test::Process>(
        ORV_SERV_PATH, std::vector<std::string>{"--headless", "--dir", dir_.path().string()});
  }

  void kill() {
    server_->signal(SIGKILL);
    ASSERT_EQ(server_->waitExit(kExitMs), 128 + SIGKILL);
    keepOutput();
  }
  void keepOutput() {
    const std::string& out = server_->output();
    EXPECT_TRUE(test::noSanitizerReport(out));
    // What the store says of the files a crash left is counted; damage short of a torn tail,
    // or a journal that belongs to no queue file, means a write went where it should not.
    for (const char* note : {"hold no valid record", "does not continue the queue file",
                             "records past the next line number", "cannot be read",
                             "are not acknowledged until they can be stored"}) {
      EXPECT_EQ(out.find(note), std::string::npos) << note;
    }
    for (size_t at = 0; (at = out.find("a record cut short at its end", at)) != std::string::npos;
         ++at) {
      ++tornTails_;
    }
    for (size_t at = 0;
         (at = out.find("records for lines queued already", at)) != std::string::npos; ++at) {
      ++repeatedRecords_;
    }
    earlier_ = out + "--- (ended) ---\n";  // the run before the last is enough to read
    server_.reset();
  }

  // While the main thread waits, the server's output is read, so that it never blocks on it.
  void pause(int ms) { server_->waitForLine("\x01 never printed", ms); }

  // One round: senders until the kill, then each acknowledged event must be in both channels'
  // files as a restart would read them.
  void round(int number, std::mt19937& random) {
    // First a crash while the server takes on what the last one left: the journal replayed
    // and a new queue file written in its place, the window where a wrong order of renames
    // and removals would lose what was stored.
    const int window = std::max(startMs_, 1);
    const int early = std::uniform_int_distribution<int>(0, window)(random);
    spawn();
    pause(early);
    ASSERT_NO_FATAL_FAILURE(kill());
    checkFiles(number, "a kill during the start");

    ASSERT_NO_FATAL_FAILURE(launch());
    Round r;
    std::vector<std::thread> threads;
    for (auto& s : senders_) {
      s->roundAcks = 0;
      threads.emplace_back([&r, &s, this] { s->run(r, ports_); });
    }
    // Killed only once everyone is reporting, so that no round passes without load.
    const uint32_t start = ticks();
    bool loaded = false;
    while (!loaded && ticksSince(start) < static_cast<uint32_t>(kFirstAckMs)) {
      std::unique_lock lock(r.lock);
      loaded = r.changed.wait_for(lock, std::chrono::milliseconds(20), [&] {
        return r.sendersAcked == static_cast<int>(senders_.size());
      });
      lock.unlock();
      if (!loaded) pause(1);
    }
    const int delay = std::uniform_int_distribution<int>(kMinKillDelayMs, kMaxKillDelayMs)(random);
    if (loaded) pause(delay);
    r.killed = true;
    kill();
    for (std::thread& t : threads) t.join();

    size_t acks[3] = {0, 0, 0};
    for (auto& s : senders_) {
      EXPECT_EQ(s->fault, "") << kindName(s->kind) << " sender " << s->account << " in round "
                              << number;
      EXPECT_GT(s->roundAcks, 0u) << kindName(s->kind) << " sender " << s->account
                                  << " had no acknowledgement in round " << number;
      acks[static_cast<int>(s->kind)] += s->roundAcks;
    }
    std::printf(
        "round %2d: killed %3d ms into a start of %d ms, then %3d ms after all senders were acked; "
        "acks module %zu, TcpDrv %zu, SIA %zu\n",
        number, early, window, delay, acks[0], acks[1], acks[2]);
    std::fflush(stdout);

    checkFiles(number, "the kill under load");
  }

  // Every event acknowledged so far in both channels' files, as a restart would read them.
  void checkFiles(int number, const char* after) {
    for (const char* id : kChannels) {
      const std::vector<std::string> lines = test::queuedLines(dir_.path(), id);
      const std::unordered_set<std::string> present(lines.begin(), lines.end());
      for (auto& s : senders_) {
        for (const std::string& e : s->acked) {
          if (!present.count(e)) {
            ADD_FAILURE() << "round " << number << ": acknowledged event '" << e
                          << "' missing from " << id << " after " << after;
            break;
          }
        }
      }
    }
  }

  // The channel's lines as a client gets them: each one taken off by the reply to it.
  std::vector<std::string> drainThroughOutputPort(const char* id, size_t count) {
    std::vector<std::string> got;
    test::OutputPeer client(kAnswerMs);
    const testing::AssertionResult attached = client.attach(ports_.out, id);
    EXPECT_TRUE(attached) << id;
    if (!attached) return got;
    const int rc = client.drain(count, got);
    EXPECT_EQ(rc, 0) << describeSocketError(rc) << " after " << got.size() << " of " << count
                     << " lines of " << id;
    return got;
  }

  // Every acknowledged event in the channel, each sender's in the order it sent them, and the
  // prefilled lines first and whole. Returns the number of repeated lines.
  size_t check(const char* id, const std::vector<std::string>& lines) {
    size_t prefilledAtFront = 0;
    while (prefilledAtFront < kPrefilled && prefilledAtFront < lines.size() &&
           lines[prefilledAtFront] == prefilledLine(prefilledAtFront)) {
      ++prefilledAtFront;
    }
    EXPECT_EQ(prefilledAtFront, kPrefilled)
        << id << ": the prefilled lines are not all at the front";

    std::unordered_set<std::string> ours;
    std::vector<std::string> links;
    for (auto& s : senders_) {
      ours.insert(s->acked.begin(), s->acked.end());
      ours.insert(s->unanswered.begin(), s->unanswered.end());
      if (s->kind == Kind::Module) links.push_back("5011 18" + s->account + "  FF");
    }
    std::unordered_map<std::string, size_t> firstAt;
    size_t repeated = 0, prefilled = 0, foreign = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      const std::string& l = lines[i];
      if (isPrefilled(l)) {
        ++prefilled;
        continue;
      }
      bool link = false;
      for (const std::string& prefix : links) link = link || l.starts_with(prefix);
      if (link) continue;
      if (!ours.count(l)) {
        if (++foreign <= 5)
          ADD_FAILURE() << id << ": line " << i << " '" << l << "' was never sent";
        continue;
      }
      if (!firstAt.emplace(l, i).second) {
        if (++repeated <= 10) std::printf("%s: '%s' repeated at line %zu\n", id, l.c_str(), i);
      }
    }
    EXPECT_EQ(prefilled, kPrefilled) << id << ": prefilled lines lost or repeated";
    EXPECT_EQ(foreign, 0u) << id;

    size_t lost = 0;
    for (auto& s : senders_) {
      size_t previous = 0;
      bool ordered = true;
      for (const std::string& e : s->acked) {
        auto it = firstAt.find(e);
        if (it == firstAt.end()) {
          if (++lost <= 10) ADD_FAILURE() << id << ": acknowledged event '" << e << "' lost";
          continue;
        }
        if (ordered && it->second < previous) {
          ADD_FAILURE() << id << ": '" << e << "' of " << kindName(s->kind) << " sender "
                        << s->account << " came before an event sent earlier";
          ordered = false;
        }
        previous = it->second;
      }
    }
    EXPECT_EQ(lost, 0u) << id << ": acknowledged events lost";
    std::printf("%s: %zu lines, %zu prefilled, %zu repeated\n", id, lines.size(), prefilled,
                repeated);
    return repeated;
  }

  test::TempDir dir_;
  Ports ports_;
  std::unique_ptr<test::Process> server_;
  std::vector<std::unique_ptr<Sender>> senders_;
  std::string earlier_;
  int startMs_ = 0;  // from spawn to "running:", the last time
  size_t tornTails_ = 0;
  size_t repeatedRecords_ = 0;
};

TEST_F(CrashRecoverySlow, EveryAcknowledgedEventOutlivesKillsAtRandomMoments) {
  unsigned seed = std::random_device()();
  if (const char* fixed = std::getenv("ORV_CRASH_SEED")) seed = std::strtoul(fixed, nullptr, 10);
  std::printf("seed %u (ORV_CRASH_SEED=%u repeats it)\n", seed, seed);
  std::mt19937 random(seed);

  for (int n = 1; n <= kRounds; ++n) {
    ASSERT_NO_FATAL_FAILURE(round(n, random));
    if (HasFailure()) break;  // the first round that went wrong says the most
  }

  // The last start: the server's own view of the queues, not the files'. ChanA is taken off
  // through the output port as a client would; ChanB is read from the queue file the clean stop
  // writes, so that the stop's own writing of a long queue is checked as well.
  ASSERT_NO_FATAL_FAILURE(launch());
  const size_t queuedA = test::queuedLines(dir_.path(), "ChanA").size();
  const uint32_t drainStart = ticks();
  const std::vector<std::string> drained = drainThroughOutputPort("ChanA", queuedA);
  const uint32_t drainMs = ticksSince(drainStart);
  std::vector<std::string> leftA;
  for (const uint32_t start = ticks(); ticksSince(start) < static_cast<uint32_t>(kAnswerMs);) {
    leftA = test::queuedLines(dir_.path(), "ChanA");
    if (leftA.empty()) break;
    pause(20);
  }
  EXPECT_TRUE(leftA.empty()) << leftA.size() << " lines still queued in ChanA after the drain";

  server_->signal(SIGTERM);
  ASSERT_EQ(server_->waitExit(kExitMs), 0);
  keepOutput();
  for (const char* id : kChannels) {
    EXPECT_FALSE(std::filesystem::exists(dir_ / (std::string(id) + ".jnl"))) << id;
  }
  EXPECT_TRUE(test::queuedLines(dir_.path(), "ChanA").empty());

  const size_t repeated =
      check("ChanA", drained) + check("ChanB", test::queuedLines(dir_.path(), "ChanB"));
  size_t acked[3] = {0, 0, 0}, unanswered = 0;
  for (auto& s : senders_) {
    acked[static_cast<int>(s->kind)] += s->acked.size();
    unanswered += s->unanswered.size();
  }
  std::printf(
      "%d rounds; acknowledged: module %zu, TcpDrv %zu, SIA %zu; unanswered at the kills %zu; "
      "repeated lines %zu; torn journal tails %zu; journal records repeated %zu; ChanA's %zu lines "
      "drained in %u ms\n",
      kRounds, acked[0], acked[1], acked[2], unanswered, repeated, tornTails_, repeatedRecords_,
      drained.size(), drainMs);
}

}  // namespace
}  // namespace orv
