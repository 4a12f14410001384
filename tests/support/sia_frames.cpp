#include "tests/support/sia_frames.h"

#include <cstdio>

namespace orv::test {

uint16_t siaCrc16(std::string_view data) {
  uint16_t crc = 0;
  for (unsigned char c : data) {
    for (int bit = 0; bit < 8; ++bit) {
      const bool mix = ((crc ^ (c >> bit)) & 1) != 0;
      crc = static_cast<uint16_t>(crc >> 1);
      if (mix) crc ^= 0xA001;
    }
  }
  return crc;
}

std::string rawSiaFrame(std::string_view message) {
  const uint16_t crc = siaCrc16(message);
  char length[8];
  std::snprintf(length, sizeof length, "0%03zX", message.size());
  return std::string("\n") + static_cast<char>(crc >> 8) + static_cast<char>(crc & 0xFF) + length +
         std::string(message) + "\r";
}

}  // namespace orv::test
