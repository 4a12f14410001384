#!/usr/bin/env bash
# Serial output benchmark: the "Com" channel of a real ORV_Serv sent to orv-comsink on a
# pseudo-terminal, which answers every frame with ACK at once. Run from the repository root after
# a build (ORV_BIN selects another binary directory).
#
# Throughput: a first run fills the Com queue through the TcpDrv input while its port cannot be
# opened; the second run drains it to orv-comsink, which times the frames from the first to the
# last (so the push rate and the disk do not limit what is measured).
# Latency when idle: one line at a time, pushed through the TcpDrv input by a small pusher that
# writes "@<CLOCK_MONOTONIC microseconds>" into the line just before sending it; orv-comsink
# reads the mark at the frame's DC4 and reports the difference (push to frame on the pty).
set -euo pipefail

bin=${ORV_BIN:-build/bin}
dir=$(mktemp -d)
server=
sink=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; [ -n "$sink" ] && kill "$sink" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$dir"' EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
tport=$(free_port); oport=$(free_port)
lines=20000
samples=1000

# $1: the path of COM 9.
start_server() {
  cat > "$dir/ORV_Serv.ini" <<INI
[Ports]
COM9=$1
[GPRS0]
Port=0
[Out]
ComOn=1
Com=9
Baud=115200
Port=$oport
[Com]
QSize=100000
[TcpDrv]
Port=$tport
Line=1
INI
  mkdir -p "$dir/Orv_TcpDrv"
  "$bin/ORV_Serv" --headless --dir "$dir" 2>"$dir/server.log" &
  server=$!
  for _ in $(seq 50); do grep -q "^running" "$dir/server.log" && break; sleep 0.1; done
}
stop_server() {
  kill "$server" && wait "$server" || true
  server=
}
# Starts orv-comsink with the given options; sets $pty.
start_sink() {
  "$bin/orv-comsink" --pty --quiet "$@" >"$dir/sink.out" 2>"$dir/sink.err" &
  sink=$!
  for _ in $(seq 50); do grep -q "^pty: " "$dir/sink.out" && break; sleep 0.1; done
  pty=$(awk '/^pty: / { print $2; exit }' "$dir/sink.out")
}
value() { awk -v k="$1" '{ for (i = 1; i < NF; i++) if ($i == k) { print $(i + 1); exit } }' "$2"; }

status=0
echo "== serial output (the Com channel to orv-comsink on a pseudo-terminal, ACK at once)"
echo "| measure | lines | result |"
echo "|---|---:|---:|"

# Throughput: fill, then drain.
start_server "$dir/no-such-port"
if ! "$bin/orv-tcpdrv-send" --port "$tport" --generate "$lines" >"$dir/push.out" 2>"$dir/push.err"; then
  echo "serial_output_bench: pushing the lines failed" >&2
  head -5 "$dir/push.err" >&2
  status=1
fi
stop_server
start_sink --count "$lines" --seconds 120
start_server "$pty"
wait "$sink" || status=1
sink=
frames=$(value frames "$dir/sink.out")
rate=$(value frames-per-second "$dir/sink.out")
[ "$frames" = "$lines" ] || { echo "serial_output_bench: $frames of $lines lines arrived" >&2; status=1; }
echo "| lines/s from queue to pty | $frames | $rate |"
stop_server

# Latency when idle.
start_sink --seconds 120
start_server "$pty"
python3 - "$tport" "$samples" <<'PY' || status=1
import socket, sys, time
port, samples = int(sys.argv[1]), int(sys.argv[2])
s = socket.create_connection(("127.0.0.1", port))
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
for i in range(samples):
    time.sleep(0.005)  # idle between lines
    text = "5011 18 1234E13001%03d @%d" % (i % 1000, time.clock_gettime_ns(time.CLOCK_MONOTONIC) // 1000)
    x = 0
    for c in text.encode():
        x ^= c
    s.sendall(("%s*%02X\r\n" % (text, x)).encode())
    if s.recv(1) != b"\x06":
        sys.exit("serial_output_bench: a line was not acknowledged")
PY
# The last frames are on their way; give them a moment before the sink stops and reports.
sleep 0.5
kill -TERM "$sink"; wait "$sink" || true
sink=
stop_server
p50=$(awk '/^latency-us/ { print $3 }' "$dir/sink.out")
p99=$(awk '/^latency-us/ { print $5 }' "$dir/sink.out")
n=$(awk '/^latency-us/ { print $9 }' "$dir/sink.out")
[ "${n:-0}" = "$samples" ] || { echo "serial_output_bench: ${n:-0} of $samples latency samples" >&2; status=1; }
printf "| push to frame p50 ms (idle) | %s | %.2f |\n" "${n:-0}" "$(echo "${p50:-0} / 1000" | bc -l)"
printf "| push to frame p99 ms (idle) | %s | %.2f |\n" "${n:-0}" "$(echo "${p99:-0} / 1000" | bc -l)"
echo
echo "targets: >= 2,000 lines/s; push to frame p99 < 2 ms when idle"
exit "$status"
