#include "server/core/account_filter.h"

namespace orv {

void tAFList::load(const IniFile& ini) {
  items_.clear();
  for (const auto& [key, value] : ini.entries("AccFilter")) {
    size_t comma = value.find(',');
    if (comma == std::string::npos) continue;
    auto low = parseIniInteger(std::string_view(value).substr(0, comma));
    auto high = parseIniInteger(std::string_view(value).substr(comma + 1));
    if (!low || !high) continue;
    items_.push_back(tAFItem{*low, *high});
  }
}

bool tAFList::accepts(uint16_t account) const {
  if (items_.empty()) return true;
  for (const tAFItem& item : items_) {
    if (item.low <= account && account <= item.high) return true;
  }
  return false;
}

}  // namespace orv
