#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/line_socket.h"

namespace orv::test {

// CRC-16/ARC, bit by bit, so that a fault in the receiver's table-driven CRC is not mirrored here.
uint16_t siaCrc16(std::string_view data);

// A DC-09 frame in the raw framing: LF, the CRC as two bytes, "0" + LLL, the message, CR.
std::string rawSiaFrame(std::string_view message);

// One answer frame, either framing, CR included, read by its length field (a raw CRC byte may be
// a CR); empty when none came within waitMs.
std::string readSiaAnswer(LineSocket& s, int waitMs);

}  // namespace orv::test
