#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "common/admission.h"
#include "common/cancel_event.h"
#include "common/diag.h"
#include "common/durable_waiter.h"
#include "common/metrics.h"
#include "common/ten_day_log.h"
#include "common/unique_fd.h"
#include "server/inputs/sia_receive.h"
#include "server/inputs/sia_repeats.h"

namespace orv {

// DC-09 over UDP: one datagram is one frame, its answer one datagram back to where it came from.
// One thread serves the socket; like the TCP connections, an ACK leaves only once its event is
// stored, and a frame repeated because its ACK got lost is answered again but queued once.
class SiaDatagrams {
 public:
  // Queues an event line; returns its ticket (0 when there is nothing to wait for).
  using Push = std::function<uint64_t(const std::string& line)>;

  static constexpr size_t kMaxDatagram = 64 * 1024;
  // Answers waiting for their events to be stored; past this, datagrams are left unanswered
  // (the transmitters send them again) until the store catches up.
  static constexpr size_t kMaxHeld = 4096;

  SiaDatagrams(const SiaReceiver& receiver, TenDayLog& log, Durability* durability, Push push,
               std::function<void()> changed);
  ~SiaDatagrams() { stop(); }
  SiaDatagrams(const SiaDatagrams&) = delete;
  SiaDatagrams& operator=(const SiaDatagrams&) = delete;

  // Binds the port and starts the thread; a port that cannot be bound is reported.
  bool start(uint16_t port, AdmissionRules rules);
  void stop();

  uint64_t datagrams() const { return datagrams_.load(std::memory_order_relaxed); }

 private:
  struct Held {
    uint64_t ticket;
    sockaddr_in to;
    std::string answer;
    uint64_t receivedUs;
  };

  void run();
  void receiveBatch();
  void take(std::string_view datagram, bool truncated, const sockaddr_in& from);
  void answer(uint64_t ticket, std::string bytes, const sockaddr_in& to);
  void send(const std::string& bytes, const sockaddr_in& to);
  void releaseStored();

  const SiaReceiver& receiver_;
  TenDayLog& log_;
  DurableWaiter durable_;
  Push push_;
  std::function<void()> changed_;
  std::optional<Admission> admission_;
  AddressList allow_;
  PeerDiag peerDiag_{"SIA receiver (UDP)"};
  UniqueFd socket_;
  CancelEvent stop_;
  std::thread thread_;
  SiaRepeats repeats_;
  std::deque<Held> held_;
  std::atomic<uint64_t> datagrams_{0};
  std::string buffers_;      // the receive batch
  uint64_t receivedUs_ = 0;  // when the datagram being handled came
  InputMetrics metrics_;
  MetricsSource metricsSource_;  // last: gone before what it reads
};

}  // namespace orv
