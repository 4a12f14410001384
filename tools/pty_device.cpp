#include "tools/pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/diag.h"

namespace orv::tool {
namespace {

void makeRaw(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return;
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
}

}  // namespace

UniqueFd takeStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stops, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return UniqueFd(::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK));
}

bool openPtyDevice(const char* tool, UniqueFd& master, UniqueFd& slave) {
  int m = -1, s = -1;
  char name[256] = {};
  if (::openpty(&m, &s, name, nullptr, nullptr) != 0) {
    diagf("%s: cannot create a pseudo-terminal: %s", tool, std::strerror(errno));
    return false;
  }
  master.reset(m);
  slave.reset(s);
  ::fcntl(m, F_SETFD, FD_CLOEXEC);
  ::fcntl(s, F_SETFD, FD_CLOEXEC);
  ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
  makeRaw(s);
  makeRaw(m);
  std::printf("pty: %s\n", name);
  std::fflush(stdout);
  return true;
}

int awaitPtyDrained(int slave, int stopFd, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kSettle = std::chrono::milliseconds(100);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  Clock::time_point emptySince = Clock::now();
  int unread = 0;
  while (::ioctl(slave, FIONREAD, &unread) == 0 && Clock::now() < deadline) {
    if (unread > 0) emptySince = Clock::now();
    if (unread == 0 && Clock::now() - emptySince >= kSettle) return 0;
    pollfd p{stopFd, POLLIN, 0};
    if (::poll(&p, 1, 10) > 0) return unread;
  }
  return unread;
}

}  // namespace orv::tool
