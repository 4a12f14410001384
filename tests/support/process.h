#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "common/unique_fd.h"

namespace orv::test {

// A child process whose stderr (and stdout) the test reads line by line. Every wait is bounded;
// a failed wait reports what the child printed so far.
class Process {
 public:
  // `env`: "NAME=value" entries added to the test's own environment for the child.
  Process(const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::string>& env = {});
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  // Waits until a line containing `text` has been printed; returns that line.
  std::optional<std::string> waitForLine(std::string_view text, int timeoutMs);
  // Waits until `text` appears anywhere in what was printed, matched before or not.
  bool waitForOutput(std::string_view text, int timeoutMs);
  // Waits for the exit; the exit code, or 128 + signal; std::nullopt on time-out.
  std::optional<int> waitExit(int timeoutMs);
  void signal(int signo);
  // Everything printed so far.
  const std::string& output() const { return output_; }

 private:
  bool readSome(int timeoutMs);

  pid_t pid_ = -1;
  UniqueFd out_;
  std::string output_;
  size_t consumed_ = 0;  // output_ up to here was matched already
  bool ended_ = false;   // the child closed its output: nothing more will come
  std::optional<int> status_;
};

// No report of AddressSanitizer, LeakSanitizer, ThreadSanitizer or UBSan in a child's output.
testing::AssertionResult noSanitizerReport(const std::string& output);

// SIGTERM, an exit with code 0 within timeoutMs, and no sanitizer report: how every test of a
// server ends. A failure carries everything the child printed.
testing::AssertionResult stopsCleanly(Process& child, int timeoutMs);

}  // namespace orv::test
