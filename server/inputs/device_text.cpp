#include "server/inputs/device_text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "common/hex_record.h"

namespace orv {
namespace {

constexpr char kAccountByte = static_cast<char>(0xFF);
constexpr size_t kAccountAt = 10;  // characters 11-14
constexpr size_t kAccountLength = 4;
constexpr size_t kLineDigitAt = 3;  // character 4

char upperHexDigit(unsigned value) {
  return "0123456789ABCDEF"[value & 0x0F];
}

}  // namespace

std::string compileDeviceTemplate(std::string_view text) {
  std::string compiled;
  compiled.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '$') {
      compiled += kAccountByte;
    } else if (c == '#') {
      // "#" marks the digit after it; a "#" before anything else is dropped.
      if (i + 1 < text.size()) {
        const char next = text[++i];
        compiled += next >= '0' && next <= '9' ? static_cast<char>(next - '0') : next;
      }
    } else {
      compiled += c;
    }
  }
  return compiled;
}

std::string convertDeviceMessage(std::string_view message, std::string_view compiled) {
  std::string out;
  out.reserve(compiled.size() + 32);
  for (char c : compiled) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == kAccountByte) {
      if (message.size() > kAccountAt) out += message.substr(kAccountAt, kAccountLength);
    } else if (byte >= 1 && byte <= 9) {
      // Character 15 + n, counted from 1.
      const size_t at = 14 + byte;
      out += at < message.size() ? message[at] : ' ';
    } else if (c == 's') {
      out += ' ';
    } else {
      out += c;
    }
  }
  if (message.size() > 20) out += message.substr(20, 14);
  return out;
}

std::string deviceStatusLine(uint8_t lineDigit, bool back) {
  char text[32];
  std::snprintf(text, sizeof text, back ? "101%x      0000 R  06" : "101%x      0000 A  05",
                lineDigit & 0x0F);
  return text;
}

std::string deviceCallerNumber(std::string_view message) {
  if (message.size() <= 9) return {};
  std::string_view number = message.substr(9);
  return std::string(number.substr(0, number.find('F')));
}

DeviceOutput deviceOutputLine(std::string line, uint8_t lineDigit, uint16_t replacementAccount) {
  DeviceOutput out;
  if (line.size() > kLineDigitAt) line[kLineDigitAt] = upperHexDigit(lineDigit);
  if (!line.empty() && line[0] == '1' && line.size() >= kAccountAt + kAccountLength) {
    out.account = parseHex(std::string_view(line).substr(kAccountAt, kAccountLength));
    if (out.account == 0u) {
      for (size_t k = 0; k < kAccountLength; ++k)
        line[kAccountAt + k] = upperHexDigit(replacementAccount >> (4 * (kAccountLength - 1 - k)));
    }
  }
  out.line = std::move(line);
  return out;
}

DownloadRecord storeDownloadRecord(std::string_view record, DeviceImage& image) {
  DownloadRecord result;
  if (record.empty() || record[0] != ':') return result;
  result.counts = true;
  std::optional<HexRecord> decoded = decodeHexRecord(record);
  if (!decoded) {
    result.damaged = true;
    return result;
  }
  if (decoded->type != kHexDataType) return result;
  // The last block of an upload ends with the byte at kDeviceTransferEnd; it must come back too.
  storeHexRecord(*decoded, std::span<uint8_t>(image.data(), kDeviceTransferEnd + 1));
  result.stored = true;
  return result;
}

std::vector<std::string> uploadRecords(const DeviceImage& image) {
  std::vector<std::string> records;
  for (uint32_t address = 0; address < kDeviceTransferEnd; address += 16) {
    std::span<const uint8_t> block(image.data() + address, 16);
    const bool allFf = std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0xFF; });
    const bool allZero = std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0; });
    if (allFf || allZero) continue;
    records.push_back(encodeHexRecord(static_cast<uint16_t>(address), block));
  }
  return records;
}

}  // namespace orv
