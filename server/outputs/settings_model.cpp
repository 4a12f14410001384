#include "server/outputs/settings_model.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "common/serial_port.h"
#include "server/core/config.h"
#include "server/core/gprs_item.h"
#include "server/outputs/line_template.h"

namespace orv {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kMsPerMinute = 60000;

bool sameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && beginsWithNoCase(a, b);
}

bool isOneOf(std::string_view key, std::initializer_list<std::string_view> names) {
  return std::any_of(names.begin(), names.end(),
                     [&](std::string_view n) { return sameNoCase(key, n); });
}

// The output items take every key beginning with "Flt" (exactly so) as a filter, unless it
// names a map.
bool isFilterKey(std::string_view key) {
  return beginsWith(key, "Flt") && key.find("Map") == std::string_view::npos;
}

const std::initializer_list<std::string_view> kLineKeys = {
    "PName",    "Line",     "Port",     "SyncP",    "Com",    "Baud",  "DataBits", "Parity",
    "StopBits", "FlowCtrl", "TestTime", "LifeTime", "CSyncP", "TcpOn", "LogOn",    "TcpPort"};

std::vector<IniFile::Entry> extraEntries(const IniFile& ini, std::string_view section,
                                         std::initializer_list<std::string_view> owned,
                                         bool filtersOwned) {
  std::vector<IniFile::Entry> extra;
  for (IniFile::Entry& e : ini.entries(section)) {
    if (isOneOf(e.first, owned) || (filtersOwned && isFilterKey(e.first))) continue;
    extra.push_back(std::move(e));
  }
  return extra;
}

tEItem readItem(const IniFile& ini, const std::string& section, bool isCom) {
  tEItem item;
  item.section = section;
  if (!isCom) {
    item.id = ini.readString(section, "Id", "");
    item.host = ini.readString(section, "Host", "");
    item.port = readSetting(ini, section, {"Port", 0, 0, 65535});
  }
  item.qSize = readSetting(ini, section, {"QSize", 50, 0, kMaxQueueSize});
  for (const auto& [key, value] : ini.entries(section)) {
    if (isFilterKey(key)) item.filters.push_back(tFItem::parse(value));
  }
  item.extra = isCom ? extraEntries(ini, section, {"QSize", "DtFlag"}, true)
                     : extraEntries(ini, section, {"Id", "QSize", "Host", "Port"}, true);
  return item;
}

// Keys the editor does not own go back after its own ones, unless a written key took the name.
void writeExtra(IniFile& ini, std::string_view section, const std::vector<IniFile::Entry>& extra) {
  for (const auto& [key, value] : extra) {
    if (!ini.hasKey(section, key)) ini.writeString(section, key, value);
  }
}

void writeFilters(IniFile& ini, std::string_view section, const tFList& filters) {
  for (size_t i = 0; i < filters.size(); ++i) {
    ini.writeString(section, "Flt" + std::to_string(i), filters[i].format());
  }
}

std::string templateSection(std::string_view itemSection) {
  return "m" + std::string(itemSection);
}

// A channel's line templates go where the channel goes. A channel that changes between the
// sections with their own defaults (Client0) and the others would change its lines through the
// defaults alone; it takes the defaults of its old place along, written out.
void moveTemplates(IniFile& ini, const std::string& from, const std::string& to,
                   const std::vector<IniFile::Entry>& entries) {
  const std::string target = templateSection(to);
  ini.eraseSection(target);  // a leftover of no channel would change this one's lines
  bool sameDefaults = true;
  for (int slot : LineTemplates::kSlots) {
    if (LineTemplates::defaultText(from, slot) != LineTemplates::defaultText(to, slot)) {
      sameDefaults = false;
    }
  }
  if (!sameDefaults) {
    for (int slot : LineTemplates::kSlots) {
      const std::string key = std::to_string(slot);
      std::string text(LineTemplates::defaultText(from, slot));
      for (const auto& [k, v] : entries) {
        // A template too short for the line digit was never used; the default was.
        if (sameNoCase(k, key) && v.size() >= 4) text = v;
      }
      ini.writeString(target, key, text);
    }
  }
  writeExtra(ini, target, entries);
}

