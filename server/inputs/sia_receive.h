#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "server/inputs/sia_frame.h"
#include "server/inputs/sia_keys.h"

namespace orv {

// How far a frame's time stamp may lie from the receiver's UTC clock. Encrypted frames must carry
// one; an unencrypted frame's stamp is checked only when checkPlain is set.
struct SiaTimeWindow {
  int32_t behindS = 40;
  int32_t aheadS = 20;
  bool checkPlain = false;
};

// What the receiver makes of one frame with a right CRC.
struct SiaVerdict {
  std::string answer;               // the answer frame; empty: no answer
  std::optional<std::string> line;  // the event line to queue, line digit set
  std::string header;               // sequence, receiver, line prefix, account
  std::string note;                 // why the frame was refused, for the log; never a key
};

// The receiving rules of one SIA input, shared by its TCP connections and its datagrams: opens
// encrypted messages, checks time stamps, converts, and builds the answer in the framing the
// frame came in. Immutable once built, so any thread may use it.
class SiaReceiver {
 public:
  SiaReceiver(uint8_t line, SiaKeys keys, SiaTimeWindow window)
      : line_(line), keys_(std::move(keys)), window_(window) {}

  // `now` is the receiver's UTC clock.
  SiaVerdict judge(const SiaFrame& frame, time_t now) const;

  const SiaKeys& keys() const { return keys_; }

 private:
  // The message an encrypted one stands for ('"' id '"' header '[' plain text after the pad),
  // or std::nullopt with the reason in verdict.note.
  std::optional<std::string> open(std::string_view message, const SiaKey*& key,
                                  SiaVerdict& verdict) const;
  // The NAK that refuses a time stamp outside the window; empty when the stamp is fine.
  std::string checkTime(std::string_view message, bool encrypted, SiaFraming framing, time_t now,
                        SiaVerdict& verdict) const;

  uint8_t line_;
  SiaKeys keys_;
  SiaTimeWindow window_;
};

// The NAK a receiver sends for a frame it will not take at this time: no header of the frame, the
// receiver's time stamp so that the transmitter can correct its clock.
std::string siaNak(time_t now, SiaFraming framing);

}  // namespace orv
