#include "tests/support/sia_frames.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>

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

std::string standardSiaFrame(std::string_view message) {
  char head[16];
  std::snprintf(head, sizeof head, "\n%04X0%03zX", siaCrc16(message), message.size());
  return head + std::string(message) + "\r";
}

namespace {

std::string fromHex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

std::string aes(bool encrypt, std::string_view in, std::string_view keyHex) {
  const std::string key = fromHex(keyHex);
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_cbc()
                             : key.size() == 24 ? EVP_aes_192_cbc()
                                                : EVP_aes_256_cbc();
  const unsigned char iv[16] = {};
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  std::string out(in.size() + 32, '\0');
  int n = 0, last = 0;
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr,
                        reinterpret_cast<const unsigned char*>(key.data()), iv, encrypt) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      EVP_CipherUpdate(ctx.get(), o, &n, reinterpret_cast<const unsigned char*>(in.data()),
                       static_cast<int>(in.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), o + n, &last) != 1) {
    return "";
  }
  out.resize(static_cast<size_t>(n + last));
  return out;
}

}  // namespace

std::string aesEncryptHex(std::string_view plain, std::string_view keyHex) {
  std::string hex;
  char digits[3];
  for (unsigned char c : aes(true, plain, keyHex)) {
    std::snprintf(digits, sizeof digits, "%02X", c);
    hex += digits;
  }
  return hex;
}

std::string aesDecryptHex(std::string_view hex, std::string_view keyHex) {
  return aes(false, fromHex(hex), keyHex);
}

std::string siaStamp(time_t utc) {
  tm t{};
  gmtime_r(&utc, &t);
  char text[40];
  std::snprintf(text, sizeof text, "_%02d:%02d:%02d,%02d-%02d-%04d", t.tm_hour, t.tm_min, t.tm_sec,
                t.tm_mon + 1, t.tm_mday, t.tm_year + 1900);
  return text;
}

std::string encryptedSiaMessage(std::string_view id, std::string_view header, std::string_view data,
                                std::string_view keyHex, std::string_view stamp) {
  const std::string body = "|" + std::string(data) + "]" + std::string(stamp);
  const std::string plain = std::string(16 - body.size() % 16, 'p') + body;
  return "\"*" + std::string(id) + "\"" + std::string(header) + "[" + aesEncryptHex(plain, keyHex);
}

std::string openSiaAnswer(std::string_view answer, std::string_view keyHex) {
  const size_t open = answer.find("\"*ACK\"");
  const size_t bracket = answer.find('[', open);  // after it: a raw CRC byte may be a "["
  if (open == std::string_view::npos || bracket == std::string_view::npos || answer.empty() ||
      answer.back() != '\r') {
    return "";
  }
  return aesDecryptHex(answer.substr(bracket + 1, answer.size() - bracket - 2), keyHex);
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
