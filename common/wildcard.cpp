#include "common/wildcard.h"

#include <cctype>

namespace orv {
namespace {

bool sameChar(char a, char b) {
  return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

}  // namespace

bool matchesMask(std::string_view text, std::string_view mask) {
  // Greedy match with one backtrack point (the last "*"): linear in practice and never
  // exponential, whatever a hand-written mask looks like.
  size_t t = 0, m = 0;
  size_t starMask = std::string_view::npos, starText = 0;
  while (t < text.size()) {
    if (m < mask.size() && (mask[m] == '?' || (mask[m] != '*' && sameChar(mask[m], text[t])))) {
      ++t;
      ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      starMask = m++;
      starText = t;
    } else if (starMask != std::string_view::npos) {
      m = starMask + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

}  // namespace orv
