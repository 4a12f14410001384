#pragma once

#include <cstdint>

namespace orv {

// Milliseconds of the 32-bit tick counter (CLOCK_MONOTONIC). It wraps after about 49 days;
// compare two ticks only through their unsigned difference, as ticksSince() does.
uint32_t ticks();
// A steady clock in microseconds, for measuring short waits.
uint64_t steadyMicros();

inline uint32_t ticksSince(uint32_t start, uint32_t now) {
  return now - start;
}
inline uint32_t ticksSince(uint32_t start) {
  return ticks() - start;
}

}  // namespace orv
