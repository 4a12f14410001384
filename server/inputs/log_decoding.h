#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/local_time.h"

namespace orv {

// A module's event log as "GetLog" fetches it: module memory 0x0400-0x11E7 in Intel HEX records.
// The first four bytes hold the write position (high byte first), an unused byte and the number
// of records written; the ring of 14-byte records follows from 0x0404, its last record at 0x11DA.
inline constexpr uint32_t kLogImageBase = 0x0400;
inline constexpr uint32_t kLogImageEnd = 0x11E8;  // one past the last address
inline constexpr size_t kLogImageSize = kLogImageEnd - kLogImageBase;
inline constexpr uint32_t kLogRingStart = 0x0404;
inline constexpr uint32_t kLogRingLast = 0x11DA;
inline constexpr size_t kLogRecordSize = 14;
inline constexpr size_t kLogRingRecords = 254;  // a count at or above this means the ring is full

// A log file is a few kilobytes; anything near this is not one, and is refused unread.
inline constexpr uintmax_t kMaxLogFile = 4u << 20;

using LogImage = std::array<uint8_t, kLogImageSize>;

// One decoded record. `dateTime` is a day number; 0 when the packed date or time is not a real
// one, -1 when the check byte is wrong (the other fields are then 0).
struct TLItem {
  uint8_t dataType = 0;
  uint16_t account = 0;
  uint32_t event = 0;
  double dateTime = 0;
  LocalDateTime stamp;  // the fields as packed, valid only when dateTime > 0
  uint8_t user = 0;
};
using TLList = std::vector<TLItem>;

struct LogImageLoad {
  LogImage image{};
  std::vector<std::string> diagnostics;  // bad lines, each naming its line number
};

// Rebuilds the image from the text of a log file: lines that are not data records are skipped;
// data bytes outside the image are dropped; reading ends once a record has run past the image.
// Malformed data records are reported and skipped. Never fails.
LogImageLoad loadLogImage(std::string_view text);

// The same for a file. std::nullopt with `error` set when the file cannot be read, is larger than
// kMaxLogFile, or is not a text file.
std::optional<LogImageLoad> loadLogImageFile(const std::filesystem::path& file, std::string& error);

// The records in the order they were written, oldest first. A full ring whose write position is
// not the start of a ring record is walked from 0x0404, with a diagnostic appended.
TLList walkLogRing(const LogImage& image, std::vector<std::string>* diagnostics = nullptr);

// One record of 14 bytes.
TLItem decodeLogRecord(std::span<const uint8_t, kLogRecordSize> record);

// The packed date and time of bytes 7-11; std::nullopt when it is not a real date and time.
std::optional<LocalDateTime> unpackLogDateTime(std::span<const uint8_t, 5> packed);

// The viewer's table.
inline constexpr std::array<std::string_view, 5> kLogColumns = {
    "DATA TYPE", "Account", "EVENT/PARTITION", "DateTime", "User Id"};
using LogRow = std::array<std::string, 5>;

std::string_view logDataTypeName(uint8_t dataType);
std::string logEventText(uint8_t dataType, uint32_t event);
// A record with a bad check byte or date shows "-" and nothing else.
LogRow logRow(const TLItem& item);

}  // namespace orv
