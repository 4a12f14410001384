#include "common/line_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "common/diag.h"
#include "common/service_notify.h"
#include "common/ticks.h"

namespace orv {
namespace {

// Waits for `events` on fd; returns >0 ready, 0 time-out, <0 error (errno set). A readable
// cancel descriptor ends the wait as an error with errno EINTR.
int pollFor(int fd, short events, int timeoutMs, int cancelFd = -1) {
  pollfd p[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
  const nfds_t count = cancelFd >= 0 ? 2 : 1;
  uint32_t start = ticks();
  for (;;) {
    int left = timeoutMs < 0 ? -1 : timeoutMs - static_cast<int>(ticksSince(start));
    if (timeoutMs >= 0 && left < 0) left = 0;
    int r = ::poll(p, count, left);
    if (r > 0 && count == 2 && (p[1].revents & POLLIN)) {
      errno = EINTR;
      return -1;
    }
    if (r >= 0 || errno != EINTR) return r;
  }
}

std::string_view terminator(LineEnd end) {
  switch (end) {
    case LineEnd::Cr:
      return "\r";
    case LineEnd::CrLf:
      return "\r\n";
    case LineEnd::Dc4:
      return std::string_view("\x14", 1);
  }
  return "\r\n";
}

void setPeer(const sockaddr_in& addr, std::string& address, uint16_t& port) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  address = text;
  port = ntohs(addr.sin_port);
}

}  // namespace

int LineSocket::fail(int code) {
  lastError_ = code;
  return code;
}

int LineSocket::listen(uint16_t port, std::string_view what) {
  close();
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  int err = 0;
  if (!fd) {
    err = socketErrorFromErrno(errno);
  } else {
    int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), SOMAXCONN) != 0) {
      err = socketErrorFromErrno(errno);
    }
  }
  if (err != 0) {
    const std::string text = std::string(what) + ": cannot listen on port " + std::to_string(port) +
                             ": " + describeSocketError(err);
    diag(text);
    recordListenFailure(text);
    return fail(err);
  }
  fd_ = std::move(fd);
  return fail(0);
}

bool LineSocket::waitForConnection(int timeoutMs) {
  return fd_.valid() && pollFor(fd_.get(), POLLIN, timeoutMs, cancelFd_) > 0;
}

int LineSocket::accept(LineSocket& connection) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  int fd =
      ::accept4(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return fail(socketErrorFromErrno(errno));
  connection.close();
  connection.fd_.reset(fd);
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setPeer(addr, connection.peerAddress_, connection.peerPort_);
  return fail(0);
}

int LineSocket::connect(std::string_view host, uint16_t port, int timeoutMs) {
  close();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string hostText(host);
  if (::getaddrinfo(hostText.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return fail(kWsaHostNotFound);
  }
  sockaddr_in addr = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
  ::freeaddrinfo(found);
  addr.sin_port = htons(port);

  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return fail(socketErrorFromErrno(errno));
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) return fail(socketErrorFromErrno(errno));
    int r = pollFor(fd.get(), POLLOUT, timeoutMs, cancelFd_);
    if (r == 0) return fail(kWsaTimedOut);
    if (r < 0) return fail(socketErrorFromErrno(errno));
    int soError = 0;
    socklen_t len = sizeof soError;
    ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &len);
    if (soError != 0) return fail(socketErrorFromErrno(soError));
  }
  int on = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  fd_ = std::move(fd);
  setPeer(addr, peerAddress_, peerPort_);
  return fail(0);
}

int LineSocket::send(std::string_view data, int timeoutMs) {
  if (!fd_) return fail(kWsaNotConnected);
  uint32_t start = ticks();
  while (!data.empty()) {
    ssize_t n = ::send(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return fail(socketErrorFromErrno(errno));
    int left = timeoutMs - static_cast<int>(ticksSince(start));
    if (left <= 0) return fail(kWsaTimedOut);
    int r = pollFor(fd_.get(), POLLOUT, left, cancelFd_);
    if (r == 0) return fail(kWsaTimedOut);
    if (r < 0) return fail(socketErrorFromErrno(errno));
  }
  return fail(0);
}

void LineSocket::compact() {
  if (head_ == buffer_.size()) {
    buffer_.clear();
    head_ = 0;
  } else if (head_ > 4096 && head_ * 2 > buffer_.size()) {
    buffer_.erase(0, head_);
    head_ = 0;
  }
}

int LineSocket::fill(size_t room, int timeoutMs) {
  if (!fd_) return fail(kWsaNotConnected);
  int r = pollFor(fd_.get(), POLLIN, timeoutMs, cancelFd_);
  if (r == 0) return fail(kWsaTimedOut);
  if (r < 0) return fail(socketErrorFromErrno(errno));
  compact();
  size_t old = buffer_.size();
  room = std::min<size_t>(room, 16384);
  buffer_.resize(old + room);
  ssize_t n = ::recv(fd_.get(), buffer_.data() + old, room, MSG_DONTWAIT);
  int err = errno;
  buffer_.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
  if (n > 0) return fail(0);
  if (n == 0) return fail(kWsaConnReset);  // orderly close by the peer
  if (err == EAGAIN || err == EINTR) return fail(0);
  return fail(socketErrorFromErrno(err));
}

int LineSocket::receiveLine(std::string& line, LineEnd end, int timeoutMs) {
  line.clear();
  const std::string_view term = terminator(end);
  const size_t capacity = kMaxLine + term.size();
  if (end != scannedFor_) {
    // Bytes searched for another terminator may hold this one.
    scanned_ = 0;
    scannedFor_ = end;
  }
  uint32_t start = ticks();
  for (;;) {
    std::string_view unread(buffer_.data() + head_, buffer_.size() - head_);
    // Resume the search where the last call stopped, less the terminator's length, so that a
    // terminator split across two reads is found and a slow peer costs no repeated scans.
    size_t from = scanned_ >= term.size() ? scanned_ - (term.size() - 1) : 0;
    size_t pos = unread.find(term, from);
    if (pos != std::string_view::npos) {
      line.assign(unread.substr(0, pos));
      head_ += pos + term.size();
      scanned_ = 0;
      compact();
      return fail(0);
    }
    scanned_ = unread.size();
    if (unread.size() >= capacity) {
      diagf("connection from %s:%u: more than %zu bytes without a line end; closed",
            peerAddress_.c_str(), peerPort_, kMaxLine);
      close();
      return fail(kErrLineTooLong);
    }
    int left = timeoutMs - static_cast<int>(ticksSince(start));
    if (left < 0) left = 0;
    int err = fill(capacity - unread.size(), left);
    if (err != 0) return err;
    if (ticksSince(start) > static_cast<uint32_t>(timeoutMs) && bufferedBytes() == unread.size()) {
      return fail(kWsaTimedOut);
    }
  }
}

int LineSocket::receiveByte(char& byte, int timeoutMs) {
  if (bufferedBytes() == 0) {
    int err = fill(1, timeoutMs);
    if (err != 0) return err;
    if (bufferedBytes() == 0) return fail(kWsaTimedOut);
  }
  byte = buffer_[head_++];
  if (scanned_ > 0) --scanned_;
  compact();
  return fail(0);
}

void LineSocket::shutdown() {
  if (fd_) ::shutdown(fd_.get(), SHUT_RDWR);
}

void LineSocket::close() {
  fd_.reset();
  buffer_.clear();
  head_ = 0;
  scanned_ = 0;
}

uint16_t LineSocket::localPort() const {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (!fd_ || ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

}  // namespace orv
