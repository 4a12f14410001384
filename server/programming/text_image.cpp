#include "server/programming/text_image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "common/hex_record.h"

namespace orv {
namespace {

constexpr uint32_t kEventCountAddress = 5000;
constexpr uint32_t kPartitionCountAddress = 16375;
constexpr uint8_t kEmptyCount = 0xFF;

size_t indexOf(uint32_t address) {
  return address - kTextImageBase;
}

// The records that fit between a table's count byte and the next thing in the image.
size_t roomFor(uint32_t countAddress, size_t recordSize, uint32_t end) {
  return (end - (countAddress + 1)) / recordSize;
}

bool isHighSurrogate(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool isLowSurrogate(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string_view trimmed(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// A record line must be whole: every character after ":" a hex digit and exactly as long as its
// count says. The checksum's value is not insisted on, as the modules' own receivers do not.
bool wellFormedRecord(std::string_view line) {
  if (line.size() < 11 || line[0] != ':') return false;
  if (!std::all_of(line.begin() + 1, line.end(), [](char c) { return hexDigitValue(c) >= 0; })) {
    return false;
  }
  const size_t count = static_cast<size_t>(hexDigitValue(line[1]) * 16 + hexDigitValue(line[2]));
  return line.size() == 11 + 2 * count;
}

}  // namespace

TextTableLayout eventTextLayout(int kind) {
  const size_t room = roomFor(kEventCountAddress, 51, kPartitionCountAddress);
  const size_t capacity = kind > 1 ? std::min<size_t>(static_cast<size_t>(kind), room) - 1 : 0;
  return {kEventCountAddress, 23, 51, 4, capacity};
}

TextTableLayout partitionTextLayout() {
  return {kPartitionCountAddress, 16, 34, 1, roomFor(kPartitionCountAddress, 34, kTextFlagAddress)};
}

std::vector<TextRecord> fillTextTable(const TextImage& image, const TextTableLayout& layout) {
  std::vector<TextRecord> records;
  const uint8_t count = image[indexOf(layout.countAddress)];
  if (count == kEmptyCount) return records;
  const size_t n = std::min<size_t>(count, layout.capacity);
  records.reserve(n);
  for (size_t k = 0; k < n; ++k) {
    const size_t at = indexOf(layout.countAddress) + 1 + layout.recordSize * k;
    if (at + layout.recordSize > image.size()) break;
    TextRecord record;
    for (size_t i = 0; i < layout.idBytes; ++i) record.id = record.id << 8 | image[at + i];
    const size_t length = std::min<size_t>(image[at + layout.idBytes], layout.maxChars);
    const size_t text = at + layout.idBytes + 1;
    for (size_t i = 0; i < length; ++i) {
      record.text += static_cast<char16_t>(image[text + 2 * i] << 8 | image[text + 2 * i + 1]);
    }
    records.push_back(std::move(record));
  }
  return records;
}

void packTextTable(const std::vector<TextRecord>& records, const TextTableLayout& layout,
                   TextImage& image) {
  size_t n = std::min(records.size(), layout.capacity);
  if (n == 1 && records[0].text.empty()) n = 0;
  image[indexOf(layout.countAddress)] = static_cast<uint8_t>(n);
  for (size_t k = 0; k < n; ++k) {
    const size_t at = indexOf(layout.countAddress) + 1 + layout.recordSize * k;
    const TextRecord& record = records[k];
    for (size_t i = 0; i < layout.idBytes; ++i) {
      image[at + i] = static_cast<uint8_t>(record.id >> (8 * (layout.idBytes - 1 - i)));
    }
    const std::u16string text = cutToUnits(record.text, layout.maxChars);
    image[at + layout.idBytes] = static_cast<uint8_t>(text.size());
    const size_t start = at + layout.idBytes + 1;
    for (size_t i = 0; i < text.size(); ++i) {
      image[start + 2 * i] = static_cast<uint8_t>(text[i] >> 8);
      image[start + 2 * i + 1] = static_cast<uint8_t>(text[i] & 0xFF);
    }
  }
}

std::string textRecordId(uint32_t id, const TextTableLayout& layout) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", static_cast<int>(layout.idBytes * 2),
                static_cast<unsigned>(id));
  return buf;
}

std::optional<TextRecord> textRecordFromRow(std::string_view id, std::string_view message,
                                            const TextTableLayout& layout, std::string& error) {
  TextRecord record;
  id = trimmed(id);
  if (!id.empty()) {
    const size_t digits = layout.idBytes * 2;
    std::optional<uint32_t> value = id.size() <= digits ? parseHex(id) : std::nullopt;
    if (!value) {
      error = "ID \"" + std::string(id) + "\" is not a hexadecimal number of at most " +
              std::to_string(digits) + " digits";
      return std::nullopt;
    }
    record.id = *value;
  }
  std::optional<std::u16string> text = utf8ToUtf16(message);
  if (!text) {
    error = "the message is not valid UTF-8";
    return std::nullopt;
  }
  record.text = cutToUnits(std::move(*text), layout.maxChars);
  return record;
}

std::optional<std::u16string> utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    char32_t cp = 0;
    char32_t least = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, cp = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, cp = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, cp = lead & 0x07, least = 0x10000;
    } else {
      return std::nullopt;
    }
    if (text.size() - i <= extra) return std::nullopt;
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      cp = cp << 6 | (next & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += extra + 1;
  }
  return out;
}

