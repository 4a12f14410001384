#include "tests/support/notify_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "common/ticks.h"

namespace orv::test {

NotifySocket::NotifySocket(std::filesystem::path path)
    : path_(std::move(path)), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path_.c_str(), sizeof a.sun_path - 1);
  ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
}

NotifySocket::~NotifySocket() {
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

std::string NotifySocket::receive(int waitMs) {
  pollfd p{fd_.get(), POLLIN, 0};
  if (::poll(&p, 1, waitMs) != 1) return "";
  char buf[4096];
  const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string NotifySocket::waitFor(const std::string& text, int waitMs) {
  const uint32_t start = ticks();
  for (;;) {
    const int left = waitMs - static_cast<int>(ticksSince(start));
    if (left <= 0) return "";
    std::string m = receive(left);
    if (m.find(text) != std::string::npos) return m;
  }
}

}  // namespace orv::test
