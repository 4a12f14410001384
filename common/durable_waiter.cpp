#include "common/durable_waiter.h"

#include <sys/eventfd.h>

#include "common/diag.h"

namespace orv {

DurableWaiter::DurableWaiter(std::string what, Durability* durability)
    : what_(std::move(what)), durability_(durability) {
  if (durability_ == nullptr) return;
  fd_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  durability_->addWaker(fd_.get());
}

DurableWaiter::~DurableWaiter() {
  if (durability_ != nullptr) durability_->removeWaker(fd_.get());
}

void DurableWaiter::update(bool holding) {
  if (durability_ == nullptr) return;
  uint64_t count;
  ssize_t r = ::read(fd_.get(), &count, sizeof count);
  (void)r;  // empty already: nothing to take
  if (!holding && !reported_) return;
  const std::string failure = durability_->failure();
  if (!failure.empty() && holding && !reported_) {
    diagf(
        "%s: events are not acknowledged while they cannot be stored (%s); the senders keep "
        "them and repeat",
        what_.c_str(), failure.c_str());
    reported_ = true;
  } else if (failure.empty() && reported_) {
    diagf("%s: events are stored and acknowledged again", what_.c_str());
    reported_ = false;
  }
}

}  // namespace orv
