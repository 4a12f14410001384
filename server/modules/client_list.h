#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string_view>
#include <vector>

#include "server/modules/client_context.h"

namespace orv {

// Orders of a line's connection list: by module identifier, or by account; a connection
// identified "Com" comes first in both.
enum class ClientOrder { ById, ByAccount };

// The order the lists are sorted in, shared by every line (a column click changes it for all,
// and a new module server resets it to ById).
ClientOrder currentClientOrder();
void setCurrentClientOrder(ClientOrder order);

struct ClientSortKey {
  std::string id;
  uint16_t account;
};
bool clientBefore(ClientOrder order, const ClientSortKey& a, const ClientSortKey& b);

// The live connections of one module server, in the order of the status rows. Every insertion,
// removal, sort and search takes the list lock; the records themselves are shared, so a record
// found here stays valid for as long as the caller holds it.
class TClientList {
 public:
  void add(ClientPtr client);
  void remove(const tClientContext* client);
  size_t count() const;
  ClientPtr at(size_t index) const;
  // The first connection with this module identifier, or null.
  ClientPtr find(std::string_view moduleId) const;
  // The last connection with this identifier (the console searches from the end), or null.
  ClientPtr findLast(std::string_view moduleId) const;
  bool contains(const tClientContext* client) const;
  std::vector<ClientPtr> snapshot() const;
  void sort(ClientOrder order);
  // An identification changed a sort key: the list is put back in the current order before it
  // is next read. Re-sorting at once would cost a whole sort per identification, which a line
  // with thousands of modules reconnecting cannot afford. Neither call waits for the list lock,
  // so the worker that identifies modules never waits for a reader's sort.
  void markUnsorted();
  // Only this record's key changed: the next read moves it (and the connections added since the
  // last sort) into place instead of sorting the whole list.
  void markUnsorted(const tClientContext* changed);

 private:
  void sortLocked(ClientOrder order) const;
  void settle() const;  // lock_ held
  void placeLocked(std::vector<const tClientContext*> changed) const;

  mutable std::mutex lock_;
  mutable std::vector<ClientPtr> clients_;
  // clients_[0, sorted_) are in sortedOrder_; the rest came since and wait at the end.
  mutable size_t sorted_ = 0;
  mutable ClientOrder sortedOrder_ = ClientOrder::ById;
  mutable std::atomic<bool> unsorted_{false};  // the whole list needs a sort
  // Records whose key changed since the last sort. Taken after lock_, never before it.
  mutable std::mutex changedLock_;
  mutable std::vector<const tClientContext*> changed_;
  mutable bool tooManyChanged_ = false;
};

}  // namespace orv
