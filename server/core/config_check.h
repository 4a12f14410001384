#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

// The configuration check: what start-up would make of ORV_Serv.ini (and Orv_SiaKeys.ini), and
// what in them it would ignore, replace by a default, or fail on. It runs the same readers as
// start-up, so it cannot tell a different story than the server itself.

namespace orv {

struct ConfigFinding {
  enum class Level { Info, Warning, Error };
  Level level;
  std::string text;  // one line, printable: control characters are shown as \xNN
  // Start-up's own readers write this to stderr as well, so a start-up log need not repeat it.
  bool startUpSaysIt = false;
};

// "info", "warning" or "error".
const char* levelName(ConfigFinding::Level level);

struct ConfigReport {
  std::vector<ConfigFinding> findings;

  // No finding is an Error: start-up can do everything the files ask for.
  bool ok() const;
  size_t count(ConfigFinding::Level level) const;
};

// Reads ORV_Serv.ini (and Orv_SiaKeys.ini when present) in `programDir` as start-up would,
// without creating, opening or changing anything there. With `probePorts`, every TCP and UDP
// port start-up would listen on is bound once and released at once, so that a port another
// program holds, or one below 1024 without the privilege, is an Error.
//
// Hostile files cost bounded time and memory: files are read up to the server's own limit, and a
// file with more lines, sections or keys than a configuration has is reported, not read on.
ConfigReport checkConfiguration(const std::filesystem::path& programDir, bool probePorts);

}  // namespace orv
