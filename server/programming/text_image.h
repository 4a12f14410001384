#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/programming/image_blocks.h"

namespace orv {

// The module's text image holds two tables of descriptive texts and one flag byte:
//   event texts:     count byte at 5000, then 51-byte records (4-byte ID high byte first,
//                    length byte, 23 UTF-16 characters high byte first);
//   partition texts: count byte at 16375, then 34-byte records (1-byte ID, length byte,
//                    16 UTF-16 characters);
//   flags at 16954:  bit 0 clear = only events with a text are sent.
// A count byte of 0xFF means the table is empty.

// The editor's kind, chosen by module type: it is also the event table's capacity in the image.
inline constexpr int kTwoTableKind = 223;  // "v.34": both tables and the flag box
inline constexpr int kOneTableKind = 163;  // every other module: event texts only

inline constexpr uint32_t kTextFlagAddress = 16954;
inline constexpr uint8_t kDescribedOnlyBit = 0x01;  // clear = "Send Described Events only"

struct TextTableLayout {
  uint32_t countAddress;  // the count byte; the first record follows it
  size_t maxChars;        // UTF-16 units per message
  size_t recordSize;
  size_t idBytes;
  size_t capacity;  // the most records a table keeps through a write and a read back
};

// Filling the event table reads at most kind - 1 records, so that is all the editor holds: a
// record written beyond it would be lost when the table is read again. The partition table
// reads all 17 records that fit before the flag byte.
TextTableLayout eventTextLayout(int kind);
TextTableLayout partitionTextLayout();

struct TextRecord {
  uint32_t id = 0;
  std::u16string text;  // at most the layout's maxChars units, never ending inside a pair
};

// The records of one table. An empty table (count 0 or 0xFF) gives no records; a count beyond
// the layout's capacity is lowered to it, and a length byte beyond maxChars to maxChars.
std::vector<TextRecord> fillTextTable(const TextImage& image, const TextTableLayout& layout);

// Writes a table into the image: the count, then every record, texts cut to maxChars. A table
// of one record without text is written as count 0. Records beyond the capacity are not
// written; callers refuse them before.
void packTextTable(const std::vector<TextRecord>& records, const TextTableLayout& layout,
                   TextImage& image);

// Rows as the editor shows them: the ID as upper-case hexadecimal of the table's width
// ("1A2B3C4D", "0F"), the message as UTF-8.
std::string textRecordId(uint32_t id, const TextTableLayout& layout);

// One row as the operator typed it. The ID: hexadecimal digits, at most two per ID byte, empty
// reads as 0. The message: UTF-8, cut to whole characters that fit into maxChars units.
// std::nullopt with `error` set when the ID or the UTF-8 is not valid.
std::optional<TextRecord> textRecordFromRow(std::string_view id, std::string_view message,
                                            const TextTableLayout& layout, std::string& error);

// UTF-8 <-> UTF-16. Decoding refuses overlong forms, encoded surrogates, code points above
// U+10FFFF and cut sequences (std::nullopt). Encoding writes U+FFFD for a surrogate without its
// partner, so that whatever a module holds can be shown.
std::optional<std::u16string> utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);
// Cuts to at most `units` UTF-16 units without separating a surrogate pair.
std::u16string cutToUnits(std::u16string text, size_t units);

// A text image file is a few tens of kilobytes; anything beyond this is not one.
inline constexpr uintmax_t kMaxTextHexFile = 1u << 20;

// Reads an Intel HEX file into `image` (set to 0xFF first): the bytes of data records at
// 5000 to 16955 are kept, others dropped; checksums are not insisted on. Data records that
// follow an extended address record with a non-zero base lie above the 16-bit range and are
// dropped. Empty on success; otherwise the error, naming the line, and `image` is unchanged.
std::string loadTextImageHex(const std::filesystem::path& file, TextImage& image);

// The file "Save" writes: a record for every 16-byte block from 5000 that is not all 0xFF (the
// last one holds the 4 bytes from 16952), then the end record. No count line.
std::string textImageHexText(const TextImage& image);

}  // namespace orv
