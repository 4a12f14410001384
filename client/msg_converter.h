#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "client/Pelkon.h"

namespace orv {

// What a channel reads from the [Opt] and [Options] sections of Pelkon.ini.
struct ConverterOptions {
  bool pcTime = false;  // every record without time: the host uses its own clock
  std::string lineMap = "0123456789abcdef";  // 16 characters, one per line digit
  bool uEnable = false;                      // deliver identity lines
};

// Sets the 16-character map from a LineMap value: longer values are cut, shorter ones replace
// only the first characters of the default.
std::string makeLineMap(std::string_view value);

// Turns the output lines of one channel into message records, with the state that runs from one
// line to the next: the "ri" area of class "3" lines and the SIA events that one "S" line
// carries beyond its first. Used by one thread at a time.
class tMsgConverter {
 public:
  static constexpr size_t kMaxLineUsed = 255;

  explicit tMsgConverter(ConverterOptions options = {}) : options_(std::move(options)) {
    // Every line digit must find its character, whatever the caller passed.
    options_.lineMap = makeLineMap(options_.lineMap);
  }

  // Fills msg from the next pending SIA event or else from the oldest line of `lines`, which it
  // removes. Returns 0 when no event was delivered (msg then keeps what it had, apart from the
  // area an "ri" line of class "3" sets), else the number of lines still waiting, at least 1
  // (1 for the first event of an SIA line).
  int32_t getMsg(std::deque<std::string>& lines, OrvMessage& msg);

  size_t pendingEvents() const { return pending_.size(); }

 private:
  struct PendingEvent {
    std::string area;  // 2 characters
    std::string code;  // 7 characters
  };

  int32_t convertStatus(std::string_view s, OrvMessage& msg);
  int32_t convertEvent(std::string_view s, OrvMessage& msg);
  int32_t convertThree(std::string_view s, OrvMessage& msg);
  int32_t convertIdentity(std::string_view s, OrvMessage& msg);
  int32_t convertSia(std::string_view s, OrvMessage& msg);

  // Receiver, account and line of a line whose account is the text `account`.
  void fillHead(std::string_view s, std::string_view account, OrvMessage& msg) const;
  void fillTime(std::string_view s, OrvMessage& msg) const;

  ConverterOptions options_;
  size_t waiting_ = 0;  // lines left in the buffer, for the result

  // SIA parsing state; the "ri" modifier is also the remembered state of class "3".
  char blockCode_ = ' ';
  std::string modifier_;
  std::string riArea_;  // the area of the last class "3" "ri" line
  std::deque<PendingEvent> pending_;
  uint32_t pendingReceiver_ = 0;
  uint16_t pendingLine_ = 0;
  uint32_t pendingAccount_ = 0;

  std::string extra_;  // what msg.extra points to
};

}  // namespace orv
