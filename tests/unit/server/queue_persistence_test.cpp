// Queue files and their journals across crashes, restarts, damaged files and failing storage.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/crc32c.h"
#include "common/ini_file.h"
#include "common/unique_fd.h"
#include "server/outputs/output_list.h"
#include "server/outputs/queue_journal.h"
#include "server/outputs/queue_store.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr const char* kBankIni = "[Client0]\nId=Bank\nQSize=1000000\n";

uint64_t push(tOList& list, const std::string& line) {
  return list.pushLine(line, EventKeys::line(EventSource::TcpDrv, line));
}

// Polls `done` for at most `limit`; true once it held.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string textOf(const Lines& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

Lines linesOf(const StoredFiles& read) {
  return {read.queue.lines.begin(), read.queue.lines.end()};
}

Lines linesOf(const tOItem& item) {
  Lines out;
  item.withQueue(
      [&](uint64_t, const std::deque<std::string>& q) { out.assign(q.begin(), q.end()); });
  return out;
}

std::set<std::string> filesIn(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The Base record of a journal that continues a queue file holding `lines`.
std::string baseFor(uint64_t firstSeq, const Lines& lines) {
  const std::string text = textOf(lines);
  std::string record;
  journal::appendBase(record, {firstSeq, lines.size(), text.size(), crc32c(text)});
  return record;
}

std::string pushRecord(uint64_t seq, const std::string& line) {
  std::string r;
  journal::appendPush(r, seq, line);
  return r;
}

std::string frontRecord(uint64_t seq) {
  std::string r;
  journal::appendFront(r, seq);
  return r;
}

// The store writes its journal into zeros laid out ahead of it.
std::string padded(std::string records) {
  return records + std::string(8192, '\0');
}

std::string flipped(std::string record, size_t at) {
  record[at] ^= 0x40;
  return record;
}

// Stderr captured for a scope, and given back even when an assertion leaves it early.
class CapturedStderr {
 public:
  CapturedStderr() { testing::internal::CaptureStderr(); }
  ~CapturedStderr() {
    if (!taken_) testing::internal::GetCapturedStderr();
  }
  std::string take() {
    taken_ = true;
    return testing::internal::GetCapturedStderr();
  }

 private:
  bool taken_ = false;
};

StoredFiles readCapturing(const fs::path& out, std::string& err) {
  CapturedStderr captured;
  StoredFiles read = readQueueFiles(out);
  err = captured.take();
  return read;
}

// A list started over the files, then stopped cleanly: it must have loaded `expected`, and
// leave them as the queue file alone (or no file at all for an empty queue).
void expectServerKeeps(const fs::path& dir, const Lines& expected) {
  {
    CapturedStderr quiet;
    tOList list(IniFile::fromText(kBankIni), false, dir);
    EXPECT_EQ(linesOf(*list.find("Bank")), expected);
  }
  const std::set<std::string> left = filesIn(dir);
  if (expected.empty()) {
    EXPECT_TRUE(left.empty()) << left.size() << " files left, e.g. " << *left.begin();
  } else {
    EXPECT_EQ(left, std::set<std::string>{"Bank.out"});
    EXPECT_EQ(test::readFile(dir / "Bank.out"), textOf(expected));
  }
}

// ---- crash ------------------------------------------------------------------------------------

// Lines of different lengths, so that a cut line cannot pass for a whole one.
std::string crashLine(int round, uint32_t n) {
  return "5011 18 r" + std::to_string(round) + " n" + std::to_string(n) + " " +
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

// Pushes lines as fast as the store takes them, with a few dozen waiting for their flush as from
// many senders at once, and reports each line's number once it would be acknowledged. Never
// returns: the parent kills it, or it gives up with _exit.
[[noreturn]] void pushUntilKilled(const fs::path& dir, int round, int reportFd) {
  try {
    tOList list(IniFile::fromText(kBankIni), false, dir);
    Durability& durability = *list.durability();
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    durability.addWaker(wake.get());
    std::deque<std::pair<uint32_t, uint64_t>> unconfirmed;  // line number, ticket
    for (uint32_t n = 0; n < 10'000'000; ++n) {
      unconfirmed.emplace_back(n, push(list, crashLine(round, n)));
      for (;;) {
        const uint64_t durable = durability.durable();
        while (!unconfirmed.empty() && unconfirmed.front().second <= durable) {
          if (!writeAll(reportFd, &unconfirmed.front().first, 4)) ::_exit(2);
          unconfirmed.pop_front();
        }
        if (unconfirmed.size() < 32) break;
        pollfd p{wake.get(), POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) ::_exit(3);  // the store stopped flushing
        uint64_t count;
        (void)!::read(wake.get(), &count, sizeof count);
      }
    }
    ::_exit(4);
  } catch (...) {
    ::_exit(5);
  }
}

// One round: a child pushes until it is killed at a random moment; every line it reported must
// then be in the files, behind what they held before, in order and whole.
void crashRound(const fs::path& dir, int round, std::mt19937& rng, Lines& held) {
  SCOPED_TRACE("round " + std::to_string(round));
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0) << std::strerror(errno);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0) << std::strerror(errno);
  if (pid == 0) {
    ::close(fds[0]);
    pushUntilKilled(dir, round, fds[1]);
  }
  ::close(fds[1]);
  UniqueFd reports(fds[0]);

  const size_t killAfter = std::uniform_int_distribution<size_t>(1000, 4000)(rng);
  std::vector<uint32_t> reported;
  std::string partial;
  auto readReports = [&](int timeoutMs) {
    pollfd p{reports.get(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[4096];
    const ssize_t got = ::read(reports.get(), buf, sizeof buf);
    if (got <= 0) return false;
    partial.append(buf, static_cast<size_t>(got));
    size_t used = 0;
    for (; used + 4 <= partial.size(); used += 4) {
      uint32_t n;
      std::memcpy(&n, partial.data() + used, 4);
      reported.push_back(n);
    }
    partial.erase(0, used);
    return true;
  };
  bool reporting = true;
  while (reporting && reported.size() < killAfter) reporting = readReports(10000);
  // Somewhere within the next flush or two, not just after a report.
  std::this_thread::sleep_for(
      std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(rng)));
  ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  while (readReports(1000)) {
  }
  ASSERT_TRUE(reporting) << "the child stopped after " << reported.size() << " lines";
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
  for (size_t i = 0; i < reported.size(); ++i) ASSERT_EQ(reported[i], i);

  std::string err;
  const Lines stored = linesOf(readCapturing(dir / "Bank.out", err));
  ASSERT_GE(stored.size(), held.size() + reported.size())
      << reported.size() << " lines reported stored\n"
      << err;
  for (size_t i = 0; i < held.size(); ++i) ASSERT_EQ(stored[i], held[i]) << "earlier line " << i;
  for (size_t i = held.size(); i < stored.size(); ++i) {
    ASSERT_EQ(stored[i], crashLine(round, static_cast<uint32_t>(i - held.size())))
        << "line " << i - held.size() << " of this round";
  }
  // Beyond what was reported only the lines that were still waiting for their flush.
  EXPECT_LE(stored.size() - held.size(), reported.size() + 32);
  held = stored;
}

class QueueCrash : public testing::Test {
 protected:
  void SetUp() override {
    // ORV_TEST_SEED repeats a failed run's kill points.
    const char* given = std::getenv("ORV_TEST_SEED");
    const unsigned seed = given ? static_cast<unsigned>(std::stoul(given)) : std::random_device{}();
    RecordProperty("seed", std::to_string(seed));
    std::printf("seed %u\n", seed);
    rng_.seed(seed);
  }
  std::mt19937 rng_;
};

TEST_F(QueueCrash, KilledServerKeepsEveryAcknowledgedLine) {
  test::TempDir dir;
  Lines held;
  for (int round = 0; round < 5 && !HasFatalFailure(); ++round) {
    crashRound(dir.path(), round, rng_, held);
  }
  if (HasFatalFailure()) return;

  // One damaged record in the journal of a killed server costs that record's line, no other.
  test::TempDir copy;
  fs::copy_file(dir / "Bank.out", copy / "Bank.out");
  std::string jnl = test::readFile(dir / "Bank.jnl");
  // The journal runs on in zeros past its last record: the damage goes among the records.
  const size_t recordsEnd = jnl.find_last_not_of('\0') + 1;
  jnl[recordsEnd / 2] ^= 0x01;
  copy.write("Bank.jnl", jnl);
  std::string err;
  const Lines salvaged = linesOf(readCapturing(copy / "Bank.out", err));
  ASSERT_EQ(salvaged.size() + 1, held.size()) << err;
  size_t lost = 0;
  while (lost < salvaged.size() && salvaged[lost] == held[lost]) ++lost;
  for (size_t i = lost; i < salvaged.size(); ++i) ASSERT_EQ(salvaged[i], held[i + 1]);
  EXPECT_NE(err.find("hold no valid record"), std::string::npos) << err;

  expectServerKeeps(dir.path(), held);
}

TEST_F(QueueCrash, ReplayOnTopOfALargeQueueFile) {
  test::TempDir dir;
  Lines held;
  for (uint32_t n = 0; n < 200000; ++n) held.push_back("5011 18 big" + std::to_string(n));
  dir.write("Bank.out", textOf(held));
  crashRound(dir.path(), 0, rng_, held);
  if (HasFatalFailure()) return;
  crashRound(dir.path(), 1, rng_, held);
  if (HasFatalFailure()) return;
  expectServerKeeps(dir.path(), held);
}

// ---- orderly stop and restart -----------------------------------------------------------------

TEST(QueueRestart, OrderlyStopLeavesOnlyTheQueueFile) {
  test::TempDir dir;
  const IniFile ini = IniFile::fromText(kBankIni);
  const Lines five = {"5011 18 1", "5011 18 2", "5011 18 3", "5011 18 4", "5011 18 5"};
  {
    tOList list(ini, false, dir.path());
    tOItem& bank = *list.find("Bank");
    for (const std::string& l : five) push(list, l);
    bank.removeOldest();
    bank.removeOldest();
    const uint64_t ticket = push(list, "5011 18 6");
    ASSERT_TRUE(
        waitUntil([&] { return list.durability()->durable() >= ticket; }, std::chrono::seconds(5)));

    // What is on disk while it runs carries the numbering on, so a restart after a crash
    // continues it.
    test::TempDir copy;
    // The queue was empty at the start: there is no queue file yet, only the journal.
    EXPECT_FALSE(fs::exists(dir / "Bank.out"));
    fs::copy_file(dir / "Bank.jnl", copy / "Bank.jnl");
    std::string err;
    const StoredFiles running = readCapturing(copy / "Bank.out", err);
    EXPECT_EQ(running.queue.frontSeq, 2u);
    EXPECT_EQ(linesOf(running), (Lines{"5011 18 3", "5011 18 4", "5011 18 5", "5011 18 6"}));
    EXPECT_EQ(bank.peekLine()->seq, 2u);
  }
  EXPECT_EQ(filesIn(dir.path()), std::set<std::string>{"Bank.out"});
  EXPECT_EQ(dir.read("Bank.out"), "5011 18 3\n5011 18 4\n5011 18 5\n5011 18 6\n");

  {
    tOList list(ini, false, dir.path());
    tOItem& bank = *list.find("Bank");
    EXPECT_EQ(linesOf(bank), (Lines{"5011 18 3", "5011 18 4", "5011 18 5", "5011 18 6"}));
    // A line delivered after the restart is the next one, and the one pushed goes last.
    const uint64_t seq = bank.peekLine()->seq;
    EXPECT_TRUE(bank.removeIfOldest(seq));
    EXPECT_FALSE(bank.removeIfOldest(seq));
    push(list, "5011 18 7");
    EXPECT_EQ(bank.peekLine()->seq, seq + 1);
  }
  EXPECT_EQ(dir.read("Bank.out"), "5011 18 4\n5011 18 5\n5011 18 6\n5011 18 7\n");

  {
    tOList list(ini, false, dir.path());
    tOItem& bank = *list.find("Bank");
    while (bank.peek()) bank.removeOldest();
  }
  EXPECT_TRUE(filesIn(dir.path()).empty()) << "an empty queue leaves files behind";
  { tOList list(ini, false, dir.path()); }
  EXPECT_TRUE(filesIn(dir.path()).empty());
}

TEST(QueueRestart, QueueFileFromAnotherProgramIsRead) {
  test::TempDir dir;
  // Written by hand in the form the server writes: taken as it is, not rewritten.
  const std::string exact = "5011 18 1\n5011 18 2\n";
  dir.write("Bank.out", exact);
  expectServerKeeps(dir.path(), {"5011 18 1", "5011 18 2"});
  EXPECT_EQ(dir.read("Bank.out"), exact);

  // CRLF endings, an empty line and no final newline.
  dir.write("Bank.out", "5011 18 1\r\n\r\n5011 18 2\r\n5011 18 3");
  std::string err;
  EXPECT_EQ(linesOf(readCapturing(dir / "Bank.out", err)),
            (Lines{"5011 18 1", "5011 18 2", "5011 18 3"}));
  expectServerKeeps(dir.path(), {"5011 18 1", "5011 18 2", "5011 18 3"});
}

// ---- damaged files ----------------------------------------------------------------------------

struct DamagedCase {
  const char* name;
  bool hasOut;
  Lines out;
  std::string jnl;
  Lines expected;
  std::vector<std::string> said;  // what stderr must mention
};

TEST(QueueDamage, EveryProvableLineIsKeptAndTheDamageReported) {
  const Lines ab = {"a", "b"};
  const std::string base = baseFor(0, ab);
  const std::vector<DamagedCase> cases = {
      {"torn last record",
       true,
       ab,
       padded(base + pushRecord(2, "c") + pushRecord(3, "d").substr(0, journal::kHeaderSize)),
       {"a", "b", "c"},
       {"cut short at its end"}},
      {"flipped byte in the middle",
       true,
       ab,
       padded(base + pushRecord(2, "c") + flipped(pushRecord(3, "d"), 9) + pushRecord(4, "e") +
              frontRecord(1)),
       {"b", "c", "e"},
       {"hold no valid record", "1 records past the next line number"}},
      {"numbers never queued",
       true,
       ab,
       base + pushRecord(2, "c") + pushRecord(2, "c again") + pushRecord(1, "b again") +
           pushRecord(6, "g") + frontRecord(1),
       {"b", "c", "g"},
       {"2 records for lines queued already", "1 records past the next line number"}},
      {"journal without its queue file",
       false,
       {},
       baseFor(10, {"x", "y"}) + pushRecord(12, "z") + frontRecord(11) + pushRecord(13, "w") +
           frontRecord(13),
       {"w"},
       {"does not continue the queue file"}},
      {"queue file edited by hand",
       true,
       {"a", "b", "by hand"},
       base + pushRecord(2, "c") + frontRecord(1) + pushRecord(3, "d"),
       {"a", "b", "by hand", "c", "d"},
       {"does not continue the queue file"}},
      {"first record damaged",
       true,
       ab,
       flipped(base, journal::kHeaderSize + 3) + pushRecord(2, "c") + pushRecord(3, "d"),
       {"a", "b", "c", "d"},
       {"hold no valid record", "does not continue the queue file"}},
      {"journal of an empty queue",
       false,
       {},
       padded(baseFor(5, {}) + pushRecord(5, "e") + pushRecord(6, "f") + frontRecord(6)),
       {"f"},
       {}},
  };
  for (const DamagedCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    if (c.hasOut) dir.write("Bank.out", textOf(c.out));
    dir.write("Bank.jnl", c.jnl);
    std::string err;
    const StoredFiles read = readCapturing(dir / "Bank.out", err);
    EXPECT_EQ(linesOf(read), c.expected) << err;
    EXPECT_FALSE(read.exact);
    if (c.said.empty()) {
      // The zeros the journal runs on in are no damage.
      EXPECT_EQ(err.find("skipped"), std::string::npos) << err;
      EXPECT_EQ(err.find("cut short"), std::string::npos) << err;
    }
    for (const std::string& s : c.said)
      EXPECT_NE(err.find(s), std::string::npos) << s << "\n" << err;
    expectServerKeeps(dir.path(), c.expected);
  }
}

long peakRssKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST(QueueDamage, HugeHoleInTheJournalIsPassedOverInLittleMemory) {
  test::TempDir dir;
  dir.write("Bank.out", "a\n");
  const std::string head = baseFor(0, {"a"}) + pushRecord(1, "b");
  const std::string tail = pushRecord(2, "c") + pushRecord(3, "d");
  {
    UniqueFd fd(::open((dir / "Bank.jnl").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd) << std::strerror(errno);
    constexpr off_t kHole = 256ll << 20;
    ASSERT_EQ(::pwrite(fd.get(), head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(::pwrite(fd.get(), tail.data(), tail.size(), kHole),
              static_cast<ssize_t>(tail.size()));
  }
  // The peak is measured from here where the kernel lets it be reset.
  { std::ofstream("/proc/self/clear_refs") << "5"; }
  const long before = peakRssKiB();
  std::string err;
  const auto started = std::chrono::steady_clock::now();
  const StoredFiles read = readCapturing(dir / "Bank.out", err);
  const auto took = std::chrono::steady_clock::now() - started;
  const long grew = peakRssKiB() - before;

  EXPECT_EQ(linesOf(read), (Lines{"a", "b", "c", "d"})) << err;
  EXPECT_NE(err.find("hold no valid record"), std::string::npos) << err;
  EXPECT_LT(grew, 64 * 1024) << "KiB more at the peak while reading";
  std::printf(
      "256 MiB hole read in %lld ms, peak grew by %ld KiB\n",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
      grew);
  expectServerKeeps(dir.path(), {"a", "b", "c", "d"});
}

// A compaction writes "<Id>.out.tmp", then "<Id>.jnl.new" starting with the Base of the new file
// (and, when the journal went on meanwhile, what the old journal got after the snapshot),
// renames the file into place, then the journal. Every state a crash can leave between these
// steps must give the queue back exactly.
TEST(QueueDamage, CrashDuringCompaction) {
  const Lines before = {"a", "b"};
  const std::string oldJournal =
      baseFor(0, before) + pushRecord(2, "c") + frontRecord(1) + pushRecord(3, "d");
  const Lines after = {"b", "c", "d"};  // numbered from 1
  struct State {
    const char* name;
    std::string out, outTmp, jnlNew;
    Lines expected;
    std::string moreInOldJournal = {};
  };
  const std::vector<State> states = {
      {"new file half written", textOf(before), "b\nc", "", after},
      {"new file written, its journal not yet", textOf(before), textOf(after), "", after},
      // While the new file is written the old journal goes on, and the new journal starts
      // with what it got after the snapshot.
      {"new journal written, neither renamed", textOf(before), textOf(after),
       padded(baseFor(1, after) + pushRecord(4, "e")), Lines{"b", "c", "d", "e"},
       pushRecord(4, "e")},
      {"snapshot held a change the old journal never got", textOf(before),
       textOf({"b", "c", "d", "e"}), baseFor(1, {"b", "c", "d", "e"}), after},
      {"new journal cut short", textOf(before), textOf(after), baseFor(1, after).substr(0, 30),
       after},
      {"file renamed, journal not yet",
       textOf(after),
       "",
       baseFor(1, after) + pushRecord(4, "e"),
       {"b", "c", "d", "e"}},
  };
  for (const State& s : states) {
    SCOPED_TRACE(s.name);
    test::TempDir dir;
    dir.write("Bank.out", s.out);
    dir.write("Bank.jnl", oldJournal + s.moreInOldJournal);
    if (!s.outTmp.empty()) dir.write("Bank.out.tmp", s.outTmp);
    if (!s.jnlNew.empty()) dir.write("Bank.jnl.new", s.jnlNew);
    std::string err;
    const StoredFiles read = readCapturing(dir / "Bank.out", err);
    EXPECT_EQ(linesOf(read), s.expected) << err;
    EXPECT_EQ(read.queue.frontSeq, 1u);
    EXPECT_EQ(err.find("skipped"), std::string::npos) << err;
    expectServerKeeps(dir.path(), s.expected);
  }

  // The queue emptied: the file is removed after the new journal is written.
  for (bool outRemoved : {false, true}) {
    SCOPED_TRACE(outRemoved ? "empty queue, file removed" : "empty queue, file not yet removed");
    test::TempDir dir;
    if (!outRemoved) dir.write("Bank.out", "a\n");
    dir.write("Bank.jnl", baseFor(0, {"a"}) + frontRecord(1));
    dir.write("Bank.jnl.new", baseFor(1, {}));
    std::string err;
    const StoredFiles read = readCapturing(dir / "Bank.out", err);
    EXPECT_TRUE(read.queue.lines.empty()) << err;
    EXPECT_EQ(read.queue.frontSeq, 1u);
    expectServerKeeps(dir.path(), {});
  }
}

// ---- storage that cannot be written -----------------------------------------------------------

constexpr const char* kStopped = "events are not acknowledged until they can be stored";
constexpr const char* kResumed = "queue files are written again";

// As root no permission stops a write; a directory where the store must create a file does.
TEST(QueueStorage, BlockedFileIsReportedOnceAndWrittenOnceFreed) {
  for (const char* obstacle : {"Bank.jnl.new", "Bank.out.tmp"}) {
    SCOPED_TRACE(std::string("directory ") + obstacle);
    test::TempDir dir;
    dir.write("Bank.out", "5011 18 0\r\n");  // not as the server writes it: rewritten at start
    fs::create_directory(dir / obstacle);
    CapturedStderr captured;
    {
      tOList list(IniFile::fromText(kBankIni), false, dir.path());
      Durability& durability = *list.durability();
      EXPECT_FALSE(durability.failure().empty());
      uint64_t ticket = 0;
      for (int i = 1; i <= 5; ++i) ticket = push(list, "5011 18 " + std::to_string(i));
      EXPECT_LT(durability.durable(), ticket);

      fs::remove(dir / obstacle);
      EXPECT_TRUE(
          waitUntil([&] { return durability.durable() >= ticket; }, std::chrono::seconds(5)))
          << "nothing stored after the obstacle went";
      EXPECT_TRUE(durability.failure().empty()) << durability.failure();
    }
    const std::string err = captured.take();
    EXPECT_EQ(occurrences(err, kStopped), 1u) << err;
    EXPECT_EQ(occurrences(err, kResumed), 1u) << err;
    EXPECT_EQ(filesIn(dir.path()), std::set<std::string>{"Bank.out"});
    EXPECT_EQ(dir.read("Bank.out"),
              "5011 18 0\n5011 18 1\n5011 18 2\n5011 18 3\n5011 18 4\n5011 18 5\n");
  }
}

// A full disk in the middle of a run: the journal cannot grow, and no compaction can be written
// until space is freed. Needs a small file system of its own (root with mount rights).
TEST(QueueStorage, FullDiskStopsAcknowledgementsUntilSpaceIsFreed) {
  test::TempDir dir;
  const fs::path mnt = dir / "small";
  fs::create_directory(mnt);
  if (::mount("tmpfs", mnt.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=32m") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    fs::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{mnt};

  Lines pushed;
  CapturedStderr captured;
  {
    tOList list(IniFile::fromText(kBankIni), false, mnt);
    Durability& durability = *list.durability();
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    durability.addWaker(wake.get());
    auto pushOne = [&] {
      pushed.push_back("5011 18 " + std::to_string(pushed.size()) + " " + std::string(1000, '.'));
      return push(list, pushed.back());
    };
    const uint64_t first = pushOne();
    ASSERT_TRUE(waitUntil([&] { return durability.durable() >= first; }, std::chrono::seconds(5)));
    ASSERT_TRUE(durability.failure().empty()) << durability.failure();

    // Every free block taken: the journal runs until the space it holds ahead is used up.
    {
      std::ofstream filler(mnt / "filler", std::ios::binary);
      const std::string block(4096, 'f');
      while (filler.write(block.data(), block.size()) && filler.flush()) {
      }
    }
    uint64_t ticket = 0;
    for (int i = 0; i < 200 && durability.failure().empty(); ++i) {
      for (int k = 0; k < 100; ++k) ticket = pushOne();
      waitUntil([&] { return durability.durable() >= ticket || !durability.failure().empty(); },
                std::chrono::seconds(5));
    }
    ASSERT_FALSE(durability.failure().empty()) << "the journal never ran out of space";
    EXPECT_LT(durability.durable(), ticket);
    const uint64_t stuck = durability.durable();

    // The writer tries again every second: over more than one retry nothing becomes durable.
    ticket = pushOne();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < until) {
      pollfd p{wake.get(), POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) {
        uint64_t count;
        (void)!::read(wake.get(), &count, sizeof count);
      }
      ASSERT_EQ(durability.durable(), stuck) << "stored while the disk was full";
    }

    fs::remove(mnt / "filler");
    EXPECT_TRUE(waitUntil([&] { return durability.durable() >= ticket; }, std::chrono::seconds(5)))
        << "nothing stored after space was freed: " << durability.failure();
    EXPECT_TRUE(durability.failure().empty());
  }
  const std::string err = captured.take();
  EXPECT_EQ(occurrences(err, kStopped), 1u) << err;
  EXPECT_EQ(occurrences(err, kResumed), 1u) << err;
  EXPECT_EQ(filesIn(mnt), std::set<std::string>{"Bank.out"});
  EXPECT_EQ(test::readFile(mnt / "Bank.out"), textOf(pushed));
}

}  // namespace
}  // namespace orv
