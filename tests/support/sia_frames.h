#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "common/line_socket.h"

namespace orv::test {

// CRC-16/ARC, bit by bit, so that a fault in the receiver's table-driven CRC is not mirrored here.
uint16_t siaCrc16(std::string_view data);

// A DC-09 frame in the raw framing: LF, the CRC as two bytes, "0" + LLL, the message, CR.
std::string rawSiaFrame(std::string_view message);

// The same in the standard framing: LF, the CRC as four hex digits, "0" + LLL, the message, CR.
std::string standardSiaFrame(std::string_view message);

// AES-CBC with a zero IV over whole blocks, written here with OpenSSL on its own so that a fault
// in the receiver's cipher use is not mirrored: plain text in, upper-case hex out, and back
// (empty when the hex does not decrypt).
std::string aesEncryptHex(std::string_view plain, std::string_view keyHex);
std::string aesDecryptHex(std::string_view hex, std::string_view keyHex);

// "_HH:MM:SS,MM-DD-YYYY" (UTC) of `utc`.
std::string siaStamp(time_t utc);

// An encrypted message as a transmitter builds it: '"*' id '"' header '[' and the hex of
// pad + "|" + data + "]" + stamp, the pad ("p"s) making whole blocks. An empty stamp leaves it out.
std::string encryptedSiaMessage(std::string_view id, std::string_view header, std::string_view data,
                                std::string_view keyHex, std::string_view stamp);

// The plain text of an encrypted answer frame ('"*ACK"' header '[' hex, CR), or "" when it is
// not one or does not decrypt.
std::string openSiaAnswer(std::string_view answer, std::string_view keyHex);

// One answer frame, either framing, CR included, read by its length field (a raw CRC byte may be
// a CR); empty when none came within waitMs.
std::string readSiaAnswer(LineSocket& s, int waitMs);

}  // namespace orv::test
