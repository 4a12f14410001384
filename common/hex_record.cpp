#include "common/hex_record.h"

namespace orv {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

std::string_view trim(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

bool readByte(std::string_view s, size_t pos, uint8_t& out) {
  if (pos + 2 > s.size()) return false;
  int hi = hexDigitValue(s[pos]);
  int lo = hexDigitValue(s[pos + 1]);
  if (hi < 0 || lo < 0) return false;
  out = static_cast<uint8_t>(hi << 4 | lo);
  return true;
}

}  // namespace

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<uint32_t> parseHex(std::string_view text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  uint32_t v = 0;
  for (char c : text) {
    int d = hexDigitValue(c);
    if (d < 0) return std::nullopt;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  return v;
}

void appendHexByte(std::string& out, uint8_t value) {
  out.push_back(kDigits[value >> 4]);
  out.push_back(kDigits[value & 0x0F]);
}

uint8_t hexChecksum(uint16_t address, uint8_t type, std::span<const uint8_t> data) {
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
  for (uint8_t b : data) sum += b;
  return static_cast<uint8_t>(-static_cast<int>(sum & 0xFF));
}

std::string encodeHexRecord(uint16_t address, std::span<const uint8_t> data) {
  if (data.size() > 255) data = data.first(255);
  std::string out;
  out.reserve(11 + data.size() * 2);
  out.push_back(':');
  appendHexByte(out, static_cast<uint8_t>(data.size()));
  appendHexByte(out, static_cast<uint8_t>(address >> 8));
  appendHexByte(out, static_cast<uint8_t>(address & 0xFF));
  appendHexByte(out, kHexDataType);
  for (uint8_t b : data) appendHexByte(out, b);
  appendHexByte(out, hexChecksum(address, kHexDataType, data));
  return out;
}

std::optional<HexRecord> decodeHexRecord(std::string_view line) {
  line = trim(line);
  if (line.size() < 11 || line[0] != ':') return std::nullopt;
  uint8_t count = 0, addrHi = 0, addrLo = 0, type = 0;
  if (!readByte(line, 1, count) || !readByte(line, 3, addrHi) || !readByte(line, 5, addrLo) ||
      !readByte(line, 7, type)) {
    return std::nullopt;
  }
  const size_t dataEnd = 9 + size_t{count} * 2;
  if (line.size() < dataEnd) return std::nullopt;
  HexRecord rec;
  rec.type = type;
  rec.address = static_cast<uint16_t>(addrHi << 8 | addrLo);
  rec.data.resize(count);
  for (size_t i = 0; i < count; ++i) {
    if (!readByte(line, 9 + i * 2, rec.data[i])) return std::nullopt;
  }
  uint8_t sum = 0;
  rec.checksumOk = line.size() == dataEnd + 2 && readByte(line, dataEnd, sum) &&
                   sum == hexChecksum(rec.address, rec.type, rec.data);
  return rec;
}

size_t storeHexRecord(const HexRecord& record, std::span<uint8_t> image, uint32_t base) {
  if (record.type != kHexDataType) return 0;
  size_t stored = 0;
  uint32_t addr = record.address;
  for (uint8_t b : record.data) {
    if (addr >= base && addr - base < image.size()) {
      image[addr - base] = b;
      ++stored;
    }
    ++addr;
  }
  return stored;
}

}  // namespace orv
