#pragma once

#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace orv {

class tOItem;

// Keeps the queue files in step with the queues, off the push path: a push only marks its item
// and wakes this thread, which writes every marked item's file (coalescing whatever arrived
// meanwhile). A change reaches its file within a few milliseconds on an idle disk.
class QueuePersister {
 public:
  QueuePersister() = default;
  ~QueuePersister();  // stops, then writes what is still marked
  QueuePersister(const QueuePersister&) = delete;
  QueuePersister& operator=(const QueuePersister&) = delete;

  // Items are added before start(); they must outlive the persister's stop().
  void add(tOItem* item) { items_.push_back(item); }
  void start();
  void stop();
  // Safe to call from any thread.
  void wake();

 private:
  void run(std::stop_token stop);
  void writeMarked();

  std::vector<tOItem*> items_;
  std::mutex mutex_;
  std::condition_variable_any wakeUp_;
  bool pending_ = false;
  std::jthread thread_;
};

}  // namespace orv
