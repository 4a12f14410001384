#include "server/outputs/output_server.h"

#include <poll.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <limits>

#include "common/beep.h"
#include "common/diag.h"
#include "common/local_time.h"
#include "common/ticks.h"
#include "server/outputs/output_list.h"

namespace orv {
namespace {

constexpr const char* kBanner = "IP-Server V0.0\r\n";
constexpr const char* kChannelFound = "1011      0000 R  51\r\n";
constexpr const char* kChannelMissing = "1011      0000 T  51\r\n";
constexpr int kReplyWaitMs = 5000;
constexpr int kMissingPauseMs = 1000;
constexpr uint32_t kHeartbeatAfterMs = 30000;
constexpr int kAcceptWaitMs = 1000;

std::optional<int> parseDecimal(std::string_view s) {
  int v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

}  // namespace

std::optional<ClientCommand> parseClientCommand(std::string_view reply) {
  if (reply.size() < 2) return std::nullopt;
  std::string_view rest = reply.substr(1);
  size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return std::nullopt;  // no module named
  std::string_view first = rest.substr(0, colon);
  rest.remove_prefix(colon + 1);
  ClientCommand c;
  size_t second = rest.find(':');
  if (second != std::string_view::npos) {
    std::optional<int> line = parseDecimal(first);
    if (!line) return std::nullopt;
    c.line = *line;
    c.moduleId = std::string(rest.substr(0, second));
    c.command = std::string(rest.substr(second + 1));
  } else {
    c.moduleId = std::string(first);
    c.command = std::string(rest);
  }
  if (c.command.empty()) return std::nullopt;
  return c;
}

std::optional<std::string> normaliseAddress(std::string_view text) {
  int parts[4];
  for (int i = 0; i < 4; ++i) {
    size_t dot = i < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    std::optional<int> v = parseDecimal(text.substr(0, dot));
    if (!v || *v < 0) return std::nullopt;
    parts[i] = *v % 256;
    text.remove_prefix(std::min(text.size(), dot + 1));
    if (i < 3 && text.empty()) return std::nullopt;
  }
  return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
         std::to_string(parts[2]) + "." + std::to_string(parts[3]);
}

// --- client --------------------------------------------------------------------------------

TSOutThrd::TSOutThrd(TOListThrd& server, LineSocket socket)
    : server_(server), socket_(std::move(socket)), peer_(socket_.peerAddress()) {
  socket_.setCancelFd(cancel_.fd());
  thread_ = std::thread([this] { run(); });
}

TSOutThrd::~TSOutThrd() {
  requestStop();
  join();
}

bool TSOutThrd::evict() {
  int fresh = kNew;
  if (finished() || !state_.compare_exchange_strong(fresh, kEvicted)) return false;
  requestStop();
  return true;
}

void TSOutThrd::join() {
  if (thread_.joinable()) thread_.join();
}

void TSOutThrd::log(const char* what) {
  server_.log_.append(logTimeStamp() + " " + what + " " + channel_ + " " + socket_.peerAddress());
}

void TSOutThrd::command(std::string_view reply) {
  std::optional<ClientCommand> c = parseClientCommand(reply);
  if (c && server_.router_) server_.router_(c->line, c->moduleId, c->command);
}

void TSOutThrd::run() {
  const std::string& peer = peer_;
  // A client that names nothing within the wait gets the empty name; one that is gone (or
  // sent too much) gets nothing.
  const uint32_t nameWaitMs = server_.admission_.firstExchangeMs();
  int named = socket_.send(kBanner);
  if (named == 0) {
    named = socket_.receiveLine(channel_, LineEnd::CrLf,
                                nameWaitMs == 0 ? std::numeric_limits<int>::max()
                                                : static_cast<int>(nameWaitMs));
  }
  if (named == kWsaTimedOut && !cancel_.isSet()) server_.admission_.timedOut(peer);
  tOItem* item = nullptr;
  bool evicted = false;
  if ((named == 0 || named == kWsaTimedOut) && !cancel_.isSet()) {
    item = server_.outputs_.find(channel_);
    int fresh = kNew;
    evicted = item != nullptr && !state_.compare_exchange_strong(fresh, kEstablished);
  }
  if ((named == 0 || named == kWsaTimedOut) && !cancel_.isSet() && !evicted) {
    log("Open");
    if (item == nullptr) {
      cancel_.waitMs(kMissingPauseMs);
      socket_.send(kChannelMissing);
      diagf("output client %s: no channel '%s'", peer.c_str(), channel_.c_str());
    } else {
      std::string reply;
      socket_.send(kChannelFound);
      socket_.receiveLine(reply, LineEnd::CrLf, kReplyWaitMs);
      item->clientCount.fetch_add(1);
      if (server_.outputsChanged_) server_.outputsChanged_->store(1);
      item->addWaker(wake_.fd());
      serve(*item);
      item->removeWaker(wake_.fd());
      uint8_t n = item->clientCount.load();
      while (n > 0 && !item->clientCount.compare_exchange_weak(n, static_cast<uint8_t>(n - 1))) {
      }
      if (server_.outputsChanged_) server_.outputsChanged_->store(1);
      log("Close");
    }
  }
  socket_.close();
  server_.admission_.release(peer);
  finished_.store(true);
}

void TSOutThrd::serve(tOItem& item) {
  const int64_t intervalMs = static_cast<int64_t>(server_.settings_.syncPMinutes) * 60000;
  uint32_t idleSince = ticks();
  // Steady time, not 32-bit ticks: SyncP may be longer than half the tick counter's range.
  using Clock = std::chrono::steady_clock;
  Clock::time_point nextSync = Clock::now() + std::chrono::milliseconds(std::max<int64_t>(intervalMs, 0));
  std::string reply;
  int err = 0;
  while (err == 0 && !cancel_.isSet()) {
    uint32_t now = ticks();
    if (intervalMs > 0 && Clock::now() >= nextSync) {
      nextSync = Clock::now() + std::chrono::milliseconds(intervalMs);
      // A slow answer to the time sync does not end the connection.
      if (socket_.send("systime" + formatDayNumber(dayNumberNow()) + "\r\n") == 0) {
        socket_.receiveLine(reply, LineEnd::CrLf, kReplyWaitMs);
      }
      if (!socket_.isOpen()) break;
    }
    if (std::optional<tOItem::QueuedLine> line = item.peekLine()) {
      idleSince = now;
      err = socket_.send(line->text + "\r\n", kReplyWaitMs);
      if (err == 0) err = socket_.receiveLine(reply, LineEnd::CrLf, kReplyWaitMs);
      if (err == 0 && !reply.empty()) {
        item.removeIfOldest(line->seq);
        if (reply.size() > 1) command(reply);
      }
      continue;  // the next line goes out at once
    }
    if (ticksSince(idleSince, now) <= kHeartbeatAfterMs) {
      // Nothing to send: wait for a push, a line from the client, the heartbeat or the sync.
      uint32_t waitMs = kHeartbeatAfterMs - ticksSince(idleSince, now) + 1;
      if (intervalMs > 0) {
        const int64_t untilSync =
            std::chrono::ceil<std::chrono::milliseconds>(nextSync - Clock::now()).count();
        waitMs = static_cast<uint32_t>(std::clamp<int64_t>(untilSync, 0, waitMs));
      }
      if (socket_.bufferedBytes() > 0) {
        // A whole line may be buffered already; a part of one waits for the rest below.
        int r = socket_.receiveLine(reply, LineEnd::CrLf, 0);
        if (r == 0 && reply.size() > 1) command(reply);
        if (r != kWsaTimedOut) {
          if (r != 0) err = r;
          continue;
        }
      }
      {
        pollfd p[3] = {
            {socket_.fd(), POLLIN, 0}, {wake_.fd(), POLLIN, 0}, {cancel_.fd(), POLLIN, 0}};
        if (::poll(p, 3, static_cast<int>(waitMs)) <= 0) continue;
        if (p[1].revents & POLLIN) {
          uint64_t drained;
          ssize_t r = ::read(wake_.fd(), &drained, sizeof drained);
          (void)r;
        }
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      }
      int r = socket_.receiveLine(reply, LineEnd::CrLf, 0);
      if (r == 0 && reply.size() > 1) command(reply);
      if (r != 0 && r != kWsaTimedOut) err = r;
      continue;
    }
    idleSince = now;
    if (!channel_.empty()) {
      err = socket_.send("@\r\n", kReplyWaitMs);
      if (err == 0) err = socket_.receiveLine(reply, LineEnd::CrLf, kReplyWaitMs);
      if (err == 0 && reply.size() > 1) command(reply);
    }
  }
  if (err != 0 && err != kWsaInterrupted) {
    diagf("output client %s on '%s': %s; connection closed", socket_.peerAddress().c_str(),
          channel_.c_str(), describeSocketError(err).c_str());
  }
}

// --- listener ------------------------------------------------------------------------------

TOListThrd::TOListThrd(OutputServerSettings settings, tOList& outputs, CommandRouter router,
                       std::atomic<uint8_t>* outputsChanged)
    : settings_(std::move(settings)),
      outputs_(outputs),
      router_(std::move(router)),
      outputsChanged_(outputsChanged),
      log_(settings_.logDir),
      admission_("output server", std::move(settings_.admission)) {
  for (const std::string& a : settings_.clientList) {
    if (std::optional<std::string> n = normaliseAddress(a))
      admittedAddresses_.push_back(*n);
    else
      diagf("[CList] '%s' is no IPv4 address; ignored", a.c_str());
  }
  listener_.setCancelFd(cancel_.fd());
  if (listener_.listen(settings_.port, "output server") == 0) {
    port_ = listener_.localPort();
    diagf("output server listening on port %u", port_);
    thread_ = std::thread([this] { run(); });
  }
}

TOListThrd::~TOListThrd() {
  stop();
}

bool TOListThrd::admitted(const std::string& peer) const {
  if (settings_.clientList.empty()) return true;
  std::optional<std::string> p = normaliseAddress(peer);
  for (const std::string& a : admittedAddresses_) {
    if (p && a == *p) return true;
  }
  return false;
}

size_t TOListThrd::clientCount() const {
  std::lock_guard lock(hostsLock_);
  size_t n = 0;
  for (const auto& h : hosts_) n += h->finished() ? 0 : 1;
  return n;
}

bool TOListThrd::makeRoom() {
  size_t live = 0;
  for (const auto& h : hosts_) live += h->finished() || h->evicting() ? 0 : 1;
  if (live < kMaxClients) return true;
  // The oldest that has not named a channel makes room; its thread ends within its wait.
  for (const auto& h : hosts_) {
    if (h->evict()) {
      admission_.evicted(h->peer());
      return true;
    }
  }
  return false;
}

void TOListThrd::reap() {
  std::vector<std::unique_ptr<TSOutThrd>> done;
  {
    std::lock_guard lock(hostsLock_);
    for (auto it = hosts_.begin(); it != hosts_.end();) {
      if ((*it)->finished()) {
        done.push_back(std::move(*it));
        it = hosts_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Joined outside the lock; they have finished, so this does not wait.
}

void TOListThrd::run() {
  while (!cancel_.isSet()) {
    reap();
    if (!listener_.waitForConnection(kAcceptWaitMs)) continue;
    LineSocket client;
    if (listener_.accept(client) != 0) continue;
    // A refused client is closed without a word.
    const std::string peer = client.peerAddress();
    if (!admitted(peer)) {
      admission_.refusedNotListed(peer, "[CList]");
      continue;
    }
    if (!admission_.admit(peer)) continue;
    reap();  // clients that ended since the last round leave room
    std::lock_guard lock(hostsLock_);
    if (!makeRoom()) {
      admission_.release(peer);
      admission_.refusedFull(peer, kMaxClients);
      continue;
    }
    beep(5000, 100, "output client " + peer + " connected");
    hosts_.push_back(std::make_unique<TSOutThrd>(*this, std::move(client)));
  }
}

void TOListThrd::stop() {
  cancel_.set();
  if (thread_.joinable()) thread_.join();
  listener_.close();
  std::vector<std::unique_ptr<TSOutThrd>> hosts;
  {
    std::lock_guard lock(hostsLock_);
    hosts.swap(hosts_);
  }
  for (auto it = hosts.rbegin(); it != hosts.rend(); ++it) (*it)->requestStop();
  for (auto it = hosts.rbegin(); it != hosts.rend(); ++it) (*it)->join();
}

}  // namespace orv
