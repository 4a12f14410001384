#include "common/crc32c.h"

#include <array>
#include <cstring>

namespace orv {
namespace {

constexpr uint32_t kPolynomial = 0x82F63B78;

constexpr std::array<uint32_t, 256> makeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = makeTable();

uint32_t portable(const unsigned char* p, size_t n, uint32_t c) {
  while (n-- > 0) c = kTable[(c ^ *p++) & 0xFF] ^ (c >> 8);
  return c;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t hardware(const unsigned char* p, size_t n, uint32_t c) {
  uint64_t c64 = c;
  while (n >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    c64 = __builtin_ia32_crc32di(c64, word);
    p += 8;
    n -= 8;
  }
  c = static_cast<uint32_t>(c64);
  while (n-- > 0) c = __builtin_ia32_crc32qi(c, *p++);
  return c;
}

const bool kHaveHardware = __builtin_cpu_supports("sse4.2");
#endif

}  // namespace

uint32_t crc32c(std::string_view data, uint32_t crc) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  uint32_t c = ~crc;
#if defined(__x86_64__)
  if (kHaveHardware) return ~hardware(p, data.size(), c);
#endif
  return ~portable(p, data.size(), c);
}

}  // namespace orv
