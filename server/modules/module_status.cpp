#include "server/modules/module_status.h"

#include <cstdio>

namespace orv {

const std::vector<std::string>& ModuleRow::columns() {
  static const std::vector<std::string> kColumns = {"",   "Id", "Acc", "Ip", "MCnt", "LastMessage",
                                                    "Nr", "MV", "CSQ"};
  return kColumns;
}

ModuleRow moduleRow(const tClientContext& client) {
  std::lock_guard guard(client.lock);
  ModuleRow row;
  char acc[8];
  std::snprintf(acc, sizeof acc, "%X", client.account);
  row.id = client.moduleId;
  row.acc = acc;
  row.ip = client.peerAddress;
  row.mcnt = std::to_string(client.messageCount);
  row.lastMessage = client.lastReceived + " ";
  row.nr = std::to_string(client.number);
  row.mv = client.supplyVoltage;
  row.csq = client.signalQuality;
  return row;
}

std::vector<ModuleRow> moduleRows(const TClientList& clients) {
  std::vector<ModuleRow> rows;
  for (const ClientPtr& c : clients.snapshot()) rows.push_back(moduleRow(*c));
  return rows;
}

void sortClients(TClientList& clients, ClientOrder order) {
  setCurrentClientOrder(order);
  clients.sort(order);
}

}  // namespace orv
