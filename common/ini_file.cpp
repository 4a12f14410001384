#include "common/ini_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <unordered_set>

#include "common/diag.h"
#include "common/unique_fd.h"

namespace orv {
namespace {

std::string upperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);  // as equalsNoCase compares
  }
  return out;
}

std::string_view trim(std::string_view s) {
  return trimIni(s);
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::string_view unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  return v;
}

enum class LineKind { Blank, Header, Key, Other };

// What one line of the file is; every reading and every check of a write goes through here, so
// that a write is judged by the rules the next reader applies.
struct ParsedLine {
  LineKind kind = LineKind::Other;
  std::string_view name;   // section or key
  std::string_view value;  // trimmed and unquoted
};

ParsedLine parseLine(std::string_view raw) {
  std::string_view line = trim(raw);
  if (line.empty() || line.front() == ';') return {LineKind::Blank, {}, {}};
  if (line.front() == '[') {
    size_t close = line.find(']');
    if (close != std::string_view::npos) {
      return {LineKind::Header, trim(line.substr(1, close - 1)), {}};
    }
  }
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return {};
  std::string_view key = trim(line.substr(0, eq));
  if (key.empty()) return {};
  return {LineKind::Key, key, unquote(trim(line.substr(eq + 1)))};
}

bool hasLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

bool isIniBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trimIni(std::string_view s) {
  while (!s.empty() && isIniBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isIniBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::optional<int32_t> parseIniInteger(std::string_view text) {
  text = trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (!text.empty() && text.front() == '$') {
    base = 16;
    text.remove_prefix(1);
  } else if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return std::nullopt;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFull) return std::nullopt;
  }
  if (base == 16) {
    // Eight hex digits are a 32-bit pattern: "$FFFFFFFF" is -1.
    int32_t bits = static_cast<int32_t>(static_cast<uint32_t>(v));
    return negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(bits)) : bits;
  }
  if (negative) {
    if (v > 0x80000000ull) return std::nullopt;
    return static_cast<int32_t>(-static_cast<int64_t>(v));
  }
  if (v > 0x7FFFFFFFull) return std::nullopt;
  return static_cast<int32_t>(v);
}

IniFile::IniFile(std::filesystem::path path) : path_(std::move(path)) {
  // A FIFO or a device in the file's place would block the read, or never end it.
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(path_, ec);
  if (ec || !std::filesystem::exists(st)) return;
  if (!std::filesystem::is_regular_file(st)) {
    diagf("%s: not a regular file; read as an empty one", path_.c_str());
    return;
  }
  std::ifstream in(path_, std::ios::binary);
  if (!in) return;
  existed_ = true;
  std::string text;
  char chunk[16384];
  while (text.size() < kMaxFileSize && in.read(chunk, sizeof chunk), in.gcount() > 0) {
    text.append(chunk, std::min(static_cast<size_t>(in.gcount()), kMaxFileSize - text.size()));
  }
  if (text.size() == kMaxFileSize && in.peek() != std::char_traits<char>::eof()) {
    diagf("%s: larger than %zu bytes; the rest is ignored", path_.c_str(), kMaxFileSize);
  }
  setText(text);
}

IniFile IniFile::fromText(std::string_view text, std::filesystem::path path) {
  IniFile ini;
  ini.path_ = std::move(path);
  ini.setText(text);
  return ini;
}

void IniFile::setText(std::string_view text) {
  lines_.clear();
  // Editors on Windows put a byte-order mark in front of UTF-8 text; it is no part of the first
  // line, which would otherwise not read as the section header it is.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string_view::npos ? text.size() : nl;
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') {
      if (lines_.empty()) crlf_ = true;
      line.remove_suffix(1);
    }
    lines_.emplace_back(line);
    if (nl == std::string_view::npos) break;
    start = nl + 1;
  }
  reindex();
}

void IniFile::reindex() {
  sections_.clear();
  Section* current = nullptr;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const ParsedLine parsed = parseLine(lines_[i]);
    if (parsed.kind == LineKind::Blank) continue;
    if (parsed.kind == LineKind::Header) {
      sections_.push_back(Section{std::string(parsed.name), i, i, {}});
      current = &sections_.back();
      continue;
    }
    if (current == nullptr) continue;
    current->lastLine = i;
    if (parsed.kind == LineKind::Key) {
      current->keys.push_back(KeyLine{std::string(parsed.name), std::string(parsed.value), i});
    }
  }
}

std::vector<std::string> IniFile::sections() const {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;  // upper case: one pass, however many sections
  for (const Section& s : sections_) {
    if (seen.insert(upperCase(s.name)).second) names.push_back(s.name);
  }
  return names;
}

std::vector<IniFile::Entry> IniFile::entries(std::string_view section) const {
  std::vector<Entry> out;
  std::unordered_set<std::string> seen;
  for (const Section& s : sections_) {
    if (!equalsNoCase(s.name, section)) continue;
    for (const KeyLine& k : s.keys) {
      if (seen.insert(upperCase(k.key)).second) out.emplace_back(k.key, k.value);
    }
  }
  return out;
}

