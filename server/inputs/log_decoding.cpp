#include "server/inputs/log_decoding.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/hex_record.h"

namespace orv {
namespace {

// A file of nothing but bad lines must not flood the operator.
constexpr size_t kMaxLineDiagnostics = 20;

bool isBinaryByte(unsigned char c) {
  // 0x1A is the end-of-file mark that old DOS tools leave at the end of a text file.
  return c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f' && c != 0x1A;
}

std::string_view trimmedLine(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.remove_suffix(1);
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  return line;
}

uint32_t recordStart(uint32_t address) {
  return kLogRingStart + (address - kLogRingStart) / kLogRecordSize * kLogRecordSize;
}

std::string hexWord(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
  return text;
}

}  // namespace

LogImageLoad loadLogImage(std::string_view text) {
  LogImageLoad load;
  size_t lineNumber = 0;
  size_t badLines = 0;
  auto report = [&](std::string what) {
    if (++badLines <= kMaxLineDiagnostics) {
      load.diagnostics.push_back("line " + std::to_string(lineNumber) + ": " + std::move(what));
    }
  };
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = trimmedLine(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNumber;
    if (line.empty() || line.front() != ':') continue;
    const std::optional<HexRecord> record = decodeHexRecord(line);
    if (!record) {
      report("not an Intel HEX record, skipped");
      continue;
    }
    if (record->type != kHexDataType) continue;
    if (!record->checksumOk) report("checksum does not match, record kept");
    storeHexRecord(*record, load.image, kLogImageBase);
    // The module sends its memory in ascending order: what follows the image is not the log.
    if (record->address + record->data.size() > kLogImageEnd) break;
  }
  if (badLines > kMaxLineDiagnostics) {
    load.diagnostics.push_back("... and " + std::to_string(badLines - kMaxLineDiagnostics) +
                               " more bad lines");
  }
  return load;
}

std::optional<LogImageLoad> loadLogImageFile(const std::filesystem::path& file,
                                             std::string& error) {
  const std::string name = file.string();
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = name + ": " + std::strerror(errno);
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    error = name + ": " + std::strerror(EISDIR);
    return std::nullopt;
  }
  // Read up to one byte past the limit, so that a file that grows or never ends (a device, a
  // pipe) is refused all the same.
  std::string text;
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = name + ": " + std::strerror(errno);
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    text.append(chunk, static_cast<size_t>(n));
    if (text.size() > kMaxLogFile) {
      ::close(fd);
      error = name + ": larger than " + std::to_string(kMaxLogFile >> 20) +
              " MiB, not a module log file";
      return std::nullopt;
    }
  }
  ::close(fd);
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (isBinaryByte(c)) {
      char detail[64];
      std::snprintf(detail, sizeof detail, ": not a text file (byte 0x%02X at offset %zu)", c, i);
      error = name + detail;
      return std::nullopt;
    }
  }
  return loadLogImage(text);
}

std::optional<LocalDateTime> unpackLogDateTime(std::span<const uint8_t, 5> packed) {
  uint64_t bits = 0;
  for (uint8_t b : packed) bits = bits << 8 | b;
  LocalDateTime t;
  t.hour = static_cast<int>(bits >> 35 & 0x1F);
  t.minute = static_cast<int>(bits >> 29 & 0x3F);
  t.second = static_cast<int>(bits >> 23 & 0x3F);
  t.day = static_cast<int>(bits >> 18 & 0x1F);
  t.month = static_cast<int>(bits >> 14 & 0x0F);
  t.year = 2000 + static_cast<int>(bits >> 7 & 0x7F);
  t.millisecond = 0;
  if (!isValidDateTime(t)) return std::nullopt;
  return t;
}

TLItem decodeLogRecord(std::span<const uint8_t, kLogRecordSize> record) {
  TLItem item;
  uint8_t check = 0;
  for (uint8_t b : record) check ^= b;
  if (check != 0) {
    item.dateTime = -1;
    return item;
  }
  item.dataType = record[0];
  item.account = static_cast<uint16_t>(record[1] << 8 | record[2]);
  item.event = static_cast<uint32_t>(record[3]) << 24 | static_cast<uint32_t>(record[4]) << 16 |
               static_cast<uint32_t>(record[5]) << 8 | record[6];
  item.user = record[12];
  if (std::optional<LocalDateTime> stamp = unpackLogDateTime(record.subspan<7, 5>())) {
    item.stamp = *stamp;
    item.dateTime = toDayNumber(*stamp);
  }
  return item;
}

TLList walkLogRing(const LogImage& image, std::vector<std::string>* diagnostics) {
  auto recordAt = [&](uint32_t address) {
    return std::span<const uint8_t, kLogRecordSize>(image.data() + (address - kLogImageBase),
                                                    kLogRecordSize);
  };
  TLList list;
  const size_t count = image[3];
  if (count < kLogRingRecords) {
    for (size_t i = 0; i < count; ++i) {
      list.push_back(decodeLogRecord(recordAt(kLogRingStart + i * kLogRecordSize)));
    }
    return list;
  }
  uint32_t address = static_cast<uint32_t>(image[0] << 8 | image[1]);
  // A write position between records or outside the ring would read every record shifted:
  // nothing but garbage. From the ring's start the records at least read whole.
  if (address < kLogRingStart || address > kLogRingLast || recordStart(address) != address) {
    if (diagnostics) {
      diagnostics->push_back("the write position " + hexWord(address) +
                             " is not the start of a log record; the ring is read from " +
                             hexWord(kLogRingStart));
    }
    address = kLogRingStart;
  }
  list.reserve(kLogRingRecords);
  for (size_t i = 0; i < kLogRingRecords; ++i) {
    list.push_back(decodeLogRecord(recordAt(address)));
    address += kLogRecordSize;
    if (address > kLogRingLast) address = kLogRingStart;
  }
  return list;
}

std::string_view logDataTypeName(uint8_t dataType) {
  switch (dataType) {
    case 1:
      return "4x2";
    case 2:
      return "ESPRITE";
    case 3:
      return "MAGELLAN";
    case 6:
    case 7:
      return "Contact ID";
    case 255:
      return "MODULE";
    default:
      return "Unknown";
  }
}

std::string logEventText(uint8_t dataType, uint32_t event) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08X", static_cast<unsigned>(event));
  const std::string_view h(digits, 8);
  if (dataType != 6 && dataType != 7) return std::string(h);
  // Event code, then zone or user, then the partition after the slash.
  std::string text(dataType == 6 ? "E" : "R");
  text += h.substr(0, 3);
  text += h.substr(5, 3);
  text += '/';
  text += h.substr(3, 2);
  return text;
}

LogRow logRow(const TLItem& item) {
  LogRow row;
  if (item.dateTime <= 0) {
    row[0] = "-";
    return row;
  }
  row[0] = logDataTypeName(item.dataType);
  char text[48];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(item.account));
  row[1] = text;
  row[2] = logEventText(item.dataType, item.event);
  const LocalDateTime& t = item.stamp;
  std::snprintf(text, sizeof text, "%04d.%02d.%02d. %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  row[3] = text;
  if (item.user == 0) {
    row[4] = "Event";
  } else {
    std::snprintf(text, sizeof text, "User %02X", static_cast<unsigned>(item.user));
    row[4] = text;
  }
  return row;
}

}  // namespace orv
