// A journal past its bound is folded into a new queue file while the writing goes on: the files
// give back the queue exactly at every moment, also when the process dies in the middle.

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "common/unique_fd.h"
#include "server/outputs/queue_store.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using Lines = std::deque<std::string>;

constexpr uint64_t kSmallBound = 64 * 1024;

// What an output item does with its store, without the rest of the item.
class Queue : public StoredQueue {
 public:
  Queue(QueueStore& store, const fs::path& file) : store_(store) {
    QueueStore::Loaded loaded;
    handle_ = store_.open(file, *this, loaded);
    lines_ = std::move(loaded.lines);
    front_ = loaded.frontSeq;
  }
  uint64_t push(const std::string& line) {
    std::lock_guard lock(lock_);
    const uint64_t ticket = store_.append(handle_, front_ + lines_.size(), line);
    lines_.push_back(line);
    return ticket;
  }
  uint64_t drop(size_t n) {
    std::lock_guard lock(lock_);
    n = std::min(n, lines_.size());
    lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(n));
    front_ += n;
    return store_.dropBefore(handle_, front_);
  }
  Lines lines() const {
    std::lock_guard lock(lock_);
    return lines_;
  }
  void withQueue(const std::function<void(uint64_t, const Lines&)>& f) const override {
    std::lock_guard lock(lock_);
    f(front_, lines_);
  }

 private:
  QueueStore& store_;
  QueueStore::Handle handle_ = 0;
  mutable std::mutex lock_;
  Lines lines_;
  uint64_t front_ = 0;
};

void waitDurable(const Durability& d, uint64_t ticket) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (d.durable() < ticket && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_GE(d.durable(), ticket) << d.failure();
}

std::string line(uint64_t n) {
  return "5011 181234E130 fold" + std::string(n % 23, 'x') + " " + std::to_string(n);
}

TEST(QueueFold, TheFilesGiveBackTheQueueWhileJournalsAreFoldedIn) {
  test::TempDir dir;
  const fs::path file = dir / "Bank.out";
  JournalStore store({}, kSmallBound);
  Queue queue(store, file);
  store.start();
  uint64_t next = 0, ticket = 0;
  for (int burst = 0; burst < 60; ++burst) {
    for (int i = 0; i < 400; ++i) ticket = queue.push(line(next++));
    ticket = queue.drop(250);
    waitDurable(store, ticket);
    // Whatever step a fold is at, the files hold exactly the queue as it is now. (Reading
    // them while the store renames one and then the other can see a mixture a crash cannot
    // leave; the read is repeated then, the queue being still.)
    const Lines expected = queue.lines();
    Lines stored = readQueueFiles(file).queue.lines;
    for (int again = 0; again < 5 && stored != expected; ++again) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      stored = readQueueFiles(file).queue.lines;
    }
    ASSERT_EQ(stored, expected) << "after burst " << burst;
  }
  // Folds happened: the queue file holds most of the queue and the journal stayed small.
  EXPECT_GT(fs::file_size(file), 100 * 1024u);
  EXPECT_LT(fs::file_size(dir / "Bank.jnl"), 16u << 20);
  const Lines expected = queue.lines();
  store.close();
  EXPECT_EQ(readQueueFiles(file).queue.lines, expected);
  EXPECT_FALSE(fs::exists(dir / "Bank.jnl"));
  EXPECT_FALSE(fs::exists(dir / "Bank.jnl.new"));
  EXPECT_FALSE(fs::exists(dir / "Bank.out.tmp"));
}

