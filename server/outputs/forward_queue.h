#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace orv {

// The lines an output item hands to its forwarding connection. It keeps at most 101 lines: when
// it already holds more than 100, the oldest goes before the new one is added. Safe to call from
// any thread; its lock is its own.
class ForwardQueue {
 public:
  static constexpr size_t kMaxKept = 100;

  void add(std::string line);
  std::optional<std::string> peek() const;
  void removeOldest();
  // The oldest line with its number; removeIfOldest() takes it only if no other line has
  // pushed it out meanwhile (a full list drops its oldest line to make room).
  struct Line {
    uint64_t seq;
    std::string text;
  };
  std::optional<Line> peekLine() const;
  void removeIfOldest(uint64_t seq);
  size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::deque<std::string> lines_;
  uint64_t frontSeq_ = 0;  // the number of lines_.front()
};

}  // namespace orv
