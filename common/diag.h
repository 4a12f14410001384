#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace orv {

// Writes one operational diagnostic line to stderr. The line goes out in a single write, so lines
// from different threads never interleave. Safe to call from any thread.
void diag(std::string_view line);

// printf-style variant of diag(); the result is cut at 4 KiB.
void diagf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace orv

namespace orv {

// Diagnostics about what peers send, which a broken or hostile peer could repeat thousands of
// times a second: at most kBurst lines per kWindowMs, then one line saying how many were held
// back. Safe to call from any thread.
class PeerDiag {
 public:
  static constexpr int kBurst = 10;
  static constexpr uint32_t kWindowMs = 10000;

  explicit PeerDiag(std::string what) : what_(std::move(what)) {}
  void operator()(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  std::string what_;
  std::mutex lock_;
  uint32_t windowStart_ = 0;
  int inWindow_ = 0;
  uint64_t held_ = 0;
};

}  // namespace orv