void writeFixedInput(IniFile& ini, const char* section, const FixedInput& input) {
  if (input.port != 0) {
    ini.writeInteger(section, "Port", input.port);
    ini.writeInteger(section, "LifeTime", input.lifeTimeMinutes);
    ini.writeInteger(section, "Line", input.line);
    ini.writeString(section, "PName", input.pName);
    return;
  }
  // Without Port the input stays off; keys of its own (admission, time window) stay for the day
  // it is switched on again.
  for (const char* key : {"Port", "LifeTime", "Line", "PName"}) ini.eraseKey(section, key);
  if (ini.hasSection(section) && ini.entries(section).empty()) ini.eraseSection(section);
}

FixedInput readFixedInput(const IniFile& ini, const char* section) {
  FixedInput input;
  input.port = readSetting(ini, section, {"Port", 0, 0, 65535});
  input.line = readSetting(ini, section, {"Line", 5, 0, 255});
  input.lifeTimeMinutes = readSetting(ini, section, {"LifeTime", 20, 0, kMaxMinutes});
  input.pName = ini.readString(section, "PName", "");
  return input;
}

std::string minutesText(int64_t ms) {
  return std::to_string(ms / kMsPerMinute);
}

int32_t msToMinutes(int64_t ms) {
  return static_cast<int32_t>(ms / kMsPerMinute);
}

int positionOf(int32_t value, int32_t first, size_t count) {
  return value >= first && value < first + static_cast<int32_t>(count) ? value - first : -1;
}

}  // namespace

int32_t numberField(std::string_view text) {
  return parseIniInteger(text).value_or(0);
}

std::string hhmmText(int64_t minutes) {
  if (minutes < 0) minutes = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%2.2lld:%2.2lld", static_cast<long long>(minutes / 60),
                static_cast<long long>(minutes % 60));
  return text;
}

int32_t hhmmMinutes(std::string_view text) {
  text = trimIni(text);
  // Hours go past 23: intervals of a day or more are shown as "25:00" and must read back so.
  int parts[3] = {0, 0, 0};
  int count = 0;
  size_t pos = 0;
  while (count < 3) {
    size_t digits = 0;
    int value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      value = value * 10 + (text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || (count > 0 && digits > 2)) return 0;
    parts[count++] = value;
    if (pos == text.size()) break;
    if (text[pos] != ':') return 0;
    ++pos;
  }
  if (pos != text.size() || count < 2) return 0;
  if (parts[1] > 59 || parts[2] > 59) return 0;
  const int64_t minutes = parts[0] * 60LL + parts[1] + (parts[2] >= 30 ? 1 : 0);
  return minutes > kMaxMinutes ? 0 : static_cast<int32_t>(minutes);
}

int32_t queueSizeField(std::string_view text) {
  return std::clamp(numberField(text), kMinQueueSize, kMaxQueueSize);
}

SerialFields serialFields(const SerialChoice& serial) {
  SerialFields f;
  f.com = "COM" + std::to_string(serial.com);
  f.baud = std::to_string(serial.baud);
  f.dataBits = positionOf(serial.dataBits, 4, kDataBitChoices.size());
  f.parity = positionOf(serial.parity, 0, kParityChoices.size());
  f.stopBits = positionOf(serial.stopBits, 0, kStopBitChoices.size());
  f.flowCtrl = positionOf(serial.flowCtrl, 0, kFlowChoices.size());
  return f;
}

void storeSerialFields(SerialChoice& serial, const SerialFields& fields) {
  // The port number is what follows "COM", two digits at most.
  if (fields.com.size() > 3) serial.com = numberField(fields.com.substr(3, 2));
  if (!fields.baud.empty()) serial.baud = numberField(fields.baud);
  if (fields.dataBits >= 0) serial.dataBits = fields.dataBits + 4;
  if (fields.parity >= 0) serial.parity = fields.parity;
  if (fields.stopBits >= 0) serial.stopBits = fields.stopBits;
  if (fields.flowCtrl >= 0) serial.flowCtrl = fields.flowCtrl;
}

