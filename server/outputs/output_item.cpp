#include "server/outputs/output_item.h"

#include <strings.h>
#include <unistd.h>

#include "common/diag.h"
#include "server/core/config.h"
#include "server/outputs/queue_file.h"
#include "server/outputs/queue_persister.h"

namespace orv {
namespace {

// The Id names a file in the program directory and nothing outside it.
std::string queueFileName(const std::string& id) {
  std::string name = id;
  for (char& c : name) {
    if (c == '/' || c == '\0') c = '_';
  }
  return name + ".out";
}

}  // namespace

tOItem::tOItem(const IniFile& ini, const std::string& section,
               const std::filesystem::path& programDir, QueuePersister* persister,
               std::atomic<uint8_t>* outputsChanged)
    : section_(section), persister_(persister), outputsChanged_(outputsChanged) {
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

  queueFile_ = programDir / queueFileName(id_);
  queue_ = loadQueueFile(queueFile_);
  if (!queue_.empty()) {
    diagf("output item '%s': %zu queued lines loaded from %s", id_.c_str(), queue_.size(),
          queueFile_.c_str());
  }
}

void tOItem::changed() {
  // Only the first change after a write wakes the persister; the rest ride along.
  if (!dirty_.exchange(true, std::memory_order_acq_rel) && persister_ != nullptr) {
    persister_->wake();
  }
}

void tOItem::addWaker(int eventFd) {
  std::lock_guard lock(wakersLock_);
  wakers_.push_back(eventFd);
}

void tOItem::removeWaker(int eventFd) {
  std::lock_guard lock(wakersLock_);
  std::erase(wakers_, eventFd);
}

void tOItem::appendAndTrim(std::vector<std::string> lines) {
  const bool added = !lines.empty();
  bool touched = added;
  {
    std::lock_guard lock(lock_);
    for (std::string& l : lines) {
      // A queued line is one line on every wire and in the queue file: no CR or LF inside.
      for (char& c : l) {
        if (c == '\r' || c == '\n') c = ' ';
      }
      queue_.push_back(std::move(l));
    }
    while (queue_.size() > static_cast<size_t>(std::max(queueSize_, 0))) {
      queue_.pop_front();
      ++frontSeq_;
      touched = true;
    }
  }
  if (touched) changed();
  if (added) {
    std::lock_guard lock(wakersLock_);
    for (int fd : wakers_) {
      uint64_t one = 1;
      ssize_t r = ::write(fd, &one, sizeof one);
      (void)r;  // a full counter is still a wake-up
    }
  }
}

std::optional<std::string> tOItem::peek() const {
  std::lock_guard lock(lock_);
  if (queue_.empty()) return std::nullopt;
  return queue_.front();
}

void tOItem::removeOldest() {
  bool removed = false;
  {
    std::lock_guard lock(lock_);
    if (!queue_.empty()) {
      queue_.pop_front();
      ++frontSeq_;
      removed = true;
    }
  }
  if (removed) changed();
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
      queue_.pop_front();
      ++frontSeq_;
      removed = true;
    }
  }
  if (removed) changed();
  if (outputsChanged_ != nullptr) outputsChanged_->store(1, std::memory_order_relaxed);
  return removed;
}

size_t tOItem::count() const {
  std::lock_guard lock(lock_);
  return queue_.size();
}

void tOItem::persist() {
  // A failed write leaves the item marked, so the persister's next round tries again.
  if (!dirty_.exchange(false, std::memory_order_acq_rel) && !writeFailed_) return;
  std::deque<std::string> snapshot;
  {
    std::lock_guard lock(lock_);
    snapshot = queue_;
  }
  std::string error;
  if (writeQueueFile(queueFile_, snapshot, &error)) {
    if (writeFailed_) diagf("%s: written again", queueFile_.c_str());
    writeFailed_ = false;
  } else {
    if (!writeFailed_) {
      diagf("%s: %s; the queue stays in memory and the file is retried", queueFile_.c_str(),
            error.c_str());
    }
    writeFailed_ = true;
  }
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
