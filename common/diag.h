#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// Writes one operational diagnostic line to stderr. The line goes out in a single write, so lines
// from different threads never interleave. Safe to call from any thread.
void diag(std::string_view line);

// printf-style variant of diag(); the result is cut at 4 KiB.
void diagf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// While it lives, the diag() lines of the thread that made it are kept here instead of going to
// stderr, so that a caller can run the configuration readers and report what they said. Lines
// past `limit` are only counted. Other threads still write to stderr. Nests.
class DiagCapture {
 public:
  explicit DiagCapture(size_t limit = 1000);
  ~DiagCapture();
  DiagCapture(const DiagCapture&) = delete;
  DiagCapture& operator=(const DiagCapture&) = delete;

  const std::vector<std::string>& lines() const { return lines_; }
  size_t dropped() const { return dropped_; }

 private:
  friend void diag(std::string_view line);
  DiagCapture* previous_;
  size_t limit_;
  std::vector<std::string> lines_;
  size_t dropped_ = 0;
};

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
