// INI files: any bytes read as a file, then writes of any section, key and value. A write that is
// taken must read back as written (under the reader's trimming and unquoting), from memory and
// from the saved text, and touch no other entry; a refused one must change nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <map>
#include <string>
#include <vector>

#include "common/ini_file.h"
#include "tests/fuzz/fuzz_check.h"

namespace orv {
namespace {

using Contents = std::vector<std::pair<std::string, std::vector<IniFile::Entry>>>;

Contents contents(const IniFile& ini) {
  Contents out;
  for (const std::string& s : ini.sections()) out.emplace_back(s, ini.entries(s));
  return out;
}

bool sameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// The contents without `key` of `section`, to compare what a write must leave alone.
Contents without(Contents c, std::string_view section, std::string_view key) {
  for (auto& [name, entries] : c) {
    if (!sameNoCase(name, section)) continue;
    std::erase_if(entries, [&](const IniFile::Entry& e) { return sameNoCase(e.first, key); });
  }
  std::erase_if(c, [&](const auto& s) { return sameNoCase(s.first, section) && s.second.empty(); });
  return c;
}

// What a reader makes of a written value: blanks at the ends go, then one pair of quotes.
std::string asRead(std::string_view v) {
  auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (!v.empty() && blank(v.front())) v.remove_prefix(1);
  while (!v.empty() && blank(v.back())) v.remove_suffix(1);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  return std::string(v);
}

std::string name(FuzzedDataProvider& in) {
  static const char* const kNames[] = {"Main", "Port", "Client0", "Id",     "[Main]", "a=b",  ";c",
                                       " x",   "y ",   "",        "Q\r\nR", "S]T",    "\"q\""};
  if (in.ConsumeBool()) return kNames[in.ConsumeIntegralInRange<size_t>(0, std::size(kNames) - 1)];
  return in.ConsumeRandomLengthString(12);
}

}  // namespace
}  // namespace orv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orv;
  FuzzedDataProvider in(data, size);
  const std::string text = in.ConsumeRandomLengthString(2000);
  IniFile ini = IniFile::fromText(text);
  for (const std::string& s : ini.sections()) {
    for (const IniFile::Entry& e : ini.entries(s)) {
      FUZZ_CHECK(ini.readString(s, e.first) == e.second);
      (void)ini.readInteger(s, e.first, 0);
      (void)parseIniInteger(e.second);
    }
  }
  // What we save is what the next reader sees.
  FUZZ_CHECK(contents(IniFile::fromText(ini.text())) == contents(ini));

  for (int writes = 0; writes < 8 && in.remaining_bytes() > 0; ++writes) {
    const std::string section = name(in);
    const std::string key = name(in);
    const int what = in.ConsumeIntegralInRange<int>(0, 9);
    if (what == 0) {
      ini.eraseKey(section, key);
      FUZZ_CHECK(!ini.hasKey(section, key));
      continue;
    }
    if (what == 1) {
      ini.eraseSection(section);
      FUZZ_CHECK(!ini.hasSection(section));
      continue;
    }
    const std::string value = in.ConsumeRandomLengthString(40);
    const Contents before = contents(ini);
    const std::string beforeText = ini.text();
    if (ini.writeString(section, key, value)) {
      // A line break in a value is written as a space.
      std::string oneLine = value;
      for (char& c : oneLine) {
        if (c == '\r' || c == '\n') c = ' ';
      }
      const std::string expected = asRead(oneLine);
      FUZZ_CHECK(section.find_first_of("\r\n") == std::string::npos);
      FUZZ_CHECK(key.find_first_of("\r\n") == std::string::npos);
      FUZZ_CHECK(ini.readString(section, key, "\x01missing") == expected);
      const IniFile reread = IniFile::fromText(ini.text());
      FUZZ_CHECK(reread.readString(section, key, "\x01missing") == expected);
      FUZZ_CHECK(contents(reread) == contents(ini));
      FUZZ_CHECK(without(contents(ini), section, key) == without(before, section, key));
    } else {
      FUZZ_CHECK(ini.text() == beforeText);
    }
  }
  return 0;
}
