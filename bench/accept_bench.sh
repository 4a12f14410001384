#!/usr/bin/env bash
# Accept-latency benchmark: how long a new peer waits to be served by each input of a real
# ORV_Serv while silent connections are held on that input (orv-bench-accept), and the module
# port with as many held connections as the open-file limit allows. A refused, closed or
# unanswered peer is a failure. Run from the repository root after a build; ORV_BIN names another
# build's bin directory.
set -euo pipefail

bin=${ORV_BIN:-build/bin}
dir=$(mktemp -d)
server=
pty_pid=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; [ -n "$pty_pid" ] && kill "$pty_pid" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$dir"' EXIT

ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
limit=$(ulimit -n)
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
mport=$(free_port); dport=$(free_port); oport=$(free_port); tport=$(free_port); sport=$(free_port)
smsport=$(free_port)

# The SMS port opens only with a GSM receiver on a serial line: a pseudo-terminal stands in for
# it, and whatever the server writes to it is read and dropped.
python3 -c '
import os, pty, select, sys
m, s = pty.openpty()
print(os.ttyname(s), flush=True)
while True:
    select.select([m], [], [])
    os.read(m, 4096)
' >"$dir/pty" &
pty_pid=$!
for _ in $(seq 50); do [ -s "$dir/pty" ] && break; sleep 0.1; done

# Events are acknowledged when received (Durable=0): the rows measure admission, not the disk.
cat > "$dir/ORV_Serv.ini" <<INI
[Ports]
COM9=$(cat "$dir/pty")
[GPRS0]
Port=$mport
Line=1
TcpOn=1
TcpPort=$dport
[GPRS1]
Port=0
Line=2
Com=9
Baud=115200
[Out]
Port=$oport
[Client0]
Id=Bank
QSize=100000
[TcpDrv]
Port=$tport
Line=3
[SiaIp]
Port=$sport
Line=4
[Sms]
Port=$smsport
[Options]
U_Fl=0
Durable=0
INI

start_server() {
  "$bin/ORV_Serv" --headless --dir "$dir" 2>"$dir/server.log" &
  server=$!
  for _ in $(seq 50); do grep -q "^running" "$dir/server.log" && break; sleep 0.1; done
}
stop_server() {
  kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
  server=
}

status=0
row() {
  start_server
  if ! "$bin/orv-bench-accept" --server-pid "$server" "$@"; then
    echo "accept_bench: orv-bench-accept failed: $*" >&2
    status=1
  fi
  stop_server
}

# The largest connection count the server can hold under this machine's open-file limit.
many=$(( limit - 64 < 20000 ? limit - 64 : 20000 ))

echo "== accept latency under attack (new peers one after another, each to its first answer)"
echo "| input | held | new peers | served | failures | p50 ms | p99 ms | max ms | server RSS MB |"
echo "|---|---|---:|---:|---|---:|---:|---:|---:|"
row --input module --port "$mport" --name "module port, silent"
row --input module --port "$mport" --flood 65536 --name "module port, 64 KiB without a line end"
row --input tcpdrv --port "$tport" --name "TcpDrv, silent"
row --input tcpdrv --port "$tport" --flood 65536 --name "TcpDrv, 64 KiB without a line end"
row --input sia --port "$sport" --name "SIA DC-09, silent"
row --input out --port "$oport" --name "output port, silent"
row --input sms --port "$smsport" --name "SMS port, silent"
row --input device --port "$dport" --name "GSM device listener, silent"
row --input module --port "$mport" --held "$many" --name "module port, $many silent"
echo
echo "held: the attack's connections; open: the fewest of them connected while the peers came;"
echo "reconnects: how often the server closed one and the attacker came back (at most 2,000/s)."
echo "The attack comes from 127.1.x.y, 8 connections an address; the peers from 127.0.0.1, each"
echo "with a 2 s limit. Open-file limit: $limit"
echo "target: every new peer served"
exit "$status"
