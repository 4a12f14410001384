#include "tests/support/output_peer.h"

#include "common/socket_error.h"
#include "tests/support/socket_waits.h"

namespace orv::test {

testing::AssertionResult OutputPeer::attach(uint16_t port, std::string_view channel,
                                            std::string_view firstReply) {
  const int rc = socket.connect("127.0.0.1", port, answerMs_);
  if (rc != 0) return testing::AssertionFailure() << "connect: " << describeSocketError(rc);
  const std::string banner = next();
  if (banner != kOutputBanner) {
    return testing::AssertionFailure() << "banner: '" << banner << "'";
  }
  if (!reply(channel)) {
    return testing::AssertionFailure()
           << "naming the channel: " << describeSocketError(socket.lastError());
  }
  const std::string answer = next();
  if (answer != kChannelFound) {
    return testing::AssertionFailure() << "channel '" << channel << "': '" << answer << "'";
  }
  if (!reply(firstReply)) {
    return testing::AssertionFailure()
           << "reply to the channel's answer: " << describeSocketError(socket.lastError());
  }
  return testing::AssertionSuccess();
}

std::string OutputPeer::next(int timeoutMs) {
  std::string line;
  const int rc = socket.receiveLine(line, LineEnd::CrLf, timeoutMs);
  if (rc != 0) return "<no line: " + describeSocketError(rc) + ">";
  return line;
}

bool OutputPeer::reply(std::string_view text) {
  return socket.send(std::string(text) + "\r\n") == 0;
}

testing::AssertionResult OutputPeer::quietFor(int ms) {
  return test::quietFor(socket, ms);
}

bool OutputPeer::closedWithin(int ms, std::vector<std::string>* seen) {
  return test::closedWithin(socket, ms, seen);
}

int OutputPeer::drain(size_t count, std::vector<std::string>& got) {
  got.reserve(count);
  std::string line;
  while (got.size() < count) {
    int rc = socket.receiveLine(line, LineEnd::CrLf, answerMs_);
    if (rc == 0) {
      got.push_back(line);
      rc = socket.send("0\r\n");
    }
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace orv::test