std::string utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (isHighSurrogate(u) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
      appendUtf8(out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (isHighSurrogate(u) || isLowSurrogate(u)) {
      appendUtf8(out, 0xFFFD);
    } else {
      appendUtf8(out, u);
    }
  }
  return out;
}

std::u16string cutToUnits(std::u16string text, size_t units) {
  if (text.size() <= units) return text;
  size_t end = units;
  // A high surrogate at the cut would lose its partner: drop the whole character instead.
  if (end > 0 && isHighSurrogate(text[end - 1]) && isLowSurrogate(text[end])) --end;
  text.resize(end);
  return text;
}

std::string loadTextImageHex(const std::filesystem::path& file, TextImage& image) {
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(file, ec);
  if (ec) return file.string() + ": " + ec.message();
  if (size > kMaxTextHexFile) {
    return file.string() + ": " + std::to_string(size) + " bytes, too large for a text image";
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return file.string() + ": " + std::strerror(errno);
  const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return file.string() + ": read error";

  TextImage loaded;
  loaded.fill(0xFF);
  uint32_t extended = 0;  // the base set by an extended address record
  size_t number = 0;
  for (size_t pos = 0; pos < content.size();) {
    size_t end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    std::string_view line(content.data() + pos, end - pos);
    pos = end + 1;
    ++number;
    const std::string where = file.string() + ": line " + std::to_string(number);
    if (std::any_of(line.begin(), line.end(), [](char c) {
          const auto u = static_cast<unsigned char>(c);
          return (u < 0x20 && c != '\t' && c != '\r') || u >= 0x7F;
        })) {
      return where + " holds bytes that are not text";
    }
    line = trimmed(line);
    if (line.empty()) continue;
    std::optional<HexRecord> record = wellFormedRecord(line) ? decodeHexRecord(line) : std::nullopt;
    if (!record) return where + " is not an Intel HEX record";
    const auto& data = record->data;
    if ((record->type == 0x02 || record->type == 0x04) && data.size() == 2) {
      const uint32_t value = uint32_t{data[0]} << 8 | data[1];
      extended = record->type == 0x02 ? value << 4 : value << 16;
      continue;
    }
    if (record->type != kHexDataType) continue;
    for (size_t i = 0; i < data.size(); ++i) {
      const uint32_t address = extended + record->address + static_cast<uint32_t>(i);
      if (address >= kTextImageBase && address - kTextImageBase < loaded.size()) {
        loaded[address - kTextImageBase] = data[i];
      }
    }
  }
  image = loaded;
  return {};
}

std::string textImageHexText(const TextImage& image) {
  return imageHexText(image, kTextImageBase, kTextImageBase + kTextImageSize);
}

}  // namespace orv
