#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/core/config_findings.h"

// An INI file read as text for the configuration check: what the INI reader passes over without
// a word (lines it cannot read, keys outside any section, second entries of a key) and whether
// the file is an INI file at all.

namespace orv::config_check {

struct FileText {
  enum class State { Missing, Failed, Read } state = State::Missing;
  std::string error;  // Failed: why
  std::string text;   // Read: at most the limit
  uint64_t size = 0;  // of the whole file
};

// At most `limit` bytes of `file`. Anything that is no regular file is refused before a read
// could block (a FIFO) or run on without end (a device).
FileText readBounded(const std::filesystem::path& file, size_t limit);

bool sameNoCase(std::string_view a, std::string_view b);

struct ScannedKey {
  std::string name;
  std::string value;  // trimmed and unquoted, as the readers see it
  size_t line;
};

struct ScannedSection {
  std::string name;
  size_t line;
  std::vector<ScannedKey> keys;  // the first of each name, in file order
};

struct IniScan {
  std::vector<ScannedSection> sections;  // the first of each name, in file order
  const ScannedSection* find(std::string_view name) const;
};

// Reads `text` with the INI reader's rules and reports on it under `name`. std::nullopt when it
// is no INI file (binary, UTF-16, nothing but unreadable lines), or holds more lines, sections or
// keys than any configuration, which the INI reader would take very long over (its searches grow
// with the square of those counts); that is reported at `notIniLevel`. `secret`: the file holds
// keys, so only line numbers and names that cannot be a key are shown.
std::optional<IniScan> scanIni(std::string_view text, const std::string& name, bool secret,
                               Level notIniLevel, Findings& out);

}  // namespace orv::config_check
