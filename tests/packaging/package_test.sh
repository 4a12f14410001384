#!/usr/bin/env bash
# The Debian package: control fields, contents, the library's link and pkg-config files, lintian,
# the service units, and, where root may mount, a real install, reinstall, remove and purge in a
# throwaway copy of this system.
#   package_test.sh --build-dir DIR   package DIR's build tree as it is (CTest's way)
#   package_test.sh --deb FILE        check a package made before
#   package_test.sh                   make the release package with scripts/package.sh first
set -uo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
deb=""
case "${1:-}" in
  --build-dir) deb=$("$src/scripts/package.sh" --build-dir "$2" --no-build) || exit 1 ;;
  --deb) deb="$2" ;;
  "") deb=$("$src/scripts/package.sh") || exit 1; deb="$src/$deb" ;;
  *) echo "usage: package_test.sh [--build-dir DIR | --deb FILE]" >&2; exit 2 ;;
esac
[ -f "$deb" ] || { echo "package_test: no package $deb" >&2; exit 1; }
deb=$(realpath "$deb")

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
need() {
  command -v "$1" >/dev/null || { echo "package_test: $1 is missing (package $2)" >&2; exit 1; }
}
need lintian lintian
need systemd-analyze systemd
need pkg-config pkg-config
need cc gcc

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
arch=$(dpkg --print-architecture)
multiarch=$(cc -print-multiarch)
version=$(sed -n 's/^project(ORV VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")

# --- control fields -------------------------------------------------------------------------
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = orv ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', the project's $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ "$(basename "$deb")" = "orv_${version}_${arch}.deb" ] || fail "file name $(basename "$deb")"
for f in Maintainer Section Priority Homepage Description; do
  [ -n "$(field $f)" ] || fail "no $f field"
done
depends=$(field Depends)
# dpkg-shlibdeps' libraries, and adduser for postinst. libsystemd0 shows the programs were built
# with sd_notify: the units' Type=notify and WatchdogSec= need it.
names=$(sed 's/[,|]/\n/g' <<<"$depends" | sed 's/^ *//; s/ .*//')
for d in adduser libc6 libstdc++6 libssl3 libsystemd0; do
  grep -Fqx "$d" <<<"$names" || fail "Depends lacks $d: $depends"
done

# --- contents -------------------------------------------------------------------------------
root="$work/root"
dpkg-deb -x "$deb" "$root"
libdir="usr/lib/$multiarch"
expected=(
  lib/systemd/system/comlan.service lib/systemd/system/orv-serv.service
  usr/bin/Comlan usr/bin/ORV_Serv
  usr/include/Pelkon.h
  "$libdir/libPelkon.so" "$libdir/libPelkon.so.0" "$libdir/libPelkon.so.$version"
  "$libdir/pkgconfig/pelkon.pc"
  usr/share/doc/orv/README.md usr/share/doc/orv/changelog.gz usr/share/doc/orv/copyright
  usr/share/doc/orv/examples/Comlan.ini usr/share/doc/orv/examples/ORV_Serv.ini
  usr/share/doc/orv/examples/Orv_SiaKeys.ini usr/share/doc/orv/examples/Orv_Str.ini
  usr/share/orv/Comlan.ini usr/share/orv/ORV_Serv.ini usr/share/orv/Orv_Str.ini
)
# Every tool the tree builds is shipped: a new one without an install rule shows here.
for tool in $(sed -n 's/^add_executable(\(orv-[a-z-]*\) .*/\1/p' "$src/tools/CMakeLists.txt"); do
  expected+=("usr/bin/$tool")
done
printf '%s\n' "${expected[@]}" | sort >"$work/expected"
(cd "$root" && find . ! -type d | sed 's|^\./||' | sort) >"$work/actual"
if ! diff -u "$work/expected" "$work/actual" >"$work/contents.diff"; then
  fail "package contents differ from the expected list (- missing, + unexpected):"
  grep '^[-+][^-+]' "$work/contents.diff" >&2
fi

for f in "$root"/usr/bin/*; do
  [ -x "$f" ] || fail "$f is not executable"
  # A run path left from the build tree would load libraries from a developer's checkout.
  if readelf -d "$f" | grep -Eq 'R(UN)?PATH'; then fail "$(basename "$f") keeps a run path"; fi
done
for p in ORV_Serv Comlan; do
  readelf -d "$root/usr/bin/$p" | grep -q 'NEEDED.*libsystemd\.so\.0' ||
    fail "$p is built without libsystemd: its unit's readiness and watchdog would fail"
done
soname=$(readelf -d "$root/$libdir/libPelkon.so.$version" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = libPelkon.so.0 ] || fail "libPelkon's SONAME is '$soname'"
[ "$(readlink "$root/$libdir/libPelkon.so")" = libPelkon.so.0 ] || fail "libPelkon.so link"
[ "$(readlink "$root/$libdir/libPelkon.so.0")" = "libPelkon.so.$version" ] || fail "SONAME link"

# The header, the library and pelkon.pc together: a program built from the unpacked tree.
pc="$root/$libdir/pkgconfig/pelkon.pc"
[ "$(PKG_CONFIG_PATH="${pc%/*}" pkg-config --variable=libdir pelkon)" = "/$libdir" ] ||
  fail "pelkon.pc: libdir is not /$libdir"
[ "$(PKG_CONFIG_PATH="${pc%/*}" pkg-config --variable=includedir pelkon)" = /usr/include ] ||
  fail "pelkon.pc: includedir is not /usr/include"
cat >"$work/client.c" <<'EOF'
#include <Pelkon.h>
#include <dlfcn.h>
#include <stdio.h>

int main(void) {
  int32_t value = 0;
  orv_GetSysMsg(0, 0, 0, &value);
  /* Monitoring software loads the library by its unversioned name. */
  void* so = dlopen("libPelkon.so", RTLD_NOW);
  if (so == NULL || dlsym(so, "orv_InitComm") == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  return value == PELKON_SYSMSG_VALUE ? 0 : 2;
}
EOF
if cc -Wall -I"$root/usr/include" "$work/client.c" -L"$root/$libdir" -lPelkon -ldl \
      -o "$work/client" 2>"$work/cc.err"; then
  LD_LIBRARY_PATH="$root/$libdir" "$work/client" || fail "a client of the unpacked library failed"
