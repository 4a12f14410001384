#!/usr/bin/env bash
# Output client and TcpDrv benchmarks against a real ORV_Serv on loopback.
set -euo pipefail

bin=build/bin
dir=$(mktemp -d)
trap 'kill "$server" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$dir"' EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
mport=$(free_port); oport=$(free_port); tport=$(free_port)
# Durable=1 (the default) acknowledges a line once it is on disk; Durable=0 at once.
start_server() {
  cat > "$dir/ORV_Serv.ini" <<INI
[GPRS0]
Port=$mport
Line=1
[Out]
Port=$oport
[Client0]
Id=Bank
QSize=100000
[Options]
U_Fl=0
Durable=$1
[TcpDrv]
Port=$tport
Line=2
INI
  mkdir -p "$dir/Orv_TcpDrv"  # every line is logged, as in service
  "$bin/ORV_Serv" --headless --dir "$dir" 2>"$dir/server.log" &
  server=$!
  for _ in $(seq 50); do grep -q "^running" "$dir/server.log" && break; sleep 0.1; done
}
stop_server() { kill "$server" && wait "$server" || true; }

# The output server is measured with events acknowledged at once: with acknowledgement once
# stored, one stop-and-wait module can feed it only a few thousand events a second.
start_server 0
echo "== output server: module event to output client"
"$bin/orv-bench-output" "$mport" "$oport" 5000

echo
echo "== TcpDrv input (lines acknowledged with ACK, queued into one channel read by a client)"
echo "| senders | ACK when | lines | lines/s | ACK p50 ms | ACK p99 ms |"
echo "|---:|---|---:|---:|---:|---:|"
row() {
  local name=$1
  shift
  out=$("$bin/orv-tcpdrv-send" --port "$tport" "$@")
  awk -v n="$name" -v when="$when" '/^sent/ { sent=$2; rate=$8 } /^ack-latency-us/ { printf "| %s | %s | %s | %s | %.2f | %.2f |\n", n, when, sent, rate, $3/1000, $5/1000 }' <<<"$out"
}
for durable in 0 1; do
  when=$([ "$durable" = 1 ] && echo stored || echo received)
  stop_server
  start_server "$durable"
  "$bin/orv-outcat" --port "$oport" --quiet --seconds 30 Bank > "$dir/cat.txt" &
  cat_pid=$!
  row 1 --generate 20000 --connections 1
  row 50 --generate 100000 --connections 50
  row "50 at 20,000 lines/s" --generate 100000 --connections 50 --rate 20000
  kill "$cat_pid" 2>/dev/null || true
  wait "$cat_pid" 2>/dev/null || true
done
echo
echo "targets: >= 20,000 lines/s in total; ACK p99 < 2 ms (acknowledged when received), < 3 ms (when stored)"
