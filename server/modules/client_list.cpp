#include "server/modules/client_list.h"

#include <algorithm>
#include <functional>

namespace orv {
namespace {

std::atomic<ClientOrder> gOrder{ClientOrder::ById};

// Past this many changed records since the last read, one whole sort is cheaper than placing
// each; the list of them stays bounded too.
constexpr size_t kMaxChanged = 1024;

ClientSortKey keyOf(const tClientContext& c) {
  std::lock_guard fields(c.lock);
  return {c.moduleId, c.account};
}

}  // namespace

ClientOrder currentClientOrder() {
  return gOrder.load(std::memory_order_relaxed);
}
void setCurrentClientOrder(ClientOrder order) {
  gOrder.store(order, std::memory_order_relaxed);
}

bool clientBefore(ClientOrder order, const ClientSortKey& a, const ClientSortKey& b) {
  const bool aCom = a.id == "Com", bCom = b.id == "Com";
  if (aCom != bCom) return aCom;
  if (order == ClientOrder::ById) return a.id < b.id;
  return a.account < b.account;
}

void TClientList::add(ClientPtr client) {
  std::lock_guard guard(lock_);
  clients_.push_back(std::move(client));
}

void TClientList::remove(const tClientContext* client) {
  std::lock_guard guard(lock_);
  auto it = std::find_if(clients_.begin(), clients_.end(),
                         [client](const ClientPtr& c) { return c.get() == client; });
  if (it == clients_.end()) return;
  if (static_cast<size_t>(it - clients_.begin()) < sorted_) --sorted_;
  clients_.erase(it);
}

size_t TClientList::count() const {
  std::lock_guard guard(lock_);
  return clients_.size();
}

void TClientList::markUnsorted() {
  unsorted_.store(true, std::memory_order_release);
}

void TClientList::markUnsorted(const tClientContext* changed) {
  std::lock_guard guard(changedLock_);
  if (changed_.size() < kMaxChanged) {
    changed_.push_back(changed);
  } else {
    tooManyChanged_ = true;
  }
}

void TClientList::settle() const {
  std::vector<const tClientContext*> changed;
  bool whole = unsorted_.exchange(false, std::memory_order_acq_rel);
  {
    std::lock_guard guard(changedLock_);
    changed.swap(changed_);
    whole = whole || tooManyChanged_;
    tooManyChanged_ = false;
  }
  // As before: a list nobody marked keeps its order, even after another line's column click.
  if (!whole && changed.empty()) return;
  const ClientOrder order = currentClientOrder();
  const size_t moving = clients_.size() - sorted_ + changed.size();
  if (whole || order != sortedOrder_ || moving > clients_.size() / 4) {
    sortLocked(order);
  } else {
    placeLocked(std::move(changed));
  }
}

// The sorted part stays sorted but for the changed records: those and the records added since
// are taken out, sorted among themselves, and merged back by binary search. A few identifications
// among thousands of modules then cost a few key reads each instead of a whole sort.
void TClientList::placeLocked(std::vector<const tClientContext*> changed) const {
  std::sort(changed.begin(), changed.end(), std::less<>());
  auto isChanged = [&](const tClientContext* c) {
    return std::binary_search(changed.begin(), changed.end(), c, std::less<>());
  };
  std::vector<std::pair<ClientSortKey, ClientPtr>> moving;
  std::vector<ClientPtr> kept;
  kept.reserve(clients_.size());
  for (size_t i = 0; i < clients_.size(); ++i) {
    ClientPtr& c = clients_[i];
    if (i >= sorted_ || isChanged(c.get())) {
      ClientSortKey key = keyOf(*c);
      moving.emplace_back(std::move(key), std::move(c));
    } else {
      kept.push_back(std::move(c));
    }
  }
  const ClientOrder order = sortedOrder_;
  std::stable_sort(moving.begin(), moving.end(), [order](const auto& a, const auto& b) {
    return clientBefore(order, a.first, b.first);
  });
  clients_.clear();
  size_t from = 0;
  for (auto& [key, client] : moving) {
    // After the records of an equal key, as a stable sort would leave a latecomer.
    auto at = std::upper_bound(kept.begin() + static_cast<std::ptrdiff_t>(from), kept.end(), key,
                               [order](const ClientSortKey& k, const ClientPtr& c) {
                                 return clientBefore(order, k, keyOf(*c));
                               });
    const size_t to = static_cast<size_t>(at - kept.begin());
    for (; from < to; ++from) clients_.push_back(std::move(kept[from]));
    clients_.push_back(std::move(client));
  }
  for (; from < kept.size(); ++from) clients_.push_back(std::move(kept[from]));
  sorted_ = clients_.size();
}

ClientPtr TClientList::at(size_t index) const {
  std::lock_guard guard(lock_);
  settle();
  return index < clients_.size() ? clients_[index] : nullptr;
}

ClientPtr TClientList::find(std::string_view moduleId) const {
  std::lock_guard guard(lock_);
  settle();
  for (const ClientPtr& c : clients_) {
    if (c->id() == moduleId) return c;
  }
  return nullptr;
}

ClientPtr TClientList::findLast(std::string_view moduleId) const {
  std::lock_guard guard(lock_);
  settle();
  for (auto it = clients_.rbegin(); it != clients_.rend(); ++it) {
    if ((*it)->id() == moduleId) return *it;
  }
  return nullptr;
}

bool TClientList::contains(const tClientContext* client) const {
  std::lock_guard guard(lock_);
  return std::any_of(clients_.begin(), clients_.end(),
                     [client](const ClientPtr& c) { return c.get() == client; });
}

std::vector<ClientPtr> TClientList::snapshot() const {
  std::lock_guard guard(lock_);
  settle();
  return clients_;
}

void TClientList::sort(ClientOrder order) {
  std::lock_guard guard(lock_);
  {
    // Everything changed so far is covered by this sort.
    std::lock_guard changedGuard(changedLock_);
    changed_.clear();
    tooManyChanged_ = false;
  }
  unsorted_.store(false, std::memory_order_release);
  sortLocked(order);
}

void TClientList::sortLocked(ClientOrder order) const {
  std::vector<std::pair<ClientSortKey, ClientPtr>> keyed;
  keyed.reserve(clients_.size());
  for (ClientPtr& c : clients_) {
    ClientSortKey key = keyOf(*c);
    keyed.emplace_back(std::move(key), std::move(c));
  }
  std::sort(keyed.begin(), keyed.end(), [order](const auto& a, const auto& b) {
    return clientBefore(order, a.first, b.first);
  });
  clients_.clear();
  for (auto& k : keyed) clients_.push_back(std::move(k.second));
  sorted_ = clients_.size();
  sortedOrder_ = order;
}

}  // namespace orv
