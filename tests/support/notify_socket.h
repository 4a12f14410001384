#pragma once

#include <filesystem>
#include <string>

#include "common/unique_fd.h"

namespace orv::test {

// The receiving end of systemd's notification socket (NOTIFY_SOCKET), for a service under test.
class NotifySocket {
 public:
  explicit NotifySocket(std::filesystem::path path);
  ~NotifySocket();

  // NOTIFY_SOCKET=<path>, for the child's environment.
  std::string environment() const { return "NOTIFY_SOCKET=" + path_.string(); }
  // The next notification within waitMs; empty when none came.
  std::string receive(int waitMs);
  // Skips notifications until one that contains `text`; empty when none came within waitMs.
  std::string waitFor(const std::string& text, int waitMs);

 private:
  std::filesystem::path path_;
  UniqueFd fd_;
};

}  // namespace orv::test
