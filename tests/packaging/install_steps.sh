# Run by package_test.sh as root inside a throwaway copy of the system, with the package at
# /tmp/orv.deb: install, reinstall over an operator's changes, remove, purge.
set -u
failures=0
fail() {
  echo "FAIL (installation): $*" >&2
  failures=$((failures + 1))
}
owner_mode() { stat -c '%U:%G %a' "$1" 2>/dev/null; }
home=/var/lib/orv

# Start from a system without the package, whatever the host has.
dpkg --purge orv >/dev/null 2>&1
rm -rf "$home"
getent passwd orv >/dev/null && userdel orv
getent group orv >/dev/null && groupdel orv

if ! dpkg -i /tmp/orv.deb >/tmp/dpkg.log 2>&1; then
  cat /tmp/dpkg.log >&2
  echo "FAIL (installation): dpkg -i" >&2
  exit 1
fi

IFS=: read -r _ _ uid _ _ userHome shell < <(getent passwd orv)
[ -n "${uid:-}" ] || fail "no user orv"
[ "${uid:-0}" -lt 1000 ] || fail "orv is not a system user (uid $uid)"
[ "${userHome:-}" = "$home" ] || fail "orv's home is '${userHome:-}'"
[ "${shell:-}" = /usr/sbin/nologin ] || fail "orv's shell is '${shell:-}'"
id -nG orv | tr ' ' '\n' | grep -qx dialout || fail "orv is not in group dialout"

for d in "$home" "$home/Orv_Serv" "$home/SMSLog" "$home/comlan"; do
  [ "$(owner_mode "$d")" = "orv:orv 750" ] || fail "$d is '$(owner_mode "$d")', not orv:orv 750"
done
for f in ORV_Serv.ini Orv_Str.ini comlan/Comlan.ini; do
  [ "$(owner_mode "$home/$f")" = "orv:orv 640" ] || fail "$home/$f is '$(owner_mode "$home/$f")'"
  cmp -s "$home/$f" "/usr/share/orv/${f#comlan/}" || fail "$home/$f is not the template"
done

# The installed library: through the loader's cache (the ldconfig trigger) and pkg-config.
ldconfig -p | grep -q 'libPelkon\.so\.0 ' || fail "libPelkon.so.0 is not in the loader's cache"
# shellcheck disable=SC2046
if cc -Wall /tmp/client.c $(pkg-config --cflags --libs pelkon) -ldl -o /tmp/client 2>/tmp/cc.err; then
  /tmp/client || fail "a client of the installed library failed"
else
  cat /tmp/cc.err >&2
  fail "a client does not build with pkg-config --cflags --libs pelkon"
fi
ORV_Serv --version >/dev/null || fail "ORV_Serv --version"
if ORV_Serv --help 2>&1 | grep -q -- --check-config; then
  # As the service runs it: user orv with the one capability its unit gives (ports below 1024).
  setpriv --reuid=orv --regid=orv --init-groups --inh-caps=+net_bind_service \
    --ambient-caps=+net_bind_service -- ORV_Serv --check-config --dir "$home" \
    >/tmp/check.log 2>&1 || { cat /tmp/check.log >&2; fail "the installed configuration does not pass --check-config"; }
fi

# An operator's changes, and a link planted by the service user where a template would go.
echo "; changed by the operator" >>"$home/ORV_Serv.ini"
rm "$home/Orv_Str.ini" "$home/comlan/Comlan.ini"
ln -s /etc/orv-planted "$home/comlan/Comlan.ini"
echo "1011 181234E13001015" >"$home/Main.out"
chown orv:orv "$home/Main.out"
chmod 0700 "$home/SMSLog"
if ! dpkg -i /tmp/orv.deb >/tmp/dpkg.log 2>&1; then
  cat /tmp/dpkg.log >&2
  fail "dpkg -i over an installed package"
fi
grep -q "changed by the operator" "$home/ORV_Serv.ini" || fail "reinstalling replaced ORV_Serv.ini"
[ -f "$home/Orv_Str.ini" ] || fail "reinstalling did not restore the missing Orv_Str.ini"
[ -e /etc/orv-planted ] && fail "reinstalling wrote through a link in the program directory"
[ -L "$home/comlan/Comlan.ini" ] || fail "reinstalling replaced the operator's link"
[ "$(owner_mode "$home/SMSLog")" = "orv:orv 700" ] || fail "reinstalling changed SMSLog's mode"

# remove keeps the program directory with its queue files; purge deletes it.
mkdir -p /etc/systemd/system/multi-user.target.wants
ln -sf /lib/systemd/system/orv-serv.service /etc/systemd/system/multi-user.target.wants/
dpkg --remove orv >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log >&2; fail "dpkg --remove"; }
[ -e /usr/bin/ORV_Serv ] && fail "ORV_Serv is left after remove"
[ -f "$home/Main.out" ] || fail "remove deleted the queue file"
[ -f "$home/ORV_Serv.ini" ] || fail "remove deleted the configuration"
dpkg --purge orv >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log >&2; fail "dpkg --purge"; }
[ -e "$home" ] && fail "purge left $home"
[ -L /etc/systemd/system/multi-user.target.wants/orv-serv.service ] &&
  fail "purge left the unit's enablement link"

[ $failures -eq 0 ]
