#include "tools/stop_and_wait.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace orv::tool {
namespace {

using Clock = std::chrono::steady_clock;

struct Slot {
  enum class State { Idle, Connecting, Answer, Silence, Done };
  State state = State::Idle;
  int fd = -1;
  long index = 0;     // the message being sent, or the next one while Idle
  int round = 0;      // which of the message's repeats
  int resent = 0;     // UDP: how often the message's bytes went again
  int lastError = 0;  // UDP: an error the socket reported while the answer was awaited
  Clock::time_point sentAt{};
  Clock::time_point deadline{};
  std::string bytes;  // the message as sent, for a resend
  std::string received;
};

class Driver {
 public:
  Driver(const DriveOptions& o, const Exchange& x) : o_(o), x_(x) {}

  DriveResult run() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = o_.udp ? SOCK_DGRAM : SOCK_STREAM;
    if (epoll_ < 0 ||
        ::getaddrinfo(o_.host.c_str(), std::to_string(o_.port).c_str(), &hints, &address_) != 0) {
      x_.problem("cannot resolve " + o_.host);
      r_.connectErrors = o_.messages;
      return r_;
    }
    slots_.resize(static_cast<size_t>(std::max(1, o_.connections)));
    for (size_t k = 0; k < slots_.size(); ++k) slots_[k].index = static_cast<long>(k);
    start_ = Clock::now();
    std::vector<epoll_event> events(slots_.size() + 1);
    for (;;) {
      const Clock::time_point now = Clock::now();
      Clock::time_point wake = now + std::chrono::milliseconds(100);
      bool busy = false;
      for (Slot& s : slots_) {
        step(s, now);
        if (s.state == Slot::State::Done) continue;
        busy = true;
        wake = std::min(wake, s.state == Slot::State::Idle ? due(s.index) : s.deadline);
      }
      if (!busy) break;
      // Waited for to the microsecond: paced messages go when due, not in millisecond bursts.
      const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::max(wake - Clock::now(), Clock::duration::zero()));
      const timespec timeout{static_cast<time_t>(wait.count() / 1000000000),
                             static_cast<long>(wait.count() % 1000000000)};
      const int n =
          ::epoll_pwait2(epoll_, events.data(), static_cast<int>(events.size()), &timeout, nullptr);
      for (int i = 0; i < n; ++i) ready(slots_[events[i].data.u64], events[i].events);
    }
    r_.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    ::freeaddrinfo(address_);
    ::close(epoll_);
    std::sort(r_.latencyUs.begin(), r_.latencyUs.end());
    return r_;
  }

 private:
  Clock::time_point due(long index) const {
    if (o_.rate <= 0) return start_;
    return start_ + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(index) / o_.rate));
  }

  size_t slotOf(const Slot& s) const { return static_cast<size_t>(&s - slots_.data()); }

  void watch(Slot& s, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = slotOf(s);
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, s.fd, &ev);
  }

  void closeSlot(Slot& s) {
    if (s.fd >= 0) ::close(s.fd);  // which also leaves epoll
    s.fd = -1;
    s.received.clear();
  }

  // The slot's message is over (answered, silent or failed): on to its next repeat or message.
  void advance(Slot& s, bool keepConnection) {
    if (!keepConnection || o_.perMessage) closeSlot(s);
    s.resent = 0;
    if (++s.round < o_.repeat) {
      s.state = Slot::State::Idle;  // due already: the repeat goes at once
      return;
    }
    s.round = 0;
    s.index += static_cast<long>(slots_.size());
    s.state = s.index < o_.messages ? Slot::State::Idle : Slot::State::Done;
    if (s.state == Slot::State::Done) closeSlot(s);
  }

  // Time-outs, and the next message of an idle slot when it is due.
  void step(Slot& s, Clock::time_point now) {
    if (s.state == Slot::State::Idle && s.index >= o_.messages) s.state = Slot::State::Done;
    switch (s.state) {
      case Slot::State::Idle:
        if (now >= due(s.index)) s.fd < 0 ? connect(s, now) : send(s);
        break;
      case Slot::State::Connecting:
        if (now >= s.deadline) {
          ++r_.connectErrors;
          x_.problem("cannot connect to " + o_.host + ":" + std::to_string(o_.port) +
                     ": timed out");
          advance(s, false);
        }
        break;
      case Slot::State::Answer:
        if (now >= s.deadline) {
          if (o_.udp && s.resent < o_.resends) {
            resend(s, now);
            break;
          }
          ++r_.none;
          x_.problem("no answer to message " + std::to_string(s.index) +
                     (s.lastError != 0 ? std::string(": ") + std::strerror(s.lastError) : ""));
          advance(s, false);  // a late answer would be taken for the next message's
        }
        break;
      case Slot::State::Silence:
        if (now >= s.deadline) {
          ++r_.silent;
          advance(s, true);
        }
        break;
      case Slot::State::Done:
        break;
    }
  }

  void connect(Slot& s, Clock::time_point now) {
    s.fd = ::socket(AF_INET, (o_.udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    if (s.fd >= 0 && !o_.udp) ::setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    epoll_event ev{};
    // Connected, a UDP socket takes datagrams from the receiver only.
    ev.events = o_.udp ? EPOLLIN : EPOLLOUT;
    ev.data.u64 = slotOf(s);
    const bool started =
        s.fd >= 0 &&
        (::connect(s.fd, address_->ai_addr, address_->ai_addrlen) == 0 || errno == EINPROGRESS) &&
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, s.fd, &ev) == 0;
    if (!started) {
      ++r_.connectErrors;
      x_.problem("cannot connect to " + o_.host + ":" + std::to_string(o_.port) + ": " +
                 std::strerror(errno));
      advance(s, false);
      return;
    }
    if (o_.udp) {
      send(s);
      return;
    }
    s.state = Slot::State::Connecting;
    s.deadline = now + std::chrono::milliseconds(o_.connectTimeoutMs);
  }

  // Sends the slot's message whole; the socket takes a short message at once, a longer one is
  // waited for up to the time-out.
  bool sendAll(int fd, std::string_view data) {
    bool staleError = o_.udp;
    while (!data.empty()) {
      ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
      if (n > 0) {
        data.remove_prefix(static_cast<size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno == ECONNREFUSED && staleError) {
        staleError = false;  // an earlier datagram's refusal, reported now and cleared
        continue;
      } else if (n < 0 && errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, o_.timeoutMs) <= 0) return false;
      } else {
        return false;
      }
    }
    return true;
  }

  void send(Slot& s) {
    s.bytes = x_.message(s.index);
    const Reply reply = x_.reply(s.index);
    s.lastError = 0;
    s.sentAt = Clock::now();
    if (!sendAll(s.fd, s.bytes)) {
      ++r_.sendErrors;
      x_.problem("sending message " + std::to_string(s.index) + " failed");
      advance(s, false);
      return;
    }
    ++r_.sent;
    s.deadline = s.sentAt + std::chrono::milliseconds(o_.timeoutMs);
    switch (reply) {
      case Reply::Answer:
        s.state = Slot::State::Answer;
        takeAnswers(s);  // an answer may already wait
        break;
      case Reply::Silence:
        s.state = Slot::State::Silence;
        break;
      case Reply::None:
        advance(s, true);
        break;
    }
  }

  // The same bytes again, so that the receiver sees a repeat; the latency still counts from the
  // first send, as the transmitter waited that long.
  void resend(Slot& s, Clock::time_point now) {
    if (!sendAll(s.fd, s.bytes)) {
      ++r_.sendErrors;
      x_.problem("sending message " + std::to_string(s.index) + " again failed");
      advance(s, false);
      return;
    }
    ++r_.resent;
    ++s.resent;
    s.deadline = now + std::chrono::milliseconds(o_.timeoutMs);
  }

  void ready(Slot& s, uint32_t events) {
    if (s.state == Slot::State::Connecting) {
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err != 0) {
        ++r_.connectErrors;
        x_.problem("cannot connect to " + o_.host + ":" + std::to_string(o_.port) + ": " +
                   std::strerror(err));
        advance(s, false);
        return;
      }
      watch(s, EPOLLIN);
      s.state = Slot::State::Idle;
      if (Clock::now() >= due(s.index)) send(s);
      return;
    }
    if (s.fd < 0 || !(events & (EPOLLIN | EPOLLERR | EPOLLHUP))) return;
    if (o_.udp) {
      readDatagram(s);
      return;
    }
    char chunk[4096];
    const ssize_t n = ::recv(s.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
      if (s.state == Slot::State::Answer) {
        ++r_.none;
        x_.problem("no answer to message " + std::to_string(s.index) + ": connection closed");
        advance(s, false);
      } else if (s.state == Slot::State::Silence) {
        ++r_.silent;  // closed without a word: still no answer
        advance(s, false);
      } else {
        closeSlot(s);  // reconnects for its next message
      }
      return;
    }
    s.received.append(chunk, static_cast<size_t>(n));
    if (s.state == Slot::State::Silence) {
      ++r_.answeredSilent;
      x_.problem("message " + std::to_string(s.index) + " was answered");
      advance(s, false);
    } else if (s.state == Slot::State::Answer) {
      takeAnswers(s);
    } else {
      s.received.clear();  // nothing was asked
    }
  }

  // One datagram is one answer, whole or malformed; more than fits the buffer is malformed too.
  void readDatagram(Slot& s) {
    char chunk[4096];
    const ssize_t n = ::recv(s.fd, chunk, sizeof chunk, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      // A refusal (ICMP) means a lost datagram here: the time-out decides, and may resend.
      if (errno != EAGAIN && errno != EINTR) s.lastError = errno;
      return;
    }
    if (s.state == Slot::State::Silence) {
      ++r_.answeredSilent;
      x_.problem("message " + std::to_string(s.index) + " was answered");
      advance(s, false);
      return;
    }
    if (s.state != Slot::State::Answer) return;  // nothing was asked
    const size_t size = static_cast<size_t>(n);
    const size_t length = size <= sizeof chunk ? x_.answerLength(std::string_view(chunk, size)) : 0;
    if (length == 0 || length != size) {
      ++r_.malformed;
      x_.problem("malformed answer to message " + std::to_string(s.index));
      advance(s, false);
      return;
    }
    answered(s, std::string_view(chunk, size));
    // After a resend the other copy's answer may still come: a new socket leaves it behind.
    advance(s, s.resent == 0);
  }

  void answered(Slot& s, std::string_view answer) {
    r_.latencyUs.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - s.sentAt).count());
    ++r_.answered;
    x_.judge(s.index, answer);
  }

  void takeAnswers(Slot& s) {
    if (s.received.empty()) return;
    const size_t length = x_.answerLength(s.received);
    if (length == 0) return;
    if (length == std::string_view::npos || length > s.received.size()) {
      ++r_.malformed;
      x_.problem("malformed answer to message " + std::to_string(s.index));
      advance(s, false);
      return;
    }
    answered(s, std::string_view(s.received).substr(0, length));
    s.received.erase(0, length);
    advance(s, true);
  }

  const DriveOptions& o_;
  const Exchange& x_;
  DriveResult r_;
  int epoll_ = -1;
  addrinfo* address_ = nullptr;
  std::vector<Slot> slots_;
  Clock::time_point start_;
};

}  // namespace

double DriveResult::percentile(double p) const {
  if (latencyUs.empty()) return 0.0;
  const size_t k = static_cast<size_t>(p * static_cast<double>(latencyUs.size()));
  return latencyUs[std::min(latencyUs.size() - 1, k)];
}

DriveResult drive(DriveOptions options, const Exchange& exchange) {
  options.repeat = std::max(1, options.repeat);
  options.resends = std::max(0, options.resends);
  return Driver(options, exchange).run();
}

}  // namespace orv::tool
