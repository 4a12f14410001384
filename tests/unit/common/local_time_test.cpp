#include "common/local_time.h"

#include <gtest/gtest.h>

#include <clocale>
#include <ctime>
#include <string>

namespace orv {
namespace {

LocalDateTime at(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return LocalDateTime{y, mo, d, h, mi, s, ms};
}

std::string show(const LocalDateTime& t) {
  return formatLogTimeStamp(t) + "." + std::to_string(t.millisecond);
}

struct DayCase {
  LocalDateTime time;
  double days;
  const char* text;
};

class DayNumber : public testing::TestWithParam<DayCase> {};

// Negative day numbers are plain arithmetic (whole days before the epoch plus the time of day
// as a positive fraction), so 1899-12-29 12:00 is -1 + 0.5 = -0.5, not the -1.5 of the older
// "sign applies to the date only" convention.
TEST_P(DayNumber, ConvertsBothWays) {
  const DayCase& c = GetParam();
  EXPECT_EQ(toDayNumber(c.time), c.days);
  EXPECT_EQ(formatDayNumber(c.days), c.text);
  EXPECT_EQ(parseDayNumber(c.text), c.days);
  EXPECT_EQ(show(fromDayNumber(c.days)), show(c.time));
}

INSTANTIATE_TEST_SUITE_P(Dates, DayNumber,
                         testing::Values(DayCase{at(2025, 12, 10, 12), 46001.5, "46001.5"},
                                         DayCase{at(1899, 12, 30), 0, "0"},
                                         DayCase{at(1899, 12, 31, 6), 1.25, "1.25"},
                                         DayCase{at(1899, 12, 29, 12), -0.5, "-0.5"},
                                         DayCase{at(1899, 12, 28, 18), -1.25, "-1.25"},
                                         // 1900 has no 29 February.
                                         DayCase{at(1900, 3, 1), 61, "61"},
                                         DayCase{at(2009, 3, 10), 39882, "39882"},
                                         DayCase{at(2000, 2, 29, 18), 36585.75, "36585.75"},
                                         DayCase{at(1, 1, 1), -693593, "-693593"}));

TEST(DayNumberRoundTrip, KeepsEverySecondThroughTheTextForm) {
  const LocalDateTime times[] = {at(2025, 12, 10, 23, 59, 59),
                                 at(2025, 12, 10, 0, 0, 1),
                                 at(2024, 2, 29, 23, 59, 59),
                                 at(2025, 12, 10, 12, 0, 0, 1),
                                 at(2025, 12, 10, 23, 59, 59, 999),
                                 at(1899, 12, 29, 23, 59, 59),
                                 at(1850, 6, 15, 0, 0, 1),
                                 at(9999, 12, 31, 23, 59, 59),
                                 at(1, 1, 1, 0, 0, 1)};
  for (const LocalDateTime& t : times) {
    std::optional<double> parsed = parseDayNumber(formatDayNumber(toDayNumber(t)));
    ASSERT_TRUE(parsed.has_value()) << show(t);
    EXPECT_EQ(show(fromDayNumber(*parsed)), show(t));
  }
}

TEST(DayNumberText, DoesNotDependOnTheLocale) {
  const char* commaLocales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8",
                                "de_DE",       "fr_FR",      "ru_RU.UTF-8", "nl_NL.UTF-8"};
  const char* chosen = nullptr;
  for (const char* name : commaLocales) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr) {
      chosen = name;
      break;
    }
  }
  if (chosen == nullptr) GTEST_SKIP() << "no locale with a decimal comma is installed";
  const bool comma = std::localeconv()->decimal_point[0] == ',';
  const std::string text = formatDayNumber(46001.5);
  const std::optional<double> parsed = parseDayNumber("46001.5");
  const std::optional<double> withComma = parseDayNumber("46001,5");
  std::setlocale(LC_NUMERIC, "C");
  ASSERT_TRUE(comma) << chosen;
  EXPECT_EQ(text, "46001.5");
  EXPECT_EQ(parsed, 46001.5);
  EXPECT_EQ(withComma, std::nullopt);
}

class DayNumberRejects : public testing::TestWithParam<const char*> {};

