#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The fixed-column receiver layout every output line follows: character 1 the line class,
// 2-3 the receiver number, 4 the line digit, and in event lines 5-7 " 18" and 8-11 the account.

namespace orv {

// The configured Line number modulo 16 as one upper-case hexadecimal digit.
char lineDigit(unsigned lineNumber);

// Writes the line digit into character 4 of a line longer than four characters.
void setLineDigit(std::string& line, char digit);

// The account of an event line: characters 8-11 with leading spaces removed, read as
// hexadecimal. std::nullopt when the line is shorter or the field is not a hex number.
std::optional<uint32_t> lineAccount(std::string_view line);

}  // namespace orv
