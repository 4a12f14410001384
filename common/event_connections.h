#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/admission.h"
#include "common/cancel_event.h"
#include "common/durable_waiter.h"
#include "common/line_socket.h"
#include "common/metrics.h"

namespace orv {

class EventServer;

// One accepted connection of an EventServer. Its handlers run on the server's loop thread only,
// one at a time; other threads may read what a subclass guards with its own lock.
class EventConnection {
 public:
  virtual ~EventConnection() = default;
  EventConnection() = default;
  EventConnection(const EventConnection&) = delete;
  EventConnection& operator=(const EventConnection&) = delete;

  // Bytes arrived. `unread` holds every byte not yet taken, the last `fresh` of them new;
  // returns how many bytes from the front were used. Unread input is limited: a connection
  // that holds more than the server's limit without using it is closed with kErrLineTooLong.
  virtual size_t onInput(std::string_view unread, size_t fresh) = 0;
  // Called about every kTickMs with the current ticks(), for time-outs.
  virtual void onTick(uint32_t now) { (void)now; }
  // The connection is over: kWsaConnReset when the peer closed, kErrLineTooLong for too much
  // unread input, kWsaInterrupted when the server stops, or what close() was given.
  virtual void onClosed(int error) { (void)error; }

  // Sends bytes; what the socket does not take at once follows when it can, and no more input
  // is read until then. A peer that leaves kMaxPendingOutput bytes unread is closed.
  void send(std::string_view bytes);
  // The acknowledgement of an event: sent once the server's Durability has stored `ticket`
  // (at once for ticket 0). Until then no more input is read, and whatever else is sent
  // follows it, so the order on the connection stays.
  void sendWhenStored(std::string_view bytes, uint64_t ticket);
  // Ends the connection after the current handler; onClosed(error) follows.
  void close(int error);

  // The peer completed its first valid exchange: from now on neither the first-exchange limit
  // nor a newcomer looking for a slot ends the connection.
  void markEstablished() { established_ = true; }
  bool established() const { return established_; }

  bool closed() const { return closed_.load(std::memory_order_relaxed); }
  // The input's counts of lines received and rejected (the answer latency is measured here).
  InputMetrics& metrics();
  const std::string& peerAddress() const { return socket_.peerAddress(); }
  uint16_t peerPort() const { return socket_.peerPort(); }

  static constexpr size_t kMaxPendingOutput = 1 << 20;

 private:
  friend class EventServer;

  void transmit(std::string_view bytes);

  struct Held {
    uint64_t ticket;
    std::string bytes;
    uint64_t receivedUs;  // when the input it answers came; 0: not an acknowledgement
  };

  LineSocket socket_;
  std::deque<Held> held_;
  std::string input_;
  size_t inputHead_ = 0;
  std::string output_;
  size_t outputHead_ = 0;
  uint32_t interest_ = 0;
  std::atomic<bool> closed_{false};
  int closeError_ = 0;
  uint32_t openedAt_ = 0;
  uint64_t inputAtUs_ = 0;  // when the input being handled came
  bool established_ = false;
  EventServer* server_ = nullptr;
};

// Calls f(line) for every complete line of `unread` (terminator `end` removed) and returns the
// bytes those lines took, for EventConnection::onInput. Only the `fresh` tail and the bytes just
// before it are searched, so a peer that sends a byte at a time costs no repeated scans.
template <class F>
size_t forEachLine(std::string_view unread, size_t fresh, std::string_view end, F&& f) {
  size_t from = unread.size() - fresh;
  from = from >= end.size() ? from - (end.size() - 1) : 0;
  size_t used = 0;
  for (size_t pos = unread.find(end, from); pos != std::string_view::npos;
       pos = unread.find(end, used)) {
    f(unread.substr(used, pos - used));
    used = pos + end.size();
  }
  return used;
}

// A listener on 0.0.0.0 and one epoll thread that accepts and serves all its connections: no
// thread per connection, so a hundred busy peers cost one thread's switches, and every wait is
// bounded by the tick, so stop() returns within it.
class EventServer {
 public:
  static constexpr int kTickMs = 100;
  // Builds the connection for an accepted peer, or returns null to refuse it (saying why); runs
  // on the loop thread.
  using Factory = std::function<std::unique_ptr<EventConnection>(const LineSocket& peer)>;

  EventServer(std::string what, size_t maxConnections, size_t maxInput);
  ~EventServer() { stop(); }
  EventServer(const EventServer&) = delete;
  EventServer& operator=(const EventServer&) = delete;

  // What the input demands of new peers; before start().
  void setAdmission(AdmissionRules rules) { admission_.emplace(what_, std::move(rules)); }
  const AdmissionCounters& admissionCounters() const { return admission_->counters(); }

  // Listens and starts the loop thread; a port that cannot be bound is reported. afterEvents,
  // when given, runs on the loop thread after every round of events (and at its end): where a
  // held log writes the round's entries. With a `durability`, sendWhenStored() waits on it.
  bool start(uint16_t port, Factory make, std::function<void()> afterEvents = {},
             Durability* durability = nullptr);
  // Asks the loop to end without waiting: it stops accepting, then closes every connection,
  // newest first, each with onClosed(kWsaInterrupted).
  void requestStop() { stop_.set(); }
  // requestStop() and waits for the loop. Idempotent.
  void stop();

  bool listening() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  size_t count() const;
  InputMetrics& metrics() { return metrics_; }

 protected:
  // Calls f for every open connection, in order of connection, under the list lock.
  void forEachConnection(const std::function<void(const EventConnection&)>& f) const;

 private:
  friend class EventConnection;

  void run();
  // Takes the waiting connections; false when accepting failed for a reason that lasts.
  bool acceptAll();
  void adopt(LineSocket&& socket);
  // Closes the oldest connection that has not completed a valid exchange; false when there is
  // none.
  bool evictOne();
  // Closes the connections that have not completed a valid exchange within the limit.
  void closeSilent(uint32_t now);
  void receive(EventConnection& c);
  void flush(EventConnection& c);
  void watch(EventConnection& c, uint32_t events);
  // Output waiting: writable; else readable.
  void rearm(EventConnection& c);
  void hold(EventConnection& c);
  bool watchDurable();
  void releaseHeld();
  void finish(EventConnection& c);
  void reap();

  std::string what_;
  size_t maxConnections_;
  size_t maxInput_;
  std::optional<Admission> admission_;
  Factory make_;
  std::function<void()> afterEvents_;
  LineSocket listener_;
  uint16_t port_ = 0;
  UniqueFd epoll_;
  CancelEvent stop_;
  mutable std::mutex lock_;
  std::vector<std::unique_ptr<EventConnection>> connections_;
  std::vector<EventConnection*> dead_;     // closed during the current batch of events
  std::vector<EventConnection*> holding_;  // with acknowledgements waiting to be stored
  std::unique_ptr<DurableWaiter> durable_;
  std::thread thread_;
  InputMetrics metrics_;
  MetricsSource metricsSource_;  // last: gone before what it reads
};

// An EventServer whose connections are all of one class.
template <class Connection>
class EventConnections : public EventServer {
 public:
  using EventServer::EventServer;

  template <class F>
  void forEach(F&& f) const {
    forEachConnection([&](const EventConnection& c) { f(static_cast<const Connection&>(c)); });
  }
};

}  // namespace orv
