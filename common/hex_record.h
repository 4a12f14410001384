#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// Intel HEX records as the modules exchange them: ":" + count + four-digit address + type +
// data + checksum, upper-case hexadecimal, the checksum being the two's complement of the low
// byte of the sum of count, both address bytes, type and data.

inline constexpr std::string_view kHexEndRecord = ":00000001FF";
inline constexpr uint8_t kHexDataType = 0x00;

struct HexRecord {
  uint8_t type = 0;
  uint16_t address = 0;
  std::vector<uint8_t> data;
  bool checksumOk = false;  // the modules' receivers do not insist on it; callers decide
};

uint8_t hexChecksum(uint16_t address, uint8_t type, std::span<const uint8_t> data);

// A data record (type 00) for at most 255 bytes.
std::string encodeHexRecord(uint16_t address, std::span<const uint8_t> data);

// Reads one record. Surrounding white space is ignored and hexadecimal digits may be in either
// case. Fails (std::nullopt) without ":" at the start, with a non-hex character, or when the text
// is shorter than its count field says; the checksum is reported, not enforced.
std::optional<HexRecord> decodeHexRecord(std::string_view line);

// Stores the bytes of a data record into an image that holds the addresses
// [base, base + image.size()). Bytes whose address lies outside are dropped, the address rising by
// one per byte. A record of another type stores nothing. Returns the number of bytes stored.
size_t storeHexRecord(const HexRecord& record, std::span<uint8_t> image, uint32_t base = 0);

// Hexadecimal helpers shared by the records and the protocols.
int hexDigitValue(char c);                                // -1 for a non-hex character
std::optional<uint32_t> parseHex(std::string_view text);  // whole text, 1 to 8 digits
void appendHexByte(std::string& out, uint8_t value);      // two upper-case digits

}  // namespace orv
