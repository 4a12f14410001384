#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "common/line_socket.h"

namespace orv::test {

// What the output server sends a client first, and its answers to a channel name.
inline constexpr const char* kOutputBanner = "IP-Server V0.0";
inline constexpr const char* kChannelFound = "1011      0000 R  51";
inline constexpr const char* kChannelMissing = "1011      0000 T  51";
// How long a client waits for a line unless told otherwise.
inline constexpr int kOutputAnswerMs = 10000;

// A client of the output server as monitoring software is one (or the far end of a forwarder):
// CR LF lines in, replies out. The socket is open for what these calls do not cover.
class OutputPeer {
 public:
  OutputPeer() = default;
  // `answerMs` bounds the connect and every line not given its own wait.
  explicit OutputPeer(int answerMs) : answerMs_(answerMs) {}

  // Connects to 127.0.0.1:port, reads the banner, names the channel, expects it found and sends
  // `firstReply` to the channel's answer.
  testing::AssertionResult attach(uint16_t port, std::string_view channel,
                                  std::string_view firstReply = "0");

  // The next line, or "<no line: ...>" when none came.
  std::string next() { return next(answerMs_); }
  std::string next(int timeoutMs);
  // Sends the text with CR LF.
  bool reply(std::string_view text);
  // No line within ms, and the connection still open.
  testing::AssertionResult quietFor(int ms);
  // Waits for the other side to close; lines meanwhile go to `seen`.
  bool closedWithin(int ms, std::vector<std::string>* seen = nullptr);
  // Takes lines off the channel as a client does, each with the reply "0", until `got` holds
  // `count` of them; 0, or the socket error that ended it.
  int drain(size_t count, std::vector<std::string>& got);

  LineSocket socket;

 private:
  int answerMs_ = kOutputAnswerMs;
};

}  // namespace orv::test
