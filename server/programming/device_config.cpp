#include "server/programming/device_config.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>

#include "common/hex_record.h"
#include "server/inputs/device_text.h"
#include "server/programming/dialog_text.h"

namespace orv {
namespace {

constexpr std::array<DeviceSetting, 11> kSettings = {{
    {"Relay Time", 9, 1, 3, true, 7, 1, 255},
    {"APN", 16, 32, 32},
    {"Operator Login", 48, 8, 8},
    {"Operator Password", 56, 8, 8},
    {"Server IP", 64, 15, 15},
    {"DNS Server IP", 79, 15, 15},
    {"Domain Name", 94, 32, 31},
    {"TCP port", 126, 4, 4},
    {"Event", 130, 3, 3},
    {"Local IP", 137, 15, 15, false, 4},
    {"Local port", 152, 4, 4, false, 4},
}};

constexpr std::array<std::string_view, 3> kColumns = {"Telephone Number", "Account", "User"};
constexpr std::array<size_t, 3> kCellWidths = {kPhoneDigits, kAccountDigits, 1};

constexpr bool padding(uint8_t b) {
  return b == 0xFF || b == 0x00;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// The longest prefix of whole UTF-8 characters with at most `chars` characters and `bytes`
// bytes, so that a cut never leaves half a character in the image.
std::string_view cutText(std::string_view text, size_t chars, size_t bytes) {
  size_t end = 0, count = 0;
  while (end < text.size() && count < chars) {
    size_t next = end + 1;
    while (next < text.size() && (static_cast<uint8_t>(text[next]) & 0xC0) == 0x80) ++next;
    if (next > bytes) break;
    end = next;
    ++count;
  }
  return text.substr(0, end);
}

uint8_t* recordAt(DeviceImage& image, size_t index) {
  return image.data() + kPhoneTableOffset + index * kPhoneRecordSize;
}
const uint8_t* recordAt(const DeviceImage& image, size_t index) {
  return image.data() + kPhoneTableOffset + index * kPhoneRecordSize;
}

std::string cell(const std::vector<std::string>& row, size_t column) {
  return column < row.size() ? row[column] : std::string();
}

bool binaryByte(char c) {
  const auto b = static_cast<uint8_t>(c);
  return (b < 0x20 && c != '\t' && c != '\r') || b >= 0x7F;
}

}  // namespace

bool isDeviceModuleType(int type) {
  return type == 4 || type == 7;
}

std::span<const DeviceSetting> deviceSettings() {
  return kSettings;
}

bool settingShown(const DeviceSetting& setting, int type) {
  return setting.onlyType == 0 || setting.onlyType == type;
}

DeviceValues unpackDeviceSettings(const DeviceImage& image, int type) {
  DeviceValues values;
  values.reserve(kSettings.size());
  for (const DeviceSetting& s : kSettings) {
    if (!settingShown(s, type)) {
      values.emplace_back();
    } else if (s.number) {
      values.push_back(std::to_string(image[s.offset]));
    } else {
      const auto begin = image.begin() + s.offset;
      values.emplace_back(begin, std::find_if(begin, begin + s.width, padding));
    }
  }
  return values;
}

void packDeviceSettings(const DeviceValues& values, int type, DeviceImage& image) {
  if (values.size() != kSettings.size()) return;
  for (size_t i = 0; i < kSettings.size(); ++i) {
    const DeviceSetting& s = kSettings[i];
    if (!settingShown(s, type)) continue;
    if (s.number) {
      if (std::optional<uint32_t> v = typedDecimal(values[i]); v && *v <= 0xFF) {
        image[s.offset] = static_cast<uint8_t>(*v);
      }
      continue;
    }
    std::string_view text = cutText(values[i], s.typed, s.width);
    std::fill_n(image.begin() + s.offset, s.width, 0xFF);
    std::copy(text.begin(), text.end(), image.begin() + s.offset);
  }
}

TypedSetting typedSetting(const DeviceSetting& setting, std::string_view typed) {
  const std::string caption(setting.caption);
  if (setting.number) {
    std::optional<uint32_t> v = typedDecimal(trimmed(typed));
    if (!v) return {{}, caption + ": '" + std::string(typed) + "' is not a number"};
    if (*v < setting.min) return {{}, caption + " <" + std::to_string(setting.min)};
    if (*v > setting.max) return {{}, caption + " >" + std::to_string(setting.max)};
    return {std::to_string(*v), {}};
  }
  if (std::any_of(typed.begin(), typed.end(),
                  [](char c) { return static_cast<uint8_t>(c) < 0x20 || c == 0x7F; })) {
    return {{}, caption + " takes no control characters"};
  }
  return {std::string(cutText(typed, setting.typed, setting.width)), {}};
}

size_t phoneCapacity(int type) {
  return type == 7 ? 1000 : 500;
}

size_t phoneEditorCapacity(int type) {
  return std::min(phoneCapacity(type), kCarriedPhones);
}

std::span<const std::string_view> phoneColumns() {
  return kColumns;
}

PhoneRows unpackPhones(const DeviceImage& image, int type) {
  PhoneRows rows;
  for (size_t r = 0; r < phoneCapacity(type); ++r) {
    const uint8_t* rec = recordAt(image, r);
    if (std::all_of(rec, rec + kPhoneRecordSize, [](uint8_t b) { return b == 0xFF; }) ||
        rec[0] == kPhoneEndMark) {
      break;
    }
    std::string number;
    for (size_t i = kPhoneDigits; i-- > 0;) {
      if (!padding(rec[i])) number.push_back(static_cast<char>(rec[i]));
    }
    std::string account;
    for (size_t i = kPhoneDigits; i < kPhoneDigits + kAccountDigits; ++i) {
      if (!padding(rec[i])) account.push_back(static_cast<char>(rec[i]));
    }
    std::string user;
    if (!padding(rec[15])) user.push_back(static_cast<char>(rec[15]));
    rows.push_back({std::move(number), std::move(account), std::move(user)});
  }
  return rows;
}

void packPhones(const PhoneRows& rows, int type, DeviceImage& image) {
  const size_t capacity = phoneCapacity(type);
  std::fill_n(recordAt(image, 0), capacity * kPhoneRecordSize, 0xFF);
  const size_t count = std::min(rows.size(), capacity);
  for (size_t r = 0; r < count; ++r) {
    uint8_t* rec = recordAt(image, r);
    const std::string number = cell(rows[r], kNumberColumn);
    std::string reversed(number.rbegin(), number.rend());
    reversed.resize(std::min(reversed.size(), kPhoneDigits));
    std::copy(reversed.begin(), reversed.end(), rec);
    std::string account = cell(rows[r], kAccountColumn);
    account.resize(std::min(account.size(), kAccountDigits));
    std::copy(account.begin(), account.end(), rec + kPhoneDigits);
    const std::string user = cell(rows[r], kUserColumn);
    if (!user.empty()) rec[15] = static_cast<uint8_t>(user[0]);
  }
  // A full table (or one short of full) needs no mark: it ends at the capacity or at the
  // all-0xFF record after it.
  if (count + 1 < capacity) recordAt(image, count)[0] = kPhoneEndMark;
}

void clearZeroBytes(DeviceImage& image) {
  std::replace(image.begin(), image.end(), uint8_t{0x00}, uint8_t{0xFF});
}

TypedCell typedPhoneCell(size_t column, std::string_view typed) {
  if (column >= kColumns.size()) return {{}, "No column " + std::to_string(column + 1)};
  const std::string name(kColumns[column]);
  std::string value(trimmed(typed));
  if (column == kNumberColumn) {
    if (!std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return {{}, name + " accepts only digits"};
    }
  } else {
    for (char& c : value) {
      if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    }
    if (!std::all_of(value.begin(), value.end(), [](char c) { return hexDigitValue(c) >= 0; })) {
      return {{}, name + " accepts only 0-9 and A-F"};
    }
  }
  if (value.size() > kCellWidths[column]) {
    return {{}, name + " takes at most " + std::to_string(kCellWidths[column]) + " characters"};
  }
  return {std::move(value), {}};
}

bool phoneDuplicated(const PhoneRows& rows, size_t row) {
  if (row >= rows.size()) return false;
  const std::string number = cell(rows[row], kNumberColumn);
  if (number.empty()) return false;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i != row && cell(rows[i], kNumberColumn) == number) return true;
  }
  return false;
}