TEST_P(DayNumberRejects, Text) {
  EXPECT_EQ(parseDayNumber(GetParam()), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(NotDayNumbers, DayNumberRejects,
                         testing::Values("", "abc", "1,5", "46001.5x", "inf", "nan", "-inf", "+-5",
                                         "++5", " 46001.5", "46001.5 ", "0x10", "1e308",
                                         // before year 1, after year 9999
                                         "-693594", "2958466"));

TEST(DayNumberText, AcceptsSignAndExponent) {
  EXPECT_EQ(parseDayNumber("+46001.5"), 46001.5);
  EXPECT_EQ(parseDayNumber("4.60015e4"), 46001.5);
  EXPECT_EQ(parseDayNumber("-0.5"), -0.5);
  EXPECT_EQ(parseDayNumber("2958465.99"), 2958465.99);
}

struct ValidCase {
  LocalDateTime time;
  bool valid;
};

class ValidDateTime : public testing::TestWithParam<ValidCase> {};

TEST_P(ValidDateTime, Calendar) {
  EXPECT_EQ(isValidDateTime(GetParam().time), GetParam().valid) << show(GetParam().time);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, ValidDateTime,
    testing::Values(ValidCase{at(2024, 2, 29), true}, ValidCase{at(2023, 2, 29), false},
                    ValidCase{at(2000, 2, 29), true}, ValidCase{at(1900, 2, 29), false},
                    ValidCase{at(2025, 4, 30), true}, ValidCase{at(2025, 4, 31), false},
                    ValidCase{at(2025, 12, 31, 23, 59, 59, 999), true},
                    ValidCase{at(2025, 0, 1), false}, ValidCase{at(2025, 13, 1), false},
                    ValidCase{at(2025, 1, 0), false}, ValidCase{at(2025, 1, 1, 24), false},
                    ValidCase{at(2025, 1, 1, 0, 60), false},
                    ValidCase{at(2025, 1, 1, 0, 0, 60), false},
                    ValidCase{at(2025, 1, 1, 0, 0, 0, 1000), false},
                    ValidCase{at(2025, 1, 1, -1), false}, ValidCase{at(0, 1, 1), false},
                    ValidCase{at(10000, 1, 1), false}));

TEST(LogTimeStamp, IsZeroPaddedDateAndTime) {
  EXPECT_EQ(formatLogTimeStamp(at(2009, 3, 5, 7, 8, 9, 999)), "2009-03-05 07:08:09");
  EXPECT_EQ(formatLogTimeStamp(at(2025, 12, 31, 23, 59, 59)), "2025-12-31 23:59:59");
}

class PinnedClock : public testing::Test {
 protected:
  void TearDown() override { WallClock::pinForTest(std::nullopt); }
};

TEST_F(PinnedClock, DrivesTimeStampsAndDayNumbers) {
  std::tm parts{};
  parts.tm_year = 2025 - 1900;
  parts.tm_mon = 11;
  parts.tm_mday = 10;
  parts.tm_hour = 12;
  parts.tm_isdst = -1;
  auto noon = std::chrono::system_clock::from_time_t(std::mktime(&parts));
  WallClock::pinForTest(noon + std::chrono::milliseconds(250));
  EXPECT_EQ(logTimeStamp(), "2025-12-10 12:00:00");
  EXPECT_EQ(WallClock::localNow().millisecond, 250);
  EXPECT_DOUBLE_EQ(dayNumberNow(), 46001.5 + 0.25 / 86400);
}

TEST(ToLocal, InstantsBefore1970RoundDownToTheirSecond) {
  // One millisecond before the epoch belongs to the last second of 1969 (local time), not to
  // the first one of 1970.
  LocalDateTime t = toLocal(std::chrono::system_clock::time_point(std::chrono::milliseconds(-1)));
  time_t secs = -1;
  std::tm parts{};
  ASSERT_NE(localtime_r(&secs, &parts), nullptr);
  EXPECT_EQ(t.millisecond, 999);
  EXPECT_EQ(t.second, parts.tm_sec);
  EXPECT_EQ(t.minute, parts.tm_min);
  EXPECT_EQ(t.year, parts.tm_year + 1900);
}

}  // namespace
}  // namespace orv
