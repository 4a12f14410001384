#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "common/line_socket.h"

namespace orv::test {

// What a GPRS line sends every module first.
inline constexpr const char* kModuleBanner = "GsmNor v1.2.";
// How long a module waits for an answer unless told otherwise: an event is answered once it is
// stored, and a busy disk may delay that by seconds.
inline constexpr int kModuleAnswerMs = 10000;

// An alarm module on a GPRS line (or any line that speaks its protocol): a CR LF line out, its
// answer back. The socket is open for what the protocol calls do not cover.
class ModulePeer {
 public:
  ModulePeer() = default;
  // `answerMs` bounds the connect, the banner and every answer not given its own wait.
  explicit ModulePeer(int answerMs) : answerMs_(answerMs) {}

  // Connects to 127.0.0.1:port and reads the banner.
  testing::AssertionResult connect(uint16_t port);
  // Sends the identification line (say "aABC123,1F2A") and expects the time in the answer.
  testing::AssertionResult identify(std::string_view line);

  // The next answer line, or "<no answer: ...>" when none came.
  std::string answer() { return answer(answerMs_); }
  std::string answer(int timeoutMs);
  // Sends the bytes as they are.
  bool send(std::string_view bytes);
  // Sends the line with CR LF and returns its answer, or "<send failed: ...>".
  std::string say(std::string_view line) { return say(line, answerMs_); }
  std::string say(std::string_view line, int timeoutMs);
  // Polls ("Q") until an answer other than "0" comes or timeoutMs have passed; that answer, or
  // the last "0". What a client sends reaches the module's queue a moment after it was sent.
  std::string pollForCommand(int timeoutMs);
  // Waits for the server to close the connection; false while it is still open after the wait.
  bool closedWithin(int timeoutMs);

  LineSocket socket;

 private:
  int answerMs_ = kModuleAnswerMs;
};

}  // namespace orv::test