std::optional<size_t> firstDuplicatePhone(const PhoneRows& rows) {
  for (size_t j = 1; j < rows.size(); ++j) {
    const std::string number = cell(rows[j], kNumberColumn);
    if (number.empty()) continue;
    for (size_t i = 0; i < j; ++i) {
      if (cell(rows[i], kNumberColumn) == number) return j;
    }
  }
  return std::nullopt;
}

std::string duplicatePhoneText(std::string_view number) {
  return "Duplicate phone number " + std::string(number) + "!";
}

std::string_view findPrompt(size_t column) {
  return column == kNumberColumn ? "Phone" : "Account";
}

std::optional<size_t> findPhoneRow(const PhoneRows& rows, size_t column, std::string_view text,
                                   size_t from) {
  const size_t searched = column == kNumberColumn ? kNumberColumn : kAccountColumn;
  const size_t n = rows.size();
  for (size_t i = 0; i < n; ++i) {
    const size_t row = (from + i) % n;
    if (cell(rows[row], searched).find(text) != std::string::npos) return row;
  }
  return std::nullopt;
}

bool insertPhoneRow(PhoneRows& rows, size_t current, size_t capacity) {
  if (rows.size() >= capacity) return false;
  const auto at = rows.begin() + static_cast<std::ptrdiff_t>(std::min(current, rows.size()));
  rows.insert(at, std::vector<std::string>(kColumns.size()));
  return true;
}

