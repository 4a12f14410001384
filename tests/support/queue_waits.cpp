#include "tests/support/queue_waits.h"

#include <chrono>
#include <thread>

#include "tests/support/elapsed.h"
#include "tests/support/queue_files.h"
#include "tests/support/text_lines.h"

namespace orv::test {
namespace {

// The lines read last, and whether `done` held for them.
bool poll(const std::filesystem::path& dir, std::string_view id,
          const std::function<bool(const std::vector<std::string>&)>& done, int timeoutMs,
          std::vector<std::string>& lines) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    lines = queuedLines(dir, id);
    if (done(lines)) return true;
    if (msSince(start) > timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

testing::AssertionResult waitForQueueUntil(
    const std::filesystem::path& dir, std::string_view id,
    const std::function<bool(const std::vector<std::string>&)>& done, int timeoutMs) {
  std::vector<std::string> lines;
  if (poll(dir, id, done, timeoutMs, lines)) return testing::AssertionSuccess();
  return testing::AssertionFailure() << id << ".out after " << timeoutMs << " ms:\n"
                                     << joined(lines);
}

testing::AssertionResult waitForQueue(const std::filesystem::path& dir, std::string_view id,
                                      const std::vector<std::string>& expected, int timeoutMs) {
  std::vector<std::string> lines;
  auto same = [&](const std::vector<std::string>& l) { return l == expected; };
  if (poll(dir, id, same, timeoutMs, lines)) return testing::AssertionSuccess();
  return testing::AssertionFailure() << id << ".out after " << timeoutMs << " ms:\n"
                                     << joined(lines) << "expected:\n"
                                     << joined(expected);
}

testing::AssertionResult waitForQueueLine(const std::filesystem::path& dir, std::string_view id,
                                          std::string_view prefix, int timeoutMs) {
  return waitForQueueUntil(
      dir, id, [&](const std::vector<std::string>& l) { return countStartingWith(l, prefix) > 0; },
      timeoutMs);
}

std::vector<std::string> queuedAtLeast(const std::filesystem::path& dir, std::string_view id,
                                       size_t count, int timeoutMs) {
  std::vector<std::string> lines;
  poll(
      dir, id, [&](const std::vector<std::string>& l) { return l.size() >= count; }, timeoutMs,
      lines);
  return lines;
}

}  // namespace orv::test
