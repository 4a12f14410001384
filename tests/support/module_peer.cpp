#include "tests/support/module_peer.h"

#include <chrono>
#include <thread>

#include "common/socket_error.h"
#include "tests/support/elapsed.h"
#include "tests/support/socket_waits.h"

namespace orv::test {

testing::AssertionResult ModulePeer::connect(uint16_t port) {
  const int rc = socket.connect("127.0.0.1", port, answerMs_);
  if (rc != 0) return testing::AssertionFailure() << "connect: " << describeSocketError(rc);
  const std::string banner = answer();
  if (banner != kModuleBanner) return testing::AssertionFailure() << "banner: '" << banner << "'";
  return testing::AssertionSuccess();
}

testing::AssertionResult ModulePeer::identify(std::string_view line) {
  const std::string reply = say(line);
  if (reply.find(":99.c") == std::string::npos) {
    return testing::AssertionFailure() << line << " -> '" << reply << "'";
  }
  return testing::AssertionSuccess();
}

std::string ModulePeer::answer(int timeoutMs) {
  std::string line;
  const int rc = socket.receiveLine(line, LineEnd::CrLf, timeoutMs);
  if (rc != 0) return "<no answer: " + describeSocketError(rc) + ">";
  return line;
}

bool ModulePeer::send(std::string_view bytes) {
  return socket.send(bytes) == 0;
}

std::string ModulePeer::say(std::string_view line, int timeoutMs) {
  if (!send(std::string(line) + "\r\n")) {
    return "<send failed: " + describeSocketError(socket.lastError()) + ">";
  }
  return answer(timeoutMs);
}

std::string ModulePeer::pollForCommand(int timeoutMs) {
  const Clock::time_point start = Clock::now();
  std::string reply;
  do {
    reply = say("Q");
    if (reply != "0") return reply;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (msSince(start) < timeoutMs);
  return reply;
}

bool ModulePeer::closedWithin(int timeoutMs) {
  return test::closedWithin(socket, timeoutMs);
}

}  // namespace orv::test
