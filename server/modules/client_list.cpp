#include "server/modules/client_list.h"

#include <algorithm>
#include <atomic>

namespace orv {
namespace {

std::atomic<ClientOrder> gOrder{ClientOrder::ById};

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
  if (it != clients_.end()) clients_.erase(it);
}

size_t TClientList::count() const {
  std::lock_guard guard(lock_);
  return clients_.size();
}

void TClientList::markUnsorted() {
  std::lock_guard guard(lock_);
  unsorted_ = true;
}

void TClientList::settle() const {
  if (unsorted_) sortLocked(currentClientOrder());
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
  sortLocked(order);
}

void TClientList::sortLocked(ClientOrder order) const {
  unsorted_ = false;
  std::vector<std::pair<ClientSortKey, ClientPtr>> keyed;
  keyed.reserve(clients_.size());
  for (ClientPtr& c : clients_) {
    std::lock_guard fields(c->lock);
    keyed.push_back({ClientSortKey{c->moduleId, c->account}, std::move(c)});
  }
  std::sort(keyed.begin(), keyed.end(), [order](const auto& a, const auto& b) {
    return clientBefore(order, a.first, b.first);
  });
  clients_.clear();
  for (auto& k : keyed) clients_.push_back(std::move(k.second));
}

}  // namespace orv
