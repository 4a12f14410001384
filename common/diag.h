#pragma once

#include <string_view>

namespace orv {

// Writes one operational diagnostic line to stderr. The line goes out in a single write, so lines
// from different threads never interleave. Safe to call from any thread.
void diag(std::string_view line);

// printf-style variant of diag(); the result is cut at 4 KiB.
void diagf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace orv
