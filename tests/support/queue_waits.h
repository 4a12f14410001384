#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace orv::test {

// Bounded waits on the lines the server keeps queued for channel `id` in `dir` (see
// queue_files.h): the files are read again every 20 ms until the condition holds or timeoutMs
// have passed. A failure shows the lines read last.

// Until `done` holds for the queued lines.
testing::AssertionResult waitForQueueUntil(
    const std::filesystem::path& dir, std::string_view id,
    const std::function<bool(const std::vector<std::string>&)>& done, int timeoutMs);
// Until the queued lines are exactly `expected`.
testing::AssertionResult waitForQueue(const std::filesystem::path& dir, std::string_view id,
                                      const std::vector<std::string>& expected, int timeoutMs);
// Until a queued line starts with `prefix`.
testing::AssertionResult waitForQueueLine(const std::filesystem::path& dir, std::string_view id,
                                          std::string_view prefix, int timeoutMs);

// The queued lines once there are at least `count`, or what there was when timeoutMs had passed.
std::vector<std::string> queuedAtLeast(const std::filesystem::path& dir, std::string_view id,
                                       size_t count, int timeoutMs);

}  // namespace orv::test
