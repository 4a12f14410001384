#!/usr/bin/env bash
# Draws every window of ORV_Serv and Comlan on a virtual display (Xvfb), over the demo
# configuration with traffic from the simulators (modules, a GSM receiver device, SIA and TcpDrv
# senders, Comlan on a device pseudo-terminal as the output client), and saves one PNG per
# window in build/screenshots/. Uses the demo's ports: stop a demo server first.
#   scripts/screenshots.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh xvfb xauth
cmake --preset default >/dev/null
cmake --build --preset default --target orv-screenshots orv-modsim orv-siasend orv-tcpdrv-send \
  orv-gsmdev orv-comsink orv-console

bin=build/bin
out=build/screenshots
rm -rf "$out"
mkdir -p "$out/demo/Orv_Serv" "$out/demo/SMSLog" "$out/comlan/ComlanLog"
cp demo/ORV_Serv.ini demo/Orv_Str.ini demo/Orv_SiaKeys.ini "$out/demo/"
chmod 600 "$out/demo/Orv_SiaKeys.ini"
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true' EXIT

# Comlan's device: a receiver-output device on a pseudo-terminal, mapped as COM3.
"$bin/orv-comsink" --pty >"$out/comsink.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q "/dev/pts/" "$out/comsink.out" && break; sleep 0.1; done
pty=$(grep -o '/dev/pts/[0-9]*' "$out/comsink.out" | head -1)
sed -e 's/^Port=0$/Port=3/' -e "s|^COM3=.*|COM3=$pty|" demo/Comlan.ini >"$out/comlan/Comlan.ini"

xvfb-run -a -s "-screen 0 1600x1000x24" "$bin/orv-screenshots" --dir "$out/demo" \
  --comlan-dir "$out/comlan" --out "$out" --ready "$out/ready" --log "$out/module.hex" \
  >"$out/files" 2>"$out/windows.log" &
shots=$!
for _ in $(seq 100); do grep -q "operator channel listening" "$out/windows.log" && break; sleep 0.1; done

# The senders keep their connections while the windows are drawn.
"$bin/orv-modsim" --port 7780 --connections 24 --poll-ms 1000 --events 8 --seconds 40 \
  >/dev/null 2>&1 &
pids+=($!)
"$bin/orv-gsmdev" --connect 127.0.0.1:9102 --events 400 --rate 10 --quiet >/dev/null 2>&1 &
pids+=($!)
"$bin/orv-siasend" --port 9101 --frames 400 --connections 3 --rate 10 >/dev/null 2>&1 &
pids+=($!)
"$bin/orv-tcpdrv-send" --port 9100 --generate 400 --connections 2 --rate 10 >/dev/null 2>&1 &
pids+=($!)
sleep 4
# A module's event log, fetched as an operator would, for the log viewer.
"$bin/orv-console" --dir "$out/demo" getlog SIM0001 "$out/module.hex" >/dev/null 2>&1 ||
  echo "screenshots: getlog failed; the log viewer is left out" >&2
touch "$out/ready"
status=0
wait "$shots" || status=$?
echo "screenshots in $out:"
cat "$out/files"
[ "$status" -eq 0 ] || { echo "screenshots: failed, see $out/windows.log" >&2; exit "$status"; }
