#include "common/diag.h"

#include "common/ticks.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace orv {
namespace {

thread_local DiagCapture* tCapture = nullptr;

}  // namespace

DiagCapture::DiagCapture(size_t limit) : previous_(tCapture), limit_(limit) {
  tCapture = this;
}

DiagCapture::~DiagCapture() {
  tCapture = previous_;
}

void diag(std::string_view line) {
  if (DiagCapture* capture = tCapture) {
    if (capture->lines_.size() < capture->limit_) {
      capture->lines_.emplace_back(line);
    } else {
      ++capture->dropped_;
    }
    return;
  }
  std::string out;
  out.reserve(line.size() + 1);
  out.append(line);
  out.push_back('\n');
  const char* p = out.data();
  size_t left = out.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void diagf(const char* format, ...) {
  char buf[4096];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0) return;
  diag(std::string_view(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1)));
}

void PeerDiag::operator()(const char* format, ...) {
  uint64_t heldBack = 0;
  {
    std::lock_guard lock(lock_);
    const uint32_t now = ticks();
    if (inWindow_ == 0 || ticksSince(windowStart_, now) >= kWindowMs) {
      heldBack = held_;
      held_ = 0;
      windowStart_ = now;
      inWindow_ = 0;
    }
    if (inWindow_ >= kBurst) {
      ++held_;
      return;
    }
    ++inWindow_;
  }
  if (heldBack > 0) {
    diagf("%s: %llu more such lines were not shown", what_.c_str(),
          static_cast<unsigned long long>(heldBack));
  }
  char buf[2048];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n >= 0) diagf("%s: %s", what_.c_str(), buf);
}

}  // namespace orv
