#include "common/event_connections.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/diag.h"
#include "common/socket_error.h"
#include "common/ticks.h"

namespace orv {
namespace {

constexpr int kMaxEvents = 256;
constexpr size_t kReadSize = 16384;
constexpr int kAcceptsPerRound = 64;

// epoll data of the two descriptors that are not connections.
void* const kStopTag = nullptr;
char listenerTagByte;
void* const kListenerTag = &listenerTagByte;
char durableTagByte;
void* const kDurableTag = &durableTagByte;

}  // namespace

// --- connection ------------------------------------------------------------------------------

InputMetrics& EventConnection::metrics() {
  return server_->metrics_;
}

void EventConnection::send(std::string_view bytes) {
  if (closed() || bytes.empty()) return;
  if (!held_.empty()) {
    held_.push_back({0, std::string(bytes), 0});  // behind the acknowledgement that waits
    return;
  }
  transmit(bytes);
}

void EventConnection::transmit(std::string_view bytes) {
  if (closed()) return;
  if (outputHead_ == output_.size()) {
    // Nothing waits: straight to the socket, the rest is kept.
    for (;;) {
      ssize_t n = ::send(socket_.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
        break;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      close(socketErrorFromErrno(errno));
      return;
    }
    if (bytes.empty()) return;
    output_.clear();
    outputHead_ = 0;
  }
  if (output_.size() - outputHead_ + bytes.size() > kMaxPendingOutput) {
    diagf("%s: %s:%u leaves more than %zu bytes unread; closed", server_->what_.c_str(),
          peerAddress().c_str(), peerPort(), kMaxPendingOutput);
    close(kWsaNoBuffers);
    return;
  }
  output_.append(bytes);
  server_->rearm(*this);
}

void EventConnection::sendWhenStored(std::string_view bytes, uint64_t ticket) {
  if (closed() || bytes.empty()) return;
  if (held_.empty() && server_->durable_->stored(ticket)) {
    server_->metrics_.answers.observeMicros(steadyMicros() - inputAtUs_);
    send(bytes);
    return;
  }
  const bool first = held_.empty();
  held_.push_back({ticket, std::string(bytes), inputAtUs_});
  if (first) server_->hold(*this);
}

void EventConnection::close(int error) {
  if (closed()) return;
  closed_.store(true, std::memory_order_relaxed);
  closeError_ = error;
  server_->dead_.push_back(this);
}

// --- server ----------------------------------------------------------------------------------

EventServer::EventServer(std::string what, size_t maxConnections, size_t maxInput)
    : what_(std::move(what)), maxConnections_(maxConnections), maxInput_(maxInput) {
  admission_.emplace(what_, AdmissionRules{});
}

bool EventServer::start(uint16_t port, Factory make, std::function<void()> afterEvents,
                        Durability* durability) {
  make_ = std::move(make);
  afterEvents_ = std::move(afterEvents);
  durable_ = std::make_unique<DurableWaiter>(what_, durability);
  if (listener_.listen(port, what_) != 0) return false;
  epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
  epoll_event stopEvent{};
  stopEvent.events = EPOLLIN;
  stopEvent.data.ptr = kStopTag;
  epoll_event listenEvent{};
  listenEvent.events = EPOLLIN;
  listenEvent.data.ptr = kListenerTag;
  if (!epoll_ || ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, stop_.fd(), &stopEvent) != 0 ||
      ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener_.fd(), &listenEvent) != 0 ||
      (durable_->fd() >= 0 && !watchDurable())) {
    diagf("%s: cannot wait for connections: %s", what_.c_str(), std::strerror(errno));
    listener_.close();
    return false;
  }
  port_ = listener_.localPort();
  diagf("%s listening on port %u", what_.c_str(), port_);
  metricsSource_ = MetricsSource([this](MetricsSink& sink) {
    const MetricLabels input = {{"input", what_}};
    sink.gauge("orv_input_connections", "Open connections of the input", input,
               static_cast<double>(count()));
    reportInputMetrics(sink, input, metrics_);
    reportAdmission(sink, input, admission_->counters());
  });
  thread_ = std::thread([this] { run(); });
  return true;
}

void EventServer::stop() {
  requestStop();
  if (thread_.joinable()) thread_.join();
}

size_t EventServer::count() const {
  std::lock_guard lock(lock_);
  return static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(),
                                           [](const auto& c) { return !c->closed(); }));
}

void EventServer::forEachConnection(const std::function<void(const EventConnection&)>& f) const {
  std::lock_guard lock(lock_);
  for (const auto& c : connections_) {
    if (!c->closed()) f(*c);
  }
}

