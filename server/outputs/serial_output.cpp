#include "server/outputs/serial_output.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "common/diag.h"
#include "common/local_time.h"
#include "server/outputs/output_item.h"

namespace orv {
namespace {

constexpr char kAck = 0x06;
constexpr char kDc4 = 0x14;

}  // namespace

SerialOutputSettings serialOutputSettings(const OutSettings& out) {
  SerialOutputSettings s;
  s.com = out.com;
  s.serial = SerialSettings{out.baud, out.dataBits, out.parity, out.stopBits, out.flowCtrl};
  s.syncIntervalMs = static_cast<int64_t>(out.syncPMinutes) * 60000;
  return s;
}

std::string serialOutputFrame(std::string_view line) {
  std::string frame(line.substr(0, line.find_first_of("*\x14")));
  frame.push_back(kDc4);
  return frame;
}

TOutThrd::TOutThrd(const IniFile& ini, SerialOutputSettings settings, tOItem& item,
                   OperatorQuestions& questions, std::atomic<uint8_t>* outputsChanged)
    : settings_(settings),
      item_(item),
      outputsChanged_(outputsChanged),
      waker_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  port_ = SerialPort::open(ini, settings_.com, settings_.serial);
  if (!port_) {
    // The port has said why (COM 0 names no port and says nothing, so say which one it was).
    if (settings_.com <= 0) diagf("serial output: COM%d names no port", settings_.com);
    questions.showMessage("Error", "Cannot open Com port!");
    return;
  }
  diagf("serial output on COM%d (%s), channel '%s'", settings_.com, port_->path().c_str(),
        item_.id().c_str());
  port_->setCancelFd(cancel_.fd());
  item_.addWaker(waker_.get());
  setAttached(true);
  serving_.store(true, std::memory_order_release);
  thread_ = std::thread([this] { run(); });
}

TOutThrd::~TOutThrd() {
  stop();
}

void TOutThrd::stop() {
  cancel_.set();
  if (thread_.joinable()) thread_.join();
  if (port_) {
    item_.removeWaker(waker_.get());
    setAttached(false);
    port_.reset();
  }
}

void TOutThrd::setAttached(bool attached) {
  if (attached == attached_) return;
  attached_ = attached;
  // An output client may have named this channel as well; each keeps only its own share.
  if (attached) {
    item_.clientCount.fetch_add(1);
  } else {
    uint8_t n = item_.clientCount.load();
    while (n > 0 && !item_.clientCount.compare_exchange_weak(n, static_cast<uint8_t>(n - 1))) {
    }
  }
  if (outputsChanged_) outputsChanged_->store(1, std::memory_order_relaxed);
}

void TOutThrd::run() {
  // SyncP may be up to 71582 minutes, past what the 32-bit tick difference can tell apart from
  // "overdue"; so the sync is scheduled on a 64-bit clock.
  const auto interval = std::chrono::milliseconds(settings_.syncIntervalMs);
  // As the output server does: the first time sync goes one interval after the start.
  std::optional<Clock::time_point> nextSync;
  if (interval.count() > 0) nextSync = Clock::now() + interval;

  while (!cancel_.isSet()) {
    const Clock::time_point now = Clock::now();
    std::string frame;
    std::optional<tOItem::QueuedLine> line;
    if (nextSync && now >= *nextSync) {
      nextSync = now + interval;
      frame = "systime" + formatDayNumber(dayNumberNow()) + kDc4;
    } else if ((line = item_.peekLine())) {
      frame = serialOutputFrame(line->text);
    } else {
      awaitWork(nextSync);
      continue;
    }

    const Answer answer = exchange(frame);
    if (answer == Answer::Stopped) break;
    if (answer == Answer::Failed) {
      diagf(
          "serial output on COM%d: the port failed; no serial output until the configuration "
          "is loaded again",
          settings_.com);
      break;
    }
    switch (answer) {
      case Answer::Ack:
        // Only the line that went out: the queue may have been trimmed meanwhile.
        if (line) item_.removeIfOldest(line->seq);
        setAttached(true);
        break;
      case Answer::None:
        setAttached(false);
        break;
      default:
        cancel_.waitMs(kRetryPauseMs);
        break;
    }
  }
  serving_.store(false, std::memory_order_release);
}

TOutThrd::Answer TOutThrd::exchange(const std::string& frame) {
  SerialPort& port = *port_;
  // Whatever waits now answered an earlier frame (late, or the rest of a long reply); taken as
  // the answer to this one, it could remove a line the device has not received.
  if (port.pendingInput() > 0) port.discardInput();
  if (!port.write(frame, kReplyWaitMs)) {
    if (cancel_.isSet()) return Answer::Stopped;
    if (port.failed()) return Answer::Failed;
    // Held by flow control for the whole wait: as good as no answer (the port said so).
    return Answer::None;
  }
  std::string reply;
  const int n = port.read(reply, kMaxReply, kReplyWaitMs);
  if (n == SerialPort::kCancelled) return Answer::Stopped;
  if (n < 0) return Answer::Failed;
  if (n == 0) {
    std::string stale;
    if (port.read(stale, kMaxReply, 0) == -1) return Answer::Failed;
    return Answer::None;
  }
  return reply.size() == 1 && reply[0] == kAck ? Answer::Ack : Answer::Other;
}

void TOutThrd::awaitWork(std::optional<Clock::time_point> nextSync) {
  int timeoutMs = kIdleWaitMs;
  if (nextSync) {
    const auto untilSync =
        std::chrono::ceil<std::chrono::milliseconds>(*nextSync - Clock::now()).count();
    timeoutMs = static_cast<int>(std::clamp<int64_t>(untilSync, 0, kIdleWaitMs));
  }
  pollfd p[2] = {{waker_.get(), POLLIN, 0}, {cancel_.fd(), POLLIN, 0}};
  if (::poll(p, 2, timeoutMs) > 0 && (p[0].revents & POLLIN)) {
    uint64_t count = 0;
    ssize_t r = ::read(waker_.get(), &count, sizeof count);
    (void)r;  // a wake-up with nothing to read is harmless: the queue is looked at again
  }
}

}  // namespace orv
