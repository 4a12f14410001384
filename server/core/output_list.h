#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/ini_file.h"

namespace orv {

// One output channel: the item "Com" for [Out] ComOn, or one per "Client..." section.
struct tOItem {
  std::string name;     // "Com", or the section's Id
  std::string section;  // the INI section that configures it
};

// The output channels in list order: "Com" first when ComOn, then every section whose name
// begins with "Client" (case-sensitive) in file order.
class tOList {
 public:
  static std::unique_ptr<tOList> load(const IniFile& ini, bool comOn);

  const std::vector<std::unique_ptr<tOItem>>& items() const { return items_; }
  size_t count() const { return items_.size(); }
  bool empty() const { return items_.empty(); }

 private:
  std::vector<std::unique_ptr<tOItem>> items_;
};

}  // namespace orv
