#pragma once

#include <array>
#include <string>
#include <string_view>

#include "common/ini_file.h"

namespace orv {

// The templates that turn module messages into output lines, one per slot 0, 1, 2, 3, 6, 7
// (slot n for "M0n,", slot 0 for each code of "Mff,"). In a template "$" stands for the account,
// "#n" (n 1-9) for character n + 5 of the event body, "s" for one space; the fourth character
// becomes the line digit; everything else is copied.
class LineTemplates {
 public:
  static constexpr std::array<int, 6> kSlots = {0, 1, 2, 3, 6, 7};
  static constexpr char kAccountByte = static_cast<char>(0xFF);

  // Reads section "m" + itemSection; missing keys and templates shorter than four characters
  // (which have no place for the line digit) take the defaults of that item section.
  static LineTemplates load(const IniFile& ini, std::string_view itemSection);

  // The default text of a slot: sections "Com" and "Client0" have their own set.
  static std::string_view defaultText(std::string_view itemSection, int slot);
  // "$" becomes kAccountByte, "#n" the byte n; a "#" without a digit 1-9 after it stays "#".
  static std::string compile(std::string_view text);

  // The compiled template of slot 0-7, or nullptr for a slot without one.
  const std::string* slot(int slot) const;

  // Expands a compiled template for one event body.
  static std::string expand(const std::string& compiled, char lineDigit, std::string_view account,
                            std::string_view body);

 private:
  std::array<std::string, 8> slots_;
};

}  // namespace orv
