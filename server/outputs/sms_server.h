#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "common/diag.h"
#include "common/event_connections.h"

namespace orv {

// Hands one text to the GSM receiver device of the first module line; returns how many device
// queues took it (0: that line has no such device).
using SmsHandOff = std::function<size_t(const std::string& text)>;

struct SmsSettings {
  uint16_t port = 911;
  std::filesystem::path logDir;     // ./SMSLog/; not created here: without it nothing is logged
  uint32_t greetingWaitMs = 20000;  // for the client's first line
  uint32_t idleLimitMs = 30000;     // without any line (heartbeats count) the client is dropped
  // Allow list, per-address limit, and the wait for the greeting after which a silent client
  // is closed (it makes room for a new one before that when every slot is taken).
  AdmissionRules admission;
};

// The status bar text of the SMS port: "SMS " + number of attached clients.
std::string smsCounterText(size_t n);

// "dd_mm.log": the SMS log of one day (day and month with two digits each).
std::string smsLogFileName(int month, int day);

// The time limits of one client: the wait for its greeting, then the limit on silence, both
// on the 32-bit tick counter (wrap-around is harmless).
class SmsClientTimer {
 public:
  SmsClientTimer(uint32_t greetingWaitMs, uint32_t idleLimitMs, uint32_t now)
      : greetingWaitMs_(greetingWaitMs), idleLimitMs_(idleLimitMs), since_(now) {}

  // Whether the next line is the greeting.
  bool awaitingGreeting() const { return awaitingGreeting_; }
  // The greeting or a text (heartbeats too) came.
  void lineCame(uint32_t now);
  // Ends the greeting wait when it has run out; true once the client has been silent too long.
  bool timedOut(uint32_t now);

 private:
  uint32_t greetingWaitMs_;
  uint32_t idleLimitMs_;
  uint32_t since_;  // start of the greeting wait, then of the current silence
  bool awaitingGreeting_ = true;
};

class TSmsListThrd;

// One attached client: a banner, a greeting that is only logged, then one text per line, each
// handed to the device (unless it is an "@" heartbeat) and answered "0". Served by the SMS
// server's event loop.
class TSMSThrd : public EventConnection {
 public:
  static constexpr std::string_view kBanner = "IP-Server-SMS V0.0";

  TSMSThrd(TSmsListThrd& server, const LineSocket& peer);
  ~TSMSThrd() override;

  size_t onInput(std::string_view unread, size_t fresh) override;
  void onTick(uint32_t now) override;
  void onClosed(int error) override;

 private:
  void line(std::string_view text);
  void sendUnsentBanner();

  TSmsListThrd& server_;
  SmsClientTimer timer_;
  std::string unsentBanner_;
  bool ended_ = false;  // onClosed() has logged the end
};

// The attached clients (with the listener and the loop that serves them).
using tSmsList = EventConnections<TSMSThrd>;

// The SMS port: listens from construction until stop() or destruction.
class TSmsListThrd {
 public:
  static constexpr size_t kMaxClients = 64;
  // SMS texts are short; a client that sends this much without a line end is cut off.
  static constexpr size_t kMaxUnread = LineSocket::kMaxLine + 2;

  // `countChanged`, when given, is set whenever the client count changes (from the loop thread).
  TSmsListThrd(SmsSettings settings, SmsHandOff handOff, std::atomic<uint8_t>* countChanged);
  ~TSmsListThrd();
  TSmsListThrd(const TSmsListThrd&) = delete;
  TSmsListThrd& operator=(const TSmsListThrd&) = delete;

  // Every connection is closed (and logged), then the listener; returns within one tick of the
  // loop. Idempotent.
  void stop() { clients_.stop(); }
  bool listening() const { return clients_.listening(); }
  uint16_t port() const { return clients_.port(); }
  // Safe from any thread.
  size_t clientCount() const { return count_.load(std::memory_order_relaxed); }

 private:
  friend class TSMSThrd;

  // One entry of today's SMS log: "HH:MM:SS text" CR LF; dropped when the directory is missing.
  void log(std::string_view text) const;
  void countBy(int delta);

  SmsSettings settings_;
  SmsHandOff handOff_;
  std::atomic<uint8_t>* countChanged_;
  std::atomic<size_t> count_{0};
  PeerDiag dropped_{"SMS server"};
  tSmsList clients_;  // last: its loop uses everything above
};

}  // namespace orv
