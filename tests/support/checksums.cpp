#include "tests/support/checksums.h"

#include <cstdio>

namespace orv::test {
namespace {

std::string withXor(std::string_view text, std::string_view covered, bool lowerCase) {
  unsigned x = 0;
  for (char c : covered) x ^= static_cast<unsigned char>(c);
  char sum[8];
  std::snprintf(sum, sizeof sum, lowerCase ? "*%02x" : "*%02X", x & 0xFF);
  return std::string(text) + sum;
}

}  // namespace

std::string withModuleChecksum(std::string_view body) {
  return withXor(body, body.empty() ? body : body.substr(1), false);
}

std::string withTcpDrvChecksum(std::string_view text, bool lowerCase) {
  return withXor(text, text, lowerCase);
}

}  // namespace orv::test
