#include "server/outputs/sms_server.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "common/local_time.h"
#include "common/socket_error.h"
#include "common/ten_day_log.h"
#include "common/ticks.h"

namespace orv {
namespace {

// How much of a dropped text a diagnostic line shows.
constexpr int kDiagTextMax = 200;

std::string closeReason(int error) {
  switch (error) {
    case kWsaConnReset:
      return "Connection closed by peer";
    case kWsaTimedOut:
      return "Timed out";
    case kWsaInterrupted:
      return "Server stopped";
    case kErrLineTooLong:
      return "Line too long";
    default:
      return describeSocketError(error);
  }
}

}  // namespace

std::string smsCounterText(size_t n) {
  return "SMS " + std::to_string(n);
}

std::string smsLogFileName(int month, int day) {
  char name[32];
  std::snprintf(name, sizeof name, "%02d_%02d.log", day, month);
  return name;
}

// --- time limits ---------------------------------------------------------------------------

void SmsClientTimer::lineCame(uint32_t now) {
  awaitingGreeting_ = false;
  since_ = now;
}

bool SmsClientTimer::timedOut(uint32_t now) {
  if (awaitingGreeting_) {
    // No greeting in time: the texts may come all the same, and the silence counts from here.
    if (ticksSince(since_, now) >= greetingWaitMs_) lineCame(now);
    return false;
  }
  return ticksSince(since_, now) >= idleLimitMs_;
}

// --- connection ----------------------------------------------------------------------------

TSMSThrd::TSMSThrd(TSmsListThrd& server, const LineSocket& peer)
    : server_(server),
      timer_(server.settings_.greetingWaitMs, server.settings_.idleLimitMs, ticks()) {
  server_.countBy(+1);
  server_.log("Connected");
  server_.log("-> " + std::string(kBanner));
  // The connection is not served yet, so the banner goes straight to the fresh socket; its send
  // buffer is empty and takes it whole. Whatever it did not take follows at the first tick.
  std::string banner = std::string(kBanner) + "\r\n";
  ssize_t n;
  do {
    n = ::send(peer.fd(), banner.data(), banner.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  // A failed send is seen again as the connection's first receive error.
  if (n > 0) banner.erase(0, static_cast<size_t>(n));
  unsentBanner_ = std::move(banner);
}

TSMSThrd::~TSMSThrd() {
  // A connection the loop could not take is freed without onClosed(): its log still ends.
  if (!ended_) server_.log("Disconnected");
  server_.countBy(-1);
}

void TSMSThrd::sendUnsentBanner() {
  if (unsentBanner_.empty()) return;
  send(unsentBanner_);  // ahead of every answer
  unsentBanner_.clear();
}

size_t TSMSThrd::onInput(std::string_view unread, size_t fresh) {
  sendUnsentBanner();
  return forEachLine(unread, fresh, "\r\n", [&](std::string_view text) {
    if (!closed()) line(text);
  });
}

void TSMSThrd::line(std::string_view text) {
  if (timer_.awaitingGreeting()) {
    markEstablished();
    timer_.lineCame(ticks());
    server_.log("<-" + std::string(text));
    return;
  }
  if (text.empty()) return;
  metrics().received.fetch_add(1, std::memory_order_relaxed);
  timer_.lineCame(ticks());
  std::string owned(text);
  server_.log("<-" + owned);
  if (owned.front() != '@') {
    const size_t taken = server_.handOff_ ? server_.handOff_(owned) : 0;
    if (taken == 0) {
      server_.log("dropped, no GSM receiver on the first line: " + owned);
      server_.dropped_(
          "%s:%u: text dropped, no GSM receiver on the first line: %.*s", peerAddress().c_str(),
          peerPort(), static_cast<int>(std::min<size_t>(owned.size(), kDiagTextMax)), owned.data());
    }
  }
  server_.log("->0");
  send("0\r\n");
}

void TSMSThrd::onTick(uint32_t now) {
  sendUnsentBanner();
  if (timer_.timedOut(now)) close(kWsaTimedOut);
}

void TSMSThrd::onClosed(int error) {
  ended_ = true;
  server_.log(closeReason(error));
  server_.log("Disconnected");
}

// --- listener ------------------------------------------------------------------------------

TSmsListThrd::TSmsListThrd(SmsSettings settings, SmsHandOff handOff,
                           std::atomic<uint8_t>* countChanged)
    : settings_(std::move(settings)),
      handOff_(std::move(handOff)),
      countChanged_(countChanged),
      clients_("SMS server", kMaxClients, kMaxUnread) {
  clients_.setAdmission(std::move(settings_.admission));
  clients_.start(settings_.port, [this](const LineSocket& peer) {
    return std::make_unique<TSMSThrd>(*this, peer);
  });
}

TSmsListThrd::~TSmsListThrd() {
  stop();
}

void TSmsListThrd::log(std::string_view text) const {
  if (settings_.logDir.empty()) return;
  const LocalDateTime now = WallClock::localNow();
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d ", now.hour, now.minute, now.second);
  std::string entry(stamp);
  entry.append(text);
  appendLogEntry(settings_.logDir / smsLogFileName(now.month, now.day), entry);
}

void TSmsListThrd::countBy(int delta) {
  if (delta > 0) {
    count_.fetch_add(1, std::memory_order_relaxed);
  } else {
    count_.fetch_sub(1, std::memory_order_relaxed);
  }
  if (countChanged_) countChanged_->store(1, std::memory_order_relaxed);
}

}  // namespace orv
