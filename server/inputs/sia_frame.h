#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orv {

// SIA DC-09 frames. Two framings arrive on the same port: this system's own transmitters send
// LF, the CRC as two raw bytes, "0" and a three-digit hex length (the message's quotation mark at
// position 8); the standard framing is LF, the CRC as four hex characters, "0" and the length as
// three hex characters (quotation mark at position 10). Both end in CR; each is answered in the
// framing it came in.
enum class SiaFraming { Raw, Standard };

// CRC-16/ARC: polynomial 0x8005 reflected (0xA001), initial value 0, no final XOR.
uint16_t crc16Arc(std::string_view data);

struct SiaFrame {
  SiaFraming framing = SiaFraming::Raw;
  std::string message;  // from the quotation mark, as many bytes as the length field says
  bool crcOk = false;
};

// Reads a received frame (its CR removed). Bytes before the first LF are skipped. std::nullopt
// when it is too short or has no quotation mark where either framing puts one; a length that
// points past the frame fails the CRC check.
std::optional<SiaFrame> readSiaFrame(std::string_view received);

struct SiaMessage {
  std::string id;      // between the quotation marks
  std::string header;  // sequence, receiver, line prefix, account: up to the first "["
  std::string data;    // the data block, "#" in front, at most 255 characters
};

// Parses a message; std::nullopt when it lacks the grammar ('"' id '"' header "[" data "]").
std::optional<SiaMessage> parseSiaMessage(std::string_view message);

// The answer frame: '"' + word + '"' + header + "[]" in the given framing. word is "ACK" for
// messages we took, "DUH" for messages we cannot take (so the transmitter does not believe an
// alarm was delivered).
std::string siaAnswer(std::string_view word, std::string_view header, SiaFraming framing);

// The message frame as a transmitter sends it (for the tools and tests).
std::string siaFrame(std::string_view message, SiaFraming framing);

// The output line of a message (its fourth character still "F"), or std::nullopt for an ID we
// do not convert. ADM-CID, ADM-42E, SIA-DCS and NULL are known.
std::optional<std::string> convertSiaMessage(const SiaMessage& message);

inline constexpr size_t kMaxSiaData = 255;

// Reads a frame that a SiaFrameJoiner joined across CRs. A CR joined in as a CRC byte may really
// have ended a stray fragment ("\n\r") in front of a frame, so when the whole does not read with
// a right CRC, the frame behind each joined CR gets its chance.
std::optional<SiaFrame> readJoinedSiaFrame(std::string_view joined);

// Joins the pieces a receiver cuts at every CR into frames. A piece may be only the start of a
// frame whose raw CRC bytes held a CR; the next piece is then joined to it across that CR.
class SiaFrameJoiner {
 public:
  // How long the next piece of a frame that was cut at a CRC byte may take.
  static constexpr uint32_t kPieceWaitMs = 1000;

  enum class Result {
    Waiting,  // the piece may be the start of a frame: the next piece follows it
    Frame,    // frame() holds a whole frame
    TooLong   // the frame went past the limit; it is dropped
  };

  explicit SiaFrameJoiner(size_t maxFrame) : maxFrame_(maxFrame) {}

  // Takes the bytes up to the next CR (without it), received at `now` (ticks).
  Result take(std::string_view piece, uint32_t now);
  // Drops a started frame whose next piece has not come within kPieceWaitMs.
  void tick(uint32_t now);

  const std::string& frame() const { return frame_; }
  bool joining() const { return joining_; }

 private:
  size_t maxFrame_;
  std::string frame_;
  bool joining_ = false;  // frame_ waits for its next piece
  uint32_t pieceAt_ = 0;
};

}  // namespace orv
