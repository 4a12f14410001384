#include "server/inputs/sia_crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <memory>
#include <random>

namespace orv {
namespace {

constexpr size_t kBlock = 16;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The ciphers are fetched from the provider once: an implicit fetch at every initialisation
// costs more than the cipher itself on a short frame.
const EVP_CIPHER* cipherFor(const SiaKey& key) {
  static EVP_CIPHER* const kCiphers[3] = {EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr),
                                          EVP_CIPHER_fetch(nullptr, "AES-192-CBC", nullptr),
                                          EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr)};
  switch (key.bytes().size()) {
    case 16:
      return kCiphers[0];
    case 24:
      return kCiphers[1];
    case 32:
      return kCiphers[2];
  }
  return nullptr;
}

// One context per thread, initialised afresh for every text.
EVP_CIPHER_CTX* threadContext() {
  thread_local std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(
      EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  return ctx.get();
}

// One pass of the cipher over whole blocks; false when OpenSSL fails.
bool run(bool encrypt, const SiaKey& key, const uint8_t* in, size_t length, uint8_t* out) {
  static const uint8_t kZeroIv[kBlock] = {};
  EVP_CIPHER_CTX* ctx = threadContext();
  const EVP_CIPHER* cipher = cipherFor(key);
  if (!ctx || !cipher ||
      EVP_CipherInit_ex2(ctx, cipher, key.bytes().data(), kZeroIv, encrypt ? 1 : 0, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
    return false;
  }
  int written = 0, last = 0;
  return EVP_CipherUpdate(ctx, out, &written, in, static_cast<int>(length)) == 1 &&
         EVP_CipherFinal_ex(ctx, out + written, &last) == 1 &&
         static_cast<size_t>(written + last) == length;
}

}  // namespace

std::optional<SiaKey> SiaKey::fromHex(std::string_view hex) {
  if (hex.size() != 32 && hex.size() != 48 && hex.size() != 64) return std::nullopt;
  SiaKey key;
  key.bytes_.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = hexDigit(hex[i]), low = hexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;  // the partial key is wiped on the way out
    key.bytes_.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return key;
}

SiaKey::~SiaKey() {
  if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

const char* describe(SiaDecryptFault fault) {
  switch (fault) {
    case SiaDecryptFault::None:
      return "decrypted";
    case SiaDecryptFault::OddLength:
      return "an odd number of hexadecimal digits";
    case SiaDecryptFault::NotHex:
      return "not hexadecimal";
    case SiaDecryptFault::NotWholeBlocks:
      return "not a whole number of 16-byte blocks";
    case SiaDecryptFault::Cipher:
      return "refused by the cipher";
  }
  return "?";
}

std::optional<std::string> siaDecrypt(std::string_view hex, const SiaKey& key,
                                      SiaDecryptFault* fault) {
  auto fail = [&](SiaDecryptFault f) -> std::optional<std::string> {
    if (fault) *fault = f;
    return std::nullopt;
  };
  if (hex.size() % 2 != 0) return fail(SiaDecryptFault::OddLength);
  std::string bytes(hex.size() / 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int high = hexDigit(hex[2 * i]), low = hexDigit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return fail(SiaDecryptFault::NotHex);
    bytes[i] = static_cast<char>(high << 4 | low);
  }
  if (bytes.empty() || bytes.size() % kBlock != 0) return fail(SiaDecryptFault::NotWholeBlocks);
  std::string plain(bytes.size(), '\0');
  if (!run(false, key, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
           reinterpret_cast<uint8_t*>(plain.data()))) {
    return fail(SiaDecryptFault::Cipher);
  }
  if (fault) *fault = SiaDecryptFault::None;
  return plain;
}

std::string siaEncrypt(std::string_view plain, const SiaKey& key) {
  std::string sealed(plain.size(), '\0');
  if (plain.size() % kBlock != 0 || !run(true, key, reinterpret_cast<const uint8_t*>(plain.data()),
                                         plain.size(), reinterpret_cast<uint8_t*>(sealed.data()))) {
    return {};
  }
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(sealed.size() * 2);
  for (unsigned char c : sealed) {
    hex.push_back(kDigits[c >> 4]);
    hex.push_back(kDigits[c & 0xF]);
  }
  return hex;
}

std::string siaPadFor(size_t length) {
  // Printable characters without "|", "[" and "]", so no reader can take the pad for a field.
  static const char kPadCharacters[] =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz!#$%&()*+,-./:;<=>?@^_{}~";
  const size_t count = kBlock - length % kBlock;  // 1 to 16
  // The pad only has to differ from frame to frame: a generator seeded once per thread from
  // OpenSSL's does that without a call into it for every answer.
  thread_local std::mt19937_64 random = [] {
    uint64_t seed = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&seed), sizeof seed) != 1) {
      seed = std::random_device{}();
    }
    return std::mt19937_64(seed);
  }();
  std::string pad(count, ' ');
  for (char& c : pad) c = kPadCharacters[random() % (sizeof kPadCharacters - 1)];
  return pad;
}

std::string siaTimeStamp(time_t utc) {
  tm parts{};
  gmtime_r(&utc, &parts);
  char text[40];
  std::snprintf(text, sizeof text, "_%02d:%02d:%02d,%02d-%02d-%04d", parts.tm_hour, parts.tm_min,
                parts.tm_sec, parts.tm_mon + 1, parts.tm_mday, parts.tm_year + 1900);
  return text;
}

std::optional<time_t> parseSiaTimeStamp(std::string_view s) {
  // _HH:MM:SS,MM-DD-YYYY
  static constexpr std::string_view kShape = "_99:99:99,99-99-9999";
  if (s.size() != kShape.size()) return std::nullopt;
  for (size_t i = 0; i < s.size(); ++i) {
    const bool digit = s[i] >= '0' && s[i] <= '9';
    if (kShape[i] == '9' ? !digit : s[i] != kShape[i]) return std::nullopt;
  }
  auto number = [&](size_t at, size_t digits) {
    int v = 0;
    for (size_t i = 0; i < digits; ++i) v = v * 10 + (s[at + i] - '0');
    return v;
  };
  tm parts{};
  parts.tm_hour = number(1, 2);
  parts.tm_min = number(4, 2);
  parts.tm_sec = number(7, 2);
  parts.tm_mon = number(10, 2) - 1;
  parts.tm_mday = number(13, 2);
  parts.tm_year = number(16, 4) - 1900;
  if (parts.tm_hour > 23 || parts.tm_min > 59 || parts.tm_sec > 59 || parts.tm_mon < 0 ||
      parts.tm_mon > 11 || parts.tm_mday < 1 || parts.tm_mday > 31) {
    return std::nullopt;
  }
  const tm asked = parts;
  const time_t t = timegm(&parts);
  // timegm moves 31 February on to March: such a date is not a date.
  if (parts.tm_mday != asked.tm_mday || parts.tm_mon != asked.tm_mon) return std::nullopt;
  return t;
}

}  // namespace orv
