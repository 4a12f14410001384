#include "common/ten_day_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/ticks.h"
#include "common/unique_fd.h"

namespace orv {

std::string tenDayFileName(int year, int month, int day) {
  char buf[48];
  // Months 1-9 get their leading zero from the format, as the channels always named them.
  if (month < 10) {
    std::snprintf(buf, sizeof buf, "%d0%d_%d.log", year, month, tenDayPeriod(day));
  } else {
    std::snprintf(buf, sizeof buf, "%d%d_%d.log", year, month, tenDayPeriod(day));
  }
  return buf;
}

namespace {

UniqueFd openForAppend(const std::filesystem::path& file) {
  return UniqueFd(::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
}

// One write with O_APPEND: a reader or another process never sees half an entry.
bool writeEntry(int fd, std::string_view out) {
  const char* p = out.data();
  size_t left = out.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool appendLogEntry(const std::filesystem::path& file, std::string_view text) {
  UniqueFd fd = openForAppend(file);
  if (!fd) return false;
  std::string out;
  out.reserve(text.size() + 2);
  out.append(text);
  out.append("\r\n");
  return writeEntry(fd.get(), out);
}

std::filesystem::path TenDayLog::currentFile() const {
  LocalDateTime now = WallClock::localNow();
  return dir_ / tenDayFileName(now.year, now.month, now.day);
}

bool TenDayLog::append(std::string_view entry) {
  const LocalDateTime now = WallClock::localNow();
  const int period = (now.year * 100 + now.month) * 10 + tenDayPeriod(now.day);
  std::lock_guard lock(mutex_);
  if (period != period_ || ticksSince(openedAt_) >= kReopenMs) {
    writePending();  // into the file they were taken for
    file_ = openForAppend(dir_ / tenDayFileName(now.year, now.month, now.day));
    period_ = period;
    openedAt_ = ticks();
  }
  if (!file_) return false;
  pending_.append(entry);
  pending_.append("\r\n");
  if (held_ && pending_.size() < kMaxHeld) return true;
  return writePending();
}

bool TenDayLog::writePending() {
  if (pending_.empty()) return true;
  const bool written = file_ && writeEntry(file_.get(), pending_);
  pending_.clear();
  if (!written) {
    file_.reset();  // tried again with the next entry
    period_ = -1;
  }
  return written;
}

void TenDayLog::setHeld(bool held) {
  std::lock_guard lock(mutex_);
  held_ = held;
  if (!held) writePending();
}

void TenDayLog::flush() {
  std::lock_guard lock(mutex_);
  writePending();
}

}  // namespace orv
