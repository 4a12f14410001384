#include "common/event_connections.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/durability.h"
#include "common/socket_error.h"
#include "common/ticks.h"

namespace orv {
namespace {

std::vector<std::string> linesOf(std::string_view unread, size_t fresh, std::string_view end,
                                 size_t* used = nullptr) {
  std::vector<std::string> lines;
  size_t u = forEachLine(unread, fresh, end, [&](std::string_view l) { lines.emplace_back(l); });
  if (used) *used = u;
  return lines;
}

TEST(ForEachLine, TakesCompleteLinesOnlyAndFindsATerminatorSplitAcrossReads) {
  size_t used = 0;
  EXPECT_EQ(linesOf("ab\r\ncd\r\nef", 10, "\r\n", &used), (std::vector<std::string>{"ab", "cd"}));
  EXPECT_EQ(used, 8u);
  // "\r" came with the last read, "\n" with this one.
  EXPECT_EQ(linesOf("abc\r\n", 1, "\r\n", &used), std::vector<std::string>{"abc"});
  EXPECT_EQ(used, 5u);
  EXPECT_TRUE(linesOf("no end yet", 3, "\r\n", &used).empty());
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(linesOf("\r\r", 2, "\r"), (std::vector<std::string>{"", ""}));
}

// What the connections of a test server saw, shared with the test thread.
struct Journal {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::pair<int, int>> closes;  // connection number, error
  int ticks = 0;

  void closed(int number, int error) {
    std::lock_guard g(lock);
    closes.emplace_back(number, error);
    changed.notify_all();
  }
  bool waitForCloses(size_t n, int ms = 5000) {
    std::unique_lock g(lock);
    return changed.wait_for(g, std::chrono::milliseconds(ms), [&] { return closes.size() >= n; });
  }
};

// Answers every CR LF line with "<line>!" CR LF; "big" is answered with 256 KiB; "bye" makes the
// connection close itself at its next tick. Any line makes it established.
class Echo : public EventConnection {
 public:
  Echo(Journal& journal, int number) : journal_(journal), number_(number) {}
  size_t onInput(std::string_view unread, size_t fresh) override {
    return forEachLine(unread, fresh, "\r\n", [&](std::string_view line) {
      markEstablished();
      if (line.starts_with("ev:")) {
        // An event: answered once its ticket is stored.
        sendWhenStored(std::string(line.substr(3)) + "!\r\n",
                       std::stoull(std::string(line.substr(3))));
      } else if (line == "big") {
        send(std::string(256 * 1024, 'b'));
      } else if (line == "bye") {
        leaving_ = true;
      } else {
        send(std::string(line) + "!\r\n");
      }
    });
  }
  void onTick(uint32_t) override {
    {
      std::lock_guard g(journal_.lock);
      ++journal_.ticks;
    }
    if (leaving_) close(kWsaTimedOut);
  }
  void onClosed(int error) override { journal_.closed(number_, error); }

 private:
  Journal& journal_;
  const int number_;
  bool leaving_ = false;
};

// A store whose durable ticket and failure the test sets by hand.
class ManualDurability : public Durability {
 public:
  uint64_t durable() const override { return durable_.load(); }
  std::string failure() const override {
    std::lock_guard g(lock_);
    return failure_;
  }
  void addWaker(int fd) override {
    std::lock_guard g(lock_);
    wakers_.push_back(fd);
  }
  void removeWaker(int fd) override {
    std::lock_guard g(lock_);
    std::erase(wakers_, fd);
  }
  void set(uint64_t durable, std::string failure = {}) {
    std::lock_guard g(lock_);
    durable_ = durable;
    failure_ = std::move(failure);
    for (int fd : wakers_) {
      uint64_t one = 1;
      ssize_t r = ::write(fd, &one, sizeof one);
      (void)r;
    }
  }

