#include "server/programming/config_image.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "common/hex_record.h"
#include "common/ini_file.h"
#include "server/programming/dialog_text.h"

namespace orv {
namespace {

constexpr TypeSet kAll = kConfigTypes;
constexpr TypeSet kType3 = typeBit(3);
constexpr TypeSet kType5 = typeBit(5);
constexpr TypeSet kType6 = typeBit(6);

using E = Encoding;
using F = KeyFilter;

constexpr std::array<std::string_view, 4> kAuthModes = {"OPEN", "SHARED", "WPAPSK", "WPA2PSK"};
constexpr std::array<std::string_view, 5> kEncryptions = {"NONE", "WEP-H", "WEP-A", "TKIP", "AES"};
constexpr std::array<std::string_view, 2> kIpConfig = {"STATIC", "DHCP"};
constexpr std::array<std::string_view, 3> kZoneTypes = {"24h", "Interior", "Instant"};

constexpr std::array<std::string_view, 3> kGsmOutputs = {"User controlled", "GSM Trouble",
                                                         "GPRS Trouble "};
constexpr std::array<uint8_t, 3> kGsmOutputCodes = {0x01, 0x08, 0x10};
constexpr std::array<std::string_view, 4> kType3Outputs = {"General output", "Alarm", "Bat",
                                                           "Connection "};
constexpr std::array<std::string_view, 4> kType6Outputs = {"General output", "Sw. To Backup",
                                                           "Online Error", "LAN Error"};
constexpr std::array<uint8_t, 4> kLanOutputCodes = {0x01, 0x02, 0x04, 0x08};

constexpr std::array<FieldVariant, 1> kQueryTimeVariants = {
    FieldVariant{kType6, "ACK wait time", 1, 60, "(1..60)"}};
// Type 6 labels the field "(1..8)" but its modules take up to 25 attempts; the check follows
// the modules.
constexpr std::array<FieldVariant, 2> kAttemptsVariants = {
    FieldVariant{kType3, "Attempts to send a message", 1, 8, "(1..8)"},
    FieldVariant{kType6, "Attempts to send a message", 0, 25, "(1..8)"}};
constexpr std::array<FieldVariant, 1> kReconnectVariants = {
    FieldVariant{kType5, "Main IP return time", 1, 255, "min"}};

constexpr ConfigField number(std::string_view caption, uint16_t offset, TypeSet packed,
                             TypeSet shown, uint16_t min, uint16_t max, int view,
                             std::string_view hint = {}) {
  return {.caption = caption,
          .offset = offset,
          .width = 3,
          .encoding = E::Byte,
          .packed = packed,
          .shown = shown,
          .min = min,
          .max = max,
          .hint = hint,
          .view = view};
}

constexpr ConfigField text(std::string_view caption, uint16_t offset, uint8_t width, TypeSet types,
                           int view, KeyFilter filter = F::Any) {
  return {.caption = caption,
          .offset = offset,
          .width = width,
          .encoding = E::Text,
          .packed = types,
          .shown = types,
          .filter = filter,
          .view = view};
}

// Every type keeps the commands for call; only type 5 shows them.
constexpr ConfigField callCommand(std::string_view caption, uint16_t offset, int view) {
  ConfigField field = text(caption, offset, 16, kAll, view);
  field.shown = kType5;
  return field;
}

constexpr ConfigField check(std::string_view caption, uint16_t offset, uint8_t mask, TypeSet types,
                            int view, TypeSet shown = 0xFF) {
  return {.caption = caption,
          .offset = offset,
          .encoding = E::Bits,
          .packed = types,
          .shown = static_cast<TypeSet>(types & shown),
          .mask = mask,
          .view = view};
}

constexpr ConfigField compose(uint16_t offset, TypeSet types, uint8_t base = 0) {
  return {.caption = {}, .offset = offset, .encoding = E::Compose, .packed = types, .base = base};
}

constexpr ConfigField zone(std::string_view caption, uint16_t offset, int view) {
  return {.caption = caption,
          .offset = offset,
          .encoding = E::Bits,
          .packed = kPanelTypes,
          .shown = kPanelTypes,
          .mask = 0x03,
          .items = kZoneTypes,
          .view = view};
}

constexpr ConfigField phone(std::string_view caption, uint16_t offset, int view) {
  return {.caption = caption,
          .offset = offset,
          .width = 16,
          .encoding = E::Phone,
          .packed = kAll,
          .shown = kGsmTypes,
          .filter = F::Digits,
          .view = view};
}

constexpr ConfigField areaCode(std::string_view caption, uint16_t offset, int view) {
  return {.caption = caption,
          .offset = offset,
          .width = 3,
          .encoding = E::AreaCode,
          .shown = kGsmTypes,
          .filter = F::Digits,
          .view = view};
}

constexpr ConfigField textSms(std::string_view caption, uint8_t mask, int view) {
  return {.caption = caption,
          .offset = 88,
          .encoding = E::Bits,
          .packed = kGsmTypes,
          .shown = kGsmTypes,
          .mask = mask,
          .inverted = true,
          .view = view};
}

// Packing order. `view` orders the dialog: general settings, connection, network, SIM cards,
// phone numbers, commands for call, mail, panel.
constexpr auto kFields = std::to_array<ConfigField>({
    {.caption = "Zones response time",
     .offset = 74,
     .width = 5,
     .encoding = E::U16Le,
     .packed = kAll,
     .shown = kAll,
     .min = 1,
     .max = 65535,
     .hint = "x 25 ms",
     .view = 140},
    number("Size of Phone number ", 118, kAll, kGsmTypes, 1, 16, 600),
    number("Test time value ", 85, kAll, kAll, 1, 255, 130, "x 10 min"),
    number("Bat low const ", 86, kAll, kAll, 0, 255, 150),
    number("Bat norm const ", 87, kAll, kAll, 0, 255, 160),
    {.caption = "Module account",
     .offset = 89,
     .width = 4,
     .encoding = E::HexU16Be,
     .packed = kAll,
     .shown = kAll,
     .view = 100},
    {.caption = "SIM PIN",
     .offset = 91,
     .width = 4,
     .encoding = E::PinU16Be,
     .packed = kAll,
     .shown = kGsmTypes,
     .filter = F::Digits,
     .view = 530},
    number("EEPROM ID", 255, kAll, kAll, 0, 255, 120),
    callCommand("Command for call 1", 594, 700),
    callCommand("Command for call 2", 611, 710),
    callCommand("Command for call 3", 628, 720),
    callCommand("Command for call 4", 645, 730),
    areaCode("U01 Area code", 256, 610),
    phone("U01 Phone number", 256, 611),
    areaCode("U02 Area code", 273, 620),
    phone("U02 Phone number", 273, 621),
    areaCode("U03 Area code", 290, 630),
    phone("U03 Phone number", 290, 631),
    areaCode("U04 Area code", 307, 640),
    phone("U04 Phone number", 307, 641),
    {.caption = "OUT1 config",
     .offset = 76,
     .encoding = E::Output,
     .packed = kAll,
     .shown = kAll,
     .view = 170},
    {.caption = "OUT2 config",
     .offset = 77,
     .encoding = E::Output,
     .packed = kAll,
     .shown = kAll,
     .view = 180},
    {.caption = "Query time in online",
     .offset = 112,
     .width = 3,
     .encoding = E::Byte,
     .packed = kAll,
     .shown = kAll,
     .min = 15,
     .max = 255,
     .variants = kQueryTimeVariants,
     .hint = "s",
     .view = 260},
    {.caption = "Attempts for activating GPRS",
     .offset = 113,
     .width = 3,
     .encoding = E::Byte,
     .packed = kAll,
     .shown = kAll,
     .min = 0,
     .max = 25,
     .variants = kAttemptsVariants,
     .view = 270},
    number("Reconnect time for online ", 114, kAll, kGsmTypes, 1, 255, 280, "min"),
    {.caption = "Attempts for reconnect online",
     .offset = 115,
     .width = 3,
     .encoding = E::Byte,
     .packed = kAll,
     .shown = kGsmTypes,
     .min = 1,
     .max = 255,
     .variants = kReconnectVariants,
     .hint = "min",
     .view = 290},
    check("SIM2 check enable", 117, 0x01, kType5, 540),
    check("Force Offline if bat low", 117, 0x02, kAll, 300, kGsmTypes),
    check("Force Offline if AC fail", 117, 0x04, kAll, 310, kGsmTypes),
    compose(117, kAll),
    text("APN", 152, 26, kGsmTypes | kType3, 500),
    text("SIM2 APN", 800, 26, kType5, 550),
    text("Online ID", 179, 15, kAll, 110),
    text("TCP port", 200, 4, kAll, 210, F::Digits),
    text("Backup TCP port", 389, 4, kAll, 230, F::Digits),
    text("Server IP", 205, 15, kAll, 200, F::DigitsDots),
    text("Backup Server IP", 394, 15, kAll, 220, F::DigitsDots),
    // Type 6 has no SIM card: its login and password bytes are written empty.
    {.caption = "Operator Login",
     .offset = 237,
     .width = 8,
     .encoding = E::Text,
     .packed = kGsmTypes | kType6,
     .shown = kGsmTypes,
     .blank = kType6,
     .view = 510},
    {.caption = "Operator Password",
     .offset = 246,
     .width = 8,
     .encoding = E::Text,
     .packed = kGsmTypes | kType6,
     .shown = kGsmTypes,
     .blank = kType6,
     .view = 520},
    text("SIM2 Operator Login", 827, 8, kType5, 560),
    text("SIM2 Operator Password", 836, 8, kType5, 570),
    {.caption = "Authentication mode",
     .offset = 237,
     .width = 8,
     .encoding = E::Item,
     .packed = kType3,
     .shown = kType3,
     .items = kAuthModes,
     .view = 450},
    {.caption = "Encryption algorithm",
     .offset = 246,
     .width = 8,
     .encoding = E::Item,
     .packed = kType3,
     .shown = kType3,
     .items = kEncryptions,
     .view = 460},
    text("Domain Name", 341, 31, kAll, 240),
    text("DNS IP", 373, 15, kAll, 250, F::DigitsDots),
    text("Wifi password", 256, 64, kType3, 470),
    text("Module Status", 324, 16, kType3, 480),
    text("LOCAL IP", 577, 15, kLanTypes, 410),
    text("SUBNET_MASK", 593, 15, kLanTypes, 420),
    text("GATEWAY", 609, 15, kLanTypes, 430),
    check("Auto", 79, 0x10, kType3, 440),
    {.caption = "IP Config method",
     .offset = 79,
     .encoding = E::Bits,
     .packed = kLanTypes,
     .shown = kLanTypes,
     .mask = 0x20,
     .shift = 5,
     .items = kIpConfig,
     .view = 400},
    compose(79, kLanTypes),
    textSms("U01 Text SMS", 0x01, 612),
    textSms("U02 Text SMS", 0x02, 622),
    textSms("U03 Text SMS", 0x04, 632),
    textSms("U04 Text SMS", 0x08, 642),
    compose(88, kGsmTypes, 0xF0),
    text("SMTP address", 410, 31, kPanelTypes, 810),
    text("SMTP port", 442, 5, kPanelTypes, 820),
    text("User Name for authentication", 448, 31, kPanelTypes, 840),
    text("Password for authentication", 480, 15, kPanelTypes, 850),
    text("Sender's name", 497, 15, kPanelTypes, 860),
    text("Sender's mail", 513, 31, kPanelTypes, 870),
    text("Mail of recipient", 545, 31, kPanelTypes, 880),
    check("With authentication", 79, 0x08, kPanelTypes, 830),
    check("Email enable", 79, 0x10, kPanelTypes, 800),
    compose(79, kPanelTypes),
    number("Entry Delay", 100, kPanelTypes, kPanelTypes, 0, 255, 900, "x 5 s"),
    number("Entry Delay For Stay", 101, kPanelTypes, kPanelTypes, 0, 255, 910, "x 5 s"),
    number("Exit Delay", 102, kPanelTypes, kPanelTypes, 1, 255, 920, "x 5 s"),
    number("Bell Cut Off", 103, kPanelTypes, kPanelTypes, 1, 255, 930, "x 1 min"),
    zone("Z1", 108, 940),
    check("Z1 Stay Away", 108, 0x08, kPanelTypes, 941),
    compose(108, kPanelTypes),
    zone("Z3", 104, 950),
    check("Z3 Stay Away", 104, 0x08, kPanelTypes, 951),
    compose(104, kPanelTypes),
    zone("Z4", 105, 960),
    check("Z4 Stay Away", 105, 0x08, kPanelTypes, 961),
    compose(105, kPanelTypes),
    zone("Z5", 106, 970),
    check("Z5 Stay Away", 106, 0x08, kPanelTypes, 971),
    compose(106, kPanelTypes),
    check("Key Switch", 107, 0x01, kPanelTypes, 980),
    check("Lines With Single EOL Resistors", 107, 0x04, kPanelTypes, 990),
    compose(107, kPanelTypes),
});

const FieldVariant* variantFor(const ConfigField& field, int type) {
  for (const FieldVariant& v : field.variants) {
    if (v.types & typeBit(type)) return &v;
  }
  return nullptr;
}

std::string_view readText(const ConfigImage& image, size_t offset, size_t width) {
  const char* p = reinterpret_cast<const char*>(image.data()) + offset;
  std::string_view all(p, std::min(width, image.size() - offset));
  size_t nul = all.find('\0');
  return nul == std::string_view::npos ? all : all.substr(0, nul);
}

void writeText(ConfigImage& image, size_t offset, size_t width, std::string_view value) {
  width = std::min(width, image.size() - offset);
  std::fill_n(image.begin() + offset, width, uint8_t{0});
  std::copy_n(value.begin(), std::min(width, value.size()), image.begin() + offset);
}

std::string decimal4(unsigned value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%4.4u", value);
  return buf;
}

std::string hex4(unsigned value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%4.4X", value);
  return buf;
}

size_t itemIndex(std::span<const std::string_view> items, std::string_view value) {
  return static_cast<size_t>(std::find(items.begin(), items.end(), value) - items.begin());
}

const std::string* areaCodeOf(const ConfigValues& values, uint16_t offset) {
  for (size_t i = 0; i < kFields.size(); ++i) {
    if (kFields[i].encoding == E::AreaCode && kFields[i].offset == offset) return &values[i];
  }
  return nullptr;
}

uint8_t composeByte(const ConfigField& whole, const ConfigValues& values, int type) {
  uint8_t byte = whole.base;
  for (size_t i = 0; i < kFields.size(); ++i) {
    const ConfigField& part = kFields[i];
    if (part.encoding != E::Bits || part.offset != whole.offset) continue;
    if (!(part.packed & typeBit(type))) continue;
    if (!part.items.empty()) {
      size_t index = itemIndex(part.items, values[i]);
      if (index < part.items.size())
        byte |= static_cast<uint8_t>((index << part.shift) & part.mask);
    } else if ((values[i] == "1") != part.inverted) {
      byte |= part.mask;
    }
  }
  return byte;
}

std::string unpackField(const ConfigField& field, const ConfigImage& image, int type) {
  const size_t at = field.offset;
  switch (field.encoding) {
    case E::Byte:
      return std::to_string(image[at]);
    case E::U16Le:
      return std::to_string(image[at] | image[at + 1] << 8);
    case E::PinU16Be:
      return decimal4(static_cast<unsigned>(image[at] << 8 | image[at + 1]));
    case E::HexU16Be:
      return hex4(static_cast<unsigned>(image[at] << 8 | image[at + 1]));
    case E::Text:
    case E::Item:
      return std::string(readText(image, at, field.width));
    case E::Phone: {
      std::string_view t = readText(image, at, 16);
      return std::string(t.starts_with('+') ? t.substr(std::min<size_t>(4, t.size())) : t);
    }
    case E::AreaCode: {
      std::string_view t = readText(image, at, 16);
      return t.starts_with('+') ? std::string(t.substr(1, 3)) : std::string();
    }
    case E::Output: {
      std::span<const std::string_view> items = outputItems(type);
      for (size_t i = items.size(); i-- > 0;) {
        if (outputCode(type, i) & image[at]) return std::string(items[i]);
      }
      return {};
    }
    case E::Bits: {
      unsigned v = (image[at] & field.mask) >> field.shift;
      if (!field.items.empty()) {
        return std::string(field.items[std::min<size_t>(v, field.items.size() - 1)]);
      }
      return (v != 0) != field.inverted ? "1" : "0";
    }
    case E::Compose:
      return {};
  }
  return {};
}

void packField(const ConfigField& field, const ConfigValues& values, size_t index, int type,
               ConfigImage& image) {
  const size_t at = field.offset;
  const std::string blankValue;
  const std::string& value = (field.blank & typeBit(type)) ? blankValue : values[index];
  switch (field.encoding) {
    case E::Byte:
      if (auto v = typedDecimal(value)) image[at] = static_cast<uint8_t>(*v);
      return;
    case E::U16Le:
      if (auto v = typedDecimal(value)) {
        image[at] = static_cast<uint8_t>(*v);
        image[at + 1] = static_cast<uint8_t>(*v >> 8);
      }
      return;
    case E::PinU16Be:
    case E::HexU16Be: {
      auto v = field.encoding == E::PinU16Be ? typedDecimal(value) : parseHex(value);
      if (v && *v <= 0xFFFF) {
        image[at] = static_cast<uint8_t>(*v >> 8);
        image[at + 1] = static_cast<uint8_t>(*v);
      }
      return;
    }
    case E::Text:
    case E::Item:
      writeText(image, at, field.width, value);
      return;
    case E::Phone: {
      const std::string* area = areaCodeOf(values, field.offset);
      if (area && !area->empty()) {
        writeText(image, at, 16, "+" + *area + value);
      } else {
        writeText(image, at, 16, value);
      }
      return;
    }
    case E::Output: {
      std::span<const std::string_view> items = outputItems(type);
      size_t item = itemIndex(items, value);
      image[at] = item < items.size() ? outputCode(type, item) : 0;
      return;
    }
    case E::Compose:
      image[at] = composeByte(field, values, type);
      return;
    case E::AreaCode:
    case E::Bits:
      return;  // written with their phone number or their byte
  }
}

constexpr auto kCommandRows = std::to_array<MarkRowDef>({
    {"Text/Code SMS Format", "*", 0, 0, 1, 1},
    {"Status Request", "0", 1, 1, 2, 2},
    {"OUT1 Activate", "1", 2, 2, 3, 3},
    {"OUT1 Deactivate", "2", 3, 3, 4, 4},
    {"OUT1 Activate on xxx sec", "1.xxx", 4, 4, 5, 5},
    {"OUT2 Activate", "3", 5, 5, 6, 6},
    {"OUT2 Deactivate", "4", 6, 6, 7, 7},
    {"OUT2 Activate on xxx sec", "3.xxx", 7, 7, 8, 8},
    {"Set Current State As \"Normal\"", "00.ssss", 14, 8, 9, 9},
    {"Arm in \"Stay\" mode", "10.ssss", 16, 0, 0, 10},
    {"Ext. Transmitter Test Request", "80", 132, 9, 0, 0},
    {"Arm/Disarm module", "11.ssss/12.ssss", 133, 0, 10, 11},
    {"1 Phone Number Request", "81", 18, 10, 11, 12},
    {"2 Phone Number Request", "82", 19, 11, 12, 13},
    {"3 Phone Number Request", "83", 20, 12, 13, 14},
    {"4 Phone Number Request", "84", 21, 13, 14, 15},
    {"Erase Phone Number 2", "92", 22, 14, 15, 16},
    {"Erase Phone Number 3", "93", 23, 15, 16, 17},
    {"Erase Phone Number 4", "94", 24, 16, 17, 18},
    {"Set/Change Phone Num. 1", "91.<PhNum>", 25, 17, 18, 19},
    {"Set/Change Phone Num. 2", "92.<PhNum>", 26, 18, 19, 20},
    {"Set/Change Phone Num. 3", "93.<PhNum>", 27, 19, 20, 21},
    {"Set/Change Phone Num. 4", "94.<PhNum>", 28, 20, 21, 22},
    {"Module`s Config Change", "99.<Par>", 29, 21, 22, 23},
    {"Module`s Account Change", "95.<old><new>", 30, 22, 23, 24},
    {"Force Module OnLine", "87.ssss", 130, 23, 24, 25},
    {"Force Module OffLine", "86.ssss", 131, 24, 25, 26},
});

constexpr auto kEventRows = std::to_array<MarkRowDef>({
    {"IN 1 Alarm", "", 35, 1, 7, 1},
    {"IN 1 Restore", "", 37, 2, 8, 2},
    {"IN 2 Alarm", "", 39, 3, 9, 3},
    {"IN 2 Restore", "", 41, 4, 10, 4},
    {"IN 3 Alarm", "", 43, 0, 11, 5},
    {"IN 3 Restore", "", 45, 0, 12, 6},
    {"IN 4 Alarm", "", 47, 0, 13, 7},
    {"IN 4 Restore", "", 49, 0, 14, 8},
    {"IN 5 Alarm", "", 55, 0, 15, 9},
    {"IN 5 Restore", "", 57, 0, 16, 10},
    {"IN 6 (AC Fail) Alarm", "", 145, 0, 17, 11},
    {"IN 6 (AC Fail) Restore", "", 147, 0, 18, 12},
    {"Battery Low", "", 51, 5, 19, 13},
    {"Battery Restore", "", 53, 6, 20, 14},
    {"Acc 220 Fail", "", 55, 7, 0, 0},
    {"Acc 220 Ok", "", 57, 8, 0, 0},
    {"Ser. Port Comunication Error", "", 59, 9, 21, 15},
    {"Ser. Port Comunication Restore", "", 61, 10, 22, 16},
    {"Module Ready to Work", "", 65, 11, 23, 17},
    {"Test Message", "", 69, 12, 24, 18},
    {"Messages from Serial Port", "", 71, 13, 25, 19},
    {"GPRS on SIM1 Error", "", 137, 14, 26, 20},
    {"GPRS on SIM2 Error", "", 693, 0, 0, 21},
    {"Connection to Server Error", "", 143, 15, 27, 22},
    {"Connection to Reserve Serv. Error", "", 695, 0, 0, 23},
    {"Module Forced OffLine", "", 151, 16, 28, 24},
    {"SIM1 Error", "", 139, 0, 0, 25},
    {"SIM1 Ok", "", 697, 0, 0, 26},
    {"SIM2 Error", "", 141, 0, 0, 27},
    {"SIM2 OK", "", 699, 0, 0, 28},
    {"Control Panel Mode", "", -1, 0, 0, 29},
    {"Code Registration Mode Entry", "", 33, 0, 1, 30},
    {"Code Registration Mode Exit", "", 135, 0, 2, 31},
    {"Guard/Service Registration", "", 734, 0, 3, 32},
    {"System Arming", "", 700, 0, 4, 33},
    {"System Disarming", "", 717, 0, 5, 34},
    {"Unregistered Code/Key", "", 149, 0, 6, 35},
});

struct GridShape {
  std::string_view name;
  std::string_view section;  // in a.ini
  std::span<const MarkRowDef> rows;
  std::span<const std::string_view> columns;
  uint8_t columnBits;  // every column
};

constexpr std::array<std::string_view, 5> kCommandColumns = {"U1", "U2", "U3", "U4", "Reply"};
constexpr std::array<std::string_view, 4> kEventColumns = {"U1", "U2", "U3", "U4"};
constexpr uint8_t kU4 = 0x08;

const std::array<GridShape, 2> kTables = {{
    {kCommandsTable, "Commands", kCommandRows, kCommandColumns, 0x1F},
    {kEventsTable, "Events", kEventRows, kEventColumns, 0x0F},
}};

}  // namespace

std::span<const ConfigField> configFields() {
  return kFields;
}

std::string_view fieldCaption(const ConfigField& field, int type) {
  const FieldVariant* v = variantFor(field, type);
  return v ? v->caption : field.caption;
}

std::string_view fieldHint(const ConfigField& field, int type) {
  const FieldVariant* v = variantFor(field, type);
  return v ? v->hint : field.hint;
}

bool fieldShown(const ConfigField& field, int type) {
  return field.view != 0 && (field.shown & typeBit(type)) != 0;
}

bool isNumberField(const ConfigField& field) {
  return field.encoding == E::Byte || field.encoding == E::U16Le;
}

std::span<const std::string_view> outputItems(int type) {
  if (type == 3) return kType3Outputs;
  if (type == 6) return kType6Outputs;
  return kGsmOutputs;
}

uint8_t outputCode(int type, size_t item) {
  std::span<const uint8_t> codes =
      (type == 3 || type == 6) ? std::span<const uint8_t>(kLanOutputCodes) : kGsmOutputCodes;
  return item < codes.size() ? codes[item] : 0;
}

std::string rangeError(const ConfigField& field, int type, std::string_view value) {
  if (!isNumberField(field)) return {};
  const FieldVariant* v = variantFor(field, type);
  const uint16_t min = v ? v->min : field.min;
  const uint16_t max = v ? v->max : field.max;
  std::optional<uint32_t> n = typedDecimal(value);
  if (!n) return {};
  std::string caption(fieldCaption(field, type));
  if (*n < min) return caption + " <" + std::to_string(min);
  if (*n > max) return caption + " >" + std::to_string(max);
  return {};
}

ConfigValues unpackConfig(const ConfigImage& image, int type) {
  ConfigValues values;
  values.reserve(kFields.size());
  for (const ConfigField& field : kFields) values.push_back(unpackField(field, image, type));
  return values;
}

void packConfig(const ConfigValues& values, int type, ConfigImage& image) {
  if (values.size() != kFields.size()) return;
  for (size_t i = 0; i < kFields.size(); ++i) {
    if (kFields[i].packed & typeBit(type)) packField(kFields[i], values, i, type, image);
  }
}

int MarkRowDef::row(int type) const {
  switch (type) {
    case 1:
      return rowType1;
    case 2:
      return rowType2;
    case 5:
      return rowType5;
    default:
      return 0;
  }
}

std::span<const MarkRowDef> commandRowDefs() {
  return kCommandRows;
}
std::span<const MarkRowDef> eventRowDefs() {
  return kEventRows;
}

int markByte(size_t table, int type, int row) {
  if (table >= kTables.size() || row <= 0) return -1;
  for (const MarkRowDef& def : kTables[table].rows) {
    if (def.row(type) == row) return def.byte;
  }
  return -1;
}

std::vector<MarkTable> unpackMarkTables(const ConfigImage& image, int type, const IniFile& names) {
  std::vector<MarkTable> tables;
  if (!(kGsmTypes & typeBit(type))) return tables;
  // Only the larger module has a fourth user.
  const uint8_t lacking = type == 5 ? 0 : kU4;
  for (const GridShape& grid : kTables) {
    MarkTable table;
    table.name = std::string(grid.name);
    table.columns.assign(grid.columns.begin(), grid.columns.end());
    for (const MarkRowDef& def : grid.rows) {
      const int number = def.row(type);
      if (number == 0) continue;
      MarkTable::Row row;
      row.number = number;
      std::optional<std::string> renamed = names.value(grid.section, "L" + std::to_string(number));
      row.name = renamed ? *renamed : std::string(def.name);
      row.code = std::string(def.code);
      if (def.byte >= 0) {
        row.bits = image[static_cast<size_t>(def.byte)];
        row.settable = static_cast<uint8_t>(grid.columnBits & ~lacking);
      }
      table.rows.push_back(std::move(row));
    }
    std::sort(table.rows.begin(), table.rows.end(),
              [](const MarkTable::Row& a, const MarkTable::Row& b) { return a.number < b.number; });
    tables.push_back(std::move(table));
  }
  return tables;
}

void packMarkTables(const std::vector<MarkTable>& tables, int type, ConfigImage& image) {
  for (size_t t = 0; t < tables.size() && t < kTables.size(); ++t) {
    for (const MarkTable::Row& row : tables[t].rows) {
      const int byte = markByte(t, type, row.number);
      if (byte >= 0) image[static_cast<size_t>(byte)] = row.bits;
    }
  }
}

}  // namespace orv
