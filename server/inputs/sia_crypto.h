#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// An AES key of a DC-09 account: 16, 24 or 32 bytes (AES-128, -192, -256). The bytes are wiped
// when the key goes away.
class SiaKey {
 public:
  // From 32, 48 or 64 hexadecimal digits; std::nullopt for anything else.
  static std::optional<SiaKey> fromHex(std::string_view hex);

  SiaKey(const SiaKey& other) = default;
  SiaKey& operator=(const SiaKey& other) = default;
  ~SiaKey();

  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  SiaKey() = default;
  std::vector<uint8_t> bytes_;
};

// Why an encrypted text could not be read, for the log.
enum class SiaDecryptFault { None, OddLength, NotHex, NotWholeBlocks, Cipher };
const char* describe(SiaDecryptFault fault);

// AES-CBC with a zero initialisation vector over whole 16-byte blocks, the text given and
// returned as upper-case hexadecimal: no padding of the cipher's own, the DC-09 pad is part of
// the text. Empty content does not decrypt (NotWholeBlocks).
std::optional<std::string> siaDecrypt(std::string_view hex, const SiaKey& key,
                                      SiaDecryptFault* fault = nullptr);
// `plain` must be whole blocks.
std::string siaEncrypt(std::string_view plain, const SiaKey& key);

// The pad in front of "|" that makes `length` bytes of text a whole number of blocks: 1 to 16
// random printable characters, never "|", "[" or "]".
std::string siaPadFor(size_t length);

// "_HH:MM:SS,MM-DD-YYYY" in UTC.
std::string siaTimeStamp(time_t utc);
// The UTC time of such a stamp (20 characters, a real date and time), or std::nullopt.
std::optional<time_t> parseSiaTimeStamp(std::string_view stamp);
inline constexpr size_t kSiaTimeStampLength = 20;

}  // namespace orv
