#include "server/inputs/sia_keys.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "common/diag.h"
#include "common/ini_file.h"

namespace orv {
namespace {

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// An account is what a transmitter may put after "#": letters and digits, 1 to 16 of them.
bool plausibleAccount(std::string_view account) {
  return !account.empty() && account.size() <= 16 &&
         std::all_of(account.begin(), account.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

SiaKeys SiaKeys::load(const std::filesystem::path& file, bool sayMissing) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    if (sayMissing) {
      diagf("SIA keys: no %s; encrypted frames are answered DUH", file.c_str());
    }
    return {};
  }
  if (!S_ISREG(st.st_mode)) {
    diagf("SIA keys: %s is not a regular file; not used, encrypted frames are answered DUH",
          file.c_str());
    return {};
  }
  if ((st.st_mode & (S_IRGRP | S_IROTH | S_IWGRP | S_IWOTH)) != 0) {
    diagf(
        "SIA keys: %s may be read or written by other users (mode %03o); not used, encrypted "
        "frames are answered DUH until it is made private (chmod 600)",
        file.c_str(), static_cast<unsigned>(st.st_mode & 0777));
    return {};
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxFileSize) {
    diagf("SIA keys: %s is larger than %zu bytes; not used", file.c_str(), kMaxFileSize);
    return {};
  }
  IniFile ini(file);
  if (!ini.existed()) {
    diagf("SIA keys: cannot read %s; encrypted frames are answered DUH", file.c_str());
    return {};
  }
  SiaKeys keys = fromText(ini.text(), file.string());
  diagf("SIA keys from %s: accounts with a key of their own: %zu%s", file.c_str(),
        keys.keys_.size(), keys.anyAccount_ ? ", and \"*\" for every other account" : "");
  return keys;
}

SiaKeys SiaKeys::fromText(std::string_view text, std::string_view where) {
  SiaKeys keys;
  const IniFile ini = IniFile::fromText(text);
  const std::string w(where);
  for (const auto& [account, value] : ini.entries("Keys")) {
    if (account != "*" && !plausibleAccount(account)) {
      diagf("SIA keys: %s: an entry whose account is not 1 to 16 letters or digits; left out",
            w.c_str());
      continue;
    }
    std::optional<SiaKey> key = SiaKey::fromHex(value);
    if (!key) {
      diagf(
          "SIA keys: %s: the key of account %s is not 32, 48 or 64 hexadecimal digits; the "
          "account has no key",
          w.c_str(), account.c_str());
      continue;
    }
    if (account == "*") {
      if (!keys.anyAccount_) keys.anyAccount_ = std::move(key);
    } else {
      keys.keys_.try_emplace(upper(account), std::move(*key));  // the first entry wins
    }
  }
  return keys;
}

const SiaKey* SiaKeys::find(std::string_view account) const {
  char buffer[17];
  if (account.size() < sizeof buffer) {
    for (size_t i = 0; i < account.size(); ++i)
      buffer[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(account[i])));
    auto it = keys_.find(std::string_view(buffer, account.size()));
    if (it != keys_.end()) return &it->second;
  }
  return anyAccount_ ? &*anyAccount_ : nullptr;
}

}  // namespace orv
