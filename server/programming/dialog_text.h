#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>

namespace orv {

// How the dialogs read what an operator typed or named.

// Without the blanks at both ends / at the end.
inline std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}
inline std::string_view trimRightBlanks(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// Captions and item names match without regard to ASCII case.
inline bool sameCaption(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// A whole decimal number; std::nullopt for anything else. Values past 65535 read as 65536 so
// that a range check can never be passed by wrapping around.
inline std::optional<uint32_t> typedDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = std::min<uint32_t>(v * 10 + static_cast<uint32_t>(c - '0'), 65536);
  }
  return v;
}

}  // namespace orv
