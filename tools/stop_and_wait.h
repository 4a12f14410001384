#pragma once

// The sending side of the input tools: N connections, each sending a message and waiting for its
// answer before the next (stop-and-wait), all driven from one epoll thread so that the tool's
// own thread switches do not show up in the latency it measures. A connection is a TCP stream or
// a UDP socket connected to the receiver, where every message is one datagram and every datagram
// that comes back is one answer.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::tool {

// What follows a message.
enum class Reply {
  Answer,   // an answer, within the time-out
  Silence,  // nothing at all, for the whole time-out
  None,     // nothing to wait for: the next message goes at once
};

// The protocol of one tool.
struct Exchange {
  // The bytes of message `index`, asked for again for each of its repeats.
  std::function<std::string(long index)> message;
  std::function<Reply(long index)> reply;
  // The length of the complete answer at the front of `received`: 0 while it is incomplete,
  // std::string_view::npos when the bytes cannot be an answer.
  std::function<size_t(std::string_view received)> answerLength;
  // Checks the answer to message `index` (called on the driving thread only).
  std::function<void(long index, std::string_view answer)> judge;
  // Describes a failure (no answer to message `index`, a refused connect, ...).
  std::function<void(const std::string& what)> problem;
};

struct DriveOptions {
  std::string host = "127.0.0.1";
  int port = 0;
  int connections = 1;  // connection k sends messages k, k + connections, ...
  long messages = 0;
  double rate = 0;          // messages per second in total, message i due at i / rate; 0 = flat out
  bool perMessage = false;  // a new connection for every message
  int timeoutMs = 3000;     // for an answer, and for the silence after a message
  int connectTimeoutMs = 5000;
  bool udp = false;
  int repeat = 1;   // every message is sent this many times in a row, each waiting for its answer
  int resends = 0;  // UDP: sends of the same bytes again after a time-out before giving up
};

struct DriveResult {
  long sent = 0;    // messages sent, repeats included, resends not
  long resent = 0;  // UDP sends of the same bytes after a time-out
  long answered = 0;
  long none = 0;            // no answer where one was due
  long silent = 0;          // Reply::Silence kept
  long answeredSilent = 0;  // Reply::Silence broken by an answer
  long malformed = 0;       // bytes that cannot be an answer
  long connectErrors = 0;
  long sendErrors = 0;
  double seconds = 0;
  // From the message's (first) send to its whole answer, sorted.
  std::vector<double> latencyUs;

  long errors() const { return none + answeredSilent + malformed + connectErrors + sendErrors; }
  // The latency below which the fraction p of the answers came (0 without answers).
  double percentile(double p) const;
};

DriveResult drive(DriveOptions options, const Exchange& exchange);

}  // namespace orv::tool
