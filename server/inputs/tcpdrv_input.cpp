#include "server/inputs/tcpdrv_input.h"

#include <algorithm>
#include <cstdio>

#include "common/diag.h"
#include "common/hex_record.h"
#include "common/local_time.h"
#include "common/ticks.h"
#include "server/outputs/output_line.h"
#include "server/outputs/output_list.h"

namespace orv {
namespace {

// How long a line may take before the connection shows a receive time-out.
constexpr uint32_t kReceiveWaitMs = 1000;

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

TTCPEchoThrd1::TTCPEchoThrd1(TListThrd1& input) : input_(input), lastLineAt_(ticks()) {}

TTCPEchoThrd1::Row TTCPEchoThrd1::row() const {
  std::lock_guard lock(rowLock_);
  return Row{peerAddress(), messageCount_, lastLine_, lastError_};
}

void TTCPEchoThrd1::setLastError(int error) {
  std::lock_guard lock(rowLock_);
  if (error == lastError_) return;
  lastError_ = error;
  if (input_.outputsChanged_) input_.outputsChanged_->store(1, std::memory_order_relaxed);
}

size_t TTCPEchoThrd1::onInput(std::string_view unread, size_t fresh) {
  lines_.clear();
  const size_t used =
      forEachLine(unread, fresh, "\r\n", [&](std::string_view line) { lines_.push_back(line); });
  if (lines_.empty()) return 0;
  lastLineAt_ = ticks();
  setLastError(0);
  // One answer byte per line that begins with "5", in line order, all of this read's in one
  // write once the last accepted line is stored.
  std::string answers;
  uint64_t ticket = 0;
  for (std::string_view line : lines_) {
    if (line.empty() || line[0] != '5') continue;
    std::optional<uint64_t> queued = accept(line);
    answers += queued ? kAck : kNak;
    if (queued) ticket = std::max(ticket, *queued);
  }
  sendWhenStored(answers, ticket);
  return used;
}

void TTCPEchoThrd1::onTick(uint32_t now) {
  const uint32_t silent = now - lastLineAt_;
  if (silent > input_.settings_.lifeTimeMs) {
    setLastError(kWsaTimedOut);
    close(kWsaTimedOut);
  } else if (silent >= kReceiveWaitMs) {
    setLastError(kWsaTimedOut);  // no line within a receive wait
  }
}

void TTCPEchoThrd1::onClosed(int error) {
  setLastError(error);
}

std::optional<uint64_t> TTCPEchoThrd1::accept(std::string_view line) {
  metrics().received.fetch_add(1, std::memory_order_relaxed);
  if (!tcpDrvChecksumOk(line)) {
    metrics().rejected.fetch_add(1, std::memory_order_relaxed);
    input_.refused_("%s: line refused (NAK), %s: %.*s", peerAddress().c_str(),
                    line.find('*') == std::string_view::npos ? "no checksum" : "wrong checksum",
                    static_cast<int>(std::min<size_t>(line.size(), 200)), line.data());
    return std::nullopt;
  }
  markEstablished();

  std::string normalised(line);
  if (normalised.size() >= 4) normalised[3] = '2';
  normalised = withTcpDrvChecksum(normalised);
  input_.log_.append(logTimeStamp() + " " + normalised);

  // The dispatched line carries the line digit, and a checksum that matches it.
  std::string dispatched = normalised;
  setLineDigit(dispatched, lineDigit(input_.settings_.line));
  dispatched = withTcpDrvChecksum(dispatched);
  uint64_t ticket = 0;
  if (input_.outputs_) {
    ticket =
        input_.outputs_->pushLine(dispatched, EventKeys::line(EventSource::TcpDrv, dispatched));
  }
  {
    std::lock_guard lock(rowLock_);
    lastLine_ = std::move(dispatched);
    ++messageCount_;
  }
  if (input_.outputsChanged_) input_.outputsChanged_->store(1, std::memory_order_relaxed);
  return ticket;
}

// --- listener ------------------------------------------------------------------------------

TListThrd1::TListThrd1(TcpDrvSettings settings, tOList* outputs,
                       std::atomic<uint8_t>* outputsChanged)
    : settings_(std::move(settings)),
      outputs_(outputs),
      outputsChanged_(outputsChanged),
      log_(settings_.logDir),
      hosts_("TcpDrv input", kMaxConnections, LineSocket::kMaxLine + 2) {
  // The loop writes the log entries of each round of events at once.
  log_.setHeld(true);
  hosts_.setAdmission(std::move(settings_.admission));
  hosts_.start(
      settings_.port, [this](const LineSocket&) { return std::make_unique<TTCPEchoThrd1>(*this); },
      [this] { log_.flush(); }, outputs_ ? outputs_->durability() : nullptr);
}

TListThrd1::~TListThrd1() {
  stop();
}

std::vector<TTCPEchoThrd1::Row> TListThrd1::rows() const {
  std::vector<TTCPEchoThrd1::Row> out;
  hosts_.forEach([&](const TTCPEchoThrd1& c) { out.push_back(c.row()); });
  return out;
}

}  // namespace orv
