#include "common/ten_day_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace orv {
namespace {

// The instant at which the local wall clock shows the given date and time.
WallClock::TimePoint localInstant(int year, int month, int day, int hour, int minute = 0,
                                  int second = 0) {
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  parts.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&parts));
}

struct NameCase {
  int year, month, day;
  const char* name;
};

class TenDayFileName : public testing::TestWithParam<NameCase> {};

TEST_P(TenDayFileName, NamesThePeriodOfTheDay) {
  const NameCase& c = GetParam();
  EXPECT_EQ(tenDayFileName(c.year, c.month, c.day), c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, TenDayFileName,
    testing::Values(NameCase{2009, 3, 1, "200903_1.log"}, NameCase{2009, 9, 9, "200909_1.log"},
                    NameCase{2009, 3, 10, "200903_2.log"}, NameCase{2009, 3, 19, "200903_2.log"},
                    NameCase{2009, 3, 20, "200903_3.log"}, NameCase{2009, 3, 29, "200903_3.log"},
                    NameCase{2009, 3, 30, "200903_4.log"}, NameCase{2009, 10, 31, "200910_4.log"},
                    NameCase{2009, 10, 1, "200910_1.log"}, NameCase{2025, 12, 15, "202512_2.log"}));

class TenDayLogTest : public testing::Test {
 protected:
  void TearDown() override { WallClock::pinForTest(std::nullopt); }

  std::set<std::string> filesIn(const std::filesystem::path& p) const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(p)) {
      names.insert(e.path().filename().string());
    }
    return names;
  }

  test::TempDir dir;
};

TEST_F(TenDayLogTest, AppendsEntriesWithCrLfToTheFileOfThePinnedPeriod) {
  TenDayLog log(dir.path());
  WallClock::pinForTest(localInstant(2009, 3, 10, 0, 0, 1));
  EXPECT_EQ(log.currentFile(), dir / "200903_2.log");
  ASSERT_TRUE(log.append("first"));
  ASSERT_TRUE(log.append("second entry"));
  EXPECT_EQ(dir.read("200903_2.log"), "first\r\nsecond entry\r\n");

  // The last second of the previous period still goes to its own file.
  WallClock::pinForTest(localInstant(2009, 3, 9, 23, 59, 59));
  ASSERT_TRUE(log.append("late"));
  EXPECT_EQ(dir.read("200903_1.log"), "late\r\n");
  EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"200903_1.log", "200903_2.log"}));
}

TEST_F(TenDayLogTest, MissingDirectoryDropsTheEntrySilently) {
  WallClock::pinForTest(localInstant(2009, 10, 31, 12));
  TenDayLog log(dir / "switched_off");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(log.append("dropped"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(std::filesystem::exists(dir / "switched_off"));
}

TEST_F(TenDayLogTest, ADirectoryMadeOrRemovedWhileRunningCountsWithinTheReopenTime) {
  WallClock::pinForTest(localInstant(2009, 10, 31, 12));
  const std::filesystem::path logDir = dir / "later";
  TenDayLog log(logDir);
  EXPECT_FALSE(log.append("dropped"));
  std::filesystem::create_directory(logDir);
  std::this_thread::sleep_for(std::chrono::milliseconds(TenDayLog::kReopenMs + 50));
  ASSERT_TRUE(log.append("kept"));
  EXPECT_EQ(dir.read("later/200910_4.log"), "kept\r\n");

  // Removed: the open file takes the next entries no longer than the reopen time.
  std::filesystem::remove_all(logDir);
  std::this_thread::sleep_for(std::chrono::milliseconds(TenDayLog::kReopenMs + 50));
  EXPECT_FALSE(log.append("switched off"));
  EXPECT_FALSE(std::filesystem::exists(logDir));
}

TEST_F(TenDayLogTest, AHeldLogWritesOnFlushIntoTheFileOfEachEntrysPeriod) {
  TenDayLog log(dir.path());
  log.setHeld(true);
  WallClock::pinForTest(localInstant(2009, 3, 9, 23, 59, 59));
  ASSERT_TRUE(log.append("old period"));
  EXPECT_EQ(dir.read("200903_1.log"), "");
  WallClock::pinForTest(localInstant(2009, 3, 10, 0, 0, 0));
  ASSERT_TRUE(log.append("new period"));
  EXPECT_EQ(dir.read("200903_1.log"), "old period\r\n");  // written when the period changed
  ASSERT_TRUE(log.append("second"));
  EXPECT_EQ(dir.read("200903_2.log"), "");
  log.flush();
  EXPECT_EQ(dir.read("200903_2.log"), "new period\r\nsecond\r\n");

  // A full hold is written without waiting for the flush.
  const std::string entry(1000, 'e');
  for (size_t i = 0; i <= TenDayLog::kMaxHeld / entry.size(); ++i) ASSERT_TRUE(log.append(entry));
  EXPECT_GT(dir.read("200903_2.log").size(), TenDayLog::kMaxHeld);
}

std::string entryText(int thread, int i) {
  return "thread " + std::to_string(thread) + " entry " + std::to_string(i) + std::string(100, 'x');
}

TEST_F(TenDayLogTest, EntriesFromManyThreadsNeverInterleave) {
  WallClock::pinForTest(localInstant(2025, 12, 10, 12));
  TenDayLog log(dir.path());
  constexpr int kThreads = 4, kEach = 200;
  {
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&log, t] {
        for (int i = 0; i < kEach; ++i) {
          log.append(entryText(t, i));
        }
      });
    }
  }
  const std::string content = dir.read("202512_2.log");
  std::multiset<std::string> entries, expected;
  size_t start = 0;
  for (size_t end; (end = content.find("\r\n", start)) != std::string::npos; start = end + 2) {
    entries.insert(content.substr(start, end - start));
  }
  EXPECT_EQ(start, content.size()) << "text after the last CR LF";
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      expected.insert(entryText(t, i));
    }
  }
  EXPECT_TRUE(entries == expected) << entries.size() << " entries, some of them mixed";
}

}  // namespace
}  // namespace orv
