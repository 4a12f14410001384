#include "common/local_time.h"

#include <time.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace orv {
namespace {

std::atomic<bool> gPinned{false};
std::atomic<int64_t> gPinnedMicros{0};

// Days between 1970-01-01 and the given civil date (proleptic Gregorian calendar).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

const int64_t kEpochOffsetDays = daysFromCivil(1899, 12, 30);  // day 0 of the day numbers

int daysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2) {
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return leap ? 29 : 28;
  }
  return kDays[month - 1];
}

}  // namespace

WallClock::TimePoint WallClock::now() {
  if (gPinned.load(std::memory_order_acquire)) {
    return TimePoint(std::chrono::microseconds(gPinnedMicros.load(std::memory_order_relaxed)));
  }
  return std::chrono::system_clock::now();
}

LocalDateTime WallClock::localNow() {
  return toLocal(now());
}

void WallClock::pinForTest(std::optional<TimePoint> instant) {
  if (instant) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(instant->time_since_epoch());
    gPinnedMicros.store(us.count(), std::memory_order_relaxed);
    gPinned.store(true, std::memory_order_release);
  } else {
    gPinned.store(false, std::memory_order_release);
  }
}

LocalDateTime toLocal(WallClock::TimePoint instant) {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(instant.time_since_epoch()).count();
  time_t secs = static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  tm parts{};
  ::localtime_r(&secs, &parts);
  LocalDateTime t;
  t.year = parts.tm_year + 1900;
  t.month = parts.tm_mon + 1;
  t.day = parts.tm_mday;
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec;
  t.millisecond = static_cast<int>(ms - static_cast<int64_t>(secs) * 1000);
  return t;
}

bool isValidDateTime(const LocalDateTime& t) {
  if (t.year < 1 || t.year > 9999 || t.month < 1 || t.month > 12) return false;
  if (t.day < 1 || t.day > daysInMonth(t.year, t.month)) return false;
  return t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60 && t.second >= 0 &&
         t.second < 60 && t.millisecond >= 0 && t.millisecond < 1000;
}

std::string formatLogTimeStamp(const LocalDateTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return buf;
}

std::string logTimeStamp() {
  return formatLogTimeStamp(WallClock::localNow());
}

double toDayNumber(const LocalDateTime& t) {
  int64_t days =
      daysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) -
      kEpochOffsetDays;
  int64_t msOfDay = ((t.hour * 60LL + t.minute) * 60LL + t.second) * 1000LL + t.millisecond;
  return static_cast<double>(days) + static_cast<double>(msOfDay) / 86400000.0;
}

LocalDateTime fromDayNumber(double days) {
  // Round to the millisecond first so that 0.5 stays noon and never becomes 11:59:59.999.
  int64_t totalMs = std::llround(days * 86400000.0);
  int64_t whole = totalMs >= 0 ? totalMs / 86400000 : (totalMs - 86399999) / 86400000;
  int64_t msOfDay = totalMs - whole * 86400000;
  LocalDateTime t;
  civilFromDays(whole + kEpochOffsetDays, t.year, t.month, t.day);
  t.hour = static_cast<int>(msOfDay / 3600000);
  t.minute = static_cast<int>(msOfDay / 60000 % 60);
  t.second = static_cast<int>(msOfDay / 1000 % 60);
  t.millisecond = static_cast<int>(msOfDay % 1000);
  return t;
}

std::string formatDayNumber(double days) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, days, std::chars_format::general, 15);
  return std::string(buf, res.ptr);
}

std::optional<double> parseDayNumber(std::string_view text) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') return std::nullopt;
  }
  double value = 0;
  auto res = std::from_chars(first, last, value, std::chars_format::general);
  if (res.ec != std::errc() || res.ptr != last || !std::isfinite(value)) return std::nullopt;
  // Years 1 to 9999.
  const double lo = static_cast<double>(daysFromCivil(1, 1, 1) - kEpochOffsetDays);
  const double hi = static_cast<double>(daysFromCivil(10000, 1, 1) - kEpochOffsetDays);
  if (value < lo || value >= hi) return std::nullopt;
  return value;
}

double dayNumberNow() {
  return toDayNumber(WallClock::localNow());
}

}  // namespace orv
