#pragma once

#include <string_view>

namespace orv {

// File-mask match: "*" stands for any run of characters (also none), "?" for exactly one;
// letters compare without regard to case. The whole text must match the whole mask.
bool matchesMask(std::string_view text, std::string_view mask);

}  // namespace orv
