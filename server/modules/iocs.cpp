#include "server/modules/iocs.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/beep.h"
#include "common/diag.h"
#include "common/durable_waiter.h"
#include "common/service_notify.h"
#include "common/socket_error.h"
#include "common/ticks.h"

namespace orv {
namespace {

constexpr int kAcceptWaitMs = 1000;
constexpr int kWorkerWaitMs = 1000;
constexpr uint32_t kSweepEveryMs = 1000;
constexpr int kMaxEvents = 256;

}  // namespace

// The worker: owns the records of all connections of the line and the epoll instance.
struct tIOCS::Worker {
  Worker(tIOCS& server)
      : server(server),
        protocol(server.line_),
        durable(server.settings_.name,
                server.line_.outputs ? server.line_.outputs->durability() : nullptr),
        budgetDiag(server.settings_.name) {}

  void start() {
    epollFd.reset(::epoll_create1(EPOLL_CLOEXEC));
    wakeFd.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;  // the wake-up
    ::epoll_ctl(epollFd.get(), EPOLL_CTL_ADD, wakeFd.get(), &ev);
    if (durable.fd() >= 0) {
      ev.data.ptr = &durable;
      ::epoll_ctl(epollFd.get(), EPOLL_CTL_ADD, durable.fd(), &ev);
    }
    thread = std::jthread([this](std::stop_token stop) { run(stop); });
  }

  void stop() {
    if (!thread.joinable()) return;
    thread.request_stop();
    wake();
    thread.join();
  }

  void wake() {
    uint64_t one = 1;
    ssize_t r = ::write(wakeFd.get(), &one, sizeof one);
    (void)r;
  }

  // Accept thread: hands a new connection over.
  void adopt(ClientPtr client) {
    {
      std::lock_guard guard(adoptLock);
      adopted.push_back(std::move(client));
    }
    wake();
  }

  void setInterest(tClientContext& c, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = &c;
    int op = c.watching ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (::epoll_ctl(epollFd.get(), op, c.fd.get(), &ev) != 0) {
      closeClient(c);
      return;
    }
    c.watching = true;
  }

  void closeClient(tClientContext& c) {
    if (c.closed) return;
    c.closed = true;
    dead.push_back(&c);
  }

  // Frees the records closed during the last batch, so that no event of the batch can reach a
  // freed record.
  void reap() {
    if (!dead.empty()) std::erase_if(held, [](tClientContext* c) { return c->closed; });
    for (tClientContext* c : dead) {
      server.clients_.remove(c);
      server.admission_.release(c->peerAddress);
      server.open_.fetch_sub(1, std::memory_order_relaxed);
      inputTotal -= c->countedInput;
      c->countedInput = 0;
      std::string().swap(c->input);  // the record may live on with the console
      // The console may still hold the record; the socket must not wait for it.
      c->fd.reset();  // closing also leaves epoll
      owned.erase(c);
    }
    if (!dead.empty() && server.line_.rowsChanged) server.line_.rowsChanged->store(1);
    dead.clear();
  }

  void send(tClientContext& c, std::string text) {
    // Answers to lines that are already buffered follow in this loop rather than in nested
    // calls: a module that sent thousands of short lines at once must not exhaust the stack.
    for (;;) {
      if (server.line_.console) server.line_.console->watch(c.id(), false, text);
      c.sendBuffer = std::move(text);
      c.sendOffset = 0;
      if (!flush(c)) return;
      ModuleProtocol::Outcome next = protocol.afterSend(c, ticks());
      if (next.next != ModuleProtocol::Next::Send || !durable.stored(next.ticket)) {
        apply(c, std::move(next));
        return;
      }
      text = std::move(next.text);
    }
  }

  // The socket became writable again.
  void continueSend(tClientContext& c) {
    if (flush(c)) apply(c, protocol.afterSend(c, ticks()));
    settleInput(c);
  }

  // Brings the line's total of unanswered input up to date with what the protocol took.
  void settleInput(tClientContext& c) {
    inputTotal = inputTotal - c.countedInput + c.input.size();
    c.countedInput = c.input.size();
  }

