// Queue files across crashes, restarts and damaged or unwritable files.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/ini_file.h"
#include "common/ticks.h"
#include "server/outputs/output_list.h"
#include "server/outputs/queue_file.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBankIni = "[Client0]\nId=Bank\nQSize=100000\n";

void push(tOList& list, const std::string& line) {
  list.pushLine(line, EventKeys::line(EventSource::TcpDrv, line));
}

// Polls `done` every few milliseconds for at most `limit`; true once it held.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string shown(const std::string& line) {
  return line.size() <= 80 ? line
                           : line.substr(0, 80) + "... (" + std::to_string(line.size()) + " bytes)";
}

std::vector<std::string> drain(tOItem& item) {
  std::vector<std::string> out;
  while (auto line = item.peek()) {
    out.push_back(*line);
    item.removeOldest();
  }
  return out;
}

// ---- crash ------------------------------------------------------------------------------------

// Lines of different lengths, so that a file cut anywhere cannot pass for a complete one.
std::string crashLine(int round, uint32_t n) {
  return "5011 181234E130 r" + std::to_string(round) + " n" + std::to_string(n) + " " +
         std::string(n % 37, static_cast<char>('a' + n % 26)) + "|";
}

bool writeAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The child of a crash round. It never returns: the parent kills it, or it gives up with _exit.
[[noreturn]] void runPushingChild(const fs::path& dir, int round, int reportFd) {
  try {
    IniFile ini = IniFile::fromText(kBankIni);
    tOList list(ini, false, dir);
    for (uint32_t n = 0; n < 200000; ++n) {
      push(list, crashLine(round, n));
      // Reported only once the push returned: that is the moment the line counts as accepted.
      if (!writeAll(reportFd, &n, sizeof n)) ::_exit(2);
      timespec pace{0, 500'000};
      ::nanosleep(&pace, nullptr);
    }
    ::_exit(3);
  } catch (...) {
    ::_exit(4);
  }
}

struct Report {
  uint32_t n;
  uint32_t arrived;  // ticks()
};

// Reads the 4-byte line numbers the child reports. False at end of file, or when nothing came for
// `timeoutMs`.
bool readReports(int fd, std::vector<Report>& reports, std::string& partial, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  int r = ::poll(&p, 1, timeoutMs);
  if (r <= 0) return false;
  char buf[4096];
  ssize_t got = ::read(fd, buf, sizeof buf);
  if (got <= 0) return false;
  const uint32_t now = ticks();
  partial.append(buf, static_cast<size_t>(got));
  size_t used = 0;
  for (; used + 4 <= partial.size(); used += 4) {
    uint32_t n;
    std::memcpy(&n, partial.data() + used, 4);
    reports.push_back({n, now});
  }
  partial.erase(0, used);
  return true;
}

TEST(QueuePersistence, KilledServerLeavesEveryLineAcceptedBeforeTheLast100ms) {
  test::TempDir dir;
  const fs::path file = dir / "Bank.out";
  std::deque<std::string> base;  // what the file held before the round
  // Different amounts per round, so the kill lands at different points of the write cycle.
  const size_t killAfter[] = {300, 370, 450};

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0) << std::strerror(errno);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0) << std::strerror(errno);
    if (pid == 0) {
      ::close(fds[0]);
      runPushingChild(dir.path(), round, fds[1]);
    }
    ::close(fds[1]);

    std::vector<Report> reports;
    std::string partial;
    bool childAlive = true;
    // Enough lines, and a long enough run that the first ones are well before the deadline.
    while (reports.size() < killAfter[round] || ticksSince(reports.front().arrived) < 250) {
      if (!readReports(fds[0], reports, partial, 5000)) {
        childAlive = false;
        break;
      }
    }
    const uint32_t killedAt = ticks();
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    const size_t beforeKill = reports.size();
    while (readReports(fds[0], reports, partial, 5000)) {
    }
    ::close(fds[0]);
    ASSERT_TRUE(childAlive) << "the child stopped reporting after " << reports.size()
                            << " lines; status " << status;
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the child ended by itself; status " << status;
    for (size_t i = 0; i < reports.size(); ++i) ASSERT_EQ(reports[i].n, i);

    size_t mustHave = 0;
    while (mustHave < beforeKill && ticksSince(reports[mustHave].arrived, killedAt) > 100) {
      ++mustHave;
    }

    std::deque<std::string> loaded = loadQueueFile(file);
    ASSERT_GE(loaded.size(), base.size()) << "lines of an earlier round were lost";
    for (size_t i = 0; i < base.size(); ++i) {
      ASSERT_EQ(loaded[i], base[i]) << "earlier line " << i;
    }
    const size_t kept = loaded.size() - base.size();
    for (size_t i = 0; i < kept; ++i) {
      ASSERT_EQ(loaded[base.size() + i], crashLine(round, static_cast<uint32_t>(i)))
          << "line " << i
          << " of this round is not the one pushed: " << shown(loaded[base.size() + i]);
    }
    EXPECT_GE(kept, mustHave)
        << reports.size() << " lines reported, " << mustHave
        << " of them more than 100 ms before the kill; the newest line in the file was reported "
        << (kept > 0 && kept <= reports.size()
                ? std::to_string(ticksSince(reports[kept - 1].arrived, killedAt)) + " ms"
                : std::string("never"))
        << " before it";
    // One line may have been pushed without its report getting out.
    EXPECT_LE(kept, reports.size() + 1);
    base = std::move(loaded);
  }
}

