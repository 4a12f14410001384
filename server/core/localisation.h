#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/ini_file.h"

namespace orv {

// Window texts from Orv_Str.ini: the section is a window's component name, each key a component
// of that window, each value its caption. The windows apply it when they are created.
class Localisation {
 public:
  Localisation() = default;
  explicit Localisation(const std::filesystem::path& file) : ini_(file) {}
  static Localisation fromText(std::string_view text) {
    Localisation l;
    l.ini_ = IniFile::fromText(text);
    return l;
  }

  bool loaded() const { return ini_.existed(); }

  // The window's own caption: key W of section W, empty when missing (also without the file).
  std::string windowCaption(std::string_view window) const {
    return ini_.readString(window, window, "");
  }
  // Every component caption of window W, in file order (the window's own key included).
  std::vector<IniFile::Entry> captions(std::string_view window) const {
    return ini_.entries(window);
  }

 private:
  IniFile ini_;
};

}  // namespace orv
