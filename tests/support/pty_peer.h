#pragma once

#include <string>
#include <string_view>

#include "common/unique_fd.h"

namespace orv::test {

// The device's end of a pseudo-terminal whose other end a program under test opens as its serial
// port (mapped in [Ports]). The slave stays open here as well, so that the master never reads as
// hung up while the program has not opened the port yet, or reopens it. Every wait is bounded.
class PtyPeer {
 public:
  PtyPeer();

  bool ok() const { return master_.valid(); }
  const std::string& path() const { return path_; }
  int slave() const { return slave_.get(); }

  // Writes all of the bytes; false when they did not go.
  bool send(std::string_view bytes);
  // The bytes from the program up to and including `want`, or all that came within the time.
  std::string readUntil(std::string_view want, int timeoutMs);
  // The next frame without its terminator, or "(none: <what came>)" when none came.
  std::string frame(char terminator, int timeoutMs);
  // Nothing arrives for `ms`.
  bool quiet(int ms);
  // The device goes away: both ends of the pair are closed.
  void unplug();

 private:
  // Waits up to ms for bytes and keeps what came; false when nothing came.
  bool fill(int ms);

  UniqueFd master_;
  UniqueFd slave_;
  std::string path_;
  std::string buffer_;
};

}  // namespace orv::test
