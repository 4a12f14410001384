#include "server/outputs/queue_persister.h"

#include <chrono>

#include "server/outputs/output_item.h"

namespace orv {
namespace {

constexpr auto kWriteGap = std::chrono::milliseconds(20);

}  // namespace

QueuePersister::~QueuePersister() {
  stop();
}

void QueuePersister::start() {
  thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

void QueuePersister::stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  writeMarked();
}

void QueuePersister::wake() {
  {
    std::lock_guard lock(mutex_);
    pending_ = true;
  }
  wakeUp_.notify_one();
}

void QueuePersister::writeMarked() {
  for (tOItem* item : items_) item->persist();
}

void QueuePersister::run(std::stop_token stop) {
  while (!stop.stop_requested()) {
    {
      std::unique_lock lock(mutex_);
      // Bounded, so that a file that could not be written is tried again every second.
      wakeUp_.wait_for(lock, stop, std::chrono::seconds(1), [this] { return pending_; });
      pending_ = false;
    }
    writeMarked();
    // Changes made meanwhile ride along in the next write: under a steady stream of alarms each
    // file is written once per gap rather than once per change, which keeps the disk flushes
    // from taking the processor from the threads that answer the senders. Still far inside the
    // 100 ms in which a change must reach its file.
    std::unique_lock lock(mutex_);
    wakeUp_.wait_for(lock, stop, kWriteGap, [] { return false; });
  }
}

}  // namespace orv
