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

}  // namespace orv
