#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/admission.h"
#include "common/cancel_event.h"
#include "common/metrics.h"
#include "common/unique_fd.h"
#include "server/modules/client_list.h"
#include "server/modules/module_protocol.h"

namespace orv {

// The module server of one GPRS line: a listening socket served by an accept thread, and one
// worker thread that does every read and write of the line's connections on one epoll instance.
// Each connection has one operation pending at a time: the banner send, then a receive and the
// answer's send in turn. Reads take at most 1,024 bytes.
class tIOCS {
 public:
  static constexpr const char* kBanner = "GsmNor v1.2.\r\n";
  static constexpr size_t kReadSize = 1024;
  // A module whose unanswered input grows past this is cut off.
  static constexpr size_t kMaxInput = 64 * 1024;
  // Room for 20,000 modules and some reconnecting.
  static constexpr int32_t kDefaultMaxConnections = 25000;
  // Unanswered input of all connections together; a line's own input within kSmallInput is
  // always taken, so a module sending ordinary lines is never cut off for what others hold.
  static constexpr size_t kDefaultInputBudget = 32 << 20;
  static constexpr size_t kSmallInput = 1024;

  struct Settings {
    uint16_t port = 778;
    std::vector<std::string> startCommands;  // [StartCmd] values, then "99.c3"
    uint32_t syncIntervalMs = 60000;         // [Sock] TOut; 0 = off
    std::string name;                        // for diagnostics: "GPRS line 0 [GPRS0]"
    AdmissionRules admission;                // no per-address limit: operators' NAT
    size_t maxConnections = kDefaultMaxConnections;
    size_t inputBudget = kDefaultInputBudget;
  };

  // Binds and starts both threads; a port that cannot be bound leaves the server idle with a
  // diagnostic (and a beep), while the rest of the line works.
  tIOCS(Settings settings, ModuleLineContext line);
  ~tIOCS();
  tIOCS(const tIOCS&) = delete;
  tIOCS& operator=(const tIOCS&) = delete;

  // Accept thread first, then the worker, which closes every connection. Idempotent.
  void stop();

  bool listening() const { return listenFd_.valid(); }
  uint16_t port() const { return port_; }
  TClientList& clients() { return clients_; }
  const AdmissionCounters& admissionCounters() const { return admission_.counters(); }

 private:
  struct Worker;

  void acceptLoop(std::stop_token stop);
  void acceptOne();

  Settings settings_;
  ModuleLineContext line_;
  TClientList clients_;
  Admission admission_;
  UniqueFd listenFd_;
  uint16_t port_ = 0;
  int32_t accepted_ = 0;         // the running connection number shown as "Nr"
  std::atomic<size_t> open_{0};  // accepted and not yet reaped
  std::unique_ptr<Worker> worker_;
  CancelEvent acceptCancel_;  // ends the accept wait at once on stop
  std::jthread acceptThread_;
  InputMetrics metrics_;
  MetricsSource metricsSource_;  // last: gone before what it reads
};

}  // namespace orv
