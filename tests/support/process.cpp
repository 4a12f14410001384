#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "common/ticks.h"

namespace orv::test {

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // The test runner may have signals blocked; the child starts with a clean mask.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::dup2(pipeFds[1], STDERR_FILENO);
    for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  out_.reset(pipeFds[0]);
}

Process::~Process() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int st;
    ::waitpid(pid_, &st, 0);
  }
}

bool Process::readSome(int timeoutMs) {
  if (ended_) {
    // Nothing more can come: wait out the time without spinning on the closed pipe.
    if (timeoutMs > 0) ::poll(nullptr, 0, std::min(timeoutMs, 20));
    return false;
  }
  pollfd p{out_.get(), POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return false;
  char buf[4096];
  ssize_t n = ::read(out_.get(), buf, sizeof buf);
  if (n == 0) ended_ = true;
  if (n <= 0) return false;
  output_.append(buf, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> Process::waitForLine(std::string_view text, int timeoutMs) {
  uint32_t start = ticks();
  for (;;) {
    size_t pos = output_.find(text, consumed_);
    if (pos != std::string::npos) {
      size_t begin = output_.rfind('\n', pos);
      begin = begin == std::string::npos ? 0 : begin + 1;
      size_t end = output_.find('\n', pos);
      if (end != std::string::npos) {
        consumed_ = end + 1;
        return output_.substr(begin, end - begin);
      }
    }
    int left = timeoutMs - static_cast<int>(ticksSince(start));
    if (left <= 0 || ended_) return std::nullopt;
    if (!readSome(left) && ticksSince(start) >= static_cast<uint32_t>(timeoutMs)) {
      return std::nullopt;
    }
  }
}

bool Process::waitForOutput(std::string_view text, int timeoutMs) {
  const uint32_t start = ticks();
  while (output_.find(text) == std::string::npos) {
    const int left = timeoutMs - static_cast<int>(ticksSince(start));
    if (left <= 0 || ended_) return false;
    readSome(left);
  }
  return true;
}

std::optional<int> Process::waitExit(int timeoutMs) {
  uint32_t start = ticks();
  while (!status_) {
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      break;
    }
    if (ticksSince(start) >= static_cast<uint32_t>(timeoutMs)) return std::nullopt;
    readSome(20);  // keep the pipe drained while waiting
  }
  while (readSome(0)) {
  }
  return status_;
}

void Process::signal(int signo) {
  if (pid_ > 0 && !status_) ::kill(pid_, signo);
}

testing::AssertionResult noSanitizerReport(const std::string& output) {
  for (const char* report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                             "WARNING: ThreadSanitizer", "runtime error:"}) {
    if (output.find(report) != std::string::npos) {
      return testing::AssertionFailure() << "'" << report << "' in:\n" << output;
    }
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult stopsCleanly(Process& child, int timeoutMs) {
  child.signal(SIGTERM);
  const std::optional<int> code = child.waitExit(timeoutMs);
  if (!code) {
    return testing::AssertionFailure() << "still running after SIGTERM:\n" << child.output();
  }
  if (*code != 0) {
    return testing::AssertionFailure() << "exit code " << *code << " after SIGTERM:\n"
                                       << child.output();
  }
  return noSanitizerReport(child.output());
}

}  // namespace orv::test
