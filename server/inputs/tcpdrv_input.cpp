#include "server/inputs/tcpdrv_input.h"

#include <cstdio>

#include "common/diag.h"
#include "common/hex_record.h"
#include "common/local_time.h"
#include "common/ticks.h"
#include "server/outputs/output_line.h"
#include "server/outputs/output_list.h"

namespace orv {
namespace {

constexpr int kReceiveWaitMs = 1000;
constexpr int kAcceptWaitMs = 1000;

uint8_t xorBefore(std::string_view text) {
  uint8_t x = 0;
  for (char c : text) x ^= static_cast<uint8_t>(c);
  return x;
}

}  // namespace

bool tcpDrvChecksumOk(std::string_view line) {
  size_t star = line.find('*');
  if (star == std::string_view::npos) return false;
  std::optional<uint32_t> sum = parseHex(line.substr(star + 1, 2));
  return sum && (*sum & 0xFF) == xorBefore(line.substr(0, star));
}

std::string withTcpDrvChecksum(std::string_view line) {
  size_t star = line.find('*');
  std::string_view text = line.substr(0, star);
  char sum[4];
  std::snprintf(sum, sizeof sum, "%2.2X", xorBefore(text));
  return std::string(text) + "*" + sum;
}

// --- connection ----------------------------------------------------------------------------

TTCPEchoThrd1::TTCPEchoThrd1(TListThrd1& input, LineSocket socket)
    : input_(input), socket_(std::move(socket)) {
  socket_.setCancelFd(cancel_.fd());
  thread_ = std::thread([this] { run(); });
}

TTCPEchoThrd1::~TTCPEchoThrd1() {
  requestStop();
  join();
}

void TTCPEchoThrd1::join() {
  if (thread_.joinable()) thread_.join();
}

TTCPEchoThrd1::Row TTCPEchoThrd1::row() const {
  std::lock_guard lock(rowLock_);
  return Row{socket_.peerAddress(), messageCount_, lastLine_, lastError_};
}

void TTCPEchoThrd1::accept(const std::string& line) {
  // The sender is released before any check.
  socket_.send(std::string_view(&kAck, 1));
  if (!tcpDrvChecksumOk(line)) return;

  std::string normalised = line;
  if (normalised.size() >= 4) normalised[3] = '2';
  normalised = withTcpDrvChecksum(normalised);
  input_.log_.append(logTimeStamp() + " " + normalised);

  // The dispatched line carries the line digit, and a checksum that matches it.
  std::string dispatched = normalised;
  setLineDigit(dispatched, lineDigit(input_.settings_.line));
  dispatched = withTcpDrvChecksum(dispatched);
  if (input_.outputs_) {
    input_.outputs_->pushLine(dispatched, EventKeys::line(EventSource::TcpDrv, dispatched));
  }
  {
    std::lock_guard lock(rowLock_);
    lastLine_ = dispatched;
    ++messageCount_;
  }
  if (input_.outputsChanged_) input_.outputsChanged_->store(1, std::memory_order_relaxed);
}

void TTCPEchoThrd1::run() {
  uint32_t lastActivity = ticks();
  std::string line;
  for (;;) {
    int err = socket_.receiveLine(line, LineEnd::CrLf, kReceiveWaitMs);
    if (err == 0) {
      lastActivity = ticks();
      if (!line.empty() && line[0] == '5') accept(line);
    } else if (ticksSince(lastActivity) > input_.settings_.lifeTimeMs) {
      err = kWsaTimedOut;
      std::lock_guard lock(rowLock_);
      lastError_ = err;
      break;
    }
    {
      std::lock_guard lock(rowLock_);
      if (err != lastError_) {
        lastError_ = err;
        if (input_.outputsChanged_) input_.outputsChanged_->store(1, std::memory_order_relaxed);
      }
    }
    if (cancel_.isSet()) break;
    if (err != 0 && err != kWsaTimedOut) break;
  }
  socket_.close();
  finished_.store(true);
}

// --- listener ------------------------------------------------------------------------------

TListThrd1::TListThrd1(TcpDrvSettings settings, tOList* outputs,
                       std::atomic<uint8_t>* outputsChanged)
    : settings_(std::move(settings)),
      outputs_(outputs),
      outputsChanged_(outputsChanged),
      log_(settings_.logDir) {
  listener_.setCancelFd(cancel_.fd());
  if (listener_.listen(settings_.port, "TcpDrv input") == 0) {
    port_ = listener_.localPort();
    diagf("TcpDrv input listening on port %u, line %u", port_, settings_.line);
    thread_ = std::thread([this] { run(); });
  }
}

TListThrd1::~TListThrd1() { stop(); }

size_t TListThrd1::connectionCount() const {
  std::lock_guard lock(hostsLock_);
  size_t n = 0;
  for (const auto& h : hosts_) n += h->finished() ? 0 : 1;
  return n;
}

std::vector<TTCPEchoThrd1::Row> TListThrd1::rows() const {
  std::lock_guard lock(hostsLock_);
  std::vector<TTCPEchoThrd1::Row> out;
  for (const auto& h : hosts_) {
    if (!h->finished()) out.push_back(h->row());
  }
  return out;
}

void TListThrd1::reap() {
  std::vector<std::unique_ptr<TTCPEchoThrd1>> done;
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

void TListThrd1::run() {
  while (!cancel_.isSet()) {
    reap();
    if (!listener_.waitForConnection(kAcceptWaitMs)) continue;
    LineSocket connection;
    if (listener_.accept(connection) != 0) continue;
    std::lock_guard lock(hostsLock_);
    if (hosts_.size() >= kMaxConnections) {
      diagf("TcpDrv sender %s refused: %zu connections already",
            connection.peerAddress().c_str(), kMaxConnections);
      continue;
    }
    hosts_.push_back(std::make_unique<TTCPEchoThrd1>(*this, std::move(connection)));
  }
}

void TListThrd1::stop() {
  std::vector<std::unique_ptr<TTCPEchoThrd1>> hosts;
  {
    std::lock_guard lock(hostsLock_);
    for (auto& h : hosts_) h->requestStop();
  }
  cancel_.set();
  if (thread_.joinable()) thread_.join();
  listener_.close();
  {
    std::lock_guard lock(hostsLock_);
    hosts.swap(hosts_);
  }
  for (auto it = hosts.rbegin(); it != hosts.rend(); ++it) (*it)->join();
}

}  // namespace orv