// ---- restart ----------------------------------------------------------------------------------

TEST(QueuePersistence, OrderlyStopKeepsQueueForNextStart) {
  test::TempDir dir;
  const IniFile ini = IniFile::fromText(kBankIni);
  const fs::path file = dir / "Bank.out";
  const std::vector<std::string> five = {"5011 181001E13001001", "5011 181002E13001002",
                                         "5011 181003E13001003", "5011 181004E13001004",
                                         "5011 181005E13001005"};
  const std::string fiveText = [&] {
    std::string s;
    for (const std::string& l : five) s += l + "\n";
    return s;
  }();
  {
    tOList list(ini, false, dir.path());
    for (const std::string& l : five) push(list, l);
  }
  ASSERT_EQ(test::readFile(file), fiveText);

  {
    // A start that changes nothing leaves the file as it was.
    tOList list(ini, false, dir.path());
    ASSERT_EQ(list.find("Bank")->count(), 5u);
    EXPECT_EQ(test::readFile(file), fiveText);
  }
  ASSERT_EQ(test::readFile(file), fiveText);

  tOList list(ini, false, dir.path());
  tOItem& bank = *list.find("Bank");
  ASSERT_EQ(bank.count(), 5u);
  EXPECT_EQ(bank.peek(), five[0]);
  EXPECT_TRUE(fs::exists(file)) << "loading removed the queue file";

  const std::string sixth = "5011 181006E13001006";
  push(list, sixth);
  EXPECT_TRUE(waitUntil([&] { return test::readFile(file) == fiveText + sixth + "\n"; },
                        std::chrono::seconds(2)))
      << "file holds:\n"
      << test::readFile(file);

  std::vector<std::string> expected = five;
  expected.push_back(sixth);
  EXPECT_EQ(drain(bank), expected);
  EXPECT_TRUE(waitUntil([&] { return !fs::exists(file); }, std::chrono::seconds(2)))
      << "an empty queue still has its file:\n"
      << test::readFile(file);
}

// ---- damaged and unwritable files -------------------------------------------------------------

