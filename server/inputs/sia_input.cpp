#include "server/inputs/sia_input.h"

#include <cstdio>
#include <ctime>

#include "common/local_time.h"
#include "common/ticks.h"
#include "server/inputs/sia_frame.h"
#include "server/outputs/output_line.h"
#include "server/outputs/output_list.h"

namespace orv {

TSIAEchoThrd::TSIAEchoThrd(TSIAListThrd& input, int64_t id)
    : input_(input), id_(id), lastFrameAt_(ticks()) {}

TSIAEchoThrd::Row TSIAEchoThrd::row() const {
  std::lock_guard lock(rowLock_);
  return Row{peerAddress(), id_, messageCount_, current_};
}

void TSIAEchoThrd::setCurrent(std::string text, bool dispatched) {
  std::lock_guard lock(rowLock_);
  current_ = std::move(text);
  if (dispatched) ++messageCount_;
}

size_t TSIAEchoThrd::onInput(std::string_view unread, size_t fresh) {
  return forEachLine(unread, fresh, "\r", [&](std::string_view piece) { takePiece(piece); });
}

void TSIAEchoThrd::takePiece(std::string_view piece) {
  if (closed()) return;
  switch (joiner_.take(piece, ticks())) {
    case SiaFrameJoiner::Result::Waiting:
      return;
    case SiaFrameJoiner::Result::TooLong:
      close(kErrLineTooLong);
      return;
    case SiaFrameJoiner::Result::Frame:
      break;
  }
  const std::string& frame = joiner_.frame();
  lastFrameAt_ = ticks();
  rx_ += static_cast<int64_t>(frame.size()) + 2;
  handle(frame);
}

void TSIAEchoThrd::onTick(uint32_t now) {
  joiner_.tick(now);
  if (now - lastFrameAt_ > input_.settings_.lifeTimeMs) close(kWsaTimedOut);
}

void TSIAEchoThrd::onClosed(int error) {
  LocalDateTime now = WallClock::localNow();
  char close[160];
  std::snprintf(close, sizeof close, "%02d:%02d:%02d Close Id=%lld Rx=%lld Tx=%lld Le=%d", now.hour,
                now.minute, now.second, static_cast<long long>(id_), static_cast<long long>(rx_),
                static_cast<long long>(tx_), error);
  input_.log_.append(logTimeStamp() + " " + close);
  input_.log_.flush();  // on file before the transmitter sees the connection end
  setCurrent(close, false);
  input_.flag();
}

void TSIAEchoThrd::handle(const std::string& frame) {
  setCurrent(frame, false);
  input_.flag();
  input_.log_.append(logTimeStamp() + " " + frame);

  metrics().received.fetch_add(1, std::memory_order_relaxed);
  std::optional<SiaFrame> f = readJoinedSiaFrame(frame);
  if (!f || !f->crcOk) {
    metrics().rejected.fetch_add(1, std::memory_order_relaxed);
    return;  // no answer: the transmitter's retry decides
  }
  markEstablished();
  SiaVerdict v = input_.receiver_.judge(*f, std::time(nullptr));
  if (!v.note.empty()) input_.log_.append(logTimeStamp() + " " + v.note);
  if (v.answer.empty()) return;  // not a DC-09 message: nothing to acknowledge
  tx_ += static_cast<int64_t>(v.answer.size());
  if (!v.line) {
    send(v.answer);  // "DUH" or "NAK": the transmitter knows nobody took it
    return;
  }
  sendWhenStored(v.answer, input_.push(*v.line));  // the ACK says the event is stored
  setCurrent(*v.line, true);
  input_.flag();
}

TSIAListThrd::TSIAListThrd(SiaSettings settings, tOList* outputs,
                           std::atomic<uint8_t>* outputsChanged, std::atomic<uint8_t>* viewChanged)
    : settings_(std::move(settings)),
      outputs_(outputs),
      outputsChanged_(outputsChanged),
      viewChanged_(viewChanged),
      log_(settings_.logDir),
      receiver_(settings_.line, std::move(settings_.keys), settings_.window),
      hosts_("SIA receiver", kMaxConnections, LineSocket::kMaxLine + 1) {
  // The loop writes the log entries of each round of events at once.
  log_.setHeld(true);
  hosts_.setAdmission(settings_.admission);
  hosts_.start(
      settings_.port,
      [this](const LineSocket&) { return std::make_unique<TSIAEchoThrd>(*this, ++nextId_); },
      [this] { log_.flush(); }, outputs_ ? outputs_->durability() : nullptr);
  if (settings_.udp && hosts_.listening()) {
    datagrams_ = std::make_unique<SiaDatagrams>(
        receiver_, log_, outputs_ ? outputs_->durability() : nullptr,
        [this](const std::string& line) { return push(line); }, [this] { flag(); });
    datagrams_->start(hosts_.port(), settings_.admission);
  }
}

void TSIAListThrd::stop() {
  hosts_.stop();
  if (datagrams_) datagrams_->stop();
}

uint64_t TSIAListThrd::push(const std::string& line) {
  return outputs_ ? outputs_->pushLine(line, EventKeys::line(EventSource::Sia, line)) : 0;
}

void TSIAListThrd::flag() {
  if (outputsChanged_) outputsChanged_->store(1, std::memory_order_relaxed);
  if (viewChanged_) viewChanged_->store(1, std::memory_order_relaxed);
}

std::vector<TSIAEchoThrd::Row> TSIAListThrd::rows() const {
  std::vector<TSIAEchoThrd::Row> out;
  hosts_.forEach([&](const TSIAEchoThrd& c) { out.push_back(c.row()); });
  return out;
}

}  // namespace orv