LineFields lineFields(const LineRecord& r) {
  LineFields f;
  f.pName = r.pName;
  f.line = std::to_string(r.line);
  f.port = std::to_string(r.port);
  f.syncP = hhmmText(r.syncPMs / kMsPerMinute);
  f.testTime = minutesText(r.testTimeMs);
  f.lifeTime = minutesText(r.lifeTimeMs);
  f.device = serialFields(r.device);
  f.cSyncP = hhmmText(r.cSyncPMs / kMsPerMinute);
  f.tcpOn = r.tcpOn;
  f.logOn = r.logOn;
  f.tcpPort = std::to_string(r.tcpPort);
  return f;
}

void storeLineFields(LineRecord& r, const LineFields& f) {
  r.pName = f.pName;
  if (!f.line.empty()) r.line = numberField(f.line);
  r.port = numberField(f.port);
  r.syncPMs = hhmmMinutes(f.syncP) * kMsPerMinute;
  r.testTimeMs = numberField(f.testTime) * kMsPerMinute;
  r.lifeTimeMs = numberField(f.lifeTime) * kMsPerMinute;
  storeSerialFields(r.device, f.device);
  r.cSyncPMs = hhmmMinutes(f.cSyncP) * kMsPerMinute;
  r.tcpOn = f.tcpOn;
  r.logOn = f.logOn;
  r.tcpPort = numberField(f.tcpPort);
}

LineFields lineFields(const FixedInput& input) {
  LineFields f;
  f.pName = input.pName;
  f.line = std::to_string(input.line);
  f.port = std::to_string(input.port);
  f.lifeTime = std::to_string(input.lifeTimeMinutes);
  return f;
}

void storeLineFields(FixedInput& input, const LineFields& f) {
  input.pName = f.pName;
  if (!f.line.empty()) input.line = numberField(f.line);
  input.port = numberField(f.port);
  input.lifeTimeMinutes = numberField(f.lifeTime);
}

ChannelFields channelFields(const tEItem& item) {
  return {std::to_string(item.qSize), item.host, std::to_string(item.port)};
}

void storeChannelFields(tEItem& item, const ChannelFields& fields) {
  item.qSize = queueSizeField(fields.qSize);
  item.host = std::string(trimIni(fields.host));
  item.port = numberField(fields.port);
}

SettingsModel SettingsModel::load(const IniFile& ini) {
  SettingsModel m;
  int tab = 0;
  for (const std::string& section : gprsSections(ini)) {
    std::unique_ptr<tGprsItem> item = readGprsItem(ini, section, m.lines.size());
    LineRecord r;
    r.tabNumber = tab++;
    r.section = ini.hasSection(section) ? section : std::string();
    r.pName = item->pName;
    r.line = item->line;
    r.port = item->port;
    r.syncPMs = item->syncPMs;
    r.testTimeMs = item->testTimeMs;
    r.lifeTimeMs = item->lifeTimeMs;
    r.device = {item->com,    item->baud,     item->dataBits,
                item->parity, item->stopBits, item->flowCtrl};
    r.cSyncPMs = item->cSyncPMs;
    r.tcpOn = item->tcpOn;
    r.logOn = item->logOn;
    r.tcpPort = item->tcpPort;
    r.extra = extraEntries(ini, section, kLineKeys, false);
    m.lines.push_back(std::move(r));
  }
  m.tcpDrv = readFixedInput(ini, "TcpDrv");
  m.sia = readFixedInput(ini, "SiaIp");

  for (const std::string& section : ini.sections()) {
    if (beginsWith(section, "Client")) m.channels.push_back(readItem(ini, section, false));
  }
  m.com = readItem(ini, "Com", true);
  m.com.id = "Com";
  m.comDtFlag = ini.readBool("Com", "DtFlag", true);

  // The editor's own defaults for the serial output differ from the output's (COM1, 9600).
  m.serialOut.com = readSetting(ini, "Out", {"Com", 1, 0, 255});
  m.serialOut.baud = readSetting(ini, "Out", {"Baud", 9600, 1, 4000000});
  m.serialOut.dataBits = readSetting(ini, "Out", {"DataBits", 8, 4, 8});
  m.serialOut.parity = readSetting(ini, "Out", {"Parity", 0, 0, 4});
  m.serialOut.stopBits = readSetting(ini, "Out", {"StopBits", 0, 0, 2});
  m.serialOut.flowCtrl = readSetting(ini, "Out", {"FlowCtrl", 0, 0, 2});
  m.comOn = ini.readBool("Out", "ComOn", false);
  m.outPort = readSetting(ini, "Out", {"Port", 950, 0, 65535});
  m.outSyncMinutes = readSetting(ini, "Out", {"SyncP", 60, 0, kMaxMinutes});
  m.mode = ini.readInteger("Out", "Mode", 0);
  m.smsPort = readSmsPort(ini);
  m.uFl = ini.readBool("Options", "U_Fl", true);
  if (!m.lines.empty()) {
    m.inPort = m.lines.front().port;
    m.inSyncMinutes = msToMinutes(m.lines.front().syncPMs);
  }
  return m;
}

