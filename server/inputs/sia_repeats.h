#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace orv {

// The frames a datagram receiver took lately, by header (sequence, receiver, line prefix,
// account): a transmitter whose ACK got lost sends the same frame again, which must be answered
// again but queued once. A frame counts as a repeat only with the same event line, so a
// transmitter that reuses a sequence number for a new event never loses it. Bounded: past
// kMaxEntries the oldest are forgotten (at worst an event is queued twice, never lost).
class SiaRepeats {
 public:
  static constexpr uint32_t kWindowMs = 60000;
  static constexpr size_t kMaxEntries = 50000;

  explicit SiaRepeats(size_t maxEntries = kMaxEntries) : max_(maxEntries) {}

  // The ticket of the event that this frame repeats, or std::nullopt for a new event.
  std::optional<uint64_t> repeatOf(std::string_view header, std::string_view line, uint32_t now);
  void remember(std::string header, std::string line, uint64_t ticket, uint32_t now);
  size_t size() const { return seen_.size(); }

 private:
  struct Seen {
    std::string line;
    uint64_t ticket;
    uint32_t at;
    uint64_t serial;  // which entry of order_ is the newest for this header
  };
  void expire(uint32_t now);

  size_t max_;
  std::unordered_map<std::string, Seen> seen_;
  std::deque<std::pair<std::string, uint64_t>> order_;  // header, serial, oldest first
  uint64_t serial_ = 0;
};

}  // namespace orv
