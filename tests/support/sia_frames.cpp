#include "tests/support/sia_frames.h"

#include <cstdio>

#include "common/ticks.h"

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

std::string readSiaAnswer(LineSocket& s, int waitMs) {
  std::string f;
  const uint32_t start = ticks();
  auto more = [&] {
    char b = 0;
    const int left = waitMs - static_cast<int>(ticksSince(start));
    if (left < 0 || s.receiveByte(b, left) != 0) return false;
    f.push_back(b);
    return true;
  };
  do {
    f.clear();
    if (!more()) return "";
  } while (f[0] != '\n');
  while (f.size() < 10) {
    if (!more()) return "";
  }
  const bool raw = f[7] == '"';
  const size_t length = std::stoul(f.substr(raw ? 4 : 6, 3), nullptr, 16);
  const size_t total = (raw ? 7 : 9) + length + 1;
  while (f.size() < total) {
    if (!more()) return "";
  }
  return f;
}

}  // namespace orv::test
