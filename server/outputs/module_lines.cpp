#include "server/outputs/module_lines.h"

#include <cstdio>

#include "common/local_time.h"

namespace orv {
namespace {

bool readNumber(std::string_view text, size_t pos, int& out) {
  if (pos + 2 > text.size()) return false;
  char a = text[pos], b = text[pos + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return false;
  out = (a - '0') * 10 + (b - '0');
  return true;
}

// The template slot of a message type, or -1 for types that give no output line.
int slotOf(std::string_view prefix) {
  if (prefix == "M01,") return 1;
  if (prefix == "M02,") return 2;
  if (prefix == "M03,") return 3;
  if (prefix == "M06,") return 6;
  if (prefix == "M07,") return 7;
  if (prefix == "Mff,") return 0;
  return -1;
}

constexpr size_t kIdentityWidth = 28;
constexpr size_t kIdentityIdColumn = 10;  // the identifier starts at character 11

}  // namespace

std::string moduleDateSuffix(std::string_view stamp) {
  LocalDateTime t;
  int year = 0;
  if (!readNumber(stamp, 0, t.day) || !readNumber(stamp, 2, t.month) ||
      !readNumber(stamp, 4, year) || !readNumber(stamp, 7, t.hour) ||
      !readNumber(stamp, 9, t.minute) || !readNumber(stamp, 11, t.second)) {
    return {};
  }
  t.year = 2000 + year;
  if (!isValidDateTime(t)) return {};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%2.2d:%2.2d:%2.2d-%2.2d/%2.2d", t.hour, t.minute, t.second, t.day,
                t.month);
  return buf;
}

ModuleLines buildModuleLines(const LineTemplates& templates, bool dateFlag,
                             const ModuleMessage& message) {
  ModuleLines out;
  std::string_view text = message.text;
  const int slot = slotOf(text.substr(0, 4));
  if (slot < 0) return out;

  std::string suffix;
  size_t colon = text.find(':');
  if (colon != std::string_view::npos && (dateFlag || slot == 0)) {
    if (dateFlag) suffix = moduleDateSuffix(text.substr(colon + 1));
    text = text.substr(0, colon);
  }
  std::string_view body = text.substr(4);
  if (body.size() < 4) return out;
  std::string_view account = body.substr(0, 4);
  while (!account.empty() && account.front() == ' ') account.remove_prefix(1);

  if (message.identityLine) {
    std::string id = "U011  " + std::string(account) + std::string(18, 'F');
    id.resize(std::min(id.size(), kIdentityWidth));
    if (id.size() > kIdentityIdColumn) {
      std::string_view moduleId = message.moduleId.substr(
          0, std::min(message.moduleId.size(), id.size() - kIdentityIdColumn));
      id.replace(kIdentityIdColumn, moduleId.size(), moduleId);
    }
    out.queue.push_back(id + suffix);
  }

  const std::string* compiled = templates.slot(slot);
  if (compiled == nullptr) return out;
  auto add = [&](std::string_view eventBody) {
    std::string line = LineTemplates::expand(*compiled, message.lineDigit, account, eventBody);
    out.forward.push_back(line);
    out.queue.push_back(line + suffix);
  };
  if (slot != 0) {
    add(body);
  } else {
    // "Mff,": after the account and its separator, two-character codes one character apart.
    for (size_t i = 5; i + 2 <= body.size(); i += 3) {
      add(std::string("    ,") + std::string(body.substr(i, 2)));
    }
  }
  return out;
}

}  // namespace orv
