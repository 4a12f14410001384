#!/usr/bin/env bash
# GSM receiver device line benchmark: orv-gsmdev against the device line of a real ORV_Serv, over
# a TCP connection and over a pseudo-terminal, every message an event queued into one channel that
# orv-outcat reads. Each message waits for its ACK (stop-and-wait). Run from the repository root
# after a build.
set -euo pipefail

bin=build/bin
dir=$(mktemp -d)
server=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; kill $(jobs -p) 2>/dev/null; wait 2>/dev/null || true; rm -rf "$dir"' EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
dport=$(free_port); oport=$(free_port)

# $1: Durable; $2: the line's device settings.
start_server() {
  cat > "$dir/ORV_Serv.ini" <<INI
[Ports]
$3
[GPRS0]
Port=0
Line=1
$2
[Out]
Port=$oport
[Client0]
Id=Bank
QSize=100000
[Options]
Durable=$1
INI
  mkdir -p "$dir/Orv_Serv"  # every message is logged, as in service
  "$bin/ORV_Serv" --headless --dir "$dir" 2>"$dir/server.log" &
  server=$!
  for _ in $(seq 50); do grep -q "^running" "$dir/server.log" && break; sleep 0.1; done
  "$bin/orv-outcat" --port "$oport" --quiet --seconds 120 Bank >/dev/null 2>&1 &
  cat_pid=$!
}
stop_server() {
  kill "$cat_pid" 2>/dev/null || true
  kill "$server" && wait "$server" || true
  server=
}

status=0
row() {
  local name=$1 out=$2
  awk -v name="$name" -v when="$when" '
    /^messages/ { for (i = 1; i < NF; i++) v[$i] = $(i + 1) }
    /^ack-latency-us/ { p50 = $3; p99 = $5 }
    END { printf "| %s | %s | %s | %s | %.2f | %.2f |\n", name, when, v["acked"], v["messages-per-second"], p50 / 1000, p99 / 1000 }
  ' <<<"$out"
}

echo "== GSM receiver device line (events answered ACK and queued into one channel read by a client)"
echo "| link | ACK when | messages | messages/s | ACK p50 ms | ACK p99 ms |"
echo "|---|---|---:|---:|---:|---:|"
for durable in 0 1; do
  when=$([ "$durable" = 1 ] && echo stored || echo received)

  start_server "$durable" "TcpOn=1
TcpPort=$dport" ""
  if ! out=$("$bin/orv-gsmdev" --connect "127.0.0.1:$dport" --events 20000 --quiet 2>"$dir/dev.err"); then
    echo "device_line_bench: TCP run reported errors" >&2
    head -5 "$dir/dev.err" >&2
    status=1
  fi
  row "TCP connection" "$out"
  stop_server

  # The simulated device holds the pseudo-terminal; the server opens its other end as COM 9.
  "$bin/orv-gsmdev" --pty --events 20000 --quiet >"$dir/pty.out" 2>"$dir/dev.err" &
  dev_pid=$!
  for _ in $(seq 50); do grep -q "^pty: " "$dir/pty.out" && break; sleep 0.1; done
  pty=$(awk '/^pty: / { print $2; exit }' "$dir/pty.out")
  start_server "$durable" "Com=9
Baud=115200" "COM9=$pty"
  if ! wait "$dev_pid"; then
    echo "device_line_bench: pty run reported errors" >&2
    head -5 "$dir/dev.err" >&2
    status=1
  fi
  row "pseudo-terminal" "$(cat "$dir/pty.out")"
  stop_server
done
echo
echo "targets: >= 5,000 messages/s; ACK p99 < 2 ms"
exit "$status"
