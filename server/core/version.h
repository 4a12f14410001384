#pragma once

#include <string>

namespace orv {

// The program's file version, "v%d.%d.%d.%d" (major, minor, release, build).
std::string versionText();

}  // namespace orv
