#!/usr/bin/env bash
# Builds the release and the Debian package, and prints the package's path.
#   scripts/package.sh                  release build in build-package/ (no tests, no benchmarks);
#                                       the package is copied to build/orv_<version>_<arch>.deb
#   scripts/package.sh --build-dir DIR  package an existing build tree (configured and built
#                                       first); the package stays in DIR
#   --no-build                          package DIR as it is, without building (for the tests,
#                                       which run while its programs are in use)
set -euo pipefail
cd "$(dirname "$0")/.."

buildDir=""
build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) [ $# -ge 2 ] || { echo "package.sh: --build-dir needs a directory" >&2; exit 2; }
                 buildDir="$2"; shift 2 ;;
    --no-build) build=0; shift ;;
    *) echo "usage: scripts/package.sh [--build-dir DIR [--no-build]]" >&2; exit 2 ;;
  esac
done

# dpkg-dev and file: the package's library dependencies; libsystemd-dev: the units' readiness
# and watchdog notifications.
scripts/install-deps.sh dpkg-dev file libsystemd-dev

release=0
if [ -z "$buildDir" ]; then
  release=1
  buildDir="build-package"
  cmake -S . -B "$buildDir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DORV_BUILD_TESTS=OFF -DORV_BUILD_BENCH=OFF >&2
elif [ ! -f "$buildDir/CPackConfig.cmake" ]; then
  if [ "$build" -eq 0 ]; then
    echo "package.sh: $buildDir is not a configured build tree" >&2
    exit 1
  fi
  cmake -S . -B "$buildDir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
fi
if [ "$build" -eq 1 ]; then
  cmake --build "$buildDir" >&2
fi

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$buildDir/CPackConfig.cmake")
deb="orv_${version}_$(dpkg --print-architecture).deb"

# cpack leaves a package file of an earlier version behind: only this one counts.
rm -f "$buildDir/$deb"
(cd "$buildDir" && cpack --config CPackConfig.cmake >/dev/null)
if [ ! -f "$buildDir/$deb" ]; then
  echo "package.sh: cpack did not make $buildDir/$deb" >&2
  exit 1
fi

if [ "$release" -eq 1 ]; then
  mkdir -p build
  cp "$buildDir/$deb" "build/$deb"
  echo "build/$deb"
else
  echo "$buildDir/$deb"
fi
