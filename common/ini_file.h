#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orv {

// Parses an integer the way every INI reader of the system does: optional sign, then decimal
// digits, or hexadecimal digits after "$" or "0x"; white space around it is ignored. Anything
// else, or a value outside 32 bits, gives std::nullopt (the reader then uses its default).
std::optional<int32_t> parseIniInteger(std::string_view text);

// The blanks an INI line's names and values lose at both ends, and the trimming itself, as the
// reader does it (for anything that must read a file the same way).
bool isIniBlank(char c);
std::string_view trimIni(std::string_view s);

// One INI file with the private-profile rules: section and key names compare without regard to
// case; sections and keys keep file order; the first of duplicate keys wins (a section that
// appears twice is read as one); values are trimmed and lose one pair of enclosing quotes; lines
// starting with ";" are comments. Broken lines (no "=", no closing "]") are kept but carry no key.
//
// Writes change the text in memory, keeping every other line as it was (comments included);
// save() puts the text on disk in one step (temporary file, then rename). Not thread-safe: each
// reader opens its own instance, as the design's readers open the file.
class IniFile {
 public:
  using Entry = std::pair<std::string, std::string>;  // key, value

  IniFile() = default;
  // Reads `path`; a missing or unreadable file reads as an empty one.
  explicit IniFile(std::filesystem::path path);
  static IniFile fromText(std::string_view text, std::filesystem::path path = {});

  const std::filesystem::path& path() const { return path_; }
  bool existed() const { return existed_; }

  std::vector<std::string> sections() const;
  std::vector<std::string> keys(std::string_view section) const;
  std::vector<Entry> entries(std::string_view section) const;
  bool hasSection(std::string_view section) const;
  bool hasKey(std::string_view section, std::string_view key) const;

  std::optional<std::string> value(std::string_view section, std::string_view key) const;
  std::string readString(std::string_view section, std::string_view key,
                         std::string_view def = {}) const;
  int32_t readInteger(std::string_view section, std::string_view key, int32_t def) const;
  bool readBool(std::string_view section, std::string_view key, bool def) const;

  // The value is written as given, so it reads back under the rules above (trimmed, one pair
  // of enclosing quotes removed). A write whose line would read as something else is refused
  // (false, with a diagnostic line) and changes nothing: a line break anywhere, a section name
  // with "]" or blanks at its ends, a key that is empty, holds "=", starts with ";", has blanks
  // at its ends, or makes a section header of its line.
  bool writeString(std::string_view section, std::string_view key, std::string_view value);
  bool writeInteger(std::string_view section, std::string_view key, int32_t value);
  bool writeBool(std::string_view section, std::string_view key, bool value);
  void eraseKey(std::string_view section, std::string_view key);
  void eraseSection(std::string_view section);

  // Writes the text to path(); false with a reason in *error when that fails.
  bool save(std::string* error = nullptr) const;
  std::string text() const;

  // Files larger than this are read only up to it.
  static constexpr size_t kMaxFileSize = 16 * 1024 * 1024;

 private:
  struct KeyLine {
    std::string key;
    std::string value;
    size_t line;
  };
  struct Section {
    std::string name;
    size_t header;    // line index of "[name]"
    size_t lastLine;  // last line that belongs to the section
    std::vector<KeyLine> keys;
  };

  void setText(std::string_view text);
  void reindex();
  const KeyLine* findKey(std::string_view section, std::string_view key) const;

  std::filesystem::path path_;
  bool existed_ = false;
  bool crlf_ = false;
  std::vector<std::string> lines_;
  std::vector<Section> sections_;
};

}  // namespace orv
