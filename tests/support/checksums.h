#pragma once

#include <string>
#include <string_view>

namespace orv::test {

// A module's event line: "*" and the XOR of every character after the first one, two upper-case
// hex digits.
std::string withModuleChecksum(std::string_view body);

// A TcpDrv receiver line: "*" and the XOR of every character of `text`, two hex digits (lower
// case when asked: receivers send either).
std::string withTcpDrvChecksum(std::string_view text, bool lowerCase = false);

}  // namespace orv::test
