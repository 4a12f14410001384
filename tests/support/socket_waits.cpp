#include "tests/support/socket_waits.h"

#include "common/socket_error.h"
#include "tests/support/elapsed.h"

namespace orv::test {

bool closedWithin(LineSocket& socket, int timeoutMs, std::vector<std::string>* seen) {
  const Clock::time_point start = Clock::now();
  std::string line;
  for (;;) {
    const int left = timeoutMs - static_cast<int>(msSince(start));
    if (left <= 0) return false;
    const int rc = socket.receiveLine(line, LineEnd::CrLf, left);
    if (rc == 0 && seen) seen->push_back(line);
    if (rc != 0 && rc != kWsaTimedOut) return true;
  }
}

testing::AssertionResult quietFor(LineSocket& socket, int ms) {
  std::string line;
  const int rc = socket.receiveLine(line, LineEnd::CrLf, ms);
  if (rc == kWsaTimedOut) return testing::AssertionSuccess();
  if (rc == 0) return testing::AssertionFailure() << "got '" << line << "'";
  return testing::AssertionFailure() << describeSocketError(rc);
}

}  // namespace orv::test
