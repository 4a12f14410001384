#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "common/local_time.h"
#include "common/unique_fd.h"

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
// the current period. The file stays open for at most kReopenMs, so a busy log costs one write
// per entry, while a directory created, removed or renamed by an operator takes effect within
// that time (a missing directory is looked for again after it, too). A log that is held
// collects its entries until flush(), for a loop that writes a round's entries at once. Safe to
// call from any thread; entries of one log never interleave.
class TenDayLog {
 public:
  static constexpr uint32_t kReopenMs = 1000;
  static constexpr size_t kMaxHeld = 64 * 1024;  // a held log writes when it holds this much

  explicit TenDayLog(std::filesystem::path dir) : dir_(std::move(dir)) {}
  ~TenDayLog() { flush(); }
  TenDayLog(const TenDayLog&) = delete;
  TenDayLog& operator=(const TenDayLog&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path currentFile() const;
  // Whether the entry was written (or, while held, taken): false when the log is switched off.
  bool append(std::string_view entry);

  void setHeld(bool held);
  // Writes the entries held so far.
  void flush();

 private:
  std::filesystem::path dir_;
  std::mutex mutex_;
  UniqueFd file_;
  int period_ = -1;  // year, month and period of file_ (or of the failed open), -1 for none
  uint32_t openedAt_ = 0;
  bool held_ = false;
  std::string pending_;  // entries with their CR LF, not yet written
  bool writePending();   // under mutex_
};

}  // namespace orv
