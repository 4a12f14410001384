#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "common/local_time.h"

namespace orv {

// Period of a day of the month: 1 for days 1-9, 2 for 10-19, 3 for 20-29, 4 for 30 and 31.
inline int tenDayPeriod(int day) {
  return (day + 10) / 10;
}

// File name of the ten-day period that holds the date: year, two-digit month, "_", period, ".log"
// ("200903_2.log" for 10-19 March 2009).
std::string tenDayFileName(int year, int month, int day);

// Appends one entry to `dir/<file>` opened and closed for that entry alone. When the directory
// is missing (or the file cannot be opened or created) the entry is dropped without a message:
// a channel's log is switched off by not having its directory. Returns whether it was written.
bool appendLogEntry(const std::filesystem::path& file, std::string_view text);

// The per-ten-day log of one channel. Each entry is written as text + "\r\n" into the file of
// the current period. Safe to call from any thread; entries of one log never interleave.
class TenDayLog {
 public:
  explicit TenDayLog(std::filesystem::path dir) : dir_(std::move(dir)) {}

  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path currentFile() const;
  bool append(std::string_view entry);

 private:
  std::filesystem::path dir_;
  std::mutex mutex_;
};

}  // namespace orv
