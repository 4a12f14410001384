#include "server/core/ini_scan.h"
#include "common/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "common/ini_file.h"
#include "common/unique_fd.h"

namespace orv::config_check {
namespace {

namespace fs = std::filesystem;

// Far beyond any real configuration (256 GPRS lines, a few hundred channels, long address
// lists), and small enough that the INI reader's searches stay quick: they grow with the square
// of these counts, and a file of a million sections would hold start-up (and a check) for hours.
constexpr size_t kMaxLines = 200000;
constexpr size_t kMaxSections = 2000;
constexpr size_t kMaxKeysPerSection = 10000;

// The INI reader's own rules, so that the scan reads a line as start-up does.
bool isBlank(char c) {
  return isIniBlank(c);
}

std::string_view trim(std::string_view s) {
  return trimIni(s);
}

// Names compare without regard to case in ASCII only, as the INI reader compares them.
char upperChar(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = upperChar(c);
  return out;
}

// An account name in the key file may be shown; anything longer could be a key written the
// wrong way round, and no key is ever shown.
bool showableAccount(std::string_view name) {
  return !name.empty() && name.size() <= 16 && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '*';
  });
}

}  // namespace

FileText readBounded(const fs::path& file, size_t limit) {
  FileText result;
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    result.state = errno == ENOENT ? FileText::State::Missing : FileText::State::Failed;
    result.error = std::strerror(errno);
    return result;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    result.state = FileText::State::Failed;
    result.error = std::strerror(errno);
    return result;
  }
  if (!S_ISREG(st.st_mode)) {
    result.state = FileText::State::Failed;
    result.error = S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file";
    return result;
  }
  result.size = static_cast<uint64_t>(st.st_size);
  result.text.resize(std::min<uint64_t>(result.size, limit));
  size_t got = 0;
  while (got < result.text.size()) {
    ssize_t n = ::read(fd.get(), result.text.data() + got, result.text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.state = FileText::State::Failed;
      result.error = std::strerror(errno);
      return result;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  result.text.resize(got);
  result.state = FileText::State::Read;
  return result;
}

bool sameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (upperChar(a[i]) != upperChar(b[i])) return false;
  }
  return true;
}

const ScannedSection* IniScan::find(std::string_view name) const {
  for (const ScannedSection& s : sections) {
    if (sameNoCase(s.name, name)) return &s;
  }
  return nullptr;
}

std::optional<IniScan> scanIni(std::string_view text, const std::string& name, bool secret,
                               Level notIniLevel, Findings& out) {
  const std::string where = name + ": ";
  if (text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF") {
    out.add(notIniLevel, where +
                             "UTF-16 text (saved as \"Unicode\"): the server reads nothing "
                             "of it; save it as UTF-8 or ANSI text");
    return std::nullopt;
  }
  size_t controls = 0;
  size_t firstControlLine = 0;
  size_t lineNumber = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') ++lineNumber;
    if (c == 0) {
      out.add(notIniLevel, where + "holds a NUL byte (offset " + std::to_string(i) +
                               "): a binary file, not an INI file");
      return std::nullopt;
    }
    if ((c < 0x20 && !isBlank(static_cast<char>(c)) && c != 0x1A) || c == 0x7F) {
      if (controls++ == 0) firstControlLine = lineNumber;
    }
  }
  if (controls > 16 && controls * 20 > text.size()) {
    out.add(notIniLevel,
            where + std::to_string(controls) + " control bytes: a binary file, not an INI file");
    return std::nullopt;
  }
  if (controls > 0) {
    out.warning(where + std::to_string(controls) + " control characters, the first on line " +
                std::to_string(firstControlLine));
  }
  const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  if (lines > kMaxLines) {
    out.add(notIniLevel, where + std::to_string(lines) + " lines; no configuration has more than " +
                             std::to_string(kMaxLines) +
                             ", and start-up would spend very long on it; not read on");
    return std::nullopt;
  }
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    out.warning(where +
                "starts with a UTF-8 byte-order mark: the first line is not read as "
                "written (a section header there is lost)");
  }

  IniScan scan;
  std::unordered_map<std::string, size_t> sectionIndex;
  std::vector<std::unordered_map<std::string, size_t>> keyLines;  // per section
  std::vector<size_t> keyCount;
  size_t headers = 0;
  size_t current = SIZE_MAX;
  bool anyEntry = false;
  size_t unreadable = 0;
  size_t start = 0;
  for (size_t n = 1; start <= text.size(); ++n) {
    const size_t nl = text.find('\n', start);
    const std::string_view raw =
        text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
    start = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
    const std::string_view line = trim(raw);
    if (line.empty() || line.front() == ';') continue;
    const std::string at = where + "line " + std::to_string(n);
    if (line.front() == '[' && line.find(']') != std::string_view::npos) {
      anyEntry = true;
      const std::string_view section = trim(line.substr(1, line.find(']') - 1));
      if (++headers > kMaxSections) {
        out.add(notIniLevel, where + "more than " + std::to_string(kMaxSections) +
                                 " sections; no configuration has that many, and start-up "
                                 "would spend very long on them; not read on");
        return std::nullopt;
      }
      auto [it, added] = sectionIndex.try_emplace(upper(section), scan.sections.size());
      current = it->second;
      if (added) {
        scan.sections.push_back({std::string(section), n, {}});
        keyLines.emplace_back();
        keyCount.push_back(0);
      } else if (!secret) {
        out.warning(at + ": [" + std::string(section) + "] again: its keys join those of line " +
                    std::to_string(scan.sections[current].line) +
                    ", and of a key given in both the first wins");
      } else {
        out.warning(at + ": a section again: its keys join those of line " +
                    std::to_string(scan.sections[current].line));
      }
      continue;
    }
    const size_t eq = line.find('=');
    const std::string_view key = eq == std::string_view::npos ? "" : trim(line.substr(0, eq));
    if (key.empty()) {
      ++unreadable;
      out.warning(at + ": neither a section header, a key nor a comment; ignored");
      continue;
    }
    anyEntry = true;
    const std::string keyShown = secret && !showableAccount(key) ? "an entry" : std::string(key);
    if (current == SIZE_MAX) {
      out.warning(at + ": " + keyShown + " stands before any section; ignored");
      continue;
    }
    ScannedSection& section = scan.sections[current];
    if (++keyCount[current] > kMaxKeysPerSection) {
      out.add(notIniLevel, where + "more than " + std::to_string(kMaxKeysPerSection) +
                               " keys in one section; start-up would spend very long on them; "
                               "not read on");
      return std::nullopt;
    }
    auto [it, added] = keyLines[current].try_emplace(upper(key), n);
    if (!added) {
      out.warning(at + ": " + (secret ? "" : "[" + section.name + "] ") + keyShown +
                  " again; the first, on line " + std::to_string(it->second) + ", is used");
      continue;
    }
    std::string_view value = trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    section.keys.push_back({std::string(key), std::string(value), n});
  }
  if (!anyEntry && unreadable > 0) {
    out.add(notIniLevel, where + "no section and no key: not an INI file");
    return std::nullopt;
  }
  return scan;
}

}  // namespace orv::config_check