std::optional<size_t> SettingsModel::insertLine() {
  if (lines.size() >= kMaxLines) return std::nullopt;
  LineRecord r;
  r.tabNumber = lines.empty() ? 0 : lines.back().tabNumber + 1;
  // No module server until the operator gives the line a port of its own: the default port
  // would collide with the first line's.
  r.port = 0;
  lines.push_back(std::move(r));
  return lines.size() - 1;
}

void SettingsModel::removeLine(size_t index) {
  if (index < lines.size()) lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(index));
}

std::optional<size_t> SettingsModel::addChannel(std::string_view id) {
  id = trimIni(id);
  if (id.empty()) return std::nullopt;
  tEItem item;
  item.id = std::string(id);
  channels.push_back(std::move(item));
  return channels.size() - 1;
}

void SettingsModel::removeChannel(size_t index) {
  if (index < channels.size())
    channels.erase(channels.begin() + static_cast<std::ptrdiff_t>(index));
}

void SettingsModel::apply(IniFile& ini) const {
  ini.writeInteger("Sms", "Port", smsPort);
  ini.writeBool("Options", "U_Fl", uFl);

  for (const std::string& section : ini.sections()) {
    if (beginsWithNoCase(section, "GPRS")) ini.eraseSection(section);
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    const LineRecord& r = lines[i];
    const std::string s = "GPRS" + std::to_string(i);
    ini.writeString(s, "PName", r.pName);
    ini.writeInteger(s, "Line", r.line);
    ini.writeInteger(s, "Port", r.port);
    ini.writeInteger(s, "SyncP", msToMinutes(r.syncPMs));
    ini.writeInteger(s, "Com", r.device.com);
    ini.writeInteger(s, "Baud", r.device.baud);
    ini.writeInteger(s, "DataBits", r.device.dataBits);
    ini.writeInteger(s, "Parity", r.device.parity);
    ini.writeInteger(s, "StopBits", r.device.stopBits);
    ini.writeInteger(s, "FlowCtrl", r.device.flowCtrl);
    ini.writeInteger(s, "TestTime", msToMinutes(r.testTimeMs));
    ini.writeInteger(s, "LifeTime", msToMinutes(r.lifeTimeMs));
    ini.writeInteger(s, "CSyncP", msToMinutes(r.cSyncPMs));
    ini.writeBool(s, "TcpOn", r.tcpOn);
    ini.writeBool(s, "LogOn", r.logOn);
    ini.writeInteger(s, "TcpPort", r.tcpPort);
    writeExtra(ini, s, r.extra);
  }

  writeFixedInput(ini, "TcpDrv", tcpDrv);
  writeFixedInput(ini, "SiaIp", sia);

  // Channels are renumbered; their template sections are taken along, and those of removed
  // channels go with them.
  std::vector<std::vector<IniFile::Entry>> templates;
  for (const tEItem& item : channels) {
    templates.push_back(item.section.empty() ? std::vector<IniFile::Entry>()
                                             : ini.entries(templateSection(item.section)));
  }
  for (const std::string& section : ini.sections()) {
    if (!beginsWith(section, "Client")) continue;
    ini.eraseSection(section);
    ini.eraseSection(templateSection(section));
  }
  ini.eraseSection("Com");
  for (size_t i = 0; i < channels.size(); ++i) {
    const tEItem& item = channels[i];
    const std::string s = "Client" + std::to_string(i);
    ini.writeString(s, "Id", item.id);
    ini.writeInteger(s, "QSize", item.qSize);
    if (item.port != 0) {
      ini.writeString(s, "Host", item.host);
      ini.writeInteger(s, "Port", item.port);
    }
    writeFilters(ini, s, item.filters);
    writeExtra(ini, s, item.extra);
    // A channel added here takes whatever templates its section name already has.
    if (!item.section.empty()) moveTemplates(ini, item.section, s, templates[i]);
  }
  ini.writeInteger("Com", "QSize", std::max(com.qSize, kMinQueueSize));
  ini.writeBool("Com", "DtFlag", comDtFlag);
  writeFilters(ini, "Com", com.filters);
  writeExtra(ini, "Com", com.extra);

  ini.writeInteger("Out", "Com", serialOut.com);
  ini.writeInteger("Out", "Baud", serialOut.baud);
  ini.writeInteger("Out", "DataBits", serialOut.dataBits);
  ini.writeInteger("Out", "Parity", serialOut.parity);
  ini.writeInteger("Out", "StopBits", serialOut.stopBits);
  ini.writeInteger("Out", "FlowCtrl", serialOut.flowCtrl);
  ini.writeInteger("In", "SyncP", inSyncMinutes);
  ini.writeInteger("Out", "SyncP", outSyncMinutes);
  ini.writeInteger("In", "Port", inPort);
  ini.writeInteger("Out", "Port", outPort);
  ini.writeBool("Out", "ComOn", comOn);
}