TEST(QueueFileLoad, DamagedFileGivesItsGoodLines) {
  test::TempDir dir;
  const std::string binary("bin\0\xff\x01 end", 10);
  const std::string longest(kMaxQueuedLine, 'L');
  std::string content;
  content += "first\n";
  content += std::string(70000, 'x') + "\n";               // too long: skipped
  content += binary + "\n";                                // bytes are kept as they are
  content += "crlf\r\n";                                   // the "\r" goes
  content += "\n\r\n\n";                                   // empty lines: skipped
  content += longest + "\n";                               // exactly the limit: kept
  content += longest + "\r\n";                             // the "\r" does not count
  content += std::string(kMaxQueuedLine + 1, 'y') + "\n";  // one byte over: skipped
  content += std::string(kMaxQueuedLine + 1, 'z') + "\r\n";
  content += "mid\rdle\n";  // only a final "\r" is an ending
  content += "no final newline";
  const fs::path file = dir.write("Bank.out", content);

  testing::internal::CaptureStderr();
  const std::deque<std::string> loaded = loadQueueFile(file);
  const std::string err = testing::internal::GetCapturedStderr();

  const std::deque<std::string> expected = {
      "first", binary, "crlf", longest, longest, "mid\rdle", "no final newline"};
  ASSERT_EQ(loaded.size(), expected.size()) << err;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(loaded[i], expected[i]) << "line " << i << ": " << shown(loaded[i]);
  }
  EXPECT_NE(err.find("3 lines longer than"), std::string::npos) << err;

  // A list loads the same lines and leaves the file in place.
  tOList list(IniFile::fromText(kBankIni), false, dir.path());
  tOItem& bank = *list.find("Bank");
  EXPECT_EQ(bank.count(), expected.size());
  EXPECT_EQ(bank.peek(), "first");
  EXPECT_TRUE(fs::exists(file));
}

TEST(QueueFileLoad, OversizedFileStopsAtALineBoundary) {
  test::TempDir dir;
  const fs::path file = dir / "Bank.out";
  // Sparse: only the pieces written take room. The NUL run between them is one line far too
  // long; the line across the read limit is cut in two by it.
  {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const std::string head = "first\n";
    const std::string across = "\nabcdefghij\nafter\n";
    ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(::pwrite(fd, across.data(), across.size(), kMaxQueueFile - 6),
              static_cast<ssize_t>(across.size()));
    ::close(fd);
  }
  testing::internal::CaptureStderr();
  const std::deque<std::string> loaded = loadQueueFile(file);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(loaded, std::deque<std::string>{"first"}) << err;
  EXPECT_NE(err.find("the rest is not loaded"), std::string::npos) << err;
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Tests run as root, which ignores directory permissions; a directory where the file or its
// temporary file must go makes the write fail just as well.
TEST(QueuePersistence, UnwritableFileIsReportedOnceAndTheQueueKept) {
  for (const char* obstacle : {"Bank.out.tmp", "Bank.out"}) {
    SCOPED_TRACE(std::string("directory ") + obstacle);
    test::TempDir dir;
    const fs::path file = dir / "Bank.out";
    fs::create_directory(dir / obstacle);

    testing::internal::CaptureStderr();
    std::string err;
    {
      tOList list(IniFile::fromText(kBankIni), false, dir.path());
      tOItem& bank = *list.find("Bank");
      // Each push wakes the persister, so each is another failed attempt.
      for (int i = 0; i < 6; ++i) {
        push(list, "5011 18100" + std::to_string(i) + "E13001001");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
      }
      EXPECT_EQ(bank.count(), 6u);
      EXPECT_FALSE(fs::is_regular_file(file));

      // Once the obstacle is gone the file comes back without a new push.
      fs::remove(dir / obstacle);
      EXPECT_TRUE(
          waitUntil([&] { return loadQueueFile(file).size() == 6; }, std::chrono::seconds(5)))
          << "the queue file was not written again";
      EXPECT_EQ(bank.count(), 6u);
    }
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(occurrences(err, "the queue stays in memory"), 1u) << err;
    EXPECT_EQ(occurrences(err, "written again"), 1u) << err;
  }
}

}  // namespace
}  // namespace orv
