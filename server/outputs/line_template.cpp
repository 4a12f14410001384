#include "server/outputs/line_template.h"

#include <strings.h>

#include "common/diag.h"

namespace orv {
namespace {

// Sections Com and Client0 pad with "s"; the other channels carry their spaces in the text.
constexpr std::string_view kFirstSet[8] = {"5011s18$ss#1#2sssss",
                                           "5011s18$ss#1#2sssss",
                                           "5011s18$#1#2#3#4sssss",
                                           "5011s18$#1#2#3#4#5#6sss",
                                           "",
                                           "",
                                           "5011s18$E#1#2#3#4#5#6#7#8",
                                           "5011s18$R#1#2#3#4#5#6#7#8"};
constexpr std::string_view kOtherSet[8] = {"5011 18$ss#1#2sssss",
                                           "5011 18$ss#1#2sssss",
                                           "5011 18$ss#1#2sss#3#4",
                                           "5011 18$ss#1#2#5#6s#3#4",
                                           "",
                                           "",
                                           "5011 18$E#1#2#3#4#5#6#7#8",
                                           "5011 18$R#1#2#3#4#5#6#7#8"};

bool sameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::string_view LineTemplates::defaultText(std::string_view itemSection, int slot) {
  if (slot < 0 || slot > 7) return {};
  bool first = sameNoCase(itemSection, "Com") || sameNoCase(itemSection, "Client0");
  return first ? kFirstSet[slot] : kOtherSet[slot];
}

std::string LineTemplates::compile(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '$') {
      out.push_back(kAccountByte);
    } else if (c == '#' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
      out.push_back(static_cast<char>(text[++i] - '0'));
    } else {
      out.push_back(c);
    }
  }
  return out;
}

LineTemplates LineTemplates::load(const IniFile& ini, std::string_view itemSection) {
  LineTemplates t;
  const std::string section = "m" + std::string(itemSection);
  for (int slot : kSlots) {
    std::string key = std::to_string(slot);
    std::string text = ini.readString(section, key, defaultText(itemSection, slot));
    if (text.size() < 4) {
      diagf("[%s] %s=%s: a template needs at least four characters; using the default",
            section.c_str(), key.c_str(), text.c_str());
      text = std::string(defaultText(itemSection, slot));
    }
    t.slots_[static_cast<size_t>(slot)] = compile(text);
  }
  return t;
}

const std::string* LineTemplates::slot(int slot) const {
  if (slot < 0 || slot > 7 || slots_[static_cast<size_t>(slot)].empty()) return nullptr;
  return &slots_[static_cast<size_t>(slot)];
}

std::string LineTemplates::expand(const std::string& compiled, char lineDigit,
                                  std::string_view account, std::string_view body) {
  std::string out;
  out.reserve(compiled.size() + account.size() + 8);
  for (size_t i = 0; i < compiled.size(); ++i) {
    char c = i == 3 ? lineDigit : compiled[i];
    if (c == kAccountByte) {
      out.append(account);
    } else if (c >= 1 && c <= 9) {
      size_t pos = static_cast<size_t>(c) + 4;  // character n + 5, counted from 1
      out.push_back(pos < body.size() ? body[pos] : ' ');
    } else if (c == 's') {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace orv
