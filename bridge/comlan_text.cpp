#include "bridge/comlan_text.h"

#include <algorithm>
#include <cctype>

namespace orv {
namespace {

constexpr std::string_view kProgramTitle = "Comlan 5.1";
// The server's date suffix "hh:mm:ss-dd/mm" and where its "/" sits, counted from the end.
constexpr size_t kDateSuffixLength = 14;
constexpr size_t kShortestDatedLine = 21;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

ComlanSettings ComlanSettings::load(const IniFile& ini) {
  ComlanSettings s;
  s.com = ini.readInteger("Com", "Port", s.com);
  s.baudRate = ini.readInteger("Com", "BaudRate", s.baudRate);
  s.dataBits = ini.readInteger("Com", "DataBits", s.dataBits);
  s.parity = ini.readInteger("Com", "Parity", s.parity);
  s.stopBits = ini.readInteger("Com", "StopBits", s.stopBits);
  s.host = ini.readString("TCP", "Host", s.host);
  s.tcpPort = ini.readInteger("TCP", "Port", s.tcpPort);
  s.id = ini.readString("TCP", "Id", s.id);
  s.syncFl = ini.readBool("Opt", "SyncFl", s.syncFl);
  s.removeDt = ini.readInteger("Opt", "RemoveDt", 1) != 0;
  return s;
}

void writeComlanSettings(IniFile& ini, const ComlanSettings& s) {
  ini.writeBool("Opt", "SyncFl", s.syncFl);
  ini.writeInteger("Com", "Port", s.com);
  ini.writeInteger("Com", "BaudRate", s.baudRate);
  ini.writeInteger("Com", "DataBits", std::clamp(s.dataBits, 4, 8));
  ini.writeInteger("Com", "StopBits", std::clamp(s.stopBits, 0, 2));
  ini.writeString("TCP", "Host", s.host);
  ini.writeInteger("TCP", "Port", s.tcpPort);
  ini.writeString("TCP", "Id", s.id);
}

std::optional<int> comEntryNumber(std::string_view entry) {
  if (entry.size() < 4 || entry.size() > 12) return std::nullopt;
  std::string prefix(entry.substr(0, 3));
  for (char& c : prefix) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (prefix != "COM") return std::nullopt;
  int n = 0;
  for (char c : entry.substr(3)) {
    if (!isDigit(c)) return std::nullopt;
    n = n * 10 + (c - '0');
    if (n > 100000) return std::nullopt;
  }
  return n;
}

std::string comlanCaption(const ComlanSettings& s) {
  const size_t space = kProgramTitle.find(' ');
  std::string caption(kProgramTitle.substr(0, space + 1));
  caption += " Port=" + std::to_string(s.tcpPort) + " host=" + s.host;
  return caption;
}

std::string stripDateSuffix(std::string_view line) {
  if (line.size() >= kShortestDatedLine && line[line.size() - 3] == '/') {
    line.remove_suffix(kDateSuffixLength);
  }
  return std::string(line);
}

int dayNumberTextError(std::string_view text) {
  const size_t n = text.size();
  size_t i = 0;
  auto digits = [&] {
    const size_t from = i;
    while (i < n && isDigit(text[i])) ++i;
    return i - from;
  };
  auto at = [&](size_t pos) { return static_cast<int>(pos) + 1; };

  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  size_t mantissa = digits();
  if (i < n && text[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return at(i);
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return at(i);
  }
  if (i < n) return at(i);
  // Well-formed; the value must also be a real date (no overflow to infinity, no year 0 or
  // 10000), or the clock would be set from nonsense.
  std::optional<double> value = parseDayNumber(text);
  if (!value || !isValidDateTime(fromDayNumber(*value))) return 1;
  return 0;
}

void TextAreaModel::append(std::string_view line) {
  std::lock_guard guard(lock_);
  lines_.emplace_back(line);
  if (lines_.size() > kMaxLines) {
    lines_.erase(lines_.begin(), lines_.end() - static_cast<std::ptrdiff_t>(kKeptLines));
  }
  ++version_;
}

std::vector<std::string> TextAreaModel::lines() const {
  std::lock_guard guard(lock_);
  return {lines_.begin(), lines_.end()};
}

uint64_t TextAreaModel::version() const {
  std::lock_guard guard(lock_);
  return version_;
}

}  // namespace orv
