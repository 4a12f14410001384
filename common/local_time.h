#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orv {

// A calendar date and time of day in local time, as the logs, file names and time-sync lines use
// it. Months and days count from 1.
struct LocalDateTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;

  friend bool operator==(const LocalDateTime&, const LocalDateTime&) = default;
};

// The wall clock of the process. Tests pin it to a fixed instant so that period boundaries
// (ten-day files, day numbers) can be checked without waiting for them.
class WallClock {
 public:
  using TimePoint = std::chrono::system_clock::time_point;

  static TimePoint now();
  static LocalDateTime localNow();

  // Pins the clock to `instant`; std::nullopt returns to the system clock. For tests.
  static void pinForTest(std::optional<TimePoint> instant);
};

LocalDateTime toLocal(WallClock::TimePoint instant);

// Whether the fields form a real calendar date and a time of day.
bool isValidDateTime(const LocalDateTime& t);

// "YYYY-MM-DD HH:MM:SS", the time stamp of every log entry.
std::string formatLogTimeStamp(const LocalDateTime& t);
std::string logTimeStamp();

// Day numbers: days since 1899-12-30 00:00 in local time, with the time of day as the fraction.
// Printed like "%.15g" with "." as the decimal separator whatever the locale.
double toDayNumber(const LocalDateTime& t);
LocalDateTime fromDayNumber(double days);
std::string formatDayNumber(double days);
// Parses a day number as formatDayNumber writes it ("." separator, optional sign, optional
// exponent); anything else, or a value outside years 1..9999, gives std::nullopt.
std::optional<double> parseDayNumber(std::string_view text);
double dayNumberNow();

}  // namespace orv