void EventServer::run() {
  epoll_event events[kMaxEvents];
  uint32_t lastTick = ticks();
  bool listenerPaused = false;
  bool stopping = false;
  while (!stopping) {
    const uint32_t sinceTick = ticksSince(lastTick);
    const int wait = sinceTick >= kTickMs ? 0 : kTickMs - static_cast<int>(sinceTick);
    const int n = ::epoll_wait(epoll_.get(), events, kMaxEvents, wait);
    if (n < 0 && errno != EINTR) {
      diagf("%s: waiting for connections failed: %s", what_.c_str(), std::strerror(errno));
      break;
    }
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      if (tag == kStopTag) {
        stopping = true;
      } else if (tag == kDurableTag) {
        durable_->update(!holding_.empty());
        releaseHeld();
      } else if (tag == kListenerTag) {
        if (!acceptAll()) {
          // Out of descriptors, say: the listener waits a tick instead of spinning.
          ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listener_.fd(), nullptr);
          listenerPaused = true;
        }
      } else {
        auto& c = *static_cast<EventConnection*>(tag);
        if (!c.closed() && (events[i].events & EPOLLOUT)) flush(c);
        if (c.closed() || !(events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP))) continue;
        if (c.held_.empty()) {
          receive(c);
        } else if (events[i].events & (EPOLLERR | EPOLLHUP)) {
          c.close(kWsaConnReset);  // gone while its answer waits: nobody to tell
        } else {
          // More input while an answer waits: it stays unread until the answer is out.
          watch(c, 0);
        }
      }
    }
    if (ticksSince(lastTick) >= static_cast<uint32_t>(kTickMs)) {
      lastTick = ticks();
      closeSilent(lastTick);
      for (const auto& c : connections_) {
        if (!c->closed()) c->onTick(lastTick);
      }
      // The update empties the descriptor: a store that woke it since the wait must release
      // its answers here, or they would wait for the next store.
      if (!holding_.empty()) {
        durable_->update(true);
        releaseHeld();
      }
      if (listenerPaused) {
        epoll_event listenEvent{};
        listenEvent.events = EPOLLIN;
        listenEvent.data.ptr = kListenerTag;
        listenerPaused =
            ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener_.fd(), &listenEvent) != 0;
      }
    }
    reap();
    if (afterEvents_) afterEvents_();
  }
  // No more connections, then every open one is ended, newest first.
  listener_.close();
  for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
    (*it)->close(kWsaInterrupted);
  }
  reap();
  if (afterEvents_) afterEvents_();
}

bool EventServer::acceptAll() {
  for (int i = 0; i < kAcceptsPerRound; ++i) {
    LineSocket socket;
    const int err = listener_.accept(socket);
    if (err == kWsaWouldBlock || err == kWsaInterrupted) return true;
    if (err == kWsaConnAborted || err == kWsaConnReset) continue;  // gone before we took it
    if (err != 0) {
      diagf("%s: cannot accept a connection: %s", what_.c_str(), describeSocketError(err).c_str());
      return false;
    }
    // Closed without a word when refused: the socket goes out of scope.
    const std::string peer = socket.peerAddress();
    if (!admission_->admit(peer)) continue;
    if (count() >= maxConnections_ && !evictOne()) {
      admission_->release(peer);
      admission_->refusedFull(peer, maxConnections_);
      continue;
    }
    adopt(std::move(socket));
  }
  return true;
}

void EventServer::adopt(LineSocket&& socket) {
  const std::string peer = socket.peerAddress();
  std::unique_ptr<EventConnection> c = make_(socket);
  if (!c) {
    admission_->release(peer);
    return;
  }
  c->socket_ = std::move(socket);
  c->server_ = this;
  c->openedAt_ = ticks();
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = c.get();
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, c->socket_.fd(), &ev) != 0) {
    diagf("%s: %s: cannot wait for its input: %s", what_.c_str(), c->peerAddress().c_str(),
          std::strerror(errno));
    admission_->release(peer);
    return;
  }
  c->interest_ = EPOLLIN;
  std::lock_guard lock(lock_);
  connections_.push_back(std::move(c));
}

bool EventServer::evictOne() {
  // The list is in order of connection, and only this thread changes it.
  for (const auto& c : connections_) {
    if (c->closed() || c->established_) continue;
    admission_->evicted(c->peerAddress());
    c->close(kWsaConnAborted);
    return true;
  }
  return false;
}

