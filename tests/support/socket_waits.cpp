#include "tests/support/socket_waits.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "common/socket_error.h"
#include "tests/support/elapsed.h"

namespace orv::test {

bool closedWithin(LineSocket& socket, int timeoutMs, std::vector<std::string>* seen) {
  const Clock::time_point start = Clock::now();
  std::string line;
  for (;;) {
    const int left = timeoutMs - static_cast<int>(msSince(start));
    if (left <= 0) return false;
    const int rc = socket.receiveLine(line, LineEnd::CrLf, left);
    if (rc == 0 && seen) seen->push_back(line);
    if (rc != 0 && rc != kWsaTimedOut) return true;
  }
}

testing::AssertionResult quietFor(LineSocket& socket, int ms) {
  std::string line;
  const int rc = socket.receiveLine(line, LineEnd::CrLf, ms);
  if (rc == kWsaTimedOut) return testing::AssertionSuccess();
  if (rc == 0) return testing::AssertionFailure() << "got '" << line << "'";
  return testing::AssertionFailure() << describeSocketError(rc);
}

UniqueFd connectFrom(const char* source, uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in from{};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    return UniqueFd();
  }
  return fd;
}

std::optional<std::string> receivedUntilClosed(int fd, int timeoutMs) {
  std::string got;
  const Clock::time_point start = Clock::now();
  for (;;) {
    const int left = timeoutMs - static_cast<int>(msSince(start));
    if (left <= 0) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) continue;
    char buf[256];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return got;
    got.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace orv::test
