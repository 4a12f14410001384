#pragma once

#include <cstdint>
#include <vector>

#include "common/ini_file.h"

namespace orv {

// One account range of [AccFilter], bounds inclusive.
struct tAFItem {
  int32_t low = 0;
  int32_t high = 0;
};

// The accounts whose modules may receive start commands. An empty list accepts every account.
class tAFList {
 public:
  // Reads every key of [AccFilter]: "low,high", each bound decimal or "$" hexadecimal. A value
  // without "," or with a bound that does not parse is skipped.
  void load(const IniFile& ini);

  bool accepts(uint16_t account) const;
  const std::vector<tAFItem>& items() const { return items_; }
  void add(tAFItem item) { items_.push_back(item); }

 private:
  std::vector<tAFItem> items_;
};

}  // namespace orv