 private:
  mutable std::mutex lock_;
  std::atomic<uint64_t> durable_{0};
  std::string failure_;
  std::vector<int> wakers_;
};

class EventServerTest : public testing::Test {
 protected:
  void start(size_t maxConnections = 8, Durability* durability = nullptr) {
    server_ = std::make_unique<EventConnections<Echo>>("test server", maxConnections, 1024);
    ASSERT_TRUE(server_->start(
        0, [this](const LineSocket&) { return std::make_unique<Echo>(journal_, ++accepted_); }, {},
        durability));
  }
  LineSocket connect() {
    LineSocket s;
    EXPECT_EQ(s.connect("127.0.0.1", server_->port(), 2000), 0);
    return s;
  }
  std::string exchange(LineSocket& s, const std::string& line) {
    EXPECT_EQ(s.send(line + "\r\n"), 0);
    std::string answer;
    s.receiveLine(answer, LineEnd::CrLf, 3000);
    return answer;
  }
  void waitForCount(size_t n) {
    for (int i = 0; i < 300 && server_->count() != n; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  Journal journal_;
  int accepted_ = 0;  // on the loop thread only
  ManualDurability store_;  // outlives the server, which stops waking it when it goes
  std::unique_ptr<EventConnections<Echo>> server_;
};

TEST_F(EventServerTest, AnswersEachConnectionAndReportsThePeersClose) {
  start();
  LineSocket a = connect();
  LineSocket b = connect();
  EXPECT_EQ(exchange(a, "one"), "one!");
  EXPECT_EQ(exchange(b, "two"), "two!");
  // Two lines in one write, and one line in two writes.
  ASSERT_EQ(a.send("x\r\ny\r\nhal"), 0);
  std::string l1, l2;
  ASSERT_EQ(a.receiveLine(l1, LineEnd::CrLf, 3000), 0);
  ASSERT_EQ(a.receiveLine(l2, LineEnd::CrLf, 3000), 0);
  EXPECT_EQ(l1 + l2, "x!y!");
  EXPECT_EQ(exchange(a, "f"), "half!");
  waitForCount(2);
  EXPECT_EQ(server_->count(), 2u);

  b.close();
  ASSERT_TRUE(journal_.waitForCloses(1));
  EXPECT_EQ(journal_.closes[0], std::make_pair(2, kWsaConnReset));
  waitForCount(1);
  EXPECT_EQ(server_->count(), 1u);
  EXPECT_EQ(exchange(a, "still"), "still!");
}

TEST_F(EventServerTest, TooMuchInputWithoutALineEndClosesOnlyThatConnection) {
  start();
  LineSocket flooder = connect();
  LineSocket other = connect();
  flooder.send(std::string(64 * 1024, 'x'), 3000);  // may fail once the server has closed
  ASSERT_TRUE(journal_.waitForCloses(1));
  EXPECT_EQ(journal_.closes[0], std::make_pair(1, kErrLineTooLong));
  EXPECT_EQ(exchange(other, "fine"), "fine!");
}

TEST_F(EventServerTest, APeerThatDoesNotReadIsClosedWithoutUnboundedBuffering) {
  start();
  LineSocket deaf = connect();
  // Each "big" asks for 256 KiB; the socket takes a few MiB, the server keeps at most its limit.
  std::string burst;
  for (int i = 0; i < 200; ++i) burst += "big\r\n";
  deaf.send(burst, 3000);
  ASSERT_TRUE(journal_.waitForCloses(1, 10000));
  EXPECT_EQ(journal_.closes[0], std::make_pair(1, kWsaNoBuffers));
  LineSocket other = connect();
  EXPECT_EQ(exchange(other, "ok"), "ok!");
}

TEST_F(EventServerTest, ConnectionsBeyondTheLimitAreRefused) {
  start(2);
  LineSocket a = connect();
  LineSocket b = connect();
  EXPECT_EQ(exchange(a, "a"), "a!");
  EXPECT_EQ(exchange(b, "b"), "b!");
  LineSocket c = connect();
  char byte = 0;
  EXPECT_EQ(c.receiveByte(byte, 3000), kWsaConnReset);  // accepted and closed at once
  EXPECT_EQ(server_->count(), 2u);
}

TEST_F(EventServerTest, ASilentConnectionMakesRoomForANewOne) {
  start(2);
  LineSocket talker = connect();
  EXPECT_EQ(exchange(talker, "a"), "a!");
  LineSocket silent = connect();
  waitForCount(2);
  LineSocket newcomer = connect();
  EXPECT_EQ(exchange(newcomer, "c"), "c!");
  char byte = 0;
  EXPECT_EQ(silent.receiveByte(byte, 3000), kWsaConnReset);
  ASSERT_TRUE(journal_.waitForCloses(1));
  EXPECT_EQ(journal_.closes[0], std::make_pair(2, kWsaConnAborted));
  EXPECT_EQ(server_->admissionCounters().evicted.load(), 1u);
  EXPECT_EQ(exchange(talker, "b"), "b!");
}

TEST_F(EventServerTest, TicksLetAConnectionEndItself) {
  start();
  LineSocket a = connect();
  ASSERT_EQ(a.send("bye\r\n"), 0);
  ASSERT_TRUE(journal_.waitForCloses(1, 3000));
  EXPECT_EQ(journal_.closes[0], std::make_pair(1, kWsaTimedOut));
  char byte = 0;
  EXPECT_EQ(a.receiveByte(byte, 3000), kWsaConnReset);
  std::lock_guard g(journal_.lock);
  EXPECT_GT(journal_.ticks, 0);
}

TEST_F(EventServerTest, StopEndsEveryConnectionNewestFirstWithinATick) {
  start();
  std::vector<LineSocket> peers;
  for (int i = 0; i < 3; ++i) {
    peers.push_back(connect());
    EXPECT_EQ(exchange(peers.back(), "hi"), "hi!");
  }
  const uint32_t begin = ticks();
  server_->stop();
  EXPECT_LT(ticksSince(begin), 1000u);
  ASSERT_EQ(journal_.closes.size(), 3u);
  EXPECT_EQ(journal_.closes[0], std::make_pair(3, kWsaInterrupted));
  EXPECT_EQ(journal_.closes[1], std::make_pair(2, kWsaInterrupted));
  EXPECT_EQ(journal_.closes[2], std::make_pair(1, kWsaInterrupted));
  server_->stop();  // again: nothing more
  EXPECT_EQ(journal_.closes.size(), 3u);
  EXPECT_EQ(server_->count(), 0u);
  LineSocket late;
  EXPECT_NE(late.connect("127.0.0.1", server_->port(), 1000), 0);
}

TEST_F(EventServerTest, AnAcknowledgementWaitsUntilItsEventIsStoredAndKeepsItsPlace) {
  ManualDurability& store = store_;
  start(8, &store);
  LineSocket a = connect();
  LineSocket b = connect();
  ASSERT_EQ(a.send("ev:3\r\nnow\r\n"), 0);
  // Nothing is stored yet: no answer, and "now" behind the event is not answered before it.
  std::string line;
  EXPECT_EQ(a.receiveLine(line, LineEnd::CrLf, 300), kWsaTimedOut) << line;
  // Other connections go on meanwhile; an event of theirs that is stored already goes at once.
  store.set(1);
  EXPECT_EQ(exchange(b, "ev:1"), "1!");
  EXPECT_EQ(exchange(b, "plain"), "plain!");
  store.set(2);
  EXPECT_EQ(a.receiveLine(line, LineEnd::CrLf, 300), kWsaTimedOut) << line;
  store.set(3);
  ASSERT_EQ(a.receiveLine(line, LineEnd::CrLf, 3000), 0);
  EXPECT_EQ(line, "3!");
  ASSERT_EQ(a.receiveLine(line, LineEnd::CrLf, 3000), 0);
  EXPECT_EQ(line, "now!");
  EXPECT_EQ(exchange(a, "again"), "again!");
}

TEST_F(EventServerTest, HeldAcknowledgementsAreReportedOnceWhileNothingCanBeStored) {
  ManualDurability& store = store_;
  testing::internal::CaptureStderr();
  start(8, &store);
  store.set(0, "Bank.jnl: cannot write: No space left on device");
  LineSocket a = connect();
  ASSERT_EQ(a.send("ev:1\r\n"), 0);
  LineSocket b = connect();
  ASSERT_EQ(b.send("ev:2\r\n"), 0);
  std::string line;
  EXPECT_EQ(a.receiveLine(line, LineEnd::CrLf, 500), kWsaTimedOut);
  store.set(2);
  ASSERT_EQ(a.receiveLine(line, LineEnd::CrLf, 3000), 0);
  EXPECT_EQ(line, "1!");
  ASSERT_EQ(b.receiveLine(line, LineEnd::CrLf, 3000), 0);
  EXPECT_EQ(line, "2!");
  server_->stop();
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string held =
      "test server: events are not acknowledged while they cannot be stored "
      "(Bank.jnl: cannot write: No space left on device)";
  EXPECT_NE(err.find(held), std::string::npos) << err;
  EXPECT_EQ(err.find(held), err.rfind(held)) << err;
  EXPECT_NE(err.find("test server: events are stored and acknowledged again"), std::string::npos)
      << err;
}

TEST_F(EventServerTest, APeerThatLeavesWhileItsAnswerWaitsIsClosedOnceItIsStored) {
  ManualDurability& store = store_;
  start(8, &store);
  {
    LineSocket a = connect();
    ASSERT_EQ(a.send("ev:7\r\n"), 0);
    waitForCount(1);
  }
  store.set(7);  // the answer has nowhere to go; the close is noticed behind it
  ASSERT_TRUE(journal_.waitForCloses(1, 3000));
  EXPECT_EQ(journal_.closes[0].first, 1);
  waitForCount(0);
  EXPECT_EQ(server_->count(), 0u);
  LineSocket b = connect();
  EXPECT_EQ(exchange(b, "ok"), "ok!");
}

}  // namespace
}  // namespace orv
