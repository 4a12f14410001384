#include "server/outputs/queue_persister.h"

#include <chrono>

#include "server/outputs/output_item.h"

namespace orv {

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
  }
}

}  // namespace orv