std::vector<std::string> IniFile::keys(std::string_view section) const {
  std::vector<std::string> out;
  for (Entry& e : entries(section)) out.push_back(std::move(e.first));
  return out;
}

bool IniFile::hasSection(std::string_view section) const {
  for (const Section& s : sections_) {
    if (equalsNoCase(s.name, section)) return true;
  }
  return false;
}

const IniFile::KeyLine* IniFile::findKey(std::string_view section, std::string_view key) const {
  for (const Section& s : sections_) {
    if (!equalsNoCase(s.name, section)) continue;
    for (const KeyLine& k : s.keys) {
      if (equalsNoCase(k.key, key)) return &k;
    }
  }
  return nullptr;
}

bool IniFile::hasKey(std::string_view section, std::string_view key) const {
  return findKey(section, key) != nullptr;
}

std::optional<std::string> IniFile::value(std::string_view section, std::string_view key) const {
  if (const KeyLine* k = findKey(section, key)) return k->value;
  return std::nullopt;
}

std::string IniFile::readString(std::string_view section, std::string_view key,
                                std::string_view def) const {
  if (const KeyLine* k = findKey(section, key)) return k->value;
  return std::string(def);
}

int32_t IniFile::readInteger(std::string_view section, std::string_view key, int32_t def) const {
  const KeyLine* k = findKey(section, key);
  if (k == nullptr) return def;
  return parseIniInteger(k->value).value_or(def);
}

bool IniFile::readBool(std::string_view section, std::string_view key, bool def) const {
  return readInteger(section, key, def ? 1 : 0) != 0;
}

bool IniFile::writeString(std::string_view section, std::string_view key, std::string_view value) {
  // Names come from callers and operators. A line break would put lines of its own into the
  // file (other keys, other sections), and a name that does not read back as itself
  // ("]" in a section, "=" or a leading ";" in a key) would change a different entry; such a
  // write is refused whole rather than stored as something else.
  // A line break in a value (a typed text, say) becomes a space, as it always has.
  std::string oneLine(value);
  for (char& c : oneLine) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  const std::string header = "[" + std::string(section) + "]";
  const std::string line = std::string(key) + "=" + oneLine;
  const ParsedLine asHeader = parseLine(header);
  const ParsedLine asKey = parseLine(line);
  if (hasLineBreak(section) || hasLineBreak(key) || asHeader.kind != LineKind::Header ||
      asHeader.name != section || asKey.kind != LineKind::Key || asKey.name != key) {
    diagf("%s: not written: [%s] %s holds a line break or does not read back as written",
          path_.empty() ? "INI file" : path_.c_str(), std::string(section.substr(0, 80)).c_str(),
          std::string(key.substr(0, 80)).c_str());
    return false;
  }
  if (const KeyLine* k = findKey(section, key)) {
    lines_[k->line] = k->key + "=" + oneLine;
  } else {
    const Section* target = nullptr;
    for (const Section& s : sections_) {
      if (equalsNoCase(s.name, section)) {
        target = &s;
        break;
      }
    }
    if (target != nullptr) {
      lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(target->lastLine + 1), line);
    } else {
      lines_.push_back(header);
      lines_.push_back(line);
    }
  }
  reindex();
  return true;
}

bool IniFile::writeInteger(std::string_view section, std::string_view key, int32_t value) {
  return writeString(section, key, std::to_string(value));
}

bool IniFile::writeBool(std::string_view section, std::string_view key, bool value) {
  return writeString(section, key, value ? "1" : "0");
}

void IniFile::eraseKey(std::string_view section, std::string_view key) {
  while (const KeyLine* k = findKey(section, key)) {
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(k->line));
    reindex();
  }
}

void IniFile::eraseSection(std::string_view section) {
  for (size_t i = sections_.size(); i-- > 0;) {
    const Section& s = sections_[i];
    if (!equalsNoCase(s.name, section)) continue;
    // The section runs up to the next header; comments just before that header go with it.
    size_t end = i + 1 < sections_.size() ? sections_[i + 1].header : lines_.size();
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(s.header),
                 lines_.begin() + static_cast<std::ptrdiff_t>(end));
  }
  reindex();
}

std::string IniFile::text() const {
  const char* eol = crlf_ ? "\r\n" : "\n";
  std::string out;
  for (const std::string& l : lines_) {
    out += l;
    out += eol;
  }
  return out;
}

bool IniFile::save(std::string* error) const {
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    return false;
  };
  std::filesystem::path tmp = path_;
  tmp += ".tmp";
  UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) return fail("cannot create temporary file");
  std::string data = text();
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd.get(), p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::unlink(tmp.c_str());
      return fail("cannot write");
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
    ::unlink(tmp.c_str());
    return fail("cannot flush");
  }
  if (::rename(tmp.c_str(), path_.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return fail("cannot rename");
  }
  return true;
}

}  // namespace orv