  // True once the whole send buffer is out; false while it waits for the socket to take more,
  // or when the connection failed.
  bool flush(tClientContext& c) {
    while (c.sendOffset < c.sendBuffer.size()) {
      ssize_t n = ::send(c.fd.get(), c.sendBuffer.data() + c.sendOffset,
                         c.sendBuffer.size() - c.sendOffset, MSG_NOSIGNAL);
      if (n > 0) {
        c.sendOffset += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        setInterest(c, EPOLLOUT);
        return false;
      }
      closeClient(c);
      return false;
    }
    c.sendBuffer.clear();
    return !c.closed;
  }

  // A line's answer leaves now: how long the module waited for it.
  void answered(tClientContext& c) {
    if (c.receivedUs == 0) return;
    server.metrics_.answers.observeMicros(steadyMicros() - c.receivedUs);
    c.receivedUs = 0;
  }

  void apply(tClientContext& c, ModuleProtocol::Outcome outcome) {
    switch (outcome.next) {
      case ModuleProtocol::Next::Send:
        if (durable.stored(outcome.ticket)) {
          answered(c);
          send(c, std::move(outcome.text));
        } else {
          // An event's "0" says that it is stored: it waits for that, and nothing more is
          // read from the module meanwhile.
          c.heldAnswer = std::move(outcome.text);
          c.heldTicket = outcome.ticket;
          setInterest(c, 0);
          held.push_back(&c);
        }
        break;
      case ModuleProtocol::Next::Arm:
        setInterest(c, EPOLLIN);
        break;
      case ModuleProtocol::Next::Wait:
        setInterest(c, 0);
        break;
    }
  }

  void receive(tClientContext& c) {
    char buf[kReadSize];
    ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {  // the peer closed, or the connection failed
      closeClient(c);
      return;
    }
    std::string_view chunk(buf, static_cast<size_t>(n));
    c.input.append(chunk);
    {
      std::lock_guard guard(c.lock);
      c.lastReceived.assign(chunk);
    }
    if (server.line_.rowsChanged) server.line_.rowsChanged->store(1, std::memory_order_relaxed);
    settleInput(c);
    if (c.input.size() > kMaxInput) {
      diagf("%s: module %s sent more than %zu bytes it was not answered for; closed",
            server.settings_.name.c_str(), c.peerAddress.c_str(), kMaxInput);
      closeClient(c);
      return;
    }
    if (inputTotal > server.settings_.inputBudget && c.input.size() > kSmallInput) {
      budgetDiag("module %s closed: the line holds more than %zu bytes of unanswered input",
                 c.peerAddress.c_str(), server.settings_.inputBudget);
      closeClient(c);
      return;
    }
    c.receivedUs = steadyMicros();
    ModuleProtocol::Outcome outcome = protocol.onReceive(c, ticks());
    if (outcome.next == ModuleProtocol::Next::Send) {
      c.established = true;  // answered a line
      server.metrics_.received.fetch_add(1, std::memory_order_relaxed);
    }
    apply(c, std::move(outcome));
    settleInput(c);
  }

  // The outputs stored more: the answers that waited for it go out, in the order they came.
  void releaseHeld() {
    durable.update(!held.empty());
    std::vector<tClientContext*> waiting;
    waiting.swap(held);
    for (tClientContext* c : waiting) {
      if (c->closed) continue;
      if (durable.stored(c->heldTicket)) {
        answered(*c);
        send(*c, std::move(c->heldAnswer));
        settleInput(*c);
      } else {
        held.push_back(c);
      }
    }
  }

  void takeAdopted() {
    std::deque<ClientPtr> fresh;
    {
      std::lock_guard guard(adoptLock);
      fresh.swap(adopted);
    }
    for (ClientPtr& p : fresh) {
      tClientContext& c = *p;
      if (c.wantsRoom && !evictOne()) {
        // Closed without a word: every slot holds a module that has been answered.
        server.admission_.release(c.peerAddress);
        server.admission_.refusedFull(c.peerAddress, server.settings_.maxConnections);
        server.open_.fetch_sub(1, std::memory_order_relaxed);
        continue;
      }
      server.clients_.add(p);
      unanswered.push_back(p);
      owned.emplace(&c, std::move(p));
      send(c, kBanner);  // nothing is read until the banner is out
    }
  }

