#include "server/inputs/sia_datagrams.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/local_time.h"
#include "common/service_notify.h"
#include "common/ticks.h"

namespace orv {
namespace {

constexpr size_t kBatch = 32;
constexpr int kTickMs = 100;
constexpr int kReceiveBuffer = 4 << 20;

std::string addressOf(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return text;
}

}  // namespace

SiaDatagrams::SiaDatagrams(const SiaReceiver& receiver, TenDayLog& log, Durability* durability,
                           Push push, std::function<void()> changed)
    : receiver_(receiver),
      log_(log),
      durable_("SIA receiver (UDP)", durability),
      push_(std::move(push)),
      changed_(std::move(changed)) {}

bool SiaDatagrams::start(uint16_t port, AdmissionRules rules) {
  allow_ = rules.allow;
  admission_.emplace("SIA receiver (UDP)", std::move(rules));
  socket_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int one = 1;
  ::setsockopt(socket_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Room for a burst of transmitters while the thread waits on the disk.
  ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(port);
  if (!socket_ || ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    const std::string text =
        "SIA receiver: cannot bind UDP port " + std::to_string(port) + ": " + std::strerror(errno);
    diag(text);
    recordListenFailure(text);
    socket_.reset();
    return false;
  }
  buffers_.assign(kBatch * (kMaxDatagram + 1), '\0');
  metricsSource_ = MetricsSource([this](MetricsSink& sink) {
    const MetricLabels input = {{"input", "SIA receiver (UDP)"}};
    reportInputMetrics(sink, input, metrics_);
    reportAdmission(sink, input, admission_->counters());
  });
  thread_ = std::thread([this] { run(); });
  diagf("SIA receiver listening on UDP port %u", port);
  return true;
}

void SiaDatagrams::stop() {
  stop_.set();
  if (thread_.joinable()) thread_.join();
}

void SiaDatagrams::run() {
  while (!stop_.isSet()) {
    pollfd fds[3] = {
        {socket_.get(), POLLIN, 0}, {stop_.fd(), POLLIN, 0}, {durable_.fd(), POLLIN, 0}};
    const int n = ::poll(fds, durable_.fd() >= 0 ? 3 : 2, kTickMs);
    if (n < 0 && errno != EINTR) break;
    if (fds[1].revents != 0) break;
    if (fds[2].revents != 0) durable_.update(!held_.empty());
    if (fds[0].revents != 0) receiveBatch();
    log_.flush();
    // Also after every wait: a store that moved on just before the descriptor was emptied
    // must not leave a transmitter waiting for the next datagram.
    releaseStored();
  }
  log_.flush();
}

void SiaDatagrams::receiveBatch() {
  mmsghdr messages[kBatch];
  iovec pieces[kBatch];
  sockaddr_in from[kBatch];
  for (size_t i = 0; i < kBatch; ++i) {
    pieces[i] = {buffers_.data() + i * (kMaxDatagram + 1), kMaxDatagram + 1};
    messages[i] = {};
    messages[i].msg_hdr.msg_iov = &pieces[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_name = &from[i];
    messages[i].msg_hdr.msg_namelen = sizeof from[i];
  }
  const int n = ::recvmmsg(socket_.get(), messages, kBatch, MSG_DONTWAIT, nullptr);
  receivedUs_ = steadyMicros();
  for (int i = 0; i < n; ++i) {
    const size_t length = messages[i].msg_len;
    const bool truncated =
        (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0 || length > kMaxDatagram;
    take(std::string_view(static_cast<const char*>(pieces[i].iov_base),
                          std::min(length, kMaxDatagram)),
         truncated, from[i]);
  }
}

void SiaDatagrams::take(std::string_view datagram, bool truncated, const sockaddr_in& from) {
  datagrams_.fetch_add(1, std::memory_order_relaxed);
  metrics_.received.fetch_add(1, std::memory_order_relaxed);
  const std::string address = addressOf(from);
  if (!allow_.admits(address)) {
    admission_->refusedNotListed(address, "its Allow list");
    return;
  }
  if (truncated) {
    peerDiag_("%s: a datagram of more than %zu bytes; dropped", address.c_str(), kMaxDatagram);
    return;
  }
  if (held_.size() >= kMaxHeld) {
    peerDiag_("%s: a datagram left unanswered: %zu answers wait for their events to be stored",
              address.c_str(), held_.size());
    return;
  }
  if (!datagram.empty() && datagram.back() == '\r') datagram.remove_suffix(1);
  log_.append(logTimeStamp() + " " + std::string(datagram));
  std::optional<SiaFrame> frame = readSiaFrame(datagram);
  if (!frame || !frame->crcOk) {
    metrics_.rejected.fetch_add(1, std::memory_order_relaxed);
    return;  // no answer: the transmitter's retry decides
  }
  SiaVerdict v = receiver_.judge(*frame, std::time(nullptr));
  if (!v.note.empty()) log_.append(logTimeStamp() + " " + v.note);
  if (v.answer.empty()) return;
  uint64_t ticket = 0;
  if (v.line) {
    const uint32_t now = ticks();
    if (std::optional<uint64_t> earlier = repeats_.repeatOf(v.header, *v.line, now)) {
      ticket = *earlier;  // answered again once the first copy is stored; queued once
      log_.append(logTimeStamp() + " repeat of " + v.header + ": answered again, not queued");
    } else {
      ticket = push_(*v.line);
      repeats_.remember(v.header, *v.line, ticket, now);
      changed_();
    }
  }
  answer(ticket, std::move(v.answer), from);
}

void SiaDatagrams::answer(uint64_t ticket, std::string bytes, const sockaddr_in& to) {
  if (held_.empty() && durable_.stored(ticket)) {
    metrics_.answers.observeMicros(steadyMicros() - receivedUs_);
    send(bytes, to);
    return;
  }
  // Answers leave in the order their frames came, as on a connection.
  held_.push_back({ticket, to, std::move(bytes), receivedUs_});
}

void SiaDatagrams::send(const std::string& bytes, const sockaddr_in& to) {
  // A full socket buffer or an unreachable sender loses the answer; the transmitter repeats.
  ::sendto(socket_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void SiaDatagrams::releaseStored() {
  while (!held_.empty() && durable_.stored(held_.front().ticket)) {
    metrics_.answers.observeMicros(steadyMicros() - held_.front().receivedUs);
    send(held_.front().answer, held_.front().to);
    held_.pop_front();
  }
}

}  // namespace orv
