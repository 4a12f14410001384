#!/usr/bin/env bash
# Main window benchmark: orv-modsim holds 20,000 module connections on one GPRS line of a core
# that runs in orv-bench-window with its real window (Qt's offscreen platform unless a display
# is named), which prints what the window's thread spends per second. Run from the repository
# root after a build; ORV_BIN names another build's bin directory.
set -euo pipefail

bin=${ORV_BIN:-build/bin}
dir=$(mktemp -d)
trap 'kill "$bench" $sim 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$dir"' EXIT

# Both processes hold one descriptor per module.
ulimit -Hn 65536 2>/dev/null || true
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
limit=$(ulimit -n)
many=$(( limit - 64 < 20000 ? limit - 64 : 20000 ))
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$dir/ORV_Serv.ini" <<INI
[GPRS0]
Port=$port
Line=1
[Client0]
Id=Bank
QSize=1000
[Options]
Durable=0
INI

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
"$bin/orv-bench-window" --dir "$dir" --connections "$many" --seconds 10 >"$dir/table" 2>"$dir/bench.log" &
bench=$!
sim=
for _ in $(seq 100); do grep -q "listening on port" "$dir/bench.log" && break; sleep 0.1; done
# Every module polls every 2 s and some send events, so the line changes every second. Two
# simulators from two loopback addresses: one address runs short of ephemeral ports to search.
half=$(( many / 2 ))
"$bin/orv-modsim" --host 127.0.0.1 --port "$port" --connections "$half" --connect-rate 2000 \
  --poll-ms 2000 --events 200 --seconds 90 --id-prefix H >/dev/null 2>"$dir/sim1.log" &
sim=$!
"$bin/orv-modsim" --host 127.0.0.2 --port "$port" --connections $(( many - half )) \
  --connect-rate 2000 --poll-ms 2000 --events 200 --seconds 90 --id-prefix K >/dev/null \
  2>"$dir/sim2.log" &
sim="$sim $!"
status=0
wait "$bench" || status=$?
echo "== main window, $many module connections on one line (orv-modsim), target: < 50 ms per second"
cat "$dir/table"
if [ "$status" -ne 0 ]; then
  echo "bench: orv-bench-window failed:" >&2
  tail -5 "$dir/bench.log" >&2
fi
exit "$status"