  // Closes the oldest connection that has never been answered a line; false when there is none.
  bool evictOne() {
    while (!unanswered.empty()) {
      ClientPtr c = std::move(unanswered.front());
      unanswered.pop_front();
      if (c->closed || c->established) continue;
      server.admission_.evicted(c->peerAddress);
      closeClient(*c);
      return true;
    }
    return false;
  }

  // Closes the connections that have not been answered a line within the first-exchange
  // limit. They wait in order of connection, so only the expired ones and one more are seen.
  void closeSilent(uint32_t now) {
    const uint32_t limit = server.admission_.firstExchangeMs();
    while (!unanswered.empty()) {
      tClientContext& c = *unanswered.front();
      if (!c.closed && !c.established) {
        if (limit == 0 || ticksSince(c.openedAt, now) < limit) break;
        server.admission_.timedOut(c.peerAddress);
        closeClient(c);
      }
      unanswered.pop_front();
    }
    // Without a limit the front may stay: the answered and closed ones behind it go.
    if (limit == 0) {
      std::erase_if(unanswered, [](const ClientPtr& c) { return c->closed || c->established; });
    }
  }

  // Closes every connection whose deadline has passed.
  void sweep(uint32_t now) {
    closeSilent(now);
    for (auto& [raw, client] : owned) {
      if (!client->closed && static_cast<int32_t>(now - client->deadline) > 0) closeClient(*client);
    }
  }

  void run(std::stop_token stop) {
    epoll_event events[kMaxEvents];
    uint32_t lastSweep = ticks();
    while (!stop.stop_requested()) {
      int n = ::epoll_wait(epollFd.get(), events, kMaxEvents, kWorkerWaitMs);
      if (n < 0 && errno != EINTR) {
        diagf("%s: epoll_wait failed: %s", server.settings_.name.c_str(), std::strerror(errno));
        break;
      }
      for (int i = 0; i < n; ++i) {
        if (events[i].data.ptr == &durable) {
          releaseHeld();
          continue;
        }
        auto* c = static_cast<tClientContext*>(events[i].data.ptr);
        if (c == nullptr) {
          uint64_t value;
          ssize_t r = ::read(wakeFd.get(), &value, sizeof value);
          (void)r;
          continue;
        }
        if (c->closed) continue;
        if (events[i].events & EPOLLOUT) {
          continueSend(*c);
        } else if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
          receive(*c);
        }
      }
      takeAdopted();
      uint32_t now = ticks();
      if (ticksSince(lastSweep, now) >= kSweepEveryMs) {
        lastSweep = now;
        const auto sweepStart = std::chrono::steady_clock::now();
        sweep(now);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sweepStart)
                .count();
        sweepMsTotal += ms;
        sweepMsMax = std::max(sweepMsMax, ms);
        ++sweeps;
        sweepMost = std::max(sweepMost, owned.size());
        // releaseHeld() empties the descriptor, so it also sends what a store since the wait
        // released: emptying it alone would leave those answers for the next store.
        if (!held.empty()) releaseHeld();
      }
      reap();
    }
    // Stopping: every module socket is closed.
    takeAdopted();
    for (auto& [raw, client] : owned) closeClient(*client);
    reap();
    if (sweeps > 0) {
      diagf("%s: deadline sweep over up to %zu connections: %lu passes, mean %.2f ms, max %.2f ms",
            server.settings_.name.c_str(), sweepMost, sweeps, sweepMsTotal / sweeps, sweepMsMax);
    }
  }

  tIOCS& server;
  ModuleProtocol protocol;
  DurableWaiter durable;
  std::vector<tClientContext*> held;  // answers waiting for their events to be stored
  UniqueFd epollFd;
  UniqueFd wakeFd;
  std::mutex adoptLock;
  std::deque<ClientPtr> adopted;
  std::unordered_map<tClientContext*, ClientPtr> owned;
  std::deque<ClientPtr> unanswered;  // never answered a line, in order of connection
  size_t inputTotal = 0;             // unanswered input of all connections
  // What the once-a-second pass over the connections costs, said when the line stops.
  double sweepMsTotal = 0;
  double sweepMsMax = 0;
  unsigned long sweeps = 0;
  size_t sweepMost = 0;
  PeerDiag budgetDiag;
  std::vector<tClientContext*> dead;
  std::jthread thread;
};

