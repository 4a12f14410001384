#include "server/core/config.h"

#include <cctype>

#include "common/diag.h"

namespace orv {

int32_t readSetting(const IniFile& ini, std::string_view section, const IntSetting& setting) {
  int32_t v = ini.readInteger(section, setting.key, setting.def);
  if (v < setting.min || v > setting.max) {
    diagf("%s: [%.*s] %.*s=%d is outside %d..%d; using %d", ini.path().c_str(),
          static_cast<int>(section.size()), section.data(), static_cast<int>(setting.key.size()),
          setting.key.data(), v, setting.min, setting.max, setting.def);
    return setting.def;
  }
  return v;
}

bool beginsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool beginsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) !=
        std::toupper(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

OutSettings readOutSettings(const IniFile& ini) {
  OutSettings s;
  s.comOn = ini.readBool("Out", "ComOn", false);
  s.port = static_cast<uint16_t>(readSetting(ini, "Out", {"Port", 950, 0, 65535}));
  s.host = ini.readString("Out", "Host", "localhost");
  s.com = readSetting(ini, "Out", {"Com", 0, 0, 255});
  s.baud = readSetting(ini, "Out", {"Baud", 38400, 1, 4000000});
  s.dataBits = readSetting(ini, "Out", {"DataBits", 8, 4, 8});
  s.parity = readSetting(ini, "Out", {"Parity", 0, 0, 4});
  s.stopBits = readSetting(ini, "Out", {"StopBits", 0, 0, 2});
  s.flowCtrl = readSetting(ini, "Out", {"FlowCtrl", 0, 0, 2});
  s.syncPMinutes = readSetting(ini, "Out", {"SyncP", 60, 0, kMaxMinutes});
  return s;
}

InputSettings readInputSettings(const IniFile& ini, std::string_view section) {
  InputSettings s;
  s.present = ini.hasKey(section, "Port");
  s.port = static_cast<uint16_t>(readSetting(ini, section, {"Port", 910, 0, 65535}));
  s.line = static_cast<uint8_t>(readSetting(ini, section, {"Line", 1, 0, 255}));
  s.lifeTimeMinutes = readSetting(ini, section, {"LifeTime", 20, 0, kMaxMinutes});
  s.pName = ini.readString(section, "PName", "");
  return s;
}

SiaOptions readSiaOptions(const IniFile& ini) {
  SiaOptions o;
  o.udp = ini.readBool("SiaIp", "Udp", false);
  o.window.behindS = readSetting(ini, "SiaIp", {"TimeBehind", 40, 0, 86400});
  o.window.aheadS = readSetting(ini, "SiaIp", {"TimeAhead", 20, 0, 86400});
  o.window.checkPlain = ini.readBool("SiaIp", "CheckPlainTime", false);
  return o;
}

MetricsSettings readMetricsSettings(const IniFile& ini) {
  MetricsSettings m;
  m.port = static_cast<uint16_t>(readSetting(ini, "Metrics", {"Port", 0, 0, 65535}));
  m.bind = ini.readString("Metrics", "Bind", "127.0.0.1");
  return m;
}

uint16_t readSmsPort(const IniFile& ini) {
  return static_cast<uint16_t>(readSetting(ini, "Sms", {"Port", 911, 0, 65535}));
}

AdmissionRules readAdmission(const IniFile& ini, std::string_view section,
                             const AdmissionDefaults& defaults) {
  AdmissionRules rules;
  if (defaults.allowKey) {
    rules.allow = AddressList::parse(ini.readString(section, "Allow", ""),
                                     "[" + std::string(section) + "] Allow");
  }
  rules.perAddress =
      static_cast<size_t>(readSetting(ini, section, {"PerAddress", defaults.perAddress, 0, 65535}));
  rules.firstExchangeMs = static_cast<uint32_t>(readSetting(
                              ini, section, {"FirstLineWait", defaults.firstLineWaitS, 0, 3600})) *
                          1000u;
  return rules;
}

OptionsSettings readOptions(const IniFile& ini) {
  OptionsSettings s;
  s.uFl = ini.readBool("Options", "U_Fl", true);
  // An account is 16 bits: a value beyond them would wrap into some other account.
  s.rAcc = readSetting(ini, "Options", {"RAcc", 65535, 0, 65535});
  s.durable = ini.readBool("Options", "Durable", true);
  return s;
}

SockSettings readSockSettings(const IniFile& ini) {
  SockSettings s;
  s.tOutMs = static_cast<uint32_t>(readSetting(ini, "Sock", {"TOut", 60, 0, 2000000})) * 1000u;
  s.cmdDelayMs = static_cast<uint32_t>(readSetting(ini, "Sock", {"CmdDelay", 1000, 0, 3600000}));
  s.loadeeDelayMs = static_cast<uint32_t>(readSetting(ini, "loadee", {"delay", 5000, 0, 3600000}));
  s.deviceText = ini.readString("M", "C", "");
  return s;
}

std::vector<std::string> readValues(const IniFile& ini, std::string_view section) {
  std::vector<std::string> out;
  for (auto& [key, value] : ini.entries(section)) out.push_back(value);
  return out;
}

std::vector<std::string> readStartCommands(const IniFile& ini) {
  std::vector<std::string> out = readValues(ini, "StartCmd");
  out.emplace_back("99.c3");
  return out;
}

}  // namespace orv
