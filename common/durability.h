#pragma once

#include <cstdint>
#include <string>

namespace orv {

// Where events are stored before they are acknowledged. Every stored change has a ticket, a
// number that grows with each change; durable() is the highest ticket up to which every change
// has reached the disk. Ticket 0 needs no waiting. An input that accepted an event holds the
// sender's acknowledgement until durable() reaches the event's ticket.
class Durability {
 public:
  virtual ~Durability() = default;

  virtual uint64_t durable() const = 0;
  // Non-empty while changes cannot be stored (disk full, read-only, I/O error): what failed.
  virtual std::string failure() const = 0;
  // An eventfd that is written whenever durable() advances or failure() changes. Safe from any
  // thread; the descriptor must stay open until it is removed.
  virtual void addWaker(int eventFd) = 0;
  virtual void removeWaker(int eventFd) = 0;
};

}  // namespace orv
