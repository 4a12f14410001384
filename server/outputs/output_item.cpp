#include "server/outputs/output_item.h"

#include <strings.h>
#include <unistd.h>

#include <chrono>

#include "common/diag.h"
#include "server/core/config.h"

namespace orv {
namespace {

uint32_t steadySeconds() {
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// The Id names a file in the program directory and nothing outside it.
std::string fileSafe(const std::string& name) {
  std::string safe = name;
  for (char& c : safe) {
    if (c == '/' || c == '\0') c = '_';
  }
  return safe;
}

}  // namespace

tOItem::tOItem(const IniFile& ini, const std::string& section,
               const std::filesystem::path& programDir, QueueStore& store,
               std::atomic<uint8_t>* outputsChanged)
    : section_(section), store_(store), outputsChanged_(outputsChanged) {
  const bool isCom = ::strcasecmp(section.c_str(), "Com") == 0;
  id_ = isCom ? "Com" : ini.readString(section, "Id", "");
  dateFlag_ = isCom ? ini.readBool(section, "DtFlag", true) : true;
  queueSize_ = readSetting(ini, section, {"QSize", 50, 0, 10000000});
  forwardHost_ = ini.readString(section, "Host", "");
  forwardPort_ = static_cast<uint16_t>(readSetting(ini, section, {"Port", 0, 0, 65535}));
  if (forwardPort_ != 0) forwarder_ = std::make_unique<ForwardQueue>();
  for (const auto& [key, value] : ini.entries(section)) {
    if (key.compare(0, 3, "Flt") == 0 && key.find("Map") == std::string::npos) {
      filters_.push_back(tFItem::parse(value));
    }
  }
  templates_ = LineTemplates::load(ini, section);

  queueFile_ = programDir / (fileSafe(id_) + ".out");
  if (store_.isOpen(queueFile_)) {
    // Two channels with one Id would write one journal with two numberings and lose lines:
    // the later one keeps its queue under its section's name.
    queueFile_ = programDir / (fileSafe(id_) + "." + fileSafe(section_) + ".out");
    diagf("output item [%s]: Id '%s' is taken already; its queue is kept in %s", section_.c_str(),
          id_.c_str(), queueFile_.c_str());
  }
  QueueStore::Loaded loaded;
  stored_ = store_.open(queueFile_, *this, loaded);
  queue_ = std::move(loaded.lines);
  queuedAt_.assign(queue_.size(), steadySeconds());
  counts_.restored = queue_.size();
  frontSeq_ = loaded.frontSeq;
  if (!queue_.empty()) {
    diagf("output item '%s': %zu queued lines loaded from %s", id_.c_str(), queue_.size(),
          queueFile_.c_str());
  }
  metrics_ = MetricsSource([this](MetricsSink& sink) {
    const Counts c = counts();
    const MetricLabels channel = {{"channel", id_}};
    sink.gauge("orv_channel_queue_lines", "Lines waiting in the channel's queue", channel,
               static_cast<double>(c.queued));
    sink.gauge("orv_channel_oldest_line_age_seconds",
               "How long the oldest queued line has waited (0 when the queue is empty)", channel,
               c.oldestAgeS);
    sink.counter("orv_channel_lines_pushed_total", "Lines queued since start", channel,
                 static_cast<double>(c.pushed));
    sink.counter("orv_channel_lines_delivered_total",
                 "Lines acknowledged by a client, the forwarding peer or the serial device",
                 channel, static_cast<double>(c.delivered));
    sink.counter("orv_channel_lines_trimmed_total",
                 "Lines dropped unread because the queue held QSize lines: alarms lost", channel,
                 static_cast<double>(c.trimmed));
    sink.counter("orv_channel_lines_restored_total", "Lines found in the queue file at start",
                 channel, static_cast<double>(c.restored));
    sink.gauge("orv_channel_clients", "Output clients attached to the channel", channel,
               clientCount.load(std::memory_order_relaxed));
    if (forwarder_) {
      sink.gauge("orv_channel_forwarder_up", "1 while the forwarding connection is up", channel,
                 forwarderConnected.load(std::memory_order_relaxed) ? 1 : 0);
    }
  });
}

tOItem::Counts tOItem::counts() const {
  std::lock_guard lock(lock_);
  Counts c = counts_;
  c.queued = queue_.size();
  if (!queuedAt_.empty()) c.oldestAgeS = steadySeconds() - queuedAt_.front();
  return c;
}

void tOItem::addWaker(int eventFd) {
  std::lock_guard lock(wakersLock_);
  wakers_.push_back(eventFd);
}

void tOItem::removeWaker(int eventFd) {
  std::lock_guard lock(wakersLock_);
  std::erase(wakers_, eventFd);
}

uint64_t tOItem::appendAndTrim(std::vector<std::string> lines) {
  const bool added = !lines.empty();
  uint64_t ticket = 0;
  const uint32_t now = steadySeconds();
  {
    std::lock_guard lock(lock_);
    for (std::string& l : lines) {
      // A queued line is one line on every wire and in the queue file: no CR or LF inside.
      for (char& c : l) {
        if (c == '\r' || c == '\n') c = ' ';
      }
      ticket = store_.append(stored_, frontSeq_ + queue_.size(), l);
      queue_.push_back(std::move(l));
      queuedAt_.push_back(now);
    }
    counts_.pushed += lines.size();
    const size_t keep = static_cast<size_t>(std::max(queueSize_, 0));
    if (queue_.size() > keep) {
      const size_t drop = queue_.size() - keep;
      queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(drop));
      queuedAt_.erase(queuedAt_.begin(), queuedAt_.begin() + static_cast<std::ptrdiff_t>(drop));
      counts_.trimmed += drop;
      frontSeq_ += drop;
      ticket = store_.dropBefore(stored_, frontSeq_);
    }
  }
  if (added) {
    std::lock_guard lock(wakersLock_);
    for (int fd : wakers_) {
      uint64_t one = 1;
      ssize_t r = ::write(fd, &one, sizeof one);
      (void)r;  // a full counter is still a wake-up
    }
  }
  return ticket;
}

void tOItem::dropBeforeLocked(uint64_t seq) {
  const auto drop = static_cast<std::ptrdiff_t>(seq - frontSeq_);
  queue_.erase(queue_.begin(), queue_.begin() + drop);
  queuedAt_.erase(queuedAt_.begin(), queuedAt_.begin() + drop);
  counts_.delivered += static_cast<uint64_t>(drop);
  frontSeq_ = seq;
  store_.dropBefore(stored_, seq);
}

void tOItem::withQueue(
    const std::function<void(uint64_t, const std::deque<std::string>&)>& f) const {
  std::lock_guard lock(lock_);
  f(frontSeq_, queue_);
}

std::optional<std::string> tOItem::peek() const {
  std::lock_guard lock(lock_);
  if (queue_.empty()) return std::nullopt;
  return queue_.front();
}

void tOItem::removeOldest() {
  {
    std::lock_guard lock(lock_);
    if (!queue_.empty()) dropBeforeLocked(frontSeq_ + 1);
  }
  if (outputsChanged_ != nullptr) outputsChanged_->store(1, std::memory_order_relaxed);
}

std::optional<tOItem::QueuedLine> tOItem::peekLine() const {
  std::lock_guard lock(lock_);
  if (queue_.empty()) return std::nullopt;
  return QueuedLine{frontSeq_, queue_.front()};
}

bool tOItem::removeIfOldest(uint64_t seq) {
  bool removed = false;
  {
    std::lock_guard lock(lock_);
    if (!queue_.empty() && frontSeq_ == seq) {
      dropBeforeLocked(seq + 1);
      removed = true;
    }
  }
  if (outputsChanged_ != nullptr) outputsChanged_->store(1, std::memory_order_relaxed);
  return removed;
}

size_t tOItem::count() const {
  std::lock_guard lock(lock_);
  return queue_.size();
}

}  // namespace orv

namespace orv {

OutputRow outputRow(const tOItem& item) {
  const bool clients = item.clientCount.load(std::memory_order_relaxed) > 0;
  const bool forwarding = item.forwarderConnected.load(std::memory_order_relaxed);
  int icon = clients ? (forwarding ? 2 : 0) : (forwarding ? 3 : -1);
  return OutputRow{icon, item.id(), item.count()};
}

}  // namespace orv
