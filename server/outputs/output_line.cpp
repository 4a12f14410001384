#include "server/outputs/output_line.h"

#include "common/hex_record.h"

namespace orv {

char lineDigit(unsigned lineNumber) {
  return "0123456789ABCDEF"[lineNumber % 16];
}

void setLineDigit(std::string& line, char digit) {
  if (line.size() > 4) line[3] = digit;
}

std::optional<uint32_t> lineAccount(std::string_view line) {
  if (line.size() < 8) return std::nullopt;
  std::string_view field = line.substr(7, 4);
  while (!field.empty() && field.front() == ' ') field.remove_prefix(1);
  return parseHex(field);
}

}  // namespace orv
