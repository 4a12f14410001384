#pragma once

#include <string>
#include <string_view>

namespace orv::tool {

// The text with every byte outside printable ASCII (and the backslash) written as \xHH, so that
// what a peer sent can be shown on one line of a terminal.
std::string printable(std::string_view text);

}  // namespace orv::tool
