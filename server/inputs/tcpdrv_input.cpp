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
      log_(settings_.logDir),
      hosts_("TcpDrv input", kMaxConnections) {
  hosts_.start(settings_.port, [this](LineSocket&& socket) {
    return std::make_unique<TTCPEchoThrd1>(*this, std::move(socket));
  });
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
