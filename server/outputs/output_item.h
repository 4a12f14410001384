#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/ini_file.h"
#include "common/metrics.h"
#include "server/outputs/filter.h"
#include "server/outputs/forward_queue.h"
#include "server/outputs/line_template.h"
#include "server/outputs/queue_store.h"

namespace orv {

// One output channel: a bounded queue of output lines, the filters that admit events, the line
// templates for module messages and, with a forwarding port, the list its forwarder sends.
//
// Every change of the queue goes to the list's store (the queue file "<Id>.out" and its
// journal) in the order it happened, and gets a ticket there: a line is safe once its ticket is
// durable. Lines may come twice after a crash, never not at all.
class tOItem : public StoredQueue {
 public:
  // Reads item section `section` ("Com" or "Client...") and takes its queue from the store.
  tOItem(const IniFile& ini, const std::string& section, const std::filesystem::path& programDir,
         QueueStore& store, std::atomic<uint8_t>* outputsChanged);
  tOItem(const tOItem&) = delete;
  tOItem& operator=(const tOItem&) = delete;

  const std::string& id() const { return id_; }
  const std::string& section() const { return section_; }
  bool dateFlag() const { return dateFlag_; }
  int32_t queueSize() const { return queueSize_; }
  const tFList& filters() const { return filters_; }
  const LineTemplates& templates() const { return templates_; }
  const std::filesystem::path& queueFile() const { return queueFile_; }
  // The forwarding target; forwarder() is null when the section has no forwarding port.
  const std::string& forwardHost() const { return forwardHost_; }
  uint16_t forwardPort() const { return forwardPort_; }
  ForwardQueue* forwarder() { return forwarder_.get(); }

  bool passes(const EventKeys& event) const { return filtersPass(filters_, event); }

  // Appends the lines, then drops the oldest while more than the queue size remain; returns the
  // ticket of the last change (0 when nothing changed). Safe from any thread.
  uint64_t appendAndTrim(std::vector<std::string> lines);
  std::optional<std::string> peek() const;
  // The oldest line with its number in the queue's life; several clients of one channel each
  // remove a line only if it is still the one they sent, so that a second acknowledgement of
  // the same line cannot take away the next one, which nobody has received.
  struct QueuedLine {
    uint64_t seq;
    std::string text;
  };
  std::optional<QueuedLine> peekLine() const;
  bool removeIfOldest(uint64_t seq);
  // Removes the oldest line once its peer acknowledged it; sets the outputs-changed flag.
  void removeOldest();
  size_t count() const;

  // Output clients attached to the channel; kept by the output server.
  std::atomic<uint8_t> clientCount{0};
  std::atomic<bool> forwarderConnected{false};

  // Output clients register an eventfd here to be woken as soon as a line is queued.
  void addWaker(int eventFd);
  void removeWaker(int eventFd);

  void withQueue(
      const std::function<void(uint64_t, const std::deque<std::string>&)>& f) const override;

  // Since start: lines found in the queue file, queued, taken off by an acknowledgement (of a
  // client, the forwarder's peer or the serial device) and dropped to keep the queue size, the
  // one place where the design loses an alarm on purpose. restored + pushed = delivered +
  // trimmed + count().
  struct Counts {
    uint64_t restored = 0, pushed = 0, delivered = 0, trimmed = 0;
    size_t queued = 0;
    double oldestAgeS = 0;  // how long the oldest line has waited (since start, if restored)
  };
  Counts counts() const;

 private:
  // Under lock_: every line numbered below `seq` is gone.
  void dropBeforeLocked(uint64_t seq);

  std::string section_;
  std::string id_;
  bool dateFlag_ = true;
  int32_t queueSize_ = 50;
  tFList filters_;
  LineTemplates templates_;
  std::string forwardHost_;
  uint16_t forwardPort_ = 0;
  std::unique_ptr<ForwardQueue> forwarder_;
  std::filesystem::path queueFile_;
  QueueStore& store_;
  QueueStore::Handle stored_ = 0;
  std::atomic<uint8_t>* outputsChanged_;

  mutable std::mutex lock_;
  std::deque<std::string> queue_;
  std::deque<uint32_t> queuedAt_;  // steady seconds at which each line of queue_ came
  uint64_t frontSeq_ = 0;  // the number of queue_.front(); every removal from the front adds one
  Counts counts_;          // under lock_, without queued and oldestAgeS
  std::mutex wakersLock_;
  std::vector<int> wakers_;
  MetricsSource metrics_;  // last: gone before what it reads
};

}  // namespace orv

namespace orv {

// One row of the main window's output list: the icon (2 clients and a connected forwarder,
// 0 clients only, 3 the forwarder only, -1 none), the channel name and its queue length.
struct OutputRow {
  int icon;
  std::string id;
  size_t queue;
};
OutputRow outputRow(const tOItem& item);

}  // namespace orv
