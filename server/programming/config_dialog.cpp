#include "server/programming/config_dialog.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "common/hex_record.h"
#include "server/programming/dialog_text.h"

namespace orv {
namespace {

bool allOf(std::string_view s, bool dots) {
  return std::all_of(s.begin(), s.end(),
                     [dots](char c) { return (c >= '0' && c <= '9') || (dots && c == '.'); });
}

std::string itemList(std::span<const std::string_view> items) {
  std::string out;
  for (std::string_view item : items) {
    if (!out.empty()) out += ", ";
    out += trimRightBlanks(item);
  }
  return out;
}

// The canonical item the operator means, matched without trailing blanks or case.
const std::string_view* findItem(std::span<const std::string_view> items, std::string_view value) {
  for (const std::string_view& item : items) {
    if (sameCaption(trimRightBlanks(item), trimBlanks(value))) return &item;
  }
  return nullptr;
}

constexpr std::array<std::string_view, 4> kUsers = {"U01", "U02", "U03", "U04"};
constexpr std::array<Button, 2> kYesNo = {Button::Yes, Button::No};

// Fields the dialog greys out while another one holds a value.
struct Disabling {
  std::string_view field;
  std::string_view by;
  std::string_view value;
};
constexpr std::array<Disabling, 5> kDisabled = {{
    {"LOCAL IP", "IP Config method", "DHCP"},
    {"SUBNET_MASK", "IP Config method", "DHCP"},
    {"GATEWAY", "IP Config method", "DHCP"},
    {"Authentication mode", "Auto", "1"},
    {"Encryption algorithm", "Auto", "1"},
}};

}  // namespace

ConfigDialog::ConfigDialog(int moduleType, ConfigImage& image,
                           const std::filesystem::path& rowNamesFile)
    : type_(moduleType), image_(image), rowNames_(rowNamesFile) {
  if (!isConfigModuleType(moduleType)) {
    throw std::invalid_argument("no configuration dialog for module type " +
                                std::to_string(moduleType));
  }
  unpack();
}

void ConfigDialog::unpack() {
  values_ = unpackConfig(image_, type_);
  tables_ = unpackMarkTables(image_, type_, rowNames_);
}

std::vector<DialogField> ConfigDialog::fields() const {
  std::span<const ConfigField> all = configFields();
  std::vector<size_t> shown;
  for (size_t i = 0; i < all.size(); ++i) {
    if (fieldShown(all[i], type_)) shown.push_back(i);
  }
  std::sort(shown.begin(), shown.end(),
            [&](size_t a, size_t b) { return all[a].view < all[b].view; });
  std::vector<DialogField> out;
  out.reserve(shown.size());
  for (size_t i : shown) out.push_back({std::string(fieldCaption(all[i], type_)), values_[i]});
  return out;
}

const std::string& ConfigDialog::value(std::string_view caption) const {
  static const std::string none;
  std::span<const ConfigField> all = configFields();
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i].caption == caption) return values_[i];
  }
  return none;
}

