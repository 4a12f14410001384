#include "server/core/output_list.h"

#include "server/core/config.h"

namespace orv {

std::unique_ptr<tOList> tOList::load(const IniFile& ini, bool comOn) {
  auto list = std::make_unique<tOList>();
  if (comOn) list->items_.push_back(std::make_unique<tOItem>(tOItem{"Com", "Com"}));
  for (const std::string& section : ini.sections()) {
    if (!beginsWith(section, "Client")) continue;
    list->items_.push_back(
        std::make_unique<tOItem>(tOItem{ini.readString(section, "Id", ""), section}));
  }
  return list;
}

}  // namespace orv
