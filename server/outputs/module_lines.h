#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/outputs/line_template.h"

namespace orv {

// One event message of a module as the module server delivers it: "M01," … "M07," or "Mff,",
// the account, a separator, the event data and optionally ":" and the module's time stamp.
struct ModuleMessage {
  std::string_view text;
  std::string_view moduleId;
  char lineDigit = '0';
  bool identityLine = false;  // queue "U011…" with the identifier first ([Options] U_Fl)
};

struct ModuleLines {
  std::vector<std::string> queue;    // for the item's queue, with the date suffix
  std::vector<std::string> forward;  // for the item's forwarder, without it
};

// "hh:mm:ss-dd/mm" from a module time stamp "DDMMYY?HHMMSS"; empty unless it is a real date.
std::string moduleDateSuffix(std::string_view stamp);

// The output lines of one message for an item with these templates and date flag. Messages of
// other types, and bodies shorter than the four account characters, give no line.
ModuleLines buildModuleLines(const LineTemplates& templates, bool dateFlag,
                             const ModuleMessage& message);

}  // namespace orv