std::string ConfigDialog::setField(std::string_view caption, std::string_view typed) {
  std::span<const ConfigField> all = configFields();
  size_t index = all.size();
  for (size_t i = 0; i < all.size(); ++i) {
    if (fieldShown(all[i], type_) &&
        sameCaption(trimRightBlanks(fieldCaption(all[i], type_)), trimRightBlanks(caption))) {
      index = i;
      break;
    }
  }
  if (index == all.size()) return "No field \"" + std::string(trimRightBlanks(caption)) + "\"";

  const ConfigField& field = all[index];
  const std::string name(trimRightBlanks(fieldCaption(field, type_)));
  for (const Disabling& d : kDisabled) {
    if (d.field == field.caption && value(d.by) == d.value) {
      return name + " cannot be changed while " + std::string(d.by) + " is " +
             (d.value == "1" ? "ticked" : std::string(d.value));
    }
  }
  std::string taken(typed);
  switch (field.encoding) {
    case Encoding::Byte:
    case Encoding::U16Le: {
      if (taken.empty() || !allOf(taken, false)) return name + ": '" + taken + "' is not a number";
      std::string error = rangeError(field, type_, taken);
      if (!error.empty()) return error;
      taken.erase(0, std::min(taken.find_first_not_of('0'), taken.size() - 1));
      break;
    }
    case Encoding::PinU16Be:
      if (taken.empty() || !allOf(taken, false)) return name + " accepts only digits";
      taken.resize(std::min<size_t>(taken.size(), field.width));
      break;
    case Encoding::HexU16Be: {
      std::optional<uint32_t> v = taken.size() <= field.width ? parseHex(taken) : std::nullopt;
      if (!v) return name + " takes up to 4 hexadecimal digits";
      char buf[8];
      std::snprintf(buf, sizeof buf, "%4.4X", static_cast<unsigned>(*v));
      taken = buf;
      break;
    }
    case Encoding::Text:
    case Encoding::Phone:
    case Encoding::AreaCode:
      if (field.filter == KeyFilter::Digits && !allOf(taken, false)) {
        return name + " accepts only digits";
      }
      if (field.filter == KeyFilter::DigitsDots && !allOf(taken, true)) {
        return name + " accepts only digits and \".\"";
      }
      taken.resize(std::min<size_t>(taken.size(), field.width));
      break;
    case Encoding::Item:
    case Encoding::Output:
    case Encoding::Bits: {
      std::span<const std::string_view> items =
          field.encoding == Encoding::Output ? outputItems(type_) : field.items;
      if (items.empty()) {
        if (taken != "0" && taken != "1") return name + " takes 0 or 1";
        break;
      }
      const std::string_view* item = findItem(items, taken);
      if (!item) return name + " takes one of: " + itemList(items);
      taken = std::string(*item);
      break;
    }
    case Encoding::Compose:
      return "No field \"" + name + "\"";
  }
  values_[index] = std::move(taken);
  return {};
}

std::string ConfigDialog::setMark(std::string_view table, int row, int column, bool on) {
  for (MarkTable& t : tables_) {
    if (!sameCaption(trimBlanks(t.name), trimBlanks(table))) continue;
    auto r = std::find_if(t.rows.begin(), t.rows.end(),
                          [row](const MarkTable::Row& x) { return x.number == row; });
    if (r == t.rows.end()) {
      return "No row " + std::to_string(row) + " in " + std::string(trimBlanks(t.name));
    }
    if (column < 1 || column > static_cast<int>(t.columns.size())) {
      return "No column " + std::to_string(column) + " in " + std::string(trimBlanks(t.name));
    }
    if (r->settable == 0) return "\"" + r->name + "\" is a heading and takes no marks";
    const uint8_t bit = static_cast<uint8_t>(1u << (column - 1));
    if (!(r->settable & bit)) return "Column " + t.columns[column - 1] + " cannot be marked";
    r->bits = on ? static_cast<uint8_t>(r->bits | bit) : static_cast<uint8_t>(r->bits & ~bit);
    return {};
  }
  return "No table \"" + std::string(trimBlanks(table)) + "\"";
}

bool ConfigDialog::internationalCodeConfirmed(OperatorQuestions& op) const {
  if (!(kGsmTypes & typeBit(type_))) return true;
  bool missing = false;
  for (std::string_view user : kUsers) {
    const std::string u(user);
    if (value(u + " Text SMS") == "1" && value(u + " Area code").empty()) missing = true;
  }
  if (!missing) return true;
  return op.ask("WARNING",
                "You must enter international code for correct message transmition. CONTINUE?",
                kYesNo, Button::No) == Button::Yes;
}

void ConfigDialog::pack() {
  packConfig(values_, type_, image_);
  packMarkTables(tables_, type_, image_);
}

bool ConfigDialog::accept(OperatorQuestions& op) {
  if (!internationalCodeConfirmed(op)) return false;
  pack();
  if (kGsmTypes & typeBit(type_)) {
    // All four users: an area code without a number would be stored as a number of its own.
    for (std::string_view user : kUsers) {
      const std::string u(user);
      if (!value(u + " Area code").empty() && value(u + " Phone number").empty()) {
        op.showMessage("ERROR", "You must enter valid phone number");
        return false;
      }
    }
  }
  if (!security.openPassword && security.newCode != security.repeatCode) return false;
  return op.ask("QUESTION", "Save?", kYesNo, Button::No) == Button::Yes;
}

std::string ConfigDialog::save(const std::filesystem::path& file, OperatorQuestions& op) {
  if (!internationalCodeConfirmed(op)) return "Cancelled";
  pack();
  return writeTextFile(file, imageHexText(image_, 0, kConfigImageSize));
}

}  // namespace orv
