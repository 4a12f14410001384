#include "tests/support/text_lines.h"

#include <sstream>

namespace orv::test {

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += "  '" + l + "'\n";
  return out;
}

size_t countStartingWith(const std::vector<std::string>& lines, std::string_view prefix) {
  size_t n = 0;
  for (const std::string& l : lines) n += l.starts_with(prefix) ? 1 : 0;
  return n;
}

}  // namespace orv::test