else
  fail "a client does not build against the unpacked header and library:"
  cat "$work/cc.err" >&2
fi

# --- lintian --------------------------------------------------------------------------------
# Tolerated warnings:
#   no-manual-page: the programs describe themselves with --help, and README.md is shipped.
#   link-to-shared-library-in-wrong-package, package-name-doesnt-match-sonames: one package
#     holds the programs and libPelkon with its development files; monitoring software loads
#     the library as libPelkon.so, so the unversioned link belongs with the runtime library.
tolerated='no-manual-page|link-to-shared-library-in-wrong-package|package-name-doesnt-match-sonames'
lintian --no-tag-display-limit "$deb" >"$work/lintian" 2>"$work/lintian.err"
if grep -Eq '^(E|W): ' "$work/lintian"; then
  if grep -E '^(E|W): ' "$work/lintian" | grep -Ev "^W: orv: ($tolerated) " >"$work/lintian.bad"; then
    fail "lintian:"
    cat "$work/lintian.bad" >&2
  fi
fi
if grep -q '^internal error\|^Unknown\|^Cannot' "$work/lintian.err"; then
  fail "lintian did not run:"
  cat "$work/lintian.err" >&2
fi

# --- the units ------------------------------------------------------------------------------
for unit in orv-serv comlan; do
  file="$root/lib/systemd/system/$unit.service"
  # Verified as a copy that starts the unpacked programs: verify wants them to exist.
  mkdir -p "$work/units"
  sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$file" >"$work/units/$unit.service"
  if ! systemd-analyze verify "$work/units/$unit.service" >"$work/verify" 2>&1; then
    fail "systemd-analyze verify $unit.service:"
    cat "$work/verify" >&2
  elif [ -s "$work/verify" ]; then
    fail "systemd-analyze verify $unit.service says:"
    cat "$work/verify" >&2
  fi
  # The program directory given with --dir must be writable under ProtectSystem=strict.
  dir=$(sed -n 's/^ExecStart=.* --dir \([^ ]*\).*/\1/p' "$file")
  rw=$(sed -n 's/^ReadWritePaths=//p' "$file")
  if [ -z "$dir" ] || [[ " $rw " != *" $dir "* ]]; then
    fail "$unit.service: --dir '$dir' is not among ReadWritePaths '$rw'"
  fi
  # Each of these cuts off the serial ports (ProtectClock= implies a device allow-list).
  if grep -Eq '^(PrivateDevices=(yes|true|1)|DeviceAllow=|DevicePolicy=(closed|strict)|ProtectClock=(yes|true|1))' "$file"; then
    fail "$unit.service restricts devices: serial ports would be unreachable"
  fi
done

# --- a real installation --------------------------------------------------------------------
# In a private copy of this system: an overlay over / in a mount namespace of its own, with its
# own network, so that nothing reaches the machine's users, packages or ports.
install_test() {
  local m="$work/sys"
  mkdir -p "$m"
  mount -t tmpfs tmpfs "$m" || return 3
  mkdir "$m/up" "$m/work" "$m/root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$m/up,workdir=$m/work" "$m/root" || return 3
  mount --rbind /proc "$m/root/proc" && mount --rbind /dev "$m/root/dev" || return 3
  mount -t tmpfs tmpfs "$m/root/run" && mount -t tmpfs tmpfs "$m/root/tmp" || return 3
  cp "$deb" "$m/root/tmp/orv.deb"
  cp "$work/client.c" "$m/root/tmp/client.c"
  chroot "$m/root" /bin/bash -s <"$src/tests/packaging/install_steps.sh"
}
if [ "$(id -u)" -ne 0 ]; then
  echo "package_test: SKIP the real installation: it needs root" >&2
elif ! unshare --mount --net true 2>/dev/null; then
  echo "package_test: SKIP the real installation: no mount namespaces here" >&2
else
  export -f install_test
  export work deb src
  unshare --mount --net --propagation private bash -c install_test
  rc=$?
  if [ $rc -eq 3 ]; then
    echo "package_test: SKIP the real installation: cannot mount an overlay over / here" >&2
  elif [ $rc -ne 0 ]; then
    fail "the real installation (its steps say what failed above)"
  else
    echo "package_test: installed, reinstalled, removed and purged in a copy of this system"
  fi
fi

if [ $failures -ne 0 ]; then
  echo "package_test: $failures failure(s) in $deb" >&2
  exit 1
fi
echo "package_test: $deb passed"
