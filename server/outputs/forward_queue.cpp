#include "server/outputs/forward_queue.h"

namespace orv {

void ForwardQueue::add(std::string line) {
  std::lock_guard lock(mutex_);
  if (lines_.size() > kMaxKept) {
    lines_.pop_front();
    ++frontSeq_;
  }
  lines_.push_back(std::move(line));
}

std::optional<std::string> ForwardQueue::peek() const {
  std::lock_guard lock(mutex_);
  if (lines_.empty()) return std::nullopt;
  return lines_.front();
}

void ForwardQueue::removeOldest() {
  std::lock_guard lock(mutex_);
  if (!lines_.empty()) {
    lines_.pop_front();
    ++frontSeq_;
  }
}

std::optional<ForwardQueue::Line> ForwardQueue::peekLine() const {
  std::lock_guard lock(mutex_);
  if (lines_.empty()) return std::nullopt;
  return Line{frontSeq_, lines_.front()};
}

void ForwardQueue::removeIfOldest(uint64_t seq) {
  std::lock_guard lock(mutex_);
  if (!lines_.empty() && frontSeq_ == seq) {
    lines_.pop_front();
    ++frontSeq_;
  }
}

size_t ForwardQueue::size() const {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

}  // namespace orv
