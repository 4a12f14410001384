#pragma once

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
  // with thousands of modules reconnecting cannot afford.
  void markUnsorted();

 private:
  void sortLocked(ClientOrder order) const;
  void settle() const;  // lock_ held

  mutable std::mutex lock_;
  mutable std::vector<ClientPtr> clients_;
  mutable bool unsorted_ = false;
};

}  // namespace orv