bool deletePhoneRow(PhoneRows& rows, size_t current) {
  if (current >= rows.size()) return false;
  rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(current));
  return true;
}

size_t moveDown(PhoneRows& rows, size_t current, size_t capacity) {
  if (current + 1 < rows.size()) return current + 1;
  if (rows.empty() || rows.size() >= capacity) return current;
  for (size_t c = 0; c < kColumns.size(); ++c) {
    if (cell(rows.front(), c).empty()) return current;
  }
  rows.emplace_back(kColumns.size());
  return rows.size() - 1;
}

size_t moveUp(size_t current) {
  return current == 0 ? 0 : current - 1;
}

std::string deviceHexText(const DeviceImage& image) {
  std::string text;
  for (const std::string& record : uploadRecords(image)) text += record + "\r\n";
  text += std::string(kHexEndRecord) + "\r\n";
  return text;
}

std::string loadDeviceHex(const std::filesystem::path& file, DeviceImage& image) {
  const std::string name = file.string();
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(file, ec);
  if (ec) return name + ": " + ec.message();
  if (size > kMaxDeviceHexFile) {
    return name + ": " + std::to_string(size) + " bytes, too large for a configuration file";
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return name + ": cannot be read";
  const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (content.size() > kMaxDeviceHexFile) return name + ": too large for a configuration file";

  DeviceImage loaded;
  loaded.fill(0xFF);
  // Extended address records move later data records away from the image's 64 KiB; their
  // bytes belong to no configuration address and are dropped.
  uint32_t upper = 0;
  bool sawRecord = false;
  size_t number = 0;
  for (size_t pos = 0; pos < content.size();) {
    size_t end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    const std::string_view line(content.data() + pos, end - pos);
    pos = end + 1;
    ++number;
    const std::string where = name + ": line " + std::to_string(number);
    if (std::any_of(line.begin(), line.end(), binaryByte)) return where + " holds binary bytes";
    const std::string_view text = trimmed(line);
    if (text.empty() || text.front() != ':') continue;
    sawRecord = true;
    std::optional<HexRecord> record = decodeHexRecord(text);
    if (!record) return where + " is not an Intel HEX record";
    if (record->type == 0x02 || record->type == 0x04) {
      if (record->data.size() != 2) return where + " is not an Intel HEX record";
      upper = static_cast<uint32_t>(record->data[0] << 8 | record->data[1]);
    } else if (record->type == kHexDataType && upper == 0) {
      storeHexRecord(*record, std::span<uint8_t>(loaded.data(), kDeviceCarriedEnd));
    }
  }
  if (!sawRecord) return name + ": holds no Intel HEX records";
  image = loaded;
  return {};
}

}  // namespace orv
