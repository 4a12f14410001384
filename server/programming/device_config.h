#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/programming/image_blocks.h"

// The configuration image of a second-family module (GSM receiver device, types 4 and 7): its
// settings, its table of telephone-number records, its HEX files, and the table's editing rules
// as plain functions over the rows, so that every front end edits the table the same way.

namespace orv {

bool isDeviceModuleType(int type);  // 4 or 7

// --- Settings ------------------------------------------------------------------------------

struct DeviceSetting {
  std::string_view caption;
  uint16_t offset = 0;
  uint8_t width = 0;    // bytes in the image
  uint8_t typed = 0;    // the most characters the operator may type
  bool number = false;  // one byte shown in decimal, else a text padded with 0xFF
  int onlyType = 0;     // 0: both types; else the one type that has it
  uint16_t min = 0, max = 0;
};

// Every setting in the dialog's order; `settingShown` tells which ones a type has.
std::span<const DeviceSetting> deviceSettings();
bool settingShown(const DeviceSetting& setting, int type);

// One value per entry of deviceSettings(), as the dialog shows it (empty for another type's).
using DeviceValues = std::vector<std::string>;
DeviceValues unpackDeviceSettings(const DeviceImage& image, int type);
// Writes the type's settings; a value that does not fit is cut, a number that does not read
// leaves its byte as it was.
void packDeviceSettings(const DeviceValues& values, int type, DeviceImage& image);

// The value the setting takes for what the operator typed, or the error the dialog shows (a
// range error is the caption, " <" and the minimum or " >" and the maximum).
struct TypedSetting {
  std::string value;
  std::string error;
};
TypedSetting typedSetting(const DeviceSetting& setting, std::string_view typed);

// --- Telephone-number records --------------------------------------------------------------

inline constexpr size_t kPhoneTableOffset = 176;
inline constexpr size_t kPhoneRecordSize = 16;
inline constexpr size_t kPhoneDigits = 11;
inline constexpr size_t kAccountDigits = 4;
inline constexpr uint8_t kPhoneEndMark = '$';

// Transfers and files hold the addresses below this: the settings and the first 500 records.
inline constexpr uint32_t kDeviceCarriedEnd = 8176;
inline constexpr size_t kCarriedPhones = (kDeviceCarriedEnd - kPhoneTableOffset) / kPhoneRecordSize;

// The record slots of the image for a type (500 for type 4, 1,000 for type 7).
size_t phoneCapacity(int type);
// The most rows the editor holds: only the records a transfer carries, so that no record the
// operator typed is dropped silently on the way to the module or to a file.
size_t phoneEditorCapacity(int type);

// The rows of the table: the cells as the grid shows them, in the order of phoneColumns().
using PhoneRows = std::vector<std::vector<std::string>>;
enum PhoneColumn : size_t { kNumberColumn = 0, kAccountColumn = 1, kUserColumn = 2 };
std::span<const std::string_view> phoneColumns();  // "Telephone Number", "Account", "User"

// Rows from record 1 on, up to the end mark (a record of all 0xFF, or "$" first) or the capacity.
PhoneRows unpackPhones(const DeviceImage& image, int type);
// Clears every record slot of the type, writes the rows as records 1, 2, ... and the end mark
// after the last when that record's number is below the capacity. Rows past the capacity are
// not written.
void packPhones(const PhoneRows& rows, int type, DeviceImage& image);

// Texts are stored without NUL, so before the image leaves the program every 0x00 becomes 0xFF.
void clearZeroBytes(DeviceImage& image);

// A cell as the grid takes it (blanks trimmed, hex letters upper-cased), or the error:
// "Telephone Number" digits only, at most 11; "Account" and "User" 0-9 and A-F, at most 4 and 1.
struct TypedCell {
  std::string value;
  std::string error;
};
TypedCell typedPhoneCell(size_t column, std::string_view typed);

// The first row (0-based) whose telephone number another row has already; empty numbers are
// the empty-cell check's business. std::nullopt when all differ.
std::optional<size_t> firstDuplicatePhone(const PhoneRows& rows);
// Whether some other row holds row `row`'s telephone number (the check after a row is edited).
bool phoneDuplicated(const PhoneRows& rows, size_t row);
std::string duplicatePhoneText(std::string_view number);  // "Duplicate phone number <n>!"

// --- Table tools ---------------------------------------------------------------------------

inline constexpr std::string_view kFindTitle = "Seatch";
inline constexpr std::string_view kNotFoundText = "Not found";
inline constexpr std::string_view kEmptyFieldText = "This field can not be empty!";

// The prompt of "Find record": "Phone" in the number column, "Account" otherwise.
std::string_view findPrompt(size_t column);
// The first row from `from` on, wrapping to the first row, whose cell in `column` contains
// `text`; std::nullopt after a full round ("Not found"). "FindNext" starts at current + 1.
std::optional<size_t> findPhoneRow(const PhoneRows& rows, size_t column, std::string_view text,
                                   size_t from);

// "Insert": an empty row above `current` while the table holds fewer rows than `capacity`.
bool insertPhoneRow(PhoneRows& rows, size_t current, size_t capacity);
// "Delete": removes row `current`; false when there is no such row.
bool deletePhoneRow(PhoneRows& rows, size_t current);
// The Down key: the next row; on the last row an empty row is appended first when the table
// holds fewer rows than `capacity` and all three cells of the first row are filled. Returns the
// row that becomes current.
size_t moveDown(PhoneRows& rows, size_t current, size_t capacity);
// The Up key: nothing on the first row.
size_t moveUp(size_t current);

// --- Files ---------------------------------------------------------------------------------

// A configuration file is a few hundred records; anything much larger is not one.
inline constexpr uintmax_t kMaxDeviceHexFile = 1u << 20;

// "Save": one record per 16-byte block below kDeviceCarriedEnd that holds a byte other than
// 0xFF and one other than 0x00, then the end record; every line ends in "\r\n".
std::string deviceHexText(const DeviceImage& image);
// "Load": the image filled with 0xFF, then every data record's bytes at their addresses below
// kDeviceCarriedEnd; other lines are skipped and checksums are not checked. Empty on success,
// else the error naming the file and line, and `image` is unchanged.
std::string loadDeviceHex(const std::filesystem::path& file, DeviceImage& image);

}  // namespace orv