TEST(QueueFold, AFoldOfALargeQueueCarriesAJournalTailOfManyMegabytes) {
  test::TempDir dir;
  const fs::path file = dir / "Bank.out";
  const uint64_t filed = 1000000;
  {
    std::ofstream out(file, std::ios::binary);
    for (uint64_t n = 0; n < filed; ++n) out << line(n) << '\n';
  }
  JournalStore store({}, kSmallBound);
  Queue queue(store, file);
  store.start();
  testing::internal::CaptureStderr();
  // Past twice the file's size of journal a fold starts; while it writes its large file, a
  // flood of lines (several MiB) goes to the old journal, and all of it starts the new one.
  uint64_t n = filed, ticket = 0;
  while (store.foldsStarted() == 0 && n < 5 * filed) ticket = queue.push(line(n++));
  for (int i = 0; i < 150000; ++i) ticket = queue.push(line(n++));
  waitDurable(store, ticket);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (store.foldsFinished() == 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const Lines expected = queue.lines();
  Lines stored = readQueueFiles(file).queue.lines;
  for (int again = 0; again < 5 && stored != expected; ++again) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stored = readQueueFiles(file).queue.lines;
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_GE(store.foldsFinished(), 1u);
  EXPECT_EQ(stored.size(), expected.size());
  EXPECT_TRUE(stored == expected);
  EXPECT_EQ(err.find("valid record"), std::string::npos) << err;
  store.close();  // while the queue it reads is still there
}

// The child pushes and drops as above and writes each step's size to the pipe once it is
// durable; it is killed at a random moment, in the middle of folds as a rule.
[[noreturn]] void foldingChild(const fs::path& file, int round, int report) {
  JournalStore store({}, kSmallBound);
  Queue queue(store, file);
  store.start();
  uint64_t next = static_cast<uint64_t>(round) * 10000000;
  for (uint32_t step = 0;; ++step) {
    uint64_t ticket = 0;
    for (int i = 0; i < 50; ++i) ticket = queue.push(line(next++));
    ticket = queue.drop(30);
    while (store.durable() < ticket) ::usleep(200);
    const Lines now = queue.lines();
    std::string record = std::to_string(now.size()) + " " + now.back() + "\n";
    if (::write(report, record.data(), record.size()) != static_cast<ssize_t>(record.size())) {
      ::_exit(2);
    }
  }
}

TEST(QueueFold, AKillInTheMiddleOfFoldingLosesNothingStored) {
  test::TempDir dir;
  const fs::path file = dir / "Bank.out";
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 6; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(fds[0]);
      foldingChild(file, round, fds[1]);
    }
    ::close(fds[1]);
    UniqueFd in(fds[0]);
    // The kill comes at a random moment once the child has stored something (a slow build,
    // a sanitizer's say, takes a while to get there).
    std::string reports;
    char buf[65536];
    pollfd p{in.get(), POLLIN, 0};
    if (::poll(&p, 1, 30000) == 1) {
      const ssize_t n = ::read(in.get(), buf, sizeof buf);
      if (n > 0) reports.append(buf, static_cast<size_t>(n));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 400));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    for (ssize_t n; (n = ::read(in.get(), buf, sizeof buf)) > 0;) {
      reports.append(buf, static_cast<size_t>(n));
    }
    // The last whole report: the queue's length and last line once that step was durable.
    const size_t end = reports.rfind('\n');
    ASSERT_NE(end, std::string::npos) << "round " << round << ": the child reported nothing";
    const size_t start = reports.rfind('\n', end - 1) + 1;
    const std::string last = reports.substr(start, end - start);
    const std::string lastLine = last.substr(last.find(' ') + 1);

    const Lines stored = readQueueFiles(file).queue.lines;
    // The last durable step's last line is there, and no line is missing between the oldest
    // and the newest: lines only leave from the front (later steps, durable but not yet
    // reported when the kill came, may have taken more from there).
    ASSERT_NE(std::find(stored.begin(), stored.end(), lastLine), stored.end())
        << "round " << round << ": " << lastLine << " is lost";
    auto number = [](const std::string& l) { return std::stoull(l.substr(l.rfind(' ') + 1)); };
    for (size_t i = 1; i < stored.size(); ++i) {
      const uint64_t before = number(stored[i - 1]), now = number(stored[i]);
      ASSERT_TRUE(now == before + 1 || (now % 10000000 == 0 && now > before))
          << "round " << round << ": " << stored[i - 1] << " is followed by " << stored[i];
    }
  }
}

}  // namespace
}  // namespace orv
