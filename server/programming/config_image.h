#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/programming/image_blocks.h"
#include "server/programming/image_dialog.h"

namespace orv {

class IniFile;

// The layout of a first-family module's configuration image (types 1, 2, 3, 5 and 6): one table
// of fields drives unpacking, packing, the dialog's captions and its checks.

// A set of module types, one bit per type number.
using TypeSet = uint8_t;
constexpr TypeSet typeBit(int type) {
  return type >= 0 && type < 8 ? static_cast<TypeSet>(1u << type) : 0;
}
inline constexpr TypeSet kGsmTypes = typeBit(1) | typeBit(2) | typeBit(5);
inline constexpr TypeSet kLanTypes = typeBit(3) | typeBit(6);
inline constexpr TypeSet kConfigTypes = kGsmTypes | kLanTypes;
inline constexpr TypeSet kPanelTypes = typeBit(2) | typeBit(5);

constexpr bool isConfigModuleType(int type) {
  return (kConfigTypes & typeBit(type)) != 0;
}

enum class Encoding : uint8_t {
  Byte,      // unsigned, decimal
  U16Le,     // unsigned, decimal, low byte first
  PinU16Be,  // unsigned, high byte first, shown "%4.4d"
  HexU16Be,  // unsigned, high byte first, shown and typed as four hexadecimal digits
  Text,      // `width` bytes, up to the first NUL
  Item,      // a text holding one of `items` (a choice list)
  Phone,     // text(16): "+" area code number, or the number alone; the number part
  AreaCode,  // the area code part of the phone number at the same offset; packed with it
  Output,    // an output code, items per type
  Bits,      // (byte & mask) >> shift: an item index, or a check box ("0"/"1")
  Compose,   // no value: rewrites the byte whole from its Bits parts, starting at `base`
};

enum class KeyFilter : uint8_t { Any, Digits, DigitsDots };

// A caption and range that replace the field's own for some types.
struct FieldVariant {
  TypeSet types = 0;
  std::string_view caption;
  uint16_t min = 0;
  uint16_t max = 0;
  std::string_view hint;
};

struct ConfigField {
  std::string_view caption;
  uint16_t offset = 0;
  uint8_t width = 0;  // bytes of a text; digits that can be typed into a number
  Encoding encoding = Encoding::Text;
  TypeSet packed = 0;  // the types whose packing writes it
  TypeSet shown = 0;   // the types whose dialog shows it
  TypeSet blank = 0;   // the types that write it empty whatever it held
  uint16_t min = 0;    // range of numbers (checked when typed)
  uint16_t max = 0;
  KeyFilter filter = KeyFilter::Any;
  uint8_t mask = 0;  // Bits
  uint8_t shift = 0;
  bool inverted = false;  // Bits check box: a clear bit means ticked
  uint8_t base = 0;       // Compose
  std::span<const std::string_view> items = {};
  std::span<const FieldVariant> variants = {};
  std::string_view hint = {};  // unit or range shown next to the field
  int view = 0;                // position in the dialog (0: not a dialog field)
};

// Every field, in packing order: where two fields share bytes, the later one wins.
std::span<const ConfigField> configFields();

std::string_view fieldCaption(const ConfigField& field, int type);
std::string_view fieldHint(const ConfigField& field, int type);
bool fieldShown(const ConfigField& field, int type);
bool isNumberField(const ConfigField& field);
// The output items of a type (bytes 76 and 77) and their codes.
std::span<const std::string_view> outputItems(int type);
uint8_t outputCode(int type, size_t item);

// The range check of a number field as the dialog makes it when the operator leaves the field:
// empty when the value lies in range, else caption + " <" + min, or caption + " >" + max.
std::string rangeError(const ConfigField& field, int type, std::string_view value);

// The values of configFields() as texts, index for index (empty for Compose entries).
using ConfigValues = std::vector<std::string>;
ConfigValues unpackConfig(const ConfigImage& image, int type);
// Writes the values of `type` into the image; bytes no field of the type covers stay as they are.
void packConfig(const ConfigValues& values, int type, ConfigImage& image);

// Rows of the "Commands" and "EVENTS " grids: the image byte holding the row's marks (-1 for a
// heading row) and the row number per type (0 where the type lacks the row).
struct MarkRowDef {
  std::string_view name;
  std::string_view code;
  int byte = -1;
  int rowType1 = 0;
  int rowType2 = 0;
  int rowType5 = 0;
  int row(int type) const;
};
std::span<const MarkRowDef> commandRowDefs();
std::span<const MarkRowDef> eventRowDefs();

inline constexpr std::string_view kCommandsTable = "Commands";
inline constexpr std::string_view kEventsTable = "EVENTS ";

// The two grids of a type filled from the image (none for the network types), rows in order and
// named from `names` (sections "Commands" and "Events", keys "L<row>") where it has them.
std::vector<MarkTable> unpackMarkTables(const ConfigImage& image, int type, const IniFile& names);
// Writes the marks back into their bytes.
void packMarkTables(const std::vector<MarkTable>& tables, int type, ConfigImage& image);
// The image byte behind a row of one of those grids (0: commands, 1: events); -1 when none.
int markByte(size_t table, int type, int row);

}  // namespace orv
