#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "server/inputs/sia_crypto.h"

namespace orv {

inline constexpr const char* kSiaKeysIniName = "Orv_SiaKeys.ini";

// The AES keys of the DC-09 accounts, from a file of their own ("[Keys] <account>=<hex key>",
// "*" for every account without an entry of its own). Only a file that neither group nor others
// may read is used. No diagnostic ever carries a key: they name the file and the account.
class SiaKeys {
 public:
  SiaKeys() = default;

  // Reads `file`; a missing file gives no keys (and one line saying so when `sayMissing`).
  static SiaKeys load(const std::filesystem::path& file, bool sayMissing = true);
  // The same from text, for tests and tools.
  static SiaKeys fromText(std::string_view text, std::string_view where);

  // The account's key, else the "*" key, else null.
  const SiaKey* find(std::string_view account) const;
  size_t size() const { return keys_.size() + (anyAccount_ ? 1 : 0); }

  static constexpr size_t kMaxFileSize = 1 << 20;

 private:
  std::map<std::string, SiaKey, std::less<>> keys_;  // accounts in upper case
  std::optional<SiaKey> anyAccount_;
};

}  // namespace orv
