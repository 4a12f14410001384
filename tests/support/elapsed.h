#pragma once

#include <chrono>

namespace orv::test {

using Clock = std::chrono::steady_clock;

// Milliseconds since `start`.
long msSince(Clock::time_point start);

}  // namespace orv::test
