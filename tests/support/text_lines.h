#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orv::test {

// The lines of `text`, split at LF, a CR before the LF removed.
std::vector<std::string> splitLines(const std::string& text);

// One quoted line per row, for failure messages: the spaces at the ends of a line stay visible.
std::string joined(const std::vector<std::string>& lines);

size_t countStartingWith(const std::vector<std::string>& lines, std::string_view prefix);

}  // namespace orv::test
