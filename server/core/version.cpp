#include "server/core/version.h"

#include <cstdio>

#include "orv_version.h"

namespace orv {

std::string versionText() {
  char buf[64];
  std::snprintf(buf, sizeof buf, "v%d.%d.%d.%d", ORV_VERSION_MAJOR, ORV_VERSION_MINOR,
                ORV_VERSION_PATCH, ORV_VERSION_TWEAK + 0);
  return buf;
}

}  // namespace orv
