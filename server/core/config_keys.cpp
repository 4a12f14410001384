#include "server/core/config_keys.h"

#include <algorithm>
#include <span>

#include "common/ini_file.h"
#include "server/core/config.h"
#include "server/modules/iocs.h"

namespace orv::config_check {
namespace {

// The keys the readers look up (readGprsItem, readOutSettings, readInputSettings,
// readSiaOptions, readAdmission, readOptions, readSockSettings, tOItem, LineTemplates), with the
// defaults they use for a value that is no number. A key a reader learns belongs here too, or
// the check calls it unknown.
enum class KeyKind { Int, Bool, Text };
struct KeyRule {
  std::string_view name;
  KeyKind kind;
  int32_t def;
};

constexpr KeyRule kGprsKeys[] = {{"PName", KeyKind::Text, 0},
                                 {"Line", KeyKind::Int, 0},
                                 {"Port", KeyKind::Int, 778},
                                 {"SyncP", KeyKind::Int, 60},
                                 {"Com", KeyKind::Int, 0},
                                 {"Baud", KeyKind::Int, 9600},
                                 {"DataBits", KeyKind::Int, 8},
                                 {"Parity", KeyKind::Int, 0},
                                 {"StopBits", KeyKind::Int, 0},
                                 {"FlowCtrl", KeyKind::Int, 0},
                                 {"TestTime", KeyKind::Int, 5},
                                 {"LifeTime", KeyKind::Int, 5},
                                 {"CSyncP", KeyKind::Int, 60},
                                 {"TcpOn", KeyKind::Bool, 0},
                                 {"LogOn", KeyKind::Bool, 0},
                                 {"TcpPort", KeyKind::Int, 777},
                                 {"Allow", KeyKind::Text, 0},
                                 {"PerAddress", KeyKind::Int, 0},
                                 {"FirstLineWait", KeyKind::Int, 10},
                                 {"MaxConnections", KeyKind::Int, tIOCS::kDefaultMaxConnections}};
constexpr KeyRule kOutKeys[] = {
    {"ComOn", KeyKind::Bool, 0},        {"Port", KeyKind::Int, 950},
    {"Host", KeyKind::Text, 0},         {"Com", KeyKind::Int, 0},
    {"Baud", KeyKind::Int, 38400},      {"DataBits", KeyKind::Int, 8},
    {"Parity", KeyKind::Int, 0},        {"StopBits", KeyKind::Int, 0},
    {"FlowCtrl", KeyKind::Int, 0},      {"SyncP", KeyKind::Int, 60},
    {"Mode", KeyKind::Int, 0},          {"PerAddress", KeyKind::Int, 64},
    {"FirstLineWait", KeyKind::Int, 20}};
constexpr KeyRule kClientKeys[] = {{"Id", KeyKind::Text, 0},
                                   {"QSize", KeyKind::Int, 50},
                                   {"Host", KeyKind::Text, 0},
                                   {"Port", KeyKind::Int, 0}};
constexpr KeyRule kComKeys[] = {{"QSize", KeyKind::Int, 50},
                                {"DtFlag", KeyKind::Bool, 1},
                                {"Host", KeyKind::Text, 0},
                                {"Port", KeyKind::Int, 0}};
constexpr KeyRule kTemplateKeys[] = {{"0", KeyKind::Text, 0}, {"1", KeyKind::Text, 0},
                                     {"2", KeyKind::Text, 0}, {"3", KeyKind::Text, 0},
                                     {"6", KeyKind::Text, 0}, {"7", KeyKind::Text, 0}};
constexpr KeyRule kTcpDrvKeys[] = {
    {"Port", KeyKind::Int, 910},        {"Line", KeyKind::Int, 1},
    {"LifeTime", KeyKind::Int, 20},     {"PName", KeyKind::Text, 0},
    {"Allow", KeyKind::Text, 0},        {"PerAddress", KeyKind::Int, 64},
    {"FirstLineWait", KeyKind::Int, 10}};
constexpr KeyRule kSiaIpKeys[] = {
    {"Port", KeyKind::Int, 910},         {"Line", KeyKind::Int, 1},
    {"LifeTime", KeyKind::Int, 20},      {"PName", KeyKind::Text, 0},
    {"Allow", KeyKind::Text, 0},         {"PerAddress", KeyKind::Int, 64},
    {"FirstLineWait", KeyKind::Int, 10}, {"Udp", KeyKind::Bool, 0},
    {"TimeBehind", KeyKind::Int, 40},    {"TimeAhead", KeyKind::Int, 20},
    {"CheckPlainTime", KeyKind::Bool, 0}};
constexpr KeyRule kSmsKeys[] = {{"Port", KeyKind::Int, 911},
                                {"Allow", KeyKind::Text, 0},
                                {"PerAddress", KeyKind::Int, 64},
                                {"FirstLineWait", KeyKind::Int, 20}};
constexpr KeyRule kOptionsKeys[] = {
    {"U_Fl", KeyKind::Bool, 1}, {"RAcc", KeyKind::Int, 65535}, {"Durable", KeyKind::Bool, 1}};
constexpr KeyRule kSockKeys[] = {{"TOut", KeyKind::Int, 60}, {"CmdDelay", KeyKind::Int, 1000}};
constexpr KeyRule kLoadeeKeys[] = {{"delay", KeyKind::Int, 5000}};
constexpr KeyRule kDeviceTextKeys[] = {{"C", KeyKind::Text, 0}};
// Written by the settings dialog, read by nobody.
constexpr KeyRule kInKeys[] = {{"SyncP", KeyKind::Text, 0}, {"Port", KeyKind::Text, 0}};

enum class SectionKind { Gprs, Channel, Com, Templates, Ports, AnyKeys, Keys, Unknown };
struct SectionRule {
  SectionKind kind = SectionKind::Unknown;
  std::span<const KeyRule> keys;
};

SectionRule ruleOf(std::string_view name, const IniScan& scan) {
  if (beginsWithNoCase(name, "GPRS")) return {SectionKind::Gprs, kGprsKeys};
  if (isChannelSection(name)) return {SectionKind::Channel, kClientKeys};
  static const std::pair<std::string_view, SectionRule> kFixed[] = {
      {"Out", {SectionKind::Keys, kOutKeys}},       {"Com", {SectionKind::Com, kComKeys}},
      {"TcpDrv", {SectionKind::Keys, kTcpDrvKeys}}, {"SiaIp", {SectionKind::Keys, kSiaIpKeys}},
      {"Sms", {SectionKind::Keys, kSmsKeys}},       {"Options", {SectionKind::Keys, kOptionsKeys}},
      {"Sock", {SectionKind::Keys, kSockKeys}},     {"loadee", {SectionKind::Keys, kLoadeeKeys}},
      {"M", {SectionKind::Keys, kDeviceTextKeys}},  {"In", {SectionKind::Keys, kInKeys}},
      {"Ports", {SectionKind::Ports, {}}},          {"StartCmd", {SectionKind::AnyKeys, {}}},
      {"AccFilter", {SectionKind::AnyKeys, {}}},    {"CList", {SectionKind::AnyKeys, {}}},
      {"Commands", {SectionKind::AnyKeys, {}}},
  };
  for (const auto& [fixed, rule] : kFixed) {
    if (sameNoCase(name, fixed)) return rule;
  }
  if (name.size() > 1 && (name[0] == 'm' || name[0] == 'M')) {
    const std::string_view item = name.substr(1);
    if (sameNoCase(item, "Com")) return {SectionKind::Templates, kTemplateKeys};
    for (const ScannedSection& s : scan.sections) {
      if (isChannelSection(s.name) && sameNoCase(s.name, item)) {
        return {SectionKind::Templates, kTemplateKeys};
      }
    }
  }
  return {};
}

char upperChar(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const bool same = upperChar(a[i - 1]) == upperChar(b[j - 1]);
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The known key a mistyped one most likely meant ("Prot" for "Port"), or empty.
std::string_view likelyMeant(std::string_view key, std::span<const KeyRule> keys) {
  if (key.size() < 3 || key.size() > 32) return {};
  std::string_view best;
  size_t bestDistance = 3;
  for (const KeyRule& k : keys) {
    const size_t d = editDistance(key, k.name);
    if (d < bestDistance) {
      bestDistance = d;
      best = k.name;
    }
  }
  return best;
}

}  // namespace

bool isChannelSection(std::string_view name) {
  return beginsWith(name, "Client");
}

bool isComKey(std::string_view key) {
  if (key.size() < 4 || !sameNoCase(key.substr(0, 3), "COM")) return false;
  return std::all_of(key.begin() + 3, key.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void checkSectionsAndKeys(const IniScan& scan, const std::string& file, Findings& out) {
  for (const ScannedSection& section : scan.sections) {
    const std::string at = file + ": [" + section.name + "]";
    const SectionRule rule = ruleOf(section.name, scan);
    if (rule.kind == SectionKind::Unknown) {
      std::string text =
          at + " (line " + std::to_string(section.line) + "): unknown section; not read";
      if (beginsWithNoCase(section.name, "Client")) {
        text += " (output channel sections begin with \"Client\", capital C)";
      } else if (section.name.size() > 1 && (section.name[0] == 'm' || section.name[0] == 'M')) {
        text += " (templates of no output channel: there is no [" + section.name.substr(1) + "])";
      }
      out.warning(text);
      continue;
    }
    if (rule.kind == SectionKind::AnyKeys) continue;
    for (const ScannedKey& key : section.keys) {
      const std::string keyAt = at + " " + key.name;
      if ((rule.kind == SectionKind::Channel || rule.kind == SectionKind::Com) &&
          beginsWith(key.name, "Flt")) {
        continue;  // a filter, or with "Map" in its name one that is passed over on purpose
      }
      if (rule.kind == SectionKind::Ports) {
        if (!isComKey(key.name)) {
          out.warning(keyAt + " (line " + std::to_string(key.line) +
                      "): unknown key; [Ports] maps COM numbers, as in COM3=/dev/ttyUSB0");
        }
        continue;
      }
      const KeyRule* known = nullptr;
      for (const KeyRule& k : rule.keys) {
        if (sameNoCase(k.name, key.name)) known = &k;
      }
      if (known == nullptr) {
        std::string text = keyAt + " (line " + std::to_string(key.line) + "): unknown key; ignored";
        if (rule.kind == SectionKind::Templates) {
          text += " (template keys are 0, 1, 2, 3, 6 and 7)";
        } else if ((rule.kind == SectionKind::Channel || rule.kind == SectionKind::Com) &&
                   beginsWithNoCase(key.name, "Flt")) {
          text += " (filter keys begin with \"Flt\" exactly)";
        } else if (std::string_view meant = likelyMeant(key.name, rule.keys); !meant.empty()) {
          text += " (" + std::string(meant) + "?)";
        }
        out.warning(text);
        continue;
      }
      if (known->kind != KeyKind::Text && !parseIniInteger(key.value)) {
        out.warning(keyAt + "=" + shown(key.value) + " is not a number; the default " +
                    std::to_string(known->def) + " is used");
      }
    }
  }
}

}  // namespace orv::config_check