std::vector<std::string> comPortNames(const IniFile& ini, const SettingsModel& model) {
  std::vector<int> numbers = presentComPorts(ini);
  auto keep = [&](int com) {
    if (com > 0 && std::find(numbers.begin(), numbers.end(), com) == numbers.end()) {
      numbers.insert(std::upper_bound(numbers.begin(), numbers.end(), com), com);
    }
  };
  keep(model.serialOut.com);
  for (const LineRecord& r : model.lines) keep(r.device.com);
  std::vector<std::string> names{"COM0"};
  for (int n : numbers) names.push_back("COM" + std::to_string(n));
  return names;
}

std::optional<std::string> saveSettings(const SettingsModel& model, const fs::path& file) {
  // A link stays a link: the file it names is the one rewritten.
  std::error_code ec;
  fs::path target = file;
  if (fs::is_symlink(fs::symlink_status(file, ec))) {
    target = fs::canonical(file, ec);
    if (ec) return "cannot follow the link: " + ec.message();
  }

  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists) {
    if (!S_ISREG(st.st_mode)) return std::string("not a regular file");
    // The replacement is a rename, which would go through a read-only file (and root may write
    // anything): the write bits decide.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(target.c_str(), W_OK) != 0) {
      return std::string("the file is read-only");
    }
    // What cannot be read whole cannot be rewritten without losing the rest.
    if (static_cast<uintmax_t>(st.st_size) > IniFile::kMaxFileSize) {
      return std::string("the file is too large to be rewritten");
    }
    if (!std::ifstream(target, std::ios::binary)) {
      return "cannot read the file: " + std::string(std::strerror(errno));
    }
  }
  IniFile ini(target);
  model.apply(ini);
  std::string error;
  if (!ini.save(&error)) return error;
  if (exists) ::chmod(target.c_str(), st.st_mode & 07777);  // the new file keeps the old's access
  return std::nullopt;
}

}  // namespace orv
