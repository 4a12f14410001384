#!/usr/bin/env bash
# Builds everything and runs every test. Exits non-zero on any failure.
#   scripts/test.sh              RelWithDebInfo build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

preset=default
case "${1:-}" in
  "") ;;
  --sanitize) preset=asan ;;
  *) echo "usage: scripts/test.sh [--sanitize]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" --timeout 300 --output-on-failure
