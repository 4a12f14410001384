#pragma once

#include <string>
#include <vector>

#include "server/modules/client_list.h"

namespace orv {

// One row of a GPRS line's status list; columns icon, "Id", "Acc", "Ip", "MCnt", "LastMessage",
// "Nr", "MV", "CSQ".
struct ModuleRow {
  int icon = 0;
  std::string id;
  std::string acc;  // "%X", no leading zeros
  std::string ip;
  std::string mcnt;
  std::string lastMessage;  // the last received chunk and one space
  std::string nr;
  std::string mv;
  std::string csq;

  static const std::vector<std::string>& columns();
};

ModuleRow moduleRow(const tClientContext& client);

// The rows of a line, produced from the live records: the device row first when the line has
// a device (it comes with the device line), then the connections in list order.
std::vector<ModuleRow> moduleRows(const TClientList& clients);

// A click on "Id" or "Acc" sorts the line's list and makes that order the current one.
void sortClients(TClientList& clients, ClientOrder order);

}  // namespace orv