void EventServer::closeSilent(uint32_t now) {
  const uint32_t limit = admission_->firstExchangeMs();
  if (limit == 0) return;
  for (const auto& c : connections_) {
    if (c->closed() || c->established_ || ticksSince(c->openedAt_, now) < limit) continue;
    admission_->timedOut(c->peerAddress());
    c->close(kWsaTimedOut);
  }
}

void EventServer::receive(EventConnection& c) {
  std::string& in = c.input_;
  if (c.inputHead_ == in.size()) {
    in.clear();
    c.inputHead_ = 0;
  } else if (c.inputHead_ > 4096 && c.inputHead_ * 2 > in.size()) {
    in.erase(0, c.inputHead_);
    c.inputHead_ = 0;
  }
  char chunk[kReadSize];
  const ssize_t n = ::recv(c.socket_.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
  const int err = errno;
  if (n == 0) {
    c.close(kWsaConnReset);  // the peer's orderly close
    return;
  }
  if (n < 0) {
    if (err != EAGAIN && err != EINTR) c.close(socketErrorFromErrno(err));
    return;
  }
  in.append(chunk, static_cast<size_t>(n));
  c.inputAtUs_ = steadyMicros();
  std::string_view unread(in.data() + c.inputHead_, in.size() - c.inputHead_);
  c.inputHead_ += std::min(c.onInput(unread, static_cast<size_t>(n)), unread.size());
  if (!c.closed() && in.size() - c.inputHead_ > maxInput_) c.close(kErrLineTooLong);
}

void EventServer::flush(EventConnection& c) {
  while (c.outputHead_ < c.output_.size()) {
    ssize_t n = ::send(c.socket_.fd(), c.output_.data() + c.outputHead_,
                       c.output_.size() - c.outputHead_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      c.outputHead_ += static_cast<size_t>(n);
    } else if (errno == EAGAIN) {
      return;
    } else if (errno != EINTR) {
      c.close(socketErrorFromErrno(errno));
      return;
    }
  }
  c.output_.clear();
  c.outputHead_ = 0;
  rearm(c);  // all out: read again, unless an answer waits to be stored
}

void EventServer::rearm(EventConnection& c) {
  // A connection whose answer waits keeps its interest in input (senders wait for their answer,
  // so as a rule nothing comes) and drops it only when input does come: two system calls per
  // event saved.
  watch(c, c.outputHead_ < c.output_.size() ? EPOLLOUT : static_cast<uint32_t>(EPOLLIN));
}

void EventServer::hold(EventConnection& c) {
  holding_.push_back(&c);
}

void EventServer::releaseHeld() {
  std::erase_if(holding_, [this](EventConnection* c) {
    if (c->closed()) return true;
    while (!c->held_.empty() && durable_->stored(c->held_.front().ticket)) {
      if (c->held_.front().receivedUs != 0) {
        metrics_.answers.observeMicros(steadyMicros() - c->held_.front().receivedUs);
      }
      c->transmit(c->held_.front().bytes);
      c->held_.pop_front();
    }
    if (!c->held_.empty()) return false;
    rearm(*c);
    return true;
  });
}

bool EventServer::watchDurable() {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = kDurableTag;
  return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, durable_->fd(), &ev) == 0;
}

void EventServer::watch(EventConnection& c, uint32_t events) {
  if (c.interest_ == events || c.closed()) return;
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = &c;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, c.socket_.fd(), &ev) != 0) {
    c.close(socketErrorFromErrno(errno));
    return;
  }
  c.interest_ = events;
}

void EventServer::finish(EventConnection& c) {
  if (c.closeError_ == kErrLineTooLong) {
    diagf("%s: connection from %s:%u: more than %zu bytes without a line end; closed",
          what_.c_str(), c.peerAddress().c_str(), c.peerPort(), maxInput_);
  }
  c.onClosed(c.closeError_);
  admission_->release(c.peerAddress());
  c.socket_.close();  // which also takes it out of epoll
}

void EventServer::reap() {
  // Records are freed only here, after the batch: no event of the batch reaches a freed one.
  for (size_t i = 0; i < dead_.size(); ++i) finish(*dead_[i]);
  if (!dead_.empty()) std::erase_if(holding_, [](EventConnection* c) { return c->closed(); });
  std::vector<std::unique_ptr<EventConnection>> done;
  {
    std::lock_guard lock(lock_);
    for (EventConnection* d : dead_) {
      auto it = std::find_if(connections_.begin(), connections_.end(),
                             [d](const auto& c) { return c.get() == d; });
      if (it == connections_.end()) continue;
      done.push_back(std::move(*it));
      connections_.erase(it);
    }
  }
  dead_.clear();
}

}  // namespace orv
