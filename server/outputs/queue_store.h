#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/durability.h"
#include "common/metrics.h"
#include "common/unique_fd.h"
#include "server/outputs/queue_journal.h"

namespace orv {

// What a store sees of an output queue: its lines under the queue's own lock.
class StoredQueue {
 public:
  virtual ~StoredQueue() = default;
  // Calls f(number of the oldest line, lines) under the queue's lock, so that no change falls
  // between a snapshot and the journal that continues it.
  virtual void withQueue(
      const std::function<void(uint64_t, const std::deque<std::string>&)>& f) const = 0;
};

// Keeps the output queues on disk. The queues call it under their own lock, in the order of
// their changes; every change gets a ticket (Durability), and a sender's acknowledgement waits
// until the tickets of its event are durable.
class QueueStore : public Durability {
 public:
  using Handle = size_t;
  struct Loaded {
    uint64_t frontSeq = 0;  // the number of lines.front()
    std::deque<std::string> lines;
  };

  // Before start(): takes on the queue kept in `file` ("<Id>.out") and gives back what was
  // stored for it.
  virtual Handle open(const std::filesystem::path& file, const StoredQueue& queue,
                      Loaded& loaded) = 0;
  virtual bool isOpen(const std::filesystem::path& file) const = 0;
  virtual void start() = 0;
  // A line was queued as number `seq`.
  virtual uint64_t append(Handle queue, uint64_t seq, std::string_view line) = 0;
  // Every line numbered below `seq` left the queue (delivered, or trimmed to its size).
  virtual uint64_t dropBefore(Handle queue, uint64_t seq) = 0;
  // Clean stop: every queue is written as its queue file, and nothing else is left behind.
  virtual void close() = 0;
};

// What the files of the queue kept in `file` ("<Id>.out") hold: the queue file with its
// journal replayed, whatever step of a compaction a crash interrupted. Only reads (and says on
// stderr what it had to pass over); for the store's start and for tools and tests.
struct StoredFiles {
  QueueStore::Loaded queue;
  journal::SnapshotId file;  // the queue file as it lies on disk
  bool exact = true;         // the queue is the file as it is: no journal, nothing skipped
};
StoredFiles readQueueFiles(const std::filesystem::path& file);

// Queue files with a journal each: "<Id>.out" holds the queue as it was at the last compaction,
// "<Id>.jnl" every change since, one checksummed record each. One writer thread appends what
// has gathered to the journals, flushes each with one fdatasync, then publishes the durable
// ticket (group commit), so an event costs the same however long its queue is. A journal that
// grows past its bound is folded into a new queue file. At start the queue file is read and
// its journal replayed; at a clean stop only the queue file remains.
class JournalStore final : public QueueStore {
 public:
  // A journal is folded into its queue file once it is larger than this and than twice the file.
  static constexpr uint64_t kMinCompaction = 64ull << 20;
  // Records not yet written that one queue may gather; past it the next compaction covers them.
  static constexpr size_t kMaxPending = 64u << 20;

  // `roundGap`: the least time between two rounds. Nobody waits for a round when events are
  // acknowledged at once, so rounds then gather what came meanwhile instead of flushing each
  // event on its own, which would cost the loops that answer the senders processor time.
  // `compactAbove`: the journal size past which it is folded in (tests make it small).
  explicit JournalStore(std::chrono::milliseconds roundGap = {},
                        uint64_t compactAbove = kMinCompaction)
      : roundGap_(roundGap), compactAbove_(compactAbove) {}
  ~JournalStore() override { close(); }

  Handle open(const std::filesystem::path& file, const StoredQueue& queue, Loaded& loaded) override;
  bool isOpen(const std::filesystem::path& file) const override;
  void start() override;
  uint64_t append(Handle queue, uint64_t seq, std::string_view line) override;
  uint64_t dropBefore(Handle queue, uint64_t seq) override;
  void close() override;

  uint64_t durable() const override { return durable_.load(std::memory_order_acquire); }
  std::string failure() const override;
  void addWaker(int eventFd) override;
  void removeWaker(int eventFd) override;

  // For benchmarks and tests: the disk space of every queue's journal; folds started and
  // switched in.
  uint64_t journalBytes() const;
  uint64_t foldsStarted() const { return foldsStarted_.load(std::memory_order_relaxed); }
  uint64_t foldsFinished() const { return foldsFinished_.load(std::memory_order_relaxed); }

 private:
  struct Queue {
    std::filesystem::path out, outTmp, jnl, jnlNew;
    const StoredQueue* source = nullptr;
    std::mutex pendingLock;
    std::string pending;  // records not yet written
    bool overflowed = false;
    // Writer thread only (and open/close, before and after it runs).
    UniqueFd journal;
    uint64_t journalSize = 0;    // up to the end of the last record
    uint64_t allocated = 0;      // filled with zeros ahead of the records
    uint64_t fileSize = 0;       // of the last queue file written
    bool compactionDue = false;  // the whole queue must be written anew before anything else
    bool unsynced = false;
    // Folding the journal into a new queue file while writing goes on. The fold thread sets
    // only foldId, foldWhy, foldOk and foldDone; everything else is the writer's.
    bool foldTaken = false;  // the fold's end was set in this round
    bool folding = false;    // its file is being written, or waits to be switched in
    uint64_t foldJournalEnd = 0;
    journal::SnapshotId foldId;  // set by the fold thread before foldDone
    std::string foldTail;        // records written to the old journal after the snapshot
    std::jthread foldThread;
    std::string foldWhy;
    std::atomic<bool> foldOk{false};
    std::atomic<bool> foldDone{false};
    std::chrono::steady_clock::time_point foldAfter;
    std::atomic<uint64_t> journalBytes{0};
  };

  uint64_t recorded(Queue& q);
  void signalWork();
  void run(std::stop_token stop);
  // One round of group commit; false when something could not be stored.
  bool round();
  uint64_t compactionBound(const Queue& q) const;
  enum class FileStep { Keep, Replace, Remove };
  bool switchIn(Queue& q, UniqueFd jnl, FileStep file, uint64_t journalSize, uint64_t allocated,
                uint64_t fileSize, std::string& why);
  void startFold(Queue& q);
  bool writeFold(Queue& q, uint64_t journalEnd, std::string& why);
  void finishFold(Queue& q);
  void abandonFold(Queue& q);
  // `lasting`: the new journal is written to, so it gets its zero-filled space.
  bool compact(Queue& q, std::string& why, bool lasting = true);
  bool writeSnapshot(Queue& q, const journal::SnapshotId& id, const std::string* text,
                     std::string& why, bool lasting = true);
  void setFailure(std::string why);
  void notify();
  void wakeLocked();

  const std::chrono::milliseconds roundGap_;
  const uint64_t compactAbove_;
  std::vector<std::unique_ptr<Queue>> queues_;
  std::atomic<uint64_t> issued_{0};  // the last ticket given out
  std::atomic<uint64_t> durable_{0};
  std::atomic<bool> work_{false};
  std::atomic<uint64_t> foldsStarted_{0};
  std::atomic<uint64_t> foldsFinished_{0};
  mutable std::mutex stateLock_;  // failure_, wakers_, and the writer's sleep
  std::condition_variable_any wake_;
  std::string failure_;
  std::vector<int> wakers_;
  bool closed_ = false;
  LatencyHistogram writeLatency_;
  std::atomic<uint64_t> writeFailures_{0};
  std::jthread writer_;
  MetricsSource metricsSource_;  // last: gone before what it reads
};

}  // namespace orv