tIOCS::tIOCS(Settings settings, ModuleLineContext line)
    : settings_(std::move(settings)),
      line_(line),
      admission_(settings_.name, std::move(settings_.admission)) {
  line_.clients = &clients_;
  setCurrentClientOrder(ClientOrder::ById);

  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  int on = 1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(settings_.port);
  if (!fd || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.get(), SOMAXCONN) != 0) {
    int err = socketErrorFromErrno(errno);
    const std::string text = settings_.name + ": cannot listen on port " +
                             std::to_string(settings_.port) + ": " + describeSocketError(err);
    recordListenFailure(text);
    beep(800, 200, text);
  } else {
    listenFd_ = std::move(fd);
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    diagf("%s: module server listening on port %u", settings_.name.c_str(), port_);
  }

  metricsSource_ = MetricsSource([this](MetricsSink& sink) {
    const MetricLabels input = {{"input", settings_.name}};
    sink.gauge("orv_input_connections", "Open connections of the input", input,
               static_cast<double>(open_.load(std::memory_order_relaxed)));
    reportInputMetrics(sink, input, metrics_);
    reportAdmission(sink, input, admission_.counters());
  });
  worker_ = std::make_unique<Worker>(*this);
  worker_->start();
  if (listenFd_) acceptThread_ = std::jthread([this](std::stop_token stop) { acceptLoop(stop); });
}

tIOCS::~tIOCS() {
  stop();
}

void tIOCS::stop() {
  if (acceptThread_.joinable()) {
    acceptThread_.request_stop();
    acceptCancel_.set();
    acceptThread_.join();
  }
  listenFd_.reset();
  if (worker_) worker_->stop();
}

void tIOCS::acceptLoop(std::stop_token stop) {
  pollfd p[2] = {{listenFd_.get(), POLLIN, 0}, {acceptCancel_.fd(), POLLIN, 0}};
  while (!stop.stop_requested()) {
    int r = ::poll(p, 2, kAcceptWaitMs);
    if (r > 0 && (p[0].revents & POLLIN) && !stop.stop_requested()) acceptOne();
  }
}

void tIOCS::acceptOne() {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  int fd = ::accept4(listenFd_.get(), reinterpret_cast<sockaddr*>(&addr), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) return;
    beep(800, 200,
         settings_.name + ": accept failed: " + describeSocketError(socketErrorFromErrno(errno)));
    // Out of descriptors: give the others time to close instead of spinning on the backlog.
    if (errno == EMFILE || errno == ENFILE) ::poll(nullptr, 0, 100);
    return;
  }
  UniqueFd socket(fd);
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  if (!admission_.admit(text)) return;  // closed without a word
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

  auto client = std::make_shared<tClientContext>();
  client->fd = std::move(socket);
  const uint32_t now = ticks();
  client->peerAddress = text;
  client->openedAt = now;
  // The worker makes room, or refuses it, when every slot is taken.
  client->wantsRoom = open_.fetch_add(1, std::memory_order_relaxed) >= settings_.maxConnections;
  client->number = ++accepted_;
  client->commands.assign(settings_.startCommands.begin(), settings_.startCommands.end());
  client->startCommandCount = static_cast<uint16_t>(settings_.startCommands.size());
  client->syncInterval = settings_.syncIntervalMs;
  client->deadline = now + line_.lifeTimeMs;
  // Both intervals count as passed at first: a new module gets the time at its first poll and
  // its link event with its first line once it is identified.
  client->lastSyncTick = now - settings_.syncIntervalMs - 1;
  client->lastPollEventTick = now - line_.syncPMs - 1;
  worker_->adopt(std::move(client));
}

}  // namespace orv
