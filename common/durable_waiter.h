#pragma once

#include <cstdint>
#include <string>

#include "common/durability.h"
#include "common/unique_fd.h"

namespace orv {

// An input's side of acknowledging only what is stored: whether a ticket is durable yet, a
// descriptor its loop waits on to learn that more is, and one line on stderr when the input has
// to hold acknowledgements because nothing can be stored (and one when it acknowledges again).
// Without a Durability every ticket counts as stored. One loop thread uses it.
class DurableWaiter {
 public:
  DurableWaiter(std::string what, Durability* durability);
  ~DurableWaiter();
  DurableWaiter(const DurableWaiter&) = delete;
  DurableWaiter& operator=(const DurableWaiter&) = delete;

  // Readable when durable() may have moved; -1 without a Durability.
  int fd() const { return fd_.get(); }
  bool stored(uint64_t ticket) const {
    return ticket == 0 || durability_ == nullptr || durability_->durable() >= ticket;
  }
  // Empties the descriptor and says what changed, when answers are held or were.
  void update(bool holding);

 private:
  std::string what_;
  Durability* durability_;
  UniqueFd fd_;
  bool reported_ = false;
};

}  // namespace orv
