#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing.
# Usage: scripts/install-deps.sh [package ...]   (extra packages are added to the base set)
set -euo pipefail

# clang and its runtimes (libFuzzer, the sanitizers) build the fuzz targets (scripts/fuzz.sh).
packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libcli11-dev srecord
          qt6-base-dev qt6-qpa-plugins fonts-dejavu-core
          clang libclang-rt-14-dev libssl-dev libsystemd-dev prometheus-cpp-dev python3 curl
          lintian dpkg-dev file systemd "$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}; run as root or install them" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
