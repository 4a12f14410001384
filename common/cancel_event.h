#pragma once

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/unique_fd.h"

namespace orv {

// A one-way "stop now" signal that a thread can wait on together with its sockets
// (LineSocket::setCancelFd). Once set it stays set. set() is safe from any thread.
class CancelEvent {
 public:
  CancelEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

  int fd() const { return fd_.get(); }
  void set() {
    uint64_t one = 1;
    ssize_t r = ::write(fd_.get(), &one, sizeof one);
    (void)r;  // a full counter is set already
  }
  bool isSet() const { return waitMs(0); }
  // Sleeps up to ms; true when the event was set (then at once).
  bool waitMs(int ms) const {
    pollfd p{fd_.get(), POLLIN, 0};
    for (;;) {
      int r = ::poll(&p, 1, ms);
      if (r >= 0 || errno != EINTR) return r > 0;
    }
  }

 private:
  UniqueFd fd_;
};

}  // namespace orv
