#include "tests/support/pty_peer.h"

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <utility>

#include "common/ticks.h"

namespace orv::test {

PtyPeer::PtyPeer() {
  int master = -1, slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
  master_.reset(master);
  slave_.reset(slave);
  path_ = name;
}

bool PtyPeer::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(master_.get(), bytes.data(), bytes.size());
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string PtyPeer::readUntil(std::string_view want, int timeoutMs) {
  for (uint32_t start = ticks();;) {
    const size_t at = buffer_.find(want);
    if (at != std::string::npos) {
      std::string got = buffer_.substr(0, at + want.size());
      buffer_.erase(0, at + want.size());
      return got;
    }
    const int left = timeoutMs - static_cast<int>(ticksSince(start));
    if (left <= 0) return std::exchange(buffer_, {});
    fill(left);
  }
}

std::string PtyPeer::frame(char terminator, int timeoutMs) {
  std::string got = readUntil(std::string_view(&terminator, 1), timeoutMs);
  if (got.empty() || got.back() != terminator) return "(none: " + got + ")";
  got.pop_back();
  return got;
}

bool PtyPeer::quiet(int ms) {
  for (uint32_t start = ticks(); ticksSince(start) < static_cast<uint32_t>(ms);)
    fill(ms - static_cast<int>(ticksSince(start)));
  return buffer_.empty();
}

void PtyPeer::unplug() {
  master_.reset();
  slave_.reset();
}

bool PtyPeer::fill(int ms) {
  pollfd p{master_.get(), POLLIN, 0};
  if (ms < 0 || ::poll(&p, 1, ms) <= 0) return false;
  char buf[4096];
  const ssize_t n = ::read(master_.get(), buf, sizeof buf);
  if (n <= 0) {
    // A hang-up reads as POLLHUP at once: wait out the time instead of spinning.
    ::poll(nullptr, 0, ms);
    return false;
  }
  buffer_.append(buf, static_cast<size_t>(n));
  return true;
}

}  // namespace orv::test
