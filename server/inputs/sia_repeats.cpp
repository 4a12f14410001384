#include "server/inputs/sia_repeats.h"

namespace orv {

void SiaRepeats::expire(uint32_t now) {
  while (!order_.empty()) {
    auto it = seen_.find(order_.front().first);
    const bool current = it != seen_.end() && it->second.serial == order_.front().second;
    // A header remembered again leaves its older entry in order_; those count towards the bound
    // too, so that a transmitter reusing one header cannot grow order_.
    if (current && now - it->second.at < kWindowMs && seen_.size() <= max_ &&
        order_.size() <= 2 * max_) {
      break;
    }
    if (current) seen_.erase(it);
    order_.pop_front();
  }
}

std::optional<uint64_t> SiaRepeats::repeatOf(std::string_view header, std::string_view line,
                                             uint32_t now) {
  expire(now);
  auto it = seen_.find(std::string(header));
  if (it == seen_.end() || it->second.line != line || now - it->second.at >= kWindowMs) {
    return std::nullopt;
  }
  return it->second.ticket;
}

void SiaRepeats::remember(std::string header, std::string line, uint64_t ticket, uint32_t now) {
  const uint64_t serial = ++serial_;
  order_.emplace_back(header, serial);
  seen_.insert_or_assign(std::move(header), Seen{std::move(line), ticket, now, serial});
  expire(now);
}

}  // namespace orv
