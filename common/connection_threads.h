#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/cancel_event.h"
#include "common/diag.h"
#include "common/line_socket.h"

namespace orv {

// A listener on 0.0.0.0 whose accepted connections each get a thread of their own: the
// listener thread waits up to a second at a time, builds one Connection per accepted socket
// and frees the connections whose threads have ended.
//
// Connection must offer requestStop() (any thread), join() and finished(); its destructor must
// stop and join its own thread.
template <class Connection>
class ConnectionThreads {
 public:
  // Builds the connection for an accepted socket, or returns null to refuse it (the factory
  // says why); runs on the listener thread.
  using Factory = std::function<std::unique_ptr<Connection>(LineSocket&& socket)>;

  ConnectionThreads(std::string what, size_t maxConnections)
      : what_(std::move(what)), maxConnections_(maxConnections) {
    listener_.setCancelFd(cancel_.fd());
  }
  ~ConnectionThreads() { stop(); }
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;

  // Listens and starts the listener thread; a port that cannot be bound is reported.
  bool start(uint16_t port, Factory make) {
    make_ = std::move(make);
    if (listener_.listen(port, what_) != 0) return false;
    port_ = listener_.localPort();
    diagf("%s listening on port %u", what_.c_str(), port_);
    thread_ = std::thread([this] { run(); });
    return true;
  }

  // Asks every connection to stop (they finish within their current wait).
  void requestStopConnections() {
    std::lock_guard lock(lock_);
    for (auto& c : connections_) c->requestStop();
  }

  // Asks every connection to stop, stops the listener, then waits for each connection, newest
  // first. Idempotent.
  void stop() {
    requestStopConnections();
    cancel_.set();
    if (thread_.joinable()) thread_.join();
    listener_.close();
    std::vector<std::unique_ptr<Connection>> all;
    {
      std::lock_guard lock(lock_);
      all.swap(connections_);
    }
    for (auto it = all.rbegin(); it != all.rend(); ++it) (*it)->join();
  }

  bool listening() const { return port_ != 0; }
  uint16_t port() const { return port_; }

  size_t count() const {
    std::lock_guard lock(lock_);
    size_t n = 0;
    for (const auto& c : connections_) n += c->finished() ? 0 : 1;
    return n;
  }

  // Calls f for every live connection, in order of connection, under the list lock.
  template <class F>
  void forEach(F&& f) const {
    std::lock_guard lock(lock_);
    for (const auto& c : connections_) {
      if (!c->finished()) f(*c);
    }
  }

 private:
  void reap() {
    std::vector<std::unique_ptr<Connection>> done;  // freed after the lock, their threads ended
    std::lock_guard lock(lock_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if ((*it)->finished()) {
        done.push_back(std::move(*it));
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }

  void run() {
    while (!cancel_.isSet()) {
      reap();
      if (!listener_.waitForConnection(1000)) continue;
      LineSocket socket;
      if (listener_.accept(socket) != 0) continue;
      if (count() >= maxConnections_) {
        diagf("%s: %s refused: %zu connections already", what_.c_str(),
              socket.peerAddress().c_str(), maxConnections_);
        continue;
      }
      std::unique_ptr<Connection> c = make_(std::move(socket));
      if (!c) continue;
      std::lock_guard lock(lock_);
      connections_.push_back(std::move(c));
    }
  }

  std::string what_;
  size_t maxConnections_;
  Factory make_;
  LineSocket listener_;
  uint16_t port_ = 0;
  CancelEvent cancel_;
  mutable std::mutex lock_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::thread thread_;
};

}  // namespace orv
